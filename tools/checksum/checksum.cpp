// checksum: computes the vector-table checksum that the LPC18xx/43xx boot ROM expects in word 7
// of a Cortex-M image, prints it, and writes it into a binary image.
//
//   checksum [-d] [-v] [-p PART] FILE
//
// FILE is a raw binary image or an Intel HEX file (decoded from its lowest address). With -v
// each of the first seven words is printed as "Adding 0x%08x" before the checksum line; the
// firmware check of vumo-dfu reads its verdict from these lines. -d is a dry run. Without it the
// checksum is written into word 7 of a binary file through a temporary file and a rename, so an
// interrupted run leaves the old file or the new one, never half of each.
//
// Exit status: 0 success, 1 the file could not be read, is too short, malformed or could not
// be written, 2 bad command line (unknown part included).

#include "base/files.h"
#include "base/program.h"
#include "image/image_file.h"
#include "vector_table.h"
#include "vumo/build_config.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

using vumo::image::FileContent;
using vumo::image::ReadStatus;

constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;

// The tool reads more than the device takes: it checks images, not upload sizes.
constexpr std::size_t kMaxInput = std::size_t{64} << 20;

// Parts whose boot ROM checks the vector-table sum in word 7.
constexpr std::array<std::string_view, 24> kParts = {
    "LPC1810", "LPC1812", "LPC1813", "LPC1815", "LPC1817", "LPC1820", "LPC1822", "LPC1823",
    "LPC1825", "LPC1827", "LPC1830", "LPC1833", "LPC1837", "LPC1850", "LPC1853", "LPC1857",
    "LPC4310", "LPC4320", "LPC4330", "LPC4333", "LPC4337", "LPC4350", "LPC4353", "LPC4357",
};

constexpr const char* kUsage =
    "Usage: checksum [-d] [-v] [-p PART] FILE\n"
    "Computes the vector-table checksum (word 7) of a Cortex-M image for the LPC18xx/43xx\n"
    "boot ROM and writes it into the binary FILE.\n"
    "  -d       dry run: compute and print, write nothing\n"
    "  -v       print each of the first seven words as \"Adding 0x%08x\"\n"
    "  -p PART  target part, e.g. LPC1857 (the default); LPC18xx and LPC43xx are known\n"
    "  -h       this help\n"
    "FILE is raw binary or Intel HEX (decoded from its lowest address; HEX needs -d).\n"
    "Exit status: 0 success, 1 file unreadable, short, malformed or not written,\n"
    "2 bad command line or unknown part.\n";

bool KnownPart(std::string_view name) {
    std::string upper(name);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return std::find(kParts.begin(), kParts.end(), upper) != kParts.end();
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

int Fail(const std::string& text) {
    std::fprintf(stderr, "checksum: %s\n", text.c_str());
    return kExitFile;
}

int Run(int argc, char** argv) {
    bool dryRun = false;
    bool verbose = false;
    std::string part = "LPC1857";
    opterr = 0;
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread only; the options are read first
    for (int c; (c = ::getopt_long(argc, argv, "+dvp:h", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'd': dryRun = true; break;
        case 'v': verbose = true; break;
        case 'p': part = optarg; break;
        case 'h': std::fputs(kUsage, stdout); return kExitOk;
        case 'V': std::printf("checksum %s\n", vumo::kFileVersion); return kExitOk;
        default:
            if (optopt == 'p')
                std::fprintf(stderr, "checksum: -p needs a part name\n");
            else
                std::fprintf(stderr, "checksum: unknown option '%s'\n", argv[optind - 1]);
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (optind + 1 != argc) {
        std::fprintf(stderr, optind == argc ? "checksum: no FILE given\n"
                                            : "checksum: only one FILE is taken\n");
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (!KnownPart(part)) {
        std::fprintf(stderr,
                     "checksum: unknown part '%s'; known are the LPC18xx and LPC43xx parts, "
                     "e.g. LPC1857\n",
                     part.c_str());
        return kExitUsage;
    }
    const std::string path = argv[optind];

    FileContent content = vumo::image::ReadFileContent(path, kMaxInput);
    switch (content.status) {
    case ReadStatus::ok: break;
    case ReadStatus::openFailed: return Fail("cannot open " + path + ": " + ErrorText(content.error));
    case ReadStatus::notAFile: return Fail(path + " is not a regular file");
    case ReadStatus::tooLarge: return Fail(path + " is larger than 64 MiB");
    case ReadStatus::readError:
        return Fail("read error in " + path + " after " + std::to_string(content.bytes.size()) +
                    " bytes: " + ErrorText(content.error));
    }

    const auto format = vumo::image::DetectImageFormat(path, content.bytes);
    std::vector<std::uint8_t> image;
    if (format == vumo::image::ImageFormat::intelHex) {
        auto hex = vumo::image::DecodeIntelHex(content.bytes, kMaxInput);
        if (hex.status == vumo::image::HexStatus::malformed)
            return Fail(path + ": not a valid Intel HEX file: " + hex.message);
        if (hex.status == vumo::image::HexStatus::tooLarge)
            return Fail(path + ": the Intel HEX image spans more than 64 MiB");
        image = std::move(hex.bytes);
    } else {
        image = std::move(content.bytes);
    }
    if (image.size() < vumo::tools::kVectorTableBytes) {
        return Fail(path + " is too short for a vector table: " + std::to_string(image.size()) +
                    " bytes, at least " + std::to_string(vumo::tools::kVectorTableBytes) +
                    " needed");
    }

    if (verbose) {
        for (std::size_t i = 0; i < vumo::tools::kSummedWords; ++i)
            std::printf("Adding 0x%08x\n", vumo::tools::ReadWord(image, i));
    }
    const std::uint32_t sum = vumo::tools::VectorChecksum(image);
    std::printf("Checksum 0x%08x\n", sum);
    std::fflush(stdout);
    if (dryRun) return kExitOk;

    if (format == vumo::image::ImageFormat::intelHex)
        return Fail(path + ": cannot write into an Intel HEX file; use -d, or a binary image");
    if (vumo::tools::ReadWord(image, vumo::tools::kChecksumWord) == sum) return kExitOk;
    vumo::tools::WriteWord(image, vumo::tools::kChecksumWord, sum);
    std::string error;
    if (!vumo::base::ReplaceFileContent(path, image, error)) return Fail("cannot write " + path + ": " + error);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    vumo::base::PrepareConsole();
    // The file name in UTF-8 on every system (Windows hands it over in UTF-16).
    std::vector<std::string> args = vumo::base::ProgramArguments(argc, argv);
    std::vector<char*> utf8;
    utf8.reserve(args.size() + 1);
    for (auto& arg : args) utf8.push_back(arg.data());
    utf8.push_back(nullptr);
    return Run(static_cast<int>(args.size()), utf8.data());
}
