// Faults from outside: kills, full disks, read-only targets, odd inputs. Each test that needs
// something the machine may not allow tries it first and skips with the reason.

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <functional>
#include <random>

using vn::test::TempDir;

namespace {

struct CliResult {
    int code = -1;
    QString out, err;
};

// Runs the command-line program, optionally under a file-size limit, as another user, or with
// a limit on its address space.
CliResult cli(const QStringList& args, rlim_t fileLimit = RLIM_INFINITY, uid_t asUser = uid_t(-1),
              rlim_t memoryLimit = RLIM_INFINITY) {
    QProcess p;
    p.setChildProcessModifier([fileLimit, asUser, memoryLimit] {
        if (fileLimit != RLIM_INFINITY) {
            struct rlimit rl {
                fileLimit, fileLimit
            };
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (memoryLimit != RLIM_INFINITY) {
            struct rlimit rl {
                memoryLimit, memoryLimit
            };
            ::setrlimit(RLIMIT_AS, &rl);
        }
        if (asUser != uid_t(-1)) {
            if (::setgid(asUser) != 0 || ::setuid(asUser) != 0)
                ::_exit(99);
        }
    });
    p.start(QStringLiteral(VARNOBIS_CLI), args);
    EXPECT_TRUE(p.waitForFinished(120000)) << "the program hung";
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QByteArray makeText(int lines, int seed) {
    QByteArray b;
    std::mt19937 rng(seed);
    for (int i = 0; i < lines; ++i) {
        b += (rng() % 3 == 0) ? "drop this line " : "keep this line ";
        b += QByteArray::number(i) + "\r\n";
    }
    return b;
}

// What mode "containing --text drop" makes of makeText's output.
QByteArray withoutDrops(const QByteArray& in) {
    QByteArray out;
    for (const QByteArray& line : in.split('\n')) {
        if (line.isEmpty() || line.contains("drop"))
            continue;
        out += line + "\n";
    }
    return out;
}

// How long a whole run with `args` takes on this machine (under a sanitizer, or on a loaded one,
// many times as long as on a quiet one), so that kills can be spread over all of it: the median
// of three runs, each from the inputs `reset` writes.
std::int64_t wholeRunMicroseconds(const QStringList& args, const std::function<void()>& reset) {
    std::vector<std::int64_t> times;
    for (int i = 0; i < 3; ++i) {
        reset();
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(QStringLiteral(VARNOBIS_CLI), args);
        if (!p.waitForStarted() || !p.waitForFinished(120000))
            return 0;
        times.push_back(std::max<std::int64_t>(t.nsecsElapsed() / 1000, 1));
    }
    std::sort(times.begin(), times.end());
    return times[1];
}

QStringList strayFiles(const TempDir& dir) {
    QStringList stray;
    for (const QString& e : dir.entries())
        if (e.contains(".varnobis-"))
            stray.append(e);
    return stray;
}

}  // namespace

TEST(Faults, KilledInPlaceRunsLeaveEveryInputOldOrNew) {
    TempDir dir;
    std::vector<QByteArray> olds;
    QStringList paths;
    for (int f = 0; f < 6; ++f) {
        olds.push_back(makeText(60000 + f * 20000, f));
        paths.append(dir.path(QStringLiteral("f%1.txt").arg(f)));
    }
    std::mt19937 rng(42);
    const QStringList args =
        QStringList{"--mode", "containing", "--text", "drop", "--in-place", "--quiet"} + paths;
    const std::int64_t whole = wholeRunMicroseconds(args, [&] {
        for (int f = 0; f < 6; ++f) dir.write(QStringLiteral("f%1.txt").arg(f), olds[f]);
    });
    ASSERT_GT(whole, 0);
    int kills = 0, sawNew = 0, sawOld = 0, strays = 0;
    for (int round = 0; round < 24; ++round) {
        for (int f = 0; f < 6; ++f) dir.write(QStringLiteral("f%1.txt").arg(f), olds[f]);
        QProcess p;
        p.start(QStringLiteral(VARNOBIS_CLI), args);
        ASSERT_TRUE(p.waitForStarted());
        // Anywhere in the run, whatever this machine's speed, up to its very end (the six
        // outputs wait in one batch and are put in place only in the run's last moments), and
        // now and then past it, so that some runs finish.
        ::usleep(useconds_t(whole * std::int64_t(2 + rng() % 148) / 100));
        if (p.state() == QProcess::Running) {
            ::kill(pid_t(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished();
        for (int f = 0; f < 6; ++f) {
            const QByteArray now = TempDir::read(paths[f]);
            const bool isOld = now == olds[f], isNew = now == withoutDrops(olds[f]);
            EXPECT_TRUE(isOld || isNew)
                << "round " << round << " file " << f << " size " << now.size();
            sawOld += isOld;
            sawNew += isNew;
        }
        // A kill in the instant between naming the finished temporary file and renaming it
        // leaves that name: only such names, short and recognisable, ever remain (a later run
        // in the folder tidies them once they are a minute old).
        for (const QString& s : strayFiles(dir)) {
            EXPECT_TRUE(QRegularExpression("^\\.varnobis-[a-z]{8}$").match(s).hasMatch())
                << "round " << round << ": " << s.toStdString();
            ++strays;
            QFile::remove(dir.path(s));
        }
    }
    EXPECT_GE(kills, 10);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
    EXPECT_LE(strays, kills);
    std::printf("kills survived: %d (inputs seen old %d, new %d; temporaries left %d)\n", kills,
                sawOld, sawNew, strays);
}

TEST(Faults, KilledInPlaceRunsOverManySmallFilesLeaveEachOldOrNew) {
    // Small files are put in place in batches: one sync, then the renames in order. A kill at
    // any moment, also between the sync and the last rename of a batch, must leave each file
    // exactly as it was or exactly as the run makes it.
    TempDir dir;
    constexpr int kFiles = 400;
    std::vector<QByteArray> olds;
    QStringList names, paths;
    for (int f = 0; f < kFiles; ++f) {
        olds.push_back(makeText(40 + f % 50, 1000 + f));
        names.append(QStringLiteral("s%1.txt").arg(f, 3, 10, QLatin1Char('0')));
        paths.append(dir.path(names.last()));
    }
    std::mt19937 rng(7);
    const QStringList args =
        QStringList{"--mode", "containing", "--text", "drop", "--in-place", "--quiet"} + paths;
    const std::int64_t whole = wholeRunMicroseconds(args, [&] {
        for (int f = 0; f < kFiles; ++f) dir.write(names[f], olds[f]);
    });
    ASSERT_GT(whole, 0);
    int kills = 0, sawNew = 0, sawOld = 0, strays = 0, mixedRounds = 0;
    for (int round = 0; round < 20; ++round) {
        for (int f = 0; f < kFiles; ++f) dir.write(names[f], olds[f]);
        QProcess p;
        p.start(QStringLiteral(VARNOBIS_CLI), args);
        ASSERT_TRUE(p.waitForStarted());
        // Anywhere in the run, whatever this machine's speed; short of its end, should the
        // runs go faster than they were timed.
        ::usleep(useconds_t(whole * std::int64_t(2 + rng() % 78) / 100));
        if (p.state() == QProcess::Running) {
            ::kill(pid_t(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished();
        int roundOld = 0, roundNew = 0;
        for (int f = 0; f < kFiles; ++f) {
            const QByteArray now = TempDir::read(paths[f]);
            const bool isOld = now == olds[f], isNew = now == withoutDrops(olds[f]);
            EXPECT_TRUE(isOld || isNew)
                << "round " << round << " file " << f << " size " << now.size();
            roundOld += isOld;
            roundNew += isNew;
        }
        sawOld += roundOld;
        sawNew += roundNew;
        mixedRounds += roundOld > 0 && roundNew > 0;
        // Only the name of a file caught between its link and its rename may remain: one at
        // most per kill, whatever the size of the batch.
        int roundStrays = 0;
        for (const QString& e : strayFiles(dir)) {
            EXPECT_TRUE(QRegularExpression("^\\.varnobis-[a-z]{8}$").match(e).hasMatch())
                << "round " << round << ": " << e.toStdString();
            ++roundStrays;
            QFile::remove(dir.path(e));
        }
        EXPECT_LE(roundStrays, 1) << "round " << round;
        strays += roundStrays;
        EXPECT_EQ(dir.entries().size(), kFiles) << "round " << round;
    }
    EXPECT_GE(kills, 10);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
    std::printf(
        "kills survived: %d (rounds left half done %d; files seen old %d, new %d; "
        "temporaries left %d)\n",
        kills, mixedRounds, sawOld, sawNew, strays);
}

TEST(Faults, AFullDiskKeepsTheTargetNamesTheFileAndGoesOnWithTheNext) {
    struct Case {
        const char* name;
        rlim_t limit;
        int bigLines;
    };
    // Past the limit mid-stream (the output is larger than the write buffer), at the final
    // flush (the whole output fits in the buffer), and on one write larger than the buffer.
    for (const Case c : {Case{"mid-stream", 2u << 20, 400000}, Case{"final flush", 64u << 10, 8000},
                         Case{"oversized write", 1u << 20, 200000}}) {
        TempDir dir;
        const QByteArray small = "keep a\r\ndrop b\r\n";
        const QByteArray big = makeText(c.bigLines, 3);
        const QString a = dir.write("a.txt", small), b = dir.write("b.txt", big),
                      z = dir.write("z.txt", small);
        QStringList args{"--mode", "containing", "--text", "drop", "--in-place", a, b, z};
        // With nothing removed the output is the input, written in pieces larger than the
        // write buffer.
        const bool whole = QByteArray(c.name) == "oversized write";
        if (whole)
            args[3] = "no such text";
        const QByteArray smallAfter = whole ? small : QByteArray("keep a\r\n");
        const CliResult r = cli(args, c.limit);
        EXPECT_EQ(r.code, 1) << c.name << r.err.toStdString();
        EXPECT_EQ(TempDir::read(b), big) << c.name;
        EXPECT_TRUE(r.err.contains(b)) << c.name << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("File too large")) << c.name;
        EXPECT_EQ(TempDir::read(a), smallAfter) << c.name;
        EXPECT_EQ(TempDir::read(z), smallAfter) << c.name << ": the next file is processed";
        EXPECT_EQ(strayFiles(dir), QStringList()) << c.name;
    }
}

TEST(Faults, AFullTmpfsKeepsTheTarget) {
    TempDir dir;
    const QString mnt = dir.path("mnt");
    QDir().mkpath(mnt);
    if (::mount("tmpfs", mnt.toLocal8Bit().constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QString at;
        ~Unmount() { ::umount(at.toLocal8Bit().constData()); }
    } unmount{mnt};
    // 700 KiB of input: its output does not fit beside it in 1 MiB. One line goes, so that
    // the file must be rewritten.
    QByteArray big = "drop this one\r\n";
    while (big.size() < 700 * 1024) big += "keep this line in the file\r\n";
    QFile f(mnt + "/big.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(big), big.size());
    f.close();
    const CliResult r =
        cli({"--mode", "containing", "--text", "drop", "--in-place", mnt + "/big.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("No space left")) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(mnt + "/big.txt"), big);
    EXPECT_EQ(QDir(mnt).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"big.txt"});
}

TEST(Faults, ReadOnlyFilesAndFoldersAreReportedAndUntouched) {
    TempDir dir;
    const QString ro = dir.write("ro.txt", "drop\r\nkeep\r\n");
    ::chmod(ro.toLocal8Bit().constData(), 0444);
    CliResult r = cli({"--mode", "containing", "--text", "drop", "--in-place", ro});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("read-only")) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(ro), "drop\r\nkeep\r\n");

    // A folder the user may not write to. Root may write anywhere, so run as nobody.
    QDir(dir.path()).mkdir("locked");
    const QString inLocked = dir.write("locked/f.txt", "drop\r\nkeep\r\n");
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    ::chmod(inLocked.toLocal8Bit().constData(), 0666);
    ::chmod(dir.path("locked").toLocal8Bit().constData(), 0555);
    const uid_t nobody = ::geteuid() == 0 ? 65534 : uid_t(-1);
    r = cli({"--mode", "containing", "--text", "drop", "--in-place", inLocked}, RLIM_INFINITY,
            nobody);
    if (r.code == 99)
        GTEST_SKIP() << "cannot drop privileges here";
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("Permission denied")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(inLocked));
    EXPECT_EQ(TempDir::read(inLocked), "drop\r\nkeep\r\n");
    ::chmod(dir.path("locked").toLocal8Bit().constData(), 0755);
}

TEST(Faults, FifosAndDevicesFailClearlyWithoutHanging) {
    TempDir dir;
    QDir(dir.path()).mkdir("out");
    const QString fifo = dir.path("pipe");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString good = dir.write("good.txt", "\r\nx\r\n");
    const CliResult r =
        cli({"--mode", "blank", "--out-dir", dir.path("out"), fifo, "/dev/zero", good});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("pipe")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("device")) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(dir.path("out/good.txt")), "x\r\n");
    EXPECT_EQ(QDir(dir.path("out")).entryList(QDir::Files), QStringList{"good.txt"});
}

TEST(Faults, LargeInputs) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a 3 GiB file of one line (held whole, being one line) is too slow and too "
                    "large under AddressSanitizer; the plain build runs it";
#endif
    TempDir dir;
    // A 3 GiB sparse file: a line of text, then NUL bytes. It is binary, so it is left as it is,
    // without being read through.
    const QString sparse = dir.write("sparse.bin", "some text\r\n");
    {
        QFile f(sparse);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        if (!f.resize(qint64(3) << 30))
            GTEST_SKIP() << "no sparse files here";
    }
    CliResult r = cli({"--mode", "not-containing", "--text", "x", "--in-place", sparse});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QFileInfo(sparse).size(), qint64(3) << 30);

    // A single line of 200 MB.
    QByteArray line(200 << 20, 'a');
    line += "needle\r\n";
    const QString one = dir.write("one.txt", line);
    line.clear();
    r = cli({"--mode", "not-containing", "--text", "needle", "--in-place", one});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QFileInfo(one).size(), (200 << 20) + 8);
}

// The input is read a piece at a time, so a failure can come after part of the output is
// written: a line too long for the memory left must drop that output and leave an in-place
// input exactly as it was.
TEST(Faults, ALineTooLongForMemoryMidwayLeavesTheInputAlone) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    TempDir dir;
    const QByteArray head = makeText(60000, 3) + "\r\n";  // over a piece of lines, one blank
    const QString path = dir.write("long.txt", head);
    {
        // Then one line of 96 MiB (of text: NUL bytes would make the file binary).
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        const QByteArray block(1 << 20, 'a');
        for (int i = 0; i < 96; ++i) ASSERT_EQ(f.write(block), block.size());
    }
    const QFileInfo before(path);
    // The blank-line mode needs no line count first, so it meets the long line by the walk.
    const CliResult r =
        cli({"--mode", "blank", "--in-place", path}, RLIM_INFINITY, uid_t(-1), rlim_t(1) << 26);
    EXPECT_EQ(r.code, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(path)) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("not enough memory")) << r.err.toStdString();
    EXPECT_EQ(QFileInfo(path).size(), before.size());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(head.size()), head);
    EXPECT_TRUE(strayFiles(dir).isEmpty()) << strayFiles(dir).join(' ').toStdString();
}

