#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace vn {

// The session ending under the program: SIGTERM, SIGHUP and SIGINT, and the desktop session
// logging out (the session manager's request to save). Each runs `end` once, on the
// user-interface thread, so the program shuts down as it does when its window is closed
// instead of being cut off with unsaved state.
//
// The signal handlers do nothing but write a byte to a socket pair, which is safe in a signal
// handler; a notifier on the other end hands the request to the event loop. Only one instance
// at a time watches the signals. Destroying it puts back the handlers it replaced.
class SessionEnd : public QObject {
    Q_OBJECT
public:
    explicit SessionEnd(std::function<void()> end, QObject* parent = nullptr);
    ~SessionEnd() override;

    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

private:
    void requested();

    std::function<void()> m_end;
    QSocketNotifier* m_notifier = nullptr;
    bool m_ended = false;
    bool m_ownsSignals = false;
};

}  // namespace vn
