#include "gui/FolderPicker.h"
#include "gui/Form1.h"
#include "gui/QtWindowServices.h"
#include "gui/Settings.h"
#include "tests/support/Form1Fixture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <memory>

using namespace vn;
using test::Form1Test;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_form1";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty()) << "a window was left open";
        m_app.reset();
    }

private:
    std::unique_ptr<QApplication> m_app;
};
const auto* const qtApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

TEST_F(Form1Test, LaysOutEveryControlInItsContainer) {
    start();
    struct Row {
        const char* name;
        const char* kind;
        const char* caption;
        const char* container;
        int left, top, width, height;  // twips
    };
    const Row rows[] = {
        {"ListView1", "QTreeWidget", nullptr, "Form1", 120, 120, 7800, 3765},
        {"PushButton1", "QPushButton", "Add File(s)", "Form1", 120, 3975, 3840, 405},
        {"PushButton3", "QPushButton", "Add All File(s) In Folder", "Form1", 4080, 3975, 3840, 405},
        {"PushButton7", "QPushButton", "Clear List", "Form1", 120, 4485, 3840, 405},
        {"PushButton8", "QPushButton", "Load Sample/Example Files", "Form1", 4080, 4485, 3840, 405},
        {"PushButton9", "QPushButton", "Remove Filenames Cont X", "Form1", 120, 4995, 3840, 405},
        {"PushButton11", "QPushButton", "Remove Filenames Not Cont. X", "Form1", 4080, 4995, 3840,
         405},
        {"Frame2", "QGroupBox", "Remove Options", "Form1", 120, 5430, 7800, 810},
        {"Combo1", "QComboBox", nullptr, "Frame2", 240, 300, 7320, 345},
        {"Frame3", "QGroupBox", "Keyword Options", "Form1", 8040, 45, 7800, 1965},
        {"ListView2", "QTreeView", nullptr, "Frame3", 240, 300, 7320, 1035},
        {"PushButton6", "QPushButton", "Add Keyword", "Frame3", 240, 1410, 3585, 405},
        {"PushButton5", "QPushButton", "Clear List", "Frame3", 3960, 1410, 3585, 405},
        {"Frame1", "QGroupBox", "Line Options", "Form1", 8040, 2060, 7800, 1380},
        {"Option1", "QRadioButton", "Remove line but leave blank line (carriage return)", "Frame1",
         240, 300, 5055, 255},
        {"Option2", "QRadioButton", "Remove line completely", "Frame1", 240, 650, 3255, 255},
        {"Check1", "QCheckBox", "Ignore case", "Frame1", 240, 960, 4575, 255},
        {"Frame6", "QGroupBox", "Save Option", "Form1", 8040, 3480, 7800, 1725},
        {"Option4", "QRadioButton", "Save results to this folder:", "Frame6", 240, 300, 2700, 285},
        {"Frame5", "QGroupBox", "", "Frame6", 480, 540, 6720, 705},
        {"Text1", "QLineEdit", nullptr, "Frame5", 240, 240, 5580, 330},
        {"PushButton10", "QPushButton", "...", "Frame5", 5880, 240, 600, 315},
        {"Option3", "QRadioButton", "Save results in folder of original file", "Frame6", 240, 1335,
         3735, 255},
        {"PushButton2", "QPushButton", "Start Removing", "Form1", 8040, 5320, 7800, 405},
        {"ProgressBar1", "QProgressBar", nullptr, "Form1", 8040, 5840, 3840, 405},
        {"ProgressBar2", "QProgressBar", nullptr, "Form1", 12000, 5840, 3840, 405},
    };
    auto px = [](int twips) { return qRound(twips / 15.0); };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        QWidget* w = get<QWidget>(r.name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), r.kind);
        const QWidget* container = w->parentWidget();
        EXPECT_EQ(container == form.get() ? QStringLiteral("Form1") : container->objectName(),
                  QString::fromLatin1(r.container));
        EXPECT_EQ(w->geometry(), QRect(px(r.left), px(r.top), px(r.width), px(r.height)));
        if (r.caption) {
            const QString caption = QString::fromLatin1(r.caption);
            if (auto* b = qobject_cast<QAbstractButton*>(w)) {
                EXPECT_EQ(b->text(), caption);
            }
            if (auto* f = qobject_cast<QGroupBox*>(w)) {
                EXPECT_EQ(f->title(), caption);
            }
        }
        const QFont font = w->font();
        EXPECT_EQ(font.family(), QStringLiteral("Arial"));
        EXPECT_TRUE(font.bold());
        EXPECT_DOUBLE_EQ(font.pointSizeF(), qobject_cast<QPushButton*>(w) ? 11.25 : 9.0);
    }
    EXPECT_EQ(form->findChildren<QPushButton*>().size(), 10);

    EXPECT_EQ(get<QWidget>("ListView1")->toolTip(),
              QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | "
                             "line to right and out of window to reveal full names."));
    EXPECT_EQ(get<QWidget>("ListView2")->toolTip(),
              QStringLiteral("Double-click item to remove it. Move | line to right and out of "
                             "window to reveal full names."));
    auto* list1 = get<QTreeWidget>("ListView1");
    EXPECT_EQ(list1->headerItem()->text(0), QStringLiteral("File(s)"));
    EXPECT_EQ(list1->columnWidth(0), px(7000));
    EXPECT_FALSE(list1->rootIsDecorated());
    auto* list2 = get<QTreeView>("ListView2");
    EXPECT_EQ(list2->model()->headerData(0, Qt::Horizontal).toString(),
              QStringLiteral("Keyword(s) To Remove"));
    EXPECT_EQ(list2->columnWidth(0), px(6500));

    auto* combo = get<QComboBox>("Combo1");
    const QStringList modes = {
        "Remove all blank lines in text file(s)",
        "Remove all lines containing this/these character(s)",
        "Remove all lines not containing this/these character(s)",
        "Remove all lines containg below keywords",
        "Remove all lines not containg below keywords",
        "Remove lines n1, n2, n3, etc. where n is a number",
    };
    ASSERT_EQ(combo->count(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(combo->itemText(i), modes[i]);
    EXPECT_FALSE(combo->isEditable());

    for (const char* bar : {"ProgressBar1", "ProgressBar2"}) {
        auto* b = get<QProgressBar>(bar);
        EXPECT_EQ(b->text(), QStringLiteral("Progress Bar"));
        EXPECT_EQ(b->value(), 0);
        EXPECT_EQ(b->maximum(), 100 * QtWindowServices::kBarScale);
    }
}

TEST_F(Form1Test, IsAFixedWhiteCentredWindowCalledVarnobis) {
    start();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Varnobis"));
    EXPECT_EQ(form->qtServices().applicationTitle(), QStringLiteral("Varnobis"));
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->size(), QSize(1064, 423));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(get<QGroupBox>("Frame3")->palette().color(QPalette::Window), QColor(Qt::white));
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((form->frameGeometry().center() - centre).manhattanLength(), 4);
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(Form1Test, FirstStartShowsTheDefaultsAndWritesThemBack) {
    start();
    EXPECT_EQ(form->mode(), 0);
    EXPECT_TRUE(get<QRadioButton>("Option1")->isChecked());
    EXPECT_FALSE(get<QRadioButton>("Option2")->isChecked());
    EXPECT_TRUE(get<QRadioButton>("Option4")->isChecked());
    EXPECT_FALSE(get<QRadioButton>("Option3")->isChecked());
    EXPECT_EQ(get<QCheckBox>("Check1")->checkState(), Qt::Checked);
    EXPECT_EQ(form->keywordList().count(), 0);
    EXPECT_TRUE(get<QGroupBox>("Frame5")->isEnabled());
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), desktop());
    EXPECT_TRUE(ws.boxes.empty());

    // What a run reads.
    const run::RunOptionsView& options = *form;
    const LineOptionView& option1 = *form;
    EXPECT_EQ(options.mode(), 0);
    EXPECT_TRUE(options.ignoreCase());
    EXPECT_TRUE(option1.leaveBlankLine());
    EXPECT_TRUE(options.saveToFolder());
    EXPECT_EQ(options.outputFolder(), desktop());

    EXPECT_EQ(stored("Combo1"), QStringLiteral("0"));
    EXPECT_EQ(stored("Option1"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option4"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option3"), QStringLiteral("False"));
    EXPECT_EQ(stored("Check1"), QStringLiteral("1"));
    EXPECT_EQ(stored("Output Folder"), desktop());
    EXPECT_EQ(stored("Keywords"), QStringLiteral("<absent>")) << "written only at shut-down";
}

