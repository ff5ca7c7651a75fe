#include "mail/transfer_body.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "mail/email_in.h"

namespace {

constexpr const char* kQuotedPrintableHeader = "Content-Transfer-Encoding: quoted-printable";

// The header that begins "Name:" (any case) with its continuation lines joined on, and the index
// of its first line; "" and the count of lines when there is none.
std::string FindHeader(const std::vector<std::string>& lines, std::string_view nameAndColon, std::size_t& index)
{
    for (index = 0; index < lines.size(); ++index) {
        if (!StartsWithNoCase(lines[index], nameAndColon))
            continue;
        std::string header = lines[index];
        for (std::size_t next = index + 1;
             next < lines.size() && (lines[next].starts_with(' ') || lines[next].starts_with('\t')); ++next)
            header += lines[next];
        return header;
    }
    return {};
}

// 7bit, 8bit and binary, or none at all: the bytes stand as they are.
bool IsUnencoded(std::string_view header)
{
    const std::size_t colon = header.find(':');
    const std::string_view value = TrimWhiteAscii(colon == std::string_view::npos ? "" : header.substr(colon + 1));
    return value.empty() || EqualsNoCase(value, "7bit") || EqualsNoCase(value, "8bit") || EqualsNoCase(value, "binary");
}

bool NeedsEncoding(std::string_view content, bool eightBitMime)
{
    std::size_t length = 0;
    for (char c : content) {
        if (c == '\n') {
            length = 0;
            continue;
        }
        if (c != '\r' && ++length > kMaxSmtpLineBytes)
            return true;
        if (!eightBitMime && static_cast<unsigned char>(c) >= 0x80)
            return true;
    }
    return false;
}

// Encodes `content` into `encoded` when it has to be and its headers let it be, and names the
// encoding in `headers`; false when the content goes as it is.
bool EncodeEntity(std::vector<std::string>& headers, std::string_view content, bool eightBitMime, std::string& encoded)
{
    std::size_t at = 0;
    // A multipart or message entity may only be 7bit, 8bit or binary; its own parts are encoded.
    const std::string type = GetMediaType(FindHeader(headers, "Content-Type:", at));
    if (StartsWithNoCase(type, "multipart/") || StartsWithNoCase(type, "message/"))
        return false;
    const std::string encoding = FindHeader(headers, "Content-Transfer-Encoding:", at);
    if (!IsUnencoded(encoding) || !NeedsEncoding(content, eightBitMime))
        return false;
    if (at < headers.size())
        headers[at] = kQuotedPrintableHeader;
    else
        headers.emplace_back(kQuotedPrintableHeader);
    QuotedPrintableEncode(content, encoded);
    return true;
}

std::string_view WithoutLineEnd(std::string_view line)
{
    if (line.ends_with('\n'))
        line.remove_suffix(1);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

// The next line of `text` at `at`, with its line end; `at` moves past it.
std::string_view NextLine(std::string_view text, std::size_t& at)
{
    const std::size_t end = text.find('\n', at);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(at, next - at);
    at = next;
    return line;
}

// One part of a multipart body (header lines, an empty line, the content) with its content
// encoded where it has to be; as it stands when it is no such part.
std::string FormatPart(std::string_view part, bool eightBitMime)
{
    std::vector<std::string> headers;
    std::size_t at = 0;
    for (;;) {
        if (part.find('\n', at) == std::string_view::npos)
            return std::string(part);
        const std::string_view line = WithoutLineEnd(NextLine(part, at));
        if (line.empty())
            break;
        headers.emplace_back(line);
    }
    std::string encoded;
    if (!EncodeEntity(headers, part.substr(at), eightBitMime, encoded))
        return std::string(part);
    std::string out;
    for (const std::string& header : headers)
        out += header + "\r\n";
    out += "\r\n";
    out += encoded;
    return out;
}

// A multipart body with each of its parts formatted by FormatPart; the preamble, the delimiter
// lines and the epilogue stay.
std::string FormatMultipart(std::string_view body, std::string_view boundary, bool eightBitMime)
{
    const std::string delimiter = "--" + std::string(boundary);
    std::string out;
    std::string part;
    bool inPart = false;
    bool closed = false;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::string_view line = NextLine(body, at);
        const std::string_view bare = WithoutLineEnd(line);
        const std::string_view rest = TrimWhiteAscii(bare.substr(std::min(bare.size(), delimiter.size())));
        if (closed || !bare.starts_with(delimiter) || !(rest.empty() || rest == "--")) {
            (inPart ? part : out) += line;
            continue;
        }
        if (inPart) {
            // The line break before a delimiter belongs to the delimiter, not to the part.
            std::string_view content(part);
            content.remove_suffix(part.size() - WithoutLineEnd(content).size());
            out += FormatPart(content, eightBitMime);
            out.append(part, content.size());
        }
        out += line;
        closed = rest == "--";
        inPart = !closed;
        part.clear();
    }
    // A part that no delimiter ended stays as it is.
    out += part;
    return out;
}

// Every line ended by CR LF, whether it ended in CR LF, in LF alone or, the last, not at all.
std::string CanonicalLines(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    std::size_t at = 0;
    while (at < text.size()) {
        out += WithoutLineEnd(NextLine(text, at));
        out += "\r\n";
    }
    return out;
}

}  // namespace

std::string FormatTransferBody(std::vector<std::string>& headerLines, std::string_view body, bool eightBitMime)
{
    std::size_t at = 0;
    const std::string type = FindHeader(headerLines, "Content-Type:", at);
    if (StartsWithNoCase(GetMediaType(type), "multipart/")) {
        const std::string boundary = GetHeaderParam(type, "boundary");
        return CanonicalLines(boundary.empty() ? std::string(body) : FormatMultipart(body, boundary, eightBitMime));
    }
    std::string encoded;
    if (!EncodeEntity(headerLines, body, eightBitMime, encoded))
        return CanonicalLines(body);
    FindHeader(headerLines, "MIME-Version:", at);
    if (at == headerLines.size())
        headerLines.emplace_back("MIME-Version: 1.0");
    // The data must end with a line break; a soft one adds nothing to the decoded text.
    if (!encoded.empty() && !encoded.ends_with("\r\n"))
        encoded += "=\r\n";
    return encoded;
}
