#include "core/NativeName.h"
#include "filelist/AddFiles.h"
#include "filelist/EditList.h"
#include "filelist/Samples.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QUrl>

#include <map>

#include <sys/stat.h>

using namespace vn;
using namespace vn::filelist;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

struct MapSettings : SettingsView {
    std::map<QString, QString> values;
    QString read(const QString& key, const QString& def) override {
        const auto it = values.find(key);
        return it == values.end() ? def : it->second;
    }
    void write(const QString& key, const QString& value) override { values[key] = value; }
};

// A tree with files at three levels, a lock file, and hidden files writable (34) and not (35).
void makeTree(const TempDir& d) {
    QDir(d.path()).mkpath("sub/deeper");
    QDir(d.path()).mkpath("z");
    for (const char* n : {"top.txt", "TOP2.TXT", "~$lock.txt", ".hidden-rw.txt", ".hidden-ro.txt",
                          "other.log", "sub/s.txt", "sub/deeper/d.txt", "z/z.txt"})
        d.write(n, "x");
    ::chmod(QFile::encodeName(d.path(".hidden-ro.txt")).constData(), 0444);
}

}  // namespace

TEST(AddAllInFolder, AsksWalksAndAppendsLevelByLevel) {
    TempDir d;
    makeTree(d);
    ScriptedWindowServices ws;
    MemoryFileList list;
    MapSettings settings;
    QString pickerStart;
    bool busyDuringWalk = false;
    ws.onYield = [&](int) { busyDuringWalk = busyDuringWalk || ws.isBusy(); };
    AddFolderHost host{ws, list, settings, [&](const QString& prompt, const QString& start) {
                           EXPECT_EQ(prompt, "Please select folder:");
                           pickerStart = start;
                           return d.path() + "/";  // a folder ending in a separator, like a root
                       }};
    ws.answerInput("TXT");
    PushButton3_Click(host);

    ASSERT_EQ(ws.boxes.size(), 1u);
    EXPECT_EQ(ws.boxes[0].text,
              "Enter file extension to load:\r\r(* for all files, txt for all "
              "txt files, doc for all doc files, etc.)");
    EXPECT_EQ(ws.boxes[0].defaultAnswer, "*");
    EXPECT_EQ(pickerStart, "");
    EXPECT_EQ(settings.values["Extension"], "TXT");
    EXPECT_EQ(settings.values["LastFolder"], d.path() + "/");
    EXPECT_TRUE(busyDuringWalk);
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
    // The folder's own files first, then each level; "~" names and value 34 left out, 35 kept.
    EXPECT_EQ(list.entries(),
              QStringList({d.path(".hidden-ro.txt"), d.path("top.txt"), d.path("TOP2.TXT"),
                           d.path("sub/s.txt"), d.path("z/z.txt"), d.path("sub/deeper/d.txt")}));

    // Next time the answers are remembered; "*" takes every file.
    ws.answerInput("*");
    list.clear();
    PushButton3_Click(host);
    EXPECT_EQ(ws.boxes[1].defaultAnswer, "TXT");
    EXPECT_EQ(pickerStart, d.path() + "/");
    EXPECT_TRUE(list.entries().contains(d.path("other.log")));
    EXPECT_EQ(list.count(), 7);
}

TEST(AddAllInFolder, CancellingAddsNothing) {
    struct Case {
        const char* name;
        QString answer, chosen;
        QString extensionAfter;
        bool pickerShown;
    };
    for (const Case& c : {Case{"empty extension", "", "/tmp", "kept", false},
                          Case{"cancelled picker", "log", "", "log", true}}) {
        ScriptedWindowServices ws;
        MemoryFileList list;
        MapSettings settings;
        settings.values["Extension"] = "kept";
        bool picker = false;
        AddFolderHost host{ws, list, settings, [&](const QString&, const QString&) {
                               picker = true;
                               return c.chosen;
                           }};
        ws.answerInput(c.answer);
        PushButton3_Click(host);
        EXPECT_EQ(settings.values["Extension"], c.extensionAfter) << c.name;
        EXPECT_EQ(picker, c.pickerShown) << c.name;
        EXPECT_FALSE(settings.values.count("LastFolder")) << c.name;
        EXPECT_EQ(list.count(), 0) << c.name;
        EXPECT_TRUE(ws.pointerHistory.empty()) << c.name;
    }
}

