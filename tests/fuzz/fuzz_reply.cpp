// Reply recognition on reports of arbitrary length and content: MatchReply alone, and
// DfuDevice::ParseReply, the listener's entry, on a device object that is never opened.
//
// Input layout: byte 0 splits the rest into two reports (the first takes byte 0 modulo the
// rest's length plus one), so that a second reply lands on the flags the first one left.
//
// Checked:
//  - only the six test bits are ever set, and no test reads outside the keyword places
//    (bytes 3-10): the report ID and bytes 1-2 don't matter, nor does anything beyond byte 10;
//  - a test that passes on a short report still passes when the report grows (bytes past the
//    end count as absent, never as something else);
//  - ParseReply sets the flags as Apply documents: from cleared flags START without END sets
//    start, END clears start and sets end, the other four set their own flag; a second
//    report only adds to the flags, except that END clears start.

#include "fuzz_check.h"
#include "hid/dfu_device.h"
#include "protocol/replies.h"
#include "sim/sim_hid_bus.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace {

using namespace vumo;
using protocol::Flag;

constexpr std::uint8_t kAllTests = protocol::kReplyStart | protocol::kReplyReady |
                                   protocol::kReplySize | protocol::kReplyEnd |
                                   protocol::kReplyImage | protocol::kReplyLocat;

struct Flags {
    std::uint32_t ready, start, size, image, location, end;
};

Flags Read(const protocol::ReplyFlags& f) {
    return {f.Get(Flag::ready), f.Get(Flag::start),    f.Get(Flag::size),
            f.Get(Flag::image), f.Get(Flag::location), f.Get(Flag::end)};
}

void CheckMatch(std::span<const std::uint8_t> report) {
    const std::uint8_t passed = protocol::MatchReply(report);
    FUZZ_CHECK((passed & ~kAllTests) == 0);
    FUZZ_CHECK(protocol::MatchReply(report.first(std::min<std::size_t>(report.size(), 11))) ==
               passed);

    std::vector<std::uint8_t> other(report.begin(), report.end());
    for (std::size_t i = 0; i < std::min<std::size_t>(other.size(), 3); ++i)
        other[i] = static_cast<std::uint8_t>(~other[i]);
    FUZZ_CHECK(protocol::MatchReply(other) == passed);

    for (std::size_t n = 0; n < std::min<std::size_t>(report.size(), 11); ++n) {
        const std::uint8_t shorter = protocol::MatchReply(report.first(n));
        FUZZ_CHECK((shorter & ~passed) == 0);
    }
}

hid::DfuDevice& Device() {
    // One device object for the whole run: it starts a listener thread, which stays idle as
    // the device is never opened. Destroyed (and the thread joined) at exit.
    static sim::SimHidBus bus;
    static hid::DfuDevice device(bus);
    return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::size_t firstLength = rest.empty() ? 0 : data[0] % (rest.size() + 1);
    const auto first = rest.first(firstLength);
    const auto second = rest.subspan(firstLength);
    CheckMatch(first);
    CheckMatch(second);

    hid::DfuDevice& dfu = Device();
    dfu.flags().ClearAll();
    dfu.ParseReply(first);
    const std::uint8_t p = protocol::MatchReply(first);
    const Flags a = Read(dfu.flags());
    FUZZ_CHECK(a.start == ((p & protocol::kReplyStart) && !(p & protocol::kReplyEnd) ? 1u : 0u));
    FUZZ_CHECK(a.end == ((p & protocol::kReplyEnd) ? 1u : 0u));
    FUZZ_CHECK(a.ready == ((p & protocol::kReplyReady) ? 1u : 0u));
    FUZZ_CHECK(a.size == ((p & protocol::kReplySize) ? 1u : 0u));
    FUZZ_CHECK(a.image == ((p & protocol::kReplyImage) ? 1u : 0u));
    FUZZ_CHECK(a.location == ((p & protocol::kReplyLocat) ? 1u : 0u));

    dfu.ParseReply(second);
    const std::uint8_t q = protocol::MatchReply(second);
    const Flags b = Read(dfu.flags());
    const auto after = [](std::uint32_t before, std::uint8_t passed, std::uint8_t test) {
        return (passed & test) ? 1u : before;
    };
    FUZZ_CHECK(b.ready == after(a.ready, q, protocol::kReplyReady));
    FUZZ_CHECK(b.size == after(a.size, q, protocol::kReplySize));
    FUZZ_CHECK(b.image == after(a.image, q, protocol::kReplyImage));
    FUZZ_CHECK(b.location == after(a.location, q, protocol::kReplyLocat));
    FUZZ_CHECK(b.end == after(a.end, q, protocol::kReplyEnd));
    FUZZ_CHECK(b.start ==
               ((q & protocol::kReplyEnd) ? 0u : after(a.start, q, protocol::kReplyStart)));
    return 0;
}
