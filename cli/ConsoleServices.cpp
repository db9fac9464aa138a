#include "cli/ConsoleServices.h"

#include "core/Failure.h"
#include "core/NativeName.h"

#include <QDateTime>
#include <QDir>

#include <csignal>

namespace vn::cli {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int) {
    g_stop = 1;
}

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

void ConsoleServices::requestStop() {
    g_stop = 1;
}

bool ConsoleServices::quitRequested() const {
    return g_stop != 0;
}

void ConsoleServices::clearProgressLine() {
    if (m_progressShown) {
        std::fputs("\r\033[K", m_err);
        m_progressShown = false;
    }
}

Answer ConsoleServices::messageBox(const QString& text, Buttons buttons, Icon,
                                   const QString& title) {
    const QString prefix = title.isEmpty() ? QStringLiteral("varnobis-cli: ") : title + ": ";
    printLine((prefix + oneLine(text)).toLocal8Bit());
    // Nobody is there to answer a question: take the answer that changes nothing.
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

QString ConsoleServices::inputBox(const QString&, const QString&, const QString&) {
    return QString();
}

void ConsoleServices::reportFailure(const Failure& failure, const char*, int) {
    ++m_failures;
    QByteArray line = "varnobis-cli: ";
    if (!failure.path().isEmpty()) {
        QString action = failure.action();
        if (!action.isEmpty())
            action[0] = action[0].toLower();
        line += shown(failure.path()) + ": " + action.toLocal8Bit() + ": " +
                oneLine(failure.reason()).toLocal8Bit();
    } else {
        if (!m_current.isEmpty())
            line += shown(m_current) + ": ";
        line += oneLine(failure.description()).toLocal8Bit();
    }
    // Each procedure a failure passes through on its way out reports it, as the window's boxes
    // do; on a console the same line twice in a row says nothing new.
    if (line == m_lastFailure)
        return;
    m_lastFailure = line;
    printLine(line);
}

QByteArray ConsoleServices::shown(const QString& path) const {
    const auto alias = m_aliases.constFind(path);
    if (alias != m_aliases.constEnd())
        return alias->toLocal8Bit();
    return displayName(QDir::toNativeSeparators(path)).toLocal8Bit();
}

void ConsoleServices::printLine(const QByteArray& line) {
    clearProgressLine();
    std::fprintf(m_err, "%s\n", line.constData());
    std::fflush(m_err);
}

void ConsoleServices::yield() {
    if (!m_progress)
        return;
    const long long now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_lastDrawMs < 100)
        return;
    m_lastDrawMs = now;
    drawProgress();
}

void ConsoleServices::setProgress(Bar bar, double position) {
    (bar == Bar::Overall ? m_overall : m_file) = position;
}

void ConsoleServices::setProgressText(Bar bar, const QString& text) {
    if (bar == Bar::Overall)
        m_overallText = text;
}

void ConsoleServices::drawProgress() {
    std::fprintf(m_err, "\r\033[K[%3d%%] %s (%d%%)", int(m_overall + 0.5),
                 qPrintable(m_overallText.left(60)), int(m_file + 0.5));
    std::fflush(m_err);
    m_progressShown = true;
}

}  // namespace vn::cli
