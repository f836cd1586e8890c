// The recording parser's fuzz entry run over its seed corpus in every ordinary build, so the
// target keeps building and the seeds keep passing without the fuzzing toolchain.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(FuzzRecordingSeeds, EverySeedRunsThroughTheFuzzEntry) {
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VUMO_RECORDING_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        ++seeds;
    }
    EXPECT_GE(seeds, 5);
}
