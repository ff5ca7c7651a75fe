#include "foundation/server_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/server_settings.h"
#include "foundation/ssp_date_time.h"
#include "tests/support/temp_folder.h"

namespace {

// True when the address can be bound here, i.e. it belongs to this host.
bool IsBindableLocalAddress(const std::string& address)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1)
        return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    if (fd >= 0)
        close(fd);
    return bound;
}

// The first IPv4 address of an interface that is up and not loopback, or "" on a host without one.
std::string FirstNetworkAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string first;
    for (ifaddrs* entry = list; entry && first.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && (entry->ifa_flags & IFF_UP) &&
            !(entry->ifa_flags & IFF_LOOPBACK)) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
            first = text;
        }
    }
    freeifaddrs(list);
    return first;
}

class ServerConfigTest : public testing::Test
{
protected:
    void SetUp() override
    {
        TheLog().SetCallbackMode([this](std::string_view entry) {
            std::lock_guard<std::mutex> guard(m_logLock);
            m_logged += entry;
        });
    }
    void TearDown() override
    {
        TheLog().SetCallbackMode([](std::string_view) {});
    }

    void WriteSettings(const std::string& text) const
    {
        mkdir((m_dir + "/etc").c_str(), 0750);
        std::ofstream(m_path, std::ios::binary) << text;
    }
    std::string SettingsText() const
    {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string Logged()
    {
        std::lock_guard<std::mutex> guard(m_logLock);
        return m_logged;
    }
    static std::string TaskLines(int number, const char* name, const char* interval, const char* at)
    {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "Task%.2d", number);
        std::string p = prefix;
        return p + "Name=" + name + "\n" + p + "Enabled=yes\n" + p + "Script=/s/" + name + ".tws\n" + p +
               "Interval=" + interval + "\n" + (at ? p + "At=" + at + "\n" : "");
    }

    TempFolder m_folder{"tw-config"};
    std::string m_dir = m_folder.Path();
    std::string m_path = m_dir + "/etc/settings.conf";
    std::mutex m_logLock;
    std::string m_logged;
};

// The settings file compares names without regard to case, so two rows that differ in case only
// would be one setting; a row must keep its value in a member of its own kind.
TEST(ServerSettingsTable, EveryRowHasItsOwnNameAndAMemberOfItsKind)
{
    std::set<std::string> names;
    std::vector<std::string CServerConfig::*> texts;
    std::vector<int CServerConfig::*> numbers;
    for (const ServerSetting& setting : ServerSettings()) {
        EXPECT_TRUE(names.insert(LowerAscii(setting.name)).second) << setting.name;
        EXPECT_EQ(&GetServerSetting(setting.id), &setting) << setting.name;
        EXPECT_FALSE(StartsWithNoCase(setting.name, "Mime0") || StartsWithNoCase(setting.name, "Task"))
            << setting.name << " would clash with a list entry";
        if (setting.kind == SettingKind::kText) {
            ASSERT_NE(setting.text, nullptr) << setting.name;
            EXPECT_EQ(setting.number, nullptr) << setting.name;
            EXPECT_NE(setting.defaultText, nullptr) << setting.name;
            EXPECT_EQ(std::find(texts.begin(), texts.end(), setting.text), texts.end()) << setting.name;
            texts.push_back(setting.text);
        } else {
            EXPECT_EQ(setting.text, nullptr) << setting.name;
            if (setting.number) {
                EXPECT_EQ(std::find(numbers.begin(), numbers.end(), setting.number), numbers.end()) << setting.name;
                numbers.push_back(setting.number);
            }
        }
    }
    EXPECT_EQ(names.count(LowerAscii(kMimeCountName)), 0u);
    EXPECT_EQ(MimeExtensionName(7), "Mime007FileExtension");
    EXPECT_EQ(MimeContentTypeName(123), "Mime123ContentType");

    // Every name a program reads is known, in any case; a list entry under the number it carries.
    for (const char* known : {"pageruntimelimit", "FileIdSecret", "TaskCount", "Task12At", "Mime042ContentType"})
        EXPECT_EQ(DescribeUnknownSetting(known), "") << known;
    EXPECT_EQ(DescribeUnknownSetting("Task7Name"), "unknown setting Task7Name (Task07Name?)");
    EXPECT_EQ(DescribeUnknownSetting("SmtpTiemout"), "unknown setting SmtpTiemout (SmtpTimeout?)");
    EXPECT_EQ(DescribeUnknownSetting("Colour"), "unknown setting Colour");
}

