// Small pieces that every twStudio window uses: text conversion between the program's byte strings
// (UTF-8) and Qt, control ids kept as object names ("id1026") so that tests and the code find
// controls alike, message boxes titled with the program's name, and CQueuedTarget, through which
// other threads hand work to a window on the user-interface thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include <QMessageBox>
#include <QObject>
#include <QString>

class QWidget;

inline constexpr const char* kStudioTitle = "Tarnwick Studio";

inline QString ToQt(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text)
{
    return text.toUtf8().toStdString();
}

// "id<number>": the object name of a control or command with that id.
QString ControlName(int id);
template <typename Widget>
Widget* WithId(Widget* widget, int id)
{
    widget->setObjectName(ControlName(id));
    return widget;
}

// A message box with an OK button; returns when it is closed.
void ShowMessage(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Warning);

// The wait cursor for the life of the object.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// Queues calls for a window's thread from any thread. The window detaches the target before it
// goes; calls queued afterwards are dropped, and calls already queued die with the window.
class CQueuedTarget {
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
