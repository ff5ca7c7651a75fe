// Sessions: the ID a browser carries, expiry from creation, the application's session list, the
// members of a session, and the Session and SessMan objects as pages use them.
#include "foundation/codecs.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "language/ssp_app.h"
#include "language/ssp_session.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace {

// 14:07:09 on 5 March 2024, local time.
const std::int64_t kStart = MakeLocalTime(2024, 3, 5, 14, 7, 9);

// A clock that tests move by hand.
struct FakeClock
{
    std::shared_ptr<std::int64_t> now = std::make_shared<std::int64_t>(kStart);
    CSspSession::Clock Get() const
    {
        return [now = now] { return *now; };
    }
    void AddMinutes(int minutes) const { *now += std::int64_t{minutes} * 60; }
};

// An application state of its own on the fake clock.
class SessionList : public ::testing::Test
{
protected:
    SessionList() { m_config.m_sessionTimeout = 600; }
    FakeClock m_clock;
    CServerConfig m_config{"/nonexistent/settings.conf", "/nonexistent"};
    CSspApp m_app{m_config, m_clock.Get()};
};

// Answers a session member and returns the result as text, or the error's message.
std::string Call(CSspSession& session, std::string member, std::vector<CSspValue> args = {})
{
    CSspCall call;
    call.m_object = "Session";
    call.m_member = std::move(member);
    call.m_args = std::move(args);
    CSspValue result;
    try {
        session.SessionCall(call, result);
    } catch (const CSspException& error) {
        return "error: " + error.GetMessage();
    }
    return result.ToString();
}

CSspValue Text(std::string text)
{
    CSspValue value;
    value.SetString(std::move(text));
    return value;
}

TEST(SessionId, KeepsTheReadableLayoutAndEndsInARandomSecret)
{
    FakeClock clock;
    CSspSession session("10.0.0.7", "/bugs/", 600, clock.Get());
    session.MakeId("alice");
    const std::string& id = session.GetId();

    ASSERT_EQ(id.size(), 13u + 5 + 33);
    EXPECT_TRUE(id[0] >= 'A' && id[0] <= 'Z');
    EXPECT_EQ(id[2], static_cast<char>(2024 - 1933));
    EXPECT_EQ(id.substr(3, 16), "C05140709-alice-");
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef", 19), std::string::npos) << id;
    int sum = 0;
    for (size_t i = 2; i < id.size(); ++i)
        sum += static_cast<signed char>(id[i]);
    EXPECT_EQ(id[1], 'A' + sum % 26);

    EXPECT_EQ(session.GetStartTime(), kStart);
    EXPECT_EQ(session.Describe(), CSspDateTime(kStart).GetDateTimeStr() + " - alice");

    // The same user at the same second gets another secret.
    CSspSession other("10.0.0.7", "/bugs/", 600, clock.Get());
    other.MakeId("alice");
    EXPECT_NE(other.GetId().substr(19), id.substr(19));

    // IDs that a browser made up decode as far as they go.
    EXPECT_EQ(CSspSession::StartTimeOf("ABCDEFGHIJKL"), 0);
    EXPECT_EQ(CSspSession::UserIdOf(id.substr(0, 13) + "bob"), "bob");
    EXPECT_EQ(CSspSession::UserIdOf(id.substr(0, 13) + "user-with-dashes" + id.substr(18)), "user-with-dashes");
}

TEST_F(SessionList, ExpiryCountsFromCreationAndNeedsTheCheckLetter)
{
    std::shared_ptr<CSspSession> session = m_app.NewSession("alice", "10.0.0.7", "/");
    m_clock.AddMinutes(600);
    ASSERT_EQ(m_app.FindSession(session->GetId()), session);  // used a minute before the end
    EXPECT_EQ(session->GetLastAccess(), kStart + 600 * 60);
    EXPECT_FALSE(session->IsExpired(600));
    m_clock.AddMinutes(1);
    EXPECT_TRUE(session->IsExpired(600)) << "use does not extend a session";

    std::string forged = session->GetId();
    forged[1] = forged[1] == 'A' ? 'B' : 'A';
    EXPECT_TRUE(CSspSession::IsExpiredId(forged, 1440, kStart));
    EXPECT_FALSE(CSspSession::IsExpiredId(session->GetId(), 1440, kStart));
    EXPECT_TRUE(CSspSession::IsExpiredId("ABCDEFGHIJKL", 1440, kStart));
}