TEST_F(ServerConfigTest, NoStoreGivesDefaultsAndWritesTheDefaultTasks)
{
    CServerConfig config(m_path, m_dir);
    ASSERT_EQ(config.Load(), 1);
    EXPECT_EQ(config.m_loaded, 1);
    // Browsers on other hosts must reach the server: the host's network address, not loopback.
    const std::string network = FirstNetworkAddress();
    EXPECT_EQ(config.m_generalTcpipAddress, network.empty() ? "127.0.0.1" : network);
    EXPECT_EQ(config.m_fqdn, config.m_generalTcpipAddress);
    EXPECT_EQ(config.m_generalTcpipPort, "80");
    EXPECT_EQ(config.m_generalSslPort, "443");
    EXPECT_EQ(config.m_generalHttpAddr, "http://" + config.m_generalTcpipAddress);
    EXPECT_EQ(config.m_generalHttpsAddr, "https://" + config.m_generalTcpipAddress);
    EXPECT_EQ(config.m_pageRunTimeLimit, 120);
    EXPECT_EQ(config.m_mimeMap.size(), 124u);
    EXPECT_EQ(config.m_mimeMap["*"], "application/octet-stream");
    EXPECT_EQ(config.m_mimeMap["js"], "application/x-javascript");
    ASSERT_EQ(config.m_mimeOrder.size(), 124u);
    EXPECT_EQ(config.m_mimeOrder.front(), "htm");

    ASSERT_EQ(config.GetTaskCount(), 6u);
    EXPECT_EQ(config.GetTask(0)->GetName(), "Email Sender");
    EXPECT_EQ(config.GetTask(0)->GetScript(), "none");
    EXPECT_EQ(config.GetTask(1)->GetScript(), m_dir + "/webroot/script/importer.tws");
    EXPECT_EQ(config.GetTask(5)->GetKind(), 42);
    EXPECT_EQ(Logged().find("reset"), std::string::npos);  // a missing store is reset silently

    std::string text = SettingsText();
    for (const char* line :
         {"TaskCount=6\n", "Task01Name=Email Sender\n", "Task01Interval=10\n", "Task01At=\n", "Task05Interval=Day\n",
          "Task05At=60\n", "Task06Interval=Monday\n", "Task06At=360\n", "Task03Enabled=no\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    struct stat st;
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ServerConfigTest, LoadClampsAndCorrectsValues)
{
    WriteSettings("GeneralTcpipAddress=127.0.0.1\n"
                  "GeneralTcpipPort=8080\n"
                  "GeneralSslPort=8443\n"
                  "GeneralHttpAddr=\n"
                  "EmMaxEmailOut=20\n"
                  "SmtpTimeout=1000\n"
                  "Pop3Timeout=4\n"
                  "DbAccessSerialize=no\n"
                  "DbConnectionThreadOwn=no\n"
                  "DbOdbcConnectString=DSN=tw3;UID=a \t\r\n"
                  "GeneralSessionTimeout=abc\n"
                  "LogHttp=yes\n"
                  "LogSmtp=Yes\n"
                  "EncryptFileID=no\n"
                  "MimeTextEncoding= latin1 \n" +
                  TaskLines(1, "a", "1", nullptr) + TaskLines(2, "b", "1", nullptr) + TaskLines(3, "c", "1", nullptr) +
                  TaskLines(4, "d", "1", nullptr) + TaskLines(5, "e", "1", nullptr) + TaskLines(6, "f", "1", nullptr) +
                  "TaskCount=6\n");
    CServerConfig config(m_path, m_dir);
    ASSERT_EQ(config.Load(), 1);
    EXPECT_EQ(config.m_generalTcpipAddress, "127.0.0.1");
    EXPECT_EQ(config.m_tcpipAddress, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(config.m_generalHttpAddr, "http://127.0.0.1:8080");
    EXPECT_EQ(config.m_generalHttpsAddr, "https://127.0.0.1:8443");
    EXPECT_EQ(config.m_emMaxEmailOut, 100);
    EXPECT_EQ(config.m_smtpTimeout, 60);
    EXPECT_EQ(config.m_pop3Timeout, 30);
    EXPECT_EQ(config.m_dbAccessSerialize, 0);
    EXPECT_EQ(config.m_dbConnectionThreadOwn, 1);
    EXPECT_EQ(config.m_dbOdbcConnectString, "DSN=tw3;UID=a");
    EXPECT_EQ(config.m_sessionTimeout, 0);
    EXPECT_EQ(config.m_logHttp, 1);
    EXPECT_EQ(config.m_logSmtp, 0);
    EXPECT_EQ(config.m_encryptFileId, 0);
    EXPECT_EQ(config.m_mimeTextEncoding, "latin1");
    EXPECT_EQ(config.GetTask(5)->GetName(), "f");

    // The edges of the time-out ranges are kept.
    WriteSettings("SmtpTimeout=5\nPop3Timeout=600\nEmMaxEmailOut=100\n");
    CServerConfig edges(m_path, m_dir);
    ASSERT_EQ(edges.Load(), 1);
    EXPECT_EQ(edges.m_smtpTimeout, 5);
    EXPECT_EQ(edges.m_pop3Timeout, 600);
    EXPECT_EQ(edges.m_emMaxEmailOut, 100);

    // The page run time limit: 0 switches it off; a negative number is no limit anyone meant.
    for (const auto& [text, limit] :
         std::vector<std::pair<std::string, int>>{{"30", 30}, {"0", 0}, {"abc", 0}, {"-5", 120}, {"86400", 86400}}) {
        WriteSettings("PageRunTimeLimit=" + text + "\n");
        CServerConfig limited(m_path, m_dir);
        ASSERT_EQ(limited.Load(), 1);
        EXPECT_EQ(limited.m_pageRunTimeLimit, limit) << text;
    }
}

TEST_F(ServerConfigTest, HandTypedBlanksAreLayoutAndOddFlagsAreNamedInTheLog)
{
    WriteSettings("GeneralTcpipAddress = 127.0.0.1 \nLogHttp=1\nLogSmtp = yes \nEncryptFileID=off\nLogPop3=no\n");
    CServerConfig config(m_path, m_dir);
    ASSERT_EQ(config.Load(), 1);
    EXPECT_EQ(config.m_generalTcpipAddress, "127.0.0.1");
    EXPECT_EQ(config.m_tcpipAddress, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(config.m_logHttp, 0);
    EXPECT_EQ(config.m_logSmtp, 1);
    EXPECT_EQ(config.m_encryptFileId, 1);
    const std::string logged = Logged();
    EXPECT_NE(logged.find("Setting LogHttp ignored: its value [1] is neither \"yes\" nor \"no\"; it stays off."),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("Setting EncryptFileID ignored: its value [off] is neither \"yes\" nor \"no\"; it stays on."),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("LogSmtp"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("LogPop3"), std::string::npos) << logged;
}

TEST_F(ServerConfigTest, AddressIsCorrectedWhenMissingOrAskedFor)
{
    WriteSettings("GeneralTcpipAddress=192.0.2.77\nAutoCorrectIP=yes\n");
    CServerConfig corrected(m_path, m_dir);
    ASSERT_TRUE(corrected.Load());
    EXPECT_NE(corrected.m_generalTcpipAddress, "192.0.2.77");
    EXPECT_TRUE(IsBindableLocalAddress(corrected.m_generalTcpipAddress));

    // Without AutoCorrectIP a stored address is taken as it is.
    WriteSettings("GeneralTcpipAddress=192.0.2.77\nFQDN=tw.example.org\n");
    CServerConfig kept(m_path, m_dir);
    ASSERT_TRUE(kept.Load());
    EXPECT_EQ(kept.m_generalTcpipAddress, "192.0.2.77");
    EXPECT_EQ(kept.m_fqdn, "tw.example.org");

    const std::string network = FirstNetworkAddress();
    std::string address = network.empty() ? "127.0.0.1" : network;
    EXPECT_EQ(CServerConfig::CorrectLocalAddress(address), 0);
    EXPECT_EQ(address, network.empty() ? "127.0.0.1" : network);
    address = "no address";
    EXPECT_EQ(CServerConfig::CorrectLocalAddress(address), 1);
    EXPECT_TRUE(IsBindableLocalAddress(address)) << address;
    // Loopback counts as the host's address only on a host without a network.
    address = "127.0.0.1";
    EXPECT_EQ(CServerConfig::CorrectLocalAddress(address), network.empty() ? 0 : 1);
    EXPECT_EQ(address, network.empty() ? "127.0.0.1" : network);
}

TEST_F(ServerConfigTest, MimePairsWithGapsAndDuplicates)
{
    WriteSettings("MimeCount=4\n"
                  "Mime001FileExtension=doc\n"
                  "Mime002FileExtension= PDF \n"
                  "Mime002ContentType= application/pdf \n"
                  "Mime003FileExtension=pdf\n"
                  "Mime003ContentType=application/x-pdf\n"
                  "Mime004FileExtension=\n"
                  "Mime004ContentType=text/plain\n"
                  "Mime005FileExtension=txt\n"
                  "Mime005ContentType=text/plain\n");
    CServerConfig config(m_path, m_dir);
    ASSERT_TRUE(config.Load());
    ASSERT_EQ(config.m_mimeMap.size(), 1u);
    EXPECT_EQ(config.m_mimeMap["pdf"], "application/x-pdf");
    EXPECT_EQ(config.m_mimeOrder, std::vector<std::string>{"pdf"});
}

TEST_F(ServerConfigTest, GappedTaskListMovesLaterTasksUp)
{
    std::string text = "TaskCount=7\n" + TaskLines(1, "one", "10", nullptr) + TaskLines(2, "two", "30", nullptr) +
                       "Task03Enabled=yes\n" + TaskLines(4, "four", "Friday", "90") +
                       TaskLines(5, "five", "Day", nullptr) + TaskLines(6, "six", "soon", nullptr) +
                       TaskLines(7, "seven", "Monday", "360");
    WriteSettings(text);
    CServerConfig config(m_path, m_dir);
    std::time_t before = std::time(nullptr);
    ASSERT_EQ(config.LoadTasks(), 1);
    std::time_t after = std::time(nullptr);

    ASSERT_EQ(config.GetTaskCount(), 6u);
    EXPECT_EQ(config.GetTask(1)->GetName(), "two");
    EXPECT_EQ(config.GetTask(2)->GetName(), "four");
    EXPECT_EQ(config.GetTask(2)->GetKind(), 46);
    EXPECT_EQ(config.GetTask(2)->GetIntervalSeconds(), 90 * 60);
    EXPECT_TRUE(config.GetTask(2)->IsEnabled());
    EXPECT_EQ(config.GetTask(2)->GetScript(), "/s/four.tws");
    EXPECT_EQ(config.GetTask(3)->GetIntervalSeconds(), 360 * 60);  // no At value
    // Neither a number nor a day word: every 0 minutes, due at the current minute.
    const CTaskEntry& soon = *config.GetTask(4);
    EXPECT_EQ(soon.GetKind(), 50);
    EXPECT_EQ(soon.GetIntervalSeconds(), 0);
    EXPECT_LE(soon.GetNextRun(), after);
    EXPECT_GT(soon.GetNextRun(), before - 60);
    EXPECT_EQ(soon.GetNextRun() % 60, 0);
    EXPECT_EQ(config.GetTask(5)->GetName(), "seven");
    EXPECT_EQ(SettingsText(), text);  // nothing reset or written back
    EXPECT_EQ(Logged(), "");
}

TEST_F(ServerConfigTest, ShortTaskListIsResetAndWrittenBack)
{
    WriteSettings("GeneralTcpipPort=81\nTaskCount=5\n" + TaskLines(1, "mine", "5", nullptr));
    CServerConfig config(m_path, m_dir);
    ASSERT_EQ(config.LoadTasks(), 1);
    ASSERT_EQ(config.GetTaskCount(), 6u);
    EXPECT_EQ(config.GetTask(0)->GetName(), "Email Sender");
    EXPECT_NE(Logged().find("Default scripts missing. List of scripts has been reset."), std::string::npos);
    std::string text = SettingsText();
    EXPECT_NE(text.find("TaskCount=6\n"), std::string::npos);
    EXPECT_NE(text.find("Task01Name=Email Sender\n"), std::string::npos);
    EXPECT_NE(text.find("Task04Script=" + m_dir + "/webroot/script/escalator.tws\n"), std::string::npos);
    EXPECT_NE(text.find("GeneralTcpipPort=81\n"), std::string::npos);
}

TEST_F(ServerConfigTest, UnreadableStoreKeepsDefaultsAndIsNotOverwritten)
{
    ASSERT_EQ(mkdir((m_dir + "/etc").c_str(), 0750), 0);
    ASSERT_EQ(mkdir(m_path.c_str(), 0750), 0);  // exists, but cannot be read as a file
    CServerConfig config(m_path, m_dir);
    EXPECT_EQ(config.Load(), 0);
    EXPECT_EQ(config.GetTaskCount(), 6u);
    EXPECT_EQ(config.m_generalTcpipPort, "80");
    EXPECT_NE(Logged().find("Is a directory when accessing the settings file " + m_path + "."), std::string::npos)
        << Logged();
    EXPECT_EQ(config.SaveTaskScripts(), 0);
    // The secret for attachment IDs then serves this process alone.
    EXPECT_EQ(config.EnsureFileIdSecret(), 0);
    EXPECT_EQ(config.m_fileIdSecret.size(), 64u);
    struct stat st;
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ServerConfigTest, ChangedScriptsAreSavedWithoutLosingOtherWriters)
{
    CServerConfig server(m_path, m_dir);
    ASSERT_EQ(server.Load(), 1);
    // Another program changes a setting after the server loaded.
    CRegistryKey console(m_path);
    ASSERT_EQ(console.WriteString("GeneralTcpipPort", "8081"), 1);

    server.GetTask(1)->SetScript("/srv/import v2.tws");
    ASSERT_EQ(server.SaveTaskScripts(), 1);

    CServerConfig reloaded(m_path, m_dir);
    ASSERT_EQ(reloaded.Load(), 1);
    EXPECT_EQ(reloaded.GetTask(1)->GetScript(), "/srv/import v2.tws");
    EXPECT_EQ(reloaded.GetTask(0)->GetScript(), "none");
    EXPECT_EQ(reloaded.m_generalTcpipPort, "8081");
}

TEST_F(ServerConfigTest, TheFileIdSecretIsMadeOnceAndKeptInTheStore)
{
    WriteSettings("GeneralTcpipPort=8080\nFileIdSecret=\n");
    CServerConfig first(m_path, m_dir);
    ASSERT_EQ(first.Load(), 1);
    EXPECT_EQ(first.m_fileIdSecret, "");
    ASSERT_EQ(first.EnsureFileIdSecret(), 1);
    const std::string secret = first.m_fileIdSecret;
    EXPECT_EQ(secret.size(), 64u);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;
    EXPECT_NE(SettingsText().find("FileIdSecret=" + secret + "\n"), std::string::npos) << "an empty value is replaced";
    EXPECT_NE(SettingsText().find("GeneralTcpipPort=8080\n"), std::string::npos);

    // The next start reads it; a program that loaded the store before it was made takes the stored
    // one rather than making its own.
    CServerConfig next(m_path, m_dir);
    ASSERT_EQ(next.Load(), 1);
    EXPECT_EQ(next.m_fileIdSecret, secret);
    CServerConfig earlier(m_path, m_dir);
    ASSERT_EQ(earlier.EnsureFileIdSecret(), 1);
    EXPECT_EQ(earlier.m_fileIdSecret, secret);
    // Another installation makes another secret.
    TempFolder other{"tw-config"};
    mkdir((other.Path() + "/etc").c_str(), 0750);
    CServerConfig elsewhere(other.Path() + "/etc/settings.conf", other.Path());
    ASSERT_EQ(elsewhere.EnsureFileIdSecret(), 1);
    EXPECT_EQ(elsewhere.m_fileIdSecret.size(), 64u);
    EXPECT_NE(elsewhere.m_fileIdSecret, secret);
}

TEST_F(ServerConfigTest, TaskLinesDescribeEveryTaskWithItsScheduleAndState)
{
    // The first task is the Email Sender whatever a hand or a script named it; a later task named
    // so is a script like any other.
    WriteSettings("EmSmtpServer=smtp.example.org\nTaskCount=7\n" + TaskLines(1, "Outgoing Mail", "10", nullptr) +
                  TaskLines(2, "Nightly*Export", "Day", "90") + TaskLines(3, "Reminder", "Wednesday", "1439") +
                  TaskLines(4, "Poll", "45", nullptr) + "Task04Enabled=no\n" +
                  TaskLines(5, "Saturdays", "Saturday", "0") + TaskLines(6, "Hourly", "60", nullptr) +
                  TaskLines(7, "email sender", "15", nullptr));
    const CLocaleDateTime saved = GetLocaleDateTime();
    CLocaleDateTime clock24;
    clock24.clock = 1;
    SetLocaleDateTime(clock24);
    CServerConfig config(m_path, m_dir);
    ASSERT_EQ(config.Load(), 1);
    ASSERT_EQ(config.GetTaskCount(), 7u);

    // A '*' in a name is sent as it is.
    const std::string stopped = config.FormatTaskLines(false);
    EXPECT_EQ(stopped, "2*Outgoing Mail*Send via smtp.example.org every 10 minute(s)*Stopped\r\n"
                       "3*Nightly*Export*Run /s/Nightly*Export.tws every Day at 01:30*Stopped\r\n"
                       "4*Reminder*Run /s/Reminder.tws every Wednesday at 23:59*Stopped\r\n"
                       "5*Poll*Run /s/Poll.tws every 45 minute(s)*Disabled\r\n"
                       "6*Saturdays*Run /s/Saturdays.tws every Saturday at 00:00*Stopped\r\n"
                       "7*Hourly*Run /s/Hourly.tws every 60 minute(s)*Stopped\r\n"
                       "8*email sender*Run /s/email sender.tws every 15 minute(s)*Stopped\r\n");
    // While the background thread runs, an enabled task shows when it runs next.
    const std::string running = config.FormatTaskLines(true);
    const std::string nextRun = CSspDateTime(config.GetTask(1)->GetNextRun()).GetDateTimeStr2();
    ASSERT_FALSE(nextRun.empty());
    EXPECT_NE(running.find("3*Nightly*Export*Run /s/Nightly*Export.tws every Day at 01:30*" + nextRun + "\r\n"),
              std::string::npos)
        << running;
    EXPECT_NE(running.find("5*Poll*Run /s/Poll.tws every 45 minute(s)*Disabled\r\n"), std::string::npos);

    config.m_emSmtpServer.clear();
    const std::string unset = config.FormatTaskLines(false);
    EXPECT_EQ(unset.substr(0, unset.find('\n') + 1), "2*Outgoing Mail*Outgoing email server not set yet*Stopped\r\n");
    // The locale's 12-hour clock.
    SetLocaleDateTime(CLocaleDateTime{});
    EXPECT_EQ(CServerConfig::FormatTaskInterval(*config.GetTask(2)), "Wednesday at 11:59PM");
    SetLocaleDateTime(saved);
}

TEST(DefaultCharsetTest, FollowsTheLocaleCodeset)
{
    const char* old = std::getenv("LC_ALL");
    std::string saved = old ? old : "";
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(CServerConfig::GetDefaultCharset(), "utf-8");
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(CServerConfig::GetDefaultCharset(), "utf-8");  // a service started without LANG
    setenv("LC_ALL", "xx_YY.NOSUCH", 1);
    EXPECT_EQ(CServerConfig::GetDefaultCharset(), "utf-8");  // an unknown locale falls back to "C"
    if (old)
        setenv("LC_ALL", saved.c_str(), 1);
    else
        unsetenv("LC_ALL");
}

}  // namespace
