#pragma once
// Exit statuses of vumo-dfu. Scripts and production lines tell failures apart by them, so they
// never change meaning; --help lists them.

#include "image/prepare.h"

namespace vumo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;          // anything not listed below
inline constexpr int kExitUsage = 2;            // bad command line
inline constexpr int kExitFile = 3;             // file unreadable, refused by the check, too large
inline constexpr int kExitNoDevice = 4;         // no matching device, or the one named is absent
inline constexpr int kExitAmbiguous = 5;        // several devices match: name one
inline constexpr int kExitOpen = 6;             // the device could not be opened
inline constexpr int kExitDevice = 7;           // the device did not answer, or did not come back
inline constexpr int kExitNotBooted = 8;        // uploaded, but not back in application mode
inline constexpr int kExitReplay = 9;            // replay: the run differs from the recording
inline constexpr int kExitStationFailed = 10;    // station: a device failed
inline constexpr int kExitInterrupted = 130;    // Ctrl-C or SIGTERM

inline constexpr const char* kExitCodeHelp =
    "Exit status:\n"
    "  0    success (update: the device confirmed the end of the upload and, after a restart,\n"
    "       came back in application mode; station: at least one device finished and every\n"
    "       finished device is ok)\n"
    "  1    other failure\n"
    "  2    bad command line\n"
    "  3    the firmware file could not be read or was refused by the check\n"
    "  4    no matching device, or the chosen device is not present (station: no device\n"
    "       was flashed)\n"
    "  5    several devices match: choose one with --serial or --index\n"
    "  6    the device could not be opened (permissions, or held by another program)\n"
    "  7    the device did not answer in time, or did not come back after the mode switch\n"
    "  8    the image was uploaded, but the device did not come back in application mode\n"
    "       after its restart (it may not have started the new firmware)\n"
    "  9    --replay: the program wrote something else than the recording shows, or the\n"
    "       recording was refused\n"
    "  10   station: at least one device failed (the others may be ok; see the summary)\n"
    "  130  interrupted (station: before any device was ok, or a second Ctrl-C stopped\n"
    "       running devices)\n";

// The status of a failed file check, the same for `check` and `update`: a refused or unusable
// file is 3, a tool that could not do its job is 1.
inline int ExitCodeForCheck(image::PrepareFailure failure) {
    using image::PrepareFailure;
    switch (failure) {
    case PrepareFailure::none: return kExitOk;
    case PrepareFailure::notFirmware:
    case PrepareFailure::fileOpen:
    case PrepareFailure::readError:
    case PrepareFailure::tooLarge:
    case PrepareFailure::malformedHex:
    case PrepareFailure::fileChanged: return kExitFile;
    case PrepareFailure::toolNotFound:
    case PrepareFailure::toolTimedOut:
    case PrepareFailure::toolFailed: return kExitFailure;
    case PrepareFailure::interrupted: return kExitInterrupted;
    }
    return kExitFailure;
}

}  // namespace vumo::cli
