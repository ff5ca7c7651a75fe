#include "console/console_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "platform/file_system.h"

namespace {

// Ports above this are never tried: the search goes from the given port to 8080..8083.
constexpr int kPortSearchEnd = 8084;

const char* YesNo(int on) { return on ? "yes" : "no"; }

std::string BaseAddress(const char* scheme, const std::string& host, const std::string& port, const char* usual)
{
    std::string address = std::string(scheme) + "://" + host;
    if (port != usual)
        address += ":" + port;
    return address;
}

}  // namespace

CConsoleConfig::CConsoleConfig(std::string settingsPath, std::string installDir)
    : CServerConfig(settingsPath, installDir), m_settingsPath(settingsPath), m_installDir(installDir)
{
    m_generalTcpipAddress = "127.0.0.1";
    m_tcpipAddress = inet_addr("127.0.0.1");
    m_generalTcpipPort = "80";
    m_sessionTimeout = 600;
    m_maxUpload = 10;
    m_dbAccessSerialize = 1;
}

CConsoleConfig::CConsoleConfig() : CConsoleConfig(GetSettingsFilePath(), GetProgramDirectory()) {}

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

int CConsoleConfig::Load()
{
    if (!CServerConfig::Load())
        return 0;
    CorrectMissingPort();
    ReadBaseAddresses();
    return 1;
}

void CConsoleConfig::CorrectMissingPort()
{
    std::string stored;
    if (RegistryKey().ReadString("GeneralTcpipPort", stored))
        return;
    // A first start: port 80 when it is free, else one of 8080 to 8083. Only a port that was
    // found free is stored; otherwise the administrator sets one on the General page.
    m_generalTcpipPort = "80";
    bool found = false;
    if (CorrectTcpPort(m_generalTcpipAddress, m_generalTcpipPort, &found) && found) {
        CRegistryBatch batch(RegistryKey());
        RegistryKey().WriteString("GeneralTcpipAddress", m_generalTcpipAddress);
        RegistryKey().WriteString("GeneralTcpipPort", m_generalTcpipPort);
        if (!batch.Commit())
            TheLog().WriteText(RegistryKey().DescribeLastFailure());
    }
    RegistryKey().Close();
}

// The base addresses are built again after the port may have changed, and a stored text of
// blanks counts as empty.
void CConsoleConfig::ReadBaseAddresses()
{
    std::string http;
    std::string https;
    RegistryKey().ReadString("GeneralHttpAddr", http);
    RegistryKey().ReadString("GeneralHttpsAddr", https);
    RegistryKey().Close();
    m_generalHttpAddr = std::string(TrimWhiteAscii(http));
    if (m_generalHttpAddr.empty())
        m_generalHttpAddr = BaseAddress("http", m_generalTcpipAddress, m_generalTcpipPort, "80");
    m_generalHttpsAddr = std::string(TrimWhiteAscii(https));
    if (m_generalHttpsAddr.empty())
        m_generalHttpsAddr = BaseAddress("https", m_generalTcpipAddress, m_generalSslPort, "443");
}

int CConsoleConfig::CorrectTcpPort(const std::string& address, std::string& port, bool* found)
{
    if (found)
        *found = false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        TheLog().WriteLine("Failed create socket when trying to correct TCP port");
        return 0;
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
        TheLog().WriteLine("Failed to find an available TCP port. Please set the port yourself in Settings | General Page.");
    if (found)
        *found = free;
    return 1;
}

