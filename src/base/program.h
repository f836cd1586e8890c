#pragma once
// What a command-line program gets from the system at its start, the same on every system:
// its arguments in UTF-8 (Windows hands them over in UTF-16) and a console that takes UTF-8
// output as it is written.

#include <string>
#include <vector>

namespace vumo::base {

// The arguments, argv[0] included, in UTF-8. On Linux argv as it is; on Windows the wide
// command line, so that names outside the ANSI code page arrive intact.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Sets up standard output and error: UTF-8 bytes as written, '\n' not turned into "\r\n" (the
// output is the same byte for byte as on Linux). Call once at the start.
void PrepareConsole();

// True when `stream` (1 or 2) is a terminal that understands the escape sequences the live
// views use (cursor up, clear line); on Windows, a console that accepts virtual-terminal
// processing.
bool TerminalWithEscapes(int stream);

}  // namespace vumo::base
