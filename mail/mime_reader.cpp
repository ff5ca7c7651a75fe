// The MIME reader of CEmailIn: turns one stored message file into the fields that the email_in
// object shows. The file is read whole (up to CEmailIn::kMaxMessageSize) and walked line by line;
// a line ends at LF, and a CR before it is dropped.
#include "mail/email_in.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "mail/encoded_words.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Encoded lines are at most 76 characters; a longer one means a broken or hostile message.
constexpr std::size_t kMaxEncodedLine = 80;

std::string_view TrimLeftWhite(std::string_view text)
{
    while (!text.empty() && IsWhiteAscii(text.front()))
        text.remove_prefix(1);
    return text;
}

std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from = 0)
{
    for (std::size_t i = from; i + what.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, what.size()), what))
            return i;
    }
    return std::string_view::npos;
}

// The text without the characters of `drop`, trimmed.
std::string Without(std::string_view text, std::string_view drop)
{
    std::string out;
    for (char c : text) {
        if (drop.find(c) == std::string_view::npos)
            out += c;
    }
    return std::string(TrimWhiteAscii(out));
}

bool IsWordStop(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '(' || c == ',' || c == ';' || c == '<' || c == '[';
}

bool IsAddressEnd(char c)
{
    return c == ' ' || c == '>' || c == ']' || c == ')' || c == ',' || c == ';' || c == '\r' || c == '\n';
}

constexpr std::string_view kNameNoise = "<[(>]);\"\r\n";

// The file's bytes, or false when it cannot be opened. A file over `limit` bytes gives only its
// first `headLimit` bytes, with `whole` false.
bool ReadMessageFile(const std::string& path, std::string& text, bool& whole)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    struct stat info
    {};
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const auto size = static_cast<std::size_t>(info.st_size);
    whole = size <= CEmailIn::kMaxMessageSize;
    text.resize(whole ? size : 4 * CEmailIn::kMaxHeaderSize);
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return true;
}

// The tag "<name" at or after `from` (name without regard to case, then white space or '>').
std::size_t FindTag(std::string_view text, std::string_view name, std::size_t from = 0)
{
    for (std::size_t at = text.find('<', from); at != std::string_view::npos; at = text.find('<', at + 1)) {
        const std::size_t after = at + 1 + name.size();
        if (after < text.size() && EqualsNoCase(text.substr(at + 1, name.size()), name) &&
            (IsWhiteAscii(text[after]) || text[after] == '>'))
            return at;
    }
    return std::string_view::npos;
}

// A name a script may use as a file name: the last part of a path, without control characters.
std::string SafeAttachmentName(std::string_view name)
{
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    std::string out;
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            out += c;
    }
    out = std::string(TrimWhiteAscii(out));
    return out == "." || out == ".." ? std::string() : out;
}

}  // namespace

// The message text and the reader's place in it.
class CMimeInput
{
public:
    explicit CMimeInput(std::string_view text) : m_text(text) {}

    // The next line without its line end; false at the end of the text.
    bool ReadLine(std::string_view& line)
    {
        if (m_position >= m_text.size())
            return false;
        std::size_t end = m_text.find('\n', m_position);
        const std::size_t next = end == std::string_view::npos ? m_text.size() : end + 1;
        if (end == std::string_view::npos)
            end = m_text.size();
        line = m_text.substr(m_position, end - m_position);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        m_position = next;
        return true;
    }
    bool AtEnd() const { return m_position >= m_text.size(); }
    std::size_t Tell() const { return m_position; }
    void Seek(std::size_t position) { m_position = position; }

private:
    std::string_view m_text;
    std::size_t m_position = 0;
};