TEST(Drop, FoldersWalkedOnceEachFilesAppendedAsDropped) {
    TempDir a, b;
    a.write("one.txt", "x");
    b.write("two.log", "x");
    const QString lock = b.write("~$lock.docx", "x");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(a.path()), QUrl::fromLocalFile(b.path()),
                  QUrl::fromLocalFile(lock), QUrl("https://example.com/x.txt")});
    ASSERT_TRUE(carriesLocalFiles(mime));
    ScriptedWindowServices ws;
    MemoryFileList list;
    ListView1_OLEDragDrop(ws, list, droppedPaths(mime));
    EXPECT_EQ(list.entries(), QStringList({a.path("one.txt"), b.path("two.log"), lock}));
    EXPECT_TRUE(ws.boxes.empty());
    EXPECT_TRUE(ws.pointerHistory.empty());

    QMimeData text;
    text.setText("just text");
    EXPECT_FALSE(carriesLocalFiles(text));
    QMimeData remote;
    remote.setUrls({QUrl("https://example.com/")});
    EXPECT_FALSE(carriesLocalFiles(remote));
}

TEST(Drop, DroppedNamesKeepTheirBytes) {
    // The desktop sends a name's bytes percent-encoded; a byte that is not UTF-8 must come back
    // as the same byte, not as U+FFFD naming another file. Spaces, "%" and UTF-8 stay as they are.
    QMimeData mime;
    mime.setUrls({QUrl::fromEncoded("file:///data/caf%E9.txt"),
                  QUrl::fromLocalFile(QString::fromUtf8("/data/a b%\xC3\xA9.txt"))});
    const QStringList paths = droppedPaths(mime);
    ASSERT_EQ(paths.size(), 2);
    EXPECT_EQ(nativeName(paths[0]), QByteArray("/data/caf\xE9.txt"));
    EXPECT_EQ(paths[1], QString::fromUtf8("/data/a b%\xC3\xA9.txt"));
}

TEST(RemoveByText, WholePathIgnoringCase) {
    const QStringList two = {"/data/Logs/report.txt", "/data/other/logbook.csv"};
    const QStringList mixed = {"/a/keep.txt", "/a/drop.TXT", "/b/keep.csv", "/b/drop.txt"};
    struct Case {
        const char* name;
        QStringList before;
        QString text;
        bool containing;
        QStringList after;
    };
    const std::vector<Case> cases = {
        {"folder and file name", two, "LOG", true, {}},
        {"not containing, all contain", two, "log", false, two},
        {"none match", two, "zzz", true, two},
        {"every one lacks it", two, "zzz", false, {}},
        {"order kept", mixed, "drop", true, {"/a/keep.txt", "/b/keep.csv"}},
        {"not containing", mixed, "drop", false, {"/a/drop.TXT", "/b/drop.txt"}},
        {"empty list", {}, "x", true, {}},
    };
    for (const Case& c : cases) {
        ScriptedWindowServices ws;
        MemoryFileList list(c.before);
        (c.containing ? RemoveEntriesContaining : RemoveEntriesNotContaining)(ws, list, c.text);
        EXPECT_EQ(list.entries(), c.after) << c.name;
        EXPECT_EQ(ws.yields, c.before.size()) << c.name;
        EXPECT_TRUE(ws.boxes.empty()) << c.name;
    }
}

TEST(RemoveByText, CommandsAskThenWorkUnderTheHourglass) {
    ScriptedWindowServices ws;
    MemoryFileList list({"/x/a.txt", "/x/b.txt"});
    bool busy = true;
    ws.onYield = [&](int) { busy = busy && ws.isBusy(); };
    ws.answerInput("A.TXT");
    PushButton9_Click(ws, list);
    ws.answerInput("b.txt");
    PushButton11_Click(ws, list);
    ws.answerInput("");
    PushButton9_Click(ws, list);
    EXPECT_EQ(list.entries(), QStringList{"/x/b.txt"});
    EXPECT_EQ(ws.texts(),
              QStringList({"Remove entries containing: ", "Remove entries not containing: ",
                           "Remove entries containing: "}));
    EXPECT_TRUE(busy);
    EXPECT_EQ(ws.pointerHistory, std::vector<Pointer>({Pointer::Hourglass, Pointer::Arrow,
                                                       Pointer::Hourglass, Pointer::Arrow}));
}

