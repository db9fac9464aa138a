// What a screen reader hears from the main window, and whether its captions fit the fixed
// layout with the fonts the machine has.

#include "tests/support/Form1Fixture.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

using namespace vn;
using test::Form1Test;

namespace {

// Every widget a user reaches: buttons, lists, boxes and bars. The frames' inner widgets (the
// lists' viewports, scroll bars and headers) belong to their view.
QList<QWidget*> userControls(QWidget* form) {
    QList<QWidget*> out;
    for (QWidget* w : form->findChildren<QWidget*>())
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
            out.append(w);
    return out;
}

}  // namespace

TEST_F(Form1Test, EveryControlHasItsOwnAccessibleNameAndADescription) {
    start();
    const QList<QWidget*> controls = userControls(form.get());
    ASSERT_GE(controls.size(), 26);
    QSet<QString> names;
    for (QWidget* w : controls) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_FALSE(w->accessibleName().trimmed().isEmpty());
        EXPECT_FALSE(w->accessibleDescription().trimmed().isEmpty());
        // Two controls of one kind with the same name would be told apart by nobody.
        names.insert(QString::fromLatin1(w->metaObject()->className()) + w->accessibleName());
    }
    EXPECT_EQ(names.size(), controls.size());

    // The two "Clear List" buttons say which list they clear, and "..." what it picks; their
    // captions stay as they are.
    auto* files = get<QPushButton>("PushButton7");
    auto* keywords = get<QPushButton>("PushButton5");
    auto* pick = get<QPushButton>("PushButton10");
    EXPECT_EQ(files->text(), QStringLiteral("Clear List"));
    EXPECT_EQ(keywords->text(), QStringLiteral("Clear List"));
    EXPECT_EQ(pick->text(), QStringLiteral("..."));
    EXPECT_TRUE(files->accessibleName().contains(QLatin1String("files")));
    EXPECT_TRUE(keywords->accessibleName().contains(QLatin1String("keywords")));
    EXPECT_TRUE(pick->accessibleName().contains(QLatin1String("folder")));
    // A visible caption is part of its accessible name, so speech control finds the button by
    // what it shows.
    for (QAbstractButton* b : form->findChildren<QAbstractButton*>())
        if (b->text() != QLatin1String("..."))
            EXPECT_TRUE(b->accessibleName().startsWith(b->text())) << b->objectName().toStdString();
}

TEST_F(Form1Test, NoCaptionIsWiderThanItsControl) {
    start();
    const QStringList arialWidths = {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                                     QStringLiteral("Arimo")};
    bool metricFaceInstalled = false;
    for (const QString& family : arialWidths)
        metricFaceInstalled = metricFaceInstalled || QFontDatabase::hasFamily(family);
    if (metricFaceInstalled) {
        for (QWidget* w : userControls(form.get())) {
            const QString used = QFontInfo(w->font()).family();
            EXPECT_TRUE(arialWidths.contains(used))
                << w->objectName().toStdString() << " is drawn in " << used.toStdString();
        }
    }

    auto fits = [](QWidget* w, const QString& text, const QRect& room) {
        const int width = w->fontMetrics().horizontalAdvance(text);
        EXPECT_LE(width, room.width())
            << w->objectName().toStdString() << ": \"" << text.toStdString() << "\" in "
            << QFontInfo(w->font()).family().toStdString();
    };
    int checked = 0;
    for (QAbstractButton* b : form->findChildren<QAbstractButton*>()) {
        QStyleOptionButton option;
        option.initFrom(b);
        option.text = b->text();
        const QStyle::SubElement contents =
            qobject_cast<QPushButton*>(b)    ? QStyle::SE_PushButtonContents
            : qobject_cast<QRadioButton*>(b) ? QStyle::SE_RadioButtonContents
                                             : QStyle::SE_CheckBoxContents;
        fits(b, b->text(), b->style()->subElementRect(contents, &option, b));
        ++checked;
    }
    for (QGroupBox* f : form->findChildren<QGroupBox*>()) {
        const int frameMargin = f->style()->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, f);
        fits(f, f->title(), f->rect().adjusted(frameMargin, 0, -frameMargin, 0));
        ++checked;
    }
    auto* combo = get<QComboBox>("Combo1");
    QStyleOptionComboBox comboOption;
    comboOption.initFrom(combo);
    comboOption.editable = false;
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &comboOption,
                                                       QStyle::SC_ComboBoxEditField, combo);
    for (int i = 0; i < combo->count(); ++i) fits(combo, combo->itemText(i), field);
    for (QProgressBar* bar : form->findChildren<QProgressBar*>())
        fits(bar, bar->text(), bar->rect());
    EXPECT_EQ(checked, 10 + 4 + 1 + 5);
}
