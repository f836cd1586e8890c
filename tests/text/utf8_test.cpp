// The program's one UTF-8 decoder and what is built on it: replacement of invalid input by
// maximal subparts, text made safe for a terminal, and cutting to UTF-16 units.

#include "text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace vumo::text {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
    const char* name;
    std::string in;
    std::string out;
};

// Invalid input, each case with the replacement the Unicode practice gives: one U+FFFD per
// maximal subpart, the byte that breaks a sequence off starting afresh.
const Case kBadInput[] = {
    {"lone continuation bytes", "a\x80\xBF" "b", "a" + R + R + "b"},
    {"C0 and C1 can start nothing", "\xC0\xAF\xC1\xBF", R + R + R + R},
    {"F5 to FF can start nothing", "\xF5\x80\x80\x80\xFF\xFE", R + R + R + R + R + R},
    {"overlong two-byte slash", "\xC0\xAF", R + R},
    {"overlong three-byte slash", "\xE0\x80\xAF", R + R + R},
    {"overlong four-byte slash", "\xF0\x80\x80\xAF", R + R + R + R},
    {"overlong NUL", "\xC0\x80", R + R},
    {"high surrogate", "\xED\xA0\x80", R + R + R},
    {"low surrogate", "\xED\xBF\xBF", R + R + R},
    {"surrogate pair encoded as two", "\xED\xA0\xBD\xED\xB8\x80", R + R + R + R + R + R},
    {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
    {"two-byte cut off at the end", "x\xC3", "x" + R},
    {"three-byte cut off at the end", "x\xE2\x82", "x" + R},
    {"four-byte cut off at the end", "x\xF0\x9F\x98", "x" + R},
    {"three-byte broken by ASCII", "\xE2\x82" "A", R + "A"},
    {"four-byte broken by a new lead", "\xF0\x9F\xC3\xA9", R + "\xC3\xA9"},
    {"lead followed by a lead", "\xC3\xC3\xA9", R + "\xC3\xA9"},
};

TEST(ValidUtf8, ReplacesEachMaximalSubpart) {
    for (const Case& c : kBadInput) {
        EXPECT_EQ(ValidUtf8(c.in), c.out) << c.name;
        EXPECT_FALSE(IsValidUtf8(c.in)) << c.name;
        EXPECT_TRUE(IsValidUtf8(ValidUtf8(c.in))) << c.name;
    }
}

TEST(ValidUtf8, LeavesEveryWellFormedBoundaryAlone) {
    for (const std::string& good : {
             std::string("plain ASCII"), std::string("\x7F", 1), std::string("\0", 1),
             std::string("\xC2\x80"),          // U+0080, the first two-byte value
             std::string("\xDF\xBF"),          // U+07FF
             std::string("\xE0\xA0\x80"),      // U+0800, the first three-byte value
             std::string("\xED\x9F\xBF"),      // U+D7FF, just below the surrogates
             std::string("\xEE\x80\x80"),      // U+E000, just above them
             std::string("\xEF\xBF\xBD"),      // U+FFFD itself
             std::string("\xF0\x90\x80\x80"),  // U+10000, the first four-byte value
             std::string("\xF4\x8F\xBF\xBF"),  // U+10FFFF, the last
         }) {
        EXPECT_TRUE(IsValidUtf8(good)) << good;
        EXPECT_EQ(ValidUtf8(good), good);
    }
}

TEST(Utf8Reader, DecodesCodePointsAndAlwaysMovesOn) {
    Utf8Reader reader("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF");
    const char32_t expected[] = {U'a', 0xE9, 0x20AC, 0x1F600, kReplacementCharacter};
    const std::size_t lengths[] = {1, 2, 3, 4, 1};
    for (std::size_t i = 0; i < 5; ++i) {
        ASSERT_FALSE(reader.done());
        const Decoded d = reader.next();
        EXPECT_EQ(d.codePoint, expected[i]) << i;
        EXPECT_EQ(d.length, lengths[i]) << i;
        EXPECT_EQ(reader.lastBytes().size(), lengths[i]) << i;
        EXPECT_EQ(d.valid, i < 4) << i;
    }
    EXPECT_TRUE(reader.done());
    EXPECT_EQ(DecodeFirst({}).length, 0u);
}

TEST(AppendUtf8, EncodesWhatTheDecoderReads) {
    for (const char32_t c : {char32_t{0x41}, char32_t{0x7FF}, char32_t{0x800}, char32_t{0xFFFF},
                             char32_t{0x10000}, char32_t{0x10FFFF}}) {
        std::string bytes;
        AppendUtf8(bytes, c);
        const Decoded d = DecodeFirst(bytes);
        EXPECT_TRUE(d.valid);
        EXPECT_EQ(d.codePoint, c);
        EXPECT_EQ(d.length, bytes.size());
    }
    std::string out;
    AppendUtf8(out, 0xD800);
    AppendUtf8(out, 0x110000);
    EXPECT_EQ(out, R + R);
}

TEST(TerminalSafe, ShowsEveryControlCharacterVisibly) {
    // A serial number that would clear the screen, return to the line start and ring the bell.
    EXPECT_EQ(TerminalSafe("A\x1b[2J\rB\a"), "A\\x1b[2J\\rB\\x07");
    EXPECT_EQ(TerminalSafe(std::string("\0\t\n\x7F", 4)), "\\x00\\t\\n\\x7f");
    // C1 controls: CSI (U+009B) starts an escape sequence on many terminals, NEL ends a line.
    EXPECT_EQ(TerminalSafe("\xC2\x9B" "31m\xC2\x85"), "\\u009b31m\\u0085");
    // Right-to-left override and the line separator.
    EXPECT_EQ(TerminalSafe("a\xE2\x80\xAE" "b\xE2\x80\xA8"), "a\\u202eb\\u2028");
    // A backslash of its own is doubled, so "\x1b" typed into a serial differs from ESC.
    EXPECT_EQ(TerminalSafe("C:\\x1b"), "C:\\\\x1b");
    // Printable text, accents included, passes unchanged; invalid bytes become U+FFFD.
    EXPECT_EQ(TerminalSafe("Vumo Ger\xC3\xA4t: <b>x</b>"), "Vumo Ger\xC3\xA4t: <b>x</b>");
    EXPECT_EQ(TerminalSafe("\xFF\xC0"), R + R);
}

TEST(TerminalSafe, AMessageKeepsItsLineBreaksOnly) {
    EXPECT_EQ(TerminalSafeMessage("Firmware uploaded.\r\nNow Rebooting."),
              "Firmware uploaded.\r\nNow Rebooting.");
    EXPECT_EQ(TerminalSafeMessage("one\ntwo"), "one\ntwo");
    // A carriage return that is not a line end would let the rest overwrite the line.
    EXPECT_EQ(TerminalSafeMessage("ok\rFAKE\x1b[1A"), "ok\\rFAKE\\x1b[1A");
}

TEST(TruncateUtf16Units, CutsBetweenCharactersAndCountsPairs) {
    EXPECT_EQ(TruncateUtf16Units("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
    // Outside the BMP a character takes two units: with one left it does not fit.
    EXPECT_EQ(TruncateUtf16Units("ab\xF0\x9F\x98\x80", 3), "ab");
    EXPECT_EQ(TruncateUtf16Units("ab\xF0\x9F\x98\x80", 4), "ab\xF0\x9F\x98\x80");
    EXPECT_EQ(TruncateUtf16Units("short", 62), "short");
    // The result is valid UTF-8 whatever came in.
    EXPECT_EQ(TruncateUtf16Units("a\xFF" "b\xE2\x82", 10), "a" + R + "b" + R);
    EXPECT_EQ(TruncateUtf16Units("a\xFF" "b", 2), "a" + R);
}

}  // namespace
}  // namespace vumo::text
