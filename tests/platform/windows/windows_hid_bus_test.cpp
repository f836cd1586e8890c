// The Windows back end where Wine can host it: the system's HID list, opens of a path that is
// not there, report I/O and its cancellation over a message-mode pipe (which, like a HID
// handle, gives one whole report per read), and the notification window's thread.

#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_handle.h"
#include "platform/windows/win_hid_io.h"
#include "platform/windows/win_hid_rules.h"
#include "platform/windows/windows_hid_bus.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vumo::platform::windows {
namespace {

using namespace std::chrono_literals;

// Waits in tests are bounded by this; none of them takes near it when the code is right.
constexpr auto kTestLimit = 20s;
// A read that only a cancel or a close can end within kTestLimit.
constexpr auto kLongRead = 60s;

TEST(WindowsHidBus, ListsTheSystemsHidInterfacesInOneSpellingAndOrder) {
    const auto bus = makeWindowsHidBus();
    const auto first = bus->enumerate();
    if (first.empty()) GTEST_SKIP() << "this system (Wine without a HID bus) lists no HID devices";
    const auto second = bus->enumerate();
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].path, second[i].path);
        EXPECT_EQ(first[i].path, CanonicalInterfacePath(first[i].path));
        EXPECT_EQ(first[i].vendorId, second[i].vendorId);
        EXPECT_EQ(first[i].productId, second[i].productId);
        EXPECT_EQ(first[i].port, second[i].port);
    }
}

TEST(WindowsHidBus, APathThatIsNotThereIsGoneForEveryOpen) {
    const auto bus = makeWindowsHidBus();
    const std::string missing =
        "\\\\?\\hid#vid_1209&pid_0001#9&deadbeef&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(bus->probe(missing).status, OpenStatus::gone);
    const auto writer = bus->openWriter(missing);
    EXPECT_EQ(writer.status, OpenStatus::gone);
    EXPECT_EQ(writer.handle, nullptr);
    const auto reader = bus->openReader(missing);
    EXPECT_EQ(reader.status, OpenStatus::gone);
    EXPECT_EQ(reader.handle, nullptr);
}

TEST(WindowsHidBus, AWriterExcludesOtherWritersAndProbesUntilItCloses) {
    const auto bus = makeWindowsHidBus();
    const auto devices = bus->enumerate();
    if (devices.empty()) GTEST_SKIP() << "this system (Wine without a HID bus) lists no HID devices";
    // Wine's own devices may be written to; the system's keyboards and mice on Windows may not.
    const auto& path = devices.front().path;
    auto first = bus->openWriter(path);
    if (first.status != OpenStatus::ok) GTEST_SKIP() << "the first HID device can't be written to";
    EXPECT_EQ(bus->openWriter(path).status, OpenStatus::busy);
    EXPECT_EQ(bus->probe(path).status, OpenStatus::busy);
    // Readers are never excluded: the listener reads while the writer holds the device.
    const auto reader = bus->openReader(path);
    EXPECT_EQ(reader.status, OpenStatus::ok);
    // Another spelling of the path names the same device.
    std::string upper = path;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(bus->openWriter(upper).status, OpenStatus::busy);

    EXPECT_TRUE(first.handle->close());
    EXPECT_EQ(bus->probe(path).status, OpenStatus::ok);
    EXPECT_EQ(bus->openWriter(path).status, OpenStatus::ok);
}

// Both ends of a message-mode pipe: `ours` is opened overlapped, as the back end opens a HID
// device; `device` plays the device.
struct PipePair {
    UniqueHandle ours;
    UniqueHandle device;
};

PipePair MakePipe() {
    static std::atomic<int> serial{0};
    const std::wstring name = L"\\\\.\\pipe\\vumo-hid-test-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(serial++);
    PipePair pair;
    pair.ours = UniqueHandle(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    if (!pair.ours) return pair;
    pair.device = UniqueHandle(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pair.device) ::SetNamedPipeHandleState(pair.device.get(), &mode, nullptr, nullptr);
    return pair;
}

void DeviceSends(const PipePair& pipe, std::vector<std::uint8_t> report) {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipe.device.get(), report.data(), static_cast<DWORD>(report.size()),
                            &written, nullptr));
    ASSERT_EQ(written, report.size());
}

