#include "console/command_runner.h"

#include <QWidget>

bool CCommandRunner::Run(const std::string& address, int port, CConsoleCommand command, Handler handler)
{
    // The reply is posted to this object: Qt drops the posted call if the object is destroyed
    // before the window's thread gets to it.
    const unsigned generation = m_generation + 1;
    const bool started = m_client.Start(address, port, std::move(command),
                                        [this, generation, handler = std::move(handler)](CCommandReply reply) {
                                            QMetaObject::invokeMethod(
                                                this,
                                                [this, generation, handler, reply = std::move(reply)] {
                                                    // A reply that was already on its way when its command was given up.
                                                    if (generation != m_generation || !m_busy)
                                                        return;
                                                    m_busy = false;
                                                    handler(reply);
                                                    if (!m_busy)
                                                        emit busyChanged(false);
                                                },
                                                Qt::QueuedConnection);
                                        });
    if (!started)
        return false;
    m_generation = generation;
    m_busy = true;
    emit busyChanged(true);
    return true;
}

void CCommandRunner::Cancel()
{
    if (!m_busy)
        return;
    m_client.Cancel();
    ++m_generation;
    m_busy = false;
    emit busyChanged(false);
}

void CCommandRunner::ShowBusyOn(QWidget* widget)
{
    connect(this, &CCommandRunner::busyChanged, widget, [widget](bool busy) {
        if (busy)
            widget->setCursor(Qt::BusyCursor);
        else
            widget->unsetCursor();
    });
}
