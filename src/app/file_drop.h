#pragma once
// A firmware file dragged from a file manager onto a window or one of its fields: the path is
// taken as if it had been typed. One local file only; anything else (text, several files, a
// remote address) is refused at the door, so the cursor says so before the drop.

#include <QObject>
#include <QString>

#include <functional>

class QMimeData;

namespace vumo::app {

// The local file the data names, in the system's own spelling; empty unless it names exactly
// one local file.
QString DroppedFilePath(const QMimeData* data);

// Takes drags and drops on the watched widgets (installed as their event filter) and hands a
// dropped file's path to `onFile`. `accepting` says whether a drop would be taken now (not
// while an update runs, say); null: always.
class FileDropFilter final : public QObject {
public:
    FileDropFilter(std::function<void(const QString&)> onFile, std::function<bool()> accepting,
                   QObject* parent);
    // Accepts drops on `widget` and lets this filter take them.
    void Watch(QWidget* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QString&)> onFile_;
    std::function<bool()> accepting_;
};

}  // namespace vumo::app
