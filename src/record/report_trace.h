#pragma once
// -vv: one line on stderr for every report written or read, as a user pastes it when asking
// for help:
//
//   +10.021 ms  out 133  00 52 45 41 44 59 3f 00 ...
//   +10.544 ms  in 17  00 52 45 41 44 59 ...
//
// time since the bus was made, direction, length, and every byte in lower-case hex.

#include "platform/observed_hid_bus.h"

#include <cstdio>
#include <string>

namespace vumo::record {

// The line for one report, with its '\n'.
std::string TraceLine(platform::BusObserver::Offset at, bool out,
                      std::span<const std::uint8_t> report);

class ReportTrace final : public platform::BusObserver {
public:
    explicit ReportTrace(std::FILE* to = stderr) : to_(to) {}
    void onWrite(Offset, int handle, const std::string& path, std::span<const std::uint8_t>,
                 const platform::WriteResult&) override;
    void onRead(Offset, int handle, const std::string& path, platform::ReadStatus,
                std::span<const std::uint8_t>) override;

private:
    std::FILE* to_;
};

}  // namespace vumo::record
