#include "platform/FileAttributes.h"

#include "core/Failure.h"
#include "core/NativeName.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vn {

namespace {

QString lastComponent(const QString& path) {
    qsizetype end = path.size();
    while (end > 0 && path[end - 1] == QLatin1Char('/')) --end;
    const qsizetype start = path.lastIndexOf(QLatin1Char('/'), end - 1) + 1;
    return end > 0 ? path.mid(start, end - start) : QString();
}

}  // namespace

int fileAttributes(const QString& path) {
    const QByteArray native = nativeName(path);
    struct stat own;
    if (::lstat(native.constData(), &own) != 0)
        throw Failure::fromErrno(QStringLiteral("Cannot read the attributes of"), path, errno);
    struct stat target = own;
    int value = 0;
    if (S_ISLNK(own.st_mode)) {
        value |= attr::ReparsePoint;
        // A dangling link keeps only its own attributes.
        if (::stat(native.constData(), &target) != 0)
            target = own;
    }
    if (S_ISDIR(target.st_mode))
        value |= attr::Directory;
    else if (S_ISREG(target.st_mode))
        value |= attr::Archive;
    if (!S_ISLNK(target.st_mode) && !(target.st_mode & S_IWUSR))
        value |= attr::ReadOnly;
    if (lastComponent(path).startsWith(QLatin1Char('.')))
        value |= attr::Hidden;
    return value;
}

bool isRegularFile(const QString& path) noexcept {
    try {
        struct stat st;
        return ::stat(nativeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
    } catch (...) {
        return false;
    }
}

bool hasReadableMetadata(const QString& path) noexcept {
    try {
        struct stat st;
        return !path.isEmpty() && ::stat(nativeName(path).constData(), &st) == 0;
    } catch (...) {
        return false;
    }
}

bool fileIdentity(const QString& path, FileIdentity& out) noexcept {
    try {
        struct stat st;
        if (::stat(nativeName(path).constData(), &st) != 0)
            return false;
        out = {st.st_dev, st.st_ino};
        return true;
    } catch (...) {
        return false;
    }
}

DirectoryListing listDirectory(const QString& folder) {
    DirectoryListing result;
    const int fd = ::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        result.error = errno;
        ::close(fd);
        return result;
    }
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir);
        if (!d) {
            result.error = errno;
            break;
        }
        const QByteArray raw(d->d_name);
        if (raw == "." || raw == "..")
            continue;
        DirectoryEntry e;
        // Decoded so that nativeName gives back exactly these bytes, valid UTF-8 or not.
        e.name = nameFromNative(raw);
        // The listing says what most entries are: a regular file needs no look of its own
        // (a large folder would cost one per file). Links, folders (whose identity the walks
        // need) and entries of file systems that do not say are looked at.
#ifdef _DIRENT_HAVE_D_TYPE
        if (d->d_type == DT_REG) {
            e.isRegularFile = true;
            result.entries.push_back(std::move(e));
            continue;
        }
#endif
        struct stat st;
        if (::fstatat(fd, d->d_name, &st, 0) == 0) {
            e.isFolder = S_ISDIR(st.st_mode);
            e.isRegularFile = S_ISREG(st.st_mode);
            e.identity = {st.st_dev, st.st_ino};
        } else {
            e.statError = errno;
        }
        result.entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(result.entries.begin(), result.entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) {
                  const int c = a.name.compare(b.name, Qt::CaseInsensitive);
                  return c != 0 ? c < 0 : a.name < b.name;
              });
    return result;
}

}  // namespace vn
