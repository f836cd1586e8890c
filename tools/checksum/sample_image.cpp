// vumo-sample-image: writes made-up Cortex-M images for demonstrations and tests, one for each
// location code the firmware check knows, and one that is not firmware.
//
//   vumo-sample-image [--location CODE | --not-firmware] [--size N] [--seed S]
//                     [--format bin|hex] OUTPUT
//   vumo-sample-image --all DIR [--size N] [--seed S]
//
// An image is linked for a flash slot: its stack pointer is 0x10008000 (0x20008000 for the one
// that is not firmware) and its reset handler and the five fault handlers lie in the slot,
// so the checksum tool prints "Adding 0x10008000" and "Adding 0x1a02..." for location 1, and so
// on. Word 7 carries the boot ROM checksum; the rest is pseudo-random bytes from the seed, the
// same on every machine.

#include "vector_table.h"
#include "vumo/build_config.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::uint32_t kFirmwareStack = 0x10008000;
constexpr std::uint32_t kOtherStack = 0x20008000;
constexpr std::size_t kMaxSize = std::size_t{16} << 20;

struct Slot {
    std::uint8_t code;
    std::uint32_t base;
    const char* name;  // for --all
};

// The reset handler's region selects the code: 0x1A00xxxx -> 0xBB, 0x1A02 -> 1, 0x1A04 -> 2,
// 0x1A06 -> 3, any other bank-A address -> 0xFF; bank B (0x1B0...) has codes of its own.
constexpr std::array<Slot, 10> kSlots = {{
    {0xBB, 0x1A000000, "bb"},
    {0x01, 0x1A020000, "1"},
    {0x02, 0x1A040000, "2"},
    {0x03, 0x1A060000, "3"},
    {0xFF, 0x1A080000, "ff"},
    {0xDF, 0x1B000000, "df"},
    {0xD1, 0x1B020000, "d1"},
    {0xD2, 0x1B040000, "d2"},
    {0xD3, 0x1B060000, "d3"},
    {0xDD, 0x1B080000, "dd"},
}};

constexpr const char* kUsage =
    "Usage: vumo-sample-image [--location CODE | --not-firmware] [--size N] [--seed S]\n"
    "                         [--format bin|hex] OUTPUT\n"
    "       vumo-sample-image --all DIR [--size N] [--seed S]\n"
    "Writes a made-up Cortex-M image for the checksum tool and vumo-dfu.\n"
    "  --location CODE  location code the image is linked for: 0xBB, 1, 2, 3, 0xFF, or the\n"
    "                   bank-B codes 0xDF, 0xD1, 0xD2, 0xD3, 0xDD (default 1)\n"
    "  --not-firmware   stack pointer 0x20008000: the check refuses the image\n"
    "  --size N         image length in bytes, 32 or more (default 4096)\n"
    "  --seed S         seed of the image's filler bytes (default 1)\n"
    "  --format F       bin or hex (default: hex when OUTPUT ends in .hex, else bin)\n"
    "  --all DIR        write sample-loc-<code>.bin and .hex for every code and\n"
    "                   sample-not-firmware.bin and .hex into DIR\n";

