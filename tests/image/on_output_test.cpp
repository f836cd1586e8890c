// The output examination: which texts mark a file as firmware and which location code they
// select.

#include "image/redirector.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace vumo::image {
namespace {

struct Case {
    const char* name;
    std::string piece;
    OutputVerdict previous;
    OutputVerdict expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

using namespace std::string_literals;

const Case kCases[] = {
    // The firmware mark, decided afresh by every piece.
    {"empty", "", {}, {false, 0}},
    {"mark alone", "Adding 0x10008000", {}, {true, 0}},
    {"mark inside a line", "xx Adding 0x10008000 yy\n", {}, {true, 0}},
    {"mark absent clears an earlier true", "Checksum 0x1\n", {true, 0}, {false, 0}},
    {"lower-case letters are not the mark", "adding 0x10008000", {}, {false, 0}},
    {"upper-case hex is not the mark", "Adding 0X10008000", {}, {false, 0}},
    {"a shorter number is not the mark", "Adding 0x1000800", {}, {false, 0}},
    {"another stack pointer", "Adding 0x20008000", {}, {false, 0}},

    // Bank A location codes from the character after "Adding 0x1a0".
    {"0 gives 0xBB", "Adding 0x1a00", {}, {false, 0xBB}},
    {"2 gives 1", "Adding 0x1a02", {}, {false, 0x01}},
    {"4 gives 2", "Adding 0x1a04", {}, {false, 0x02}},
    {"6 gives 3", "Adding 0x1a06", {}, {false, 0x03}},
    {"8 gives 0xFF", "Adding 0x1a08", {}, {false, 0xFF}},
    {"odd digit gives 0xFF", "Adding 0x1a03", {}, {false, 0xFF}},
    {"letter gives 0xFF", "Adding 0x1a0a", {}, {false, 0xFF}},
    {"end of piece gives 0xFF", "Adding 0x1a0", {}, {false, 0xFF}},
    {"line end gives 0xFF", "Adding 0x1a0\n", {}, {false, 0xFF}},
    {"no location text keeps the earlier code", "Adding 0x10008000\n", {false, 0x02},
     {true, 0x02}},
    {"upper-case A is not the text", "Adding 0x1A02", {false, 0x03}, {false, 0x03}},
    {"first of two occurrences decides", "Adding 0x1a02\nAdding 0x1a04\n", {}, {false, 0x01}},
    {"a piece with the text overrides the earlier code", "Adding 0x1a06", {false, 0x01},
     {false, 0x03}},

    // Bank B: the second table, for reset handlers in 0x1B0xxxxx.
    {"b0 gives 0xDF", "Adding 0x1b00", {}, {false, 0xDF}},
    {"b2 gives 0xD1", "Adding 0x1b02", {}, {false, 0xD1}},
    {"b4 gives 0xD2", "Adding 0x1b04", {}, {false, 0xD2}},
    {"b6 gives 0xD3", "Adding 0x1b06", {}, {false, 0xD3}},
    {"b8 gives 0xDD", "Adding 0x1b08", {}, {false, 0xDD}},
    {"b at the end gives 0xDD", "Adding 0x1b0", {}, {false, 0xDD}},
    {"bank B before bank A: B decides", "Adding 0x1b02\nAdding 0x1a02\n", {}, {false, 0xD1}},
    {"bank A before bank B: A decides", "Adding 0x1a04\nAdding 0x1b02\n", {}, {false, 0x02}},

    // The piece ends at its zero byte.
    {"mark after a zero byte is not seen", "x\0Adding 0x10008000"s, {}, {false, 0}},
    {"mark before a zero byte is seen", "Adding 0x10008000\0junk"s, {}, {true, 0}},
    {"zero byte right after the location text", "Adding 0x1a0\0"s "2", {}, {false, 0xFF}},

    // What the checksum tool prints for an application image.
    {"whole tool output",
     "Adding 0x10008000\nAdding 0x1a0268a9\nAdding 0x1a025805\nAdding 0x1a020f75\n"
     "Adding 0x1a026eb3\nAdding 0x1a025291\nAdding 0x1a021241\nChecksum 0x53f1dc58\n",
     {}, {true, 0x01}},
    {"whole tool output, boot slot",
     "Adding 0x10008000\nAdding 0x1a0068a9\nAdding 0x1a025805\nChecksum 0x53fddc58\n", {},
     {true, 0xBB}},
};

class OnOutputTable : public ::testing::TestWithParam<Case> {};

TEST_P(OnOutputTable, GivesTheVerdict) {
    const Case& c = GetParam();
    const OutputVerdict got = OnOutput(c.piece, c.previous);
    EXPECT_EQ(got.isFirmware, c.expected.isFirmware);
    EXPECT_EQ(int{got.location}, int{c.expected.location});
}

INSTANTIATE_TEST_SUITE_P(Pieces, OnOutputTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& tpi) {
                             std::string name;
                             for (const char* p = tpi.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// Split anywhere, the complete output examined at the end still gives the verdict of the
// whole; piece by piece it would not (the reason the runner examines the output whole).
TEST(OnOutput, PieceByPieceDependsOnTheSplitButTheWholeDoesNot) {
    const std::string output = "Adding 0x10008000\nAdding 0x1a02abcd\nChecksum 0x1\n";
    const OutputVerdict whole = OnOutput(output, {});
    ASSERT_EQ(whole, (OutputVerdict{true, 0x01}));

    int differentSplits = 0;
    for (std::size_t cut = 1; cut < output.size(); ++cut) {
        OutputVerdict pieces = OnOutput(output.substr(0, cut), {});
        pieces = OnOutput(output.substr(cut), pieces);
        if (!(pieces == whole)) ++differentSplits;
    }
    EXPECT_GT(differentSplits, 0);
}

}  // namespace
}  // namespace vumo::image
