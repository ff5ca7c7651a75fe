#include "webserver/request_fields.h"

#include "foundation/ascii_text.h"
#include "foundation/url_encoding.h"

#include <cstring>
#include <new>
#include <utility>

namespace {

// Binary-safe search: an upload holds any bytes, NUL included.
std::size_t FindBytes(std::string_view haystack, std::string_view needle, std::size_t from)
{
    if (from > haystack.size() || haystack.size() - from < needle.size() || needle.empty())
        return std::string_view::npos;
    const void* found = memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
    if (found == nullptr)
        return std::string_view::npos;
    return static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
}

bool IsPartHeaderSeparator(char c)
{
    return c == ' ' || c == ';' || c == '=' || c == '\r' || c == '\n' || c == '"';
}

// The name and file name that the first header line of a part gives:
//   Content-Disposition: form-data; name="field"; filename="C:\My Files\a b.txt"
// The line is split into words at blanks, ';', '=' and '"'; the word after "name" is the field
// name. A file name runs to the next '=' or '"', so it may hold blanks and ';'.
struct PartNames
{
    std::string_view name;
    std::string_view fileName;
    bool found = false;
};

PartNames ReadPartNames(std::string_view line)
{
    auto nextWord = [line](std::size_t& position) {
        while (position < line.size() && IsPartHeaderSeparator(line[position]))
            ++position;
        const std::size_t start = position;
        while (position < line.size() && !IsPartHeaderSeparator(line[position]))
            ++position;
        return line.substr(start, position - start);
    };

    PartNames names;
    std::size_t position = 0;
    for (std::string_view word = nextWord(position); !word.empty(); word = nextWord(position)) {
        if (!EqualsNoCase(word, "name"))
            continue;
        names.name = nextWord(position);
        names.found = !names.name.empty();
        if (!names.found || !EqualsNoCase(nextWord(position), "filename"))
            return names;
        while (position < line.size() && line[position] == ' ')
            ++position;
        if (position < line.size() && line[position] == '=')
            ++position;
        while (position < line.size() && line[position] == ' ')
            ++position;
        if (position < line.size() && line[position] == '"')
            ++position;
        const std::size_t end = line.find_first_of("=\"\r\n", position);
        names.fileName = line.substr(position, end == std::string_view::npos ? end : end - position);
        return names;
    }
    return names;
}

}  // namespace

int CRequestFields::ReserveBody(std::size_t length)
{
    m_length = 0;
    if (m_capacity < length || !m_body) {
        m_body.reset();
        m_capacity = 0;
        if (length == static_cast<std::size_t>(-1))
            return 0;
        m_body.reset(new (std::nothrow) char[length + 1]);
        if (!m_body)
            return 0;
        m_capacity = length;
    }
    m_body[length] = '\0';
    return 1;
}

int CRequestFields::SetBody(std::string_view text)
{
    if (ReserveBody(text.size()) == 0)
        return 0;
    if (!text.empty())
        std::memcpy(m_body.get(), text.data(), text.size());
    m_length = text.size();
    return 1;
}

void CRequestFields::SetBodyLength(std::size_t length)
{
    m_length = length < m_capacity ? length : m_capacity;
    if (m_body)
        m_body[m_length] = '\0';
}

void CRequestFields::Parse()
{
    // A malformed part ends the form where it stands: the fields before it stay, and the page
    // judges what it got; a client's faulty body is no failure of the server to report.
    if (m_multipart)
        static_cast<void>(ParseMultipart());
    else
        ParseUrlEncoded();
    AddQueryFields();
}

void CRequestFields::AddQueryFields()
{
    if (m_query.empty())
        return;
    ValueMap query;
    AddUrlEncoded(query, m_query);
    // What the form sent is what the user typed; the action URL's field of the same name is older.
    for (auto& [name, value] : query)
        m_values.try_emplace(name, std::move(value));
}

int CRequestFields::ParseUrlEncoded()
{
    AddUrlEncoded(m_values, GetBody());
    return 1;
}

void CRequestFields::AddUrlEncoded(ValueMap& values, std::string_view text)
{
    std::size_t position = 0;
    while (position < text.size() && text[position] != '#') {
        // '&' separates only values: a name runs to the next '=' whatever it holds.
        const std::size_t equals = text.find('=', position);
        std::string_view name;
        std::string value;
        if (equals == std::string_view::npos) {
            name = text.substr(position);
            position = text.size();
        } else {
            name = text.substr(position, equals - position);
            std::size_t end = text.find_first_of("&#", equals + 1);
            if (end == std::string_view::npos)
                end = text.size();
            value = text.substr(equals + 1, end - equals - 1);
            position = end;
            if (position < text.size() && text[position] == '&')
                ++position;
        }
        UrlDecode(value);
        AddTo(values, name, value);
    }
}

