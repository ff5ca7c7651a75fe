// CDbException: a failure reported by the ODBC driver manager or a driver, kept the way the
// data-source and recordset code inspect it: the return code, the message texts, and one
// "State:%s,Native:%d,Origin:%s" line per diagnostic record, so that callers test for a state
// with a substring such as ":08S01". Thrown by the ODBC layer; mapped to CSspException where a
// data-source command, a recordset or an attachment download runs.
#pragma once

#include <sql.h>

#include <exception>
#include <string>
#include <string_view>

class CDbException : public std::exception
{
public:
    CDbException(SQLRETURN retCode, std::string errorText, std::string stateText);

    // Reads every diagnostic record of the handle. With no record (SQL_INVALID_HANDLE, or a driver
    // that reports nothing) the error text names the failed call instead.
    static CDbException FromHandle(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN retCode, std::string_view call);

    // A failure found by our own layer (no driver record), reported with an ODBC state.
    static CDbException Own(std::string_view state, std::string text);

    SQLRETURN RetCode() const { return m_retCode; }
    // Messages without their "[vendor][driver]" origin prefixes, one line per record.
    const std::string& ErrorText() const { return m_errorText; }
    // One "State:%s,Native:%d,Origin:%s" line per record, joined by "\n".
    const std::string& StateText() const { return m_stateText; }
    // True when the state text holds ":" followed by the state (also matches a native code).
    bool HasState(std::string_view state) const;

    // Appends to the error text (recordset code adds " for SetQueryTimeout" and the like).
    void AppendErrorText(std::string_view text)
    {
        m_errorText += text;
        m_what.clear();
    }

    const char* what() const noexcept override;

private:
    SQLRETURN m_retCode;
    std::string m_errorText;
    std::string m_stateText;
    mutable std::string m_what;
};

// Failures that the recordset code finds itself, reported as the exception's return code with no
// driver record. A lost race on an edited row shows as kDbNoRowsAffected.
constexpr SQLRETURN kDbNoCurrentRecord = 1007;
constexpr SQLRETURN kDbNoRowsAffected = 1008;
constexpr SQLRETURN kDbRecordsetReadOnly = 1009;

// True for the return codes that mean the call did its work: SQL_SUCCESS, SQL_SUCCESS_WITH_INFO.
inline bool OdbcSucceeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}
