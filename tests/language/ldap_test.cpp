// The script's LDAP object against a real directory server: the private slapd that
// scripts/run-tests starts (scripts/ldap-test-server, TW_LDAP_*). Without that server the cases
// that need it skip, except in CI (CI=true), where a missing server is a failure. The cases of
// LdapObjectTest need no server: nothing there reaches the network beyond a refused connection.
#include "foundation/message_catalog.h"
#include "language/ssp_ldap.h"
#include "script_runner.h"
#include "tests/support/ci.h"
#include "tests/support/loopback_socket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

// The library reads its TLS settings from the environment once, at its first use in the process,
// so the test server's certificate must be trusted before any test runs.
const bool g_trustsTestCertificate = [] {
    const char* certificate = std::getenv("TW_LDAP_CACERT");
    return certificate != nullptr && setenv("LDAPTLS_CACERT", certificate, 1) == 0;
}();

std::string Text(int slot)
{
    return CMessageCatalog::Text(slot);
}

// Replaces each $NAME of the script with its value.
std::string Fill(std::string script, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values) {
        for (size_t at = script.find(name); at != std::string::npos; at = script.find(name, at + value.size()))
            script.replace(at, name.size(), value);
    }
    return script;
}

// A loopback port that refuses connections: bound, never listening, held for the test's life.
class RefusingPort
{
public:
    RefusingPort() : m_fd(BindLoopbackSocket(m_port)) {}
    ~RefusingPort() { close(m_fd); }
    std::string Port() const { return std::to_string(m_port); }

private:
    int m_port = 0;
    int m_fd = -1;
};

using LdapObjectTest = ScriptTest;

TEST_F(LdapObjectTest, MembersCheckTheirPreconditionsInOrder)
{
    EXPECT_EQ(Failure("LDAP l; write l.search_s('', 2, '', '', 0);"), Text(149));
    EXPECT_EQ(Failure("LDAP l; write l.get_host_name();"), Text(149));
    // A connection comes before anything else, even for a member that needs more.
    EXPECT_EQ(Failure("LDAP l; write l.next_attribute();"), Text(149));
    const std::string connected = "LDAP l; l.init('127.0.0.1', 1);";
    EXPECT_EQ(Failure(connected + "write l.count_entries();"), Text(150));
    EXPECT_EQ(Failure(connected + "write l.first_entry();"), Text(150));
    EXPECT_EQ(Failure(connected + "write l.get_dn();"), Text(151));
    EXPECT_EQ(Failure(connected + "write l.next_attribute();"), Text(151));
    EXPECT_EQ(Failure(connected + "write l.get_values('cn');"), Text(151));
    // Values need no connection, only values.
    EXPECT_EQ(Failure("LDAP l; write l.count_values();"), Text(153));
    EXPECT_EQ(Failure("LDAP l; write l.value(0);"), Text(153));
    EXPECT_EQ(Failure(connected + "write l.Frobnicate();"), Text(147) + std::string("Frobnicate"));
}

TEST_F(LdapObjectTest, ArgumentCountsThatAreRefused)
{
    const std::string connected = "LDAP l; l.init('127.0.0.1', 1);";
    for (const char* call : {"l.bind_s('user')", "l.bind_s('user', 'domain')", "l.simple_bind_s('dn')",
                             "l.simple_bind_s('dn', 'pw', 'x')", "l.search_s('b', 2, 'f', 'a')",
                             "l.search_st('b', 2, 'f', 'a', 0)", "l.set_time_limit()", "l.set_size_limit()"}) {
        EXPECT_EQ(Failure(connected + "write " + call + ";"), Text(74)) << call;
    }
}

TEST_F(LdapObjectTest, LocalMembersNeedNoServer)
{
    EXPECT_EQ(Output("LDAP l; write l.init('a.example b.example:1389', 1390); write ' '; write l.get_host_name();"
                     "write ';'; write l.set_size_limit(-1); write l.set_size_limit(5); write l.set_time_limit(-3);"
                     "write l.set_time_limit(2); write ';'; write l.value_free(); write l.msgfree(); write l.unbind();"
                     "write ';'; write l.last_err_code();"),
              "1 a.example b.example;0101;111;0");
    EXPECT_EQ(Output("LDAP L; L.sslinit('::1'); write L.get_host_name();"), "[::1]");
    // A host the library cannot take as a server address: no connection, and its error kept.
    EXPECT_EQ(Output("LDAP l; write l.init('[::1'); write l.last_err_code(); write ' '; write l.last_err_str();"),
              "089 Bad parameter to an ldap routine");
}

