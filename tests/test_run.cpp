#include "run/RunDriver.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QSet>

#include <cmath>
#include <functional>

#include <sys/stat.h>

using namespace vn;
using namespace vn::run;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

// The window's state as the run sees it, changeable from a yield.
struct FakeWindow : LineOptionView, KeywordListView, RunOptionsView, SettingsView {
    struct Files : FileListView {
        QStringList entries;
        int count() const override { return int(entries.size()); }
        QString text(int i) const override { return entries.at(i - 1); }
    } files;

    int modeValue = 0;
    bool ic = false, leave = false, toFolder = true;
    QString folder;
    QStringList keywordList;
    QHash<QString, QString> store;
    RunObserver* observer = nullptr;

    bool leaveBlankLine() const override { return leave; }
    int count() const override { return int(keywordList.size()); }
    QString text(int k) const override { return keywordList.at(k - 1); }
    RemoveMode mode() const override { return RemoveMode(modeValue); }
    bool ignoreCase() const override { return ic; }
    bool saveToFolder() const override { return toFolder; }
    QString outputFolder() const override { return folder; }
    QString read(const QString& key, const QString& def) override { return store.value(key, def); }
    void write(const QString& key, const QString& value) override { store[key] = value; }

    // As the window runs it: its input boxes and its report, beside the test's own observer.
    void run(ScriptedWindowServices& ws) {
        InputBoxPrompts prompts(ws);
        SkippedFilesReport windowReport(ws);
        Both both(observer, &windowReport);
        RunObserver* shown = dynamic_cast<SkippedFilesReport*>(observer) ? observer : &both;
        RunHost host{ws, *this, *this, files, *this, *this, prompts, shown, QLatin1Char('/')};
        startRemoving(host);
    }

    struct Both : RunObserver {
        RunObserver *first, *second;
        Both(RunObserver* a, RunObserver* b) : first(a), second(b) {}
        template <class F>
        void each(F f) {
            for (RunObserver* o : {first, second})
                if (o)
                    f(*o);
        }
        void fileStarted(int i, const QString& in, const QString& out) override {
            each([&](RunObserver& o) { o.fileStarted(i, in, out); });
        }
        void fileFinished(int i, const QString& in, const QString& out,
                          const engine::FileResult& r) override {
            each([&](RunObserver& o) { o.fileFinished(i, in, out, r); });
        }
        void fileSkipped(int i, const QString& in, const SkipReason& r) override {
            each([&](RunObserver& o) { o.fileSkipped(i, in, r); });
        }
        void runEnding() override {
            each([](RunObserver& o) { o.runEnding(); });
        }
        void runFinished() override {
            each([](RunObserver& o) { o.runFinished(); });
        }
    };
};

// Records what the run tells about each entry.
struct Recorder : RunObserver {
    QStringList finished;
    std::vector<std::pair<QString, SkipReason>> skipped;
    void fileStarted(int, const QString&, const QString&) override {}
    void fileFinished(int, const QString& input, const QString&,
                      const engine::FileResult&) override {
        finished.append(input);
    }
    void fileSkipped(int, const QString& input, const SkipReason& reason) override {
        if (reason.kind != SkipReason::Quiet)
            skipped.emplace_back(input, reason);
    }
};

struct RunFixture : ::testing::Test {
    TempDir in, out;
    FakeWindow w;
    void SetUp() override { w.folder = out.path() + "/"; }
    QString add(const QString& name, const QByteArray& content) {
        const QString p = in.write(name, content);
        w.files.entries.append(p);
        return p;
    }
};

}  // namespace

TEST(OutputPathRule, NamesAndFileNameFromPath) {
    const std::pair<const char*, const char*> names[] = {
        {"report.csv", "report.txt"},    {"a.b.c", "a.b.txt"},
        {"notes.", "notes.txt"},         {".profile", ".txt"},
        {"data.txt", "data.txt"},        {"README", "README.txt"},
        {"log.2021.csv", "log.2021.txt"}};
    for (const auto& [in, expected] : names) EXPECT_EQ(outputName(in), expected) << in;
    EXPECT_EQ(FileNameFromPath("C:\\a\\b.txt", '\\'), "b.txt");
    EXPECT_EQ(FileNameFromPath("b.txt", '\\'), "b.txt");
    EXPECT_EQ(FileNameFromPath("C:\\a\\", '\\'), "");
    EXPECT_EQ(FileNameFromPath("/data/report.csv", '/'), "report.csv");
}