TEST(WindowsHidIo, AReportThatArrivesBetweenReadsIsKeptWithItsIdInByteZero) {
    auto pipe = MakePipe();
    ASSERT_TRUE(pipe.ours && pipe.device);
    const auto reader = MakeOverlappedReader(std::move(pipe.ours), 17);
    ASSERT_NE(reader, nullptr);

    std::array<std::uint8_t, 17> buffer{};
    // Nothing yet: the read ends at its limit and leaves its transfer outstanding.
    EXPECT_EQ(reader->read(buffer, 0ms).status, ReadStatus::timeout);
    const std::vector<std::uint8_t> ready = {0x00, 'R', 'E', 'A', 'D', 'Y'};
    const std::vector<std::uint8_t> locat = {0x00, 'L', 'O', 'C', 'A', 'T'};
    DeviceSends(pipe, ready);
    DeviceSends(pipe, locat);

    auto result = reader->read(buffer, kTestLimit);
    ASSERT_EQ(result.status, ReadStatus::report);
    ASSERT_EQ(result.length, ready.size());
    EXPECT_TRUE(std::equal(ready.begin(), ready.end(), buffer.begin()));
    result = reader->read(buffer, kTestLimit);
    ASSERT_EQ(result.status, ReadStatus::report);
    ASSERT_EQ(result.length, locat.size());
    EXPECT_TRUE(std::equal(locat.begin(), locat.end(), buffer.begin()));
    // A report longer than the caller's buffer is cut to it.
    DeviceSends(pipe, {0x00, 1, 2, 3, 4, 5, 6});
    std::array<std::uint8_t, 3> small{};
    result = reader->read(small, kTestLimit);
    ASSERT_EQ(result.status, ReadStatus::report);
    EXPECT_EQ(result.length, 3u);
    EXPECT_EQ(small, (std::array<std::uint8_t, 3>{0x00, 1, 2}));
    EXPECT_TRUE(reader->close());
}

// Tells the test when a read has begun to wait for its report, so that what ends it next is
// known to end a waiting read.
struct WaitSignal {
    std::promise<void> promise;
    std::future<void> waiting = promise.get_future();
    std::once_flag once;
    std::function<void()> hook() {
        return [this] { std::call_once(once, [this] { promise.set_value(); }); };
    }
};

TEST(WindowsHidIo, CancelEndsAWaitingReadAtOnceAndEveryLaterOne) {
    auto pipe = MakePipe();
    ASSERT_TRUE(pipe.ours && pipe.device);
    WaitSignal signal;
    const auto reader = MakeOverlappedReader(std::move(pipe.ours), 17, signal.hook());
    ASSERT_NE(reader, nullptr);

    auto reading = std::async(std::launch::async, [&] {
        std::array<std::uint8_t, 17> buffer{};
        // Far longer than the test waits: only the cancel can end it in time.
        return reader->read(buffer, kLongRead).status;
    });
    ASSERT_EQ(signal.waiting.wait_for(kTestLimit), std::future_status::ready);
    reader->cancel();
    ASSERT_EQ(reading.wait_for(kTestLimit), std::future_status::ready);
    EXPECT_EQ(reading.get(), ReadStatus::cancelled);

    // Sticky, even with a report waiting.
    DeviceSends(pipe, {0x00, 'E', 'N', 'D'});
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(reader->read(buffer, kTestLimit).status, ReadStatus::cancelled);
    EXPECT_TRUE(reader->close());
}

TEST(WindowsHidIo, CloseFromAnotherThreadEndsAWaitingRead) {
    auto pipe = MakePipe();
    ASSERT_TRUE(pipe.ours && pipe.device);
    WaitSignal signal;
    const auto reader = MakeOverlappedReader(std::move(pipe.ours), 17, signal.hook());
    ASSERT_NE(reader, nullptr);

    auto reading = std::async(std::launch::async, [&] {
        std::array<std::uint8_t, 17> buffer{};
        return reader->read(buffer, kLongRead).status;
    });
    ASSERT_EQ(signal.waiting.wait_for(kTestLimit), std::future_status::ready);
    // close() waits for the read to leave; the read must end cancelled at once for that.
    auto closing = std::async(std::launch::async, [&] { return reader->close(); });
    ASSERT_EQ(closing.wait_for(kTestLimit), std::future_status::ready);
    EXPECT_TRUE(closing.get());
    ASSERT_EQ(reading.wait_for(kTestLimit), std::future_status::ready);
    EXPECT_EQ(reading.get(), ReadStatus::cancelled);
}

