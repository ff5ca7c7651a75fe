// Small pieces that every twStudio window uses: the shared widget helpers with their message box,
// and CQueuedTarget, through which other threads hand work to a window on the user-interface thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include <QMessageBox>
#include <QObject>
#include <QString>

#include "qt_support/widget_support.h"

class QWidget;

inline constexpr const char* kStudioTitle = "Tarnwick Studio";
// What a command that acts on a selected list entry says when none is selected.
inline constexpr const char* kSelectItemFirst = "Please select an item first";

// Queues calls for a window's thread from any thread. The window detaches the target before it
// goes; calls queued afterwards are dropped, and calls already queued die with the window.
class CQueuedTarget
{
public:
    explicit CQueuedTarget(QObject* receiver) : m_receiver(receiver) {}
    CQueuedTarget(const CQueuedTarget&) = delete;
    CQueuedTarget& operator=(const CQueuedTarget&) = delete;

    void Post(std::function<void()> call);
    void Detach();

private:
    std::mutex m_lock;  // guards m_receiver
    QObject* m_receiver;
};
