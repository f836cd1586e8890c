// The verdict on the checksum tool's output, with the output cut into arbitrary pieces the way
// a pipe may hand it over.
//
// Input layout: byte 0 is the previous verdict's location code, byte 1 (low 4 bits) the number
// of cuts, then one byte per cut giving that piece's length; the rest is the output.
//
// Checked:
//  - the runner's way (pieces appended in order, kept up to its limit, examined once at the
//    end) gives the verdict of the whole output examined at once, however it was cut;
//  - what OnOutput promises for each piece alone: the piece ends at its zero byte; isFirmware
//    is decided afresh (true iff the firmware mark occurs); without a location text the
//    location is the previous one, with one it is a code of the bank that was found and
//    does not depend on the previous one;
//  - fed piece by piece, each verdict passed on to the next piece, the result is the last
//    piece's isFirmware and the location of the last piece that held a location text.

#include "fuzz_check.h"
#include "image/redirector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace vumo::image;

std::string_view UpToZero(std::string_view s) { return s.substr(0, s.find('\0')); }

bool IsBankACode(std::uint8_t c) {
    return c == 0xBB || c == 0x01 || c == 0x02 || c == 0x03 || c == 0xFF;
}
bool IsBankBCode(std::uint8_t c) {
    return c == 0xDF || c == 0xD1 || c == 0xD2 || c == 0xD3 || c == 0xDD;
}

// Checks one piece against OnOutput's contract and returns whether it held a location text.
bool CheckPiece(std::string_view piece, OutputVerdict previous) {
    const OutputVerdict v = OnOutput(piece, previous);
    const std::string_view seen = UpToZero(piece);
    FUZZ_CHECK(v == OnOutput(seen, previous));
    FUZZ_CHECK(v.isFirmware == (seen.find(kFirmwareMark) != std::string_view::npos));
    FUZZ_CHECK(v.isFirmware ==
               OnOutput(piece, {!previous.isFirmware, previous.location}).isFirmware);

    const std::size_t a = seen.find(kLocationMarkA);
    const std::size_t b = seen.find(kLocationMarkB);
    if (a == std::string_view::npos && b == std::string_view::npos) {
        FUZZ_CHECK(v.location == previous.location);
        return false;
    }
    FUZZ_CHECK(b < a ? IsBankBCode(v.location) : IsBankACode(v.location));
    const auto other = static_cast<std::uint8_t>(previous.location ^ 0x5A);
    FUZZ_CHECK(OnOutput(piece, {previous.isFirmware, other}).location == v.location);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const OutputVerdict previous{false, data[0]};
    const std::size_t cuts = data[1] & 0xF;
    std::size_t at = 2;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < cuts && at < size; ++i) lengths.push_back(data[at++]);
    const std::string_view output(reinterpret_cast<const char*>(data) + at, size - at);

    std::vector<std::string_view> pieces;
    std::size_t from = 0;
    for (std::size_t length : lengths) {
        const std::size_t n = std::min(length, output.size() - from);
        pieces.push_back(output.substr(from, n));
        from += n;
    }
    pieces.push_back(output.substr(from));

    std::string kept;
    for (std::string_view piece : pieces)
        kept.append(piece.substr(0, kMaxKeptOutput - std::min(kMaxKeptOutput, kept.size())));
    const OutputVerdict whole = OnOutput(output, previous);
    FUZZ_CHECK(OnOutput(kept, previous) == whole);
    CheckPiece(output, previous);

    OutputVerdict chained = previous;
    std::uint8_t expectedLocation = previous.location;
    for (std::string_view piece : pieces) {
        if (CheckPiece(piece, chained)) expectedLocation = OnOutput(piece, {}).location;
        chained = OnOutput(piece, chained);
    }
    FUZZ_CHECK(chained.isFirmware ==
               (UpToZero(pieces.back()).find(kFirmwareMark) != std::string_view::npos));
    FUZZ_CHECK(chained.location == expectedLocation);
    return 0;
}
