// SHA-256 against the FIPS 180-2 examples, the empty input, a million 'a', every way of feeding
// the same bytes in pieces, and the system's sha256sum on a generated file.

#include "image/redirector.h"
#include "image/sha256.h"
#include "image/test_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace vumo::image {
namespace {

using namespace std::chrono_literals;

std::string HexOf(std::string_view text) {
    Sha256 hash;
    hash.Update(text);
    return ToHex(hash.Finish());
}

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HexOf(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the block (64) and the padding boundary (55, 56): fed whole, byte by byte, and
// in pieces of every size up to 70, the digest is the same.
TEST(Sha256, PiecesDoNotChangeTheDigest) {
    std::mt19937 random(7);
    for (const std::size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        const std::string whole = Sha256Hex(bytes);
        for (std::size_t piece = 1; piece <= 70; ++piece) {
            Sha256 hash;
            for (std::size_t i = 0; i < length; i += piece)
                hash.Update(std::span(bytes).subspan(i, std::min(piece, length - i)));
            ASSERT_EQ(ToHex(hash.Finish()), whole) << "length " << length << ", pieces of " << piece;
        }
    }
}

TEST(Sha256, AgreesWithSha256sum) {
    test::TempDir dir;
    const std::string path = dir.File("random.bin");
    std::mt19937 random(11);
    std::vector<std::uint8_t> bytes(300'001);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    test::WriteBytes(path, bytes);

    CRedirector tool;
    ASSERT_TRUE(tool.Open({"/usr/bin/sha256sum", path}));
    ASSERT_TRUE(tool.WaitUntilDone(10s));
    ASSERT_EQ(tool.WaitStatus(), 0) << tool.Output();
    EXPECT_EQ(tool.Output(), Sha256Hex(bytes) + "  " + path + "\n");
}

}  // namespace
}  // namespace vumo::image
