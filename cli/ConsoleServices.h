#pragma once

#include "core/WindowServices.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <cstdio>

namespace vn::cli {

// Window services on a console: messages go to standard error, prompts are answered from the
// command line, and progress is drawn on standard error when it is a terminal.
class ConsoleServices : public WindowServices {
public:
    explicit ConsoleServices(std::FILE* err = stderr);

    void setAnswer(const QString& prompt, const QString& answer) { m_answers[prompt] = answer; }

    Answer messageBox(const QString& text, Buttons buttons, Icon icon,
                      const QString& title) override;
    QString inputBox(const QString& prompt, const QString& title,
                     const QString& defaultAnswer) override;
    void yield() override;
    bool foldsYields() const override { return true; }
    bool showsFileProgress() const override { return m_progress; }
    void setPointer(Pointer p) override { m_pointer = p; }
    Pointer pointer() const override { return m_pointer; }
    void setProgress(Bar bar, double position) override;
    void setProgressText(Bar bar, const QString& text) override;
    bool quitRequested() const override;

    // Failures reported so far (standard error messages); a file during which this grows failed.
    int failureCount() const { return m_failures; }
    void setShowProgress(bool on) { m_progress = on; }
    // Clears a progress line before ordinary output is printed.
    void clearProgressLine();

    // The window's closing "Done." says nothing the exit status does not; leave it out.
    void setDoneIsSilent(bool on) { m_silentDone = on; }

    // SIGINT and SIGTERM ask the run to stop at its next yield, discarding the unfinished output.
    static void installStopSignals();
    // Asks the run to stop at its next yield, as the signals do.
    static void requestStop();

private:
    void drawProgress();

    std::FILE* m_err;
    QHash<QString, QString> m_answers;
    Pointer m_pointer = Pointer::Arrow;
    int m_failures = 0;
    bool m_progress = false;
    bool m_progressShown = false;
    bool m_silentDone = false;
    double m_overall = 0, m_file = 0;
    QString m_overallText;
    long long m_lastDrawMs = -1000;
};

}  // namespace vn::cli
