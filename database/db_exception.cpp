#include "database/db_exception.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// Splits a driver message "[unixODBC][Driver Manager]Text" into its bracketed origin and the text.
std::pair<std::string, std::string> SplitOrigin(std::string_view message)
{
    size_t pos = 0;
    while (pos < message.size() && message[pos] == '[') {
        size_t close = message.find(']', pos);
        if (close == std::string_view::npos)
            break;
        pos = close + 1;
    }
    return {std::string(message.substr(0, pos)), std::string(message.substr(pos))};
}

std::string StateLine(const char* state, SQLINTEGER native, const std::string& origin)
{
    char head[64];
    std::snprintf(head, sizeof head, "State:%.5s,Native:%d,Origin:", state, static_cast<int>(native));
    return head + origin;
}

}  // namespace

CDbException::CDbException(SQLRETURN retCode, std::string errorText, std::string stateText)
    : m_retCode(retCode), m_errorText(std::move(errorText)), m_stateText(std::move(stateText))
{}

CDbException CDbException::FromHandle(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN retCode,
                                      std::string_view call)
{
    std::string errorText, stateText;
    if (handle != SQL_NULL_HANDLE && retCode != SQL_INVALID_HANDLE) {
        for (SQLSMALLINT record = 1;; ++record) {
            // One generous buffer per record: asking for the length first confuses drivers that
            // hand the rest of a cut message out as the next record.
            SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
            SQLINTEGER native = 0;
            SQLSMALLINT length = 0;
            std::string message(8192, '\0');
            SQLRETURN rc =
                SQLGetDiagRec(handleType, handle, record, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                              static_cast<SQLSMALLINT>(message.size()), &length);
            if (!OdbcSucceeded(rc))
                break;
            message.resize(std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1));
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
                message.pop_back();
            auto [origin, text] = SplitOrigin(message);
            if (!errorText.empty())
                errorText += '\n';
            errorText += text;
            if (!stateText.empty())
                stateText += '\n';
            stateText += StateLine(reinterpret_cast<const char*>(state), native, origin);
        }
    }
    if (errorText.empty() && stateText.empty())
        errorText = std::string(call) + " failed with return code " + std::to_string(retCode);
    return CDbException(retCode, std::move(errorText), std::move(stateText));
}

CDbException CDbException::Own(std::string_view state, std::string text)
{
    return CDbException(SQL_ERROR, std::move(text), StateLine(std::string(state).c_str(), 0, "[Tarnwick]"));
}

bool CDbException::HasState(std::string_view state) const
{
    std::string needle = ":";
    needle += state;
    return m_stateText.find(needle) != std::string::npos;
}

const char* CDbException::what() const noexcept
{
    if (m_what.empty())
        m_what = m_errorText.empty() ? m_stateText : m_errorText;
    return m_what.c_str();
}
