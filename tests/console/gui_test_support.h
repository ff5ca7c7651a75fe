// Window tests of the console under the offscreen platform: one QApplication for the test
// program (made by a global test environment), the user's profile in a temporary folder, and an
// answerer that deals with the modal message boxes and dialogs that the code under test opens.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include "tests/support/temp_folder.h"

class CQtEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The profile (QSettings) lives below XDG_CONFIG_HOME.
        m_profile = std::make_unique<TempFolder>("tw-console-profile");
        setenv("XDG_CONFIG_HOME", m_profile->Path().c_str(), 1);
        static int argc = 1;
        static char name[] = "console_gui_test";
        static char* argv[] = {name, nullptr};
        m_application = std::make_unique<QApplication>(argc, argv);
        std::setlocale(LC_NUMERIC, "C");
        std::setlocale(LC_TIME, "C");
    }
    void TearDown() override
    {
        m_application.reset();
        m_profile.reset();
    }

private:
    std::unique_ptr<TempFolder> m_profile;
    std::unique_ptr<QApplication> m_application;
};

inline const bool kQtEnvironmentAdded = (::testing::AddGlobalTestEnvironment(new CQtEnvironment), true);

// While it lives, answers every modal window that opens: a message box is recorded and closed with
// the next queued button (OK, or Yes for a question, when the queue is empty); any other modal
// dialog goes to the next queued handler, which fills it in and closes it (rejected when there is
// none).
class CModalAnswerer
{
public:
    using DialogHandler = std::function<void(QWidget* dialog)>;

    CModalAnswerer()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Answer(); });
        m_timer.start();
    }

    void QueueButton(QMessageBox::StandardButton button) { m_buttons.push_back(button); }
    void QueueDialog(DialogHandler handler) { m_handlers.push_back(std::move(handler)); }

    const std::vector<std::string>& Messages() const { return m_messages; }
    std::string LastMessage() const { return m_messages.empty() ? "" : m_messages.back(); }
    QMessageBox::Icon LastIcon() const { return m_icons.empty() ? QMessageBox::NoIcon : m_icons.back(); }
    bool Saw(const std::string& text) const
    {
        for (const std::string& message : m_messages)
            if (message.find(text) != std::string::npos)
                return true;
        return false;
    }
    void Clear() { m_messages.clear(); }

private:
    void Answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            m_messages.push_back(box->text().toStdString());
            m_icons.push_back(box->icon());
            QMessageBox::StandardButton button = box->button(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
            if (!m_buttons.empty()) {
                button = m_buttons.front();
                m_buttons.pop_front();
            }
            if (QAbstractButton* target = box->button(button))
                target->click();
            else
                box->close();
            return;
        }
        if (modal == m_handling)
            return;
        if (m_handlers.empty()) {
            modal->close();
            return;
        }
        // The handler runs after this timer's slot has returned, so that a message box that it
        // opens (a refused value) is answered from the nested event loop.
        m_handling = modal;
        DialogHandler handler = std::move(m_handlers.front());
        m_handlers.pop_front();
        QTimer::singleShot(0, modal, [this, modal, handler] {
            handler(modal);
            m_handling = nullptr;
        });
    }

    QTimer m_timer;
    std::deque<QMessageBox::StandardButton> m_buttons;
    std::deque<DialogHandler> m_handlers;
    std::vector<std::string> m_messages;
    std::vector<QMessageBox::Icon> m_icons;
    QWidget* m_handling = nullptr;
};

// Counts the ticks of a 5 ms timer: while a test waits for a window, they show that the window's
// thread goes on processing its events.
class CEventTicker
{
public:
    CEventTicker()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { ++m_ticks; });
        m_timer.start(5);
    }
    int Ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    int m_ticks = 0;
};

// Lets queued events (timers, repaints) run for a moment.
inline void ProcessEvents(int milliseconds = 20)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(milliseconds);
    while (timer.isActive())
        QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Lets events run until `condition` holds, checking it after each one (a ticking timer makes
// sure that the check comes back); false when `limit` passed first.
template <typename Condition>
bool ProcessEventsUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick;
    tick.start(10);
    while (!condition()) {
        if (elapsed.hasExpired(limit.count()))
            return false;
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
