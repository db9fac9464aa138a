#include "gui/BlockedClose.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

#ifdef VARNOBIS_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

#include <utility>

namespace vn {

#ifdef VARNOBIS_XCB
namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t a = reply->atom;
    std::free(reply);
    return a;
}

}  // namespace
#endif

BlockedClose::BlockedClose(QWidget* window, std::function<void()> close)
    : m_window(window), m_close(std::move(close)) {
#ifdef VARNOBIS_XCB
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    // Interned once: the filter sees every event of the program and must not wait on the
    // server there.
    m_protocols = atom(connection, "WM_PROTOCOLS");
    m_deleteWindow = atom(connection, "WM_DELETE_WINDOW");
    if (m_protocols == XCB_ATOM_NONE || m_deleteWindow == XCB_ATOM_NONE)
        return;
    app->installNativeEventFilter(this);
    m_installed = true;
#endif
}

BlockedClose::~BlockedClose() {
    if (m_installed)
        if (auto* app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
}

bool BlockedClose::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#ifdef VARNOBIS_XCB
    if (eventType != "xcb_generic_event_t" || !message)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // The high bit marks an event another client sent, as a window manager sends this one.
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format != 32 || client->type != m_protocols ||
        client->data.data32[0] != m_deleteWindow)
        return false;
    // Without a box open Qt closes the window itself, as it always does.
    if (!m_window || !QApplication::activeModalWidget() || !m_window->isVisible() ||
        client->window != xcb_window_t(m_window->effectiveWinId()))
        return false;
    // Queued: the close cancels the box, whose event loop is the one delivering this event.
    QTimer::singleShot(0, m_window, [close = m_close] {
        if (close)
            close();
    });
    return true;
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
    return false;
#endif
}

}  // namespace vn
