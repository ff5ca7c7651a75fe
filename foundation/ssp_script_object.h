#pragma once
// An object that scripts reach by name and call members on: the request and response of a page run,
// the application state behind App and Server, and the objects a script declares (sql, tokenizer,
// datetime, ...). The interpreter's member dispatch finds the object and hands it the parsed call; the
// object matches the member name by its own rules and writes the result. It lives in the foundation
// so that objects of the database, web server and mail layers take calls without depending on the
// interpreter.

#include "foundation/ssp_call.h"

class CSspValue;

class CSspScriptObject
{
public:
    virtual ~CSspScriptObject() = default;

    // Answers call.m_member with the evaluated arguments call.m_args. An unknown member raises the
    // object's own catalogue text followed directly by the member name, and a missing argument
    // "Missing parameter.", both as a CSspException at call.m_position.
    virtual void CallMember(CSspCall& call, CSspValue& result) = 0;
};
