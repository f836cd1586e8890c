// The station window's tiles: one per device of the run, in bench order, and the counters.

#include "app/station_window.h"

#include "app/station_tile.h"

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "protocol/reports.h"

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

}  // namespace

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

void StationWindow::UpdateCounters() { countersLabel_->setText(countersText()); }

void StationWindow::UpdateTicking() {
    // The elapsed times move only while something runs; idle, nothing wakes the window.
    const bool any = std::any_of(tiles_.begin(), tiles_.end(), [](StationTile* t) {
        return t->state() == StationTile::State::running;
    });
    if (any && !tick_->isActive()) tick_->start();
    if (!any && tick_->isActive()) tick_->stop();
}

}  // namespace vumo::app