TEST_F(SessionList, FindRemoveAndExpire)
{
    m_config.m_sessionTimeout = 10;
    auto first = m_app.NewSession("Alice", "10.0.0.1", "/");
    m_clock.AddMinutes(5);
    auto second = m_app.NewSession("bob", "10.0.0.2", "/");
    auto third = m_app.NewSession("ALICE", "10.0.0.3", "/");
    EXPECT_EQ(m_app.FindSession(second->GetId().substr(0, 20)), nullptr);
    EXPECT_EQ(m_app.FindSession(second->GetId() + "x"), nullptr);

    m_app.RemoveUserSessions("alice");
    EXPECT_EQ(m_app.FindSession(first->GetId()), nullptr);
    EXPECT_EQ(m_app.FindSession(third->GetId()), nullptr);
    EXPECT_EQ(m_app.FindSession(second->GetId()), second);
    // A run that still holds a removed session can go on using it.
    EXPECT_EQ(Call(*first, "SetVar", {Text("x"), Text("1")}), "1");

    m_app.RemoveSession(second->GetId());
    EXPECT_EQ(m_app.FindSession(second->GetId()), nullptr);

    // A new session first drops the expired ones at the head of the list.
    auto old = m_app.NewSession("old", "10.0.0.4", "/");
    m_clock.AddMinutes(11);
    auto fresh = m_app.NewSession("fresh", "10.0.0.5", "/");
    EXPECT_EQ(m_app.FindSession(old->GetId()), nullptr);
    EXPECT_EQ(m_app.FindSession(fresh->GetId()), fresh);
}

