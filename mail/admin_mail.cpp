#include "mail/admin_mail.h"

#include "foundation/log.h"
#include "foundation/server_config.h"

#include <string>

bool QueueAdminMail(const CServerConfig& config, std::string_view subject, std::string_view content)
{
    (void)config;
    (void)content;
    // This build has no writer for outbox files yet, so the message is lost; say so in the log
    // rather than let the administrator believe it was sent.
    std::string line = "Mail to the administrator could not be queued (no outbox writer): ";
    line += subject;
    TheLog().WriteText(line);
    return false;
}
