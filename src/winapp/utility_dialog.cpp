#include "winapp/utility_dialog.h"

#include "base/windows_text.h"
#include "messages/causes.h"
#include "protocol/reports.h"
#include "update/device_watcher.h"
#include "winapp/resource_ids.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>

namespace vumo::winapp {

namespace {

using base::Narrow;
using base::Widen;

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

// The controls below everything the window shows at any size it allows.
constexpr std::array<int, 3> kOutOfView{IDC_RADIO_DFU, IDC_RADIO_HID, IDC_CHANGE_MODE};

// Window sizes in pixels at 96 DPI.
constexpr int kInitialWidth = 475;
constexpr int kInitialHeight = 200;
constexpr int kMaximumWidth = 600;
constexpr int kMaximumHeight = 300;

}  // namespace

int ShowSystemBox(HWND owner, const BoxRecord& box) {
    // The fixed text stays first; why and what to do follow under it.
    std::wstring shown = box.text;
    if (!box.detail.empty()) shown += L"\r\n\r\n" + box.detail;
    return MessageBoxW(owner, shown.c_str(), box.caption.c_str(), box.type);
}

UtilityDialog::UtilityDialog(platform::HidBus& bus, DialogOptions options)
    : bus_(bus), options_(std::move(options)) {}

UtilityDialog::~UtilityDialog() {
    Shutdown(false);
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

bool UtilityDialog::Create(HINSTANCE module) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const HWND window =
        CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_VUMO_DFU_UTILITY), nullptr,
                           &UtilityDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
        const DWORD code = GetLastError();
        error_ = L"The window can't be created (Windows error " + std::to_wstring(code) +
                 L"). Start the utility from the folder it was installed in.";
        return false;
    }
    return true;
}

INT_PTR CALLBACK UtilityDialog::DialogProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<UtilityDialog*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        self->hwnd_ = window;
        self->windowCalls_.Attach(window);
        self->OnInitDialog();
        return FALSE;  // OnInitDialog has set the focus
    }
    auto* self = reinterpret_cast<UtilityDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return FALSE;
    return self->HandleMessage(message, wParam, lParam);
}

INT_PTR UtilityDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
        case WM_CLOSE:  // the close box, Close in the system menu, Alt+F4
            OnCancel();
            return TRUE;
        case WM_CTLCOLORSTATIC: {
            if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != IDC_WARNING) return FALSE;
            const auto dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(255, 0, 0));
            SetBkMode(dc, TRANSPARENT);
            // The dialog's own background behind the red text.
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_GETMINMAXINFO: OnGetMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam)); return TRUE;
        case WM_DROPFILES: OnFileDropped(reinterpret_cast<HDROP>(wParam)); return TRUE;
        case WM_DPICHANGED: {
            // Per-monitor DPI: the system has scaled the template's controls and font; the window
            // takes the size it suggests for the new monitor.
            const auto* r = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return TRUE;
        }
        case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(bigIcon_);
        case kMsgRunCalls: windowCalls_.RunQueued(); return TRUE;
        default: return FALSE;
    }
}

void UtilityDialog::OnCommand(int id, int code) {
    switch (id) {
        case IDC_DEVICE_OPEN:
            if (code == BN_CLICKED) OnDeviceOpenClicked();
            break;
        case IDC_BROWSE:
            if (code == BN_CLICKED) OnBrowseClicked();
            break;
        case IDC_UPDATE:
            if (code == BN_CLICKED) OnUpdateClicked();
            break;
        case IDC_CLOSE:
            if (code == BN_CLICKED) OnCancel();
            break;
        case IDCANCEL:  // Escape
            OnCancel();
            break;
        case IDOK:
            // Enter outside a push button would end the program without any of its closing steps:
            // instead it confirms a typed path, so the enabling rule runs now.
            if (!shutDown_ && !UpdateRunning()) UpdateControls();
            break;
        default: break;
    }
}

