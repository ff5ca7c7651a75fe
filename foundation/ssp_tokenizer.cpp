#include "foundation/ssp_tokenizer.h"

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <cstring>

CSspTokenizer::CSspTokenizer(const char* text, const char* delimiters, bool copy)
{
    SetText(text, delimiters, copy);
}

CSspTokenizer::CSspTokenizer(const CSspTokenizer& other)
{
    *this = other;
}

CSspTokenizer& CSspTokenizer::operator=(const CSspTokenizer& other)
{
    if (this == &other)
        return *this;
    m_ownText = other.m_ownText;
    m_ownDelimiters = other.m_ownDelimiters;
    m_copied = other.m_copied;
    m_position = other.m_position;
    if (m_copied) {
        // The other tokenizer's pointers lead into its own strings, which this copy must not share.
        m_text = m_ownText.c_str();
        m_delimiters = other.m_delimiters ? m_ownDelimiters.c_str() : nullptr;
    } else {
        m_text = other.m_text;
        m_delimiters = other.m_delimiters;
    }
    return *this;
}

void CSspTokenizer::SetText(const char* text, const char* delimiters, bool copy)
{
    m_copied = text && copy;
    if (m_copied) {
        m_ownText = text;
        m_ownDelimiters = delimiters ? delimiters : "";
        m_text = m_ownText.c_str();
        m_delimiters = delimiters ? m_ownDelimiters.c_str() : nullptr;
    } else {
        m_ownText.clear();
        m_ownDelimiters.clear();
        m_text = text;
        m_delimiters = delimiters;
    }
    m_position = 0;
}

void CSspTokenizer::SetPosition(int index)
{
    // Reading starts at m_text[m_position]; a position beyond the terminating NUL would read past
    // the caller's buffer.
    if (index < 0 || !m_text) {
        m_position = 0;
        return;
    }
    const size_t length = std::strlen(m_text);
    m_position = static_cast<size_t>(index) > length ? static_cast<int>(length) : index;
}

bool CSspTokenizer::IsDelimiter(char c) const
{
    // strchr would find the terminator itself, so NUL is ruled out first.
    return c != '\0' && m_delimiters && std::strchr(m_delimiters, c) != nullptr;
}

void CSspTokenizer::SkipChars(const char* set)
{
    if (!m_text || !m_delimiters || !set)
        return;
    while (CurrentChar() != '\0' && std::strchr(set, CurrentChar()))
        ++m_position;
}

std::string CSspTokenizer::NextPart()
{
    std::string part;
    if (!m_text || !m_delimiters)
        return part;
    const int start = m_position;
    if (IsDelimiter(CurrentChar())) {
        while (IsDelimiter(CurrentChar()))
            ++m_position;
    } else {
        while (CurrentChar() != '\0' && !IsDelimiter(CurrentChar()))
            ++m_position;
    }
    part.assign(m_text + start, static_cast<size_t>(m_position - start));
    return part;
}

std::string CSspTokenizer::NextToken()
{
    if (m_text && IsDelimiter(CurrentChar()))
        NextPart();
    return NextPart();
}

std::string CSspTokenizer::NextTokenWith(const char* delimiters)
{
    const char* own = m_delimiters;
    m_delimiters = delimiters;
    std::string token = NextToken();
    m_delimiters = own;
    return token;
}

void CSspTokenizer::CallMethod(const std::string& method, int position, CSspValue& result)
{
    if (method == "NextToken")
        result.SetString(NextToken());
    else if (method == "NextPart")
        result.SetString(NextPart());
    else
        throw CSspException(CMessageCatalog::Text(kMsgUnknownTokenizerField) + method, position);
}
