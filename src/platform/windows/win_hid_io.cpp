#include "platform/windows/win_hid_io.h"
#include "platform/windows/win_handle.h"

#include "platform/read_gate.h"
#include "platform/windows/win_hid_rules.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace vumo::platform::windows {
namespace {

using namespace std::chrono_literals;

// The longest a write may take: usbhid on Linux gives an interrupt transfer five seconds
// before it fails it, and a device that never takes the report must not hold us longer.
constexpr auto kWriteLimit = 5000ms;
// How long a cancelled transfer may take to end. hidclass ends a cancelled read or write at
// once; the limit only keeps a broken driver from holding the caller for ever.
constexpr auto kCancelLimit = 2000ms;

DWORD Milliseconds(std::chrono::milliseconds timeout) {
    // INFINITE is 0xFFFFFFFF: a wait stays one below it.
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0,
                                                                         INFINITE - 1));
}

// One overlapped transfer: its OVERLAPPED, its buffer and its event live together on the
// heap, because the system writes into them until the transfer has ended. When a cancelled
// transfer does not end within kCancelLimit, its owner lets go of it without freeing it.
struct Transfer {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> buffer;
    UniqueHandle event;

    static std::unique_ptr<Transfer> Make(std::size_t size) {
        // Manual reset: it stays set once the transfer has ended, however often it is tested.
        UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return nullptr;
        auto transfer = std::make_unique<Transfer>();
        transfer->buffer.resize(std::max<std::size_t>(size, 1));
        transfer->event = std::move(event);
        return transfer;
    }

    void Prepare() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
    }
};

// Cancels `transfer` on `file` and waits, bounded, for it to end. False when it did not end:
// the caller must then release the transfer rather than free it.
bool CancelAndSettle(HANDLE file, Transfer& transfer) {
    ::CancelIoEx(file, &transfer.overlapped);
    if (::WaitForSingleObject(transfer.event.get(), Milliseconds(kCancelLimit)) != WAIT_OBJECT_0)
        return false;
    DWORD ignored = 0;
    ::GetOverlappedResult(file, &transfer.overlapped, &ignored, FALSE);
    return true;
}

class OverlappedWriter final : public HidWriter {
public:
    OverlappedWriter(UniqueHandle file, std::unique_ptr<Transfer> transfer, std::size_t length)
        : file_(std::move(file)), transfer_(std::move(transfer)), outputLength_(length) {}
    void holdLock(UniqueHandle lock) { lock_ = std::move(lock); }
    ~OverlappedWriter() override { close(); }

