#pragma once

#include <QAbstractNativeEventFilter>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>

namespace vn {

// The window's own close button, pressed while a message box, input box or picker is open over
// it. Qt drops that request, because the window is blocked by the box; this filter catches the
// window manager's close message for `window` before Qt does and runs `close` instead, queued,
// so the box is cancelled and the program ends as its other close requests end it.
//
// It watches X11 only (the xcb platform). Elsewhere, and on a build without xcb, installing it
// does nothing. Every other event, and a close with no box open, is left to Qt.
class BlockedClose : public QAbstractNativeEventFilter {
public:
    BlockedClose(QWidget* window, std::function<void()> close);
    ~BlockedClose() override;

    BlockedClose(const BlockedClose&) = delete;
    BlockedClose& operator=(const BlockedClose&) = delete;

    // Whether the filter is in place: on X11 with the atoms it needs.
    bool active() const { return m_installed; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QPointer<QWidget> m_window;
    std::function<void()> m_close;
    std::uint32_t m_protocols = 0;
    std::uint32_t m_deleteWindow = 0;
    bool m_installed = false;
};

}  // namespace vn
