#include "platform/FileAccess.h"

#include "core/Failure.h"
#include "core/NativeName.h"
#include "platform/Processors.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/statfs.h>
#endif
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vn {
namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;
// The block the write buffer lives in: the size and alignment of one large page.
constexpr std::size_t kWriteBlock = std::size_t(2) << 20;

}  // namespace

// The buffer lives in a block the system may back with one large page. In small pages a fresh
// megabyte costs 256 page faults, each some 10 µs on a virtual machine (about 3 ms in all), in
// every process; one large page costs some 0.1 ms. Where the system keeps large pages for
// itself, the block simply gets small ones.
AtomicFile::Buffer AtomicFile::takeBuffer() {
    if (spareBuffer())
        return std::move(spareBuffer());
    // Twice the block's size is asked for, so that an aligned block lies inside; the rest goes
    // back at once.
    void* area = ::mmap(nullptr, 2 * kWriteBlock, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t block = (begin + kWriteBlock - 1) / kWriteBlock * kWriteBlock;
    if (block > begin)
        ::munmap(area, block - begin);
    ::munmap(reinterpret_cast<void*>(block + kWriteBlock), begin + kWriteBlock - block);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(block), kWriteBlock, MADV_HUGEPAGE);
#endif
    return Buffer(reinterpret_cast<char*>(block));
}

// The write buffer of the last finished file, kept for the next one: a run over thousands of
// small files would otherwise ask the system for a fresh block each time and give it back.
AtomicFile::Buffer& AtomicFile::spareBuffer() {
    thread_local Buffer spare;
    return spare;
}

void AtomicFile::giveBack(Buffer buffer) {
    if (buffer && !spareBuffer())
        spareBuffer() = std::move(buffer);
}

void AtomicFile::BufferDeleter::operator()(char* block) const {
    ::munmap(block, kWriteBlock);
}

namespace {

QByteArray nativePath(const QString& path) {
    return nativeName(path);
}

QString kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder, not a file");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a pipe (FIFO), not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
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
    if (fd < 0)
        throw Failure::fromErrno(QStringLiteral("Cannot open"), path, errno);
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
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            throw Failure::fromErrno(QStringLiteral("Cannot read"), path, err);
        }
        if (n == 0)
            break;  // the file shrank under us: take what is there
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

FileStamp stampOf(const struct stat& st) {
    FileStamp s;
    s.valid = true;
    s.device = std::uint64_t(st.st_dev);
    s.inode = std::uint64_t(st.st_ino);
    s.size = std::int64_t(st.st_size);
    s.mtimeSeconds = std::int64_t(st.st_mtim.tv_sec);
    s.mtimeNanoseconds = std::int64_t(st.st_mtim.tv_nsec);
    return s;
}

// A fresh temporary name: the prefix and random letters from the kernel's generator, so names
// cannot be foreseen by another user who might create them first.
QByteArray temporaryName() {
    unsigned char bytes[kTemporaryLetters];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure::fromErrno(QStringLiteral("Cannot make a temporary name for"),
                                     QStringLiteral("random letters"), errno);
        got += std::size_t(n);
    }
    QByteArray name(kTemporaryPrefix);
    for (const unsigned char b : bytes) name += char('a' + b % 26);
    return name;
}

bool isTemporaryName(const char* name) {
    const std::size_t prefix = sizeof kTemporaryPrefix - 1;
    if (std::strncmp(name, kTemporaryPrefix, prefix) != 0)
        return false;
    if (std::strlen(name) != prefix + kTemporaryLetters)
        return false;
    for (std::size_t i = prefix; i < prefix + kTemporaryLetters; ++i)
        if (name[i] < 'a' || name[i] > 'z')
            return false;
    return true;
}

