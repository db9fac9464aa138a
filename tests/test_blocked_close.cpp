// The window's own close button pressed while a box is open over it, under a real X server: the
// window manager's close message reaches the program, the box closes as cancelled, and the
// window shuts down as it does for any other close.

#include "tests/support/Form1Fixture.h"

#include "gui/BlockedClose.h"
#include "keywords/KeywordList.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <functional>

using namespace vn;
using test::Form1Test;

namespace {

// A private X server for this program and the Qt application on it. Without Xvfb every test
// is skipped with the reason.
class XServer : public ::testing::Environment {
public:
    static inline QString unavailable;

    void SetUp() override {
        m_server.setProgram(QStringLiteral("Xvfb"));
        // The server picks a free display itself and writes its number to standard output.
        m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                               QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                               QStringLiteral("-screen"), QStringLiteral("0"),
                               QStringLiteral("1024x768x24")});
        m_server.start();
        if (!m_server.waitForStarted(10000)) {
            unavailable = QStringLiteral("Xvfb cannot start: ") + m_server.errorString();
            return;
        }
        QByteArray number;
        while (!number.contains('\n') && m_server.waitForReadyRead(20000))
            number += m_server.readAllStandardOutput();
        number = number.trimmed();
        if (number.isEmpty()) {
            unavailable = QStringLiteral("Xvfb gave no display: ") +
                          QString::fromLocal8Bit(m_server.readAllStandardError());
            return;
        }
        qputenv("DISPLAY", ":" + number);
        static int argc = 1;
        static char name[] = "test_blocked_close";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        m_app.reset();
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(10000))
                m_server.kill();
        }
    }

private:
    QProcess m_server;
    std::unique_ptr<QApplication> m_app;
};
const auto* const xServer = ::testing::AddGlobalTestEnvironment(new XServer);

// A second client of the server, sending what a window manager sends.
class WindowManager {
public:
    WindowManager() {
        m_c = xcb_connect(nullptr, nullptr);
        m_protocols = atom("WM_PROTOCOLS");
        m_delete = atom("WM_DELETE_WINDOW");
        m_ping = atom("_NET_WM_PING");
    }
    ~WindowManager() { xcb_disconnect(m_c); }

    void requestClose(QWidget* w) { send(w, m_delete); }
    void ping(QWidget* w) { send(w, m_ping); }
    xcb_atom_t pingAtom() const { return m_ping; }

private:
    xcb_atom_t atom(const char* name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
            m_c, xcb_intern_atom(m_c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(r);
        return a;
    }
    void send(QWidget* w, xcb_atom_t protocol) {
        xcb_client_message_event_t e{};
        e.response_type = XCB_CLIENT_MESSAGE;
        e.format = 32;
        e.window = xcb_window_t(w->winId());
        e.type = m_protocols;
        e.data.data32[0] = protocol;
        e.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_c, 0, e.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<char*>(&e));
        xcb_flush(m_c);
    }

    xcb_connection_t* m_c;
    xcb_atom_t m_protocols, m_delete, m_ping;
};

// Counts the pings to one window that reach Qt past every filter installed after it. (Qt answers
// a ping on the root window, so its answer comes by as well.)
struct PingsSeen : QAbstractNativeEventFilter {
    PingsSeen(QWidget* w, xcb_atom_t ping) : window(xcb_window_t(w->winId())), ping(ping) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~PingsSeen() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        const auto* e = static_cast<const xcb_client_message_event_t*>(message);
        if (type == "xcb_generic_event_t" && (e->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
            e->window == window && e->data.data32[0] == ping)
            ++count;
        return false;
    }
    xcb_window_t window;
    xcb_atom_t ping;
    int count = 0;
};

class BlockedCloseTest : public Form1Test {
protected:
    void SetUp() override {
        if (!XServer::unavailable.isEmpty())
            GTEST_SKIP() << XServer::unavailable.toStdString();
        Form1Test::SetUp();
        store("Keywords", QString());
        // The window with its own Qt boxes, as the program runs it.
        Form1Environment env;
        env.drawOneToHundred = [] { return 50; };
        env.programFolder = program.path();
        form = std::make_unique<Form1>(env);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        filter = std::make_unique<BlockedClose>(form.get(), [this] { form->close(); });
        ASSERT_TRUE(filter->active());
    }
    void TearDown() override {
        filter.reset();
        Form1Test::TearDown();
    }
    // Clicks `button` and, once its box is open, runs `whileOpen`. A box that is still open ten
    // seconds later is cancelled so that the test ends, and reported.
    void withBoxOpen(const char* button, const std::function<void(QDialog*)>& whileOpen) {
        bool ran = false;
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; },
                                        10000));
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr) << button;
            ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
            ran = true;
            whileOpen(box);
            QPointer<QDialog> open(box);
            if (!QTest::qWaitFor([&] { return !open || !open->isVisible(); }, 10000)) {
                ADD_FAILURE() << button << ": the box is still open";
                open->reject();
            }
        });
        QTest::mouseClick(get<QPushButton>(button), Qt::LeftButton);
        EXPECT_TRUE(ran) << button;
    }
    void expectShutDown(const QStringList& keywords) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 10000));
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_FALSE(w->isVisible()) << "nothing keeps the program running";
        EXPECT_EQ(stored("Keywords"), KeywordsToStoredForm(keywords));
    }

    WindowManager wm;
    std::unique_ptr<BlockedClose> filter;
};

}  // namespace

TEST_F(BlockedCloseTest, TheCloseButtonUnderAMessageBoxClosesItAndShutsDown) {
    form->keywords().append(QStringLiteral("kept"));
    QString text;
    withBoxOpen("PushButton2", [&](QDialog* box) {
        text = static_cast<QMessageBox*>(box)->text();
        wm.requestClose(form.get());
    });
    EXPECT_EQ(text, "No files added.");
    expectShutDown({QStringLiteral("kept")});
}

TEST_F(BlockedCloseTest, TheCloseButtonUnderAnInputBoxCancelsIt) {
    get<QComboBox>("Combo1")->setCurrentIndex(3);  // a mode that uses the keyword list
    form->keywords().append(QStringLiteral("kept"));
    withBoxOpen("PushButton6", [&](QDialog* box) {
        box->findChild<QLineEdit*>()->setText(QStringLiteral("typed, never confirmed"));
        wm.requestClose(form.get());
    });
    expectShutDown({QStringLiteral("kept")});
    EXPECT_EQ(form->keywords().count(), 1);
}

TEST_F(BlockedCloseTest, APingIsNotAClose) {
    // Qt offers each event to the filter installed last first: this one sees only what the
    // window's filter let through.
    filter.reset();
    PingsSeen seen(form.get(), wm.pingAtom());
    filter = std::make_unique<BlockedClose>(form.get(), [this] { form->close(); });
    form->keywords().append(QStringLiteral("pinged"));
    withBoxOpen("PushButton2", [&](QDialog* box) {
        wm.ping(form.get());
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen.count == 1; }, 10000))
            << "the ping was not passed on to Qt";
        QTest::qWait(200);
        EXPECT_TRUE(box->isVisible()) << "the ping closed the box";
        EXPECT_TRUE(form->isVisible()) << "the ping closed the window";
        box->reject();
    });
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(stored("Keywords"), "") << "the window has not shut down";
    wm.requestClose(form.get());
    expectShutDown({QStringLiteral("pinged")});
}

TEST_F(BlockedCloseTest, WithoutABoxTheCloseButtonClosesTheWindowAsBefore) {
    form->keywords().append(QStringLiteral("alone"));
    wm.requestClose(form.get());
    expectShutDown({QStringLiteral("alone")});
}
