#pragma once
// Reading a firmware file: raw binary, or Intel HEX decoded to the bytes it describes. Shared by
// the loader of the Update button and by the checksum tool, so both see the same image.

#include "base/files.h"
#include "base/unique_fd.h"
#include "image/prepared_image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::image {

// Intel HEX when the file's first byte is ':', or, for a name ending in ".hex" (any case), when
// the first byte that is not a blank or a line end is ':'. Anything else is raw binary. A
// Cortex-M image cannot begin with ':' (0x3A would be a misaligned stack pointer), so the
// content alone tells the two apart; the extension only excuses leading blank lines.
ImageFormat DetectImageFormat(std::string_view fileName, std::span<const std::uint8_t> content);

enum class HexStatus { ok, malformed, tooLarge };

struct HexImage {
    HexStatus status = HexStatus::ok;
    std::string message;            // why it is malformed: "line N: ..."
    std::uint32_t baseAddress = 0;  // address of bytes[0]
    std::uint64_t span = 0;         // highest address + 1 - lowest address (0 without data)
    std::vector<std::uint8_t> bytes;  // lowest to highest address, gaps zero; empty unless ok
};

// Decodes Intel HEX records 00 (data), 01 (end of file), 02 (extended segment address), 04
// (extended linear address); 03 and 05 (start address) are checked and ignored. Every record's
// length and checksum is verified. Refused as malformed: a line that is not a record, bad hex
// digits, a wrong length or checksum, an unknown record type, data overlapping earlier data,
// addresses beyond 4 GiB, anything but blank lines after the end-of-file record, and a file
// without one (a truncated download). Line ends may be LF or CR LF; blank lines are allowed.
// The image runs from the lowest address to the highest with gaps zero-filled - what
// `objcopy -I ihex -O binary` writes. An image whose span exceeds maxBytes is tooLarge and is
// never allocated.
HexImage DecodeIntelHex(std::span<const std::uint8_t> text, std::size_t maxBytes);

enum class ReadStatus { ok, openFailed, notAFile, tooLarge, readError };

struct FileContent {
    ReadStatus status = ReadStatus::ok;
    int error = 0;                // errno of a failed open or read
    std::uint64_t fileSize = 0;   // as the file system reports it (tooLarge)
    std::vector<std::uint8_t> bytes;  // what was read, also up to a read error
};

// Reads a regular file from its current position: at most maxBytes, tooLarge when there is
// more. A read that fails part way is readError, with the bytes read before it.
FileContent ReadFileContent(int fd, std::size_t maxBytes);
// Opens `path` read-only (without blocking on a FIFO, without following into a directory).
FileContent ReadFileContent(const std::string& path, std::size_t maxBytes);

// A file opened for reading, with what the file system said of it right after the open.
struct OpenedFile {
    ReadStatus status = ReadStatus::ok;  // ok, openFailed or notAFile
    int error = 0;                       // errno of the open; EISDIR or EINVAL for notAFile
    base::UniqueFd fd;                   // open when ok, blocking, at offset 0
    base::FileIdentity info;
};
// Opens `path` read-only and close-on-exec, without blocking on a FIFO and without becoming
// its controlling terminal; refuses anything but a regular file.
OpenedFile OpenForReading(const std::string& path);

// True when both describe the same file with the same content as far as the file system
// tells: device and inode (volume serial and file index), size and modification time.
bool SameUnchangedFile(const base::FileIdentity& a, const base::FileIdentity& b);

// 131072 -> "131,072".
std::string GroupDigits(std::uint64_t value);

}  // namespace vumo::image
