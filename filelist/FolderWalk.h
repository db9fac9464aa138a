#pragma once

#include "core/WindowServices.h"

#include <QString>
#include <QStringList>

namespace vn {

// The folder walker. `folders` holds folder paths that end with a separator; the walk appends
// every reachable subfolder to it, level by level: first all children of the given folders (each
// folder's children in name order, the first folder's before the second's), then all
// grandchildren, and so on. With recurse false only the children are added.
//
// Left out, with everything below them: names with control characters, characters 127 to 159 or
// "?", hidden + system folders (the exact values 22 and 1046,
// unless a root), folders whose path reaches the system's path length limit, and any folder
// already reached by another path (a symbolic link), so a link loop ends and nothing comes twice.
// A given or found folder that cannot be listed for lack of permission, or that has vanished, is
// removed from the result, so its files are not listed either; other listing failures leave the
// folder in place with the subfolders found so far. None of these is reported; any other failure
// is reported through ws with the walker's own location, and the walk goes on.
//
// With dotNames false, subfolders whose names start with "." (hidden by Unix custom) are neither
// walked nor added; the given folders are walked whatever their names.
//
// Yields before looking into each folder, for each subfolder, and for each folder it adds; stops
// early once the program is asked to end.
void GetSubDirectories2016(WindowServices& ws, QStringList& folders, bool recurse,
                           bool dotNames = true);

// True for the attribute values the walker neither walks nor lists (hidden + system folders,
// with or without the reparse point); a folder that is only hidden is walked.
bool isExcludedFolderAttributes(int attributes);

// The bare names of the regular files in a folder (with or without a trailing separator) that
// match a Windows wildcard pattern, hidden files included, folders never, in name order. A
// folder that does not exist or cannot be read gives an empty list. Does not recurse.
QStringList GetFilesInFolder(const QString& folder, const QString& pattern);

// Windows wildcard matching, ignoring case: "*" matches any run of characters, "?" exactly one,
// and a trailing ".*" also matches names without that extension, so "*.*" matches every name.
bool matchesWildcard(const QString& pattern, const QString& name);

}  // namespace vn
