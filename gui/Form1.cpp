#include "gui/Form1.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/Failure.h"
#include "filelist/AddFiles.h"
#include "filelist/EditList.h"
#include "filelist/PathTests.h"
#include "filelist/Samples.h"
#include "gui/ApplicationTitle.h"
#include "gui/FilePicker.h"
#include "gui/FolderPicker.h"
#include "gui/ListDragging.h"
#include "gui/OptionsPanel.h"
#include "gui/PointerImage.h"
#include "gui/PointerScheme.h"
#include "gui/QtWindowServices.h"
#include "gui/Settings.h"
#include "gui/Shell.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QScreen>
#include <QTime>
#include <QTreeView>
#include <QTreeWidget>

#include <cmath>

#ifndef VARNOBIS_WEB_PAGE
#define VARNOBIS_WEB_PAGE ""
#endif

namespace vn {

namespace {

// The window was laid out in twips; 15 twips make one pixel at the standard resolution.
int px(int twips) {
    return int(std::lround(twips / 15.0));
}

template <class W>
W* control(QWidget* container, const char* name, int left, int top, int width, int height) {
    W* w = new W(container);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(px(left), px(top), px(width), px(height));
    return w;
}

QPushButton* button(QWidget* container, const char* name, const char* caption, int left, int top,
                    int width, int height) {
    auto* b = control<QPushButton>(container, name, left, top, width, height);
    b->setText(QString::fromLatin1(caption));
    b->setAutoDefault(false);
    return b;
}

QGroupBox* frame(QWidget* container, const char* name, const char* caption, int left, int top,
                 int width, int height) {
    auto* f = control<QGroupBox>(container, name, left, top, width, height);
    f->setTitle(QString::fromLatin1(caption));
    return f;
}

template <class W>
W* captioned(QWidget* container, const char* name, const char* caption, int left, int top,
             int width, int height) {
    auto* w = control<W>(container, name, left, top, width, height);
    w->setText(QString::fromLatin1(caption));
    return w;
}

int timeSeededDraw() {
    QRandomGenerator rng(quint32(QTime::currentTime().msecsSinceStartOfDay()));
    return int(rng.bounded(1, 101));
}

}  // namespace

Form1::Form1(Form1Environment environment, QWidget* parent)
    : QWidget(parent), m_env(std::move(environment)) {
    createControls();
    describeControls();
    chooseServices();
    createParts();
    installSettingsWarning();
    connectHandlers();
    Form_Load();
}

// Every control stores its value as it changes; if the store refuses, say so once and keep the
// user's choices in the window.
void Form1::installSettingsWarning() {
    setSettingsWriteFailureHandler([this](const QString& description) {
        m_ws->messageBox(
            description + QStringLiteral("\r\rYour choices stay in effect until the program "
                                         "ends, but they will not be remembered."),
            Buttons::Ok, Icon::Warning);
    });
}

Form1::~Form1() {
    setSettingsWriteFailureHandler(nullptr);
    ListView2->removeEventFilter(this);
    ListView2->setModel(nullptr);
}

void Form1::createControls() {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(px(15960), px(6345));
    // The white look is fixed, so its text colours are too: a dark desktop theme would
    // otherwise draw near-white captions on the white background.
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::Base, Qt::white);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        white.setColor(group, QPalette::WindowText, Qt::black);
        white.setColor(group, QPalette::Text, Qt::black);
    }
    white.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    white.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    setPalette(white);
    setAutoFillBackground(true);

    // The fixed layout was measured in Arial. Liberation Sans and Arimo have Arial's widths, so
    // whichever of them is installed keeps every caption inside its control; fontconfig's alias
    // for Arial is not relied on. Without any of them the desktop's sans-serif face stands in.
    QFont plain;
    plain.setFamilies(
        {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")});
    plain.setStyleHint(QFont::SansSerif);
    plain.setPointSizeF(9);
    plain.setBold(true);
    setFont(plain);
    QFont large = plain;
    large.setPointSizeF(11.25);

    ListView1 = control<QTreeWidget>(this, "ListView1", 120, 120, 7800, 3765);
    ListView1->setToolTip(
        QStringLiteral("Drag and drop files here. Double-click item to remove "
                       "it. Move | line to right and out of window to reveal "
                       "full names."));
    PushButton1 = button(this, "PushButton1", "Add File(s)", 120, 3975, 3840, 405);
    PushButton3 = button(this, "PushButton3", "Add All File(s) In Folder", 4080, 3975, 3840, 405);
    PushButton7 = button(this, "PushButton7", "Clear List", 120, 4485, 3840, 405);
    PushButton8 = button(this, "PushButton8", "Load Sample/Example Files", 4080, 4485, 3840, 405);
    PushButton9 = button(this, "PushButton9", "Remove Filenames Cont X", 120, 4995, 3840, 405);
    PushButton11 =
        button(this, "PushButton11", "Remove Filenames Not Cont. X", 4080, 4995, 3840, 405);

    Frame2 = frame(this, "Frame2", "Remove Options", 120, 5430, 7800, 810);
    Combo1 = control<QComboBox>(Frame2, "Combo1", 240, 300, 7320, 345);

    Frame3 = frame(this, "Frame3", "Keyword Options", 8040, 45, 7800, 1965);
    ListView2 = control<QTreeView>(Frame3, "ListView2", 240, 300, 7320, 1035);
    ListView2->setToolTip(QStringLiteral(
        "Double-click item to remove it. Move | line to right and out of window to reveal full "
        "names."));
    PushButton6 = button(Frame3, "PushButton6", "Add Keyword", 240, 1410, 3585, 405);
    PushButton5 = button(Frame3, "PushButton5", "Clear List", 3960, 1410, 3585, 405);

    Frame1 = frame(this, "Frame1", "Line Options", 8040, 2060, 7800, 1380);
    Option1 = captioned<QRadioButton>(Frame1, "Option1",
                                      "Remove line but leave blank line (carriage return)", 240,
                                      300, 5055, 255);
    Option2 =
        captioned<QRadioButton>(Frame1, "Option2", "Remove line completely", 240, 650, 3255, 255);
    Check1 = captioned<QCheckBox>(Frame1, "Check1", "Ignore case", 240, 960, 4575, 255);

    Frame6 = frame(this, "Frame6", "Save Option", 8040, 3480, 7800, 1725);
    Option4 = captioned<QRadioButton>(Frame6, "Option4", "Save results to this folder:", 240, 300,
                                      2700, 285);
    Frame5 = frame(Frame6, "Frame5", "", 480, 540, 6720, 705);
    Text1 = control<QLineEdit>(Frame5, "Text1", 240, 240, 5580, 330);
    PushButton10 = button(Frame5, "PushButton10", "...", 5880, 240, 600, 315);
    Option3 = captioned<QRadioButton>(Frame6, "Option3", "Save results in folder of original file",
                                      240, 1335, 3735, 255);

    PushButton2 = button(this, "PushButton2", "Start Removing", 8040, 5320, 7800, 405);
    auto* bar1 = control<LiteralTextProgressBar>(this, "ProgressBar1", 8040, 5840, 3840, 405);
    auto* bar2 = control<LiteralTextProgressBar>(this, "ProgressBar2", 12000, 5840, 3840, 405);
    ProgressBar1 = bar1;
    ProgressBar2 = bar2;
    for (LiteralTextProgressBar* bar : {bar1, bar2}) {
        bar->setRange(0, 100 * QtWindowServices::kBarScale);
        bar->setValue(0);
        bar->setTextVisible(true);
        bar->setAlignment(Qt::AlignCenter);
        bar->setShownText(QStringLiteral("Progress Bar"));
    }

    for (QPushButton* b : {PushButton1, PushButton2, PushButton3, PushButton5, PushButton6,
                           PushButton7, PushButton8, PushButton9, PushButton10, PushButton11})
        b->setFont(large);

    // Report views: one column, no tree decoration. The column may be dragged wider than the
    // list to read long entries.
    ListView1->setRootIsDecorated(false);
    ListView1->header()->setStretchLastSection(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView2->setModel(&m_keywords);
    ListView2->setRootIsDecorated(false);
    ListView2->setItemsExpandable(false);
    ListView2->setUniformRowHeights(true);
    ListView2->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView2->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView2->header()->setStretchLastSection(false);
    m_files.emplace(*ListView1);

    // The initial states: Option1 and Option4 chosen, Check1 clear, Text1 empty, no mode. Option4
    // is chosen from the start so that one save option is always chosen: a store that turns
    // both off must not leave the run writing over the original files.
    Option1->setChecked(true);
    Option4->setChecked(true);
}

// What a screen reader says for each control. The visible captions are short and two of them
// are the same ("Clear List"), so the names say which list or what a button acts on.
void Form1::describeControls() {
    struct Text {
        QWidget* control;
        const char* name;
        const char* description;
    };
    const Text texts[] = {
        {ListView1, "File list",
         "The files to process. Drop files or folders here; "
         "double-click a file to take it out of the list."},
        {PushButton1, "Add File(s)", "Adds files to the file list with a file dialog."},
        {PushButton3, "Add All File(s) In Folder",
         "Asks for an extension and a folder, and adds every file with that extension in the "
         "folder and its subfolders to the file list."},
        {PushButton7, "Clear List of files", "Takes every file out of the file list."},
        {PushButton8, "Load Sample/Example Files",
         "Adds the bundled sample files to the file list."},
        {PushButton9, "Remove Filenames Cont X",
         "Asks for a text and takes every file whose name contains it out of the file list."},
        {PushButton11, "Remove Filenames Not Cont. X",
         "Asks for a text and takes every file whose name does not contain it out of the file "
         "list."},
        {Frame2, "Remove Options", "Which lines to remove."},
        {Combo1, "Removal mode", "Which lines to remove from each file."},
        {Frame3, "Keyword Options", "The keywords for the two keyword modes."},
        {ListView2, "Keyword list",
         "The keywords for the keyword modes. Double-click a keyword "
         "or press Delete to remove it."},
        {PushButton6, "Add Keyword", "Asks for a keyword and adds it to the keyword list."},
        {PushButton5, "Clear List of keywords", "Takes every keyword out of the keyword list."},
        {Frame1, "Line Options", "How removed lines are treated and how texts are compared."},
        {Option1, "Remove line but leave blank line (carriage return)",
         "Each removed line leaves an empty line in its place."},
        {Option2, "Remove line completely", "Removed lines leave nothing in their place."},
        {Check1, "Ignore case", "Compare texts and keywords ignoring upper and lower case."},
        {Frame6, "Save Option", "Where the results are written."},
        {Option4, "Save results to this folder:",
         "Each result is written to the output folder as a .txt file."},
        {Frame5, "Output folder", "The folder the results are written to."},
        {Text1, "Output folder", "The folder the results are written to. Type it or pick it."},
        {PushButton10, "Pick the output folder",
         "Opens a folder dialog to pick the folder the results are written to."},
        {Option3, "Save results in folder of original file",
         "Each result is written over its original file."},
        {PushButton2, "Start Removing", "Removes the chosen lines from every file in the list."},
        {ProgressBar1, "Overall progress",
         "The file being processed and the share of the list done."},
        {ProgressBar2, "File progress", "How far the current file has been processed."},
    };
    for (const Text& t : texts) {
        t.control->setAccessibleName(QString::fromLatin1(t.name));
        t.control->setAccessibleDescription(QString::fromLatin1(t.description));
    }
}

// The services, the pickers and the program folder: the environment's where it gives them.
void Form1::chooseServices() {
    m_qtServices = std::make_unique<QtWindowServices>(this, ProgressBar1, ProgressBar2);
    m_ws = m_env.services ? m_env.services : m_qtServices.get();
    m_picker.useOr<QtFolderPicker>(m_env.folderPicker);
    m_filePicker.useOr<QtFilePicker>(m_env.filePicker);
    m_programFolder = m_env.programFolder.isEmpty()
                          ? QDir::toNativeSeparators(QCoreApplication::applicationDirPath())
                          : m_env.programFolder;
}

void Form1::createParts() {
    m_options = std::make_unique<OptionsPanel>(
        OptionControls{Combo1, Option1, Option2, Check1, Option3, Option4, Frame5, Text1,
                       PushButton10, ListView2, PushButton5, PushButton6},
        m_settings, *m_ws, *m_picker, this);
    m_dragging = std::make_unique<ListDragging>(ListView1, *m_files, *m_ws, m_programFolder);
    // Qt asks the filter installed last first: made after the dragging, the pointer scheme sees a
    // move over the file list before the dragging uses it up.
    m_pointers = std::make_unique<PointerScheme>(*m_ws);
    trackPointer();
}

// The hand over the push buttons, the arrow over the background, the frames, the folder box and
// the lists. Over the other controls it stays as it was.
void Form1::trackPointer() {
    setMouseTracking(true);
    for (QPushButton* b : {PushButton1, PushButton2, PushButton3, PushButton5, PushButton6,
                           PushButton7, PushButton8, PushButton9, PushButton10, PushButton11})
        m_pointers->track(b, Pointer::Hand);
    for (QWidget* w : {static_cast<QWidget*>(Frame1), static_cast<QWidget*>(Frame2),
                       static_cast<QWidget*>(Frame3), static_cast<QWidget*>(Frame5),
                       static_cast<QWidget*>(Frame6), static_cast<QWidget*>(Text1),
                       static_cast<QWidget*>(ListView1), static_cast<QWidget*>(ListView2)})
        m_pointers->track(w, Pointer::Arrow);
    m_pointers->track(ListView1->viewport(), Pointer::Arrow);
    m_pointers->track(ListView2->viewport(), Pointer::Arrow);
}

// The buttons of the file list and the keyword list. The options panel and the file list's
// mouse handling connect their own.
void Form1::connectHandlers() {
    connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(ListView2, &QAbstractItemView::doubleClicked, this, [this] { ListView2_DblClick(); });
    ListView2->installEventFilter(this);  // for the Delete key
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });
    connect(PushButton8, &QPushButton::clicked, this, [this] { PushButton8_Click(); });
    connect(PushButton9, &QPushButton::clicked, this, [this] { PushButton9_Click(); });
    connect(PushButton11, &QPushButton::clicked, this, [this] { PushButton11_Click(); });
}

