#include "mail/smtp_client.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "mail/encoded_words.h"
#include "mail/mail_address.h"
#include "mail/transfer_body.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string_view WithoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// The line of a reply that carries its code: the last one, without its line end.
std::string_view LastReplyLine(std::string_view reply)
{
    reply = WithoutLineEnd(reply);
    const std::size_t lineEnd = reply.rfind('\n');
    return lineEnd == std::string_view::npos ? reply : reply.substr(lineEnd + 1);
}

// A 5xx reply: the server will not take the message however often it is tried.
bool IsPermanent(int code)
{
    return code >= 500 && code <= 599;
}

// Whether an EHLO reply names the extension, on a line of its own after the greeting line.
bool OffersExtension(std::string_view reply, std::string_view keyword)
{
    std::size_t at = reply.find('\n');
    while (at != std::string_view::npos && at + 1 < reply.size()) {
        const std::size_t end = reply.find('\n', at + 1);
        const std::string_view line =
            WithoutLineEnd(reply.substr(at + 1, end == std::string_view::npos ? end : end - at));
        if (line.size() > 4 && StartsWithNoCase(line.substr(4), keyword) &&
            (line.size() == 4 + keyword.size() || line[4 + keyword.size()] == ' '))
            return true;
        at = end;
    }
    return false;
}

// SMTP transparency (RFC 5321): a line that begins with "." gets a second one in front, so that no
// line of the text reads as the end of the data.
std::string DotStuffed(std::string_view text)
{
    std::string stuffed;
    stuffed.reserve(text.size() + 16);
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && c == '.')
            stuffed += '.';
        stuffed += c;
        lineStart = c == '\n';
    }
    return stuffed;
}

bool HasEightBitBytes(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    }
    return false;
}

std::string LocalHostName()
{
    char name[65] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    return name;
}

std::string Base64Line(std::string_view text)
{
    std::string encoded;
    Base64EncodeString(text, encoded);
    // The encoder breaks lines for mail bodies; a credential goes on one line.
    std::string line;
    for (char c : encoded) {
        if (c != '\r' && c != '\n')
            line += c;
    }
    return line + "\r\n";
}

// The From line's mailbox: the address in angle brackets, after the display name when there is one.
std::string FormatSenderHeader(const CMailbox& sender, std::string_view charset)
{
    return sender.name.empty() ? "<" + sender.address + ">" : FormatMailbox(sender, charset);
}

}  // namespace

CSmtpClient::CSmtpClient(const CServerConfig& config) : m_config(config)
{}

CSmtpClient::~CSmtpClient()
{
    m_socket.Close();
}

void CSmtpClient::LogTraffic(std::string_view text) const
{
    if (m_config.m_logSmtp)
        TheLog().WriteText(text);
}

int CSmtpClient::Command(std::string_view line, std::string& reply, const char* logAs)
{
    const std::string shown(logAs != nullptr ? std::string_view(logAs) : WithoutLineEnd(line));
    reply.clear();
    if (!line.empty()) {
        LogTraffic(shown);
        if (!m_socket.Send(line.data(), static_cast<int>(line.size())))
            return kNoAnswer;
    }
    char buffer[kReplyLineBuffer];
    int length;
    for (;;) {
        length = m_socket.ReadLine(buffer, sizeof buffer);
        if (length < 0) {
            TheLog().WriteLine("Your SMTP server is not responding to %s.",
                               line.empty() ? "connect or data" : shown.c_str());
            return kNoAnswer;
        }
        const std::string_view text(buffer, static_cast<size_t>(length));
        LogTraffic(text);
        reply += text;
        reply += "\r\n";
        if (length <= 3 || buffer[3] != '-')
            break;
    }
    if (length < 3)
        return kRejected;
    return ParseInt32(std::string_view(buffer, 3));
}

