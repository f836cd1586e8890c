// The Windows dialog on the simulated bus, driven as a user drives it: clicks (BM_CLICK) on its
// real buttons, text in its real edit control, Enter and Escape as the dialog manager turns them
// into WM_COMMAND, device changes from the bus's monitor through the dialog's own message loop.
// The boxes are answered through the dialog's box seam, so nothing waits for a user.

#include "app/dialog_template.h"
#include "base/windows_text.h"
#include "frontend/bus_choice.h"
#include "hid/hid_device.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/simulation.h"
#include "tools/checksum/vector_table.h"
#include "winapp/resource_ids.h"
#include "winapp/utility_dialog.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vumo::winapp {
namespace {

using namespace std::chrono_literals;

const std::wstring kOpen = L"Open Device";
const std::wstring kClose = L"Close Device";

std::string Narrow(const std::wstring& text) { return base::Narrow(text); }

// The state of the controls that the enabling rule sets, as the Qt window's tests name it.
struct Controls {
    bool list, open, update, browse, close;
    std::wstring caption;
    bool operator==(const Controls&) const = default;
    friend void PrintTo(const Controls& c, std::ostream* os) {
        *os << "list " << c.list << " open " << c.open << " update " << c.update << " browse "
            << c.browse << " close " << c.close << " caption " << Narrow(c.caption);
    }
};

// Everything a control of the progress bar and the warning label was told, seen from inside
// the control (a subclass), so each step counts even when the next one follows at once.
struct ControlLog {
    std::vector<int> positions;  // PBM_SETPOS
    int hidden = 0;              // WM_SHOWWINDOW FALSE
};

LRESULT CALLBACK Observe(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                         DWORD_PTR data) {
    auto* log = reinterpret_cast<ControlLog*>(data);
    if (message == PBM_SETPOS) log->positions.push_back(static_cast<int>(wParam));
    if (message == WM_SHOWWINDOW && wParam == FALSE) ++log->hidden;
    return DefSubclassProc(window, message, wParam, lParam);
}

// A firmware image for location 1 as the checksum tool accepts it: the stack pointer in RAM,
// the reset and fault handlers in the flash slot at 0x1A020000, the boot ROM's sum in word 7.
std::vector<std::uint8_t> MakeFirmware(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 12345;
    for (auto& b : image) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    tools::WriteWord(image, 0, 0x10008000u);
    for (std::size_t i = 1; i < tools::kSummedWords; ++i)
        tools::WriteWord(image, i,
                         (0x1A020000u + 0x200u + 16u * static_cast<std::uint32_t>(i)) | 1u);
    tools::WriteWord(image, tools::kChecksumWord, tools::VectorChecksum(image));
    return image;
}

class WinDialogTest : public testing::Test {
protected:
    void TearDown() override {
        dialog.reset();
        busChoice.reset();
        if (!firmwarePath.empty()) DeleteFileW(firmwarePath.c_str());
    }

    void MakeDialog(const std::string& simulate) {
        frontend::BusOptions bus;
        bus.simulate = simulate;
        std::string error;
        frontend::BusFailure failure = frontend::BusFailure::none;
        busChoice = frontend::BusChoice::Make(bus, error, failure);
        ASSERT_NE(busChoice, nullptr) << error;

        DialogOptions options;
        options.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
        options.limits.reply = 3s;
        options.limits.deviceReturn = 10s;
        options.limits.reopen = 5s;
        options.showBox = [this](HWND, const BoxRecord& box) {
            if (onBox) onBox(box);
            if (!answers.empty()) {
                const int answer = answers.front();
                answers.pop_front();
                return answer;
            }
            return (box.type & MB_YESNO) == MB_YESNO ? IDNO : IDOK;
        };
        dialog = std::make_unique<UtilityDialog>(busChoice->bus(), std::move(options));
        ASSERT_TRUE(dialog->Create(GetModuleHandleW(nullptr))) << Narrow(dialog->error());
        window = dialog->hwnd();
    }

