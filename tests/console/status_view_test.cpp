// The main window and its status view against the real twServer of a temporary installation:
// rows built from the settings while it is stopped and asked from the server while it runs, the
// commands and their checks, the requests dialog, and what the window keeps in the profile.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>

#include "console/command_client.h"
#include "console/console_app.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/host_lookup.h"
#include "console/interactive_console.h"
#include "console/main_frame.h"
#include "console/report_list.h"
#include "console/requests_dialog.h"
#include "console/server_view.h"
#include "foundation/task_entry.h"
#include "platform/named_objects.h"
#include "tests/console/console_test_support.h"
#include "tests/console/gui_test_support.h"
#include "tests/network/net_test_support.h"
#include "tests/support/silent_server.h"
#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;

std::string Cell(const CListCtrlEx& list, int row, int column)
{
    return list.CellText(row, column).toStdString();
}
std::string Cell(const CListCtrlEx* list, int row, int column)
{
    return Cell(*list, row, column);
}

class StatusViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The console launches the server into its own installation.
        setenv("TW_INSTALL_DIR", m_install.Path().c_str(), 1);
        m_console.SetServerProgramPath(CServerProcess::ProgramPath());
        m_console.SetPollInterval(200ms);
    }
    void TearDown() override
    {
        // A server that ends between the two calls needs no stop.
        if (CStopEvent::Exists(m_install.StopEventPath()))
            static_cast<void>(CStopEvent::Set(m_install.StopEventPath()));
    }
    void Load(const std::string& settings)
    {
        m_install.WriteSettings(settings);
        ASSERT_TRUE(m_console.LoadSettings());
    }
    // Starts the server and points the console's settings at the port it took.
    void StartServer()
    {
        ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
        const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
        ASSERT_FALSE(ports.empty()) << m_server.Output();
        m_config.m_generalTcpipPort = std::to_string(*ports.begin());
        ASSERT_TRUE(WaitFor([this] { return m_console.IsServerRunning(); }));
    }

    // Saves the settings, starts the server with them and shows its rows in a new view.
    std::unique_ptr<CServerView> ShowRunningServer()
    {
        EXPECT_EQ(m_config.Save(), 1);
        StartServer();
        auto view = std::make_unique<CServerView>(m_console);
        view->Refresh();
        EXPECT_TRUE(ProcessEventsUntil([&view] { return !view->IsWaiting(); }));
        return view;
    }
    // Asks the dialog's server again after every answer until `shown` holds for its list.
    static bool RefreshUntil(CRequestsDlg& dialog, const std::function<bool(const CListCtrlEx&)>& shown)
    {
        const auto* list = dialog.findChild<CListCtrlEx*>("id1121");
        return ProcessEventsUntil([&] {
            if (dialog.IsWaiting())
                return false;
            if (shown(*list))
                return true;
            dialog.Refresh();
            return false;
        });
    }

    CServerInstall m_install;
    TempFolder m_tools{"tw-console-tools"};
    CFakeSystemctl m_systemctl{m_tools.Path()};
    CConsoleConfig m_config{m_install.Path() + "/etc/settings.conf", m_install.Path()};
    CConsoleApp m_console{m_config, m_install.Path()};
    CServerProcess m_server;
};

