#pragma once

#include <QCursor>
#include <QObject>
#include <QPersistentModelIndex>
#include <QString>

#include <optional>

class QPoint;
class QTreeWidget;

namespace vn {

class FileListControl;
class WindowServices;

// The mouse on the file list ListView1: files and folders dropped from the desktop are added,
// a double-click removes an entry, and an entry dragged with the button held is exchanged with
// each neighbour it passes until the button comes up. It watches the list's viewport and takes
// the events it uses up, so the view does not act on them too.
class ListDragging : public QObject {
public:
    // drag.ico, looked for in programFolder on the first drag, is the pointer while dragging.
    ListDragging(QTreeWidget* listView, FileListControl& files, WindowServices& ws,
                 const QString& programFolder);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ListView1_MouseDown();
    void ListView1_ItemClick(int position);
    void ListView1_MouseMove(const QPoint& position);
    void ListView1_MouseUp();
    void ListView1_DblClick();

    QTreeWidget* ListView1;
    FileListControl& m_files;
    WindowServices& m_ws;
    QString m_programFolder;
    // The drag pointer: the image of drag.ico when it was found.
    std::optional<QCursor> m_dragPointer;
    // A button is down on the list, and the entry whose text is being carried.
    bool m_dragActive = false;
    QPersistentModelIndex m_dragItem;
};

}  // namespace vn