    WriteResult write(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(mutex_);
        if (!file_ || !transfer_) return {};
        // hid.dll refuses a write that is not exactly one output report long.
        const std::size_t size = std::max(report.size(), outputLength_);
        Transfer& t = *transfer_;
        t.buffer.assign(size, 0);
        std::copy(report.begin(), report.end(), t.buffer.begin());
        t.Prepare();
        if (!::WriteFile(file_.get(), t.buffer.data(), static_cast<DWORD>(size), nullptr,
                         &t.overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return {};
        if (::WaitForSingleObject(t.event.get(), Milliseconds(kWriteLimit)) != WAIT_OBJECT_0) {
            if (!CancelAndSettle(file_.get(), t)) static_cast<void>(transfer_.release());
            return {};
        }
        DWORD written = 0;
        if (!::GetOverlappedResult(file_.get(), &t.overlapped, &written, FALSE)) return {};
        // The padding is ours, not the caller's.
        return {true, std::min<std::size_t>(written, report.size())};
    }

    bool close() override {
        std::lock_guard lock(mutex_);
        const bool fileClosed = file_.close();
        // Only once the device is closed may another writer have it.
        const bool lockClosed = lock_.close();
        return fileClosed && lockClosed;
    }

private:
    // A close from another thread waits for a write in progress, so the handle is never
    // closed under it.
    std::mutex mutex_;
    UniqueHandle file_;
    UniqueHandle lock_;  // the named writer lock, when opened by path
    std::unique_ptr<Transfer> transfer_;
    const std::size_t outputLength_;
};

class OverlappedReader final : public HidReader {
public:
    OverlappedReader(UniqueHandle file, UniqueHandle cancelEvent,
                     std::unique_ptr<Transfer> transfer, std::function<void()> beforeWait)
        : file_(std::move(file)), cancelEvent_(std::move(cancelEvent)),
          transfer_(std::move(transfer)), beforeWait_(std::move(beforeWait)) {}
    ~OverlappedReader() override { close(); }

    ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        if (const auto early = gate_.Enter()) return *early;
        ReadResult result;
        {
            std::lock_guard io(ioMutex_);
            result = readOnce(buffer, timeout);
        }
        return gate_.Leave(result);
    }

    void cancel() override {
        // Never reset: every later wait on it returns at once.
        gate_.Cancel([&] { ::SetEvent(cancelEvent_.get()); });
    }

    bool close() override {
        // A read in progress sees the cancel event at once and leaves; only then may the
        // handles go.
        gate_.CancelAndWaitIdle([&] {
            if (cancelEvent_) ::SetEvent(cancelEvent_.get());
        });
        std::lock_guard io(ioMutex_);
        abandonPending();
        const bool fileClosed = file_.close();
        const bool eventClosed = cancelEvent_.close();
        return fileClosed && eventClosed;
    }

private:
    // Caller holds ioMutex_.
    ReadResult readOnce(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
        if (!file_ || !transfer_) return {ReadStatus::failed, 0};
        Transfer& t = *transfer_;
        if (!pending_) {
            t.Prepare();
            // One read stays outstanding from one call to the next: a report that arrives
            // between two calls completes it and waits here, and hidclass queues the ones after.
            if (!::ReadFile(file_.get(), t.buffer.data(), static_cast<DWORD>(t.buffer.size()),
                            nullptr, &t.overlapped)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_IO_PENDING) return failure(error);
            }
            pending_ = true;
        }
        // The cancel event comes first, so a cancel wins over a report that arrived with it.
        const HANDLE waits[2] = {cancelEvent_.get(), t.event.get()};
        if (beforeWait_) beforeWait_();
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, Milliseconds(timeout));
        if (woke == WAIT_TIMEOUT) return {ReadStatus::timeout, 0};
        if (woke == WAIT_OBJECT_0) {
            abandonPending();
            return {ReadStatus::cancelled, 0};
        }
        if (woke != WAIT_OBJECT_0 + 1) return {ReadStatus::failed, 0};
        pending_ = false;
        DWORD received = 0;
        if (!::GetOverlappedResult(file_.get(), &t.overlapped, &received, FALSE))
            return failure(::GetLastError());
        const std::size_t length = std::min<std::size_t>(received, buffer.size());
        std::memcpy(buffer.data(), t.buffer.data(), length);
        return {ReadStatus::report, length};
    }

    static ReadResult failure(DWORD error) {
        // Someone else's CancelIoEx on our handle: nothing more will come through it.
        if (error == ERROR_OPERATION_ABORTED) return {ReadStatus::cancelled, 0};
        return {ErrorMeansGone(error) ? ReadStatus::gone : ReadStatus::failed, 0};
    }

    // Caller holds ioMutex_. Ends the outstanding read, if any, before its buffer may go.
    void abandonPending() {
        if (!pending_ || !transfer_) return;
        pending_ = false;
        if (!CancelAndSettle(file_.get(), *transfer_)) static_cast<void>(transfer_.release());
    }

    ReadGate gate_;
    // Held by the one read in progress and by close() once reads have left; keeps two reads
    // from sharing the one outstanding transfer.
    std::mutex ioMutex_;
    UniqueHandle file_;
    UniqueHandle cancelEvent_;
    std::unique_ptr<Transfer> transfer_;  // guarded by ioMutex_
    bool pending_ = false;                // guarded by ioMutex_
    const std::function<void()> beforeWait_;
};

struct OpenedFile {
    OpenStatus status = OpenStatus::failed;
    UniqueHandle file;
    ReportLengths lengths;
};

