// The real twServer program for end-to-end tests: a temporary installation folder with the
// repository's sample site and table-creation scripts, settings written by the test, and the
// program started in it (TW_INSTALL_DIR) as its own process.
#pragma once

#include "platform/directory_listing.h"
#include "platform/named_objects.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/network/test_certificates.h"
#include "tests/support/temp_folder.h"

extern char** environ;

class CServerInstall
{
public:
    CServerInstall()
    {
        namespace fs = std::filesystem;
        const std::string source = std::getenv("TW_SOURCE_DIR");
        for (const char* folder : {"bin", "webroot", "data", "tmp", "etc", "certs", "mail"})
            fs::create_directories(Path() + "/" + folder);
        fs::copy(source + "/webroot", Path() + "/webroot", fs::copy_options::recursive);
        for (const char* script : {"tw3sqlite.sql", "tw3pgsql.sql"})
            fs::copy_file(source + "/data/" + script, Path() + "/data/" + script);
    }

    const std::string& Path() const { return m_folder.Path(); }
    // Settings lines "Name=Value" after the ones every test needs: loopback, a free port, and the
    // embedded default database.
    void WriteSettings(const std::string& lines) const
    {
        std::ofstream(Path() + "/etc/settings.conf") << "GeneralTcpipAddress=127.0.0.1\nGeneralTcpipPort=0\n"
                                                        "DbOdbcConnectString=ODBC;DSN=tw3\n"
                                                     << lines;
    }
    void WriteFile(const std::string& relative, const std::string& text) const
    {
        std::filesystem::create_directories(std::filesystem::path(Path() + "/" + relative).parent_path());
        std::ofstream(Path() + "/" + relative, std::ios::binary) << text;
    }
    // Today's day log file (where the log was written during the test).
    std::string LogText() const
    {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(Path() + "/webroot/log"))
            text += ReadWholeFile(entry.path().string());
        return text;
    }
    std::string StopEventPath() const { return Path() + "/tmp/twServer3stopEvent.sock"; }

private:
    TempFolder m_folder{"tw-server"};
};

class CServerProcess
{
public:
    CServerProcess() = default;
    ~CServerProcess()
    {
        if (m_pid > 0 && !m_ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    static std::string ProgramPath() { return std::string(std::getenv("TW_BINARY_DIR")) + "/bin/twServer"; }

    // Starts `command` (the program's arguments after its path; with `prefix` in front, such as
    // "ip netns exec <ns>") in `install`. `environment` adds NAME=VALUE entries; NOTIFY_SOCKET is
    // passed only when given there. `blocked` signals start out blocked in the new process.
    bool Start(const CServerInstall& install, const std::vector<std::string>& command,
               const std::vector<std::string>& environment = {}, const std::vector<std::string>& prefix = {},
               const std::vector<int>& blocked = {})
    {
        std::vector<std::string> arguments = prefix;
        arguments.push_back(ProgramPath());
        arguments.insert(arguments.end(), command.begin(), command.end());
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("NOTIFY_SOCKET=", 0) != 0 && text.rfind("TW_INSTALL_DIR=", 0) != 0)
                variables.push_back(text);
        }
        variables.push_back("TW_INSTALL_DIR=" + install.Path());
        variables.insert(variables.end(), environment.begin(), environment.end());

        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);

        m_outputPath = install.Path() + "/output.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, m_outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t mask;
        sigemptyset(&mask);
        for (int signal : blocked)
            sigaddset(&mask, signal);
        posix_spawnattr_setsigmask(&attributes, &mask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        const int error = posix_spawnp(&m_pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        m_ended = false;
        return error == 0;
    }

    pid_t Pid() const { return m_pid; }
    bool Signal(int signal) const { return kill(m_pid, signal) == 0; }

    // The exit status, or -1 when the process outlived `limit` or was killed by a signal.
    int WaitForExit(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        if (m_ended)
            return m_status;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_ended = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_status;
    }
    // What the program wrote to its standard output and error.
    std::string Output() const { return ReadWholeFile(m_outputPath); }

    // The TCP ports on which the process listens, from its descriptors and the kernel's socket
    // table: the tests let the server bind port 0 and read back what it got.
    std::set<int> ListeningPorts() const
    {
        std::set<std::string> inodes;
        const std::string fdFolder = "/proc/" + std::to_string(m_pid) + "/fd";
        CDirectoryListing folder(fdFolder);
        while (const char* entry = folder.NextName()) {
            char target[128];
            const ssize_t length = readlink((fdFolder + "/" + entry).c_str(), target, sizeof target - 1);
            if (length <= 0)
                continue;
            const std::string link(target, static_cast<size_t>(length));
            if (link.rfind("socket:[", 0) == 0)
                inodes.insert(link.substr(8, link.size() - 9));
        }
        std::set<int> ports;
        std::istringstream table(ReadWholeFile("/proc/" + std::to_string(m_pid) + "/net/tcp"));
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && inodes.count(inode) != 0)
                ports.insert(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
        }
        return ports;
    }

    // Waits until the process listens on `count` ports; returns them (empty after the limit).
    std::set<int> WaitForPorts(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::set<int> ports = ListeningPorts();
            if (ports.size() >= count)
                return ports;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    // The ports once the server runs as the console sees it: its listeners are bound and its stop
    // event exists (which it creates only after the services started). Empty if that never happens.
    std::set<int> WaitUntilRunning(const CServerInstall& install, std::size_t count,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::set<int> ports = WaitForPorts(count, limit);
        while (!ports.empty() && !CStopEvent::Exists(install.StopEventPath())) {
            if (std::chrono::steady_clock::now() >= deadline)
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ports;
    }

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = -1;
    std::string m_outputPath;
};