TEST_F(StatusViewTest, AStoppedServerIsShownFromTheSettings)
{
    Load("GeneralTcpipPort=80\nFQDN=www.example.org\nEmSmtpServer=smtp.example.org\n");
    m_config.GetTask(2)->SetEnabled(true);
    CServerView view(m_console);
    view.Refresh();
    EXPECT_FALSE(view.IsRunning());
    ASSERT_EQ(view.topLevelItemCount(), 8);
    EXPECT_EQ(Cell(view, 0, 1), "Web Server");
    EXPECT_EQ(Cell(view, 0, 2), "http://www.example.org");
    EXPECT_EQ(Cell(view, 0, 3), "Stopped");
    EXPECT_EQ(Cell(view, 1, 2), "https://www.example.org");
    EXPECT_EQ(Cell(view, 1, 3), "Disabled") << "no certificate is selected";
    EXPECT_EQ(Cell(view, 2, 1), "Email Sender");
    EXPECT_EQ(Cell(view, 2, 2), "Send via smtp.example.org every 10 minute(s)");
    EXPECT_EQ(Cell(view, 4, 3), "Stopped") << "an enabled task of a stopped server";
    EXPECT_EQ(Cell(view, 7, 0), "7");
    EXPECT_EQ(view.RowData(7), 7) << "the item data is the line's own number";
    EXPECT_EQ(view.SelectedRow(), 0);

    m_config.m_generalTcpipPort = "080";
    m_config.m_generalSslPort = "8443";
    m_config.m_securityCertName = "www.example.org";
    view.Refresh();
    EXPECT_EQ(Cell(view, 0, 2), "http://www.example.org:080");
    EXPECT_EQ(Cell(view, 1, 2), "https://www.example.org:8443");
    EXPECT_EQ(Cell(view, 1, 3), "Stopped");
}

TEST_F(StatusViewTest, RunNowChecksTheRowBeforeItAsksTheServer)
{
    Load("");
    m_config.GetTask(2)->SetEnabled(true);
    CModalAnswerer answers;
    const auto shown = ShowRunningServer();
    CServerView& view = *shown;
    ASSERT_TRUE(view.IsRunning());
    ASSERT_GE(view.topLevelItemCount(), 8) << "the rows came from the server";
    EXPECT_EQ(Cell(view, 0, 1), "Web Server");
    EXPECT_EQ(Cell(view, 2, 3), "Disabled");
    EXPECT_NE(Cell(view, 4, 3), "Stopped") << "the running server shows the next run";

    view.SelectRow(1);
    view.OnRunNow();
    EXPECT_EQ(answers.LastMessage(), "Please select a task other than the web server.");
    view.SelectRow(2);
    view.OnRunNow();
    EXPECT_EQ(answers.LastMessage(), "The task you selected is disabled.");
    // The default task's script is not installed: the server says so instead of running it.
    const std::string script = m_install.Path() + "/webroot/script/dueRem.tws";
    view.SelectRow(4);
    view.OnRunNow();
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }));
    EXPECT_EQ(answers.LastMessage(),
              "Deadline Reminder did not run:\nThe script " + script + " of Deadline Reminder does not exist.");
    m_install.WriteFile("webroot/script/dueRem.tws", "log 'reminded';");
    view.OnRunNow();
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }));
    EXPECT_EQ(answers.LastMessage(),
              "Deadline Reminder is now running in the background.\nRefer to log files for results.");
    EXPECT_TRUE(WaitFor([this] { return m_install.LogText().find("dueRem.tws") != std::string::npos; }, 10s))
        << "the server ran the task: " << m_install.LogText();
}

