#pragma once
// The station window, for production lines: one firmware file, checked once when it is
// chosen, flashed onto every device that is plugged in, each shown as a tile that turns green
// or red when it is done and stays until the device is unplugged. It runs the same station
// engine as the command line, with the same identity rules, outcomes and log lines.
//
// Threads: the station's supervisor and update workers report through a bridge that queues
// each report for the window's thread and never waits for it; progress reports of one device
// that come faster than the window takes them are merged into the latest. Tiles repaint at
// most ten times a second; while nothing runs no timer runs.
//
// A run lasts from the window's start (or "New run") over any number of Stop and Start: a
// device flashed ok in the run is not flashed again at the next Start unless the operator asks
// for it on its tile, the counters go on, and the tiles keep their places, in the order of the
// ports they are plugged into, so that they stand as the devices do on the bench. Before Start
// the devices present are shown as waiting tiles.
//
// Closing while devices are being flashed asks first: let them finish (the window stays until
// the last one has ended and shows how they ended), stop them, or stay. Closing while nothing
// is being flashed asks nothing. However the window ends, the station (its threads and its
// device objects) is gone before the window is.

#include "app/message_boxes.h"
#include "image/prepare.h"
#include "image/redirector.h"
#include "platform/hid_bus.h"
#include "session/desktop_bus.h"
#include "session/notices.h"
#include "session/station_sleep.h"
#include "station/flash_log.h"
#include "station/station.h"
#include "update/pacer.h"
#include "update/update_procedure.h"

#include <QString>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vumo::hid {
class AppDevice;
class DfuDevice;
}

class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSocketNotifier;
class QTimer;

namespace vumo::app {

class StationTile;

struct StationWindowOptions {
    // Null: real time.
    std::function<std::unique_ptr<update::Pacer>()> makePacer;
    update::Limits limits;
    update::Pauses pauses;
    image::PrepareOptions prepare;
    QString applicationName;
    // Empty: DefaultLogPath().
    QString logPath;
    // --pacing, for every device's update.
    update::Pacing pacing = update::Pacing::standard;
    // Told of each firmware file that passed its check (a recording notes it).
    std::function<void(const std::string& sha256, std::uint64_t size)> onImagePrepared;
    // Opens the log's folder in the desktop's file manager; null: QDesktopServices::openUrl.
    std::function<bool(const QUrl&)> openUrl;
    // How long the end of a run stays on screen before a window that was asked to close once
    // its devices have finished goes.
    std::chrono::milliseconds closeDelay{5000};
};

class StationWindow final : public QWidget {
    Q_OBJECT
public:
    explicit StationWindow(platform::HidBus& bus, StationWindowOptions options = {},
                           QWidget* parent = nullptr);
    ~StationWindow() override;

    // What the controls do, for the program and for tests.
    // Checks the file and shows the verdict; true when it may be flashed.
    bool ChooseFirmware(const QString& path);
    void SetLogPath(const QString& path);
    void OnBrowseClicked();
    void OnChangeLogClicked();
    bool OnStartClicked();
    void OnStopClicked();
    // Forgets the run: counters, outcomes and finished tiles; the devices present wait again.
    void OnNewRunClicked();
    void OnOpenLogFolderClicked();
    // Flashes the tile's device again: a retry of a failed one, or "flash again" of one that is
    // ok. While the station runs it takes the device at once; otherwise Start does.
    bool FlashAgain(StationTile* tile);

    // State.
    bool running() const;  // a station is taking or flashing devices
    bool firmwareReady() const { return prepared_ != nullptr; }
    QString verdictText() const;
    QString logPath() const { return logPath_; }
    QString countersText() const;
    // The line under the counters: a device not flashed and why, or how the station ends.
    QString statusText() const;
    // Devices of this run by their last outcome, tiles running and waiting.
    struct Counters {
        int ok = 0, failed = 0, running = 0, waiting = 0;
    };
    Counters counters() const;
    // "9 ok, 1 failed: VUMO-0003 (DFU upload time out : 5)", the run so far.
    QString summaryText() const;
    // The line shown at the end of a station: the summary and where the log is.
    QString endText() const;
    bool endShown() const;
    // Tiles in bench order: by port, then serial number.
    std::vector<StationTile*> tiles() const { return tiles_; }
    MessageBoxes& messageBoxes() { return *boxes_; }
    QLineEdit* pathEdit() const { return pathEdit_; }
    QPushButton* startButton() const { return startButton_; }
    QPushButton* stopButton() const { return stopButton_; }
    QPushButton* newRunButton() const { return newRunButton_; }
    QPushButton* openLogFolderButton() const { return openFolderButton_; }
    // Whether the station still has threads and device objects.
    bool stationAlive() const { return station_ != nullptr; }
    // station-log.jsonl in this program's data folder (~/.local/share/vumo-dfu/ on Linux).
    static QString DefaultLogPath();

signals:
    // A tile came, finished or went; the counters have changed with it.
    void tilesChanged();
    // The station has ended (drained or stopped, every device done).
    void stationDone();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class Bridge;
    friend class Bridge;

