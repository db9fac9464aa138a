#include "core/Failure.h"
#include "core/NativeName.h"
#include "filelist/FolderWalk.h"
#include "filelist/PathTests.h"
#include "platform/FileAttributes.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vn;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

QByteArray native(const QString& p) {
    return QFile::encodeName(p);
}

// Makes each folder (and its parents) below root.
void mkdirs(const TempDir& root, const QStringList& rel) {
    for (const QString& r : rel) ASSERT_TRUE(QDir(root.path()).mkpath(r)) << r.toStdString();
}

// The walk's result with the root's path taken off, so expectations read as relative paths.
QStringList walk(const QString& root, bool recurse = true, ScriptedWindowServices* ws = nullptr) {
    ScriptedWindowServices own;
    ScriptedWindowServices& s = ws ? *ws : own;
    QStringList folders{root + QLatin1Char('/')};
    GetSubDirectories2016(s, folders, recurse);
    EXPECT_TRUE(s.errors().empty());
    QStringList rel;
    for (const QString& f : folders) rel.append(f.mid(root.size() + 1));
    return rel;
}

}  // namespace

TEST(CleanPath, BothSeparatorForms) {
    struct Row {
        QString in, out;
    };
    const std::vector<Row> backslash = {
        {R"(C:\\a\\\b)", R"(C:\a\\b)"},
        {R"(\\server\share\f.txt)", R"(\\server\share\f.txt)"},
        {R"(\\server\share\\f.txt)", R"(\\server\share\f.txt)"},
        {R"(\f)", R"(\\f)"},
        {R"(\\\\\x)", R"(\\x)"},
        {R"(a\\\\b)", R"(a\\b)"},
        {R"(C:\\f.txt)", R"(C:\f.txt)"},
        {"", ""},
    };
    for (const Row& r : backslash) EXPECT_EQ(CleanPath(r.in, u'\\'), r.out) << r.in.toStdString();
    const std::vector<Row> slash = {
        {"//f.txt", "/f.txt"},
        {"/f.txt", "/f.txt"},
        {"///usr//x", "/usr/x"},
        {"//", "/"},
        {"/home/a//b.txt", "/home/a/b.txt"},
        {"/a///b", "/a//b"},
        {"rel//x", "rel/x"},
        {"", ""},
    };
    for (const Row& r : slash) EXPECT_EQ(CleanPath(r.in, u'/'), r.out) << r.in.toStdString();
}

TEST(HasBadChars, RefusesControlsC1AndQuestionMarkOnly) {
    const std::vector<std::pair<QString, bool>> rows = {
        {"plain name", false},
        {QStringLiteral("Ärger"), false},
        {QStringLiteral("日本語"), false},
        {QString::fromUcs4(U"\U0001F600 x"), false},
        {QStringLiteral("nbsp\u00A0"), false},
        {"~$lock", false},
        {"what?", true},
        {QStringLiteral("tab\t"), true},
        {QStringLiteral("\x01"), true},
        {QStringLiteral("del\x7F"), true},
        {QStringLiteral("c1\u0085"), true},
        {QStringLiteral("c1\u009F"), true},
    };
    for (const auto& [name, bad] : rows) EXPECT_EQ(HasBadChars(name), bad) << name.toStdString();
}

TEST(Wildcards, WindowsRulesIgnoringCase) {
    struct Row {
        const char* pattern;
        QString name;
        bool match;
    };
    const std::vector<Row> rows = {
        {"*.*", "noext", true},
        {"*.*", "a.b.c", true},
        {"*.*", ".hidden", true},
        {"*.txt", "a.TXT", true},
        {"*.TXT", "a.txt", true},
        {"*.txt", "a.txt.bak", false},
        {"*.txt", "a.b.txt", true},
        {"*.txt", "txt", false},
        {"*.txt", ".txt", true},
        {"?.txt", "a.txt", true},
        {"?.txt", "ab.txt", false},
        {"?.txt", ".txt", false},
        {"a.*", "a", true},
        {"a.*", "ab", false},
        {"*..txt", "a.txt", false},
        {"*.t?t", "x.tXt", true},
        {"*", "", true},
        {"*.log", "x.log", true},
        {"*.txt", QStringLiteral("ÄPFEL.TXT"), true},
        {"?.x", QString::fromUcs4(U"\U0001F600.x"), true},  // one character, two code units
    };
    for (const Row& r : rows)
        EXPECT_EQ(matchesWildcard(QString::fromUtf8(r.pattern), r.name), r.match)
            << r.pattern << " vs " << r.name.toStdString();
}