TEST_F(RunFixture, ValidationMessagesComeFirstAndTouchNothing) {
    {
        ScriptedWindowServices ws;
        w.run(ws);
        EXPECT_EQ(ws.texts(), QStringList{"No files added."});
        EXPECT_EQ(ws.boxes[0].title, QString()) << "the application title";
    }
    add("a.txt", "x\r\n");
    const QString aFile = in.write("plain", "x");
    for (const QString& folder : {in.path("missing"), aFile, QString()}) {
        for (bool toFolder : {true, false}) {
            ScriptedWindowServices ws;
            w.folder = folder;
            w.toFolder = toFolder;
            w.run(ws);
            EXPECT_EQ(ws.texts(),
                      QStringList{"Folder does not exist. Please select another folder."});
            EXPECT_TRUE(ws.pointerHistory.empty());
        }
    }
    EXPECT_TRUE(out.entries().isEmpty());
}

TEST_F(RunFixture, EveryModeUnderBothSaveOptions) {
    const QByteArray content = "apple\r\n\r\nPear\r\nbanana apple\r\nplum\r\n";
    struct Case {
        int mode;
        QStringList answers;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {0, {}, "apple\r\nPear\r\nbanana apple\r\nplum\r\n"},
        {1, {"apple"}, "\r\nPear\r\nplum\r\n"},
        {2, {"apple"}, "apple\r\nbanana apple\r\n"},
        {3, {}, "\r\nplum\r\n"},
        {4, {}, "banana apple\r\n"},
        {5, {"1,2"}, "Pear\r\nbanana apple\r\nplum"},
    };
    w.keywordList = {"apple", "ear"};
    w.ic = false;
    for (bool toFolder : {true, false}) {
        for (const Case& c : cases) {
            ScriptedWindowServices ws;
            for (const QString& a : c.answers) ws.answerInput(a);
            w.files.entries.clear();
            const QString input = add("in.csv", content);
            w.modeValue = c.mode;
            w.toFolder = toFolder;
            w.keywordList =
                c.mode == 4 ? QStringList{"apple", "banana"} : QStringList{"apple", "ear"};
            w.run(ws);
            const QString target = toFolder ? out.path("in.txt") : input;
            EXPECT_EQ(TempDir::read(target), c.expected)
                << "mode " << c.mode << " folder " << toFolder;
            EXPECT_EQ(ws.texts().last(), "Done.");
            EXPECT_TRUE(ws.errors().empty());
            if (!toFolder) {
                EXPECT_FALSE(QFileInfo::exists(out.path("in.txt")));
            }
            QFile::remove(out.path("in.txt"));
        }
    }
}

TEST_F(RunFixture, PromptsAreAskedOnceAndAnEmptyAnswerSkipsEveryFile) {
    const QString a = add("a.txt", "x\r\ny\r\n");
    const QString b = add("b.txt", "y\r\n");
    w.toFolder = false;
    w.modeValue = 1;
    {
        ScriptedWindowServices ws;
        ws.answerInput("x");
        w.run(ws);
        ASSERT_EQ(ws.boxes.size(), 2u);
        EXPECT_TRUE(ws.boxes[0].isInput);
        EXPECT_EQ(ws.boxes[0].text, "Enter x:");
        EXPECT_EQ(ws.boxes[0].defaultAnswer, "");
        EXPECT_EQ(TempDir::read(a), "y\r\n");
        EXPECT_EQ(TempDir::read(b), "y\r\n");
    }
    EXPECT_FALSE(w.store.contains("Enter x:")) << "the search text is never stored";
    for (int mode : {1, 2, 5}) {
        ScriptedWindowServices ws;
        ws.answerInput("");  // cancelled
        w.modeValue = mode;
        in.write("a.txt", "keep\r\n");
        w.run(ws);
        EXPECT_EQ(TempDir::read(a), "keep\r\n");
        EXPECT_EQ(ws.texts().last(), "Done.");
    }
    EXPECT_EQ(w.store.value("InputBox", "<absent>"), "") << "the empty answer is stored";
}

