// twConsole with its window: start-up under the single-instance lock (a second console only
// brings the first one's window forward), the settings, the data-source check, the main window
// and the event loop.
#pragma once

#include <string>

#include <QObject>

class QSocketNotifier;

// How a second console reaches the first: a UNIX socket "<install>/tmp/twConsole3EnsureSingle.sock"
// that the first one listens on while it holds the single-instance lock. A connection asks it to
// show its window.
class CInstanceBeacon : public QObject
{
    Q_OBJECT
public:
    explicit CInstanceBeacon(std::string path, QObject* parent = nullptr);
    ~CInstanceBeacon() override;

    // Listens (call only under the single-instance lock: a stale socket file is replaced).
    [[nodiscard]] bool Listen();
    // The other side: true when a first console was told to come forward.
    [[nodiscard]] static bool Signal(const std::string& path);

signals:
    void raiseRequested();

private:
    void Accept();

    std::string m_path;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

// The interactive program: returns the process's exit status.
int RunInteractiveConsole(int argc, char** argv);
