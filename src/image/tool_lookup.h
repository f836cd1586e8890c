#pragma once
// Where the checksum tool is looked for, in this order:
//  1. VUMO_CHECKSUM_TOOL, when set and not empty: the absolute path of the tool to run, and
//     nothing else is searched (a relative or unusable value finds nothing). Meant for tests
//     and demonstrations that bring a tool of their own.
//  2. The folder of the running program (the folder of /proc/self/exe).
//  3. The installed helper folder, <libexecdir>/vumo-dfu.
//  4. The absolute folders listed in PATH.
// Never the current folder: a "checksum" placed beside a firmware file must not run. An empty
// or relative PATH entry means the current folder, so such entries are skipped.

#include <string>
#include <string_view>

namespace vumo::image {

inline constexpr std::string_view kChecksumToolName = "checksum";
inline constexpr const char* kChecksumToolVariable = "VUMO_CHECKSUM_TOOL";

struct ToolSearch {
    const char* explicitTool = nullptr;  // the variable's value, null when unset
    std::string ownFolder;                // empty when unknown
    std::string relativeHelperFolder;     // the helper folder beside the running program
    std::string helperFolder;
    const char* pathVariable = nullptr;   // PATH, null when unset
};

// The search above with its inputs given; the absolute path of an executable regular file, or
// an empty string.
std::string FindTool(std::string_view name, const ToolSearch& search);

// The search for this process: environment, /proc/self/exe and the installed folder.
ToolSearch CurrentToolSearch();

// FindTool(kChecksumToolName, CurrentToolSearch()).
std::string FindChecksumTool();

// Why the search above found nothing, as a sentence fragment for the user: the file the
// variable names and what is wrong with it, or the first file of that name that is there but
// not executable, or where it was looked for.
std::string WhyToolNotFound(std::string_view name, const ToolSearch& search);

// Why `tool` (an absolute path) could not be started, given the errno of the start.
std::string WhyToolDidNotStart(const std::string& tool, int error);

}  // namespace vumo::image
