#pragma once
// An emulated device, written from the device's side: it runs its application (product 1) or
// its update loader (product 2), switches between them when told, answers the upload
// conversation, keeps the image it received, and misbehaves on demand. It plays onto any
// platform::DevicePort, as sim/device_player.h plays a recorded device.
//
// Application mode: 21-byte output reports, 17-byte input reports. 0xEE 223 makes it leave the
// bus and come back in update mode after the return delay, under the same serial number.
//
// Update mode: 133-byte output reports, 17-byte input reports. It answers
//   "READY?" -> READY, "LOCATION" -> LOCAT, "SIZE" -> SIZE, "DFUSTART" -> START,
//   each block -> IMAGE, "DFUEND" -> END,
// and on 0xEE 13 it restarts: leaves the bus and comes back in application mode after the
// return delay, keeping the image it received so that a test can compare it with the file.
// It keeps its port (where it is plugged in) through every switch and restart, as a real device
// keeps its USB port.
//
// A command is its keyword from byte 1, its one value byte where it has one (LOCATION: byte 9,
// SIZE: byte 5, 0xEE: byte 2), and zeros in every other byte, as the host builds it. Between
// DFUSTART and DFUEND every other 133-byte report is a block: bytes 1-128 data, 129-132 its CRC
// most significant byte first. A block whose CRC does not match is dropped without a reply. A
// block that happens to look like a command can't be taken for one: its CRC bytes would have to
// be zero as well. The loader takes at most 1024 blocks; later ones are dropped.
//
// Reply layout (17 bytes; byte 0 is the report ID, 0; bytes 1-2 are 0; every byte after the
// keyword is 0). The host finds START in bytes 6-10, END in 6-8 and the other four from byte 3,
// so START and END are sent as "DFUSTART" and "DFUEND" from byte 3:
//
//   byte    0  1  2  3  4  5  6  7  8  9  10
//   READY   0  0  0  R  E  A  D  Y
//   LOCAT   0  0  0  L  O  C  A  T
//   SIZE    0  0  0  S  I  Z  E
//   START   0  0  0  D  F  U  S  T  A  R  T
//   IMAGE   0  0  0  I  M  A  G  E
//   END     0  0  0  D  F  U  E  N  D
//
// Each reply passes exactly its own test and no other: the four keywords read from byte 3 share
// no prefix with one another or with "DFU", and bytes 6-8 hold "STA" and "END" only in the START
// and END replies. Noise (a fault below) is checked against the host's tests before it is sent.
//
// Threads: output reports arrive on the host's writing thread; delayed replies and the return
// after a mode switch run on the emulator's own timer thread. Destruction cancels what is
// pending, joins the timer, waits for any output report being handled, and unplugs the device.

#include "platform/device_port.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vumo::sim {

enum class Mode {
    application,  // product 1 on the bus
    update,       // product 2 on the bus
    absent,       // off the bus: switching, restarting, unplugged, or never came back
};

const char* ToString(Mode mode);

// The six replies of the update loader.
enum class Reply { ready, location, size, start, end, image };

inline constexpr int kReplyKinds = 6;

// The reply as the host receives it (17 bytes, layout above).
std::vector<std::uint8_t> BuildReply(Reply reply);

// Ways to misbehave. Block numbers count from 0 in the order the blocks arrive after DFUSTART.
struct Faults {
    // Replies that are never sent; the command still takes effect. Reply::image here withholds
    // every IMAGE; silentBlocks withholds it for single blocks.
    std::set<Reply> silent;
    std::set<std::uint32_t> silentBlocks;        // no IMAGE for these blocks (they are kept)
    std::optional<std::uint32_t> unplugAtBlock;  // leave the bus when this block arrives
    bool noReturn = false;   // after a mode switch or restart, stay away for good
    bool newSerial = false;  // come back from a mode switch or restart under another serial
    bool noise = false;      // before each reply, send reports that pass no test of the host
    std::chrono::milliseconds replyDelay{0};
    // After a restart the new firmware does not start: the device comes back in update mode, as
    // a loader that finds no bootable image stays in the loader. Mode switches are unaffected.
    bool noBoot = false;
    // In update mode, drop (no reply, no effect) any report that comes sooner than this after
    // the loader's previous reply; 0: take every report.
    std::chrono::milliseconds minGap{0};
    // In update mode, READY? goes unanswered for this long after the loader came onto the bus,
    // as a loader still busy starting up; 0: answered at once.
    std::chrono::milliseconds readyAfter{0};