// A binary file is not text: rewriting it line by line could only damage it. It is left
// exactly as it is, written nowhere, and that is no failure.
TEST(Faults, BinaryFilesAreLeftAlone) {
    TempDir dir;
    QDir(dir.path()).mkdir("out");
    std::mt19937 rng(5);
    QByteArray bin;
    for (int i = 0; i < 300000; ++i) bin.append(char(rng() % 256));
    bin += "\r\n";
    if (bin.startsWith("\xFF\xFE") || bin.startsWith("\xFE\xFF") || bin.startsWith("\xEF\xBB") ||
        bin.startsWith(QByteArray(2, '\0')))
        bin[0] = 'x';
    ASSERT_TRUE(bin.contains('\0'));
    const QString in = dir.write("blob.bin", bin);
    ASSERT_EQ(::utime(in.toLocal8Bit().constData(), nullptr), 0);
    struct stat before;
    ASSERT_EQ(::stat(in.toLocal8Bit().constData(), &before), 0);
    for (const char* text : {"no such text", "x"}) {
        CliResult r =
            cli({"--mode", "containing", "--text", text, "--out-dir", dir.path("out"), in});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.path("out/blob.txt")));
        r = cli({"--mode", "blank", "--in-place", in});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        r = cli({"--mode", "containing", "--text", text, "--in-place", in});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
    }
    struct stat after;
    ASSERT_EQ(::stat(in.toLocal8Bit().constData(), &after), 0);
    EXPECT_EQ(TempDir::read(in), bin);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_TRUE(strayFiles(dir).isEmpty()) << strayFiles(dir).join(' ').toStdString();
}

