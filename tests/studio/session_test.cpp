// A debugging session through the studio's window: a breakpoint set with F9, the page session
// started with F5 on the debugger's own port, a page asked for by curl, the pause shown in the
// editor and the margin, a watch read in the Variables list, a single step, Continue, and the page
// completing with what the Request/Response pane shows.
#include "studio/main_frame.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>

#include "studio/child_frame.h"
#include "studio/file_tree.h"
#include "studio/output_bar.h"
#include "studio/ssp_view.h"
#include "tests/studio/studio_gui_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"

namespace {

class SessionTest : public StudioWindowTest
{
protected:
    std::future<std::string> Request(int port, const std::string& urlPath)
    {
        const std::string out = CStudioInstall::Path() + "/tmp/session-curl.out";
        return std::async(std::launch::async, [port, urlPath, out] {
            RunProgram({"curl", "-s", "--max-time", "30", "http://127.0.0.1:" + std::to_string(port) + urlPath}, out);
            std::ifstream in(out, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        });
    }
};

TEST_F(SessionTest, BreakpointWatchStepContinue)
{
    const std::string page = CStudioInstall::WebFile("session.twp", "<p>\n"
                                                                    "<!--{ Local.n = 40;\n"
                                                                    "      Local.n = Local.n + 1; }-->\n"
                                                                    "<!--{ Local.n = Local.n + 1; write Local.n; }-->\n"
                                                                    "</p>\n");
    QSettings().setValue("Settings/DebuggerIpPort", "0");
    CMainFrame& frame = Frame();
    CChildFrame* child = frame.OpenDocumentFile(page);
    ASSERT_NE(child, nullptr);
    child->View()->SelectLine(2);
    frame.Command(CMainFrame::kCmdToggleBreakpoint)->trigger();
    ASSERT_TRUE(TheDebugger().HasBreakpoint(page, 3));
    frame.OutputBar()->AddWatch("Local.n");

    frame.UpdateCommands();
    ASSERT_TRUE(frame.Command(CMainFrame::kCmdGo)->isEnabled());
    EXPECT_FALSE(frame.Command(CMainFrame::kCmdStop)->isEnabled());
    frame.Command(CMainFrame::kCmdGo)->trigger();
    ASSERT_TRUE(TheDebugger().IsRunning());
    ASSERT_TRUE(ProcessEventsUntil([&frame] {
        return frame.OutputBar()->DebugPane()->toPlainText().contains("Debugger has started its web server");
    }));
    EXPECT_TRUE(frame.Command(CMainFrame::kCmdStop)->isEnabled());
    EXPECT_FALSE(frame.Command(CMainFrame::kCmdGo)->isEnabled());

    auto reply = Request(TheDebugger().GetListenerPort(), "/session.twp");
    // The pause on the second line of the block shows in the editor and refreshes the watch.
    QTreeWidgetItem* watch = frame.OutputBar()->Variables()->topLevelItem(0);
    ASSERT_TRUE(ProcessEventsUntil([watch] { return watch->text(1) == "40"; }));
    EXPECT_TRUE(TheDebugger().IsPaused());
    EXPECT_EQ(frame.ActiveChild(), child);
    EXPECT_EQ(child->View()->CurrentLine(), 2);
    EXPECT_EQ(TheDebugger().GetPausedLine(page), 3);
    frame.UpdateCommands();
    EXPECT_TRUE(frame.Command(CMainFrame::kCmdQuickWatch)->isEnabled());
    EXPECT_TRUE(frame.Command(CMainFrame::kCmdSingleStep)->isEnabled());
    EXPECT_FALSE(frame.Command(CMainFrame::kCmdStepOut)->isEnabled());

    // The rest of the block's last line is template text: the next step stops there, then at the
    // statement of the next line.
    frame.Command(CMainFrame::kCmdSingleStep)->trigger();
    ASSERT_TRUE(ProcessEventsUntil([watch] { return watch->text(1) == "41"; }));
    EXPECT_EQ(child->View()->CurrentLine(), 2);
    frame.Command(CMainFrame::kCmdSingleStep)->trigger();
    ASSERT_TRUE(ProcessEventsUntil([child] { return child->View()->CurrentLine() == 3; }));
    EXPECT_EQ(watch->text(1), "41");

    frame.Command(CMainFrame::kCmdGo)->trigger();
    EXPECT_EQ(reply.get(), "<p>\n\n42\n</p>\n");
    // The run is over: the watch no longer shows its last value.
    EXPECT_TRUE(ProcessEventsUntil([watch] { return watch->text(1) == CDebugger::kNotPausedText; }));
    // Continuing neither saved nor emptied the panes.
    EXPECT_TRUE(frame.OutputBar()->DebugPane()->toPlainText().contains("Debugger has started its web server"));
    ASSERT_TRUE(ProcessEventsUntil(
        [&frame] { return frame.OutputBar()->RequestPane()->toPlainText().contains("Response Header"); }));
    const QString echoed = frame.OutputBar()->RequestPane()->toPlainText();
    EXPECT_TRUE(echoed.contains("GET /session.twp")) << echoed.toStdString();
    EXPECT_TRUE(echoed.contains("HTML Generated"));
    EXPECT_TRUE(echoed.contains("42"));

    frame.Command(CMainFrame::kCmdStop)->trigger();
    EXPECT_TRUE(TheDebugger().IsIdle());
    ASSERT_TRUE(ProcessEventsUntil(
        [&frame] { return frame.OutputBar()->DebugPane()->toPlainText().contains("Debugger ended."); }));
}

TEST_F(SessionTest, AFailedScriptRunShowsItsErrorInTheEditor)
{
    const std::string script = CStudioInstall::WebFile("script/fail.tws", "Local.a = 1;\r\nLocal.b = Missing.x;\r\n");
    CMainFrame& frame = Frame();
    CChildFrame* child = frame.OpenDocumentFile(script);
    ASSERT_NE(child, nullptr);
    child->View()->SelectLine(0);
    // Go with a script in the active editor runs that script.
    frame.Command(CMainFrame::kCmdGo)->trigger();
    ASSERT_TRUE(ProcessEventsUntil(
        [&frame] { return frame.OutputBar()->DebugPane()->toPlainText().contains("Debugger ended."); }));
    ASSERT_TRUE(ProcessEventsUntil([child] { return child->View()->CurrentLine() == 1; }));
    EXPECT_TRUE(frame.OutputBar()->DebugPane()->toPlainText().contains("Unknown Object"));
    EXPECT_TRUE(TheDebugger().IsIdle());
}

// Counts the paints of a widget.
class CPaintCounter : public QObject
{
public:
    explicit CPaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint;
        return false;
    }
};

// Whether the margin's picture holds the current-line arrow's fill.
bool ShowsArrow(CMarginBar* margin)
{
    const QImage image = margin->grab().toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == QColor(0, 255, 0))
                return true;
    return false;
}

