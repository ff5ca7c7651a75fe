// CServerConfig: the in-memory copy of every server setting, loaded from the settings store with
// its defaults, clamps and corrections, together with the table of background tasks and the map of
// file extensions to MIME content types. The names, kinds and defaults of the plain settings are
// the rows of the table in foundation/server_settings.h. twServer and twStudio load it once before their threads
// start; afterwards every thread reads the public members without a lock. Only the task entries
// change at run time, under the task lock (see CTaskEntry).
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/task_entry.h"
#include "platform/registry_key.h"

struct ServerSetting;
enum class SettingId;

class CServerConfig
{
public:
    // The fewest mails a day the Email Sender may be limited to; a lower stored limit is raised.
    static constexpr int kMinEmailsPerDay = 100;

    // `settingsPath` is the settings file, `installDir` the installation folder below which the
    // default tasks' scripts lie.
    CServerConfig(std::string settingsPath, std::string installDir);
    // The settings file of GetSettingsFilePath and the folder of GetProgramDirectory.
    CServerConfig();
    virtual ~CServerConfig();
    CServerConfig(const CServerConfig&) = delete;
    CServerConfig& operator=(const CServerConfig&) = delete;

    // Fills every member from the store, then closes it. False when the store exists but cannot be
    // read (the members then keep their defaults and nothing is written).
    [[nodiscard]] bool Load();
    // One line for each name of the store that no program reads (a misspelled setting is
    // otherwise ignored without a word), with the known name it is nearest to; found by Load.
    const std::vector<std::string>& GetUnknownSettings() const { return m_unknownSettings; }

    // Makes the installation's secret for attachment IDs when the store holds none, and keeps it in
    // the store so that IDs stay valid across the programs and their restarts. False when a new
    // secret could not be stored (it then serves this process only; the failure is logged).
    bool EnsureFileIdSecret();

    // Rebuilds the task table from the store; a list shorter than the six default tasks is reset to
    // them and written back. False when the store cannot be read (nothing is written then).
    [[nodiscard]] bool LoadTasks();
    // Writes every task and TaskCount as one replace of the store; false (logged) when it failed.
    [[nodiscard]] bool SaveTasks();
    // Writes the script of every task (scripts may change them at run time) and closes the store;
    // false (logged) when it failed.
    [[nodiscard]] bool SaveTaskScripts();
    void SetDefaultTasks();
    void ClearTasks();

    // The task table, in task number order (the Email Sender first). The table itself changes only
    // while loading, before other threads use it.
    std::size_t GetTaskCount() const { return m_tasks.size(); }
    CTaskEntry* GetTask(std::size_t index) const;
    CTaskEntry& AddTask();
    std::recursive_mutex& GetTaskLock() { return m_taskLock; }

    // The console's task lines: one "<number>*<name>*<description>*<status>\r\n" per task, numbered
    // from 2 in table order. The status is "Disabled", else the next run while the background
    // thread runs (`backgroundRuns`), else "Stopped". Built under the task lock.
    std::string FormatTaskLines(bool backgroundRuns);
    // "<n> minute(s)" for a task run every n minutes; "<day> at <time>" for a daily or weekly task.
    static std::string FormatTaskInterval(const CTaskEntry& task);

    // When `address` is not one of this host's IPv4 addresses (those of its interfaces other than
    // loopback, or 127.0.0.1 on a host without any), replaces it with the first of them and returns
    // true; else returns false.
    static bool CorrectLocalAddress(std::string& address);
    // The charset of the user's locale's codeset, or "" when it is none the server knows.
    static std::string GetDefaultCharset();
    // The web addresses that mails quote when GeneralHttpAddr or GeneralHttpsAddr is empty: built
    // from the listening address and the port of the moment.
    std::string DefaultHttpAddress() const;
    std::string DefaultHttpsAddress() const;

