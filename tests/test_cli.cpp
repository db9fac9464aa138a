#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <random>
#include <string>
#include <vector>

using vn::test::TempDir;

namespace {

struct CliRun {
    int code = -1;
    QString out, err;
};

CliRun cli(const QStringList& args, const QString& workdir = QString()) {
    QProcess p;
    if (!workdir.isEmpty())
        p.setWorkingDirectory(workdir);
    p.start(QStringLiteral(VARNOBIS_CLI), args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The program fed `input` on standard input.
CliRun cliWithInput(const QStringList& args, const QByteArray& input) {
    QProcess p;
    p.start(QStringLiteral(VARNOBIS_CLI), args);
    EXPECT_TRUE(p.waitForStarted());
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromLatin1(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QByteArray utf16(const QString& text, bool bigEndian) {
    QByteArray b = bigEndian ? "\xfe\xff" : "\xff\xfe";
    for (QChar ch : text) {
        const char hi = char(ch.unicode() >> 8), lo = char(ch.unicode() & 0xff);
        b += bigEndian ? QByteArray{&hi, 1} + lo : QByteArray{&lo, 1} + hi;
    }
    return b;
}

const QByteArray kSample = "apple pie\r\n\r\nPear\r\nbanana\r\napple\r\n";

}  // namespace

TEST(Cli, EachModeWritesTheSameResultAsTheWindowWould) {
    struct Case {
        QStringList args;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {{"--mode", "blank"}, "apple pie\r\nPear\r\nbanana\r\napple\r\n"},
        {{"--mode", "containing", "--text", "apple"}, "\r\nPear\r\nbanana\r\n"},
        {{"--mode", "containing", "--text", "PEAR", "--ignore-case", "--leave-blank"},
         "apple pie\r\n\r\n\r\nbanana\r\napple\r\n"},
        {{"--mode", "not-containing", "--text", "an"}, "banana\r\n"},
        {{"--mode", "keywords", "--keyword", "apple", "--keyword", "Pear"}, "\r\nbanana\r\n"},
        {{"--mode", "not-keywords", "--keyword", "apple", "--keyword", "pie"}, "apple pie\r\n"},
        {{"--mode", "line-numbers", "--lines", "1, 3"}, "\r\nbanana\r\napple"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        QDir(dir.path()).mkdir("out");
        const QString in = dir.write("list.csv", kSample);
        const CliRun r = cli(c.args + QStringList{"--out-dir", dir.path("out"), in});
        EXPECT_EQ(r.code, 0) << c.args.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(TempDir::read(dir.path("out/list.txt")), c.expected)
            << c.args.join(' ').toStdString();
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 2) << r.out.toStdString();
        const QStringList fields = lines[0].split('\t');
        ASSERT_EQ(fields.size(), 4) << r.out.toStdString();
        EXPECT_EQ(fields[0], in);
        EXPECT_EQ(fields[1], "5");
        EXPECT_EQ(fields[3], dir.path("out/list.txt"));
        EXPECT_EQ(TempDir::read(in), kSample) << "the input is untouched";
    }
}

TEST(Cli, InPlaceAndFolderArgumentsWithExt) {
    TempDir dir;
    QDir(dir.path()).mkpath("tree/sub");
    const QString a = dir.write("tree/a.log", "x\r\n\r\ny\r\n");
    const QString b = dir.write("tree/sub/b.LOG", "\r\nz\r\n");
    const QString c = dir.write("tree/c.txt", "\r\nkeep\r\n");
    const CliRun r =
        cli({"--mode", "blank", "--in-place", "--ext", "log", "--quiet", dir.path("tree")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(TempDir::read(a), "x\r\ny\r\n");
    EXPECT_EQ(TempDir::read(b), "z\r\n");
    EXPECT_EQ(TempDir::read(c), "\r\nkeep\r\n");
}

TEST(Cli, UsageErrorsSayWhatIsWrongAndTouchNothing) {
    TempDir dir;
    const QString in = dir.write("a.txt", "a\r\n");
    struct Case {
        QStringList args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{in, "--in-place"}, "--mode is required"},
        {{"--mode", "sideways", "--in-place", in}, "unknown mode"},
        {{"--mode", "blank", in}, "exactly one of --out-dir and --in-place"},
        {{"--mode", "blank", "--in-place", "--out-dir", dir.path(), in}, "exactly one of"},
        {{"--mode", "containing", "--in-place", in}, "needs --text"},
        {{"--mode", "containing", "--text", "", "--in-place", in}, "must not be empty"},
        {{"--mode", "blank", "--text", "x", "--in-place", in}, "--text applies only"},
        {{"--mode", "keywords", "--in-place", in}, "needs --keyword"},
        {{"--mode", "line-numbers", "--in-place", in}, "needs --lines"},
        {{"--mode", "blank", "--ignore-case", "--in-place", in}, "--ignore-case does not apply"},
        {{"--mode", "blank", "--in-place"}, "standard input cannot be combined with --in-place"},
        {{"--mode", "blank", "--in-place", "--frobnicate", in}, "unknown option --frobnicate"},
        {{"--mode"}, "missing value after '--mode'"},
        {{"--mode", "keywords", "--keyword", " ", "--in-place", in}, "--keyword must not be empty"},
        {{"--mode", "blank", "--lines", "1", "--in-place", in}, "--lines applies only"},
        {{"--mode", "blank", "--leave-blank", "--in-place", in}, "--leave-blank does not apply"},
        {{"--mode=blank", "--quiet=yes", "--in-place", in}, "unexpected value after '--quiet'"},
    };
    for (const Case& c : cases) {
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_TRUE(r.err.contains(c.message)) << c.message << " / " << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 2) << "one line, then the hint";
        EXPECT_EQ(TempDir::read(in), "a\r\n");
    }
    EXPECT_EQ(dir.entries(), QStringList{"a.txt"});
    EXPECT_EQ(cli({"--help"}).code, 0);
    EXPECT_TRUE(cli({"--version"}).out.startsWith("varnobis-cli "));
}

TEST(Cli, AnUnreadableFileFailsTheRunButTheOthersAreWritten) {
    // The search modes look at the size first and pass over a file without one; that must
    // still fail the run.
    const std::vector<QStringList> modes = {{"--mode", "blank"},
                                            {"--mode", "containing", "--text", "x"},
                                            {"--mode", "keywords", "--keyword", "x"}};
    for (const QStringList& mode : modes) {
        TempDir dir;
        QDir(dir.path()).mkdir("out");
        const QString good1 = dir.write("one.csv", "\r\n1\r\n");
        const QString good2 = dir.write("two.csv", "2\r\nx\r\n");
        const CliRun r = cli(mode + QStringList{"--out-dir", dir.path("out"), good1,
                                                dir.path("missing.csv"), good2});
        const std::string what = mode.join(' ').toStdString();
        EXPECT_EQ(r.code, 1) << what;
        EXPECT_TRUE(r.err.contains(dir.path("missing.csv"))) << what << r.err.toStdString();
        EXPECT_NE(TempDir::read(dir.path("out/one.txt")), "<missing>") << what;
        EXPECT_NE(TempDir::read(dir.path("out/two.txt")), "<missing>") << what;
        EXPECT_FALSE(QFileInfo::exists(dir.path("out/missing.txt"))) << what;
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 4) << what << r.out.toStdString();
        EXPECT_EQ(lines[1], dir.path("missing.csv") + "\t0\t0\tFAILED") << what;
        EXPECT_TRUE(lines[3].startsWith("Total: 2 files, 4 lines read, ")) << what;
        EXPECT_TRUE(lines[3].endsWith(", 0 passed over, 1 failed")) << what;
        // Said once, in one line naming the file and the reason; the window's box layout with
        // its location and e-mail request is not the console's.
        EXPECT_EQ(r.err, "varnobis-cli: " + dir.path("missing.csv") +
                             ": cannot open: No such file or directory\n")
            << what;
    }
}

TEST(Cli, FailuresBeforeTheRunWriteNothing) {
    TempDir dir;
    const QString in = dir.write("a.txt", "\r\na\r\n");
    QDir(dir.path()).mkdir("empty");
    struct Case {
        QStringList args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"--mode", "blank", "--out-dir", dir.path("nowhere"), in}, "folder does not exist"},
        {{"--mode", "keywords", "--keywords-file", dir.path("nokeys.txt"), "--in-place", in},
         "cannot read the keywords file"},
        {{"--mode", "blank", "--in-place", dir.path("empty")}, "no files found"},
    };
    for (const Case& c : cases) {
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, 1) << c.message;
        EXPECT_TRUE(r.err.contains(c.message)) << c.message << " / " << r.err.toStdString();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(TempDir::read(in), "\r\na\r\n");
    }
    EXPECT_EQ(dir.entries(), (QStringList{"a.txt", "empty"}));
}

