#include "gui/FileListControl.h"

#include <QTreeWidget>

namespace vn {

int FileListControl::count() const {
    return m_view.topLevelItemCount();
}

QString FileListControl::text(int position) const {
    const QTreeWidgetItem* item = m_view.topLevelItem(position - 1);
    return item ? item->text(0) : QString();
}

void FileListControl::setText(int position, const QString& text) {
    if (QTreeWidgetItem* item = m_view.topLevelItem(position - 1))
        item->setText(0, text);
}

void FileListControl::append(const QString& text) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    // Entries are not renamed in place and are not the view's own drag sources: reordering is
    // done by exchanging texts under the mouse.
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren);
    m_view.addTopLevelItem(item);
}

void FileListControl::removeAt(int position) {
    delete m_view.takeTopLevelItem(position - 1);
}

void FileListControl::clear() {
    m_view.clear();
}

int FileListControl::selectedPosition() const {
    const QList<QTreeWidgetItem*> selected = m_view.selectedItems();
    return selected.isEmpty() ? 0 : m_view.indexOfTopLevelItem(selected.first()) + 1;
}

}  // namespace vn
