// The console's settings store through the real settings file: what it writes, the server's own
// configuration reads back; a first start finds a port; the sheet's change test.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "console/console_config.h"
#include "foundation/server_config.h"
#include "foundation/server_settings.h"
#include "tests/console/console_test_support.h"
#include "tests/network/test_certificates.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

class ConsoleConfigTest : public ::testing::Test
{
protected:
    std::string SettingsPath() const { return m_folder.Path() + "/settings.conf"; }
    void WriteSettings(const std::string& text) const { std::ofstream(SettingsPath()) << text; }
    std::string StoredText() const { return ReadWholeFile(SettingsPath()); }
    std::string Stored(const std::string& name) const
    {
        CRegistryKey key(SettingsPath());
        std::string value = "<missing>";
        key.ReadString(name, value);
        return value;
    }

    TempFolder m_folder{"tw-console-config"};
};

TEST_F(ConsoleConfigTest, EverySavedValueIsReadBackByTheServerAndTheConsole)
{
    WriteSettings("# kept comment\nGeneralTcpipPort=8088\nLogHttp=yes\n");
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    config.m_securityCertName = "www.example.org";
    config.m_securityCertSerial = "0A1B 2C";
    config.m_generalOrganizationName = "Example";
    config.m_fqdn = "www.example.org";
    config.m_generalSslPort = "8443";
    config.m_sessionTimeout = 45;
    config.m_maxUpload = 20;
    config.m_dbOdbcConnectString = "ODBC;DSN=other;UID=me";
    config.m_dbAccessSerialize = 0;
    config.m_dbConnectionThreadOwn = 1;
    config.m_dbConnectionIdleTimeout = 3;
    config.m_pageRunTimeLimit = 0;
    config.m_emSmtpServer = "smtp.example.org";
    config.m_emSmtpPassword = "line1\nline2";
    config.m_emAdminEmail = "admin@example.org; boss@example.org";
    config.m_emMaxEmailOut = 250;
    config.m_serviceDependency = "postgresql";
    config.m_mimeTextEncoding = "iso-8859-1";
    config.GetTask(1)->SetEnabled(true);
    ASSERT_EQ(config.Save(), 1);

    CServerConfig server(SettingsPath(), m_folder.Path());
    ASSERT_EQ(server.Load(), 1);
    EXPECT_EQ(server.m_securityCertSerial, "0A1B 2C");
    EXPECT_EQ(server.m_generalTcpipPort, "8088");
    EXPECT_EQ(server.m_generalSslPort, "8443");
    EXPECT_EQ(server.m_sessionTimeout, 45);
    EXPECT_EQ(server.m_maxUpload, 20);
    EXPECT_EQ(server.m_dbOdbcConnectString, "ODBC;DSN=other;UID=me");
    EXPECT_EQ(server.m_dbAccessSerialize, 0);
    EXPECT_EQ(server.m_dbConnectionThreadOwn, 1);
    EXPECT_EQ(server.m_dbConnectionIdleTimeout, 3);
    EXPECT_EQ(server.m_pageRunTimeLimit, 0) << "no limit, not the default";
    EXPECT_EQ(server.m_emSmtpPassword, "line1\nline2");
    EXPECT_EQ(server.m_emAdminEmail, "admin@example.org; boss@example.org");
    EXPECT_EQ(server.m_emMaxEmailOut, 250);
    EXPECT_EQ(server.m_serviceDependency, "postgresql");
    EXPECT_EQ(server.m_mimeTextEncoding, "iso-8859-1");
    EXPECT_EQ(config.m_generalHttpAddr, "") << "an address never set is not written";
    EXPECT_EQ(server.m_generalHttpAddr, "http://" + server.m_generalTcpipAddress + ":8088")
        << "the server builds it from its address and port";
    EXPECT_EQ(server.m_mimeMap.size(), config.m_mimeMap.size());
    ASSERT_EQ(server.GetTaskCount(), 6u);
    EXPECT_TRUE(server.GetTask(1)->IsEnabled());
    EXPECT_EQ(server.m_logHttp, 1) << "the log flags are the administrator's, never rewritten";

    const std::string text = StoredText();
    EXPECT_EQ(text.rfind("# kept comment", 0), 0u);
    EXPECT_EQ(text.find("AutoCorrectIP"), std::string::npos);
    EXPECT_EQ(text.find("LogHttp=no"), std::string::npos);
    EXPECT_EQ(text.find("EncryptFileID"), std::string::npos);

    CConsoleConfig again(SettingsPath(), m_folder.Path());
    ASSERT_EQ(again.Load(), 1);
    EXPECT_FALSE(again.Differs(config)) << "a reload holds what was saved";
}

