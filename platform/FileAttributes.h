#pragma once

#include <QString>

#include <sys/types.h>

#include <vector>

namespace vn {

// File attributes as the Windows attribute numbers the file-list rules compare against. Here they
// are derived from POSIX metadata: read-only = the owner has no write permission, hidden = the
// name starts with ".", system = never, directory and archive (every regular file) from the
// file's type, reparse point = the path itself is a symbolic link. Type and permission bits are
// those of what a link points to, so a link to a folder counts as a folder, as a junction does.
namespace attr {
inline constexpr int ReadOnly = 1;
inline constexpr int Hidden = 2;
inline constexpr int System = 4;
inline constexpr int Directory = 16;
inline constexpr int Archive = 32;
inline constexpr int ReparsePoint = 1024;
}  // namespace attr

// The attribute value of a path. Throws Failure naming the path and the system's reason when the
// path cannot be examined. A trailing separator is allowed ("/a/.b/" is hidden).
int fileAttributes(const QString& path);

// The two file tests that never fail: they answer false on any error.
// A regular file, possibly through a symbolic link. Needs no read permission on the file itself,
// only on the folders above it, so a file that another program holds open still counts.
bool isRegularFile(const QString& path) noexcept;
// The path's metadata (and so its modification time) can be read; follows links.
bool hasReadableMetadata(const QString& path) noexcept;

// What makes two paths the same folder, whatever links lead to it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    friend bool operator<(const FileIdentity& a, const FileIdentity& b) {
        return a.device != b.device ? a.device < b.device : a.inode < b.inode;
    }
};

// The identity of what a path names after following links; false when it cannot be read.
bool fileIdentity(const QString& path, FileIdentity& out) noexcept;

// One entry of a folder, examined through the open folder (links followed).
struct DirectoryEntry {
    QString name;
    int statError = 0;  // errno of examining the entry, 0 when it was examined
    bool isFolder = false;
    bool isRegularFile = false;
    FileIdentity identity;  // left unset for a regular file the listing itself named as one
};

struct DirectoryListing {
    std::vector<DirectoryEntry> entries;
    // errno of the failure that ended the listing early (or stopped it from starting), else 0.
    // The entries read before it are kept.
    int error = 0;
};

// The entries of a folder without "." and "..", sorted by name ignoring case (case decides only
// between names that differ in nothing else). The order is fixed so that walks and listings come
// out the same on every file system, and it is the one Windows users know from their drives.
DirectoryListing listDirectory(const QString& folder);

}  // namespace vn
