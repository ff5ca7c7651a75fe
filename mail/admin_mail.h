// The one way the background thread reports a failure to the administrator: a message to and from
// the address of "EmAdminEmail", written into the outbox so that the next Email Sender run
// delivers it. A failed task and a failed Email Sender run both come through here.
#pragma once

#include <string>
#include <string_view>

class CServerConfig;

// Queues a message with the given subject and content in the outbox below `installDir`; true when
// it is there. An empty administrator's address still gives a message, marked as having no
// recipient, so that the report is not lost. A report that could not be queued is logged with its
// subject, so that the log tells that the administrator will not get it.
bool QueueAdminMail(const CServerConfig& config, const std::string& installDir, std::string_view subject,
                    std::string_view content);
