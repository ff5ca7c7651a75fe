#include "language/ssp_ldap.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_tokenizer.h"
#include "foundation/ssp_value.h"

#include <ldap.h>
#include <sasl/sasl.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace {

constexpr int kMsgUnknownMember = 147;  // "Unknown function or field."
constexpr int kMsgNoConnection = 149;
constexpr int kMsgNoSearchResult = 150;
constexpr int kMsgNoCurrentEntry = 151;
constexpr int kMsgNoCurrentAttribute = 152;
constexpr int kMsgNoValues = 153;
constexpr int kMsgIndexOutOfBound = 154;

constexpr int kDefaultPort = 389;
constexpr int kDefaultSecurePort = 636;
// A server that takes no connection must not hold the script's thread for the system's whole TCP
// retry time; once connected, searches are bounded by their own time limits.
constexpr int kConnectTimeoutSeconds = 30;
// Without credentials the bind uses what the process already holds: a Kerberos ticket, or the
// client certificate or peer credentials of the connection. Mechanisms that need a password are
// left out, so nothing asks for one.
constexpr const char* kOwnLogonMechanisms = "GSS-SPNEGO GSSAPI EXTERNAL";

// What a member needs before it reaches the library, checked in this order.
enum : unsigned
{
    kNeedsConnection = 1,
    kNeedsSearchResult = 2,
    kNeedsCurrentEntry = 4,
    kNeedsAttributeIterator = 8,
    kNeedsValues = 16,
};

[[noreturn]] void Raise(int slot, const CSspCall& call)
{
    RaiseCatalogText(slot, call.m_position);
}

void RequireArguments(bool present, const CSspCall& call)
{
    if (!present)
        Raise(kMsgMissingParameter, call);
}

// The library's client-side codes are negative; scripts see them in the numbering that LDAP clients
// share for the same errors (81 "server down", 85 "timeout", 87 "filter error", ...).
int ScriptErrorCode(int code)
{
    return code < 0 ? 80 - code : code;
}

bool IsPortText(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The library takes servers as URLs. Scripts name them as host names: one, or several separated by
// blanks, each with an optional ":port" of its own; the others get `port`. An IPv6 address is put
// in brackets so that its colons are not read as a port.
std::string MakeServerUrls(std::string_view hosts, int port, bool secure)
{
    const std::string scheme = secure ? "ldaps://" : "ldap://";
    const std::string portSuffix = ":" + std::to_string(port);
    std::string urls;
    size_t start = hosts.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return scheme + portSuffix;  // the library's default host
    while (start != std::string_view::npos) {
        size_t end = hosts.find(' ', start);
        std::string_view host = hosts.substr(start, end == std::string_view::npos ? end : end - start);
        size_t colons = static_cast<size_t>(std::count(host.begin(), host.end(), ':'));
        if (!urls.empty())
            urls += ' ';
        urls += scheme;
        if (host.front() == '[')
            urls += std::string(host) + (host.find("]:") == std::string_view::npos ? portSuffix : "");
        else if (colons == 0)
            urls += std::string(host) + portSuffix;
        else if (colons == 1)
            urls += host;
        else
            urls += "[" + std::string(host) + "]" + portSuffix;
        start = end == std::string_view::npos ? end : hosts.find_first_not_of(' ', end);
    }
    return urls;
}

// The library reports each server as "host:port"; scripts get the host names alone.
std::string HostNamesWithoutPorts(std::string_view hosts)
{
    std::string names;
    size_t start = 0;
    while (start < hosts.size()) {
        size_t end = hosts.find(' ', start);
        if (end == std::string_view::npos)
            end = hosts.size();
        std::string_view host = hosts.substr(start, end - start);
        size_t colon = host.rfind(':');
        bool lastColonIsPort = colon != std::string_view::npos && IsPortText(host.substr(colon + 1)) &&
                               (host.find(':') == colon || (colon > 0 && host[colon - 1] == ']'));
        if (lastColonIsPort)
            host = host.substr(0, colon);
        if (!host.empty()) {
            if (!names.empty())
                names += ' ';
            names += host;
        }
        start = end + 1;
    }
    return names;
}

// Answers the questions of the SASL mechanism that the client and the server agree on.
struct CNegotiateCredentials
{
    std::string user;
    std::string domain;
    std::string password;
};

int AnswerSaslPrompts(LDAP*, unsigned, void* defaults, void* prompts)
{
    const auto* credentials = static_cast<const CNegotiateCredentials*>(defaults);
    for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt->id != SASL_CB_LIST_END; ++prompt) {
        const char* answer = prompt->defresult != nullptr ? prompt->defresult : "";
        switch (prompt->id) {
        case SASL_CB_AUTHNAME: answer = credentials->user.c_str(); break;
        case SASL_CB_PASS: answer = credentials->password.c_str(); break;
        case SASL_CB_GETREALM:
            if (!credentials->domain.empty())
                answer = credentials->domain.c_str();
            break;
        case SASL_CB_USER:
            answer = "";  // act as the authenticated user, not on behalf of another
            break;
        default: break;
        }
        prompt->result = answer;
        prompt->len = static_cast<unsigned>(std::strlen(answer));
    }
    return LDAP_SUCCESS;
}

}  // namespace

