#include "webserver/ssp_response.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <optional>

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_value.h"
#include "foundation/url_encoding.h"
#include "network/tcp_socket.h"
#include "platform/file_descriptor.h"
#include "platform/file_system.h"

namespace {

constexpr int kMsgFailedToCreateOutput = 67;
constexpr int kMsgResponseHeader = 161;
// strftime wrote into a buffer of 128 bytes: a longer result counts as a failed format.
constexpr std::size_t kMaxFormattedDate = 127;

constexpr std::string_view kErrorBoxStart =
    "<center>\r\n<table width=\"80%\">\r\n  <tr><th bgcolor=\"#FF0000\"><font color=black>\r\n    Error\r\n"
    "  </font></th></tr>\r\n  <tr><td bgcolor=white><font color=black>\r\n    ";
constexpr std::string_view kErrorBoxEnd =
    "\r\n  </font></td></tr>\r\n  <tr bgcolor=\"#6699cc\"><td align=center>\r\n"
    "    Please click browser's back button to go back.\r\n  </td></tr>\r\n</table>\r\n</center>";

// The value of a page's "Status:" line (CGI's way to set the status), without its blanks; none
// for any other line.
std::optional<std::string_view> StatusLineValue(std::string_view line)
{
    constexpr std::string_view kName = "Status:";
    if (!StartsWithNoCase(line, kName))
        return std::nullopt;
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && IsWhiteAscii(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && IsWhiteAscii(value.back()))
        value.remove_suffix(1);
    return value;
}

// A header value ends at its first line break: a CR or LF from a page would start a header (or a
// body) of the page's choosing.
std::string_view CutAtLineBreak(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

std::string_view TrimLeadingWhite(std::string_view text)
{
    while (!text.empty() && IsWhiteAscii(text.front()))
        text.remove_prefix(1);
    return text;
}

// Types that a browser shows as they are and never runs: images other than SVG (which may hold
// script), audio, video, PDF, plain text and archives.
bool IsPassiveType(std::string_view type)
{
    const std::string base = LowerAscii(TrimWhiteAscii(type.substr(0, type.find(';'))));
    if (base.find("svg") != std::string::npos || base.find("xml") != std::string::npos)
        return false;
    if (base.starts_with("image/") || base.starts_with("audio/") || base.starts_with("video/"))
        return true;
    static constexpr std::string_view kPassive[] = {"application/pdf",
                                                    "text/plain",
                                                    "application/zip",
                                                    "application/x-zip-compressed",
                                                    "application/gzip",
                                                    "application/x-gzip",
                                                    "application/x-tar",
                                                    "application/x-bzip2",
                                                    "application/x-7z-compressed",
                                                    "application/vnd.rar",
                                                    "application/x-rar-compressed"};
    return std::find(std::begin(kPassive), std::end(kPassive), base) != std::end(kPassive);
}

// The last part of a URL path with its %XX escapes decoded: the name a browser gives the file.
std::string FileNameOf(std::string_view urlPath)
{
    const std::string_view last = urlPath.substr(urlPath.rfind('/') + 1);
    std::string name;
    for (std::size_t i = 0; i < last.size(); ++i) {
        if (last[i] == '%' && i + 2 < last.size() && IsHexDigitAscii(last[i + 1]) && IsHexDigitAscii(last[i + 2])) {
            name += static_cast<char>(HexToByte(last.substr(i + 1, 2)));
            i += 2;
        } else {
            name += last[i];
        }
    }
    return name;
}

// "attachment" with the file name (RFC 6266): quoted as ASCII, and a name with other bytes also
// as UTF-8 in filename*. No control character of the name reaches the header.
std::string DownloadDisposition(std::string_view name)
{
    std::string disposition = "attachment";
    if (name.empty())
        return disposition;
    std::string quoted;
    bool ascii = true;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80)
            ascii = false;
        if (byte < 0x20 || byte >= 0x7F) {
            quoted += '_';
            continue;
        }
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    disposition += "; filename=\"" + quoted + "\"";
    if (ascii)
        return disposition;
    disposition += "; filename*=UTF-8''";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsAlnumAscii(c) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos)
            disposition += c;
        else
            disposition += "%" + ByteToHex(byte);
    }
    return disposition;
}

std::string HttpDate(std::time_t time)
{
    return CSspDateTime(static_cast<std::int64_t>(time)).GetHttpDateTimeStr();
}

