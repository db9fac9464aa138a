// varnobis: the main window. It takes no command line; everything it remembers is in the
// per-user settings store.

#include "app/Form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QApplication::setApplicationName(QStringLiteral("Varnobis"));
    vn::Form1 form;
    return app.exec();
}
