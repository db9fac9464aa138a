// "Start Removing" in the real window, on real files.

#include "tests/support/Form1Fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>

using namespace vn;
using test::Form1Test;
using test::TempDir;

namespace {

class RunTest : public Form1Test {
protected:
    void SetUp() override {
        Form1Test::SetUp();
        start();
        get<QRadioButton>("Option2")->setChecked(true);  // remove lines completely
        saveToFolder(true);
    }
    void saveToFolder(bool toFolder) {
        get<QRadioButton>(toFolder ? "Option4" : "Option3")->setChecked(true);
        get<QLineEdit>("Text1")->setText(out.path() + "/");
    }
    void mode(int m) { get<QComboBox>("Combo1")->setCurrentIndex(m); }
    QString add(const QString& name, const QByteArray& content) {
        const QString p = in.write(name, content);
        form->fileList().append(p);
        return p;
    }
    void run() { QTest::mouseClick(get<QPushButton>("PushButton2"), Qt::LeftButton); }
    int doneCount() const { return int(ws.texts().count(QStringLiteral("Done."))); }

    TempDir in, out;
};

TEST_F(RunTest, EveryModeUnderBothSaveOptions) {
    const QByteArray content = "apple\r\n\r\nPear\r\nbanana apple\r\nplum\r\n";
    struct Case {
        int mode;
        QString answer;
        QStringList keywords;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {0, {}, {}, "apple\r\nPear\r\nbanana apple\r\nplum\r\n"},
        {1, "apple", {}, "\r\nPear\r\nplum\r\n"},
        {2, "apple", {}, "apple\r\nbanana apple\r\n"},
        {3, {}, {"apple", "ear"}, "\r\nplum\r\n"},
        {4, {}, {"apple", "banana"}, "banana apple\r\n"},
        {5, "1,2", {}, "Pear\r\nbanana apple\r\nplum"},
    };
    for (bool toFolder : {true, false}) {
        for (const Case& c : cases) {
            form->fileList().clear();
            form->keywords().clear();
            for (const QString& k : c.keywords) form->keywords().append(k);
            const QString input = add("in.csv", content);
            mode(c.mode);
            saveToFolder(toFolder);
            if (!c.answer.isEmpty())
                ws.answerInput(c.answer);
            ws.boxes.clear();
            run();
            const QString target = toFolder ? out.path("in.txt") : input;
            EXPECT_EQ(TempDir::read(target), c.expected) << "mode " << c.mode << " " << toFolder;
            EXPECT_EQ(ws.texts().value(ws.texts().size() - 1), "Done.");
            EXPECT_TRUE(ws.errors().empty());
            EXPECT_EQ(QFileInfo::exists(out.path("in.txt")), toFolder);
            QFile::remove(out.path("in.txt"));
        }
    }
}

TEST_F(RunTest, PromptsAnsweredCancelledAndSkippedWithAnEmptyFirstEntry) {
    const QString a = add("a.txt", "x\r\ny\r\n");
    add("b.txt", "y\r\nx\r\n");
    mode(1);
    ws.answerInput(QStringLiteral("x"));
    run();
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "y\r\n");
    EXPECT_EQ(TempDir::read(out.path("b.txt")), "y\r\n");
    ASSERT_GE(ws.boxes.size(), 1u);
    EXPECT_EQ(ws.boxes[0].text, "Enter x:");
    EXPECT_TRUE(ws.boxes[0].isInput);
    EXPECT_EQ(stored("InputBox"), "<absent>") << "the search text is never kept";