TEST_F(Form1Test, WithoutADesktopFolderTheHomeFolderIsTheDefault) {
    QDir(home.path()).rmdir(QStringLiteral("Desktop"));
    start();
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), home.path() + QStringLiteral("/"));
}

TEST_F(Form1Test, RestoresStoredChoices) {
    store("Combo1", QStringLiteral("5"));
    store("Option1", QStringLiteral("False"));
    store("Option2", QStringLiteral("true"));
    store("Option3", QStringLiteral("True"));
    store("Option4", QStringLiteral("False"));
    store("Check1", QStringLiteral("0"));
    store("Output Folder", QString());
    start();
    EXPECT_EQ(form->mode(), 5);
    EXPECT_TRUE(get<QRadioButton>("Option2")->isChecked());
    EXPECT_FALSE(form->leaveBlankLine());
    EXPECT_TRUE(get<QRadioButton>("Option3")->isChecked());
    EXPECT_FALSE(form->saveToFolder());
    EXPECT_FALSE(form->ignoreCase());
    // The emptied box stays empty rather than showing the desktop again.
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), QString());
    EXPECT_EQ(stored("Output Folder"), QString());

    // Saving next to the originals shuts the folder box and its button off through their frame;
    // their own state and the text stay.
    auto* frame5 = get<QGroupBox>("Frame5");
    EXPECT_FALSE(frame5->isEnabled());
    for (const char* inside : {"Text1", "PushButton10"}) {
        QWidget* w = get<QWidget>(inside);
        EXPECT_FALSE(w->isEnabled()) << inside;
        EXPECT_TRUE(w->isEnabledTo(frame5)) << inside;
    }
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(Form1Test, StoredModesSetTheKeywordControls) {
    for (int mode = 0; mode < 6; ++mode) {
        SCOPED_TRACE(mode);
        store("Combo1", QString::number(mode));
        start();
        const bool keywordMode = mode == 3 || mode == 4;
        for (const char* name : {"ListView2", "PushButton5", "PushButton6"})
            EXPECT_EQ(get<QWidget>(name)->isEnabled(), keywordMode) << name;
        EXPECT_EQ(stored("Combo1"), QString::number(mode));
    }
}

