// Declared kinds that a library above the interpreter registers: the declaration makes the object
// through the factory, reuses it when the declaration runs again, and evaluates the arguments only
// when the kind asks for them.
#include "foundation/message_catalog.h"
#include "language/ssp_declared_kind.h"
#include "script_runner.h"

#include <string>
#include <vector>

namespace {

class RecordingObject : public CSspScriptObject
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        if (call.m_member == "log")
            result.SetString(log);
        else
            throw CSspException("Unknown recording field: " + call.m_member, call.m_position);
    }
    std::string log;
};

class RecordingKind : public CSspDeclaredKind
{
public:
    explicit RecordingKind(bool evaluates) : m_evaluates(evaluates) {}
    std::unique_ptr<CSspScriptObject> Create() const override
    {
        ++created;
        return std::make_unique<RecordingObject>();
    }
    bool EvaluatesArguments() const override { return m_evaluates; }
    void Initialize(CSspScriptObject& object, const CSspCall& arguments) const override
    {
        auto& recording = static_cast<RecordingObject&>(object);
        recording.log += arguments.m_hasParentheses ? "(" : "-";
        for (int i = 0; i < arguments.ParamCount(); ++i)
            recording.log += arguments.GetParamStr(i) + ";";
    }
    mutable int created = 0;

private:
    bool m_evaluates;
};

// Registers a factory for one test and removes it afterwards, so the other tests of the binary
// still see the kind missing.
class Registration
{
public:
    Registration(int kind, const CSspDeclaredKind& factory) : m_kind(kind) { RegisterDeclaredKind(kind, &factory); }
    ~Registration() { RegisterDeclaredKind(m_kind, nullptr); }

private:
    int m_kind;
};

class DeclaredKindTest : public ScriptTest
{};

}  // namespace

TEST_F(DeclaredKindTest, DeclarationInALoopReusesOneObjectAndInitialisesItEachPass)
{
    RecordingKind kind(true);
    Registration registration(kEmailInObject, kind);
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 3) Local.i = Local.i + 1;\n"
                     "  email_in M('h' + Local.i, Local.i * 2);\n"
                     "endwhile\n"
                     "email_in bare; write m.log + '|' + BARE.log;"),
              "(h1;2;(h2;4;(h3;6;|-");
    EXPECT_EQ(kind.created, 2);
}

TEST_F(DeclaredKindTest, ArgumentsOfAKindThatIgnoresThemAreNotEvaluated)
{
    RecordingKind kind(false);
    Registration registration(kEmailOutObject, kind);
    // Evaluating Local.missing would fail the run.
    EXPECT_EQ(Output("email_out m(Local.missing, 'x'); write m.log;"), "(");
}

TEST_F(DeclaredKindTest, RegisteredKindsKeepTheNameRuleAndTheirOwnErrors)
{
    RecordingKind kind(true);
    Registration registration(kEmailInObject, kind);
    EXPECT_EQ(Failure("datetime d(2004, 1, 1); email_in D;"), std::string(CMessageCatalog::Text(89)) + "D");
    EXPECT_EQ(Failure("email_in m; write m.size;"), "Unknown recording field: size");
    EXPECT_EQ(Failure("email_out m;"), std::string(CMessageCatalog::Text(kMsgKindNotMade)) + "email_out");
}
