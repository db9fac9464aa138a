// The session ending under the window: signals, a close request while a box is open, and a
// keyword list that cannot be saved at the end.

#include "tests/support/Form1Fixture.h"

#include "gui/SessionEnd.h"
#include "keywords/KeywordList.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

using namespace vn;
using test::Form1Test;
using test::TempDir;

namespace {

class SessionTest : public Form1Test {
protected:
    // The window with its own Qt boxes and pickers, as the program runs it.
    Form1& startWithQtBoxes() {
        Form1Environment env;
        env.drawOneToHundred = [] { return 50; };
        env.programFolder = program.path();
        form = std::make_unique<Form1>(env);
        return *form;
    }
    void endOnSignal() {
        session = std::make_unique<SessionEnd>([this] { form->close(); });
    }
    void TearDown() override {
        session.reset();
        Form1Test::TearDown();
    }
    std::unique_ptr<SessionEnd> session;
};

}  // namespace

TEST_F(SessionTest, EachEndSignalSavesTheKeywordsAndClosesTheWindow) {
    for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
        store("Keywords", QString());
        start();
        form->keywords().append(QStringLiteral("alpha"));
        form->keywords().append(QString::number(sig));
        endOnSignal();
        ASSERT_EQ(::kill(::getpid(), sig), 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000)) << sig;
        EXPECT_EQ(stored("Keywords"),
                  KeywordsToStoredForm({QStringLiteral("alpha"), QString::number(sig)}));
        EXPECT_TRUE(ws.quit) << "a run would stop at its next yield";
        session.reset();
        form.reset();
    }
}

TEST_F(SessionTest, ASignalDuringARunStopsItAndDropsItsOutput) {
    TempDir in;
    QByteArray big;
    for (int i = 0; i < 20000; ++i) big += "line " + QByteArray::number(i) + "\r\n";
    const QString a = in.write("a.txt", big);
    start();
    form->fileList().append(a);
    form->keywords().append(QStringLiteral("kept"));
    get<QRadioButton>("Option3")->setChecked(true);
    get<QLineEdit>("Text1")->setText(in.path() + "/");
    get<QComboBox>("Combo1")->setCurrentIndex(1);
    ws.answerInput(QStringLiteral("7"));
    endOnSignal();
    ws.onYield = [&](int n) {
        if (n != 500)
            return;
        ::kill(::getpid(), SIGTERM);
        QCoreApplication::processEvents();
    };
    QTest::mouseClick(get<QPushButton>("PushButton2"), Qt::LeftButton);
    EXPECT_EQ(TempDir::read(a), big);
    EXPECT_EQ(in.entries(), QStringList{"a.txt"}) << "no temporary file is left";
    EXPECT_FALSE(ws.texts().contains("Done."));
    EXPECT_EQ(stored("Keywords"), KeywordsToStoredForm({QStringLiteral("kept")}));
    EXPECT_FALSE(form->isVisible());
}

TEST_F(SessionTest, ACloseRequestWhileABoxOrPickerIsOpenClosesItAndEndsTheProgram) {
    // "Start Removing" on an empty list shows a message box, "Add Keyword" an input box, and
    // "..." the folder picker; each is open when the session ends.
    for (const char* opener : {"PushButton2", "PushButton6", "PushButton10"}) {
        store("Keywords", QString());
        startWithQtBoxes();
        get<QComboBox>("Combo1")->setCurrentIndex(3);
        form->keywords().append(QString::fromLatin1(opener));
        endOnSignal();
        bool boxWasOpen = false;
        QTimer::singleShot(50, [&] {
            boxWasOpen = qobject_cast<QDialog*>(QApplication::activeModalWidget()) != nullptr;
            ::kill(::getpid(), SIGTERM);
        });
        QTest::mouseClick(get<QPushButton>(opener), Qt::LeftButton);
        // The click returns only once the box is gone.
        EXPECT_TRUE(boxWasOpen) << opener;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << opener;
        EXPECT_FALSE(form->isVisible()) << opener;
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(w->isVisible()) << opener << ": nothing keeps the program running";
        EXPECT_EQ(stored("Keywords"), KeywordsToStoredForm({QString::fromLatin1(opener)}));
        EXPECT_EQ(form->keywords().count(), 1) << "a cancelled input box adds nothing";
        EXPECT_EQ(stored("LastFolderDot"), "<absent>") << "a cancelled picker chooses nothing";
        session.reset();
        form.reset();
    }
}

TEST_F(SessionTest, AKeywordListThatCannotBeSavedIsAnErrorEvenAfterAnEarlierRefusal) {
    start();
    form->keywords().append(QStringLiteral("lost"));
    // The store's folder becomes a file: every write from now on is refused.
    const QString folder = config.path("Quorvane");
    QDir(folder).removeRecursively();
    config.write("Quorvane", "not a folder");
    get<QComboBox>("Combo1")->setCurrentIndex(2);  // refused, and warned about once
    ASSERT_EQ(ws.boxes.size(), 1u);
    EXPECT_TRUE(ws.boxes[0].text.contains("will not be remembered"));
    closeForm();
    ASSERT_EQ(ws.boxes.size(), 2u);
    const auto& last = ws.boxes[1];
    EXPECT_EQ(last.title, "Application Error");
    EXPECT_TRUE(last.text.contains("Tessamar2021/08/31.Form1.Form_QueryUnload"))
        << last.text.toStdString();
    EXPECT_FALSE(last.text.contains("will not be remembered"));
    EXPECT_TRUE(last.text.contains(folder)) << last.text.toStdString();
}

#ifdef VARNOBIS_GUI
namespace {

// True once the process has a handler for sig: before that, the signal would simply kill it.
bool catches(qint64 pid, int sig) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

}  // namespace

TEST_F(SessionTest, TheProgramSavesItsKeywordsOnSigtermAndSighup) {
    for (const int sig : {SIGTERM, SIGHUP}) {
        const QStringList words = {QStringLiteral("alpha"), QString::number(sig)};
        WriteSetting(QStringLiteral("Keywords"), KeywordsToStoredForm(words));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VARNOBIS_GUI), QStringList());
        ASSERT_TRUE(p.waitForStarted(10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return catches(p.processId(), sig); }, 20000));
        // The window holds the list it restored; only its shut-down can write it back.
        QSettings(settingsFilePath(), QSettings::IniFormat)
            .remove(QStringLiteral("Varnobis/Keywords"));
        ASSERT_EQ(stored("Keywords"), "<absent>");
        ASSERT_EQ(::kill(pid_t(p.processId()), sig), 0);
        ASSERT_TRUE(p.waitForFinished(20000)) << sig;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << sig;
        EXPECT_EQ(p.exitCode(), 0) << sig << p.readAllStandardError().toStdString();
        EXPECT_EQ(stored("Keywords"), KeywordsToStoredForm(words)) << sig;
    }
}
#endif
