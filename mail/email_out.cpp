#include "mail/email_out.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "language/ssp_declared_kind.h"
#include "mail/encoded_words.h"
#include "mail/mail_address.h"
#include "mail/mail_store.h"
#include "platform/file_system.h"

#include <memory>

namespace {

constexpr int kMsgUnknownField = 70;  // "Unknown Email_Out field: "

void AppendHeader(std::string& out, std::string_view name, std::string_view value)
{
    out += name;
    out += OneHeaderLine(value);
    out += "\r\n";
}

}  // namespace

CEmailOut::CEmailOut(const CServerConfig& config, std::string installDir)
    : m_config(config), m_installDir(std::move(installDir))
{}

CEmailOut::CEmailOut() : CEmailOut(TheServerConfig(), GetProgramDirectory())
{}

void CEmailOut::Reset()
{
    for (std::string* field : {&m_to, &m_cc, &m_bcc, &m_from, &m_subject, &m_content, &m_contentType,
                               &m_contentTransferEncoding, &m_doNotSendTo})
        field->clear();
    m_headerLines.clear();
    m_attachments.clear();
}

std::string* CEmailOut::FindField(std::string_view name)
{
    struct Field
    {
        const char* name;
        std::string CEmailOut::*member;
    };
    static constexpr Field kFields[] = {
        {"to", &CEmailOut::m_to},
        {"cc", &CEmailOut::m_cc},
        {"bcc", &CEmailOut::m_bcc},
        {"from", &CEmailOut::m_from},
        {"subject", &CEmailOut::m_subject},
        {"content", &CEmailOut::m_content},
        {"contentType", &CEmailOut::m_contentType},
        {"contentTransferEncoding", &CEmailOut::m_contentTransferEncoding},
        {"DoNotSendTo", &CEmailOut::m_doNotSendTo},
    };
    for (const Field& field : kFields) {
        if (EqualsNoCase(name, field.name))
            return &(this->*field.member);
    }
    return nullptr;
}

void CEmailOut::CallMember(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    if (std::string* field = FindField(member)) {
        result.SetString(*field);
    } else if (EqualsNoCase(member, "SetVar")) {
        if (call.ParamCount() < 2)
            RaiseCatalogText(kMsgMissingParameter, call.m_position);
        const std::string name = call.GetParamStr(0);
        std::string* target = FindField(name);
        if (target == nullptr)
            throw CSspException(CMessageCatalog::Text(kMsgUnknownField) + name, call.m_position);
        *target = call.GetParamStr(1);
    } else if (EqualsNoCase(member, "AddHeader")) {
        if (call.ParamCount() < 1)
            RaiseCatalogText(kMsgMissingHeaderParameter, call.m_position);
        AddHeader(call.GetParamStr(0));
    } else if (EqualsNoCase(member, "attach")) {
        if (call.ParamCount() != 2)
            throw CSspException(CMessageCatalog::Text(kMsgMissingParameter) + member, call.m_position);
        Attach(call.GetParamStr(0), call.GetParam(1));
    } else if (EqualsNoCase(member, "Send")) {
        result.SetInteger(Send());
    } else {
        throw CSspException(CMessageCatalog::Text(kMsgUnknownField) + member, call.m_position);
    }
}

void CEmailOut::Attach(std::string name, const CSspValue& value)
{
    m_attachments.push_back(Attachment{std::move(name), value});
}

std::string CEmailOut::AttachmentContentType(std::string_view name) const
{
    const auto& table = m_config.m_mimeMap;
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        auto found = table.find(LowerAscii(name.substr(dot + 1)));
        if (found != table.end())
            return found->second;
    }
    auto fallback = table.find("*");
    return fallback != table.end() ? fallback->second : "application/octet-stream";
}

bool CEmailOut::IsBlockedRecipient() const
{
    for (const std::string& address : SplitMailAddresses(m_to + ", " + m_cc + ", " + m_bcc)) {
        if (EqualsNoCase(address, m_doNotSendTo))
            return true;
    }
    return false;
}

int CEmailOut::Send()
{
    if (m_from.empty())
        m_from = m_config.m_emAdminEmail;
    const bool noRecipient = m_to.empty();
    if (noRecipient)
        m_to = m_from;
    if (!m_doNotSendTo.empty() && IsBlockedRecipient()) {
        TheLog().WriteText("The following email can not be sent back to " + m_doNotSendTo +
                           " because you've set it in DoNotSendTo: " + m_subject);
        return 0;
    }
    // A body without a content type is text: it goes out labelled with its charset, so that no mail
    // server or client has to guess how to read letters beyond ASCII.
    if (m_contentType.empty())
        m_contentType = "text/plain";
    // The Email Sender may list the outbox at any moment: the file appears only when complete,
    // never half-written (it would go out cut short and be deleted).
    std::string path;
    if (!WriteNewMailFile(m_installDir, "outbox", "txt", FormatMessage(noRecipient), path)) {
        TheLog().WriteLine("Failed to create email file.");
        return 0;
    }
    return 1;
}

