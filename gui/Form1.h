#pragma once

#include "core/Views.h"
#include "core/WindowServices.h"
#include "gui/FileListControl.h"
#include "gui/StoredSettings.h"
#include "keywords/KeywordList.h"
#include "run/RunDriver.h"

#include <QCursor>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeView;
class QTreeWidget;

namespace vn {

class FilePicker;
class FolderPicker;
class ListDragging;
class OptionsPanel;
class PointerScheme;
class QtWindowServices;

// What the main window takes from its surroundings. The program leaves every field empty; tests
// put scripted stand-ins in.
struct Form1Environment {
    // Message and input boxes, yield, pointer and bars; the window's own Qt services when null.
    WindowServices* services = nullptr;
    // The toolkit's folder dialog when null.
    FolderPicker* folderPicker = nullptr;
    // The toolkit's file-open dialog when null.
    FilePicker* filePicker = nullptr;
    // Shows a folder in the desktop's file manager; the desktop's own when empty.
    std::function<void(const QString& folder)> openFolder;
    // A whole number from 1 to 100, for the start-up draw that now and then opens the web page;
    // seeded from the time of day when empty.
    std::function<int()> drawOneToHundred;
    // Opens the web page; the desktop's browser when empty.
    std::function<void(const QString& address)> openWebPage;
    // The web page's address; the build setting when unset. Empty means never open it.
    std::optional<QString> webPage;
    // Where HAND-M.CUR, drag.ico and Samples are looked for; the executable's folder when empty.
    QString programFolder;
};

// A part the environment may lend the window; without one the window makes its own and owns it.
template <class T>
class LentOrOwn {
public:
    template <class Own>
    void useOr(T* lent) {
        if (!lent) {
            m_own = std::make_unique<Own>();
            lent = m_own.get();
        }
        m_used = lent;
    }
    T& operator*() const { return *m_used; }
    T* operator->() const { return m_used; }

private:
    std::unique_ptr<T> m_own;
    T* m_used = nullptr;
};

// The main window and the program's only one. Its constructor runs the start-up sequence and
// shows it; closing it saves the keyword list and ends the program.
//
// It is also what a run reads while it yields: Option1 (LineOptionView), the options panel
// (RunOptionsView), the file list (fileList()) and the keyword list (keywordList()).
class Form1 : public QWidget, public LineOptionView, public run::RunOptionsView {
    Q_OBJECT
public:
    static constexpr const char* kProductTitle = "Varnobis";

    explicit Form1(Form1Environment environment = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // The services every procedure of the window reports through; a run uses the same.
    WindowServices& services() const { return *m_ws; }
    // The window's own Qt services (in use unless the environment named others).
    QtWindowServices& qtServices() const { return *m_qtServices; }
    const KeywordListView& keywordList() const { return m_keywords; }
    FileListControl& fileList() { return *m_files; }
    KeywordList& keywords() { return m_keywords; }
    const QString& programFolder() const { return m_programFolder; }
    // The hand pointer: the image of HAND-M.CUR when it was found, else the arrow.
    const QCursor& handPointer() const { return m_hand; }

    // What a run reads from the options panel.
    run::RemoveMode mode() const override;
    bool ignoreCase() const override;
    bool leaveBlankLine() const override;
    bool saveToFolder() const override;
    QString outputFolder() const override;

    // The file list.
    void PushButton1_Click();
    void PushButton3_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void PushButton9_Click();
    void PushButton11_Click();

    // "Start Removing".
    void PushButton2_Click();

    // The keyword list.
    void PushButton5_Click();
    void PushButton6_Click();
    void ListView2_DblClick();
    void ListView2_KeyDown(int key);

protected:
    void closeEvent(QCloseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void describeControls();
    void chooseServices();
    void createParts();
    void trackPointer();
    void connectHandlers();
    void installSettingsWarning();
    void Form_Load();
    void Form_QueryUnload();
    void removeSelectedKeyword();

    Form1Environment m_env;
    // The window's own services; they are the ones in use unless the environment lent others.
    std::unique_ptr<QtWindowServices> m_qtServices;
    WindowServices* m_ws = nullptr;
    LentOrOwn<FolderPicker> m_picker;
    LentOrOwn<FilePicker> m_filePicker;
    QString m_programFolder;
    QCursor m_hand{Qt::ArrowCursor};
    KeywordList m_keywords;
    StoredSettings m_settings;
    bool m_closed = false;

    QTreeWidget* ListView1 = nullptr;
    QPushButton *PushButton1 = nullptr, *PushButton2 = nullptr, *PushButton3 = nullptr,
                *PushButton5 = nullptr, *PushButton6 = nullptr, *PushButton7 = nullptr,
                *PushButton8 = nullptr, *PushButton9 = nullptr, *PushButton10 = nullptr,
                *PushButton11 = nullptr;
    QGroupBox *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr, *Frame5 = nullptr,
              *Frame6 = nullptr;
    QComboBox* Combo1 = nullptr;
    QTreeView* ListView2 = nullptr;
    QRadioButton *Option1 = nullptr, *Option2 = nullptr, *Option3 = nullptr, *Option4 = nullptr;
    QCheckBox* Check1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QProgressBar *ProgressBar1 = nullptr, *ProgressBar2 = nullptr;

    // Over ListView1, so it is made with the controls.
    std::optional<FileListControl> m_files;

    // The parts that react to the controls.
    std::unique_ptr<OptionsPanel> m_options;
    std::unique_ptr<ListDragging> m_dragging;
    std::unique_ptr<PointerScheme> m_pointers;
};

}  // namespace vn
