#include "image/tool_lookup.h"

#include "base/error_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef VUMO_HELPER_DIR
#error "VUMO_HELPER_DIR must name the installed helper folder"
#endif

namespace vumo::image {
namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string InFolder(std::string_view folder, std::string_view name) {
    // Only absolute folders: anything else would be resolved against the current folder.
    if (folder.empty() || folder.front() != '/') return {};
    std::string path(folder);
    if (path.back() != '/') path += '/';
    path += name;
    return IsExecutableFile(path) ? path : std::string{};
}

}  // namespace

std::string FindTool(std::string_view name, const ToolSearch& search) {
    if (search.explicitTool && *search.explicitTool) {
        const std::string tool(search.explicitTool);
        return tool.front() == '/' && IsExecutableFile(tool) ? tool : std::string{};
    }
    if (auto found = InFolder(search.ownFolder, name); !found.empty()) return found;
    if (auto found = InFolder(search.relativeHelperFolder, name); !found.empty()) return found;
    if (auto found = InFolder(search.helperFolder, name); !found.empty()) return found;
    if (search.pathVariable) {
        std::string_view path(search.pathVariable);
        while (true) {
            const std::size_t colon = path.find(':');
            if (auto found = InFolder(path.substr(0, colon), name); !found.empty()) return found;
            if (colon == std::string_view::npos) break;
            path.remove_prefix(colon + 1);
        }
    }
    return {};
}

ToolSearch CurrentToolSearch() {
    ToolSearch search;
    search.explicitTool = std::getenv(kChecksumToolVariable);
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && self.is_absolute()) {
        search.ownFolder = self.parent_path().string();
        search.relativeHelperFolder =
            (self.parent_path() / VUMO_HELPER_DIR_FROM_BIN).lexically_normal().string();
    }
    search.helperFolder = VUMO_HELPER_DIR;
    search.pathVariable = std::getenv("PATH");
    return search;
}

std::string FindChecksumTool() { return FindTool(kChecksumToolName, CurrentToolSearch()); }

namespace {

// What is wrong with `path` as a program to run; empty when nothing is.
std::string ProblemWith(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "the checksum tool " + path + " does not exist";
        return "the checksum tool " + path + " can not be examined: " + base::ErrorText(errno);
    }
    if (S_ISDIR(st.st_mode)) return "the checksum tool " + path + " is a folder";
    if (!S_ISREG(st.st_mode)) return "the checksum tool " + path + " is not a regular file";
    if (::access(path.c_str(), X_OK) != 0) return "the checksum tool " + path + " is not executable";
    return {};
}

// A file of that name in the folder that is there, whether it may run or not.
std::string PresentInFolder(std::string_view folder, std::string_view name) {
    if (folder.empty() || folder.front() != '/') return {};
    std::string path(folder);
    if (path.back() != '/') path += '/';
    path += name;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? path : std::string{};
}

}  // namespace

std::string WhyToolNotFound(std::string_view name, const ToolSearch& search) {
    if (search.explicitTool && *search.explicitTool) {
        const std::string tool(search.explicitTool);
        if (tool.front() != '/')
            return std::string(kChecksumToolVariable) + " must name the tool with an absolute path, not " + tool;
        const std::string problem = ProblemWith(tool);
        return (problem.empty() ? "the checksum tool " + tool + " can not be used" : problem) +
               " (named by " + kChecksumToolVariable + ")";
    }
    std::vector<std::string_view> folders = {search.ownFolder, search.relativeHelperFolder,
                                             search.helperFolder};
    if (search.pathVariable) {
        std::string_view path(search.pathVariable);
        while (true) {
            const std::size_t colon = path.find(':');
            folders.push_back(path.substr(0, colon));
            if (colon == std::string_view::npos) break;
            path.remove_prefix(colon + 1);
        }
    }
    for (const auto folder : folders) {
        if (const std::string present = PresentInFolder(folder, name); !present.empty()) {
            if (std::string problem = ProblemWith(present); !problem.empty()) return problem;
        }
    }
    std::string where = "no program named " + std::string(name) + " was found";
    if (!search.ownFolder.empty()) where += " in " + search.ownFolder + ",";
    where += " in " + search.helperFolder + " or in PATH";
    return where;
}

std::string WhyToolDidNotStart(const std::string& tool, int error) {
    if (tool.empty() || tool.front() != '/')
        return "the checksum tool " + tool + " is not named with an absolute path";
    if (std::string problem = ProblemWith(tool); !problem.empty()) return problem;
    // A script whose interpreter is missing fails with ENOENT although the script is there.
    if (error == ENOENT)
        return "the checksum tool " + tool + " could not be started: its interpreter or a library it needs is missing";
    return "the checksum tool " + tool + " could not be started: " + base::ErrorText(error);
}

}  // namespace vumo::image