void CSspLdap::CloseConnection::operator()(ldap* connection) const
{
    ldap_unbind_ext_s(connection, nullptr, nullptr);
}

void CSspLdap::FreeMessage::operator()(ldapmsg* message) const
{
    ldap_msgfree(message);
}

void CSspLdap::FreeIterator::operator()(berelement* iterator) const
{
    ber_free(iterator, 0);  // the buffer belongs to the search result
}

void CSspLdap::FreeValues::operator()(berval** values) const
{
    ldap_value_free_len(values);
}

CSspLdap::CSspLdap() = default;

CSspLdap::~CSspLdap()
{
    Reset();
}

void CSspLdap::Reset()
{
    m_currentEntry = nullptr;
    ReleaseValues();
    m_attributes.reset();
    m_searchResult.reset();
    m_connection.reset();
    m_lastError = LDAP_SUCCESS;
}

void CSspLdap::ReleaseValues()
{
    m_valueCount = 0;
    m_binaryValues = false;
    m_values.reset();
}

void CSspLdap::ReleaseSearchResult()
{
    m_attributes.reset();
    m_currentEntry = nullptr;
    m_searchResult.reset();
}

void CSspLdap::CallMember(CSspCall& call, CSspValue& result)
{
    struct Member
    {
        const char* name;
        unsigned needs;
        Handler handler;
    };
    static const Member kMembers[] = {
        {"init", 0, &CSspLdap::Init},
        {"sslinit", 0, &CSspLdap::SslInit},
        {"bind_s", kNeedsConnection, &CSspLdap::BindNegotiated},
        {"simple_bind_s", kNeedsConnection, &CSspLdap::SimpleBind},
        {"search_s", kNeedsConnection, &CSspLdap::Search},
        {"search_st", kNeedsConnection, &CSspLdap::SearchTimed},
        {"count_entries", kNeedsConnection | kNeedsSearchResult, &CSspLdap::CountEntries},
        {"first_entry", kNeedsConnection | kNeedsSearchResult, &CSspLdap::FirstEntry},
        {"next_entry", kNeedsConnection | kNeedsCurrentEntry, &CSspLdap::NextEntry},
        {"get_dn", kNeedsConnection | kNeedsCurrentEntry, &CSspLdap::GetDn},
        {"first_attribute", kNeedsConnection | kNeedsCurrentEntry, &CSspLdap::FirstAttribute},
        {"next_attribute", kNeedsConnection | kNeedsCurrentEntry | kNeedsAttributeIterator, &CSspLdap::NextAttribute},
        {"get_values", kNeedsConnection | kNeedsCurrentEntry, &CSspLdap::GetValues},
        {"get_values_len", kNeedsConnection | kNeedsCurrentEntry, &CSspLdap::GetValuesLen},
        {"count_values", kNeedsValues, &CSspLdap::CountValues},
        {"value", kNeedsValues, &CSspLdap::Value},
        {"last_err_str", 0, &CSspLdap::LastErrorText},
        {"last_err_code", 0, &CSspLdap::LastErrorCode},
        {"set_time_limit", kNeedsConnection, &CSspLdap::SetTimeLimit},
        {"set_size_limit", kNeedsConnection, &CSspLdap::SetSizeLimit},
        {"get_host_name", kNeedsConnection, &CSspLdap::GetHostName},
        {"value_free", 0, &CSspLdap::ValueFree},
        {"msgfree", 0, &CSspLdap::MessageFree},
        {"unbind", 0, &CSspLdap::Unbind},
    };
    result.SetInteger(0);
    for (const Member& member : kMembers) {
        if (!EqualsNoCase(call.m_member, member.name))
            continue;
        if ((member.needs & kNeedsConnection) && !m_connection)
            Raise(kMsgNoConnection, call);
        if ((member.needs & kNeedsSearchResult) && !m_searchResult)
            Raise(kMsgNoSearchResult, call);
        if ((member.needs & kNeedsCurrentEntry) && m_currentEntry == nullptr)
            Raise(kMsgNoCurrentEntry, call);
        if ((member.needs & kNeedsAttributeIterator) && !m_attributes)
            Raise(kMsgNoCurrentAttribute, call);
        if ((member.needs & kNeedsValues) && !m_values)
            Raise(kMsgNoValues, call);
        (this->*member.handler)(call, result);
        return;
    }
    throw CSspException(CMessageCatalog::Text(kMsgUnknownMember) + call.m_member, call.m_position);
}