// The file the console writes is read by every installed server: its names, their order and the
// form of each value stay fixed. Into a missing store the save writes every line in save order.
TEST_F(ConsoleConfigTest, ASaveWritesTheSettingsFileInItsFixedForm)
{
    WriteSettings("GeneralTcpipAddress=127.0.0.1\nGeneralTcpipPort=80\n");
    CConsoleConfig config(SettingsPath(), "/opt/tw");
    ASSERT_EQ(config.Load(), 1);
    config.m_securityCertName = "www.example.org";
    config.m_securityCertIssuer = "Example CA";
    config.m_securityCertSerial = "0A1B";
    config.m_securityCertExpiration = "2030-01-01";
    config.m_generalOrganizationName = "Example = Co";
    config.m_fqdn = "www.example.org";
    config.m_generalSslPort = "8443";
    config.m_sessionTimeout = 45;
    config.m_maxUpload = 20;
    config.m_dbOdbcConnectString = "DSN=tw;PWD=a\\b";
    config.m_dbAccessSerialize = 1;
    config.m_dbConnectionThreadOwn = 0;
    config.m_dbConnectionIdleTimeout = 3;
    config.m_pageRunTimeLimit = 0;
    config.m_emSmtpServer = "smtp.example.org";
    config.m_emSmtpPort = "587";
    config.m_emSmtpUserName = "mailer";
    config.m_emSmtpPassword = "line1\nline2 ";
    config.m_generalHttpAddr = "http://www.example.org";
    config.m_generalHttpsAddr = "";
    config.m_emPop3Server = "pop.example.org";
    config.m_emPop3Port = "995";
    config.m_emImporterEmail = "in@example.org";
    config.m_emImporterUserName = "importer";
    config.m_emImporterPassword = "pw";
    config.m_emDispatcherEmail = "desk@example.org";
    config.m_emAdminEmail = "admin@example.org";
    config.m_emMaxEmailOut = 250;
    config.m_serviceDependency = "postgresql";
    config.m_serviceUserName = "tw";
    config.m_servicePassword = "spw";
    config.m_mimeTextEncoding = "utf-8";
    config.m_mimeMap = {{"html", "text/html"}, {"PNG", "image/png"}};
    std::filesystem::remove(SettingsPath());
    ASSERT_EQ(config.Save(), 1);

    EXPECT_EQ(StoredText(), R"(SecurityCertName=www.example.org
SecurityCertIssuer=Example CA
SecurityCertSerial=0A1B
SecurityCertExpiration=2030-01-01
GeneralOrganizationName=Example = Co
GeneralTcpipAddress=127.0.0.1
FQDN=www.example.org
GeneralTcpipPort=80
GeneralSslPort=8443
GeneralSessionTimeout=45
GeneralMaxUpload=20
DbOdbcConnectString=DSN=tw;PWD=a\\b
DbAccessSerialize=yes
DbConnectionThreadOwn=no
DbConnectionIdleTimeout=3
PageRunTimeLimit=0
TaskCount=6
Task01Name=Email Sender
Task01Enabled=no
Task01Script=none
Task01Interval=10
Task01At=
Task02Name=Email Importer
Task02Enabled=no
Task02Script=/opt/tw/webroot/script/importer.tws
Task02Interval=30
Task02At=
Task03Name=Deadline Reminder
Task03Enabled=no
Task03Script=/opt/tw/webroot/script/dueRem.tws
Task03Interval=60
Task03At=
Task04Name=Issue Escalator
Task04Enabled=no
Task04Script=/opt/tw/webroot/script/escalator.tws
Task04Interval=60
Task04At=
Task05Name=System
Task05Enabled=no
Task05Script=/opt/tw/webroot/script/system.tws
Task05Interval=Day
Task05At=60
Task06Name=Todo Reminder
Task06Enabled=no
Task06Script=/opt/tw/webroot/script/todoRem.tws
Task06Interval=Monday
Task06At=360
EmSmtpServer=smtp.example.org
EmSmtpPort=587
EmSmtpUserName=mailer
EmSmtpPassword=line1\nline2\x20
GeneralHttpAddr=http://www.example.org
GeneralHttpsAddr=
EmPop3Server=pop.example.org
EmPop3Port=995
EmImporterEmail=in@example.org
EmImporterUserName=importer
EmImporterPassword=pw
EmDispatcherEmail=desk@example.org
EmAdminEmail=admin@example.org
EmMaxEmailOut=250
ServiceDependency=postgresql
ServiceUserName=tw
ServicePassword=spw
MimeTextEncoding=utf-8
MimeCount=2
Mime001FileExtension=PNG
Mime001ContentType=image/png
Mime002FileExtension=html
Mime002ContentType=text/html
)");
}

