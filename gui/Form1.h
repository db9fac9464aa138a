#pragma once

#include "gui/FileListControl.h"
#include "gui/StoredSettings.h"
#include "core/Views.h"
#include "keywords/KeywordList.h"
#include "core/WindowServices.h"
#include "run/RunDriver.h"

#include <QCursor>
#include <QPersistentModelIndex>
#include <QSet>
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

    run::RemoveMode mode() const override;
    bool ignoreCase() const override;
    bool leaveBlankLine() const override;
    bool saveToFolder() const override;
    QString outputFolder() const override;

    // The options panel. Each runs when its control's value changes, by the user or by the
    // program, and stores the new value at once.
    void Combo1_Click();
    void Check1_Click();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void Text1_Change();
    void PushButton10_Click();

    // The file list.
    void PushButton1_Click();
    void PushButton3_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void PushButton9_Click();
    void PushButton11_Click();
    void ListView1_DblClick();

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
    void connectHandlers();
    void Form_Load();
    void Form_QueryUnload();
    void installSettingsWarning();

    void storeLineOptions();
    void storeSaveOptions();
    void setMode(int index);
    void setCheck1(int value);
    void chooseOption(QRadioButton* option, bool value, void (Form1::*click)());
    void removeSelectedKeyword();
    bool fileListEvent(QEvent* event);
    void ListView1_MouseDown();
    void ListView1_ItemClick(int position);
    void ListView1_MouseMove(const QPoint& position);
    void ListView1_MouseUp();
    void hover(Pointer pointer);
    void trackHover(QWidget* widget, Pointer pointer);

    Form1Environment m_env;
    std::unique_ptr<QtWindowServices> m_qtServices;
    std::unique_ptr<FolderPicker> m_ownPicker;
    WindowServices* m_ws = nullptr;
    FolderPicker* m_picker = nullptr;
    QString m_programFolder;
    QCursor m_hand{Qt::ArrowCursor};
    KeywordList m_keywords;
    std::unique_ptr<FilePicker> m_ownFilePicker;
    FilePicker* m_filePicker = nullptr;
    StoredSettings m_settings;
    // The drag pointer: the image of drag.ico when it was found.
    std::optional<QCursor> m_dragPointer;
    // Drag reordering: a button is down on the list, and the entry whose text is being carried.
    bool m_dragActive = false;
    QPersistentModelIndex m_dragItem;
    QSet<QObject*> m_handArea, m_arrowArea;
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
};

}  // namespace vn
