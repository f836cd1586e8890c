#include "image/tool_lookup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

}  // namespace vumo::image
