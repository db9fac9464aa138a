#pragma once

#include <QChar>
#include <QDir>
#include <QString>

namespace vn {

// Normalises the separators that joining paths leaves behind. Away from the start, each pair of
// separators becomes one, pairs taken left to right without overlap (so three in a row become
// two). A leading run of separators becomes the path's root: with "\" exactly two, a share
// prefix (a lone leading "\" gains one); with "/" exactly one. The empty path stays empty.
QString CleanPath(const QString& path, QChar separator = QDir::separator());

// True when the path (a link followed) is a folder; false when it is not or cannot be examined.
bool IsFolder(const QString& path);

// True when the path's modification time can be read. Never reports.
bool PathExists(const QString& path);

// True when the path is a file that could be opened, without requesting any access to it (so a
// file another program holds open counts); false for folders and anything else.
bool IsExistingFile(const QString& path);

// True when a folder name holds a character the walker refuses: a control character (below 32),
// a character from 127 to 159, or "?". Letters of any script are accepted.
bool HasBadChars(const QString& name);

}  // namespace vn
