#include "console/interactive_console.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/database_setup.h"
#include "console/gui_database_setup.h"
#include "console/gui_support.h"
#include "console/main_frame.h"
#include "console/server_view.h"
#include "foundation/log.h"
#include "foundation/ssp_date_time.h"
#include "platform/file_system.h"
#include "platform/named_objects.h"

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

QtMessageHandler g_qtMessageHandler = nullptr;

// Qt aborts the program when it can't reach the window system (a stale DISPLAY, a display that
// refuses the connection). While the application object is made, its fatal message ends the
// program with the usage and exit code 2 instead; the messages before it still go out.
void EndWhenDisplayFails(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        if (g_qtMessageHandler)
            g_qtMessageHandler(type, context, message);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
        return;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        display = std::getenv("WAYLAND_DISPLAY");
    std::fprintf(stderr, "twConsole cannot open the display \"%s\" for its window.\n%s", display ? display : "",
                 CConsoleApp::kUsage);
    std::fflush(stderr);
    std::_Exit(2);
}

// The application object, made while a display that can't be opened ends the program cleanly.
std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv)
{
    g_qtMessageHandler = qInstallMessageHandler(EndWhenDisplayFails);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_qtMessageHandler);
    SetMessageTitle(CConsoleApp::kTitle);
    return application;
}

}  // namespace

CInstanceBeacon::CInstanceBeacon(std::string path, QObject* parent) : QObject(parent), m_path(std::move(path))
{}

CInstanceBeacon::~CInstanceBeacon()
{
    if (m_fd >= 0) {
        close(m_fd);
        unlink(m_path.c_str());
    }
}

bool CInstanceBeacon::Listen()
{
    sockaddr_un address;
    if (!MakeAddress(m_path, address))
        return false;
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return false;
    unlink(m_path.c_str());
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(m_fd, 4) != 0) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CInstanceBeacon::Accept);
    return true;
}

void CInstanceBeacon::Accept()
{
    const int peer = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
        return;
    close(peer);
    emit raiseRequested();
}

bool CInstanceBeacon::Signal(const std::string& path)
{
    sockaddr_un address;
    if (!MakeAddress(path, address))
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool reached = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return reached;
}

int RunInteractiveConsole(int argc, char** argv)
{
    const std::unique_ptr<QApplication> application = MakeApplication(argc, argv);
    // Qt takes the user's locale for everything; numbers and times stay those of "C", and the
    // user's date and time conventions are read on their own.
    std::setlocale(LC_NUMERIC, "C");
    std::setlocale(LC_TIME, "C");
    InitUserLocaleDateTime();
    // Every log line of the console is shown to the administrator. A line written by a console
    // command's thread is shown by the window's thread, the only one that may open a window.
    TheLog().SetCallbackMode([](std::string_view entry) {
        QCoreApplication* program = QCoreApplication::instance();
        QMetaObject::invokeMethod(
            program, [text = std::string(entry)] { ShowMessage(nullptr, text); },
            QThread::currentThread() == program->thread() ? Qt::DirectConnection : Qt::QueuedConnection);
    });

    CConsoleApp console;
    if (!console.LoadSettings()) {
        ShowMessage(nullptr, "Failed to load settings.");
        return 0;
    }

    const std::string tmpFolder = console.InstallDir() + "/tmp";
    const std::string beaconPath = tmpFolder + "/" + CConsoleApp::kSingleInstanceName + ".sock";
    if (!CreateDirectoryIfMissing(tmpFolder)) {
        ShowMessage(nullptr, GetSystemErrorText(errno) + " when creating " + tmpFolder);
        return 0;
    }
    CSingleInstanceLock single;
    switch (single.Acquire(tmpFolder, CConsoleApp::kSingleInstanceName)) {
    case CSingleInstanceLock::kAcquired: break;
    case CSingleInstanceLock::kHeldElsewhere:
        if (!CInstanceBeacon::Signal(beaconPath))
            ShowMessage(nullptr, "Tarnwick Console is already running, but its window did not come forward.");
        return 0;
    case CSingleInstanceLock::kFailed:
        ShowMessage(nullptr, CSingleInstanceLock::DescribeFailure(tmpFolder, CConsoleApp::kSingleInstanceName, errno));
        return 0;
    }

    // The server's data source must open and hold the settings table before anything else.
    CDatabaseSetup& setup = TheDatabaseSetup();
    setup.DetectSchemaVersion();
    CConsoleConfig& config = console.Config();
    std::string connect = config.m_dbOdbcConnectString;
    CGuiDatabaseSetupUi ui(setup, nullptr);
    if (!setup.CheckDataSource(connect, ui)) {
        ShowMessage(nullptr, CConsoleMessages::DataSourceMissing, QMessageBox::Information);
        return 0;
    }
    if (connect != config.m_dbOdbcConnectString) {
        config.m_dbOdbcConnectString = connect;
        // A failure is logged, and every log line of the console is shown in a message box.
        static_cast<void>(config.SaveConnectString());
    }

    CMainFrame frame(console);
    CInstanceBeacon beacon(beaconPath);
    QObject::connect(&beacon, &CInstanceBeacon::raiseRequested, &frame, [&frame] {
        frame.setWindowState((frame.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        frame.show();
        frame.raise();
        frame.activateWindow();
    });
    // Without the beacon a later start cannot bring this window forward, and says so itself.
    static_cast<void>(beacon.Listen());
    frame.RestorePosition();
    frame.show();
    frame.View()->OnInitialUpdate();
    frame.FitColumnsUnlessPlaced();
    // Settings that were never saved are asked for at once.
    if (config.m_generalOrganizationName.empty())
        QTimer::singleShot(0, frame.View(), &CServerView::OnSettings);
    return application->exec();
}
