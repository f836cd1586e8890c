#pragma once
// The file system as the program uses it, by UTF-8 names on every system: opening files,
// telling whether a file is still the one that was opened, flushing to the disk, and the
// system's way of naming programs and folders. Descriptors are ints everywhere (the C
// runtime's on Windows); failures leave an errno value in errno.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::base {

// What the file system tells of a file that makes it that file with that content: its volume
// and number on it (device and inode; volume serial and file index on Windows), its size and
// last modification.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedFraction = 0;  // nanoseconds, or 100 ns units on Windows
    bool regular = false;               // a plain file
    bool directory = false;
    bool sameFile(const FileIdentity& o) const { return volume == o.volume && index == o.index; }
    bool sameUnchanged(const FileIdentity& o) const {
        return sameFile(o) && size == o.size && modifiedSeconds == o.modifiedSeconds &&
               modifiedFraction == o.modifiedFraction;
    }
};

bool IdentifyOpenFile(int fd, FileIdentity& identity);
bool IdentifyPath(const std::string& path, FileIdentity& identity);

// Read-only, close-on-exec, never becoming a controlling terminal and not blocking in the open
// on a FIFO (MakeBlocking undoes that afterwards). -1 on failure; EISDIR for a folder where the
// system refuses to open one.
int OpenForReading(const std::string& path);
void MakeBlocking(int fd);
// Created (readable by all) or emptied, for writing.
int OpenForWriting(const std::string& path);
// Created (readable by all) if missing; every write lands at the end, even with other processes
// appending to the same file. Readable too, for LastByte().
int OpenForAppending(const std::string& path);
// An exclusive lock among the processes that take it on the same file (others may still read
// and write), waited for; Unlock() or the descriptor's close gives it up.
bool LockExclusive(int fd);
void Unlock(int fd);
// The file's last byte, or -1 when it is empty or can't be read.
int LastByte(int fd);
// Writes, and retries a write that a signal interrupted; the system's count, or -1.
long long WriteSome(int fd, const void* data, std::size_t size);
// What was written reaches the disk.
bool FlushToDisk(int fd);

// Writes `bytes` over `path` through a temporary file in the same folder and a rename, so an
// interrupted write leaves the old content or the new, never half of each. The file keeps its
// permissions; a symbolic link stays a link to the updated file. False with `error` in words.
bool ReplaceFileContent(const std::string& path, const std::vector<std::uint8_t>& bytes,
                        std::string& error);

// Programs and folders.
inline constexpr std::string_view kExecutableSuffix =
#ifdef _WIN32
    ".exe";
#else
    "";
#endif
bool IsAbsolutePath(std::string_view path);
bool IsPathSeparator(char c);
// The separator the system writes between folders: '/', or '\\' on Windows.
char PreferredPathSeparator();
// Separates the folders of PATH.
char PathListSeparator();
// A plain file that this user may run.
bool IsExecutableFile(const std::string& path);
// Why `path` can't be run, in words; empty when it can.
std::string WhyNotExecutable(const std::string& path);
// The running program's own file; empty when the system does not say.
std::string OwnExecutable();
// An environment variable in UTF-8; null when unset. The text stays valid until the next call
// for the same name.
const char* Environment(const char* name);

}  // namespace vumo::base