bool UtilityDialog::Pump(std::chrono::milliseconds timeout) {
    if (ended_) return false;
    HANDLE handles[1] = {};
    DWORD count = 0;
    if (monitor_) handles[count++] = monitor_->ready().native();
    const auto ms = timeout.count();
    const DWORD wait = ms < 0 ? 0 : ms >= INFINITE ? INFINITE : static_cast<DWORD>(ms);
    const DWORD result =
        MsgWaitForMultipleObjectsEx(count, handles, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (count > 0 && result == WAIT_OBJECT_0) OnMonitorReady();
    MSG msg;
    while (!ended_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours: put it back for whoever runs the outer loop, and end this run.
            PostQuitMessage(static_cast<int>(msg.wParam));
            OnCancel();
            break;
        }
        if (hwnd_ != nullptr && IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return !ended_;
}

void UtilityDialog::RunModal() {
    while (Pump(std::chrono::milliseconds(INFINITE))) {}
}

int UtilityDialog::Scaled(int pixels) const {
    const UINT dpi = hwnd_ != nullptr ? GetDpiForWindow(hwnd_) : 96;
    return MulDiv(pixels, static_cast<int>(dpi == 0 ? 96 : dpi), 96);
}

void UtilityDialog::OnInitDialog() {
    const HINSTANCE module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    // A missing icon is no reason to stop: the window simply has none.
    bigIcon_ =
        static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    std::unique_ptr<update::Pacer> pacer =
        options_.makePacer ? options_.makePacer()
                           : std::make_unique<update::RealPacer>(options_.pacing);
    engineError_ = devices_.Start(presenter_, std::move(pacer), options_.limits, options_.pauses);

    warningText_ = Widen(frontend::kWarningText);
    ShowVersion();
    UpdateData(false);
    // Without a monitor the list follows only the buttons.
    monitor_ = bus_.monitor();
    RefreshDeviceList();
    UpdateControls();

    SetWindowPos(hwnd_, nullptr, 0, 0, Scaled(kInitialWidth), Scaled(kInitialHeight),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The first control that takes the focus by Tab and is enabled gets it.
    if (const HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) SetFocus(first);
}

std::wstring UtilityDialog::GetVersionString(const std::wstring& key) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    if (found == nullptr) return {};
    const HGLOBAL loaded = LoadResource(module, found);
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, found);
    if (locked == nullptr || size == 0) return {};
    // VerQueryValueW may write into the block it is given; the resource itself is read-only.
    std::vector<BYTE> block(static_cast<const BYTE*>(locked),
                            static_cast<const BYTE*>(locked) + size);

    void* value = nullptr;
    UINT length = 0;
    wchar_t path[256];
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
        length == 4) {
        DWORD word = 0;
        std::memcpy(&word, value, sizeof word);
        const WORD language = LOWORD(word);
        const WORD codePage = HIWORD(word);
        std::swprintf(path, std::size(path), L"\\StringFileInfo\\%02X%02X%02X%02X\\%ls",
                      HIBYTE(language), LOBYTE(language), HIBYTE(codePage), LOBYTE(codePage),
                      key.c_str());
    } else {
        std::swprintf(path, std::size(path), L"\\StringFileInfo\\%04X04B0\\%ls",
                      GetUserDefaultLangID(), key.c_str());
    }
    if (!VerQueryValueW(block.data(), path, &value, &length) || length == 0) return {};
    const auto* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
}

void UtilityDialog::ShowVersion() {
    versionText_ = L"Version: " + GetVersionString(L"FileVersion");
}