TEST_F(Form1Test, EachModeEnablesItsControls) {
    start();
    auto* combo = get<QComboBox>("Combo1");
    auto* option1 = get<QRadioButton>("Option1");
    auto* check1 = get<QCheckBox>("Check1");
    // mode: line options, ignore case, keyword controls
    const bool table[6][3] = {{false, false, false}, {true, true, false}, {true, true, false},
                              {true, true, true},    {true, true, true},  {true, false, false}};
    for (int mode : {3, 0, 5, 1, 4, 2}) {
        SCOPED_TRACE(mode);
        combo->setCurrentIndex(mode);
        EXPECT_EQ(stored("Combo1"), QString::number(mode));
        EXPECT_EQ(option1->isEnabled(), table[mode][0]);
        EXPECT_EQ(get<QWidget>("Option2")->isEnabled(), table[mode][0]);
        EXPECT_EQ(check1->isEnabled(), table[mode][1]);
        for (const char* name : {"ListView2", "PushButton5", "PushButton6"})
            EXPECT_EQ(get<QWidget>(name)->isEnabled(), table[mode][2]) << name;
        // Greyed-out options keep the values a run reads.
        EXPECT_TRUE(form->leaveBlankLine());
        EXPECT_TRUE(form->ignoreCase());
    }
    // Leaving a keyword mode keeps the keywords.
    form->keywords().append(QStringLiteral("k"));
    combo->setCurrentIndex(0);
    EXPECT_EQ(form->keywordList().count(), 1);
}

