#pragma once

#include "filelist/FileListModel.h"
#include "run/RunDriver.h"

class QTreeWidget;

namespace vn {

// The file list as ListView1 holds it: one item per entry, its text in the only column. The list
// commands edit it through FileListModel; a run reads it through FileListView, afresh at every
// use, so edits made while the run yields are seen.
class FileListControl : public filelist::FileListModel, public run::FileListView {
public:
    explicit FileListControl(QTreeWidget& view) : m_view(view) {}

    int count() const override;
    QString text(int position) const override;
    void setText(int position, const QString& text) override;
    void append(const QString& text) override;
    void removeAt(int position) override;
    void clear() override;

    // The position of the selected entry, 0 when none is selected.
    int selectedPosition() const;

private:
    QTreeWidget& m_view;
};

}  // namespace vn
