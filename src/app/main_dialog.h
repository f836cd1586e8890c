#pragma once
// The utility's one window, "Vumo_DFU_Utility": the device list with its open/close button,
// the firmware path with "Browse", "Update" with its progress bar and the blinking red warning,
// "Close" and the version line.
//
// The dialog owns both device objects, the update procedure (whose worker thread carries an
// update), the checksum tool's runner and the hot-plug monitor. Arrivals and removals reach
// OnDeviceChange on the window's thread through a socket notifier on the monitor. The update
// worker's events become the window's bar, warning, buttons and boxes, each carried out on the
// window's thread while the worker waits.
//
// Closing: "Close", Escape and the close box run OnCancel; Enter outside a push button closes
// nothing (in the path field it confirms the typed path). While an update runs none of them
// closes the window before the user has confirmed it. However the window ends, the worker and
// the listeners are stopped and joined before the device objects go.
//
// After the completion box and the restart command the window watches for the device's return
// in application mode (the engine's boot confirmation) and says in its status line that the
// device runs the new firmware, or shows a second box when it did not come back. The watch
// writes nothing: the window stays usable as after any update, only "Update" waits for it to
// end, and closing during it asks nothing and only ends the watch.

#include "app/dialog_template.h"
#include "app/message_boxes.h"
#include "app/progress_announcer.h"
#include "app/window_calls.h"
#include "frontend/update_status.h"
#include "frontend/window_devices.h"
#include "frontend/window_rule.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "image/redirector.h"
#include "messages/causes.h"
#include "session/desktop_bus.h"
#include "session/flash_inhibitor.h"
#include "session/notices.h"
#include "platform/hid_bus.h"
#include "update/pacer.h"
#include "update/update_procedure.h"
#include "update/update_events.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSocketNotifier;

namespace vumo::app {

// What the window is built with besides the bus. Tests pass a fast pacer, short limits and a
// checksum tool of their own; the program takes the defaults.
struct DialogOptions {
    // Null: real time.
    std::function<std::unique_ptr<update::Pacer>()> makePacer;
    update::Limits limits;
    update::Pauses pauses;
    image::PrepareOptions prepare;
    // Caption of the application box: the program's file name.
    QString applicationName;
    // --pacing: the fixed pauses (standard, the default) or the device's answers (fast).
    update::Pacing pacing = update::Pacing::standard;
    // Told of each firmware file that passed its check (a recording notes it).
    std::function<void(const std::string& sha256, std::uint64_t size)> onImagePrepared;
};

using frontend::DeviceEntry;
using frontend::kMaxDeviceEntries;

class CVumo_DFU_UtilityDlg final : public QDialog, private frontend::UpdateView {
    Q_OBJECT
public:
    // Builds template 102 and runs OnInitDialog; the bus must outlive the dialog.
    explicit CVumo_DFU_UtilityDlg(platform::HidBus& bus, DialogOptions options = {},
                                  QWidget* parent = nullptr);
    ~CVumo_DFU_UtilityDlg() override;

    // Control by identifier (kIdNone controls are not reachable this way); null if unknown.
    QWidget* control(int id) const;

    // Button handlers and the device-list operations, as the window's events call them.
    void OnDeviceOpenClicked();
    void OnBrowseClicked();
    void OnUpdateClicked();
    void OnCloseClicked();
    void OnCancel();
    void OnDeviceChange(platform::HotplugMonitor::Action action, const std::string& path);
    void RefreshDeviceList();
    void UpdateControls();
    // true: controls -> members; false: members -> controls. Never fails.
    bool UpdateData(bool fromControls);

    // The open dialog of "Browse", not yet shown.
    static std::unique_ptr<QFileDialog> MakeBrowseDialog(QWidget* owner);

