#pragma once
// One device on the station window: serial number, port, phase, a progress bar, the time it
// has taken, and once finished a large green or red state with the message. Painted by hand
// from its own state, so a tile costs one paint for all of that, and at most ten paints a
// second however fast its device reports.

#include "station/station.h"

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>

class QToolButton;
class QTimer;

namespace vumo::app {

// The colours of the two outcomes: saturated enough for white text and for both a light and a
// dark window around them.
QColor TileOkColor();
QColor TileFailedColor();

class StationTile final : public QWidget {
    Q_OBJECT
public:
    // waiting: present, not taken yet (before Start, or a place is not free yet).
    enum class State { waiting, running, ok, failed };

    StationTile(const station::StationDevice& device, State state = State::running,
                QWidget* parent = nullptr);

    // The same device (by its place on the bench) taken again, or present again and waiting:
    // the tile starts over with what the station now knows of it.
    void Restart(const station::StationDevice& device, State state);

    void SetPhase(update::Phase phase, std::uint32_t block, std::uint32_t blocks);
    void SetFinished(const station::FinishedDevice& finished);
    // The elapsed time moves on (once a second while the device runs).
    void Tick();

    const station::StationDevice& device() const { return device_; }
    State state() const { return state_; }
    QString phaseText() const;
    int progress() const { return progress_; }  // 0..1000
    QString stateText() const;                  // "OK", "FAILED", empty while running
    QString message() const { return message_; }
    QString elapsedText() const;
    // The tooltip: the whole message and its cause, as plain text.
    QString toolTipText() const;
    // The button on a finished tile: "Retry" on a failed one, hidden otherwise.
    QToolButton* retryButton() const { return retryButton_; }
    // Whether the tile offers to take its device again (set by the window).
    void SetRetryOffered(bool offered);
    // Paints so far; the benchmark and the tests count them.
    int paintCount() const { return paints_; }

    // "switching to update mode", "uploading", ...
    static QString PhaseText(update::Phase phase);
    // The width a tile asks for with `font`.
    static int WidthFor(const QFont& font);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The least time between two paints.
    static constexpr std::chrono::milliseconds kRepaintInterval{100};

signals:
    // The operator asked to flash this tile's device again (a retry of a failed one, or
    // "flash again" of one that is ok).
    void againRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Asks for a paint now, or when kRepaintInterval has passed since the last one.
    void RequestRepaint();
    void UpdateAccessibleText();
    void UpdateRetryButton();

    station::StationDevice device_;
    State state_ = State::running;
    update::Phase phase_ = update::Phase::switchingMode;
    bool phaseKnown_ = false;
    int progress_ = 0;
    QString message_;
    QString cause_;
    QElapsedTimer elapsed_;
    double seconds_ = 0;  // once finished
    int paints_ = 0;
    QElapsedTimer sincePaint_;
    QTimer* repaintLater_ = nullptr;  // single shot, running only while a paint is owed
    QToolButton* retryButton_ = nullptr;
    bool retryOffered_ = false;
};

}  // namespace vumo::app
