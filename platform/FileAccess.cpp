#include "platform/FileAccess.h"

#include "platform/Failure.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vn {
namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

QByteArray nativePath(const QString& path) { return QFile::encodeName(path); }

QString kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("it is a folder, not a file");
    if (S_ISFIFO(mode)) return QStringLiteral("it is a pipe (FIFO), not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(mode)) return QStringLiteral("it is a socket, not a regular file");
    return QStringLiteral("it is not a regular file");
}

// Opens for reading without ever blocking on a FIFO or a device, and refuses anything that is
// not a regular file.
int openRegularForRead(const QString& path, struct stat& st) {
    const QByteArray native = nativePath(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw Failure::fromErrno(QStringLiteral("Cannot open"), path, errno);
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw Failure::fromErrno(QStringLiteral("Cannot open"), path, err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Failure::withReason(QStringLiteral("Cannot open"), path, kindOf(st.st_mode));
    }
    return fd;
}

std::size_t readFully(int fd, char* out, std::size_t count, const QString& path) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw Failure::fromErrno(QStringLiteral("Cannot read"), path, err);
        }
        if (n == 0) break;  // the file shrank under us: take what is there
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// A file-size limit must give EFBIG to the writer, which then reports it, rather than kill the
// whole program with SIGXFSZ.
void ignoreFileSizeSignalOnce() {
    static const bool done = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)done;
}

// Links an unnamed (O_TMPFILE) file into its folder under a fresh name made from `pattern`,
// whose last six characters are replaced.
bool nameUnnamedFile(int fd, QByteArray& pattern) {
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (qsizetype i = pattern.size() - 6; i < pattern.size(); ++i)
            pattern[i] = digits[std::rand() % 36];
        if (::linkat(AT_FDCWD, procPath.constData(), AT_FDCWD, pattern.constData(),
                     AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno == EEXIST) continue;
        // Without /proc, root can still link the descriptor itself.
        if (::linkat(fd, "", AT_FDCWD, pattern.constData(), AT_EMPTY_PATH) == 0) return true;
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Follows symbolic links to the file they finally name, even when that file does not exist yet.
QString resolveLinks(const QString& path) {
    QString current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(nativePath(current).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        const QString link = QFile::symLinkTarget(current);
        if (link.isEmpty()) return current;
        current = link;
    }
    throw Failure::fromErrno(QStringLiteral("Cannot write"), path, ELOOP);
}

}  // namespace

FileBytes readWholeFile(const QString& path) {
    struct stat st;
    const int fd = openRegularForRead(path, st);
    FileBytes result;
    const std::size_t expected = static_cast<std::size_t>(st.st_size);
    try {
        result.buffer = std::make_unique_for_overwrite<char16_t[]>(expected / 2 + 2);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        throw Failure::withReason(QStringLiteral("Cannot read"), path,
                                  QStringLiteral("not enough memory to hold the file"));
    }
    result.size = readFully(fd, result.data(), expected, path);
    ::close(fd);
    return result;
}

FileReader::FileReader(const QString& path) : m_path(path) {
    struct stat st;
    m_fd = openRegularForRead(path, st);
    m_size = static_cast<std::uint64_t>(st.st_size);
}

FileReader::~FileReader() { close(); }

void FileReader::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::size_t FileReader::readAt(std::uint64_t offset, char* out, std::size_t count) {
    if (m_fd < 0)
        throw Failure::withReason(QStringLiteral("Cannot read"), m_path,
                                  QStringLiteral("the file is not open"));
    if (offset >= m_size) return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - offset));
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, out + done, count - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Failure::fromErrno(QStringLiteral("Cannot read"), m_path, errno);
        }
        if (n == 0) break;  // the file shrank under us: take what is there
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::int64_t readFileHead(const QString& path, unsigned char* out, std::size_t count) {
    struct stat st;
    const int fd = openRegularForRead(path, st);
    std::memset(out, 0, count);
    readFully(fd, reinterpret_cast<char*>(out), count, path);
    ::close(fd);
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t fileSizeOrMinusOne(const QString& path) {
    try {
        struct stat st;
        const int fd = openRegularForRead(path, st);
        ::close(fd);
        return static_cast<std::int64_t>(st.st_size);
    } catch (const Failure&) {
        return -1;
    }
}

AtomicFile::AtomicFile(QString targetPath) : m_target(std::move(targetPath)) {}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::fail(const char* action, int err) {
    const QString target = m_target;
    discard();
    throw Failure::fromErrno(QString::fromLatin1(action), target, err);
}

void AtomicFile::open(bool keepExisting) {
    ignoreFileSizeSignalOnce();
    discard();
    m_resolved = resolveLinks(m_target);
    const QByteArray resolved = nativePath(m_resolved);

    struct stat st;
    const bool exists = ::stat(resolved.constData(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode))
            throw Failure::withReason(QStringLiteral("Cannot write"), m_target, kindOf(st.st_mode));
        if (!(st.st_mode & S_IWUSR))
            throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                      QStringLiteral("the file is read-only"));
        m_mode = st.st_mode & 07777;
        m_keepOwner = true;
        m_uid = st.st_uid;
        m_gid = st.st_gid;
    } else {
        if (errno != ENOENT) fail("Cannot write", errno);
        m_mode = 0666 & ~currentUmask();
        m_keepOwner = false;
    }

    const QFileInfo info(m_resolved);
    const QString folder = info.absolutePath();
    struct stat folderStat;
    if (::stat(nativePath(folder).constData(), &folderStat) != 0) fail("Cannot write", errno);
    if (!S_ISDIR(folderStat.st_mode)) fail("Cannot write", ENOTDIR);

    // An unnamed file first: a kill while it is written leaves nothing in the folder. It gets a
    // name only for the instant between linking and renaming it over the target. Where the file
    // system has no unnamed files, a named temporary file stands in.
    m_namePattern = nativePath(folder + QStringLiteral("/.") + info.fileName() +
                               QStringLiteral(".varnobis-XXXXXX"));
    int fd = ::open(nativePath(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        m_unnamed = true;
    } else {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            fail("Cannot write", errno);
        QByteArray pattern = m_namePattern;
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) fail("Cannot write", errno);
        m_unnamed = false;
        m_temp = QFile::decodeName(pattern);
    }
    m_fd = fd;
    m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
    m_used = 0;
    m_written = 0;

    if (keepExisting && exists) {
        const int in = ::open(resolved.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (in < 0) fail("Cannot append to", errno);
        for (;;) {
            const ssize_t n = ::read(in, m_buffer.get(), kWriteBuffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int err = errno;
                ::close(in);
                fail("Cannot append to", err);
            }
            if (n == 0) break;
            m_used = static_cast<std::size_t>(n);
            try {
                flushBuffer();
            } catch (...) {
                ::close(in);
                throw;
            }
        }
        ::close(in);
    }
}

