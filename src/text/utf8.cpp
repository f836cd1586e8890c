#include "text/utf8.h"

#include "text/hex.h"

#include <cstdint>

namespace vumo::text {
namespace {

std::uint8_t Byte(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

bool IsContinuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Bidirectional embeddings, overrides and isolates, and the two separators that some
// terminals and viewers take as line ends: shown escaped, never acted on.
bool IsFormatControl(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
           c == 0x200F || c == 0x061C || c == 0x2028 || c == 0x2029;
}

// "\\x1b" for a byte, "\\u009b" for a code point.
void AppendEscape(std::string& out, char kind, unsigned value, int digits) {
    out += '\\';
    out += kind;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += kHexDigits[(value >> shift) & 0xF];
}

std::string MakeTerminalSafe(std::string_view bytes, bool keepLineBreaks) {
    std::string out;
    out.reserve(bytes.size());
    for (Utf8Reader reader(bytes); !reader.done();) {
        const Decoded d = reader.next();
        const char32_t c = d.codePoint;
        if (!d.valid) {
            AppendUtf8(out, kReplacementCharacter);
        } else if (keepLineBreaks && c == '\n') {
            out += '\n';
        } else if (keepLineBreaks && c == '\r' && reader.rest().starts_with('\n')) {
            out += '\r';
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, 'x', static_cast<unsigned>(c), 2);
        } else if ((c >= 0x80 && c <= 0x9F) || IsFormatControl(c)) {
            AppendEscape(out, 'u', static_cast<unsigned>(c), 4);
        } else {
            out += reader.lastBytes();
        }
    }
    return out;
}

}  // namespace

Decoded DecodeFirst(std::string_view s) {
    if (s.empty()) return {kReplacementCharacter, 0, false};
    const std::uint8_t lead = Byte(s, 0);
    if (lead < 0x80) return {lead, 1, true};

    std::size_t length = 0;
    std::uint8_t low = 0x80;  // bounds of the second byte; narrower after some leads
    std::uint8_t high = 0xBF;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // below: overlong
        if (lead == 0xED) high = 0x9F;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // below: overlong
        if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
    } else {
        // A lone continuation byte, C0 and C1 (only ever overlong), F5-FF: nothing starts here.
        return {kReplacementCharacter, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) return {kReplacementCharacter, i, false};  // cut off at the end
        const std::uint8_t b = Byte(s, i);
        const bool fits = i == 1 ? b >= low && b <= high : IsContinuation(b);
        // The maximal subpart ends before the first byte that can't continue it.
        if (!fits) return {kReplacementCharacter, i, false};
        value = (value << 6) | (b & 0x3F);
    }
    return {value, length, true};
}

Decoded Utf8Reader::next() {
    const Decoded d = DecodeFirst(rest_);
    last_ = rest_.substr(0, d.length);
    rest_.remove_prefix(d.length);
    return d;
}

void AppendUtf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsValidUtf8(std::string_view bytes) {
    for (Utf8Reader reader(bytes); !reader.done();)
        if (!reader.next().valid) return false;
    return true;
}

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (Utf8Reader reader(bytes); !reader.done();) {
        if (reader.next().valid) {
            out += reader.lastBytes();
        } else {
            AppendUtf8(out, kReplacementCharacter);
        }
    }
    return out;
}

std::string TerminalSafe(std::string_view bytes) { return MakeTerminalSafe(bytes, false); }

std::string TerminalSafeMessage(std::string_view bytes) { return MakeTerminalSafe(bytes, true); }

std::string TruncateUtf16Units(std::string_view utf8, std::size_t units) {
    std::string out;
    std::size_t used = 0;
    for (Utf8Reader reader(utf8); !reader.done();) {
        const Decoded d = reader.next();
        const std::size_t cost = d.valid && d.codePoint > 0xFFFF ? 2 : 1;  // a surrogate pair
        if (used + cost > units) break;
        used += cost;
        if (d.valid) {
            out += reader.lastBytes();
        } else {
            AppendUtf8(out, kReplacementCharacter);
        }
    }
    return out;
}

}  // namespace vumo::text
