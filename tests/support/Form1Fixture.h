#pragma once

// The main window offscreen, for the tests of its parts: scripted boxes and dialogs, and the
// settings store and the home folder in temporary folders.

#include "gui/FilePicker.h"
#include "gui/FolderPicker.h"
#include "gui/Form1.h"
#include "gui/Settings.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMouseEvent>
#include <QTest>

#include <memory>
#include <vector>

namespace vn::test {

// A 32-pixel square in the Windows icon format, as pointer images beside the program are kept.
inline QByteArray iconFile(Qt::GlobalColor colour) {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "ico"));
    return bytes;
}

struct ScriptedPicker : FolderPicker {
    QStringList answers;
    struct Call {
        QWidget* owner;
        QString prompt, start;
    };
    std::vector<Call> calls;
    QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& start) override {
        calls.push_back({owner, prompt, start});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    ~ScriptedPicker() override { EXPECT_TRUE(answers.isEmpty()) << "picker answer left unused"; }
};

struct ScriptedFilePicker : FilePicker {
    std::vector<QStringList> answers;
    QStringList titles;
    QStringList OpenFiles(QWidget*, const QString& title) override {
        titles.append(title);
        if (answers.empty())
            return {};
        QStringList a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    ~ScriptedFilePicker() override {
        EXPECT_TRUE(answers.empty()) << "file dialog answer left unused";
    }
};

// Every test starts the real window offscreen, with the settings store and the home folder in
// temporary folders and the boxes, the picker and the start-up draw scripted.
class Form1Test : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedConfig = qgetenv("XDG_CONFIG_HOME");
        m_savedHome = qgetenv("HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir(home.path()).mkdir(QStringLiteral("Desktop"));
    }
    void TearDown() override {
        form.reset();
        qputenv("XDG_CONFIG_HOME", m_savedConfig);
        qputenv("HOME", m_savedHome);
    }

    Form1& start() {
        form.reset();
        Form1Environment env;
        env.services = &ws;
        env.folderPicker = &picker;
        env.filePicker = &filePicker;
        env.openFolder = [this](const QString& folder) { openedFolders.append(folder); };
        env.drawOneToHundred = [this] { return draw; };
        env.openWebPage = [this](const QString& page) { opened.append(page); };
        env.webPage = webPage;
        env.programFolder = program.path();
        form = std::make_unique<Form1>(env);
        return *form;
    }
    // Closes the window as its close button would, and lets it go.
    void closeForm() {
        form->close();
        form.reset();
    }

    template <class T>
    T* get(const char* name) {
        T* w = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString desktop() const { return home.path(QStringLiteral("Desktop")) + QStringLiteral("/"); }
    static QString stored(const char* key) {
        return ReadSetting(QString::fromLatin1(key), "<absent>");
    }
    static void store(const char* key, const QString& value) {
        WriteSetting(QString::fromLatin1(key), value);
    }
    QStringList errorTexts() const {
        QStringList out;
        for (const auto& b : ws.errors()) out.append(b.text);
        return out;
    }
    static void moveOver(QWidget* w) {
        const QPointF at(3, 3);
        QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(w, &move);
    }
    // A widget's double-click arrives after the press of its first click.
    static void doubleClick(QAbstractItemView* view, QPoint at) {
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    static void clickCheckable(QWidget* w) {
        // The indicator, not the middle: a check box takes clicks on its indicator and text only.
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(7, w->height() / 2));
    }

    TempDir config, home, program;
    ScriptedWindowServices ws;
    ScriptedPicker picker;
    ScriptedFilePicker filePicker;
    QStringList openedFolders;
    int draw = 50;
    QString webPage;
    QStringList opened;
    std::unique_ptr<Form1> form;

private:
    QByteArray m_savedConfig, m_savedHome;
};

}  // namespace vn::test