void AtomicFile::restart() {
    if (m_fd < 0) return;
    m_used = 0;
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) fail("Cannot write", errno);
    m_written = 0;
}

void AtomicFile::flushBuffer() {
    std::size_t done = 0;
    while (done < m_used) {
        const ssize_t n = ::write(m_fd, m_buffer.get() + done, m_used - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("Cannot write", errno);
        }
        if (n == 0) fail("Cannot write", ENOSPC);
        done += static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
    }
    m_used = 0;
}

void AtomicFile::write(const char* data, std::size_t size) {
    if (m_fd < 0) throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                            QStringLiteral("the file is not open"));
    while (size > 0) {
        if (m_used == 0 && size >= kWriteBuffer) {
            // Large pieces go straight to the file, without a copy through the buffer.
            std::size_t done = 0;
            while (done < size) {
                const ssize_t n = ::write(m_fd, data + done, size - done);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    fail("Cannot write", errno);
                }
                if (n == 0) fail("Cannot write", ENOSPC);
                done += static_cast<std::size_t>(n);
                m_written += static_cast<std::uint64_t>(n);
            }
            return;
        }
        const std::size_t room = kWriteBuffer - m_used;
        const std::size_t take = size < room ? size : room;
        std::memcpy(m_buffer.get() + m_used, data, take);
        m_used += take;
        data += take;
        size -= take;
        if (m_used == kWriteBuffer) flushBuffer();
    }
}

void AtomicFile::commit() {
    if (m_fd < 0) throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                            QStringLiteral("the file is not open"));
    flushBuffer();
    if (m_keepOwner) {
        // Only root may give a file away; for anyone else the owner is already right.
        if (::fchown(m_fd, m_uid, m_gid) != 0 && errno != EPERM) fail("Cannot write", errno);
    }
    if (::fchmod(m_fd, m_mode) != 0) fail("Cannot write", errno);
    if (::fsync(m_fd) != 0) fail("Cannot write", errno);
    if (m_unnamed) {
        // Give the finished file a name, so that rename can put it in place in one step.
        QByteArray pattern = m_namePattern;
        if (!nameUnnamedFile(m_fd, pattern)) fail("Cannot write", errno);
        m_temp = QFile::decodeName(pattern);
        m_unnamed = false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(nativePath(m_temp).constData());
        m_temp.clear();
        throw Failure::fromErrno(QStringLiteral("Cannot write"), m_target, err);
    }
    if (::rename(nativePath(m_temp).constData(), nativePath(m_resolved).constData()) != 0) {
        const int err = errno;
        ::unlink(nativePath(m_temp).constData());
        m_temp.clear();
        throw Failure::fromErrno(QStringLiteral("Cannot replace"), m_target, err);
    }
    m_temp.clear();
    m_buffer.reset();
}

void AtomicFile::discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temp.isEmpty()) {
        ::unlink(nativePath(m_temp).constData());
        m_temp.clear();
    }
    m_buffer.reset();
    m_used = 0;
}

bool isSameFile(const QString& a, const QString& b) {
    struct stat sa, sb;
    if (::stat(nativePath(a).constData(), &sa) != 0) return false;
    if (::stat(nativePath(b).constData(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool AtomicFile::holdsSameBytesAs(const QString& path) {
    if (m_fd < 0) return false;
    flushBuffer();
    // The temporary may be write-only and unnamed; its descriptor's entry opens it for reading.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    const int mine = ::open(self.constData(), O_RDONLY | O_CLOEXEC);
    if (mine < 0) return false;
    const int theirs = ::open(nativePath(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (theirs < 0) {
        ::close(mine);
        return false;
    }
    constexpr std::size_t kChunk = 1 << 16;
    auto a = std::make_unique_for_overwrite<char[]>(kChunk);
    auto b = std::make_unique_for_overwrite<char[]>(kChunk);
    auto fill = [](int fd, char* out, std::size_t count) -> ssize_t {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd, out + done, count - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) break;
            done += std::size_t(n);
        }
        return ssize_t(done);
    };
    bool same = true;
    for (;;) {
        const ssize_t na = fill(mine, a.get(), kChunk);
        const ssize_t nb = fill(theirs, b.get(), kChunk);
        if (na < 0 || nb < 0 || na != nb || std::memcmp(a.get(), b.get(), std::size_t(na)) != 0) {
            same = false;
            break;
        }
        if (na == 0) break;
    }
    ::close(mine);
    ::close(theirs);
    return same;
}

}  // namespace vn
