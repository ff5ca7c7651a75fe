#include "studio/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "platform/file_system.h"
#include "studio/child_frame.h"
#include "studio/file_tree.h"
#include "studio/gui_support.h"
#include "studio/output_bar.h"
#include "studio/ssp_view.h"
#include "studio/studio_app.h"
#include "studio/studio_dialogs.h"

namespace {

constexpr int kMsgModifiedWhileDebugging = 160;
constexpr int kNoProfileValue = -10;
constexpr const char* kSaveFilter =
    "Tarnwick Server Files (.twp;.tws;.html;.css;.sql;.txt) (*.twp *.tws *.html *.css *.sql *.txt);;"
    "All Files (*.*) (*)";

std::string TrimmedRoot(std::string root)
{
    root = std::string(TrimWhiteAscii(root));
    if (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// The installation folder that a Files root lies in, told apart by what the root holds: the root
// itself when it holds a web root folder, else the parent of the nearest folder named "webroot"
// on the root's path (the root itself or one above it); empty when there is none.
std::string InstallFolderOfRoot(const std::string& root)
{
    if (DirectoryExists(root + "/webroot"))
        return root;
    for (std::size_t end = root.size(); end > 0;) {
        const std::size_t slash = root.rfind('/', end - 1);
        if (slash == std::string::npos)
            break;
        if (root.compare(slash + 1, end - slash - 1, "webroot") == 0)
            return slash == 0 ? std::string("/") : root.substr(0, slash);
        end = slash;
    }
    return {};
}

// The data-source file of an installation; empty when it has none.
QByteArray OdbcIniOf(const std::string& installDir)
{
    QFile file(ToQt(installDir + "/etc/odbc.ini"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent), m_target(std::make_shared<CQueuedTarget>(this)), m_ownInstallDir(GetProgramDirectory())
{
    setWindowTitle(kStudioTitle);
    setAcceptDrops(true);
    m_filesPane = new CFilesPane(this);
    m_mdi = new QMdiArea(this);
    m_mdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_outputBar = new COutputBar(this);
    m_topSplitter = new QSplitter(Qt::Horizontal);
    m_topSplitter->addWidget(m_filesPane);
    m_topSplitter->addWidget(m_mdi);
    m_topSplitter->setStretchFactor(1, 1);
    m_bottomSplitter = new QSplitter(Qt::Vertical, this);
    m_bottomSplitter->addWidget(m_topSplitter);
    m_bottomSplitter->addWidget(m_outputBar);
    m_bottomSplitter->setStretchFactor(0, 1);
    setCentralWidget(m_bottomSplitter);

    CreateCommands();
    CreateToolBar();
    m_positionIndicator = WithId(new QLabel(this), 59142);
    // "Ready" is the message pane's idle text, not a passing message: a status tip or a search's
    // progress covers it for a while, and it shows again when they are cleared.
    statusBar()->addWidget(new QLabel(QString::fromLatin1(kIdleMessage), this), 1);
    statusBar()->addPermanentWidget(m_positionIndicator);

    ReadProfile();
    m_outputBar->SetPaneFont(m_font);
    m_outputBar->SetPaneColors(TextColor(), BackgroundColor());
    m_outputBar->SetPaneTabStops(m_tabStops);
    SetRootAndFilter(m_rootPath, m_fileFilter);
    m_startInstallDir = m_installDir;

    connect(m_filesPane->Tree(), &CFileTree::FileChosen, this, [this](const QString& path) {
        if (!OpenDocumentFile(FromQt(path), false))
            ShowMessage(this, QString::fromLatin1(kCannotLoad));
    });
    connect(m_outputBar->FindResults(), &CFindResultList::HitChosen, this, &CMainFrame::OnOpenHit);
    connect(m_outputBar->FindResults(), &CFindResultList::SearchProgress, this,
            [this](int searched, const QString& folder) {
                statusBar()->showMessage(
                    QStringLiteral("Find in Files: %1 file(s) searched, now in %2").arg(searched).arg(folder));
            });
    connect(m_outputBar->FindResults(), &CFindResultList::SearchEnded, this, [this] {
        statusBar()->clearMessage();
        UpdateCommands();
    });
    connect(m_outputBar->Variables(), &CVariableList::EditRequested, this, &CMainFrame::OnEditWatch);
    connect(m_mdi, &QMdiArea::subWindowActivated, this, [this] {
        UpdateFrameTitle();
        UpdateCommands();
        if (CSspView* view = ActiveView())
            m_positionIndicator->setText(view->PositionText());
        else
            m_positionIndicator->clear();
    });

    // From now on the log shows in the Debug pane and the debugger reports to this window.
    std::shared_ptr<CQueuedTarget> target = m_target;
    TheLog().SetCallbackMode([target, this](std::string_view entry) {
        target->Post([this, text = QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size()))] {
            m_outputBar->DebugPane()->AppendText(text);
        });
    });
    TheDebugger().SetWindow(this);
    m_filesPane->Tree()->setFocus();

    // Command states follow the debugger, whose changes come from other threads.
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &CMainFrame::UpdateCommands);
    timer->start(200);
    UpdateCommands();
}

CMainFrame::~CMainFrame()
{
    Shutdown();
    // The panes and editors go while this is still a whole frame: their last signals reach it.
    disconnect(m_mdi, nullptr, this, nullptr);
    delete centralWidget();
}

void CMainFrame::Shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (!TheDebugger().IsIdle())
        TheDebugger().Stop(false);
    SaveProfile();
    TheDebugger().SetWindow(nullptr);
    m_target->Detach();
    TheLog().SetFileMode(m_installDir + "/webroot");
}

QColor CMainFrame::TextColor() const
{
    return ColorFromIndex(m_textColor, true);
}

QColor CMainFrame::BackgroundColor() const
{
    return ColorFromIndex(m_backgroundColor, false);
}

CFileTree* CMainFrame::FileTree() const
{
    return m_filesPane->Tree();
}

CChildFrame* CMainFrame::ActiveChild() const
{
    QMdiSubWindow* window = m_mdi->activeSubWindow();
    if (window == nullptr && !m_mdi->subWindowList().isEmpty())
        window = m_mdi->currentSubWindow();
    return window != nullptr ? qobject_cast<CChildFrame*>(window->widget()) : nullptr;
}

CSspView* CMainFrame::ActiveView() const
{
    CChildFrame* child = ActiveChild();
    return child != nullptr ? child->View() : nullptr;
}

void CMainFrame::ReadProfile()
{
    QSettings profile;
    profile.beginGroup(QStringLiteral("Settings"));
    TheDebugger().SetPort(FromQt(profile.value(QStringLiteral("DebuggerIpPort"), CDebugger::kDefaultPort).toString()));
    const int ssl = profile.value(QStringLiteral("DebuggerIsSSL"), 0).toInt();
    TheDebugger().SetSsl(ssl == 1 ? 1 : 0);
    m_fileFilter = FromQt(profile.value(QStringLiteral("FileFilter"), kDefaultFilter).toString());
    m_rootPath = FromQt(profile.value(QStringLiteral("RootPath7"), "").toString());
    m_textColor = profile.value(QStringLiteral("TextColor"), 16).toInt();
    m_backgroundColor = profile.value(QStringLiteral("BkColor"), 16).toInt();
    m_tabStops = profile.value(QStringLiteral("TabStops"), 4).toInt();
    profile.endGroup();
    if (m_textColor < 0 || m_textColor > 16)
        m_textColor = 16;
    if (m_backgroundColor < 0 || m_backgroundColor > 16)
        m_backgroundColor = 16;
    // A root that is no folder (any more) gives way to the installation's own.
    m_rootPath = TrimmedRoot(m_rootPath);
    if (m_rootPath.empty() || !DirectoryExists(m_rootPath))
        m_rootPath = m_ownInstallDir;

    profile.beginGroup(QStringLiteral("Font"));
    m_logFont.height = profile.value(QStringLiteral("Height"), 0).toInt();
    if (m_logFont.height != 0) {
        m_logFont.weight = profile.value(QStringLiteral("Weight"), 0).toInt();
        m_logFont.italic = profile.value(QStringLiteral("Italic"), 0).toInt();
        m_logFont.underline = profile.value(QStringLiteral("Underline"), 0).toInt();
        m_logFont.pitchAndFamily = profile.value(QStringLiteral("PitchAndFamily"), 0).toInt();
        m_logFont.charSet = profile.value(QStringLiteral("CharSet"), 1).toInt();
        m_logFont.faceName = FromQt(profile.value(QStringLiteral("FaceName"), "System").toString().left(kMaxFaceName));
    }
    profile.endGroup();
    if (m_logFont.height == 0) {
        m_font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    } else {
        m_font = QFont(ToQt(m_logFont.faceName));
        m_font.setPixelSize(std::abs(m_logFont.height));
        if (m_logFont.weight > 0)
            m_font.setWeight(static_cast<QFont::Weight>(std::clamp(m_logFont.weight, 1, 1000)));
        m_font.setItalic(m_logFont.italic != 0);
        m_font.setUnderline(m_logFont.underline != 0);
        if ((m_logFont.pitchAndFamily & 3) == 1)
            m_font.setStyleHint(QFont::Monospace);
    }

    profile.beginGroup(QStringLiteral("Window Placement"));
    const int x = profile.value(QStringLiteral("MAINWIN_X"), kNoProfileValue).toInt();
    const int y = profile.value(QStringLiteral("MAINWIN_Y"), kNoProfileValue).toInt();
    const int w = profile.value(QStringLiteral("MAINWIN_W"), kNoProfileValue).toInt();
    const int h = profile.value(QStringLiteral("MAINWIN_H"), kNoProfileValue).toInt();
    m_leftPaneX = profile.value(QStringLiteral("LEFTPANE_W"), kNoProfileValue).toInt();
    m_bottomPaneHeight = profile.value(QStringLiteral("BOTTOMPANE_H"), kNoProfileValue).toInt();
    m_outputBar->SetColumnWidths(profile.value(QStringLiteral("VAR_NAME_W"), kNoProfileValue).toInt(),
                                 profile.value(QStringLiteral("VAR_VALUE_W"), kNoProfileValue).toInt());
    profile.endGroup();
    const QRect desktop =
        QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->virtualGeometry() : QRect(0, 0, 1024, 768);
    if (x >= -9 && y >= -9 && w > 100 && h > 80 && x < desktop.right() && y < desktop.bottom())
        setGeometry(x, y, w, h);
    else
        resize(std::min(1024, desktop.width()), std::min(768, desktop.height()));
    UpdateRecentFiles();
}

void CMainFrame::SaveProfile()
{
    QSettings profile;
    if (!isMinimized() && !isMaximized()) {
        profile.beginGroup(QStringLiteral("Window Placement"));
        const QRect frame = geometry();
        profile.setValue(QStringLiteral("MAINWIN_X"), frame.x());
        profile.setValue(QStringLiteral("MAINWIN_Y"), frame.y());
        profile.setValue(QStringLiteral("MAINWIN_W"), frame.width());
        profile.setValue(QStringLiteral("MAINWIN_H"), frame.height());
        if (m_paneSizesApplied) {
            profile.setValue(QStringLiteral("LEFTPANE_W"), m_topSplitter->sizes().value(0));
            profile.setValue(QStringLiteral("BOTTOMPANE_H"), m_bottomSplitter->sizes().value(1));
        }
        profile.setValue(QStringLiteral("VAR_NAME_W"), m_outputBar->Variables()->columnWidth(0));
        profile.setValue(QStringLiteral("VAR_VALUE_W"), m_outputBar->Variables()->columnWidth(1));
        profile.endGroup();
    }
    if (m_logFont.height != 0) {
        profile.beginGroup(QStringLiteral("Font"));
        profile.setValue(QStringLiteral("Height"), m_logFont.height);
        profile.setValue(QStringLiteral("Weight"), m_logFont.weight);
        profile.setValue(QStringLiteral("Italic"), m_logFont.italic);
        profile.setValue(QStringLiteral("Underline"), m_logFont.underline);
        profile.setValue(QStringLiteral("PitchAndFamily"), m_logFont.pitchAndFamily);
        profile.setValue(QStringLiteral("CharSet"), m_logFont.charSet);
        profile.setValue(QStringLiteral("FaceName"), ToQt(m_logFont.faceName));
        profile.endGroup();
    }
    profile.beginGroup(QStringLiteral("Settings"));
    profile.setValue(QStringLiteral("TabStops"), m_tabStops);
    if (m_textColor >= 0 && m_textColor <= 16)
        profile.setValue(QStringLiteral("TextColor"), m_textColor);
    if (m_backgroundColor >= 0 && m_backgroundColor <= 16)
        profile.setValue(QStringLiteral("BkColor"), m_backgroundColor);
    profile.setValue(QStringLiteral("RootPath7"), ToQt(m_rootPath));
    profile.setValue(QStringLiteral("FileFilter"), ToQt(m_fileFilter));
    profile.setValue(QStringLiteral("DebuggerIpPort"), ToQt(TheDebugger().GetPort()));
    profile.setValue(QStringLiteral("DebuggerIsSSL"), TheDebugger().GetSsl());
    profile.endGroup();
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_paneSizesApplied)
        ApplyPaneSizes();
}

