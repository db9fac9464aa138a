#pragma once

#include "core/ErrorReport.h"
#include "core/Views.h"
#include "core/WindowServices.h"
#include "filelist/FileListModel.h"

#include <QString>
#include <QStringList>

#include <functional>

class QMimeData;

namespace vn::filelist {

// Where failures while handling a drop are reported.
inline constexpr const char* ListView1_OLEDragDrop_Location =
    "Tessamar2021/08/31.Form1.ListView1_OLEDragDrop";

// The extension question, with its two bare CRs.
QString extensionPrompt();

struct AddFolderHost {
    WindowServices& ws;
    FileListModel& list;
    SettingsView& settings;
    // The folder picker: the prompt as its caption, the start folder preselected (none when
    // empty). Returns the chosen folder, or the empty text when cancelled.
    std::function<QString(const QString& prompt, const QString& startFolder)> browseForFolder;
};

// "Add All File(s) In Folder": asks for an extension (kept at once in "Extension"), lets the
// user pick a folder (kept in "LastFolder"), and under the hourglass appends every matching file
// of that folder and all its subfolders. Failures are reported as PushButton3_Click's.
void PushButton3_Click(AddFolderHost& host);

// Walks `folder` and appends, folder by folder in walk order (the folder's own files first), the
// files matching `pattern`, each through CleanPath. Names starting with "~" (lock files of office
// programs) and writable hidden files (attribute value exactly 34) are left out. Failures are
// reported through g, at the labels this work has inside "Add All File(s) In Folder".
//
// Names starting with "." are hidden by Unix custom. The folder button treats them by their
// attributes, as above; a front end may instead leave them all out (such folders are then not
// even entered) or take them all, the writable hidden files included.
enum class DotNames { ByAttributes, LeftOut, Taken };
void appendFolderFiles(Guard& g, FileListModel& list, const QString& folder, const QString& pattern,
                       DotNames dotNames = DotNames::ByAttributes);

// "Add File(s)": appends the paths the file dialog returned, each through CleanPath. The dialog
// here returns full paths with no size limit on the selection, so the "too many files" message
// of a fixed result buffer cannot arise and has no counterpart.
void appendChosenFiles(FileListModel& list, const QStringList& chosen);

// A drag is accepted only when it carries local files (or folders).
bool carriesLocalFiles(const QMimeData& data);
// The local paths a drag carries, in the order delivered.
QStringList droppedPaths(const QMimeData& data);

// A drop: each folder is walked on its own with "*.*" as appendFolderFiles does; anything else is
// appended exactly as dropped (no "~" test, no check). No prompt, no pointer, no setting.
void ListView1_OLEDragDrop(WindowServices& ws, FileListModel& list, const QStringList& paths);

}  // namespace vn::filelist