TEST_F(RunFixture, LineNumberPromptRemembersItsAnswer) {
    add("a.txt", "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n");
    w.modeValue = 5;
    ScriptedWindowServices ws;
    ws.answerInput("3,4");
    w.run(ws);
    EXPECT_EQ(ws.boxes[0].defaultAnswer, "1,2,5");
    EXPECT_EQ(ws.boxes[0].text, "Enter line numbers to remove separated by commas:");
    EXPECT_EQ(w.store.value("InputBox"), "3,4");
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "1\r\n2\r\n5\r\n6");
    ScriptedWindowServices ws2;
    ws2.answerInput("1");
    w.run(ws2);
    EXPECT_EQ(ws2.boxes[0].defaultAnswer, "3,4");
}

TEST_F(RunFixture, AnEmptyFirstEntryMeansNoPromptAndNoFileProcessed) {
    w.files.entries.append(QString());
    const QString b = add("b.txt", "x\r\n");
    w.modeValue = 1;
    w.toFolder = false;
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(ws.texts(), QStringList{"Done."});
    EXPECT_EQ(TempDir::read(b), "x\r\n");
}

TEST_F(RunFixture, ProgressPointerAndClosingState) {
    for (const char* n : {"a", "b", "c"}) add(n, "x\r\n");
    ScriptedWindowServices ws;
    w.run(ws);
    ASSERT_EQ(ws.progress1.size(), 4u);
    EXPECT_NEAR(ws.progress1[0], 33.33, 0.01);
    EXPECT_NEAR(ws.progress1[1], 66.67, 0.01);
    EXPECT_EQ(ws.progress1[2], 100.0);
    EXPECT_EQ(ws.progress1[3], 0.0);
    EXPECT_EQ(ws.progressText1,
              (QStringList{"Processing: a", "Processing: b", "Processing: c", "Progress Bar"}));
    EXPECT_EQ(ws.progress2.back(), 0.0);
    EXPECT_EQ(ws.progressText2.back(), "Progress Bar");
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
    EXPECT_EQ(ws.pointerHistory.front(), Pointer::Hourglass);
}

TEST_F(RunFixture, UnknownModeGivesListIndexErrorPerFile) {
    add("a", "x");
    add("b", "y");
    w.modeValue = -1;
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(ws.texts(), (QStringList{"ListIndex Error", "ListIndex Error", "Done."}));
    EXPECT_TRUE(out.entries().isEmpty());
}

TEST_F(RunFixture, ZeroByteFileIsHandedOnlyToTheBlankLineMode) {
    add("empty.log", QByteArray());
    {
        w.modeValue = 1;
        ScriptedWindowServices ws;
        ws.answerInput("x");
        w.run(ws);
        EXPECT_FALSE(QFileInfo::exists(out.path("empty.txt")));
        EXPECT_EQ(ws.texts().last(), "Done.");
    }
    {
        w.modeValue = 0;
        ScriptedWindowServices ws;
        w.run(ws);
        EXPECT_TRUE(QFileInfo::exists(out.path("empty.txt")));
        EXPECT_EQ(TempDir::read(out.path("empty.txt")), QByteArray());
    }
}

TEST_F(RunFixture, EncodingsSurviveARun) {
    const QByteArray u16 =
        QByteArray("\xFF\xFE", 2) + QByteArray("a\0\r\0\n\0\xAC\x20\r\0\n\0b\0", 14);
    const QByteArray u8 =
        "\xEF\xBB\xBF"
        "gr\xC3\xBC\xC3\x9F\r\n\r\nx\r\n";
    const QByteArray raw = "caf\xE9\r\nna\xEFve\r\n";  // not UTF-8: bytes carried through
    add("u16.dat", u16);
    add("u8.dat", u8);
    add("raw.dat", raw);
    w.modeValue = 0;
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(TempDir::read(out.path("u16.txt")),
              QByteArray("\xFF\xFE", 2) + QByteArray("a\0\r\0\n\0\xAC\x20\r\0\n\0b\0\r\0\n\0", 18));
    EXPECT_EQ(TempDir::read(out.path("u8.txt")),
              "\xEF\xBB\xBF"
              "gr\xC3\xBC\xC3\x9F\r\nx\r\n");
    EXPECT_EQ(TempDir::read(out.path("raw.txt")), raw);
}