// A kill between naming a temporary file and renaming it, or during a write on a file system
// without unnamed files, leaves a temporary name behind. The next write in that folder removes
// the ones this user owns once they are old enough that no live writer can still be using them.
// Tidying is best effort: a folder that cannot be listed is simply left alone.
//
// Listing costs time in proportion to the folder's size, and a run over thousands of files in
// one folder writes there thousands of times; since a leftover is only removed once it is a
// minute old, a folder is listed at most once a minute.
bool tidiedLately(const QByteArray& folder) {
    static std::mutex lock;
    static std::map<QByteArray, time_t> lastTidied;
    const QByteArray& key = folder;
    const time_t now = ::time(nullptr);
    const std::lock_guard<std::mutex> hold(lock);
    const auto it = lastTidied.find(key);
    if (it != lastTidied.end() && now >= it->second && now - it->second < 60)
        return true;
    if (lastTidied.size() >= 4096)
        lastTidied.clear();
    lastTidied[key] = now;
    return false;
}

void removeLeftovers(int dirfd) {
    const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    const time_t now = ::time(nullptr);
    while (const dirent* d = ::readdir(dir)) {
        if (!isTemporaryName(d->d_name))
            continue;
        struct stat st;
        if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (now - st.st_mtim.tv_sec < 60)
            continue;
        ::unlinkat(fd, d->d_name, 0);
    }
    ::closedir(dir);
}

// The real path of an open folder, as the system resolved it.
QByteArray folderPathOf(int dirfd, const QByteArray& fallback) {
    char buf[PATH_MAX];
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(dirfd);
    const ssize_t n = ::readlink(proc.constData(), buf, sizeof buf);
    if (n > 0 && std::size_t(n) < sizeof buf && buf[0] == '/')
        return QByteArray(buf, n);
    char* real = ::realpath(fallback.constData(), nullptr);
    if (!real)
        return fallback;
    QByteArray out(real);
    std::free(real);
    return out;
}

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

bool isPermissionError(int err) {
    return err == EPERM || err == EACCES;
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
    m_stamp = stampOf(st);
#ifdef __linux__
    // Read from start to end: where the file is not yet in memory, the system may read further
    // ahead of the reader. Only a hint; nothing depends on it. A small file is read whole by the
    // system's usual read-ahead already, and the call would only cost it a system call.
    constexpr std::uint64_t kSequentialHint = std::uint64_t(1) << 20;
    if (m_size > kSequentialHint)
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

FileReader::~FileReader() {
    close();
}

void FileReader::close() {
    unmap();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::size_t FileReader::readAt(std::uint64_t offset, char* out, std::size_t count) {
    if (m_fd < 0)
        throw Failure::withReason(QStringLiteral("Cannot read"), m_path,
                                  QStringLiteral("the file is not open"));
    if (offset >= m_size)
        return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - offset));
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, out + done, count - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Failure::fromErrno(QStringLiteral("Cannot read"), m_path, errno);
        }
        if (n == 0)
            break;  // the file shrank under us: take what is there
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

