// CEmailSender: background task number 2, which delivers the outbox. Each run sends every waiting
// outbox file, oldest first, through one SMTP connection to "EmSmtpServer". A sent file is moved
// to "sent" (with "EmKeepSentMail") or deleted. A message the server refuses for good (a 5xx reply
// to every recipient, to DATA or to the end of the data), or one without recipient, is moved to
// "failed" and named with the server's reply in the log and the administrator's mail; one refused
// for now (4xx) or cut off stays for the next run. Nothing that did not go is deleted. A file that
// cannot be read is skipped, named with the system's reason in the log on every run and in the
// administrator's mail once, and the run goes on with the next. At most "EmMaxEmailOut" + 1
// messages leave a day: the run stops once the day's count exceeds the setting. A run's errors are
// mailed to the administrator through the outbox, so the next run delivers them.
//
// The background thread owns the task and runs it; the day's count lives in memory only, so a
// restarted server counts from zero.
#pragma once

#include "mail/email_sender_task.h"

#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

class CServerConfig;
class CSmtpClient;

class CEmailSender : public CEmailSenderTask
{
public:
    // The current time in seconds since 1970; tests pass their own to change the day.
    using Clock = std::function<std::time_t()>;

    // `config` and `installDir` (the store's root) must outlive the task.
    CEmailSender(const CServerConfig& config, std::string installDir);

    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // One run; an error that ends it or a file it could not send is logged and mailed to the
    // administrator.
    void RunEmailSender() override;
    // The run itself; sets the error text that RunEmailSender reports.
    void SendOutbox();
    // Counts one sent message; true when the day's count now exceeds "EmMaxEmailOut" (the notice
    // is logged then).
    bool CountSentMail();

    // Messages sent since the day began; -1 before the first run.
    int GetSentToday() const { return m_sentToday; }
    // The outbox's ".txt" files in the order they are sent: by creation stamp, then suffix.
    std::vector<std::string> ListOutbox() const;

private:
    // One message as an outbox file holds it, ready for the SMTP client.
    struct OutboxMessage
    {
        std::string from;
        std::string to;
        std::string cc;
        std::string bcc;
        std::string subject;
        std::vector<std::string> headerLines;
        std::string body;  // as the file holds it
    };
    // 0, or the errno value of the failed open or read.
    [[nodiscard]] static int ReadOutboxFile(const std::string& path, OutboxMessage& message);
    void ReportUnreadable(const std::string& path, int error);
    // Sends one file and settles it by the result; false when the run must end (no answer, a 505
    // to MAIL, the day's limit reached).
    [[nodiscard]] bool SendFile(CSmtpClient& smtp, const std::string& path, int& sent);
    // Moves a message that can never go to "failed" and reports it with `reason`.
    void SetAside(const std::string& path, const OutboxMessage& message, const std::string& reason);
    // Logs the text and adds it to the run's report, unless the message is such a report itself.
    void Report(const OutboxMessage& message, const std::string& text);
    // Starts a new count when the day of the month has changed since the last run.
    void StartDay();
    // Moves a sent file to "sent" or deletes it, so that it does not go out again.
    void RetireSentFile(const std::string& path);

    const CServerConfig& m_config;
    const std::string m_installDir;
    Clock m_clock;
    int m_sentToday = -1;
    int m_dayOfMonth = 0;
    std::string m_errorText;
    // Unreadable files already named in a mail to the administrator.
    std::set<std::string> m_unreadableReported;
};
