// Shared pieces of the console tests: a temporary installation with the real twServer beside a
// fake systemctl, and running the real twConsole program in it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/server/server_process.h"
#include "tests/support/run_program.h"

// A stand-in for systemctl that keeps the state of one unit in files of its folder and records
// every call, one line each, in "calls". The unit exists while its file lies in the unit folder
// (TW_SYSTEMD_UNIT_DIR); "start-fails" makes starts fail, "stays-active" makes stops hang, and
// "starting" answers the next query with "activating" once.
class CFakeSystemctl
{
public:
    explicit CFakeSystemctl(const std::string& folder) : m_folder(folder)
    {
        mkdir((m_folder + "/units").c_str(), 0755);
        std::ofstream(Program()) << R"SCRIPT(#!/bin/bash
state="$FAKE_SYSTEMCTL_STATE"
echo "$*" >> "$state/calls"
args=()
for a in "$@"; do case "$a" in --no-block) ;; *) args+=("$a");; esac; done
unit="${args[-1]}"
case "${args[0]}" in
show)
  if [ -e "$TW_SYSTEMD_UNIT_DIR/$unit" ]; then echo "LoadState=loaded"; else echo "LoadState=not-found"; fi
  active=$(cat "$state/active" 2>/dev/null || echo inactive)
  if [ -e "$state/starting" ]; then rm -f "$state/starting"; active=activating; fi
  echo "ActiveState=$active"
  echo "UnitFileState=$(cat "$state/enabled" 2>/dev/null || echo disabled)"
  echo "FragmentPath=$TW_SYSTEMD_UNIT_DIR/$unit";;
start)
  if [ -e "$state/start-fails" ]; then echo "Job for $unit failed." >&2; exit 1; fi
  echo active > "$state/active";;
stop)
  if [ ! -e "$state/stays-active" ]; then echo inactive > "$state/active"; fi;;
enable) echo enabled > "$state/enabled";;
disable) echo disabled > "$state/enabled";;
daemon-reload) ;;
*) echo "unknown command ${args[0]}" >&2; exit 1;;
esac
)SCRIPT";
        chmod(Program().c_str(), 0755);
        setenv("TW_SYSTEMCTL", Program().c_str(), 1);
        setenv("TW_SYSTEMD_UNIT_DIR", UnitFolder().c_str(), 1);
        setenv("FAKE_SYSTEMCTL_STATE", m_folder.c_str(), 1);
    }

    std::string Program() const { return m_folder + "/systemctl"; }
    std::string UnitFolder() const { return m_folder + "/units"; }
    std::string UnitPath() const { return UnitFolder() + "/TarnwickServer3.service"; }
    std::string Calls() const { return ReadWholeFile(m_folder + "/calls"); }
    void Set(const std::string& file, const std::string& text = "") const
    {
        std::ofstream(m_folder + "/" + file) << text;
    }
    // The installed service, as the console would have written it.
    void InstallUnit(const std::string& text = "[Unit]\nDescription=TarnwickServer3\n") const
    {
        std::ofstream(UnitPath()) << text;
    }

private:
    std::string m_folder;
};

// A listening socket on 127.0.0.1:port (0: a free port), closed with the object. Port() is 0 when
// the port could not be bound.
class CListeningPort
{
public:
    explicit CListeningPort(int port = 0)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        socklen_t length = sizeof where;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(m_fd, 16) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&where), &length) == 0)
            m_port = ntohs(where.sin_port);
    }
    ~CListeningPort() { close(m_fd); }
    CListeningPort(const CListeningPort&) = delete;
    CListeningPort& operator=(const CListeningPort&) = delete;
    int Port() const { return m_port; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A host-name lookup whose name service never answers: it asks the peer on 127.0.0.1:`port` (a
// SilentServer) and waits until that peer hangs up; then it has found no name.
inline std::function<std::string(const std::string&)> SilentHostNameLookup(int port)
{
    return [port](const std::string&) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
            char answer;
            while (recv(fd, &answer, 1, 0) > 0) {
            }
        }
        close(fd);
        return std::string();
    };
}

inline std::string ConsoleProgramPath()
{
    return std::string(std::getenv("TW_BINARY_DIR")) + "/bin/twConsole";
}

// Runs twConsole with `arguments` in the installation of TW_INSTALL_DIR; its exit code.
inline int RunConsole(const std::vector<std::string>& arguments, const std::string& outputPath = "")
{
    std::vector<std::string> command{ConsoleProgramPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command, outputPath, 60);
}