void CMainFrame::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // The window is active again: a dialog or message box has closed, or the user came back from
    // another window, either of which may have taken a release or a Leave meant for a tool button.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        ResetToolButtons();
}

void CMainFrame::ApplyPaneSizes()
{
    m_paneSizesApplied = true;
    const int width = m_topSplitter->width() > 0 ? m_topSplitter->width() : centralWidget()->width();
    const int height = m_bottomSplitter->height();
    int x = m_leftPaneX;
    if (x < 10 || x > width - 10)
        x = width / 3;
    int bottom = m_bottomPaneHeight;
    if (bottom < 0 || bottom > height - 60)
        bottom = height / 3;
    m_topSplitter->setSizes({x, std::max(0, width - x)});
    m_bottomSplitter->setSizes({std::max(0, height - bottom), bottom});
}

bool CMainFrame::SetRootAndFilter(const std::string& root, const std::string& filter)
{
    m_rootPath = TrimmedRoot(root);
    if (m_rootPath.empty())
        m_rootPath = m_ownInstallDir;
    CFileTree* tree = m_filesPane->Tree();
    tree->SetFilter(filter.empty() ? std::string(kDefaultFilter) : filter);
    tree->Fill(m_rootPath);
    m_fileFilter = tree->GetFilter();
    return UseRootInstallation();
}