bool CSmtpClient::Connect(const std::string& host, std::string port)
{
    if (port.empty())
        port = "25";
    if (m_config.m_logSmtp)
        TheLog().WriteLine("Connecting to %s:%s", host.c_str(), port.c_str());
    if (!m_socket.Connect(host, ParseInt32(port), m_config.m_smtpTimeout))
        return false;
    if (!m_socket.SetTimeout(m_config.m_smtpTimeout)) {
        m_socket.Close();
        return false;
    }
    std::string reply;
    const int code = Command({}, reply);
    if (code != 220) {
        TheLog().WriteText(reply);
        m_socket.Close();
        return false;
    }
    // EHLO first, for its reply tells whether the server takes 8-bit text; a server that does not
    // know EHLO gets HELO.
    const bool login = !m_config.m_emSmtpUserName.empty();
    if (Ehlo()) {
        // Without authentication the server may still relay for this host; its refusal, if any,
        // comes with the first message and is logged there, as a failed login is logged here.
        if (login)
            static_cast<void>(Authenticate());
        return true;
    }
    if (login) {
        TheLog().WriteLine("Your SMTP server does not require authentication. Please clear the User name and "
                           "password in Tarnwick Console, Server Settings, Email Page, Email Sender group.");
    }
    if (Helo())
        return true;
    m_socket.Close();
    return false;
}

bool CSmtpClient::Greet(const char* verb, std::string& reply)
{
    std::string line = std::string(verb) + " " + LocalHostName() + "\r\n";
    if (Command(line, reply) == 250)
        return true;
    TheLog().WriteText(reply);
    return false;
}

bool CSmtpClient::Helo()
{
    std::string reply;
    m_eightBitMime = false;
    return Greet("HELO", reply);
}

bool CSmtpClient::Ehlo()
{
    std::string reply;
    const bool greeted = Greet("EHLO", reply);
    m_eightBitMime = greeted && OffersExtension(reply, "8BITMIME");
    return greeted;
}

bool CSmtpClient::AuthStep(std::string_view line, int expected, std::string& reply, const char* logAs)
{
    if (Command(line, reply, logAs) == expected)
        return true;
    TheLog().WriteText(reply);
    return false;
}

bool CSmtpClient::Authenticate()
{
    const std::string& user = m_config.m_emSmtpUserName;
    const std::string& password = m_config.m_emSmtpPassword;
    std::string reply;
    if (Command("AUTH LOGIN\r\n", reply) == 334) {
        return AuthStep(Base64Line(user), 334, reply, "(user name)") &&
               AuthStep(Base64Line(password), 235, reply, "(password)");
    }
    // AUTH PLAIN takes both credentials in one response, "\0user\0password" (RFC 4616); a
    // server that offers only this mechanism refuses them in two steps.
    if (Command("AUTH PLAIN\r\n", reply) == 334) {
        std::string credentials;
        credentials += '\0';
        credentials += user;
        credentials += '\0';
        credentials += password;
        return AuthStep(Base64Line(credentials), 235, reply, "(credentials)");
    }
    TheLog().WriteText(reply);
    return false;
}

void CSmtpClient::NoteRefusal(std::string command, const std::string& reply)
{
    TheLog().WriteText(reply);
    m_refusals.push_back(Refusal{std::move(command), std::string(LastReplyLine(reply))});
}

int CSmtpClient::Refused(std::string command, int code, const std::string& reply)
{
    NoteRefusal(std::move(command), reply);
    Reset();
    return IsPermanent(code) ? kRefusedForGood : kRejected;
}

int CSmtpClient::MailFrom(std::string_view address, bool eightBitBody)
{
    const std::string command =
        "MAIL From: <" + std::string(address) + ">" + (eightBitBody ? " BODY=8BITMIME" : std::string());
    std::string reply;
    const int code = Command(command + "\r\n", reply);
    if (code == 250)
        return kAccepted;
    if (code == kNoAnswer)
        return kNoAnswer;
    Refused(command, code, reply);
    // A refused sender (no login, say) is this site's problem, not the message's: it waits.
    return code == 505 ? kMailFromRefused : kRejected;
}

