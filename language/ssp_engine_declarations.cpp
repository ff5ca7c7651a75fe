// Objects that a page or script declares: `tokenizer t(text, delimiters)`, `datetime d(...)`, `LDAP l`,
// `file` and `FileUpload`, `array`, `sql` (ssp_engine_sql.cpp) and the kinds whose objects belong to
// other parts of the system (email); the mail objects come through the factories of
// language/ssp_declared_kind.h. Each kind keeps its own list in the engine, searched by name without
// regard to case. A declaration is keyed by its source position, so one that runs again (in a loop)
// re-initialises its object instead of making a second one.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_tokenizer.h"
#include "language/request_object.h"
#include "language/ssp_file_object.h"
#include "language/ssp_ldap.h"

#include <new>

namespace {

constexpr int kMsgUploadSyntax = 92;   // "FileUpload must be initialized by Request.a_form_field"
constexpr int kMsgFileSyntax = 93;     // "file object syntax: ..."
constexpr int kMsgNoUploadField = 94;  // "File field is not found in the data the browser sent: "
constexpr int kMsgUploadFailed = 95;   // "Failed to get the uploaded file: "
constexpr const char* kArraySyntax = "Correct Syntax: array a; or array b = function();";
constexpr const char* kArrayNeedsCall = "Function must end with ();";

// The script's tokenizer: members NextToken and NextPart.
class CTokenizerObject : public CSspScriptObject
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        m_tokenizer.CallMethod(call.m_member, call.m_position, result);
    }
    CSspTokenizer m_tokenizer;
};

// The script's datetime object; its bare name (no member) gives the integer 0.
class CDateTimeObject : public CSspScriptObject
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        m_time.CallMethod(call.m_member, call.m_args, call.m_position, result);
    }
    CSspDateTime m_time;
};

template <class Object>
std::unique_ptr<CSspScriptObject> Make(CSspEngine&)
{
    return std::make_unique<Object>();
}

int OutOfMemorySlot(int kind)
{
    switch (kind) {
    case kSqlObject: return 34;
    case kFileObject: return 35;
    case kTokenizerObject: return 36;
    case kEmailInObject: return 37;
    case kEmailOutObject: return 38;
    default: return 53;  // "Out of memory"
    }
}

const char* KindName(int kind)
{
    switch (kind) {
    case kEmailInObject: return "email_in";
    case kEmailOutObject: return "email_out";
    default: return "";
    }
}

}  // namespace

CSspDeclaredObject* CSspEngine::FindObject(int kind, std::string_view name) const
{
    for (const auto& object : m_declared[static_cast<size_t>(kind)]) {
        if (EqualsNoCase(object->name, name))
            return object.get();
    }
    return nullptr;
}

CSspDeclaredObject* CSspEngine::FindAnyObject(std::string_view name) const
{
    for (int kind = 0; kind < kObjectKindCount; ++kind) {
        if (CSspDeclaredObject* object = FindObject(kind, name))
            return object;
    }
    return nullptr;
}

bool CSspEngine::CallObject(int kind, CSspCall& call, CSspValue& result)
{
    CSspDeclaredObject* object = FindObject(kind, call.m_object);
    if (object == nullptr)
        return false;
    object->object->CallMember(call, result);
    return true;
}

bool CSspEngine::IsObjectNameUsed(std::string_view name) const
{
    for (int kind :
         {kSqlObject, kDateTimeObject, kFileObject, kArrayObject, kTokenizerObject, kEmailInObject, kEmailOutObject}) {
        if (FindObject(kind, name) != nullptr)
            return true;
    }
    return false;
}

