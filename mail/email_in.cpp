// The email_in object's life and script members; the MIME reader is in mime_reader.cpp.
//
// Members (names without regard to case); "loads" reads the current message first when it is
// new, "fetches" runs the download step first (once per object):
//   from FromName to cc priority XMailer XLoop subject content headers htmlContent  loads
//   AttachmentCount, GetAttachment, AttachName, AttachSize, AttachData               loads
//   FetchMail (then the next stored message), DeleteMail, MoveToFolder(name), MoveToDeleted  fetches
//   FileName, size, Pop3Host, Pop3Port, Username, Password, Address, SetVar(name, value)
#include "mail/email_in.h"

#include "foundation/ascii_text.h"
#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "language/ssp_declared_kind.h"
#include "mail/mail_store.h"
#include "mail/pop3_client.h"
#include "platform/directory_listing.h"
#include "platform/file_system.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <new>

namespace {

constexpr int kMsgNoMoreAttachment = 27;  // "No more attachment in the email."
constexpr int kMsgCopyOutOfMemory = 28;   // "Out of memory when copying email data."
constexpr int kMsgFetchObsolete = 29;     // "Email_In.fetch is obsolete. ..."
constexpr int kMsgUnknownField = 68;      // "Unknown Email_In field: "

bool IsRegularFile(const std::string& path, off_t* size = nullptr)
{
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (size != nullptr)
        *size = info.st_size;
    return true;
}

bool HasEmlExtension(std::string_view name)
{
    return name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), ".eml");
}

// Orders stored names by arrival: "<stamp>.eml" before "<stamp>-1.eml" before "<stamp>-2.eml",
// and "-10" after "-9", where plain name order would put the suffixed names first.
bool ArrivedEarlier(const std::string& a, const std::string& b)
{
    auto key = [](std::string_view name) {
        name.remove_suffix(4);  // ".eml"
        const size_t dash = name.rfind('-');
        if (dash != std::string_view::npos && dash + 1 < name.size() &&
            name.substr(0, dash).find('-') != std::string_view::npos &&
            name.find_first_not_of("0123456789", dash + 1) == std::string_view::npos)
            return std::make_pair(name.substr(0, dash), ParseInt32(name.substr(dash + 1)));
        return std::make_pair(name, 0);
    };
    return key(a) < key(b);
}

// The names of the folder's .eml files in the order of their arrival.
std::vector<std::string> ListMessageFiles(const std::string& folder)
{
    std::vector<std::string> names;
    CDirectoryListing directory(folder);
    while (const char* entry = directory.NextName()) {
        std::string name = entry;
        if (HasEmlExtension(name) && IsRegularFile(folder + "/" + name))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), ArrivedEarlier);
    return names;
}

}  // namespace

CEmailIn::CEmailIn() : CEmailIn(TheServerConfig(), GetProgramDirectory())
{}

CEmailIn::CEmailIn(const CServerConfig& config, std::string installDir)
    : m_config(config), m_installDir(std::move(installDir))
{}

CEmailIn::~CEmailIn() = default;

void CEmailIn::Reset()
{
    m_pop3Host.clear();
    m_pop3Port = "110";
    m_userName.clear();
    m_password.clear();
    m_address.clear();
    m_fileName.clear();
    m_needsLoading = false;
    m_fetched = false;
    StopScanning();
    ClearMessage();
}

void CEmailIn::ClearMessage()
{
    m_to.clear();
    m_cc.clear();
    m_from.clear();
    m_fromName.clear();
    m_priority = "3";
    m_xMailer.clear();
    m_xLoop.clear();
    m_subject.clear();
    m_headers.clear();
    m_content.clear();
    m_htmlText.clear();
    m_bodyStart = -1;
    m_bodyLength = -1;
    m_attachments.clear();
    m_attachmentCursor = -1;
}

void CEmailIn::StopScanning()
{
    m_scanning = false;
    m_listing.clear();
    m_listingNext = 0;
}

bool CEmailIn::SetSetting(std::string_view name, std::string value)
{
    if (EqualsNoCase(name, "Pop3Host")) {
        m_pop3Host = std::move(value);
    } else if (EqualsNoCase(name, "Pop3Port")) {
        m_pop3Port = std::move(value);
    } else if (EqualsNoCase(name, "Username")) {
        if (value != m_userName) {
            // Another account: its mailbox is fetched and listed afresh.
            m_fetched = false;
            StopScanning();
            m_address.clear();
            m_fileName.clear();
            m_needsLoading = false;
        }
        m_userName = std::move(value);
    } else if (EqualsNoCase(name, "Password")) {
        m_password = std::move(value);
    } else if (EqualsNoCase(name, "Address")) {
        m_address = std::move(value);
    } else {
        return false;
    }
    return true;
}