TEST(GetFilesInFolder, RegularFilesIncludingHiddenInNameOrder) {
    TempDir d;
    for (const char* n : {"b.TXT", "a.txt", ".hidden.txt", "noext", "c.txt.bak", "f..txt"})
        d.write(n, "x");
    mkdirs(d, {"sub.txt"});
    ASSERT_EQ(::symlink("a.txt", native(d.path("link.txt")).constData()), 0);
    ASSERT_EQ(::symlink("missing", native(d.path("dangling.txt")).constData()), 0);
    ASSERT_EQ(::mkfifo(native(d.path("pipe.txt")).constData(), 0600), 0);

    const QStringList txt = {".hidden.txt", "a.txt", "b.TXT", "f..txt", "link.txt"};
    EXPECT_EQ(GetFilesInFolder(d.path(), "*.txt"), txt);
    EXPECT_EQ(GetFilesInFolder(d.path() + "/", "*.TXT"), txt);
    EXPECT_EQ(
        GetFilesInFolder(d.path(), "*.*"),
        QStringList({".hidden.txt", "a.txt", "b.TXT", "c.txt.bak", "f..txt", "link.txt", "noext"}));
    EXPECT_EQ(GetFilesInFolder(d.path(), "*..txt"), QStringList{"f..txt"});
    EXPECT_TRUE(GetFilesInFolder(d.path("sub.txt"), "*.*").isEmpty());
    EXPECT_TRUE(GetFilesInFolder(d.path("nowhere"), "*.*").isEmpty());

    EXPECT_TRUE(IsExistingFile(d.path("a.txt")));
    EXPECT_FALSE(IsExistingFile(d.path("sub.txt")));
    EXPECT_FALSE(IsExistingFile(d.path("pipe.txt")));
    EXPECT_TRUE(PathExists(d.path("sub.txt")));
    EXPECT_FALSE(PathExists(d.path("dangling.txt")));
    EXPECT_FALSE(PathExists(""));
    EXPECT_TRUE(IsFolder(d.path("sub.txt") + "/"));
    EXPECT_FALSE(IsFolder(d.path("a.txt")));
}

TEST(FileAttributes, WindowsValuesFromPosixMetadata) {
    TempDir d;
    mkdirs(d, {"dir", ".hid"});
    const QString ro = d.write(".ro", "x");
    d.write(".rw", "x");
    d.write("plain", "x");
    const QString plainRo = d.write("plain-ro", "x");
    ::chmod(native(ro).constData(), 0444);
    ::chmod(native(plainRo).constData(), 0444);
    ::symlink("dir", native(d.path("dirlink")).constData());
    ::symlink("plain", native(d.path("filelink")).constData());
    ::symlink("missing", native(d.path(".dangling")).constData());
    const std::vector<std::pair<const char*, int>> rows = {
        {".rw", 34},  {".ro", 35},   {"plain", 32},     {"plain-ro", 33},   {"dir", 16},
        {".hid", 18}, {".hid/", 18}, {"dirlink", 1040}, {"filelink", 1056}, {".dangling", 1026},
    };
    for (const auto& [name, value] : rows) EXPECT_EQ(fileAttributes(d.path(name)), value) << name;
    EXPECT_THROW(fileAttributes(d.path("missing")), Failure);

    // Hidden + system folders (and junctions) are never walked; every other value is.
    for (int v : {22, 1046}) EXPECT_TRUE(isExcludedFolderAttributes(v)) << v;
    for (int v : {16, 17, 18, 23, 1040, 1042, 1047})
        EXPECT_FALSE(isExcludedFolderAttributes(v)) << v;
}