TEST_F(SessionTest, TheArrowGoesFromEveryMarginWhenTheRunGoesOn)
{
    const std::string script = CStudioInstall::WebFile("script/arrow.tws", "Local.a = 1;\nLocal.b = 2;\n");
    const std::string other = CStudioInstall::WebFile("other.twp", "text\n");
    // A blinking caret repaints its margin by itself; without it only the debugger's news do.
    const int flashTime = QApplication::cursorFlashTime();
    QApplication::setCursorFlashTime(0);
    CMainFrame& frame = Frame();
    CChildFrame* otherChild = frame.OpenDocumentFile(other);
    CChildFrame* child = frame.OpenDocumentFile(script);
    ASSERT_NE(otherChild, nullptr);
    ASSERT_NE(child, nullptr);
    TheDebugger().ToggleBreakpoint(script, 2);
    frame.Command(CMainFrame::kCmdGo)->trigger();
    ASSERT_TRUE(ProcessEventsUntil([child] { return TheDebugger().IsPaused() && child->View()->CurrentLine() == 1; }));
    EXPECT_TRUE(ShowsArrow(child->Margin()));

    frame.FileTree()->setFocus();
    ProcessEvents();
    CPaintCounter paints(child->Margin());
    CPaintCounter otherPaints(otherChild->Margin());
    frame.Command(CMainFrame::kCmdGo)->trigger();
    ASSERT_TRUE(ProcessEventsUntil([&frame] {
        return TheDebugger().IsIdle() && frame.OutputBar()->DebugPane()->toPlainText().contains("Debugger ended.");
    }));
    // Both margins are drawn again, and without the arrow.
    EXPECT_TRUE(ProcessEventsUntil([&paints, &otherPaints] { return paints.count > 0 && otherPaints.count > 0; }));
    EXPECT_FALSE(ShowsArrow(child->Margin()));
    QApplication::setCursorFlashTime(flashTime);
}