bool CMainFrame::UseRootInstallation()
{
    std::string install = InstallFolderOfRoot(m_rootPath);
    if (install.empty())
        install = m_ownInstallDir;
    if (install == m_installDir)
        return true;
    // A session under way keeps the folders it started with.
    if (!TheDebugger().IsIdle())
        return false;
    CStudioApp::UseInstallation(install);
    m_installDir = install;
    return true;
}

bool CMainFrame::KeepsStartDataSources() const
{
    return m_installDir != m_startInstallDir && OdbcIniOf(m_installDir) != OdbcIniOf(m_startInstallDir);
}

QMdiSubWindow* CMainFrame::FindSubWindow(const std::string& path) const
{
    for (QMdiSubWindow* window : m_mdi->subWindowList()) {
        auto* child = qobject_cast<CChildFrame*>(window->widget());
        if (child != nullptr && !path.empty() && child->Path() == path)
            return window;
    }
    return nullptr;
}

CChildFrame* CMainFrame::NewDocument()
{
    auto* child = new CChildFrame(this, ++m_newNumber);
    AddChild(child);
    return child;
}

void CMainFrame::AddChild(CChildFrame* child)
{
    const bool maximized = m_mdi->activeSubWindow() != nullptr && m_mdi->activeSubWindow()->isMaximized();
    QMdiSubWindow* window = m_mdi->addSubWindow(child);
    window->setAttribute(Qt::WA_DeleteOnClose);
    child->UpdateTitle();
    connect(child->View(), &QPlainTextEdit::cursorPositionChanged, this, [this, child] {
        if (ActiveChild() == child)
            m_positionIndicator->setText(child->View()->PositionText());
    });
    // A new editor takes most of the area, or all of it when the editors are maximised; it opens
    // one step down the cascade from the editors before it, inside the area with its title bar.
    const QSize area = m_mdi->viewport()->size();
    const QSize size(std::min(area.width(), std::max(300, area.width() * 3 / 4)),
                     std::min(area.height(), std::max(200, area.height() * 3 / 4)));
    window->setGeometry(QRect(CascadePosition(static_cast<int>(m_mdi->subWindowList().size()) - 1, size), size));
    if (maximized)
        window->showMaximized();
    else
        window->show();
    m_mdi->setActiveSubWindow(window);
}

