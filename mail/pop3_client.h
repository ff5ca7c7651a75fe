// CPop3Client downloads every message of one POP3 mailbox into that mailbox's folder of the mail
// store (mail/mail_store.h) and deletes each on the server once it is stored whole. Email_In's
// FetchMail is its user. The connection is plain TCP; commands and replies are CR LF lines.
//
// Failures are logged and returned, never thrown. The password never reaches the log, not even
// with "LogPop3" on, which logs every other command and every reply line.
#pragma once

#include "network/tcp_socket.h"

#include <string>
#include <string_view>

class CServerConfig;

class CPop3Client
{
public:
    // Reply lines are read in pieces of at most 255 characters, message lines of 1023.
    static constexpr int kReplyBufferSize = 256;
    static constexpr int kMessageBufferSize = 1024;

    // The settings "Pop3Timeout" and "LogPop3" of the program's configuration; messages go below
    // the installation folder.
    CPop3Client();
    CPop3Client(const CServerConfig& config, std::string installDir);
    virtual ~CPop3Client();
    CPop3Client(const CPop3Client&) = delete;
    CPop3Client& operator=(const CPop3Client&) = delete;

    // Stores every message of the account into "<install>/mail/<mailbox>" and deletes it on the
    // server. An empty port means "110". Returns the number stored, or -1 when the account could
    // not be opened (connection, greeting, user name, password or listing refused).
    [[nodiscard]] int FetchAll(const std::string& host, std::string port, const std::string& user,
                               const std::string& password, const std::string& mailbox);
    // Stores the message that follows a positive RETR reply into a new file of the mailbox folder;
    // 1 when it was stored whole, else 0 with the partial file removed.
    [[nodiscard]] int SaveMessage(const std::string& mailbox);

private:
    // Sends one command line (CR LF added); `logged` is what the log shows of it.
    [[nodiscard]] bool SendCommand(const std::string& command, std::string_view logged);
    [[nodiscard]] bool SendCommand(const std::string& command) { return SendCommand(command, command); }
    // Reads one reply line (or a piece of a longer one) into m_reply; false when the read failed.
    [[nodiscard]] bool ReadReply();
    bool IsPositive() const { return m_reply.compare(0, 3, "+OK") == 0; }
    // Sends a command and reads its reply: true when the reply is positive. After a failed send
    // or read the reply is empty (the socket has logged why).
    [[nodiscard]] bool Exchange(const std::string& command, std::string_view logged);
    [[nodiscard]] bool Exchange(const std::string& command) { return Exchange(command, command); }
    // Sends QUIT, reads its reply and closes the connection.
    void Quit();
    // Counts the lines of a LIST reply up to its end mark.
    int CountListing();

    std::string m_installDir;
    int m_timeoutSeconds;
    bool m_logCommands;
    CTcpSocket m_socket;
    std::string m_reply;
};
