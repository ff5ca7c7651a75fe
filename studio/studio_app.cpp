#include "studio/studio_app.h"

#include <clocale>
#include <csignal>

#include <QApplication>

#include "database/odbc_setup.h"
#include "foundation/log.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "language/ssp_app.h"
#include "language/ssp_engine.h"
#include "mail/email_in.h"
#include "mail/email_out.h"
#include "platform/file_system.h"
#include "studio/debugger.h"
#include "studio/gui_support.h"
#include "studio/main_frame.h"

CStudioApp::CStudioApp() = default;

CStudioApp::~CStudioApp() = default;

bool CStudioApp::InitInstance()
{
    InitUserLocaleDateTime();
    TheLog().SetFileMode(GetProgramDirectory() + "/webroot");
    // A peer that goes away while the debugger's server sends to it must cost a failed send only.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication::setOrganizationName(kProfileOrganization);
    QCoreApplication::setApplicationName(kProfileApplication);
    SetMessageTitle(kStudioTitle);
    // The settings are the installation's: their file is taken now, before the profile's root path
    // may replace the installation folder for everything else.
    TheServerConfig();

    m_frame = std::make_unique<CMainFrame>();
    // The data sources of the installation that the frame chose. The driver manager reads where
    // they are once per process, so a Files root chosen later cannot change them.
    UseInstallationOdbcIni(GetProgramDirectory());
    CSspEngine::InstallDebugHooks(&TheDebugger());
    m_frame->show();
    return true;
}

void CStudioApp::UseInstallation(const std::string& installDir)
{
    SetProgramDirectory(installDir);
    // The mail store that email_in reads and the outbox that email_out and Server.SendMail write.
    RegisterEmailInObjects(TheServerConfig(), installDir);
    RegisterEmailOutObjects(TheSspApp(), TheServerConfig(), installDir);
}

int CStudioApp::Run(int argc, char** argv)
{
    QApplication application(argc, argv);
    // Qt takes the user's locale for everything; numbers and times stay those of "C".
    std::setlocale(LC_NUMERIC, "C");
    std::setlocale(LC_TIME, "C");
    CStudioApp studio;
    if (!studio.InitInstance())
        return 1;
    const int status = QApplication::exec();
    // The frame stops the debugger before it goes; nothing of the engine runs after this.
    studio.m_frame.reset();
    CSspEngine::InstallDebugHooks(nullptr);
    return status;
}