namespace {

enum class LeafEnd
{
    kDelimiter,
    kLast
};

// Whether `line` ends a leaf inside `enclosing`: its delimiter (another part follows) or its
// closing delimiter. A leaf of the outermost entity runs to the end of the file.
bool EndsLeaf(std::string_view line, std::string_view enclosing, LeafEnd& end)
{
    if (enclosing.empty() || line.substr(0, enclosing.size()) != enclosing)
        return false;
    std::string_view rest = line.substr(enclosing.size());
    if (rest.empty()) {
        end = LeafEnd::kDelimiter;
        return true;
    }
    if (rest == "--") {
        end = LeafEnd::kLast;
        return true;
    }
    return false;
}

// The bytes of the leaf's raw lines from the reader's place to its delimiter; the place stays.
std::size_t MeasureLeaf(CMimeInput& file, std::string_view enclosing)
{
    const std::size_t start = file.Tell();
    std::size_t end = start;
    std::string_view line;
    LeafEnd ignored;
    while (file.ReadLine(line) && !EndsLeaf(line, enclosing, ignored))
        end = file.Tell();
    file.Seek(start);
    return end - start;
}

// Walks one leaf's lines to its delimiter and hands `append` its decoded bytes. Returns 0 at the
// delimiter, 1 at the closing delimiter or the end of the file, 2 after a line too long to be
// encoded text (logged with the file's path).
template <class Append>
int DecodeLeafLines(CMimeInput& file, std::string_view enclosing, const std::string& encoding, const std::string& path,
                    Append append)
{
    const bool quotedPrintable = !encoding.empty() && encoding[0] == 'q';
    const bool base64 = EqualsNoCase(encoding, "base64");
    char decoded[kMaxEncodedLine + 8];
    int length = 0;
    std::string pending;  // base64 characters of an incomplete group, for the next line
    int result = 1;
    std::string_view line;
    LeafEnd end;
    while (file.ReadLine(line)) {
        if (EndsLeaf(line, enclosing, end)) {
            result = end == LeafEnd::kDelimiter ? 0 : 1;
            break;
        }
        if (quotedPrintable || base64) {
            std::string text = base64 ? pending + std::string(line) : std::string(line);
            if (text.size() > kMaxEncodedLine) {
                TheLog().WriteText(path + " lines too long.");
                return 2;
            }
            if (base64) {
                const int consumed = Base64Decode(text.c_str(), decoded, sizeof decoded, length, false);
                pending = text.substr(static_cast<std::size_t>(consumed));
                append(decoded, length);
            } else {
                QuotedPrintableDecode(text.c_str(), decoded, sizeof decoded, length, false);
                append(decoded, length);
                if (line.empty() || line.back() != '=')
                    append("\r\n", 2);
            }
        } else {
            append(line.data(), static_cast<int>(line.size()));
            append("\r\n", 2);
        }
    }
    if (base64 && !pending.empty()) {
        Base64Decode(pending.c_str(), decoded, sizeof decoded, length, true);
        append(decoded, length);
    }
    return result;
}

}  // namespace

std::string CEmailIn::ExtractAddress(std::string_view value, std::string& name)
{
    std::size_t start = value.find_first_of("<[");
    if (start == std::string_view::npos) {
        start = value.find('@');
        if (start == std::string_view::npos)
            start = 0;
        // Back to the start of the word that holds the "@".
        while (start > 0 && !IsWordStop(value[start - 1]))
            --start;
    }
    while (start < value.size() && IsWordStop(value[start]))
        ++start;
    std::size_t end = start;
    while (end < value.size() && !IsAddressEnd(value[end]))
        ++end;
    std::string address(value.substr(start, end - start));

    name = Without(value.substr(0, start), kNameNoise);
    if (name.empty())
        name = Without(value.substr(end), std::string(kNameNoise) + ",");
    if (name.empty())
        name = address.substr(0, address.find('@'));
    return address;
}

std::string FormatAddressList(std::string_view value)
{
    std::string list;
    auto add = [&list](std::string_view piece) {
        piece = TrimLeftWhite(piece);
        if (piece.empty())
            return;
        std::string name;
        if (!list.empty())
            list += ", ";
        list += CEmailIn::ExtractAddress(piece, name);
    };
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"')
            quoted = !quoted;
        else if (!quoted && (value[i] == ',' || value[i] == ';')) {
            add(value.substr(start, i - start));
            start = i + 1;
        }
    }
    add(value.substr(start));
    return list;
}

std::string GetMediaType(std::string_view line)
{
    std::size_t colon = line.find(':');
    line = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    return std::string(TrimWhiteAscii(line.substr(0, line.find(';'))));
}

std::string GetHeaderParam(std::string_view line, std::string_view name)
{
    std::size_t at = FindNoCase(line, std::string(name) + "=");
    if (at == std::string_view::npos)
        return {};
    std::string_view value = line.substr(at + name.size() + 1);
    if (!value.empty() && value.front() == '"')
        value.remove_prefix(1);
    return std::string(TrimWhiteAscii(value.substr(0, value.find_first_of("\"\r\n"))));
}

void CEmailIn::DecodeAllEncodedWords(std::string& text) const
{
    text = DecodeEncodedWords(text, MailTextCharset(m_config));
}

const std::string* CEmailIn::FindExtensionOfType(std::string_view type) const
{
    for (const std::string& extension : m_config.m_mimeOrder) {
        auto entry = m_config.m_mimeMap.find(extension);
        if (extension != "*" && entry != m_config.m_mimeMap.end() && EqualsNoCase(entry->second, type))
            return &entry->first;
    }
    // A table filled without its order (by hand) is searched in the order of its keys.
    for (const auto& [extension, entryType] : m_config.m_mimeMap) {
        if (extension != "*" && EqualsNoCase(entryType, type))
            return &extension;
    }
    return nullptr;
}