PathFacts lookAt(const QString& path) {
    PathFacts facts;
    const QByteArray native = nativePath(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0)
        return facts;
    facts.exists = true;
    facts.folder = S_ISDIR(st.st_mode);
    facts.device = std::uint64_t(st.st_dev);
    facts.inode = std::uint64_t(st.st_ino);
    facts.size = std::int64_t(st.st_size);
    facts.readableFile =
        S_ISREG(st.st_mode) && ::faccessat(AT_FDCWD, native.constData(), R_OK, AT_EACCESS) == 0;
    return facts;
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

AtomicFile::~AtomicFile() {
    discard();
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept {
    *this = std::move(other);
}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept {
    if (this == &other)
        return *this;
    discard();
    m_target = std::exchange(other.m_target, QString());
    m_dirfd = std::exchange(other.m_dirfd, -1);
    m_folder = std::exchange(other.m_folder, QByteArray());
    m_name = std::exchange(other.m_name, QByteArray());
    m_temp = std::exchange(other.m_temp, QByteArray());
    m_unnamed = std::exchange(other.m_unnamed, false);
    m_fd = std::exchange(other.m_fd, -1);
    m_mode = other.m_mode;
    m_exists = other.m_exists;
    m_uid = other.m_uid;
    m_gid = other.m_gid;
    m_device = other.m_device;
    m_inode = other.m_inode;
    m_sourcePath = std::exchange(other.m_sourcePath, QString());
    m_source = std::exchange(other.m_source, FileStamp());
    m_buffer = std::move(other.m_buffer);
    m_used = std::exchange(other.m_used, 0);
    m_written = std::exchange(other.m_written, 0);
    m_writeBack = std::exchange(other.m_writeBack, 0);
    m_early = std::move(other.m_early);
    m_prepared = std::exchange(other.m_prepared, false);
    m_synced = std::exchange(other.m_synced, false);
    m_syncError = std::exchange(other.m_syncError, 0);
    return *this;
}

void AtomicFile::fail(const char* action, int err) {
    const QString target = m_target;
    discard();
    throw Failure::fromErrno(QString::fromLatin1(action), target, err);
}

void AtomicFile::failWith(const char* action, const QString& reason) {
    const QString target = m_target;
    discard();
    throw Failure::withReason(QString::fromLatin1(action), target, reason);
}

void AtomicFile::expectSource(const QString& inputPath, const FileStamp& stamp) {
    m_sourcePath = inputPath;
    m_source = stamp;
}

// Finds the folder and name of the file the target finally names. The folders on the way are
// opened by the system, which follows their links itself; only a link in the last place is read
// here, one hop at a time, so that the shared-folder rule can be applied to each. A link's text
// is joined to the real path of the folder that holds it and never tidied as text, so ".." means
// what it means to the system. True when that file exists; `st` then describes it.
bool AtomicFile::resolveTarget(struct stat& st) {
    QByteArray path = nativePath(m_target);
    for (int hops = 0;; ++hops) {
        if (hops > 40)
            fail("Cannot write", ELOOP);
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray folder = slash < 0    ? QByteArray(".")
                                  : slash == 0 ? QByteArray("/")
                                               : path.left(slash);
        const QByteArray name = slash < 0 ? path : path.mid(slash + 1);
        if (name.isEmpty() || name == "." || name == "..")
            failWith("Cannot write", QStringLiteral("it is a folder, not a file"));
        const int dirfd = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirfd < 0)
            fail("Cannot write", errno);
        if (m_dirfd >= 0)
            ::close(m_dirfd);
        m_dirfd = dirfd;
        m_folder = folder;
        m_name = name;
        if (::fstatat(dirfd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                return false;
            fail("Cannot write", errno);
        }
        if (!S_ISLNK(st.st_mode))
            return true;
        struct stat dir;
        if (::fstat(dirfd, &dir) != 0)
            fail("Cannot write", errno);
        const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
        if (shared && st.st_uid != ::geteuid() && st.st_uid != dir.st_uid)
            failWith("Cannot write",
                     QStringLiteral("it is a symbolic link that another user owns in a shared "
                                    "folder; such a link is not followed"));
        QByteArray link(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = ::readlinkat(dirfd, name.constData(), link.data(), link.size());
        if (n < 0)
            fail("Cannot write", errno);
        if (n >= link.size())
            fail("Cannot write", ENAMETOOLONG);
        link.truncate(n);
        path = link.startsWith('/') ? link : folderPathOf(dirfd, folder) + '/' + link;
    }
}

void AtomicFile::open(bool keepExisting) {
    ignoreFileSizeSignalOnce();
    discard();

    // The look that found the target serves for its checks: its kind, permissions and links.
    struct stat st;
    m_exists = resolveTarget(st);
    if (m_exists) {
        if (!S_ISREG(st.st_mode))
            failWith("Cannot write", kindOf(st.st_mode));
        // The owner's write bit is the file's own "read-only" mark; root could write past it,
        // but a file its owner protected is not replaced behind their back.
        if (!(st.st_mode & S_IWUSR))
            failWith("Cannot write", QStringLiteral("the file is read-only"));
        // Renaming over a file needs only the folder's permission; the file's own must hold too,
        // or a user could replace (and take over) a file they may only read.
        if (::faccessat(m_dirfd, m_name.constData(), W_OK, AT_EACCESS) != 0)
            fail("Cannot write", errno);
        if (st.st_nlink > 1)
            failWith("Cannot write",
                     QStringLiteral("the file has %1 hard links; replacing it would split them, "
                                    "so it is left as it is")
                         .arg(qulonglong(st.st_nlink)));
        m_mode = st.st_mode & 07777;
        m_uid = st.st_uid;
        m_gid = st.st_gid;
        m_device = std::uint64_t(st.st_dev);
        m_inode = std::uint64_t(st.st_ino);
    } else {
        m_mode = 0666 & ~currentUmask();
    }

    if (!tidiedLately(m_folder))
        removeLeftovers(m_dirfd);

    // An unnamed file first: a kill while it is written leaves nothing in the folder. It gets a
    // name only for the instant between linking and renaming it over the target. Where the file
    // system has no unnamed files, a named temporary file stands in.
    int fd = ::openat(m_dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        m_unnamed = true;
    } else {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            fail("Cannot write", errno);
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            const QByteArray name = temporaryName();
            fd = ::openat(m_dirfd, name.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0)
                m_temp = name;
            else if (errno != EEXIST)
                fail("Cannot write", errno);
        }
        if (fd < 0)
            fail("Cannot write", EEXIST);
        m_unnamed = false;
    }
    m_fd = fd;
    m_buffer = takeBuffer();
    m_used = 0;
    m_written = 0;

    if (keepExisting && m_exists) {
        const int in =
            ::openat(m_dirfd, m_name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (in < 0)
            fail("Cannot append to", errno);
        for (;;) {
            const ssize_t n = ::read(in, m_buffer.get(), kWriteBuffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int err = errno;
                ::close(in);
                fail("Cannot append to", err);
            }
            if (n == 0)
                break;
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
    if (m_fd < 0)
        return;
    m_prepared = m_synced = false;
    m_used = 0;
    // What an early sync found about the content dropped here is no concern of the new one's.
    awaitEarlySync();
    m_early.reset();
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        fail("Cannot write", errno);
    m_written = m_writeBack = 0;
}

void AtomicFile::flushBuffer() {
    std::size_t done = 0;
    while (done < m_used) {
        const ssize_t n = ::write(m_fd, m_buffer.get() + done, m_used - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Cannot write", errno);
        }
        if (n == 0)
            fail("Cannot write", ENOSPC);
        done += static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
    }
    m_used = 0;
}

void AtomicFile::write(const char* data, std::size_t size) {
    if (m_fd < 0)
        throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                  QStringLiteral("the file is not open"));
    m_prepared = m_synced = false;
    if (!m_buffer)
        m_buffer = takeBuffer();
    while (size > 0) {
        if (m_used == 0 && size >= kWriteBuffer) {
            // Large pieces go straight to the file, without a copy through the buffer.
            std::size_t done = 0;
            while (done < size) {
                const ssize_t n = ::write(m_fd, data + done, size - done);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    fail("Cannot write", errno);
                }
                if (n == 0)
                    fail("Cannot write", ENOSPC);
                done += static_cast<std::size_t>(n);
                m_written += static_cast<std::uint64_t>(n);
            }
            startWriteBack();
            return;
        }
        const std::size_t room = kWriteBuffer - m_used;
        const std::size_t take = size < room ? size : room;
        std::memcpy(m_buffer.get() + m_used, data, take);
        m_used += take;
        data += take;
        size -= take;
        if (m_used == kWriteBuffer) {
            flushBuffer();
            startWriteBack();
        }
    }
}

// Sets the disk to work on the data written so far, a buffer's worth or more at a time, without
// waiting for it: the sync before the rename then finds little left to write, and a long output
// costs hardly more than its writing. A failure here is the sync's to report: it meets the same
// write-back error. A file written in one go (the buffer never filled) is left to the sync.
void AtomicFile::startWriteBack() {
#ifdef __linux__
    if (m_written - m_writeBack < kWriteBuffer)
        return;
    ::sync_file_range(m_fd, off64_t(m_writeBack), off64_t(m_written - m_writeBack),
                      SYNC_FILE_RANGE_WRITE);
    m_writeBack = m_written;
#endif
    startEarlySync();
}

// ---- early syncs ----

// A long output is made durable while it is written, too: the disk takes a while to hold what
// it was given (on a virtual machine, some 2 ms a megabyte here), and the sync before the rename
// would wait all that time at the end. So whenever a buffer's worth has been written and no
// early sync is under way, the process's early-sync thread syncs the file's data so far, while
// this thread goes on writing; the sync before the rename then finds only the tail left. It
// promises nothing by itself: the final sync still runs, and the first failure of an early one
// fails the file (a sync reports a write-back error only once, so the final one might not).
//
// Invariants: the thread syncs one file at a time and touches nothing but that file's
// descriptor and its EarlySync; the file waits for a sync under way before it closes,
// truncates, syncs or is moved from.
struct AtomicFile::EarlySync {
    std::mutex mutex;
    std::condition_variable settled;
    bool running = false;  // guarded by mutex
    int error = 0;         // guarded by mutex: why an early sync failed
};

namespace {

class EarlySyncThread {
public:
    // The thread, made when first wanted and kept for the process's life; null where no thread
    // can be had. A child forked from the process has none of its parent's threads: it makes
    // its own.
    static EarlySyncThread* get() { return processThread<EarlySyncThread>(); }
    // Syncs `fd` on the thread, unless it is busy with another file: false then.
    bool post(int fd, std::shared_ptr<AtomicFile::EarlySync> state);

private:
    friend EarlySyncThread* startedOnItsThread<EarlySyncThread>();
    EarlySyncThread() = default;
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_fd = -1;  // guarded by m_mutex: the job, while m_state is set
    std::shared_ptr<AtomicFile::EarlySync> m_state;
};

bool EarlySyncThread::post(int fd, std::shared_ptr<AtomicFile::EarlySync> state) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_state)
            return false;
        m_fd = fd;
        m_state = std::move(state);
    }
    m_wake.notify_one();
    return true;
}

void EarlySyncThread::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_state != nullptr; });
        const int fd = m_fd;
        const std::shared_ptr<AtomicFile::EarlySync> state = m_state;
        lock.unlock();
        const int err = ::fdatasync(fd) == 0 ? 0 : errno;
        // Free for the next job before the file hears that this one is done.
        lock.lock();
        m_state.reset();
        lock.unlock();
        {
            const std::lock_guard done(state->mutex);
            if (err != 0 && state->error == 0)
                state->error = err;
            state->running = false;
        }
        state->settled.notify_all();
        lock.lock();
    }
}

}  // namespace

