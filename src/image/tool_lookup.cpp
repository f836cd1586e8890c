#include "image/tool_lookup.h"

#include "base/error_text.h"
#include "base/files.h"

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

using base::IsExecutableFile;

// The folder's file of that program name (with the system's suffix for programs); empty for a
// folder that is not absolute: it would be resolved against the current folder.
std::string PathInFolder(std::string_view folder, std::string_view name) {
    if (folder.empty() || !base::IsAbsolutePath(folder)) return {};
    std::string path(folder);
    if (!base::IsPathSeparator(path.back())) path += base::PreferredPathSeparator();
    path += name;
    path += base::kExecutableSuffix;
    return path;
}

std::string InFolder(std::string_view folder, std::string_view name) {
    const std::string path = PathInFolder(folder, name);
    return !path.empty() && IsExecutableFile(path) ? path : std::string{};
}

}  // namespace

std::string FindTool(std::string_view name, const ToolSearch& search) {
    if (search.explicitTool && *search.explicitTool) {
        const std::string tool(search.explicitTool);
        return base::IsAbsolutePath(tool) && IsExecutableFile(tool) ? tool : std::string{};
    }
    if (auto found = InFolder(search.ownFolder, name); !found.empty()) return found;
    if (auto found = InFolder(search.relativeHelperFolder, name); !found.empty()) return found;
    if (auto found = InFolder(search.helperFolder, name); !found.empty()) return found;
    if (search.pathVariable) {
        std::string_view path(search.pathVariable);
        while (true) {
            const std::size_t colon = path.find(base::PathListSeparator());
            if (auto found = InFolder(path.substr(0, colon), name); !found.empty()) return found;
            if (colon == std::string_view::npos) break;
            path.remove_prefix(colon + 1);
        }
    }
    return {};
}

ToolSearch CurrentToolSearch() {
    ToolSearch search;
    search.explicitTool = base::Environment(kChecksumToolVariable);
    if (const std::string own = base::OwnExecutable(); !own.empty()) {
        // Through UTF-8 both ways, whatever the system's own encoding of names.
        const auto self = std::filesystem::path(std::u8string(own.begin(), own.end()));
        const auto utf8 = [](const std::filesystem::path& p) {
            const std::u8string text = p.u8string();
            return std::string(text.begin(), text.end());
        };
        search.ownFolder = utf8(self.parent_path());
        search.relativeHelperFolder =
            utf8((self.parent_path() / VUMO_HELPER_DIR_FROM_BIN).lexically_normal());
    }
    search.helperFolder = VUMO_HELPER_DIR;
    search.pathVariable = base::Environment("PATH");
    return search;
}

std::string FindChecksumTool() { return FindTool(kChecksumToolName, CurrentToolSearch()); }

namespace {

// What is wrong with `path` as a program to run; empty when nothing is.
std::string ProblemWith(const std::string& path) {
    const std::string problem = base::WhyNotExecutable(path);
    return problem.empty() ? problem : "the checksum tool " + problem;
}

// A file of that name in the folder that is there, whether it may run or not.
std::string PresentInFolder(std::string_view folder, std::string_view name) {
    const std::string path = PathInFolder(folder, name);
    base::FileIdentity id;
    return !path.empty() && base::IdentifyPath(path, id) ? path : std::string{};
}

}  // namespace

std::string WhyToolNotFound(std::string_view name, const ToolSearch& search) {
    if (search.explicitTool && *search.explicitTool) {
        const std::string tool(search.explicitTool);
        if (!base::IsAbsolutePath(tool))
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
            const std::size_t colon = path.find(base::PathListSeparator());
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
    if (!base::IsAbsolutePath(tool))
        return "the checksum tool " + tool + " is not named with an absolute path";
    if (std::string problem = ProblemWith(tool); !problem.empty()) return problem;
    // A script whose interpreter is missing fails with ENOENT although the script is there.
    if (error == ENOENT)
        return "the checksum tool " + tool + " could not be started: its interpreter or a library it needs is missing";
    return "the checksum tool " + tool + " could not be started: " + base::ErrorText(error);
}

}  // namespace vumo::image
