#pragma once
// Host-side helpers for driving emulated devices through the real device objects.

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "platform/hid_bus.h"
#include "sim/device_emulator.h"
#include "sim/simulate_options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vumo::sim {

inline void PrintTo(Mode mode, std::ostream* os) { *os << ToString(mode); }

namespace test {

using namespace std::chrono_literals;
using protocol::Flag;

// Generous: only reached when something is broken.
inline constexpr std::chrono::seconds kWait{5};

inline std::chrono::steady_clock::time_point In(std::chrono::steady_clock::duration d) {
    return std::chrono::steady_clock::now() + d;
}

inline SimulateOptions Options(std::string_view text) {
    SimulateOptions options;
    std::string error;
    if (!ParseSimulateOptions(text, options, error)) ADD_FAILURE() << error;
    return options;
}

// An emulator that returns from a mode switch or restart within milliseconds.
inline EmulatorConfig FastConfig(Mode mode, std::string serial, Faults faults = {}) {
    EmulatorConfig config;
    config.serial = std::move(serial);
    config.startMode = mode;
    config.returnDelay = 5ms;
    config.faults = std::move(faults);
    return config;
}

// The update side of the host: a DfuDevice and the flags it waits on.
class UpdateHost {
public:
    explicit UpdateHost(platform::HidBus& bus) : dfu(bus) {}

    bool OpenFirst() { return dfu.EnumerateDevices() > 0 && dfu.Open(0) == hid::kOpenOk; }

    bool Wait(Flag f, std::uint32_t want = 1) {
        return dfu.flags().WaitFor(f, want, In(kWait), stop);
    }

    // Replies travel in order through one queue to one listener: once the reply to this query
    // has been handled, whatever the device sent before it has been too. `via` picks the query
    // (ready, location or size), for tests that silence one of them.
    bool Barrier(Flag via = Flag::ready) {
        dfu.flags().Set(via, 0);
        switch (via) {
            case Flag::location: SendLocation(); break;
            case Flag::size: SendSize(); break;
            default: dfu.SendReadyQuery(); break;
        }
        return Wait(via);
    }

    // The six flags as a set of bits, in the order of protocol::Flag.
    unsigned Flags() const {
        unsigned bits = 0;
        int i = 0;
        for (Flag f : {Flag::ready, Flag::start, Flag::size, Flag::image, Flag::location,
                       Flag::end})
            bits |= (dfu.flags().Get(f) ? 1u : 0u) << i++;
        return bits;
    }

    // A recognisable image: no two blocks alike, no block of zeros.
    void LoadImage(std::uint32_t blocks) {
        image.blockCount = blocks;
        for (std::uint32_t b = 0; b < blocks; ++b)
            for (std::size_t j = 0; j < protocol::kBlockSize; ++j)
                image.blocks[b][j] = static_cast<std::uint8_t>(b * 7 + j * 13 + (b >> 8) + 1);
        image.ComputeBlockCrcs();
    }

    // The commands that carry what the host was told to send.
    std::uint8_t SendLocation() { return dfu.SendLocation(location); }
    std::uint8_t SendSize() { return dfu.SendSize(image.blockCount); }
    std::uint8_t SendBlock(std::uint32_t index) { return dfu.SendBlock(image, index); }

    std::vector<std::uint8_t> ImageBytes() const {
        std::vector<std::uint8_t> out;
        for (std::uint32_t b = 0; b < image.blockCount; ++b)
            out.insert(out.end(), image.blocks[b].begin(), image.blocks[b].end());
        return out;
    }

    // DFUSTART, and its START reply.
    bool Start() {
        dfu.SendStart();
        return Wait(Flag::start);
    }

    // Sends blocks [first, first + count) in turn, each after the IMAGE for the one before.
    bool SendBlocks(std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t i = first; i < first + count; ++i) {
            dfu.flags().Set(Flag::image, 0);
            SendBlock(i);
            if (!Wait(Flag::image)) return false;
        }
        return true;
    }

    bool SendAllBlocks() { return SendBlocks(0, image.blockCount); }

    // The whole conversation; false at the first reply that does not come.
    bool Upload(std::uint8_t locationCode, std::uint32_t blocks) {
        LoadImage(blocks);
        location = locationCode;
        dfu.SendReadyQuery();
        if (!Wait(Flag::ready)) return false;
        SendLocation();
        if (!Wait(Flag::location)) return false;
        SendSize();
        if (!Wait(Flag::size)) return false;
        if (!Start() || !SendAllBlocks()) return false;
        dfu.SendEnd();
        return Wait(Flag::start, 0) && dfu.flags().Get(Flag::end) == 1;
    }

    hid::DfuDevice dfu;
    protocol::FirmwareImage image;
    std::uint8_t location = 0;
    std::atomic<bool> stop{false};
};

// Hot-plug events until `want` have come or the deadline has passed.
inline std::vector<platform::HotplugMonitor::Event> CollectEvents(
    platform::HotplugMonitor& monitor, std::size_t want,
    std::chrono::steady_clock::time_point deadline) {
    std::vector<platform::HotplugMonitor::Event> out;
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const base::Waitable ready[1] = {monitor.ready()};
        if (base::WaitAny(ready, left) != 0) break;
        for (auto& e : monitor.takeEvents()) out.push_back(std::move(e));
    }
    return out;
}

}  // namespace test
}  // namespace vumo::sim