// ---- letting go of replaced files ----

// A rename over a file drops the old file's last name, and the system frees its blocks in the
// rename itself (on a disk mounted with discard, telling the disk too) unless something still
// holds the file: for a small file that is a good part of what replacing it costs. So install()
// holds the old file by a path-only descriptor across the rename and hands it here, and the
// process's letting-go thread closes it, which frees the file while the caller goes on with the
// next one. Nothing waits on that: the old file has no name any more, and the system frees it
// at the latest when the process ends.
//
// Invariants: every descriptor handed over is closed exactly once, by the thread or, where
// there is none or kMostHeld are waiting already, by the caller at once.
namespace {

class LetGoThread {
public:
    static LetGoThread* get() { return processThread<LetGoThread>(); }
    // Closes `fd` on the thread; false, leaving it open, where too many wait already.
    bool post(int fd) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_fds.size() >= kMostHeld)
                return false;
            m_fds.push_back(fd);
        }
        m_wake.notify_one();
        return true;
    }

private:
    static constexpr std::size_t kMostHeld = 256;

    friend LetGoThread* startedOnItsThread<LetGoThread>();
    LetGoThread() = default;
    void run() {
        std::vector<int> fds;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return !m_fds.empty(); });
            fds.swap(m_fds);
            lock.unlock();
            for (const int fd : fds) ::close(fd);
            fds.clear();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<int> m_fds;  // guarded by m_mutex: to be closed
};