TEST(WindowsHidIo, AReadEndsGoneWhenTheOtherEndLeaves) {
    auto pipe = MakePipe();
    ASSERT_TRUE(pipe.ours && pipe.device);
    const auto reader = MakeOverlappedReader(std::move(pipe.ours), 17);
    ASSERT_NE(reader, nullptr);
    std::array<std::uint8_t, 17> buffer{};
    ASSERT_EQ(reader->read(buffer, 0ms).status, ReadStatus::timeout);
    pipe.device.close();
    // A pipe reports ERROR_BROKEN_PIPE, which no HID driver gives: it fails rather than goes.
    const auto result = reader->read(buffer, kTestLimit);
    EXPECT_EQ(result.status, ReadStatus::failed);
    EXPECT_TRUE(reader->close());
}

TEST(WindowsHidIo, AShortWriteIsPaddedToTheOutputReportLength) {
    auto pipe = MakePipe();
    ASSERT_TRUE(pipe.ours && pipe.device);
    const auto writer = MakeOverlappedWriter(std::move(pipe.ours), 21);
    ASSERT_NE(writer, nullptr);
    const std::vector<std::uint8_t> modeSwitch = {0x00, 0xEE, 223};
    const auto result = writer->write(modeSwitch);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.written, modeSwitch.size());

    std::array<std::uint8_t, 64> got{};
    DWORD received = 0;
    ASSERT_TRUE(::ReadFile(pipe.device.get(), got.data(), static_cast<DWORD>(got.size()),
                           &received, nullptr));
    ASSERT_EQ(received, 21u);
    std::array<std::uint8_t, 21> expected{};
    std::copy(modeSwitch.begin(), modeSwitch.end(), expected.begin());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));

    EXPECT_TRUE(writer->close());
    EXPECT_FALSE(writer->write(modeSwitch).ok);
}

HWND MonitorWindow() {
    return ::FindWindowExW(HWND_MESSAGE, nullptr, L"VumoDfuDeviceMonitor", nullptr);
}

TEST(WindowsDeviceMonitor, HandsOverDeviceChangesAndStopsWithItsThread) {
    auto monitor = MakeDeviceMonitor();
    ASSERT_NE(monitor, nullptr) << "the notification window could not be made";
    EXPECT_FALSE(monitor->ready().isSet());
    const HWND window = MonitorWindow();
    ASSERT_NE(window, nullptr);

    // What the system sends when an interface arrives, delivered on the monitor's thread.
    GUID hid;
    HidD_GetHidGuid(&hid);
    const std::wstring name = L"\\\\?\\HID#VID_1209&PID_0002#7&1&0&0000#{4d1e55b2}";
    const std::size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<std::byte> record(offset + (name.size() + 1) * sizeof(wchar_t));
    DEV_BROADCAST_DEVICEINTERFACE_W head{};
    head.dbcc_size = static_cast<DWORD>(record.size());
    head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = hid;
    std::memcpy(record.data(), &head, offset);
    std::memcpy(record.data() + offset, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                   reinterpret_cast<LPARAM>(record.data()));
    ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                   reinterpret_cast<LPARAM>(record.data()));

    const base::Waitable ready[1] = {monitor->ready()};
    ASSERT_EQ(base::WaitAny(ready, kTestLimit), 0);
    const auto events = monitor->takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].action, HotplugMonitor::Action::arrival);
    EXPECT_EQ(events[1].action, HotplugMonitor::Action::removal);
    EXPECT_EQ(events[0].path, "\\\\?\\hid#vid_1209&pid_0002#7&1&0&0000#{4d1e55b2}");
    EXPECT_FALSE(monitor->ready().isSet());
    EXPECT_TRUE(monitor->takeEvents().empty());

    // Destruction ends the thread, which takes its window with it.
    monitor.reset();
    EXPECT_EQ(MonitorWindow(), nullptr);
    // And a second monitor in the same process starts as the first did.
    auto again = MakeDeviceMonitor();
    EXPECT_NE(again, nullptr);
}

}  // namespace
}  // namespace vumo::platform::windows
