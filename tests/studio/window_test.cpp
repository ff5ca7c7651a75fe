// The main frame and its panes: the profile read and written, the layout of a first start, the
// Files tree, the output panes and the watch list, Find in Files, the dialogs and the tool bar.
#include "studio/main_frame.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>

#include <QAction>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "platform/file_system.h"
#include "studio/child_frame.h"
#include "studio/file_tree.h"
#include "studio/output_bar.h"
#include "studio/ssp_view.h"
#include "studio/studio_dialogs.h"
#include "tests/studio/studio_gui_support.h"

namespace {

using WindowTest = StudioWindowTest;

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& text)
{
    for (int i = 0; i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == text)
            return parent->child(i);
    return nullptr;
}

QStringList Children(QTreeWidgetItem* parent)
{
    QStringList texts;
    for (int i = 0; i < parent->childCount(); ++i)
        texts << parent->child(i)->text(0);
    return texts;
}

// What the status bar's message pane shows: a passing message, else its idle text.
QString StatusShown(CMainFrame& frame)
{
    QStatusBar* bar = frame.statusBar();
    if (!bar->currentMessage().isEmpty())
        return bar->currentMessage();
    for (QLabel* label : bar->findChildren<QLabel*>())
        if (label->isVisible() && label->objectName() != "id59142")
            return label->text();
    return QString();
}

QToolButton* ToolButton(CMainFrame& frame, int id)
{
    return qobject_cast<QToolButton*>(frame.findChild<QToolBar*>("id128")->widgetForAction(frame.Command(id)));
}

// Moves the pointer to a point of the frame.
void PointTo(CMainFrame& frame, QPoint at)
{
    QCursor::setPos(frame.mapToGlobal(at));
    QTest::mouseMove(frame.windowHandle(), at);
}

// Leaves the Open button drawn down while the frame is not active: the mouse button goes down on it, a
// run's error report opens its message box meanwhile and that takes the release, and the pointer
// moves off the button once the box has closed.
QToolButton* LeaveOpenButtonDown(CMainFrame& frame)
{
    QToolButton* open = ToolButton(frame, CMainFrame::kCmdOpen);
    const QPoint on = open->mapTo(&frame, open->rect().center());
    PointTo(frame, on);
    QTest::mousePress(frame.windowHandle(), Qt::LeftButton, {}, on);
    QTimer inBox;
    QObject::connect(&inBox, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            inBox.stop();
            QTest::mouseRelease(frame.windowHandle(), Qt::LeftButton, {}, on);
            box->close();
        }
    });
    inBox.start(5);
    frame.PostRunError(0, "/nowhere/page.twp");
    EXPECT_TRUE(ProcessEventsUntil([&] { return !inBox.isActive(); }));
    ProcessEvents();
    QCursor::setPos(frame.OutputBar()->mapToGlobal(frame.OutputBar()->rect().center()));
    ProcessEvents();
    EXPECT_TRUE(open->isDown());
    return open;
}

TEST_F(WindowTest, FirstStartLaysOutByThirdsAndTheProfileIsWrittenBack)
{
    {
        QSettings profile;
        profile.setValue("Settings/DebuggerIsSSL", 2);
        profile.setValue("Settings/DebuggerIpPort", "9123");
        profile.setValue("Settings/FileFilter", "twp tws");
        profile.setValue("Settings/TabStops", 8);
    }
    CMainFrame& frame = Frame();
    EXPECT_EQ(TheDebugger().GetSsl(), 0);
    EXPECT_EQ(TheDebugger().GetPort(), "9123");
    EXPECT_EQ(frame.TabStops(), 8);
    // No stored layout: the Files pane takes a third of the width, the output bar a third of the
    // height.
    QList<QSplitter*> splitters = frame.findChildren<QSplitter*>();
    ASSERT_EQ(splitters.size(), 2);
    for (QSplitter* splitter : splitters) {
        const int total = splitter->orientation() == Qt::Horizontal ? splitter->width() : splitter->height();
        const int part = splitter->orientation() == Qt::Horizontal ? splitter->sizes()[0] : splitter->sizes()[1];
        EXPECT_NEAR(part, total / 3, 8) << (splitter->orientation() == Qt::Horizontal ? "files" : "output");
    }
    EXPECT_EQ(frame.RootPath(), CStudioInstall::Path());
    frame.setGeometry(40, 50, 900, 700);
    m_frame.reset();

    QSettings profile;
    EXPECT_EQ(profile.value("Settings/DebuggerIsSSL").toInt(), 0);
    EXPECT_EQ(profile.value("Settings/FileFilter").toString(), ".twp; .tws; ");
    EXPECT_EQ(profile.value("Window Placement/MAINWIN_W").toInt(), 900);
    EXPECT_EQ(profile.value("Window Placement/VAR_NAME_W").toInt(), 100);
    EXPECT_EQ(profile.value("Window Placement/VAR_VALUE_W").toInt(), 400);
    EXPECT_GT(profile.value("Window Placement/LEFTPANE_W").toInt(), 10);
    // The system font is not written: the Font section stays empty.
    EXPECT_FALSE(profile.contains("Font/Height"));

    // The stored placement comes back.
    Frame();
    EXPECT_EQ(m_frame->geometry().width(), 900);
}

