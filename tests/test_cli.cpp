#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QProcess>

using vn::test::TempDir;

namespace {

struct CliRun {
    int code = -1;
    QString out, err;
};

CliRun cli(const QStringList& args, const QString& workdir = QString()) {
    QProcess p;
    if (!workdir.isEmpty()) p.setWorkingDirectory(workdir);
    p.start(QStringLiteral(VARNOBIS_CLI), args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
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
        EXPECT_EQ(TempDir::read(dir.path("out/list.txt")), c.expected) << c.args.join(' ').toStdString();
        const QStringList fields = r.out.trimmed().split('\t');
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
    const CliRun r = cli({"--mode", "blank", "--in-place", "--ext", "log", "--quiet", dir.path("tree")});
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
        {{"--mode", "blank", "--in-place"}, "no PATH"},
        {{"--mode", "blank", "--in-place", "--frobnicate", in}, "unknown option --frobnicate"},
        {{"--mode"}, "--mode needs a value"},
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
    TempDir dir;
    QDir(dir.path()).mkdir("out");
    const QString good1 = dir.write("one.csv", "\r\n1\r\n");
    const QString good2 = dir.write("two.csv", "2\r\n\r\n");
    const CliRun r = cli({"--mode", "blank", "--out-dir", dir.path("out"), good1,
                       dir.path("missing.csv"), good2});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(dir.path("missing.csv"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Application Error"));
    EXPECT_EQ(TempDir::read(dir.path("out/one.txt")), "1\r\n");
    EXPECT_EQ(TempDir::read(dir.path("out/two.txt")), "2\r\n");
    EXPECT_FALSE(QFileInfo::exists(dir.path("out/missing.txt")));
    EXPECT_TRUE(r.out.contains("FAILED"));
}

TEST(Cli, NotANumberGoesToStandardError) {
    TempDir dir;
    const QString in = dir.write("n.txt", "a\r\nb\r\nc\r\n");
    const CliRun r = cli({"--mode", "line-numbers", "--lines", "2,x", "--in-place", in});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.contains("One of the inputs was not a number"));
    EXPECT_EQ(TempDir::read(in), "a\r\nc");
}