    // Runs the dialog's loop until `condition` holds; false after `limit`.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            if (!dialog->Pump(50ms) && !condition()) return false;
        }
        return true;
    }

    HWND Item(int id) const { return GetDlgItem(window, id); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    std::wstring Text(int id) const {
        wchar_t text[512] = {};
        GetWindowTextW(Item(id), text, 512);
        return text;
    }
    Controls State() const {
        return {Enabled(IDC_DEVICE_LIST), Enabled(IDC_DEVICE_OPEN), Enabled(IDC_UPDATE),
                Enabled(IDC_BROWSE),      Enabled(IDC_CLOSE),       Text(IDC_DEVICE_OPEN)};
    }
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        const auto count = SendMessageW(Item(IDC_DEVICE_LIST), CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t line[256] = {};
            SendMessageW(Item(IDC_DEVICE_LIST), CB_GETLBTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(line));
            lines.emplace_back(line);
        }
        return lines;
    }
    // A click of a real button, as the mouse gives it.
    void Click(int id) {
        ASSERT_TRUE(Enabled(id)) << id;
        SendMessageW(Item(id), BM_CLICK, 0, 0);
    }
    // A path typed and confirmed with Enter, which the dialog manager turns into IDOK.
    void TypePath(const std::wstring& path) {
        SetWindowTextW(Item(IDC_PATH), path.c_str());
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    // The firmware under a name beyond ASCII: the dialog hands it to the engine in UTF-8.
    std::wstring WriteFirmware(std::size_t size) {
        firmware = MakeFirmware(size);
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        firmwarePath = std::wstring(folder) + L"prüfung-固件-" +
                       std::to_wstring(GetCurrentProcessId()) + L".bin";
        std::ofstream out(firmwarePath.c_str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(firmware.data()),
                  static_cast<std::streamsize>(firmware.size()));
        return firmwarePath;
    }
    std::vector<std::uint8_t> PaddedFirmware() const {
        auto padded = firmware;
        padded.resize((firmware.size() + protocol::kBlockSize - 1) / protocol::kBlockSize *
                          protocol::kBlockSize,
                      0);
        return padded;
    }
    sim::DeviceEmulator& Device() { return busChoice->simulation()->device(0); }
    int ProgressMaximum() const {
        return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
    }
    int ProgressPosition() const {
        return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    }

    std::unique_ptr<frontend::BusChoice> busChoice;
    std::unique_ptr<UtilityDialog> dialog;
    HWND window = nullptr;
    std::deque<int> answers;                      // for the boxes, in order
    std::function<void(const BoxRecord&)> onBox;  // sees each box as it comes up
    std::vector<std::uint8_t> firmware;
    std::wstring firmwarePath;
};

TEST_F(WinDialogTest, IsTemplate102WithItsTextsSizesAndStyles) {
    MakeDialog("app");
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    EXPECT_STREQ(caption, L"Vumo_DFU_Utility");

    // Every control where the template puts it, in dialog units of the dialog's own font, and
    // of the kind it names; the Qt window is laid out from the same table.
    for (const app::TemplateControl& c : app::kTemplate102) {
        if (c.id == app::kIdNone) continue;
        const HWND control = Item(c.id);
        ASSERT_NE(control, nullptr) << c.id;
        // Place and size each converted on its own, as the dialog manager converts them.
        RECT expected{c.x, c.y, c.width, c.height};
        MapDialogRect(window, &expected);
        RECT actual{};
        GetWindowRect(control, &actual);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left) << c.id;
        EXPECT_EQ(actual.top, expected.top) << c.id;
        EXPECT_EQ(actual.right - actual.left, expected.right) << c.id;
        // A closed drop-down list is as tall as its text; 101 units is its dropped-down height.
        if (c.kind != app::ControlKind::comboBox) {
            EXPECT_EQ(actual.bottom - actual.top, expected.bottom) << c.id;
        }
        wchar_t className[32] = {};
        GetClassNameW(control, className, 32);
        const wchar_t* kind = c.kind == app::ControlKind::staticText    ? L"Static"
                              : c.kind == app::ControlKind::progressBar ? PROGRESS_CLASSW
                              : c.kind == app::ControlKind::edit        ? L"Edit"
                              : c.kind == app::ControlKind::comboBox    ? L"ComboBox"
                                                                        : L"Button";
        EXPECT_EQ(_wcsicmp(className, kind), 0) << c.id;
        const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
        if (c.kind == app::ControlKind::pushButton) {
            EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << c.id << ": no default button";
        }
        // Tab reaches only what the user can see.
        const bool inView = c.y < 252;
        EXPECT_EQ((style & WS_TABSTOP) != 0, c.tabStop && inView) << c.id;
    }
    EXPECT_EQ(GetWindowLongPtrW(Item(IDC_DEVICE_LIST), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_NE(GetWindowLongPtrW(Item(IDC_PROGRESS), GWL_STYLE) & PBS_SMOOTH, 0);
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_NE(style & WS_THICKFRAME, 0);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);

    // The texts that replace "Waring: ", "Static" and "Device Open" before the first drawing.
    EXPECT_EQ(Text(IDC_WARNING),
              L"Warning:\r\nDo not turn off the power during updating the firmware.");
    EXPECT_EQ(Text(IDC_VERSION), L"Version: 1.0.0.1");
    EXPECT_EQ(UtilityDialog::GetVersionString(L"NoSuchKey"), L"");

    // 475 x 200 pixels at first, and the tracking limits 475 x 200 to 600 x 300 (at 96 DPI).
    const int dpi = static_cast<int>(GetDpiForWindow(window));
    RECT outer{};
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, MulDiv(475, dpi, 96));
    EXPECT_EQ(outer.bottom - outer.top, MulDiv(200, dpi, 96));
    MINMAXINFO limits{};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, MulDiv(475, dpi, 96));
    EXPECT_EQ(limits.ptMinTrackSize.y, MulDiv(200, dpi, 96));
    EXPECT_EQ(limits.ptMaxTrackSize.x, MulDiv(600, dpi, 96));
    EXPECT_EQ(limits.ptMaxTrackSize.y, MulDiv(300, dpi, 96));
}