// ---- start-up and shut-down ----

void Form1::Form_Load() {
    Guard g(*m_ws, loc::Form_Load);
    // No skin component exists here, so the window keeps its plain white look.
    g.step(100, [&] { setWindowTitle(QString::fromLatin1(kProductTitle)); });
    g.step(102, [&] { setWindowIcon(QIcon(QStringLiteral(":/varnobis/varnobis.png"))); });
    g.step(104, [&] {
        m_qtServices->setApplicationTitle(ApplicationTitle(QString::fromLatin1(kProductTitle)));
    });

    const QString handFile = m_programFolder + QDir::separator() + QStringLiteral("HAND-M.CUR");
    if (g.test(106, [&] { return PathExists(handFile); })) {
        g.step(108, [&] {
            m_hand = LoadPointerImage(handFile);
            m_qtServices->setHandCursor(m_hand);
        });
    }

    if (g.test(110, [&] {
            return (m_env.drawOneToHundred ? m_env.drawOneToHundred() : timeSeededDraw()) == 7;
        })) {
        g.step(112, [&] {
            const QString page = m_env.webPage.value_or(QStringLiteral(VARNOBIS_WEB_PAGE));
            if (page.isEmpty())
                return;
            if (m_env.openWebPage)
                m_env.openWebPage(page);
            else
                OpenUrl(page);
        });
    }

    g.step(114, [&] { ListView1->setHeaderLabels({QStringLiteral("File(s)")}); });
    g.step(116, [&] { ListView1->setColumnWidth(0, px(7000)); });
    g.step(118, [&] {
        m_keywords.setHeaderData(0, Qt::Horizontal, QStringLiteral("Keyword(s) To Remove"));
    });
    g.step(120, [&] { ListView2->setColumnWidth(0, px(6500)); });

    g.step(122, [&] { m_options->listModes(); });

    g.step(124, [&] {
        for (const QString& k : KeywordsFromStoredForm(m_settings.value(setting::Keywords)))
            m_keywords.append(k);
    });

    g.step(126, [&] { m_options->restoreMode(); });
    g.step(128, [&] { m_options->restoreOption(1); });
    g.step(130, [&] { m_options->restoreOption(2); });
    g.step(132, [&] { m_options->restoreOption(4); });
    g.step(134, [&] { m_options->restoreOption(3); });
    g.step(136, [&] { m_options->enableFolderBox(); });
    g.step(138, [&] { m_options->restoreCheck1(); });
    g.step(140, [&] { m_options->restoreOutputFolder(); });

    g.step(142, [&] {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    });
    g.step(144, [&] { show(); });
}