TEST(Cli, KeywordsFileIsReadInItsOwnEncoding) {
    const QString words = QString::fromUtf8("gr\u00fcn\r\n  \r\nrot");
    const QByteArray input = "gr\xc3\xbcn apfel\r\nrot\r\nblau\r\n";
    QByteArray utf16 = "\xff\xfe";
    for (QChar ch : words)
        utf16 += QByteArray(1, char(ch.unicode() & 0xff)) + char(ch.unicode() >> 8);
    const std::vector<QByteArray> files = {words.toUtf8(), "\xef\xbb\xbf" + words.toUtf8(), utf16};
    for (const QByteArray& f : files) {
        TempDir dir;
        const QString keys = dir.write("keys.txt", f);
        const QString in = dir.write("in.txt", input);
        const CliRun r = cli({"--mode", "keywords", "--keywords-file", keys, "--in-place", in});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(TempDir::read(in), "blau\r\n") << f.toHex().toStdString();
    }
}

TEST(Cli, FolderArgumentsListTheFilesAsTheFolderButtonDoes) {
    TempDir dir;
    QDir(dir.path()).mkpath("tree/sub");
    dir.write("tree/a.csv", "\r\na\r\n");
    dir.write("tree/~lock.csv", "\r\n");
    dir.write("tree/sub/b.csv", "\r\nb\r\n");
    dir.write("tree/c.txt", "\r\nc\r\n");
    QDir(dir.path()).mkdir("out");
    for (const QString& arg : {dir.path("tree"), dir.path("tree") + "/", dir.path("tree") + "//"}) {
        const CliRun r =
            cli({"--mode", "blank", "--out-dir", dir.path("out"), "--ext", "csv", arg});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        QStringList inputs;
        for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts))
            if (!line.startsWith("Total: "))
                inputs << line.section('\t', 0, 0);
        EXPECT_EQ(inputs, (QStringList{dir.path("tree/a.csv"), dir.path("tree/sub/b.csv")}))
            << arg.toStdString();
    }
    EXPECT_EQ(TempDir::read(dir.path("out/b.txt")), "b\r\n");
    // Without --ext every file is taken.
    const CliRun all =
        cli({"--mode", "blank", "--out-dir", dir.path("out"), "--quiet", dir.path("tree")});
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(TempDir::read(dir.path("out/c.txt")), "c\r\n");
}

