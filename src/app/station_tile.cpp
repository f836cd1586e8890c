#include "app/station_tile.h"

#include "messages/causes.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

namespace vumo::app {

namespace {

// Measures of the tile in units of its font's height, so it grows with the font and the
// screen's scale alike.
constexpr double kWidthLines = 16;
constexpr double kMinWidthLines = 12;

QFont Scaled(const QFont& base, double factor, bool bold) {
    QFont font = base;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * factor)));
    font.setBold(bold);
    return font;
}

QString Seconds(double seconds) {
    const int whole = static_cast<int>(seconds);
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QColor TileOkColor() { return QColor(0x1e, 0x7d, 0x32); }
QColor TileFailedColor() { return QColor(0xc6, 0x28, 0x28); }

QString StationTile::PhaseText(update::Phase phase) {
    switch (phase) {
        case update::Phase::switchingMode: return tr("switching to update mode");
        case update::Phase::settling: return tr("waiting for the device");
        case update::Phase::handshake: return tr("handshake");
        case update::Phase::uploading: return tr("uploading");
        case update::Phase::finishing: return tr("finishing");
        case update::Phase::restarting: return tr("restarting");
        case update::Phase::confirming: return tr("waiting for the new firmware");
    }
    return {};
}

StationTile::StationTile(const station::StationDevice& device, State state, QWidget* parent)
    : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    repaintLater_ = new QTimer(this);
    repaintLater_->setSingleShot(true);
    connect(repaintLater_, &QTimer::timeout, this, [this] { update(); });
    retryButton_ = new QToolButton(this);
    retryButton_->setText(tr("&Retry"));
    retryButton_->setToolTip(tr("Flash this device again"));
    retryButton_->setAccessibleName(tr("Retry"));
    retryButton_->setAccessibleDescription(tr("Flash this device again"));
    connect(retryButton_, &QToolButton::clicked, this, &StationTile::againRequested);
    Restart(device, state);
}

void StationTile::Restart(const station::StationDevice& device, State state) {
    device_ = device;
    state_ = state;
    phaseKnown_ = false;
    progress_ = 0;
    message_.clear();
    cause_.clear();
    seconds_ = 0;
    elapsed_.start();
    setToolTip({});
    UpdateRetryButton();
    UpdateAccessibleText();
    RequestRepaint();
}

QString StationTile::phaseText() const {
    switch (state_) {
        case State::waiting: return tr("waiting");
        case State::ok: return tr("done");
        case State::failed: return tr("stopped");
        case State::running: break;
    }
    if (!phaseKnown_) return tr("starting");
    return PhaseText(phase_);
}

QString StationTile::stateText() const {
    switch (state_) {
        case State::ok: return tr("OK");
        case State::failed: return tr("FAILED");
        case State::waiting:
        case State::running: break;
    }
    return {};
}

QString StationTile::elapsedText() const {
    if (state_ == State::waiting) return {};
    return Seconds(state_ == State::running ? static_cast<double>(elapsed_.elapsed()) / 1000.0 : seconds_);
}

QString StationTile::toolTipText() const {
    return cause_.isEmpty() ? message_ : message_ + QStringLiteral("\n") + cause_;
}

void StationTile::SetRetryOffered(bool offered) {
    retryOffered_ = offered;
    UpdateRetryButton();
}

void StationTile::UpdateRetryButton() {
    retryButton_->setVisible(retryOffered_ && state_ == State::failed);
}

void StationTile::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Bottom right, where the message leaves room.
    const int margin = fontMetrics().height() / 2;
    const QSize size = retryButton_->sizeHint();
    retryButton_->setGeometry(width() - margin - size.width(), height() - margin - size.height(),
                              size.width(), size.height());
}

void StationTile::contextMenuEvent(QContextMenuEvent* event) {
    if (!retryOffered_ || (state_ != State::ok && state_ != State::failed)) return;
    QMenu menu(this);
    QAction* again = menu.addAction(state_ == State::failed ? tr("&Retry") : tr("&Flash again"));
    connect(again, &QAction::triggered, this, &StationTile::againRequested);
    menu.exec(event->globalPos());
}

void StationTile::SetPhase(update::Phase phase, std::uint32_t block, std::uint32_t blocks) {
    if (state_ != State::running) return;  // a late report of a finished device
    int progress = progress_;
    switch (phase) {
        case update::Phase::switchingMode:
        case update::Phase::settling:
        case update::Phase::handshake: progress = 0; break;
        case update::Phase::uploading:
            progress = blocks == 0 ? 0 : static_cast<int>(1000ull * block / blocks);
            break;
        case update::Phase::finishing:
        case update::Phase::restarting:
        case update::Phase::confirming: progress = 1000; break;
    }
    const bool changed = !phaseKnown_ || phase != phase_ || progress != progress_;
    phase_ = phase;
    phaseKnown_ = true;
    progress_ = progress;
    if (!changed) return;
    UpdateAccessibleText();
    RequestRepaint();
}

void StationTile::SetFinished(const station::FinishedDevice& finished) {
    state_ = finished.result.outcome == update::Outcome::ok ? State::ok : State::failed;
    seconds_ = finished.seconds;
    if (state_ == State::ok) progress_ = 1000;
    QString message = QString::fromStdString(finished.result.message);
    message.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    message_ = message;
    // Why and what to do, in the words `update` and the main window use.
    cause_ = QString::fromStdString(messages::DetailText(finished.result.explanation));
    // As plain text: the message can hold a device's serial number, which is not markup.
    setToolTip(Qt::convertFromPlainText(toolTipText(), Qt::WhiteSpaceNormal));
    UpdateRetryButton();
    UpdateAccessibleText();
    RequestRepaint();
}

