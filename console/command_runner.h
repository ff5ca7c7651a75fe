// CCommandRunner: how a console window runs a console command without waiting for the server.
// The command runs on the client's own thread (CCommandClient); its reply comes back on the
// window's thread as a call of the handler that was given with it. One command is in flight at a
// time; meanwhile busyChanged tells the window, which shows that it waits and holds back its
// commands. A window keeps its runner as a member: destroying the runner cuts the command in
// flight short, and a reply still queued for it is dropped with it, so no handler runs on a
// destroyed window.
#pragma once

#include <functional>
#include <string>

#include <QObject>

#include "console/command_client.h"

class QWidget;

class CCommandRunner : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const CCommandReply& reply)>;

    // Runs `command` at `address`:`port`; `handler` gets the reply on this object's thread. False,
    // and nothing started, while another command is in flight.
    [[nodiscard]] bool Run(const std::string& address, int port, CConsoleCommand command, Handler handler);
    bool Busy() const { return m_busy; }
    // Gives up the command in flight: its handler is not called, and the runner is free at once.
    void Cancel();
    // Gives `widget` the busy cursor while a command is in flight.
    void ShowBusyOn(QWidget* widget);

signals:
    // True when a command starts; false after the handler of the last one has returned, so that
    // a handler that starts the next command keeps the window waiting.
    void busyChanged(bool busy);

private:
    bool m_busy = false;
    // Counts the commands started; a reply of one given up no longer matches it.
    unsigned m_generation = 0;
    // Last, so that it is destroyed first: its thread is gone before this object stops taking
    // the replies that the thread posts.
    CCommandClient m_client;
};