    // Cancelled: nothing is touched, and the run still says it is done.
    out.write("a.txt", "old");
    QFile::remove(out.path("b.txt"));
    for (int m : {2, 5}) {
        mode(m);
        ws.answerInput(QString());
        run();
        EXPECT_EQ(TempDir::read(out.path("a.txt")), "old");
        EXPECT_FALSE(QFileInfo::exists(out.path("b.txt")));
    }
    EXPECT_EQ(doneCount(), 3);
    EXPECT_EQ(ws.boxes[ws.boxes.size() - 2].text,
              "Enter line numbers to remove separated by commas:");
    EXPECT_EQ(ws.boxes[ws.boxes.size() - 2].defaultAnswer, "1,2,5");
    EXPECT_EQ(stored("InputBox"), "") << "the empty answer is kept too";

    // An answer is kept for the next run's prompt.
    ws.answerInput(QStringLiteral("2"));
    run();
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "x") << "line removal cuts the final break";
    EXPECT_EQ(stored("InputBox"), "2");
    ws.answerInput(QStringLiteral("1"));
    run();
    EXPECT_EQ(ws.boxes[ws.boxes.size() - 2].defaultAnswer, "2");

    // With an empty first entry no prompt comes, so no file is processed.
    form->fileList().clear();
    form->fileList().append(QString());
    form->fileList().append(a);
    const std::size_t before = ws.boxes.size();
    run();
    ASSERT_EQ(ws.boxes.size(), before + 1);
    EXPECT_EQ(ws.boxes.back().text, "Done.");
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "y") << "from the run before";
}

TEST_F(RunTest, OutputNamesAndCollisions) {
    mode(0);
    for (const char* name : {"report.csv", "a.b.c", "notes.", ".profile", "noext"})
        add(QString::fromLatin1(name), QByteArray(name) + "\r\n");
    const QString first = add("a.csv", "first\r\n");
    const QString second = add("a.log", "second\r\n");
    run();
    EXPECT_EQ(out.entries(),
              (QStringList{".txt", "a.b.txt", "a.txt", "noext.txt", "notes.txt", "report.txt"}));
    EXPECT_EQ(TempDir::read(out.path("a.b.txt")), "a.b.c\r\n");
    EXPECT_EQ(TempDir::read(out.path(".txt")), ".profile\r\n");
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "first\r\n") << "no result replaces another";
    EXPECT_TRUE(ws.errors().empty());
    // The refused file is named, with the one it collided with, in one message before "Done.".
    const QStringList texts = ws.texts();
    ASSERT_GE(texts.size(), 2);
    EXPECT_EQ(texts.last(), "Done.");
    const QString told = texts.at(texts.size() - 2);
    EXPECT_TRUE(told.contains(second + ": ") && told.contains(first)) << told.toStdString();
    EXPECT_FALSE(told.contains(first + ": ")) << told.toStdString();
}

TEST_F(RunTest, InPlaceReplacesTheInputAndNeedsAnExistingFolderAllTheSame) {
    const QString a = add("data.csv", "keep\r\n\r\n\r\nkeep\r\n");
    mode(0);
    saveToFolder(false);
    get<QLineEdit>("Text1")->setText(out.path("missing"));
    run();
    EXPECT_EQ(ws.texts(), QStringList{"Folder does not exist. Please select another folder."});
    EXPECT_EQ(TempDir::read(a), "keep\r\n\r\n\r\nkeep\r\n");

    get<QLineEdit>("Text1")->setText(out.path());
    run();
    EXPECT_EQ(TempDir::read(a), "keep\r\nkeep\r\n");
    EXPECT_EQ(in.entries(), QStringList{"data.csv"}) << "no temporary file is left";
    EXPECT_TRUE(out.entries().isEmpty());

    form->fileList().clear();
    run();
    EXPECT_EQ(ws.texts().back(), "No files added.");
}

