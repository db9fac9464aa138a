#pragma once

#include "core/WindowServices.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QPointer>
#include <QProgressBar>
#include <QString>

#include <utility>
#include <vector>

class QWidget;

namespace vn {

// A progress bar that shows its text exactly as given. QProgressBar draws its text from a format
// in which %p, %v and %m are placeholders, and in Qt 6.4 a doubled "%%" is never turned back into
// one, so no escaping shows a file named "50%p %v.txt" faithfully.
class LiteralTextProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    void setShownText(const QString& text) {
        m_text = text;
        update();
    }
    QString text() const override { return m_text; }

private:
    QString m_text;
};

// The window services of the main window: Qt's message and input boxes, a time-throttled
// processEvents as the yield, the window-wide pointer and the two progress bars.
class QtWindowServices : public WindowServices {
public:
    // The bars show positions in tenths of a percent, so fractional positions still move them.
    static constexpr int kBarScale = 10;

    QtWindowServices(QWidget* window, QProgressBar* overall, QProgressBar* file);

    void setApplicationTitle(const QString& title) { m_title = title; }
    const QString& applicationTitle() const { return m_title; }
    void setHandCursor(const QCursor& hand) { m_hand = hand; }

    Answer messageBox(const QString& text, Buttons buttons, Icon icon,
                      const QString& title) override;
    QString inputBox(const QString& prompt, const QString& title,
                     const QString& defaultAnswer) override;
    void yield() override;
    bool foldsYields() const override { return true; }
    void setPointer(Pointer pointer) override;
    Pointer pointer() const override { return m_pointer; }
    void setProgress(Bar bar, double position) override;
    void setProgressText(Bar bar, const QString& text) override;
    bool quitRequested() const override { return m_quit; }

    // The window is closing: long loops stop at their next yield, and a box or picker that is
    // open closes as if cancelled, so that whatever waits on it returns and the program can end.
    // Boxes asked for afterwards are not shown and answer as cancelled.
    void requestQuit() override;
    // Pending events run only when this much time has passed since they last ran, so a yield
    // per line costs nanoseconds.
    void setYieldInterval(int ms) { m_intervalMs = ms; }

private:
    QProgressBar* barFor(Bar bar) const;

    QPointer<QWidget> m_window;
    QPointer<QProgressBar> m_overall, m_file;
    QString m_title;
    QCursor m_hand{Qt::ArrowCursor};
    Pointer m_pointer = Pointer::Arrow;
    // Controls with a pointer of their own (the text box's I-beam) and that pointer, while the
    // hourglass covers them.
    std::vector<std::pair<QPointer<QWidget>, QCursor>> m_ownPointers;
    QElapsedTimer m_sinceEvents;
    int m_intervalMs = 10;
    bool m_quit = false;
};

// Text with CR or CR LF breaks, as the logic writes it, shown with the toolkit's LF breaks.
QString toDisplayText(const QString& text);

}  // namespace vn