TEST(EditList, ClearAndDoubleClickWaitForTheHourglass) {
    ScriptedWindowServices ws;
    MemoryFileList list({"/a", "/b", "/c"});
    ws.setPointer(Pointer::Hourglass);
    PushButton7_Click(ws, list);
    ListView1_DblClick(ws, list, 1);
    EXPECT_EQ(list.count(), 3);
    ws.setPointer(Pointer::Arrow);
    ListView1_DblClick(ws, list, 0);
    ListView1_DblClick(ws, list, 4);
    ListView1_DblClick(ws, list, 2);
    EXPECT_EQ(list.entries(), QStringList({"/a", "/c"}));
    PushButton7_Click(ws, list);
    EXPECT_EQ(list.count(), 0);
}

TEST(EditList, DraggingExchangesWithTheEntryUnderTheMouse) {
    MemoryFileList list({"/first", "/second", "/third"});
    int dragged = 1;
    for (int hover : {2, 3})
        if (exchangeDraggedEntry(list, dragged, hover))
            dragged = hover;
    EXPECT_EQ(list.entries(), QStringList({"/second", "/third", "/first"}));
    EXPECT_EQ(dragged, 3);

    MemoryFileList same({"/same", "/same"});
    EXPECT_FALSE(exchangeDraggedEntry(same, 1, 2));
    EXPECT_FALSE(exchangeDraggedEntry(list, 4, 1)) << "a dragged entry since removed";
}

TEST(Samples, LoadedOnceEachPressAsksAndYesOpensTheFolder) {
    TempDir program;
    QDir(program.path()).mkpath("Samples/nested");
    for (const char* n :
         {"Samples/b.csv", "Samples/a.txt", "Samples/.c.log", "Samples/nested/n.txt"})
        program.write(n, "x");
    const QString s = program.path("Samples");
    ScriptedWindowServices ws;
    MemoryFileList list({s + "/A.TXT"});  // listed in another case: still added
    QStringList opened;
    const auto open = [&](const QString& f) { opened.append(f); };
    ws.answerMessage(Answer::No);
    ws.answerMessage(Answer::Yes);
    PushButton8_Click(ws, list, program.path(), open);
    PushButton8_Click(ws, list, program.path(), open);
    EXPECT_EQ(list.entries(),
              QStringList({s + "/A.TXT", s + "/.c.log", s + "/a.txt", s + "/b.csv"}));
    ASSERT_EQ(ws.boxes.size(), 2u);
    EXPECT_EQ(ws.boxes[1].text,
              "Would you like this software to open the folder where these "
              "sample files are stored (so that you can view them before working "
              "with them)?");
    EXPECT_EQ(ws.boxes[1].buttons, Buttons::YesNo);
    EXPECT_EQ(ws.boxes[1].icon, Icon::None);
    EXPECT_EQ(opened, QStringList{s});

    // No samples folder: nothing added, the question still comes, and Yes still opens.
    ScriptedWindowServices ws2;
    MemoryFileList empty;
    ws2.answerMessage(Answer::Yes);
    PushButton8_Click(ws2, empty, program.path("nowhere"), open);
    EXPECT_EQ(empty.count(), 0);
    EXPECT_EQ(opened.last(), program.path("nowhere/Samples"));
    EXPECT_TRUE(ws2.errors().empty());
}

TEST(Samples, ShippedBesideTheProgramInEachEncodingClass) {
    const QStringList files = sampleFiles(QStringLiteral(VARNOBIS_SAMPLES_DIR).chopped(8));
    ASSERT_GE(files.size(), 6);
    bool utf16 = false, utf8Mark = false, eightBit = false;
    for (const QString& f : files) {
        const QByteArray b = TempDir::read(f);
        utf16 = utf16 || b.startsWith("\xFF\xFE");
        utf8Mark = utf8Mark || b.startsWith("\xEF\xBB\xBF");
        // 8-bit text that is not valid UTF-8 (a code-page file) must round-trip as such.
        eightBit = eightBit || (!b.startsWith("\xFF\xFE") && !b.startsWith("\xEF\xBB\xBF") &&
                                QString::fromUtf8(b).toUtf8() != b);
    }
    EXPECT_TRUE(utf16);
    EXPECT_TRUE(utf8Mark);
    EXPECT_TRUE(eightBit);
}
