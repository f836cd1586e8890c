#pragma once
// The checksum tool's run as -v shows it: the command line it was started with and what it
// wrote.

#include "image/prepare.h"
#include "image/redirector.h"

#include <string>
#include <vector>

namespace vumo::cli {

struct ToolRun {
    std::vector<std::string> command;  // empty when the tool was not started
    std::string output;
};

// Of the first stage that `runner` has just carried out for `path`.
ToolRun ToolRunOf(const image::PrepareResult& result, const image::CRedirector& runner,
                  const std::string& path);

}  // namespace vumo::cli
