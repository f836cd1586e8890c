#include "app/station_window.h"

#include "app/file_drop.h"
#include "app/station_tile.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "messages/causes.h"
#include "protocol/reports.h"
#include "station/flash_record.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <variant>
#include <vector>

namespace vumo::app {

namespace {

QString Thousands(std::uint64_t n) {
    QString digits = QString::number(n);
    for (auto at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
    return digits;
}

// A path under the home folder as the shell writes it, shorter to read.
}  // namespace

QString StationWindow::DisplayPath(const QString& path) {
    const QString home = QDir::homePath();
    if (QDir::separator() == QLatin1Char('/') && path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return QDir::toNativeSeparators(path);
}


// The station's reports, from its threads, queued for the window's thread. A report never
// waits for the window; a device's progress that has not been taken yet is replaced by its
// latest, so a slow window gets fewer reports, not a longer queue.
class StationWindow::Bridge final : public station::StationObserver {
public:
    explicit Bridge(StationWindow& window) : window_(window) {}

    struct Phase {
        int id;
        update::Phase phase;
        std::uint32_t block, blocks;
    };
    struct Skipped {
        station::StationDevice device;
        std::string why;
    };
    struct Left {
        station::StationDevice device;
    };
    using Report = std::variant<station::StationDevice, Phase, station::FinishedDevice, Left,
                                Skipped>;

    void DeviceArrived(const station::StationDevice& d) override { Put(d); }
    void DeviceSkipped(const station::StationDevice& d, const std::string& why) override {
        Put(Skipped{d, why});
    }
    void PhaseChanged(const station::StationDevice& d, update::Phase phase, std::uint32_t block,
                      std::uint32_t blocks) override {
        const Phase report{d.id, phase, block, blocks};
        std::lock_guard lock(mutex_);
        // The device's latest report not taken yet is progress: this one replaces it.
        if (Report* last = LastOf(d.id); last != nullptr && std::holds_alternative<Phase>(*last)) {
            *last = report;
            return;
        }
        reports_.emplace_back(report);
        PostLocked();
    }
    void DeviceFinished(const station::FinishedDevice& f) override { Put(f); }
    void DeviceLeft(const station::StationDevice& d) override { Put(Left{d}); }

    std::vector<Report> Take() {
        std::lock_guard lock(mutex_);
        posted_ = false;
        std::vector<Report> taken;
        taken.swap(reports_);
        return taken;
    }

private:
    static int IdOf(const Report& r) {
        if (const auto* d = std::get_if<station::StationDevice>(&r)) return d->id;
        if (const auto* p = std::get_if<Phase>(&r)) return p->id;
        if (const auto* f = std::get_if<station::FinishedDevice>(&r)) return f->device.id;
        if (const auto* l = std::get_if<Left>(&r)) return l->device.id;
        return std::get<Skipped>(r).device.id;
    }
    // The last queued report of device `id`; with mutex_ held.
    Report* LastOf(int id) {
        // The newest first: a reverse walk, which the range-for has no form for.
        for (auto it = reports_.rbegin(); it != reports_.rend(); ++it)  // NOLINT(modernize-loop-convert)
            if (IdOf(*it) == id) return &*it;
        return nullptr;
    }
    void Put(Report report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
        PostLocked();
    }
    void PostLocked() {
        if (posted_) return;
        posted_ = true;
        // The window is the context: were it gone, the call would be dropped, not run.
        QMetaObject::invokeMethod(&window_, [w = &window_] { w->TakeReports(); },
                                  Qt::QueuedConnection);
    }

    StationWindow& window_;
    std::mutex mutex_;
    std::vector<Report> reports_;
    bool posted_ = false;
};

StationWindow::StationWindow(platform::HidBus& bus, StationWindowOptions options, QWidget* parent)
    : QWidget(parent), bus_(bus), options_(std::move(options)),
      sleep_([this](const std::string& s) {
          // From a station thread; said once, in the status line and the log.
          qWarning("%s", s.c_str());
          QMetaObject::invokeMethod(
              this, [this, s] { statusLabel_->setText(QString::fromStdString(s)); },
              Qt::QueuedConnection);
      }) {
    boxes_ = new MessageBoxes(options_.applicationName, this);
    bridge_ = std::make_unique<Bridge>(*this);
    sleeping_ = std::make_unique<session::StationSleep>(*bridge_, sleep_);
    logPath_ = options_.logPath.isEmpty() ? DefaultLogPath() : options_.logPath;
    Build();
    // The devices present are shown before Start, and follow the bus while no station runs.
    appScanner_ = std::make_unique<hid::AppDevice>(bus_);
    dfuScanner_ = std::make_unique<hid::DfuDevice>(bus_);
    monitor_ = bus_.monitor();
    if (monitor_) {
        monitorNotifier_ = new QSocketNotifier(monitor_->ready().native(), QSocketNotifier::Read, this);
        connect(monitorNotifier_, &QSocketNotifier::activated, this, [this] {
            monitor_->takeEvents();
            // While a station runs, its reports say what comes and goes.
            if (!running()) Rescan();
        });
    }
    Rescan();
    UpdateControls();
    UpdateCounters();
}

StationWindow::~StationWindow() {
    // The child widgets outlive this part of the object: a path field that loses the focus
    // while they go would call back into a window that is no longer there.
    if (pathEdit_ != nullptr) pathEdit_->disconnect(this);
    EndStation();
    delete monitorNotifier_;
    monitor_.reset();
}

QString StationWindow::DefaultLogPath() {
    // The program's own folder, whatever the application object is named after: its
    // organisation name is the settings key it has always set, not a folder for our files.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("vumo-dfu/station-log.jsonl"));
}

bool StationWindow::running() const { return station_ != nullptr && !done_; }

QString StationWindow::verdictText() const { return verdict_; }

bool StationWindow::ChooseFirmware(const QString& path) {
    if (running()) return false;
    if (pathEdit_->text() != path) pathEdit_->setText(path);
    prepared_.reset();
    checkedPath_ = path;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const image::PrepareResult result =
        image::PrepareImage(QFile::encodeName(path).toStdString(), redirector_, options_.prepare);
    QGuiApplication::restoreOverrideCursor();
    QPalette palette = verdictLabel_->palette();
    palette.setColor(QPalette::WindowText, this->palette().color(QPalette::WindowText));
    if (result.ok()) {
        prepared_ = result.prepared;
        verdict_ = tr("Firmware: location %1, %2 bytes, %3 blocks\nsha256 %4")
                       .arg(prepared_->location)
                       .arg(Thousands(prepared_->fileSize))
                       .arg(prepared_->image.blockCount)
                       .arg(QString::fromStdString(prepared_->sha256));
        if (options_.onImagePrepared)
            options_.onImagePrepared(prepared_->sha256, prepared_->fileSize);
    } else {
        const std::string detail = messages::DetailText(messages::PrepareCause(result));
        verdict_ = tr("Not usable: %1").arg(QString::fromStdString(result.text));
        if (!detail.empty()) verdict_ += QLatin1Char('\n') + QString::fromStdString(detail);
        palette.setColor(QPalette::WindowText, TileFailedColor());
    }
    verdictLabel_->setPalette(palette);
    verdictLabel_->setText(MessageBoxes::ForDisplay(verdict_));
    UpdateControls();
    return result.ok();
}

void StationWindow::SetLogPath(const QString& path) {
    if (running() || path.isEmpty()) return;
    logPath_ = path;
    logEdit_->setText(DisplayPath(path));
    logEdit_->setToolTip(path);
}

void StationWindow::OnBrowseClicked() {
    if (running()) return;
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({tr("Firmware files (*.hex *.bin *.HEX *.BIN)"), tr("All files (*)")});
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ChooseFirmware(QDir::toNativeSeparators(dialog.selectedFiles().front()));
}

void StationWindow::OnChangeLogClicked() {
    if (running()) return;
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Lines are appended to a file that exists, never written over.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters({tr("Flash logs (*.jsonl)"), tr("All files (*)")});
    dialog.selectFile(logPath_);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SetLogPath(QDir::toNativeSeparators(dialog.selectedFiles().front()));
}

bool StationWindow::OnStartClicked() {
    if (running() || !prepared_) return false;
    EndStation();
    // The run goes on: its tiles and counters stay; the new station's devices are its own.
    byId_.clear();
    presentKeys_.clear();
    stretch_ = {};
    statusLabel_->clear();
    endRow_->hide();

    QDir().mkpath(QFileInfo(logPath_).absolutePath());
    std::string error;
    log_ = station::FlashLog::Open(QFile::encodeName(logPath_).toStdString(), error);
    if (!log_) {
        boxes_->ShowCaptioned(
            this, tr("The flash log can't be written, so the station does not start."),
            QStringLiteral("ERROR"), kMbOk | kMbIconError,
            QString::fromStdString(error) +
                tr("\nChoose another log file with Change..., or make its folder writable."));
        UpdateControls();
        return false;
    }

    station::StationOptions o;
    o.image = prepared_;
    o.limits = options_.limits;
    o.pauses = options_.pauses;
    o.makePacer = options_.makePacer;
    o.pacing = options_.pacing;
    o.flashedOk = okSerials_;
    station_ = std::make_unique<station::Station>(
        bus_, std::move(o), *sleeping_,
        [this](const station::FinishedDevice& f) { return WriteLogLine(f); });
    done_ = false;
    draining_ = false;
    if (!station_->Start(error)) {
        EndStation();
        boxes_->ShowCaptioned(this, tr("The station could not start."), QStringLiteral("ERROR"),
                              kMbOk | kMbIconError, QString::fromStdString(error));
        UpdateControls();
        return false;
    }
    doneNotifier_ = new QSocketNotifier(station_->doneEvent().native(), QSocketNotifier::Read, this);
    connect(doneNotifier_, &QSocketNotifier::activated, this, &StationWindow::OnStationDone);
    UpdateControls();
    UpdateCounters();
    return true;
}

// On the thread of the finished device's worker.
std::string StationWindow::WriteLogLine(const station::FinishedDevice& finished) {
    const auto prepared = prepared_;  // set before the station started, not changed meanwhile
    if (!prepared) return "the flash log has no line for this device: no image was prepared";
    std::string error;
    if (!log_->Append(station::FlashRecordOf(*prepared, finished), error))
        return "the flash log has no line for this device: " + error;
    return {};
}

void StationWindow::OnStopClicked() {
    if (!running()) return;
    if (!draining_) {
        // First: no new device; those being flashed finish.
        draining_ = true;
        station_->Drain();
        statusLabel_->setText(tr("Stopping: no new device is taken; the devices being flashed "
                                 "finish. Press Stop now to interrupt them."));
    } else {
        station_->Abort();
        statusLabel_->setText(tr("Stopping: the devices being flashed are interrupted."));
    }
    UpdateControls();
}

void StationWindow::OnNewRunClicked() {
    if (running()) return;
    outcomes_.clear();
    outcomeOrder_.clear();
    okSerials_.clear();
    byId_.clear();
    ClearTiles();
    presentKeys_.clear();
    statusLabel_->clear();
    endRow_->hide();
    Rescan();
    UpdateCounters();
    emit tilesChanged();
}

void StationWindow::OnOpenLogFolderClicked() {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(logPath_).absolutePath());
    const bool opened =
        options_.openUrl ? options_.openUrl(folder) : QDesktopServices::openUrl(folder);
    if (!opened)
        boxes_->ShowCaptioned(this, tr("The log's folder could not be opened."),
                              QStringLiteral("ERROR"), kMbOk | kMbIconError,
                              tr("No file manager took %1. The log is %2.")
                                  .arg(folder.toLocalFile(), QDir::toNativeSeparators(logPath_)));
}

bool StationWindow::FlashAgain(StationTile* tile) {
    if (tile == nullptr) return false;
    if (draining_ && running()) {
        // Nothing new is taken while the station stops; say so rather than do nothing.
        statusLabel_->setText(tr("The station is stopping and takes no device. Once it has "
                                 "stopped, Start flashes every device present that is not ok "
                                 "in this run."));
        return false;
    }
    const station::StationDevice device = tile->device();
    if (running()) {
        if (tile->state() == StationTile::State::running ||
            !station_->Retry(hid::DeviceIdentity{device.serial, device.port}))
            return false;
        std::erase_if(byId_, [&](const auto& entry) { return entry.second == tile; });
        okSerials_.erase(device.serial);
        tile->Restart(device, StationTile::State::waiting);
        UpdateCounters();
        return true;
    }
    // Start takes every device present that is not ok in this run, this one with them.
    okSerials_.erase(device.serial);
    tile->Restart(device, StationTile::State::waiting);
    UpdateCounters();
    return OnStartClicked();
}

void StationWindow::OnStationDone() {
    if (doneNotifier_ != nullptr) doneNotifier_->setEnabled(false);
    if (done_) return;
    done_ = true;
    // Reports already queued come before the end.
    TakeReports();
    statusLabel_->setText(tr("Stopped. Tiles stay until their devices are unplugged; Start "
                             "flashes the devices present that are not ok in this run."));
    ShowEnd();
    UpdateControls();
    UpdateTicking();
    Rescan();
    emit stationDone();
    if (closeWhenDone_) {
        statusLabel_->setText(tr("Every device has finished; the window closes in a moment."));
        QTimer::singleShot(options_.closeDelay, this, [this] {
            closeWhenDone_ = false;
            close();
        });
    }
}

void StationWindow::ShowEnd() {
    endLabel_->setText(endText());
    endRow_->show();
}

bool StationWindow::endShown() const { return !endRow_->isHidden(); }

QString StationWindow::endText() const {
    return tr("%1\nLog: %2").arg(summaryText(), DisplayPath(logPath_));
}

QString StationWindow::summaryText() const {
    const Counters c = counters();
    QString text = tr("%1 ok, %2 failed").arg(c.ok).arg(c.failed);
    bool first = true;
    for (const std::string& key : outcomeOrder_) {
        const Outcome& o = outcomes_.at(key);
        if (o.ok) continue;
        text += (first ? QStringLiteral(": ") : QStringLiteral(", ")) +
                QStringLiteral("%1 (%2)").arg(o.who, o.message);
        first = false;
    }
    return text;
}

void StationWindow::EndStation() {
    delete doneNotifier_;
    doneNotifier_ = nullptr;
    // Joins the supervisor, the watcher and every worker; the devices' objects go with them.
    station_.reset();
    log_.reset();
    done_ = true;
    draining_ = false;
    redirector_.Close();
    // Whatever the station said last is of no tile any more.
    if (bridge_) bridge_->Take();
}

void StationWindow::closeEvent(QCloseEvent* event) {
    // Only devices being flashed are a reason to ask; a station waiting for devices is not.
    const auto busy = [this] {
        if (!running()) return false;
        const station::Station::Counts c = station_->counts();
        return counters().running > 0 || c.running > 0 || c.waiting > 0;
    };
    if (busy()) {
        const QMessageBox::StandardButton answer = boxes_->Choose(
            this,
            tr("Devices are being flashed. Let them finish and then close, or stop them now?"),
            tr("Let them finish"), tr("Stop them"),
            tr("A stopped device is left half-written: it starts in its update loader and is "
               "flashed directly the next time."));
        if (answer == QMessageBox::Cancel) {
            event->ignore();
            return;
        }
        // The station may have ended while the question was open: then there is nothing to
        // wait for.
        if (running()) {
            closeWhenDone_ = true;
            if (answer == QMessageBox::Yes) {
                if (!draining_) station_->Drain();
                draining_ = true;
                statusLabel_->setText(
                    tr("Closing once the devices being flashed have finished."));
            } else {
                station_->Abort();
            }
            UpdateControls();
            event->ignore();
            return;
        }
    }
    EndStation();
    QWidget::closeEvent(event);
}

QString StationWindow::statusText() const { return statusLabel_->text(); }

void StationWindow::UpdateControls() {
    const bool run = running();
    pathEdit_->setReadOnly(run);
    browseButton_->setEnabled(!run);
    logButton_->setEnabled(!run);
    startButton_->setEnabled(!run && prepared_ != nullptr);
    stopButton_->setEnabled(run);
    newRunButton_->setEnabled(!run);
    stopButton_->setText(draining_ && run ? tr("Stop &now") : tr("S&top"));
}

void StationWindow::TakeReports() {
    for (auto& report : bridge_->Take()) {
        if (auto* d = std::get_if<station::StationDevice>(&report)) OnArrived(*d);
        else if (auto* p = std::get_if<Bridge::Phase>(&report))
            OnPhase(p->id, p->phase, p->block, p->blocks);
        else if (auto* f = std::get_if<station::FinishedDevice>(&report)) OnFinished(*f);
        else if (auto* l = std::get_if<Bridge::Left>(&report)) OnLeft(l->device);
        else if (auto* s = std::get_if<Bridge::Skipped>(&report)) OnSkipped(s->device, s->why);
    }
}

}  // namespace vumo::app
