#include "foundation/server_settings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "foundation/ascii_text.h"

namespace {

using Id = SettingId;
using Kind = SettingKind;
using C = CServerConfig;

constexpr ServerSetting Text(Id id, const char* name, std::string C::*member, const char* value = "")
{
    return {id, name, Kind::kText, id < Id::kLogHttp, value, 0, member, nullptr};
}

constexpr ServerSetting Number(Id id, const char* name, int C::*member, int value)
{
    return {id, name, Kind::kNumber, id < Id::kLogHttp, nullptr, value, nullptr, member};
}

constexpr ServerSetting Flag(Id id, const char* name, int C::*member, bool on)
{
    return {id, name, Kind::kFlag, id < Id::kLogHttp, nullptr, on ? 1 : 0, nullptr, member};
}

// Where the server derives a value when the file holds none (the listening address, FQDN, the
// base addresses, the text encoding), the default here is the one the console starts with.
constexpr std::array<ServerSetting, static_cast<std::size_t>(Id::kCount)> kServerSettings = {
    Text(Id::kSecurityCertName, "SecurityCertName", &C::m_securityCertName),
    Text(Id::kSecurityCertIssuer, "SecurityCertIssuer", &C::m_securityCertIssuer),
    Text(Id::kSecurityCertSerial, "SecurityCertSerial", &C::m_securityCertSerial),
    Text(Id::kSecurityCertExpiration, "SecurityCertExpiration", &C::m_securityCertExpiration),
    Text(Id::kGeneralOrganizationName, "GeneralOrganizationName", &C::m_generalOrganizationName),
    Text(Id::kGeneralTcpipAddress, "GeneralTcpipAddress", &C::m_generalTcpipAddress, "127.0.0.1"),
    Text(Id::kFqdn, "FQDN", &C::m_fqdn),
    Text(Id::kGeneralTcpipPort, "GeneralTcpipPort", &C::m_generalTcpipPort, "80"),
    Text(Id::kGeneralSslPort, "GeneralSslPort", &C::m_generalSslPort, "443"),
    Number(Id::kGeneralSessionTimeout, "GeneralSessionTimeout", &C::m_sessionTimeout, 600),
    Number(Id::kGeneralMaxUpload, "GeneralMaxUpload", &C::m_maxUpload, 10),
    Text(Id::kDbOdbcConnectString, "DbOdbcConnectString", &C::m_dbOdbcConnectString),
    Flag(Id::kDbAccessSerialize, "DbAccessSerialize", &C::m_dbAccessSerialize, true),
    Flag(Id::kDbConnectionThreadOwn, "DbConnectionThreadOwn", &C::m_dbConnectionThreadOwn, false),
    Number(Id::kDbConnectionIdleTimeout, "DbConnectionIdleTimeout", &C::m_dbConnectionIdleTimeout, 0),
    Number(Id::kPageRunTimeLimit, "PageRunTimeLimit", &C::m_pageRunTimeLimit, 120),
    Text(Id::kEmSmtpServer, "EmSmtpServer", &C::m_emSmtpServer),
    Text(Id::kEmSmtpPort, "EmSmtpPort", &C::m_emSmtpPort, "25"),
    Text(Id::kEmSmtpUserName, "EmSmtpUserName", &C::m_emSmtpUserName),
    Text(Id::kEmSmtpPassword, "EmSmtpPassword", &C::m_emSmtpPassword),
    Text(Id::kGeneralHttpAddr, "GeneralHttpAddr", &C::m_generalHttpAddr),
    Text(Id::kGeneralHttpsAddr, "GeneralHttpsAddr", &C::m_generalHttpsAddr),
    Text(Id::kEmPop3Server, "EmPop3Server", &C::m_emPop3Server),
    Text(Id::kEmPop3Port, "EmPop3Port", &C::m_emPop3Port, "110"),
    Text(Id::kEmImporterEmail, "EmImporterEmail", &C::m_emImporterEmail),
    Text(Id::kEmImporterUserName, "EmImporterUserName", &C::m_emImporterUserName),
    Text(Id::kEmImporterPassword, "EmImporterPassword", &C::m_emImporterPassword),
    Text(Id::kEmDispatcherEmail, "EmDispatcherEmail", &C::m_emDispatcherEmail),
    Text(Id::kEmAdminEmail, "EmAdminEmail", &C::m_emAdminEmail),
    Number(Id::kEmMaxEmailOut, "EmMaxEmailOut", &C::m_emMaxEmailOut, 500),
    Text(Id::kServiceDependency, "ServiceDependency", &C::m_serviceDependency),
    Text(Id::kServiceUserName, "ServiceUserName", &C::m_serviceUserName),
    Text(Id::kServicePassword, "ServicePassword", &C::m_servicePassword),
    Text(Id::kMimeTextEncoding, "MimeTextEncoding", &C::m_mimeTextEncoding),
    Flag(Id::kLogHttp, "LogHttp", &C::m_logHttp, false),
    Flag(Id::kLogSmtp, "LogSmtp", &C::m_logSmtp, false),
    Flag(Id::kLogPop3, "LogPop3", &C::m_logPop3, false),
    Flag(Id::kEncryptFileId, "EncryptFileID", &C::m_encryptFileId, true),
    Number(Id::kSmtpTimeout, "SmtpTimeout", &C::m_smtpTimeout, 60),
    Number(Id::kPop3Timeout, "Pop3Timeout", &C::m_pop3Timeout, 30),
    Flag(Id::kEmKeepSentMail, "EmKeepSentMail", &C::m_emKeepSentMail, false),
    Flag(Id::kAutoCorrectIp, "AutoCorrectIP", nullptr, false),
    Number(Id::kConnectionWaitLimit, "ConnectionWaitLimit", &C::m_connectionWaitLimit, 30),
};

// GetServerSetting indexes the table by id: a row out of place would answer for another setting.
constexpr bool RowsFollowTheirIds()
{
    for (std::size_t i = 0; i < kServerSettings.size(); ++i)
        if (static_cast<std::size_t>(kServerSettings[i].id) != i)
            return false;
    return true;
}
static_assert(RowsFollowTheirIds(), "the rows of kServerSettings must be in SettingId order");

std::string ListEntryName(int number, const char* field)
{
    char name[32];
    std::snprintf(name, sizeof name, "Mime%.3d%s", number, field);
    return name;
}

constexpr const char* kTaskFields[] = {"Name", "Enabled", "Script", "Interval", "At"};
// The number a name's first run of digits spells ("Task07Name" 7), 0 when it has none.
int FirstNumberIn(std::string_view name)
{
    const std::size_t start = name.find_first_of("0123456789");
    if (start == std::string_view::npos)
        return 0;
    int number = 0;
    for (std::size_t i = start; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
        number = std::min(number * 10 + (name[i] - '0'), kMaxSettingsListEntries);
    return number;
}

// The names a program reads that `name` may stand for: every fixed name, and the list entries of
// the number the name carries, so that "Task7Name" meets "Task07Name".
std::vector<std::string> CandidateNames(std::string_view name)
{
    std::vector<std::string> names;
    for (const ServerSetting& setting : kServerSettings)
        names.emplace_back(setting.name);
    names.emplace_back(kMimeCountName);
    names.emplace_back(kTaskCountName);
    names.emplace_back(kFileIdSecretName);
    if (const int number = FirstNumberIn(name)) {
        for (const char* field : kTaskFields)
            names.push_back(TaskValueName(static_cast<std::size_t>(number), field));
        names.push_back(MimeExtensionName(number));
        names.push_back(MimeContentTypeName(number));
    }
    return names;
}

// Edits (insert, delete, replace, swap of two neighbours) that turn one name into the other,
// case aside.
std::size_t EditDistanceNoCase(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = ToLowerAscii(a[i - 1]) == ToLowerAscii(b[j - 1]);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && ToLowerAscii(a[i - 1]) == ToLowerAscii(b[j - 2]) &&
                ToLowerAscii(a[i - 2]) == ToLowerAscii(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::span<const ServerSetting> ServerSettings()
{
    return kServerSettings;
}

const ServerSetting& GetServerSetting(SettingId id)
{
    return kServerSettings[static_cast<std::size_t>(id)];
}

std::string FormatSetting(const CServerConfig& config, const ServerSetting& setting)
{
    switch (setting.kind) {
    case SettingKind::kText: return config.*setting.text;
    case SettingKind::kNumber: return std::to_string(config.*setting.number);
    case SettingKind::kFlag: return config.*setting.number ? "yes" : "no";
    }
    return {};
}

void ApplySettingDefault(CServerConfig& config, const ServerSetting& setting)
{
    if (setting.text)
        config.*setting.text = setting.defaultText;
    else if (setting.number)
        config.*setting.number = setting.defaultNumber;
}

std::string MimeExtensionName(int number)
{
    return ListEntryName(number, "FileExtension");
}

std::string MimeContentTypeName(int number)
{
    return ListEntryName(number, "ContentType");
}

std::string TaskValueName(std::size_t number, const char* field)
{
    char name[48];
    std::snprintf(name, sizeof name, "Task%.2zu%s", number, field);
    return name;
}

std::string DescribeUnknownSetting(std::string_view name)
{
    const std::vector<std::string> candidates = CandidateNames(name);
    const std::string* nearest = nullptr;
    std::size_t nearestDistance = std::max<std::size_t>(1, name.size() / 3) + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = EditDistanceNoCase(name, candidate);
        if (distance == 0)
            return "";
        if (distance < nearestDistance) {
            nearest = &candidate;
            nearestDistance = distance;
        }
    }
    std::string line = "unknown setting " + std::string(name);
    if (nearest)
        line += " (" + *nearest + "?)";
    return line;
}
