#include "console/console_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "foundation/server_settings.h"
#include "foundation/task_entry.h"
#include "platform/file_system.h"

namespace {

// Ports above this are never tried: the search goes from the given port to 8080..8083.
constexpr int kPortSearchEnd = 8084;

}  // namespace

CConsoleConfig::CConsoleConfig(std::string settingsPath, std::string installDir)
    : CServerConfig(settingsPath, installDir), m_settingsPath(settingsPath), m_installDir(installDir)
{
    for (const ServerSetting& setting : ServerSettings())
        ApplySettingDefault(*this, setting);
    m_tcpipAddress = inet_addr(m_generalTcpipAddress.c_str());
}

CConsoleConfig::CConsoleConfig() : CConsoleConfig(GetSettingsFilePath(), GetProgramDirectory())
{}

CConsoleConfig& TheConsoleConfig()
{
    static CConsoleConfig config;
    return config;
}

std::string CConsoleConfig::MimeMapKey(const std::string& storedExtension) const
{
    // The console writes the map back, so it keeps each extension exactly as it was stored.
    return storedExtension;
}

bool CConsoleConfig::Load()
{
    if (!CServerConfig::Load())
        return false;
    CorrectMissingPort();
    ReadBaseAddresses();
    return true;
}

void CConsoleConfig::CorrectMissingPort()
{
    std::string stored;
    if (RegistryKey().ReadString(SettingName(SettingId::kGeneralTcpipPort), stored))
        return;
    // A first start: port 80 when it is free, else one of 8080 to 8083. Only a port that was
    // found free is stored; otherwise the administrator sets one on the General page.
    m_generalTcpipPort = "80";
    bool found = false;
    if (CorrectTcpPort(m_generalTcpipAddress, m_generalTcpipPort, &found) && found) {
        CRegistryBatch batch(RegistryKey());
        batch.Write(SettingName(SettingId::kGeneralTcpipAddress), m_generalTcpipAddress);
        batch.Write(SettingName(SettingId::kGeneralTcpipPort), m_generalTcpipPort);
        if (!batch.Commit())
            TheLog().WriteText(RegistryKey().DescribeLastFailure());
    }
    RegistryKey().Close();
}

// The web addresses of mails as stored, a text of blanks counting as empty. An empty one stays
// empty: the server then builds it from its address and port of the day, and a value that the
// administrator never typed is never written back to outlive a change of the port.
void CConsoleConfig::ReadBaseAddresses()
{
    std::string http;
    std::string https;
    RegistryKey().ReadString(SettingName(SettingId::kGeneralHttpAddr), http);
    RegistryKey().ReadString(SettingName(SettingId::kGeneralHttpsAddr), https);
    RegistryKey().Close();
    m_generalHttpAddr = std::string(TrimWhiteAscii(http));
    m_generalHttpsAddr = std::string(TrimWhiteAscii(https));
}

bool CConsoleConfig::CorrectTcpPort(const std::string& address, std::string& port, bool* found)
{
    if (found)
        *found = false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        TheLog().WriteLine("Failed create socket when trying to correct TCP port");
        return false;
    }
    // The server listens with SO_REUSEADDR, so a port that only has connections in TIME_WAIT is
    // free for it: the probe asks the same question.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = inet_addr(address.c_str());
    int candidate = ParseInt32(port);
    bool free = false;
    while (candidate < kPortSearchEnd) {
        where.sin_port = htons(static_cast<std::uint16_t>(candidate));
        if (candidate >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
            free = true;
            break;
        }
        candidate = NextPortCandidate(candidate);
    }
    close(fd);
    if (free)
        port = std::to_string(candidate);
    else
        TheLog().WriteLine(
            "Failed to find an available TCP port. Please set the port yourself in Settings | General Page.");
    if (found)
        *found = free;
    return true;
}

bool CConsoleConfig::Save(std::string* failure)
{
    CRegistryKey& key = RegistryKey();
    // A console or server killed while writing left whole copies of the settings behind.
    key.RemoveLeftoverFiles();
    bool written;
    {
        CRegistryBatch batch(key);
        for (const ServerSetting& setting : ServerSettings()) {
            // The task list has always stood between the database and the mail settings.
            // SaveTasks joins this batch, so the Commit below reports its failure too.
            if (setting.id == SettingId::kEmSmtpServer)
                static_cast<void>(SaveTasks());
            if (setting.consoleWrites)
                batch.Write(setting.name, FormatSetting(*this, setting));
        }
        batch.Write(kMimeCountName, std::to_string(m_mimeMap.size()));
        // Pairs beyond the count that an earlier save left stay in the store; Load never reads them.
        int number = 0;
        for (const auto& [extension, type] : m_mimeMap) {
            ++number;
            batch.Write(MimeExtensionName(number), extension);
            batch.Write(MimeContentTypeName(number), type);
        }
        written = batch.Commit();
    }
    if (!written) {
        if (failure)
            *failure = key.DescribeLastFailure();
        else
            TheLog().WriteText(key.DescribeLastFailure());
    }
    key.Close();
    return written;
}

bool CConsoleConfig::SaveConnectString()
{
    RegistryKey().RemoveLeftoverFiles();
    const bool written = RegistryKey().WriteString(SettingName(SettingId::kDbOdbcConnectString), m_dbOdbcConnectString);
    if (!written)
        TheLog().WriteText(RegistryKey().DescribeLastFailure());
    RegistryKey().Close();
    return written;
}

namespace {

// One line per task with every field that Save writes, for comparing two task lists.
std::string TaskListText(const CServerConfig& config)
{
    std::string text;
    for (std::size_t i = 0; i < config.GetTaskCount(); ++i) {
        const CTaskEntry& task = *config.GetTask(i);
        text += task.GetName() + '\0' + (task.IsEnabled() ? "1" : "0") + '\0' + task.GetScript() + '\0' +
                std::to_string(task.GetKind()) + '\0' + std::to_string(task.GetIntervalSeconds()) + '\n';
    }
    return text;
}

}  // namespace

bool CConsoleConfig::Differs(const CConsoleConfig& other) const
{
    // The lists themselves are compared: a page's edit of them alone must be saved too.
    if (m_mimeMap != other.m_mimeMap || TaskListText(*this) != TaskListText(other))
        return true;
    for (const ServerSetting& setting : ServerSettings())
        if (setting.consoleWrites && FormatSetting(*this, setting) != FormatSetting(other, setting))
            return true;
    return false;
}