TEST_F(StatusViewTest, StartAndStopCommandsRunTheServerProgram)
{
    Load("");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));  // only to learn a free port
    const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
    ASSERT_FALSE(ports.empty());
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    ASSERT_EQ(m_server.WaitForExit(), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(*ports.begin());
    m_install.WriteSettings("GeneralTcpipPort=" + std::to_string(*ports.begin()) + "\nFQDN=127.0.0.1\n");
    ASSERT_TRUE(m_console.LoadSettings());

    CMainFrame frame(m_console);
    CServerView& view = *frame.View();
    CModalAnswerer answers;
    answers.QueueButton(QMessageBox::No);  // no browser after the start
    view.OnStart();
    EXPECT_TRUE(view.IsWaiting()) << "the start is awaited off the window's thread";
    EXPECT_FALSE(frame.Command(32781)->isEnabled()) << "no second start meanwhile";
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }, 30s));
    ASSERT_TRUE(view.IsRunning()) << answers.LastMessage();
    EXPECT_TRUE(answers.Saw("The web server has been started. Users can now point their\nweb browsers to " + url +
                            "\nfrom their computers."))
        << "a name that is the address is offered once: " << answers.Messages().front();
    EXPECT_FALSE(frame.Command(32781)->isEnabled());
    EXPECT_TRUE(frame.Command(32782)->isEnabled());
    EXPECT_TRUE(frame.Command(32798)->isEnabled());
    EXPECT_EQ(frame.findChild<QLabel*>("id32789")->text(), "Normal App");

    answers.QueueButton(QMessageBox::Yes);
    view.OnStop();
    EXPECT_EQ(answers.Messages().back(), "Are you sure you want to stop Tarnwick Server?");
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }, 30s));
    EXPECT_FALSE(view.IsRunning()) << answers.LastMessage();
    EXPECT_FALSE(CStopEvent::Exists(m_install.StopEventPath()));
    EXPECT_TRUE(frame.Command(32781)->isEnabled());
    EXPECT_FALSE(frame.Command(32787)->isEnabled());
}

TEST_F(StatusViewTest, TheRequestsDialogListsBusyConnectionsNewestFirstAndCutsOne)
{
    Load("");
    StartServer();
    // Three connections that send a request head and only part of its body keep three server
    // threads busy.
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<CTestClient>(std::stoi(m_config.m_generalTcpipPort)));
        clients.back()->SendText("POST /slow" + std::to_string(i) + ".twp HTTP/1.0\r\nContent-Length: 100\r\n\r\nab");
    }
    CModalAnswerer answers;
    CRequestsDlg dialog(m_config);
    auto* list = dialog.findChild<CListCtrlEx*>("id1121");
    ASSERT_TRUE(RefreshUntil(dialog, [](const CListCtrlEx& shown) { return shown.topLevelItemCount() == 3; }));
    EXPECT_EQ(Cell(list, 0, 0), "127.0.0.1");
    // The server's own reply, read directly: the dialog shows its lines in reverse order.
    CTcpSocket socket;
    ASSERT_EQ(ConnectForCommand(socket, "127.0.0.1", std::stoi(m_config.m_generalTcpipPort)), 1);
    ASSERT_EQ(SendCommand(socket, "twConsole.GetReq\r\n\r\n"), 1);
    std::vector<int> replied;
    char line[128];
    while (socket.ReadLine(line, sizeof line) > 0 && std::string(line).rfind("watermark", 0) != 0)
        replied.push_back(std::stoi(std::string(line).substr(std::string(line).find('*') + 1)));
    ASSERT_EQ(replied.size(), 3u);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(list->RowData(row), replied[2 - row]);
    EXPECT_TRUE(dialog.findChild<QLabel*>("id1122")->text().startsWith("High water mark: "));

    dialog.OnDisconnect();
    EXPECT_EQ(answers.LastMessage(), "Please select a request first. ") << "nothing is sent without a selection";
    EXPECT_EQ(list->topLevelItemCount(), 3);

    const int cut = list->RowData(1);
    list->SelectRow(1);
    dialog.SetDisconnectPause(0);
    dialog.OnDisconnect();
    EXPECT_TRUE(dialog.IsWaiting());
    ASSERT_TRUE(RefreshUntil(dialog, [](const CListCtrlEx& shown) { return shown.topLevelItemCount() == 2; }));
    for (int row = 0; row < 2; ++row)
        EXPECT_NE(list->RowData(row), cut);
}

