#pragma once

#include <QString>

#include <cstddef>
#include <QByteArray>

#include <cstdint>
#include <memory>

namespace vn {

// A whole file read into memory. The buffer is 16-bit aligned and has one spare code unit after
// the data, so a UTF-16 reader can view it in place and mend an odd last byte without copying.
struct FileBytes {
    std::unique_ptr<char16_t[]> buffer;
    std::size_t size = 0;  // bytes of file data
    const char* data() const { return reinterpret_cast<const char*>(buffer.get()); }
    char* data() { return reinterpret_cast<char*>(buffer.get()); }
};

// Reads a regular file whole. Anything else (a folder, a FIFO, a device) fails at once with a
// clear description, without blocking. Throws Failure naming the path and the system's reason.
FileBytes readWholeFile(const QString& path);

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
    // Reads up to `count` bytes at `offset`; fewer only at the end of the file (or where it
    // shrank). Throws Failure("Cannot read") naming the path and the reason.
    std::size_t readAt(std::uint64_t offset, char* out, std::size_t count);
    // Gives the file back early; later reads fail.
    void close();

private:
    QString m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
};

// Reads at most `count` bytes from the start of a regular file; returns the file's size.
// Throws Failure like readWholeFile.
std::int64_t readFileHead(const QString& path, unsigned char* out, std::size_t count);

// The size in bytes of an existing regular file, or -1 when it cannot be opened.
std::int64_t fileSizeOrMinusOne(const QString& path);

// True when both paths name one existing file (the same device and inode, links followed).
bool isSameFile(const QString& a, const QString& b);

// Writes a file through a temporary file in the target's folder, renamed over the target only
// once everything is written and flushed. A failure, a crash, a kill or a full disk leaves the
// target as it was; a failure leaves no temporary file behind. The target's permission bits
// (and, where allowed, its owner) are kept; a symbolic link is written through and stays a link.
// A read-only target is refused, also for root, so the owner's protection is never defeated.
class AtomicFile {
public:
    explicit AtomicFile(QString targetPath);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file. With keepExisting the target's current bytes are copied in
    // first, so later writes append to them.
    void open(bool keepExisting = false);
    bool isOpen() const { return m_fd >= 0; }
    // Drops everything written so far and starts the content afresh.
    void restart();
    void write(const char* data, std::size_t size);
    // Flushes, syncs and renames over the target. On failure the temporary file is removed.
    void commit();
    // Removes the temporary file; the target is untouched.
    void discard();
    // True when the content written so far is byte for byte the file at `path`; false also
    // when either cannot be read.
    bool holdsSameBytesAs(const QString& path);

    const QString& targetPath() const { return m_target; }
    // Bytes of content so far, including what is still buffered.
    std::uint64_t size() const { return m_written + m_used; }

private:
    void flushBuffer();
    [[noreturn]] void fail(const char* action, int err);

    QString m_target;
    QString m_resolved;  // the file a symbolic link finally names, or the target itself
    QString m_temp;          // the temporary file's name, once it has one
    QByteArray m_namePattern;
    bool m_unnamed = false;  // the temporary file has no name yet
    int m_fd = -1;
    unsigned m_mode = 0;
    bool m_keepOwner = false;
    unsigned m_uid = 0, m_gid = 0;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_written = 0;
};

}  // namespace vn
