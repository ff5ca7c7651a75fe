#include "console/service_control.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "console/process_runner.h"
#include "console/text_file.h"
#include "foundation/ascii_text.h"
#include "platform/file_system.h"

namespace {

constexpr int kStopPolls = 30;
std::chrono::milliseconds g_pollInterval{1000};

std::string UnitName(const std::string& name)
{
    return name + ".service";
}

// Only characters that a unit name or a user name may hold reach the unit file, so no value can
// add a line of its own to it.
bool IsUnitWord(const std::string& text)
{
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.' || c == '@' || c == ':' || c == '\\'))
            return false;
    return true;
}

std::string FindOnPath(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Calls `take(key, value)` for every "key=value" line, both trimmed.
template <typename Take>
void ForEachSetting(const std::string& text, Take take)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos)
            take(std::string(TrimWhiteAscii(std::string_view(line).substr(0, equals))),
                 std::string(TrimWhiteAscii(std::string_view(line).substr(equals + 1))));
    }
}

}  // namespace

std::string CServiceUnit::DependencyUnit(const std::string& dependency)
{
    return dependency.find('.') == std::string::npos ? dependency + ".service" : dependency;
}

std::string CServiceUnit::Format() const
{
    std::string unit = "# The Tarnwick Server service, installed by twConsole.\n[Unit]\nDescription=" + displayName +
                       "\nAfter=network-online.target\nWants=network-online.target\n";
    if (!dependency.empty()) {
        const std::string required = DependencyUnit(dependency);
        unit += "Requires=" + required + "\nAfter=" + required + "\n";
    }
    if (refuseStart)
        unit += "RefuseManualStart=yes\n";
    const bool quote = executable.find(' ') != std::string::npos;
    unit += "\n[Service]\nType=notify\nExecStart=" + (quote ? "\"" + executable + "\"" : executable) + "\n";
    if (!account.empty())
        unit += "User=" + account + "\n";
    // SIGTERM sets the server's stop event; its own waits end within 90 seconds.
    unit += "KillSignal=SIGTERM\nTimeoutStartSec=30\nTimeoutStopSec=90\n\n[Install]\nWantedBy=multi-user.target\n";
    return unit;
}

CServiceUnit CServiceUnit::Parse(const std::string& text)
{
    CServiceUnit unit;
    ForEachSetting(text, [&unit](const std::string& key, std::string value) {
        if (key == "Description") {
            unit.displayName = value;
        } else if (key == "ExecStart") {
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            unit.executable = value;
        } else if (key == "User") {
            unit.account = value;
        } else if (key == "Requires") {
            const std::string suffix = ".service";
            if (value.size() > suffix.size() && value.compare(value.size() - suffix.size(), suffix.size(), suffix) == 0)
                value.resize(value.size() - suffix.size());
            unit.dependency = value;
        } else if (key == "RefuseManualStart") {
            unit.refuseStart = value == "yes" || value == "true" || value == "1";
        }
    });
    return unit;
}

CServiceControl::CServiceControl()
{
    const char* configured = std::getenv("TW_SYSTEMCTL");
    m_program = FindOnPath(configured && *configured ? configured : "systemctl");
    if (m_program.empty())
        RecordError("The service manager (systemctl) is not installed.", ENOENT);
}

void CServiceControl::SetPollInterval(std::chrono::milliseconds interval)
{
    g_pollInterval = interval;
}

std::string CServiceControl::UnitFolder()
{
    const char* configured = std::getenv("TW_SYSTEMD_UNIT_DIR");
    return configured && *configured ? configured : "/etc/systemd/system";
}

void CServiceControl::ClearError()
{
    m_errorText.clear();
    m_errorCode = 0;
}

void CServiceControl::RecordError(std::string text, int code)
{
    m_errorText = std::move(text);
    m_errorCode = code;
}

void CServiceControl::RecordErrno(int code)
{
    RecordError(GetSystemErrorText(code), code);
}