int CSmtpClient::RcptTo(std::string_view list)
{
    // Every recipient is tried, so that one wrong address neither keeps the message from the
    // others nor, refused, has it tried again for ever.
    int accepted = 0;
    int refused = 0;
    bool temporary = false;
    for (const CMailbox& mailbox : SplitMailboxes(list)) {
        const std::string command = "RCPT To: <" + mailbox.address + ">";
        std::string reply;
        const int code = Command(command + "\r\n", reply);
        if (code == 250 || code == 251) {
            ++accepted;
            continue;
        }
        if (code == kNoAnswer)
            return kNoAnswer;
        NoteRefusal(command, reply);
        ++refused;
        temporary = temporary || !IsPermanent(code);
    }
    if (accepted > 0 || refused == 0)
        return kAccepted;
    Reset();
    return temporary ? kRejected : kRefusedForGood;
}

int CSmtpClient::Data()
{
    std::string reply;
    const int code = Command("DATA\r\n", reply);
    if (code == 354)
        return kAccepted;
    if (code == kNoAnswer)
        return kNoAnswer;
    return Refused("DATA", code, reply);
}

int CSmtpClient::Reset()
{
    std::string reply;
    return Command("RSET\r\n", reply);
}

int CSmtpClient::SendQuit()
{
    std::string reply;
    return Command("QUIT\r\n", reply);
}

void CSmtpClient::Quit()
{
    SendQuit();
    m_socket.Close();
}

int CSmtpClient::SendMessage(std::string_view from, std::string_view to, std::string_view cc, std::string_view bcc,
                             std::string_view subject, const std::vector<std::string>& headerLines,
                             std::string_view body)
{
    m_refusals.clear();
    if (to.empty()) {
        TheLog().WriteLine("Attemping to send [%s] without receipient", std::string(subject).c_str());
        return kNoRecipient;
    }
    const std::vector<CMailbox> senders = SplitMailboxes(from);
    const CMailbox sender = senders.empty() ? CMailbox{} : senders.front();
    std::vector<std::string> extraHeaders = headerLines;
    std::string text = DotStuffed(FormatTransferBody(extraHeaders, body, m_eightBitMime));
    // The text ends with a line break, or is empty after the header block's empty line.
    text += ".\r\n";
    int result = MailFrom(sender.address, m_eightBitMime && HasEightBitBytes(text));
    if (result == kAccepted)
        result = RcptTo(std::string(to) + ", " + std::string(cc) + ", " + std::string(bcc));
    if (result == kAccepted)
        result = Data();
    if (result != kAccepted)
        return result;

    m_socket.DrainInput();
    if (m_config.m_logSmtp)
        TheLog().WriteLine("Sending data");
    std::string head = FormatDateHeader(std::time(nullptr));
    auto addLine = [&head](std::string_view line) {
        head += FoldHeaderLine(line);
        head += "\r\n";
    };
    // Header lines hold ASCII only: subjects, display names and added headers in other letters go
    // out as encoded words. Outbox files keep the texts as the script gave them.
    const std::string charset = MailTextCharset(m_config);
    addLine("From: " + FormatSenderHeader(sender, charset));
    addLine("To: " + EncodeAddressList(to, charset));
    const std::string copies = EncodeAddressList(cc, charset);
    if (!copies.empty())
        addLine("Cc: " + copies);
    addLine("Subject: " + EncodeHeaderText(OneHeaderLine(subject), charset));
    addLine("X-Mailer: <Tarnwick Server Mailer 3>");
    for (const std::string& line : extraHeaders)
        addLine(EncodeHeaderLine(OneHeaderLine(line), charset));
    head += "\r\n";
    if (!m_socket.Send(head.data(), static_cast<int>(head.size())) ||
        !m_socket.Send(text.data(), static_cast<int>(text.size()))) {
        TheLog().WriteLine("Failed to send data");
        return kNoAnswer;
    }
    std::string reply;
    const int code = Command({}, reply);
    if (code == 250)
        return kAccepted;
    // Without an answer it is unknown whether the message went; the connection is of no more use.
    if (code == kNoAnswer)
        return kNoAnswer;
    return Refused("end of data", code, reply);
}

std::string CSmtpClient::FormatDateHeader(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "Date: %s, %.2d %s %.2d %.2d:%.2d:%.2d %c%02ld%02ld\r\n", kWeekdays[local.tm_wday],
                  local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}
