#pragma once
// The utility's window on Windows, "Vumo_DFU_Utility": dialog template 102 from the program's
// resources, with the device list and its open/close button, the firmware path with "Browse",
// "Update" with its progress bar and the blinking red warning, "Close" and the version line.
//
// It works as the Qt window does, over the same engine: it owns both device objects, the update
// procedure (whose worker thread carries an update), the checksum tool's runner and the bus's
// hot-plug monitor. The dialog's own message loop waits on the monitor's event beside the
// window's messages, so arrivals and removals reach OnDeviceChange on the dialog's thread (the
// system's WM_DEVICECHANGE reaches the monitor's own window; the simulated bus sets the same
// event). The worker's events become the bar, the warning, the buttons and the boxes through
// frontend::UpdatePresenter, each carried out on the dialog's thread while the worker waits.
//
// Closing: "Close", Escape, the close box and Close in the system menu run OnCancel; Enter
// outside a push button closes nothing (in the path field it confirms the typed path). While
// an update runs, closing asks first. However the window ends, the worker and the listeners
// are stopped and joined before the device objects go.

#include "frontend/window_devices.h"
#include "frontend/window_rule.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "image/redirector.h"
#include "platform/hid_bus.h"
#include "update/pacer.h"
#include "update/update_procedure.h"
#include "winapp/window_calls.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vumo::winapp {

// A message box as the dialog asked for it.
struct BoxRecord {
    enum class Kind { captioned, application } kind = Kind::captioned;
    std::wstring text;    // as given, "\r\n" included
    std::wstring detail;  // why and what to do; shown under the text
    std::wstring caption;
    unsigned type = 0;  // MB_* flags
    int answer = 0;     // IDOK, IDYES, IDNO once answered
};

// Shows a box and returns its answer. The program's one calls MessageBoxW; tests answer
// without a user.
using BoxSeam = std::function<int(HWND owner, const BoxRecord& box)>;
int ShowSystemBox(HWND owner, const BoxRecord& box);

// What the window is built with besides the bus. Tests pass a fast pacer and short limits.
struct DialogOptions {
    std::function<std::unique_ptr<update::Pacer>()> makePacer;  // null: real time
    update::Limits limits;
    update::Pauses pauses;
    image::PrepareOptions prepare;
    update::Pacing pacing = update::Pacing::standard;
    // Caption of the application box: the program's file name without its extension.
    std::wstring applicationName = L"vumo-dfu-utility";
    BoxSeam showBox;  // null: ShowSystemBox
    // Told of each firmware file that passed its check (a recording notes it).
    std::function<void(const std::string& sha256, std::uint64_t size)> onImagePrepared;
};

using frontend::DeviceEntry;
using frontend::kMaxDeviceEntries;

class UtilityDialog final : private frontend::UpdateView {
public:
    // The bus must outlive the dialog.
    UtilityDialog(platform::HidBus& bus, DialogOptions options);
    ~UtilityDialog() override;
    UtilityDialog(const UtilityDialog&) = delete;
    UtilityDialog& operator=(const UtilityDialog&) = delete;

    // Creates the window from template 102 in `module`'s resources and runs OnInitDialog.
    // False when the window can't be created (error() says why).
    bool Create(HINSTANCE module);
    const std::wstring& error() const { return error_; }
    HWND hwnd() const { return hwnd_; }

    // Handles what has come (the window's messages, device changes), waiting at most `timeout`
    // for something to come. False once the dialog has ended.
    bool Pump(std::chrono::milliseconds timeout);
    // Pumps until the dialog ends: the program's modal run.
    void RunModal();
    bool ended() const { return ended_; }

    // The handlers, as the window's messages call them.
    void OnDeviceOpenClicked();
    void OnBrowseClicked();
    void OnUpdateClicked();
    void OnCancel();
    void OnDeviceChange(platform::HotplugMonitor::Action action, const std::string& path);
    void RefreshDeviceList();
    void UpdateControls();
    // true: controls -> members; false: members -> controls. Never fails.
    bool UpdateData(bool fromControls);

    // State, for the program's own use and for tests.
    std::uint8_t openMode() const;
    const std::wstring& filePath() const { return filePath_; }
    const std::wstring& versionText() const { return versionText_; }
    int deviceEntryCount() const { return devices_.count(); }
    DeviceEntry deviceEntry(int line) const;
    bool UpdateRunning() const;
    const std::optional<update::UpdateResult>& lastUpdateResult() const { return lastResult_; }
    // Updates that reached the device and have ended.
    int updatesFinished() const { return updatesFinished_; }
    // Device changes handled so far.
    int deviceChangesHandled() const { return deviceChangesHandled_; }
    const std::vector<BoxRecord>& boxes() const { return boxes_; }
    // Whether the warning is shown now (the worker's latest wish, as carried out).
    bool warningShown() const;
    update::UpdateProcedure* procedure() { return devices_.procedure(); }
    hid::DfuDevice* dfuDevice() { return devices_.dfu(); }

    // One string value of the program's version resource; empty on any failure.
    static std::wstring GetVersionString(const std::wstring& key);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void ShowVersion();
    void OnCommand(int id, int code);
    void OnGetMinMaxInfo(MINMAXINFO& info) const;
    void OnFileDropped(HDROP drop);
    void OnMonitorReady();
    bool MayClose();
    void Shutdown(bool report);
    void ShowOpenError(const frontend::DeviceError& error);
    int Box(BoxRecord box);
    void Enable(int id, bool enabled);
    int Scaled(int pixels) const;

    // frontend::UpdateView: the update's events as the bar, the warning, the buttons and the
    // boxes, carried out on the dialog's thread while the worker waits.
    void Apply(const frontend::WindowChange& change) override;
    // The bar one position further: each list refresh while the device is away after its
    // mode switch.
    void ProgressStep();
    void SetBar(int position);
    void OnUpdateFinished(const update::UpdateResult& result);

    platform::HidBus& bus_;
    DialogOptions options_;
    HWND hwnd_ = nullptr;
    std::wstring error_;

    std::wstring filePath_;
    std::wstring warningText_;
    std::wstring versionText_;
    int modeRadio_ = 0;
    // The bar's next position before the upload; both the worker and this thread step it.
    std::atomic<int> progressStep_{0};
    image::CRedirector redirector_;

    // The engine's events become window changes here; it outlives the procedure in devices_.
    frontend::UpdatePresenter presenter_{*this, options_.pauses};
    frontend::WindowDevices devices_{bus_};
    std::unique_ptr<platform::HotplugMonitor> monitor_;
    WindowCalls windowCalls_;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;

    bool updateActive_ = false;  // from the second stage until Finished
    std::string engineError_;
    std::optional<update::UpdateResult> lastResult_;
    std::vector<BoxRecord> boxes_;
    int updatesFinished_ = 0;
    int deviceChangesHandled_ = 0;
    bool shutDown_ = false;
    bool ended_ = false;
};

}  // namespace vumo::winapp
