#include "cli/FolderInput.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "filelist/AddFiles.h"
#include "filelist/FileListModel.h"

#include <QDir>

namespace vn::cli {

QStringList filesInFolder(WindowServices& ws, const QString& folder, const QString& ext,
                          bool hidden) {
    // The folder picker hands the button a folder without a trailing separator (a root keeps
    // its own); a folder typed as "dir/" is brought to the same form, so the walk and the
    // paths it lists are the same as the window's.
    QString start = QDir::toNativeSeparators(folder);
    while (start.size() > 1 && start.endsWith(QDir::separator())) start.chop(1);
    Guard g(ws, loc::PushButton3_Click);
    filelist::MemoryFileList list;
    filelist::appendFolderFiles(g, list, start, QStringLiteral("*.") + ext,
                                hidden ? filelist::DotNames::Taken : filelist::DotNames::LeftOut);
    return list.entries();
}

}  // namespace vn::cli