std::string CEmailIn::AttachmentExtension(std::string_view type) const
{
    if (EqualsNoCase(type, "message/rfc822"))
        return ".eml";
    if (const std::string* extension = FindExtensionOfType(type))
        return "." + *extension;
    return EqualsNoCase(type, "text/html") ? ".html" : "";
}

void CEmailIn::FindHtmlBody()
{
    const std::string_view html = m_htmlText;
    std::size_t start = 0;
    const std::size_t open = FindTag(html, "body");
    if (open != std::string_view::npos) {
        const std::size_t close = html.find('>', open);
        start = close == std::string_view::npos ? html.size() : close + 1;
    }
    std::size_t end = FindTag(html, "/body");
    if (end == std::string_view::npos)
        end = html.size();
    m_bodyStart = static_cast<int>(start);
    m_bodyLength = static_cast<int>(end) - static_cast<int>(start);
}

std::string CEmailIn::HtmlContent() const
{
    if (m_bodyLength <= 0 || m_bodyStart < 0)
        return {};
    return m_htmlText.substr(static_cast<std::size_t>(m_bodyStart), static_cast<std::size_t>(m_bodyLength));
}

namespace {

// Calls take(header) for each unfolded header of the block at the reader's place and, for the
// message's top block (`raw` given), appends each raw line with CR LF to it. The block ends after
// its empty line. A header is cut at CEmailIn::kMaxHeaderSize.
template <class Take>
void ReadHeaderBlock(CMimeInput& file, std::string* raw, Take take)
{
    std::string header;
    bool pending = false;
    std::string_view line;
    while (file.ReadLine(line)) {
        if (line.empty())
            break;
        if (raw != nullptr) {
            raw->append(line);
            raw->append("\r\n");
        }
        if (pending && (line[0] == ' ' || line[0] == '\t')) {
            // Unfolding takes only the line break away. In the top block the blank that folds
            // between two encoded words goes too, so that their decoded texts join.
            std::string_view rest = line;
            if (raw != nullptr && header.ends_with("?=") && line.substr(1).starts_with("=?"))
                rest.remove_prefix(1);
            if (header.size() + rest.size() <= CEmailIn::kMaxHeaderSize)
                header += rest;
            continue;
        }
        if (pending)
            take(header);
        header.assign(line.substr(0, CEmailIn::kMaxHeaderSize));
        pending = true;
    }
    if (pending)
        take(header);
}

// The text after a header's name and colon when the header has that name.
bool HeaderValue(std::string_view header, std::string_view nameAndColon, std::string_view& value)
{
    if (!StartsWithNoCase(header, nameAndColon))
        return false;
    value = header.substr(nameAndColon.size());
    return true;
}

}  // namespace

void CEmailIn::ReadTopHeaders(CMimeInput& file)
{
    ReadHeaderBlock(file, &m_headers, [this](const std::string& header) {
        std::string_view value;
        if (HeaderValue(header, "To:", value)) {
            m_to = FormatAddressList(value);
        } else if (HeaderValue(header, "Cc:", value)) {
            m_cc = FormatAddressList(value);
        } else if (HeaderValue(header, "From:", value)) {
            m_from = ExtractAddress(value, m_fromName);
            DecodeAllEncodedWords(m_fromName);
        } else if (HeaderValue(header, "Subject:", value)) {
            m_subject = TrimLeftWhite(value);
            DecodeAllEncodedWords(m_subject);
        } else if (HeaderValue(header, "X-Priority:", value)) {
            std::size_t digit = value.find_first_of("123456789");
            m_priority = digit == std::string_view::npos ? std::string() : std::string(1, value[digit]);
        } else if (HeaderValue(header, "X-Mailer:", value)) {
            m_xMailer = TrimLeftWhite(value);
        } else if (HeaderValue(header, "X-Loop:", value)) {
            m_xLoop = TrimLeftWhite(value);
        }
    });
}

void CEmailIn::LoadMessage(int position)
{
    m_needsLoading = false;
    m_loadPosition = position;
    // A message that cannot be read shows no fields of the one before it.
    ClearMessage();
    std::string text;
    bool whole = true;
    if (!ReadMessageFile(m_fileName, text, whole))
        throw CSspException(CMessageCatalog::Text(kMsgFailedToOpen) + m_fileName, position);

    CMimeInput file(text);
    ReadTopHeaders(file);
    if (m_from.empty())
        m_from = "Unknown";
    if (!whole) {
        TheLog().WriteText(m_fileName + " is larger than " + std::to_string(kMaxMessageSize) +
                           " bytes; only its header is read.");
        return;
    }
    file.Seek(0);
    // At the top no enclosing part waits for the walk's end: whether it ended at the last
    // delimiter or at a fault, the fields read so far are the message.
    static_cast<void>(WalkMultipart(file, {}, 0));
    if (!m_htmlText.empty())
        FindHtmlBody();
}