TEST_F(WindowTest, RootPathReplacesTheInstallationFolder)
{
    TempFolder root("tw-studio-root");
    std::filesystem::create_directories(root.Path() + "/webroot");
    QSettings().setValue("Settings/RootPath7", QString::fromStdString(root.Path()));
    CMainFrame& frame = Frame();
    EXPECT_EQ(GetProgramDirectory(), root.Path());
    EXPECT_EQ(frame.RootPath(), root.Path());
    m_frame.reset();
    SetProgramDirectory(CStudioInstall::Path());

    // A root that is no folder leaves the installation folder and shows that.
    QSettings().setValue("Settings/RootPath7", "/nonexistent/folder");
    EXPECT_EQ(Frame().RootPath(), CStudioInstall::Path());
    EXPECT_EQ(GetProgramDirectory(), CStudioInstall::Path());
}

TEST_F(WindowTest, AWebRootAsFilesRootIsTakenAsItsInstallationsAndClearingReturnsHome)
{
    TempFolder site("tw-studio-site");
    std::filesystem::create_directories(site.Path() + "/webroot/script");
    QSettings().setValue("Settings/RootPath7", QString::fromStdString(site.Path() + "/webroot/"));
    CMainFrame& frame = Frame();
    // The web root is told apart from its installation by what it holds: no webroot folder.
    EXPECT_EQ(GetProgramDirectory(), site.Path());
    EXPECT_EQ(frame.RootPath(), site.Path() + "/webroot");
    ASSERT_EQ(frame.FileTree()->topLevelItemCount(), 1);
    EXPECT_EQ(frame.FileTree()->topLevelItem(0)->text(0).toStdString(), site.Path() + "/webroot");

    // An empty field is the installation's own folder, not the one the root chose, at once.
    EXPECT_TRUE(frame.SetRootAndFilter("  ", ""));
    EXPECT_EQ(frame.RootPath(), CStudioInstall::Path());
    EXPECT_EQ(GetProgramDirectory(), CStudioInstall::Path());
    // A folder inside an installation's web root is a root of that installation.
    EXPECT_TRUE(frame.SetRootAndFilter(site.Path() + "/webroot/script", ""));
    EXPECT_EQ(GetProgramDirectory(), site.Path());
    EXPECT_TRUE(frame.SetRootAndFilter("", ""));
    m_frame.reset();
    EXPECT_EQ(QSettings().value("Settings/RootPath7").toString().toStdString(), CStudioInstall::Path());

    // A folder that is neither shows in the Files tree but leaves the installation as it is.
    TempFolder other("tw-studio-other");
    QSettings().setValue("Settings/RootPath7", QString::fromStdString(other.Path()));
    EXPECT_EQ(Frame().RootPath(), other.Path());
    EXPECT_EQ(GetProgramDirectory(), CStudioInstall::Path());
}

