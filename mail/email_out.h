// CEmailOut: an outgoing message. Scripts reach it as the declared `email_out` object; the
// background thread and Server.SendMail use it directly for their own messages. It never talks to
// a mail server: Send writes the message as one outbox file (mail_store.h), which the Email Sender
// delivers on its next run.
//
// Outbox file layout (every line ends in CR LF): the lines "From: ", "To: ", "Cc: ", "Bcc: ",
// "Subject: " with their values, the script's extra header lines, then the body in one of three
// forms: plain (an empty line, then the content as it stands), single-part (a text/plain or
// text/html body with MIME header lines, which travel as extra headers) or multipart/mixed with
// the attachments in base64. Values written into header lines have CR and LF turned into blanks,
// so a script cannot add header lines through a subject or an address.
#pragma once

#include "foundation/ssp_script_object.h"
#include "foundation/ssp_value.h"

#include <string>
#include <string_view>
#include <vector>

class CServerConfig;
class CSspApp;

class CEmailOut : public CSspScriptObject
{
public:
    static constexpr const char* kBoundary = "----=_TarnwickServerMailerMimeBoundary.1_=";
    static constexpr const char* kNoRecipientLine = "Error: Intended receiver has no email address";

    // `config` gives the administrator's address, the MIME table and the text charset; `installDir`
    // the store's root. Both must outlive the object.
    CEmailOut(const CServerConfig& config, std::string installDir);
    // TheServerConfig() and GetProgramDirectory().
    CEmailOut();

    // Empties every member, the extra header lines and the attachments.
    void Reset();
    // The script members: the nine fields by name, SetVar, AddHeader, attach and Send.
    void CallMember(CSspCall& call, CSspValue& result) override;

    // Writes the outbox file; 1 when it was written, else 0 after a logged reason. An empty from
    // becomes the administrator's address and an empty to the sender's (the body then says that
    // the message had no recipient); both changes stay in the object.
    [[nodiscard]] int Send();

    void AddHeader(std::string line) { m_headerLines.push_back(std::move(line)); }
    // Keeps a copy of the value; a binary value gives its bytes, any other value its text.
    void Attach(std::string name, const CSspValue& value);

    // The content type of an attachment name: the MIME table's entry for the lower-cased text
    // after the last ".", else its "*" entry, else "application/octet-stream".
    std::string AttachmentContentType(std::string_view name) const;

    std::string m_to;
    std::string m_cc;
    std::string m_bcc;
    std::string m_from;
    std::string m_subject;
    std::string m_content;
    std::string m_contentType;
    std::string m_contentTransferEncoding;
    std::string m_doNotSendTo;

private:
    struct Attachment
    {
        std::string name;
        CSspValue value;
    };

    // The member of that script name (any case), or null.
    std::string* FindField(std::string_view name);
    bool IsBlockedRecipient() const;
    // The whole file in the layout described above.
    std::string FormatMessage(bool noRecipient) const;
    void AppendBodyPart(std::string& out, bool noRecipient) const;
    void AppendAttachmentPart(std::string& out, const Attachment& attachment) const;

    const CServerConfig& m_config;
    const std::string m_installDir;
    std::vector<std::string> m_headerLines;
    std::vector<Attachment> m_attachments;
};

// Connects the outgoing side to the interpreter and the application state, which cannot depend on
// the mail library: `email_out` declarations make CEmailOut objects (their arguments are passed
// over unevaluated), and Server.SendMail queues its messages through CEmailOut. A program calls
// it once at start-up, before any run; `config` must outlive every run.
void RegisterEmailOutObjects(CSspApp& app, const CServerConfig& config, std::string installDir);