TEST_F(RunFixture, CollidingOutputNamesKeepTheFirstResultAndNameBothFiles) {
    const QString md = add("c/a.md", "md\r\n\r\n");
    const QString txt = add("c/a.txt", "txt\r\n\r\n");
    const QString sub = add("c/sub/a.txt", "sub\r\n\r\n");
    const QString csv = add("c/b.csv", "csv\r\n");
    const QString log = add("c/b.log", "log\r\n");
    Recorder rec;
    w.observer = &rec;
    {
        ScriptedWindowServices ws;
        w.run(ws);
        EXPECT_EQ(ws.texts().last(), "Done.");
    }
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "md\r\n");
    EXPECT_EQ(TempDir::read(out.path("b.txt")), "csv\r\n");
    EXPECT_EQ(out.entries(), (QStringList{"a.txt", "b.txt"})) << "no temporary is left";
    EXPECT_EQ(rec.finished, (QStringList{md, csv}));
    ASSERT_EQ(rec.skipped.size(), 3u);
    const std::pair<QString, QString> expected[] = {{txt, md}, {sub, md}, {log, csv}};
    for (std::size_t k = 0; k < 3; ++k) {
        const auto& [input, reason] = rec.skipped[k];
        EXPECT_EQ(input, expected[k].first);
        EXPECT_EQ(reason.kind, SkipReason::OutputTaken);
        EXPECT_TRUE(reason.isFailure());
        EXPECT_EQ(reason.other, expected[k].second);
        EXPECT_TRUE(reason.text.contains(expected[k].second)) << reason.text.toStdString();
        EXPECT_TRUE(reason.text.contains(out.path("a.txt")) ||
                    reason.text.contains(out.path("b.txt")))
            << reason.text.toStdString();
    }
    EXPECT_EQ(TempDir::read(txt), "txt\r\n\r\n") << "inputs are never touched";

    // The next run is a run of its own: it may replace what the last one wrote.
    in.write("c/a.md", "md again\r\n");
    w.files.entries = {md};
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(TempDir::read(out.path("a.txt")), "md again\r\n");
}

TEST_F(RunFixture, AnOutputFolderThatIsTheInputFolderNeverReplacesAnotherInput) {
    // notes.md's result is named notes.txt, which is another input. Whichever comes first,
    // notes.txt is processed in place from its own content and notes.md's result is refused.
    w.folder = in.path() + "/";
    for (const bool mdFirst : {true, false}) {
        w.files.entries.clear();
        const QString md = in.write("notes.md", "from md\r\n\r\n");
        const QString txt = in.write("notes.txt", "from txt\r\n\r\n");
        const QString other = in.write("other.log", "other\r\n\r\n");
        w.files.entries = mdFirst ? QStringList{md, txt, other} : QStringList{txt, md, other};
        Recorder rec;
        w.observer = &rec;
        ScriptedWindowServices ws;
        w.run(ws);
        EXPECT_EQ(TempDir::read(txt), "from txt\r\n") << mdFirst;
        EXPECT_EQ(TempDir::read(md), "from md\r\n\r\n") << mdFirst;
        EXPECT_EQ(TempDir::read(in.path("other.txt")), "other\r\n") << mdFirst;
        ASSERT_EQ(rec.skipped.size(), 1u) << mdFirst;
        EXPECT_EQ(rec.skipped[0].first, md);
        EXPECT_EQ(rec.skipped[0].second.kind,
                  mdFirst ? SkipReason::OutputIsAnotherInput : SkipReason::OutputTaken);
        EXPECT_EQ(rec.skipped[0].second.other, txt);
        EXPECT_TRUE(rec.skipped[0].second.isFailure());
        QFile::remove(in.path("other.txt"));
    }
}

TEST_F(RunFixture, ASwitchToTheFolderDuringARunInPlaceStillSparesTheOtherInputs) {
    // The run starts in place, so the entries' files are first looked at only once the user
    // has switched to saving into a folder, here the inputs' own: b.md's result would be b.txt,
    // an input not yet processed, and is refused; b.txt is then processed from its own text.
    const QString a = add("a.log", "drop\r\n\r\n");
    const QString md = add("b.md", "from md\r\n\r\n");
    const QString txt = add("b.txt", "from txt\r\n\r\n");
    w.toFolder = false;
    w.folder = in.path() + "/";
    struct Switcher : Recorder {
        bool* toFolder = nullptr;
        void fileStarted(int, const QString&, const QString&) override { *toFolder = true; }
    } rec;
    rec.toFolder = &w.toFolder;
    w.observer = &rec;
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(TempDir::read(a), "drop\r\n");
    EXPECT_EQ(TempDir::read(md), "from md\r\n\r\n");
    EXPECT_EQ(TempDir::read(txt), "from txt\r\n");
    EXPECT_EQ(in.entries(), (QStringList{"a.log", "b.md", "b.txt"}));
    EXPECT_EQ(rec.finished, (QStringList{a, txt}));
    ASSERT_EQ(rec.skipped.size(), 1u);
    EXPECT_EQ(rec.skipped[0].first, md);
    EXPECT_EQ(rec.skipped[0].second.kind, SkipReason::OutputIsAnotherInput);
    EXPECT_EQ(rec.skipped[0].second.other, txt);
    w.observer = nullptr;
}