TEST_F(SessionTest, AFilesRootChosenInTheDialogAppliesToTheNextRunAtOnce)
{
    TempFolder site("tw-studio-site");
    std::filesystem::create_directories(site.Path() + "/webroot");
    std::filesystem::create_directories(site.Path() + "/tmp");
    std::filesystem::copy(CStudioInstall::Path() + "/etc", site.Path() + "/etc");
    std::ofstream(site.Path() + "/etc/odbc.ini") << "[tw3]\nDatabase=" << site.Path() << "/data/tw3.db\n";
    const std::string page = site.Path() + "/webroot/site.twp";
    std::ofstream(page) << "from the chosen site\n<!--{ write 6 * 7; }-->";
    QSettings().setValue("Settings/DebuggerIpPort", "0");
    CMainFrame& frame = Frame();
    const auto chooseRoot = [&frame](CModalAnswerer& answerer, const std::string& root) {
        answerer.QueueDialog([root](QWidget* dialog) {
            dialog->findChild<QLineEdit*>("id1005")->setText(QString::fromStdString(root));
            dialog->findChild<QPushButton*>("id1")->click();
        });
        frame.Command(CMainFrame::kCmdRootFilter)->trigger();
    };
    const auto debugPaneHas = [&frame](const std::string& text) {
        return ProcessEventsUntil([&frame, &text] {
            return frame.OutputBar()->DebugPane()->toPlainText().contains(QString::fromStdString(text));
        });
    };
    CModalAnswerer answerer;
    chooseRoot(answerer, site.Path() + "/webroot");
    // The driver manager keeps the data sources it read first, and the developer hears so.
    EXPECT_TRUE(answerer.Saw("The data sources of " + site.Path() +
                             "/etc/odbc.ini apply when Tarnwick Studio is "
                             "started again"))
        << ::testing::PrintToString(answerer.Messages());

    // Without a restart: the page of the tree's file is served and its breakpoint holds.
    TheDebugger().ToggleBreakpoint(page, 2);
    frame.Command(CMainFrame::kCmdGo)->trigger();
    ASSERT_TRUE(TheDebugger().IsRunning());
    EXPECT_TRUE(debugPaneHas("Web root: " + site.Path() + "/webroot"));
    auto reply = Request(TheDebugger().GetListenerPort(), "/site.twp");
    ASSERT_TRUE(ProcessEventsUntil([&page] { return TheDebugger().GetPausedLine(page) == 2; }));

    // Another root chosen while the session runs waits for the debugger's next start.
    answerer.Clear();
    chooseRoot(answerer, "");
    EXPECT_TRUE(answerer.Saw("The debugger goes on running pages and scripts from " + site.Path() + "/webroot"));
    EXPECT_EQ(GetProgramDirectory(), site.Path());
    frame.Command(CMainFrame::kCmdGo)->trigger();
    EXPECT_EQ(reply.get(), "from the chosen site\n42");
    frame.Command(CMainFrame::kCmdStop)->trigger();
    frame.Command(CMainFrame::kCmdGo)->trigger();
    EXPECT_TRUE(debugPaneHas("Web root: " + CStudioInstall::Path() + "/webroot"));
    EXPECT_EQ(GetProgramDirectory(), CStudioInstall::Path());
    frame.Command(CMainFrame::kCmdStop)->trigger();
    EXPECT_TRUE(TheDebugger().IsIdle());
}

}  // namespace
