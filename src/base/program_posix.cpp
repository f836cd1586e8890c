#include "base/program.h"

#include <unistd.h>

namespace vumo::base {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {}

bool TerminalWithEscapes(int stream) { return ::isatty(stream) == 1; }

}  // namespace vumo::base
