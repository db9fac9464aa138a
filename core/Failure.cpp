#include "core/Failure.h"

#include "core/NativeName.h"

#include <QDir>

#include <cstring>

namespace vn {

Failure::Failure(QString description)
    : m_description(std::move(description)), m_utf8(m_description.toStdString()) {}

Failure Failure::fromErrno(const QString& action, const QString& path, int err) {
    return withReason(action, path, QString::fromLocal8Bit(std::strerror(err)));
}

Failure Failure::withReason(const QString& action, const QString& path, const QString& reason) {
    Failure f(QStringLiteral("%1 \"%2\": %3")
                  .arg(action, displayName(QDir::toNativeSeparators(path)), reason));
    f.m_action = action;
    f.m_path = path;
    f.m_reason = reason;
    return f;
}

}  // namespace vn
