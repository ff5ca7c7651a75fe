#include "webserver/ssp_request.h"

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "foundation/url_encoding.h"
#include "network/tcp_socket.h"
#include "platform/file_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>

namespace {

std::atomic<bool> g_httpsHint{false};

constexpr std::int64_t kBytesPerMegabyte = 1048576;
// Recv counts in int; a large body is read in pieces of at most this size.
constexpr std::int64_t kBodyPiece = 1 << 30;

// The next word of `text` from `position`, words being separated by runs of the bytes in
// `separators`; "" at the end of the text.
std::string_view NextWord(std::string_view text, std::size_t& position, std::string_view separators)
{
    position = text.find_first_not_of(separators, position);
    if (position == std::string_view::npos) {
        position = text.size();
        return {};
    }
    const std::size_t start = position;
    position = text.find_first_of(separators, start);
    if (position == std::string_view::npos)
        position = text.size();
    return text.substr(start, position - start);
}

// A URL holding control bytes is refused: a NUL would cut the file name that the operating system
// sees short of the extension that the dispatcher judged ("/x.twp\0.gif" would send a template's
// source), and a line feed would reach the Location header of a redirect. The path is never
// percent-decoded, but an encoded control byte in it is refused too, so that no later decoding
// can bring one back.
bool HasControlBytes(std::string_view fullUrl, std::string_view urlPath)
{
    for (const char c : fullUrl) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    for (std::size_t percent = urlPath.find('%'); percent != std::string_view::npos;
         percent = urlPath.find('%', percent + 1)) {
        if (urlPath.size() - percent < 3)
            break;
        const std::string_view digits = urlPath.substr(percent + 1, 2);
        const unsigned char byte = HexToByte(digits);
        if (IsHexDigitAscii(digits[0]) && IsHexDigitAscii(digits[1]) && (byte < 0x20 || byte == 0x7F))
            return true;
    }
    return false;
}

// Only the last segment can hold the extension: "/a.b/c" has none.
std::string ExtensionOf(std::string_view urlPath)
{
    const std::size_t segment = urlPath.find_last_of("/\\");
    const std::size_t dot = urlPath.rfind('.');
    if (dot == std::string_view::npos || (segment != std::string_view::npos && dot < segment))
        return {};
    return std::string(urlPath.substr(dot + 1));
}

bool HasAttachmentSegment(std::string_view urlPath)
{
    std::size_t position = 0;
    for (std::string_view segment = NextWord(urlPath, position, "/\\"); !segment.empty();
         segment = NextWord(urlPath, position, "/\\")) {
        if (EqualsNoCase(segment, "FileDB") || EqualsNoCase(segment, "FileInDB"))
            return true;
    }
    return false;
}

// What a Content-Length word says: a length, none (the word begins with no digit, or the number
// is negative, so it is answered as a missing header), or one too large for any body (beyond the
// 64-bit range, which must not wrap around to a small size).
enum class LengthWord
{
    kLength,
    kNone,
    kTooLarge
};

// The leading decimal number of a Content-Length word, as atoi reads it, but in 64 bits.
LengthWord ParseContentLength(std::string_view word, std::int64_t& length)
{
    std::size_t position = 0;
    if (position < word.size() && word[position] == '+')
        ++position;
    if (position >= word.size() || word[position] < '0' || word[position] > '9')
        return LengthWord::kNone;
    std::int64_t value = 0;
    for (; position < word.size() && word[position] >= '0' && word[position] <= '9'; ++position) {
        const int digit = word[position] - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return LengthWord::kTooLarge;
        value = value * 10 + digit;
    }
    length = value;
    return LengthWord::kLength;
}

// The decimal value of a word's first character; 0 when it is no digit or the word is empty.
int FirstDigitValue(std::string_view word)
{
    return !word.empty() && word[0] >= '0' && word[0] <= '9' ? word[0] - '0' : 0;
}

// Bounds every wait of the connection by the request's deadline for as long as it is read.
class CRequestDeadline
{
public:
    CRequestDeadline(CTcpSocket& connection, std::chrono::steady_clock::time_point deadline, int seconds)
        : m_connection(connection)
    {
        // A blocking socket would wait for a silent peer forever, deadline or not.
        // When the wait cannot be bounded (logged) the connection is closed instead, so the
        // request fails at its first read.
        if (m_connection.GetTimeout() <= 0 && !m_connection.SetTimeout(seconds))
            m_connection.Close();
        m_connection.SetDeadline(deadline);
    }
    ~CRequestDeadline() { m_connection.ClearDeadline(); }
    CRequestDeadline(const CRequestDeadline&) = delete;
    CRequestDeadline& operator=(const CRequestDeadline&) = delete;

private:
    CTcpSocket& m_connection;
};

}  // namespace