std::string CEmailOut::FormatMessage(bool noRecipient) const
{
    std::string out;
    AppendHeader(out, "From: ", m_from);
    AppendHeader(out, "To: ", m_to);
    AppendHeader(out, "Cc: ", m_cc);
    AppendHeader(out, "Bcc: ", m_bcc);
    AppendHeader(out, "Subject: ", m_subject);
    for (const std::string& line : m_headerLines) {
        // An empty line would end the header block early and push the rest into the body.
        if (!line.empty())
            AppendHeader(out, "", line);
    }
    const bool single = EqualsNoCase(m_contentType, "text/plain") || EqualsNoCase(m_contentType, "text/html");
    if (m_attachments.empty() && !single) {
        out += "\r\n";
        if (noRecipient)
            out += std::string(kNoRecipientLine) + "\r\n";
        out += m_content;
        return out;
    }
    out += "MIME-Version: 1.0\r\n";
    if (m_attachments.empty()) {
        AppendBodyPart(out, noRecipient);
        return out;
    }
    out += "Content-Type: multipart/mixed;\r\n\tboundary=\"";
    out += kBoundary;
    out += "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--";
    out += kBoundary;
    out += "\r\n";
    AppendBodyPart(out, noRecipient);
    for (const Attachment& attachment : m_attachments)
        AppendAttachmentPart(out, attachment);
    out += "\r\n--";
    out += kBoundary;
    out += "--\r\n";
    return out;
}

void CEmailOut::AppendBodyPart(std::string& out, bool noRecipient) const
{
    const std::string type = m_contentType + "; charset=\"" + MailTextCharset(m_config) + "\"";
    AppendHeader(out, "Content-Type: ", type);
    AppendHeader(out, "Content-Transfer-Encoding: ",
                 m_contentTransferEncoding.empty() ? std::string("8bit") : m_contentTransferEncoding);
    out += "\r\n";
    if (noRecipient)
        out += std::string(kNoRecipientLine) + "\r\n";
    if (EqualsNoCase(m_contentTransferEncoding, "base64")) {
        std::string encoded;
        Base64EncodeString(m_content, encoded);
        out += encoded;
    } else {
        out += m_content;
    }
}

void CEmailOut::AppendAttachmentPart(std::string& out, const Attachment& attachment) const
{
    const std::string name = OneHeaderLine(attachment.name);
    out += "\r\n--";
    out += kBoundary;
    out += "\r\n";
    AppendHeader(out, "Content-Type: ", AttachmentContentType(attachment.name) + ";");
    AppendHeader(out, "\tname=", "\"" + name + "\"");
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n";
    AppendHeader(out, "\tfilename=", "\"" + name + "\"");
    out += "\r\n";
    const CSspValue& value = attachment.value;
    std::string encoded;
    if (value.IsBinary())
        Base64EncodeString(value.m_text, encoded);
    else
        Base64EncodeString(value.ToString(), encoded);
    out += encoded;
}

namespace {

// email_out name or email_out name(...): the object starts afresh each time the declaration runs.
class CEmailOutKind : public CSspDeclaredKind
{
public:
    CEmailOutKind(const CServerConfig& config, std::string installDir)
        : m_config(config), m_installDir(std::move(installDir))
    {}
    std::unique_ptr<CSspScriptObject> Create() const override
    {
        return std::make_unique<CEmailOut>(m_config, m_installDir);
    }
    bool EvaluatesArguments() const override { return false; }
    void Initialize(CSspScriptObject& object, const CSspCall&) const override
    {
        static_cast<CEmailOut&>(object).Reset();
    }

private:
    const CServerConfig& m_config;
    const std::string m_installDir;
};

std::unique_ptr<CEmailOutKind> g_emailOutKind;

}  // namespace

void RegisterEmailOutObjects(CSspApp& app, const CServerConfig& config, std::string installDir)
{
    auto kind = std::make_unique<CEmailOutKind>(config, installDir);
    RegisterDeclaredKind(kEmailOutObject, kind.get());
    g_emailOutKind = std::move(kind);
    app.SetMailQueue(
        [&config, installDir](const std::string& to, const std::string& subject, const std::string& content) {
            CEmailOut mail(config, installDir);
            mail.m_to = to;
            mail.m_subject = subject;
            mail.m_content = content;
            return mail.Send() == 1;
        });
}