void Form1::closeEvent(QCloseEvent* event) {
    // A close request is never refused, not even during a run.
    event->accept();
    if (m_closed)
        return;
    m_closed = true;
    Form_QueryUnload();
}

void Form1::Form_QueryUnload() {
    Guard g(*m_ws, loc::Form_QueryUnload);
    g.step(100, [&] {
        // The store reports a refused write once per program run, with a warning that choices
        // "will not be remembered". Here the list is being lost as the program ends, so a refusal
        // is a failure of this step, told each time, whatever was told before.
        QString refused;
        setSettingsWriteFailureHandler([&refused](const QString& d) { refused = d; });
        const auto restore = qScopeGuard([this] { installSettingsWarning(); });
        const QString stored = KeywordsToStoredForm(m_keywords.entries());
        m_settings.setValue(setting::Keywords, stored);
        if (!refused.isEmpty())
            throw Failure(refused);
        // A store that was already found unusable at start-up refuses in silence.
        if (m_settings.value(setting::Keywords, stored + QChar(1)) != stored)
            throw Failure(QStringLiteral("The keyword list could not be saved in \"%1\".")
                              .arg(QDir::toNativeSeparators(settingsFilePath())));
    });
    g.step(102, [&] { QCoreApplication::processEvents(); });
    // A run that is yielding when the window closes stops at its next yield; the application
    // ends once the last window is gone.
    g.step(104, [&] {
        m_ws->requestQuit();
        m_qtServices->requestQuit();
    });
}