TEST_F(Form1Test, AValueThatCannotBeConvertedFailsOnlyItsOwnStep) {
    store("Combo1", QStringLiteral("abc"));
    store("Option4", QStringLiteral("maybe"));
    store("Option3", QStringLiteral("False"));
    store("Check1", QStringLiteral("5"));
    store("Output Folder", QStringLiteral("/out/"));
    start();
    const QStringList errors = errorTexts();
    ASSERT_EQ(errors.size(), 3) << errors.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(errors[0].startsWith(QStringLiteral("Type mismatch: \"abc\"")));
    for (const QString& e : errors)
        EXPECT_TRUE(e.contains(QStringLiteral("in Tessamar2021/08/31.Form1.Form_Load at line ")));
    EXPECT_TRUE(errors[1].contains(QStringLiteral("\"maybe\"")));
    EXPECT_TRUE(errors[2].contains(QStringLiteral("Invalid property value")));

    // Each control keeps its initial state, and the later steps still ran.
    EXPECT_EQ(form->mode(), -1);
    EXPECT_EQ(stored("Combo1"), QStringLiteral("abc"));
    EXPECT_TRUE(get<QWidget>("PushButton6")->isEnabled());
    EXPECT_TRUE(get<QRadioButton>("Option4")->isChecked());
    EXPECT_TRUE(form->saveToFolder()) << "one save option stays chosen";
    EXPECT_TRUE(get<QGroupBox>("Frame5")->isEnabled());
    EXPECT_EQ(get<QCheckBox>("Check1")->checkState(), Qt::Unchecked);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), QStringLiteral("/out/"));
}

TEST_F(Form1Test, AModeOutsideTheSelectorIsRefused) {
    store("Combo1", QStringLiteral("6"));
    start();
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains(QStringLiteral("Invalid property value")));
    EXPECT_EQ(form->mode(), -1);
}

TEST_F(Form1Test, TypingIntoTheFolderBoxStoresEveryKeystroke) {
    start();
    auto* text1 = get<QLineEdit>("Text1");
    text1->clear();
    EXPECT_EQ(stored("Output Folder"), QString());
    const QString typed = QStringLiteral("/tmp/out");
    for (qsizetype i = 0; i < typed.size(); ++i) {
        QTest::keyClicks(text1, typed.mid(i, 1));
        EXPECT_EQ(stored("Output Folder"), typed.left(i + 1));
    }
    EXPECT_EQ(form->outputFolder(), typed);
}

