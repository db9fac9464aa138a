#include "gui/OptionsPanel.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/Failure.h"
#include "gui/FolderPicker.h"
#include "gui/Settings.h"
#include "gui/Shell.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>

namespace vn {

namespace {

const char* const kModes[] = {
    "Remove all blank lines in text file(s)",
    "Remove all lines containing this/these character(s)",
    "Remove all lines not containing this/these character(s)",
    "Remove all lines containg below keywords",
    "Remove all lines not containg below keywords",
    "Remove lines n1, n2, n3, etc. where n is a number",
};

// Check1 keeps the values 0 clear, 1 ticked, 2 grey, which Qt numbers differently.
Qt::CheckState checkStateOf(int value) {
    return value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}
int valueOf(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

}  // namespace

OptionsPanel::OptionsPanel(const OptionControls& controls, SettingsView& settings,
                           WindowServices& ws, FolderPicker& picker, QWidget* window)
    : m_c(controls), m_settings(settings), m_ws(ws), m_picker(picker), m_window(window) {
    connect(m_c.Combo1, &QComboBox::currentIndexChanged, this, [this] { Combo1_Click(); });
    connect(m_c.Check1, &QCheckBox::stateChanged, this, [this] { Check1_Click(); });
    // A radio button reacts when it is chosen, not when choosing its partner turns it off.
    const std::pair<QRadioButton*, void (OptionsPanel::*)()> options[] = {
        {m_c.Option1, &OptionsPanel::Option1_Click},
        {m_c.Option2, &OptionsPanel::Option2_Click},
        {m_c.Option3, &OptionsPanel::Option3_Click},
        {m_c.Option4, &OptionsPanel::Option4_Click},
    };
    for (const auto& [option, click] : options)
        connect(option, &QRadioButton::toggled, this, [this, click = click](bool on) {
            if (on)
                (this->*click)();
        });
    connect(m_c.Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
    connect(m_c.PushButton10, &QPushButton::clicked, this, [this] { PushButton10_Click(); });
}

int OptionsPanel::mode() const {
    return m_c.Combo1->currentIndex();
}
bool OptionsPanel::ignoreCase() const {
    return m_c.Check1->checkState() == Qt::Checked;
}
bool OptionsPanel::leaveBlankLine() const {
    return m_c.Option1->isChecked();
}
bool OptionsPanel::saveToFolder() const {
    return m_c.Option4->isChecked();
}
QString OptionsPanel::outputFolder() const {
    return m_c.Text1->text();
}

// ---- start-up ----

void OptionsPanel::listModes() {
    // A combo box selects its first entry by itself; the mode stays unchosen until the stored
    // one is restored.
    const QSignalBlocker quiet(m_c.Combo1);
    for (const char* m : kModes) m_c.Combo1->addItem(QString::fromLatin1(m));
    m_c.Combo1->setCurrentIndex(-1);
}

void OptionsPanel::restoreMode() {
    setMode(SettingToInteger(m_settings.value(setting::Combo1)));
}

void OptionsPanel::restoreOption(int number) {
    switch (number) {
        case 1:
            return chooseOption(m_c.Option1, SettingToBoolean(m_settings.value(setting::Option1)),
                                &OptionsPanel::Option1_Click);
        case 2:
            return chooseOption(m_c.Option2, SettingToBoolean(m_settings.value(setting::Option2)),
                                &OptionsPanel::Option2_Click);
        case 3:
            return chooseOption(m_c.Option3, SettingToBoolean(m_settings.value(setting::Option3)),
                                &OptionsPanel::Option3_Click);
        case 4:
            return chooseOption(m_c.Option4, SettingToBoolean(m_settings.value(setting::Option4)),
                                &OptionsPanel::Option4_Click);
    }
}

void OptionsPanel::enableFolderBox() {
    m_c.Frame5->setEnabled(m_c.Option4->isChecked());
}

void OptionsPanel::restoreCheck1() {
    setCheck1(SettingToInteger(m_settings.value(setting::Check1)));
}

void OptionsPanel::restoreOutputFolder() {
    m_c.Text1->setText(m_settings.value(setting::OutputFolder, DesktopFolderPath()));
}

void OptionsPanel::setMode(int index) {
    if (index < 0 || index >= m_c.Combo1->count())
        throw Failure(QStringLiteral("Invalid property value: there is no removal mode %1 "
                                     "(valid are 0 to %2)")
                          .arg(index)
                          .arg(m_c.Combo1->count() - 1));
    m_c.Combo1->setCurrentIndex(index);
}

void OptionsPanel::setCheck1(int value) {
    if (value < 0 || value > 2)
        throw Failure(QStringLiteral("Invalid property value: \"Ignore case\" cannot be %1 "
                                     "(valid are 0, 1 and 2)")
                          .arg(value));
    m_c.Check1->setCheckState(checkStateOf(value));
}

// Setting an option to true runs its click reaction even when it is chosen already, so that
// start-up stores both keys of its pair. Setting it to false does nothing by itself: the group
// always keeps one chosen, and choosing the other one turns this one off.
void OptionsPanel::chooseOption(QRadioButton* option, bool value, void (OptionsPanel::*click)()) {
    if (!value)
        return;
    if (option->isChecked())
        (this->*click)();
    else
        option->setChecked(true);  // toggled() runs the reaction
}

// ---- the reactions ----

void OptionsPanel::Combo1_Click() {
    const int index = m_c.Combo1->currentIndex();
    m_settings.setValue(setting::Combo1, QString::number(index));
    bool lineOptions, ignoreCase, keywords;
    switch (index) {
        case 0:
            lineOptions = false, ignoreCase = false, keywords = false;
            break;
        case 1:
        case 2:
            lineOptions = true, ignoreCase = true, keywords = false;
            break;
        case 3:
        case 4:
            lineOptions = true, ignoreCase = true, keywords = true;
            break;
        case 5:
            lineOptions = true, ignoreCase = false, keywords = false;
            break;
        default:
            return;
    }
    // Disabling keeps the values: a run still reads Option1 and Check1 as they stand.
    m_c.Option1->setEnabled(lineOptions);
    m_c.Option2->setEnabled(lineOptions);
    m_c.Check1->setEnabled(ignoreCase);
    m_c.ListView2->setEnabled(keywords);
    m_c.PushButton5->setEnabled(keywords);
    m_c.PushButton6->setEnabled(keywords);
}

void OptionsPanel::Check1_Click() {
    // A user's click toggles between clear and ticked; only the store can ask for grey.
    if (m_c.Check1->checkState() != Qt::PartiallyChecked)
        m_c.Check1->setTristate(false);
    m_settings.setValue(setting::Check1, QString::number(valueOf(m_c.Check1->checkState())));
}

void OptionsPanel::storeLineOptions() {
    m_settings.setValue(setting::Option1, BooleanSetting(m_c.Option1->isChecked()));
    m_settings.setValue(setting::Option2, BooleanSetting(m_c.Option2->isChecked()));
}

void OptionsPanel::Option1_Click() {
    storeLineOptions();
}
void OptionsPanel::Option2_Click() {
    storeLineOptions();
}

void OptionsPanel::storeSaveOptions() {
    m_settings.setValue(setting::Option4, BooleanSetting(m_c.Option4->isChecked()));
    m_settings.setValue(setting::Option3, BooleanSetting(m_c.Option3->isChecked()));
    // The folder box and its button keep their own state; the frame alone shuts them off.
    enableFolderBox();
}

void OptionsPanel::Option3_Click() {
    storeSaveOptions();
}
void OptionsPanel::Option4_Click() {
    storeSaveOptions();
}

void OptionsPanel::Text1_Change() {
    m_settings.setValue(setting::OutputFolder, m_c.Text1->text());
}

void OptionsPanel::PushButton10_Click() {
    Guard g(m_ws, loc::PushButton10_Click);
    QString folder;
    g.step(100, [&] {
        folder = m_picker.BrowseForFolder(m_window, QStringLiteral("Save images to this folder"),
                                          QString());
    });
    if (g.test(102, [&] { return folder.isEmpty(); }))
        return;
    g.step(104, [&] { m_settings.setValue(setting::LastFolderDot, folder); });
    // A root such as "/" already ends in the separator and stays as it is.
    if (g.test(106, [&] { return !folder.endsWith(QDir::separator()); }))
        g.step(108, [&] { m_c.Text1->setText(folder + QDir::separator()); });
    else
        g.step(112, [&] { m_c.Text1->setText(folder); });
}

}  // namespace vn