TEST_F(RunTest, ProgressThenTheIdleState) {
    mode(0);
    for (const char* n : {"a", "b", "c"}) add(QString::fromLatin1(n), "x\r\n");
    run();
    std::vector<double> overall;
    for (double v : ws.progress1)
        if (overall.empty() || overall.back() != v)
            overall.push_back(v);
    ASSERT_EQ(overall.size(), 4u);
    EXPECT_NEAR(overall[0], 33.33, 0.01);
    EXPECT_NEAR(overall[1], 66.67, 0.01);
    EXPECT_DOUBLE_EQ(overall[2], 100);
    EXPECT_DOUBLE_EQ(overall[3], 0);
    EXPECT_EQ(ws.progressText1.value(0), "Processing: a");
    EXPECT_EQ(ws.progressText1.back(), "Progress Bar");
    EXPECT_EQ(ws.progressText2.back(), "Progress Bar");
    EXPECT_DOUBLE_EQ(ws.progress2.back(), 0);
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
}

TEST_F(RunTest, NoModeGivesListIndexErrorForEveryFile) {
    add("a", "x\r\n");
    add("b", "x\r\n");
    mode(-1);
    run();
    EXPECT_EQ(ws.texts(), (QStringList{"ListIndex Error", "ListIndex Error", "Done."}));
    EXPECT_TRUE(out.entries().isEmpty());
}

TEST_F(RunTest, AnEmptyFileIsHandedOnlyToTheBlankLineMode) {
    add("empty.csv", QByteArray());
    mode(1);
    ws.answerInput(QStringLiteral("x"));
    run();
    EXPECT_TRUE(out.entries().isEmpty());
    mode(0);
    run();
    EXPECT_EQ(TempDir::read(out.path("empty.txt")), QByteArray());
    EXPECT_TRUE(ws.errors().empty());
}

TEST_F(RunTest, EachFileKeepsItsEncodingClass) {
    const QByteArray u16 = QByteArray("\xFF\xFE", 2) + QByteArray("a\0\r\0\n\0\r\0\n\0b\0", 12);
    const QByteArray u8 =
        "\xEF\xBB\xBF"
        "gr\xC3\xBC\xC3\x9F\r\n\r\nx\r\n";
    const QByteArray raw = QByteArray("caf\xE9\r\nna\xEFve\r\n") + '\x01' + "bin\r\n";
    add("u16.dat", u16);
    add("u8.dat", u8);
    add("raw.dat", raw);
    mode(0);
    run();
    EXPECT_EQ(TempDir::read(out.path("u16.txt")),
              QByteArray("\xFF\xFE", 2) + QByteArray("a\0\r\0\n\0b\0\r\0\n\0", 12));
    EXPECT_EQ(TempDir::read(out.path("u8.txt")),
              "\xEF\xBB\xBF"
              "gr\xC3\xBC\xC3\x9F\r\nx\r\n");
    EXPECT_EQ(TempDir::read(out.path("raw.txt")), raw)
        << "an 8-bit file with nothing removed comes back byte for byte";
}

TEST_F(RunTest, ASecondPressDuringARunIsIgnored) {
    mode(0);
    add("a", "x\r\n");
    add("b", "x\r\n");
    int presses = 0;
    ws.onYield = [&](int) {
        if (presses++ < 3)
            run();  // while the first file is announced, and while it is worked on
    };
    run();
    EXPECT_EQ(doneCount(), 1);
    EXPECT_EQ(ws.texts(), QStringList{"Done."});
    EXPECT_EQ(out.entries(), (QStringList{"a.txt", "b.txt"}));
}

TEST_F(RunTest, AnEntryRemovedDuringTheRunIsSkipped) {
    mode(0);
    add("a.dat", "x\r\n");
    add("b.dat", "x\r\n");
    add("c.dat", "x\r\n");
    bool removed = false;
    ws.onYield = [&](int) {
        if (removed)
            return;
        removed = true;
        // Remove-by-text does not wait for the hourglass.
        ws.answerInput(QStringLiteral("b.dat"));
        QTest::mouseClick(get<QPushButton>("PushButton9"), Qt::LeftButton);
    };
    run();
    EXPECT_EQ(form->fileList().count(), 2);
    EXPECT_EQ(out.entries(), (QStringList{"a.txt", "c.txt"}));
    EXPECT_TRUE(ws.errors().empty());
    EXPECT_EQ(ws.texts().back(), "Done.");
}

