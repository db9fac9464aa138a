#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace vn {

// The file-open dialog with multiple selection: modal, over its owner. Returns the chosen files
// as full paths in native form, in the order the dialog gives them, or nothing when the user
// cancels. The selection has no size limit.
class FilePicker {
public:
    virtual ~FilePicker() = default;
    virtual QStringList OpenFiles(QWidget* owner, const QString& title) = 0;
};

// The toolkit's file dialog with one filter, "All Files (*.*)", that shows every file: names
// without a dot too, as the filter does on Windows.
class QtFilePicker : public FilePicker {
public:
    QStringList OpenFiles(QWidget* owner, const QString& title) override;
};

}  // namespace vn
