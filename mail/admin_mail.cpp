#include "mail/admin_mail.h"

#include "foundation/log.h"
#include "foundation/server_config.h"
#include "mail/email_out.h"

bool QueueAdminMail(const CServerConfig& config, const std::string& installDir, std::string_view subject,
                    std::string_view content)
{
    CEmailOut mail(config, installDir);
    mail.m_to = config.m_emAdminEmail;
    mail.m_from = config.m_emAdminEmail;
    mail.m_subject = subject;
    mail.m_content = content;
    if (mail.Send() == 1)
        return true;
    TheLog().WriteText("The report \"" + std::string(subject) + "\" could not be queued for the administrator.");
    return false;
}