CSspRequest::CSspRequest(CTcpSocket* connection) : m_connection(connection)
{}

void CSspRequest::EnableHttpsHint(bool on)
{
    g_httpsHint.store(on);
}

int CSspRequest::Parse()
{
    if (m_connection == nullptr)
        return kParseNoConnection;
    using Clock = std::chrono::steady_clock;
    // The time limits count from the connection's arrival: the head may have come long before
    // the request found a thread.
    const Clock::time_point arrived = m_connection->GetArrivalTime();
    const Clock::time_point start = arrived == Clock::time_point{} ? Clock::now() : arrived;
    m_deadline = start + std::chrono::seconds(m_limits.requestSeconds);
    const CRequestDeadline bound(*m_connection, m_deadline, m_limits.requestSeconds);
    // Nothing is logged for a connection that never sends: browsers open spare connections that
    // they may never use.
    if (!m_connection->WaitForInput(std::min(m_deadline, start + std::chrono::seconds(m_limits.firstByteSeconds))))
        return kParseBroken;
    const int result = ReadHead();
    if (result != kParseOk)
        return result;
    if (m_addressTooLong)
        return kParseAddressTooLong;
    if (m_invalidAddress)
        return kParseInvalidAddress;
    if (!EqualsNoCase(m_method, "POST"))
        return kParseOk;
    return ReadBody();
}

int CSspRequest::ReadHead()
{
    char line[kLineBufferSize];
    bool requestLineRead = false;
    std::size_t headBytes = 0;
    int lineCount = 0;
    for (;;) {
        int length = 0;
        int result = m_connection->ReadLine(line, kLineBufferSize, &length);
        if (result == -1) {
            // A request line cut at the buffer would leave the request without its address, and
            // the next header line would be read as the request line: the request is refused, its
            // head read to the end so that the answer reaches the client.
            const bool isRequestLine = !requestLineRead;
            if (isRequestLine)
                m_addressTooLong = requestLineRead = true;
            TheLog().WriteLine(isRequestLine ? "Request line too long [%s] refused." : "Long header [%s] ignored.",
                               PrintableForLog(line).c_str());
            result = SkipRestOfLine(line, headBytes);
            if (result >= 0)
                result = -1;
        }
        if (result == -2 || result == -3) {
            if (result == -2 && !requestLineRead && g_httpsHint.load() &&
                std::string_view("GPgp").find(line[0]) == std::string_view::npos)
                TheLog().WriteLine("\r\nYou may be trying to access this regular web server using https://.... "
                                   "Try using http://... in your browser.");
            return kParseBroken;
        }
        headBytes += static_cast<std::size_t>(length) + 2;
        if (headBytes > kMaxHeadBytes || ++lineCount > kMaxHeadLines || std::chrono::steady_clock::now() > m_deadline) {
            TheLog().WriteLine("Request head over %zu bytes, %d lines or %d seconds refused.", kMaxHeadBytes,
                               kMaxHeadLines, m_limits.requestSeconds);
            return kParseBroken;
        }
        if (result == -1)
            continue;
        if (result == 0)
            return kParseOk;
        const std::string_view text(line, static_cast<std::size_t>(length));
        if (!requestLineRead) {
            requestLineRead = true;
            ReadRequestLine(text);
        } else {
            m_allHeaders.append(text).append("\r\n");
            ReadHeaderLine(text);
        }
    }
}

int CSspRequest::SkipRestOfLine(char* buffer, std::size_t& headBytes)
{
    // The tail of an over-long line is no header of its own: a long value must not pose as
    // Content-Length or Cookie from its 4096th byte on.
    for (;;) {
        int length = 0;
        const int result = m_connection->ReadLine(buffer, kLineBufferSize, &length);
        headBytes += static_cast<std::size_t>(length);
        if (result != -1)
            return result;
        if (headBytes > kMaxHeadBytes)
            return 0;
    }
}

