// The flash log when the disk takes only part of a line: the failure is told, and the next
// record, from this log or another sharing the file, still starts on a line of its own.

#include "station/flash_log.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace vumo::station {
namespace {

std::vector<std::string> LinesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A file-size limit stands in for a full disk: past it a write is cut short, then refused.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_ = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, old_);
    }

private:
    rlimit saved_{};
    sighandler_t old_;
};

FlashRecord Record(const std::string& serial) {
    FlashRecord r;
    r.serial = serial;
    r.outcome = "ok";
    return r;
}

TEST(FlashLogFull, ALineCutShortIsToldAndTheNextRecordStartsOnItsOwnLine) {
    const std::string path = testing::TempDir() + "/flash-log-full.jsonl";
    std::remove(path.c_str());
    std::string error;
    auto log = FlashLog::Open(path, error);
    auto other = FlashLog::Open(path, error);  // a second station sharing the file
    ASSERT_TRUE(log && other) << error;
    ASSERT_TRUE(log->Append(Record("VUMO-0001"), error)) << error;
    const auto whole = FlashLogLine(Record("VUMO-0001")).size();
    {
        FileSizeLimit limit(whole + whole / 2);
        EXPECT_FALSE(log->Append(Record("VUMO-0002"), error));
        EXPECT_NE(error.find("could not be written (" + std::to_string(whole / 2) + " of "),
                  std::string::npos)
            << error;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_FALSE(other->Append(Record("VUMO-0003"), error));
    }
    ASSERT_TRUE(other->Append(Record("VUMO-0004"), error)) << error;
    ASSERT_TRUE(log->Append(Record("VUMO-0005"), error)) << error;

    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0] + "\n", FlashLogLine(Record("VUMO-0001")));
    EXPECT_EQ(lines[1], FlashLogLine(Record("VUMO-0002")).substr(0, whole / 2));
    EXPECT_EQ(lines[2] + "\n", FlashLogLine(Record("VUMO-0004")));
    EXPECT_EQ(lines[3] + "\n", FlashLogLine(Record("VUMO-0005")));
}

}  // namespace
}  // namespace vumo::station