std::string CEmailIn::MailboxFolderName() const
{
    if (!m_address.empty())
        return m_address;
    return m_userName.substr(0, m_userName.find_first_of("\\/:*?\"<>|")) + "@" + m_pop3Host;
}

int CEmailIn::FetchMail()
{
    if (m_fetched)
        return 0;
    if (m_pop3Host.empty()) {
        TheLog().WriteLine("Email_In.Pop3Host has not been set yet.");
        return -1;
    }
    if (m_userName.empty()) {
        TheLog().WriteLine("Email_In.Username has not been set yet.");
        return -1;
    }
    m_fetched = true;
    const std::string folder = MailboxFolderName();
    if (!IsMailFolderName(folder)) {
        TheLog().WriteText("Email_In mailbox folder name is not a plain folder name: " + folder);
        return -1;
    }
    CPop3Client client(m_config, m_installDir);
    return client.FetchAll(m_pop3Host, m_pop3Port, m_userName, m_password, folder);
}

int CEmailIn::NextMail()
{
    const std::string mailbox = MailboxFolderName();
    if (!IsMailFolderName(mailbox))
        return 0;
    const std::string folder = MailFolderPath(m_installDir, mailbox);
    if (!m_scanning) {
        m_fileName.clear();
        m_listing = ListMessageFiles(folder);
        m_listingNext = 0;
        if (m_listing.empty())
            return 0;
        m_scanning = true;
    }
    // A file that another run deleted or moved since the listing is passed over.
    while (m_listingNext < m_listing.size()) {
        std::string path = folder + "/" + m_listing[m_listingNext++];
        if (IsRegularFile(path)) {
            SetCurrentFile(std::move(path));
            return 1;
        }
    }
    StopScanning();
    return 0;
}

void CEmailIn::SetCurrentFile(std::string path)
{
    m_fileName = std::move(path);
    m_needsLoading = true;
}

void CEmailIn::LoadIfNeeded(int position)
{
    if (m_needsLoading)
        LoadMessage(position);
}

const CEmailAttachment* CEmailIn::CurrentAttachment() const
{
    if (m_attachmentCursor < 0 || m_attachmentCursor >= static_cast<int>(m_attachments.size()))
        return nullptr;
    return &m_attachments[static_cast<size_t>(m_attachmentCursor)];
}

std::string CEmailIn::ReadMember(std::string_view member) const
{
    struct Field
    {
        std::string_view name;
        const std::string CEmailIn::*field;
    };
    static constexpr Field kFields[] = {
        {"from", &CEmailIn::m_from},       {"FromName", &CEmailIn::m_fromName}, {"to", &CEmailIn::m_to},
        {"cc", &CEmailIn::m_cc},           {"priority", &CEmailIn::m_priority}, {"XMailer", &CEmailIn::m_xMailer},
        {"XLoop", &CEmailIn::m_xLoop},     {"subject", &CEmailIn::m_subject},   {"content", &CEmailIn::m_content},
        {"headers", &CEmailIn::m_headers},
    };
    for (const Field& entry : kFields) {
        if (EqualsNoCase(member, entry.name))
            return this->*entry.field;
    }
    return {};
}

