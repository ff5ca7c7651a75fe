// The service as the console controls it: the unit file it writes and reads back, and the
// systemctl calls it makes, against a stand-in systemctl that keeps the unit's state in files.
#include <gtest/gtest.h>

#include <unistd.h>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/service_control.h"
#include "tests/console/console_test_support.h"
#include "tests/support/temp_folder.h"

namespace {

class ServiceControlTest : public ::testing::Test
{
protected:
    void SetUp() override { CServiceControl::SetPollInterval(std::chrono::milliseconds(10)); }

    TempFolder m_folder{"tw-console-service"};
    CFakeSystemctl m_systemctl{m_folder.Path()};
};

TEST_F(ServiceControlTest, InstallWritesTheUnitAndQueryConfigReadsItBack)
{
    CServiceControl manager;
    ASSERT_TRUE(manager.IsOpen());
    EXPECT_FALSE(manager.Exists("TarnwickServer3"));
    ASSERT_TRUE(manager.Install("/opt/tw server/bin/twServer", "TarnwickServer3", "TarnwickServer3",
                                CServiceControl::kAutoStart, "postgresql", "tw", "password"))
        << manager.GetErrorText();
    const std::string unit = ReadWholeFile(m_systemctl.UnitPath());
    EXPECT_NE(unit.find("ExecStart=\"/opt/tw server/bin/twServer\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("Requires=postgresql.service\nAfter=postgresql.service\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("User=tw\n"), std::string::npos);
    EXPECT_EQ(unit.find("password"), std::string::npos);
    EXPECT_NE(m_systemctl.Calls().find("daemon-reload\nenable TarnwickServer3.service\n"), std::string::npos)
        << m_systemctl.Calls();

    int startType = -1;
    std::string dependency;
    ASSERT_TRUE(manager.QueryConfig("TarnwickServer3", startType, &dependency));
    EXPECT_EQ(startType, CServiceControl::kAutoStart);
    EXPECT_EQ(dependency, "postgresql");

    EXPECT_FALSE(manager.Install("/usr/bin/twServer", "TarnwickServer3", "TarnwickServer3",
                                 CServiceControl::kDemandStart, "", "", ""));
    EXPECT_NE(manager.GetErrorText().find("Error [17]"), std::string::npos) << manager.GetErrorText();
}

TEST_F(ServiceControlTest, StartTypesAndDependenciesRewriteTheUnit)
{
    CServiceControl manager;
    ASSERT_TRUE(manager.Install("/usr/bin/twServer", "TarnwickServer3", "TarnwickServer3",
                                CServiceControl::kDemandStart, "", "", ""));
    EXPECT_NE(ReadWholeFile(m_systemctl.UnitPath()).find("ExecStart=/usr/bin/twServer\n"), std::string::npos);
    EXPECT_EQ(m_systemctl.Calls().find("enable"), std::string::npos) << "a manual service is not enabled";

    ASSERT_TRUE(manager.SetStartType("TarnwickServer3", CServiceControl::kDisabled)) << manager.GetErrorText();
    int startType = -1;
    ASSERT_TRUE(manager.QueryConfig("TarnwickServer3", startType));
    EXPECT_EQ(startType, CServiceControl::kDisabled);
    EXPECT_NE(ReadWholeFile(m_systemctl.UnitPath()).find("RefuseManualStart=yes"), std::string::npos);
    ASSERT_TRUE(manager.SetStartType("TarnwickServer3", CServiceControl::kDemandStart));
    ASSERT_TRUE(manager.QueryConfig("TarnwickServer3", startType));
    EXPECT_EQ(startType, CServiceControl::kDemandStart);

    const std::string fifty(50, 'd');
    EXPECT_TRUE(manager.SetDependency("TarnwickServer3", fifty)) << manager.GetErrorText();
    std::string dependency;
    ASSERT_TRUE(manager.QueryConfig("TarnwickServer3", startType, &dependency));
    EXPECT_EQ(dependency, fifty);
    EXPECT_FALSE(manager.SetDependency("TarnwickServer3", fifty + "d"));
    EXPECT_EQ(manager.GetErrorText(), "Service dependency can not longer than 50 charaters.");
    EXPECT_FALSE(manager.SetDependency("TarnwickServer3", "x\nExecStartPre=/bin/false"))
        << "a value never adds a line of its own to the unit";
    EXPECT_TRUE(manager.SetDependency("TarnwickServer3", ""));
    EXPECT_EQ(ReadWholeFile(m_systemctl.UnitPath()).find("Requires="), std::string::npos);
}

TEST_F(ServiceControlTest, StopOfAStoppedServiceSendsNoControlAndRemoveDeletesTheUnit)
{
    m_systemctl.InstallUnit();
    CServiceControl manager;
    EXPECT_TRUE(manager.StopByName("TarnwickServer3"));
    EXPECT_EQ(m_systemctl.Calls().find("stop"), std::string::npos) << m_systemctl.Calls();

    m_systemctl.Set("active", "active");
    EXPECT_TRUE(manager.IsRunning("TarnwickServer3"));
    ASSERT_TRUE(manager.RemoveByName("TarnwickServer3")) << manager.GetErrorText();
    EXPECT_NE(m_systemctl.Calls().find("stop --no-block TarnwickServer3.service\n"), std::string::npos);
    EXPECT_NE(m_systemctl.Calls().find("disable TarnwickServer3.service\n"), std::string::npos);
    EXPECT_NE(access(m_systemctl.UnitPath().c_str(), F_OK), 0);
    EXPECT_FALSE(manager.Exists("TarnwickServer3"));
}

TEST_F(ServiceControlTest, TheConsoleStartsAndStopsTheServiceInServiceMode)
{
    m_systemctl.InstallUnit();
    std::ofstream(m_folder.Path() + "/settings.conf") << "GeneralTcpipPort=80\n";
    CConsoleConfig config(m_folder.Path() + "/settings.conf", m_folder.Path());
    CConsoleApp console(config, m_folder.Path());
    console.SetPollInterval(std::chrono::milliseconds(10));
    ASSERT_TRUE(console.LoadSettings());
    ASSERT_EQ(console.GetServiceMode(), 1) << "an installed service switches the console to service mode";

    m_systemctl.Set("starting");
    std::string message;
    ASSERT_TRUE(console.StartServer(message)) << message;
    EXPECT_TRUE(message.empty());
    EXPECT_TRUE(console.IsServerRunning());
    EXPECT_TRUE(console.StartServer(message)) << "a running server is no failure";

    m_systemctl.Set("stays-active");
    EXPECT_FALSE(console.StopServer(message));
    EXPECT_EQ(message,
              "Failed to stop Tarnwick Server system service (systemd).\nPlease check log file for errors. Failed to "
              "wait for the service to stop.\n");
    std::remove((m_folder.Path() + "/stays-active").c_str());
    EXPECT_TRUE(console.StopServer(message)) << message;
    EXPECT_FALSE(console.IsServerRunning());

    m_systemctl.Set("start-fails");
    EXPECT_FALSE(console.StartServer(message));
    EXPECT_EQ(message,
              "Failed to start Tarnwick Server system service (systemd) twServer.\nJob for TarnwickServer3.service "
              "failed.");
}

}  // namespace