OpenedFile OpenAndMeasure(const std::string& path, DWORD access, DWORD share, DWORD flags) {
    OpenedFile opened;
    const std::wstring widePath = WideFromUtf8(path);
    opened.file = UniqueHandle(::CreateFileW(widePath.c_str(), access, share, nullptr,
                                             OPEN_EXISTING, flags, nullptr));
    if (!opened.file) {
        opened.status = OpenStatusFromError(::GetLastError());
        return opened;
    }
    PreparsedData preparsed;
    if (!::HidD_GetPreparsedData(opened.file.get(), preparsed.out())) {
        // The device may have left between the open and the query.
        opened.status = ErrorMeansGone(::GetLastError()) ? OpenStatus::gone : OpenStatus::failed;
        opened.file.close();
        return opened;
    }
    HIDP_CAPS caps{};
    if (::HidP_GetCaps(preparsed.get(), &caps) != HIDP_STATUS_SUCCESS) {
        opened.status = OpenStatus::failed;
        opened.file.close();
        return opened;
    }
    // Both already count the report ID byte, numbered or not.
    opened.lengths = {caps.InputReportByteLength, caps.OutputReportByteLength};
    opened.status = OpenStatus::ok;
    return opened;
}

}  // namespace

std::unique_ptr<HidWriter> MakeOverlappedWriter(UniqueHandle file, std::size_t outputLength) {
    auto transfer = Transfer::Make(outputLength);
    if (!transfer) return nullptr;
    return std::make_unique<OverlappedWriter>(std::move(file), std::move(transfer), outputLength);
}

std::unique_ptr<HidReader> MakeOverlappedReader(UniqueHandle file, std::size_t inputLength,
                                                std::function<void()> beforeWait) {
    auto transfer = Transfer::Make(inputLength);
    UniqueHandle cancelEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!transfer || !cancelEvent) return nullptr;
    return std::make_unique<OverlappedReader>(std::move(file), std::move(cancelEvent),
                                              std::move(transfer), std::move(beforeWait));
}

ProbeResult ProbeDevice(const std::string& path) {
    // A writer of this program holds the device, in this process or another.
    if (UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, WriterLockName(path).c_str())))
        return {OpenStatus::busy, {}};
    // Opened for writing, like the writer, so that a device this user may not write to is
    // reported as such at once.
    const OpenedFile opened = OpenAndMeasure(path, GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    return {opened.status, opened.lengths};
}

Opened<HidWriter> OpenDeviceWriter(const std::string& path) {
    // The lock first: the system's share modes exclude other writers on Windows, the lock does
    // on Wine too, and only the lock tells our own probes that a writer is there.
    UniqueHandle lock(::CreateEventW(nullptr, TRUE, FALSE, WriterLockName(path).c_str()));
    if (!lock) return {OpenStatus::failed, nullptr};
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return {OpenStatus::busy, nullptr};
    OpenedFile opened = OpenAndMeasure(path, GENERIC_WRITE, FILE_SHARE_READ,
                                       FILE_FLAG_OVERLAPPED);
    if (opened.status != OpenStatus::ok) return {opened.status, nullptr};
    auto transfer = Transfer::Make(opened.lengths.output);
    if (!transfer) return {OpenStatus::failed, nullptr};
    auto writer = std::make_unique<OverlappedWriter>(std::move(opened.file), std::move(transfer),
                                                     opened.lengths.output);
    writer->holdLock(std::move(lock));
    return {OpenStatus::ok, std::move(writer)};
}

Opened<HidReader> OpenDeviceReader(const std::string& path) {
    OpenedFile opened = OpenAndMeasure(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       FILE_FLAG_OVERLAPPED);
    if (opened.status != OpenStatus::ok) return {opened.status, nullptr};
    auto reader = MakeOverlappedReader(std::move(opened.file), opened.lengths.input);
    if (!reader) return {OpenStatus::failed, nullptr};
    return {OpenStatus::ok, std::move(reader)};
}

}  // namespace vumo::platform::windows