TEST(Walker, LevelByLevelInNameOrderSkippingRefusedNames) {
    TempDir d;
    mkdirs(d, {"b/b1/b11", "A/a2", "A/a1", ".hidden/h1", QStringLiteral("Ärger/x"),
               QStringLiteral("日本"), "what?/below", QStringLiteral("ctl\x01/below"),
               QStringLiteral("c1\u0085"), "del\x7F"});
    d.write("file-not-folder", "x");
    ::symlink("../file-not-folder", native(d.path("A/link-to-file")).constData());
    // A name whose bytes are not UTF-8 is walked like any other, and keeps its bytes.
    ASSERT_EQ(::mkdir((native(d.path()) + "/bad\xff").constData(), 0755), 0);
    ASSERT_EQ(::mkdir((native(d.path()) + "/bad\xff/below").constData(), 0755), 0);
    const QString bad = nameFromNative("bad\xff/");

    EXPECT_EQ(walk(d.path()),
              QStringList({"", ".hidden/", "A/", "b/", bad, QStringLiteral("Ärger/"),
                           QStringLiteral("日本/"), ".hidden/h1/", "A/a1/", "A/a2/", "b/b1/",
                           bad + "below/", QStringLiteral("Ärger/x/"), "b/b1/b11/"}));
    EXPECT_EQ(walk(d.path(), false),
              QStringList({"", ".hidden/", "A/", "b/", bad, QStringLiteral("Ärger/"),
                           QStringLiteral("日本/")}));
    // QTemporaryDir cannot name it to remove it.
    ::rmdir((native(d.path()) + "/bad\xff/below").constData());
    ::rmdir((native(d.path()) + "/bad\xff").constData());
}

TEST(Walker, EachFolderOnceThroughLinksAndLoops) {
    TempDir d;
    mkdirs(d, {"a/deep", "b"});
    ASSERT_EQ(::symlink("..", native(d.path("a/up")).constData()), 0);        // loop to the root
    ASSERT_EQ(::symlink("../a", native(d.path("b/to-a")).constData()), 0);    // a reached twice
    ASSERT_EQ(::symlink("a/deep", native(d.path("c-deep")).constData()), 0);  // found first
    ASSERT_EQ(::symlink("loop", native(d.path("b/loop")).constData()), 0);    // link to itself
    EXPECT_EQ(walk(d.path()), QStringList({"", "a/", "b/", "c-deep/"}));

    // Two given folders, one inside the other: the inner one's subfolders appear once.
    ScriptedWindowServices ws;
    QStringList folders{d.path() + "/", d.path("a") + "/"};
    GetSubDirectories2016(ws, folders, true);
    for (QString& f : folders) f = f.mid(d.path().size() + 1);
    EXPECT_EQ(folders, QStringList({"", "a/", "b/", "c-deep/"}));
}

TEST(Walker, VanishedFoldersAreDroppedAndMissingOnesLeftAlone) {
    TempDir d;
    mkdirs(d, {"a/a1", "b/b1"});
    ScriptedWindowServices ws;
    // "b" disappears at the yield just before it is listed (one for "a", one for "a1").
    ws.onYield = [&](int n) {
        if (n == 3)
            QDir(d.path("b")).removeRecursively();
    };
    QStringList folders{d.path("a/"), d.path("b/")};
    GetSubDirectories2016(ws, folders, true);
    EXPECT_EQ(folders, QStringList({d.path("a/"), d.path("a/a1/")}));
    EXPECT_TRUE(ws.errors().empty());

    // A folder that is not there is not looked into, and the caller's list keeps it.
    folders = QStringList{d.path("nowhere/")};
    GetSubDirectories2016(ws, folders, true);
    EXPECT_EQ(folders, QStringList{d.path("nowhere/")});
}

TEST(Walker, AFolderThatDeniesAccessIsLeftOut) {
    TempDir d;
    mkdirs(d, {"open/o1", "locked/l1", "zeta/z1"});
    ::chmod(native(d.path()).constData(), 0755);
    ::chmod(native(d.path("locked")).constData(), 0);
    const bool root = ::geteuid() == 0;
    // Root reads every folder, so the walk runs as nobody in a child; the result comes back
    // through a pipe.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
        if (::access(native(d.path()).constData(), R_OK | X_OK) != 0)
            ::_exit(98);
        const QByteArray out = walk(d.path()).join('|').toUtf8();
        ::_exit(::write(fds[1], out.constData(), out.size()) == out.size() ? 0 : 97);
    }
    ::close(fds[1]);
    QByteArray got;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::chmod(native(d.path("locked")).constData(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 99 || WEXITSTATUS(status) == 98)
        GTEST_SKIP() << "cannot walk the tree as an unprivileged user here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(QString::fromUtf8(got), "|open/|zeta/|open/o1/|zeta/z1/");
}
