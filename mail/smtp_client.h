// CSmtpClient: delivers messages to one SMTP relay over a plain TCP connection. The Email Sender
// sends a whole outbox run through one client: Connect (greeting, EHLO, then AUTH LOGIN or AUTH
// PLAIN when a user name is configured; HELO for a server without EHLO), then SendMessage per
// message (MAIL, RCPT, DATA, header block with its lines folded at 78 characters, and body), then
// Quit. Every wait for the server is bounded by "SmtpTimeout". With "LogSmtp" on, commands and
// replies are logged; the authentication lines are logged without the credentials.
#pragma once

#include "network/tcp_socket.h"

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

class CServerConfig;

class CSmtpClient
{
public:
    // Results of the message steps.
    static constexpr int kAccepted = 0;
    static constexpr int kNoRecipient = -1;      // to was empty; nothing was sent
    static constexpr int kNoAnswer = -2;         // no answer or a failed send: the connection is unusable
    static constexpr int kRejected = -3;         // another reply than expected; RSET was sent
    static constexpr int kMailFromRefused = -4;  // MAIL answered with 505; RSET was sent
    // A 5xx reply to every RCPT, to DATA or to the end of the data: this message will never go
    // through this server. RSET was sent.
    static constexpr int kRefusedForGood = -5;
    // Reply lines are read into a buffer of this size, so a longer line counts as no answer.
    static constexpr int kReplyLineBuffer = 512;

    // A command of the last message that the server refused, and the last line of its reply.
    struct Refusal
    {
        std::string command;  // "RCPT To: <a@b.test>", "DATA", "end of data", ...
        std::string reply;    // "550 5.1.1 no such user"
    };

    // Reads "EmSmtpUserName", "EmSmtpPassword", "SmtpTimeout" and "LogSmtp"; `config` must outlive
    // the client.
    explicit CSmtpClient(const CServerConfig& config);
    virtual ~CSmtpClient();
    CSmtpClient(const CSmtpClient&) = delete;
    CSmtpClient& operator=(const CSmtpClient&) = delete;

    // Sends `line` (none when empty) and reads one whole reply into `reply`, each line followed by
    // CR LF. Returns the reply's three-digit code, kNoAnswer, or kRejected for a reply line shorter
    // than three characters. `logAs`, when given, stands for the line in the log.
    [[nodiscard]] int Command(std::string_view line, std::string& reply, const char* logAs = nullptr);

    // Connects to host:port ("25" when the port is empty) and greets; true when messages can follow.
    [[nodiscard]] bool Connect(const std::string& host, std::string port);
    // One message; returns one of the results above. `from` may list several addresses: the first
    // is the sender. `body` is as the outbox file holds it: the client puts it into transfer form
    // (transfer_body.h), encoded where this server needs it, and dot-stuffs it. The message goes
    // to the recipients the server takes; those it refuses are in Refusals.
    [[nodiscard]] int SendMessage(std::string_view from, std::string_view to, std::string_view cc, std::string_view bcc,
                                  std::string_view subject, const std::vector<std::string>& headerLines,
                                  std::string_view body);
    // RSET, QUIT, and QUIT followed by closing the connection.
    int Reset();
    int SendQuit();
    void Quit();
    // What the server refused of the last message: the recipients it would not take (while it
    // took others), or the command that stopped the message.
    const std::vector<Refusal>& Refusals() const { return m_refusals; }

    // The steps of Connect and SendMessage.
    [[nodiscard]] bool Helo();
    [[nodiscard]] bool Ehlo();
    [[nodiscard]] bool Authenticate();
    // With `eightBitBody`, "BODY=8BITMIME" tells the server that the text holds 8-bit bytes.
    [[nodiscard]] int MailFrom(std::string_view address, bool eightBitBody = false);
    [[nodiscard]] int RcptTo(std::string_view list);
    [[nodiscard]] int Data();

    // "Date: Tue, 05 Mar 2024 10:00:00 +0100\r\n" for the local time of `now`.
    static std::string FormatDateHeader(std::time_t now);

private:
    // The greeting's word for this host: "HELO <name>\r\n" or "EHLO <name>\r\n".
    [[nodiscard]] bool Greet(const char* verb, std::string& reply);
    // Sends one step of AUTH; true when the code is the one expected.
    [[nodiscard]] bool AuthStep(std::string_view line, int expected, std::string& reply, const char* logAs = nullptr);
    // Logs and notes the reply of a step that the server refused and sends RSET; kRefusedForGood
    // for a 5xx reply, else kRejected.
    int Refused(std::string command, int code, const std::string& reply);
    // Logs and notes a refused step without ending the message.
    void NoteRefusal(std::string command, const std::string& reply);
    void LogTraffic(std::string_view text) const;

    const CServerConfig& m_config;
    CTcpSocket m_socket;
    std::vector<Refusal> m_refusals;
    bool m_eightBitMime = false;  // the server's EHLO reply offered 8BITMIME
};