TEST_F(StatusViewTest, LongTaskLinesAreReadWholeAndNoLaterRowIsLost)
{
    Load("");
    const std::string script = m_install.Path() + "/webroot/script/" + std::string(300, 'x') + ".tws";
    for (const auto& [name, path] : {std::pair<std::string, std::string>{"Long Path", script},
                                     {"After The Long One", m_install.Path() + "/webroot/script/dueRem.tws"}}) {
        CTaskEntry& task = m_config.AddTask();
        task.SetName(name);
        task.SetScript(path);
        task.SetKind(kTaskEveryMinutes);
        task.SetIntervalSeconds(600);
    }
    CModalAnswerer answers;
    const auto shown = ShowRunningServer();
    CServerView& view = *shown;
    ASSERT_TRUE(view.IsRunning());
    ASSERT_EQ(view.topLevelItemCount(), 10) << "two server rows, six default tasks and the two added";
    EXPECT_EQ(Cell(view, 8, 1), "Long Path");
    EXPECT_EQ(Cell(view, 8, 2), "Run " + script + " every 10 minute(s)") << "the cell holds the whole text";
    EXPECT_EQ(Cell(view, 9, 1), "After The Long One");
    EXPECT_EQ(view.RowData(9), 9);
    EXPECT_TRUE(answers.Messages().empty()) << answers.LastMessage();
}

TEST_F(StatusViewTest, ALongRequestUrlIsListedWholeWithTheRowsAfterIt)
{
    Load("");
    // A large file that the clients never read keeps the server threads busy sending it.
    std::ofstream(m_install.Path() + "/webroot/big.bin").close();
    ASSERT_EQ(truncate((m_install.Path() + "/webroot/big.bin").c_str(), 64 << 20), 0);
    StartServer();
    const std::string longUrl = "/big.bin?" + std::string(400, 'q');
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (const std::string& url : {std::string("/big.bin?first"), longUrl, std::string("/big.bin?last")}) {
        clients.push_back(std::make_unique<CTestClient>(std::stoi(m_config.m_generalTcpipPort)));
        const int small = 4096;
        setsockopt(clients.back()->Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        clients.back()->SendText("GET " + url + " HTTP/1.0\r\n\r\n");
    }
    CModalAnswerer answers;
    CRequestsDlg dialog(m_config);
    auto* list = dialog.findChild<CListCtrlEx*>("id1121");
    ASSERT_TRUE(RefreshUntil(dialog, [](const CListCtrlEx& shown) {
        int named = 0;
        for (int row = 0; row < shown.topLevelItemCount(); ++row)
            named += shown.CellText(row, 1).startsWith("/big.bin?") ? 1 : 0;
        return named == 3;
    }));
    std::set<std::string> urls;
    for (int row = 0; row < 3; ++row)
        urls.insert(Cell(list, row, 1));
    EXPECT_EQ(urls.count(longUrl + " (http)"), 1u) << "the long URL is kept whole";
    EXPECT_EQ(urls.count("/big.bin?last (http)"), 1u);
    EXPECT_TRUE(dialog.findChild<QLabel*>("id1122")->text().startsWith("High water mark: "))
        << "the reply's last line was read too";
    EXPECT_TRUE(answers.Messages().empty()) << answers.LastMessage();
}

TEST_F(StatusViewTest, TheWindowKeepsRunningAndSaysSoWhileTheServerDoesNotAnswer)
{
    Load("");
    StartServer();
    // A peer that takes the connection and never answers holds a command for its whole time-out.
    CListeningPort silent;
    ASSERT_NE(silent.Port(), 0);
    m_config.m_generalTcpipPort = std::to_string(silent.Port());
    CModalAnswerer answers;
    CEventTicker ticker;
    const auto closing = std::chrono::steady_clock::now();
    {
        CMainFrame frame(m_console);
        CServerView& view = *frame.View();
        view.Refresh();
        ASSERT_TRUE(view.IsWaiting()) << "Refresh returned before the server answered";
        EXPECT_TRUE(ProcessEventsUntil([&ticker] { return ticker.Ticks() >= 10; }))
            << "the window's events run meanwhile";
        EXPECT_TRUE(view.IsWaiting());
        EXPECT_EQ(frame.statusBar()->currentMessage().toStdString(), CConsoleMessages::WaitingForServer);
        EXPECT_EQ(view.viewport()->cursor().shape(), Qt::BusyCursor);
        for (int id : {32781, 32783, 32785, 32787, 32798})
            EXPECT_FALSE(frame.Command(id)->isEnabled()) << "command " << id;
        EXPECT_TRUE(frame.Command(32782)->isEnabled()) << "Stop gives up the wait and stops the server";
        view.Refresh();
        EXPECT_TRUE(answers.Messages().empty()) << answers.LastMessage();

        CRequestsDlg dialog(m_config, &frame);
        ASSERT_TRUE(dialog.IsWaiting());
        EXPECT_TRUE(dialog.findChild<QLabel*>("waiting")->isVisibleTo(&dialog));
        EXPECT_FALSE(dialog.findChild<QPushButton*>("id1120")->isEnabled()) << "Disconnect waits too";
        const int before = ticker.Ticks();
        EXPECT_TRUE(ProcessEventsUntil([&] { return ticker.Ticks() >= before + 10; }));
        // Both windows close with their commands in flight.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(kCommandTimeoutSeconds))
        << "closing cut the waits short instead of sitting out the time-out";
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(answers.Messages().empty()) << "no reply reached a closed window: " << answers.LastMessage();
}

TEST_F(StatusViewTest, TheWindowTellsOfAServerThatCannotBeReached)
{
    Load("");
    StartServer();
    // A port that nobody listens on any more.
    m_config.m_generalTcpipPort = std::to_string(CListeningPort().Port());
    CModalAnswerer answers;
    CMainFrame frame(m_console);
    CServerView& view = *frame.View();
    view.Refresh();
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }));
    EXPECT_EQ(answers.LastMessage(), "Failed to connect to Tarnwick Server.");
    ASSERT_GE(view.topLevelItemCount(), 8) << "the rows stay, those of the settings when there were none";
    EXPECT_EQ(Cell(view, 0, 1), "Web Server");
    EXPECT_EQ(Cell(view, 0, 3), "Not reachable");
    EXPECT_TRUE(frame.statusBar()->currentMessage().isEmpty());
    EXPECT_TRUE(frame.Command(32785)->isEnabled()) << "Refresh is offered again";
    EXPECT_TRUE(frame.Command(32782)->isEnabled()) << "the server runs, so Stop is offered";
}