void CSspEngine::ExecuteDeclaration(const CSspOp& op)
{
    const CSspDeclarationCode& declaration = *m_program->Detail(op).declaration;
    const int kind = declaration.kind;
    const CSspDeclaredKind* factory = nullptr;
    if (kind == kEmailInObject || kind == kEmailOutObject) {
        factory = FindDeclaredKind(kind);
        if (factory == nullptr)
            throw CSspException(CMessageCatalog::Text(kMsgKindNotMade) + std::string(KindName(kind)), op.first);
    }
    if (op.fails)
        RaiseFailure(op);
    SetCursor(op.next);
    switch (kind) {
    case kSqlObject: DeclareSql(declaration); return;
    case kTokenizerObject: DeclareTokenizer(declaration); return;
    case kDateTimeObject: DeclareDateTime(declaration); return;
    case kLdapObject: DeclareLdap(declaration); return;
    case kFileObject: DeclareFile(declaration); return;
    case kArrayObject: DeclareArray(declaration); return;
    default: DeclareRegistered(declaration, *factory); return;
    }
}

CSspDeclaredObject* CSspEngine::FindDeclaration(int kind, int key) const
{
    for (const auto& object : m_declared[static_cast<size_t>(kind)]) {
        if (object->key == key)
            return object.get();
    }
    return nullptr;
}

CSspDeclaredObject& CSspEngine::DeclareObject(int kind, int key, const CSspToken& name, const ObjectMaker& make)
{
    if (CSspDeclaredObject* known = FindDeclaration(kind, key))
        return *known;
    auto& list = m_declared[static_cast<size_t>(kind)];
    if (IsObjectNameUsed(name.text))
        throw CSspException(CMessageCatalog::Text(kMsgNameUsed) + std::string(name.text), name.start);
    try {
        auto object = std::make_unique<CSspDeclaredObject>();
        object->name = name.text;
        object->key = key;
        object->object = make(*this);
        list.push_back(std::move(object));
        ++m_declarations;
        m_hasDeclared = true;
    } catch (const std::bad_alloc&) {
        bool atCursor = kind == kDateTimeObject || kind == kArrayObject;
        throw CSspException(CMessageCatalog::Text(OutOfMemorySlot(kind)), atCursor ? Cursor() : 0);
    }
    return *list.back();
}

void CSspEngine::EvalDeclarationArguments(const CSspDeclarationCode& declaration, CSspCall& call, bool evaluate)
{
    // Read after the object is declared: a broken list fails after the name test.
    if (declaration.failure)
        declaration.failure->Raise();
    call.m_position = declaration.key;
    // Without "(" the declaration has no arguments (`datetime d;`); the caller says what is missing.
    if (!declaration.arguments)
        return;
    call.m_hasParentheses = true;
    if (evaluate)
        EvalParam(*declaration.arguments, call);
}

void CSspEngine::DeclareRegistered(const CSspDeclarationCode& declaration, const CSspDeclaredKind& factory)
{
    CSspDeclaredObject& declared = DeclareObject(declaration.kind, declaration.key, declaration.name,
                                                 [&factory](CSspEngine&) { return factory.Create(); });
    CSspCall call;
    EvalDeclarationArguments(declaration, call, factory.EvaluatesArguments());
    factory.Initialize(*declared.object, call);
}

void CSspEngine::DeclareTokenizer(const CSspDeclarationCode& declaration)
{
    const int key = declaration.key;
    CSspDeclaredObject& declared = DeclareObject(kTokenizerObject, key, declaration.name, Make<CTokenizerObject>);
    CSspCall call;
    EvalDeclarationArguments(declaration, call);
    if (call.ParamCount() < 2)
        RaiseCatalogText(kMsgMissingParameter, key);
    std::string text = call.GetParamStr(0);
    std::string delimiters = call.GetParamStr(1);
    static_cast<CTokenizerObject&>(*declared.object).m_tokenizer.SetText(text.c_str(), delimiters.c_str(), true);
}