    void Build();
    void TakeReports();
    void OnArrived(const station::StationDevice& device);
    void OnPhase(int id, update::Phase phase, std::uint32_t block, std::uint32_t blocks);
    void OnFinished(const station::FinishedDevice& finished);
    void OnLeft(const station::StationDevice& device);
    void OnSkipped(const station::StationDevice& device, const std::string& why);
    void OnStationDone();
    void EndStation();  // joins everything the station has
    void ClearTiles();
    // The devices on the bus now, as waiting tiles while no station runs.
    void Rescan();
    StationTile* TileOf(const station::StationDevice& device) const;
    StationTile* AddTile(const station::StationDevice& device, int state);
    void RemoveTile(StationTile* tile);
    void ShowEnd();
    void FitToScreen();
    void Relayout();
    void UpdateControls();
    void UpdateCounters();
    void UpdateTicking();
    std::string WriteLogLine(const station::FinishedDevice& finished);

    platform::HidBus& bus_;
    StationWindowOptions options_;
    MessageBoxes* boxes_ = nullptr;
    image::CRedirector redirector_;
    std::shared_ptr<const image::PreparedImage> prepared_;
    QString checkedPath_;
    QString verdict_;
    QString logPath_;

    QLineEdit* pathEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QLabel* verdictLabel_ = nullptr;
    QLineEdit* logEdit_ = nullptr;
    QPushButton* logButton_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QLabel* countersLabel_ = nullptr;
    QPushButton* newRunButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QWidget* endRow_ = nullptr;
    QLabel* endLabel_ = nullptr;
    QPushButton* openFolderButton_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* grid_ = nullptr;
    QGridLayout* gridLayout_ = nullptr;
    int columns_ = 0;
    QTimer* tick_ = nullptr;  // elapsed times, only while a device runs

    std::vector<StationTile*> tiles_;      // in bench order
    std::map<int, StationTile*> byId_;     // the current station's devices, by their id
    // The run: each device's last outcome (by serial number, or port without one), and the
    // serials that are ok.
    struct Outcome {
        bool ok = false;
        QString who, message;
    };
    std::map<std::string, Outcome> outcomes_;
    std::vector<std::string> outcomeOrder_;
    std::set<std::string> okSerials_;

    // Watches the bus while no station runs, for the waiting tiles.
    std::unique_ptr<platform::HotplugMonitor> monitor_;
    QSocketNotifier* monitorNotifier_ = nullptr;
    std::unique_ptr<hid::AppDevice> appScanner_;
    std::unique_ptr<hid::DfuDevice> dfuScanner_;
    std::set<std::string> presentKeys_;

    // In destruction order: the station (joining its threads) before what it reports to.
    std::unique_ptr<Bridge> bridge_;
    // The machine kept awake while any device is flashed: between the station and the bridge.
    session::FlashInhibitor sleep_;
    std::unique_ptr<session::StationSleep> sleeping_;
    std::unique_ptr<station::FlashLog> log_;
    std::unique_ptr<station::Station> station_;
    QSocketNotifier* doneNotifier_ = nullptr;
    bool done_ = true;       // the current station has ended (or there is none)
    bool draining_ = false;  // Stop was pressed once: running devices finish
    bool closeWhenDone_ = false;
    // From the first device taken while none ran to the last that finished: told by a desktop
    // notice when it ends while the window is not the active one.
    session::StretchClock stretch_;
    session::DesktopNotifier notices_;
};

}  // namespace vumo::app
