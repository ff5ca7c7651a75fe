// CSspLdap, the object behind a script's `LDAP name` declaration: a directory client whose members
// are thin wrappers over the LDAP client library (connect, bind, search, walk entries, attributes
// and values, read errors). It keeps the library's handles between member calls so that a script
// iterates with repeated calls. Library failures come back as results (0, -1, empty text) and
// through last_err_code / last_err_str; only missing preconditions and arguments are thrown.
#pragma once

#include "foundation/ssp_script_object.h"

#include <memory>
#include <string>

class CSspValue;

// The library's handle types, declared here by their tags so that users of this header need not
// include the library's.
struct ldap;
struct ldapmsg;
struct berelement;
struct berval;

class CSspLdap : public CSspScriptObject
{
public:
    CSspLdap();
    ~CSspLdap() override;
    CSspLdap(const CSspLdap&) = delete;
    CSspLdap& operator=(const CSspLdap&) = delete;

    // Members matched without regard to case; the result starts as integer 0. Errors are thrown as
    // CSspException at call.m_position.
    void CallMember(CSspCall& call, CSspValue& result) override;

    // Releases values, attribute iterator, search result and connection: the state of a fresh
    // declaration. Runs whenever the declaration runs again.
    void Reset();

private:
    struct CloseConnection
    {
        void operator()(ldap* connection) const;
    };
    struct FreeMessage
    {
        void operator()(ldapmsg* message) const;
    };
    struct FreeIterator
    {
        void operator()(berelement* iterator) const;
    };
    struct FreeValues
    {
        void operator()(berval** values) const;
    };
    using Handler = void (CSspLdap::*)(const CSspCall&, CSspValue&);

    void Init(const CSspCall& call, CSspValue& result);
    void SslInit(const CSspCall& call, CSspValue& result);
    void Open(const CSspCall& call, CSspValue& result, bool secure);
    void BindNegotiated(const CSspCall& call, CSspValue& result);
    void SimpleBind(const CSspCall& call, CSspValue& result);
    void Search(const CSspCall& call, CSspValue& result);
    void SearchTimed(const CSspCall& call, CSspValue& result);
    void RunSearch(const CSspCall& call, CSspValue& result, bool timed);
    void CountEntries(const CSspCall& call, CSspValue& result);
    void FirstEntry(const CSspCall& call, CSspValue& result);
    void NextEntry(const CSspCall& call, CSspValue& result);
    void GetDn(const CSspCall& call, CSspValue& result);
    void FirstAttribute(const CSspCall& call, CSspValue& result);
    void NextAttribute(const CSspCall& call, CSspValue& result);
    void GetValues(const CSspCall& call, CSspValue& result);
    void GetValuesLen(const CSspCall& call, CSspValue& result);
    void ReadValues(const CSspCall& call, CSspValue& result, bool binary);
    void CountValues(const CSspCall& call, CSspValue& result);
    void Value(const CSspCall& call, CSspValue& result);
    void LastErrorText(const CSspCall& call, CSspValue& result);
    void LastErrorCode(const CSspCall& call, CSspValue& result);
    void SetTimeLimit(const CSspCall& call, CSspValue& result);
    void SetSizeLimit(const CSspCall& call, CSspValue& result);
    void SetLimit(const CSspCall& call, CSspValue& result, int option);
    void GetHostName(const CSspCall& call, CSspValue& result);
    void ValueFree(const CSspCall& call, CSspValue& result);
    void MessageFree(const CSspCall& call, CSspValue& result);
    void Unbind(const CSspCall& call, CSspValue& result);

    void ReleaseValues();
    void ReleaseSearchResult();

    std::unique_ptr<ldap, CloseConnection> m_connection;
    std::unique_ptr<ldapmsg, FreeMessage> m_searchResult;
    ldapmsg* m_currentEntry = nullptr;  // inside m_searchResult
    // The iterator reads the search result's buffer, so it goes whenever the search result goes.
    std::unique_ptr<berelement, FreeIterator> m_attributes;
    std::unique_ptr<berval*, FreeValues> m_values;
    int m_valueCount = 0;
    bool m_binaryValues = false;
    // The library's code of the last call that reported one: negative codes are the library's own
    // (client-side) errors. The object keeps it, as the library keeps none without a connection.
    int m_lastError = 0;
};