void CEmailIn::CallMember(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    const int position = call.m_position;
    auto is = [&member](std::string_view name) { return EqualsNoCase(member, name); };

    if (is("from") || is("FromName") || is("to") || is("cc") || is("priority") || is("XMailer") || is("XLoop") ||
        is("subject") || is("content") || is("headers")) {
        LoadIfNeeded(position);
        result.SetString(ReadMember(member));
    } else if (is("htmlContent")) {
        LoadIfNeeded(position);
        result.SetString(HtmlContent());
    } else if (is("FetchMail")) {
        // The download's own result is only logged: what was stored before is read either way.
        FetchMail();
        result.SetInteger(NextMail());
    } else if (is("DeleteMail")) {
        FetchMail();
        result.SetInteger(!m_fileName.empty() && DeleteFileForced(m_fileName) ? 1 : 0);
    } else if (is("MoveToFolder") || is("MoveToDeleted")) {
        const bool toDeleted = is("MoveToDeleted");
        if (!toDeleted && call.ParamCount() < 1)
            RaiseCatalogText(kMsgMissingParameter, position);
        const std::string folder = toDeleted ? std::string("deleted") : call.GetParamStr(0);
        FetchMail();
        result.SetInteger(!m_fileName.empty() && MoveMailFile(m_installDir, m_fileName, folder) ? 1 : 0);
    } else if (is("FileName")) {
        result.SetString(m_fileName);
    } else if (is("size")) {
        off_t size = 0;
        if (m_fileName.empty() || !IsRegularFile(m_fileName, &size))
            size = 0;
        result.SetInteger(ClampToInt32(static_cast<double>(size)));
    } else if (is("AttachmentCount")) {
        LoadIfNeeded(position);
        result.SetInteger(static_cast<int>(m_attachments.size()));
    } else if (is("GetAttachment")) {
        LoadIfNeeded(position);
        // The cursor stops one past the last, so a script that keeps asking cannot wrap it.
        if (m_attachmentCursor < static_cast<int>(m_attachments.size()))
            ++m_attachmentCursor;
        result.SetInteger(CurrentAttachment() != nullptr ? 1 : 0);
    } else if (is("AttachName")) {
        LoadIfNeeded(position);
        const CEmailAttachment* attachment = CurrentAttachment();
        result.SetString(attachment != nullptr ? attachment->name : std::string());
    } else if (is("AttachSize")) {
        LoadIfNeeded(position);
        const CEmailAttachment* attachment = CurrentAttachment();
        result.SetInteger(attachment != nullptr ? static_cast<int>(attachment->data.size()) : 0);
    } else if (is("AttachData")) {
        LoadIfNeeded(position);
        const CEmailAttachment* attachment = CurrentAttachment();
        if (attachment == nullptr)
            RaiseCatalogText(kMsgNoMoreAttachment, position);
        try {
            result.SetBinary(attachment->data.data(), attachment->data.size());
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgCopyOutOfMemory, position);
        }
    } else if (is("Pop3Host")) {
        result.SetString(m_pop3Host);
    } else if (is("Pop3Port")) {
        result.SetString(m_pop3Port);
    } else if (is("Username")) {
        result.SetString(m_userName);
    } else if (is("Password")) {
        result.SetString(m_password);
    } else if (is("Address")) {
        result.SetString(m_address);
    } else if (is("SetVar")) {
        if (call.ParamCount() < 2)
            RaiseCatalogText(kMsgMissingParameter, position);
        const std::string name = call.GetParamStr(0);
        if (!SetSetting(name, call.GetParamStr(1)))
            throw CSspException(CMessageCatalog::Text(kMsgUnknownField) + name, position);
    } else if (is("fetch")) {
        RaiseCatalogText(kMsgFetchObsolete, position);
    } else {
        throw CSspException(CMessageCatalog::Text(kMsgUnknownField) + member, position);
    }
}

namespace {

// email_in name or email_in name(pop3host, username, password): the object starts afresh each
// time the declaration runs; other argument counts are ignored.
class CEmailInKind : public CSspDeclaredKind
{
public:
    CEmailInKind(const CServerConfig& config, std::string installDir)
        : m_config(config), m_installDir(std::move(installDir))
    {}
    std::unique_ptr<CSspScriptObject> Create() const override
    {
        return std::make_unique<CEmailIn>(m_config, m_installDir);
    }
    bool EvaluatesArguments() const override { return true; }
    void Initialize(CSspScriptObject& object, const CSspCall& arguments) const override
    {
        auto& email = static_cast<CEmailIn&>(object);
        email.Reset();
        if (arguments.ParamCount() == 3) {
            email.SetSetting("Pop3Host", arguments.GetParamStr(0));
            email.SetSetting("Username", arguments.GetParamStr(1));
            email.SetSetting("Password", arguments.GetParamStr(2));
        }
    }

private:
    const CServerConfig& m_config;
    std::string m_installDir;
};

std::unique_ptr<CEmailInKind> g_emailInKind;

}  // namespace

void RegisterEmailInObjects(const CServerConfig& config, std::string installDir)
{
    auto kind = std::make_unique<CEmailInKind>(config, std::move(installDir));
    RegisterDeclaredKind(kEmailInObject, kind.get());
    g_emailInKind = std::move(kind);
}