TEST_F(LdapObjectTest, ServerDownIsCode81)
{
    RefusingPort refusing;
    EXPECT_EQ(Output(Fill("LDAP l; write l.init('127.0.0.1', $PORT); write l.simple_bind_s('cn=x', 'y');"
                          "write ' '; write l.last_err_code(); write ' '; write l.last_err_str();",
                          {{"$PORT", refusing.Port()}})),
              "10 81 Can't contact LDAP server");
}

TEST_F(LdapObjectTest, ARedeclarationStartsAfresh)
{
    // The second pass declares the object again, which drops the connection of the first.
    EXPECT_EQ(Failure("Local.i = 0; while (Local.i < 2) Local.i = Local.i + 1;\n"
                      "  LDAP l; if (Local.i = 1) l.init('127.0.0.1', 1); endif write l.get_host_name(); write ';';\n"
                      "endwhile"),
              Text(149));
    EXPECT_EQ(sink.output, "127.0.0.1;");
    // Other kinds' names are taken; LDAP names are not part of that test.
    EXPECT_EQ(Failure("datetime x(2004, 1, 1); LDAP X;"), Text(89) + std::string("X"));
    EXPECT_EQ(Output("LDAP a; LDAP A; a.init('one.example'); write A.get_host_name();"), "one.example");
}

// The cases that talk to the private slapd.
class LdapServerTest : public ScriptTest
{
protected:
    void SetUp() override
    {
        for (const char* name : {"TW_LDAP_HOST", "TW_LDAP_PORT", "TW_LDAP_SSL_PORT", "TW_LDAP_BASE", "TW_LDAP_BIND_DN",
                                 "TW_LDAP_PASSWORD", "TW_LDAP_USER_PASSWORD", "TW_LDAP_CACERT"}) {
            const char* value = std::getenv(name);
            if (value == nullptr || *value == '\0') {
                if (InCi())
                    FAIL() << name << " is not set: the LDAP test server did not start";
                GTEST_SKIP() << "no LDAP test server (" << name << " unset)";
            }
            m_values.emplace_back("$" + std::string(name + 8), value);
        }
        ASSERT_TRUE(g_trustsTestCertificate);
    }

    // The script with $HOST, $PORT, $SSL_PORT, $BASE, $BIND_DN, $PASSWORD and $USER_PASSWORD
    // filled in.
    std::string Filled(const std::string& script) const { return Fill(script, m_values); }
    // The output of the script run after l has connected and bound as the administrator.
    std::string Bound(const std::string& script)
    {
        return Output(Filled("LDAP l; l.init('$HOST', $PORT);"
                             "if (l.simple_bind_s('$BIND_DN', '$PASSWORD') = 0) write 'no bind'; endif " +
                             script));
    }

    std::vector<std::pair<std::string, std::string>> m_values;
};

TEST_F(LdapServerTest, SimpleBindSucceedsAndFails)
{
    EXPECT_EQ(Output(Filled("LDAP l; l.init('$HOST', $PORT);"
                            "write l.simple_bind_s('$BIND_DN', '$PASSWORD'); write l.last_err_code(); write ';';"
                            "write l.simple_bind_s('$BIND_DN', 'wrong'); write l.last_err_code(); write ' ';"
                            "write l.last_err_str(); write ';';"
                            "write l.simple_bind_s(); write l.last_err_code();")),
              "10;049 Invalid credentials;10");
}

TEST_F(LdapServerTest, NegotiatedBindUsesTheUsersPassword)
{
    EXPECT_EQ(Output(Filled("LDAP l; l.init('$HOST', $PORT);"
                            "write l.bind_s('alice', '', '$USER_PASSWORD'); write ';';"
                            "write l.bind_s('alice', 'example.test', 'wrong'); write l.last_err_code(); write ';';"
                            "write l.bind_s('nobody', '', 'x');")),
              "1;049;0");
}

