// Window tests of the studio under the offscreen platform: the console's QApplication environment
// and modal answerer, the studio's own installation folder, and a fixture that makes the main frame
// with the studio's profile names.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <QApplication>
#include <QSettings>
#include <QTimer>

#include "language/ssp_engine.h"
#include "studio/debugger.h"
#include "studio/main_frame.h"
#include "studio/studio_app.h"
#include "tests/console/gui_test_support.h"
#include "tests/studio/studio_install.h"

// Runs the event loop until `condition` holds or the limit passes; returns the condition.
inline bool ProcessEventsUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class StudioWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QCoreApplication::setOrganizationName(CStudioApp::kProfileOrganization);
        QCoreApplication::setApplicationName(CStudioApp::kProfileApplication);
        QSettings().clear();
        CSspEngine::InstallDebugHooks(&TheDebugger());
    }
    void TearDown() override
    {
        m_frame.reset();
        CSspEngine::InstallDebugHooks(nullptr);
        TheDebugger().ClearBreakpoints();
        SetProgramDirectory(CStudioInstall::Path());
    }

    // Makes (or makes again, reading the profile anew) the main frame and shows it.
    CMainFrame& Frame()
    {
        m_frame.reset();
        m_frame = std::make_unique<CMainFrame>();
        m_frame->show();
        ProcessEvents();
        return *m_frame;
    }

    template <typename Widget>
    Widget* Find(const QString& name) const
    {
        return m_frame->findChild<Widget*>(name);
    }

    std::unique_ptr<CMainFrame> m_frame;
};