CChildFrame* CMainFrame::OpenDocumentFile(const std::string& path, bool reportFailure)
{
    if (QMdiSubWindow* window = FindSubWindow(path)) {
        m_mdi->setActiveSubWindow(window);
        return qobject_cast<CChildFrame*>(window->widget());
    }
    auto child = std::make_unique<CChildFrame>(this, 0);
    std::string error;
    if (!child->Load(path, error)) {
        if (reportFailure)
            ShowMessage(this, ToQt(path + ": " + error));
        return nullptr;
    }
    CChildFrame* opened = child.release();
    AddChild(opened);
    AddRecentFile(path);
    return opened;
}

bool CMainFrame::SaveDocument(CChildFrame* child, bool saveAs)
{
    if (child == nullptr)
        return false;
    std::string path = child->Path();
    if (saveAs || path.empty()) {
        QFileDialog dialog(this, QStringLiteral("Save As"), ToQt(path.empty() ? m_rootPath : path),
                           QString::fromLatin1(kSaveFilter));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("twp"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return false;
        path = FromQt(dialog.selectedFiles().front());
    }
    CWaitCursor wait;
    std::string error;
    if (!child->SaveAs(path, error)) {
        if (!error.empty())
            ShowMessage(this, ToQt(path + ": " + error));
        return false;
    }
    AddRecentFile(path);
    UpdateFrameTitle();
    return true;
}

bool CMainFrame::SaveAllModified()
{
    for (QMdiSubWindow* window : m_mdi->subWindowList()) {
        auto* child = qobject_cast<CChildFrame*>(window->widget());
        if (child != nullptr && !child->QuerySave())
            return false;
    }
    return true;
}

void CMainFrame::UpdateFrameTitle()
{
    QMdiSubWindow* window = m_mdi->activeSubWindow();
    CChildFrame* child = ActiveChild();
    if (child == nullptr) {
        setWindowTitle(kStudioTitle);
        return;
    }
    child->UpdateTitle();
    const QString title = window != nullptr && !window->isMaximized() ? child->Title() : child->windowTitle();
    setWindowTitle(QString::fromLatin1(kStudioTitle) + QStringLiteral(" - ") + title);
}

void CMainFrame::PostRunStarted()
{
    // Nothing to show: the run's news come with its pause or its end.
}

void CMainFrame::PostPaused(int line, std::string path)
{
    m_target->Post([this, line, path = std::move(path)] { OnDebuggerPaused(line, path); });
}

void CMainFrame::PostPauseEnded()
{
    // The margins draw the current-line arrow only while paused; without a repaint the arrow
    // would stay until the editor happened to repaint.
    m_target->Post([this] {
        RepaintMargins();
        UpdateCommands();
    });
}

void CMainFrame::PostRunEnded()
{
    // The watches showed values of the run that has gone; asked again, they say that no run is
    // paused (or show the values of one that paused meanwhile).
    m_target->Post([this] { m_outputBar->RefreshWatches(); });
}

void CMainFrame::PostRunError(int offset, std::string path)
{
    m_target->Post([this, offset, path = std::move(path)] { OnDebuggerError(offset, path); });
}

void CMainFrame::PostOutputLine(std::string text)
{
    m_target->Post([this, text = ToQt(text)] { m_outputBar->RequestPane()->AppendText(text); });
}

void CMainFrame::OnDebuggerPaused(int line, const std::string& path)
{
    show();
    raise();
    activateWindow();
    if (!path.empty()) {
        if (CChildFrame* child = OpenDocumentFile(path)) {
            child->View()->SelectLine(line - 1);
            child->Margin()->update();
            if (child->IsModified()) {
                TheLog().WriteText(CMessageCatalog::Text(kMsgModifiedWhileDebugging));
                m_outputBar->SelectTab(COutputBar::kDebugTab);
            }
        }
    }
    m_outputBar->RefreshWatches();
    UpdateCommands();
}

void CMainFrame::OnDebuggerError(int offset, const std::string& path)
{
    if (!path.empty()) {
        m_outputBar->SelectTab(COutputBar::kDebugTab);
        CChildFrame* child = OpenDocumentFile(path, false);
        if (child == nullptr) {
            ShowMessage(this, ToQt("Failed to open " + path));
            return;
        }
        child->GoToFileOffset(offset);
        child->Margin()->update();
    }
    UpdateCommands();
}

void CMainFrame::AddRecentFile(const std::string& path)
{
    QSettings profile;
    QStringList files;
    for (int i = 1; i <= kRecentFiles; ++i) {
        const QString file = profile.value(QStringLiteral("Recent File List/File%1").arg(i)).toString();
        if (!file.isEmpty() && file != ToQt(path))
            files << file;
    }
    files.prepend(ToQt(path));
    for (int i = 1; i <= kRecentFiles; ++i)
        profile.setValue(QStringLiteral("Recent File List/File%1").arg(i), files.value(i - 1));
    UpdateRecentFiles();
}

void CMainFrame::UpdateRecentFiles()
{
    if (m_recentMenu == nullptr)
        return;
    m_recentMenu->clear();
    QSettings profile;
    for (int i = 1; i <= kRecentFiles; ++i) {
        const QString file = profile.value(QStringLiteral("Recent File List/File%1").arg(i)).toString();
        if (file.isEmpty())
            continue;
        QAction* action = m_recentMenu->addAction(QStringLiteral("&%1 %2").arg(i).arg(file));
        action->setObjectName(ControlName(kCmdRecentFile + i - 1));
        connect(action, &QAction::triggered, this, [this, file] {
            if (!OpenDocumentFile(FromQt(file), false))
                ShowMessage(this, QString::fromLatin1(kCannotLoad));
        });
    }
    m_recentMenu->setEnabled(!m_recentMenu->isEmpty());
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    m_mdi->closeAllSubWindows();
    if (!m_mdi->subWindowList().isEmpty()) {
        event->ignore();
        return;
    }
    Shutdown();
    event->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile() && !OpenDocumentFile(FromQt(url.toLocalFile()), false))
            ShowMessage(this, QString::fromLatin1(kCannotLoad));
    }
}
