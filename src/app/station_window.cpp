#include "app/station_window.h"

#include "app/file_drop.h"
#include "app/station_tile.h"
#include "messages/causes.h"
#include "station/flash_record.h"

#include <QCloseEvent>
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
#include <QScrollArea>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>
#include <variant>
#include <vector>

namespace vumo::app {

namespace {

QString Thousands(std::uint64_t n) {
    QString digits = QString::number(n);
    for (auto at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
    return digits;
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
    : QWidget(parent), bus_(bus), options_(std::move(options)) {
    boxes_ = new MessageBoxes(options_.applicationName, this);
    bridge_ = std::make_unique<Bridge>(*this);
    logPath_ = options_.logPath.isEmpty() ? DefaultLogPath() : options_.logPath;
    Build();
    UpdateControls();
    UpdateCounters();
}

StationWindow::~StationWindow() {
    // The child widgets outlive this part of the object: a path field that loses the focus
    // while they go would call back into a window that is no longer there.
    if (pathEdit_ != nullptr) pathEdit_->disconnect(this);
    EndStation();
}

QString StationWindow::DefaultLogPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("station-log.jsonl"));
}

void StationWindow::Build() {
    setWindowTitle(QStringLiteral("Vumo DFU Station"));
    setAcceptDrops(true);
    auto* layout = new QVBoxLayout(this);

    // The file line.
    auto* fileRow = new QHBoxLayout;
    auto* fileLabel = new QLabel(QStringLiteral("&Firmware file:"), this);
    pathEdit_ = new QLineEdit(this);
    pathEdit_->setPlaceholderText(QStringLiteral("Drop a firmware file here or choose one"));
    fileLabel->setBuddy(pathEdit_);
    browseButton_ = new QPushButton(QStringLiteral("&Browse..."), this);
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
    auto* logLabel = new QLabel(QStringLiteral("&Log file:"), this);
    logEdit_ = new QLineEdit(logPath_, this);
    logEdit_->setReadOnly(true);
    logLabel->setBuddy(logEdit_);
    logButton_ = new QPushButton(QStringLiteral("C&hange..."), this);
    logRow->addWidget(logLabel);
    logRow->addWidget(logEdit_, 1);
    logRow->addWidget(logButton_);
    layout->addLayout(logRow);

    // Start, Stop and the counters.
    auto* runRow = new QHBoxLayout;
    startButton_ = new QPushButton(QStringLiteral("&Start"), this);
    stopButton_ = new QPushButton(QStringLiteral("S&top"), this);
    for (QPushButton* b : {startButton_, stopButton_}) {
        b->setFont(Larger(font(), 1.3));
        b->setAutoDefault(false);
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(QStringLiteral("Stop now")) * 2);
    }
    countersLabel_ = new QLabel(this);
    countersLabel_->setFont(Larger(font(), 1.6));
    countersLabel_->setTextFormat(Qt::PlainText);
    runRow->addWidget(startButton_);
    runRow->addWidget(stopButton_);
    runRow->addSpacing(fontMetrics().height());
    runRow->addWidget(countersLabel_, 1);
    layout->addLayout(runRow);
    statusLabel_ = new QLabel(this);
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->setWordWrap(true);
    layout->addWidget(statusLabel_);

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
    describe(countersLabel_, tr("Counters"), tr("Devices flashed, failed and running."));
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

    auto* drops = new FileDropFilter([this](const QString& path) { ChooseFirmware(path); },
                                     [this] { return !running(); }, this);
    drops->Watch(this);
    drops->Watch(pathEdit_);

    tick_ = new QTimer(this);
    tick_->setInterval(1000);
    connect(tick_, &QTimer::timeout, this, [this] {
        for (auto& [id, tile] : tiles_) tile->Tick();
    });

    const int line = fontMetrics().height();
    resize(line * 60, line * 36);
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
        verdict_ = QStringLiteral("Firmware: location %1, %2 bytes, %3 blocks\nsha256 %4")
                       .arg(prepared_->location)
                       .arg(Thousands(prepared_->fileSize))
                       .arg(prepared_->image.blockCount)
                       .arg(QString::fromStdString(prepared_->sha256));
        if (options_.onImagePrepared)
            options_.onImagePrepared(prepared_->sha256, prepared_->fileSize);
    } else {
        const std::string detail = messages::DetailText(messages::PrepareCause(result));
        verdict_ = QStringLiteral("Not usable: %1").arg(QString::fromStdString(result.text));
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
    logEdit_->setText(path);
}

void StationWindow::OnBrowseClicked() {
    if (running()) return;
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Firmware files (*.hex *.bin *.HEX *.BIN)"),
                           QStringLiteral("All files (*)")});
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ChooseFirmware(QDir::toNativeSeparators(dialog.selectedFiles().front()));
}

void StationWindow::OnChangeLogClicked() {
    if (running()) return;
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Lines are appended to a file that exists, never written over.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters({QStringLiteral("Flash logs (*.jsonl)"), QStringLiteral("All files (*)")});
    dialog.selectFile(logPath_);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SetLogPath(QDir::toNativeSeparators(dialog.selectedFiles().front()));
}