std::string FormatDateValue(std::int64_t time, const std::string& format)
{
    const CSspDateTime date(time);
    if (format == "0")
        return date.GetDateTimeStr();
    if (format == "1")
        return date.GetDateTimeStr2();
    if (format == "2")
        return date.GetDateStr();
    if (format == "3")
        return date.GetDateStr2();
    if (format == "4")
        return date.GetTimeStr();
    std::string text = date.Format(format);
    return text.size() > kMaxFormattedDate ? std::string() : text;
}

// What a failure to open a file to send says to the client.
const char* StatusOfFileError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG: return CSspResponse::kStatusNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ENODEV: return CSspResponse::kStatusForbidden;
    default: return CSspResponse::kStatusServerError;
    }
}

}  // namespace

CSspResponse::CSspResponse(CTcpSocket* connection) : m_connection(connection)
{}

CSspResponse::~CSspResponse()
{
    if (m_file >= 0) {
        close(m_file);
        unlink(m_outputPath.c_str());
    }
}

int CSspResponse::OpenOutputFile()
{
    if (m_file >= 0)
        return 1;
    // The folder is the server's own; O_NOFOLLOW keeps a planted link from redirecting the write.
    m_file = open(m_outputPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_file < 0) {
        TheLog().WriteLine("%s [%s]. %s", CMessageCatalog::Text(kMsgFailedToCreateOutput), m_outputPath.c_str(),
                           GetSystemErrorText(errno).c_str());
        return 0;
    }
    m_fileLength = 0;
    if (m_output == Output::NotStarted)
        m_output = Output::Open;
    return 1;
}

void CSspResponse::Spill()
{
    if (m_pending.empty() || m_output == Output::Failed)
        return;
    if (OpenOutputFile() == 0) {
        m_output = Output::Failed;
    } else if (!WriteAllAt(m_file, m_pending, m_fileLength)) {
        TheLog().WriteLine("%s [%s]. %s", CMessageCatalog::Text(kMsgFailedToCreateOutput), m_outputPath.c_str(),
                           GetSystemErrorText(errno).c_str());
        m_output = Output::Failed;
    } else {
        m_fileLength += static_cast<std::int64_t>(m_pending.size());
    }
    m_pending.clear();
}

void CSspResponse::Echo(std::string_view text) const
{
    if (m_echo != nullptr && *m_echo)
        (*m_echo)(text);
}

bool CSspResponse::TakesOutput()
{
    if (m_output == Output::NotStarted)
        m_output = Output::Open;
    return m_output == Output::Open;
}

void CSspResponse::Append(std::string_view bytes)
{
    m_pending.append(bytes);
    if (m_pending.size() >= kSpillSize)
        Spill();
}

void CSspResponse::WriteText(std::string_view text)
{
    if (!TakesOutput())
        return;
    Echo(text);
    Append(text);
}

void CSspResponse::WriteBinary(const void* bytes, std::size_t length)
{
    if (!TakesOutput())
        return;
    if (m_echo != nullptr && *m_echo)
        Echo(std::to_string(length) + " bytes of binary data");
    Append(std::string_view(static_cast<const char*>(bytes), length));
}

void CSspResponse::WriteValue(const CSspValue& value)
{
    // Texts and integers, the commonest values, are written from where they stand.
    CSspValue::IntegerDigits digits;
    if (const std::optional<std::string_view> text = value.TextAtHand(digits)) {
        if (!text->empty())
            WriteText(*text);
        return;
    }
    std::string text =
        value.IsDate() && !value.IsNull() ? FormatDateValue(value.m_time, m_dateTimeFormat) : value.ToString();
    if (!text.empty())
        WriteText(text);
}

void CSspResponse::CloseOutputFile()
{
    if (m_output == Output::Open)
        m_output = Output::Closed;
}

void CSspResponse::ClearOutput()
{
    if (m_output != Output::Open)
        return;
    m_pending.clear();
    if (m_file >= 0 && ftruncate(m_file, 0) == 0)
        m_fileLength = 0;
}

