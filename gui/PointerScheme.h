#pragma once

#include "core/WindowServices.h"

#include <QObject>
#include <QSet>

class QWidget;

namespace vn {

// The window's pointer: the hand over the push buttons, the arrow over the background, the
// frames, the folder box and the lists, and over the other controls whatever it was. The
// hourglass is the busy flag, and only the operation that set it may take it away, so hovering
// leaves it alone.
class PointerScheme : public QObject {
public:
    explicit PointerScheme(WindowServices& ws) : m_ws(ws) {}

    // From now on a move over `widget` shows `pointer`.
    void track(QWidget* widget, Pointer pointer);
    // A move over a part of the window that shows `pointer`.
    void hover(Pointer pointer);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    WindowServices& m_ws;
    QSet<QObject*> m_handArea, m_arrowArea;
};

}  // namespace vn
