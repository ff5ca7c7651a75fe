// Member dispatch: every operand that is not a literal is a member call that some object answers.
// There is no table of names: the object name is compared, without regard to case, against a fixed
// chain of built-in objects and then against the objects the script declared. The built-in objects
// of other layers are reached through CSspScriptObject (the request and the response come with the
// run).
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "language/output_sink.h"
#include "language/ssp_library.h"
#include "language/ssp_to_library.h"

#include <iterator>
#include <new>

namespace {

constexpr int kMsgLocalNotDefined = 126;  // "Local variable not defined. Use a set statement ..."
constexpr int kMsgNoResponse = 120;       // "Response object not available."
constexpr int kMsgUnknownObject = 121;    // "Unknown Object: "

// The built-in objects, in the order in which the member dispatch tries them; the first match
// wins, and they hide declared objects of the same name.
constexpr std::string_view kBuiltInObjects[] = {
    "String", "To", "arg", "Local", "Request", "Response", "Session", "App", "Server", "SessMan",
};
enum class BuiltIn
{
    kString,
    kTo,
    kArg,
    kLocal,
    kRequest,
    kResponse,
    kSession,
    kApp,
    kServer,
    kSessMan,
};

}  // namespace

void CSspEngine::CallMember(CSspCall& call, CSspValue& result)
{
    // A bare name is a declared datetime (its value) or a free function of the library.
    if (call.m_member.empty()) {
        if (CallObject(kDateTimeObject, call, result))
            return;
        return CallGlobalFunction(call, result);
    }
    if (const int builtIn = BuiltInObjectOf(call.m_object); builtIn >= 0)
        return CallBuiltIn(builtIn, call, result);
    if (CSspDeclaredObject* declared = FindAnyObject(call.m_object))
        return declared->object->CallMember(call, result);
    RaiseUnknownObject(call);
}

void CSspEngine::CallOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call,
                             CSspValue& result)
{
    // Lists of other text (a debugger's watch) are not the memo's and may not outlive the call; a
    // bare name may come to mean a datetime declared later.
    const std::uint64_t key = OperandKey(operand);
    if (code.Source() != m_sourceFile || call.m_member.empty() || !MayKeep(m_operands, key))
        return CallMember(call, result);
    OperandTarget* target = m_operands.Insert(key).first;
    // A built-in object answers a name for good; a declared object is looked for again once the
    // declared objects changed, as an object declared later may come first in the search.
    if (!target->dispatched || (target->declared != nullptr && target->declarations != m_declarations)) {
        const int builtIn = BuiltInObjectOf(call.m_object);
        CSspDeclaredObject* declared = builtIn < 0 ? FindAnyObject(call.m_object) : nullptr;
        if (builtIn < 0 && declared == nullptr)
            RaiseUnknownObject(call);
        target->dispatched = true;
        target->builtIn = builtIn;
        target->declared = declared;
        target->declarations = m_declarations;
        target->boundMember = declared != nullptr ? declared->object->BindMember(call.m_member) : -1;
        target->array = declared != nullptr ? dynamic_cast<CSspArray*>(declared->object.get()) : nullptr;
    }
    if (target->declared != nullptr) {
        call.m_boundMember = target->boundMember;
        return target->declared->object->CallMember(call, result);
    }
    CallBuiltIn(target->builtIn, call, result);
}

CSspEngine::BoundArrayCall CSspEngine::BindArrayCall(const CSspListCode& code, const CSspCodeOperand& operand,
                                                     CSspValue* computed)
{
    if (code.Source() != m_sourceFile)
        return {};
    const OperandTarget* target = m_operands.Find(OperandKey(operand));
    if (target == nullptr || target->array == nullptr || target->declarations != m_declarations)
        return {};
    BoundArrayCall bound{target->array, target->boundMember};
    const CSspListCode* arguments = operand.arguments.get();
    switch (bound.member) {
    case CSspArray::kGetSize:
        if (!operand.emptyCall)
            return {};
        break;
    case CSspArray::kGetAt:
    case CSspArray::kAdd:
        if (arguments == nullptr ||
            (arguments->SinglePush() < 0 && (computed == nullptr || arguments->ComputedPush() < 0)))
            return {};
        break;
    default: return {};
    }
    // The argument list is entered and read as EvalCallArguments does.
    {
        NestingLevel level(operand.start);
        if (arguments != nullptr && arguments->SinglePush() < 0) {
            if (arguments->ComputedByApply())
                ApplyInPlaceOperands(*arguments, *computed);
            else
                EvalRangeInFrame(*arguments, arguments->ComputedArgument(), *computed);
            bound.argument = computed;
            bound.computed = computed;
            return bound;
        }
    }
    if (arguments != nullptr)
        bound.argument = &InPlaceValue(arguments->Operand(arguments->SinglePush()));
    return bound;
}

const CSspValue& CSspEngine::ArrayCallValue(const BoundArrayCall& bound, int position, CSspValue& made)
{
    switch (bound.member) {
    case CSspArray::kGetSize: made.SetInteger(bound.array->Size()); return made;
    case CSspArray::kGetAt: return bound.array->At(*bound.argument, position);
    default:
        // A computed argument is the call's own: it moves into the array.
        if (bound.computed != nullptr)
            bound.array->Append(std::move(*bound.computed), position);
        else
            bound.array->Append(*bound.argument, position);
        made.SetInteger(1);
        return made;
    }
}

