#include "filelist/FolderWalk.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/Failure.h"
#include "core/NativeName.h"
#include "filelist/PathTests.h"
#include "platform/FileAttributes.h"
#include "textio/CaseFold.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <set>
#include <string>

namespace vn {

namespace {

const QChar kSep = QDir::separator();

struct Walk {
    WindowServices& ws;
    std::set<FileIdentity> seen;
    bool stopped = false;
    bool dotNames = true;

    void yield() {
        ws.yield();
        if (ws.quitRequested())
            stopped = true;
    }
};

enum class ListingEnd { Complete, Denied, NotFound, Failed };

ListingEnd endFor(int err) {
    switch (err) {
        case 0:
            return ListingEnd::Complete;
        case EACCES:
        case EPERM:
            return ListingEnd::Denied;
        case ENOENT:
        case ENOTDIR:
            return ListingEnd::NotFound;
        default:
            return ListingEnd::Failed;
    }
}

bool isRoot(const QString& folder) {
    return !folder.isEmpty() && folder.count(kSep) == folder.size();
}

// PATH_MAX counts the terminating NUL, so a usable path is shorter than it.
bool isShortEnough(const QString& folder) {
    return nativeName(folder).size() < PATH_MAX;
}

// A folder whose attributes cannot be read has usually just vanished; listing it finds that out
// and drops it quietly, so it is not reported here.
bool isWalkable(const QString& folder) {
    if (isRoot(folder))
        return true;
    try {
        return !isExcludedFolderAttributes(fileAttributes(folder));
    } catch (const Failure&) {
        return true;
    }
}

// The walker's own handler for listing one folder: failures here end that folder's listing
// quietly and say how it ended; the subfolders found before stay in `out`.
ListingEnd listSubfolders(Walk& w, const QString& folder, QStringList& out) {
    const DirectoryListing listing = listDirectory(folder);
    for (const DirectoryEntry& e : listing.entries) {
        // Vanished since the listing, or a dangling link or a loop of links: not a subfolder.
        if (e.statError == ENOENT || e.statError == ELOOP || e.statError == ENOTDIR)
            continue;
        if (e.statError != 0)
            return endFor(e.statError);
        if (!e.isFolder)
            continue;
        if (!w.dotNames && e.name.startsWith(QLatin1Char('.')))
            continue;
        w.yield();
        if (w.stopped)
            return ListingEnd::Complete;
        if (HasBadChars(e.name))
            continue;
        if (!w.seen.insert(e.identity).second)
            continue;
        out.append(folder + e.name + kSep);
    }
    return endFor(listing.error);
}

void walkLevel(Walk& w, QStringList& folders, bool recurse) {
    Guard g(w.ws, loc::GetSubDirectories2016);
    QStringList found;
    const QStringList given = folders;
    for (const QString& f : given) {
        if (w.stopped)
            return;
        if (!g.test(100, [&] { return IsFolder(f) && isShortEnough(f); }))
            continue;
        g.step(102, [&] { w.yield(); });
        if (w.stopped)
            return;
        if (!g.test(104, [&] { return isWalkable(f); }))
            continue;
        ListingEnd end = ListingEnd::Complete;
        g.step(106, [&] { end = listSubfolders(w, f, found); });
        if (end == ListingEnd::Denied || end == ListingEnd::NotFound)
            g.step(108, [&] { folders.removeOne(f); });
    }
    if (recurse && !found.isEmpty())
        g.step(110, [&] { walkLevel(w, found, true); });
    for (const QString& sub : found) {
        if (w.stopped)
            return;
        if (!g.test(112, [&] { return IsFolder(sub); }))
            continue;
        g.step(114, [&] { w.yield(); });
        if (g.test(116, [&] { return isWalkable(sub); }))
            g.step(118, [&] { folders.append(sub); });
    }
}

bool matchFrom(const QList<uint>& p, const QList<uint>& n, qsizetype pEnd) {
    qsizetype pi = 0, ni = 0, star = -1, mark = 0;
    while (ni < n.size()) {
        if (pi < pEnd && (p[pi] == '?' || (p[pi] != '*' && p[pi] == n[ni]))) {
            ++pi;
            ++ni;
        } else if (pi < pEnd && p[pi] == '*') {
            star = pi++;
            mark = ni;
        } else if (star >= 0) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < pEnd && p[pi] == '*') ++pi;
    return pi == pEnd;
}

}  // namespace

bool isExcludedFolderAttributes(int attributes) {
    constexpr int hiddenSystemFolder = attr::Hidden | attr::System | attr::Directory;
    return attributes == hiddenSystemFolder ||
           attributes == (hiddenSystemFolder | attr::ReparsePoint);
}

void GetSubDirectories2016(WindowServices& ws, QStringList& folders, bool recurse, bool dotNames) {
    Walk w{ws, {}, false, dotNames};
    for (const QString& f : folders) {
        FileIdentity id;
        if (fileIdentity(f, id))
            w.seen.insert(id);
    }
    walkLevel(w, folders, recurse);
}

QStringList GetFilesInFolder(const QString& folder, const QString& pattern) {
    const QString f = folder.endsWith(kSep) ? folder : folder + kSep;
    QStringList names;
    for (const DirectoryEntry& e : listDirectory(f).entries)
        if (e.isRegularFile && matchesWildcard(pattern, e.name))
            names.append(e.name);
    return names;
}

bool matchesWildcard(const QString& pattern, const QString& name) {
    // Code points, so "?" takes a whole character, lower-cased by the rule the rest of the
    // program ignores case with.
    const QList<uint> p = textio::lowerSimple(pattern).toUcs4();
    const QList<uint> n = textio::lowerSimple(name).toUcs4();
    const bool optionalExtension = p.size() >= 2 && p[p.size() - 2] == '.' && p.back() == '*';
    return matchFrom(p, n, p.size()) || (optionalExtension && matchFrom(p, n, p.size() - 2));
}

}  // namespace vn