void StationTile::Tick() {
    if (state_ == State::running) RequestRepaint();
}

void StationTile::RequestRepaint() {
    if (repaintLater_->isActive()) return;  // a paint is owed already; it shows the latest
    const auto interval = static_cast<qint64>(kRepaintInterval.count());
    if (!sincePaint_.isValid() || sincePaint_.elapsed() >= interval) {
        update();
        return;
    }
    repaintLater_->start(static_cast<int>(interval - sincePaint_.elapsed()));
}

void StationTile::UpdateAccessibleText() {
    setAccessibleName(tr("%1 on %2").arg(QString::fromStdString(device_.serial),
                                         QString::fromStdString(device_.port)));
    setAccessibleDescription(state_ == State::running ? tr("%1, %2 %").arg(phaseText()).arg(progress_ / 10)
                             : state_ == State::waiting ? phaseText()
                                                        : stateText() + QStringLiteral(": ") + message_);
}

int StationTile::WidthFor(const QFont& font) {
    return static_cast<int>(QFontMetrics(font).height() * kWidthLines);
}

QSize StationTile::sizeHint() const {
    const int line = fontMetrics().height();
    // Serial and port, phase, bar, state (twice the font), message (two lines), margins.
    const int height = static_cast<int>(line * (1 + 1 + 1 + 2.2 + 2 + 1.6));
    return {static_cast<int>(line * kWidthLines), height};
}

QSize StationTile::minimumSizeHint() const {
    return {static_cast<int>(fontMetrics().height() * kMinWidthLines), sizeHint().height()};
}

void StationTile::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        update();
    QWidget::changeEvent(event);
}

void StationTile::paintEvent(QPaintEvent*) {
    ++paints_;
    sincePaint_.start();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const int line = fontMetrics().height();
    const int margin = line / 2;
    const QRectF frame = QRectF(rect()).adjusted(1, 1, -1, -1);

    // The card: the palette's base for a running device, the outcome's colour once finished.
    const bool finished = state_ == State::ok || state_ == State::failed;
    QColor fill = pal.color(QPalette::Base);
    QColor text = pal.color(QPalette::Text);
    QColor dim = pal.color(QPalette::PlaceholderText);
    if (state_ == State::ok) fill = TileOkColor();
    if (state_ == State::failed) fill = TileFailedColor();
    if (finished) text = dim = Qt::white;
    QPainterPath card;
    card.addRoundedRect(frame, margin, margin);
    p.fillPath(card, fill);
    p.setPen(QPen(!finished ? pal.color(QPalette::Mid) : fill.darker(130), 1));
    p.drawPath(card);

    QRect area = rect().adjusted(margin, margin / 2, -margin, -margin / 2);
    const QFont base = font();

    // Serial number (bold) and port.
    p.setPen(text);
    p.setFont(Scaled(base, 1.0, true));
    QRect row(area.left(), area.top(), area.width(), line);
    const QString serial = device_.serial.empty() ? tr("(no serial number)")
                                                  : QString::fromStdString(device_.serial);
    p.drawText(row, Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(p.font()).elidedText(serial, Qt::ElideRight, area.width() * 2 / 3));
    p.setFont(base);
    p.setPen(dim);
    p.drawText(row, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(device_.port));

    // Phase and elapsed time.
    row.translate(0, line);
    p.setPen(text);
    p.drawText(row, Qt::AlignLeft | Qt::AlignVCenter, phaseText());
    p.drawText(row, Qt::AlignRight | Qt::AlignVCenter, elapsedText());

    // The bar.
    row.translate(0, line);
    const QRectF bar = QRectF(row).adjusted(0, line * 0.25, 0, -line * 0.25);
    p.setPen(Qt::NoPen);
    p.setBrush(!finished ? pal.color(QPalette::Button) : fill.lighter(130));
    p.drawRoundedRect(bar, bar.height() / 2, bar.height() / 2);
    if (progress_ > 0) {
        QRectF done = bar;
        done.setWidth(bar.width() * progress_ / 1000.0);
        p.setBrush(!finished ? pal.color(QPalette::Highlight) : QColor(Qt::white));
        p.drawRoundedRect(done, bar.height() / 2, bar.height() / 2);
    }

    // The state, large enough to read from a metre away, and the message under it.
    row.translate(0, line);
    QRect big(area.left(), row.top(), area.width(), static_cast<int>(line * 2.2));
    p.setPen(text);
    if (finished) {
        p.setFont(Scaled(base, 2.0, true));
        p.drawText(big, Qt::AlignLeft | Qt::AlignVCenter,
                   (state_ == State::ok ? QStringLiteral("\u2714 ") : QStringLiteral("\u2716 ")) +
                       stateText());
        p.setFont(base);
        const QRect rest(area.left(), big.bottom(), area.width(), area.bottom() - big.bottom());
        // A long message is cut at the tile's edge; the whole of it is the tooltip.
        p.setClipRect(rest);
        p.drawText(rest, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, message_);
    } else if (state_ == State::running) {
        p.setFont(Scaled(base, 2.0, true));
        p.drawText(big, Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("%1 %").arg(progress_ / 10));
    }
}

}  // namespace vumo::app