TEST(Faults, InPlaceThroughLinksWritesTheFileTheSystemFinds) {
    TempDir dir;
    dir.write("real/data.txt", "drop 1\r\nkeep 2\r\n");
    dir.write("data.txt", "unrelated\r\n");
    QDir(dir.path()).mkpath("real/sub");
    ASSERT_EQ(::symlink("../data.txt", QFile::encodeName(dir.path("real/sub/f.txt")).constData()),
              0);
    ASSERT_EQ(::symlink("real/sub", QFile::encodeName(dir.path("alias")).constData()), 0);
    const CliResult r =
        cli({"--mode", "containing", "--text", "drop", "--in-place", dir.path("alias/f.txt")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(dir.path("real/data.txt")), "keep 2\r\n");
    EXPECT_EQ(TempDir::read(dir.path("data.txt")), "unrelated\r\n");
}

TEST(Faults, FilesTheUserMayNotReadOrWriteFailTheRunAndStayAsTheyWere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to set the files up and run as nobody";
    TempDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    QDir(dir.path()).mkdir("mine");
    const QString folder = dir.path("mine");
    ::chown(QFile::encodeName(folder).constData(), 65534, 65534);
    // root's files in a folder the user owns: one the user may only read, one not even that.
    const QString readable = dir.write("mine/root.txt", "drop 1\r\nkeep 2\r\n");
    const QString closed = dir.write("mine/closed.txt", "drop 1\r\nkeep 2\r\n");
    ::chmod(QFile::encodeName(readable).constData(), 0644);
    ::chmod(QFile::encodeName(closed).constData(), 0600);
    for (const QString& file : {readable, closed}) {
        const CliResult r = cli({"--mode", "containing", "--text", "drop", "--in-place", file},
                                RLIM_INFINITY, 65534);
        EXPECT_EQ(r.code, 1) << file.toStdString() << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("FAILED")) << r.out.toStdString();
        EXPECT_FALSE(r.out.contains("skipped")) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(file) && r.err.contains("Permission denied"))
            << r.err.toStdString();
        EXPECT_EQ(TempDir::read(file), "drop 1\r\nkeep 2\r\n");
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
    }
}
