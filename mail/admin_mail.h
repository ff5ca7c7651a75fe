// The one way the background thread reports a failure to the administrator: a message to and from
// the address of "EmAdminEmail", written into the outbox so that the next Email Sender run
// delivers it. A failed task and a failed Email Sender run both come through here.
#pragma once

#include <string_view>

class CServerConfig;

// Queues a message with the given subject and content; true when it is in the outbox.
bool QueueAdminMail(const CServerConfig& config, std::string_view subject, std::string_view content);
