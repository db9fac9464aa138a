#pragma once

#include "core/WindowServices.h"
#include "filelist/FileListModel.h"

#include <QString>

namespace vn::filelist {

// Remove every entry whose whole path contains (or does not contain) the text, ignoring case.
// Yields once per entry while it decides and removes only afterwards, from the back, so the
// positions still to be removed never shift; the survivors keep their order. Entries appended
// during a yield are not looked at. Stops without removing anything once the program is asked
// to end.
void RemoveEntriesContaining(WindowServices& ws, FileListModel& list, const QString& text);
void RemoveEntriesNotContaining(WindowServices& ws, FileListModel& list, const QString& text);

// "Remove Filenames Cont X" and "Remove Filenames Not Cont. X": ask for the text, then remove
// under the hourglass. An empty answer does nothing.
void PushButton9_Click(WindowServices& ws, FileListModel& list);
void PushButton11_Click(WindowServices& ws, FileListModel& list);

// "Clear List": nothing while the hourglass shows.
void PushButton7_Click(WindowServices& ws, FileListModel& list);

// A double-click on the entry at `position` (0 when none is selected): removes it, unless the
// hourglass shows.
void ListView1_DblClick(const WindowServices& ws, FileListModel& list, int position);

// One step of drag reordering: exchanges the texts of the dragged entry and the entry under the
// mouse. Returns false, changing nothing, when either position is not in the list or the texts
// are equal; on true the caller selects `hover` and follows the dragged text there.
bool exchangeDraggedEntry(FileListModel& list, int dragged, int hover);

}  // namespace vn::filelist
