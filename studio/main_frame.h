// CMainFrame: twStudio's main window. It holds the Files pane at the left, the editors of the open
// files in an MDI area at the right, the output bar across the bottom, the tool bar and the status
// bar; it keeps the studio's per-user profile (editor font, tab stops, colours, Files root and
// filter, debugger port and type, window layout), issues the debugger's commands and shows what
// the debugger reports: it is the debugger's window (CDebuggerWindow), and every report reaches it
// as a queued call on the user-interface thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <QFont>
#include <QMainWindow>

#include "studio/debugger.h"

class CChildFrame;
class CFileTree;
class CFilesPane;
class COutputBar;
class CQueuedTarget;
class CSspView;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QSplitter;

class CMainFrame : public QMainWindow, public CDebuggerWindow
{
    Q_OBJECT
public:
    // Command ids (menus, tool bar, accelerators); each command's QAction is named "id<id>".
    enum Command : int
    {
        kCmdFont = 32771,
        kCmdTabStops = 32772,
        kCmdRootFilter = 32784,
        kCmdColor = 32783,
        kCmdFindInFiles = 32789,
        kCmdToggleBreakpoint = 32796,
        kCmdBreakpoints = 32797,
        kCmdGo = 32799,
        kCmdSingleStep = 32801,
        kCmdStop = 32802,
        kCmdNextWindow = 32805,
        kCmdSaveAll = 32806,
        kCmdStopFind = 32808,
        kCmdAddWatch = 32810,
        kCmdRemoveWatch = 32811,
        kCmdQuickWatch = 32812,
        kCmdEditWatch = 32813,
        kCmdDebuggerOptions = 32814,
        kCmdBreak = 32815,
        kCmdGotoOffset = 32816,
        kCmdUpperCase = 32817,
        kCmdLowerCase = 32818,
        kCmdStepOut = 32819,
        kCmdBrowse = 32822,
        kCmdNew = 57600,
        kCmdOpen = 57601,
        kCmdClose = 57602,
        kCmdSave = 57603,
        kCmdSaveAs = 57604,
        kCmdPrintSetup = 57606,
        kCmdPrint = 57607,
        kCmdPrintPreview = 57609,
        kCmdRecentFile = 57616,  // up to four: 57616..57619
        kCmdCopy = 57634,
        kCmdCut = 57635,
        kCmdFind = 57636,
        kCmdPaste = 57637,
        kCmdFindAgain = 57638,
        kCmdReplace = 57641,
        kCmdUndo = 57643,
        kCmdCascade = 57650,
        kCmdTileHorizontally = 57651,
        kCmdTileVertically = 57652,
        kCmdAbout = 57664,
        kCmdExit = 57665,
        kCmdNextPane = 57680,
        kCmdPreviousPane = 57681,
    };
    static constexpr int kRecentFiles = 4;
    static constexpr const char* kDefaultFilter = ".twp; .tws; .html; .txt";
    static constexpr const char* kIdleMessage = "Ready";

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    QAction* Command(int id) const;
    // Enables every command by the debugger's state, the active editor and the search.
    void UpdateCommands();

    // What the editors take from the frame.
    const QFont& EditorFont() const { return m_font; }
    int TabStops() const { return m_tabStops; }
    QColor TextColor() const;
    QColor BackgroundColor() const;

    COutputBar* OutputBar() const { return m_outputBar; }
    CFileTree* FileTree() const;
    QMdiArea* MdiArea() const { return m_mdi; }
    CChildFrame* ActiveChild() const;
    CSspView* ActiveView() const;
    const std::string& RootPath() const { return m_rootPath; }

    // Opens a file in an editor, or activates the one that shows it already; null after showing
    // why it could not be read.
    CChildFrame* OpenDocumentFile(const std::string& path, bool reportFailure = true);
    CChildFrame* NewDocument();
    // Saves a child's file (asking for a name when it has none or `saveAs`); false when not saved.
    [[nodiscard]] bool SaveDocument(CChildFrame* child, bool saveAs);
    // Offers every modified file for saving; false when the user cancels.
    [[nodiscard]] bool SaveAllModified();
    // Sets the Files root (the install folder when empty) and filter and fills the tree anew. Runs
    // take their folders from the installation that the root lies in from now on; false when a
    // debugging session under way keeps the old one until the debugger next starts.
    bool SetRootAndFilter(const std::string& root, const std::string& filter);
    void UpdateFrameTitle();