TEST_F(Form1Test, BrowsingSetsTheFolderWithItsSeparatorAndCancellingChangesNothing) {
    start();
    auto* browse = get<QPushButton>("PushButton10");
    ASSERT_TRUE(browse->isEnabled());

    picker.answers = {QString()};
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), desktop());
    EXPECT_EQ(stored("LastFolderDot"), QStringLiteral("<absent>"));

    picker.answers = {QStringLiteral("/data/out"), QStringLiteral("/"), QStringLiteral("/x/")};
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), QStringLiteral("/data/out/"));
    EXPECT_EQ(stored("LastFolderDot"), QStringLiteral("/data/out"));
    EXPECT_EQ(stored("Output Folder"), QStringLiteral("/data/out/"));
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), QStringLiteral("/"));
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), QStringLiteral("/x/"));

    ASSERT_EQ(picker.calls.size(), 4u);
    for (const auto& c : picker.calls) {
        EXPECT_EQ(c.owner, form.get());
        EXPECT_EQ(c.prompt, QStringLiteral("Save images to this folder"));
        EXPECT_EQ(c.start, QString());
    }
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(Form1Test, ClickingTheOptionsStoresThem) {
    start();
    auto* check1 = get<QCheckBox>("Check1");
    get<QComboBox>("Combo1")->setCurrentIndex(1);
    clickCheckable(check1);
    EXPECT_EQ(stored("Check1"), QStringLiteral("0"));
    clickCheckable(check1);
    EXPECT_EQ(stored("Check1"), QStringLiteral("1"));

    clickCheckable(get<QRadioButton>("Option2"));
    EXPECT_EQ(stored("Option1"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("True"));
    EXPECT_FALSE(form->leaveBlankLine());

    clickCheckable(get<QRadioButton>("Option3"));
    EXPECT_EQ(stored("Option4"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option3"), QStringLiteral("True"));
    EXPECT_FALSE(get<QGroupBox>("Frame5")->isEnabled());
    clickCheckable(get<QRadioButton>("Option4"));
    EXPECT_EQ(stored("Option4"), QStringLiteral("True"));
    EXPECT_TRUE(get<QGroupBox>("Frame5")->isEnabled());
}

TEST_F(Form1Test, AGreyIgnoreCaseCountsAsClear) {
    store("Check1", QStringLiteral("2"));
    start();
    EXPECT_EQ(get<QCheckBox>("Check1")->checkState(), Qt::PartiallyChecked);
    EXPECT_FALSE(form->ignoreCase());
    EXPECT_EQ(stored("Check1"), QStringLiteral("2"));
}

TEST_F(Form1Test, AddingKeywords) {
    store("Combo1", QStringLiteral("3"));
    start();
    auto* add = get<QPushButton>("PushButton6");
    ASSERT_TRUE(add->isEnabled());
    for (const char* answer : {"   ", "", "  abc ", "abc", "abc"}) {
        ws.answerInput(QString::fromLatin1(answer));
        QTest::mouseClick(add, Qt::LeftButton);
    }
    EXPECT_EQ(form->keywords().entries(), (QStringList{"  abc ", "abc", "abc"}));
    ASSERT_EQ(ws.boxes.size(), 5u);
    EXPECT_TRUE(ws.boxes[0].isInput);
    EXPECT_EQ(ws.boxes[0].text, QStringLiteral("Enter keyword: "));
    EXPECT_EQ(ws.boxes[0].title, QStringLiteral("Input Keyword"));
    EXPECT_EQ(ws.boxes[0].defaultAnswer, QString());
    EXPECT_EQ(get<QTreeView>("ListView2")->model()->rowCount(), 3);
    EXPECT_EQ(stored("Keywords"), QStringLiteral("<absent>")) << "adding does not store";
}

TEST_F(Form1Test, KeywordsSurviveARestartAndClearingStoresNothing) {
    store("Combo1", QStringLiteral("4"));
    start();
    for (const char* k : {"a", "b", "c"}) {
        ws.answerInput(QString::fromLatin1(k));
        QTest::mouseClick(get<QPushButton>("PushButton6"), Qt::LeftButton);
    }
    closeForm();
    EXPECT_EQ(stored("Keywords"),
              QStringLiteral("a||MySeparator12||b||MySeparator12||c||MySeparator12||"));

    start();
    EXPECT_EQ(form->keywords().entries(), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(form->keywordList().text(2), QStringLiteral("b"));
    QTest::mouseClick(get<QPushButton>("PushButton5"), Qt::LeftButton);
    EXPECT_EQ(form->keywordList().count(), 0);
    EXPECT_EQ(stored("Keywords"),
              QStringLiteral("a||MySeparator12||b||MySeparator12||c||MySeparator12||"));
    closeForm();
    EXPECT_EQ(stored("Keywords"), QString());
    start();
    EXPECT_EQ(form->keywordList().count(), 0);
}

TEST_F(Form1Test, StoredKeywordsRestoreByTheirSeparators) {
    store("Keywords", QStringLiteral("||MySeparator12||a||MySeparator12||||MySeparator12||"));
    start();
    EXPECT_EQ(form->keywords().entries(), QStringList{"a"});
    form.reset();
    store("Keywords", QStringLiteral("x||MySeparator12||y||MySeparator12|| z ||mySeparator12||"));
    start();
    EXPECT_EQ(form->keywords().entries(), (QStringList{"x", "y", " z ||mySeparator12||"}));
}

TEST_F(Form1Test, RemovingKeywordsByDeleteAndDoubleClick) {
    store("Combo1", QStringLiteral("3"));
    start();
    auto* list = get<QTreeView>("ListView2");
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Delete);  // an empty list: nothing to do
    EXPECT_EQ(form->keywordList().count(), 0);

    for (const char* k : {"a", "b", "c", "d"}) form->keywords().append(QString::fromLatin1(k));
    QTest::keyClick(list, Qt::Key_Delete);  // nothing selected
    EXPECT_EQ(form->keywordList().count(), 4);

    list->setCurrentIndex(list->model()->index(1, 0));
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(form->keywords().entries(), (QStringList{"a", "c", "d"}));

    // While a run shows the hourglass the list stays as it is; adding still works.
    ws.setPointer(Pointer::Hourglass);
    list->setCurrentIndex(list->model()->index(0, 0));
    QTest::keyClick(list, Qt::Key_Delete);
    const QRect first = list->visualRect(list->model()->index(0, 0));
    doubleClick(list, first.center());
    EXPECT_EQ(form->keywords().entries(), (QStringList{"a", "c", "d"}));
    ws.answerInput(QStringLiteral("e"));
    QTest::mouseClick(get<QPushButton>("PushButton6"), Qt::LeftButton);
    EXPECT_EQ(form->keywordList().count(), 4);

    ws.setPointer(Pointer::Arrow);
    const QRect third = list->visualRect(list->model()->index(2, 0));
    doubleClick(list, third.center());
    EXPECT_EQ(form->keywords().entries(), (QStringList{"a", "c", "e"}));
}

TEST_F(Form1Test, PointerFollowsTheMouseUnlessBusy) {
    start();
    ASSERT_EQ(ws.pointer(), Pointer::Arrow);
    moveOver(get<QWidget>("PushButton5"));  // a button inside a frame shows the hand, too
    EXPECT_EQ(ws.pointer(), Pointer::Hand);
    moveOver(get<QWidget>("Frame3"));
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
    moveOver(get<QWidget>("PushButton10"));
    EXPECT_EQ(ws.pointer(), Pointer::Hand);
    moveOver(get<QWidget>("Option1"));  // no reaction of its own
    EXPECT_EQ(ws.pointer(), Pointer::Hand);
    moveOver(get<QTreeWidget>("ListView1")->viewport());
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);
    moveOver(get<QWidget>("PushButton2"));
    moveOver(form.get());
    EXPECT_EQ(ws.pointer(), Pointer::Arrow);

    ws.setPointer(Pointer::Hourglass);
    moveOver(get<QWidget>("PushButton2"));
    moveOver(get<QWidget>("Text1"));
    EXPECT_EQ(ws.pointer(), Pointer::Hourglass);
    EXPECT_TRUE(form->services().isBusy());
}

QByteArray cursorFile(int hotX, int hotY) {
    QByteArray bytes = test::iconFile(Qt::red);
    // An icon file becomes a cursor file by its type (2) and the hot spot in its entry.
    bytes[2] = 2;
    bytes[10] = char(hotX);
    bytes[12] = char(hotY);
    return bytes;
}

TEST_F(Form1Test, HandPointerComesFromTheCursorFileBesideTheProgram) {
    start();
    EXPECT_EQ(form->handPointer().shape(), Qt::ArrowCursor) << "no HAND-M.CUR: the arrow";
    form.reset();

    program.write(QStringLiteral("HAND-M.CUR"), cursorFile(5, 9));
    start();
    EXPECT_TRUE(ws.boxes.empty());
    EXPECT_EQ(form->handPointer().shape(), Qt::BitmapCursor);
    EXPECT_EQ(form->handPointer().hotSpot(), QPoint(5, 9));
    form.reset();

    program.write(QStringLiteral("HAND-M.CUR"), "not an image");
    start();
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains(program.path(QStringLiteral("HAND-M.CUR"))));
    EXPECT_EQ(form->handPointer().shape(), Qt::ArrowCursor);
    EXPECT_EQ(get<QLineEdit>("Text1")->text(), desktop()) << "start-up went on";
}

TEST_F(Form1Test, TheWebPageOpensOnlyOnASevenAndOnlyWithAnAddress) {
    webPage = QStringLiteral("https://www.example.invalid/varnobis");
    draw = 8;
    start();
    draw = 7;
    start();
    EXPECT_EQ(opened, QStringList{webPage});
    webPage.clear();
    start();
    EXPECT_EQ(opened.size(), 1);
}

TEST_F(Form1Test, ClosingSavesTheKeywordsAndStopsARunningLoop) {
    start();
    form->keywords().append(QStringLiteral("kept"));
    ws.setPointer(Pointer::Hourglass);  // closing during a run asks nothing
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->qtServices().quitRequested());
    EXPECT_EQ(stored("Keywords"), QStringLiteral("kept||MySeparator12||"));
    EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(Form1Test, ARefusedSettingsWriteIsReportedOnceAndTheWindowWorksOn) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.write(QStringLiteral("file"), "x")));
    start();
    ASSERT_EQ(ws.boxes.size(), 1u);
    EXPECT_EQ(ws.boxes[0].icon, Icon::Warning);
    EXPECT_TRUE(ws.boxes[0].title.isEmpty()) << "the application title";
    EXPECT_TRUE(ws.boxes[0].text.contains(config.path(QStringLiteral("file"))));
    EXPECT_TRUE(ws.errors().empty());
    get<QComboBox>("Combo1")->setCurrentIndex(3);
    EXPECT_EQ(form->mode(), 3) << "the control keeps the user's choice";
    EXPECT_EQ(ws.boxes.size(), 1u);
}

}  // namespace

