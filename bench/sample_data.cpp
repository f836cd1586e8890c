#include "sample_data.h"

#include <algorithm>
#include <cstdio>

namespace vumo::bench {

std::vector<std::uint8_t> SampleImage(std::size_t bytes) {
    std::vector<std::uint8_t> image(bytes);
    std::uint32_t x = 0x12345678;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return image;
}

namespace {

void AppendRecord(std::string& text, unsigned type, std::uint32_t address,
                  std::span<const std::uint8_t> data) {
    char hex[4];
    unsigned sum = 0;
    const auto put = [&](unsigned byte) {
        std::snprintf(hex, sizeof hex, "%02X", byte & 0xFF);
        text += hex;
        sum += byte & 0xFF;
    };
    text += ':';
    put(static_cast<unsigned>(data.size()));
    put(address >> 8);
    put(address);
    put(type);
    for (const std::uint8_t b : data) put(b);
    put(0x100 - (sum & 0xFF));
    text += '\n';
}

}  // namespace

std::string IntelHex(std::span<const std::uint8_t> bytes, std::uint32_t base) {
    std::string text;
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        const std::uint32_t address = base + static_cast<std::uint32_t>(i);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const std::uint8_t high[2] = {static_cast<std::uint8_t>(upper >> 8),
                                          static_cast<std::uint8_t>(upper)};
            AppendRecord(text, 4, 0, high);
        }
        AppendRecord(text, 0, address & 0xFFFF,
                     bytes.subspan(i, std::min<std::size_t>(16, bytes.size() - i)));
    }
    AppendRecord(text, 1, 0, {});
    return text;
}

}  // namespace vumo::bench
