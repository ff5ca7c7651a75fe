// The commands of the main frame: menus, tool bar and keys, their enabling, and what each does.
#include "studio/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include "foundation/ascii_text.h"
#include "foundation/server_config.h"
#include "platform/file_system.h"
#include "studio/browse_page.h"
#include "studio/child_frame.h"
#include "studio/file_tree.h"
#include "studio/gui_support.h"
#include "studio/output_bar.h"
#include "studio/ssp_view.h"
#include "studio/studio_dialogs.h"

namespace {

constexpr const char* kOpenFilter =
    "Tarnwick Server Files (.twp;.tws;.css;.html) (*.twp *.tws *.css *.html);;All Files (*.*) (*)";

// A 16x16 icon that shows a short sign, for commands the icon theme has no picture for.
QIcon SignIcon(const QString& sign)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setPixelSize(sign.size() > 1 ? 9 : 12);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QApplication::palette().color(QPalette::ButtonText));
    painter.drawText(pixmap.rect(), Qt::AlignCenter, sign);
    return QIcon(pixmap);
}

// Templates and scripts take breakpoints; so does a new file that has no name yet, where F9 tells
// the developer to save it first.
bool TakesBreakpoints(const CSspDoc* document)
{
    const std::string extension = document->GetExtension();
    return extension == "twp" || extension == "tws" || document->GetPath().empty();
}

}  // namespace

QAction* CMainFrame::Command(int id) const
{
    auto found = m_commands.find(id);
    return found == m_commands.end() ? nullptr : found->second;
}

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const QString& text, const QList<QKeySequence>& keys)
{
    // Menus show each command's keys themselves; the tool bar shows its name without the marks.
    const QString name = text.section(u'\t', 0, 0);
    auto* action = new QAction(name, this);
    action->setIconText(QString(name).remove(u'&').remove(QStringLiteral("...")));
    action->setToolTip(action->iconText());
    action->setObjectName(ControlName(id));
    if (!keys.isEmpty())
        action->setShortcuts(keys);
    if (menu != nullptr)
        menu->addAction(action);
    else
        addAction(action);
    m_commands[id] = action;
    return action;
}