int CRequestFields::ParseMultipart()
{
    const std::string_view body = GetBody();
    const std::size_t boundaryEnd = body.find_first_of("\r\n");
    const std::string_view boundary = body.substr(0, boundaryEnd);
    if (boundary.empty())
        return 0;
    const std::string delimiter = "\r\n" + std::string(boundary);
    std::size_t position = boundary.size();
    for (;;) {
        if (ParseOnePart(body, delimiter, position) == 0)
            return 0;
        // "--" after a delimiter closes the body; what follows is an epilogue, not a part.
        if (position >= body.size() || body.substr(position, 2) == "--")
            return 1;
    }
}

int CRequestFields::ParseOnePart(std::string_view body, std::string_view delimiter, std::size_t& position)
{
    while (position < body.size() && (body[position] == '\r' || body[position] == '\n'))
        ++position;
    std::size_t lineEnd = body.find_first_of("\r\n", position);
    if (lineEnd == std::string_view::npos)
        lineEnd = body.size();
    const PartNames names = ReadPartNames(body.substr(position, lineEnd - position));
    if (!names.found)
        return 0;
    const std::size_t blankLine = FindBytes(body, "\r\n\r\n", lineEnd);
    if (blankLine == std::string_view::npos)
        return 0;
    const std::size_t dataStart = blankLine + 4;
    const std::size_t delimiterAt = FindBytes(body, delimiter, dataStart);

    if (!names.fileName.empty()) {
        const std::string key = LowerAscii(names.name);
        m_values[key] = std::string(names.fileName);
        // A body cut short still yields the bytes that did arrive, up to where a delimiter
        // could have begun; never a range that ends before it starts.
        std::size_t dataEnd = delimiterAt;
        if (dataEnd == std::string_view::npos) {
            dataEnd = body.size() >= delimiter.size() ? body.size() - delimiter.size() : 0;
            if (dataEnd < dataStart)
                dataEnd = dataStart < body.size() ? dataStart : body.size();
        }
        m_uploads[key] = UploadRange{dataStart < dataEnd ? dataStart : dataEnd, dataEnd};
    } else if (delimiterAt != std::string_view::npos) {
        Add(names.name, body.substr(dataStart, delimiterAt - dataStart));
    }
    if (delimiterAt == std::string_view::npos)
        return 0;
    position = delimiterAt + delimiter.size();
    return 1;
}

bool CRequestFields::GetValue(std::string_view name, std::string& value) const
{
    const auto found = m_values.find(LowerAscii(name));
    if (found == m_values.end())
        return false;
    value = found->second;
    return true;
}

bool CRequestFields::Exists(std::string_view name) const
{
    return m_values.count(LowerAscii(name)) != 0;
}

int CRequestFields::GetLength(std::string_view name) const
{
    const auto found = m_values.find(LowerAscii(name));
    if (found == m_values.end())
        return 0;
    constexpr std::size_t kMaxInt = 0x7FFFFFFF;
    return static_cast<int>(found->second.size() < kMaxInt ? found->second.size() : kMaxInt);
}

void CRequestFields::Add(std::string_view name, std::string_view value)
{
    AddTo(m_values, name, value);
}

void CRequestFields::AddTo(ValueMap& values, std::string_view name, std::string_view value)
{
    value = TrimWhiteAscii(value);
    const auto [entry, inserted] = values.try_emplace(LowerAscii(name), value);
    if (inserted || value.empty())
        return;
    if (!entry->second.empty())
        entry->second += '\n';
    entry->second += value;
}

void CRequestFields::Set(std::string_view name, std::string_view value)
{
    m_values[LowerAscii(name)] = std::string(TrimWhiteAscii(value));
}

int CRequestFields::GetUploadedFile(std::string_view name, std::string& fileName,
                                    std::vector<unsigned char>& block) const
{
    const std::string key = LowerAscii(name);
    const auto value = m_values.find(key);
    if (value == m_values.end())
        return kUploadNoField;
    const auto range = m_uploads.find(key);
    if (range == m_uploads.end())
        return kUploadNoFileData;

    // Browsers send the whole client path ("C:\My Files\a b.txt") or just the name; keep the name.
    const std::string& sent = value->second;
    std::size_t cut = sent.rfind('\\');
    if (cut == std::string::npos)
        cut = sent.rfind('/');
    if (cut == std::string::npos)
        cut = sent.rfind(':');
    fileName = cut == std::string::npos ? sent : sent.substr(cut + 1);
    for (char& c : fileName) {
        if (c == ' ')
            c = '_';
    }

    const std::size_t end = range->second.end < m_length ? range->second.end : m_length;
    const std::size_t start = range->second.start < end ? range->second.start : end;
    const auto* bytes = reinterpret_cast<const unsigned char*>(m_body.get());
    if (block.capacity() < end - start)
        std::vector<unsigned char>().swap(block);
    try {
        block.assign(bytes + start, bytes + end);
    } catch (const std::bad_alloc&) {
        block.clear();
        return kUploadNoMemory;
    }
    return kUploadOk;
}
