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

// A device's place in the run: its serial number, or its port when it has none.
std::string RunKey(const station::StationDevice& d) {
    return d.serial.empty() ? "@" + d.port : d.serial;
}

// A device's place on the bench.
bool SamePlace(const station::StationDevice& a, const station::StationDevice& b) {
    return a.port == b.port && a.serial == b.serial;
}

// Port names in the order of the bench: numbers count as numbers, so 1-1.2 comes before
// 1-1.10 and sim-2 before sim-10.
bool BenchBefore(const std::string& a, const std::string& b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            // Without leading zeros, the longer number is the larger.
            std::string_view x(a.data() + i, ei - i), y(b.data() + j, ej - j);
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// A path under the home folder as the shell writes it, shorter to read.
QString DisplayPath(const QString& path) {
    const QString home = QDir::homePath();
    if (QDir::separator() == QLatin1Char('/') && path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return QDir::toNativeSeparators(path);
}

QFont Larger(const QFont& base, double factor) {
    QFont font = base;
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(true);
    return font;
}

}  // namespace

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

void StationWindow::Build() {
    setWindowTitle(tr("Vumo DFU Station"));
    setAcceptDrops(true);
    auto* layout = new QVBoxLayout(this);

    // The file line.
    auto* fileRow = new QHBoxLayout;
    auto* fileLabel = new QLabel(tr("&Firmware file:"), this);
    pathEdit_ = new QLineEdit(this);
    pathEdit_->setPlaceholderText(tr("Drop a firmware file here or choose one"));
    fileLabel->setBuddy(pathEdit_);
    browseButton_ = new QPushButton(tr("&Browse..."), this);
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(pathEdit_, 1);
    fileRow->addWidget(browseButton_);
    layout->addLayout(fileRow);
    verdictLabel_ = new QLabel(this);
    verdictLabel_->setTextFormat(Qt::PlainText);
    verdictLabel_->setWordWrap(true);
    verdictLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(verdictLabel_);

    // The log line.
    auto* logRow = new QHBoxLayout;
    auto* logLabel = new QLabel(tr("&Log file:"), this);
    logEdit_ = new QLineEdit(DisplayPath(logPath_), this);
    logEdit_->setReadOnly(true);
    logEdit_->setToolTip(logPath_);
    logLabel->setBuddy(logEdit_);
    logButton_ = new QPushButton(tr("C&hange..."), this);
    logRow->addWidget(logLabel);
    logRow->addWidget(logEdit_, 1);
    logRow->addWidget(logButton_);
    layout->addLayout(logRow);

    // Start, Stop, New run and the counters.
    auto* runRow = new QHBoxLayout;
    startButton_ = new QPushButton(tr("&Start"), this);
    stopButton_ = new QPushButton(tr("S&top"), this);
    for (QPushButton* b : {startButton_, stopButton_}) {
        b->setFont(Larger(font(), 1.3));
        b->setAutoDefault(false);
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(tr("Stop now")) * 3 / 2);
    }
    newRunButton_ = new QPushButton(tr("&New run"), this);
    newRunButton_->setAutoDefault(false);
    newRunButton_->setToolTip(tr("Forget the outcomes of this run: every device present is "
                                 "flashed at the next Start"));
    countersLabel_ = new QLabel(this);
    countersLabel_->setFont(Larger(font(), 1.6));
    countersLabel_->setTextFormat(Qt::PlainText);
    // On a narrow screen the counters take two lines rather than widen the window.
    countersLabel_->setWordWrap(true);
    runRow->addWidget(startButton_);
    runRow->addWidget(stopButton_);
    runRow->addWidget(newRunButton_);
    runRow->addSpacing(fontMetrics().height());
    runRow->addWidget(countersLabel_, 1);
    layout->addLayout(runRow);
    statusLabel_ = new QLabel(this);
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->setWordWrap(true);
    layout->addWidget(statusLabel_);

    // How the run ended, once a station has ended.
    endRow_ = new QWidget(this);
    auto* endLayout = new QHBoxLayout(endRow_);
    endLayout->setContentsMargins(0, 0, 0, 0);
    endLabel_ = new QLabel(endRow_);
    endLabel_->setTextFormat(Qt::PlainText);
    endLabel_->setWordWrap(true);
    endLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    endLabel_->setFont(Larger(font(), 1.1));
    openFolderButton_ = new QPushButton(tr("Open log &folder"), endRow_);
    openFolderButton_->setAutoDefault(false);
    endLayout->addWidget(endLabel_, 1);
    endLayout->addWidget(openFolderButton_, 0, Qt::AlignTop);
    endRow_->hide();
    layout->addWidget(endRow_);

    // The tiles.
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    grid_ = new QWidget(scroll_);
    gridLayout_ = new QGridLayout(grid_);
    gridLayout_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    scroll_->setWidget(grid_);
    layout->addWidget(scroll_, 1);

    // For assistive technology: what each control is and what it does.
    const auto describe = [](QWidget* widget, const QString& name, const QString& description) {
        if (!name.isEmpty()) widget->setAccessibleName(name);
        widget->setAccessibleDescription(description);
    };
    describe(pathEdit_, {}, tr("The firmware file flashed onto every device; it is checked once "
                               "when chosen. Type a path and press Enter, or drop a file."));
    describe(browseButton_, {}, tr("Chooses the firmware file."));
    describe(verdictLabel_, tr("Firmware check"), tr("What the check of the chosen file found."));
    describe(logEdit_, {}, tr("The flash log, one line per device flashed."));
    describe(logButton_, {}, tr("Chooses another flash log."));
    describe(startButton_, {}, tr("Flashes every device plugged in now or later."));
    describe(stopButton_, {}, tr("Stops taking devices; asks what to do with running ones."));
    describe(newRunButton_, {}, tr("Forgets this run's outcomes; every device present is "
                                   "flashed at the next Start."));
    describe(countersLabel_, tr("Counters"),
             tr("Devices ok and failed in this run, running and waiting."));
    describe(endRow_, tr("End of the run"), tr("The summary of the run and its log's folder."));
    describe(endLabel_, tr("Summary"), tr("How the run ended and where its log is."));
    describe(openFolderButton_, {}, tr("Opens the folder of the flash log."));
    describe(statusLabel_, tr("Status"), tr("What the station is doing."));
    describe(scroll_, tr("Devices"), tr("One tile per device, with its state."));
    describe(fileLabel, {}, tr("Caption of the field beside it."));
    describe(logLabel, {}, tr("Caption of the field beside it."));

    connect(browseButton_, &QPushButton::clicked, this, &StationWindow::OnBrowseClicked);
    connect(pathEdit_, &QLineEdit::editingFinished, this, [this] {
        if (pathEdit_->text() != checkedPath_) ChooseFirmware(pathEdit_->text());
    });
    connect(pathEdit_, &QLineEdit::textEdited, this, [this] {
        // A path being typed is not the file that was checked.
        prepared_.reset();
        checkedPath_.clear();
        verdict_.clear();
        verdictLabel_->clear();
        UpdateControls();
    });
    connect(logButton_, &QPushButton::clicked, this, &StationWindow::OnChangeLogClicked);
    connect(startButton_, &QPushButton::clicked, this, [this] { OnStartClicked(); });
    connect(stopButton_, &QPushButton::clicked, this, &StationWindow::OnStopClicked);
    connect(newRunButton_, &QPushButton::clicked, this, &StationWindow::OnNewRunClicked);
    connect(openFolderButton_, &QPushButton::clicked, this,
            &StationWindow::OnOpenLogFolderClicked);

    auto* drops = new FileDropFilter([this](const QString& path) { ChooseFirmware(path); },
                                     [this] { return !running(); }, this);
    drops->Watch(this);
    drops->Watch(pathEdit_);

    tick_ = new QTimer(this);
    tick_->setInterval(1000);
    connect(tick_, &QTimer::timeout, this, [this] {
        for (StationTile* tile : tiles_) tile->Tick();
    });

    const int line = fontMetrics().height();
    resize(line * 60, line * 36);
    FitToScreen();
}

