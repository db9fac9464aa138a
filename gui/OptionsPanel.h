#pragma once

#include "core/Views.h"

#include <QObject>
#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;
class QWidget;

namespace vn {

class FolderPicker;
class WindowServices;

// The controls of the options panel, and the keyword controls that only some modes use.
struct OptionControls {
    QComboBox* Combo1;
    QRadioButton *Option1, *Option2;
    QCheckBox* Check1;
    QRadioButton *Option3, *Option4;
    QGroupBox* Frame5;
    QLineEdit* Text1;
    QPushButton* PushButton10;
    QTreeView* ListView2;
    QPushButton *PushButton5, *PushButton6;
};

// The options panel's reactions: each control stores its value the moment it changes, by the user
// or by the program, and the mode enables the controls it uses. It also restores the stored
// choices at start-up, one step at a time so that a bad value spoils only its own control.
class OptionsPanel : public QObject {
public:
    OptionsPanel(const OptionControls& controls, SettingsView& settings, WindowServices& ws,
                 FolderPicker& picker, QWidget* window);

    // What a run reads, at the moment it reads it.
    int mode() const;  // -1 before a mode is chosen
    bool ignoreCase() const;
    bool leaveBlankLine() const;
    bool saveToFolder() const;
    QString outputFolder() const;

    // Start-up, in this order: the mode names, then each stored value.
    void listModes();
    void restoreMode();
    // Option 1 to 4.
    void restoreOption(int number);
    void enableFolderBox();
    void restoreCheck1();
    void restoreOutputFolder();

    void Combo1_Click();
    void Check1_Click();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void Text1_Change();
    // "...": picks the output folder.
    void PushButton10_Click();

private:
    void storeLineOptions();
    void storeSaveOptions();
    void setMode(int index);
    void setCheck1(int value);
    void chooseOption(QRadioButton* option, bool value, void (OptionsPanel::*click)());

    OptionControls m_c;
    SettingsView& m_settings;
    WindowServices& m_ws;
    FolderPicker& m_picker;
    QWidget* m_window;
};

}  // namespace vn
