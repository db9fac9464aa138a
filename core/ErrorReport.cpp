#include "core/ErrorReport.h"

#ifndef VARNOBIS_SUPPORT_EMAIL
#define VARNOBIS_SUPPORT_EMAIL "support@varnobis.invalid"
#endif

namespace vn {

QString supportAddress() {
    return QStringLiteral(VARNOBIS_SUPPORT_EMAIL);
}

QString standardErrorMessage(const QString& description, const QString& location, int label) {
    return description + QStringLiteral("\r\n") + QStringLiteral("in ") + location +
           QStringLiteral(" ") + QStringLiteral("at line ") + QString::number(label) +
           QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ") +
           supportAddress();
}

void reportFailure(WindowServices& ws, const Failure& failure, const char* location, int label) {
    ++ws.m_failuresReported;
    ws.reportFailure(failure, location, label);
}

void WindowServices::reportFailure(const Failure& failure, const char* location, int label) {
    messageBox(standardErrorMessage(failure.description(), QString::fromUtf8(location), label),
               Buttons::Ok, Icon::Warning, QStringLiteral("Application Error"));
}

}  // namespace vn