void letGoLater(int fd) {
    if (fd < 0)
        return;
    LetGoThread* thread = LetGoThread::get();
    if (!thread || !thread->post(fd))
        ::close(fd);
}

}  // namespace

void AtomicFile::startEarlySync() {
    EarlySyncThread* thread = EarlySyncThread::get();
    if (!thread || m_fd < 0)
        return;
    if (!m_early)
        m_early = std::make_shared<EarlySync>();
    {
        const std::lock_guard lock(m_early->mutex);
        if (m_early->running)
            return;
        m_early->running = true;
    }
    if (!thread->post(m_fd, m_early)) {
        const std::lock_guard lock(m_early->mutex);
        m_early->running = false;
    }
}

// Waits for an early sync under way; answers why one failed, or 0.
int AtomicFile::awaitEarlySync() {
    if (!m_early)
        return 0;
    std::unique_lock lock(m_early->mutex);
    m_early->settled.wait(lock, [&] { return !m_early->running; });
    return m_early->error;
}

// Gives the new file what the old one had besides its bytes. The owner goes first, since a change
// of owner clears the set-id bits and file capabilities; the mode next; the extended attributes
// last, because the ACL among them sets the group bits to its mask, as the old file had them.
void AtomicFile::keepAttributes() {
    if (m_exists) {
        // Only root may give a file away; anyone else may still set a group they belong to.
        if (::fchown(m_fd, m_uid, m_gid) != 0) {
            if (errno != EPERM)
                fail("Cannot write", errno);
            if (::fchown(m_fd, uid_t(-1), m_gid) != 0 && errno != EPERM)
                fail("Cannot write", errno);
        }
    }
    if (::fchmod(m_fd, m_mode) != 0)
        fail("Cannot write", errno);
    if (!m_exists)
        return;

    // The target is reached through the folder already open, by its descriptor's entry in
    // /proc; without /proc, by the folder's real path.
    QByteArray source = "/proc/self/fd/" + QByteArray::number(m_dirfd) + '/' + m_name;
    std::vector<char> names(4096), value(4096);
    auto list = [&] {
        ssize_t n;
        while ((n = ::llistxattr(source.constData(), names.data(), names.size())) < 0 &&
               errno == ERANGE)
            names.resize(names.size() * 4);
        return n;
    };
    ssize_t listed = list();
    if (listed < 0 && errno == ENOENT) {
        source = folderPathOf(m_dirfd, m_folder) + '/' + m_name;
        listed = list();
    }
    if (listed < 0) {
        if (errno == ENOTSUP)
            return;  // a file system without attributes has none to keep
        fail("Cannot read the extended attributes of", errno);
    }
    for (ssize_t at = 0; at < listed; at += ssize_t(std::strlen(names.data() + at)) + 1) {
        const char* name = names.data() + at;
        ssize_t size;
        while ((size = ::lgetxattr(source.constData(), name, value.data(), value.size())) < 0 &&
               errno == ERANGE)
            value.resize(value.size() * 4);
        if (size < 0) {
            if (errno == ENODATA)
                continue;  // removed since it was listed
            failWith("Cannot keep the extended attributes of",
                     QStringLiteral("%1: %2").arg(QString::fromLatin1(name),
                                                  QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (::fsetxattr(m_fd, name, value.data(), std::size_t(size), 0) == 0)
            continue;
        // Trusted and security attributes are the system's: a process without the privilege
        // to set them cannot keep them, and the file it may still write is written without.
        const bool privileged =
            std::strncmp(name, "trusted.", 8) == 0 || std::strncmp(name, "security.", 9) == 0;
        if (privileged && isPermissionError(errno))
            continue;
        failWith("Cannot keep the extended attributes of",
                 QStringLiteral("%1: %2").arg(QString::fromLatin1(name),
                                              QString::fromLocal8Bit(std::strerror(errno))));
    }
}

// The input this result was made from must still be what was read, or the result would throw
// away whatever another program did to the file meanwhile (saved over it, appended, truncated).
void AtomicFile::checkSource() {
    if (!m_source.valid)
        return;
    auto tidy = [](QString p) {
        while (p.contains(QStringLiteral("//")))
            p.replace(QStringLiteral("//"), QStringLiteral("/"));
        return p;
    };
    const bool sameFile = tidy(m_sourcePath) == tidy(m_target) ||
                          (m_exists && m_device == m_source.device && m_inode == m_source.inode);
    if (!sameFile)
        return;
    struct stat st;
    const bool still = ::fstatat(m_dirfd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       stampOf(st) == m_source;
    if (!still)
        failWith("Cannot replace",
                 QStringLiteral("the file changed during the run; the result was dropped and the "
                                "file left as it is now"));
}

void AtomicFile::commit() {
    prepare();
    install();
}

void AtomicFile::prepare() {
    if (m_fd < 0)
        throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                  QStringLiteral("the file is not open"));
    if (m_prepared)
        return;
    flushBuffer();
    keepAttributes();
    m_prepared = true;
    // Everything is in the file: the buffer can serve the next file while this one waits to
    // be put in place.
    giveBack(std::move(m_buffer));
}

void AtomicFile::syncOwnData() {
    if (const int early = awaitEarlySync())
        fail("Cannot write", early);
    if (::fsync(m_fd) != 0)
        fail("Cannot write", errno);
    m_synced = true;
}

namespace {

#ifdef __linux__
// File systems whose syncfs writes every file's data and waits for the disk to hold it, as an
// fsync of each would. Elsewhere (network and user-space file systems among them) a sync of the
// whole file system may promise less than an fsync, so each file is synced on its own there.
bool syncsWholeFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:  // also ext2 and ext3
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}
#endif

}  // namespace

void AtomicFile::syncTogether(std::span<AtomicFile* const> files) {
    std::vector<AtomicFile*> waiting;
    for (AtomicFile* f : files) {
        if (!f || !f->isPrepared() || f->m_synced || f->m_syncError != 0)
            continue;
        f->m_syncError = f->awaitEarlySync();
        if (f->m_syncError == 0)
            waiting.push_back(f);
    }
    auto syncEach = [](const std::vector<AtomicFile*>& some) {
        for (AtomicFile* f : some) {
            if (::fsync(f->m_fd) == 0)
                f->m_synced = true;
            else
                f->m_syncError = errno;
        }
    };
#ifdef __linux__
    // The files of one file system share its sync; a file system is known by the device of the
    // folder the files are written in, which is the replaced file's own.
    std::vector<std::pair<std::uint64_t, std::vector<AtomicFile*>>> groups;
    for (AtomicFile* f : waiting) {
        std::uint64_t device = f->m_device;
        if (!f->m_exists) {
            struct stat st;
            if (::fstat(f->m_dirfd, &st) != 0) {
                syncEach({f});
                continue;
            }
            device = std::uint64_t(st.st_dev);
        }
        auto g = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& e) { return e.first == device; });
        if (g == groups.end())
            groups.emplace_back(device, std::vector<AtomicFile*>{f});
        else
            g->second.push_back(f);
    }
    for (auto& [device, some] : groups) {
        // A sync of the whole file system also waits for what other programs wrote there: it
        // pays only when it stands in for several fsyncs.
        const int fd = some.front()->m_fd;
        if (some.size() == 1 || !syncsWholeFileSystem(fd) || ::syncfs(fd) != 0) {
            // A failed syncfs may stem from any file of the file system, even another
            // program's: an fsync of each file tells which of these, if any, did not reach
            // the disk.
            syncEach(some);
            continue;
        }
        // The data is written; a write-back error of one file is still recorded on it, and a
        // wait on its (now clean) pages reports it without another trip to the disk.
        for (AtomicFile* f : some) {
            if (::sync_file_range(f->m_fd, 0, 0,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER) == 0)
                f->m_synced = true;
            else
                f->m_syncError = errno;
        }
    }
#else
    syncEach(waiting);
#endif
}

