// CEmailSenderTask: what the background thread runs as task number 2, which sends the mail outbox.
// The task keeps its own state (mails sent today) across runs, so the thread owns the one it is
// given.
#pragma once

class CEmailSenderTask
{
public:
    virtual ~CEmailSenderTask() = default;
    // One run, with its own error reporting; called on the background thread.
    virtual void RunEmailSender() = 0;
};