    // Every member holds 0 or the empty text until Load, but for the settings that act before or
    // without it (file ID encryption, the mail time-outs, the two limits of a request): those hold
    // the defaults of the settings table from construction on.
    int m_loaded = 0;
    std::string m_generalOrganizationName;
    std::string m_generalTcpipAddress;
    std::uint32_t m_tcpipAddress = 0;  // m_generalTcpipAddress in network byte order
    std::string m_generalTcpipPort;
    int m_sessionTimeout = 0;  // minutes
    int m_maxUpload = 0;       // megabytes
    int m_logHttp = 0;
    int m_logSmtp = 0;
    int m_logPop3 = 0;
    std::string m_generalSslPort;
    std::string m_securityCertName;
    std::string m_securityCertIssuer;
    std::string m_securityCertSerial;
    std::string m_securityCertExpiration;
    std::string m_fqdn;
    int m_encryptFileId = 0;
    std::string m_fileIdSecret;  // key of the tags that attachment IDs carry; never logged
    std::string m_dbOdbcConnectString;
    int m_dbAccessSerialize = 0;
    int m_dbConnectionThreadOwn = 0;
    int m_dbConnectionIdleTimeout = 0;
    // Seconds a web request's page may run (PageRunTimeLimit); 0: no limit.
    int m_pageRunTimeLimit = 0;
    // Seconds a request may wait for a server thread before it is answered "503 Service
    // Unavailable" (ConnectionWaitLimit), at least 1.
    int m_connectionWaitLimit = 0;
    std::string m_emSmtpServer;
    std::string m_emSmtpPort;
    std::string m_emSmtpUserName;
    std::string m_emSmtpPassword;
    std::string m_generalHttpAddr;
    std::string m_generalHttpsAddr;
    std::string m_emPop3Server;
    std::string m_emPop3Port;
    std::string m_emImporterUserName;
    std::string m_emImporterPassword;
    std::string m_emImporterEmail;
    int m_emMaxEmailOut = 0;
    std::string m_emDispatcherEmail;
    std::string m_emAdminEmail;
    int m_smtpTimeout = 0;  // seconds
    int m_pop3Timeout = 0;  // seconds
    int m_emKeepSentMail = 0;
    std::string m_serviceDependency;
    std::string m_serviceUserName;
    std::string m_servicePassword;
    std::map<std::string, std::string> m_mimeMap;  // lower-case extension without dot -> content type
    // The extensions of m_mimeMap in the table's own order (each where it first appears), for the
    // readers that ask which extension a content type has: several extensions share one type.
    std::vector<std::string> m_mimeOrder;
    std::string m_mimeTextEncoding;

protected:
    // The settings store itself, for the console, which writes every setting in one batch that
    // SaveTasks joins.
    CRegistryKey& RegistryKey() { return m_registryKey; }
    // The key under which a stored MIME extension enters the map: trimmed and lower-cased, as the
    // server looks files up. The console keeps the text as stored (it writes it back).
    virtual std::string MimeMapKey(const std::string& storedExtension) const;

private:
    void LoadSetting(const ServerSetting& setting);
    bool IsStored(SettingId id);
    void CorrectLoadedValues();
    std::string ReadText(const char* name, std::string value);
    int ReadFlag(const char* name, int defaultOn);
    int ReadInt(const char* name, int value);
    void LoadAddresses();
    void LoadMimeMap();
    void FindUnknownSettings();
    void LogStoreFailure();

    std::string m_installDir;
    std::vector<std::string> m_unknownSettings;
    std::vector<std::unique_ptr<CTaskEntry>> m_tasks;
    std::recursive_mutex m_taskLock;  // guards the fields of every task entry
    CRegistryKey m_registryKey;
};

// "<scheme>://<host>", with ":<port>" after the host unless `port` is the scheme's usual one.
std::string BuildBaseAddress(const char* scheme, const std::string& host, const std::string& port,
                             const char* usualPort);

// The program's configuration, constructed on first use.
CServerConfig& TheServerConfig();
