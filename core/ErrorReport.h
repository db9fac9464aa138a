#pragma once

#include "core/Failure.h"
#include "core/WindowServices.h"

#include <QString>

#include <exception>
#include <new>
#include <utility>

namespace vn {

QString supportAddress();

// description CR LF "in <location> at line <label>" CR CR "Please email screenshot ..."
QString standardErrorMessage(const QString& description, const QString& location, int label);

// Hands the failure to the front end (WindowServices::reportFailure); the window shows the
// standard message: title "Application Error", warning icon, OK.
void reportFailure(WindowServices& ws, const Failure& failure, const char* location, int label);

// The handler of one guarded procedure. Each labelled step runs inside it; a step that throws is
// reported with the procedure's location and the step's label, its effect is lost, and the
// procedure goes on with its next step. A helper without a handler of its own simply throws:
// its failure is then reported at the label of the caller's step, as users expect.
class Guard {
public:
    Guard(WindowServices& ws, const char* location) : m_ws(ws), m_location(location) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // Runs one statement. Returns true when it completed, false when it failed (and was
    // reported).
    template <class F>
    bool step(int label, F&& f) {
        return run(
            label,
            [&] {
                std::forward<F>(f)();
                return true;
            },
            false);
    }

    // The test of a conditional block. A failing test enters the block, so this answers true
    // when the test fails.
    template <class F>
    bool test(int label, F&& f) {
        return run(
            label, [&]() -> bool { return std::forward<F>(f)(); }, true);
    }

    void report(const QString& description, int label) { report(Failure(description), label); }
    void report(const Failure& failure, int label) {
        reportFailure(m_ws, failure, m_location, label);
    }

    WindowServices& services() const { return m_ws; }
    const char* location() const { return m_location; }

private:
    template <class F>
    bool run(int label, F&& f, bool onFailure) {
        try {
            return f();
        } catch (const Failure& e) {
            report(e, label);
        } catch (const std::bad_alloc&) {
            report(QStringLiteral("Out of memory"), label);
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()), label);
        }
        return onFailure;
    }

    WindowServices& m_ws;
    const char* m_location;
};

}  // namespace vn