TEST_F(WindowTest, FilesTreeListsFoldersThenFilteredFilesAndFollowsTheDisk)
{
    TempFolder root("tw-studio-tree");
    for (const char* name : {"b.twp", "A.TWP", "c.txt", "d.tws"})
        std::ofstream(root.Path() + "/" + name) << "x";
    std::filesystem::create_directory(root.Path() + "/Sub");
    std::ofstream(root.Path() + "/Sub/inner.twp") << "x";
    CMainFrame& frame = Frame();
    CFileTree* tree = frame.FileTree();
    frame.SetRootAndFilter(root.Path() + "/ ", ".twp; .TWS");

    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* top = tree->topLevelItem(0);
    EXPECT_EQ(top->text(0).toStdString(), root.Path());
    // Extensions match without regard to case, in the filter and on disk.
    EXPECT_EQ(Children(top), (QStringList{"Sub", "A.TWP", "b.twp", "d.tws"}));
    QTreeWidgetItem* sub = Child(top, "Sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(Children(sub), QStringList{"dummy"});
    sub->setExpanded(true);
    EXPECT_EQ(Children(sub), QStringList{"inner.twp"});

    std::ofstream(root.Path() + "/Sub/added.twp") << "x";
    sub->setExpanded(false);
    sub->setExpanded(true);
    EXPECT_EQ(Children(sub), (QStringList{"added.twp", "inner.twp"}));

    tree->setCurrentItem(Child(sub, "inner.twp"));
    EXPECT_EQ(tree->GetSelectedFilePath(), root.Path() + "/Sub/inner.twp");
    EXPECT_EQ(tree->GetSelectedFolderPath(), root.Path() + "/Sub");
    // Enter on a file opens it; a folder opens nothing.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(tree, &enter);
    ASSERT_NE(frame.ActiveChild(), nullptr);
    EXPECT_EQ(frame.ActiveChild()->Path(), root.Path() + "/Sub/inner.twp");
    tree->setCurrentItem(sub);
    EXPECT_EQ(tree->GetSelectedFilePath(), "");
    QApplication::sendEvent(tree, &enter);
    EXPECT_EQ(frame.MdiArea()->subWindowList().size(), 1);
}

TEST_F(WindowTest, WatchesAndOutputPanes)
{
    COutputBar* bar = Frame().OutputBar();
    CVariableList* list = bar->Variables();
    bar->AddWatch("Local.a");
    bar->AddWatch("Local.b");
    bar->AddWatch("LOCAL.A");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "LOCAL.A");
    EXPECT_EQ(list->topLevelItem(0)->text(1), CDebugger::kNotPausedText);
    EXPECT_EQ(bar->currentIndex(), COutputBar::kVariablesTab);

    QKeyEvent del(QEvent::KeyRelease, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(list, &del);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "Local.b");
    list->clearSelection();
    QApplication::sendEvent(list, &del);
    EXPECT_EQ(list->topLevelItemCount(), 1);
    CModalAnswerer answerer;
    m_frame->Command(CMainFrame::kCmdRemoveWatch)->trigger();
    EXPECT_EQ(answerer.LastMessage(), "Please select an item first");
    m_frame->Command(CMainFrame::kCmdEditWatch)->trigger();
    EXPECT_EQ(answerer.LastMessage(), "Please select an item first");

    // Renaming a watch while nothing is paused keeps its value.
    list->setCurrentItem(list->topLevelItem(0));
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1026")->setText("Local.c");
        dialog->findChild<QPushButton*>("id1")->click();
    });
    m_frame->Command(CMainFrame::kCmdEditWatch)->trigger();
    EXPECT_EQ(list->topLevelItem(0)->text(0), "Local.c");
    EXPECT_EQ(list->topLevelItem(0)->text(1), CDebugger::kNotPausedText);

    // The Debug pane empties itself past 512K characters and says so.
    COutputPane* debug = bar->DebugPane();
    const QString chunk = (QString(99, u'x') + u'\n').repeated(1000);
    for (int i = 0; i < 6; ++i)
        debug->AppendText(chunk);
    EXPECT_EQ(debug->Written(), 600000);
    debug->AppendText("next line");
    EXPECT_TRUE(debug->toPlainText().startsWith("Maximum output of 512K reached. Output window has been reset."));
    EXPECT_TRUE(debug->toPlainText().endsWith("next line"));
    EXPECT_LT(debug->Written(), 200);
}

TEST_F(WindowTest, NextPaneAndNextTabMoveTheFocusAround)
{
    CMainFrame& frame = Frame();
    frame.activateWindow();
    QWidget* tree = frame.FileTree();
    COutputBar* bar = frame.OutputBar();
    tree->setFocus();
    // Without an editor: Files tree, output bar, Files tree.
    frame.OnNextPane(true);
    EXPECT_EQ(QApplication::focusWidget(), bar->currentWidget());
    frame.OnNextPane(true);
    EXPECT_EQ(QApplication::focusWidget(), tree);

    CChildFrame* child = frame.OpenDocumentFile(CStudioInstall::WebFile("pane.twp", "x"));
    ASSERT_NE(child, nullptr);
    tree->setFocus();
    frame.OnNextPane(true);
    EXPECT_EQ(QApplication::focusWidget(), child->View());
    frame.OnNextPane(true);
    EXPECT_EQ(QApplication::focusWidget(), bar->currentWidget());
    frame.OnNextPane(false);
    EXPECT_EQ(QApplication::focusWidget(), child->View());

    // In the output bar Ctrl+Tab goes to the next tab, after the last to the first.
    bar->SelectTab(COutputBar::kFindTab);
    frame.OnNextWindow();
    EXPECT_EQ(bar->currentIndex(), COutputBar::kDebugTab);
    tree->setFocus();
    frame.OnNextWindow();
    EXPECT_EQ(bar->currentIndex(), COutputBar::kDebugTab);
}

