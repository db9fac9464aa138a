#include "gui/FilePicker.h"

#include <QDir>
#include <QFileDialog>

namespace vn {

QStringList QtFilePicker::OpenFiles(QWidget* owner, const QString& title) {
    QFileDialog dialog(owner, title);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The toolkit matches "*.*" only against names with a dot. The caption keeps the familiar
    // "(*.*)"; the pattern actually used is the last parenthesised group, "*", which the hidden
    // details keep out of the caption.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilter(QStringLiteral("All Files (*.*) (*)"));
    if (dialog.exec() != QDialog::Accepted)
        return {};
    QStringList chosen;
    for (const QString& path : dialog.selectedFiles())
        chosen.append(QDir::toNativeSeparators(path));
    return chosen;
}

}  // namespace vn