TEST_F(RunFixture, OneFileIsProcessedOnceWhateverPathsReachIt) {
    const QString f = in.write("d/f.txt", "1\r\n2\r\n3\r\n4\r\n");
    ASSERT_TRUE(QFile::link(f, in.path("d/alias.txt")));
    ASSERT_TRUE(QFile::link(in.path("d"), in.path("linked")));
    const QStringList spellings = {f,
                                   f,
                                   in.path("d/./f.txt"),
                                   in.path("d//f.txt"),
                                   in.path("d/../d/f.txt"),
                                   in.path("d/alias.txt"),
                                   in.path("linked/f.txt")};
    w.modeValue = 5;
    for (const bool toFolder : {false, true}) {
        in.write("d/f.txt", "1\r\n2\r\n3\r\n4\r\n");
        w.files.entries = spellings;
        w.toFolder = toFolder;
        Recorder rec;
        w.observer = &rec;
        ScriptedWindowServices ws;
        ws.answerInput("1");
        w.run(ws);
        EXPECT_EQ(rec.finished, QStringList{f}) << toFolder;
        ASSERT_EQ(rec.skipped.size(), std::size_t(spellings.size() - 1)) << toFolder;
        for (const auto& [input, reason] : rec.skipped) {
            EXPECT_EQ(reason.kind, SkipReason::SameFileAgain) << input.toStdString();
            EXPECT_FALSE(reason.isFailure());
            EXPECT_EQ(reason.other, f);
        }
        if (toFolder) {
            EXPECT_EQ(TempDir::read(f), "1\r\n2\r\n3\r\n4\r\n");
            EXPECT_EQ(out.entries(), QStringList{"f.txt"}) << "no result for the link's name";
            EXPECT_EQ(TempDir::read(out.path("f.txt")), "2\r\n3\r\n4");
        } else {
            EXPECT_EQ(TempDir::read(f), "2\r\n3\r\n4") << "one line removed, not seven";
            EXPECT_TRUE(QFileInfo(in.path("d/alias.txt")).isSymLink());
        }
    }
}

TEST_F(RunFixture, SkippedFilesAreToldInOneMessageBeforeDone) {
    const QString f = add("f.txt", "x\r\n\r\n");
    for (int k = 0; k < 25; ++k) w.files.entries.append(f);
    w.toFolder = false;
    ScriptedWindowServices ws;
    SkippedFilesReport report(ws);
    w.observer = &report;
    w.run(ws);
    ASSERT_EQ(ws.texts().size(), 2);
    EXPECT_EQ(ws.texts().last(), "Done.");
    const QString message = ws.boxes[0].text;
    EXPECT_EQ(ws.boxes[0].icon, Icon::Warning);
    EXPECT_EQ(message.count(f + ": the same file as " + f), SkippedFilesReport::kListed);
    EXPECT_TRUE(message.endsWith("\rand 5 more")) << message.toStdString();
    EXPECT_EQ(TempDir::read(f), "x\r\n");

    // A run with nothing to tell shows "Done." alone, and a report is not carried over.
    ScriptedWindowServices quiet;
    SkippedFilesReport none(quiet);
    w.observer = &none;
    w.files.entries = {f};
    w.run(quiet);
    EXPECT_EQ(quiet.texts(), QStringList{"Done."});
}

TEST_F(RunFixture, ASecondPressDuringARunIsIgnored) {
    add("a", "x\r\n");
    ScriptedWindowServices ws;
    ws.setPointer(Pointer::Hourglass);
    w.run(ws);
    EXPECT_TRUE(ws.boxes.empty());
    EXPECT_TRUE(out.entries().isEmpty());
}

TEST_F(RunFixture, EntriesRemovedDuringTheRunAreSkipped) {
    add("a", "x\r\n");
    add("b", "x\r\n");
    add("c", "x\r\n");
    ScriptedWindowServices ws;
    // While the first file is announced, the user removes the last two entries.
    ws.onYield = [&](int n) {
        if (n == 1)
            w.files.entries = w.files.entries.mid(0, 1);
    };
    w.run(ws);
    EXPECT_TRUE(ws.errors().empty());
    EXPECT_EQ(out.entries(), QStringList{"a.txt"});
    EXPECT_EQ(ws.texts().last(), "Done.");
}

