#include "filelist/AddFiles.h"

#include "core/ErrorLocations.h"
#include "core/NativeName.h"
#include "filelist/FolderWalk.h"
#include "filelist/PathTests.h"
#include "platform/FileAttributes.h"

#include <QDir>
#include <QMimeData>
#include <QUrl>

namespace vn::filelist {

namespace {

const QChar kSep = QDir::separator();

}  // namespace

QString extensionPrompt() {
    return QStringLiteral(
        "Enter file extension to load:\r\r"
        "(* for all files, txt for all txt files, doc for all doc files, etc.)");
}

void PushButton3_Click(AddFolderHost& h) {
    Guard g(h.ws, loc::PushButton3_Click);
    QString answer, folder;
    g.step(100, [&] {
        answer = h.ws.inputBox(extensionPrompt(), QString(), h.settings.value(setting::Extension));
    });
    // Kept before the folder is chosen, so a cancelled picker still remembers the extension.
    if (g.test(102, [&] { return !answer.isEmpty(); }))
        g.step(104, [&] { h.settings.setValue(setting::Extension, answer); });
    if (g.test(106, [&] { return answer.isEmpty(); }))
        return;
    g.step(108, [&] {
        folder = h.browseForFolder(QStringLiteral("Please select folder:"),
                                   h.settings.value(setting::LastFolder));
    });
    if (g.test(110, [&] { return folder.isEmpty(); }))
        return;
    g.step(112, [&] { h.settings.setValue(setting::LastFolder, folder); });
    g.step(114, [&] { h.ws.setPointer(Pointer::Hourglass); });
    // The answer goes into the pattern exactly as typed: "*" gives "*.*", wildcards pass through.
    appendFolderFiles(g, h.list, folder, QStringLiteral("*.") + answer);
    g.step(126, [&] { h.ws.setPointer(Pointer::Arrow); });
}

void appendFolderFiles(Guard& g, FileListModel& list, const QString& folder, const QString& pattern,
                       DotNames dotNames) {
    // A root ends in a separator already; the doubled one this gives is harmless to the walk
    // and CleanPath takes it out of every entry.
    QStringList folders{folder + kSep};
    g.step(116, [&] {
        GetSubDirectories2016(g.services(), folders, true, dotNames != DotNames::LeftOut);
    });
    for (const QString& item : std::as_const(folders)) {
        const QString f = item.chopped(1);
        QStringList names;
        g.step(118, [&] { names = GetFilesInFolder(f, pattern); });
        for (const QString& name : std::as_const(names)) {
            if (g.test(120, [&] { return name.startsWith(QLatin1Char('~')); }))
                continue;
            const bool dotName = name.startsWith(QLatin1Char('.'));
            if (dotName && dotNames == DotNames::LeftOut)
                continue;
            const QString full = f + kSep + name;
            // Only a name that starts with a dot is hidden, so only such a file can have the
            // attributes that leave it out; no other needs a look at them.
            constexpr int hiddenArchive = attr::Hidden | attr::Archive;
            if (g.test(122, [&] {
                    return IsExistingFile(full) && (!dotName || dotNames == DotNames::Taken ||
                                                    fileAttributes(full) != hiddenArchive);
                }))
                g.step(124, [&] { list.append(CleanPath(full)); });
        }
    }
}

void appendChosenFiles(FileListModel& list, const QStringList& chosen) {
    for (const QString& path : chosen) list.append(CleanPath(path));
}

bool carriesLocalFiles(const QMimeData& data) {
    if (!data.hasUrls())
        return false;
    for (const QUrl& url : data.urls())
        if (url.isLocalFile())
            return true;
    return false;
}

QStringList droppedPaths(const QMimeData& data) {
    QStringList paths;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile())
            continue;
        // The URL carries the name's bytes percent-encoded; toLocalFile would read them as
        // UTF-8 and turn a byte that is not into U+FFFD, naming some other file.
        const QString path = url.host().isEmpty() ? nameFromNative(QByteArray::fromPercentEncoding(
                                                        url.path(QUrl::FullyEncoded).toLatin1()))
                                                  : url.toLocalFile();
        paths.append(QDir::toNativeSeparators(path));
    }
    return paths;
}

void ListView1_OLEDragDrop(WindowServices& ws, FileListModel& list, const QStringList& paths) {
    Guard g(ws, ListView1_OLEDragDrop_Location);
    for (const QString& path : paths) {
        if (g.test(100, [&] { return IsFolder(path); }))
            appendFolderFiles(g, list, path, QStringLiteral("*.*"));
        else
            g.step(102, [&] { list.append(path); });
    }
}

}  // namespace vn::filelist
