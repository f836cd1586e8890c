#pragma once
// Exit statuses of vumo-dfu. Scripts and production lines tell failures apart by them, so they
// never change meaning; --help lists them.

namespace vumo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;          // anything not listed below
inline constexpr int kExitUsage = 2;            // bad command line
inline constexpr int kExitFile = 3;             // file unreadable, refused by the check, too large
inline constexpr int kExitNoDevice = 4;         // no matching device, or the one named is absent
inline constexpr int kExitAmbiguous = 5;        // several devices match: name one
inline constexpr int kExitOpen = 6;             // the device could not be opened
inline constexpr int kExitDevice = 7;           // the device did not answer, or did not come back
inline constexpr int kExitReplay = 8;            // replay: the run differs from the recording
inline constexpr int kExitInterrupted = 130;    // Ctrl-C or SIGTERM

inline constexpr const char* kExitCodeHelp =
    "Exit status:\n"
    "  0    success (update: the device confirmed the end of the upload)\n"
    "  1    other failure\n"
    "  2    bad command line\n"
    "  3    the firmware file could not be read or was refused by the check\n"
    "  4    no matching device, or the chosen device is not present\n"
    "  5    several devices match: choose one with --serial or --index\n"
    "  6    the device could not be opened (permissions, or held by another program)\n"
    "  7    the device did not answer in time, or did not come back after the mode switch\n"
    "  8    --replay: the program wrote something else than the recording shows, or the\n"
    "       recording was refused\n"
    "  130  interrupted\n";

}  // namespace vumo::cli