    // State, for the program's own use and for tests.
    std::uint8_t openMode() const;
    const QString& filePath() const { return filePath_; }
    const QString& warningText() const { return warningText_; }
    const QString& versionText() const { return versionText_; }
    int modeRadio() const { return modeRadio_; }
    int deviceEntryCount() const { return devices_.count(); }
    DeviceEntry deviceEntry(int line) const;
    // An update is between its second stage and its restart command (or its end, without one).
    bool UpdateRunning() const;
    // After the restart command: the window watches for the device's return in application
    // mode.
    bool WatchingForBoot() const { return watching_; }
    // The one-line status beside the version line.
    QLabel* statusLine() const { return statusLine_; }
    // The status line's words for `status`, in the user's language.
    static QString StatusLineText(const frontend::UpdateStatus& status);
    hid::AppDevice* appDevice() { return devices_.app(); }
    hid::DfuDevice* dfuDevice() { return devices_.dfu(); }
    update::UpdateProcedure* procedure() { return devices_.procedure(); }
    MessageBoxes& messageBoxes() { return *boxes_; }
    // The result of the latest update that reached the device.
    const std::optional<update::UpdateResult>& lastUpdateResult() const { return lastResult_; }
    // How often the window has asked for the user's attention (an update ended while it
    // was not the active window).
    int attentionRequests() const { return attentionRequests_; }
    // What tells assistive technology of the update's progress.
    const ProgressAnnouncer& progressAnnouncer() const { return *progressAnnouncer_; }
    // Said once when the machine can't be kept awake during updates (logind absent or
    // refusing); empty otherwise.
    const QString& sessionNote() const { return sessionNote_; }
    // "Version: " and the build's file version string.
    static QString GetVersionString(const QString& key);

signals:
    // OnDeviceChange has finished with one arrival or removal.
    void deviceChangeHandled();
    // An update that reached the device has ended; lastUpdateResult() tells how.
    void updateFinished();
    // The status line has a new text.
    void statusShown(const QString& text);

public slots:
    void reject() override;  // Escape, the close box: OnCancel
    void accept() override;  // Enter outside a push button: nothing

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildTemplate();
    // Accessible names and descriptions of the template's controls.
    void DescribeControls(const std::vector<QLabel*>& captions);
    void OnInitDialog();
    void ShowVersion();
    void OnCtlColor(QWidget* control, int id);
    void OnGetMinMaxInfo();
    void RegisterDeviceNotifications();
    void OnMonitorReadable();
    // Asks before an update would be cut short; true when the window may close.
    bool MayClose();
    // Stops the worker and the hot-plug listener, closes what is open (reporting a failed
    // close only when `report`) and destroys the device objects.
    void Shutdown(bool report);
    // "Open Error (code : %d)", with the cause as the box's detail text.
    void ShowOpenError(const frontend::DeviceError& error);
    // A dropped firmware file: chosen as "Browse" chooses one.
    void OnFileDropped(const QString& path);
    // Enter in the path field: the typed path counts now.
    void OnPathConfirmed();
    // The list's tooltip: the whole current line, and why devices are missing, if any are.
    void UpdateListToolTip();
    // On the window's thread: the user is asked to look, and told by a desktop notice how the
    // update ended, unless the window has the focus.
    void AskForAttention(const session::Notice& notice);

    // frontend::UpdateView: the update's events as the bar, the warning, the buttons, the
    // status line and the boxes, carried out on the window's thread while the worker waits.
    void Apply(const frontend::WindowChange& change) override;
    // The bar one position further: each of the update's fixed steps, and each list refresh
    // while the device is away after its mode switch.
    void ProgressStep();
    // On the window's thread: the bar at `position`, clamped to its range as a progress bar
    // control clamps it.
    void SetBar(int position);
    void ShowStatus(const frontend::UpdateStatus& status);
    void ShowBox(const frontend::WindowBox& box);
    void OnUpdateFinished(const update::UpdateResult& result);

    platform::HidBus& bus_;
    DialogOptions options_;

    // Members in the order the window's data exchange and handlers use them.
    QString filePath_;
    QLineEdit* pathEdit_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QString warningText_;
    QLabel* warningLabel_ = nullptr;
    // The bar's next position before the upload; both the worker and this thread step it.
    std::atomic<int> progressStep_{0};
    image::CRedirector redirector_;
    QComboBox* deviceCombo_ = nullptr;
    int modeRadio_ = 0;
    QString deniedToolTip_;  // why devices are left out of the list; empty if none are
    QPushButton* deviceOpenButton_ = nullptr;
    QString versionText_;
    QPushButton* browseButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QLabel* statusLine_ = nullptr;  // ours, not of the template: in free space below the version
    QRadioButton* radioDfu_ = nullptr;
    QRadioButton* radioHid_ = nullptr;
    QButtonGroup* radioGroup_ = nullptr;
    QPushButton* changeModeButton_ = nullptr;

    MessageBoxes* boxes_ = nullptr;  // child object
    ProgressAnnouncer* progressAnnouncer_ = nullptr;  // child of the progress bar
    // The engine's events become window changes here; it outlives the procedure in devices_.
    frontend::UpdatePresenter presenter_{*this, options_.pauses};
    frontend::WindowDevices devices_{bus_};
    std::unique_ptr<platform::HotplugMonitor> monitor_;
    QSocketNotifier* notifier_ = nullptr;  // child object
    WindowCalls windowCalls_{*this};

    // Set on the window's thread from the second stage until UpdateFinished.
    bool updateActive_ = false;
    // Set on the window's thread from the restart command until UpdateFinished, while the
    // engine watches for the device's return.
    bool watching_ = false;
    std::string engineError_;  // why the update worker could not be started
    std::optional<update::UpdateResult> lastResult_;
    bool shutDown_ = false;
    int attentionRequests_ = 0;
    // The machine is kept awake from the second stage until the update has ended.
    QString sessionNote_;
    session::FlashInhibitor sleep_{[this](const std::string& s) {
        sessionNote_ = QString::fromStdString(s);
        qWarning("%s", s.c_str());
    }};
    std::optional<session::SleepGuard> flashing_;
    session::DesktopNotifier notices_;
};

}  // namespace vumo::app
