#include "mail/email_sender.h"

#include "foundation/ascii_text.h"
#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "foundation/server_config.h"
#include "mail/admin_mail.h"
#include "mail/mail_store.h"
#include "mail/smtp_client.h"
#include "platform/file_descriptor.h"
#include "platform/file_system.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>

namespace {

constexpr const char* kReportSubject = "Email Sender error";
// Messages that the server refused for good or that can never go wait here, apart from the outbox.
constexpr const char* kFailedFolder = "failed";

bool HasTxtExtension(std::string_view name)
{
    return name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), ".txt");
}

// The value of a fixed header line, "Name:" matched with case, without the white space after it.
bool TakeField(std::string_view line, std::string_view name, std::string& value)
{
    if (!line.starts_with(name))
        return false;
    line.remove_prefix(name.size());
    while (!line.empty() && IsWhiteAscii(line.front()))
        line.remove_prefix(1);
    value = line;
    return true;
}

// "RCPT To: <a@x.test> answered 550 no such user; ..."
std::string Describe(const std::vector<CSmtpClient::Refusal>& refusals)
{
    std::string text;
    for (const CSmtpClient::Refusal& refusal : refusals) {
        if (!text.empty())
            text += "; ";
        text += refusal.command + " answered " + refusal.reply;
    }
    return text;
}

}  // namespace

CEmailSender::CEmailSender(const CServerConfig& config, std::string installDir)
    : m_config(config), m_installDir(std::move(installDir)), m_clock([] { return std::time(nullptr); })
{}

void CEmailSender::RunEmailSender()
{
    m_errorText.clear();
    try {
        SendOutbox();
    } catch (const std::exception& error) {
        // Its own words tell the administrator what went wrong; what the run noted before stays.
        const std::string_view what = error.what();
        m_errorText += what.empty() ? std::string_view("Unknown error in Email Sender.") : what;
    } catch (...) {
        m_errorText += "Unknown error in Email Sender.";
    }
    if (m_errorText.empty())
        return;
    TheLog().WriteText("Email Sender ended with error: " + m_errorText);
    QueueAdminMail(m_config, m_installDir, kReportSubject, m_errorText);
}

std::vector<std::string> CEmailSender::ListOutbox() const
{
    std::vector<std::string> names;
    const std::string folder = MailFolderPath(m_installDir, "outbox");
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        // Whatever bears an outbox name is taken, so that one the run cannot read (a folder, a
        // broken link) is named in the report instead of waiting unseen.
        std::string name = it->path().filename().string();
        if (HasTxtExtension(name))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return MailFileOrder(a) < MailFileOrder(b); });
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& name : names)
        paths.push_back(folder + "/" + name);
    return paths;
}

void CEmailSender::StartDay()
{
    const std::time_t now = m_clock();
    std::tm local{};
    localtime_r(&now, &local);
    if (m_sentToday == -1 || local.tm_mday != m_dayOfMonth) {
        m_dayOfMonth = local.tm_mday;
        m_sentToday = 0;
    }
}

bool CEmailSender::CountSentMail()
{
    ++m_sentToday;
    if (m_sentToday <= m_config.m_emMaxEmailOut)
        return false;
    TheLog().WriteLine("----------------------------------------------------\nMaximum number of outgoing emails has "
                       "exceeded %d.\nNo more emails will be sent today. \nTo allow more emails to be sent per day, "
                       "please change the \nMax Email value on Tarnwick Console, Server, Settings, Email Page.",
                       m_config.m_emMaxEmailOut);
    return true;
}

int CEmailSender::ReadOutboxFile(const std::string& path, OutboxMessage& message)
{
    const CFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        return errno;
    std::string text;
    if (const int error = ReadAll(file.Get(), text))
        return error;
    // Header lines end in LF, a CR before it belongs to the line end; the first empty line ends
    // them, and what follows it is the body as it was written.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + start, (end == std::string::npos ? text.size() : end) - start);
        if (end != std::string::npos && line.ends_with('\r'))
            line.remove_suffix(1);
        start = next;
        if (line.empty()) {
            message.body = text.substr(start);
            break;
        }
        if (!TakeField(line, "From:", message.from) && !TakeField(line, "To:", message.to) &&
            !TakeField(line, "Cc:", message.cc) && !TakeField(line, "Bcc:", message.bcc) &&
            !TakeField(line, "Subject:", message.subject)) {
            message.headerLines.emplace_back(line);
        }
    }
    return 0;
}