TEST_F(RunFixture, AQuitDuringTheRunLeavesTheCurrentTargetIntact) {
    QByteArray big;
    for (int i = 0; i < 20000; ++i) big += "line " + QByteArray::number(i) + "\r\n";
    const QString a = add("a.txt", big);
    add("b.txt", "x\r\n");
    w.toFolder = false;
    w.modeValue = 1;
    ScriptedWindowServices ws;
    ws.answerInput("7");
    ws.onYield = [&](int n) {
        if (n == 500)
            ws.quit = true;
    };
    w.run(ws);
    EXPECT_EQ(TempDir::read(a), big);
    EXPECT_EQ(in.entries(), (QStringList{"a.txt", "b.txt"})) << "no temporary file is left";
    EXPECT_FALSE(ws.texts().contains("Done."));
}

TEST_F(RunFixture, InputsThatVanishOrBecomeFoldersAfterListingAreSkippedOrReported) {
    // The text modes skip an input without content (a missing file or a folder has none); the
    // blank-line mode reads every input and reports the ones it cannot read. Either way the
    // changed entries are left alone and the files after them are processed.
    for (const int mode : {1, 0}) {
        w.files.entries.clear();
        const QString a = add("a.txt", "drop\r\n\r\nkeep\r\n");
        const QString b = add("b.txt", "drop\r\n\r\nkeep\r\n");
        const QString c = add("c.txt", "drop\r\n\r\nkeep\r\n");
        const QString d = add("d.txt", "drop\r\n\r\nkeep\r\n");
        w.toFolder = false;
        w.modeValue = mode;
        ScriptedWindowServices ws;
        if (mode == 1)
            ws.answerInput("drop");
        // Once the run is under way, one input is deleted and another replaced by a folder.
        ws.onYield = [&](int n) {
            if (n != 1)
                return;
            QFile::remove(b);
            QFile::remove(c);
            QDir().mkdir(c);
            in.write("c.txt/inner", "drop\r\n");
        };
        w.run(ws);
        const QByteArray result = mode == 1 ? "\r\nkeep\r\n" : "drop\r\nkeep\r\n";
        EXPECT_EQ(TempDir::read(a), result) << mode;
        EXPECT_EQ(TempDir::read(d), result) << mode;
        EXPECT_FALSE(QFile::exists(b));
        EXPECT_EQ(TempDir::read(c + "/inner"), "drop\r\n");
        EXPECT_EQ(in.entries(), (QStringList{"a.txt", "c.txt", "d.txt"}));
        QStringList errors;
        for (const auto& box : ws.errors()) errors.append(box.text);
        if (mode == 1) {
            EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
        } else {
            // Each procedure on the way out reports it; every report names its file.
            const QString all = errors.join(" | ");
            ASSERT_FALSE(errors.isEmpty());
            for (const QString& e : errors)
                EXPECT_TRUE(e.contains(b) || e.contains(c)) << e.toStdString();
            EXPECT_TRUE(all.contains(b) && all.contains(c)) << all.toStdString();
            EXPECT_TRUE(all.contains("folder")) << all.toStdString();
        }
        QDir(c).removeRecursively();
        QFile::remove(a);
        QFile::remove(d);
    }
}

// A front end that answers the run's questions itself. The window's prompt texts never reach
// it, so rewording them cannot change what such a front end gets.
struct OwnAnswers : RunPrompts {
    QString text, lines;
    QStringList asked;
    QString searchText() override {
        asked.append("search");
        return text;
    }
    QString lineNumberList(const QString& stored) override {
        asked.append("lines offered " + stored);
        return lines;
    }
};

