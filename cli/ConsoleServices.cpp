#include "cli/ConsoleServices.h"

#include <QDateTime>

#include <csignal>

namespace vn::cli {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int) { g_stop = 1; }

QString oneLine(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

}  // namespace

ConsoleServices::ConsoleServices(std::FILE* err) : m_err(err) {}

void ConsoleServices::installStopSignals() {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

void ConsoleServices::requestStop() { g_stop = 1; }

bool ConsoleServices::quitRequested() const { return g_stop != 0; }

void ConsoleServices::clearProgressLine() {
    if (m_progressShown) {
        std::fputs("\r\033[K", m_err);
        m_progressShown = false;
    }
}

Answer ConsoleServices::messageBox(const QString& text, Buttons buttons, Icon,
                                   const QString& title) {
    if (title == QLatin1String("Application Error")) ++m_failures;
    if (m_silentDone && text == QLatin1String("Done.")) return Answer::Ok;
    clearProgressLine();
    const QString prefix = title.isEmpty() ? QStringLiteral("varnobis-cli: ") : title + ": ";
    std::fprintf(m_err, "%s%s\n", qPrintable(prefix), qPrintable(oneLine(text)));
    std::fflush(m_err);
    // Nobody is there to answer a question: take the answer that changes nothing.
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

QString ConsoleServices::inputBox(const QString& prompt, const QString&, const QString&) {
    return m_answers.value(prompt);
}

void ConsoleServices::yield() {
    if (!m_progress) return;
    const long long now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_lastDrawMs < 100) return;
    m_lastDrawMs = now;
    drawProgress();
}

void ConsoleServices::setProgress(Bar bar, double position) {
    (bar == Bar::Overall ? m_overall : m_file) = position;
}

void ConsoleServices::setProgressText(Bar bar, const QString& text) {
    if (bar == Bar::Overall) m_overallText = text;
}

void ConsoleServices::drawProgress() {
    std::fprintf(m_err, "\r\033[K[%3d%%] %s (%d%%)", int(m_overall + 0.5),
                 qPrintable(m_overallText.left(60)), int(m_file + 0.5));
    std::fflush(m_err);
    m_progressShown = true;
}

}  // namespace vn::cli