// A value the console writes for each setting it edits, none of them the default.
void SetEveryEditedSetting(CServerConfig& config)
{
    int row = 0;
    for (const ServerSetting& setting : ServerSettings()) {
        ++row;
        if (!setting.consoleWrites)
            continue;
        switch (setting.kind) {
        case SettingKind::kText: config.*setting.text = std::string(setting.name) + " =\\ v\nw"; break;
        case SettingKind::kNumber: config.*setting.number = 100 + 7 * row; break;
        case SettingKind::kFlag: config.*setting.number = setting.defaultNumber ? 0 : 1; break;
        }
    }
}

TEST_F(ConsoleConfigTest, NamesNoProgramReadsKeepTheirPlacesThroughASave)
{
    const std::string kept = "# by hand\nGeneralTcpipPort=80\nPageRunTimeLimt=5\nShoeSize=9\n";
    WriteSettings(kept + "GeneralSessionTimeout=30\n");
    CConsoleConfig config(SettingsPath(), "/opt/tw");
    ASSERT_EQ(config.Load(), 1);
    config.m_sessionTimeout = 45;
    ASSERT_EQ(config.Save(), 1);
    EXPECT_EQ(StoredText().rfind(kept + "GeneralSessionTimeout=45\n", 0), 0u) << StoredText();
}

TEST_F(ConsoleConfigTest, EverySettingTheConsoleWritesTheServerReadsBackUnchanged)
{
    WriteSettings("GeneralTcpipPort=80\n");
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    SetEveryEditedSetting(config);
    ASSERT_EQ(config.Save(), 1);

    CServerConfig server(SettingsPath(), m_folder.Path());
    ASSERT_EQ(server.Load(), 1);
    CConsoleConfig defaults(SettingsPath(), m_folder.Path());
    std::set<SettingKind> kinds;
    for (const ServerSetting& setting : ServerSettings()) {
        if (!setting.consoleWrites)
            continue;
        kinds.insert(setting.kind);
        EXPECT_EQ(FormatSetting(server, setting), FormatSetting(config, setting)) << setting.name;
        EXPECT_NE(FormatSetting(server, setting), FormatSetting(defaults, setting)) << setting.name;
    }
    EXPECT_EQ(kinds.size(), 3u) << "texts, numbers and flags all make the round trip";
}

TEST_F(ConsoleConfigTest, DefaultsTheConsoleSavesAreTheServersOwn)
{
    const std::string untouched = m_folder.Path() + "/untouched.conf";
    std::ofstream(untouched) << "GeneralTcpipPort=80\n";
    CServerConfig expected(untouched, m_folder.Path());
    ASSERT_EQ(expected.Load(), 1);

    WriteSettings("GeneralTcpipPort=80\n");
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    ASSERT_EQ(config.Save(), 1);
    CServerConfig server(SettingsPath(), m_folder.Path());
    ASSERT_EQ(server.Load(), 1);
    for (const ServerSetting& setting : ServerSettings()) {
        if (!setting.text && !setting.number)
            continue;
        // The web addresses of mails stay empty in the console; the server builds them.
        const bool built = setting.id == SettingId::kGeneralHttpAddr || setting.id == SettingId::kGeneralHttpsAddr;
        EXPECT_EQ(FormatSetting(config, setting), built ? "" : FormatSetting(expected, setting)) << setting.name;
        EXPECT_EQ(FormatSetting(server, setting), FormatSetting(expected, setting)) << setting.name;
    }
}