int CConsoleConfig::Save()
{
    CRegistryKey& key = RegistryKey();
    // A console or server killed while writing left whole copies of the settings behind.
    key.RemoveLeftoverFiles();
    int written;
    {
        CRegistryBatch batch(key);
        auto text = [&key](const char* name, const std::string& value) { key.WriteString(name, value); };
        auto number = [&key](const char* name, int value) { key.WriteString(name, std::to_string(value)); };
        text("SecurityCertName", m_securityCertName);
        text("SecurityCertIssuer", m_securityCertIssuer);
        text("SecurityCertSerial", m_securityCertSerial);
        text("SecurityCertExpiration", m_securityCertExpiration);
        text("GeneralOrganizationName", m_generalOrganizationName);
        text("GeneralTcpipAddress", m_generalTcpipAddress);
        text("FQDN", m_fqdn);
        text("GeneralTcpipPort", m_generalTcpipPort);
        text("GeneralSslPort", m_generalSslPort);
        number("GeneralSessionTimeout", m_sessionTimeout);
        number("GeneralMaxUpload", m_maxUpload);
        text("DbOdbcConnectString", m_dbOdbcConnectString);
        text("DbAccessSerialize", YesNo(m_dbAccessSerialize));
        text("DbConnectionThreadOwn", YesNo(m_dbConnectionThreadOwn));
        number("DbConnectionIdleTimeout", m_dbConnectionIdleTimeout);
        number("PageRunTimeLimit", m_pageRunTimeLimit);
        SaveTasks();
        text("EmSmtpServer", m_emSmtpServer);
        text("EmSmtpPort", m_emSmtpPort);
        text("EmSmtpUserName", m_emSmtpUserName);
        text("EmSmtpPassword", m_emSmtpPassword);
        text("GeneralHttpAddr", m_generalHttpAddr);
        text("GeneralHttpsAddr", m_generalHttpsAddr);
        text("EmPop3Server", m_emPop3Server);
        text("EmPop3Port", m_emPop3Port);
        text("EmImporterEmail", m_emImporterEmail);
        text("EmImporterUserName", m_emImporterUserName);
        text("EmImporterPassword", m_emImporterPassword);
        text("EmDispatcherEmail", m_emDispatcherEmail);
        text("EmAdminEmail", m_emAdminEmail);
        number("EmMaxEmailOut", m_emMaxEmailOut);
        text("ServiceDependency", m_serviceDependency);
        text("ServiceUserName", m_serviceUserName);
        text("ServicePassword", m_servicePassword);
        text("MimeTextEncoding", m_mimeTextEncoding);
        number("MimeCount", static_cast<int>(m_mimeMap.size()));
        // Pairs beyond the count that an earlier save left stay in the store; Load never reads them.
        int index = 0;
        for (const auto& [extension, type] : m_mimeMap) {
            char extensionName[32];
            char typeName[32];
            ++index;
            std::snprintf(extensionName, sizeof extensionName, "Mime%.3dFileExtension", index);
            std::snprintf(typeName, sizeof typeName, "Mime%.3dContentType", index);
            text(extensionName, extension);
            text(typeName, type);
        }
        written = batch.Commit();
    }
    if (!written)
        TheLog().WriteText(key.DescribeLastFailure());
    key.Close();
    m_mimeChanged = 0;
    return written;
}

int CConsoleConfig::SaveConnectString()
{
    RegistryKey().RemoveLeftoverFiles();
    if (!RegistryKey().WriteString("DbOdbcConnectString", m_dbOdbcConnectString))
        TheLog().WriteText(RegistryKey().DescribeLastFailure());
    RegistryKey().Close();
    return 1;
}

bool CConsoleConfig::Differs(const CConsoleConfig& other) const
{
    if (other.m_tasksChanged || other.m_mimeChanged)
        return true;
    for (auto [mine, theirs] : std::initializer_list<std::pair<const std::string*, const std::string*>>{
             {&m_securityCertName, &other.m_securityCertName},
             {&m_securityCertIssuer, &other.m_securityCertIssuer},
             {&m_securityCertSerial, &other.m_securityCertSerial},
             {&m_securityCertExpiration, &other.m_securityCertExpiration},
             {&m_generalOrganizationName, &other.m_generalOrganizationName},
             {&m_generalTcpipAddress, &other.m_generalTcpipAddress},
             {&m_fqdn, &other.m_fqdn},
             {&m_generalTcpipPort, &other.m_generalTcpipPort},
             {&m_generalSslPort, &other.m_generalSslPort},
             {&m_dbOdbcConnectString, &other.m_dbOdbcConnectString},
             {&m_emSmtpServer, &other.m_emSmtpServer},
             {&m_emSmtpPort, &other.m_emSmtpPort},
             {&m_emSmtpUserName, &other.m_emSmtpUserName},
             {&m_emSmtpPassword, &other.m_emSmtpPassword},
             {&m_generalHttpAddr, &other.m_generalHttpAddr},
             {&m_generalHttpsAddr, &other.m_generalHttpsAddr},
             {&m_emPop3Server, &other.m_emPop3Server},
             {&m_emPop3Port, &other.m_emPop3Port},
             {&m_emImporterEmail, &other.m_emImporterEmail},
             {&m_emImporterUserName, &other.m_emImporterUserName},
             {&m_emImporterPassword, &other.m_emImporterPassword},
             {&m_emDispatcherEmail, &other.m_emDispatcherEmail},
             {&m_emAdminEmail, &other.m_emAdminEmail},
             {&m_serviceDependency, &other.m_serviceDependency},
             {&m_serviceUserName, &other.m_serviceUserName},
             {&m_servicePassword, &other.m_servicePassword},
             {&m_mimeTextEncoding, &other.m_mimeTextEncoding},
         })
        if (*mine != *theirs)
            return true;
    return m_sessionTimeout != other.m_sessionTimeout || m_maxUpload != other.m_maxUpload ||
           m_dbAccessSerialize != other.m_dbAccessSerialize ||
           m_dbConnectionThreadOwn != other.m_dbConnectionThreadOwn ||
           m_dbConnectionIdleTimeout != other.m_dbConnectionIdleTimeout || m_emMaxEmailOut != other.m_emMaxEmailOut ||
           m_pageRunTimeLimit != other.m_pageRunTimeLimit;
}
