#include "foundation/server_settings.h"

#include <array>
#include <cstdio>

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
    Number(Id::kPageRunTimeLimit, "PageRunTimeLimit", &C::m_pageRunTimeLimit, C::kDefaultPageRunTimeLimit),
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
    Number(Id::kConnectionWaitLimit, "ConnectionWaitLimit", &C::m_connectionWaitLimit, C::kDefaultConnectionWaitLimit),
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