void AtomicFile::install() {
    if (m_fd < 0)
        throw Failure::withReason(QStringLiteral("Cannot write"), m_target,
                                  QStringLiteral("the file is not open"));
    prepare();
    if (m_syncError != 0)
        fail("Cannot write", m_syncError);
    if (!m_synced)
        syncOwnData();
    checkSource();
    if (m_unnamed) {
        // Give the finished file a name, so that rename can put it in place in one step.
        const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(m_fd);
        bool named = false;
        for (int attempt = 0; !named && attempt < 100; ++attempt) {
            const QByteArray name = temporaryName();
            if (::linkat(AT_FDCWD, procPath.constData(), m_dirfd, name.constData(),
                         AT_SYMLINK_FOLLOW) == 0 ||
                // Without /proc, root can still link the descriptor itself.
                (errno != EEXIST &&
                 ::linkat(m_fd, "", m_dirfd, name.constData(), AT_EMPTY_PATH) == 0)) {
                m_temp = name;
                named = true;
            } else if (errno != EEXIST) {
                fail("Cannot write", errno);
            }
        }
        if (!named)
            fail("Cannot write", EEXIST);
        m_unnamed = false;
    }
    // The file replaced, held across the rename so that freeing it waits (see LetGoThread).
    int old = -1;
#ifdef O_PATH
    if (m_exists)
        old = ::openat(m_dirfd, m_name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
#endif
    // Named and renamed in two calls back to back: the name a kill could leave behind exists
    // only for that instant. The content is synced already, so closing afterwards has nothing
    // left to lose.
    if (::renameat(m_dirfd, m_temp.constData(), m_dirfd, m_name.constData()) != 0) {
        const int err = errno;
        if (old >= 0)
            ::close(old);
        fail("Cannot replace", err);
    }
    letGoLater(old);
    m_temp.clear();
    discard();
}

void AtomicFile::discard() {
    awaitEarlySync();
    m_early.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temp.isEmpty() && m_dirfd >= 0)
        ::unlinkat(m_dirfd, m_temp.constData(), 0);
    m_temp.clear();
    if (m_dirfd >= 0)
        ::close(m_dirfd);
    m_dirfd = -1;
    giveBack(std::move(m_buffer));
    m_used = 0;
    m_prepared = m_synced = false;
    m_syncError = 0;
}

bool isSameFile(const QString& a, const QString& b) {
    struct stat sa, sb;
    if (::stat(nativePath(a).constData(), &sa) != 0)
        return false;
    if (::stat(nativePath(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool AtomicFile::holdsSameBytesAs(const QString& path) {
    if (m_fd < 0)
        return false;
    flushBuffer();
    // The temporary may be write-only and unnamed; its descriptor's entry opens it for reading.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    const int mine = ::open(self.constData(), O_RDONLY | O_CLOEXEC);
    if (mine < 0)
        return false;
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
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
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
        if (na == 0)
            break;
    }
    ::close(mine);
    ::close(theirs);
    return same;
}

}  // namespace vn
