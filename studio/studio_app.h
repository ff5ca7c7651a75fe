// CStudioApp: twStudio's start-up and run. It sets up the locale's date formats, the log and the
// per-user profile, makes the main frame (which reads the profile and may move the installation
// folder to the one the Files root lies in), points the driver manager at that installation's data
// sources, and runs the event loop. The studio always starts without a document.
#pragma once

#include <memory>
#include <string>

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
    [[nodiscard]] bool InitInstance();
    CMainFrame* MainFrame() const { return m_frame.get(); }

    // The whole program: QApplication, InitInstance, the event loop. Returns the exit status.
    static int Run(int argc, char** argv);

    // Makes `installDir` the installation that runs use from now on: the web root, tmp and mail
    // folders of pages and scripts, and the mail store of their Email_In and Email_Out objects. Only
    // while no run is under way. The data sources stay those that the driver manager read first.
    static void UseInstallation(const std::string& installDir);

private:
    std::unique_ptr<CMainFrame> m_frame;
};