void CMainFrame::CreateCommands()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    connect(AddCommand(file, kCmdNew, QStringLiteral("&New\tCtrl+N"), {QKeySequence(Qt::CTRL | Qt::Key_N)}),
            &QAction::triggered, this, [this] { NewDocument(); });
    connect(AddCommand(file, kCmdOpen, QStringLiteral("&Open...\tCtrl+O"), {QKeySequence(Qt::CTRL | Qt::Key_O)}),
            &QAction::triggered, this, &CMainFrame::OnFileOpen);
    connect(AddCommand(file, kCmdClose, QStringLiteral("&Close")), &QAction::triggered, this,
            [this] { m_mdi->closeActiveSubWindow(); });
    // The saving commands tell of a failure themselves; their result only tells a caller that
    // goes on after saving (closing, debugging) whether it may, and a menu command goes nowhere.
    connect(AddCommand(file, kCmdSave, QStringLiteral("&Save\tCtrl+S"), {QKeySequence(Qt::CTRL | Qt::Key_S)}),
            &QAction::triggered, this, [this] { static_cast<void>(SaveDocument(ActiveChild(), false)); });
    connect(AddCommand(file, kCmdSaveAs, QStringLiteral("Save &As...")), &QAction::triggered, this,
            [this] { static_cast<void>(SaveDocument(ActiveChild(), true)); });
    connect(AddCommand(file, kCmdSaveAll, QStringLiteral("Save A&ll")), &QAction::triggered, this,
            [this] { static_cast<void>(SaveAllModified()); });
    file->addSeparator();
    connect(AddCommand(file, kCmdPrint, QStringLiteral("&Print...\tCtrl+P"), {QKeySequence(Qt::CTRL | Qt::Key_P)}),
            &QAction::triggered, this, [this] { OnPrint(kCmdPrint); });
    connect(AddCommand(file, kCmdPrintPreview, QStringLiteral("Print Pre&view")), &QAction::triggered, this,
            [this] { OnPrint(kCmdPrintPreview); });
    connect(AddCommand(file, kCmdPrintSetup, QStringLiteral("P&rint Setup...")), &QAction::triggered, this,
            [this] { OnPrint(kCmdPrintSetup); });
    file->addSeparator();
    m_recentMenu = file->addMenu(QStringLiteral("Recent &Files"));
    file->addSeparator();
    connect(AddCommand(file, kCmdExit, QStringLiteral("E&xit")), &QAction::triggered, this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    connect(AddCommand(edit, kCmdUndo, QStringLiteral("&Undo\tCtrl+Z"),
                       {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->undo();
            });
    edit->addSeparator();
    connect(AddCommand(edit, kCmdCut, QStringLiteral("Cu&t\tCtrl+X"),
                       {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->cut();
            });
    connect(AddCommand(edit, kCmdCopy, QStringLiteral("&Copy\tCtrl+C"),
                       {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->copy();
            });
    connect(AddCommand(edit, kCmdPaste, QStringLiteral("&Paste\tCtrl+V"),
                       {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->paste();
            });
    edit->addSeparator();
    connect(AddCommand(edit, kCmdFind, QStringLiteral("&Find...\tCtrl+F"), {QKeySequence(Qt::CTRL | Qt::Key_F)}),
            &QAction::triggered, this, [this] { OnFind(false); });
    connect(AddCommand(edit, kCmdFindAgain, QStringLiteral("Find &Again\tF3"), {QKeySequence(Qt::Key_F3)}),
            &QAction::triggered, this, [this] { OnFind(true); });
    connect(AddCommand(edit, kCmdReplace, QStringLiteral("R&eplace...\tCtrl+H"), {QKeySequence(Qt::CTRL | Qt::Key_H)}),
            &QAction::triggered, this, &CMainFrame::OnReplace);
    connect(AddCommand(edit, kCmdFindInFiles, QStringLiteral("Find &in Files...")), &QAction::triggered, this,
            &CMainFrame::OnFindInFiles);
    connect(AddCommand(edit, kCmdStopFind, QStringLiteral("&Stop Find in Files")), &QAction::triggered, this,
            [this] { m_outputBar->FindResults()->RequestStop(); });
    edit->addSeparator();
    connect(AddCommand(edit, kCmdGotoOffset, QStringLiteral("Goto File &Offset...")), &QAction::triggered, this,
            &CMainFrame::OnGotoOffset);
    connect(AddCommand(edit, kCmdUpperCase, QStringLiteral("Make Selection &Upper Case\tCtrl+U"),
                       {QKeySequence(Qt::CTRL | Qt::Key_U)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->ChangeCase(true);
            });
    connect(AddCommand(edit, kCmdLowerCase, QStringLiteral("Make Selection &Lower Case\tCtrl+L"),
                       {QKeySequence(Qt::CTRL | Qt::Key_L)}),
            &QAction::triggered, this, [this] {
                if (CSspView* view = ActiveView())
                    view->ChangeCase(false);
            });

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    connect(AddCommand(view, kCmdRootFilter, QStringLiteral("Set Files &Root && Filter...")), &QAction::triggered, this,
            &CMainFrame::OnRootFilter);
    connect(AddCommand(view, kCmdFont, QStringLiteral("Set &Font...")), &QAction::triggered, this, &CMainFrame::OnFont);
    connect(AddCommand(view, kCmdTabStops, QStringLiteral("Set &Tab Stops...")), &QAction::triggered, this,
            &CMainFrame::OnTabStops);
    connect(AddCommand(view, kCmdColor, QStringLiteral("Set &Color...")), &QAction::triggered, this,
            &CMainFrame::OnColor);
    connect(AddCommand(view, kCmdDebuggerOptions, QStringLiteral("Set &Debugger Options...")), &QAction::triggered,
            this, &CMainFrame::OnDebuggerOptions);
    view->addSeparator();
    connect(AddCommand(view, kCmdNextPane, QStringLiteral("Next &Pane\tF6"), {QKeySequence(Qt::Key_F6)}),
            &QAction::triggered, this, [this] { OnNextPane(true); });
    connect(
        AddCommand(nullptr, kCmdPreviousPane, QStringLiteral("Previous Pane"), {QKeySequence(Qt::SHIFT | Qt::Key_F6)}),
        &QAction::triggered, this, [this] { OnNextPane(false); });
    connect(AddCommand(view, kCmdNextWindow, QStringLiteral("Next &Window/Tab\tCtrl+Tab"),
                       {QKeySequence(Qt::CTRL | Qt::Key_Tab)}),
            &QAction::triggered, this, &CMainFrame::OnNextWindow);

    QMenu* debug = menuBar()->addMenu(QStringLiteral("&Debug"));
    connect(AddCommand(debug, kCmdGo, QStringLiteral("&Start/Continue\tF5"), {QKeySequence(Qt::Key_F5)}),
            &QAction::triggered, this, &CMainFrame::OnDebugGo);
    connect(AddCommand(debug, kCmdSingleStep, QStringLiteral("Single S&tep\tF10"), {QKeySequence(Qt::Key_F10)}),
            &QAction::triggered, this, &CMainFrame::OnSingleStep);
    connect(
        AddCommand(debug, kCmdStepOut, QStringLiteral("Step &Out\tShift-F11"), {QKeySequence(Qt::SHIFT | Qt::Key_F11)}),
        &QAction::triggered, this, &CMainFrame::OnStepOut);
    connect(AddCommand(debug, kCmdBreak, QStringLiteral("&Break")), &QAction::triggered, this,
            [] { TheDebugger().Break(); });
    connect(AddCommand(debug, kCmdStop, QStringLiteral("Sto&p\tShift+F5"), {QKeySequence(Qt::SHIFT | Qt::Key_F5)}),
            &QAction::triggered, this, [this] {
                TheDebugger().Stop(true);
                UpdateCommands();
            });
    debug->addSeparator();
    connect(AddCommand(debug, kCmdToggleBreakpoint, QStringLiteral("Insert/Remove Breakpoint\tF9"),
                       {QKeySequence(Qt::Key_F9)}),
            &QAction::triggered, this, &CMainFrame::OnToggleBreakpoint);
    connect(AddCommand(debug, kCmdBreakpoints, QStringLiteral("Break&points...")), &QAction::triggered, this,
            &CMainFrame::OnBreakpoints);
    debug->addSeparator();
    connect(AddCommand(debug, kCmdQuickWatch, QStringLiteral("Quick &Watch...")), &QAction::triggered, this,
            &CMainFrame::OnQuickWatch);
    connect(AddCommand(debug, kCmdAddWatch, QStringLiteral("Add to &Variable Window...")), &QAction::triggered, this,
            &CMainFrame::OnAddWatch);
    connect(AddCommand(debug, kCmdRemoveWatch, QStringLiteral("&Remove Selected Variable")), &QAction::triggered, this,
            [this] { m_outputBar->RemoveWatch(); });
    connect(AddCommand(debug, kCmdEditWatch, QStringLiteral("&Edit Variable Name...")), &QAction::triggered, this,
            &CMainFrame::OnEditWatch);

    QMenu* window = menuBar()->addMenu(QStringLiteral("&Window"));
    connect(AddCommand(window, kCmdCascade, QStringLiteral("&Cascade")), &QAction::triggered, this,
            &CMainFrame::Cascade);
    connect(AddCommand(window, kCmdTileHorizontally, QStringLiteral("Tile &Horizontally")), &QAction::triggered, this,
            [this] { Tile(Qt::Vertical); });
    connect(AddCommand(window, kCmdTileVertically, QStringLiteral("Tile &Vertically")), &QAction::triggered, this,
            [this] { Tile(Qt::Horizontal); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    connect(AddCommand(help, kCmdAbout, QStringLiteral("&About Tarnwick Studio...")), &QAction::triggered, this,
            [this] {
                CAboutDlg about(this);
                about.exec();
            });

    connect(AddCommand(nullptr, kCmdBrowse, QStringLiteral("Browse")), &QAction::triggered, this,
            &CMainFrame::OnBrowse);
    // Keys of the frame work wherever the focus is inside it.
    for (auto& [id, action] : m_commands)
        action->setShortcutContext(Qt::WindowShortcut);
}

void CMainFrame::CreateToolBar()
{
    QToolBar* bar = addToolBar(QStringLiteral("Standard"));
    bar->setObjectName(ControlName(128));
    bar->setIconSize(QSize(16, 16));
    QStyle* style = QApplication::style();
    const std::pair<int, QStyle::StandardPixmap> styleIcons[] = {
        {kCmdNew, QStyle::SP_FileIcon},
        {kCmdOpen, QStyle::SP_DialogOpenButton},
        {kCmdSave, QStyle::SP_DialogSaveButton},
        {kCmdGo, QStyle::SP_MediaPlay},
        {kCmdBreak, QStyle::SP_MediaPause},
        {kCmdStop, QStyle::SP_MediaStop},
        {kCmdSingleStep, QStyle::SP_ArrowDown},
        {kCmdStepOut, QStyle::SP_ArrowUp},
        {kCmdBrowse, QStyle::SP_DriveNetIcon},
        {kCmdUndo, QStyle::SP_ArrowBack},
        {kCmdFindInFiles, QStyle::SP_FileDialogContentsView},
        {kCmdStopFind, QStyle::SP_BrowserStop},
    };
    for (const auto& [id, pixmap] : styleIcons)
        Command(id)->setIcon(style->standardIcon(pixmap));
    // The rest from the desktop's icon theme, else a small drawn sign.
    const std::tuple<int, const char*, const char*> themeIcons[] = {
        {kCmdSaveAll, "document-save-all", "S*"},
        {kCmdPrint, "document-print", "P"},
        {kCmdCut, "edit-cut", "X"},
        {kCmdCopy, "edit-copy", "C"},
        {kCmdPaste, "edit-paste", "V"},
        {kCmdFind, "edit-find", "F"},
        {kCmdFindAgain, "go-next", "F3"},
        {kCmdCascade, "window-duplicate", "[]"},
        {kCmdTileHorizontally, "view-split-top-bottom", "="},
        {kCmdTileVertically, "view-split-left-right", "||"},
    };
    for (const auto& [id, theme, sign] : themeIcons)
        Command(id)->setIcon(QIcon::fromTheme(QString::fromLatin1(theme), SignIcon(QString::fromLatin1(sign))));
    QPixmap breakpoint(16, 16);
    breakpoint.fill(Qt::transparent);
    QPainter painter(&breakpoint);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(127, 0, 0));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(2, 2, 12, 12);
    painter.end();
    Command(kCmdToggleBreakpoint)->setIcon(QIcon(breakpoint));
    const int groups[][6] = {
        {kCmdNew, kCmdOpen, kCmdSave, kCmdSaveAll, kCmdPrint, 0},
        {kCmdUndo, kCmdCut, kCmdCopy, kCmdPaste, 0, 0},
        {kCmdFind, kCmdFindAgain, kCmdFindInFiles, kCmdStopFind, 0, 0},
        {kCmdToggleBreakpoint, kCmdSingleStep, kCmdStepOut, kCmdGo, kCmdBreak, kCmdStop},
        {kCmdCascade, kCmdTileHorizontally, kCmdTileVertically, 0, 0, 0},
        {kCmdBrowse, 0, 0, 0, 0, 0},
    };
    bool first = true;
    for (const auto& group : groups) {
        if (!first)
            bar->addSeparator();
        first = false;
        for (int id : group)
            if (id != 0)
                bar->addAction(Command(id));
    }
    // Queued, so that it runs once the button has finished its click and the command its dialogs.
    connect(bar, &QToolBar::actionTriggered, this, &CMainFrame::ResetToolButtons, Qt::QueuedConnection);
}

void CMainFrame::ResetToolButtons()
{
    const bool mouseHeld = QGuiApplication::mouseButtons() != Qt::NoButton;
    const QPoint pointer = QCursor::pos();
    for (QToolBar* bar : findChildren<QToolBar*>()) {
        for (QToolButton* button : bar->findChildren<QToolButton*>()) {
            if (button->isDown() && !mouseHeld)
                button->setDown(false);
            if (button->underMouse() && !button->rect().contains(button->mapFromGlobal(pointer))) {
                QEvent leave(QEvent::Leave);
                QApplication::sendEvent(button, &leave);
                button->update();
            }
        }
    }
}

void CMainFrame::UpdateCommands()
{
    CDebugger& debugger = TheDebugger();
    CSspView* view = ActiveView();
    const std::string extension = view != nullptr ? view->Document()->GetExtension() : "";
    const bool searching = m_outputBar->FindResults()->IsSearching();
    const auto enable = [this](int id, bool on) {
        if (QAction* action = Command(id))
            action->setEnabled(on);
    };
    enable(kCmdGo, !debugger.IsRunning());
    enable(kCmdStop, !debugger.IsIdle());
    enable(kCmdBreak, debugger.HasRunningEngine());
    enable(kCmdQuickWatch, debugger.IsPaused());
    enable(kCmdFindInFiles, !searching);
    enable(kCmdStopFind, searching);
    enable(kCmdBrowse, !debugger.IsIdle());
    enable(kCmdSingleStep, view != nullptr && (extension == "tws" ? !debugger.IsRunning() : debugger.IsPaused()));
    enable(kCmdStepOut, view != nullptr && debugger.IsPausedInCall());
    enable(kCmdToggleBreakpoint, view != nullptr && TakesBreakpoints(view->Document()));
    for (int id : {kCmdSaveAll, kCmdSave, kCmdSaveAs, kCmdClose, kCmdPrint, kCmdPrintPreview, kCmdUndo, kCmdCut,
                   kCmdCopy, kCmdPaste, kCmdFind, kCmdFindAgain, kCmdReplace, kCmdGotoOffset, kCmdUpperCase,
                   kCmdLowerCase, kCmdCascade, kCmdTileHorizontally, kCmdTileVertically})
        enable(id, view != nullptr);
}

bool CMainFrame::PrepareDebugStart()
{
    if (!SaveAllModified())
        return false;
    // A Files root chosen while the last session ran applies now.
    UseRootInstallation();
    m_outputBar->DebugPane()->Clear();
    m_outputBar->RequestPane()->Clear();
    m_outputBar->SelectTab(COutputBar::kDebugTab);
    return true;
}

void CMainFrame::OnDebugGo()
{
    CDebugger& debugger = TheDebugger();
    if (debugger.IsIdle() && !PrepareDebugStart())
        return;
    CSspView* view = ActiveView();
    const bool script = view != nullptr && view->Document()->GetExtension() == "tws";
    debugger.Go(script ? view->Document()->GetPath() : "");
    UpdateCommands();
}

void CMainFrame::OnSingleStep()
{
    CSspView* view = ActiveView();
    if (view == nullptr)
        return;
    CDebugger& debugger = TheDebugger();
    if (debugger.IsIdle() && !PrepareDebugStart())
        return;
    debugger.SingleStep(view->Document()->GetPath());
    UpdateCommands();
}

void CMainFrame::OnStepOut()
{
    if (TheDebugger().IsPausedInCall())
        TheDebugger().StepOut();
    UpdateCommands();
}

void CMainFrame::OnToggleBreakpoint()
{
    if (CChildFrame* child = ActiveChild(); child != nullptr && TakesBreakpoints(&child->Document()))
        child->OnToggleBreakpoint();
}

void CMainFrame::BroadcastHint(int hint)
{
    for (QMdiSubWindow* window : m_mdi->subWindowList()) {
        if (auto* child = qobject_cast<CChildFrame*>(window->widget()))
            child->View()->OnUpdate(hint);
    }
    RepaintMargins();
}

void CMainFrame::RepaintMargins()
{
    for (QMdiSubWindow* window : m_mdi->subWindowList()) {
        if (auto* child = qobject_cast<CChildFrame*>(window->widget()))
            child->Margin()->update();
    }
}

void CMainFrame::OnBreakpoints()
{
    CBreakpointsDlg dialog(TheDebugger().GetBreakpointList(), this);
    dialog.exec();
    switch (dialog.ResultCode()) {
    case CBreakpointsDlg::kGoTo: {
        const std::string& entry = dialog.SelectedEntry();
        const std::size_t mark = entry.rfind('?');
        const std::string path = entry.substr(0, mark);
        if (path.empty())
            break;
        if (CChildFrame* child = OpenDocumentFile(path))
            child->View()->SelectLine(mark == std::string::npos ? 0 : std::atoi(entry.c_str() + mark + 1) - 1);
        break;
    }
    case CBreakpointsDlg::kClearAll:
        TheDebugger().ClearBreakpoints();
        BroadcastHint(CSspView::kHintRepaint);
        break;
    default: break;
    }
}

void CMainFrame::OnQuickWatch()
{
    CSspView* view = ActiveView();
    const QString name = view != nullptr ? view->GetWatchText() : QString();
    CQuickWatchDlg dialog(CQuickWatchDlg::kQuickWatch, name, QString(), this);
    dialog.exec();
}

void CMainFrame::OnAddWatch()
{
    CSspView* view = ActiveView();
    const QString selected = view != nullptr ? view->GetWatchText() : QString();
    if (!selected.isEmpty()) {
        m_outputBar->AddWatch(selected);
        return;
    }
    CAddWatchDlg dialog(this);
    if (dialog.exec() == QDialog::Accepted)
        m_outputBar->AddWatch(dialog.Name());
}

void CMainFrame::OnEditWatch()
{
    QString name;
    QString value;
    m_outputBar->GetSelectedWatch(name, value);
    if (name.isEmpty()) {
        ShowMessage(this, QString::fromLatin1(kSelectItemFirst));
        return;
    }
    CQuickWatchDlg dialog(CQuickWatchDlg::kEdit, name, value, this);
    if (dialog.exec() == QDialog::Accepted)
        m_outputBar->SetSelectedWatch(dialog.Name(), dialog.Value());
}

void CMainFrame::OnDebuggerOptions()
{
    CDebugger& debugger = TheDebugger();
    CDebuggerOptionsDlg dialog(debugger.GetPort(), debugger.GetSsl(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    debugger.SetPort(dialog.Port());
    debugger.SetSsl(dialog.Ssl());
}

void CMainFrame::OnFindInFiles()
{
    CFindResultList* results = m_outputBar->FindResults();
    if (results->IsSearching())
        return;
    CFindInFilesDlg dialog(m_findWhat, m_findTypes, m_findFolder, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_findWhat = dialog.What();
    m_findTypes = dialog.Types();
    m_findFolder = std::string(TrimWhiteAscii(dialog.Folder()));
    const std::string folder = m_findFolder.empty() ? m_rootPath : m_findFolder;
    if (results->StartFind(m_findWhat, m_findTypes, folder))
        m_outputBar->SelectTab(COutputBar::kFindTab);
    UpdateCommands();
}

void CMainFrame::OnOpenHit(const QString& path, int line)
{
    if (CChildFrame* child = OpenDocumentFile(FromQt(path)))
        child->View()->SelectLine(line - 1, m_outputBar->FindResults()->LastSearchText());
}

void CMainFrame::OnRootFilter()
{
    CRootFilterDlg dialog(m_rootPath, m_fileFilter, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (!SetRootAndFilter(dialog.Root(), dialog.Filter())) {
        ShowMessage(this,
                    ToQt("The debugger goes on running pages and scripts from " + m_installDir +
                         "/webroot until it is stopped. The new Files root applies when it starts again."),
                    QMessageBox::Information);
    } else if (KeepsStartDataSources()) {
        ShowMessage(this,
                    ToQt("Pages and scripts now run from " + m_installDir + "/webroot. The data sources of " +
                         m_installDir +
                         "/etc/odbc.ini apply when Tarnwick Studio is started again; until "
                         "then runs use those of " +
                         m_startInstallDir + "/etc/odbc.ini."),
                    QMessageBox::Information);
    }
}

void CMainFrame::OnFont()
{
    bool ok = false;
    const QFont chosen =
        QFontDialog::getFont(&ok, m_font, this, QStringLiteral("Font"), QFontDialog::DontUseNativeDialog);
    if (!ok)
        return;
    m_font = chosen;
    const QFontInfo info(chosen);
    m_logFont.height = -std::max(1, info.pixelSize());
    m_logFont.weight = chosen.weight();
    m_logFont.italic = chosen.italic() ? 1 : 0;
    m_logFont.underline = chosen.underline() ? 1 : 0;
    m_logFont.pitchAndFamily = info.fixedPitch() ? 1 : 2;
    m_logFont.faceName = FromQt(chosen.family().left(kMaxFaceName));
    BroadcastHint(CSspView::kHintFont);
    m_outputBar->SetPaneFont(m_font);
    m_outputBar->SetPaneTabStops(m_tabStops);
}

void CMainFrame::OnTabStops()
{
    CSetTabStops dialog(m_tabStops, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_tabStops = dialog.TabStops();
    BroadcastHint(CSspView::kHintTabStops);
    m_outputBar->SetPaneTabStops(m_tabStops);
}

void CMainFrame::OnColor()
{
    CSetColorDlg dialog(m_textColor, m_backgroundColor, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_textColor = dialog.TextIndex();
    m_backgroundColor = dialog.BackgroundIndex();
    BroadcastHint(CSspView::kHintColors);
    m_outputBar->SetPaneColors(TextColor(), BackgroundColor());
}

void CMainFrame::OnNextPane(bool forward)
{
    QWidget* focus = QApplication::focusWidget();
    CFileTree* tree = m_filesPane->Tree();
    const bool inTree = focus != nullptr && (focus == tree || tree->isAncestorOf(focus));
    const bool inOutput = focus != nullptr && m_outputBar->isAncestorOf(focus);
    QWidget* editor = ActiveView();
    QWidget* output = m_outputBar->currentWidget();
    QWidget* target;
    if (forward)
        target = inTree ? (editor ? editor : output) : inOutput ? static_cast<QWidget*>(tree) : output;
    else
        target = inTree ? output : inOutput ? (editor ? editor : static_cast<QWidget*>(tree)) : tree;
    target->setFocus();
}

void CMainFrame::OnNextWindow()
{
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && (focus == m_filesPane->Tree() || m_filesPane->isAncestorOf(focus)))
        return;
    if (focus != nullptr && m_outputBar->isAncestorOf(focus)) {
        m_outputBar->SelectTab((m_outputBar->currentIndex() + 1) % m_outputBar->count());
        return;
    }
    m_mdi->activateNextSubWindow();
}

void CMainFrame::OnBrowse()
{
    CDebugger& debugger = TheDebugger();
    const CServerConfig& config = TheServerConfig();
    const int listening = debugger.GetListenerPort();
    const std::string port = listening > 0 ? std::to_string(listening) : debugger.GetPort();
    const std::string address =
        BrowseAddress(debugger.GetSsl() == 1, port, config.m_fqdn, config.m_generalTcpipAddress);
    const std::string page = GetProgramDirectory() + "/webroot/browse.html";
    if (!WriteBrowsePage(page, address) || !QDesktopServices::openUrl(QUrl::fromLocalFile(ToQt(page)))) {
        ShowMessage(this, ToQt("Failed to launch web browser. Please install a web browser then retry.\n"
                               "If a web browser is installed, please run it then type in this address:\n" +
                               address));
    }
}

void CMainFrame::OnGotoOffset()
{
    CChildFrame* child = ActiveChild();
    if (child == nullptr)
        return;
    CGotoOffsetDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    child->GoToFileOffset(dialog.Offset());
}

void CMainFrame::OnFileOpen()
{
    QString start = ToQt(m_filesPane->Tree()->GetSelectedFolderPath());
    const std::string selected = m_filesPane->Tree()->GetSelectedFilePath();
    if (!selected.empty())
        start = ToQt(selected);
    QFileDialog dialog(this, QStringLiteral("Open"), start, QString::fromLatin1(kOpenFilter));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("twp"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    if (!OpenDocumentFile(FromQt(dialog.selectedFiles().front()), false))
        ShowMessage(this, QString::fromLatin1(kCannotLoad));
}

void CMainFrame::OnFind(bool again)
{
    CSspView* view = ActiveView();
    if (view == nullptr)
        return;
    if (!again || m_findText.isEmpty()) {
        const QString selected = view->textCursor().selectedText();
        CFindReplaceDlg dialog(false, selected.isEmpty() ? m_findText : selected, QString(), m_findMatchCase, this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        m_findText = dialog.Text();
        m_findMatchCase = dialog.MatchCase();
    }
    if (!view->FindNext(m_findText, m_findMatchCase))
        ShowMessage(this, QStringLiteral("Cannot find the string '%1'.").arg(m_findText), QMessageBox::Information);
}

void CMainFrame::OnReplace()
{
    CSspView* view = ActiveView();
    if (view == nullptr)
        return;
    CFindReplaceDlg dialog(true, m_findText, m_replaceText, m_findMatchCase, this);
    if (dialog.exec() != QDialog::Accepted || dialog.Text().isEmpty())
        return;
    m_findText = dialog.Text();
    m_replaceText = dialog.Replacement();
    m_findMatchCase = dialog.MatchCase();
    const Qt::CaseSensitivity sensitivity = m_findMatchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    if (!dialog.All()) {
        if (view->textCursor().selectedText().compare(m_findText, sensitivity) == 0)
            view->textCursor().insertText(m_replaceText);
        view->FindNext(m_findText, m_findMatchCase);
        return;
    }
    QTextCursor edit(view->document());
    edit.beginEditBlock();
    view->moveCursor(QTextCursor::Start);
    const QTextDocument::FindFlags flags =
        m_findMatchCase ? QTextDocument::FindCaseSensitively : QTextDocument::FindFlags();
    while (view->find(m_findText, flags))
        view->textCursor().insertText(m_replaceText);
    edit.endEditBlock();
}

void CMainFrame::OnPrint(int kind)
{
    static QPrinter printer(QPrinter::HighResolution);
    CSspView* view = ActiveView();
    if (kind == kCmdPrintSetup) {
        QPageSetupDialog dialog(&printer, this);
        dialog.exec();
        return;
    }
    if (view == nullptr)
        return;
    if (kind == kCmdPrintPreview) {
        QPrintPreviewDialog preview(&printer, this);
        connect(&preview, &QPrintPreviewDialog::paintRequested, view,
                [view](QPrinter* target) { view->print(target); });
        preview.exec();
        return;
    }
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() == QDialog::Accepted)
        view->print(&printer);
}

void CMainFrame::Tile(Qt::Orientation orientation)
{
    const QList<QMdiSubWindow*> windows = m_mdi->subWindowList();
    if (windows.isEmpty())
        return;
    const QRect area = m_mdi->viewport()->rect();
    const int count = static_cast<int>(windows.size());
    for (int i = 0; i < count; ++i) {
        QMdiSubWindow* window = windows[i];
        window->showNormal();
        if (orientation == Qt::Horizontal) {
            const int width = area.width() / count;
            window->setGeometry(i * width, 0, width, area.height());
        } else {
            const int height = area.height() / count;
            window->setGeometry(0, i * height, area.width(), height);
        }
    }
}

QPoint CMainFrame::CascadePosition(int index, QSize size) const
{
    const QRect area = m_mdi->viewport()->rect();
    const int step = CascadeStep();
    const int room = std::max(0, std::min(area.width() - size.width(), area.height() - size.height()));
    const int offset = (std::max(0, index) % (room / step + 1)) * step;
    return area.topLeft() + QPoint(offset, offset);
}

int CMainFrame::CascadeStep() const
{
    // One title bar, so that every title of the cascade shows.
    return std::max(20, m_mdi->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, m_mdi));
}

void CMainFrame::Cascade()
{
    QList<QMdiSubWindow*> windows;
    for (QMdiSubWindow* window : m_mdi->subWindowList(QMdiArea::StackingOrder))
        if (!window->isMinimized())
            windows << window;
    if (windows.isEmpty())
        return;
    const QSize area = m_mdi->viewport()->size();
    const int shift = static_cast<int>(windows.size() - 1) * CascadeStep();
    // As large as the cascade lets them be, but never below two thirds of the area.
    const QSize size(std::max(area.width() - shift, area.width() * 2 / 3),
                     std::max(area.height() - shift, area.height() * 2 / 3));
    for (int i = 0; i < windows.size(); ++i) {
        windows[i]->showNormal();
        windows[i]->setGeometry(QRect(CascadePosition(i, size), size));
    }
}