TEST_F(ConsoleConfigTest, MimePairsStayAsStoredAndAShorterMapLeavesOldPairsUnread)
{
    WriteSettings("GeneralTcpipPort=80\nMimeCount=5\n"
                  "Mime001FileExtension=HTML\nMime001ContentType=text/html\n"
                  "Mime002FileExtension=txt\nMime002ContentType=text/plain\n"
                  "Mime003FileExtension=css\nMime003ContentType=text/css\n"
                  "Mime004FileExtension=gif\nMime004ContentType=image/gif\n"
                  "Mime005FileExtension=png\nMime005ContentType=image/png\n");
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    EXPECT_EQ(config.m_mimeMap.count("HTML"), 1u) << "the console keeps the extension as it was written";
    EXPECT_EQ(config.m_mimeMap.count("html"), 0u);
    config.m_mimeMap.erase("gif");
    config.m_mimeMap.erase("png");
    ASSERT_EQ(config.Save(), 1);
    EXPECT_EQ(Stored("MimeCount"), "3");
    EXPECT_EQ(Stored("Mime004FileExtension"), "gif") << "the stale pair stays";

    CServerConfig server(SettingsPath(), m_folder.Path());
    ASSERT_EQ(server.Load(), 1);
    EXPECT_EQ(server.m_mimeMap.size(), 3u);
    EXPECT_EQ(server.m_mimeMap.count("gif"), 0u);
    EXPECT_EQ(server.m_mimeMap["html"], "text/html") << "the server folds the case itself";
}

TEST_F(ConsoleConfigTest, DiffersComparesEditedValuesAndTheListsThemselves)
{
    WriteSettings("GeneralTcpipPort=80\n");
    CConsoleConfig stored(SettingsPath(), m_folder.Path());
    CConsoleConfig edited(SettingsPath(), m_folder.Path());
    ASSERT_EQ(stored.Load(), 1);
    ASSERT_EQ(edited.Load(), 1);
    EXPECT_FALSE(edited.Differs(stored));

    edited.m_logHttp = 1;
    edited.m_runAsService = 1;
    EXPECT_FALSE(edited.Differs(stored)) << "log flags and the run mode are not compared";

    // A change of a list alone is a change, on either side.
    edited.m_mimeMap["new"] = "text/new";
    EXPECT_TRUE(edited.Differs(stored));
    EXPECT_TRUE(stored.Differs(edited));
    edited.m_mimeMap.erase("new");
    edited.GetTask(5)->SetEnabled(true);
    EXPECT_TRUE(edited.Differs(stored));
    edited.GetTask(5)->SetEnabled(false);
    EXPECT_FALSE(edited.Differs(stored));

    edited.m_emImporterPassword = "secret";
    EXPECT_TRUE(edited.Differs(stored));
    edited.m_emImporterPassword.clear();
    edited.m_dbConnectionIdleTimeout = 1;
    EXPECT_TRUE(edited.Differs(stored));
    edited.m_dbConnectionIdleTimeout = stored.m_dbConnectionIdleTimeout;
    edited.m_pageRunTimeLimit = 300;
    EXPECT_TRUE(edited.Differs(stored));
}

TEST_F(ConsoleConfigTest, SavingRemovesTheSettingsCopiesOfAKilledWriterOnly)
{
    WriteSettings("GeneralTcpipPort=80\n");
    const std::string folder = std::filesystem::path(SettingsPath()).parent_path().string();
    const std::string name = std::filesystem::path(SettingsPath()).filename().string();
    for (const std::string suffix : {".Zx81Qp", ".backup", ".Zx81Qp.old"})
        std::ofstream(folder + "/" + name + suffix) << "EmSmtpPassword=secret\n";
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    EXPECT_TRUE(std::filesystem::exists(folder + "/" + name + ".Zx81Qp")) << "reading touches nothing";
    ASSERT_EQ(config.Save(), 1);
    EXPECT_FALSE(std::filesystem::exists(folder + "/" + name + ".Zx81Qp"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/" + name + ".backup"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/" + name + ".Zx81Qp.old"));
}