TEST_F(LdapServerTest, SearchWalksEntriesAttributesAndValues)
{
    EXPECT_EQ(Bound("write l.search_s('ou=people,$BASE', 2, '(uid=alice)', 'mail, cn', 0); write l.count_entries();"
                    "write ';'; write l.first_entry(); write ' '; write l.get_dn(); write ';';"
                    "Local.a = l.first_attribute(); while (Local.a <> '') write Local.a; write ':';"
                    "  Local.n = l.get_values(Local.a); Local.i = 0;"
                    "  while (Local.i < Local.n) write ' '; write l.value(Local.i); Local.i = Local.i + 1; endwhile"
                    "  write ';'; Local.a = l.next_attribute(); endwhile "
                    "write l.next_entry();"),
              "11;1 uid=alice,ou=people,dc=example,dc=test;"
              "cn: Alice Example;mail: alice@example.test a.example@example.test postmaster@example.test;0");
    // After the last entry there is none: the entry's members say so.
    EXPECT_EQ(Failure(Filled("LDAP l; l.init('$HOST', $PORT); l.search_s('$BASE', 2, '(uid=bob)', '', 0);"
                             "l.first_entry(); l.next_entry(); write l.get_dn();")),
              Text(151));
}

TEST_F(LdapServerTest, ValueIndexesOutsideTheValuesAreRefused)
{
    const std::string found = "LDAP l; l.init('$HOST', $PORT); l.search_s('$BASE', 2, '(uid=alice)', 'mail', 0);"
                              "l.first_entry();";
    EXPECT_EQ(Output(Filled(found + "write l.get_values('mail'); write l.count_values(); write l.value(2);")),
              "33postmaster@example.test");
    EXPECT_EQ(Failure(Filled(found + "l.get_values('mail'); write l.value(3);")), Text(154));
    EXPECT_EQ(Failure(Filled(found + "l.get_values('mail'); write l.value();")), Text(74));
    EXPECT_EQ(Failure(Filled(found + "l.get_values_len();")), Text(74));
    EXPECT_EQ(Failure(Filled(found + "l.get_values('mail'); write l.value(-1);")), Text(154));
    // An absent attribute has no values at all.
    EXPECT_EQ(Failure(Filled(found + "write l.get_values('telephoneNumber'); write l.count_values();")), Text(153));
    EXPECT_EQ(sink.output, "-1");
    EXPECT_EQ(Failure(Filled(found + "l.get_values('mail'); l.value_free(); write l.value(0);")), Text(153));
}

TEST_F(LdapServerTest, BinaryValuesKeepEveryByte)
{
    EXPECT_EQ(Bound("l.search_s('$BASE', 2, '(uid=alice)', '', 0); l.first_entry();"
                    "write l.get_values_len('jpegPhoto'); write ':'; write l.value(0); write ':';"
                    "write l.get_values('jpegPhoto'); write ':'; write l.value(0); write ':';"
                    "write l.get_values('telephoneNumber'); write l.value(0);"),
              "1:\0\x01\xff\x7e\0ab:1:\0\x01\xff\x7e\0ab:1+1 555 0100"s);

    // The same values as the object hands them over: binary from get_values_len, text otherwise.
    CSspLdap ldap;
    auto call = [&ldap](const char* member, std::vector<std::string> arguments) {
        CSspCall record;
        record.m_member = member;
        for (const std::string& argument : arguments)
            record.m_args.emplace_back().SetString(argument);
        CSspValue result;
        ldap.CallMember(record, result);
        return result;
    };
    call("init", {Filled("$HOST"), Filled("$PORT")});
    ASSERT_EQ(call("search_s", {Filled("$BASE"), "2", "(uid=alice)", "jpegPhoto", "0"}).ToInt64(), 1);
    call("first_entry", {});
    call("get_values_len", {"jpegPhoto"});
    CSspValue binary = call("value", {"0"});
    EXPECT_EQ(binary.m_type, CSspValue::kVarBinary);
    EXPECT_EQ(binary.m_text, std::string("\0\1\xff~\0ab", 7));
    call("get_values", {"jpegPhoto"});
    CSspValue text = call("value", {"0"});
    EXPECT_EQ(text.m_type, CSspValue::kVarChar);
    EXPECT_EQ(text.m_text, "\0\x01\xff\x7e\0ab"s);
}

