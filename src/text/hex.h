#pragma once
// Bytes as lower-case hex digits and back: recordings, digests, escapes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::text {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// 0-15 for a hex digit of either case, -1 for anything else.
int HexDigitValue(char c);

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes);
std::string Hex(std::span<const std::uint8_t> bytes);
// Hex as AppendHex writes it (either case accepted); nothing when it is not.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

}  // namespace vumo::text
