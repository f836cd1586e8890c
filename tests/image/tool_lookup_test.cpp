// Where the checksum tool is found, and where it must never be taken from.

#include "image/test_files.h"
#include "image/tool_lookup.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace vumo::image {
namespace {

class ToolLookup : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"own", "helper", "path1", "path2", "cwd"})
            std::filesystem::create_directory(dir_.File(sub));
    }
    std::string Tool(const std::string& folder) {
        return test::WriteScript(dir_, folder + "/checksum", "exit 0");
    }
    test::TempDir dir_;
};

TEST_F(ToolLookup, OwnFolderThenHelperFolderThenPath) {
    ToolSearch search;
    search.ownFolder = dir_.File("own");
    search.helperFolder = dir_.File("helper");
    const std::string path = dir_.File("path1") + ":" + dir_.File("path2");
    search.pathVariable = path.c_str();

    EXPECT_EQ(FindTool("checksum", search), "");
    const std::string inPath2 = Tool("path2");
    EXPECT_EQ(FindTool("checksum", search), inPath2);
    const std::string inPath1 = Tool("path1");
    EXPECT_EQ(FindTool("checksum", search), inPath1);
    const std::string inHelper = Tool("helper");
    EXPECT_EQ(FindTool("checksum", search), inHelper);
    const std::string inOwn = Tool("own");
    EXPECT_EQ(FindTool("checksum", search), inOwn);
}

TEST_F(ToolLookup, NeverTheCurrentFolder) {
    const std::string planted = Tool("cwd");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.File("cwd"));

    ToolSearch search;
    // Empty entries, "." and relative names all mean the current folder.
    const std::string path = std::string(":.:") + "./:cwd:../cwd::";
    search.pathVariable = path.c_str();
    search.ownFolder = ".";
    search.helperFolder = "";
    const std::string found = FindTool("checksum", search);

    std::filesystem::current_path(previous);
    EXPECT_EQ(found, "");
}

TEST_F(ToolLookup, SkipsWhatCannotRun) {
    const std::string plain = dir_.File("path1/checksum");
    test::WriteBytes(plain, "#!/bin/sh\n");
    ::chmod(plain.c_str(), 0644);
    std::filesystem::create_directory(dir_.File("path2/checksum"));
    const std::string good = Tool("helper");

    ToolSearch search;
    const std::string path = dir_.File("path1") + ":" + dir_.File("path2") + ":" + dir_.File("helper");
    search.pathVariable = path.c_str();
    EXPECT_EQ(FindTool("checksum", search), good);
}

TEST_F(ToolLookup, ExplicitToolIsTakenAloneAndOnlyWhenAbsolute) {
    const std::string inOwn = Tool("own");
    const std::string chosen = Tool("helper");
    ToolSearch search;
    search.ownFolder = dir_.File("own");

    search.explicitTool = chosen.c_str();
    EXPECT_EQ(FindTool("checksum", search), chosen);

    const std::string missing = dir_.File("nothing/here");
    search.explicitTool = missing.c_str();
    EXPECT_EQ(FindTool("checksum", search), "") << "a named tool that is missing finds nothing";

    search.explicitTool = "helper/checksum";
    EXPECT_EQ(FindTool("checksum", search), "") << "relative means the current folder";

    search.explicitTool = "";
    EXPECT_EQ(FindTool("checksum", search), inOwn) << "empty counts as unset";
}

TEST(ToolLookupProcess, OwnFolderIsThatOfTheRunningProgram) {
    const ToolSearch search = CurrentToolSearch();
    EXPECT_EQ(search.ownFolder,
              std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
    EXPECT_EQ(search.helperFolder.rfind('/', 0), 0u);
    EXPECT_TRUE(search.helperFolder.ends_with("/vumo-dfu"));
}

}  // namespace
}  // namespace vumo::image
