#include "gui/QtWindowServices.h"

#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QWidget>

#include <cmath>

namespace vn {

QString toDisplayText(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QtWindowServices::QtWindowServices(QWidget* window, QProgressBar* overall, QProgressBar* file)
    : m_window(window), m_overall(overall), m_file(file) {
    m_sinceEvents.start();
}

void QtWindowServices::requestQuit() {
    m_quit = true;
    // Every dialog counts, the pickers' too: they are modal over the window, and their event
    // loops would otherwise hold the program up until someone answered them.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            dialog->reject();
    }
}

Answer QtWindowServices::messageBox(const QString& text, Buttons buttons, Icon icon,
                                    const QString& title) {
    if (m_quit)
        return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    QMessageBox box(
        icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
        title.isEmpty() ? m_title : title, toDisplayText(text),
        buttons == Buttons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
        m_window);
    const int result = box.exec();
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

QString QtWindowServices::inputBox(const QString& prompt, const QString& title,
                                   const QString& defaultAnswer) {
    if (m_quit)
        return QString();
    bool ok = false;
    const QString answer =
        QInputDialog::getText(m_window, title.isEmpty() ? m_title : title, toDisplayText(prompt),
                              QLineEdit::Normal, defaultAnswer, &ok);
    return ok ? answer : QString();
}

void QtWindowServices::yield() {
    if (m_sinceEvents.elapsed() < m_intervalMs)
        return;
    QCoreApplication::processEvents();
    m_sinceEvents.restart();
}

void QtWindowServices::setPointer(Pointer pointer) {
    const Pointer before = m_pointer;
    m_pointer = pointer;
    if (!m_window)
        return;
    switch (pointer) {
        case Pointer::Arrow:
            m_window->setCursor(Qt::ArrowCursor);
            break;
        case Pointer::Hand:
            m_window->setCursor(m_hand);
            break;
        case Pointer::Hourglass:
            m_window->setCursor(Qt::WaitCursor);
            break;
    }
    // The hourglass covers the whole window: a control that keeps a pointer of its own would
    // show it instead, and look ready for input while the program is busy.
    if (pointer == Pointer::Hourglass && before != Pointer::Hourglass) {
        for (QWidget* w : m_window->findChildren<QWidget*>()) {
            if (!w->testAttribute(Qt::WA_SetCursor) || w->cursor().shape() == Qt::WaitCursor)
                continue;
            m_ownPointers.emplace_back(w, w->cursor());
            w->setCursor(Qt::WaitCursor);
        }
    } else if (pointer != Pointer::Hourglass) {
        for (auto& [w, own] : m_ownPointers) {
            // A control that has set another pointer since then keeps it.
            if (w && w->cursor().shape() == Qt::WaitCursor)
                w->setCursor(own);
        }
        m_ownPointers.clear();
    }
}

QProgressBar* QtWindowServices::barFor(Bar bar) const {
    return bar == Bar::Overall ? m_overall.data() : m_file.data();
}

void QtWindowServices::setProgress(Bar bar, double position) {
    if (QProgressBar* b = barFor(bar)) {
        const double clamped = std::fmin(100.0, std::fmax(0.0, position));
        b->setValue(int(std::lround(clamped * kBarScale)));
    }
}

void QtWindowServices::setProgressText(Bar bar, const QString& text) {
    if (auto* literal = dynamic_cast<LiteralTextProgressBar*>(barFor(bar))) {
        literal->setShownText(text);
    } else if (QProgressBar* b = barFor(bar)) {
        // A plain bar shows its format, where a "%" would be a placeholder.
        QString format = text;
        format.replace(QLatin1Char('%'), QStringLiteral("%%"));
        b->setFormat(format);
    }
}

}  // namespace vn
