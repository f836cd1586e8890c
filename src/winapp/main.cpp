// vumo-dfu-utility.exe: the firmware update window on Windows.
//
// The command line is the Linux window's (--simulate, --pacing, --record, --replay, --help,
// --version); the station window is not part of the Windows build. A text for the user (help,
// a mistake) goes to the console or file the program was started with, else into a box.

#include "app/command_line.h"
#include "base/program.h"
#include "base/windows_text.h"
#include "frontend/bus_choice.h"
#include "winapp/utility_dialog.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgramName = "vumo-dfu-utility";
constexpr const wchar_t* kCaption = L"vumo-dfu-utility";

bool WriteTo(HANDLE handle, const std::string& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = vumo::base::Widen(text);
        DWORD written = 0;
        return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) != 0;
    }
    if (GetFileType(handle) == FILE_TYPE_UNKNOWN) return false;
    DWORD written = 0;
    return WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
}

// To the standard handle the program was given, else to the console of the program that
// started it, else in a box.
void Tell(const std::string& text, bool error) {
    const DWORD stream = error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    if (WriteTo(GetStdHandle(stream), text)) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
        const bool written = WriteTo(console, text);
        if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
        FreeConsole();
        if (written) return;
    }
    MessageBoxW(nullptr, vumo::base::Widen(text).c_str(), kCaption,
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

int Run(HINSTANCE instance) {
    using vumo::app::CommandLine;
    const std::vector<std::string> args = vumo::base::ProgramArguments(0, nullptr);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const CommandLine commandLine =
        vumo::app::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), kProgramName);
    if (commandLine.action != CommandLine::Action::run) {
        Tell(commandLine.output, commandLine.action == CommandLine::Action::fail);
        return commandLine.exitCode;
    }
    if (commandLine.station) {
        Tell(std::string(kProgramName) +
                 ": the station window is not part of the Windows build; flash many devices "
                 "with \"vumo-dfu.exe station FILE\" in a console instead.\n",
             true);
        return vumo::app::kExitUsage;
    }

    std::string error;
    vumo::frontend::BusFailure failure = vumo::frontend::BusFailure::none;
    std::unique_ptr<vumo::frontend::BusChoice> busChoice =
        vumo::frontend::BusChoice::Make(commandLine.bus, error, failure);
    if (!busChoice) {
        MessageBoxW(nullptr, vumo::base::Widen(error).c_str(), kCaption, MB_OK | MB_ICONWARNING);
        return failure == vumo::frontend::BusFailure::usage ? vumo::app::kExitUsage
                                                            : vumo::app::kExitFailure;
    }

    vumo::winapp::DialogOptions options;
    options.pacing = commandLine.pacing;
    options.onImagePrepared = [&busChoice](const std::string& sha256, std::uint64_t size) {
        busChoice->NoteImage(sha256, size);
    };
    {
        vumo::winapp::UtilityDialog dialog(busChoice->bus(), std::move(options));
        if (!dialog.Create(instance)) {
            MessageBoxW(nullptr, dialog.error().c_str(), kCaption, MB_OK | MB_ICONERROR);
            return vumo::app::kExitFailure;
        }
        dialog.RunModal();
    }
    // The recording gets its end; a replay says whether this run went as recorded.
    const auto conclusion = busChoice->Conclude(vumo::app::kExitOk, vumo::app::kExitFailure);
    std::string said;
    for (const std::string* line :
         {&conclusion.replayError, &conclusion.note, &conclusion.recordError})
        if (!line->empty()) said += std::string(kProgramName) + ": " + *line + "\n";
    if (!said.empty()) Tell(said, true);
    busChoice.reset();
    return conclusion.replayError.empty() ? vumo::app::kExitOk : vumo::app::kExitFailure;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return Run(instance); }