TEST_F(WinDialogTest, UpdatesFromApplicationModeToTheCompletionBox) {
    MakeDialog("app,return-delay=100");
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L"Vumo Device: VUMO-0001"});
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));

    Click(IDC_DEVICE_OPEN);
    EXPECT_EQ(dialog->openMode(), protocol::kModeApplication);
    EXPECT_EQ(State(), (Controls{false, true, false, true, true, kClose}));
    const int blocks = 23;  // 22 full blocks and a short one
    TypePath(WriteFirmware(2900));
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));

    ControlLog progress, warning;
    ASSERT_TRUE(
        SetWindowSubclass(Item(IDC_PROGRESS), Observe, 1, reinterpret_cast<DWORD_PTR>(&progress)));
    ASSERT_TRUE(
        SetWindowSubclass(Item(IDC_WARNING), Observe, 1, reinterpret_cast<DWORD_PTR>(&warning)));
    // What the window looked like while the completion box was up.
    Controls atBox{};
    std::uint32_t restartsAtBox = 99;
    std::uint8_t openModeAtBox = 0;
    onBox = [&](const BoxRecord&) {
        atBox = State();
        restartsAtBox = Device().restarts();
        openModeAtBox = dialog->openMode();
    };

    Click(IDC_UPDATE);
    EXPECT_TRUE(dialog->UpdateRunning());
    EXPECT_EQ(State(), (Controls{false, false, false, false, false, kClose}));
    EXPECT_EQ(ProgressMaximum(), blocks + 30);
    ASSERT_TRUE(WaitUntil([&] { return dialog->updatesFinished() == 1; }));

    ASSERT_TRUE(dialog->lastUpdateResult().has_value());
    EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok)
        << dialog->lastUpdateResult()->message;
    ASSERT_EQ(dialog->boxes().size(), 1u);
    const BoxRecord& box = dialog->boxes()[0];
    EXPECT_EQ(box.text, L"Firmware uploaded.\r\nNow Rebooting.");
    EXPECT_EQ(box.caption, L"Update Complete ");
    EXPECT_EQ(box.type, 0u);
    EXPECT_EQ(box.detail, L"");
    // The restart follows the box; meanwhile nothing could cut the update short, and the
    // window knew that the procedure had the update-mode device open.
    EXPECT_EQ(restartsAtBox, 0u);
    EXPECT_EQ(openModeAtBox, protocol::kModeUpdate);
    EXPECT_EQ(atBox, (Controls{false, false, false, false, false, kClose}));

    // Fixed steps 0 to 29 (0 is where the bar already was: no message), then one position per
    // block; the warning hidden for blocks 5-9 and 15-19 and back at the end.
    std::vector<int> expected;
    for (int p = 0; p <= 29; ++p) expected.push_back(p);
    for (int p = 31; p <= blocks + 30; ++p) expected.push_back(p);
    EXPECT_EQ(progress.positions, expected);
    EXPECT_EQ(ProgressPosition(), blocks + 30);
    EXPECT_EQ(warning.hidden, 2);
    EXPECT_TRUE(dialog->warningShown());
    EXPECT_EQ(Device().firmware(), PaddedFirmware());
    EXPECT_EQ(Device().locationCode(), std::optional<std::uint8_t>(1));

    // The restarted device is listed again, nothing is left open, and the rule is back.
    ASSERT_TRUE(WaitUntil([&] {
        return Lines() == std::vector<std::wstring>{L"Vumo Device: VUMO-0001"} &&
               dialog->openMode() == 0 && Device().restarts() == 1;
    }));
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));
    EXPECT_EQ(dialog->boxes().size(), 1u);
    RemoveWindowSubclass(Item(IDC_PROGRESS), Observe, 1);
    RemoveWindowSubclass(Item(IDC_WARNING), Observe, 1);
}

