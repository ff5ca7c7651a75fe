// A real SMTP server for a test: tests/mail/smtp_peer.py (aiosmtpd) on a loopback port, started
// with the system's python3 and killed when the object goes. What it received is read back from
// its output folder.
#pragma once

#include "tests/support/temp_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class SmtpPeer
{
public:
    // `options`: the peer's switches (see smtp_peer.py), e.g. {"--auth", "u:p"}.
    explicit SmtpPeer(const std::vector<std::string>& options = {})
    {
        const char* source = std::getenv("TW_SOURCE_DIR");
        std::vector<std::string> arguments{"/usr/bin/python3",
                                           std::string(source ? source : ".") + "/tests/mail/smtp_peer.py", "--out",
                                           m_folder.Path()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const std::string portFile = m_folder.Path() + "/port";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, portFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int error = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start the SMTP peer");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (m_port == 0 && std::chrono::steady_clock::now() < deadline) {
            std::ifstream(portFile) >> m_port;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (m_port == 0) {
            Stop();
            throw std::runtime_error("the SMTP peer did not start");
        }
    }
    ~SmtpPeer() { Stop(); }
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;

    int Port() const { return m_port; }

    struct Message
    {
        std::string from;
        std::string to;    // the recipients, joined with blanks
        std::string user;  // "-" without authentication
        std::string data;  // as it arrived, dots unstuffed
    };
    // The accepted messages in arrival order.
    std::vector<Message> Messages() const
    {
        std::vector<Message> messages;
        for (int n = 1;; ++n) {
            std::ifstream in(m_folder.Path() + "/message-" + std::to_string(n) + ".txt", std::ios::binary);
            if (!in)
                return messages;
            Message message;
            std::string line;
            std::getline(in, line);
            message.from = line.substr(5);
            std::getline(in, line);
            message.to = line.substr(3);
            std::getline(in, line);
            message.user = line.substr(5);
            std::getline(in, line);
            std::ostringstream data;
            data << in.rdbuf();
            message.data = data.str();
            messages.push_back(std::move(message));
        }
    }
    // The commands the server saw that the tests look for (EHLO, HELO, AUTH ..., RSET, QUIT).
    std::vector<std::string> Commands() const { return Lines("commands.txt"); }

private:
    std::vector<std::string> Lines(const std::string& name) const
    {
        std::vector<std::string> lines;
        std::ifstream in(m_folder.Path() + "/" + name);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    void Stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }

    TempFolder m_folder{"tw-smtp"};
    pid_t m_pid = 0;
    int m_port = 0;
};