void CEmailSender::RetireSentFile(const std::string& path)
{
    // A sent file left in the outbox would go out again on every run, so one that cannot be kept
    // is deleted all the same.
    if (m_config.m_emKeepSentMail && MoveMailFile(m_installDir, path, "sent"))
        return;
    if (!DeleteFileForced(path)) {
        TheLog().WriteLine("Failed to delete outgoing email file %s after it had been sent:\r\n%s\r\n\r\nMake sure "
                           "Tarnwick Server has Delete Permission on that folder!",
                           path.c_str(), GetSystemErrorText(errno).c_str());
    }
}

void CEmailSender::ReportUnreadable(const std::string& path, int error)
{
    const std::string text = "Email Sender failed to open file in outbox: " + path + ". " + GetSystemErrorText(error);
    TheLog().WriteText(text);
    // Until someone mends the file every run meets it again; one mail about it is enough.
    if (m_unreadableReported.insert(path).second)
        m_errorText += text + "\r\n";
}

bool CEmailSender::SendFile(CSmtpClient& smtp, const std::string& path, int& sent)
{
    OutboxMessage message;
    if (const int error = ReadOutboxFile(path, message)) {
        ReportUnreadable(path, error);
        return true;
    }
    if (message.from.empty())
        message.from = m_config.m_emAdminEmail;
    if (message.subject.empty())
        message.subject = "none";
    const int result = smtp.SendMessage(message.from, message.to, message.cc, message.bcc, message.subject,
                                        message.headerLines, message.body);
    switch (result) {
    case CSmtpClient::kAccepted:
        RetireSentFile(path);
        for (const CSmtpClient::Refusal& refusal : smtp.Refusals())
            Report(message, "Failed to send " + path + " to one of its recipients: " + Describe({refusal}) + ".");
        ++sent;
        return !CountSentMail();
    case CSmtpClient::kRefusedForGood: SetAside(path, message, Describe(smtp.Refusals())); return true;
    case CSmtpClient::kNoRecipient: SetAside(path, message, "it has no recipient"); return true;
    case CSmtpClient::kNoAnswer:
    case CSmtpClient::kMailFromRefused: return false;
    default:
        TheLog().WriteText("Failed to send " + path + ": " + Describe(smtp.Refusals()) + ". It stays in the outbox.");
        return true;
    }
}

void CEmailSender::SetAside(const std::string& path, const OutboxMessage& message, const std::string& reason)
{
    const bool moved = MoveMailFile(m_installDir, path, kFailedFolder);
    Report(message, "Failed to send " + path + ": " + reason +
                        (moved ? ". It was moved to the folder \"failed\"." : ". It stays in the outbox."));
}

void CEmailSender::Report(const OutboxMessage& message, const std::string& text)
{
    TheLog().WriteText(text);
    // A report of the sender's own that fails would otherwise bring a new report on every run.
    const bool ownReport =
        message.subject == kReportSubject && (message.to.empty() || message.to == m_config.m_emAdminEmail);
    if (!ownReport)
        m_errorText += text + "\r\n";
}

void CEmailSender::SendOutbox()
{
    TheLog().WriteLine("Email Sender started running.");
    if (m_config.m_emAdminEmail.empty()) {
        m_errorText = "Administrator's email address has not been set.";
        return;
    }
    const std::vector<std::string> files = ListOutbox();
    if (files.empty()) {
        TheLog().WriteLine("Email Sender ended. No mail to send.");
        return;
    }
    StartDay();
    if (m_sentToday > m_config.m_emMaxEmailOut) {
        TheLog().WriteLine("Maximum number of outgoing emails per day reached.");
        return;
    }
    CSmtpClient smtp(m_config);
    if (!smtp.Connect(m_config.m_emSmtpServer, m_config.m_emSmtpPort)) {
        TheLog().WriteLine("Email Sender ended. Failed to connect to SMTP server %s:%s",
                           m_config.m_emSmtpServer.c_str(), m_config.m_emSmtpPort.c_str());
        return;
    }
    int sent = 0;
    for (const std::string& path : files) {
        if (!SendFile(smtp, path, sent))
            break;
    }
    smtp.Quit();
    TheLog().WriteLine("Email Sender ended. %d email(s) sent", sent);
}
