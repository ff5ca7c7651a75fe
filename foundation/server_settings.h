// The table of the plain server settings: for each, its name in the settings file, its kind, its
// default and the CServerConfig member that holds it. CServerConfig::Load reads every row and
// CConsoleConfig::Save writes the rows the console edits, both from this table alone, so a setting
// cannot be written under one name and read under another. The lists (tasks, MIME pairs) and the
// installation's file ID secret keep their own code in CServerConfig.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "foundation/server_config.h"

// How a value is stored: a text as it is, a number in decimal, a flag as "yes" or "no".
enum class SettingKind
{
    kText,
    kNumber,
    kFlag
};

// The settings in the console's save order (the order in which a new settings file lists them);
// those the console does not edit come last. Each names the row of kServerSettings at its index.
enum class SettingId
{
    kSecurityCertName,
    kSecurityCertIssuer,
    kSecurityCertSerial,
    kSecurityCertExpiration,
    kGeneralOrganizationName,
    kGeneralTcpipAddress,
    kFqdn,
    kGeneralTcpipPort,
    kGeneralSslPort,
    kGeneralSessionTimeout,
    kGeneralMaxUpload,
    kDbOdbcConnectString,
    kDbAccessSerialize,
    kDbConnectionThreadOwn,
    kDbConnectionIdleTimeout,
    kPageRunTimeLimit,
    kEmSmtpServer,
    kEmSmtpPort,
    kEmSmtpUserName,
    kEmSmtpPassword,
    kGeneralHttpAddr,
    kGeneralHttpsAddr,
    kEmPop3Server,
    kEmPop3Port,
    kEmImporterEmail,
    kEmImporterUserName,
    kEmImporterPassword,
    kEmDispatcherEmail,
    kEmAdminEmail,
    kEmMaxEmailOut,
    kServiceDependency,
    kServiceUserName,
    kServicePassword,
    kMimeTextEncoding,
    // Set by the administrator in the file only: the console neither shows nor writes them.
    kLogHttp,
    kLogSmtp,
    kLogPop3,
    kEncryptFileId,
    kSmtpTimeout,
    kPop3Timeout,
    kEmKeepSentMail,
    kAutoCorrectIp,
    kConnectionWaitLimit,
    kCount
};

struct ServerSetting
{
    SettingId id;
    const char* name;
    SettingKind kind;
    bool consoleWrites;
    const char* defaultText;           // kText
    int defaultNumber;                 // kNumber; 1 or 0 for kFlag
    std::string CServerConfig::*text;  // kText
    int CServerConfig::*number;        // kNumber and kFlag; null for a flag no member keeps
};

// Every row, in SettingId order.
std::span<const ServerSetting> ServerSettings();
const ServerSetting& GetServerSetting(SettingId id);

inline const char* SettingName(SettingId id)
{
    return GetServerSetting(id).name;
}

// The value of `setting` in `config` as the settings file holds it.
std::string FormatSetting(const CServerConfig& config, const ServerSetting& setting);
// Gives `setting` in `config` its default.
void ApplySettingDefault(CServerConfig& config, const ServerSetting& setting);

// The largest entry number of the MIME and task lists that is read: a hand-typed count far beyond
// any list the console writes must not stall start-up.
inline constexpr int kMaxSettingsListEntries = 9999;

// The names of the MIME list: "MimeCount" and "Mime<nnn>FileExtension"/"Mime<nnn>ContentType".
inline constexpr const char* kMimeCountName = "MimeCount";
std::string MimeExtensionName(int number);
std::string MimeContentTypeName(int number);

// The names of the task list: "TaskCount" and "Task<nn><field>" for the fields "Name", "Enabled",
// "Script", "Interval" and "At" of task `number`.
inline constexpr const char* kTaskCountName = "TaskCount";
std::string TaskValueName(std::size_t number, const char* field);

// The installation's key for attachment IDs, made by the first program that needs it.
inline constexpr const char* kFileIdSecretName = "FileIdSecret";

// The log line for a name of the settings file that no program reads: "unknown setting <name>",
// followed by " (<known name>?)" when a known name is near enough to be the one meant (at most a
// third of the name's letters typed wrong, case aside); "" for a known name.
std::string DescribeUnknownSetting(std::string_view name);
