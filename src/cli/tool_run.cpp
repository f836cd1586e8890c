#include "cli/tool_run.h"


namespace vumo::cli {

ToolRun ToolRunOf(const image::PrepareResult& result, const image::CRedirector& /*runner*/,
                  const std::string& /*path*/) {
    return {result.toolCommand, result.toolOutput};
}

}  // namespace vumo::cli
