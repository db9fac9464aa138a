#include "gui/FolderPicker.h"

#include <QDir>
#include <QFileDialog>

namespace vn {

QString QtFolderPicker::BrowseForFolder(QWidget* owner, const QString& prompt,
                                        const QString& startFolder) {
    const QString chosen =
        QFileDialog::getExistingDirectory(owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
    return QDir::toNativeSeparators(chosen);
}

}  // namespace vn
