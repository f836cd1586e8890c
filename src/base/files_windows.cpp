#include "base/files.h"

#include "base/error_text.h"
#include "base/windows_text.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace vumo::base {
namespace {

FileIdentity FromInformation(const BY_HANDLE_FILE_INFORMATION& info) {
    FileIdentity id;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    id.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    const std::uint64_t written =
        (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
        info.ftLastWriteTime.dwLowDateTime;
    id.modifiedSeconds = static_cast<std::int64_t>(written / 10'000'000);
    id.modifiedFraction = static_cast<std::int64_t>(written % 10'000'000);
    id.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    id.regular = !id.directory && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    return id;
}

bool Identify(HANDLE handle, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) {
        errno = ErrnoFromWindows(::GetLastError());
        return false;
    }
    identity = FromInformation(info);
    if (::GetFileType(handle) != FILE_TYPE_DISK) identity.regular = false;
    return true;
}

// A handle made with CreateFileW, handed to the C runtime as a descriptor.
int Open(const std::string& path, DWORD access, DWORD disposition, int crtFlags) {
    const std::wstring name = Widen(path);
    // Others may read, write and rename meanwhile, as on Linux; the checks notice a change.
    const HANDLE h = ::CreateFileW(name.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        errno = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                    ? EISDIR
                    : ErrnoFromWindows(error);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

bool IdentifyOpenFile(int fd, FileIdentity& identity) { return Identify(HandleOf(fd), identity); }

bool IdentifyPath(const std::string& path, FileIdentity& identity) {
    // No access asked for: only the file's information is read. Folders need the flag.
    const HANDLE h = ::CreateFileW(Widen(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromWindows(::GetLastError());
        return false;
    }
    const bool ok = Identify(h, identity);
    ::CloseHandle(h);
    return ok;
}

// Handles are not inherited unless asked for, so nothing here leaks into the tool.
int OpenForReading(const std::string& path) {
    return Open(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY);
}

void MakeBlocking(int) {}

int OpenForWriting(const std::string& path) {
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS, _O_WRONLY);
}

int OpenForAppending(const std::string& path) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system places every write at the end of
    // the file as one piece, whoever else appends.
    return Open(path, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE, OPEN_ALWAYS, _O_RDWR);
}

// Byte-range locks on Windows keep everyone else out of the range: the lock is on one byte far
// past any end the file can have, so readers and writers of the content are never refused and
// only those who take the same lock wait for each other.
namespace {
OVERLAPPED LockPlace() {
    OVERLAPPED place{};
    place.Offset = 0xFFFFFFFEu;
    place.OffsetHigh = 0x7FFFFFFFu;
    return place;
}
}  // namespace

bool LockExclusive(int fd) {
    OVERLAPPED place = LockPlace();
    if (::LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place)) return true;
    errno = ErrnoFromWindows(::GetLastError());
    return false;
}

void Unlock(int fd) {
    OVERLAPPED place = LockPlace();
    ::UnlockFileEx(HandleOf(fd), 0, 1, 0, &place);
}

int LastByte(int fd) {
    const HANDLE h = HandleOf(fd);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size) || size.QuadPart <= 0) return -1;
    OVERLAPPED at{};
    const auto offset = static_cast<std::uint64_t>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    unsigned char last = 0;
    DWORD n = 0;
    if (!::ReadFile(h, &last, 1, &n, &at) || n != 1) return -1;
    return last;
}

long long WriteSome(int fd, const void* data, std::size_t size) {
    DWORD written = 0;
    if (!::WriteFile(HandleOf(fd), data, static_cast<DWORD>(size), &written, nullptr)) {
        errno = ErrnoFromWindows(::GetLastError());
        return -1;
    }
    return written;
}

bool FlushToDisk(int fd) {
    if (::FlushFileBuffers(HandleOf(fd))) return true;
    errno = ErrnoFromWindows(::GetLastError());
    return false;
}

bool IsAbsolutePath(std::string_view path) {
    // "C:\..." or "C:/...", or a UNC path "\\server\share\...".
    if (path.size() >= 3 && path[1] == ':' && IsPathSeparator(path[2])) return true;
    return path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
}
bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }
char PreferredPathSeparator() { return '\\'; }
char PathListSeparator() { return ';'; }

bool IsExecutableFile(const std::string& path) {
    FileIdentity id;
    return IdentifyPath(path, id) && id.regular;
}

std::string WhyNotExecutable(const std::string& path) {
    FileIdentity id;
    if (!IdentifyPath(path, id)) {
        if (errno == ENOENT || errno == ENOTDIR) return path + " does not exist";
        return path + " can not be examined: " + ErrorText(errno);
    }
    if (id.directory) return path + " is a folder";
    if (!id.regular) return path + " is not a regular file";
    return {};
}

std::string OwnExecutable() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(),
                                             static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return Narrow(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

const char* Environment(const char* name) {
    static std::mutex mutex;
    static std::map<std::string, std::string> values;
    std::lock_guard lock(mutex);
    const std::wstring wide = Widen(name);
    const DWORD n = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (n == 0) return nullptr;
    std::wstring value(n, L'\0');
    const DWORD got = ::GetEnvironmentVariableW(wide.c_str(), value.data(), n);
    value.resize(got);
    auto& kept = values[name];
    kept = Narrow(value);
    return kept.c_str();
}

}  // namespace vumo::base

namespace vumo::base {

bool ReplaceFileContent(const std::string& path, const std::vector<std::uint8_t>& bytes,
                        std::string& error) {
    FileIdentity id;
    if (!IdentifyPath(path, id)) {
        error = ErrorText(errno);
        return false;
    }
    // Beside it, so that the move is a rename on one volume.
    const std::wstring target = Widen(path);
    const std::wstring temp = target + L".checksum-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot create a temporary file beside it: " +
                ErrorText(ErrnoFromWindows(::GetLastError()));
        return false;
    }
    const auto discard = [&](const std::string& why) {
        error = why + ": " + ErrorText(ErrnoFromWindows(::GetLastError()));
        ::CloseHandle(h);
        ::DeleteFileW(temp.c_str());
        return false;
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (!::WriteFile(h, bytes.data() + done, want, &n, nullptr) || n == 0)
            return discard("write failed");
        done += n;
    }
    if (!::FlushFileBuffers(h)) return discard("sync failed");
    ::CloseHandle(h);
    if (!::MoveFileExW(temp.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "rename failed: " + ErrorText(ErrnoFromWindows(::GetLastError()));
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace vumo::base