TEST(Cli, ABadLineListIsAUsageErrorNamingThePieceBeforeAnyWrite) {
    TempDir dir;
    const QString in = dir.write("n.txt", "a\r\nb\r\nc\r\n");
    const std::vector<std::pair<QString, QString>> cases = {
        {"2,x", "\"x\" is not a number"},         {"1 2 5", "\"1 2 5\" is not a number"},
        {"1,,2", "\"\" is not a number"},         {"0", "\"0\" is out of range"},
        {"3,40000", "\"40000\" is out of range"}, {"-1", "\"-1\" is out of range"},
    };
    for (const auto& [list, message] : cases) {
        const CliRun r = cli({"--mode", "line-numbers", "--lines", list, "--in-place", in});
        EXPECT_EQ(r.code, 2) << list.toStdString();
        EXPECT_TRUE(r.err.contains(message)) << r.err.toStdString();
        EXPECT_EQ(TempDir::read(in), "a\r\nb\r\nc\r\n");
    }
    // What the window accepts as numbers stays accepted: spaces around, decimals rounded.
    const CliRun ok = cli({"--mode", "line-numbers", "--lines", " 2 ,2.6", "--in-place", in});
    EXPECT_EQ(ok.code, 0) << ok.err.toStdString();
    EXPECT_EQ(TempDir::read(in), "a");  // the mode cuts the output's last break
}