TEST_F(StatusViewTest, AServerThatDoesNotAnswerKeepsItsRowsAndStopEndsIt)
{
    Load("");
    m_console.SetPollInterval(100ms);
    m_console.SetCommandTimeout(1);
    const auto shown = ShowRunningServer();
    CServerView& view = *shown;
    ASSERT_TRUE(view.IsRunning());
    const int rows = view.topLevelItemCount();
    ASSERT_GE(rows, 8);
    // The server hangs: it takes connections and never answers.
    ASSERT_TRUE(m_server.Signal(SIGSTOP));
    CModalAnswerer answers;
    CMainFrame frame(m_console);
    CServerView& hung = *frame.View();
    hung.Refresh();
    ASSERT_TRUE(hung.IsWaiting());
    EXPECT_TRUE(frame.Command(32782)->isEnabled()) << "Stop is offered while the server does not answer";
    ASSERT_TRUE(ProcessEventsUntil([&hung] { return !hung.IsWaiting(); }));
    EXPECT_TRUE(answers.Messages().empty()) << answers.LastMessage();
    ASSERT_GE(hung.topLevelItemCount(), 8) << "the rows stay";
    EXPECT_EQ(Cell(hung, 0, 1), "Web Server");
    EXPECT_EQ(Cell(hung, 0, 3), "Not answering");

    view.Refresh();
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }));
    EXPECT_EQ(view.topLevelItemCount(), rows) << "the rows the server gave before stay too";
    EXPECT_EQ(Cell(view, 0, 3), "Not answering");

    // Stop: the hung server does not follow its stop event and is ended at once.
    hung.Refresh();
    ASSERT_TRUE(hung.IsWaiting());
    answers.QueueButton(QMessageBox::Yes);
    answers.QueueButton(QMessageBox::Yes);
    hung.OnStop();
    EXPECT_FALSE(frame.Command(32782)->isEnabled()) << "one stop at a time";
    ASSERT_TRUE(ProcessEventsUntil([&hung] { return !hung.IsWaiting(); }, 20s));
    ASSERT_GE(answers.Messages().size(), 2u);
    EXPECT_EQ(answers.Messages()[1].rfind("Tarnwick Server did not stop within 1 seconds.", 0), 0u)
        << answers.Messages()[1];
    EXPECT_FALSE(hung.IsRunning()) << answers.LastMessage();
    EXPECT_EQ(m_server.WaitForExit(), -1) << "the server was ended by a signal";
}