TEST_F(ConsoleConfigTest, AFirstStartStoresAFreePortWithItsAddress)
{
    WriteSettings("GeneralTcpipAddress=127.0.0.1\nGeneralHttpAddr=   \n");
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    ASSERT_EQ(config.Load(), 1);
    const std::string port = config.m_generalTcpipPort;
    const std::set<std::string> candidates{"80", "8080", "8081", "8082", "8083"};
    ASSERT_EQ(candidates.count(port), 1u) << port;
    EXPECT_EQ(Stored("GeneralTcpipPort"), port);
    EXPECT_EQ(Stored("GeneralTcpipAddress"), "127.0.0.1");
    EXPECT_EQ(config.m_generalHttpAddr, "") << "a blank base address stays blank";
    EXPECT_EQ(config.DefaultHttpAddress(), port == "80" ? "http://127.0.0.1" : "http://127.0.0.1:" + port)
        << "what the server will use is built from the port found";
}

TEST_F(ConsoleConfigTest, AnOccupiedPortIsReplacedByTheFirstFreeOneFrom8080)
{
    EXPECT_EQ(CConsoleConfig::NextPortCandidate(80), 8080);
    EXPECT_EQ(CConsoleConfig::NextPortCandidate(8079), 8080);
    EXPECT_EQ(CConsoleConfig::NextPortCandidate(8080), 8081);
    EXPECT_EQ(CConsoleConfig::NextPortCandidate(8083), 8084);

    int occupiedPort = 0;
    std::unique_ptr<CListeningPort> occupied;
    for (int candidate = 7100; candidate < 7200 && occupiedPort == 0; ++candidate) {
        occupied = std::make_unique<CListeningPort>(candidate);
        occupiedPort = occupied->Port();
    }
    ASSERT_NE(occupiedPort, 0);
    CLogCapture log;
    std::string port = std::to_string(occupiedPort);
    bool found = false;
    ASSERT_EQ(CConsoleConfig::CorrectTcpPort("127.0.0.1", port, &found), 1);
    if (found) {
        EXPECT_TRUE(port == "8080" || port == "8081" || port == "8082" || port == "8083") << port;
    } else {
        EXPECT_EQ(port, std::to_string(occupiedPort)) << "the text stays when nothing is free";
        EXPECT_TRUE(log.Contains("Failed to find an available TCP port."));
    }

    // A free port below the range is kept as it is.
    occupied.reset();
    port = std::to_string(occupiedPort);
    ASSERT_EQ(CConsoleConfig::CorrectTcpPort("127.0.0.1", port, &found), 1);
    EXPECT_TRUE(found);
    EXPECT_EQ(port, std::to_string(occupiedPort));
}

TEST_F(ConsoleConfigTest, AnUnreadableStoreFailsTheLoadAndIsNotWritten)
{
    mkdir(SettingsPath().c_str(), 0700);
    CLogCapture log;
    CConsoleConfig config(SettingsPath(), m_folder.Path());
    EXPECT_EQ(config.Load(), 0);
    EXPECT_TRUE(log.Contains("Is a directory when accessing the settings file " + SettingsPath() + "."));
    // A save that cannot reach the store says which file it is too.
    config.m_dbOdbcConnectString = "ODBC;DSN=tw3";
    EXPECT_FALSE(config.SaveConnectString());
    const std::string named = "when accessing the settings file " + SettingsPath() + ".";
    int naming = 0;
    for (const std::string& entry : log.Entries())
        naming += entry.find(named) != std::string::npos ? 1 : 0;
    EXPECT_EQ(naming, 2);
    struct stat info
    {};
    ASSERT_EQ(stat(SettingsPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

}  // namespace