TEST(Cli, ShortAliasesRepeatedExtensionsAndALeadingDot) {
    TempDir dir;
    QDir(dir.path()).mkpath("tree");
    QDir(dir.path()).mkpath("out");
    dir.write("tree/a.log", "Keep\r\ndrop ME\r\n");
    dir.write("tree/b.md", "me\r\nkeep\r\n");
    dir.write("tree/c.txt", "me\r\n");
    const CliRun r = cli({"--mode", "containing", "--text", "me", "-i", "-o", dir.path("out"),
                          "--ext", ".log", "--ext", "md", "--quiet", dir.path("tree")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(dir.path("out/a.txt")), "Keep\r\n");
    EXPECT_EQ(TempDir::read(dir.path("out/b.txt")), "keep\r\n");
    EXPECT_FALSE(QFileInfo::exists(dir.path("out/c.txt")));
    EXPECT_EQ(cli({"-h"}).code, 0);
    EXPECT_TRUE(cli({"-V"}).out.startsWith("varnobis-cli "));
}

TEST(Cli, ACollisionFailsTheRunAndAFileMetAgainIsProcessedOnce) {
    TempDir dir;
    QDir(dir.path()).mkdir("out");
    const QString md = dir.write("c/a.md", "md\r\n\r\n");
    const QString txt = dir.write("c/a.txt", "txt\r\n\r\n");
    const QString sub = dir.write("c/sub/a.txt", "sub\r\n\r\n");
    const CliRun r = cli({"--mode", "blank", "--out-dir", dir.path("out"), md, txt, sub});
    EXPECT_EQ(r.code, 1) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(dir.path("out/a.txt")), "md\r\n");
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << r.out.toStdString();
    EXPECT_EQ(lines[3], "Total: 1 file, 2 lines read, 1 removed, 0 passed over, 2 failed");
    EXPECT_TRUE(lines[0].startsWith(md + "\t"));
    for (const QString& skipped : {lines[1], lines[2]}) {
        EXPECT_TRUE(skipped.contains("\tskipped (") && skipped.contains(md))
            << skipped.toStdString();
    }
    EXPECT_TRUE(lines[1].startsWith(txt + "\t"));
    EXPECT_TRUE(lines[2].startsWith(sub + "\t"));

    // Quiet, a refused result is still said, on standard error.
    const CliRun q = cli({"--mode", "blank", "--quiet", "--out-dir", dir.path("out"), md, txt});
    EXPECT_EQ(q.code, 1);
    EXPECT_EQ(q.out, "");
    EXPECT_TRUE(q.err.contains(txt + "\t0\t0\tskipped (")) << q.err.toStdString();

    // A walk that reaches one file by several paths works on it once, and that is no failure.
    const QString f = dir.write("tree/f.txt", "1\r\n2\r\n3\r\n");
    ASSERT_TRUE(QFile::link(f, dir.path("tree/alias.txt")));
    QDir(dir.path()).mkpath("tree/sub");
    ASSERT_TRUE(QFile::link("../f.txt", dir.path("tree/sub/f.txt")));
    const CliRun w = cli(
        {"--mode", "line-numbers", "--lines", "1", "--in-place", "--ext", "txt", dir.path("tree")});
    EXPECT_EQ(w.code, 0) << w.err.toStdString();
    EXPECT_EQ(TempDir::read(f), "2\r\n3");
    EXPECT_EQ(w.out.count("\tskipped (the same file as "), 2) << w.out.toStdString();
}

