#pragma once

#include <QString>

#include <QByteArray>
#include <cstddef>

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

struct stat;

namespace vn {

// A whole file read into memory. The buffer is 16-bit aligned and has one spare code unit after
// the data, so a UTF-16 reader can view it in place and mend an odd last byte without copying.
struct FileBytes {
    std::unique_ptr<char16_t[]> buffer;
    std::size_t size = 0;  // bytes of file data
    const char* data() const { return reinterpret_cast<const char*>(buffer.get()); }
    char* data() { return reinterpret_cast<char*>(buffer.get()); }
};

// What a file was when it was opened: enough to tell, later, whether it is still the same file
// with the same content. A save by another program (a new file renamed over it), an append and a
// truncation each change one of these.
struct FileStamp {
    bool valid = false;
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0, mtimeNanoseconds = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Reads a regular file whole. Anything else (a folder, a FIFO, a device) fails at once with a
// clear description, without blocking. Throws Failure naming the path and the system's reason.
FileBytes readWholeFile(const QString& path);

// How a FileReader judges what its pages cost (see mapAt): by measuring, as it goes; or, for
// tests that must walk one way, as cheap whatever they cost (every view is shown), or as costly
// (one view is shown and the rest of the file is left to be read).
enum class PageCost { Measured, Cheap, Costly };
extern PageCost AssumedPageCost;

// A regular file opened for reading a piece at a time. It reads no further than the size the
// file had when it was opened, as readWholeFile does, so a file that grows meanwhile gives the
// same bytes either way.
class FileReader {
public:
    // Opens like readWholeFile; throws Failure naming the path and the reason.
    explicit FileReader(const QString& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    std::uint64_t size() const { return m_size; }
    // The file as it was opened; the reads never go past its size.
    const FileStamp& stamp() const { return m_stamp; }
    // Reads up to `count` bytes at `offset`; fewer only at the end of the file (or where it
    // shrank). Throws Failure("Cannot read") naming the path and the reason. It keeps no
    // position, so two threads may read at once (a read ahead beside a count of the lines).
    std::size_t readAt(std::uint64_t offset, char* out, std::size_t count);
    // Gives the file back early; later reads fail.
    void close();

    // Shows `count` bytes at `offset` (fewer at the end) in memory without copying them: a
    // read-only view of the file's own pages, valid until the next mapAt, the next unmap or
    // close. Empty where no view can be made (no memory for it, a file system that cannot map,
    // a platform without it), and from the first call after the first reads of a view's pages
    // proved to cost more than copying them would (see mapAhead). The caller then reads instead.
    // Views are meant to be read from start to end (see letGoBefore).
    std::string_view mapAt(std::uint64_t offset, std::size_t count);
    // Lets go of the pages of whole grains (2 MiB) before `offset`, which views no longer need,
    // to be set up anew should a view show them again: once grainsLetGoAtOnce() of them are
    // done with, all together.
    void letGoBefore(std::uint64_t offset);
    // How many grains letGoBefore lets go of at once: a few (each time costs a round trip to
    // the process's other processors), or one where the caller asked for few pages.
    unsigned grainsLetGoAtOnce() const;
    // Asks for as few of the file's pages in memory as the views allow, for a caller that holds
    // much memory of its own (thousands of keywords, say), so that the process stays within its
    // bound; or, with false, for the usual number again.
    void holdFewPages(bool few) { m_fewPages = few; }
    // Says which view the next mapAt will most likely ask for, and sets its pages up here at
    // once, a fault per 64 KiB, rather than by whichever thread first reads each. Every eighth such
    // view also has a few of its pages read, to see whether a first read costs more than a copy
    // (on some virtual machines it does, where the file's pages are small); from then on the
    // views are refused and the rest of the file is read. Nothing is set up ahead while few
    // pages are asked for: the next view's pages would double what memory holds of the file.
    void mapAhead(std::uint64_t offset, std::size_t count);
    void unmap();
    // True once a page of some view could not be read from the file (it was cut short by
    // another program, or the disk failed): that page read as zeros, so what was made from the
    // view must be dropped. Stays true.
    bool viewLost();

private:
    QString m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    FileStamp m_stamp;
    void* m_view = nullptr;  // the whole file, mapped by the first mapAt
    std::size_t m_viewBytes = 0;
    bool m_viewFailed = false;       // no view could be made: none is tried again
    bool m_costly = false;           // first reads of pages proved to cost more than copies
    unsigned m_viewsAhead = 0;       // views asked for ahead
    std::uint64_t m_releasedTo = 0;  // the pages before this offset are let go of
    bool m_fewPages = false;         // see holdFewPages
    int m_viewSlot = -1;             // where the bus-error guard knows it
    bool m_lost = false;
};

// Reads at most `count` bytes from the start of a regular file; returns the file's size.
// Throws Failure like readWholeFile.
std::int64_t readFileHead(const QString& path, unsigned char* out, std::size_t count);

// What the system tells of a path, links followed, without opening the file.
struct PathFacts {
    bool exists = false;
    bool folder = false;
    bool readableFile = false;  // a regular file this process may read
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0;
};
PathFacts lookAt(const QString& path);

// The size in bytes of an existing regular file, or -1 when it cannot be opened.
std::int64_t fileSizeOrMinusOne(const QString& path);

// True when both paths name one existing file (the same device and inode, links followed).
bool isSameFile(const QString& a, const QString& b);

// The prefix of the temporary files the writer names; the rest of such a name is a fixed number
// of random letters, so every temporary name has the same short length whatever the target's.
inline constexpr char kTemporaryPrefix[] = ".varnobis-";
inline constexpr int kTemporaryLetters = 8;

// Writes a file through a temporary file in the target's folder, renamed over the target only
// once everything is written and flushed. A failure, a crash, a kill or a full disk leaves the
// target as it was; a failure leaves no temporary file behind.
//
// The system resolves symbolic links, on the name's own bytes: the result is written in the
// folder of the file a link finally names and renamed over that file, so the link stays a link.
// In a sticky world-writable folder (like /tmp) a link owned by neither the user nor the folder's
// owner is not followed, as the kernel's protected_symlinks rule would have it.
//
// The replaced file keeps its permission bits, owner and group (where the process may set them),
// POSIX ACLs and extended attributes; a failure to copy one of them fails the write. Refused,
// and left as they are: a file the user may not write or whose owner write bit is off (also for
// root), a file with more than one hard link (replacing it would split the links), anything but
// a regular file, and, with expectSource, an input that changed since it was read.
class AtomicFile {
public:
    explicit AtomicFile(QString targetPath);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // A moved writer hands over its temporary file; the one moved from is closed and empty.
    AtomicFile(AtomicFile&& other) noexcept;
    AtomicFile& operator=(AtomicFile&& other) noexcept;