bool UtilityDialog::UpdateData(bool fromControls) {
    if (hwnd_ == nullptr) return true;
    if (fromControls) {
        filePath_ = WindowText(GetDlgItem(hwnd_, IDC_PATH));
        warningText_ = WindowText(GetDlgItem(hwnd_, IDC_WARNING));
        modeRadio_ = IsDlgButtonChecked(hwnd_, IDC_RADIO_DFU) == BST_CHECKED   ? 0
                     : IsDlgButtonChecked(hwnd_, IDC_RADIO_HID) == BST_CHECKED ? 1
                                                                               : -1;
        versionText_ = WindowText(GetDlgItem(hwnd_, IDC_VERSION));
    } else {
        if (WindowText(GetDlgItem(hwnd_, IDC_PATH)) != filePath_)
            SetDlgItemTextW(hwnd_, IDC_PATH, filePath_.c_str());
        SetDlgItemTextW(hwnd_, IDC_WARNING, warningText_.c_str());
        CheckDlgButton(hwnd_, IDC_RADIO_DFU, modeRadio_ == 0 ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(hwnd_, IDC_RADIO_HID, modeRadio_ == 1 ? BST_CHECKED : BST_UNCHECKED);
        SetDlgItemTextW(hwnd_, IDC_VERSION, versionText_.c_str());
        // Out of view at every size the window allows: Tab must not put the focus where nobody
        // can see it, on controls that do nothing. Checking a radio button makes it a tab stop
        // again, so this follows every exchange into the controls.
        for (const int id : kOutOfView) {
            const HWND control = GetDlgItem(hwnd_, id);
            SetWindowLongPtrW(control, GWL_STYLE,
                              GetWindowLongPtrW(control, GWL_STYLE) & ~LONG_PTR{WS_TABSTOP});
        }
    }
    return true;
}

void UtilityDialog::OnGetMinMaxInfo(MINMAXINFO& info) const {
    info.ptMinTrackSize = {Scaled(kInitialWidth), Scaled(kInitialHeight)};
    info.ptMaxTrackSize = {Scaled(kMaximumWidth), Scaled(kMaximumHeight)};
}

void UtilityDialog::OnMonitorReady() {
    if (!monitor_) return;
    const auto events = monitor_->takeEvents();
    for (const auto& event : events) {
        if (shutDown_) break;  // a box shown meanwhile may have closed the window
        OnDeviceChange(event.action, event.path);
    }
}

std::uint8_t UtilityDialog::openMode() const { return devices_.openMode(); }

DeviceEntry UtilityDialog::deviceEntry(int line) const { return devices_.entry(line); }

bool UtilityDialog::UpdateRunning() const { return updateActive_ || devices_.uploading(); }

bool UtilityDialog::warningShown() const {
    return hwnd_ != nullptr && IsWindowVisible(GetDlgItem(hwnd_, IDC_WARNING));
}

void UtilityDialog::RefreshDeviceList() {
    if (shutDown_) return;
    if (!devices_.Refresh()) {
        // The device is away after its mode switch: the list keeps showing it.
        ProgressStep();
        return;
    }
    const HWND list = GetDlgItem(hwnd_, IDC_DEVICE_LIST);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& line : devices_.lines())
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(line).c_str()));
    SendMessageW(list, CB_SETCURSEL, 0, 0);
}

void UtilityDialog::Enable(int id, bool enabled) {
    const HWND control = GetDlgItem(hwnd_, id);
    EnableWindow(control, enabled ? TRUE : FALSE);
    // A disabled control keeps no keyboard focus: it moves on to the next control that takes it.
    if (!enabled && GetFocus() == control) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
}

void UtilityDialog::UpdateControls() {
    if (shutDown_) return;
    UpdateData(true);
    const auto lines =
        static_cast<int>(SendDlgItemMessageW(hwnd_, IDC_DEVICE_LIST, CB_GETCOUNT, 0, 0));
    const frontend::ControlStates s =
        frontend::ControlRule({openMode(), std::max(lines, 0), filePath_.empty(), UpdateRunning()});
    SetDlgItemTextW(
        hwnd_, IDC_DEVICE_OPEN,
        Widen(s.closeCaption ? frontend::kCloseDeviceCaption : frontend::kOpenDeviceCaption)
            .c_str());
    Enable(IDC_DEVICE_LIST, s.list);
    Enable(IDC_DEVICE_OPEN, s.open);
    Enable(IDC_UPDATE, s.update);
    Enable(IDC_BROWSE, s.browse);
    Enable(IDC_CLOSE, s.close);
    SendDlgItemMessageW(hwnd_, IDC_PATH, EM_SETREADONLY, s.pathReadOnly ? TRUE : FALSE, 0);
}

