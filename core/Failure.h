#pragma once

#include <QString>

#include <exception>
#include <string>

namespace vn {

// The one failure type of the project. Platform adapters turn errno values and Qt error strings
// into it, naming the path and the system's own reason, so that a guarded procedure can show the
// description as it stands.
class Failure : public std::exception {
public:
    explicit Failure(QString description);

    const QString& description() const noexcept { return m_description; }
    // The parts of a failure that names a file, apart, for front ends that show them in their
    // own layout; all empty when the failure names no file.
    const QString& action() const noexcept { return m_action; }
    const QString& path() const noexcept { return m_path; }
    const QString& reason() const noexcept { return m_reason; }
    const char* what() const noexcept override { return m_utf8.c_str(); }

    // "<action> "<native path>": <strerror(err)>"
    static Failure fromErrno(const QString& action, const QString& path, int err);
    // Same, with a reason text the caller already has (for example QFileDevice::errorString()).
    static Failure withReason(const QString& action, const QString& path, const QString& reason);

private:
    QString m_description;
    QString m_action;
    QString m_path;
    QString m_reason;
    std::string m_utf8;
};

}  // namespace vn
