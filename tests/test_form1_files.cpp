// The file list in the real window: the four ways of adding, editing, dragging entries.

#include "filelist/AddFiles.h"
#include "tests/support/Form1Fixture.h"

#include <QBuffer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QUrl>

using namespace vn;
using test::Form1Test;
using test::TempDir;

namespace {

class FileListTest : public Form1Test {
protected:
    QTreeWidget* list() { return get<QTreeWidget>("ListView1"); }
    QStringList entries() {
        QStringList out;
        for (int i = 1; i <= form->fileList().count(); ++i) out.append(form->fileList().text(i));
        return out;
    }
    void click(const char* button) { QTest::mouseClick(get<QPushButton>(button), Qt::LeftButton); }
    void fill(const QStringList& paths) {
        for (const QString& p : paths) form->fileList().append(p);
    }
    QPoint centreOf(int position) {
        return list()->visualItemRect(list()->topLevelItem(position - 1)).center();
    }
    // The buttons a real drag would carry: only the left one is held during a move.
    void mouse(QEvent::Type type, QPoint at, Qt::MouseButtons held) {
        QWidget* vp = list()->viewport();
        QMouseEvent e(type, at, vp->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(vp, &e);
    }
    void press(int position) {
        QTest::mousePress(list()->viewport(), Qt::LeftButton, {}, centreOf(position));
    }
    void moveTo(int position) { mouse(QEvent::MouseMove, centreOf(position), Qt::LeftButton); }
    void release(QPoint at) { QTest::mouseRelease(list()->viewport(), Qt::LeftButton, {}, at); }

    // A drag from the desktop over the list; returns whether the list would take it.
    bool dragEnter(const QMimeData& data, bool acceptedBefore) {
        QDragEnterEvent e(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        e.setAccepted(acceptedBefore);
        QApplication::sendEvent(list()->viewport(), &e);
        return e.isAccepted();
    }
    // A drop comes at the end of a drag that entered the list.
    void drop(const QMimeData& data) {
        dragEnter(data, false);
        QDropEvent e(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list()->viewport(), &e);
    }
    static QMimeData* files(const QStringList& paths) {
        auto* data = new QMimeData;
        QList<QUrl> urls;
        for (const QString& p : paths) urls.append(QUrl::fromLocalFile(p));
        data->setUrls(urls);
        return data;
    }

    TempDir tree;
};

TEST_F(FileListTest, AddFilesAppendsTheChosenPathsCleanedAndDuplicatesToo) {
    start();
    const QString a = tree.write("a.txt", "x"), b = tree.write("README", "x");
    filePicker.answers = {{tree.path() + "//a.txt", b}, {}, {a}};
    click("PushButton1");
    click("PushButton1");  // cancelled
    click("PushButton1");
    EXPECT_EQ(entries(), (QStringList{a, b, a}));
    EXPECT_EQ(filePicker.titles.value(0),
              "Add File(s) - Hold Ctrl or Shift to select multiple files");
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(FileListTest, AddAllInFolderWalksLevelByLevelAndKeepsItsAnswers) {
    start();
    const QString top = tree.write("b.TXT", "x");
    tree.write("a.log", "x");
    tree.write("~lock.txt", "x");
    const QString hidden = tree.write(".cache/h.txt", "x");
    const QString sub = tree.write("sub/c.txt", "x");
    const QString deep = tree.write("sub/deeper/d.txt", "x");
    ws.answerInput(QStringLiteral("txt"));
    picker.answers = {tree.path()};
    click("PushButton3");

    EXPECT_EQ(entries(), (QStringList{top, hidden, sub, deep}));
    ASSERT_EQ(ws.boxes.size(), 1u);
    EXPECT_EQ(ws.boxes[0].text, filelist::extensionPrompt());
    EXPECT_EQ(ws.boxes[0].defaultAnswer, "*");
    EXPECT_EQ(stored("Extension"), "txt");
    EXPECT_EQ(stored("LastFolder"), tree.path());
    ASSERT_EQ(picker.calls.size(), 1u);
    EXPECT_EQ(picker.calls[0].prompt, "Please select folder:");
    EXPECT_EQ(picker.calls[0].owner, form.get());
    EXPECT_TRUE(picker.calls[0].start.isEmpty());
    EXPECT_EQ(ws.pointerHistory.back(), Pointer::Arrow);
    EXPECT_NE(std::find(ws.pointerHistory.begin(), ws.pointerHistory.end(), Pointer::Hourglass),
              ws.pointerHistory.end());

    // A cancelled picker still keeps the new extension, and starts at the last folder.
    ws.answerInput(QStringLiteral("log"));
    click("PushButton3");
    EXPECT_EQ(stored("Extension"), "log");
    EXPECT_EQ(picker.calls.back().start, tree.path());
    EXPECT_EQ(ws.boxes.back().defaultAnswer, "txt");
    EXPECT_EQ(entries().size(), 4);

    // An empty answer ends it without touching the extension.
    ws.answerInput(QString());
    click("PushButton3");
    EXPECT_EQ(stored("Extension"), "log");
    EXPECT_EQ(picker.calls.size(), 2u);
}

TEST_F(FileListTest, DropsTakeOnlyFilesAndWalkEachFolderOnce) {
    start();
    const QString one = tree.write("one/a.dat", "x");
    const QString oneSub = tree.write("one/s/b", "x");
    const QString two = tree.write("two/c.txt", "x");
    const QString lock = tree.write("~lock.txt", "x");

    QMimeData text;
    text.setText(QStringLiteral("just words"));
    EXPECT_FALSE(dragEnter(text, true)) << "text is refused";
    const std::unique_ptr<QMimeData> remote(new QMimeData);
    remote->setUrls({QUrl(QStringLiteral("https://example.invalid/a.txt"))});
    EXPECT_FALSE(dragEnter(*remote, true)) << "no local file";
    const std::unique_ptr<QMimeData> local(files({tree.path("one"), tree.path("two"), lock}));
    EXPECT_TRUE(dragEnter(*local, false));

    drop(text);
    EXPECT_TRUE(entries().isEmpty());
    drop(*local);
    EXPECT_EQ(entries(), (QStringList{one, oneSub, two, lock})) << "a dropped file is taken as is";
    EXPECT_TRUE(ws.boxes.empty());
    EXPECT_TRUE(picker.calls.empty());
    EXPECT_EQ(stored("Extension"), "<absent>");
    EXPECT_EQ(stored("LastFolder"), "<absent>");
    EXPECT_TRUE(ws.pointerHistory.empty() ||
                std::find(ws.pointerHistory.begin(), ws.pointerHistory.end(), Pointer::Hourglass) ==
                    ws.pointerHistory.end());
}

TEST_F(FileListTest, RemovingByTextSearchesTheWholePathIgnoringCase) {
    start();
    const QStringList all{"/data/Logs/a.txt", "/data/log_b.txt", "/data/c.txt"};
    fill(all);
    ws.answerInput(QStringLiteral("DATA"));
    click("PushButton11");  // every entry contains it
    EXPECT_EQ(entries(), all);
    ws.answerInput(QStringLiteral("LOG"));
    click("PushButton9");
    EXPECT_EQ(entries(), QStringList{"/data/c.txt"});
    ws.answerInput(QStringLiteral("nowhere"));
    click("PushButton11");
    EXPECT_TRUE(entries().isEmpty());

    ASSERT_EQ(ws.boxes.size(), 3u);
    EXPECT_EQ(ws.boxes[0].text, "Remove entries not containing: ");
    EXPECT_EQ(ws.boxes[1].text, "Remove entries containing: ");
    EXPECT_TRUE(ws.boxes[1].defaultAnswer.isEmpty());
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
    EXPECT_GE(ws.yields, 4) << "one yield per entry";
}

TEST_F(FileListTest, ClearAndDoubleClickWaitWhileBusyAndDeleteRemovesNothing) {
    start();
    fill({"/a", "/b", "/c"});
    ws.setPointer(Pointer::Hourglass);
    click("PushButton7");
    doubleClick(list(), centreOf(2));
    EXPECT_EQ(entries().size(), 3);

    ws.setPointer(Pointer::Arrow);
    doubleClick(list(), centreOf(2));
    EXPECT_EQ(entries(), (QStringList{"/a", "/c"}));
    list()->setCurrentItem(list()->topLevelItem(0));
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ(entries().size(), 2);
    click("PushButton7");
    EXPECT_TRUE(entries().isEmpty());
    doubleClick(list(), QPoint(5, 5));  // an empty list
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(FileListTest, DraggingAnEntryCarriesItPastItsNeighbours) {
    program.write(QStringLiteral("drag.ico"), test::iconFile(Qt::blue));
    start();
    fill({"/first", "/second", "/third"});
    press(1);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::BitmapCursor) << "the drag.ico image";
    moveTo(2);
    moveTo(3);
    EXPECT_EQ(entries(), (QStringList{"/second", "/third", "/first"}));
    EXPECT_EQ(list()->currentItem(), list()->topLevelItem(2)) << "the moved entry is selected";
    release(centreOf(3));
    EXPECT_FALSE(list()->viewport()->testAttribute(Qt::WA_SetCursor))
        << "back to the window's arrow";

    // Moving without a button held moves nothing.
    mouse(QEvent::MouseMove, centreOf(1), Qt::NoButton);
    EXPECT_EQ(entries(), (QStringList{"/second", "/third", "/first"}));
}

TEST_F(FileListTest, APressBelowTheEntriesDragsNothing) {
    start();
    fill({"/first", "/second", "/third"});
    press(3);
    release(centreOf(3));
    // Below the last entry, then up across the others: the entry dragged before stays put.
    const QPoint below(centreOf(3).x(), list()->viewport()->height() - 2);
    ASSERT_EQ(list()->itemAt(below), nullptr);
    QTest::mousePress(list()->viewport(), Qt::LeftButton, {}, below);
    moveTo(2);
    moveTo(1);
    release(centreOf(1));
    EXPECT_EQ(entries(), (QStringList{"/first", "/second", "/third"}));
}

TEST_F(FileListTest, EqualTextsAndRemovedEntriesAreNeverExchanged) {
    start();  // no drag.ico: the move works all the same
    fill({"/same", "/same", "/other"});
    press(1);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::ClosedHandCursor);
    moveTo(2);
    EXPECT_EQ(entries(), (QStringList{"/same", "/same", "/other"}));
    release(centreOf(2));

    press(3);
    release(centreOf(3));
    form->fileList().removeAt(3);  // the dragged entry goes, by another command
    mouse(QEvent::MouseButtonPress, QPoint(2, list()->viewport()->height() - 2), Qt::LeftButton);
    moveTo(1);
    EXPECT_EQ(entries(), (QStringList{"/same", "/same"}));
    release(centreOf(1));
}

TEST_F(FileListTest, DraggingToAnEdgeScrollsTheList) {
    start();
    QStringList many;
    for (int i = 1; i <= 60; ++i) many.append(QStringLiteral("/file%1").arg(i, 2, 10, QChar('0')));
    fill(many);
    QCoreApplication::processEvents();  // the view lays its items out when it next paints
    QScrollBar* bar = list()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    const int bottom = list()->viewport()->height() - 2;
    QTreeWidgetItem* last = list()->itemAt(QPoint(5, bottom));
    ASSERT_NE(last, nullptr);
    const int lastVisible = list()->indexOfTopLevelItem(last) + 1;
    press(1);
    mouse(QEvent::MouseMove, QPoint(5, bottom), Qt::LeftButton);
    EXPECT_GT(bar->value(), 0) << "the entry after the hovered one came into view";
    EXPECT_EQ(form->fileList().text(lastVisible), "/file01");
    release(QPoint(5, bottom));
}

TEST_F(FileListTest, SamplesLoadOnceAndTheFolderOpensOnYes) {
    const QDir samples(QStringLiteral(VARNOBIS_SAMPLES_DIR));
    QStringList names = samples.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    ASSERT_GE(names.size(), 3);
    QDir(program.path()).mkdir(QStringLiteral("Samples"));
    for (const QString& n : names)
        ASSERT_TRUE(QFile::copy(samples.filePath(n), program.path("Samples/" + n)));
    start();

    ws.answerMessage(Answer::Yes);
    click("PushButton8");
    const int loaded = entries().size();
    EXPECT_EQ(loaded, names.size());
    for (const QString& e : entries())
        EXPECT_TRUE(e.startsWith(program.path("Samples/"))) << qPrintable(e);
    EXPECT_EQ(openedFolders, QStringList{program.path("Samples")});

    ws.answerMessage(Answer::No);
    click("PushButton8");
    EXPECT_EQ(entries().size(), loaded);
    EXPECT_EQ(ws.boxes.size(), 2u) << "the question comes every time";
    EXPECT_EQ(ws.boxes[1].buttons, Buttons::YesNo);
    EXPECT_EQ(openedFolders.size(), 1);
}

}  // namespace