void CSspEngine::DeclareDateTime(const CSspDeclarationCode& declaration)
{
    const int key = declaration.key;
    CSspDeclaredObject& declared = DeclareObject(kDateTimeObject, key, declaration.name, Make<CDateTimeObject>);
    CSspCall call;
    EvalDeclarationArguments(declaration, call);
    CSspDateTime& time = static_cast<CDateTimeObject&>(*declared.object).m_time;
    const int count = call.ParamCount();
    auto field = [&call, count](int index) { return index < count ? ParseInt32(call.GetParamStr(index)) : 0; };
    if (count == 1)
        time = CSspDateTime::FromScriptValue(call.GetParam(0), key);
    else if (count >= 3 && count <= 6)
        time.SetLocalTime(field(0), field(1), field(2), field(3), field(4), field(5));
    else
        RaiseCatalogText(kMsgMissingParameter, key);
}

void CSspEngine::DeclareLdap(const CSspDeclarationCode& declaration)
{
    // The object is started afresh on every pass, so a loop that declares it drops the last
    // pass's connection and search before the script connects again.
    CSspDeclaredObject& declared = DeclareObject(kLdapObject, declaration.key, declaration.name, Make<CSspLdap>);
    static_cast<CSspLdap&>(*declared.object).Reset();
}

void CSspEngine::DeclareFile(const CSspDeclarationCode& declaration)
{
    const int key = declaration.key;
    CSspDeclaredObject& declared = DeclareObject(kFileObject, key, declaration.name, [](CSspEngine& engine) {
        return std::make_unique<CSspFileObject>(engine);
    });
    auto& file = static_cast<CSspFileObject&>(*declared.object);
    std::string source;  // Request.<field> of an upload
    if (!declaration.upload) {
        CSspCall call;
        EvalDeclarationArguments(declaration, call);
        if (call.ParamCount() == 0)
            RaiseCatalogText(kMsgFileSyntax, key);
        source = call.GetParamStr(0);
        if (!StartsWithNoCase(source, "request.")) {
            file.SetPath(source, call.ParamCount() < 2 || call.GetParamInt32(1) == 1);
            return;
        }
    } else {
        if (declaration.failure)
            declaration.failure->Raise();
        source = declaration.text;
    }

    // A task's request has no browser behind it, so it has no uploads either.
    if (m_request == nullptr || !m_request->HasClient())
        RaiseCatalogText(kMsgNoRequest, key);
    size_t dot = source.find('.');
    if (dot == std::string::npos)
        RaiseCatalogText(kMsgUploadSyntax, key);
    std::string field = source.substr(dot + 1);
    int loaded = file.LoadUpload(*m_request, field);
    if (loaded == CSspRequestObject::kUploadNoMemory)
        throw CSspException(CMessageCatalog::Text(kMsgUploadFailed) + field, key);
    if (loaded == CSspRequestObject::kUploadNoField)
        throw CSspException(CMessageCatalog::Text(kMsgNoUploadField) + field, key);
}

void CSspEngine::DeclareArray(const CSspDeclarationCode& declaration)
{
    const int key = declaration.key;
    CSspDeclaredObject& declared = DeclareObject(kArrayObject, key, declaration.name, Make<CSspArray>);
    CSspValueList& values = static_cast<CSspArray&>(*declared.object).Values();
    values.clear();
    if (declaration.failure)
        declaration.failure->Raise();
    if (!declaration.source)
        return;
    const CSspListCode& code = *declaration.source;
    if (code.EntryCount() != 1)
        throw CSspException(kArraySyntax, key);
    CSspCall call;
    ParseOperand(code, code.Operand(0), call);
    if (!call.m_hasParentheses)
        throw CSspException(kArrayNeedsCall, key);

    // The function's return statement fills the array; its single result value is not wanted.
    CSspValue result;
    if (EqualsNoCase(call.m_object, "local")) {
        CallLocalFunction(call, result, &values);
        return;
    }
    CSspDeclaredObject* file = FindObject(kFileObject, call.m_object);
    if (file == nullptr)
        throw CSspException(kArraySyntax, key);
    static_cast<CSspFileObject&>(*file->object).CallFunction(call, result, &values);
}
