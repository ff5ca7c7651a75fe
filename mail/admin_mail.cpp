#include "mail/admin_mail.h"

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
    return mail.Send() == 1;
}