TEST_F(WindowTest, FindInFilesFillsTheResultsAndOpensAHit)
{
    const std::string page = CStudioInstall::WebFile("find/one.twp", "alpha\nbeta Gamma delta\n");
    CStudioInstall::WebFile("find/two.txt", "gamma\n");
    CMainFrame& frame = Frame();
    CModalAnswerer answerer;
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1008")->setText("gamma");
        dialog->findChild<QLineEdit*>("id1009")->setText("TWP");
        dialog->findChild<QLineEdit*>("id1010")->setText(
            QString::fromStdString("  " + CStudioInstall::Path() + "/webroot/find  "));
        dialog->findChild<QPushButton*>("id1")->click();
    });
    frame.Command(CMainFrame::kCmdFindInFiles)->trigger();
    CFindResultList* results = frame.OutputBar()->FindResults();
    ASSERT_TRUE(ProcessEventsUntil([results] { return !results->IsSearching(); }));
    ASSERT_EQ(results->count(), 2);
    EXPECT_EQ(results->item(0)->text().toStdString(), page + " (2): beta Gamma delta");
    EXPECT_EQ(results->item(1)->text(), "1 occurrence(s) have been found");
    EXPECT_EQ(frame.OutputBar()->currentIndex(), COutputBar::kFindTab);

    QString path;
    int line = 0;
    ASSERT_TRUE(CFindResultList::ParseHit(results->item(0)->text(), path, line));
    frame.OnOpenHit(path, line);
    ASSERT_NE(frame.ActiveView(), nullptr);
    EXPECT_EQ(frame.ActiveView()->textCursor().selectedText(), "Gamma");
    EXPECT_FALSE(CFindResultList::ParseHit("1 occurrence(s) have been found", path, line));

    // A types field left empty searches every file.
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1009")->clear();
        dialog->findChild<QPushButton*>("id1")->click();
    });
    frame.Command(CMainFrame::kCmdFindInFiles)->trigger();
    ASSERT_TRUE(ProcessEventsUntil([results] { return !results->IsSearching() && results->count() > 0; }));
    EXPECT_EQ(results->item(results->count() - 1)->text(), "2 occurrence(s) have been found");
}

TEST_F(WindowTest, ALongSearchShowsItsProgressInTheStatusBar)
{
    for (int i = 0; i < 30; ++i)
        CStudioInstall::WebFile("progress/f" + std::to_string(i) + ".twp", "nothing to see\n");
    CStudioInstall::WebFile("progress/deeper/last.twp", "nothing\n");
    CMainFrame& frame = Frame();
    QStringList shown;
    QObject::connect(frame.statusBar(), &QStatusBar::messageChanged, [&shown](const QString& text) { shown << text; });
    CFindResultList* results = frame.OutputBar()->FindResults();
    const std::string folder = CStudioInstall::Path() + "/webroot/progress";
    ASSERT_TRUE(results->StartFind("needle", ".twp", folder));
    ASSERT_TRUE(ProcessEventsUntil([results] { return !results->IsSearching(); }));
    ASSERT_FALSE(shown.isEmpty());
    const QString progress = QString::fromStdString("file(s) searched, now in " + folder);
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [&progress](const QString& text) {
        return text.contains(progress);
    })) << shown.join(" | ").toStdString();
    // The search over, the pane is idle again.
    EXPECT_EQ(StatusShown(frame), "Ready");
}