TEST_F(RunTest, ClosingDuringARunKeepsTheCurrentTargetAndEndsAtOnce) {
    QByteArray big;
    for (int i = 0; i < 20000; ++i) big += "line " + QByteArray::number(i) + "\r\n";
    const QString a = add("a.txt", big);
    const QString b = add("b.txt", "7\r\n");
    form->keywords().append(QStringLiteral("kept"));
    saveToFolder(false);
    mode(1);
    ws.answerInput(QStringLiteral("7"));
    ws.onYield = [&](int n) {
        if (n == 500)
            form->close();
    };
    run();
    EXPECT_EQ(TempDir::read(a), big);
    EXPECT_EQ(TempDir::read(b), "7\r\n") << "the next file is not started";
    EXPECT_EQ(in.entries(), (QStringList{"a.txt", "b.txt"})) << "no temporary file is left";
    EXPECT_EQ(doneCount(), 0);
    EXPECT_EQ(stored("Keywords"), "kept||MySeparator12||");
    EXPECT_FALSE(form->isVisible());
}

#ifdef VARNOBIS_CLI
// The command line and the window share the run driver and the engine: the same inputs and
// options give the same bytes.
TEST_F(RunTest, TheCommandLineWritesTheSameBytesAsTheWindow) {
    const QByteArray u16 = QByteArray("\xFF\xFE", 2) + QByteArray("a\0p\0\r\0\n\0\r\0\n\0b\0", 14);
    add("plain.csv", "apple\r\n\r\nPear\r\nbanana APPLE\r\nplum");
    add("mark.log",
        "\xEF\xBB\xBF"
        "Apfel\r\n\r\ngr\xC3\xBCn apple\r\n");
    add("wide.dat", u16);
    add("raw", QByteArray("caf\xE9 apple\r\nna\xEFve\r\n"));
    struct Case {
        int mode;
        const char* cliMode;
        QStringList extra;
        QString answer;
    };
    const std::vector<Case> cases = {
        {0, "blank", {}, {}},
        {1, "containing", {"--text", "apple"}, "apple"},
        {2, "not-containing", {"--text", "apple"}, "apple"},
        {3, "keywords", {"--keyword", "ap", "--keyword", "PEAR"}, {}},
        {5, "line-numbers", {"--lines", "1,3"}, "1,3"},
    };
    get<QCheckBox>("Check1")->setCheckState(Qt::Checked);
    get<QRadioButton>("Option1")->setChecked(true);  // leave a blank line
    for (const Case& c : cases) {
        form->keywords().clear();
        form->keywords().append(QStringLiteral("ap"));
        form->keywords().append(QStringLiteral("PEAR"));
        mode(c.mode);
        if (!c.answer.isEmpty())
            ws.answerInput(c.answer);
        run();
        TempDir cliOut;
        // The command line refuses options its mode does not read; the window just ignores them.
        QStringList args{"--mode", c.cliMode, "--out-dir", cliOut.path(), "--quiet"};
        if (c.mode >= 1 && c.mode <= 3)
            args.append(QStringLiteral("--ignore-case"));
        if (c.mode != 0)
            args.append(QStringLiteral("--leave-blank"));
        args += c.extra;
        for (int i = 1; i <= form->fileList().count(); ++i) args.append(form->fileList().text(i));
        QProcess cli;
        cli.start(QStringLiteral(VARNOBIS_CLI), args);
        ASSERT_TRUE(cli.waitForFinished(60000));
        EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
        EXPECT_EQ(cliOut.entries(), out.entries()) << c.cliMode;
        for (const QString& name : out.entries())
            EXPECT_EQ(TempDir::read(cliOut.path(name)), TempDir::read(out.path(name)))
                << c.cliMode << " " << name.toStdString();
    }
    EXPECT_TRUE(ws.errors().empty());
}
#endif

}  // namespace
