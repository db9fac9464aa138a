#include "gui/PointerScheme.h"

#include <QEvent>
#include <QWidget>

namespace vn {

void PointerScheme::track(QWidget* widget, Pointer pointer) {
    widget->setMouseTracking(true);
    // A move the widget does not use would otherwise reach its container too, and a button
    // inside a frame would show the frame's arrow.
    widget->setAttribute(Qt::WA_NoMousePropagation);
    widget->installEventFilter(this);
    (pointer == Pointer::Hand ? m_handArea : m_arrowArea).insert(widget);
}

void PointerScheme::hover(Pointer pointer) {
    if (m_ws.isBusy() || m_ws.pointer() == pointer)
        return;
    m_ws.setPointer(pointer);
}

bool PointerScheme::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        if (m_handArea.contains(watched))
            hover(Pointer::Hand);
        else if (m_arrowArea.contains(watched))
            hover(Pointer::Arrow);
    }
    return false;
}

}  // namespace vn
