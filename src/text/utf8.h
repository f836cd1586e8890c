#pragma once
// UTF-8 for the whole program: one decoder, and what the program builds on it. Strings from a
// device (product, serial, manufacturer), from a file name or from another program are
// untrusted bytes; everything that shows them or writes them out goes through here.
//
// Invalid input follows the Unicode practice of "maximal subparts": each longest start of a
// well-formed sequence that breaks off, and each byte that can start none (80-BF alone, C0, C1,
// F5-FF), becomes one U+FFFD. Overlong forms, surrogates (U+D800-DFFF) and values above
// U+10FFFF are never well-formed.

#include <cstddef>
#include <string>
#include <string_view>

namespace vumo::text {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One step of the decoder: the code point at the front of the input and how many bytes it
// took. An invalid sequence gives U+FFFD, valid false, and the length of its maximal subpart
// (at least 1, so a walk always moves on).
struct Decoded {
    char32_t codePoint = kReplacementCharacter;
    std::size_t length = 0;  // 0 only for empty input
    bool valid = false;
};
Decoded DecodeFirst(std::string_view bytes);

// Walks `bytes` one code point at a time:
//   for (Utf8Reader r(s); !r.done();) { const Decoded d = r.next(); ... }
class Utf8Reader {
public:
    explicit Utf8Reader(std::string_view bytes) : rest_(bytes) {}
    bool done() const { return rest_.empty(); }
    // The bytes that the latest next() consumed, as they were in the input.
    std::string_view lastBytes() const { return last_; }
    // What is left to read.
    std::string_view rest() const { return rest_; }
    Decoded next();

private:
    std::string_view rest_;
    std::string_view last_;
};

// Appends the UTF-8 form of `codePoint` (U+FFFD for surrogates and values above U+10FFFF).
void AppendUtf8(std::string& out, char32_t codePoint);

bool IsValidUtf8(std::string_view bytes);
// `bytes` with every invalid sequence replaced by U+FFFD; valid input comes back unchanged.
std::string ValidUtf8(std::string_view bytes);

// For a terminal: valid UTF-8 in which no character can move the cursor, change colours, ring
// the bell or reorder text. Control characters (C0, DEL, C1) are written visibly as \r, \n,
// \t or \xHH (\u0085 for C1), the bidirectional controls and the line and paragraph
// separators as \u202e and the like, and a backslash as \\ so that nothing is ambiguous.
// Meant for one field: a product, a serial number, a path.
std::string TerminalSafe(std::string_view bytes);
// The same for a whole message, which may break lines: "\n" and "\r\n" stay as they are.
std::string TerminalSafeMessage(std::string_view bytes);

// Cuts UTF-8 text to at most `units` UTF-16 code units, never inside a character (one outside
// the BMP takes two units). The result is valid UTF-8: an invalid sequence counts as one unit
// and comes out as U+FFFD.
std::string TruncateUtf16Units(std::string_view utf8, std::size_t units);

}  // namespace vumo::text