// ---- the options panel ----

run::RemoveMode Form1::mode() const {
    return run::RemoveMode(m_options->mode());
}
bool Form1::ignoreCase() const {
    return m_options->ignoreCase();
}
bool Form1::leaveBlankLine() const {
    return m_options->leaveBlankLine();
}
bool Form1::saveToFolder() const {
    return m_options->saveToFolder();
}
QString Form1::outputFolder() const {
    return m_options->outputFolder();
}

// ---- the file list ----

void Form1::PushButton1_Click() {
    Guard g(*m_ws, loc::PushButton1_Click);
    QStringList chosen;
    g.step(100, [&] {
        chosen = m_filePicker->OpenFiles(
            this, QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"));
    });
    // The dialog here hands back full paths with no limit on the selection's size, so there is
    // no "too many files" case to report.
    if (g.test(102, [&] { return chosen.isEmpty(); }))
        return;
    g.step(104, [&] { filelist::appendChosenFiles(*m_files, chosen); });
}

void Form1::PushButton3_Click() {
    filelist::AddFolderHost host{*m_ws, *m_files, m_settings,
                                 [this](const QString& prompt, const QString& start) {
                                     return m_picker->BrowseForFolder(this, prompt, start);
                                 }};
    filelist::PushButton3_Click(host);
}

void Form1::PushButton7_Click() {
    filelist::PushButton7_Click(*m_ws, *m_files);
}

void Form1::PushButton8_Click() {
    filelist::PushButton8_Click(*m_ws, *m_files, m_programFolder, [this](const QString& folder) {
        if (m_env.openFolder) {
            m_env.openFolder(folder);
            return;
        }
        // Whether the file manager came up is the desktop's business; the samples are listed
        // either way.
        try {
            OpenFolder(folder);
        } catch (const Failure&) {
        }
    });
}

void Form1::PushButton9_Click() {
    filelist::PushButton9_Click(*m_ws, *m_files);
}

void Form1::PushButton11_Click() {
    filelist::PushButton11_Click(*m_ws, *m_files);
}

// ---- Start Removing ----

void Form1::PushButton2_Click() {
    // Files the run passes over for a reason worth telling are named in one message at its end.
    run::SkippedFilesReport skipped(*m_ws);
    run::InputBoxPrompts prompts(*m_ws);
    run::RunHost host{*m_ws, *this, m_keywords, *m_files, *this, m_settings, prompts, &skipped};
    run::startRemoving(host);
}

// ---- the keyword list ----

void Form1::PushButton6_Click() {
    Guard g(*m_ws, loc::PushButton6_Click);
    QString answer;
    g.step(100, [&] {
        answer = m_ws->inputBox(QStringLiteral("Enter keyword: "), QStringLiteral("Input Keyword"),
                                QString());
    });
    // A cancelled box answers the empty text, so it adds nothing either.
    if (g.test(102, [&] { return IsBlankKeyword(answer); }))
        return;
    g.step(104, [&] { m_keywords.append(answer); });
}

void Form1::PushButton5_Click() {
    Guard g(*m_ws, loc::PushButton5_Click);
    g.step(100, [&] { m_keywords.clear(); });
}

void Form1::ListView2_DblClick() {
    removeSelectedKeyword();
}

void Form1::ListView2_KeyDown(int key) {
    if (key == Qt::Key_Delete)
        removeSelectedKeyword();
}

// A run reads the list between its yields, so removals wait until it is done; adding and
// clearing do not look at the busy pointer.
void Form1::removeSelectedKeyword() {
    if (m_ws->isBusy())
        return;
    if (m_keywords.count() == 0)
        return;
    const QModelIndexList selected = ListView2->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    m_keywords.removeAt(selected.first().row());
}

// ---- the pointer and the Delete key ----

void Form1::mouseMoveEvent(QMouseEvent* event) {
    m_pointers->hover(Pointer::Arrow);
    QWidget::mouseMoveEvent(event);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched == ListView2)
        ListView2_KeyDown(static_cast<QKeyEvent*>(event)->key());
    return QWidget::eventFilter(watched, event);
}

}  // namespace vn
