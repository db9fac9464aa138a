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
    const char* what() const noexcept override { return m_utf8.c_str(); }

    // "<action> "<native path>": <strerror(err)>"
    static Failure fromErrno(const QString& action, const QString& path, int err);
    // Same, with a reason text the caller already has (for example QFileDevice::errorString()).
    static Failure withReason(const QString& action, const QString& path, const QString& reason);

private:
    QString m_description;
    std::string m_utf8;
};

}  // namespace vn
