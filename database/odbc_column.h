// COdbcColumn: a result column as the driver describes it; statements describe their results
// with it, and connections keep the descriptions that column probes learnt.
#pragma once

#include <sql.h>

#include <string>

// A result column as the driver describes it.
struct COdbcColumn
{
    std::string name;
    SQLSMALLINT odbcType = 0;  // as the driver reports it (ODBC 3 codes)
    std::string typeName;      // the DBMS's own name of the type ("varchar", "TEXT")
    int sqlType = 0;           // mapped onto the value's codes, see MapOdbcType
    SQLULEN precision = 0;     // column size
    SQLSMALLINT scale = 0;
    bool nullable = true;
};
