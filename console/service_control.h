// CServiceControl: twConsole's control of the server's system service. The service is a systemd
// unit "<name>.service" of Type=notify; it runs `systemctl` (or the program that
// TW_SYSTEMCTL names) with an argument vector for every query and command, and writes the unit
// file itself when it installs the service (into TW_SYSTEMD_UNIT_DIR, else /etc/systemd/system).
//
// Start types: automatic is an enabled unit, manual a unit that is not enabled, and disabled a
// unit that refuses to be started (RefuseManualStart=yes). A dependency is a unit that the
// service requires and starts after.
//
// Each operation empties the error text when it begins and fills it when a step fails.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct CServiceUnit;

class CServiceControl
{
public:
    enum StartType
    {
        kAutoStart = 0,
        kDemandStart = 1,
        kDisabled = 2
    };
    static constexpr std::size_t kMaxDependencyLength = 50;

    CServiceControl();

    // False when no systemctl program can be found; every operation then fails.
    bool IsOpen() const { return !m_program.empty(); }

    bool Exists(const std::string& name);
    // True when the unit is active.
    bool IsRunning(const std::string& name);
    // Starts the unit, then polls once a second while it is activating: true when it runs.
    [[nodiscard]] bool StartByName(const std::string& name);
    // True at once for a stopped unit; else stops it and polls up to 30 times a second.
    [[nodiscard]] bool StopByName(const std::string& name);
    // Stops the unit, disables it and removes its unit file.
    [[nodiscard]] bool RemoveByName(const std::string& name);
    // The start type and the dependency ("" for none) of an installed unit.
    [[nodiscard]] bool QueryConfig(const std::string& name, int& startType, std::string* dependency = nullptr);
    [[nodiscard]] bool SetStartType(const std::string& name, int startType);
    // One dependency, at most 50 characters; "" removes it.
    [[nodiscard]] bool SetDependency(const std::string& name, const std::string& dependency);
    // Writes the unit file (the program path in double quotes when it holds a blank; `account`
    // as the user it runs as, "" for root; a password has no meaning for a unit and is not
    // stored), reloads the manager and enables the unit for automatic start.
    [[nodiscard]] bool Install(const std::string& executablePath, const std::string& name,
                               const std::string& displayName, int startType, const std::string& dependency,
                               const std::string& account, const std::string& password);

    const std::string& GetErrorText() const { return m_errorText; }
    int GetErrorCode() const { return m_errorCode; }

    // The folder that unit files are installed to.
    static std::string UnitFolder();
    // The pause between two status queries while a start or stop is waited for (one second).
    static void SetPollInterval(std::chrono::milliseconds interval);

private:
    enum class State
    {
        kUnknown,
        kStopped,
        kStartPending,
        kStopPending,
        kRunning
    };
    struct CUnitStatus
    {
        std::string loadState, activeState, unitFileState, fragmentPath;
    };

    [[nodiscard]] bool Show(const std::string& name, CUnitStatus& status);
    [[nodiscard]] bool OpenService(const std::string& name, CUnitStatus& status);
    // The unit's status and the fields of its unit file.
    [[nodiscard]] bool ReadUnit(const std::string& name, CUnitStatus& status, CServiceUnit& unit);
    [[nodiscard]] bool QueryState(const std::string& name, State& state);
    [[nodiscard]] bool StartAndWait(const std::string& name);
    [[nodiscard]] bool StopAndWait(const std::string& name);
    [[nodiscard]] bool Remove(const std::string& name);
    // Runs systemctl with `arguments`; true on exit status 0, else the error is recorded.
    [[nodiscard]] bool RunSystemctl(const std::vector<std::string>& arguments, std::string* output = nullptr);
    [[nodiscard]] bool ApplyEnabled(const std::string& name, int startType);
    [[nodiscard]] bool RewriteUnit(const std::string& name, int startType, const std::string* dependency);
    void RecordErrno(int code);
    void RecordError(std::string text, int code);
    void ClearError();

    std::string m_program;
    std::string m_errorText;
    int m_errorCode = 0;
};

// The unit file that the console writes for the service, and the fields it reads back from one.
struct CServiceUnit
{
    std::string displayName;
    std::string executable;
    std::string account;
    std::string dependency;
    bool refuseStart = false;

    std::string Format() const;
    static CServiceUnit Parse(const std::string& text);
    // The unit a dependency names: ".service" is added to a name without a suffix.
    static std::string DependencyUnit(const std::string& dependency);
};
