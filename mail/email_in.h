// CEmailIn is the script's email_in object: FetchMail downloads the account's POP3 mailbox into
// its folder of the mail store once, then steps through the stored .eml files one at a time; the
// fields of the current message are read from its file on first access by the MIME reader
// (mime_reader.cpp); the script then deletes or moves each message it has handled.
//
// One object belongs to one script run on one thread. The store has no lock: two runs reading the
// same mailbox folder see the same files.
#pragma once

#include "foundation/ssp_exception.h"
#include "foundation/ssp_script_object.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CServerConfig;
class CMimeInput;

// One attachment of the current message, with its bytes decoded.
struct CEmailAttachment
{
    std::string name;
    std::vector<unsigned char> data;
};

class CEmailIn : public CSspScriptObject
{
public:
    // Limits that hold before memory is spent on a message: a larger file has only its top
    // header block read; deeper multipart nesting and longer unfolded headers are cut.
    static constexpr std::size_t kMaxMessageSize = 64u << 20;
    static constexpr std::size_t kMaxHeaderSize = 64u << 10;
    static constexpr int kMaxNesting = 32;

    // The program's configuration (MIME table, POP3 settings) and installation folder.
    CEmailIn();
    CEmailIn(const CServerConfig& config, std::string installDir);
    ~CEmailIn() override;
    CEmailIn(const CEmailIn&) = delete;
    CEmailIn& operator=(const CEmailIn&) = delete;

    // Script members and methods; see email_in.cpp for the table.
    void CallMember(CSspCall& call, CSspValue& result) override;

    // A fresh declaration: every member empty, Pop3Port "110", no listing, no message.
    void Reset();
    // The account settings by script name (Pop3Host, Pop3Port, Username, Password, Address,
    // without regard to case); false for another name. A new Username restarts the object.
    bool SetSetting(std::string_view name, std::string value);

    // The download step: once per object (0 afterwards); -1 when the host or user name is missing
    // or the mailbox has no safe folder name; otherwise the POP3 client's result.
    int FetchMail();
    // Makes the next stored message of the mailbox folder current; 1 when there is one, else 0.
    int NextMail();
    // The mailbox's folder below "<install>/mail": Address, else the user name up to its first
    // character of \/:*?"<>| followed by "@" and the host.
    std::string MailboxFolderName() const;
    // Makes a message file current; its fields are read on first access.
    void SetCurrentFile(std::string path);
    const std::string& FileName() const { return m_fileName; }

    // The MIME reader. LoadMessage reads the current file into the fields below and raises
    // "Failed to open file: " + path (at `position`) when it cannot be opened; a malformed message
    // keeps the fields read before the fault. The walking steps
    // return 0 when they stopped at the enclosing delimiter (another part follows), 1 at the
    // enclosing closing delimiter or the end of the file, 2 on an error that ends the reading.
    void LoadMessage(int position = kNoPosition);
    [[nodiscard]] int WalkMultipart(CMimeInput& file, std::string_view enclosing, int depth);
    [[nodiscard]] int ReadPart(CMimeInput& file, std::string_view boundary, std::string_view enclosing, int depth);
    struct PartHeaders
    {
        std::string type;
        std::string boundary;  // "--" + the boundary parameter, for multipart types
        std::string encoding;  // trimmed and lower-case
        std::string fileName;
    };
    [[nodiscard]] int ParsePartHeaders(CMimeInput& file, PartHeaders& headers);
    [[nodiscard]] int DecodeBody(CMimeInput& file, std::string_view enclosing, const std::string& encoding,
                                 std::string& target);
    [[nodiscard]] int ReadAttachment(CMimeInput& file, std::string_view enclosing, const PartHeaders& headers);
    // "." + the first extension of the MIME table whose type is `type` ("message/rfc822" gives
    // ".eml"; "text/html" without an entry ".html"); "" when there is none.
    std::string AttachmentExtension(std::string_view type) const;
    // Sets the start and length of the HTML text's inner body.
    void FindHtmlBody();

    // The address in a header value, and its display name in `name`.
    static std::string ExtractAddress(std::string_view value, std::string& name);
    // Decodes every encoded word of `text` in place, into the site's text encoding.
    void DecodeAllEncodedWords(std::string& text) const;

    // The fields of the current message, as its last load left them.
    const std::string& From() const { return m_from; }
    const std::string& FromName() const { return m_fromName; }
    const std::string& To() const { return m_to; }
    const std::string& Cc() const { return m_cc; }
    const std::string& Subject() const { return m_subject; }
    const std::string& Priority() const { return m_priority; }
    const std::string& Content() const { return m_content; }
    const std::string& Headers() const { return m_headers; }
    std::string HtmlContent() const;
    const std::vector<CEmailAttachment>& Attachments() const { return m_attachments; }

private:
    std::string ReadMember(std::string_view member) const;
    void LoadIfNeeded(int position);
    void StopScanning();
    void ClearMessage();
    // The header block of the file's top entity, into the header fields.
    void ReadTopHeaders(CMimeInput& file);
    // The MIME table's extension for a content type, in the table's own order.
    const std::string* FindExtensionOfType(std::string_view type) const;
    const CEmailAttachment* CurrentAttachment() const;

    const CServerConfig& m_config;
    std::string m_installDir;

    std::string m_pop3Host;
    std::string m_pop3Port = "110";
    std::string m_userName;
    std::string m_password;
    std::string m_address;

    std::string m_fileName;
    bool m_needsLoading = false;
    bool m_fetched = false;
    // The sorted listing of the mailbox folder while scanning, and the next entry to take.
    bool m_scanning = false;
    std::vector<std::string> m_listing;
    std::size_t m_listingNext = 0;

    std::string m_to;
    std::string m_cc;
    std::string m_from;
    std::string m_fromName;
    std::string m_priority = "3";
    std::string m_xMailer;
    std::string m_xLoop;
    std::string m_subject;
    std::string m_content;
    std::string m_headers;
    std::string m_htmlText;
    int m_bodyStart = -1;
    int m_bodyLength = -1;
    int m_attachmentCursor = -1;
    std::vector<CEmailAttachment> m_attachments;
    int m_loadPosition = kNoPosition;  // of the script call that made the current load
};

// Header texts of a message: the addresses of a list joined with ", " (pieces split at ',' and
// ';' outside double quotes); the media type of a Content-Type line; the value of a parameter
// anywhere in a header line ("" when absent).
std::string FormatAddressList(std::string_view value);
std::string GetMediaType(std::string_view line);
std::string GetHeaderParam(std::string_view line, std::string_view name);

// Makes `email_in` declarations of every later run create CEmailIn objects over `config` (which
// must outlive those runs) and the mail store below `installDir`. Called once at program start.
void RegisterEmailInObjects(const CServerConfig& config, std::string installDir);