TEST(Cli, NamesThatAreNotUtf8AreProcessedAndShownWithTheByteEscaped) {
    TempDir dir;
    QDir(dir.path()).mkpath("named");
    QDir(dir.path()).mkpath("tree");
    // The names are made and passed by the shell, so their bytes reach the program unchanged.
    const QString script = QStringLiteral(
        "a=$(printf '%s/named/caf\\351.txt' \"$1\"); b=$(printf '%s/tree/na\\357ve.txt' \"$1\"); "
        "printf 'x\\r\\n\\r\\ny\\r\\n' > \"$a\" && printf '\\r\\nz\\r\\n' > \"$b\" && "
        "\"$0\" --mode blank --in-place \"$a\" \"$1/tree\" && cat \"$a\" \"$b\" > \"$1/both\"");
    QProcess p;
    p.start("sh", {"-c", script, QStringLiteral(VARNOBIS_CLI), dir.path()});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_EQ(TempDir::read(dir.path("both")), "x\r\ny\r\nz\r\n");
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << out.toStdString();
    EXPECT_TRUE(lines[0].startsWith(dir.path("named/caf\\xE9.txt") + "\t")) << out.toStdString();
    EXPECT_TRUE(lines[1].startsWith(dir.path("tree/na\\xEFve.txt") + "\t")) << out.toStdString();
    // QTemporaryDir cannot name these files to remove them.
    QProcess::execute("rm", {"-rf", dir.path("named"), dir.path("tree")});
}

TEST(Cli, AReportNobodyReadsAnyMoreStopsTheRunWithAMessage) {
    TempDir dir;
    const QString first = dir.write("1.txt", "\r\na\r\n");
    const QString second = dir.write("2.txt", "\r\nb\r\n");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // nobody will ever read the report
    const int writeEnd = fds[1];
    QProcess p;
    p.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    p.start(QStringLiteral(VARNOBIS_CLI), {"--mode", "blank", "--in-place", first, second});
    ASSERT_TRUE(p.waitForFinished(60000));
    ::close(writeEnd);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    ASSERT_EQ(p.exitStatus(), QProcess::NormalExit) << "ended by SIGPIPE without a word";
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(err.contains("cannot write the report")) << err.toStdString();
    // The file whose line could not be reported was done; the run went no further.
    EXPECT_EQ(TempDir::read(first), "a\r\n");
    EXPECT_EQ(TempDir::read(second), "\r\nb\r\n");
}

TEST(CliPipe, StandardInputGivesWhatTheSameFileWouldGiveInEveryClassAndMode) {
    const QString text = QString::fromUtf8("apple pie\n\nP\u00e9ar\nbanana\napple\n");
    QString crText = text;
    crText.replace('\n', '\r');
    const std::vector<QByteArray> inputs = {
        text.toLatin1(),   "\xef\xbb\xbf" + text.toUtf8(),   utf16(crText, false),
        utf16(text, true), QByteArray("one line, no break"),
    };
    const std::vector<QStringList> modes = {
        {"--mode", "blank"},
        {"--mode", "containing", "--text", "apple"},
        {"--mode", "not-containing", "--text", "an", "--leave-blank"},
        {"--mode", "keywords", "--keyword", "pie", "--keyword", "P\u00e9"},
        {"--mode", "not-keywords", "--keyword", "apple", "-i"},
        {"--mode", "line-numbers", "--lines", "1,3"},
    };
    for (const QByteArray& input : inputs) {
        for (const QStringList& mode : modes) {
            const std::string what =
                mode.join(' ').toStdString() + " / " + input.toHex().toStdString();
            TempDir dir;
            QDir(dir.path()).mkdir("out");
            const CliRun file =
                cli(mode + QStringList{"-o", dir.path("out"), dir.write("in", input)});
            ASSERT_EQ(file.code, 0) << what << file.err.toStdString();
            const QByteArray expected = TempDir::read(dir.path("out/in.txt"));
            for (const QStringList& path : {QStringList{}, QStringList{"-"}}) {
                const CliRun pipe = cliWithInput(mode + path, input);
                EXPECT_EQ(pipe.code, 0) << what << pipe.err.toStdString();
                EXPECT_EQ(pipe.out.toLatin1(), expected) << what;
                EXPECT_EQ(pipe.err, "") << what;
            }
        }
    }
    // One hand check, so that the comparison above cannot pass on two equal faults: the
    // input's LF stays LF and a big-endian input comes out as UTF-16 LE with its mark.
    EXPECT_EQ(cliWithInput({"--mode", "blank"}, "a\n\nb\n").out, "a\nb\n");
    EXPECT_EQ(cliWithInput({"--mode", "blank"}, utf16("a\n\nb\n", true)).out.toLatin1(),
              utf16("a\nb\n", false));
    // Nothing in, nothing out.
    const CliRun none = cliWithInput({"--mode", "containing", "--text", "x"}, QByteArray());
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.out, "");
}