int UtilityDialog::Box(BoxRecord box) {
    if (box.kind == BoxRecord::Kind::application) box.caption = options_.applicationName;
    const std::size_t at = boxes_.size();
    boxes_.push_back(box);
    const HWND owner = hwnd_;
    const int answer = options_.showBox ? options_.showBox(owner, box) : ShowSystemBox(owner, box);
    boxes_[at].answer = answer;
    return answer;
}

void UtilityDialog::ShowOpenError(const frontend::DeviceError& error) {
    Box({BoxRecord::Kind::application,
         L"Open Error (code : " + std::to_wstring(error.code) + L")",
         Widen(messages::DetailText(error.cause)),
         {},
         MB_OK | MB_ICONWARNING});
}

void UtilityDialog::OnDeviceOpenClicked() {
    if (shutDown_) return;
    const auto line =
        static_cast<int>(SendDlgItemMessageW(hwnd_, IDC_DEVICE_LIST, CB_GETCURSEL, 0, 0));
    devices_.OpenOrClose(line,
                         [this](const frontend::DeviceError& error) { ShowOpenError(error); });
    UpdateControls();
}

void UtilityDialog::OnDeviceChange(platform::HotplugMonitor::Action action,
                                   const std::string& path) {
    if (shutDown_) return;
    update::ForwardDeviceChange(
        *devices_.procedure(), {action, path}, [this] { RefreshDeviceList(); },
        [this](std::uint8_t result) { ShowOpenError({result, {}}); });
    UpdateControls();
    ++deviceChangesHandled_;
}

void UtilityDialog::OnBrowseClicked() {
    if (shutDown_) return;
    // The list shows the descriptions; the patterns after each are what it filters by.
    static constexpr wchar_t kFilter[] =
        L"DFU file(*.HEX, *.BIN)\0*.HEX;*.BIN\0All File(s)(*.*)\0*.*\0";
    std::wstring file(32768, L'\0');
    std::wcscpy(file.data(), L"DFU");
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = kFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&ofn)) {
        filePath_ = file.c_str();
        UpdateData(false);
    }
    UpdateControls();
}

void UtilityDialog::OnUpdateClicked() {
    if (shutDown_ || UpdateRunning()) return;
    if (!engineError_.empty()) {
        // The rest of the window works without the worker; the update can't.
        Box({BoxRecord::Kind::captioned,
             L"The update can't run: " + Widen(engineError_) +
                 L". Close other programs and start the utility again.",
             {},
             L"ERROR",
             MB_OK | MB_ICONERROR});
        return;
    }
    UpdateData(true);
    Enable(IDC_UPDATE, false);
    progressStep_.store(0);

    const HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    const image::PrepareResult prepared =
        image::PrepareImage(Narrow(filePath_), redirector_, options_.prepare);
    SetCursor(previous);
    if (!prepared.ok()) {
        Box({BoxRecord::Kind::captioned, Widen(prepared.text),
             Widen(messages::DetailText(messages::PrepareCause(prepared))), Widen(prepared.caption),
             MB_OK | MB_ICONERROR});
        return;
    }
    if (options_.onImagePrepared)
        options_.onImagePrepared(prepared.prepared->sha256, prepared.prepared->fileSize);

    const std::uint8_t mode = openMode();
    updateActive_ = mode == protocol::kModeApplication || mode == protocol::kModeUpdate;
    devices_.procedure()->StartSecondStage({prepared.prepared, devices_.openDevice(), mode});
    // Nothing that would cut the update short stays clickable while it runs.
    if (updateActive_) UpdateControls();
}

bool UtilityDialog::MayClose() {
    if (!UpdateRunning()) return true;
    return Box({BoxRecord::Kind::application,
                L"A firmware update is in progress. Closing the window now stops it and leaves "
                L"the device half-written.\r\n\r\nClose anyway?",
                L"A half-written device starts in its update loader; run the update again to "
                L"repair it.",
                {},
                MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2}) == IDYES;
}