TEST_F(WindowTest, DialogsCheckWhatTheyAreGiven)
{
    CMainFrame& frame = Frame();
    CModalAnswerer answerer;
    // Tab stops outside 1..16 are refused and the dialog stays open. (Run here, not from a dialog
    // handler, so that the answerer can close the message boxes.)
    CSetTabStops tabStops(4, &frame);
    tabStops.show();
    for (const char* value : {"0", "17", "x"}) {
        tabStops.findChild<QLineEdit*>("id1002")->setText(value);
        tabStops.findChild<QPushButton*>("id1")->click();
        EXPECT_TRUE(tabStops.isVisible()) << value;
        EXPECT_EQ(answerer.LastMessage(), "Please enter an integer between 1 and 16.");
    }
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1002")->setText("6");
        dialog->findChild<QPushButton*>("id1")->click();
    });
    frame.Command(CMainFrame::kCmdTabStops)->trigger();
    EXPECT_EQ(frame.TabStops(), 6);

    // Automatic for both colours: the system's window text on its window colour.
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QListWidget*>("id1003")->setCurrentRow(CColorListBox::kAutomatic);
        dialog->findChild<QListWidget*>("id1004")->setCurrentRow(CColorListBox::kAutomatic);
        dialog->findChild<QPushButton*>("id1")->click();
    });
    frame.Command(CMainFrame::kCmdColor)->trigger();
    EXPECT_EQ(frame.TextColor(), QApplication::palette().color(QPalette::Text));
    EXPECT_EQ(frame.BackgroundColor(), QApplication::palette().color(QPalette::Base));
    EXPECT_EQ(ColorFromIndex(9, true), QColor(255, 0, 0));

    // Debugger options write the port and type back to the debugger.
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1032")->setText("8181");
        dialog->findChild<QRadioButton*>("id1035")->setChecked(true);
        dialog->findChild<QPushButton*>("id1")->click();
    });
    frame.Command(CMainFrame::kCmdDebuggerOptions)->trigger();
    EXPECT_EQ(TheDebugger().GetPort(), "8181");
    EXPECT_EQ(TheDebugger().GetSsl(), 1);
    TheDebugger().SetSsl(0);
}

TEST_F(WindowTest, DebuggerOptionsRefuseAPortOutside1To65535)
{
    CMainFrame& frame = Frame();
    CModalAnswerer answerer;
    CDebuggerOptionsDlg options("8085", 0, &frame);
    options.show();
    auto* port = options.findChild<QLineEdit*>("id1032");
    for (const char* value : {"abc", "70000", "0", "", "80 80"}) {
        answerer.Clear();
        port->setText(value);
        options.findChild<QPushButton*>("id1")->click();
        EXPECT_TRUE(options.isVisible()) << value;
        EXPECT_EQ(answerer.LastMessage(), "Please enter an integer between 1 and 65535.") << value;
    }
    port->setText(" 8086 ");
    options.findChild<QPushButton*>("id1")->click();
    EXPECT_FALSE(options.isVisible());
    EXPECT_EQ(options.result(), QDialog::Accepted);
    EXPECT_EQ(options.Port(), "8086");
}

TEST_F(WindowTest, TheStatusBarReturnsToReadyAfterTipsAndDialogs)
{
    CMainFrame& frame = Frame();
    EXPECT_EQ(StatusShown(frame), "Ready");
    // A menu or tool bar item shows its tip while pointed at, and an empty one as the pointer
    // leaves it.
    QStatusTipEvent tip("Opens a file");
    QApplication::sendEvent(&frame, &tip);
    EXPECT_EQ(StatusShown(frame), "Opens a file");
    QStatusTipEvent none("");
    QApplication::sendEvent(&frame, &none);
    EXPECT_EQ(StatusShown(frame), "Ready");

    CModalAnswerer answerer;
    frame.Command(CMainFrame::kCmdAddWatch)->trigger();
    ProcessEvents();
    EXPECT_EQ(StatusShown(frame), "Ready");
}

TEST_F(WindowTest, DialogsAreWideEnoughForTheirCaptions)
{
    CMainFrame& frame = Frame();
    QFont title = QApplication::font();
    title.setBold(true);
    const QFontMetrics metrics(title);
    CAddWatchDlg addWatch(&frame);
    CGotoOffsetDlg gotoOffset(&frame);
    CSetTabStops tabStops(4, &frame);
    for (QDialog* dialog : std::initializer_list<QDialog*>{&addWatch, &gotoOffset, &tabStops}) {
        dialog->show();
        ProcessEvents();
        // Beside the caption a title bar holds the window's icon and three buttons.
        EXPECT_GE(dialog->width(), metrics.horizontalAdvance(dialog->windowTitle()) + 100)
            << dialog->windowTitle().toStdString();
        dialog->close();
    }
}

