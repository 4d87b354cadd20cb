#include "shell/input_filter.h"

#include <QContextMenuEvent>
#include <QMouseEvent>

namespace gd {

bool RightButtonFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
            break;
        case QEvent::ContextMenu:
            return true;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace gd