TEST_F(RunFixture, TheRunAsksItsFrontEndAndShowsNoBoxOfItsOwn) {
    const QString a = add("a.txt", "x 1\r\ny 2\r\nx 3\r\n");
    const QString b = add("b.txt", "y\r\nx\r\n");
    w.toFolder = false;
    w.store["InputBox"] = "9";
    for (const RemoveMode mode : {Containing, NotContaining, LineNumbers}) {
        in.write("a.txt", "x 1\r\ny 2\r\nx 3\r\n");
        in.write("b.txt", "y\r\nx\r\n");
        OwnAnswers answers;
        answers.text = "x";
        answers.lines = "1";
        Recorder rec;
        // No answer is queued: an input box would fail the test.
        ScriptedWindowServices ws;
        RunHost host{ws, w, w, w.files, w, w, answers, &rec, QLatin1Char('/')};
        w.modeValue = mode;
        startRemoving(host);
        for (const auto& box : ws.boxes) EXPECT_FALSE(box.isInput) << box.text.toStdString();
        EXPECT_TRUE(ws.boxes.empty()) << "not even \"Done.\": that is the window's";
        EXPECT_EQ(rec.finished, (QStringList{a, b})) << mode;
        if (mode == LineNumbers) {
            EXPECT_EQ(answers.asked, QStringList{"lines offered 9"});
            EXPECT_EQ(w.store.value("InputBox"), "1");
            EXPECT_EQ(TempDir::read(a), "y 2\r\nx 3");
            EXPECT_EQ(TempDir::read(b), "x");
        } else {
            EXPECT_EQ(answers.asked, QStringList{"search"});
            EXPECT_EQ(TempDir::read(a), mode == Containing ? "y 2\r\n" : "x 1\r\nx 3\r\n");
            EXPECT_EQ(TempDir::read(b), mode == Containing ? "y\r\n" : "x\r\n");
        }
        w.store["InputBox"] = "9";
    }
}

TEST_F(RunFixture, ASearchInputThatIsThereButCannotBeOpenedIsReportedOnce) {
    const QString fifo = in.path("pipe.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    w.files.entries.append(fifo);
    w.files.entries.append(in.path("gone.txt"));  // not there: passed over quietly, as before
    const QString empty = add("empty.txt", QByteArray());
    const QString after = add("after.txt", "x\r\nkeep\r\n");
    w.toFolder = false;
    for (const RemoveMode mode : {Containing, NotContaining}) {
        in.write("after.txt", "x\r\nkeep\r\n");
        Recorder rec;
        w.observer = &rec;
        w.modeValue = mode;
        ScriptedWindowServices ws;
        ws.answerInput("x");
        w.run(ws);
        ASSERT_EQ(ws.errors().size(), 1u) << mode;
        EXPECT_TRUE(ws.errors()[0].text.contains(fifo)) << ws.errors()[0].text.toStdString();
        EXPECT_TRUE(ws.errors()[0].text.contains("pipe")) << ws.errors()[0].text.toStdString();
        ASSERT_EQ(rec.skipped.size(), 1u);
        EXPECT_EQ(rec.skipped[0].first, fifo);
        EXPECT_EQ(rec.skipped[0].second.kind, SkipReason::Unreadable);
        EXPECT_TRUE(rec.skipped[0].second.isFailure());
        // The window's closing summary does not name it a second time.
        EXPECT_EQ(ws.texts().last(), "Done.");
        EXPECT_EQ(ws.boxes.size(), 3u) << ws.texts().join(" | ").toStdString();
        EXPECT_EQ(TempDir::read(after), mode == Containing ? "keep\r\n" : "x\r\n");
        EXPECT_EQ(TempDir::read(empty), "");
    }
    w.observer = nullptr;
}

namespace {

// Follows an in-place run file by file: what each entry's target holds at the moment the run
// tells about it, and a hook to act from the run's own calls.
struct InPlaceWatcher : RunObserver {
    std::function<void(int)> onStarted, onFinished;
    QStringList started, finished;
    std::vector<engine::FileResult> results;
    QList<QByteArray> heldWhenTold;
    void fileStarted(int i, const QString& input, const QString&) override {
        started.append(input);
        if (onStarted)
            onStarted(i);
    }
    void fileFinished(int i, const QString& input, const QString&,
                      const engine::FileResult& r) override {
        finished.append(input);
        results.push_back(r);
        heldWhenTold.append(TempDir::read(input));
        if (onFinished)
            onFinished(i);
    }
    void fileSkipped(int, const QString& input, const SkipReason& reason) override {
        ADD_FAILURE() << "skipped " << input.toStdString() << ": " << reason.text.toStdString();
    }
};

struct InPlaceBatchFixture : RunFixture {
    static constexpr int kFiles = 150;  // more than two batches
    QStringList names, paths;
    static QByteArray oldText(int k) { return "keep " + QByteArray::number(k) + "\r\n\r\nend\r\n"; }
    static QByteArray newText(int k) { return "keep " + QByteArray::number(k) + "\r\nend\r\n"; }
    void SetUp() override {
        RunFixture::SetUp();
        for (int k = 0; k < kFiles; ++k) {
            names.append(QStringLiteral("f%1.txt").arg(k, 3, 10, QLatin1Char('0')));
            paths.append(add(names.last(), oldText(k)));
        }
        w.toFolder = false;
        w.modeValue = BlankLines;
    }
    void reset() {
        for (int k = 0; k < kFiles; ++k) in.write(names[k], oldText(k));
    }
    QStringList strays() const {
        QStringList left;
        for (const QString& e : in.entries())
            if (!e.endsWith(".txt") || e.startsWith('.'))
                left.append(e);
        return left;
    }
};

}  // namespace

TEST_F(InPlaceBatchFixture, EveryFileIsToldInOrderOnlyOnceItsResultIsInPlace) {
    InPlaceWatcher watch;
    w.observer = &watch;
    ScriptedWindowServices ws;
    w.run(ws);
    EXPECT_EQ(watch.finished, paths);
    ASSERT_EQ(int(watch.heldWhenTold.size()), kFiles);
    for (int k = 0; k < kFiles; ++k) {
        EXPECT_EQ(watch.heldWhenTold[k], newText(k)) << "told before it was in place: " << k;
        EXPECT_FALSE(watch.results[k].failed) << k;
        EXPECT_EQ(TempDir::read(paths[k]), newText(k)) << k;
    }
    EXPECT_TRUE(ws.errors().empty());
    EXPECT_EQ(strays(), QStringList());
    EXPECT_EQ(ws.texts(), QStringList{"Done."});
}

TEST_F(InPlaceBatchFixture, AFileChangedWhileItsResultWaitedIsReportedAloneAndKeptAsChanged) {
    InPlaceWatcher watch;
    w.observer = &watch;
    // While later files are worked on, another program appends to the third one, whose result
    // is finished but not yet in place.
    watch.onStarted = [&](int i) {
        if (i == 10) {
            QFile f(paths[2]);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write("theirs\r\n");
        }
    };
    ScriptedWindowServices ws;
    w.run(ws);
    ASSERT_EQ(watch.finished, paths);
    for (int k = 0; k < kFiles; ++k) {
        EXPECT_EQ(watch.results[k].failed, k == 2) << k;
        EXPECT_EQ(TempDir::read(paths[k]), k == 2 ? oldText(k) + "theirs\r\n" : newText(k)) << k;
    }
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains(paths[2])) << ws.errors()[0].text.toStdString();
    EXPECT_TRUE(ws.errors()[0].text.contains("changed during the run"));
    EXPECT_EQ(strays(), QStringList());
}

