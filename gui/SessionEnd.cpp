#include "gui/SessionEnd.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vn {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The writing end is read by the handler, so it lives outside the object.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[std::size(kSignals)];

extern "C" void onEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full socket already holds a request; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
    errno = saved;
}

}  // namespace

SessionEnd::SessionEnd(std::function<void()> end, QObject* parent)
    : QObject(parent), m_end(std::move(end)) {
#ifndef QT_NO_SESSIONMANAGER
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // Logging out: the session manager asks the program to save; ending as the window's
        // close does saves everything there is to save.
        connect(app, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager&) { requested(); });
    }
#endif
    // Without the socket pair the signals keep their default action; the program still runs.
    if (g_pipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0) {
        qWarning("varnobis: cannot watch for the end of the session: %s", std::strerror(errno));
        return;
    }
    m_ownsSignals = true;
    // The handler must never block on a full socket.
    ::fcntl(g_pipe[0], F_SETFL, ::fcntl(g_pipe[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        [[maybe_unused]] const ssize_t n = ::read(g_pipe[1], bytes, sizeof bytes);
        requested();
    });

    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t k = 0; k < std::size(kSignals); ++k)
        ::sigaction(kSignals[k], &action, &g_previous[k]);
}

SessionEnd::~SessionEnd() {
    if (!m_ownsSignals)
        return;
    for (std::size_t k = 0; k < std::size(kSignals); ++k)
        ::sigaction(kSignals[k], &g_previous[k], nullptr);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void SessionEnd::requested() {
    // A second signal while the first is being acted on changes nothing.
    if (m_ended)
        return;
    m_ended = true;
    if (m_end)
        m_end();
}

}  // namespace vn
