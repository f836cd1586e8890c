// The Intel HEX reader on arbitrary text, with the loader's size limit.
//
// Checked besides "no crash, no allocation of a huge span":
//  - the result is one of its three shapes: ok (bytes fill the span, within the limit and the
//    4 GiB address space, no message), tooLarge (span beyond the limit, nothing allocated), or
//    malformed (no bytes, a message saying where);
//  - an image that decoded re-encodes to HEX (with record lengths, line ends and digit case
//    taken from the input) that decodes to the same base address and the same bytes;
//  - a text beginning with ':' is taken for Intel HEX whatever the file is called.

#include "fuzz_check.h"
#include "image/image_file.h"
#include "image/prepare.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace vumo::image;

struct Style {
    std::size_t recordLength = 16;  // data bytes per record, 1 ... 255
    bool crlf = false;
    bool lowerCase = false;
};

class HexWriter {
public:
    explicit HexWriter(const Style& style) : style_(style) {}

    void Record(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data) {
        std::vector<std::uint8_t> r{static_cast<std::uint8_t>(data.size()),
                                    static_cast<std::uint8_t>(offset >> 8),
                                    static_cast<std::uint8_t>(offset), type};
        r.insert(r.end(), data.begin(), data.end());
        unsigned sum = 0;
        for (std::uint8_t b : r) sum += b;
        r.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
        text_ += ':';
        const char* digits = style_.lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
        for (std::uint8_t b : r) {
            text_ += digits[b >> 4];
            text_ += digits[b & 0xF];
        }
        text_ += style_.crlf ? "\r\n" : "\n";
    }

    // Data records from `base` on, with an extended linear address record wherever the upper
    // 16 bits change; no record crosses a 64 KiB boundary.
    std::string Encode(std::uint32_t base, const std::vector<std::uint8_t>& bytes) {
        std::uint64_t upper = ~std::uint64_t{0};
        std::size_t i = 0;
        while (i < bytes.size()) {
            const std::uint64_t address = std::uint64_t{base} + i;
            if ((address >> 16) != upper) {
                upper = address >> 16;
                const std::uint8_t value[2] = {static_cast<std::uint8_t>(upper >> 8),
                                               static_cast<std::uint8_t>(upper)};
                Record(0x04, 0, value);
            }
            const std::size_t toBoundary = 0x10000 - (address & 0xFFFF);
            const std::size_t n = std::min({style_.recordLength, bytes.size() - i, toBoundary});
            Record(0x00, static_cast<std::uint16_t>(address & 0xFFFF),
                   std::span<const std::uint8_t>(bytes).subspan(i, n));
            i += n;
        }
        Record(0x01, 0, {});
        return text_;
    }

private:
    Style style_;
    std::string text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> text(data, size);
    const HexImage image = DecodeIntelHex(text, kMaxImageBytes);

    switch (image.status) {
        case HexStatus::ok:
            FUZZ_CHECK(image.message.empty());
            FUZZ_CHECK(image.bytes.size() == image.span);
            FUZZ_CHECK(image.span <= kMaxImageBytes);
            FUZZ_CHECK(std::uint64_t{image.baseAddress} + image.span <= (std::uint64_t{1} << 32));
            break;
        case HexStatus::tooLarge:
            FUZZ_CHECK(image.span > kMaxImageBytes);
            FUZZ_CHECK(image.bytes.empty());
            break;
        case HexStatus::malformed:
            FUZZ_CHECK(image.bytes.empty());
            FUZZ_CHECK(!image.message.empty());
            break;
    }

    if (size > 0 && data[0] == ':') {
        FUZZ_CHECK(DetectImageFormat("image.bin", text) == ImageFormat::intelHex);
        FUZZ_CHECK(DetectImageFormat("IMAGE.HEX", text) == ImageFormat::intelHex);
    }
    (void)DetectImageFormat("image.hex", text);

    if (image.status == HexStatus::ok) {
        Style style;
        style.recordLength = 1 + size % 255;
        style.crlf = (size & 1) != 0;
        style.lowerCase = (size & 2) != 0;
        const std::string again = HexWriter(style).Encode(image.baseAddress, image.bytes);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(again.data());
        const HexImage decoded =
            DecodeIntelHex(std::span<const std::uint8_t>(bytes, again.size()), kMaxImageBytes);
        FUZZ_CHECK(decoded.status == HexStatus::ok);
        FUZZ_CHECK(decoded.baseAddress == image.baseAddress);
        FUZZ_CHECK(decoded.bytes == image.bytes);
    }
    return 0;
}