TEST_F(InPlaceBatchFixture, AStopAtAnyPointLeavesEveryFileOldOrNewAndTellsWhichIsWhich) {
    // A stop while a file is worked on keeps every file finished before it; a stop that comes
    // while finished files are being put in place (here: from the report of one of them) keeps
    // the files up to that one, and the rest are told as stopped.
    for (const bool fromReport : {false, true}) {
        for (const int at : {1, 2, 63, 64, 65, 100, 150}) {
            reset();
            InPlaceWatcher watch;
            w.observer = &watch;
            ScriptedWindowServices ws;
            (fromReport ? watch.onFinished : watch.onStarted) = [&](int i) {
                if (i == at)
                    ws.quit = true;
            };
            w.run(ws);
            const std::string what =
                (fromReport ? "from report at " : "from start at ") + std::to_string(at);
            // The files told finished, and not stopped, hold their result; every other file
            // holds what it held.
            QSet<QString> done;
            for (std::size_t k = 0; k < watch.results.size(); ++k)
                if (!watch.results[k].stopped && !watch.results[k].failed)
                    done.insert(watch.finished[int(k)]);
            const int expectDone = fromReport ? at : at - 1;
            EXPECT_EQ(done.size(), expectDone) << what;
            for (int k = 0; k < kFiles; ++k) {
                const QByteArray now = TempDir::read(paths[k]);
                EXPECT_EQ(now, done.contains(paths[k]) ? newText(k) : oldText(k))
                    << what << " file " << k;
            }
            EXPECT_EQ(strays(), QStringList()) << what;
            EXPECT_FALSE(ws.texts().contains("Done.")) << what;
            EXPECT_TRUE(ws.errors().empty()) << what;
        }
    }
    w.observer = nullptr;
}
