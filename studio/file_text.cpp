#include "studio/file_text.h"

#include <algorithm>
#include <array>
#include <unordered_map>

namespace {

// The length of the valid UTF-8 sequence at `at` (1 for ASCII), or 0 when the byte there does not
// begin one: no overlong forms, no surrogates, nothing above U+10FFFF.
int Utf8SequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto byte = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

char32_t DecodeSequence(const QByteArray& bytes, qsizetype at, int length)
{
    static constexpr std::array<unsigned char, 5> kLeadMask = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = static_cast<unsigned char>(bytes[at]) & kLeadMask[length];
    for (int i = 1; i < length; ++i)
        code = (code << 6) | (static_cast<unsigned char>(bytes[at + i]) & 0x3F);
    return code;
}

// Calls visit(code point, offset, length) for each character of the bytes: a valid UTF-8 sequence
// is one character, any other byte is the Latin-1 character of that value.
template <typename Visit>
void ForEachCharacter(const QByteArray& bytes, Visit visit)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = Utf8SequenceLength(bytes, at);
        if (length == 0) {
            visit(static_cast<char32_t>(static_cast<unsigned char>(bytes[at])), at, 1);
            ++at;
        } else {
            visit(DecodeSequence(bytes, at, length), at, length);
            at += length;
        }
    }
}

bool IsValidUtf8(const QByteArray& bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = Utf8SequenceLength(bytes, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// Characters that the editor takes as the end of a line, as it does line feeds and carriage
// returns: the paragraph separator and the two characters that mark frames in its document.
bool EndsEditorLine(char32_t code)
{
    return code == 0x2029 || code == 0xFDD0 || code == 0xFDD1;
}

void AppendCharacter(QString& text, char32_t code)
{
    if (code > 0xFFFF) {
        text.append(QChar::highSurrogate(code));
        text.append(QChar::lowSurrogate(code));
    } else {
        text.append(QChar(static_cast<char16_t>(code)));
    }
}

// A UTF-8 file, unless bytes that begin no UTF-8 sequence outnumber the sequences of two bytes or
// more: one stray byte in a UTF-8 page does not make it Latin-1, and neither does an odd pair of
// Latin-1 letters that happens to form a sequence.
CFileText::Encoding EncodingOf(const QByteArray& bytes)
{
    qsizetype sequences = 0;
    qsizetype strays = 0;
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = Utf8SequenceLength(bytes, at);
        sequences += length > 1;
        strays += length == 0;
        at += length == 0 ? 1 : length;
    }
    return strays > sequences ? CFileText::Encoding::kLatin1 : CFileText::Encoding::kUtf8;
}

}  // namespace

void CFileText::Read(const QByteArray& bytes)
{
    m_lines.clear();
    m_encoding = EncodingOf(bytes);
    // The line end that most lines have is the one for new lines; the first one seen wins a tie.
    std::vector<std::pair<QByteArray, int>> ends;
    qsizetype start = 0;
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        const char c = bytes[at];
        if (c != '\n' && c != '\r')
            continue;
        const qsizetype endLength = c == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n' ? 2 : 1;
        const QByteArray end = bytes.mid(at, endLength);
        AddLine(bytes.mid(start, at - start), end);
        auto seen = std::find_if(ends.begin(), ends.end(), [&end](const auto& entry) { return entry.first == end; });
        if (seen == ends.end())
            ends.emplace_back(end, 1);
        else
            ++seen->second;
        at += endLength - 1;
        start = at + 1;
    }
    AddLine(bytes.mid(start), QByteArray());
    m_lineEnd = "\n";
    int most = 0;
    for (const auto& [end, count] : ends) {
        if (count > most) {
            most = count;
            m_lineEnd = end;
        }
    }
}

bool CFileText::DecodesAsLatin1(const QByteArray& bytes) const
{
    return m_encoding == Encoding::kLatin1 && !IsValidUtf8(bytes);
}

void CFileText::AddLine(const QByteArray& bytes, const QByteArray& end)
{
    if (DecodesAsLatin1(bytes)) {
        m_lines.push_back({bytes, end, QString::fromLatin1(bytes)});
        return;
    }
    // A character that the editor takes as a line end ends a line here too, so that the editor's
    // lines and the file's stay one to one.
    QString text;
    qsizetype start = 0;
    ForEachCharacter(bytes, [&](char32_t code, qsizetype at, int length) {
        if (!EndsEditorLine(code)) {
            AppendCharacter(text, code);
            return;
        }
        m_lines.push_back({bytes.mid(start, at - start), bytes.mid(at, length), std::exchange(text, QString())});
        start = at + length;
    });
    m_lines.push_back({bytes.mid(start), end, text});
}