int CSspRequest::ReadBody()
{
    const std::int64_t limit = static_cast<std::int64_t>(TheServerConfig().m_maxUpload) * kBytesPerMegabyte;
    if (m_contentLengthRefused || m_contentLength > limit)
        return kParseTooLarge;
    if (m_contentLength < 0)
        return kParseNoContentLength;
    const auto length = static_cast<std::size_t>(m_contentLength);
    if (m_fields.ReserveBody(length) == 0)
        return kParseNoMemory;
    const int result = ReceiveBody(m_fields.GetBodyBuffer(), m_contentLength);
    if (result == kParseOk)
        m_fields.SetBodyLength(length);
    return result;
}

int CSspRequest::ReceiveBody(char* buffer, std::int64_t length)
{
    using Clock = std::chrono::steady_clock;
    const auto window = std::chrono::seconds(m_limits.rateWindowSeconds);
    Clock::time_point deadline = m_deadline;
    // The window that ends at the deadline, and the count of bytes that had arrived as it began
    // (-1 until then): the deadline moves on by a window only when that window brought enough.
    Clock::time_point windowStart = deadline - window;
    std::int64_t windowStartCount = -1;
    std::int64_t received = 0;
    while (received < length) {
        const Clock::time_point now = Clock::now();
        if (windowStartCount < 0 && now >= windowStart)
            windowStartCount = received;
        if (now >= deadline) {
            if (received - windowStartCount < m_limits.minBytesPerWindow) {
                TheLog().WriteLine("Request body from %s came slower than %d bytes in %d seconds; connection closed.",
                                   m_connection->GetPeerAddress().c_str(), m_limits.minBytesPerWindow,
                                   m_limits.rateWindowSeconds);
                return kParseBroken;
            }
            windowStart = deadline;
            windowStartCount = received;
            deadline += window;
            continue;
        }
        // Every wait of the socket, the ones inside a TLS record too, ends at the deadline.
        m_connection->SetDeadline(deadline);
        const Clock::time_point wakeAt = windowStartCount < 0 ? windowStart : deadline;
        if (!m_connection->WaitForInput(wakeAt)) {
            if (Clock::now() < wakeAt)
                return kParseBroken;
            continue;
        }
        const int got =
            m_connection->Recv(buffer + received, static_cast<int>(std::min(length - received, kBodyPiece)));
        if (got <= 0)
            return kParseBroken;
        received += got;
    }
    return kParseOk;
}

void CSspRequest::ReadRequestLine(std::string_view line)
{
    m_allHeaders.assign(line).append("\r\n");
    std::size_t position = 0;
    m_method = NextWord(line, position, " ");
    m_fullUrl = NextWord(line, position, " ");
    // The file is named by the path before '?' whatever the method, so that a form posting to
    // "edit.twp?id=100" runs edit.twp. A GET's query is its only form data; the query of any
    // other method adds its fields to those of the body.
    const std::size_t query = m_fullUrl.find('?');
    m_urlPath = m_fullUrl.substr(0, query);
    if (query != std::string::npos) {
        const std::string_view queryText = std::string_view(m_fullUrl).substr(query + 1);
        // HEAD asks for what GET would answer, so its query is read as GET reads it.
        if (EqualsNoCase(m_method, "GET") || EqualsNoCase(m_method, "HEAD"))
            // A query is no longer than its header line, so only an exhausted heap refuses it;
            // the page then sees no fields.
            static_cast<void>(m_fields.SetBody(queryText));
        else
            m_fields.SetQuery(queryText);
    }
    m_extension = ExtensionOf(m_urlPath);
    m_attachment = HasAttachmentSegment(m_urlPath);
    m_invalidAddress = HasControlBytes(m_fullUrl, m_urlPath);
    if (!m_attachment && !m_invalidAddress)
        m_filePath = MapUrlToFile(m_urlPath);
}

void CSspRequest::ReadHeaderLine(std::string_view line)
{
    const std::size_t nameEnd = std::min(line.find_first_of(" :;"), line.size());
    const std::string_view name = line.substr(0, nameEnd);
    const std::string_view rest = line.substr(nameEnd);

    if (EqualsNoCase(name, "Content-Length")) {
        ReadContentLength(rest);
        return;
    }
    if (EqualsNoCase(name, "Content-Type")) {
        std::size_t position = 0;
        if (EqualsNoCase(NextWord(rest, position, " :;"), "multipart/form-data") && EqualsNoCase(m_method, "POST"))
            m_fields.SetMultipart(true);
        return;
    }
    const std::size_t valueStart = std::min(rest.find_first_not_of(": "), rest.size());
    const std::string_view value = rest.substr(valueStart);
    if (EqualsNoCase(name, "Cookie"))
        ReadCookies(value);
    else if (EqualsNoCase(name, "User-Agent"))
        DetectBrowser(value);
    else if (EqualsNoCase(name, "Host"))
        m_host = value;
    else if (EqualsNoCase(name, "Referer"))
        m_referer = value;
    else if (EqualsNoCase(name, "Via"))
        m_via = value;
}