TEST_F(StatusViewTest, AServerThatEndsAtOnceIsReportedAsSoonAsItEndsWithItsReason)
{
    // Another program holds the port: the server can't listen and ends.
    CListeningPort taken;
    ASSERT_NE(taken.Port(), 0);
    Load("GeneralTcpipPort=" + std::to_string(taken.Port()) + "\n");
    m_console.SetPollInterval(2000ms);
    CModalAnswerer answers;
    CMainFrame frame(m_console);
    CServerView& view = *frame.View();
    const auto started = std::chrono::steady_clock::now();
    view.OnStart();
    ASSERT_TRUE(view.IsWaiting()) << "the start is awaited off the window's thread";
    EXPECT_EQ(frame.statusBar()->currentMessage().toStdString().rfind("Starting Tarnwick Server...", 0), 0u);
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }, 30s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "not the whole 20 s that a start may take";
    ASSERT_EQ(answers.Messages().size(), 1u) << answers.LastMessage();
    EXPECT_EQ(
        answers.LastMessage().rfind("Tarnwick Server ended as soon as it was started.\n\nThe server's log says:\n", 0),
        0u)
        << answers.LastMessage();
    EXPECT_FALSE(view.IsRunning());
    EXPECT_TRUE(frame.Command(32781)->isEnabled());
}

TEST_F(StatusViewTest, TheDomainNameIsLookedUpOffTheWindowsThread)
{
    Load("FQDN=old.example.org\n");
    SilentServer nameService;
    m_console.SetHostNameLookup(SilentHostNameLookup(nameService.Port()));
    CModalAnswerer answers;
    CMainFrame frame(m_console);
    CServerView& view = *frame.View();
    CEventTicker ticker;
    view.OnInitialUpdate();
    ASSERT_TRUE(nameService.WaitAccepted(10s));
    EXPECT_TRUE(view.IsWaiting());
    EXPECT_EQ(Cell(view, 0, 1), "Web Server") << "the rows are there while the name is looked up";
    EXPECT_EQ(frame.statusBar()->currentMessage().toStdString(), CConsoleMessages::ResolvingName);
    EXPECT_TRUE(ProcessEventsUntil([&ticker] { return ticker.Ticks() >= 10; })) << "the window's events run meanwhile";
    EXPECT_TRUE(view.IsWaiting());
    nameService.Stop();
    ASSERT_TRUE(ProcessEventsUntil([&view] { return !view.IsWaiting(); }));
    EXPECT_EQ(m_config.m_fqdn, "127.0.0.1") << "no name found: the address stands for it";
    EXPECT_EQ(Cell(view, 0, 2).rfind("http://127.0.0.1", 0), 0u) << Cell(view, 0, 2);
    EXPECT_TRUE(answers.Messages().empty()) << answers.LastMessage();
}