int CSspEngine::BuiltInObjectOf(std::string_view object)
{
    for (size_t i = 0; i < std::size(kBuiltInObjects); ++i) {
        if (EqualsNoCase(object, kBuiltInObjects[i]))
            return static_cast<int>(i);
    }
    return -1;
}

void CSspEngine::CallBuiltIn(int object, CSspCall& call, CSspValue& result)
{
    switch (static_cast<BuiltIn>(object)) {
    case BuiltIn::kString: return CallStringLibrary(call, result);
    case BuiltIn::kTo: return TheToLibrary().CallMember(call, result);
    case BuiltIn::kArg: return CallArg(call, result);
    case BuiltIn::kLocal: return CallLocal(call, result);
    case BuiltIn::kRequest:
        if (m_request == nullptr)
            RaiseCatalogText(kMsgNoRequest, call.m_position);
        return m_request->CallMember(call, result);
    case BuiltIn::kResponse:
        if (m_response == nullptr)
            RaiseCatalogText(kMsgNoResponse, call.m_position);
        return m_response->CallMember(call, result);
    case BuiltIn::kSession: return CallSession(call, result);
    case BuiltIn::kApp: return CallApp(call, result);
    case BuiltIn::kServer: return CallServer(call, result);
    case BuiltIn::kSessMan: return CallSessMan(call, result);
    }
}

void CSspEngine::RaiseUnknownObject(const CSspCall& call)
{
    throw CSspException(CMessageCatalog::Text(kMsgUnknownObject) + call.m_object, call.m_position);
}

const CSspValue& CSspEngine::FindLocalRead(const CSspCodeOperand& operand) const
{
    if (const CSspValue* variable = m_locals.At(operand.slot))
        return *variable;
    // The operand's name is "Local.<member>"; the member runs to the end, dots and all.
    constexpr size_t kPrefix = 6;
    return m_locals.FindNamed(operand.name.substr(kPrefix), kMsgLocalNotDefined, operand.start);
}

const CSspValue* CSspEngine::HeldMemberValue(const CSspListCode& code, const CSspCodeOperand& operand)
{
    if (operand.call || operand.dot < 0 || code.Source() != m_sourceFile)
        return nullptr;
    // As CallOperand dispatches it: to the declared object found while the declared objects were
    // as they are now.
    const std::uint64_t key = OperandKey(operand);
    OperandTarget* kept = m_operands.Find(key);
    if (kept == nullptr || kept->declared == nullptr || kept->declarations != m_declarations)
        return nullptr;
    return kept->declared->object->HeldMemberValue(operand.name.substr(static_cast<size_t>(operand.dot) + 1),
                                                   kept->memberHint);
}

void CSspEngine::CallLocal(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    if (!IsLocalMemberName(member)) {
        if (call.m_hasParentheses)
            CallLocalFunction(call, result, nullptr);
        else
            result = m_locals.FindNamed(member, kMsgLocalNotDefined, call.m_position);
        return;
    }
    if (CallLocalDataSource(call, result))
        return;
    if (EqualsNoCase(member, "setErrorFile")) {
        if (call.ParamCount() < 1)
            RaiseCatalogText(kMsgMissingParameter, call.m_position);
        SetErrorFile(call.GetParamStr(0));
        return;
    }
    if (EqualsNoCase(member, "url")) {
        result.SetString(m_urlPath);
        return;
    }
    if (EqualsNoCase(member, "urlPath")) {
        result.SetString(m_urlDirectory);
        return;
    }
    if (EqualsNoCase(member, "SetVar")) {
        if (call.ParamCount() != 2)
            RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
        try {
            m_locals.Set(call.GetParamStr(0), call.m_args[1]);
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryLocal, 0);
        }
        return;
    }
    if (EqualsNoCase(member, "Var"))
        return m_locals.ReadVar(call, kMsgLocalNotDefined, result);
    if (call.m_hasParentheses) {
        CallLocalFunction(call, result, nullptr);
        return;
    }
    m_locals.ReadNamed(call, kMsgLocalNotDefined, result);
}

const CSspValue* CSspEngine::FindLocalVariable(std::string_view name) const
{
    return m_locals.Find(name);
}

void CSspEngine::CallArg(CSspCall& call, CSspValue& result)
{
    result = Argument(call.m_member, call.m_position);
}

const CSspValue& CSspEngine::Argument(std::string_view name, int position) const
{
    if (m_function == nullptr || m_callArguments == nullptr)
        throw CSspException("This is not a function or no parameter is defined.", position);
    const std::vector<std::string>& parameters = m_function->parameters;
    size_t index = 0;
    while (index < parameters.size() && !EqualsNoCase(parameters[index], name))
        ++index;
    if (index == parameters.size())
        throw CSspException("Argument not found in function definition.", position);
    if (m_callArguments->size() <= index)
        throw CSspException("Argument not found in function call statement.", position);
    return (*m_callArguments)[index];
}

void CSspEngine::CallLocalFunction(CSspCall& call, CSspValue& result, CSspValueList* returnedValues)
{
    CallLocalFunction(call.m_member, call.m_args, call.m_position, result, returnedValues);
}
