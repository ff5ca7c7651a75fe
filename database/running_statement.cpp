#include "database/running_statement.h"

#include <sqlext.h>

#include "database/db_exception.h"

CRunningStatement& CRunningStatement::OfThisThread()
{
    thread_local CRunningStatement slot;
    return slot;
}

void CRunningStatement::Cancel()
{
    std::lock_guard guard(m_lock);
    m_cancelled = true;
    if (m_statement != SQL_NULL_HSTMT)
        SQLCancel(m_statement);
}

void CRunningStatement::EndCancel()
{
    std::lock_guard guard(m_lock);
    m_cancelled = false;
}

CRunningStatement::Execution::Execution(SQLHSTMT statement) : m_slot(OfThisThread())
{
    std::lock_guard guard(m_slot.m_lock);
    if (m_slot.m_cancelled)
        throw CDbException::Own("HY008", "Operation canceled.");
    m_slot.m_statement = statement;
}

CRunningStatement::Execution::~Execution()
{
    std::lock_guard guard(m_slot.m_lock);
    m_slot.m_statement = SQL_NULL_HSTMT;
}
