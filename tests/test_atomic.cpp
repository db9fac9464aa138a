#include "platform/Failure.h"
#include "platform/FileAccess.h"
#include "textio/TextFile.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vn;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

// Runs `body` in a child process under a file-size limit; returns the child's exit code.
template <class F>
int inChildWithFileLimit(rlim_t limit, F body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit rl{limit, limit};
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
    // Mid-stream (many buffered writes), at the final flush (all in one buffer), and one
    // oversized write that bypasses the buffer.
    struct Case {
        const char* name;
        rlim_t limit;
        std::size_t pieces, pieceSize;
    };
    for (const Case c : {Case{"mid-stream", 3u << 20, 1000, 10000}, Case{"final flush", 100, 1, 5000},
                         Case{"oversized write", 1u << 20, 1, 5u << 20}}) {
        const int code = inChildWithFileLimit(c.limit, [&] {
            AtomicFile f(target);
            try {
                f.open();
                const std::string piece(c.pieceSize, 'x');
                for (std::size_t i = 0; i < c.pieces; ++i) f.write(piece.data(), piece.size());
                f.commit();
            } catch (const Failure& e) {
                return e.description().contains(target) && e.description().contains("large") ? 3 : 4;
            }
            return 0;
        });
        EXPECT_EQ(code, 3) << c.name;
        EXPECT_EQ(TempDir::read(target), old) << c.name;
        EXPECT_EQ(dir.entries(), QStringList{"target.txt"}) << c.name;
    }
}

TEST(AtomicFile, PiecewiseOutputUnderAFullDiskReportsOnceAndKeepsTheTarget) {
    TempDir dir;
    const QByteArray old = "keep me\r\n";
    const QString target = dir.write("t.txt", old);
    const int code = inChildWithFileLimit(64 << 10, [&] {
        ScriptedWindowServices ws;
        textio::IsUnicodeFile = textio::IsUTF8File = false;
        {
            textio::PiecewiseOutput o(ws, target);
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
