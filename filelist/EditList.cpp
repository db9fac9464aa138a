#include "filelist/EditList.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "textio/CaseFold.h"

#include <vector>

namespace vn::filelist {

namespace {

void removeEntries(WindowServices& ws, FileListModel& list, const QString& text, bool containing) {
    // Case is ignored by the rule the removal run uses, so "ix" finds "İx" in a path here as it
    // does in a file's lines.
    const QString needle = textio::lowerSimple(text);
    std::vector<int> marked;
    const int n = list.count();
    for (int i = 1; i <= n; ++i) {
        ws.yield();
        if (ws.quitRequested())
            return;
        // Something may have gone from the list while the window ran its events.
        if (i > list.count())
            break;
        if (textio::lowerSimple(list.text(i)).contains(needle) == containing)
            marked.push_back(i);
    }
    for (auto it = marked.rbegin(); it != marked.rend(); ++it)
        if (*it <= list.count())
            list.removeAt(*it);
}

void removeByText(WindowServices& ws, FileListModel& list, const char* location,
                  const QString& prompt, bool containing) {
    Guard g(ws, location);
    QString answer;
    g.step(100, [&] { answer = ws.inputBox(prompt, QString(), QString()); });
    if (g.test(102, [&] { return answer.isEmpty(); }))
        return;
    g.step(104, [&] { ws.setPointer(Pointer::Hourglass); });
    g.step(106, [&] { removeEntries(ws, list, answer, containing); });
    g.step(108, [&] { ws.setPointer(Pointer::Arrow); });
}

}  // namespace

void RemoveEntriesContaining(WindowServices& ws, FileListModel& list, const QString& text) {
    removeEntries(ws, list, text, true);
}

void RemoveEntriesNotContaining(WindowServices& ws, FileListModel& list, const QString& text) {
    removeEntries(ws, list, text, false);
}

void PushButton9_Click(WindowServices& ws, FileListModel& list) {
    removeByText(ws, list, loc::PushButton9_Click, QStringLiteral("Remove entries containing: "),
                 true);
}

void PushButton11_Click(WindowServices& ws, FileListModel& list) {
    removeByText(ws, list, loc::PushButton11_Click,
                 QStringLiteral("Remove entries not containing: "), false);
}

void PushButton7_Click(WindowServices& ws, FileListModel& list) {
    if (ws.isBusy())
        return;
    Guard g(ws, loc::PushButton7_Click);
    g.step(100, [&] { list.clear(); });
}

void ListView1_DblClick(const WindowServices& ws, FileListModel& list, int position) {
    if (ws.isBusy() || position < 1 || position > list.count())
        return;
    list.removeAt(position);
}

bool exchangeDraggedEntry(FileListModel& list, int dragged, int hover) {
    const int n = list.count();
    if (dragged < 1 || dragged > n || hover < 1 || hover > n)
        return false;
    const QString draggedText = list.text(dragged);
    const QString hoverText = list.text(hover);
    if (draggedText == hoverText)
        return false;
    list.setText(dragged, hoverText);
    list.setText(hover, draggedText);
    return true;
}

}  // namespace vn::filelist
