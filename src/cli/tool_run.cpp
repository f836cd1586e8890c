#include "cli/tool_run.h"

#include "image/tool_lookup.h"

namespace vumo::cli {

ToolRun ToolRunOf(const image::PrepareResult& result, const image::CRedirector& runner,
                  const std::string& path) {
    ToolRun run;
    if (result.failure == image::PrepareFailure::toolNotFound) return run;
    // The same search that the first stage made; the command is rebuilt from it.
    const std::string tool = image::FindChecksumTool();
    if (!tool.empty()) run.command = image::ChecksumCommand(tool, path);
    run.output = runner.Output();
    return run;
}

}  // namespace vumo::cli