void StationWindow::FitToScreen() {
    // Sized in lines of text, the window grows with the scale factor while the screen, in
    // the same units, shrinks: at twice the scale a 1280-pixel screen is 640 wide. It opens
    // on the screen, whole, with room for the window manager's frame; a size that its owner
    // sets afterwards is its owner's choice.
    QScreen* on = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (on == nullptr) return;
    const QRect available = on->availableGeometry();
    QSize size = this->size().boundedTo(available.size() * 9 / 10);
    size = size.expandedTo(minimumSizeHint().boundedTo(available.size()));
    resize(size);
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, available).topLeft());
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

void StationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Relayout();
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

StationTile* StationWindow::TileOf(const station::StationDevice& device) const {
    for (StationTile* tile : tiles_)
        if (SamePlace(tile->device(), device)) return tile;
    return nullptr;
}

StationTile* StationWindow::AddTile(const station::StationDevice& device, int state) {
    auto* tile = new StationTile(device, static_cast<StationTile::State>(state), grid_);
    tile->SetRetryOffered(true);
    connect(tile, &StationTile::againRequested, this, [this, tile] { FlashAgain(tile); });
    // Bench order: by port, then serial number; devices without a port last.
    const auto before = [](const station::StationDevice& a, const station::StationDevice& b) {
        if (a.port != b.port) {
            if (a.port.empty() || b.port.empty()) return b.port.empty();
            return BenchBefore(a.port, b.port);
        }
        return a.serial < b.serial;
    };
    const auto at = std::find_if(tiles_.begin(), tiles_.end(), [&](StationTile* t) {
        return before(device, t->device());
    });
    tiles_.insert(at, tile);
    Relayout();
    return tile;
}