bool CServiceControl::RunSystemctl(const std::vector<std::string>& arguments, std::string* output)
{
    std::vector<std::string> command{m_program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const CProgramResult result = RunProgramAndWait(command);
    if (output)
        *output = result.output;
    if (result.exitCode == 0)
        return true;
    if (result.exitCode < 0) {
        RecordErrno(result.error);
        return false;
    }
    std::string text(TrimWhiteAscii(result.errors));
    if (text.empty())
        text = "systemctl " + arguments.front() + " ended with status " + std::to_string(result.exitCode) + ".";
    RecordError(text, result.exitCode);
    return false;
}

bool CServiceControl::Show(const std::string& name, CUnitStatus& status)
{
    std::string output;
    if (!RunSystemctl({"show", "--property=LoadState,ActiveState,UnitFileState,FragmentPath", UnitName(name)}, &output))
        return false;
    ForEachSetting(output, [&status](const std::string& key, const std::string& value) {
        if (key == "LoadState")
            status.loadState = value;
        else if (key == "ActiveState")
            status.activeState = value;
        else if (key == "UnitFileState")
            status.unitFileState = value;
        else if (key == "FragmentPath")
            status.fragmentPath = value;
    });
    return true;
}

bool CServiceControl::OpenService(const std::string& name, CUnitStatus& status)
{
    if (!IsOpen())
        return false;
    ClearError();
    if (!Show(name, status))
        return false;
    if (status.loadState == "loaded")
        return true;
    RecordError("The service " + name + " does not exist.", ENOENT);
    return false;
}

bool CServiceControl::Exists(const std::string& name)
{
    CUnitStatus status;
    return OpenService(name, status);
}

bool CServiceControl::QueryState(const std::string& name, State& state)
{
    CUnitStatus status;
    if (!Show(name, status))
        return false;
    const std::string& active = status.activeState;
    if (active == "active" || active == "reloading")
        state = State::kRunning;
    else if (active == "activating")
        state = State::kStartPending;
    else if (active == "deactivating")
        state = State::kStopPending;
    else if (active == "inactive" || active == "failed")
        state = State::kStopped;
    else
        state = State::kUnknown;
    return true;
}

bool CServiceControl::IsRunning(const std::string& name)
{
    CUnitStatus status;
    if (!OpenService(name, status))
        return false;
    State state = State::kUnknown;
    return QueryState(name, state) && state == State::kRunning;
}

bool CServiceControl::StartAndWait(const std::string& name)
{
    ClearError();
    if (!RunSystemctl({"start", "--no-block", UnitName(name)}))
        return false;
    // The service manager's own start time-out ends a start that hangs.
    State state = State::kUnknown;
    do {
        std::this_thread::sleep_for(g_pollInterval);
    } while (QueryState(name, state) && state == State::kStartPending);
    return state == State::kRunning;
}

bool CServiceControl::StopAndWait(const std::string& name)
{
    ClearError();
    State state = State::kUnknown;
    if (QueryState(name, state) && state == State::kStopped)
        return true;
    if (!RunSystemctl({"stop", "--no-block", UnitName(name)}))
        return false;
    for (int poll = 0; poll < kStopPolls; ++poll) {
        if (!QueryState(name, state))
            break;
        if (state == State::kStopped)
            return true;
        std::this_thread::sleep_for(g_pollInterval);
    }
    RecordError("Failed to wait for the service to stop.", ETIMEDOUT);
    return false;
}

bool CServiceControl::Remove(const std::string& name)
{
    if (!StopAndWait(name))
        return false;
    ClearError();
    if (!RunSystemctl({"disable", UnitName(name)}))
        return false;
    const std::string path = UnitFolder() + "/" + UnitName(name);
    if (unlink(path.c_str()) != 0) {
        RecordErrno(errno);
        return false;
    }
    return RunSystemctl({"daemon-reload"});
}

bool CServiceControl::StartByName(const std::string& name)
{
    CUnitStatus status;
    return OpenService(name, status) && StartAndWait(name);
}

bool CServiceControl::StopByName(const std::string& name)
{
    CUnitStatus status;
    return OpenService(name, status) && StopAndWait(name);
}

bool CServiceControl::RemoveByName(const std::string& name)
{
    CUnitStatus status;
    return OpenService(name, status) && Remove(name);
}

bool CServiceControl::ReadUnit(const std::string& name, CUnitStatus& status, CServiceUnit& unit)
{
    if (!OpenService(name, status))
        return false;
    std::string text;
    if (!ReadTextFile(status.fragmentPath, text)) {
        RecordErrno(errno);
        return false;
    }
    unit = CServiceUnit::Parse(text);
    return true;
}

bool CServiceControl::QueryConfig(const std::string& name, int& startType, std::string* dependency)
{
    CUnitStatus status;
    CServiceUnit unit;
    if (!ReadUnit(name, status, unit))
        return false;
    startType = status.unitFileState == "enabled" ? kAutoStart : unit.refuseStart ? kDisabled : kDemandStart;
    if (dependency)
        *dependency = unit.dependency;
    return true;
}

bool CServiceControl::ApplyEnabled(const std::string& name, int startType)
{
    return RunSystemctl({startType == kAutoStart ? "enable" : "disable", UnitName(name)});
}

bool CServiceControl::RewriteUnit(const std::string& name, int startType, const std::string* dependency)
{
    CUnitStatus status;
    CServiceUnit unit;
    if (!ReadUnit(name, status, unit))
        return false;
    unit.refuseStart = startType == kDisabled;
    if (dependency)
        unit.dependency = *dependency;
    if (!ReplaceTextFile(status.fragmentPath, unit.Format(), 0644)) {
        RecordErrno(errno);
        return false;
    }
    return RunSystemctl({"daemon-reload"});
}

bool CServiceControl::SetStartType(const std::string& name, int startType)
{
    return RewriteUnit(name, startType, nullptr) && ApplyEnabled(name, startType);
}

bool CServiceControl::SetDependency(const std::string& name, const std::string& dependency)
{
    ClearError();
    if (dependency.size() > kMaxDependencyLength) {
        RecordError("Service dependency can not longer than 50 charaters.", EINVAL);
        return false;
    }
    if (!IsUnitWord(dependency)) {
        RecordError("Service dependency can only hold letters, digits and - _ . @ :", EINVAL);
        return false;
    }
    int startType = kDemandStart;
    return QueryConfig(name, startType) && RewriteUnit(name, startType, &dependency);
}

bool CServiceControl::Install(const std::string& executablePath, const std::string& name,
                              const std::string& displayName, int startType, const std::string& dependency,
                              const std::string& account, const std::string&)
{
    if (!IsOpen())
        return false;
    ClearError();
    const bool oneLine = executablePath.find_first_of("\r\n\"") == std::string::npos &&
                         displayName.find_first_of("\r\n") == std::string::npos;
    if (!oneLine || !IsUnitWord(name) || !IsUnitWord(dependency) || !IsUnitWord(account)) {
        RecordError(
            "The service's program path, name, dependency or account holds characters that a unit file can't take.",
            EINVAL);
        return false;
    }
    CServiceUnit unit;
    unit.displayName = displayName;
    unit.executable = executablePath;
    unit.account = account;
    unit.dependency = dependency;
    unit.refuseStart = startType == kDisabled;
    const std::string path = UnitFolder() + "/" + UnitName(name);
    if (!ReplaceTextFile(path, unit.Format(), 0644, true)) {
        RecordErrno(errno);
        return false;
    }
    if (!RunSystemctl({"daemon-reload"}) || (startType == kAutoStart && !ApplyEnabled(name, startType))) {
        // A service that the manager does not know is no service: leave nothing half installed.
        unlink(path.c_str());
        return false;
    }
    return true;
}
