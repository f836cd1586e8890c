#include "app/file_drop.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace vumo::app {

QString DroppedFilePath(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) return {};
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString file = urls.front().toLocalFile();
    if (file.isEmpty()) return {};
    return QDir::toNativeSeparators(file);
}

FileDropFilter::FileDropFilter(std::function<void(const QString&)> onFile,
                               std::function<bool()> accepting, QObject* parent)
    : QObject(parent), onFile_(std::move(onFile)), accepting_(std::move(accepting)) {}

void FileDropFilter::Watch(QWidget* widget) {
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
}

bool FileDropFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            const bool take = (!accepting_ || accepting_()) &&
                              !DroppedFilePath(drag->mimeData()).isEmpty();
            if (take) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            // A line edit would otherwise take the address as text to insert.
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QString path = DroppedFilePath(drop->mimeData());
            if (path.isEmpty() || (accepting_ && !accepting_())) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            onFile_(path);
            return true;
        }
        default:
            return QObject::eventFilter(watched, event);
    }
}

}  // namespace vumo::app