TEST_F(LdapServerTest, ScopesAndAttributeLists)
{
    // Scope 7 is no scope the protocol knows: it searches the subtree.
    EXPECT_EQ(Bound("write l.search_s('$BASE', 7, '(objectClass=inetOrgPerson)', 'uid', 0); write l.count_entries();"
                    "write ';'; write l.search_s('$BASE', 1, '(objectClass=inetOrgPerson)', 'uid', 0);"
                    "write l.count_entries(); write ';';"
                    "write l.search_s('uid=bob,ou=people,$BASE', 0, '(objectClass=*)', 'uid', 0);"
                    "write l.count_entries();"),
              "13;10;11");
    // An empty attribute list asks for all of them; attrsOnly leaves the values out (bob's entry
    // lists sn before mail).
    EXPECT_EQ(Bound("l.search_s('$BASE', 2, '(uid=bob)', '', 0); l.first_entry();"
                    "write l.get_values('mail'); write l.get_values('sn'); write ';';"
                    "l.search_s('$BASE', 2, '(uid=bob)', 'mail sn', 1); l.first_entry();"
                    "write l.first_attribute(); write ' '; write l.get_values('mail');"),
              "11;sn -1");
}

TEST_F(LdapServerTest, FailedSearchesAndLimits)
{
    EXPECT_EQ(Bound("write l.search_s('$BASE', 2, '(uid=alice', '', 0); write l.last_err_code(); write ';';"
                    "write l.search_st('dc=nowhere', 2, '(uid=*)', '', 0, 5); write l.last_err_code(); write ';';"
                    // A size limit reached fails the search but keeps the entries that came.
                    "write l.set_size_limit(2); write l.search_s('$BASE', 2, '(uid=*)', 'uid', 0);"
                    "write l.last_err_code(); write l.count_entries(); write ';';"
                    "write l.set_size_limit(-1); write l.search_s('$BASE', 2, '(uid=*)', 'uid', 0);"
                    "write l.count_entries(); write ';';"
                    "write l.set_size_limit(0); write l.search_st('$BASE', 2, '(uid=*)', 'uid', 0, 10);"
                    "write l.count_entries();"),
              "087;032;1042;002;113");
}

TEST_F(LdapServerTest, FreeingAndUnbinding)
{
    const std::string searched = "LDAP l; l.init('$HOST', $PORT); l.search_s('$BASE', 2, '(uid=*)', '', 0);";
    EXPECT_EQ(Failure(Filled(searched + "l.first_entry(); l.first_attribute(); l.msgfree(); l.first_entry();")),
              Text(150));
    // A new search drops the entry and the attribute walk of the last.
    EXPECT_EQ(
        Failure(Filled(searched + "l.first_entry(); l.first_attribute();"
                                  "l.search_s('$BASE', 2, '(uid=bob)', '', 0); l.first_entry(); l.next_attribute();")),
        Text(152));
    EXPECT_EQ(Failure(Filled(searched + "l.unbind(); l.search_s('$BASE', 2, '(uid=*)', '', 0);")), Text(149));
    // The search result outlives the connection's end; reading it needs a connection again.
    EXPECT_EQ(Output(Filled(searched + "l.unbind(); l.init('$HOST', $PORT); write l.count_entries();")), "3");
}

TEST_F(LdapServerTest, SecureConnection)
{
    EXPECT_EQ(
        Output(Filled("LDAP l; write l.sslinit('$HOST', $SSL_PORT); write l.simple_bind_s('$BIND_DN', '$PASSWORD');"
                      "write l.search_s('$BASE', 2, '(uid=carol)', 'cn', 0); write l.first_entry();"
                      "write l.get_values('cn'); write ' '; write l.value(0);")),
        "11111 Carol Other");
    // The plain port speaks no TLS.
    EXPECT_EQ(Output(Filled("LDAP l; l.sslinit('$HOST', $PORT); write l.simple_bind_s('$BIND_DN', '$PASSWORD');"
                            "write ' '; write l.last_err_code();")),
              "0 81");
}

}  // namespace