void CSspRequest::ReadContentLength(std::string_view rest)
{
    std::size_t position = 0;
    std::int64_t length = 0;
    const LengthWord word = ParseContentLength(NextWord(rest, position, " :;"), length);
    m_contentLengthRefused = word == LengthWord::kTooLarge;
    m_contentLength = word == LengthWord::kLength ? length : -1;
}

void CSspRequest::ReadCookies(std::string_view text)
{
    std::size_t position = 0;
    for (std::string_view piece = NextWord(text, position, " ;"); !piece.empty();
         piece = NextWord(text, position, " ;")) {
        const std::size_t equals = piece.find('=');
        if (equals == 0 || equals == std::string_view::npos)
            continue;
        std::string value(piece.substr(equals + 1));
        UrlDecode(value);
        m_cookies[std::string(piece.substr(0, equals))] = std::move(value);
    }
}

void CSspRequest::DetectBrowser(std::string_view userAgent)
{
    constexpr std::string_view kSeparators = "/. (;)";
    std::size_t position = 0;
    const std::string_view type = NextWord(userAgent, position, kSeparators);
    m_browserType = type == "Mozilla" ? std::string("Navigator") : std::string(type);
    m_browserMajor = ParseInt32(NextWord(userAgent, position, kSeparators));
    m_browserMinor = FirstDigitValue(NextWord(userAgent, position, kSeparators));
    for (std::string_view word = NextWord(userAgent, position, kSeparators); !word.empty();
         word = NextWord(userAgent, position, kSeparators)) {
        if (word == "MSIE") {
            m_browserType = "MSIE";
            m_browserMajor = ParseInt32(NextWord(userAgent, position, kSeparators));
            m_browserMinor = FirstDigitValue(NextWord(userAgent, position, kSeparators));
            return;
        }
    }
}

bool CSspRequest::GetField(std::string_view name, std::string& value) const
{
    return m_fields.GetValue(name, value);
}

int CSspRequest::GetUploadedFile(std::string_view name, std::string& fileName, std::vector<unsigned char>& block) const
{
    static_assert(kUploadOk == CRequestFields::kUploadOk && kUploadNoFileData == CRequestFields::kUploadNoFileData &&
                  kUploadNoMemory == CRequestFields::kUploadNoMemory &&
                  kUploadNoField == CRequestFields::kUploadNoField);
    return m_fields.GetUploadedFile(name, fileName, block);
}

std::string CSspRequest::GetCookie(std::string_view name) const
{
    const auto found = m_cookies.find(std::string(name));
    return found == m_cookies.end() ? std::string() : found->second;
}

std::string CSspRequest::GetClientAddress() const
{
    return m_connection != nullptr ? m_connection->GetPeerAddress() : std::string();
}

bool CSspRequest::HasClientLeft() const
{
    return m_connection != nullptr && m_connection->HasPeerLeft();
}

bool CSspRequest::IsHeadComplete(std::string_view bytes)
{
    bool lineEmpty = true;
    bool afterCr = false;
    for (const char c : bytes) {
        if (afterCr) {
            afterCr = false;
            // A CR followed by anything but LF is dropped with that byte, as ReadLine does.
            if (c != '\n')
                continue;
            if (lineEmpty)
                return true;
            lineEmpty = true;
        } else if (c == '\r') {
            afterCr = true;
        } else {
            lineEmpty = false;
        }
    }
    return false;
}

std::string CSspRequest::GetUrlFolder() const
{
    const std::size_t slash = m_urlPath.rfind('/');
    return slash == std::string::npos ? std::string("/") : m_urlPath.substr(0, slash + 1);
}

std::string CSspRequest::MapUrlToFile(std::string_view urlPath)
{
    std::string path(urlPath);
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string file = GetProgramDirectory() + "/webroot";
    if (!path.empty() && path[0] != '/')
        file += '/';
    return file + path;
}
