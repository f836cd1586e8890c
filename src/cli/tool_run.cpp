#include "cli/tool_run.h"

#include "image/redirector.h"

namespace vumo::cli {

image::PrepareResult CheckFirmwareFile(const std::string& path,
                                       const platform::StopSignals& stops, StepLog& log) {
    image::CRedirector runner;
    image::PrepareOptions options;
    options.cancel = stops.ready();
    image::PrepareResult prepared = image::PrepareImage(path, runner, options);
    log.ToolRun(prepared.toolCommand, prepared.toolOutput);
    return prepared;
}

}  // namespace vumo::cli
