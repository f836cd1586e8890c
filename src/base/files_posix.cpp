#include "base/files.h"

#include "base/error_text.h"
#include "base/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace vumo::base {
namespace {

FileIdentity FromStat(const struct stat& st) {
    FileIdentity id;
    id.volume = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modifiedSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    id.modifiedFraction = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    id.regular = S_ISREG(st.st_mode);
    id.directory = S_ISDIR(st.st_mode);
    return id;
}

}  // namespace

bool IdentifyOpenFile(int fd, FileIdentity& identity) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    identity = FromStat(st);
    return true;
}

bool IdentifyPath(const std::string& path, FileIdentity& identity) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    identity = FromStat(st);
    return true;
}

int OpenForReading(const std::string& path) {
    // O_NONBLOCK: a FIFO must not hold the open until some writer appears.
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

void MakeBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int OpenForWriting(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int OpenForAppending(const std::string& path) {
    // With O_APPEND the kernel places each write at the end.
    return ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool LockExclusive(int fd) {
    int r;
    do {
        r = ::flock(fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

void Unlock(int fd) { ::flock(fd, LOCK_UN); }

int LastByte(int fd) {
    struct stat st {};
    unsigned char last = 0;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0 || ::pread(fd, &last, 1, st.st_size - 1) != 1)
        return -1;
    return last;
}

long long WriteSome(int fd, const void* data, std::size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool FlushToDisk(int fd) { return ::fdatasync(fd) == 0; }

bool IsAbsolutePath(std::string_view path) { return !path.empty() && path.front() == '/'; }
bool IsPathSeparator(char c) { return c == '/'; }
char PreferredPathSeparator() { return '/'; }
char PathListSeparator() { return ':'; }

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string WhyNotExecutable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return path + " does not exist";
        return path + " can not be examined: " + ErrorText(errno);
    }
    if (S_ISDIR(st.st_mode)) return path + " is a folder";
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    if (::access(path.c_str(), X_OK) != 0) return path + " is not executable";
    return {};
}

std::string OwnExecutable() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return !ec && self.is_absolute() ? self.string() : std::string();
}

const char* Environment(const char* name) { return std::getenv(name); }

// Writes `bytes` over `path` through a temporary file in the same folder and a rename. The
// file keeps its permissions; a symbolic link stays a link to the updated file.
bool ReplaceFileContent(const std::string& path, const std::vector<std::uint8_t>& bytes,
                     std::string& error) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) {
        error = ErrorText(errno);
        return false;
    }
    const std::string target(resolved);
    std::free(resolved);

    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        error = ErrorText(errno);
        return false;
    }
    const std::size_t slash = target.rfind('/');
    std::string temp = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        error = "cannot create a temporary file beside it: " + ErrorText(errno);
        return false;
    }
    const auto discard = [&](const std::string& why) {
        error = why;
        fd.reset();
        ::unlink(temp.c_str());
        return false;
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return discard("write failed: " + ErrorText(n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0) return discard("chmod failed: " + ErrorText(errno));
    if (::fsync(fd.get()) != 0) return discard("sync failed: " + ErrorText(errno));
    if (::close(fd.release()) != 0) return discard("close failed: " + ErrorText(errno));
    if (::rename(temp.c_str(), target.c_str()) != 0) return discard("rename failed: " + ErrorText(errno));
    return true;
}

}  // namespace vumo::base