TEST_F(Form1Test, TheOverallBarShowsANameWithPercentSignsExactly) {
    start();
    auto* bar = get<QProgressBar>("ProgressBar1");
    for (const QString name :
         {QStringLiteral("Processing: 100% sure.txt"), QStringLiteral("Processing: 50%p %v.txt"),
          QStringLiteral("Processing: %m%%.log")}) {
        form->qtServices().setProgress(Bar::Overall, 50);
        form->qtServices().setProgressText(Bar::Overall, name);
        EXPECT_EQ(bar->text(), name);
    }
}

TEST_F(Form1Test, TextStaysReadableOnTheWhiteWindowUnderADarkTheme) {
    const QPalette saved = QApplication::palette();
    QPalette dark;
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        dark.setColor(role, QColor(0x30, 0x30, 0x30));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(role, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xbb, 0xbb, 0xbb));
    QApplication::setPalette(dark);
    start();
    QApplication::setPalette(saved);
    get<QComboBox>("Combo1")->setCurrentIndex(0);  // turns the line options off
    const auto contrast = [](QColor a, QColor b) {
        return std::abs(qGray(a.rgb()) - qGray(b.rgb()));
    };
    const QColor background = form->palette().color(QPalette::Window);
    EXPECT_EQ(background, QColor(Qt::white));
    for (const char* name : {"Frame1", "Frame2", "Frame3", "Frame6", "Option1", "Option2",
                             "Option3", "Option4", "Check1"}) {
        QWidget* w = get<QWidget>(name);
        const QPalette::ColorGroup group = w->isEnabled() ? QPalette::Active : QPalette::Disabled;
        EXPECT_GT(contrast(w->palette().color(group, QPalette::WindowText), background), 100)
            << name << (w->isEnabled() ? "" : " (disabled)");
    }
    auto* text1 = get<QLineEdit>("Text1");
    EXPECT_GT(
        contrast(text1->palette().color(QPalette::Text), text1->palette().color(QPalette::Base)),
        100);
}

TEST_F(Form1Test, TheHourglassCoversTheFolderBoxToo) {
    start();
    auto* text1 = get<QLineEdit>("Text1");
    ASSERT_EQ(text1->cursor().shape(), Qt::IBeamCursor);
    QtWindowServices& qt = form->qtServices();
    qt.setPointer(Pointer::Hourglass);
    qt.setPointer(Pointer::Hourglass);  // a run sets it again for every file
    EXPECT_EQ(form->cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(text1->cursor().shape(), Qt::WaitCursor);
    qt.setPointer(Pointer::Arrow);
    EXPECT_EQ(form->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(text1->cursor().shape(), Qt::IBeamCursor) << "the text box has its I-beam back";
}