void StationWindow::RemoveTile(StationTile* tile) {
    std::erase(tiles_, tile);
    std::erase_if(byId_, [&](const auto& entry) { return entry.second == tile; });
    gridLayout_->removeWidget(tile);
    delete tile;
    Relayout();
}

void StationWindow::OnArrived(const station::StationDevice& device) {
    StationTile* tile = TileOf(device);
    if (tile != nullptr) {
        std::erase_if(byId_, [&](const auto& entry) { return entry.second == tile; });
        tile->Restart(device, StationTile::State::running);
    } else {
        tile = AddTile(device, static_cast<int>(StationTile::State::running));
    }
    byId_[device.id] = tile;
    stretch_.Started();
    UpdateCounters();
    UpdateTicking();
    emit tilesChanged();
}

void StationWindow::OnPhase(int id, update::Phase phase, std::uint32_t block,
                            std::uint32_t blocks) {
    if (const auto it = byId_.find(id); it != byId_.end())
        it->second->SetPhase(phase, block, blocks);
}

void StationWindow::OnFinished(const station::FinishedDevice& finished) {
    const auto it = byId_.find(finished.device.id);
    if (it != byId_.end()) it->second->SetFinished(finished);
    const bool ok = finished.result.outcome == update::Outcome::ok;
    const std::string key = RunKey(finished.device);
    if (outcomes_.count(key) == 0) outcomeOrder_.push_back(key);
    QString message = QString::fromStdString(finished.result.message);
    message.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    outcomes_[key] = {ok,
                      QString::fromStdString(finished.device.serial.empty()
                                                 ? finished.device.port
                                                 : finished.device.serial),
                      message};
    if (!finished.device.serial.empty()) {
        if (ok)
            okSerials_.insert(finished.device.serial);
        else
            okSerials_.erase(finished.device.serial);
    }
    if (stretch_.Ended(ok) && !isActiveWindow()) {
        const session::Notice notice = session::StationNotice(stretch_.stretch());
        notices_.Notify(notice.summary, notice.body);
    }
    UpdateCounters();
    UpdateTicking();
    emit tilesChanged();
}

