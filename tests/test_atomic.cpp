#include "core/Failure.h"
#include "core/NativeName.h"
#include "platform/FileAccess.h"
#include "platform/FileAttributes.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"
#include "textio/TextFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <vector>

using namespace vn;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

// Runs `body` in a child process under a file-size limit; returns the child's exit code.
template <class F>
int inChildWithFileLimit(rlim_t limit, F body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit rl {
            limit, limit
        };
        ::setrlimit(RLIMIT_FSIZE, &rl);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

mode_t modeOf(const QString& p) {
    struct stat st;
    ::stat(p.toLocal8Bit().constData(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(AtomicFile, AFailedWriteLeavesTheTargetAsItWasAndNoTemporaryFile) {
    TempDir dir;
    const QByteArray old = "old content that must survive\r\n";
    const QString target = dir.write("target.txt", old);
    {
        // A long file written first gives this process its thread for early syncs, which the
        // children forked below do not inherit.
        AtomicFile f(dir.path("first.txt"));
        f.open();
        const std::string longer(3 << 20, 'f');
        f.write(longer.data(), longer.size());
        f.commit();
        ASSERT_EQ(QFile::remove(dir.path("first.txt")), true);
    }
    // Mid-stream (many buffered writes), at the final flush (all in one buffer), and one
    // oversized write that bypasses the buffer.
    struct Case {
        const char* name;
        rlim_t limit;
        std::size_t pieces, pieceSize;
    };
    for (const Case c :
         {Case{"mid-stream", 3u << 20, 1000, 10000}, Case{"final flush", 100, 1, 5000},
          Case{"oversized write", 1u << 20, 1, 5u << 20}}) {
        const int code = inChildWithFileLimit(c.limit, [&] {
            AtomicFile f(target);
            try {
                f.open();
                const std::string piece(c.pieceSize, 'x');
                for (std::size_t i = 0; i < c.pieces; ++i) f.write(piece.data(), piece.size());
                f.commit();
            } catch (const Failure& e) {
                return e.description().contains(target) && e.description().contains("large") ? 3
                                                                                             : 4;
            }
            return 0;
        });
        EXPECT_EQ(code, 3) << c.name;
        EXPECT_EQ(TempDir::read(target), old) << c.name;
        EXPECT_EQ(dir.entries(), QStringList{"target.txt"}) << c.name;
    }
}

TEST(AtomicFile, OutputUnderAFullDiskReportsOnceAndKeepsTheTarget) {
    TempDir dir;
    const QByteArray old = "keep me\r\n";
    const QString target = dir.write("t.txt", old);
    const int code = inChildWithFileLimit(64 << 10, [&] {
        ScriptedWindowServices ws;
        textio::IsUnicodeFile = textio::IsUTF8File = false;
        {
            textio::Output o(ws, target, textio::currentOutputClass(), textio::kAppendLabels);
            const QString line(200, QLatin1Char('z'));
            for (int i = 1; i <= 20000; ++i) o.AppendStringFSO(line, i);
            o.finish();
        }
        const auto errors = ws.errors();
        const bool once = errors.size() == 1 &&
                          errors[0].text.contains("AppendStringFSO at line 116") &&
                          errors[0].text.contains(target);
        return once ? 0 : 5;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(TempDir::read(target), old);
    EXPECT_EQ(dir.entries(), QStringList{"t.txt"});
}

TEST(AtomicFile, KeepsPermissionBitsAndWritesThroughSymbolicLinks) {
    TempDir dir;
    const QString real = dir.write("real.txt", "old");
    ::chmod(real.toLocal8Bit().constData(), 0640);
    const QString link = dir.path("link.txt");
    ASSERT_TRUE(QFile::link(real, link));
    AtomicFile f(link);
    f.open();
    f.write("new", 3);
    f.commit();
    EXPECT_EQ(TempDir::read(real), "new");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(modeOf(real), 0640u);
    EXPECT_EQ(dir.entries(), (QStringList{"link.txt", "real.txt"}));
}

TEST(AtomicFile, RefusesReadOnlyAndNonRegularTargetsEvenForRoot) {
    TempDir dir;
    const QString ro = dir.write("ro.txt", "protected");
    ::chmod(ro.toLocal8Bit().constData(), 0444);
    QDir(dir.path()).mkdir("folder");
    for (const QString& target : {ro, dir.path("folder")}) {
        AtomicFile f(target);
        try {
            f.open();
            ADD_FAILURE() << "opened " << target.toStdString();
        } catch (const Failure& e) {
            EXPECT_TRUE(e.description().contains(target));
        }
    }
    EXPECT_EQ(TempDir::read(ro), "protected");
    EXPECT_EQ(dir.entries(), (QStringList{"folder", "ro.txt"}));

    ScriptedWindowServices ws;
    textio::SaveStringToFileFSO(ws, "x", ro);
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains("read-only"));
    EXPECT_EQ(TempDir::read(ro), "protected");
}

namespace {

// Write-back started without waiting, recorded while a test points this at a list.
struct WriteBack {
    int fd;
    off64_t offset, bytes;
};
std::vector<WriteBack>* g_writeBacks = nullptr;

}  // namespace

// Stands in for the system's call in this program, records the calls that only start write-back,
// and passes every call on.
extern "C" int sync_file_range(int fd, off64_t offset, off64_t bytes, unsigned int flags) {
    using Call = int (*)(int, off64_t, off64_t, unsigned int);
    static const Call real = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "sync_file_range"));
    if (g_writeBacks && flags == SYNC_FILE_RANGE_WRITE)
        g_writeBacks->push_back({fd, offset, bytes});
    return real(fd, offset, bytes, flags);
}

// Syncs made while a long file is written (the writer's only use of fdatasync), counted, and
// failed with this error while a test sets one.
std::atomic<int> g_earlySyncs{0};
std::atomic<int> g_earlySyncError{0};

extern "C" int fdatasync(int fd) {
    using Call = int (*)(int);
    static const Call real = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "fdatasync"));
    ++g_earlySyncs;
    if (const int err = g_earlySyncError.load()) {
        errno = err;
        return -1;
    }
    return real(fd);
}

TEST(AtomicFile, ALongOutputGoesToTheDiskWhileItIsWrittenAndCommitsWhole) {
    TempDir dir;
    const QString target = dir.write("t.txt", "before");
    std::vector<WriteBack> calls;
    g_writeBacks = &calls;
    // Pieces smaller and larger than the buffer, of odd sizes, with bytes that tell places apart.
    auto content = [](std::size_t size, char salt) {
        std::string s(size, ' ');
        for (std::size_t i = 0; i < size; ++i) s[i] = char('a' + (i * 7 + i / 4093 + salt) % 26);
        return s;
    };
    auto writeIn = [](AtomicFile& f, const std::string& s) {
        const std::size_t sizes[] = {1, 70000, 3 << 20, 4093, 1 << 20, 333333};
        for (std::size_t at = 0, k = 0; at < s.size(); ++k) {
            const std::size_t n = std::min(sizes[k % 6], s.size() - at);
            f.write(s.data() + at, n);
            at += n;
        }
    };
    // The ranges start at 0, follow one another, each of at least a buffer (1 MiB), and leave
    // less than two buffers unstarted (the last buffer goes with the sync).
    auto checkRanges = [&](const std::vector<WriteBack>& got, std::size_t size) {
        ASSERT_FALSE(got.empty());
        off64_t next = 0;
        for (const WriteBack& w : got) {
            EXPECT_EQ(w.offset, next);
            EXPECT_GE(w.bytes, off64_t(1) << 20);
            next = w.offset + w.bytes;
        }
        EXPECT_LE(next, off64_t(size));
        EXPECT_GT(next, off64_t(size) - (off64_t(2) << 20));
    };
    g_earlySyncs = 0;
    {
        const std::string first = content((5 << 20) + 12345, 0);
        AtomicFile f(target);
        f.open();
        writeIn(f, first);
        checkRanges(calls, first.size());
        // Started over, it starts the disk from its beginning again.
        f.restart();
        // Its data was also synced while it was written (a sync under way ends before restart).
        EXPECT_GT(g_earlySyncs.load(), 0);
        calls.clear();
        const std::string second = content((3 << 20) + 999, 5);
        writeIn(f, second);
        checkRanges(calls, second.size());
        f.commit();
        EXPECT_EQ(TempDir::read(target), QByteArray::fromStdString(second));
    }
    // A short output is left to the sync alone.
    calls.clear();
    {
        AtomicFile f(target);
        f.open();
        const std::string small = content(200000, 3);
        writeIn(f, small);
        f.commit();
        EXPECT_EQ(TempDir::read(target), QByteArray::fromStdString(small));
    }
    EXPECT_TRUE(calls.empty());
    g_writeBacks = nullptr;
    EXPECT_EQ(dir.entries(), QStringList{"t.txt"});
}

// A sync made while the file was written reports a write-back error once; a later sync of the
// same file may find nothing wrong. The file must fail all the same, alone or synced with others,
// and leave its target as it was.
TEST(AtomicFile, AFailedSyncWhileWritingFailsTheFileEvenWhereTheLastSyncSucceeds) {
    TempDir dir;
    const std::string longer(3 << 20, 'n');
    for (const bool together : {false, true}) {
        const QString target = dir.write("long.txt", "old long");
        const QString other = dir.write("short.txt", "old short");
        AtomicFile f(target);
        f.open();
        g_earlySyncs = 0;
        g_earlySyncError = EIO;
        f.write(longer.data(), longer.size());
        f.prepare();
        AtomicFile s(other);
        s.open();
        s.write("new short", 9);
        s.prepare();
        if (together) {
            AtomicFile* both[] = {&f, &s};
            AtomicFile::syncTogether(both);
        }
        // The final syncs (fsync, syncfs) do not fail: only the early one did.
        try {
            f.install();
            ADD_FAILURE() << "installed after a failed sync";
        } catch (const Failure& e) {
            EXPECT_EQ(e.action(), "Cannot write");
            EXPECT_EQ(e.path(), QDir::toNativeSeparators(target));
            EXPECT_EQ(e.reason(), QString::fromLocal8Bit(std::strerror(EIO)));
        }
        g_earlySyncError = 0;
        EXPECT_GT(g_earlySyncs.load(), 0);
        s.install();
        EXPECT_EQ(TempDir::read(target), "old long") << together;
        EXPECT_EQ(TempDir::read(other), "new short") << together;
        EXPECT_EQ(dir.entries(), (QStringList{"long.txt", "short.txt"})) << together;
    }
}

TEST(AtomicFile, AnAbandonedWriterLeavesNothingBehind) {
    TempDir dir;
    const QString target = dir.write("t.txt", "before");
    {
        AtomicFile f(target);
        f.open();
        f.write("partial", 7);
        // While it is written the new content has no name, so a kill now leaves nothing.
        EXPECT_EQ(dir.entries(), QStringList{"t.txt"});
    }
    EXPECT_EQ(TempDir::read(target), "before");
    EXPECT_EQ(dir.entries(), QStringList{"t.txt"});
}

namespace {

QByteArray native(const QString& p) {
    return nativeName(p);
}

QByteArray readBytes(const QByteArray& path) {
    QFile f;
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0 || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return "<missing>";
    return f.readAll();
}

bool symlinkAt(const QByteArray& target, const QString& link) {
    return ::symlink(target.constData(), native(link).constData()) == 0;
}

// Runs `body` in a child process as the user nobody; returns the child's exit code, or -1 when
// the user cannot be switched to here (not root).
template <class F>
int asNobody(F body) {
    if (::geteuid() != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// What opening and committing `content` over `target` gives: empty on success, else the
// failure's description.
QString replaceWith(const QString& target, const QByteArray& content,
                    const FileStamp* source = nullptr, const QString& sourcePath = QString()) {
    try {
        AtomicFile f(target);
        if (source)
            f.expectSource(sourcePath.isEmpty() ? target : sourcePath, *source);
        f.open();
        f.write(content.constData(), std::size_t(content.size()));
        f.commit();
        return QString();
    } catch (const Failure& e) {
        return e.description();
    }
}

QByteArray shell(const QString& command) {
    QProcess p;
    p.start("sh", {"-c", command});
    p.waitForFinished();
    return p.exitCode() == 0 ? p.readAllStandardOutput() : QByteArray("<failed>");
}

}  // namespace

TEST(NativeName, EveryByteStringSurvivesTheTripThroughText) {
    const QByteArray cases[] = {
        "plain.txt",
        "caf\xC3\xA9.txt",
        "caf\xE9.txt",
        "\xFF\xFE",
        "\xC3",
        "a\xC3(b",
        "\xED\xA0\x80",         // an encoded surrogate is not UTF-8
        "\xC0\xAF",             // an overlong "/"
        "\xF4\x90\x80\x80",     // past U+10FFFF
        "\xF0\x9F\x98\x80.txt"  // a character outside the basic plane
    };
    for (const QByteArray& bytes : cases) {
        const QString name = nameFromNative(bytes);
        EXPECT_EQ(nativeName(name), bytes) << bytes.toHex().constData();
    }
    EXPECT_EQ(nameFromNative("caf\xC3\xA9"), QString::fromUtf8("caf\xC3\xA9"));
    EXPECT_EQ(displayName(nameFromNative("caf\xE9.txt")), "caf\\xE9.txt");
    EXPECT_EQ(displayName(nameFromNative("\xF0\x9F\x98\x80")),
              QString::fromUtf8("\xF0\x9F\x98\x80"));
}

TEST(AtomicFile, TheSystemFollowsLinksAndTheResultReplacesTheFileTheyName) {
    TempDir dir;
    // real/sub/f.txt -> ../data.txt is real/data.txt to the system; a textual tidy of
    // alias/../data.txt would name the unrelated data.txt beside real/.
    dir.write("real/data.txt", "linked");
    dir.write("data.txt", "unrelated");
    QDir(dir.path()).mkpath("real/sub");
    ASSERT_TRUE(symlinkAt("../data.txt", dir.path("real/sub/f.txt")));
    ASSERT_TRUE(symlinkAt("real/sub", dir.path("alias")));
    EXPECT_EQ(replaceWith(dir.path("alias/f.txt"), "new"), QString());
    EXPECT_EQ(TempDir::read(dir.path("real/data.txt")), "new");
    EXPECT_EQ(TempDir::read(dir.path("data.txt")), "unrelated");
    EXPECT_TRUE(QFileInfo(dir.path("real/sub/f.txt")).isSymLink());

    // A link to a name that is not valid UTF-8 replaces that very file, and no other appears.
    const QByteArray latin1 = native(dir.path("caf")) + "\xE9.txt";
    const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(symlinkAt("caf\xE9.txt", dir.path("link.txt")));
    EXPECT_EQ(replaceWith(dir.path("link.txt"), "bytes"), QString());
    EXPECT_EQ(readBytes(latin1), "bytes");
    EXPECT_EQ(listDirectory(dir.path()).entries.size(), 5u);

    // Named directly, by its bytes turned into text and back.
    EXPECT_EQ(replaceWith(nameFromNative(latin1), "again"), QString());
    EXPECT_EQ(readBytes(latin1), "again");
    ::unlink(latin1.constData());  // QTemporaryDir cannot name it
}

TEST(AtomicFile, TemporaryNamesAreShortSoTheLongestNamesCanBeWritten) {
    TempDir dir;
    const QString longest = dir.write(QString(255, QLatin1Char('n')), "old");
    EXPECT_EQ(replaceWith(longest, "new"), QString());
    EXPECT_EQ(TempDir::read(longest), "new");
}

TEST(AtomicFile, LeftoverTemporariesOfThisUserAreRemovedOnceTheyAreAMinuteOld) {
    TempDir dir;
    const QString old = dir.write(".varnobis-abcdefgh", "left by a kill");
    const QString fresh = dir.write(".varnobis-ijklmnop", "a writer at work");
    const QString notOurs = dir.write(".varnobis-notours.txt", "someone's file");
    const QString oldButOther = dir.write(".varnobis-qrstuvwx", "another user's");
    struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 120, 0}};
    for (const QString& p : {old, notOurs, oldButOther})
        ASSERT_EQ(::utimensat(AT_FDCWD, native(p).constData(), times, 0), 0);
    ASSERT_EQ(::chown(native(oldButOther).constData(), 65534, 65534), 0);
    const QString target = dir.write("t.txt", "old");
    EXPECT_EQ(replaceWith(target, "new"), QString());
    EXPECT_EQ(dir.entries(), (QStringList{".varnobis-ijklmnop", ".varnobis-notours.txt",
                                          ".varnobis-qrstuvwx", "t.txt"}));
}

TEST(AtomicFile, RefusesFilesItMustNotReplaceAndLeavesThemAsTheyAre) {
    TempDir dir;
    // Several hard links: replacing one would split them without a word.
    const QString linked = dir.write("linked.txt", "shared");
    ASSERT_EQ(::link(native(linked).constData(), native(dir.path("other.txt")).constData()), 0);
    EXPECT_TRUE(replaceWith(linked, "new").contains("2 hard links"));
    EXPECT_EQ(TempDir::read(dir.path("other.txt")), "shared");
    EXPECT_EQ(TempDir::read(linked), "shared");

    // A file the user may not write, in a folder the user owns: the folder would allow the
    // rename, the file does not.
    QDir(dir.path()).mkdir("theirs");
    const QString rootsFile = dir.write("theirs/root.txt", "root's");
    ::chmod(native(rootsFile).constData(), 0644);
    ::chown(native(dir.path("theirs")).constData(), 65534, 65534);
    ::chmod(native(dir.path()).constData(), 0755);
    const int code = asNobody([&] {
        const QString why = replaceWith(rootsFile, "mine");
        return why.contains(rootsFile) && why.contains("Permission denied") ? 0 : 1;
    });
    if (code == -1)
        GTEST_SKIP() << "switching to the user nobody needs root";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(TempDir::read(rootsFile), "root's");
    struct stat st;
    ASSERT_EQ(::stat(native(rootsFile).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST(AtomicFile, InASharedStickyFolderAnotherUsersLinkIsNotFollowed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "two users are needed: this runs as root and nobody";
    TempDir dir;
    ::chmod(native(dir.path()).constData(), 0755);
    QDir(dir.path()).mkdir("shared");
    const QString shared = dir.path("shared");
    ASSERT_EQ(::chmod(native(shared).constData(), 01777), 0);
    const QString secret = dir.write("secret.txt", "root only");
    ::chmod(native(secret).constData(), 0600);
    // nobody plants a link where root is about to write.
    const int planted =
        asNobody([&] { return symlinkAt(native(secret), shared + "/out.txt") ? 0 : 1; });
    ASSERT_EQ(planted, 0);
    const QString why = replaceWith(shared + "/out.txt", "root's output");
    EXPECT_TRUE(why.contains("another user")) << why.toStdString();
    EXPECT_EQ(TempDir::read(secret), "root only");

    // root's own link there is followed, as the system would follow it.
    ASSERT_TRUE(symlinkAt(native(secret), shared + "/mine.txt"));
    EXPECT_EQ(replaceWith(shared + "/mine.txt", "by root"), QString());
    EXPECT_EQ(TempDir::read(secret), "by root");
}

TEST(AtomicFile, TheReplacedFileKeepsItsAclAndExtendedAttributes) {
    TempDir dir;
    const QString target = dir.write("t.txt", "old");
    const QString q = "'" + target + "'";
    ::chmod(native(target).constData(), 0640);
    if (shell("setfacl -m u:nobody:r,g::r " + q + " && setfattr -n user.note -v kept " + q) ==
        "<failed>")
        GTEST_SKIP() << "setfacl/setfattr do not work here (package acl/attr, or the file system)";
    const QByteArray acl = shell("getfacl -c " + q);
    const QByteArray attrs = shell("getfattr -d -m - " + q);
    const mode_t mode = modeOf(target);
    EXPECT_EQ(replaceWith(target, "new"), QString());
    EXPECT_EQ(TempDir::read(target), "new");
    EXPECT_EQ(shell("getfacl -c " + q), acl);
    EXPECT_EQ(shell("getfattr -d -m - " + q).replace(native(target), ""),
              QByteArray(attrs).replace(native(target), ""));
    // With an ACL the group bits are its mask: copying the mode alone would widen the group's
    // rights.
    EXPECT_EQ(modeOf(target), mode);
    EXPECT_TRUE(acl.contains("user:nobody:r--")) << acl.constData();
}

TEST(AtomicFile, AnInputThatChangedSinceItWasReadIsNotReplaced) {
    struct Case {
        const char* name;
        std::function<void(const QString&)> change;
        QByteArray after;
    };
    const std::vector<Case> cases = {
        {"saved by another program",
         [](const QString& p) {
             QFile f(p + ".new");
             f.open(QIODevice::WriteOnly);
             f.write("their save");
             f.close();
             ::rename(native(p + ".new").constData(), native(p).constData());
         },
         "their save"},
        {"appended to",
         [](const QString& p) {
             QFile f(p);
             f.open(QIODevice::Append);
             f.write("more\n");
         },
         "line one\nmore\n"},
        {"truncated", [](const QString& p) { ::truncate(native(p).constData(), 0); }, ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const QString target = dir.write("t.txt", "line one\n");
        FileReader reader(target);
        const FileStamp read = reader.stamp();
        reader.close();
        c.change(target);
        const QString why = replaceWith(target, "result", &read);
        EXPECT_TRUE(why.contains("changed during the run")) << c.name << why.toStdString();
        EXPECT_EQ(TempDir::read(target), c.after) << c.name;
        EXPECT_EQ(dir.entries(), QStringList{"t.txt"}) << c.name;
    }
    // Unchanged, it is replaced; and an output elsewhere is never held to the input's stamp.
    TempDir dir;
    const QString target = dir.write("t.txt", "line one\n");
    const FileStamp read = FileReader(target).stamp();
    EXPECT_EQ(replaceWith(target, "result", &read), QString());
    EXPECT_EQ(TempDir::read(target), "result");
    const QString elsewhere = dir.write("out.txt", "x");
    const FileStamp now = FileReader(target).stamp();
    EXPECT_EQ(replaceWith(elsewhere, "y", &now, target), QString());
}

namespace {

// A finished, prepared output for `target`, as an output hands it to a batch.
AtomicFile preparedFor(const QString& target, const QByteArray& content,
                       const FileStamp* source = nullptr) {
    AtomicFile f(target);
    f.open();
    f.write(content.constData(), std::size_t(content.size()));
    if (source)
        f.expectSource(target, *source);
    f.prepare();
    return f;
}

QStringList namesIn(const TempDir& dir) {
    QStringList names = dir.entries();
    names.sort();
    return names;
}

}  // namespace

TEST(CommitBatch, PutsEveryFileInPlaceInOrderAndShowsNothingBefore) {
    TempDir dir;
    ScriptedWindowServices ws;
    textio::CommitBatch batch(ws);
    QStringList targets;
    QStringList expected;
    for (int k = 0; k < 70; ++k) {
        const QString name = QStringLiteral("f%1.txt").arg(k, 2, 10, QLatin1Char('0'));
        targets.append(dir.write(name, "old " + QByteArray::number(k)));
        expected.append(name);
        batch.add(preparedFor(targets.last(), "new " + QByteArray::number(k)),
                  textio::kAppendLabels);
    }
    // Past the file count it asks to be flushed; until then no target and no folder changed.
    EXPECT_TRUE(batch.full());
    for (int k = 0; k < targets.size(); ++k)
        EXPECT_EQ(TempDir::read(targets[k]), "old " + QByteArray::number(k));
    EXPECT_EQ(namesIn(dir), expected);

    std::vector<std::size_t> order;
    const auto outcomes = batch.flush(
        [&](std::size_t k) {
            // Each file is still old when its turn comes, and every one before it is new.
            EXPECT_EQ(TempDir::read(targets[int(k)]), "old " + QByteArray::number(int(k)));
            if (k > 0)
                EXPECT_EQ(TempDir::read(targets[int(k) - 1]),
                          "new " + QByteArray::number(int(k) - 1));
            return true;
        },
        [&](std::size_t k, bool placed) {
            EXPECT_TRUE(placed);
            order.push_back(k);
        });
    ASSERT_EQ(outcomes.size(), 70u);
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k);
    for (int k = 0; k < targets.size(); ++k)
        EXPECT_EQ(TempDir::read(targets[k]), "new " + QByteArray::number(k));
    EXPECT_EQ(namesIn(dir), expected) << "no temporary file is left";
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(ws.errors().empty());
}

TEST(CommitBatch, AFileThatCannotBePutInPlaceIsReportedAloneAndTheOthersGoIn) {
    struct Case {
        const char* name;
        // Done to the middle file's target after its output joined the batch.
        std::function<void(const QString&)> meanwhile;
        const char* reason;
        QByteArray after;  // the middle target afterwards; empty: it became a folder
        bool stamped;      // the outputs are held to their inputs' stamps (in place)
    };
    const std::vector<Case> cases = {
        {"changed by another program",
         [](const QString& p) {
             QFile f(p);
             f.open(QIODevice::Append);
             f.write(" and theirs");
         },
         "changed during the run", "old b and theirs", true},
        {"replaced by a folder",
         [](const QString& p) {
             QFile::remove(p);
             QDir().mkpath(p + "/inside");
         },
         "Is a directory", QByteArray(), false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ScriptedWindowServices ws;
        textio::CommitBatch batch(ws);
        const QString a = dir.write("a.txt", "old a"), b = dir.write("b.txt", "old b"),
                      z = dir.write("z.txt", "old z");
        for (const QString& t : {a, b, z}) {
            const FileStamp read = FileReader(t).stamp();
            batch.add(preparedFor(t, "new " + QFileInfo(t).baseName().toLatin1(),
                                  c.stamped ? &read : nullptr),
                      textio::kAppendLabels);
        }
        c.meanwhile(b);
        const auto outcomes = batch.flush();
        using O = textio::CommitBatch::Outcome;
        EXPECT_EQ(outcomes, (std::vector<O>{O::Placed, O::Failed, O::Placed})) << c.name;
        EXPECT_EQ(TempDir::read(a), "new a") << c.name;
        EXPECT_EQ(TempDir::read(z), "new z") << c.name;
        if (!c.after.isEmpty())
            EXPECT_EQ(TempDir::read(b), c.after) << c.name;
        else
            EXPECT_TRUE(QFileInfo(b + "/inside").isDir()) << c.name;
        // One report, for that file, with the reason, under the output's finishing step.
        ASSERT_EQ(ws.errors().size(), 1u) << c.name;
        const QString text = ws.errors()[0].text;
        EXPECT_TRUE(text.contains(b)) << c.name << ": " << text.toStdString();
        EXPECT_FALSE(text.contains(a) || text.contains(z)) << c.name;
        EXPECT_TRUE(text.contains(c.reason)) << c.name << ": " << text.toStdString();
        EXPECT_TRUE(text.contains("AppendStringFSO at line 124")) << text.toStdString();
        EXPECT_EQ(namesIn(dir), (QStringList{"a.txt", "b.txt", "z.txt"})) << c.name;
    }
}

TEST(CommitBatch, FilesNotYetPutInPlaceWhenAskedToStopKeepTheirTargets) {
    TempDir dir;
    ScriptedWindowServices ws;
    QStringList targets;
    for (int k = 0; k < 5; ++k) targets.append(dir.write(QStringLiteral("f%1.txt").arg(k), "old"));
    // Stopped before the third file, and a batch destroyed unflushed.
    {
        textio::CommitBatch batch(ws);
        for (const QString& t : targets) batch.add(preparedFor(t, "new"), textio::kAppendLabels);
        const auto outcomes = batch.flush([](std::size_t k) { return k < 2; });
        using O = textio::CommitBatch::Outcome;
        EXPECT_EQ(outcomes,
                  (std::vector<O>{O::Placed, O::Placed, O::Dropped, O::Dropped, O::Dropped}));
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(TempDir::read(targets[k]), k < 2 ? "new" : "old") << k;
        dir.write("f0.txt", "old");
        dir.write("f1.txt", "old");
        for (const QString& t : targets) batch.add(preparedFor(t, "new"), textio::kAppendLabels);
    }
    for (const QString& t : targets) EXPECT_EQ(TempDir::read(t), "old");
    EXPECT_EQ(dir.entries().size(), 5) << dir.entries().join(' ').toStdString();
    EXPECT_TRUE(ws.errors().empty());
}

TEST(AtomicFile, SyncedTogetherOrAloneEveryPreparedFileCommitsTheSame) {
    TempDir dir;
    const QString a = dir.write("a.txt", "old"), b = dir.write("b.txt", "old");
    AtomicFile fa = preparedFor(a, "new a"), fb = preparedFor(b, "new b");
    AtomicFile* both[] = {&fa, &fb};
    AtomicFile::syncTogether(both);
    fa.install();
    // Written to after it was prepared, a file is prepared and synced again on its own.
    fb.write(" more", 5);
    EXPECT_FALSE(fb.isPrepared());
    fb.install();
    EXPECT_EQ(TempDir::read(a), "new a");
    EXPECT_EQ(TempDir::read(b), "new b more");
    EXPECT_EQ(namesIn(dir), (QStringList{"a.txt", "b.txt"}));
}

namespace {
int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}
}  // namespace

// A replaced file is freed off the caller's thread, from a descriptor held across the rename:
// the old file loses its name and keeps its bytes for whoever still has it open, and every such
// descriptor is closed soon after, however many files are replaced in a row.
TEST(AtomicFile, EveryReplacedFileIsLetGoOfAndNoDescriptorStaysOpen) {
    TempDir dir;
    const QString first = dir.write("0.txt", "old 0");
    const int held = ::open(QFile::encodeName(first).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const int before = openDescriptors();
    constexpr int kFiles = 400;
    for (int i = 0; i < kFiles; ++i) {
        const QString path = i == 0 ? first : dir.write(QStringLiteral("%1.txt").arg(i), "old");
        AtomicFile f(path);
        f.open();
        const QByteArray text = "new " + QByteArray::number(i);
        f.write(text.constData(), std::size_t(text.size()));
        f.commit();
        ASSERT_EQ(TempDir::read(path), text);
    }
    struct stat st;
    ASSERT_EQ(::fstat(held, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    char old[8] = {};
    EXPECT_EQ(::pread(held, old, sizeof old, 0), 5);
    EXPECT_STREQ(old, "old 0");
    ::close(held);
    int now = openDescriptors();
    for (int wait = 0; wait < 500 && now >= before; ++wait) {
        ::usleep(10000);
        now = openDescriptors();
    }
    EXPECT_EQ(now, before - 1);
    EXPECT_EQ(namesIn(dir).size(), kFiles);
}
