// varnobis: the main window. It takes no command line of its own beyond --help and --version;
// everything it remembers is in the per-user settings store. Qt's own options (-platform,
// -style, ...) are taken by QApplication as usual.

#include "gui/BlockedClose.h"
#include "gui/Form1.h"
#include "gui/SessionEnd.h"
#include "gui/Settings.h"

#include <QApplication>
#include <QList>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifndef VARNOBIS_VERSION
#define VARNOBIS_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: varnobis [OPTION]...\n"
    "Opens the Varnobis window, which removes lines from many text files in one run.\n"
    "Every choice made in the window is remembered in ~/.config/Quorvane/Varnobis.ini\n"
    "($XDG_CONFIG_HOME when set). For scripts use varnobis-cli.\n"
    "\n"
    "  -h, --help        print this help and exit\n"
    "  -v, --version     print the version and exit\n"
    "\n"
    "Qt's standard options, such as -platform NAME, are accepted as well.\n";

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether Qt has a platform to show the window on: a display of the desktop's, or one named by
// QT_QPA_PLATFORM or -platform. Without one QApplication aborts the process, so the program
// says so itself first.
bool hasPlatform(int argc, char** argv) {
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return true;
#else
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
#endif
}

// A display that is named but cannot be opened makes QApplication end with a fatal message and
// an abort (exit 134, a core dump). While it starts, its messages are held back; a fatal one
// becomes one line on standard error, naming the first reason Qt gave, and exit status 1. After
// a good start the held messages go out as usual.
bool g_starting = false;
QtMessageHandler g_previousHandler = nullptr;
struct HeldMessage {
    QtMsgType type;
    QString category, text;
};
QList<HeldMessage> g_held;

void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!g_starting) {
        g_previousHandler(type, context, message);
        return;
    }
    if (type != QtFatalMsg) {
        g_held.append({type, QString::fromUtf8(context.category), message});
        return;
    }
    const QString reason = g_held.isEmpty() ? message : g_held.first().text;
    std::fprintf(stderr, "varnobis: cannot open the display: %s\n",
                 qPrintable(reason.section(QLatin1Char('\n'), 0, 0).trimmed()));
    std::fflush(stderr);
    std::_Exit(1);
}

void releaseHeldMessages() {
    g_starting = false;
    for (const HeldMessage& m : std::as_const(g_held)) {
        const QByteArray category = m.category.toUtf8();
        const QMessageLogContext context(nullptr, 0, nullptr, category.constData());
        g_previousHandler(m.type, context, m.text);
    }
    g_held.clear();
}

}  // namespace

int main(int argc, char** argv) {
    // Read before QApplication exists, so that --help and --version need no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("varnobis %s\n", VARNOBIS_VERSION);
            return 0;
        }
    }
    if (!hasPlatform(argc, argv)) {
        std::fputs(
            "varnobis: no display found (DISPLAY and WAYLAND_DISPLAY are not set); start "
            "it from a desktop session, or use varnobis-cli\n",
            stderr);
        return 1;
    }

    g_starting = true;
    g_previousHandler = qInstallMessageHandler(startupMessages);
    QApplication app(argc, argv);
    releaseHeldMessages();
    qInstallMessageHandler(g_previousHandler);

    QApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QApplication::setApplicationName(QStringLiteral("Varnobis"));
    // A settings file that cannot be used is said once, before the window comes up with the
    // default settings.
    QString problem = vn::CheckSettingsStore();
    problem.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!problem.isEmpty())
        QMessageBox::warning(nullptr, QApplication::applicationName(), problem);
    vn::Form1 form;
    // The session ending under the program (a signal, a logout) closes the window as its close
    // button does: the keyword list is saved and a run stops at its next yield.
    vn::SessionEnd sessionEnd([&form] { form.close(); });
    // So does the window's own close button while a box is open over it, which Qt would drop.
    const vn::BlockedClose blockedClose(&form, [&form] { form.close(); });
    return app.exec();
}