TEST_F(StatusViewTest, ColumnWidthsAndTheWindowPositionSurviveInTheProfile)
{
    Load("");
    {
        QSettings profile("Morvale", CConsoleApp::kTitle);
        profile.setValue("Column Width/Number", 1);
        profile.setValue("Column Width/Name", 150);
        profile.setValue("Column Width/Status", 300);
        profile.setValue("Column Width/Time", 100);
        profile.setValue("Main Window Position/X", -10);
    }
    CModalAnswerer answers;
    {
        CMainFrame frame(m_console);
        const QPoint before = frame.pos();
        frame.RestorePosition();
        EXPECT_EQ(frame.pos(), before) << "(-10, -10) leaves the window where the platform put it";
        frame.View()->OnInitialUpdate();
        EXPECT_NE(frame.View()->columnWidth(1), 150) << "one invalid width resets all four";
        EXPECT_GT(frame.View()->columnWidth(2), frame.View()->columnWidth(1));
        frame.View()->setColumnWidth(0, 40);
        frame.setGeometry(30, 40, 500, 300);
        frame.close();
    }
    QSettings profile("Morvale", CConsoleApp::kTitle);
    EXPECT_EQ(profile.value("Column Width/Number").toInt(), 40);
    EXPECT_EQ(profile.value("Main Window Position/W").toInt(), 500);
    EXPECT_EQ(profile.value("Main Window Position/H").toInt(), 300);
    {
        CMainFrame frame(m_console);
        frame.RestorePosition();
        EXPECT_EQ(frame.size(), QSize(500, 300));
        frame.View()->OnInitialUpdate();
        EXPECT_EQ(frame.View()->columnWidth(0), 40);
        frame.showMaximized();
        frame.close();
    }
    EXPECT_EQ(profile.value("Main Window Position/W").toInt(), 500) << "a maximised window keeps the normal size";
}

TEST_F(StatusViewTest, TheFirstWindowShowsEveryColumn)
{
    Load("");
    {
        // Widths wider than the window's first size, on a screen wide enough for them.
        QSettings profile("Morvale", CConsoleApp::kTitle);
        profile.remove("");
        profile.setValue("Column Width/Number", 40);
        profile.setValue("Column Width/Name", 150);
        profile.setValue("Column Width/Status", 420);
        profile.setValue("Column Width/Time", 110);
    }
    CModalAnswerer answers;
    CMainFrame frame(m_console);
    frame.RestorePosition();
    frame.show();
    frame.View()->OnInitialUpdate();
    frame.FitColumnsUnlessPlaced();
    // The new size reaches the view through the window's layout, in events.
    EXPECT_TRUE(ProcessEventsUntil([&frame] {
        return frame.View()->viewport()->width() >= frame.View()->header()->length();
    })) << "the window is "
        << frame.width() << " wide";
    ASSERT_LE(frame.width(), frame.screen()->availableGeometry().width());
    frame.close();

    // A stored position is the administrator's choice and stays.
    CMainFrame placed(m_console);
    placed.RestorePosition();
    placed.View()->OnInitialUpdate();
    const QSize stored = placed.size();
    placed.FitColumnsUnlessPlaced();
    EXPECT_EQ(placed.size(), stored);
}

TEST(ReportListTest, TextsThatDoNotFitAreCutToTheirStartAndThreeDots)
{
    const QFontMetrics metrics(QApplication::font());
    bool shortened = true;
    EXPECT_EQ(CListCtrlEx::ShortenText(metrics, "abc", 1000, 12, &shortened), "abc");
    EXPECT_FALSE(shortened);
    const QString cut = CListCtrlEx::ShortenText(metrics, "abcdefghijklmnopqrstuvwxyz", 80, 12, &shortened);
    EXPECT_TRUE(shortened);
    EXPECT_TRUE(cut.endsWith("...")) << cut.toStdString();
    EXPECT_TRUE(QString("abcdefghijklmnopqrstuvwxyz").startsWith(cut.chopped(3)));
    EXPECT_LE(metrics.horizontalAdvance(cut) + 12, 80);
    EXPECT_EQ(CListCtrlEx::ShortenText(metrics, "W", 2, 4, &shortened), "W...") << "one character stays";
}

