#include "filelist/Samples.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "filelist/FolderWalk.h"
#include "filelist/PathTests.h"

#include <QDir>

namespace vn::filelist {

namespace {

// Joins without doubling the separator of a root program folder, so the entries are the same
// paths whichever way the program was started.
QString join(const QString& folder, const QString& name) {
    return folder.endsWith(QDir::separator()) ? folder + name : folder + QDir::separator() + name;
}

}  // namespace

QString samplesFolder(const QString& programFolder) {
    return join(programFolder, QStringLiteral("Samples"));
}

QStringList sampleFiles(const QString& programFolder) {
    const QString folder = samplesFolder(programFolder);
    QStringList paths;
    for (const QString& name : GetFilesInFolder(folder, QStringLiteral("*.*"))) {
        const QString path = join(folder, name);
        if (PathExists(path))
            paths.append(path);
    }
    return paths;
}

bool IsPathListed(const FileListModel& list, const QString& path) {
    const int n = list.count();
    for (int i = 1; i <= n; ++i)
        if (list.text(i) == path)
            return true;
    return false;
}

void LoadSampleFiles(WindowServices& ws, FileListModel& list, const QString& programFolder,
                     const std::function<void(const QString& folder)>& openFolder) {
    for (const QString& path : sampleFiles(programFolder))
        if (!IsPathListed(list, path))
            list.append(path);
    const Answer a = ws.messageBox(
        QStringLiteral("Would you like this software to open the folder where these sample files "
                       "are stored (so that you can view them before working with them)?"),
        Buttons::YesNo, Icon::None);
    if (a == Answer::Yes)
        openFolder(samplesFolder(programFolder));
}

void PushButton8_Click(WindowServices& ws, FileListModel& list, const QString& programFolder,
                       const std::function<void(const QString& folder)>& openFolder) {
    Guard g(ws, loc::PushButton8_Click);
    g.step(100, [&] { LoadSampleFiles(ws, list, programFolder, openFolder); });
}

}  // namespace vn::filelist
