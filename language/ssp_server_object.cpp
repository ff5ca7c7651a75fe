// The Server object of the application state: logging, dates in the user's locale, the settings and
// task table of the configuration, server variables, data sources and a few file and mail helpers.
// Member names are compared without regard to case, in a fixed order, so a server variable cannot
// hide a member of the same name.
#include "language/ssp_app.h"

#include "database/data_source.h"
#include "foundation/ascii_text.h"
#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "foundation/task_entry.h"
#include "platform/file_system.h"

#include <ctime>
#include <filesystem>
#include <new>
#include <system_error>

namespace {

constexpr int kMsgServerVariableNotDefined = 78;  // "Server variable not defined. ..."
constexpr int kMsgDefaultTasksMissing = 26;       // "Default tasks missing. Please shutdown and restart server. "

// Tasks by their numbers in the Server members: task 1 is the Email Sender (kEmailSenderTaskIndex),
// tasks 2 to 5 are the scripts after it.
constexpr size_t kScriptTaskCount = 5;

struct SettingMember
{
    const char* name;
    std::string CServerConfig::*setting;
};

constexpr SettingMember kSettingMembers[] = {
    {"OrgName", &CServerConfig::m_generalOrganizationName},
    {"AdminEmail", &CServerConfig::m_emAdminEmail},
    {"DispatcherEmail", &CServerConfig::m_emDispatcherEmail},
    {"SmtpHost", &CServerConfig::m_emSmtpServer},
    {"SmtpPort", &CServerConfig::m_emSmtpPort},
    {"Pop3Host", &CServerConfig::m_emPop3Server},
    {"Pop3Port", &CServerConfig::m_emPop3Port},
    {"ImporterUsername", &CServerConfig::m_emImporterUserName},
    {"ImporterPassword", &CServerConfig::m_emImporterPassword},
    {"ImporterEmail", &CServerConfig::m_emImporterEmail},
    {"HttpAddress", &CServerConfig::m_generalHttpAddr},
    {"HttpsAddress", &CServerConfig::m_generalHttpsAddr},
};

// The task-script members, each naming the table index of its task.
struct TaskMember
{
    const char* name;
    size_t index;
    bool script;  // else the task's name
};

constexpr TaskMember kTaskMembers[] = {
    {"ImporterScript", 1, true}, {"Task3Name", 2, false}, {"Task3Script", 2, true}, {"Task4Name", 3, false},
    {"Task4Script", 3, true},    {"Task5Name", 4, false}, {"Task5Script", 4, true},
};

void RequireParams(const CSspCall& call, int count)
{
    if (call.ParamCount() < count)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
}

// The local path of a script's web-root path. ".." parts cannot climb out of the web root.
std::string WebrootPath(const std::string& relative)
{
    std::string path = CanonicalizeRelativePath(relative);
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    if (path.empty() || path.front() != '/')
        path.insert(path.begin(), '/');
    return GetProgramDirectory() + "/webroot" + path;
}

}  // namespace

void CSspApp::ServerCall(CSspCall& call, CSspValue& result)
{
    // The list lock is taken only around the server variables: never through a copy, a mail, a
    // settings write or the log, which would stall the session look-ups of every other page. The
    // settings are read-only while the server runs, and each task entry guards its own fields.
    const std::string& member = call.m_member;
    auto is = [&member](std::string_view name) { return EqualsNoCase(member, name); };
    std::time_t now = std::time(nullptr);

    if (is("Log") || is("LogStr")) {
        RequireParams(call, 1);
        TheLog().WriteText(call.GetParamStr(0), is("Log"));
        result.SetInteger(1);
    } else if (is("DateTime")) {
        result.SetTime(now, CSspValue::kDate);
    } else if (is("Date")) {
        result.SetString(CSspDateTime(now).GetDateStr());
    } else if (is("Time")) {
        result.SetString(CSspDateTime(now).GetTimeStr());
    } else if (is("DateFormat")) {
        result.SetString(CSspDateTime::GetLocaleDatePattern());
    } else if (is("DateTimeFormat")) {
        result.SetString(CSspDateTime::GetLocaleDateTimePattern());
    } else if (is("SendMail")) {
        result.SetInteger(SendMail(call) ? 1 : 0);
    } else if (is("UseDataSource")) {
        SetDataSourceForPath(UseDataSourceConnect(call), "/");
        result.SetString("1");
    } else if (CallSettingsMember(call, result) || CallTaskMember(call, result)) {
        return;
    } else if (is("AppInfo")) {
        result.SetString(AppInfo());
    } else if (is("DataSourceInfo")) {
        result.SetString(DataSourceInfo());
    } else if (is("odbcConnStr")) {
        result.SetString(m_config.m_dbOdbcConnectString);
    } else if (is("EngineVersion")) {
        result.SetString("3");
    } else if (is("DsIdleTimeout")) {
        result.SetInteger(m_config.m_dbConnectionIdleTimeout);
    } else if (is("SessionTimeout")) {
        result.SetInteger(m_config.m_sessionTimeout);
    } else if (is("SaveSettings")) {
        result.SetInteger(m_config.SaveTaskScripts() != 0 ? 1 : 0);
    } else if (is("CopyFile")) {
        result.SetInteger(CopyFile(call) ? 1 : 0);
    } else if (is("SetVar")) {
        if (call.ParamCount() != 2)
            RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
        SetServerVar(call.GetParamStr(0), call.m_args[1], call.m_position);
    } else if (is("VarExist")) {
        RequireParams(call, 1);
        std::lock_guard guard(ListLock());
        result.SetInteger(m_serverVariables.Find(call.GetParamStr(0)) != nullptr ? 1 : 0);
    } else if (is("Var")) {
        std::lock_guard guard(ListLock());
        m_serverVariables.ReadVar(call, kMsgServerVariableNotDefined, result);
    } else {
        std::lock_guard guard(ListLock());
        m_serverVariables.ReadNamed(call, kMsgServerVariableNotDefined, result);
    }
}

