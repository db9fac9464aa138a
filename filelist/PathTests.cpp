#include "filelist/PathTests.h"

#include "platform/FileAttributes.h"

namespace vn {

QString CleanPath(const QString& path, QChar separator) {
    const QString pair(2, separator);
    const QString one(1, separator);
    if (!path.startsWith(separator))
        return QString(path).replace(pair, one);
    qsizetype p = 0;
    while (p < path.size() && path[p] == separator) ++p;
    // Two leading backslashes are a share prefix; a POSIX path has a single root separator.
    const QString root = separator == QLatin1Char('\\') ? pair : one;
    return root + path.mid(p).replace(pair, one);
}

bool IsFolder(const QString& path) {
    try {
        return (fileAttributes(path) & attr::Directory) != 0;
    } catch (...) {
        return false;
    }
}

bool PathExists(const QString& path) {
    return hasReadableMetadata(path);
}

bool IsExistingFile(const QString& path) {
    return isRegularFile(path);
}

bool HasBadChars(const QString& name) {
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u < 32 || (u >= 127 && u <= 159) || u == u'?')
            return true;
    }
    return false;
}

}  // namespace vn