TEST(CliPipe, ABinaryInputWritesNothingAndSaysSo) {
    const CliRun r = cliWithInput({"--mode", "blank"}, QByteArray("PNG\0\r\n\r\n", 9));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("varnobis-cli: (standard input): not written: "))
        << r.err.toStdString();
}

TEST(CliPipe, KeywordsFromStandardInput) {
    TempDir dir;
    const QString in = dir.write("in.txt", "red apple\nblue sky\ngreen leaf\n");
    const CliRun r = cliWithInput(
        {"--mode", "keywords", "--keywords-file", "-", "--keyword", "sky", "--in-place", in},
        "\xef\xbb\xbf"
        "apple\r\n\r\n");
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(TempDir::read(in), "green leaf\n");
}

TEST(Cli, ADryRunReportsWhatARealRunDoesAndWritesNothing) {
    TempDir dir;
    QDir(dir.path()).mkdir("out");
    const QByteArray a = "x\r\n\r\nx y\r\n", b = "\n\nz\n", bin("\0\n\n", 3);
    const QStringList files = {dir.write("t/a.txt", a), dir.write("t/b.log", b),
                               dir.write("t/c.bin", bin)};
    for (const QString& save : {QString("--in-place"), QString("-o")}) {
        const QDateTime before = QFileInfo(files[0]).lastModified();
        QStringList args = {"--mode", "blank", save};
        if (save == "-o")
            args << dir.path("out");
        const CliRun dry = cli(args + QStringList{"-n", dir.path("t")});
        EXPECT_EQ(dry.code, 0) << dry.err.toStdString();
        EXPECT_EQ(TempDir::read(files[0]), a);
        EXPECT_EQ(TempDir::read(files[1]), b);
        EXPECT_EQ(QFileInfo(files[0]).lastModified(), before);
        EXPECT_EQ(
            QDir(dir.path("t")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            (QStringList{"a.txt", "b.log", "c.bin"}))
            << "no temporary file either";
        EXPECT_TRUE(QDir(dir.path("out")).isEmpty());
        const QStringList lines = dry.out.split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 4) << dry.out.toStdString();
        EXPECT_EQ(lines[3],
                  "Total: 2 files, 6 lines read, 3 removed, 1 passed over, 0 failed "
                  "(dry run: nothing written)");
        // The real run tells the same story, and does it.
        const CliRun real = cli(args + QStringList{dir.path("t")});
        EXPECT_EQ(real.out, QString(dry.out).replace(" (dry run: nothing written)", ""));
        EXPECT_EQ(TempDir::read(save == "-o" ? dir.path("out/a.txt") : files[0]), "x\r\nx y\r\n");
        dir.write("t/a.txt", a);
        dir.write("t/b.log", b);
    }
    // Piped, the report goes to standard error and standard output stays empty.
    const CliRun pipe = cliWithInput({"--mode", "blank", "-n"}, "a\n\nb\n");
    EXPECT_EQ(pipe.out, "");
    EXPECT_EQ(pipe.err,
              "(standard input)\t3\t1\t(standard output)\nTotal: 1 file, 3 lines read, 1 removed, "
              "0 passed over, 0 failed (dry run: nothing written)\n");
}

