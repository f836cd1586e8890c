// The station window's view: its controls, laid out to fit the screen, and the grid of tiles.

#include "app/station_window.h"

#include "app/file_drop.h"
#include "app/station_tile.h"

#include <QDir>
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

QFont Larger(const QFont& base, double factor) {
    QFont font = base;
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(true);
    return font;
}

}  // namespace

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

void StationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
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

}  // namespace vumo::app