QString CFileText::Text() const
{
    QString text;
    for (const Line& line : m_lines) {
        if (&line != &m_lines.front())
            text += QLatin1Char('\n');
        text += line.text;
    }
    return text;
}

std::vector<int> CFileText::MatchLines(const QStringList& lines) const
{
    const qsizetype kept = static_cast<qsizetype>(m_lines.size());
    std::vector<int> match(static_cast<std::size_t>(lines.size()), -1);
    // Lines before and after the changed part keep their places.
    qsizetype head = 0;
    while (head < kept && head < lines.size() && m_lines[head].text == lines[head]) {
        match[head] = static_cast<int>(head);
        ++head;
    }
    qsizetype tail = 0;
    while (tail < kept - head && tail < lines.size() - head &&
           m_lines[kept - 1 - tail].text == lines[lines.size() - 1 - tail]) {
        match[lines.size() - 1 - tail] = static_cast<int>(kept - 1 - tail);
        ++tail;
    }
    // In the changed part, each line takes the next unused file line with its text, in order:
    // lines moved, copied or left between changed ones keep their bytes.
    struct Candidates
    {
        std::vector<int> lines;
        std::size_t next = 0;
    };
    std::unordered_map<QString, Candidates> byText;
    for (qsizetype i = head; i < kept - tail; ++i)
        byText[m_lines[i].text].lines.push_back(static_cast<int>(i));
    for (qsizetype i = head; i < lines.size() - tail; ++i) {
        auto found = byText.find(lines[i]);
        if (found != byText.end() && found->second.next < found->second.lines.size())
            match[i] = found->second.lines[found->second.next++];
    }
    return match;
}

QByteArray CFileText::EncodeLine(const QString& text, bool& foreign) const
{
    // A line break typed with Shift+Enter is a line end in the file.
    QString line = text;
    line.replace(QChar::LineSeparator, QString::fromLatin1(m_lineEnd));
    foreign = false;
    if (m_encoding == Encoding::kUtf8)
        return line.toUtf8();
    for (QChar c : line) {
        if (c.unicode() > 0xFF) {
            foreign = true;
            return line.toUtf8();
        }
    }
    return line.toLatin1();
}

CFileText::Encoded CFileText::Encode(const QStringList& lines) const
{
    Encoded encoded;
    const std::vector<int> match = MatchLines(lines);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool last = i + 1 == lines.size();
        Line line;
        line.text = lines[i];
        if (match[i] >= 0) {
            const Line& kept = m_lines[match[i]];
            line.bytes = kept.bytes;
            line.end = last ? QByteArray() : kept.end.isEmpty() ? m_lineEnd : kept.end;
        } else {
            bool foreign = false;
            line.bytes = EncodeLine(line.text, foreign);
            line.end = last ? QByteArray() : m_lineEnd;
            if (foreign)
                encoded.foreignLines.push_back(static_cast<int>(i + 1));
        }
        encoded.bytes += line.bytes;
        encoded.bytes += line.end;
        encoded.lines.push_back(std::move(line));
    }
    return encoded;
}

void CFileText::Commit(Encoded encoded)
{
    m_lines = std::move(encoded.lines);
}

std::pair<int, qsizetype> CFileText::LineAndColumnOfByteOffset(long long offset) const
{
    long long start = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (offset < start + line.bytes.size()) {
            const QByteArray part = line.bytes.left(static_cast<qsizetype>(offset - start));
            if (DecodesAsLatin1(line.bytes))
                return {static_cast<int>(i), part.size()};
            qsizetype column = 0;
            ForEachCharacter(part, [&column](char32_t code, qsizetype, int) { column += code > 0xFFFF ? 2 : 1; });
            return {static_cast<int>(i), column};
        }
        start += line.bytes.size() + line.end.size();
        if (offset < start)
            return {static_cast<int>(i), line.text.size()};
    }
    if (m_lines.empty())
        return {0, 0};
    return {static_cast<int>(m_lines.size() - 1), m_lines.back().text.size()};
}