TEST_F(WinDialogTest, AMissingBlockReplyShowsItsErrorBoxAndTheUserCanTryAgain) {
    MakeDialog("dfu,silent=IMAGE:3");
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L"Vumo Update Loader: VUMO-0001"});
    Click(IDC_DEVICE_OPEN);
    TypePath(WriteFirmware(1000));
    bool readOnlyAtBox = false;
    onBox = [&](const BoxRecord&) {
        readOnlyAtBox = (GetWindowLongPtrW(Item(IDC_PATH), GWL_STYLE) & ES_READONLY) != 0;
    };
    Click(IDC_UPDATE);
    ASSERT_TRUE(WaitUntil([&] { return dialog->updatesFinished() == 1; }));

    ASSERT_EQ(dialog->boxes().size(), 1u);
    const BoxRecord& box = dialog->boxes()[0];
    EXPECT_EQ(box.caption, L"ERROR");
    EXPECT_EQ(box.type, static_cast<unsigned>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Narrow(box.text), dialog->lastUpdateResult()->message);
    EXPECT_FALSE(box.detail.empty()) << "the cause and what to do";
    EXPECT_EQ(dialog->lastUpdateResult()->step, update::Step::block);
    EXPECT_TRUE(readOnlyAtBox);
    // Blocks 0 to 3 went out: the bar stands at block 3, the warning still shows.
    EXPECT_EQ(ProgressPosition(), 3 + 31);
    EXPECT_TRUE(dialog->warningShown());
    // The device is still open and the path still there: Update can be pressed again.
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));
    EXPECT_EQ(GetWindowLongPtrW(Item(IDC_PATH), GWL_STYLE) & ES_READONLY, 0);
    ASSERT_TRUE(WaitUntil([&] { return !dialog->procedure()->busy(); }));
    dialog->Pump(0ms);
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));
}

TEST_F(WinDialogTest, FollowsTheBusAndOpensTheChosenLine) {
    MakeDialog("devices=2");
    EXPECT_EQ(Lines(),
              (std::vector<std::wstring>{L"Vumo Device: VUMO-0001", L"Vumo Device: VUMO-0002"}));
    EXPECT_EQ(SendMessageW(Item(IDC_DEVICE_LIST), CB_GETCURSEL, 0, 0), 0);
    SendMessageW(Item(IDC_DEVICE_LIST), CB_SETCURSEL, 1, 0);
    Click(IDC_DEVICE_OPEN);
    EXPECT_EQ(dialog->openMode(), protocol::kModeApplication);
    // A typed path counts once confirmed with Enter, which closes nothing.
    SetWindowTextW(Item(IDC_PATH), L"C:\\some.bin");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_FALSE(dialog->ended());
    Click(IDC_DEVICE_OPEN);
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));

    // The first device leaves the bus: the monitor's event reaches the dialog through its own
    // loop, and the list follows.
    const int handled = dialog->deviceChangesHandled();
    Device().unplug();
    ASSERT_TRUE(WaitUntil([&] { return dialog->deviceChangesHandled() > handled; }));
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L"Vumo Device: VUMO-0002"});
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));
}

TEST_F(WinDialogTest, EscapeClosesTheOpenDeviceFirstAndAnUpdateAsksBeforeClosing) {
    MakeDialog("dfu,silent=READY");
    Click(IDC_DEVICE_OPEN);
    TypePath(WriteFirmware(300));
    Click(IDC_UPDATE);
    ASSERT_TRUE(dialog->UpdateRunning());
    // The close box while the update runs: asked, answered No, nothing happens.
    answers = {IDNO};
    SendMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(dialog->boxes().size(), 1u);
    EXPECT_EQ(dialog->boxes()[0].caption, L"vumo-dfu-utility");
    EXPECT_EQ(dialog->boxes()[0].type,
              static_cast<unsigned>(MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2));
    EXPECT_FALSE(dialog->ended());
    ASSERT_TRUE(WaitUntil([&] { return dialog->updatesFinished() == 1; }));
    EXPECT_EQ(dialog->boxes().back().text, L"Ready Time out");

    // Escape, as the dialog manager turns it into IDCANCEL: the open device is closed, no box.
    ASSERT_TRUE(dialog->dfuDevice()->isOpen());
    const std::size_t boxes = dialog->boxes().size();
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(dialog->ended());
    EXPECT_EQ(dialog->boxes().size(), boxes);
    EXPECT_FALSE(IsWindow(window));
    // Released: another program's object lists it and may open it.
    hid::DfuDevice other(busChoice->bus());
    EXPECT_EQ(other.EnumerateDevices(), 1);
    EXPECT_EQ(other.Open(0), hid::kOpenOk);
    other.Close();
}

}  // namespace
}  // namespace vumo::winapp
