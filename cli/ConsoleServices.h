#pragma once

#include "core/WindowServices.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdio>

namespace vn::cli {

// Window services on a console: messages and failures go to standard error, one line each, and
// progress is drawn on standard error when it is a terminal. Nobody is there to answer a box, so
// questions take the answer that changes nothing and input boxes are cancelled; the run's own
// questions are answered from the options instead (see CliPrompts in main.cpp).
class ConsoleServices : public WindowServices {
public:
    explicit ConsoleServices(std::FILE* err = stderr);

    Answer messageBox(const QString& text, Buttons buttons, Icon icon,
                      const QString& title) override;
    QString inputBox(const QString& prompt, const QString& title,
                     const QString& defaultAnswer) override;
    // "varnobis-cli: <file>: <what failed>: <reason>". The window's location and label are left
    // out: they are for a support e-mail, not for a script.
    void reportFailure(const Failure& failure, const char* location, int label) override;
    void yield() override;
    bool foldsYields() const override { return true; }
    bool showsFileProgress() const override { return m_progress; }
    void setPointer(Pointer p) override { m_pointer = p; }
    Pointer pointer() const override { return m_pointer; }
    void setProgress(Bar bar, double position) override;
    void setProgressText(Bar bar, const QString& text) override;
    bool quitRequested() const override;

    // Failures reported so far; a file during which this grows failed.
    int failureCount() const { return m_failures; }
    void setShowProgress(bool on) { m_progress = on; }
    // Clears a progress line before ordinary output is printed.
    void clearProgressLine();

    // The file being worked on, named by a failure that does not name one itself.
    void setCurrentFile(const QString& path) { m_current = path; }
    // Shows `path` as `name` wherever a file is named (a private copy of standard input).
    void setAlias(const QString& path, const QString& name) { m_aliases[path] = name; }
    // A path as messages and the report show it: native separators, and bytes that are not
    // valid UTF-8 escaped, so that every line is text and still says which file is meant.
    QByteArray shown(const QString& path) const;

    // SIGINT and SIGTERM ask the run to stop at its next yield, discarding the unfinished output.
    static void installStopSignals();
    // Asks the run to stop at its next yield, as the signals do.
    static void requestStop();

private:
    void drawProgress();
    void printLine(const QByteArray& line);

    std::FILE* m_err;
    Pointer m_pointer = Pointer::Arrow;
    int m_failures = 0;
    bool m_progress = false;
    bool m_progressShown = false;
    double m_overall = 0, m_file = 0;
    QString m_overallText;
    long long m_lastDrawMs = -1000;
    QString m_current;
    QHash<QString, QString> m_aliases;
    QByteArray m_lastFailure;
};

}  // namespace vn::cli
