#pragma once

#include <QString>

namespace vn {

// The user's desktop folder followed by the native separator; the home folder when the desktop
// folder does not exist.
QString DesktopFolderPath();

// Opens an address (a web page) with the desktop's handler. Throws vn::Failure when no handler
// could be started.
void OpenUrl(const QString& address);

// Shows a folder in the desktop's file manager. Throws vn::Failure when none could be started.
void OpenFolder(const QString& folder);

}  // namespace vn
