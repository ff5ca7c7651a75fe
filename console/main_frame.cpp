#include "console/main_frame.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include "console/console_app.h"
#include "console/gui_support.h"
#include "console/server_view.h"

namespace {

enum CommandId
{
    kStart = 32781,
    kStop = 32782,
    kSettings = 32783,
    kViewLogFiles = 32784,
    kRefresh = 32785,
    kRunNow = 32787,
    kBrowse = 32788,
    kServerType = 32789,
    kRequests = 32798,
    kCreateDataSource = 32799,
    kExit = 57665,
    kAbout = 57664,
};

}  // namespace

CMainFrame::CMainFrame(CConsoleApp& app, QWidget* parent) : QMainWindow(parent), m_app(app)
{
    setWindowTitle(CConsoleApp::kTitle);
    m_view = new CServerView(app, this);
    setCentralWidget(m_view);

    QMenu* server = menuBar()->addMenu("&Server");
    AddCommand(server, kStart, "&Start", "Start Server");
    AddCommand(server, kStop, "S&top...", "Stop Server");
    AddCommand(server, kBrowse, "&Browse", "Launch a browser to browse this server");
    AddCommand(server, kSettings, "S&ettings...",
               "Settings including enabled components, ODBC connection, email account, etc.");
    server->addSeparator();
    AddCommand(server, kExit, "E&xit", "Quit the application");
    QMenu* tools = menuBar()->addMenu("&Tools");
    AddCommand(tools, kViewLogFiles, "&View Log Files...", "View Log File");
    AddCommand(tools, kRefresh, "&Refresh", "Refresh the status of all running components and connections");
    AddCommand(tools, kRunNow, "Run &Now...", "Run selected component now");
    AddCommand(tools, kRequests, "Current &HTTP Requests...", "Show current HTTP requests");
    AddCommand(tools, kCreateDataSource, "Create &Data Source...", "Create data source");
    QMenu* help = menuBar()->addMenu("&Help");
    AddCommand(help, kAbout, "&About twConsole...", "Display program information, version number and copyright");

    connect(Command(kStart), &QAction::triggered, m_view, &CServerView::OnStart);
    connect(Command(kStop), &QAction::triggered, m_view, &CServerView::OnStop);
    connect(Command(kBrowse), &QAction::triggered, m_view, &CServerView::OnBrowse);
    connect(Command(kExit), &QAction::triggered, this, &QWidget::close);
    connect(Command(kViewLogFiles), &QAction::triggered, m_view, &CServerView::OnViewLogFiles);
    connect(Command(kRefresh), &QAction::triggered, m_view, &CServerView::Refresh);
    connect(Command(kRunNow), &QAction::triggered, m_view, &CServerView::OnRunNow);
    connect(Command(kRequests), &QAction::triggered, m_view, &CServerView::OnRequests);
    connect(Command(kSettings), &QAction::triggered, m_view, &CServerView::OnSettings);
    connect(Command(kCreateDataSource), &QAction::triggered, m_view, &CServerView::OnCreateDataSource);
    connect(Command(kAbout), &QAction::triggered, this, [this] {
        QMessageBox::about(this, "About twConsole",
                           "Tarnwick Console, version 3\n\nThe administration program of Tarnwick Server.");
    });
    connect(m_view, &CServerView::runningChanged, this, &CMainFrame::EnableCommands);
    connect(m_view, &CServerView::waitingChanged, this, &CMainFrame::ShowWaiting);

    QToolBar* bar = addToolBar("Standard");
    bar->setObjectName("ToolBar128");
    bar->setMovable(false);
    const std::pair<int, QStyle::StandardPixmap> tools_[] = {
        {kStart, QStyle::SP_MediaPlay},
        {kStop, QStyle::SP_MediaStop},
        {kSettings, QStyle::SP_FileDialogDetailedView},
        {kRefresh, QStyle::SP_BrowserReload},
        {kRunNow, QStyle::SP_MediaSeekForward},
        {kBrowse, QStyle::SP_DirHomeIcon},
        {kAbout, QStyle::SP_MessageBoxQuestion},
    };
    for (const auto& [id, icon] : tools_) {
        Command(id)->setIcon(style()->standardIcon(icon));
        bar->addAction(Command(id));
    }

    m_serverType = WithId(new QLabel(this), kServerType);
    statusBar()->addPermanentWidget(m_serverType);
    UpdateServerType();
    EnableCommands(false);
    resize(720, 360);
}

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt)
{
    auto* action = WithId(new QAction(text, this), id);
    action->setStatusTip(prompt);
    action->setToolTip(prompt);
    menu->addAction(action);
    return action;
}

QAction* CMainFrame::Command(int id) const
{
    return findChild<QAction*>(ControlName(id));
}

void CMainFrame::EnableCommands(bool running)
{
    // A refresh follows every command, the settings sheet's change of the run mode included.
    UpdateServerType();
    // While the view waits for the server, the commands that would ask it again or change its
    // state wait too; only Stop stays, which gives up a command the server does not answer.
    const bool idle = !m_view->IsWaiting();
    Command(kStart)->setEnabled(idle && !running);
    Command(kStop)->setEnabled(running && !m_view->IsControlling());
    for (int id : {kRunNow, kRequests})
        Command(id)->setEnabled(idle && running);
    Command(kBrowse)->setEnabled(running);
    for (int id : {kRefresh, kSettings})
        Command(id)->setEnabled(idle);
}

void CMainFrame::ShowWaiting(bool waiting)
{
    if (waiting)
        statusBar()->showMessage(ToQt(m_view->WaitingText()));
    else
        statusBar()->clearMessage();
    EnableCommands(m_view->IsRunning());
}

void CMainFrame::UpdateServerType()
{
    m_serverType->setText(m_app.GetServiceMode() ? "System Service (systemd)" : "Normal App");
}

void CMainFrame::RestorePosition()
{
    QSettings profile("Morvale", CConsoleApp::kTitle);
    profile.beginGroup("Main Window Position");
    const int x = profile.value("X", -10).toInt();
    const int y = profile.value("Y", -10).toInt();
    const int width = profile.value("W", -10).toInt();
    const int height = profile.value("H", -10).toInt();
    profile.endGroup();
    const QRect desktop = QApplication::primaryScreen()->virtualGeometry();
    if (x >= -9 && y >= -9 && width > 100 && height > 80 && x < desktop.right() && y < desktop.bottom()) {
        resize(width, height);
        move(x, y);
        m_placed = true;
    }
}

void CMainFrame::FitColumnsUnlessPlaced()
{
    if (m_placed)
        return;
    // The columns, the view's frame and a vertical scroll bar, and whatever the window puts
    // beside its content.
    const int needed = m_view->header()->length() + 2 * m_view->frameWidth() +
                       m_view->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + (width() - m_view->width());
    const QScreen* screen = this->screen() ? this->screen() : QApplication::primaryScreen();
    const int limit = screen->availableGeometry().width();
    if (needed > width())
        resize(std::min(needed, limit), height());
}

void CMainFrame::SavePosition()
{
    // A minimised or maximised window keeps the last normal position stored.
    if (isMinimized() || isMaximized())
        return;
    QSettings profile("Morvale", CConsoleApp::kTitle);
    profile.beginGroup("Main Window Position");
    profile.setValue("X", x());
    profile.setValue("Y", y());
    profile.setValue("W", width());
    profile.setValue("H", height());
    profile.endGroup();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    SavePosition();
    m_view->SaveColumnWidths();
    QMainWindow::closeEvent(event);
}