// splitmix64: small, and the same sequence everywhere.
struct Random {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

std::vector<std::uint8_t> MakeImage(const Slot& slot, bool firmware, std::size_t size,
                                    std::uint64_t seed) {
    Random random{seed};
    std::vector<std::uint8_t> image(size);
    for (auto& b : image) b = static_cast<std::uint8_t>(random.Next());
    vumo::tools::WriteWord(image, 0, firmware ? kFirmwareStack : kOtherStack);
    for (std::size_t i = 1; i < vumo::tools::kSummedWords; ++i) {
        // Thumb code: odd addresses, a little past the vector table.
        const auto offset = static_cast<std::uint32_t>(0x200 + (random.Next() % 0x8000));
        vumo::tools::WriteWord(image, i, (slot.base + offset) | 1u);
    }
    vumo::tools::WriteWord(image, vumo::tools::kChecksumWord, vumo::tools::VectorChecksum(image));
    return image;
}

void AppendRecord(std::string& out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::size_t count) {
    char text[16];
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
    out += text;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%02X", data[i]);
        out += text;
        sum += data[i];
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += text;
}

// Intel HEX: 16 data bytes a record, an extended linear address record at every 64 KiB, the
// start address (the reset handler) and the end-of-file record.
std::string ToIntelHex(const std::vector<std::uint8_t>& image, std::uint32_t base) {
    std::string out;
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::size_t i = 0; i < image.size(); i += 16) {
        const auto address = static_cast<std::uint32_t>(base + i);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const std::uint8_t ula[2] = {static_cast<std::uint8_t>(upper >> 8),
                                         static_cast<std::uint8_t>(upper)};
            AppendRecord(out, 0x04, 0, ula, 2);
        }
        const std::size_t count = std::min<std::size_t>(16, image.size() - i);
        // A record must not cross into the next 64 KiB: base is 64 KiB aligned and 16 divides it.
        AppendRecord(out, 0x00, static_cast<std::uint16_t>(address & 0xFFFF), &image[i], count);
    }
    const std::uint32_t reset = vumo::tools::ReadWord(image, 1);
    const std::uint8_t start[4] = {static_cast<std::uint8_t>(reset >> 24),
                                   static_cast<std::uint8_t>(reset >> 16),
                                   static_cast<std::uint8_t>(reset >> 8),
                                   static_cast<std::uint8_t>(reset)};
    AppendRecord(out, 0x05, 0, start, 4);
    AppendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "vumo-sample-image: cannot create %s: %s\n", path.c_str(),
                     std::generic_category().message(errno).c_str());
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed) {
        std::fprintf(stderr, "vumo-sample-image: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool WriteImage(const std::string& path, const Slot& slot, bool firmware, std::size_t size,
                std::uint64_t seed, bool hex) {
    const auto image = MakeImage(slot, firmware, size, seed);
    if (!hex) return WriteFile(path, image.data(), image.size());
    const std::string text = ToIntelHex(image, slot.base);
    return WriteFile(path, text.data(), text.size());
}

bool EndsWith(const std::string& text, const char* tail) {
    const std::size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

std::optional<std::uint64_t> Number(const char* text) {
    if (!text || !*text || *text == '-') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

int Usage(const char* problem) {
    std::fprintf(stderr, "vumo-sample-image: %s\n%s", problem, kUsage);
    return kExitUsage;
}

int Run(int argc, char** argv) {
    const Slot* slot = &kSlots[1];
    bool firmware = true;
    std::size_t size = 4096;
    std::uint64_t seed = 1;
    std::optional<bool> hex;
    std::optional<std::string> allDir;

    static const option kLong[] = {
        {"location", required_argument, nullptr, 'l'}, {"not-firmware", no_argument, nullptr, 'n'},
        {"size", required_argument, nullptr, 's'},     {"seed", required_argument, nullptr, 'r'},
        {"format", required_argument, nullptr, 'f'},   {"all", required_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread only; the options are read first
    for (int c; (c = ::getopt_long(argc, argv, "+h", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'l': {
            const auto code = Number(optarg);
            slot = nullptr;
            for (const auto& s : kSlots)
                if (code && *code == s.code) slot = &s;
            if (!slot) return Usage("unknown location code");
            break;
        }
        case 'n': firmware = false; break;
        case 's': {
            const auto n = Number(optarg);
            if (!n || *n < vumo::tools::kVectorTableBytes || *n > kMaxSize)
                return Usage("--size takes 32 to 16777216 bytes");
            size = static_cast<std::size_t>(*n);
            break;
        }
        case 'r': {
            const auto n = Number(optarg);
            if (!n) return Usage("--seed takes a number");
            seed = *n;
            break;
        }
        case 'f':
            if (std::strcmp(optarg, "bin") == 0) hex = false;
            else if (std::strcmp(optarg, "hex") == 0) hex = true;
            else return Usage("--format takes bin or hex");
            break;
        case 'a': allDir = optarg; break;
        case 'h': std::fputs(kUsage, stdout); return kExitOk;
        case 'V': std::printf("vumo-sample-image %s\n", vumo::kFileVersion); return kExitOk;
        default: return Usage("unknown option or missing value");
        }
    }

    if (allDir) {
        if (optind != argc) return Usage("--all takes no OUTPUT");
        const std::string dir = *allDir + (EndsWith(*allDir, "/") ? "" : "/");
        for (const auto& s : kSlots) {
            for (bool asHex : {false, true}) {
                const std::string path =
                    dir + "sample-loc-" + s.name + (asHex ? ".hex" : ".bin");
                if (!WriteImage(path, s, true, size, seed, asHex)) return kExitFailure;
            }
        }
        for (bool asHex : {false, true}) {
            const std::string path = dir + "sample-not-firmware" + (asHex ? ".hex" : ".bin");
            if (!WriteImage(path, kSlots[1], false, size, seed, asHex)) return kExitFailure;
        }
        return kExitOk;
    }

    if (optind + 1 != argc) return Usage("give one OUTPUT file");
    const std::string output = argv[optind];
    const bool asHex = hex.value_or(EndsWith(output, ".hex") || EndsWith(output, ".HEX"));
    return WriteImage(output, *slot, firmware, size, seed, asHex) ? kExitOk : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