TEST(ConnectPageTest, ABrowserThatDoesNotOpenGetsTheAddressesToTypeIn)
{
    EXPECT_EQ(BrowseFailedText("http://10.0.0.1:24080", "http://www.example.org:24080"),
              "Failed to launch web browser. Please install a web browser then retry.\nIf a web browser is installed, "
              "please run it then type in this address:\nhttp://10.0.0.1:24080 or http://www.example.org:24080");
    const std::string once = BrowseFailedText("http://10.0.0.1", "http://10.0.0.1");
    EXPECT_EQ(once.find(" or "), std::string::npos) << "one address is offered once";
    EXPECT_TRUE(once.ends_with("address:\nhttp://10.0.0.1")) << once;
}

TEST(ConnectPageTest, LinksToTheServerAndToTheSecureSiteWhenThereIsOne)
{
    const std::string page = BuildConnectPage("http://10.0.0.1:8080", "http://www.example.org:8080", "");
    EXPECT_NE(page.find("<a href=\"http://10.0.0.1:8080\">http://10.0.0.1:8080</a> or <a "
                        "href=\"http://www.example.org:8080\">http://www.example.org:8080</a>."),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("width=\"80%\""), std::string::npos);
    EXPECT_EQ(page.find("secure website"), std::string::npos);
    const std::string secure = BuildConnectPage("a", "b", "https://www.example.org");
    EXPECT_NE(secure.find("<p><a href=\"https://www.example.org\">https://www.example.org</a>\r\n"), std::string::npos);
}

TEST(InstanceBeaconTest, ASecondConsoleAsksTheFirstToComeForward)
{
    TempFolder folder("tw-console-beacon");
    const std::string path = folder.Path() + "/twConsole3EnsureSingle.sock";
    EXPECT_FALSE(CInstanceBeacon::Signal(path)) << "no first console yet";
    std::ofstream(path) << "left by a console that died";
    CInstanceBeacon beacon(path);
    ASSERT_TRUE(beacon.Listen()) << "a stale file gives way";
    int raised = 0;
    QObject::connect(&beacon, &CInstanceBeacon::raiseRequested, [&raised] { ++raised; });
    ASSERT_TRUE(CInstanceBeacon::Signal(path));
    EXPECT_TRUE(ProcessEventsUntil([&raised] { return raised > 0; }));
    EXPECT_EQ(raised, 1);
}

TEST(ConsoleActionTest, OnlyTheThreeSwitchesAreActionsInAnyLetterCase)
{
    using Action = CConsoleApp::Action;
    EXPECT_EQ(CConsoleApp::ParseAction({"twConsole", "-STOP"}), Action::kStop);
    EXPECT_EQ(CConsoleApp::ParseAction({"twConsole", "-Compact", "a.db"}), Action::kCompact);
    EXPECT_EQ(CConsoleApp::ParseAction({"twConsole", "report.txt"}), Action::kNone);
    EXPECT_EQ(CConsoleApp::ParseAction({"twConsole", "-start", "-stop"}), Action::kStart);
    EXPECT_EQ(CConsoleApp::ParseAction({"twConsole"}), Action::kNone);
}

TEST(HostLookupTest, ANameWithoutADotOrNoNameAtAllGivesNothing)
{
    EXPECT_EQ(ConfirmedHostName("localhost"), "") << "a name without a dot";
    EXPECT_EQ(ResolveHostName("not.an.address"), "");
}

TEST(HostLookupTest, AReverseNameIsKeptOnlyWhenItResolvesAgain)
{
    // The reserved top-level domain "invalid" never resolves, so the name fails the confirming
    // lookup; a dotted address resolves to itself without asking any name service.
    EXPECT_EQ(ConfirmedHostName("www.example.invalid"), "");
    EXPECT_EQ(ConfirmedHostName("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(ConfirmedHostName(" \t10.1.2.3"), "10.1.2.3") << "leading blanks are dropped";
}

}  // namespace