int CEmailIn::WalkMultipart(CMimeInput& file, std::string_view enclosing, int depth)
{
    PartHeaders headers;
    int result = ParsePartHeaders(file, headers);
    if (result != 1)
        return result;
    const std::string& type = headers.type;
    if (EqualsNoCase(type, "multipart/alternative") || EqualsNoCase(type, "multipart/mixed") ||
        EqualsNoCase(type, "multipart/related")) {
        if (depth >= kMaxNesting) {
            TheLog().WriteText(m_fileName + " nests multipart entities deeper than " + std::to_string(kMaxNesting) +
                               " levels.");
            return 2;
        }
        return ReadPart(file, headers.boundary, enclosing, depth + 1);
    }
    if (m_content.empty() && headers.fileName.empty() && (type.empty() || EqualsNoCase(type, "text/plain")))
        return DecodeBody(file, enclosing, headers.encoding, m_content);
    if (m_htmlText.empty() && headers.fileName.empty() && EqualsNoCase(type, "text/html"))
        return DecodeBody(file, enclosing, headers.encoding, m_htmlText);
    return ReadAttachment(file, enclosing, headers);
}

int CEmailIn::ParsePartHeaders(CMimeInput& file, PartHeaders& headers)
{
    bool failed = false;
    ReadHeaderBlock(file, nullptr, [&](const std::string& header) {
        std::string_view value;
        if (HeaderValue(header, "Content-Type:", value)) {
            headers.type = GetMediaType(header);
            if (StartsWithNoCase(headers.type, "multipart")) {
                headers.boundary = "--" + GetHeaderParam(header, "boundary");
                while (!headers.boundary.empty() && IsWhiteAscii(headers.boundary.back()))
                    headers.boundary.pop_back();
                if (headers.boundary == "--")
                    failed = true;
            } else {
                headers.fileName = GetHeaderParam(header, "name");
            }
        } else if (HeaderValue(header, "Content-Transfer-Encoding:", value)) {
            headers.encoding = LowerAscii(TrimWhiteAscii(value));
        } else if (HeaderValue(header, "Content-Disposition:", value)) {
            // "inline" without a file name keeps the name that Content-Type gave.
            std::string fileName = GetHeaderParam(header, "filename");
            if (!fileName.empty())
                headers.fileName = std::move(fileName);
        }
    });
    if (failed) {
        TheLog().WriteText("Multipart message without boundary");
        return 2;
    }
    return 1;
}

int CEmailIn::ReadPart(CMimeInput& file, std::string_view boundary, std::string_view enclosing, int depth)
{
    std::string_view line;
    while (file.ReadLine(line)) {
        if (line == boundary)
            break;
    }
    int result = 1;
    while (!file.AtEnd()) {
        result = WalkMultipart(file, boundary, depth);
        if (result != 0)
            break;
    }
    if (result == 2)
        return 2;
    if (!enclosing.empty()) {
        LeafEnd end;
        while (file.ReadLine(line)) {
            if (EndsLeaf(line, enclosing, end)) {
                if (end == LeafEnd::kDelimiter)
                    return 0;
                break;
            }
        }
    }
    return 1;
}

int CEmailIn::DecodeBody(CMimeInput& file, std::string_view enclosing, const std::string& encoding, std::string& target)
{
    try {
        target.reserve(target.size() + MeasureLeaf(file, enclosing));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, m_loadPosition);
    }
    int result = DecodeLeafLines(file, enclosing, encoding, m_fileName, [&target](const char* bytes, int length) {
        // Text ends at a NUL byte: the fields are texts for the script.
        target.append(bytes, strnlen(bytes, static_cast<std::size_t>(length)));
    });
    while (!target.empty() && IsWhiteAscii(target.back()))
        target.pop_back();
    return result;
}

int CEmailIn::ReadAttachment(CMimeInput& file, std::string_view enclosing, const PartHeaders& headers)
{
    CEmailAttachment attachment;
    attachment.name = SafeAttachmentName(headers.fileName);
    if (attachment.name.empty())
        attachment.name = "Unknown" + AttachmentExtension(headers.type);
    try {
        attachment.data.reserve(MeasureLeaf(file, enclosing));
    } catch (const std::bad_alloc&) {
        TheLog().WriteText("Failed to allocate buffer for attachment " + attachment.name);
        return 2;
    }
    std::vector<unsigned char>& data = attachment.data;
    int result = DecodeLeafLines(file, enclosing, headers.encoding, m_fileName, [&data](const char* bytes, int length) {
        data.insert(data.end(), bytes, bytes + length);
    });
    if (result != 2)
        m_attachments.push_back(std::move(attachment));
    return result;
}