std::string CSspResponse::GetOutputText() const
{
    std::string text;
    if (m_file >= 0) {
        text.resize(static_cast<std::size_t>(m_fileLength));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t got = pread(m_file, text.data() + done, text.size() - done, static_cast<off_t>(done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        text.resize(done);
    }
    return text + m_pending;
}

void CSspResponse::AddCookie(std::string_view name, std::string_view value, std::string_view path,
                             std::string_view expires)
{
    m_cookies.push_back(Cookie{std::string(CutAtLineBreak(name)), std::string(CutAtLineBreak(value)),
                               std::string(CutAtLineBreak(expires)), std::string(CutAtLineBreak(path))});
}

void CSspResponse::AddSessionCookie(std::string_view name, std::string_view value, std::string_view path)
{
    AddCookie(name, value, path, {});
    m_cookies.back().attributes = "; HttpOnly; SameSite=Lax";
    if (m_connection != nullptr && m_connection->IsTls())
        m_cookies.back().attributes += "; Secure";
}

std::string CSspResponse::FindCookie(std::string_view name) const
{
    for (const Cookie& cookie : m_cookies) {
        if (EqualsNoCase(cookie.name, name))
            return cookie.value;
    }
    return {};
}

void CSspResponse::SetContentType(std::string_view type)
{
    m_contentType = CutAtLineBreak(type);
}

void CSspResponse::SetCharset(std::string_view charset)
{
    m_charset = CutAtLineBreak(charset);
}

void CSspResponse::AddHeader(std::string_view line)
{
    m_extraHeaders.emplace_back(CutAtLineBreak(line));
}

void CSspResponse::MarkDatabaseFile(std::string_view urlPath)
{
    if (m_contentType.empty())
        m_contentType = ContentTypeForPath(m_outputPath);
    m_extraHeaders.emplace_back("X-Content-Type-Options: nosniff");
    if (!IsPassiveType(m_contentType))
        m_extraHeaders.push_back("Content-Disposition: " + DownloadDisposition(FileNameOf(urlPath)));
}

std::string CSspResponse::ContentTypeForPath(std::string_view path)
{
    const std::size_t dot = path.rfind('.');
    const std::string extension = dot == std::string_view::npos ? std::string() : LowerAscii(path.substr(dot + 1));
    const auto& map = TheServerConfig().m_mimeMap;
    for (const std::string& key : {extension, std::string("*")}) {
        const auto found = map.find(key);
        if (found != map.end() && !found->second.empty())
            return found->second;
    }
    return "application/octet-stream";
}

std::string CSspResponse::FormatDateHeaders(std::time_t now) const
{
    std::string lines = "Date: " + HttpDate(now) + "\r\n";
    if (m_expires == 0 || m_expires == -1)
        lines += "Expires: " + HttpDate(now) + "\r\n";
    else if (m_expires > 0)
        lines += "Expires: " + HttpDate(now + static_cast<std::time_t>(m_expires) * 60) + "\r\n";
    return lines;
}

std::string CSspResponse::FormatCookieHeaders() const
{
    std::string lines;
    for (const Cookie& cookie : m_cookies) {
        std::string value = cookie.value;
        UrlEncode(value);
        lines += "Set-Cookie: " + cookie.name + "=" + value;
        if (const std::string_view path = TrimLeadingWhite(cookie.path); !path.empty())
            lines.append("; path=").append(path);
        if (const std::string_view expires = TrimLeadingWhite(cookie.expires); !expires.empty())
            lines.append("; expires=").append(expires);
        lines += cookie.attributes + "\r\n";
    }
    return lines;
}

std::string CSspResponse::JoinExtraHeaders() const
{
    std::string lines;
    for (const std::string& line : m_extraHeaders) {
        // The page's status goes into the status line, not among the headers.
        if (!StatusLineValue(line))
            lines.append(line).append("\r\n");
    }
    return lines;
}

std::string_view CSspResponse::EffectiveStatus() const
{
    for (const std::string& line : m_extraHeaders) {
        if (std::optional<std::string_view> status = StatusLineValue(line); status && !status->empty())
            return *status;
    }
    return m_status;
}

std::string CSspResponse::WithoutWebRoot(std::string_view text)
{
    const std::string root = GetProgramDirectory() + "/webroot/";
    std::string shown(text);
    for (std::size_t at = shown.find(root); at != std::string::npos; at = shown.find(root, at + 1))
        shown.erase(at, root.size() - 1);
    return shown;
}

std::string CSspResponse::FormatHead(std::string_view typePath, std::int64_t length)
{
    std::string head = "HTTP/1.0 ";
    head.append(EffectiveStatus()).append("\r\n");
    head += FormatDateHeaders();
    head += FormatCookieHeaders();
    head += JoinExtraHeaders();
    if (m_contentType.empty())
        m_contentType = ContentTypeForPath(typePath);
    head += "Content-Type: " + m_contentType;
    const std::string& defaultCharset = TheServerConfig().m_mimeTextEncoding;
    if (!m_charset.empty())
        head += "; charset=" + m_charset;
    else if (!defaultCharset.empty() && StartsWithNoCase(m_contentType, "text/"))
        head += "; charset=" + defaultCharset;
    head += "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    return head;
}

void CSspResponse::SendHeadAndFile(std::string& head, int fd, std::int64_t length)
{
    if (fd < 0 || length == 0 || m_headOnly) {
        static_cast<void>(m_connection->Send(head.data(), static_cast<int>(head.size())));
        return;
    }
    if (m_connection->SendMore(head.data(), static_cast<int>(head.size())) == 1)
        static_cast<void>(m_connection->SendFile(fd, 0, length));
}

bool CSspResponse::TakeAnswer()
{
    if (m_connection == nullptr || m_answered)
        return false;
    m_answered = true;
    return true;
}

int CSspResponse::Send(const std::string& filePath)
{
    if (!TakeAnswer())
        return 0;
    // Non-blocking, so that opening a FIFO never waits for a writer; only a regular file is sent,
    // never a folder or a device that could be read without end.
    const int fd = open(filePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info
    {};
    int error = 0;
    if (fd < 0)
        error = errno;
    else if (fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = S_ISDIR(info.st_mode) ? EISDIR : ENODEV;
    if (error != 0) {
        if (fd >= 0)
            close(fd);
        // The path holds the client's URL: escaped, so that it cannot bring markup into the page.
        std::string text = WithoutWebRoot(filePath) + " : " + GetSystemErrorText(error);
        HtmlEscape(text, false);
        SetStatus(StatusOfFileError(error));
        SendHtml("Error", text);
        return 0;
    }
    std::string head = FormatHead(filePath, static_cast<std::int64_t>(info.st_size));
    Echo(std::string(CMessageCatalog::Text(kMsgResponseHeader)) + head);
    SendHeadAndFile(head, fd, static_cast<std::int64_t>(info.st_size));
    close(fd);
    return 1;
}

void CSspResponse::CloseAndSend()
{
    CloseOutputFile();
    if (!TakeAnswer())
        return;
    if (m_file >= 0)
        Spill();
    if (m_output == Output::Failed) {
        SetStatus(kStatusServerError);
        SendErrorBox(CMessageCatalog::Text(kMsgFailedToCreateOutput));
        return;
    }
    m_connection->DrainInput();
    const bool inFile = m_file >= 0;
    std::string head = FormatHead(m_outputPath, inFile ? m_fileLength : static_cast<std::int64_t>(m_pending.size()));
    Echo(std::string(CMessageCatalog::Text(kMsgResponseHeader)) + head);
    if (inFile) {
        SendHeadAndFile(head, m_file, m_fileLength);
    } else {
        if (!m_headOnly)
            head += m_pending;
        SendHeadAndFile(head, -1, 0);
    }
}

void CSspResponse::SendRedirect(std::string_view url, bool permanent)
{
    if (!TakeAnswer())
        return;
    std::string head = "HTTP/1.0 ";
    head += permanent ? "301" : "302 Moved Temporarily";
    head += "\r\nLocation: ";
    head += CutAtLineBreak(url);
    head += "\r\n" + FormatCookieHeaders() + "Content-Length: 0\r\n\r\n";
    Echo(std::string(CMessageCatalog::Text(kMsgResponseHeader)) + head);
    SendHeadAndFile(head, -1, 0);
}

void CSspResponse::SendPlainErrorPage(std::string_view message)
{
    if (TakeAnswer())
        SendErrorBox(message);
}

void CSspResponse::SendErrorBox(std::string_view message)
{
    std::string box;
    box.reserve(kErrorBoxStart.size() + message.size() + kErrorBoxEnd.size());
    box.append(kErrorBoxStart).append(message).append(kErrorBoxEnd);
    SendHtml("Error", box);
}

void CSspResponse::SendHtml(std::string_view title, std::string_view body)
{
    std::string page = "<HTML>\r\n<HEAD><TITLE>";
    page.append(title).append("</TITLE></HEAD>\r\n<BODY>").append(body).append("</BODY>\r\n</HTML>\r\n");
    std::string response = "HTTP/1.0 ";
    response.append(EffectiveStatus()).append("\r\n");
    response +=
        JoinExtraHeaders() + "Content-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n";
    if (!m_headOnly)
        response += page;
    SendHeadAndFile(response, -1, 0);
}
