#include "gui/ListDragging.h"

#include "core/Failure.h"
#include "filelist/AddFiles.h"
#include "filelist/EditList.h"
#include "filelist/PathTests.h"
#include "gui/FileListControl.h"
#include "gui/PointerImage.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QTreeWidget>

namespace vn {

ListDragging::ListDragging(QTreeWidget* listView, FileListControl& files, WindowServices& ws,
                           const QString& programFolder)
    : ListView1(listView), m_files(files), m_ws(ws), m_programFolder(programFolder) {
    // The list starts no drag of its own: entries are moved by the mouse handling here, and
    // drops from the desktop are taken here, not by the view's model.
    ListView1->setDragDropMode(QAbstractItemView::NoDragDrop);
    ListView1->setAutoScroll(false);
    ListView1->viewport()->setAcceptDrops(true);
    ListView1->viewport()->installEventFilter(this);
    // The view has selected the pressed entry by the time it reports the press.
    connect(ListView1, &QTreeWidget::itemPressed, this, [this](QTreeWidgetItem* item) {
        ListView1_ItemClick(ListView1->indexOfTopLevelItem(item) + 1);
    });
}

// Returns true for the events it has used up, which the view then does not see.
bool ListDragging::eventFilter(QObject* watched, QEvent* event) {
    if (watched != ListView1->viewport())
        return false;
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* e = static_cast<QDragMoveEvent*>(event);
            if (filelist::carriesLocalFiles(*e->mimeData()))
                e->acceptProposedAction();
            else
                e->ignore();
            return true;
        }
        case QEvent::Drop: {
            auto* e = static_cast<QDropEvent*>(event);
            if (!filelist::carriesLocalFiles(*e->mimeData())) {
                e->ignore();
                return true;
            }
            e->acceptProposedAction();
            filelist::ListView1_OLEDragDrop(m_ws, m_files, filelist::droppedPaths(*e->mimeData()));
            return true;
        }
        case QEvent::MouseButtonPress:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                ListView1_MouseDown();
            return false;  // the view selects the pressed entry and reports the press
        case QEvent::MouseMove:
            if (!m_dragActive)
                return false;
            ListView1_MouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
            return true;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                ListView1_MouseUp();
            return false;
        case QEvent::MouseButtonDblClick:
            // The first click of the two has already selected the entry under the mouse.
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                ListView1_DblClick();
            return true;
        default:
            return false;
    }
}

void ListDragging::ListView1_MouseDown() {
    m_dragActive = true;
}

void ListDragging::ListView1_ItemClick(int position) {
    const QString dragIcon = m_programFolder + QDir::separator() + QStringLiteral("drag.ico");
    if (!m_dragPointer && PathExists(dragIcon)) {
        try {
            m_dragPointer = LoadPointerImage(dragIcon);
        } catch (const Failure&) {
            // An unreadable image leaves the hand the toolkit offers for dragging.
        }
    }
    ListView1->viewport()->setCursor(m_dragPointer ? *m_dragPointer
                                                   : QCursor(Qt::ClosedHandCursor));
    m_dragItem = position > 0 ? QPersistentModelIndex(ListView1->model()->index(position - 1, 0))
                              : QPersistentModelIndex();
}

void ListDragging::ListView1_MouseMove(const QPoint& position) {
    QTreeWidgetItem* under = ListView1->itemAt(position);
    const int hover = under ? ListView1->indexOfTopLevelItem(under) + 1 : 0;
    // A removed entry leaves its reference invalid, and then nothing moves.
    const int dragged = m_dragItem.isValid() ? m_dragItem.row() + 1 : 0;
    if (filelist::exchangeDraggedEntry(m_files, dragged, hover)) {
        ListView1->setCurrentItem(ListView1->topLevelItem(hover - 1));
        m_dragItem = QPersistentModelIndex(ListView1->model()->index(hover - 1, 0));
    }
    if (hover == 0)
        return;
    // Near an edge of the list the neighbour beyond it is brought into view, so that a drag can
    // carry an entry past what the list shows.
    const int margin = qMax(ListView1->visualItemRect(under).height(), 8);
    if (position.y() < margin && hover > 1)
        ListView1->scrollToItem(ListView1->topLevelItem(hover - 2));
    else if (position.y() > ListView1->viewport()->height() - margin && hover < m_files.count())
        ListView1->scrollToItem(ListView1->topLevelItem(hover));
}

void ListDragging::ListView1_MouseUp() {
    m_dragActive = false;
    // Forgotten, so that a later press on empty space carries nothing.
    m_dragItem = QPersistentModelIndex();
    // Back to the window's pointer: the arrow, or the hourglass while something is busy.
    ListView1->viewport()->unsetCursor();
}

void ListDragging::ListView1_DblClick() {
    filelist::ListView1_DblClick(m_ws, m_files, m_files.selectedPosition());
}

}  // namespace vn
