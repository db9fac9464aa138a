// varnobis: the main window. It takes no command line; everything it remembers is in the
// per-user settings store.

#include "app/Form1.h"
#include "app/shell/Settings.h"
#include "platform/gui/SessionEnd.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QApplication::setApplicationName(QStringLiteral("Varnobis"));
    // A settings file that cannot be used is said once, before the window comes up with the
    // default settings.
    QString problem = vn::CheckSettingsStore();
    problem.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!problem.isEmpty())
        QMessageBox::warning(nullptr, QApplication::applicationName(), problem);
    vn::Form1 form;
    // The session ending under the program (a signal, a logout) closes the window as its close
    // button does: the keyword list is saved and a run stops at its next yield.
    vn::SessionEnd sessionEnd([&form] { form.close(); });
    return app.exec();
}
