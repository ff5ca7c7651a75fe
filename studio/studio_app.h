// CStudioApp: twStudio's start-up and run. It sets up the locale's date formats, the log and the
// per-user profile, makes the main frame (which reads the profile and may move the installation
// folder to the profile's root path), prepares the engine for debugging runs below the final
// installation folder, and runs the event loop. The studio always starts without a document.
#pragma once

#include <memory>

class CMainFrame;

class CStudioApp
{
public:
    static constexpr const char* kProfileOrganization = "Morvale";
    static constexpr const char* kProfileApplication = "twStudio";

    CStudioApp();
    ~CStudioApp();

    // Everything after the QApplication exists; the main frame is shown. False when the studio
    // cannot run.
    bool InitInstance();
    CMainFrame* MainFrame() const { return m_frame.get(); }

    // The whole program: QApplication, InitInstance, the event loop. Returns the exit status.
    static int Run(int argc, char** argv);

private:
    std::unique_ptr<CMainFrame> m_frame;
};