    // The debugger's reports, queued for the user-interface thread.
    void PostRunStarted() override;
    void PostPaused(int line, std::string path) override;
    void PostPauseEnded() override;
    void PostRunEnded() override;
    void PostRunError(int offset, std::string path) override;
    void PostOutputLine(std::string text) override;

    // What the reports do on the user-interface thread.
    void OnDebuggerPaused(int line, const std::string& path);
    void OnDebuggerError(int offset, const std::string& path);

    // Commands.
    void OnDebugGo();
    void OnSingleStep();
    void OnStepOut();
    void OnToggleBreakpoint();
    void OnBreakpoints();
    void OnQuickWatch();
    void OnAddWatch();
    void OnEditWatch();
    void OnDebuggerOptions();
    void OnFindInFiles();
    void OnRootFilter();
    void OnFont();
    void OnTabStops();
    void OnColor();
    void OnNextPane(bool forward);
    void OnNextWindow();
    void OnBrowse();
    void OnGotoOffset();
    void OnOpenHit(const QString& path, int line);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    static constexpr const char* kCannotLoad = "This program could not load the file.";
    static constexpr int kMaxFaceName = 31;

    QAction* AddCommand(QMenu* menu, int id, const QString& text, const QList<QKeySequence>& keys = {});
    void CreateCommands();
    void CreateToolBar();
    // Brings the tool bars' buttons back in line with the pointer and the mouse buttons. A press
    // whose release went to a modal window that opened meanwhile leaves its button drawn down, and
    // a Leave that never came leaves a button's hover frame; both would stay until the next click.
    // Nothing here triggers a command.
    void ResetToolButtons();
    void ReadProfile();
    // Makes the installation that the Files root lies in (the studio's own when none) the one
    // that runs use; false while the debugger is not idle.
    bool UseRootInstallation();
    // The installation in use has other data sources than the one the studio started with, which
    // the driver manager keeps until the studio starts again.
    bool KeepsStartDataSources() const;
    void SaveProfile();
    void ApplyPaneSizes();
    void Shutdown();
    // Prepares a debugging run from idle: saves, empties the Debug and Request/Response panes and
    // shows Debug. False when the user cancelled the saving.
    [[nodiscard]] bool PrepareDebugStart();
    void BroadcastHint(int hint);
    void RepaintMargins();
    void OnFileOpen();
    void OnFind(bool again);
    void OnReplace();
    void OnPrint(int kind);
    void AddRecentFile(const std::string& path);
    void UpdateRecentFiles();
    void Tile(Qt::Orientation orientation);
    // Stacks the editors a title bar apart, each inside the MDI area at a usable size.
    void Cascade();
    // Where the index-th window of a cascade of windows of that size goes: a title bar further down
    // and right than the one before, starting again at the top left before it would leave the area.
    QPoint CascadePosition(int index, QSize size) const;
    int CascadeStep() const;
    QMdiSubWindow* FindSubWindow(const std::string& path) const;
    // Shows a new editor in the MDI area and makes it the active one.
    void AddChild(CChildFrame* child);

    std::shared_ptr<CQueuedTarget> m_target;
    std::map<int, QAction*> m_commands;

    // Editor settings.
    struct LogFont
    {
        int height = 0;  // 0: the system's fixed font, and nothing else is read or written
        int weight = 0;
        int italic = 0;
        int underline = 0;
        int pitchAndFamily = 0;
        int charSet = 1;
        std::string faceName = "System";
    } m_logFont;
    QFont m_font;
    int m_tabStops = 4;
    int m_textColor = 16;
    int m_backgroundColor = 16;
    std::string m_rootPath;
    std::string m_fileFilter = kDefaultFilter;
    // The installation's own folder, the one in effect (a Files root may name another) and the one
    // in effect when the frame started.
    std::string m_ownInstallDir;
    std::string m_installDir;
    std::string m_startInstallDir;
    // The texts of the last Find in Files, and of the last Find.
    std::string m_findWhat;
    std::string m_findTypes;
    std::string m_findFolder;
    QString m_findText;
    QString m_replaceText;
    bool m_findMatchCase = false;

    // Layout: the profile's values until the window first shows.
    int m_leftPaneX = -10;
    int m_bottomPaneHeight = -10;
    bool m_paneSizesApplied = false;
    bool m_shutDown = false;
    int m_newNumber = 0;

    CFilesPane* m_filesPane;
    COutputBar* m_outputBar;
    QMdiArea* m_mdi;
    QSplitter* m_topSplitter;
    QSplitter* m_bottomSplitter;
    QLabel* m_positionIndicator;
    QMenu* m_recentMenu = nullptr;
};
