// A real POP3 server for a test: dovecot, configured in the test's own temporary folder, listening
// on a free loopback port, stopped and removed when the object goes. Every user name logs in with
// kPassword and has its own maildir; messages reach it through dovecot's own delivery agent.
// Run as root, the mail processes run as the "dovecot" user; otherwise as the calling user.
#pragma once

#include "tests/support/background_program.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

class Pop3TestServer
{
public:
    static constexpr const char* kPassword = "secret";
    static constexpr const char* kDovecot = "/usr/sbin/dovecot";
    static constexpr const char* kDeliveryAgent = "/usr/lib/dovecot/dovecot-lda";

    Pop3TestServer() : m_folder("tw-pop3")
    {
        // Another program may take the free port between the probe and dovecot's bind: try again.
        for (int attempt = 0; attempt < 3 && m_port == 0; ++attempt)
            TryStart();
        if (m_port == 0)
            throw std::runtime_error("dovecot did not start; see " + m_folder.Path() + "/dovecot.log");
    }
    ~Pop3TestServer() { m_server.Stop(); }
    Pop3TestServer(const Pop3TestServer&) = delete;
    Pop3TestServer& operator=(const Pop3TestServer&) = delete;

    int Port() const { return m_port; }

    // Puts one message into the user's mailbox; false when the delivery agent refused it.
    bool Deliver(const std::string& user, const std::string& message)
    {
        const std::string input = m_folder.Path() + "/incoming.eml";
        std::ofstream(input, std::ios::binary) << message;
        return RunProgram({kDeliveryAgent, "-c", ConfigPath(), "-d", user}, m_folder.Path() + "/lda.log", 30, input) ==
               0;
    }

    // The messages the user's mailbox holds on the server.
    int CountMessages(const std::string& user) const
    {
        int count = 0;
        for (const char* sub : {"/new", "/cur"}) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(MailRoot() + "/" + user + sub, error)) {
                if (entry.is_regular_file())
                    ++count;
            }
        }
        return count;
    }

private:
    std::string ConfigPath() const { return m_folder.Path() + "/dovecot.conf"; }
    std::string MailRoot() const { return m_folder.Path() + "/mail"; }

    static int FreePort()
    {
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        close(probe);
        return port;
    }

    static bool Accepts(int port)
    {
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool accepted = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(probe);
        return accepted;
    }

    void WriteConfig(int port)
    {
        const std::string& dir = m_folder.Path();
        std::string internalUser, loginUser, mailUser, mailGroup;
        std::string chroot;  // an unprivileged server cannot shut its helpers in
        if (geteuid() == 0) {
            internalUser = mailUser = mailGroup = "dovecot";
            loginUser = "dovenull";
            // The unprivileged processes must reach the configuration and the maildirs.
            chmod(dir.c_str(), 0711);
            const passwd* owner = getpwnam("dovecot");
            std::filesystem::create_directories(MailRoot());
            if (owner == nullptr || chown(MailRoot().c_str(), owner->pw_uid, owner->pw_gid) != 0)
                throw std::runtime_error("no dovecot user to own the test maildirs");
        } else {
            const passwd* self = getpwuid(getuid());
            const group* selfGroup = getgrgid(getgid());
            if (self == nullptr || selfGroup == nullptr)
                throw std::runtime_error("the calling user has no name");
            internalUser = loginUser = mailUser = self->pw_name;
            chroot = "  chroot =\n";
            mailGroup = selfGroup->gr_name;
            std::filesystem::create_directories(MailRoot());
        }
        std::filesystem::create_directories(dir + "/run");
        std::filesystem::create_directories(dir + "/state");
        std::ofstream config(ConfigPath());
        config << "base_dir = " << dir << "/run\n"
               << "state_dir = " << dir << "/state\n"
               << "log_path = " << dir << "/dovecot.log\n"
               << "protocols = pop3\n"
               << "listen = 127.0.0.1\n"
               << "ssl = no\n"
               << "disable_plaintext_auth = no\n"
               << "auth_failure_delay = 0\n"
               << "default_internal_user = " << internalUser << "\n"
               << "default_internal_group = " << mailGroup << "\n"
               << "default_login_user = " << loginUser << "\n"
               << "first_valid_uid = 1\n"
               << "first_valid_gid = 1\n"
               << "mail_location = maildir:" << MailRoot() << "/%u\n"
               << "passdb {\n  driver = static\n  args = password=" << kPassword << "\n}\n"
               << "userdb {\n  driver = static\n  args = uid=" << mailUser << " gid=" << mailGroup
               << " home=" << MailRoot() << "/%u\n}\n"
               << "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port
               << "\n  }\n"
               << chroot << "}\n"
               << "service anvil {\n"
               << chroot << "}\n";
        config.close();
        chmod(ConfigPath().c_str(), 0644);
    }

    void TryStart()
    {
        const int port = FreePort();
        WriteConfig(port);
        // SIGTERM makes dovecot wait seconds for its helpers; after SIGKILL they see the master
        // gone and end at once, and the test's folder holds nothing worth an orderly stop.
        if (!m_server.Start({kDovecot, "-F", "-c", ConfigPath()}, m_folder.Path() + "/dovecot.out", SIGKILL))
            return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (m_server.IsRunning() && std::chrono::steady_clock::now() < deadline) {
            if (Accepts(port)) {
                m_port = port;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_server.Stop();
    }

    TempFolder m_folder;
    BackgroundProgram m_server;
    int m_port = 0;
};