void CSspLdap::Init(const CSspCall& call, CSspValue& result)
{
    Open(call, result, false);
}

void CSspLdap::SslInit(const CSspCall& call, CSspValue& result)
{
    Open(call, result, true);
}

void CSspLdap::Open(const CSspCall& call, CSspValue& result, bool secure)
{
    m_connection.reset();
    int port = call.ParamCount() >= 2 ? call.GetParamInt32(1) : secure ? kDefaultSecurePort : kDefaultPort;
    // Without a host, init takes the server configured for the library (ldap.conf), else the local
    // host; sslinit the local host over TLS.
    std::string urls;
    if (call.ParamCount() >= 1)
        urls = MakeServerUrls(call.GetParamStr(0), port, secure);
    else if (secure)
        urls = MakeServerUrls("", port, secure);
    LDAP* connection = nullptr;
    m_lastError = ldap_initialize(&connection, urls.empty() ? nullptr : urls.c_str());
    if (m_lastError != LDAP_SUCCESS || connection == nullptr)
        return;
    m_connection.reset(connection);
    // The library starts at protocol version 2, which servers refuse for most of what scripts do.
    int version = LDAP_VERSION3;
    ldap_set_option(connection, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval connectTimeout{kConnectTimeoutSeconds, 0};
    ldap_set_option(connection, LDAP_OPT_NETWORK_TIMEOUT, &connectTimeout);
    result.SetInteger(1);
}

void CSspLdap::BindNegotiated(const CSspCall& call, CSspValue& result)
{
    int count = call.ParamCount();
    RequireArguments(count == 0 || count == 3, call);
    CNegotiateCredentials credentials;
    const char* mechanisms = kOwnLogonMechanisms;
    if (count == 3) {
        credentials.user = call.GetParamStr(0);
        credentials.domain = call.GetParamStr(1);
        credentials.password = call.GetParamStr(2);
        mechanisms = nullptr;  // the strongest that both sides offer
    }
    m_lastError = ldap_sasl_interactive_bind_s(m_connection.get(), nullptr, mechanisms, nullptr, nullptr,
                                               LDAP_SASL_QUIET, AnswerSaslPrompts, &credentials);
    result.SetInteger(m_lastError == LDAP_SUCCESS ? 1 : 0);
}

void CSspLdap::SimpleBind(const CSspCall& call, CSspValue& result)
{
    int count = call.ParamCount();
    RequireArguments(count == 0 || count == 2, call);
    std::string dn;
    std::string password;
    if (count == 2) {
        dn = call.GetParamStr(0);
        password = call.GetParamStr(1);
    }
    berval credentials{password.size(), password.data()};
    m_lastError = ldap_sasl_bind_s(m_connection.get(), count == 2 ? dn.c_str() : nullptr, LDAP_SASL_SIMPLE,
                                   &credentials, nullptr, nullptr, nullptr);
    result.SetInteger(m_lastError == LDAP_SUCCESS ? 1 : 0);
}

void CSspLdap::Search(const CSspCall& call, CSspValue& result)
{
    RunSearch(call, result, false);
}

void CSspLdap::SearchTimed(const CSspCall& call, CSspValue& result)
{
    RunSearch(call, result, true);
}

void CSspLdap::RunSearch(const CSspCall& call, CSspValue& result, bool timed)
{
    RequireArguments(call.ParamCount() >= (timed ? 6 : 5), call);
    std::string base = call.GetParamStr(0);
    int scope = call.GetParamInt32(1);
    if (scope != LDAP_SCOPE_BASE && scope != LDAP_SCOPE_ONELEVEL)
        scope = LDAP_SCOPE_SUBTREE;
    std::string filter = call.GetParamStr(2);
    std::string attributeText = call.GetParamStr(3);
    int attributesOnly = call.GetParamInt32(4);
    // Whole seconds from the script; none (0 or less) leaves the search without a time-out.
    int seconds = timed ? call.GetParamInt32(5) : 0;
    timeval timeout{seconds, 0};

    std::vector<std::string> names;
    std::vector<char*> attributes;
    try {
        CSspTokenizer tokenizer(attributeText.c_str(), ", ", false);
        for (std::string name = tokenizer.NextToken(); !name.empty(); name = tokenizer.NextToken())
            names.push_back(std::move(name));
        for (std::string& name : names)
            attributes.push_back(name.data());
        attributes.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        Raise(kMsgOutOfMemory, call);
    }

    ReleaseSearchResult();
    LDAPMessage* found = nullptr;
    // A size limit of -1 takes the one set with set_size_limit.
    m_lastError = ldap_search_ext_s(m_connection.get(), base.c_str(), scope, filter.c_str(),
                                    names.empty() ? nullptr : attributes.data(), attributesOnly, nullptr, nullptr,
                                    seconds > 0 ? &timeout : nullptr, -1, &found);
    // A failed search can still hand back entries (a size limit reached): keep them for the script.
    m_searchResult.reset(found);
    result.SetInteger(m_lastError == LDAP_SUCCESS ? 1 : 0);
}

void CSspLdap::CountEntries(const CSspCall&, CSspValue& result)
{
    result.SetInteger(ldap_count_entries(m_connection.get(), m_searchResult.get()));
}

void CSspLdap::FirstEntry(const CSspCall&, CSspValue& result)
{
    m_currentEntry = ldap_first_entry(m_connection.get(), m_searchResult.get());
    result.SetInteger(m_currentEntry != nullptr ? 1 : 0);
}

void CSspLdap::NextEntry(const CSspCall&, CSspValue& result)
{
    m_currentEntry = ldap_next_entry(m_connection.get(), m_currentEntry);
    result.SetInteger(m_currentEntry != nullptr ? 1 : 0);
}

void CSspLdap::GetDn(const CSspCall&, CSspValue& result)
{
    char* dn = ldap_get_dn(m_connection.get(), m_currentEntry);
    result.SetString(dn != nullptr ? dn : "");
    ldap_memfree(dn);
}

void CSspLdap::FirstAttribute(const CSspCall&, CSspValue& result)
{
    m_attributes.reset();
    BerElement* iterator = nullptr;
    char* name = ldap_first_attribute(m_connection.get(), m_currentEntry, &iterator);
    m_attributes.reset(iterator);
    result.SetString(name != nullptr ? name : "");
    ldap_memfree(name);
}

void CSspLdap::NextAttribute(const CSspCall&, CSspValue& result)
{
    char* name = ldap_next_attribute(m_connection.get(), m_currentEntry, m_attributes.get());
    result.SetString(name != nullptr ? name : "");
    ldap_memfree(name);
}

void CSspLdap::GetValues(const CSspCall& call, CSspValue& result)
{
    ReadValues(call, result, false);
}

void CSspLdap::GetValuesLen(const CSspCall& call, CSspValue& result)
{
    ReadValues(call, result, true);
}

void CSspLdap::ReadValues(const CSspCall& call, CSspValue& result, bool binary)
{
    RequireArguments(call.ParamCount() >= 1, call);
    std::string attribute = call.GetParamStr(0);
    ReleaseValues();
    // Both kinds are read with their lengths: a text value may hold any byte, even NUL.
    m_values.reset(ldap_get_values_len(m_connection.get(), m_currentEntry, attribute.c_str()));
    if (!m_values) {
        result.SetInteger(-1);
        return;
    }
    m_valueCount = ldap_count_values_len(m_values.get());
    m_binaryValues = binary;
    result.SetInteger(m_valueCount);
}

void CSspLdap::CountValues(const CSspCall&, CSspValue& result)
{
    result.SetInteger(m_valueCount);
}

void CSspLdap::Value(const CSspCall& call, CSspValue& result)
{
    RequireArguments(call.ParamCount() == 1, call);
    int index = call.GetParamInt32(0);
    if (index < 0 || index >= m_valueCount)
        Raise(kMsgIndexOutOfBound, call);
    const berval* value = m_values.get()[index];
    if (m_binaryValues)
        result.SetBinary(value->bv_val, value->bv_len, CSspValue::kVarBinary);
    else
        result.SetString(std::string(value->bv_val != nullptr ? value->bv_val : "", value->bv_len));
}

void CSspLdap::LastErrorText(const CSspCall&, CSspValue& result)
{
    result.SetString(ldap_err2string(m_lastError));
}

void CSspLdap::LastErrorCode(const CSspCall&, CSspValue& result)
{
    result.SetInteger(ScriptErrorCode(m_lastError));
}

void CSspLdap::SetTimeLimit(const CSspCall& call, CSspValue& result)
{
    SetLimit(call, result, LDAP_OPT_TIMELIMIT);
}

void CSspLdap::SetSizeLimit(const CSspCall& call, CSspValue& result)
{
    SetLimit(call, result, LDAP_OPT_SIZELIMIT);
}

void CSspLdap::SetLimit(const CSspCall& call, CSspValue& result, int option)
{
    RequireArguments(call.ParamCount() >= 1, call);
    int limit = call.GetParamInt32(0);
    if (limit < 0)
        return;
    m_lastError = ldap_set_option(m_connection.get(), option, &limit);
    result.SetInteger(m_lastError == LDAP_OPT_SUCCESS ? 1 : 0);
}

void CSspLdap::GetHostName(const CSspCall&, CSspValue& result)
{
    char* hosts = nullptr;
    m_lastError = ldap_get_option(m_connection.get(), LDAP_OPT_HOST_NAME, &hosts);
    result.SetString(hosts != nullptr ? HostNamesWithoutPorts(hosts) : std::string());
    ldap_memfree(hosts);
}

void CSspLdap::ValueFree(const CSspCall&, CSspValue& result)
{
    ReleaseValues();
    result.SetInteger(1);
}

void CSspLdap::MessageFree(const CSspCall&, CSspValue& result)
{
    ReleaseSearchResult();
    result.SetInteger(1);
}

void CSspLdap::Unbind(const CSspCall&, CSspValue& result)
{
    m_connection.reset();
    result.SetInteger(1);
}
