#include "gui/Shell.h"

#include "core/Failure.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace vn {

QString DesktopFolderPath() {
    // On X11 desktops the location is named even where the folder was never made, so test it.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    folder = QDir::toNativeSeparators(folder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

void OpenUrl(const QString& address) {
    if (!QDesktopServices::openUrl(QUrl(address)))
        throw Failure(
            QStringLiteral("Cannot open the address \"%1\": no program to open it").arg(address));
}

void OpenFolder(const QString& folder) {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::fromNativeSeparators(folder))))
        throw Failure::withReason(QStringLiteral("Cannot show the folder"), folder,
                                  QStringLiteral("no file manager could be started"));
}

}  // namespace vn