TEST_F(WindowTest, NewAndCascadedEditorsLieInsideTheAreaAtAUsableSize)
{
    CMainFrame& frame = Frame();
    frame.resize(900, 700);
    ProcessEvents();
    QMdiArea* mdi = frame.MdiArea();
    const auto checkAll = [mdi](const char* when) {
        const QRect area = mdi->viewport()->rect();
        for (QMdiSubWindow* window : mdi->subWindowList()) {
            EXPECT_TRUE(area.contains(window->geometry()))
                << when << ": " << window->geometry().x() << "," << window->geometry().y() << " " << window->width()
                << "x" << window->height() << " in " << area.width() << "x" << area.height();
            EXPECT_GE(window->width(), area.width() / 2) << when;
            EXPECT_GE(window->height(), area.height() / 2) << when;
        }
    };
    for (int i = 0; i < 8; ++i)
        frame.NewDocument();
    ProcessEvents();
    checkAll("new");
    // Each new one opens below and right of the one before, so its title bar shows.
    const QList<QMdiSubWindow*> windows = mdi->subWindowList(QMdiArea::CreationOrder);
    EXPECT_GT(windows[1]->y(), windows[0]->y());
    EXPECT_GT(windows[1]->x(), windows[0]->x());

    for (QMdiSubWindow* window : windows)
        window->setGeometry(-50, -40, 120, 90);
    frame.Command(CMainFrame::kCmdCascade)->trigger();
    ProcessEvents();
    checkAll("cascade");
    const QList<QMdiSubWindow*> stacked = mdi->subWindowList(QMdiArea::StackingOrder);
    EXPECT_GT(stacked[1]->y(), stacked[0]->y());
}

TEST_F(WindowTest, ToolButtonsAreReleasedAndUnlitWhenTheFrameIsActiveAgain)
{
    CMainFrame& frame = Frame();
    QToolButton* open = LeaveOpenButtonDown(frame);
    frame.activateWindow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return frame.isActiveWindow(); }));
    EXPECT_FALSE(open->isDown());
    EXPECT_FALSE(open->underMouse());
}

TEST_F(WindowTest, ToolButtonsAreReleasedAndUnlitAfterAToolBarCommand)
{
    CMainFrame& frame = Frame();
    QToolButton* open = LeaveOpenButtonDown(frame);
    // The frame stays inactive; New runs from its tool button.
    QToolButton* create = ToolButton(frame, CMainFrame::kCmdNew);
    const QPoint on = create->mapTo(&frame, create->rect().center());
    PointTo(frame, on);
    QTest::mouseClick(frame.windowHandle(), Qt::LeftButton, {}, on);
    ASSERT_TRUE(ProcessEventsUntil([&] { return frame.ActiveChild() != nullptr; }));
    ProcessEvents();
    EXPECT_FALSE(open->isDown());
    EXPECT_FALSE(open->underMouse());
}

TEST_F(WindowTest, BreakpointsDialogGoesToAnEntryOrClearsThemAll)
{
    const std::string page = CStudioInstall::WebFile("bps.twp", "a\nb\nc\nd\n");
    TheDebugger().ToggleBreakpoint(page, 3);
    TheDebugger().ToggleBreakpoint(page, 1);
    CMainFrame& frame = Frame();
    CModalAnswerer answerer;
    // Go To without a selection says so and keeps the dialog open.
    CBreakpointsDlg alone(TheDebugger().GetBreakpointList(), &frame);
    alone.show();
    EXPECT_EQ(alone.findChild<QListWidget*>("id1012")->count(), 2);
    alone.findChild<QPushButton*>("id1023")->click();
    EXPECT_EQ(answerer.LastMessage(), "Please select an item first");
    EXPECT_TRUE(alone.isVisible());
    alone.close();

    // With a selection the frame opens the file at that line.
    answerer.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QListWidget*>("id1012")->setCurrentRow(0);
        dialog->findChild<QPushButton*>("id1023")->click();
    });
    frame.Command(CMainFrame::kCmdBreakpoints)->trigger();
    ASSERT_NE(frame.ActiveView(), nullptr);
    EXPECT_EQ(frame.ActiveChild()->Path(), page);
    EXPECT_EQ(frame.ActiveView()->CurrentLine(), 2);

    answerer.QueueDialog([](QWidget* dialog) { dialog->findChild<QPushButton*>("id1022")->click(); });
    frame.Command(CMainFrame::kCmdBreakpoints)->trigger();
    EXPECT_EQ(TheDebugger().GetBreakpointList(), "");
}

}  // namespace