    // Creates the temporary file. With keepExisting the target's current bytes are copied in
    // first, so later writes append to them.
    void open(bool keepExisting = false);
    bool isOpen() const { return m_fd >= 0; }
    // Drops everything written so far and starts the content afresh.
    void restart();
    void write(const char* data, std::size_t size);
    // Flushes, syncs and renames over the target: prepare, sync and install in one go. On
    // failure the temporary file is removed.
    void commit();
    // The first half of commit: everything written reaches the file, which takes the target's
    // owner, mode, ACL and extended attributes. Its data need not be on disk yet, and nothing
    // shows in the folder: the target is untouched.
    void prepare();
    bool isPrepared() const { return m_fd >= 0 && m_prepared; }
    // The second half of commit, on a prepared file: makes its data durable unless syncTogether
    // already did, checks that the input is still as it was read (see expectSource), then names
    // the file and renames it over the target. On failure the temporary file is removed.
    void install();
    // Makes the data of prepared files durable with as few waits for the disk as the system
    // allows: one sync of each file system they are on where it has syncfs, an fsync per file
    // elsewhere. A file whose data could not be made durable keeps the reason, and its install
    // fails with it, naming its own target; the others are not held back by it.
    static void syncTogether(std::span<AtomicFile* const> files);
    // Removes the temporary file; the target is untouched.
    void discard();
    // True when the content written so far is byte for byte the file at `path`; false also
    // when either cannot be read.
    bool holdsSameBytesAs(const QString& path);

    // The input this output was made from, as it was read. When the input is the target (the
    // same path, or the file the target names), commit checks just before the rename that it is
    // still that file with that size and time, and otherwise drops the result.
    void expectSource(const QString& inputPath, const FileStamp& stamp);

    const QString& targetPath() const { return m_target; }
    // Bytes of content so far, including what is still buffered.
    std::uint64_t size() const { return m_written + m_used; }

    // What the syncs made while a long file is written share with the thread that makes them
    // (see FileAccess.cpp).
    struct EarlySync;

private:
    bool resolveTarget(struct stat& st);
    void flushBuffer();
    void startWriteBack();
    void startEarlySync();
    int awaitEarlySync();
    void keepAttributes();
    void checkSource();
    void syncOwnData();
    [[noreturn]] void fail(const char* action, int err);
    [[noreturn]] void failWith(const char* action, const QString& reason);

    QString m_target;
    int m_dirfd = -1;        // the real folder of the file the target finally names
    QByteArray m_folder;     // that folder's path as the target named it, native bytes
    QByteArray m_name;       // the file's name in it, native bytes
    QByteArray m_temp;       // the temporary file's name in the folder, once it has one
    bool m_unnamed = false;  // the temporary file has no name yet
    int m_fd = -1;
    unsigned m_mode = 0;
    bool m_exists = false;
    unsigned m_uid = 0, m_gid = 0;
    std::uint64_t m_device = 0, m_inode = 0;  // of the target when it was opened
    QString m_sourcePath;
    FileStamp m_source;
    struct BufferDeleter {
        void operator()(char* block) const;
    };
    using Buffer = std::unique_ptr<char[], BufferDeleter>;
    static Buffer takeBuffer();
    static void giveBack(Buffer buffer);
    static Buffer& spareBuffer();
    Buffer m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_written = 0;
    std::uint64_t m_writeBack = 0;       // the disk was set to write [0, m_writeBack) already
    std::shared_ptr<EarlySync> m_early;  // the syncs made while the file is written, if any
    bool m_prepared = false;             // prepare() has run since the content last changed
    bool m_synced = false;               // the data is known to be on disk
    int m_syncError = 0;                 // why a shared sync could not make the data durable
};

}  // namespace vn
