#include "foundation/server_config.h"

#include <arpa/inet.h>
#include <cstdio>
#include <langinfo.h>
#include <locale.h>
#include <netinet/in.h>
#include <string_view>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "foundation/server_settings.h"
#include "foundation/ssp_date_time.h"
#include "foundation/url_encoding.h"
#include "platform/file_system.h"
#include "platform/network_addresses.h"
#include "platform/secure_random.h"

namespace {

// 256 bits from the kernel's generator, as hexadecimal so that the settings file stays text.
std::string MakeFileIdSecret()
{
    unsigned char bytes[32];
    FillSecureRandom(bytes, sizeof bytes);
    std::string secret;
    for (unsigned char byte : bytes)
        secret += ByteToHex(byte);
    return secret;
}

struct MimePair
{
    const char* extension;
    const char* contentType;
};

// Used when the store holds no MIME pairs.
const MimePair kDefaultMimeTypes[] = {
    {"htm", "text/html"},
    {"html", "text/html"},
    {"txt", "text/plain"},
    {"css", "text/css"},
    {"gif", "image/gif"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"bmp", "image/bmp"},
    {"*", "application/octet-stream"},
    {"pdf", "application/pdf"},
    {"bin", "application/octet-stream"},
    {"oda", "application/oda"},
    {"zip", "application/x-zip-compressed"},
    {"rtf", "application/rtf"},
    {"ps", "application/postscript"},
    {"ai", "application/postscript"},
    {"eps", "application/postscript"},
    {"hqx", "application/mac-binhex40"},
    {"doc", "application/msword"},
    {"dot", "application/msword"},
    {"hlp", "application/winhlp"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mpe", "video/mpeg"},
    {"avi", "video/x-msvideo"},
    {"qt", "video/quicktime"},
    {"mov", "video/quicktime"},
    {"movie", "video/x-sgi-movie"},
    {"wrl", "x-world/x-vrml"},
    {"xaf", "x-world/x-vrml"},
    {"xof", "x-world/x-vrml"},
    {"flr", "x-world/x-vrml"},
    {"wrz", "x-world/x-vrml"},
    {"dcr", "application/x-director"},
    {"dir", "application/x-director"},
    {"dxr", "application/x-director"},
    {"cod", "image/cis-cod"},
    {"cmx", "image/x-cmx"},
    {"evy", "application/envoy"},
    {"mdb", "application/x-msaccess"},
    {"crd", "application/x-mscardfile"},
    {"clp", "application/x-msclip"},
    {"exe", "application/octet-stream"},
    {"xla", "application/vnd.ms-excel"},
    {"xlc", "application/vnd.ms-excel"},
    {"xlm", "application/vnd.ms-excel"},
    {"xls", "application/vnd.ms-excel"},
    {"xlt", "application/vnd.ms-excel"},
    {"xlw", "application/vnd.ms-excel"},
    {"m13", "application/x-msmediaview"},
    {"m14", "application/x-msmediaview"},
    {"mny", "application/x-msmoney"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"pot", "application/vnd.ms-powerpoint"},
    {"mpp", "application/vnd.ms-project"},
    {"pub", "application/x-mspublisher"},
    {"scd", "application/x-msschedule"},
    {"trm", "application/x-msterminal"},
    {"wks", "application/vnd.ms-works"},
    {"wdb", "application/vnd.ms-works"},
    {"wps", "application/vnd.ms-works"},
    {"wcm", "application/vnd.ms-works"},
    {"wri", "application/x-mswrite"},
    {"wmf", "application/x-msmetafile"},
    {"csh", "application/x-csh"},
    {"dvi", "application/x-dvi"},
    {"hdf", "application/x-hdf"},
    {"latex", "application/x-latex"},
    {"nc", "application/x-netcdf"},
    {"sh", "application/x-sh"},
    {"tcl", "application/x-tcl"},
    {"tex", "application/x-tex"},
    {"texinfo", "application/x-texinfo"},
    {"texi", "application/x-texinfo"},
    {"t", "application/x-troff"},
    {"tr", "application/x-troff"},
    {"roff", "application/x-troff"},
    {"man", "application/x-troff-man"},
    {"me", "application/x-troff-me"},
    {"ms", "application/x-troff-ms"},
    {"src", "application/x-wais-source"},
    {"bcpio", "application/x-bcpio"},
    {"cpio", "application/x-cpio"},
    {"gtar", "application/x-gtar"},
    {"shar", "application/x-shar"},
    {"sv4cpio", "application/x-sv4cpio"},
    {"sv4crc", "application/x-sv4crc"},
    {"tar", "application/x-tar"},
    {"ustar", "application/x-ustar"},
    {"au", "audio/basic"},
    {"snd", "audio/basic"},
    {"aif", "audio/x-aiff"},
    {"aiff", "audio/x-aiff"},
    {"aifc", "audio/x-aiff"},
    {"wav", "audio/x-wav"},
    {"ram", "audio/x-pn-realaudio"},
    {"ra", "audio/x-pn-realaudio"},
    {"ief", "image/ief"},
    {"tiff", "image/tiff"},
    {"tif", "image/tiff"},
    {"ras", "image/x-cmu-raster"},
    {"pnm", "image/x-portable-anymap"},
    {"pbm", "image/x-portable-bitmap"},
    {"pgm", "image/x-portable-graymap"},
    {"ppm", "image/x-portable-pixmap"},
    {"rgb", "image/x-rgb"},
    {"xbm", "image/x-xbitmap"},
    {"xpm", "image/x-xpixmap"},
    {"xwd", "image/x-xwindowdump"},
    {"stm", "text/html"},
    {"bas", "text/plain"},
    {"c", "text/plain"},
    {"h", "text/plain"},
    {"rtx", "text/richtext"},
    {"tsv", "text/tab-separated-values"},
    {"etx", "text/x-setext"},
    {"pmc", "application/x-perfmon"},
    {"pma", "application/x-perfmon"},
    {"pmr", "application/x-perfmon"},
    {"pml", "application/x-perfmon"},
    {"pmw", "application/x-perfmon"},
    {"js", "application/x-javascript"},
};

// Charsets by the codeset names that a locale reports (upper case, without '-' and '_').
struct CharsetRow
{
    const char* charset;
    const char* codesets[4];
};

const CharsetRow kCharsets[] = {
    {"windows-874", {"TIS620", "CP874"}},
    {"shift_jis", {"SHIFTJIS", "SJIS", "CP932"}},
    {"gb2312", {"GB2312", "GBK", "CP936"}},
    {"iso-2022-kr", {"EUCKR", "CP949"}},
    {"big5", {"BIG5", "BIG5HKSCS", "CP950"}},
    {"iso-8859-2", {"ISO88592", "CP1250"}},
    {"iso-8859-5", {"ISO88595", "CP1251"}},
    {"iso-8859-1", {"ISO88591", "CP1252"}},
    {"iso-8859-7", {"ISO88597", "CP1253"}},
    {"iso-8859-9", {"ISO88599", "CP1254"}},
    {"iso-8859-8", {"ISO88598", "CP1255"}},
    {"iso-8859-6", {"ISO88596", "CP1256"}},
    {"iso-8859-4", {"ISO88594", "ISO885913", "CP1257"}},
    {"windows-1258", {"CP1258"}},
    // The plain-ASCII codeset of the "C" locale (a service started without LANG) is answered with
    // UTF-8: the texts the system stores and serves are UTF-8 in practice, and ASCII is a subset.
    {"utf-8", {"UTF8", "ANSIX3.41968", "ASCII"}},
};

std::string Trim(std::string_view text)
{
    return std::string(TrimWhiteAscii(text));
}

std::string NormalizeCodeset(std::string_view codeset)
{
    std::string normalized;
    for (char c : codeset) {
        if (c == '-' || c == '_')
            continue;
        normalized += ToUpperAscii(c);
    }
    return normalized;
}

// The IPv4 addresses by which other hosts reach this one, in the system's order: those of the
// interfaces that are up, loopback ones left out. A host without any is reached as 127.0.0.1 alone,
// as a lookup of its own name would answer. Loopback addresses must not count as the host's own
// when it has others, or a missing or corrected address would stay 127.0.0.1 and the server would
// be out of the browsers' reach.
bool ListLocalAddresses(std::vector<std::string>& addresses)
{
    if (!ListInterfaceAddresses(addresses, false))
        return false;
    if (addresses.empty())
        addresses.push_back("127.0.0.1");
    return true;
}

std::uint32_t NetworkOrderAddress(const std::string& address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return INADDR_NONE;
    return parsed.s_addr;
}

}  // namespace

std::string BuildBaseAddress(const char* scheme, const std::string& host, const std::string& port,
                             const char* usualPort)
{
    std::string built = std::string(scheme) + "://" + host;
    if (port != usualPort)
        built += ":" + port;
    return built;
}

CServerConfig::CServerConfig(std::string settingsPath, std::string installDir)
    : m_installDir(std::move(installDir)), m_registryKey(std::move(settingsPath))
{
    for (SettingId id : {SettingId::kEncryptFileId, SettingId::kSmtpTimeout, SettingId::kPop3Timeout,
                         SettingId::kPageRunTimeLimit, SettingId::kConnectionWaitLimit})
        ApplySettingDefault(*this, GetServerSetting(id));
}

CServerConfig::CServerConfig() : CServerConfig(GetSettingsFilePath(), GetProgramDirectory())
{}

CServerConfig::~CServerConfig() = default;

CServerConfig& TheServerConfig()
{
    static CServerConfig config;
    return config;
}

std::string CServerConfig::ReadText(const char* name, std::string value)
{
    m_registryKey.ReadString(name, value);
    return value;
}

int CServerConfig::ReadFlag(const char* name, int defaultOn)
{
    std::string text;
    // A flag typed by hand as "1" or "true" keeps the meaning of a missing one; the log says so,
    // so that the administrator learns why the setting seems to do nothing.
    if (m_registryKey.ReadString(name, text) && text != "yes" && text != "no")
        TheLog().WriteLine("Setting %s ignored: its value [%s] is neither \"yes\" nor \"no\"; it stays %s.", name,
                           text.c_str(), defaultOn ? "on" : "off");
    return defaultOn ? text != "no" : text == "yes";
}

int CServerConfig::ReadInt(const char* name, int value)
{
    std::string text;
    return m_registryKey.ReadString(name, text) ? ParseInt32(text) : value;
}

void CServerConfig::LogStoreFailure()
{
    TheLog().WriteText(m_registryKey.DescribeLastFailure());
}

bool CServerConfig::Load()
{
    const bool opened = m_registryKey.Open();
    if (!opened)
        LogStoreFailure();
    // An unreadable store was logged just above; the tasks then keep their defaults too.
    static_cast<void>(LoadTasks());

    for (const ServerSetting& setting : ServerSettings())
        LoadSetting(setting);
    m_fileIdSecret = ReadText(kFileIdSecretName, "");
    LoadAddresses();
    CorrectLoadedValues();

    LoadMimeMap();
    FindUnknownSettings();
    if (!IsStored(SettingId::kMimeTextEncoding))
        m_mimeTextEncoding = GetDefaultCharset();
    m_mimeTextEncoding = Trim(m_mimeTextEncoding);

    m_loaded = 1;
    m_registryKey.Close();
    return opened;
}

void CServerConfig::LoadSetting(const ServerSetting& setting)
{
    switch (setting.kind) {
    case SettingKind::kText: this->*setting.text = ReadText(setting.name, setting.defaultText); break;
    case SettingKind::kNumber: this->*setting.number = ReadInt(setting.name, setting.defaultNumber); break;
    case SettingKind::kFlag:
        if (setting.number)
            this->*setting.number = ReadFlag(setting.name, setting.defaultNumber);
        break;
    }
}

void CServerConfig::FindUnknownSettings()
{
    m_unknownSettings.clear();
    for (const std::string& name : m_registryKey.GetNames()) {
        std::string line = DescribeUnknownSetting(name);
        if (!line.empty())
            m_unknownSettings.push_back(std::move(line));
    }
}

bool CServerConfig::IsStored(SettingId id)
{
    std::string ignored;
    return m_registryKey.ReadString(SettingName(id), ignored) != 0;
}

// Limits on the numbers, and the values that follow from others.
void CServerConfig::CorrectLoadedValues()
{
    m_dbOdbcConnectString.resize(TrimRightWhiteAscii(m_dbOdbcConnectString).size());
    // Without the application lock, threads sharing one connection would interleave statements.
    if (!m_dbAccessSerialize)
        m_dbConnectionThreadOwn = 1;
    if (m_pageRunTimeLimit < 0)
        m_pageRunTimeLimit = GetServerSetting(SettingId::kPageRunTimeLimit).defaultNumber;
    if (m_connectionWaitLimit < 1)
        m_connectionWaitLimit = GetServerSetting(SettingId::kConnectionWaitLimit).defaultNumber;
    if (m_emMaxEmailOut < kMinEmailsPerDay)
        m_emMaxEmailOut = kMinEmailsPerDay;
    for (SettingId id : {SettingId::kSmtpTimeout, SettingId::kPop3Timeout}) {
        const ServerSetting& setting = GetServerSetting(id);
        int& seconds = this->*setting.number;
        if (seconds < 5 || seconds > 600)
            seconds = setting.defaultNumber;
    }
    if (m_generalHttpAddr.empty())
        m_generalHttpAddr = DefaultHttpAddress();
    if (m_generalHttpsAddr.empty())
        m_generalHttpsAddr = DefaultHttpsAddress();
}

std::string CServerConfig::DefaultHttpAddress() const
{
    return BuildBaseAddress("http", m_generalTcpipAddress, m_generalTcpipPort, "80");
}

std::string CServerConfig::DefaultHttpsAddress() const
{
    return BuildBaseAddress("https", m_generalTcpipAddress, m_generalSslPort, "443");
}

bool CServerConfig::EnsureFileIdSecret()
{
    if (!m_fileIdSecret.empty())
        return true;
    if (!m_registryKey.Open()) {
        LogStoreFailure();
        m_fileIdSecret = MakeFileIdSecret();
        return false;
    }
    // Another program of the installation may have made one since this one loaded the store: that
    // one wins, so that both accept each other's links.
    std::string stored;
    bool result = true;
    if (m_registryKey.ReadString(kFileIdSecretName, stored) && !stored.empty()) {
        m_fileIdSecret = std::move(stored);
    } else {
        m_fileIdSecret = MakeFileIdSecret();
        result = m_registryKey.WriteString(kFileIdSecretName, m_fileIdSecret);
        if (!result)
            LogStoreFailure();
    }
    m_registryKey.Close();
    return result;
}

// The listening address (corrected when missing or when asked to), its network-order form and the
// domain name, which defaults to the address.
void CServerConfig::LoadAddresses()
{
    const bool autoCorrect = ReadFlag(SettingName(SettingId::kAutoCorrectIp), 0) != 0;
    if (!IsStored(SettingId::kGeneralTcpipAddress) || autoCorrect)
        CorrectLocalAddress(m_generalTcpipAddress);
    m_tcpipAddress = NetworkOrderAddress(m_generalTcpipAddress);
    if (!IsStored(SettingId::kFqdn))
        m_fqdn = m_generalTcpipAddress;
}

// Pairs "Mime001FileExtension"/"Mime001ContentType" up to MimeCount; incomplete pairs are skipped
// and a later pair replaces an earlier one of the same extension. No pairs: the default table.
void CServerConfig::LoadMimeMap()
{
    m_mimeMap.clear();
    m_mimeOrder.clear();
    auto add = [this](const std::string& extension, const std::string& type) {
        if (m_mimeMap.insert_or_assign(extension, type).second)
            m_mimeOrder.push_back(extension);
    };
    int count = ReadInt(kMimeCountName, 0);
    if (count <= 0) {
        for (const MimePair& pair : kDefaultMimeTypes)
            add(pair.extension, pair.contentType);
        return;
    }
    for (int i = 1; i <= count && i <= kMaxSettingsListEntries; ++i) {
        std::string extension = ReadText(MimeExtensionName(i).c_str(), "");
        std::string type = Trim(ReadText(MimeContentTypeName(i).c_str(), ""));
        if (!Trim(extension).empty() && !type.empty())
            add(MimeMapKey(extension), type);
    }
}

std::string CServerConfig::MimeMapKey(const std::string& storedExtension) const
{
    return LowerAscii(Trim(storedExtension));
}

bool CServerConfig::CorrectLocalAddress(std::string& address)
{
    std::vector<std::string> local;
    if (!ListLocalAddresses(local)) {
        TheLog().WriteLine("Failed to list the network addresses of this host");
        return false;
    }
    for (const std::string& candidate : local)
        if (candidate == address)
            return false;
    address = local.front();
    return true;
}

std::string CServerConfig::GetDefaultCharset()
{
    locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (!user)
        user = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    if (!user)
        return {};
    std::string codeset = NormalizeCodeset(nl_langinfo_l(CODESET, user));
    freelocale(user);
    for (const CharsetRow& row : kCharsets)
        for (const char* name : row.codesets)
            if (name && codeset == name)
                return row.charset;
    return {};
}

CTaskEntry* CServerConfig::GetTask(std::size_t index) const
{
    return index < m_tasks.size() ? m_tasks[index].get() : nullptr;
}

CTaskEntry& CServerConfig::AddTask()
{
    m_tasks.push_back(std::make_unique<CTaskEntry>(m_taskLock));
    return *m_tasks.back();
}

void CServerConfig::ClearTasks()
{
    m_tasks.clear();
}

namespace {

struct DefaultTask
{
    const char* name;
    const char* script;  // below the installation folder; nullptr for the Email Sender
    int kind;
    int minutes;
};

const DefaultTask kDefaultTasks[] = {
    {"Email Sender", nullptr, kTaskEveryMinutes, 10},
    {"Email Importer", "/webroot/script/importer.tws", kTaskEveryMinutes, 30},
    {"Deadline Reminder", "/webroot/script/dueRem.tws", kTaskEveryMinutes, 60},
    {"Issue Escalator", "/webroot/script/escalator.tws", kTaskEveryMinutes, 60},
    {"System", "/webroot/script/system.tws", kTaskDaily, 60},
    {"Todo Reminder", "/webroot/script/todoRem.tws", kTaskSunday + 1, 360},  // Mondays
};

constexpr int kDefaultTaskCount = sizeof kDefaultTasks / sizeof kDefaultTasks[0];

}  // namespace

bool CServerConfig::LoadTasks()
{
    ClearTasks();
    const bool readable = m_registryKey.Open();
    std::string countText;
    m_registryKey.ReadString(kTaskCountName, countText);
    int count = ParseInt32(countText);
    std::time_t now = std::time(nullptr);
    for (int i = 1; i <= count && i <= kMaxSettingsListEntries; ++i) {
        std::string name;
        if (!m_registryKey.ReadString(TaskValueName(i, "Name"), name))
            continue;
        CTaskEntry& task = AddTask();
        task.SetName(std::move(name));
        task.SetEnabled(ReadText(TaskValueName(i, "Enabled").c_str(), "") == "yes");
        task.SetScript(ReadText(TaskValueName(i, "Script").c_str(), "none"));
        std::string interval = ReadText(TaskValueName(i, "Interval").c_str(), "");
        task.SetKind(ParseScheduleKind(interval));
        int minutes =
            task.GetKind() == kTaskEveryMinutes ? ParseInt32(interval) : ReadInt(TaskValueName(i, "At").c_str(), 360);
        task.SetIntervalSeconds(std::int64_t{minutes} * 60);
        task.ComputeNextRun(now);
    }
    // Scripts and the console address tasks by number, so a list without the default tasks is
    // reset. An unreadable store is left alone: writing defaults would destroy the real list.
    if (count < kDefaultTaskCount) {
        SetDefaultTasks();
        if (readable) {
            if (!countText.empty())
                TheLog().WriteLine("Default scripts missing. List of scripts has been reset.");
            // SaveTasks logs a failure; the reset list serves from memory all the same.
            static_cast<void>(SaveTasks());
        }
    }
    return readable;
}

bool CServerConfig::SaveTasks()
{
    CRegistryBatch batch(m_registryKey);
    batch.Write(kTaskCountName, std::to_string(m_tasks.size()));
    for (std::size_t i = 0; i < m_tasks.size(); ++i) {
        const CTaskEntry& task = *m_tasks[i];
        std::size_t number = i + 1;
        int kind = task.GetKind();
        std::string minutes = std::to_string(task.GetIntervalSeconds() / 60);
        batch.Write(TaskValueName(number, "Name"), task.GetName());
        batch.Write(TaskValueName(number, "Enabled"), task.IsEnabled() ? "yes" : "no");
        batch.Write(TaskValueName(number, "Script"), task.GetScript());
        batch.Write(TaskValueName(number, "Interval"), kind == kTaskEveryMinutes ? minutes : GetDayText(kind));
        batch.Write(TaskValueName(number, "At"), kind == kTaskEveryMinutes ? "" : minutes);
    }
    const bool written = batch.Commit();
    if (!written)
        LogStoreFailure();
    return written;
}

bool CServerConfig::SaveTaskScripts()
{
    bool written;
    {
        CRegistryBatch batch(m_registryKey);
        for (std::size_t i = 0; i < m_tasks.size(); ++i)
            batch.Write(TaskValueName(i + 1, "Script"), m_tasks[i]->GetScript());
        written = batch.Commit();
    }
    if (!written)
        LogStoreFailure();
    m_registryKey.Close();
    return written;
}

void CServerConfig::SetDefaultTasks()
{
    ClearTasks();
    std::time_t now = std::time(nullptr);
    for (const DefaultTask& preset : kDefaultTasks) {
        CTaskEntry& task = AddTask();
        task.SetName(preset.name);
        task.SetScript(preset.script ? m_installDir + preset.script : "none");
        task.SetKind(preset.kind);
        task.SetIntervalSeconds(std::int64_t{preset.minutes} * 60);
        task.ComputeNextRun(now);
    }
}

std::string CServerConfig::FormatTaskInterval(const CTaskEntry& task)
{
    const int kind = task.GetKind();
    const std::int64_t minutes = task.GetIntervalSeconds() / 60;
    if (kind < kTaskDaily || kind > kTaskSaturday)
        return std::to_string(minutes) + " minute(s)";
    // The time of day in the locale's clock form: any day serves, the date is not shown.
    const std::int64_t at =
        MakeLocalTime(2001, 1, 1, static_cast<int>(minutes / 60), static_cast<int>(minutes % 60), 0);
    return GetDayText(kind) + " at " + CSspDateTime(at).GetTimeStr();
}

std::string CServerConfig::FormatTaskLines(bool backgroundRuns)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    std::string lines;
    for (std::size_t i = 0; i < m_tasks.size(); ++i) {
        const CTaskEntry& task = *m_tasks[i];
        const std::string name = task.GetName();
        std::string description;
        if (IsEmailSenderTask(i))
            description = m_emSmtpServer.empty() ? "Outgoing email server not set yet"
                                                 : "Send via " + m_emSmtpServer + " every " + FormatTaskInterval(task);
        else
            description = "Run " + task.GetScript() + " every " + FormatTaskInterval(task);
        std::string status = !task.IsEnabled() ? "Disabled"
                             : backgroundRuns  ? CSspDateTime(task.GetNextRun()).GetDateTimeStr2()
                                               : "Stopped";
        lines += std::to_string(i + 2) + "*" + name + "*" + description + "*" + status + "\r\n";
    }
    return lines;
}