TEST_F(SessionList, ThreadsLogOnFindAndLogOffAtOnce)
{
    std::vector<std::thread> threads;
    std::atomic<int> lost{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, &lost, t] {
            for (int i = 0; i < 200; ++i) {
                auto session = m_app.NewSession("user" + std::to_string(t), "10.0.0.1", "/");
                lost += m_app.FindSession(session->GetId()) != session;
                if (i % 2 == 0)
                    m_app.RemoveSession(session->GetId());
                if (i % 50 == 0)
                    m_app.GetSessionRows();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(m_app.GetSessionRows().size(), 8u * 100);
    m_app.RemoveUserSessions("USER3");
    EXPECT_EQ(m_app.GetSessionRows().size(), 7u * 100);
}

TEST_F(SessionList, RowsAreSortedWithoutRegardToCase)
{
    m_app.NewSession("carol", "10.0.0.3", "/");
    m_app.NewSession("Bob", "10.0.0.9", "/b/");
    m_clock.AddMinutes(1);
    m_app.NewSession("ALICE", "10.0.0.1", "/");
    m_app.NewSession("bob", "10.0.0.2", "/");
    const std::string start = CSspDateTime(kStart).GetDateTimeStr() + "\n";
    const std::string later = CSspDateTime(kStart + 60).GetDateTimeStr() + "\n";
    EXPECT_EQ(m_app.GetSessionRows(), (std::vector<std::string>{"ALICE\n10.0.0.1\n" + later + later + "/",
                                                                "bob\n10.0.0.2\n" + later + later + "/",
                                                                "Bob\n10.0.0.9\n" + start + start + "/b/",
                                                                "carol\n10.0.0.3\n" + start + start + "/"}));
    m_app.RemoveAll();
    EXPECT_TRUE(m_app.GetSessionRows().empty());
}

TEST(SessionMembers, VariablesValidityAndErrors)
{
    FakeClock clock;
    CSspSession session("10.0.0.7", "/", 30, clock.Get());
    session.MakeId("alice");

    EXPECT_EQ(Call(session, "SetVar", {Text("Name"), Text("Al")}), "1");
    EXPECT_EQ(Call(session, "name"), "Al");
    EXPECT_EQ(Call(session, "VarExist", {Text("none")}), "0");
    EXPECT_EQ(Call(session, "Missing"), "error: " + std::string(CMessageCatalog::Text(75)) + "Missing");
    EXPECT_EQ(Call(session, "SetVar", {Text("a")}), "error: Incorrect number of parameter.");

    EXPECT_EQ(Call(session, "validate"), "1");
    EXPECT_EQ(Call(session, "isvalid"), "1");
    clock.AddMinutes(31);
    EXPECT_EQ(Call(session, "IsValid"), "0");
    CSspCall validate;
    validate.m_member = "Validate";
    validate.m_position = 17;
    CSspValue result;
    try {
        session.SessionCall(validate, result);
        ADD_FAILURE() << "an expired session validated";
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetMessage(), "Your session (" + session.Describe() + ") has expired; Please log on again.");
        EXPECT_EQ(error.GetPosition(), kNoPosition);
    }
}

TEST(SessionMembers, CipherOfItsOwn)
{
    CSspSession session("10.0.0.7", "/", 30);
    session.MakeId("alice");
    const std::string noKey = "error: Call session.createCryptKey first.";
    EXPECT_EQ(Call(session, "cipherKeyCreated"), "0");
    EXPECT_EQ(Call(session, "cipher", {Text("")}), "");
    EXPECT_EQ(Call(session, "decipher", {Text("AAAA")}), noKey);
    EXPECT_EQ(Call(session, "cipher", {Text(std::string(257, 'x'))}),
              "error: text to be encrypted cannot exceed 256 characters.");

    EXPECT_EQ(Call(session, "createCipherKey", {Text("secret")}), "1");
    EXPECT_EQ(Call(session, "CipherKeyCreated"), "1");
    EXPECT_EQ(Call(session, "createCipherKey", {Text("other")}),
              "error: Cipher key already created. Please call destroyCipherKey first.");
    EXPECT_EQ(Call(session, "cipher", {Text("hello world")}), "/nmUs9Rf2OkPeds=");
    const std::string longest(256, 'z');
    EXPECT_EQ(Call(session, "decipher", {Text(Call(session, "cipher", {Text(longest)}))}), longest);
    std::string tooLong;
    Base64EncodeString(std::string(257, 'z'), tooLong);
    EXPECT_EQ(Call(session, "decipher", {Text(tooLong)}), "error: Text to be decrypted cannot exceed 256 characters.");

    EXPECT_EQ(Call(session, "destroyCipherKey"), "1");
    EXPECT_EQ(Call(session, "cipher", {Text("a")}), noKey);
}

// A browser's request: a client address, cookies and form fields.
class BrowserRequest : public CSspRequestObject
{
public:
    void CallMember(CSspCall& call, CSspValue&) override
    {
        throw CSspException("no Request members here", call.m_position);
    }
    bool HasClient() const override { return client; }
    std::string GetClientAddress() const override { return "192.0.2.44"; }
    std::string GetCookie(std::string_view name) const override
    {
        auto found = cookies.find(std::string(name));
        return found == cookies.end() ? std::string() : found->second;
    }
    bool GetField(std::string_view name, std::string& value) const override
    {
        auto found = fields.find(std::string(name));
        if (found == fields.end())
            return false;
        value = found->second;
        return true;
    }
    bool client = true;
    std::map<std::string, std::string> cookies;
    std::map<std::string, std::string> fields;
};

class SessionScriptTest : public ScriptTest
{
protected:
    SessionScriptTest()
    {
        TheSspApp().RemoveAll();
        TheServerConfig().m_sessionTimeout = 600;
        request = &m_browser;
    }
    ~SessionScriptTest() override { TheSspApp().RemoveAll(); }

    // Runs a page and returns its output, failing the test with the report when it fails.
    std::string Page(std::string_view code)
    {
        EXPECT_EQ(Run("p.twp", "<!--{ " + std::string(code) + " }-->"), kRunCompleted) << code << "\n" << errorText;
        return sink.output;
    }
    std::string PageFailure(std::string_view code)
    {
        EXPECT_EQ(Run("p.twp", "<!--{ " + std::string(code) + " }-->"), kRunFailed) << code;
        return Message();
    }

    BrowserRequest m_browser;
};

TEST_F(SessionScriptTest, LogonSetsTheCookieThatLaterPagesFindTheSessionBy)
{
    EXPECT_EQ(Page("write Session.IsValid; write Session.Logoff;"), "00");
    EXPECT_EQ(PageFailure("write Session.name;"), CMessageCatalog::Text(15));

    EXPECT_EQ(Page("write Session.logon('alice', '/bugs/'); Session.SetVar('Name', 'Al'); write Session.name;"), "1Al");
    ASSERT_EQ(sink.cookies.size(), 1u);
    const std::string id = sink.cookies[0].value;
    EXPECT_EQ(sink.cookies[0].name + " " + sink.cookies[0].path, "sspSessionID /bugs/");

    // A function called after a logon finds the new session by the cookie the page has just set.
    EXPECT_EQ(Page("Session.logon('bo'); Session.SetVar('n', 7); write Local.show();\n"
                   "function show() return Session.n; endfunction"),
              "7");

    // Without a cookie the form field carries the ID; the name of exist is taken as written.
    m_browser.fields["sspSessionID"] = id;
    EXPECT_EQ(Page("write Session.Var('name'); write Session.exist(name); write Session.SessionID;"), "Al1" + id);
    EXPECT_EQ(Page("write Session.Logoff; write Session.IsValid;"), "11");
    EXPECT_EQ(Page("write Session.IsValid; write Session.Logoff;"), "00");
    EXPECT_EQ(PageFailure("write Session.name;"),
              "Your session (" + CSspSession::DescribeId(id) +
                  ") has been terminated. Please log on again. Possible reasons: It has expired; It has been "
                  "terminated by a manager; The server has been restarted; You have multiple sessions on this "
                  "machine and you have logged off from one of them.");
}

TEST_F(SessionScriptTest, LogonChecksThePasswordAndReplacesTheOldSession)
{
    EXPECT_EQ(PageFailure("Session.logon('u', 'p', '', 'p');"), "User not found.");
    EXPECT_EQ(PageFailure("Session.logon('u', 'a', 'u', 'A');"), "Password incorrect.");
    EXPECT_EQ(PageFailure("Session.logon('u', 'a', 'u');"), "Missing parameter.");
    EXPECT_TRUE(TheSspApp().GetSessionRows().empty());

    EXPECT_EQ(Page("write Session.logon('u', 'pw', 'U', 'pw'); write Session.logon('v');"), "11");
    const std::vector<std::string> rows = TheSspApp().GetSessionRows();
    ASSERT_EQ(rows.size(), 1u) << "the first logon's session was logged off";
    EXPECT_EQ(rows[0].substr(0, 2), "v\n");
}

TEST_F(SessionScriptTest, LogonRefusesPathsThatAddCookieAttributesAndUserIdsWithLineBreaks)
{
    const std::string refused = CMessageCatalog::Text(kMsgCookieTextRefused);
    EXPECT_EQ(PageFailure("Session.logon('u', '/t/; Domain=evil.example');"), refused + "/t/; Domain=evil.example");
    EXPECT_EQ(PageFailure("Session.logon('u', '/t/,/u/');"), refused + "/t/,/u/");
    EXPECT_EQ(PageFailure("Session.logon('u', '/my app/');"), refused + "/my app/");
    // A user ID with a line break would forge the fields of the session rows.
    EXPECT_EQ(PageFailure("Session.logon('eve' + To.dec('0d 0a') + '1.2.3.4');"),
              "A user ID may not hold a line break.");
    EXPECT_EQ(PageFailure("Session.logon('eve' + To.dec('0a') + 'x', '/');"), "A user ID may not hold a line break.");
    EXPECT_TRUE(sink.cookies.empty());
    EXPECT_TRUE(TheSspApp().GetSessionRows().empty()) << "no session was made";
    EXPECT_EQ(Page("write Session.logon('ann lee', '  /app/');"), "1");
    ASSERT_EQ(sink.cookies.size(), 1u);
    EXPECT_EQ(sink.cookies[0].path, "  /app/");
}

TEST_F(SessionScriptTest, SessionManagerListsAndRemovesSessions)
{
    EXPECT_EQ(Page("write SessMan.PrepareForFetch; write SessMan.fetch;"), "10");
    EXPECT_EQ(PageFailure("SessMan.PrepareForFetch; write SessMan.USER_ID;"), CMessageCatalog::Text(51));
    EXPECT_EQ(PageFailure("write SessMan.size;"), "Unknown SessMan field.");

    Page("Session.logon('bob', '/b/');");
    Page("Session.logon('', '/anon/');");
    Page("Session.logon('Alice');");
    EXPECT_EQ(Page("SessMan.PrepareForFetch; while (SessMan.fetch) write SessMan.user_id + '@' + "
                   "SessMan.IP_ADDRESS + SessMan.App_Path + '|'; endwhile write SessMan.fetch;"),
              "@192.0.2.44/anon/|Alice@192.0.2.44/|bob@192.0.2.44/b/|0");
    EXPECT_EQ(Page("SessMan.PrepareForFetch; SessMan.fetch; "
                   "if (SessMan.START_TIME = SessMan.LAST_ACCESS) write 'same'; endif"),
              "same");

    EXPECT_EQ(Page("write SessMan.Remove('ALICE');"), "1");
    EXPECT_EQ(TheSspApp().GetSessionRows().size(), 2u);
}

TEST_F(SessionScriptTest, ScriptsWithoutABrowserHaveNoSession)
{
    m_browser.client = false;
    EXPECT_EQ(PageFailure("write Session.IsValid;"), "Session object can only be used in .twp files.");
    EXPECT_EQ(PageFailure("Session.logon('u');"), "Session object can only be used in .twp files.");
}

}  // namespace