TEST(Cli, FolderWalksLeaveHiddenNamesOutUnlessAsked) {
    TempDir dir;
    for (const char* name : {"t/a.txt", "t/.env", "t/.git/config", "t/sub/b.txt",
                             "t/sub/.cache/c.txt", "t/.dot/d.txt"})
        dir.write(name, "\n\nx\n");
    auto inputs = [&](const QStringList& args) {
        const CliRun r = cli(QStringList{"--mode", "blank", "-n", "--in-place"} + args);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        QStringList names;
        for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts))
            if (!line.startsWith("Total: "))
                names << line.section('\t', 0, 0).mid(dir.path("t").size() + 1);
        return names;
    };
    EXPECT_EQ(inputs({dir.path("t")}), (QStringList{"a.txt", "sub/b.txt"}));
    // Hidden files are taken too, also the writable ones the window's folder button leaves out.
    EXPECT_EQ(inputs({"--hidden", dir.path("t")}),
              (QStringList{".env", "a.txt", ".dot/d.txt", ".git/config", "sub/b.txt",
                           "sub/.cache/c.txt"}));
    // A hidden folder named on the command line is walked: the user asked for it.
    EXPECT_EQ(inputs({dir.path("t/.dot")}), QStringList{".dot/d.txt"});
}

TEST(Cli, ASearchInputThatCannotBeOpenedIsReportedOnceAndFailsTheRun) {
    TempDir dir;
    const QString fifo = dir.path("pipe.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString good = dir.write("good.txt", "x\nkeep\n");
    const CliRun r = cli({"--mode", "containing", "--text", "x", "--in-place", fifo, good});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "varnobis-cli: " + fifo + ": cannot open: it is a pipe (FIFO), not a regular file\n");
    EXPECT_TRUE(r.out.startsWith(fifo + "\t0\t0\tFAILED\n")) << r.out.toStdString();
    EXPECT_EQ(TempDir::read(good), "keep\n");
}

// True while process `pid` holds `path` open: the engine reads the input from its first piece to
// its last through one descriptor.
bool holdsOpen(pid_t pid, const QString& path) {
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System))
        if (QFile::symLinkTarget(fds + "/" + fd) == path)
            return true;
    return false;
}

TEST(Cli, SigtermDuringAFileLeavesItAsItWasAndSaysStopped) {
    TempDir dir;
    QByteArray big;
    for (int i = 0; i < 400000; ++i) big += "drop this line\nkeep this line, it is longer\n";
    const QString in = dir.write("big.txt", big);
    // Signalled while the program holds the input open, so the stop comes inside the file.
    bool caught = false;
    for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
        QProcess p;
        p.start(QStringLiteral(VARNOBIS_CLI),
                {"--mode", "containing", "--text", "drop", "--in-place", in});
        ASSERT_TRUE(p.waitForStarted());
        // The short waits let QProcess notice a child that has ended.
        while (!caught && p.state() == QProcess::Running) {
            caught = holdsOpen(pid_t(p.processId()), in);
            if (caught)
                ::kill(pid_t(p.processId()), SIGTERM);
            else
                p.waitForFinished(1);
        }
        p.waitForFinished(60000);
        ASSERT_EQ(p.state(), QProcess::NotRunning);
        if (!caught) {
            dir.write("big.txt", big);
            continue;
        }
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 1);
        EXPECT_TRUE(out.startsWith(in + "\t")) << out.toStdString();
        EXPECT_TRUE(out.endsWith("\tSTOPPED\n")) << out.toStdString();
        EXPECT_EQ(out.count('\n'), 1) << "no success line and no totals";
        EXPECT_TRUE(err.contains("the file in progress was left as it was")) << err.toStdString();
        EXPECT_TRUE(TempDir::read(in) == big) << "the input is as it was";
        EXPECT_EQ(dir.entries(), QStringList{"big.txt"}) << "no temporary is left";
    }
    if (!caught)
        GTEST_SKIP() << "every run ended before its output was started";
}

