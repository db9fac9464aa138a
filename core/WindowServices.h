#pragma once

#include <QString>

namespace vn {

class Failure;
class WindowServices;

void reportFailure(WindowServices& ws, const Failure& failure, const char* location, int label);

enum class Buttons { Ok, YesNo };
enum class Icon { None, Warning };
enum class Answer { Ok, Yes, No };
enum class Pointer { Arrow, Hand, Hourglass };
enum class Bar { Overall = 1, File = 2 };  // ProgressBar1, ProgressBar2

// The services through which the logic talks to the user and the window system. The main window
// implements them with Qt, the command-line front end with the console, and tests with scripted
// answers. All calls happen on the user-interface thread.
class WindowServices {
public:
    virtual ~WindowServices() = default;

    // Modal. An empty title means the application title. The text may use CR or CR LF breaks.
    virtual Answer messageBox(const QString& text, Buttons buttons = Buttons::Ok,
                              Icon icon = Icon::None, const QString& title = QString()) = 0;
    // Modal. Returns the answer, or the empty text when cancelled.
    virtual QString inputBox(const QString& prompt, const QString& title = QString(),
                             const QString& defaultAnswer = QString()) = 0;

    // A guarded step failed: `failure` at `label` of the procedure named by `location`. The
    // window shows its standard "Application Error" box (see standardErrorMessage); a front end
    // with a layout of its own overrides this.
    virtual void reportFailure(const Failure& failure, const char* location, int label);

    // Lets pending window events (paints, clicks, a close request) run once before returning.
    virtual void yield() = 0;

    // True when callers may fold many per-line yields into fewer calls. A folded caller still
    // calls yield() at least every few milliseconds of work, and state it reads between yields
    // (options, keywords) cannot change there, so each line sees what a per-line yield would
    // have shown it. Scripted services answer false so that tests observe every yield.
    virtual bool foldsYields() const { return false; }
    // False when nobody sees the per-file bar (a console that is not a terminal, a benchmark).
    // Callers may then skip work done only to place it, such as counting a long input's lines
    // in a pass of their own before walking them.
    virtual bool showsFileProgress() const { return true; }

    virtual void setPointer(Pointer pointer) = 0;
    virtual Pointer pointer() const = 0;
    // The hourglass is the program's only run-in-progress flag.
    bool isBusy() const { return pointer() == Pointer::Hourglass; }

    // Position from 0 to 100, fractions allowed; the text is shown on the bar.
    virtual void setProgress(Bar bar, double position) = 0;
    virtual void setProgressText(Bar bar, const QString& text) = 0;

    // Set once the program is asked to end (the window closes during a long operation). Long
    // loops stop at their next yield when it is set, discarding unfinished output.
    virtual bool quitRequested() const { return false; }
    // Asks for that: the window is closing. Services that cannot end the program ignore it.
    virtual void requestQuit() {}

    // How many failures have been reported through vn::reportFailure (every guarded step's
    // way); a piece of work during which this grows had a failure.
    int failuresReported() const { return m_failuresReported; }

private:
    friend void reportFailure(WindowServices& ws, const Failure& failure, const char* location,
                              int label);
    int m_failuresReported = 0;
};

}  // namespace vn
