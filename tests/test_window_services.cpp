// The window's own boxes, driven offscreen: what the logic is promised about titles, answers
// and cancelling holds for the real dialogs, not only for the scripted services.
#include "gui/QtWindowServices.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>

using namespace vn;

namespace {

int argc = 1;
char arg0[] = "test_window_services";
char* argv[] = {arg0, nullptr};

QApplication& app() {
    static QApplication* a = new QApplication(argc, argv);
    return *a;
}

// Runs `act` on the modal dialog that the next box opens, as a user would.
void whenModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start();
}

struct AppFirst {
    AppFirst() { app(); }
};

struct Window : AppFirst {
    QWidget widget;
    LiteralTextProgressBar overall{&widget}, file{&widget};
    QtWindowServices qt{&widget, &overall, &file};
    WindowServices& ws = qt;  // the defaults are the interface's
    Window() {
        for (QProgressBar* bar : {&overall, &file}) {
            bar->setRange(0, 100 * QtWindowServices::kBarScale);
            bar->setValue(0);
            bar->setTextVisible(true);
        }
        qt.setApplicationTitle(QStringLiteral("Varnobis"));
        widget.show();
    }
};

}  // namespace

TEST(QtWindowServices, MessageBoxesShowTheApplicationTitleAndMapTheirButtons) {
    Window w;
    QString seenTitle, seenText;
    whenModal([&](QWidget* m) {
        auto* box = qobject_cast<QMessageBox*>(m);
        ASSERT_NE(box, nullptr);
        seenTitle = box->windowTitle();
        seenText = box->text();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(w.ws.messageBox(QStringLiteral("Open?\r\nSure"), Buttons::YesNo), Answer::No);
    EXPECT_EQ(seenTitle, "Varnobis") << "an untitled box shows the application title";
    EXPECT_EQ(seenText, "Open?\nSure") << "CR LF shown as the toolkit's break";

    whenModal([](QWidget* m) { qobject_cast<QMessageBox*>(m)->button(QMessageBox::Yes)->click(); });
    EXPECT_EQ(w.ws.messageBox(QStringLiteral("Again?"), Buttons::YesNo), Answer::Yes);

    whenModal([&](QWidget* m) {
        seenTitle = m->windowTitle();
        qobject_cast<QMessageBox*>(m)->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(w.ws.messageBox(QStringLiteral("Failed"), Buttons::Ok, Icon::Warning,
                              QStringLiteral("Application Error")),
              Answer::Ok);
    EXPECT_EQ(seenTitle, "Application Error") << "a box with its own title keeps it";
}

TEST(QtWindowServices, InputBoxesGiveTheAnswerAndCancelGivesTheEmptyText) {
    Window w;
    QString seenTitle, seenDefault;
    whenModal([&](QWidget* m) {
        auto* dialog = qobject_cast<QInputDialog*>(m);
        ASSERT_NE(dialog, nullptr);
        seenTitle = dialog->windowTitle();
        seenDefault = dialog->textValue();
        dialog->setTextValue(QStringLiteral("2,3"));
        dialog->accept();
    });
    EXPECT_EQ(
        w.ws.inputBox(QStringLiteral("Enter line numbers"), QString(), QStringLiteral("1,2,5")),
        "2,3");
    EXPECT_EQ(seenTitle, "Varnobis");
    EXPECT_EQ(seenDefault, "1,2,5");

    whenModal([](QWidget* m) {
        auto* dialog = qobject_cast<QInputDialog*>(m);
        dialog->setTextValue(QStringLiteral("typed, then cancelled"));
        dialog->reject();
    });
    EXPECT_EQ(w.ws.inputBox(QStringLiteral("Enter x:")), QString());
}
TEST(QtWindowServices, BarsShowTheirTextLiterallyAndClampThePosition) {
    Window w;
    w.ws.setProgressText(Bar::Overall, QStringLiteral("Processing: 100% sure %p %v.txt"));
    EXPECT_EQ(w.overall.text(), "Processing: 100% sure %p %v.txt");
    w.ws.setProgress(Bar::File, 150.0);
    EXPECT_EQ(w.file.value(), 100 * QtWindowServices::kBarScale);
    w.ws.setProgress(Bar::File, -3.0);
    EXPECT_EQ(w.file.value(), 0);
}