TEST(Cli, AGitRepositorySurvivesABlankLineRunOverEverything) {
    TempDir dir;
    const QString repo = dir.path("repo");
    auto git = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(repo);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* k : {"GIT_AUTHOR_DATE", "GIT_COMMITTER_DATE"})
            env.insert(k, "1700000000 +0000");
        p.setProcessEnvironment(env);
        p.start("git", QStringList{"-c", "user.name=t", "-c", "user.email=t@example.invalid", "-c",
                                   "init.defaultBranch=main"} +
                           args);
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0)
            << args.join(' ').toStdString() << p.readAllStandardError().constData();
        return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    };
    QDir().mkpath(repo);
    // No template: git's sample hooks are text with blank lines, which a run that takes hidden
    // files rightly changes; the repository's own data is what must survive.
    git({"init", "-q", "--template="});
    const QString script = dir.write("repo/run.sh", "#!/bin/sh\n\necho it runs\n\n");
    QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
    static const char pngBytes[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\n\n\r\n\r\n";
    const QByteArray png(pngBytes, sizeof pngBytes - 1);
    dir.write("repo/image.png", png);
    dir.write("repo/README.md", "# Title\n\nSome text.\n\n\nMore.\n");
    const QString plain = dir.write("repo/notes.txt", "no blank\nlines here\n");
    git({"add", "."});
    git({"commit", "-q", "-m", "start"});

    QHash<QString, QByteArray> gitFiles;
    QDirIterator it(repo + "/.git", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        gitFiles[f] = TempDir::read(f);
    }
    ASSERT_GT(gitFiles.size(), 5);
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(plain).constData(), &before), 0);

    const CliRun r = cli({"--mode", "blank", "--in-place", "--ext", "*", "--hidden", repo});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();

    git({"fsck", "--strict"});
    QProcess run;
    run.start(script, {});
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.readAllStandardOutput(), "it runs\n");
    EXPECT_EQ(TempDir::read(script), "#!/bin/sh\necho it runs\n");
    EXPECT_EQ(TempDir::read(dir.path("repo/README.md")), "# Title\nSome text.\nMore.\n");
    EXPECT_EQ(TempDir::read(dir.path("repo/image.png")), png);
    for (auto f = gitFiles.cbegin(); f != gitFiles.cend(); ++f)
        EXPECT_EQ(TempDir::read(f.key()), f.value()) << f.key().toStdString();
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(plain).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_TRUE(git({"status", "--porcelain"}).contains("README.md"));
}

// Memory stays within its bound whatever the file's size, also beside the tables of thousands
// of keywords: the pages of a large input are let go of behind the reading, and sooner beside a
// rule that holds much memory itself.
TEST(Cli, PeakMemoryStaysWithinItsBoundOnALargeFileWithThousandsOfKeywords) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own memory would count as the program's";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer's own memory would count as the program's";
#endif
#endif
    TempDir dir;
    std::mt19937 random(7);
    auto word = [&](int least, int most) {
        std::string w(std::size_t(least + int(random() % unsigned(most - least + 1))), 'a');
        for (char& c : w) c = char('a' + random() % 26);
        return w;
    };
    std::string keywords;
    for (int k = 0; k < 10000; ++k) keywords += word(6, 10) + "\n";
    const QString list = dir.write("keywords", QByteArray::fromStdString(keywords));
    const QString input = dir.path("large.txt");
    {
        QFile f(input);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        std::string chunk;
        while (f.size() < (48 << 20)) {
            chunk.clear();
            while (chunk.size() < (1 << 20)) {
                for (int w = 0; w < 8; ++w) chunk += word(2, 9) + ' ';
                chunk += "zephyr\r\n";
            }
            ASSERT_EQ(f.write(chunk.data(), qint64(chunk.size())), qint64(chunk.size()));
        }
    }
    const QString out = dir.path("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const std::vector<QStringList> runs = {
        {"--mode", "keywords", "--keywords-file", list},
        // Ignoring case, the lines are searched in a lower-cased copy, which must stay small.
        {"--mode", "keywords", "--ignore-case", "--keywords-file", list},
        {"--mode", "not-containing", "--text", "zephyr"},
    };
    for (const QStringList& mode : runs) {
        std::vector<QByteArray> args;
        for (const QString& a :
             QStringList{VARNOBIS_CLI, "--quiet"} + mode + QStringList{"--out-dir", out, input})
            args.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        struct rusage usage {};
        ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << mode.join(' ').toStdString();
        // ru_maxrss is in KiB.
        EXPECT_LE(usage.ru_maxrss, 32L << 10) << mode.join(' ').toStdString();
        EXPECT_GT(QFileInfo(out + "/large.txt").size(), 0);
    }
}
