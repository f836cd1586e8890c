#include "image/image_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace vumo::image {
namespace {

bool IsBlank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool EndsWithHex(std::string_view name) {
    if (name.size() < 4) return false;
    std::string tail(name.substr(name.size() - 4));
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return tail == ".hex";
}

int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Hex32(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Printable(std::uint8_t c) {
    if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

struct Segment {
    std::uint64_t address;
    std::size_t line;
    std::size_t offset;  // into the data store
    std::size_t length;
};

}  // namespace

const char* describe(ImageFormat format) {
    return format == ImageFormat::intelHex ? "Intel HEX" : "binary";
}

ImageFormat DetectImageFormat(std::string_view fileName, std::span<const std::uint8_t> content) {
    if (!content.empty() && content[0] == ':') return ImageFormat::intelHex;
    if (EndsWithHex(fileName)) {
        const auto first = std::find_if_not(content.begin(), content.end(), IsBlank);
        if (first != content.end() && *first == ':') return ImageFormat::intelHex;
    }
    return ImageFormat::binary;
}

HexImage DecodeIntelHex(std::span<const std::uint8_t> text, std::size_t maxBytes) {
    HexImage out;
    const auto bad = [&out](std::size_t line, const std::string& why) {
        out.status = HexStatus::malformed;
        out.message = "line " + std::to_string(line) + ": " + why;
        out.bytes.clear();
        return out;
    };

    std::vector<std::uint8_t> store;
    std::vector<Segment> segments;
    std::vector<std::uint8_t> record;
    std::uint64_t base = 0;
    bool endSeen = false;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;

    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\n') ++end;
        auto line = text.subspan(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        while (!line.empty() && IsBlank(line.back())) line = line.first(line.size() - 1);
        if (line.empty()) continue;

        if (endSeen) return bad(lineNumber, "data after the end-of-file record");
        if (line[0] != ':') return bad(lineNumber, "not a record: it does not begin with ':'");
        const std::size_t digits = line.size() - 1;
        if (digits % 2 != 0) return bad(lineNumber, "odd number of hex digits");
        if (digits < 10) return bad(lineNumber, "record too short");
        record.clear();
        for (std::size_t i = 1; i < line.size(); i += 2) {
            const int hi = HexDigit(line[i]);
            const int lo = HexDigit(line[i + 1]);
            if (hi < 0 || lo < 0)
                return bad(lineNumber, Printable(hi < 0 ? line[i] : line[i + 1]) +
                                           " is not a hex digit");
            record.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        const std::size_t count = record[0];
        if (record.size() != count + 5) {
            return bad(lineNumber, "the length byte says " + std::to_string(count) +
                                       " data bytes, the record holds " +
                                       std::to_string(record.size() - 5));
        }
        unsigned sum = 0;
        for (std::uint8_t b : record) sum += b;
        if ((sum & 0xFF) != 0) return bad(lineNumber, "record checksum is wrong");

        const std::uint32_t offset = (std::uint32_t{record[1]} << 8) | record[2];
        const std::uint8_t type = record[3];
        const auto value16 = [&record] { return (std::uint32_t{record[4]} << 8) | record[5]; };
        switch (type) {
        case 0x00:
            if (count == 0) break;
            if (base + offset + count > (std::uint64_t{1} << 32))
                return bad(lineNumber, "data beyond the 4 GiB address space");
            segments.push_back({base + offset, lineNumber, store.size(), count});
            store.insert(store.end(), record.begin() + 4,
                         record.begin() + 4 + static_cast<std::ptrdiff_t>(count));
            break;
        case 0x01:
            if (count != 0) return bad(lineNumber, "end-of-file record with data");
            endSeen = true;
            break;
        case 0x02:
            if (count != 2) return bad(lineNumber, "extended segment address record needs 2 bytes");
            base = std::uint64_t{value16()} << 4;
            break;
        case 0x04:
            if (count != 2) return bad(lineNumber, "extended linear address record needs 2 bytes");
            base = std::uint64_t{value16()} << 16;
            break;
        case 0x03:
        case 0x05:
            if (count != 4) return bad(lineNumber, "start address record needs 4 bytes");
            break;
        default: {
            char why[48];
            std::snprintf(why, sizeof why, "unknown record type 0x%02X", type);
            return bad(lineNumber, why);
        }
        }
    }
    if (!endSeen) {
        out.status = HexStatus::malformed;
        out.message = "the end-of-file record is missing; the file may be truncated";
        return out;
    }
    if (segments.empty()) return out;

    std::stable_sort(segments.begin(), segments.end(),
                     [](const Segment& a, const Segment& b) { return a.address < b.address; });
    std::uint64_t high = 0;
    std::size_t highLine = 0;
    for (const auto& s : segments) {
        if (s.address < high) {
            return bad(s.line, "data at " + Hex32(s.address) + " overlaps the data of line " +
                                   std::to_string(highLine));
        }
        high = s.address + s.length;
        highLine = s.line;
    }
    out.baseAddress = static_cast<std::uint32_t>(segments.front().address);
    out.span = high - segments.front().address;
    if (out.span > maxBytes) {
        out.status = HexStatus::tooLarge;
        return out;
    }
    out.bytes.assign(static_cast<std::size_t>(out.span), 0);
    for (const auto& s : segments) {
        std::copy_n(store.begin() + static_cast<std::ptrdiff_t>(s.offset), s.length,
                    out.bytes.begin() + static_cast<std::ptrdiff_t>(s.address - out.baseAddress));
    }
    return out;
}

FileContent ReadFileContent(int fd, std::size_t maxBytes) {
    FileContent out;
    base::FileIdentity st;
    if (base::IdentifyOpenFile(fd, st) && st.regular && st.size > 0) out.fileSize = st.size;
    out.bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(out.fileSize, maxBytes) + 1));

    constexpr std::size_t kChunk = std::size_t{64} * 1024;
    for (;;) {
        const std::size_t have = out.bytes.size();
        // One byte beyond the limit tells a file of exactly maxBytes from a longer one.
        const std::size_t want = std::min(kChunk, maxBytes + 1 - have);
        out.bytes.resize(have + want);
        const ssize_t n = ::read(fd, out.bytes.data() + have, want);
        if (n < 0 && errno == EINTR) {
            out.bytes.resize(have);
            continue;
        }
        out.bytes.resize(have + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0) {
            out.status = ReadStatus::readError;
            out.error = errno;
            return out;
        }
        if (n == 0) break;
        if (out.bytes.size() > maxBytes) {
            out.status = ReadStatus::tooLarge;
            out.fileSize = std::max<std::uint64_t>(out.fileSize, out.bytes.size());
            out.bytes.clear();
            return out;
        }
    }
    out.fileSize = out.bytes.size();
    return out;
}

OpenedFile OpenForReading(const std::string& path) {
    OpenedFile out;
    out.fd.reset(base::OpenForReading(path));
    if (!out.fd) {
        // Windows refuses to open a folder as a file; Linux opens it and fstat tells.
        out.status = errno == EISDIR ? ReadStatus::notAFile : ReadStatus::openFailed;
        out.error = errno;
        return out;
    }
    if (!base::IdentifyOpenFile(out.fd.get(), out.info) || !out.info.regular) {
        out.status = ReadStatus::notAFile;
        out.error = out.info.directory ? EISDIR : EINVAL;
        out.fd.reset();
        return out;
    }
    base::MakeBlocking(out.fd.get());
    return out;
}

bool SameUnchangedFile(const base::FileIdentity& a, const base::FileIdentity& b) {
    return a.sameUnchanged(b);
}

FileContent ReadFileContent(const std::string& path, std::size_t maxBytes) {
    OpenedFile file = OpenForReading(path);
    if (file.status != ReadStatus::ok) {
        FileContent out;
        out.status = file.status;
        out.error = file.error;
        return out;
    }
    return ReadFileContent(file.fd.get(), maxBytes);
}

std::string GroupDigits(std::uint64_t value) {
    // Built anew rather than with insert(), which GCC 12 at -O2 wrongly warns about.
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

}  // namespace vumo::image
