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
// Closing while devices are being flashed asks first: let them finish, stop them, or stay.
// However the window ends, the station (its threads and its device objects) is gone before
// the window is.

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
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

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
    // Empty: station-log.jsonl in the user's data folder for this program.
    QString logPath;
    // --pacing, for every device's update.
    update::Pacing pacing = update::Pacing::standard;
    // Told of each firmware file that passed its check (a recording notes it).
    std::function<void(const std::string& sha256, std::uint64_t size)> onImagePrepared;
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

    // State.
    bool running() const;  // a station is taking or flashing devices
    bool firmwareReady() const { return prepared_ != nullptr; }
    QString verdictText() const;
    QString logPath() const { return logPath_; }
    QString countersText() const;
    // The line under the counters: a device not flashed and why, or how the station ends.
    QString statusText() const;
    struct Counters {
        int ok = 0, failed = 0, running = 0;
    };
    Counters counters() const { return counters_; }
    // Tiles in the order their devices were taken.
    std::vector<StationTile*> tiles() const;
    MessageBoxes& messageBoxes() { return *boxes_; }
    QLineEdit* pathEdit() const { return pathEdit_; }
    QPushButton* startButton() const { return startButton_; }
    QPushButton* stopButton() const { return stopButton_; }
    // Whether the station still has threads and device objects.
    bool stationAlive() const { return station_ != nullptr; }
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
    QLabel* statusLabel_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* grid_ = nullptr;
    QGridLayout* gridLayout_ = nullptr;
    int columns_ = 0;
    QTimer* tick_ = nullptr;  // elapsed times, only while a device runs

    std::map<int, StationTile*> tiles_;  // by the station's device id
    Counters counters_;

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
