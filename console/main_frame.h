// CMainFrame: twConsole's main window: the menus and tool bar of the server commands, the status
// bar with the server type, the status view (CServerView) as its content, and its position, which
// survives in the user's profile.
#pragma once

#include <QMainWindow>

class CConsoleApp;
class CServerView;
class QAction;
class QLabel;

class CMainFrame : public QMainWindow
{
    Q_OBJECT
public:
    explicit CMainFrame(CConsoleApp& app, QWidget* parent = nullptr);

    CServerView* View() const { return m_view; }
    // The command with a menu id (32781 Start ... 32799 Create Data Source).
    QAction* Command(int id) const;
    // Moves the window to the stored position when it is a usable one.
    void RestorePosition();
    // Without a stored position (the first start), widens the window so that every column of the
    // view shows, as far as the screen allows. Called once the view has its column widths.
    void FitColumnsUnlessPlaced();
    // "System Service (systemd)" or "Normal App", by the console's service mode.
    void UpdateServerType();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt);
    void EnableCommands(bool running);
    // The status bar's note and the commands while a console command waits for the server.
    void ShowWaiting(bool waiting);
    void SavePosition();

    CConsoleApp& m_app;
    CServerView* m_view;
    QLabel* m_serverType;
    bool m_placed = false;
};