void StationWindow::OnLeft(const station::StationDevice& device) {
    const auto it = byId_.find(device.id);
    if (it == byId_.end()) return;
    // A device is reported gone only once it has finished; its tile goes with it.
    RemoveTile(it->second);
    emit tilesChanged();
}

void StationWindow::OnSkipped(const station::StationDevice&, const std::string& why) {
    statusLabel_->setText(tr("Not flashed: %1").arg(QString::fromStdString(why)));
}

void StationWindow::Rescan() {
    if (!appScanner_ || !dfuScanner_) return;
    std::vector<station::StationDevice> present;
    for (const auto& e : appScanner_->Scan())
        present.push_back({0, e.serial, e.port, e.path, protocol::kModeApplication});
    for (const auto& e : dfuScanner_->Scan())
        present.push_back({0, e.serial, e.port, e.path, protocol::kModeUpdate});
    std::set<std::string> keys;
    for (const auto& d : present) keys.insert(d.port + '\n' + d.serial);
    {
        bool changed = false;
        for (StationTile* tile : std::vector<StationTile*>(tiles_)) {
            const std::string key = tile->device().port + '\n' + tile->device().serial;
            if (keys.count(key) != 0) continue;
            // Gone: a waiting device at once, a finished one once it has been seen to leave.
            if (tile->state() == StationTile::State::waiting || presentKeys_.count(key) != 0) {
                RemoveTile(tile);
                changed = true;
            }
        }
        for (const auto& d : present) {
            if (TileOf(d) != nullptr) continue;
            AddTile(d, static_cast<int>(StationTile::State::waiting));
            changed = true;
        }
        if (changed) {
            UpdateCounters();
            emit tilesChanged();
        }
    }
    presentKeys_ = std::move(keys);
}

void StationWindow::ClearTiles() {
    for (StationTile* tile : tiles_) {
        gridLayout_->removeWidget(tile);
        delete tile;
    }
    tiles_.clear();
    Relayout();
}

void StationWindow::Relayout() {
    if (gridLayout_ == nullptr) return;
    const int spacing = gridLayout_->spacing() > 0 ? gridLayout_->spacing() : 6;
    const int tileWidth = StationTile::WidthFor(grid_->font());
    const int width = scroll_->viewport()->width() - 2 * spacing;
    const int columns = std::max(1, (width + spacing) / (tileWidth + spacing));
    for (StationTile* tile : tiles_) gridLayout_->removeWidget(tile);
    int index = 0;
    for (StationTile* tile : tiles_) {
        gridLayout_->addWidget(tile, index / columns, index % columns);
        tile->show();
        ++index;
    }
    columns_ = columns;
}

StationWindow::Counters StationWindow::counters() const {
    Counters c;
    for (const auto& [key, outcome] : outcomes_) (outcome.ok ? c.ok : c.failed)++;
    for (StationTile* tile : tiles_) {
        if (tile->state() == StationTile::State::running) ++c.running;
        if (tile->state() == StationTile::State::waiting) ++c.waiting;
    }
    return c;
}

QString StationWindow::countersText() const {
    const Counters c = counters();
    QString text =
        tr("OK %1    Failed %2    Running %3").arg(c.ok).arg(c.failed).arg(c.running);
    if (c.waiting > 0) text += tr("    Waiting %1").arg(c.waiting);
    return text;
}

QString StationWindow::statusText() const { return statusLabel_->text(); }

void StationWindow::UpdateCounters() { countersLabel_->setText(countersText()); }

void StationWindow::UpdateTicking() {
    // The elapsed times move only while something runs; idle, nothing wakes the window.
    const bool any = std::any_of(tiles_.begin(), tiles_.end(), [](StationTile* t) {
        return t->state() == StationTile::State::running;
    });
    if (any && !tick_->isActive()) tick_->start();
    if (!any && tick_->isActive()) tick_->stop();
}

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

}  // namespace vumo::app