bool StationWindow::OnStartClicked() {
    if (running() || !prepared_) return false;
    EndStation();
    ClearTiles();
    counters_ = {};
    statusLabel_->clear();

    QDir().mkpath(QFileInfo(logPath_).absolutePath());
    std::string error;
    log_ = station::FlashLog::Open(QFile::encodeName(logPath_).toStdString(), error);
    if (!log_) {
        boxes_->ShowCaptioned(
            this, QStringLiteral("The flash log can't be written, so the station does not start."),
            QStringLiteral("ERROR"), kMbOk | kMbIconError,
            QString::fromStdString(error) +
                QStringLiteral("\nChoose another log file with Change..., or make its folder "
                               "writable."));
        UpdateControls();
        return false;
    }

    station::StationOptions o;
    o.image = prepared_;
    o.limits = options_.limits;
    o.pauses = options_.pauses;
    o.makePacer = options_.makePacer;
    o.pacing = options_.pacing;
    station_ = std::make_unique<station::Station>(
        bus_, std::move(o), *bridge_,
        [this](const station::FinishedDevice& f) { return WriteLogLine(f); });
    done_ = false;
    draining_ = false;
    if (!station_->Start(error)) {
        EndStation();
        boxes_->ShowCaptioned(this, QStringLiteral("The station could not start."),
                              QStringLiteral("ERROR"), kMbOk | kMbIconError,
                              QString::fromStdString(error));
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
        statusLabel_->setText(QStringLiteral(
            "Stopping: no new device is taken; the devices being flashed finish. Press Stop "
            "now to interrupt them."));
    } else {
        station_->Abort();
        statusLabel_->setText(QStringLiteral("Stopping: the devices being flashed are "
                                             "interrupted."));
    }
    UpdateControls();
}

void StationWindow::OnStationDone() {
    if (doneNotifier_ != nullptr) doneNotifier_->setEnabled(false);
    if (done_) return;
    done_ = true;
    // Reports already queued come before the end.
    TakeReports();
    statusLabel_->setText(QStringLiteral("Stopped. Tiles stay until their devices are "
                                         "unplugged; Start flashes the devices present again."));
    UpdateControls();
    UpdateTicking();
    emit stationDone();
    if (closeWhenDone_) close();
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
    if (running()) {
        const QMessageBox::StandardButton answer = boxes_->Choose(
            this,
            QStringLiteral("Devices are being flashed. Let them finish and then close, or stop "
                           "them now?"),
            QStringLiteral("Let them finish"), QStringLiteral("Stop them"),
            QStringLiteral("A stopped device is left half-written: it starts in its update "
                           "loader and is flashed directly the next time."));
        if (answer == QMessageBox::Yes || answer == QMessageBox::No) {
            closeWhenDone_ = true;
            if (answer == QMessageBox::Yes) {
                draining_ = true;
                station_->Drain();
                statusLabel_->setText(QStringLiteral(
                    "Closing once the devices being flashed have finished."));
            } else {
                station_->Abort();
            }
            UpdateControls();
        }
        event->ignore();
        return;
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

void StationWindow::OnArrived(const station::StationDevice& device) {
    auto* tile = new StationTile(device, grid_);
    tiles_[device.id] = tile;
    ++counters_.running;
    Relayout();
    UpdateCounters();
    UpdateTicking();
    emit tilesChanged();
}

void StationWindow::OnPhase(int id, update::Phase phase, std::uint32_t block,
                            std::uint32_t blocks) {
    if (const auto it = tiles_.find(id); it != tiles_.end())
        it->second->SetPhase(phase, block, blocks);
}

void StationWindow::OnFinished(const station::FinishedDevice& finished) {
    const auto it = tiles_.find(finished.device.id);
    if (it != tiles_.end()) it->second->SetFinished(finished);
    counters_.running = std::max(0, counters_.running - 1);
    (finished.result.outcome == update::Outcome::ok ? counters_.ok : counters_.failed)++;
    UpdateCounters();
    UpdateTicking();
    emit tilesChanged();
}

void StationWindow::OnLeft(const station::StationDevice& device) {
    const auto it = tiles_.find(device.id);
    if (it == tiles_.end()) return;
    // A device is reported gone only once it has finished; its tile goes with it.
    gridLayout_->removeWidget(it->second);
    delete it->second;
    tiles_.erase(it);
    Relayout();
    emit tilesChanged();
}

void StationWindow::OnSkipped(const station::StationDevice&, const std::string& why) {
    statusLabel_->setText(QStringLiteral("Not flashed: %1").arg(QString::fromStdString(why)));
}

void StationWindow::ClearTiles() {
    for (auto& [id, tile] : tiles_) {
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
    for (auto& [id, tile] : tiles_) gridLayout_->removeWidget(tile);
    int index = 0;
    for (auto& [id, tile] : tiles_) {
        gridLayout_->addWidget(tile, index / columns, index % columns);
        tile->show();
        ++index;
    }
    columns_ = columns;
}

std::vector<StationTile*> StationWindow::tiles() const {
    std::vector<StationTile*> out;
    for (const auto& [id, tile] : tiles_) out.push_back(tile);
    return out;
}

QString StationWindow::countersText() const {
    return QStringLiteral("OK %1    Failed %2    Running %3")
        .arg(counters_.ok)
        .arg(counters_.failed)
        .arg(counters_.running);
}

QString StationWindow::statusText() const { return statusLabel_->text(); }

void StationWindow::UpdateCounters() { countersLabel_->setText(countersText()); }

void StationWindow::UpdateTicking() {
    // The elapsed times move only while something runs; idle, nothing wakes the window.
    const bool any = std::any_of(tiles_.begin(), tiles_.end(), [](const auto& t) {
        return t.second->state() == StationTile::State::running;
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
    stopButton_->setText(draining_ && run ? QStringLiteral("Stop &now") : QStringLiteral("S&top"));
}

}  // namespace vumo::app