    bool operator==(const Faults&) const = default;
};

struct EmulatorConfig {
    std::string serial = "VUMO-0001";
    std::string manufacturer = "Vumo";
    std::string port;  // where it is plugged in, the same in both modes
    std::string applicationProduct = "Vumo Device";
    std::string updateProduct = "Vumo Update Loader";
    Mode startMode = Mode::application;  // application or update
    std::chrono::milliseconds returnDelay{1000};
    Faults faults;
    // What min-gap measures time with; empty: the steady clock. Tests give their own.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

// A consistent snapshot of what the emulator has seen and done.
struct EmulatorStatus {
    Mode mode = Mode::absent;
    std::string serial;
    std::string path;                  // empty while off the bus
    std::string port;                  // from the configuration, the same in every mode
    std::uint32_t blocksReceived = 0;  // good blocks kept since the last DFUSTART
    std::uint32_t blocksRejected = 0;  // bad CRC or beyond capacity, since the last DFUSTART
    bool sessionOpen = false;          // between DFUSTART and DFUEND
    std::optional<std::uint8_t> locationCode;  // from the latest LOCATION
    std::optional<std::uint8_t> sizeByte;      // from the latest SIZE
    std::uint32_t modeSwitches = 0;            // 0xEE 223 obeyed in application mode
    std::uint32_t restarts = 0;                // 0xEE 13 obeyed in update mode
    std::uint32_t arrivals = 0;                // times attached to the bus, the first time included
    std::uint32_t departures = 0;              // times it left the bus (destruction not counted)
    std::uint32_t reportsDropped = 0;          // reports that came too soon after a reply (min-gap)
    // Indexed by Reply; counted as each reply goes out, so a reply the host has seen is counted.
    std::array<std::uint32_t, kReplyKinds> repliesSent{};
};

class DeviceEmulator {
public:
    using Clock = std::chrono::steady_clock;

    // Attaches at once in config.startMode. The port must outlive the emulator.
    DeviceEmulator(platform::DevicePort& port, EmulatorConfig config);
    ~DeviceEmulator();
    DeviceEmulator(const DeviceEmulator&) = delete;
    DeviceEmulator& operator=(const DeviceEmulator&) = delete;

    EmulatorStatus status() const;
    Mode mode() const;
    std::string serial() const;
    std::string path() const;
    // The received blocks concatenated, in order (128 bytes each).
    std::vector<std::uint8_t> firmware() const;
    std::uint32_t blocksReceived() const;
    std::optional<std::uint8_t> locationCode() const;
    std::optional<std::uint8_t> sizeByte() const;
    std::uint32_t modeSwitches() const;
    std::uint32_t restarts() const;
    std::uint32_t repliesSent(Reply reply) const;

    // Pulls the plug: leaves the bus at once and cancels any pending return or reply.
    void unplug();

    // Wait helpers: true when the condition holds, false at the deadline.
    bool waitForMode(Mode mode, Clock::time_point deadline) const;
    bool waitForBlocks(std::uint32_t count, Clock::time_point deadline) const;
    // Until the emulator has come onto the bus `count` times in all.
    bool waitForArrivals(std::uint32_t count, Clock::time_point deadline) const;
    bool waitForReplies(Reply reply, std::uint32_t count, Clock::time_point deadline) const;

    class Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace vumo::sim