void UtilityDialog::OnCancel() {
    if (ended_) return;
    if (!shutDown_ && !MayClose()) return;
    Shutdown(true);
    // The end of the modal run.
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
    ended_ = true;
}

void UtilityDialog::Shutdown(bool report) {
    if (shutDown_) return;
    shutDown_ = true;
    // Release a worker that waits for this thread before waiting for the worker.
    windowCalls_.Close();
    devices_.Stop();
    monitor_.reset();
    devices_.Close([this, report](std::uint8_t result) {
        if (!report) return;
        wchar_t text[32];
        std::swprintf(text, std::size(text), L"Error code = %02u", unsigned{result});
        Box({BoxRecord::Kind::application, text, {}, {}, MB_OK | MB_ICONWARNING});
    });
    redirector_.Close();
    updateActive_ = false;
}

void UtilityDialog::OnFileDropped(HDROP drop) {
    if (!shutDown_ && !UpdateRunning() && DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
        // A drop is a choice of file, as "Browse" is, and ends the same way: the member takes
        // the path and the enabling rule runs, so Update becomes available at once.
        const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        DragQueryFileW(drop, 0, path.data(), length + 1);
        path.resize(length);
        filePath_ = path;
        UpdateData(false);
        SetFocus(GetDlgItem(hwnd_, IDC_PATH));
        UpdateControls();
    }
    DragFinish(drop);
}

// The update's events, as the presenter turned them into changes of the window. Each change is
// carried out on the dialog's thread in one hand-over; the worker waits for it.

void UtilityDialog::Apply(const frontend::WindowChange& change) {
    // The bar's step is counted by both threads; it is taken here, in the order the steps come.
    const int step = change.progressStep ? progressStep_.fetch_add(1) : -1;
    windowCalls_.Run([this, change, step] {
        if (change.progressMaximum)
            SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, 0,
                                static_cast<LPARAM>(*change.progressMaximum));
        if (step >= 0) SetBar(step);
        if (change.progress) SetBar(*change.progress);
        if (change.warning)
            ShowWindow(GetDlgItem(hwnd_, IDC_WARNING), *change.warning ? SW_SHOWNA : SW_HIDE);
        // The procedure's own control changes count only while its update runs: after the end,
        // UpdateControls alone decides.
        if (updateActive_ && change.openButtonOff) Enable(IDC_DEVICE_OPEN, false);
        if (updateActive_ && change.updateButtonOff) Enable(IDC_UPDATE, false);
        if (change.deviceOpened) {
            // The procedure has opened the update-mode device and set openMode: the button
            // offers to close it and a removal closes it.
            devices_.setOpenDevice(*change.deviceOpened);
            UpdateControls();
        }
        if (change.box) {
            // Every box the engine shows ends an update or is its last word before the end: a
            // window in the background flashes its taskbar button.
            if (GetForegroundWindow() != hwnd_) {
                FLASHWINFO flash{sizeof flash, hwnd_, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
                FlashWindowEx(&flash);
            }
            Box({BoxRecord::Kind::captioned, Widen(change.box->text),
                 Widen(frontend::WindowDetail(change.box->cause)), Widen(change.box->caption),
                 change.box->type});
        }
        if (change.finished) OnUpdateFinished(*change.finished);
    });
}

void UtilityDialog::ProgressStep() {
    const int step = progressStep_.fetch_add(1);
    windowCalls_.Run([this, step] { SetBar(step); });
}

void UtilityDialog::SetBar(int position) {
    // The control clamps a position outside its range.
    SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void UtilityDialog::OnUpdateFinished(const update::UpdateResult& result) {
    lastResult_ = result;
    updateActive_ = false;
    if (result.outcome == update::Outcome::failed) {
        // A failure may have come from a device that left: the window then looks at the bus
        // as at a device change, so it never offers a device that is gone.
        devices_.CloseDeparted(
            [this](const frontend::DeviceError& error) { ShowOpenError(error); });
        RefreshDeviceList();
    }
    UpdateControls();
    ++updatesFinished_;
}

}  // namespace vumo::winapp
