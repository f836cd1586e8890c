// The station's terminal display, driven as the station drives it: what a device's line shows
// in each phase, and how a failure reads once it is committed above the running lines.

#include "cli/station_console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vumo::cli {
namespace {

// A console writing into memory.
class Screen {
public:
    Screen() : file_(::open_memstream(&data_, &size_)) {}
    ~Screen() {
        std::fclose(file_);
        std::free(data_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

station::StationDevice Device() {
    station::StationDevice d;
    d.id = 1;
    d.serial = "VUMO-0001";
    d.port = "sim-1";
    d.modeAtStart = 1;
    return d;
}

// The bar of a device's line: no block is confirmed before the upload, all of them after it.
TEST(StationConsoleTest, TerminalLineShowsTheBlocksOfItsPhase) {
    struct Case {
        update::Phase phase;
        std::uint32_t block;
        const char* shown;
    };
    const Case cases[] = {
        {update::Phase::switchingMode, 0, "[....................] 0/1024"},
        {update::Phase::settling, 0, "[....................] 0/1024"},
        {update::Phase::handshake, 0, "[....................] 0/1024"},
        {update::Phase::uploading, 512, "[##########..........] 512/1024"},
        {update::Phase::finishing, 1024, "[####################] 1024/1024"},
        {update::Phase::restarting, 1024, "[####################] 1024/1024"},
    };
    for (const auto& c : cases) {
        Screen screen;
        StationConsole console(StationView::terminal, screen.file(), screen.file(), nullptr);
        console.DeviceArrived(Device());
        console.PhaseChanged(Device(), c.phase, c.block, 1024);
        console.Redraw();
        EXPECT_NE(screen.text().find(c.shown), std::string::npos)
            << PhaseJsonName(c.phase) << ":\n" << screen.text();
    }
}

TEST(StationConsoleTest, FailureInTheBlockLoopNamesTheBlock) {
    for (const auto view : {StationView::terminal, StationView::plain}) {
        Screen screen;
        StationConsole console(view, screen.file(), screen.file(), nullptr);
        console.DeviceArrived(Device());
        station::FinishedDevice f;
        f.device = Device();
        f.result.outcome = update::Outcome::failed;
        f.result.step = update::Step::block;
        f.result.message = "DFU upload time out : 5";
        f.result.blocks = 1024;
        f.result.blocksSent = 5;
        f.seconds = 11.04;
        console.DeviceFinished(f);
        console.Redraw();
        EXPECT_NE(screen.text().find("failed at block 5 after 11.0 s: DFU upload time out : 5"),
                  std::string::npos)
            << screen.text();
    }
}

}  // namespace
}  // namespace vumo::cli