bool CSspApp::CallSettingsMember(const CSspCall& call, CSspValue& result) const
{
    for (const SettingMember& member : kSettingMembers) {
        if (EqualsNoCase(call.m_member, member.name)) {
            result.SetString(m_config.*member.setting);
            return true;
        }
    }
    return false;
}

void CSspApp::RequireTasks(size_t count, int position) const
{
    if (m_config.GetTaskCount() < count)
        RaiseCatalogText(kMsgDefaultTasksMissing, position);
}

bool CSspApp::CallTaskMember(const CSspCall& call, CSspValue& result) const
{
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "EmailSenderEnabled") || EqualsNoCase(member, "EmailSenderInterval")) {
        RequireTasks(kEmailSenderTaskIndex + 1, call.m_position);
        const CTaskEntry& sender = *m_config.GetTask(kEmailSenderTaskIndex);
        if (EqualsNoCase(member, "EmailSenderEnabled"))
            result.SetInteger(sender.IsEnabled() ? 1 : 0);
        else
            result.SetInteger(static_cast<int>(sender.GetIntervalSeconds() / 60));
        return true;
    }
    if (EqualsNoCase(member, "TaskEnabled")) {
        RequireParams(call, 1);
        std::string name = call.GetParamStr(0);
        int enabled = 0;
        for (size_t i = 0; i < m_config.GetTaskCount() && enabled == 0; ++i) {
            const CTaskEntry& task = *m_config.GetTask(i);
            if (EqualsNoCase(task.GetName(), name) && task.IsEnabled())
                enabled = 1;
        }
        result.SetInteger(enabled);
        return true;
    }
    for (const TaskMember& task : kTaskMembers) {
        if (EqualsNoCase(member, task.name)) {
            RequireTasks(kScriptTaskCount, call.m_position);
            const CTaskEntry& entry = *m_config.GetTask(task.index);
            result.SetString(task.script ? entry.GetScript() : entry.GetName());
            return true;
        }
    }
    return false;
}

void CSspApp::SetServerVar(const std::string& name, const CSspValue& value, int position)
{
    for (const TaskMember& task : kTaskMembers) {
        if (task.script && EqualsNoCase(name, task.name)) {
            RequireTasks(kScriptTaskCount, position);
            // Only the running configuration changes; Server.SaveSettings writes it back.
            m_config.GetTask(task.index)->SetScript(value.ToString());
            return;
        }
    }
    std::lock_guard guard(ListLock());
    try {
        m_serverVariables.Set(name, value);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemoryServerVariable, position);
    }
}

bool CSspApp::CopyFile(const CSspCall& call)
{
    RequireParams(call, 2);
    std::error_code error;
    bool copied = std::filesystem::copy_file(WebrootPath(call.GetParamStr(0)), WebrootPath(call.GetParamStr(1)),
                                             std::filesystem::copy_options::overwrite_existing, error);
    return copied && !error;
}

bool CSspApp::SendMail(const CSspCall& call)
{
    if (m_config.m_emSmtpServer.empty()) {
        TheLog().WriteLine("Please specify SMTP host for notifier to work.");
        return false;
    }
    if (m_config.m_emAdminEmail.empty()) {
        TheLog().WriteLine("Please set administrator email addresses.");
        return false;
    }
    RequireParams(call, 3);
    if (!m_mailQueue)
        throw CSspException("Server.SendMail is not available: the program that runs this script has no mail outbox.",
                            call.m_position);
    return m_mailQueue(call.GetParamStr(0), call.GetParamStr(1), call.GetParamStr(2));
}
