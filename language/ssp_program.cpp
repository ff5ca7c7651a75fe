#include "language/ssp_program.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/name_index.h"
#include "foundation/script_error.h"
#include "language/source_file.h"
#include "language/ssp_declared_kind.h"
#include "language/ssp_token_list.h"

#include <cstdint>

namespace {

constexpr int kMsgShouldBeBlockEnd = 81;  // "Should be }-->"
constexpr int kMsgSetWithoutDot = 86;     // "Missing . in set a.b = ... statement."
constexpr int kMsgSetWithoutEquals = 87;  // "Missing = in set statement."
constexpr int kMsgMissingSqlEquals = 88;  // "Missing = in SQL definition statement."
constexpr int kMsgMissingEquals = 91;     // "Missing = "
constexpr const char* kFunctionSyntax = "Syntax: function name(paramter 1, parameter 2, ...)";
constexpr const char* kMissingEndFunction = "Function must end with \"endfunction\" statement.";

struct Keyword
{
    std::string_view text;
    CSspOp::Code code;
    int objectKind;  // declarations only
};

constexpr Keyword kKeywords[] = {
    {"if", CSspOp::kIf, -1},
    {"elseif", CSspOp::kElseIf, -1},
    {"else", CSspOp::kElse, -1},
    {"endif", CSspOp::kEndIf, -1},
    {"while", CSspOp::kWhile, -1},
    {"endwhile", CSspOp::kEndWhile, -1},
    {"break", CSspOp::kBreak, -1},
    {"continue", CSspOp::kContinue, -1},
    {"set", CSspOp::kAssign, -1},
    {"error", CSspOp::kError, -1},
    {"return", CSspOp::kReturn, -1},
    {"write", CSspOp::kWrite, -1},
    {"log", CSspOp::kLog, -1},
    {"LDAP", CSspOp::kDeclare, kLdapObject},
    {"sql", CSspOp::kDeclare, kSqlObject},
    {"FileUpload", CSspOp::kDeclare, kFileObject},
    {"file", CSspOp::kDeclare, kFileObject},
    {"tokenizer", CSspOp::kDeclare, kTokenizerObject},
    {"email_in", CSspOp::kDeclare, kEmailInObject},
    {"email_out", CSspOp::kDeclare, kEmailOutObject},
    {"datetime", CSspOp::kDeclare, kDateTimeObject},
    {"array", CSspOp::kDeclare, kArrayObject},
    {"function", CSspOp::kFunction, -1},
};

const Keyword* KeywordOf(std::string_view text)
{
    static constexpr CNameIndex<Keyword, &Keyword::text, 10, 8> kIndex(kKeywords);
    return kIndex.Find(text);
}

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::unique_ptr<CSspFailure> FailureOf(const CSspException& error)
{
    return std::make_unique<CSspFailure>(CSspFailure{error.GetMessage(), error.GetPosition()});
}

std::unique_ptr<CSspFailure> CatalogFailure(int slot, int position)
{
    return std::make_unique<CSspFailure>(CSspFailure{CMessageCatalog::Text(slot), position});
}

// A statement that the script computes rather than writes out.
bool IsStatementExpression(std::string_view text)
{
    return StartsWithNoCase(text, "Request.") || StartsWithNoCase(text, "Local.") ||
           StartsWithNoCase(text, "Session.") || text.starts_with('\'');
}

// Reads tokens of one file within [.., end), as the interpreter's cursor does.
struct Reader
{
    CSourceFile& file;
    int cursor;
    int end;

    CSspToken Read() { return NextToken(file, cursor, end); }
    CSspToken Peek() const
    {
        int at = cursor;
        return NextToken(file, at, end);
    }
    CSspLocalNames* names;

    std::pmr::memory_resource* memory;

    CSspListCodePtr Collect(CSspCollector collector, CSspListCode::Use use)
    {
        CSspTokenList list;
        CollectTokens(collector, file, cursor, end, list);
        return MakeListCode(memory, list, use, names, false, 0);
    }
};

enum class SkipTarget
{
    kEndIf,
    kNextBranch,
    kEndWhile
};

struct SkipResult
{
    int position = 0;
    int mode = kStatementMode;
    std::unique_ptr<CSspFailure> failure;
};

// The cursor's walk past the branch or loop body that a condition leaves out: template text is
// passed over, code blocks are closed as they end, and nested ifs and whiles are passed whole.
// For the next branch the cursor stops before the keyword ("elseif", "else" or "endif"), so that it
// runs as a statement; otherwise after the closer.
SkipResult Skip(CSourceFile& file, int cursor, int mode, int end, SkipTarget target)
{
    const int began = cursor;
    const bool loop = target == SkipTarget::kEndWhile;
    const std::string_view opener = loop ? "while" : "if";
    const std::string_view closer = loop ? "endwhile" : "endif";
    const std::string_view text = file.Text();
    // Where the skips of the nested blocks began: an unclosed nested block is reported there.
    std::vector<int> nested;
    SkipResult result;
    try {
        for (;;) {
            CSspToken token{{}, cursor};
            while (cursor < end) {
                if (mode == kTextMode) {
                    std::string_view skipped;
                    mode = ReadText(text, cursor, end, skipped, false);
                    continue;
                }
                token = NextToken(file, cursor, end);
                if (token.text != "}--")
                    break;
                if (mode == kStatementMode) {
                    SkipSpaceAndComments(text, cursor, end);
                    if (cursor >= end || text[static_cast<size_t>(cursor)] != '>')
                        RaiseCatalogText(kMsgShouldBeBlockEnd, cursor);
                    ++cursor;
                }
                mode = kTextMode;
                token = CSspToken{{}, cursor};
            }
            const std::string_view word = token.text;
            if (word.empty())
                break;
            if (EqualsNoCase(word, opener)) {
                nested.push_back(cursor);
            } else if (EqualsNoCase(word, closer)) {
                if (nested.empty()) {
                    result.position = target == SkipTarget::kNextBranch ? token.start : cursor;
                    result.mode = mode;
                    return result;
                }
                nested.pop_back();
            } else if (target == SkipTarget::kNextBranch && nested.empty() &&
                       (EqualsNoCase(word, "elseif") || EqualsNoCase(word, "else"))) {
                result.position = token.start;
                result.mode = mode;
                return result;
            }
        }
        RaiseCatalogText(loop ? kMsgMissingEndWhile : kMsgMissingEndIf, nested.empty() ? began : nested.back());
    } catch (const CSspException& error) {
        result.failure = FailureOf(error);
    }
    return result;
}

}  // namespace

void CSspFailure::Raise() const
{
    throw CSspException(message, position);
}

CSspDefinition ReadDefinition(CSourceFile& file, int key, int end)
{
    CSspDefinition definition;
    Reader reader{file, key + 8, end, nullptr, nullptr};  // just after "function"
    try {
        definition.name = reader.Read();
    } catch (const CSspException& error) {
        definition.nameFailure = FailureOf(error);
        return definition;
    }
    try {
        CSspFunction& function = definition.function;
        function.key = key;
        function.name = definition.name.text;
        if (reader.Read().text != "(")
            throw CSspException(kFunctionSyntax, key);
        for (;;) {
            CSspToken parameter = reader.Read();
            if (parameter.text == ")")
                break;
            if (parameter.text == ",")
                continue;
            if (parameter.text.empty() || parameter.text == ";" || parameter.text == "}--" ||
                !IsAsciiAlnum(parameter.text.front()))
                throw CSspException(kFunctionSyntax, key);
            function.parameters.emplace_back(parameter.text);
        }
        CSspToken token = reader.Read();
        function.bodyStart = token.start;
        while (!EqualsNoCase(token.text, "endfunction")) {
            if (token.text.empty() || token.text == "}--")
                throw CSspException(kMissingEndFunction, key);
            token = reader.Read();
        }
        function.endKeyword = token.start;
        function.end = reader.cursor;
    } catch (const CSspException& error) {
        definition.failure = FailureOf(error);
    }
    return definition;
}

// Walks the text as the interpreter's statement loop does and writes down what it meets.
class CSspProgramCompiler
{
public:
    CSspProgramCompiler(CSourceFile& file, CSspProgram& program) : m_file(file), m_program(program) {}

    void Compile(int start, int mode)
    {
        Stretch(start, mode);
        // Jumps to places that the walk has not met: compiled from there on, until the walk meets
        // compiled code again.
        while (!m_pending.empty()) {
            Pending jump = m_pending.back();
            m_pending.pop_back();
            const int pc = PcOf(jump.position, jump.mode);
            if (jump.toEnd)
                DetailOf(jump.op).skipToEnd.pc = pc;
            else
                Op(jump.op).jump = pc;
        }
    }

private:
    struct Pending
    {
        int op;
        bool toEnd;
        int position;
        int mode;
    };

    static std::uint64_t Key(int position, int mode)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(position)) << 2) | static_cast<unsigned>(mode);
    }

    int PcOf(int position, int mode)
    {
        if (auto known = m_pcs.find(Key(position, mode)); known != m_pcs.end())
            return known->second;
        const int pc = static_cast<int>(m_program.m_ops.size());
        Stretch(position, mode);
        return pc;
    }

    CSspOp& Emit(CSspOp::Code code, int mode, int first)
    {
        CSspOp& op = m_program.m_ops.emplace_back();
        op.code = code;
        op.mode = mode;
        op.first = first;
        op.afterFirst = first;
        op.next = first;
        return op;
    }

    int NextPc() const { return static_cast<int>(m_program.m_ops.size()); }

    CSspOpDetail& DetailOf(int pc)
    {
        CSspOp& op = Op(pc);
        if (op.detail < 0) {
            op.detail = static_cast<int>(m_program.m_details.size());
            m_program.m_details.emplace_back();
        }
        return m_program.m_details[static_cast<size_t>(op.detail)];
    }

    void Fail(int pc, std::unique_ptr<CSspFailure> failure)
    {
        DetailOf(pc).failure = std::move(failure);
        Op(pc).fails = true;
    }

    // Compiles from the cursor on until the text ends, an op fails for good or the walk meets code
    // compiled before.
    void Stretch(int cursor, int mode)
    {
        const int end = m_program.m_end;
        for (;;) {
            if (auto known = m_pcs.find(Key(cursor, mode)); known != m_pcs.end()) {
                Emit(CSspOp::kGoto, mode, cursor).jump = known->second;
                return;
            }
            m_pcs.emplace(Key(cursor, mode), NextPc());
            if (cursor >= end) {
                Emit(CSspOp::kEnd, mode, cursor);
                return;
            }
            if (mode == kTextMode) {
                std::string_view text;
                int after = cursor;
                const int next = ReadText(m_file.Text(), after, end, text, false);
                CSspOp& op = Emit(CSspOp::kText, mode, cursor);
                op.afterFirst = cursor + static_cast<int>(text.size());
                op.next = after;
                cursor = after;
                mode = next;
                continue;
            }
            CSspToken token;
            int after = cursor;
            try {
                token = NextToken(m_file, after, end);
            } catch (const CSspException& error) {
                Emit(CSspOp::kRaise, mode, cursor);
                Fail(NextPc() - 1, FailureOf(error));
                return;
            }
            // The token's own place reads the same token: a jump to a keyword lands here too.
            if (token.start != cursor && !token.text.empty()) {
                if (auto known = m_pcs.find(Key(token.start, mode)); known != m_pcs.end()) {
                    Emit(CSspOp::kGoto, mode, cursor).jump = known->second;
                    return;
                }
                m_pcs.emplace(Key(token.start, mode), NextPc());
            }
            if (token.text == "}--") {
                const int pc = NextPc();
                CSspOp& op = Emit(CSspOp::kClose, mode, token.start);
                if (mode == kStatementMode) {
                    // The closer "}-->" may have white space between "}--" and ">", but only the
                    // ">" itself belongs to it: "}-->=" is a closer followed by text.
                    SkipSpaceAndComments(m_file.Text(), after, end);
                    if (after >= end || m_file.Text()[static_cast<size_t>(after)] != '>') {
                        op.next = after;
                        Fail(pc, CatalogFailure(kMsgShouldBeBlockEnd, after));
                        return;
                    }
                    ++after;
                }
                op.next = after;
                cursor = after;
                mode = kTextMode;
                continue;
            }
            cursor = after;
            if (token.text.empty() || token.text == ";")
                continue;
            const int pc = NextPc();
            if (!Statement(token, after, mode)) {
                // Nothing follows a statement that always fails; an expression statement that a
                // derived engine runs as its own is followed by its failure.
                const CSspOp& failed = Op(pc);
                if (failed.code == CSspOp::kExpression && failed.fails) {
                    auto failure = std::make_unique<CSspFailure>(*DetailOf(pc).failure);
                    Emit(CSspOp::kRaise, mode, token.start);
                    Fail(NextPc() - 1, std::move(failure));
                }
                return;
            }
            cursor = m_program.m_ops[static_cast<size_t>(pc)].next;
        }
    }

    void SkipFrom(int op, bool toEnd, int cursor, int mode, SkipTarget target)
    {
        SkipResult result = Skip(m_file, cursor, mode, m_program.m_end, target);
        if (result.failure) {
            CSspOpDetail& detail = DetailOf(op);
            (toEnd ? detail.skipToEnd.failure : detail.jumpFailure) = std::move(result.failure);
            return;
        }
        m_pending.push_back(Pending{op, toEnd, result.position, mode == result.mode ? mode : result.mode});
    }

    // Compiles the statement that begins with token; false when the op it makes always fails, so
    // that nothing follows it.
    bool Statement(const CSspToken& token, int afterFirst, int mode)
    {
        const int pc = NextPc();
        const Keyword* keyword = KeywordOf(token.text);
        CSspOp& op = Emit(keyword ? keyword->code : CSspOp::kExpression, mode, token.start);
        op.afterFirst = afterFirst;
        op.next = afterFirst;
        Reader reader{m_file, afterFirst, m_program.m_end, &m_program.m_names, &m_program.m_memory};
        try {
            switch (op.code) {
            case CSspOp::kIf:
                op.node = m_program.m_ifCount++;
                op.list = reader.Collect(CSspCollector::kArguments, CSspListCode::Use::kCondition);
                op.next = reader.cursor;
                SkipFrom(pc, false, reader.cursor, mode, SkipTarget::kNextBranch);
                return true;
            case CSspOp::kElseIf:
                SkipFrom(pc, true, afterFirst, mode, SkipTarget::kEndIf);
                op.list = reader.Collect(CSspCollector::kArguments, CSspListCode::Use::kCondition);
                Op(pc).next = reader.cursor;
                SkipFrom(pc, false, reader.cursor, mode, SkipTarget::kNextBranch);
                return true;
            case CSspOp::kElse: SkipFrom(pc, false, afterFirst, mode, SkipTarget::kEndIf); return true;
            case CSspOp::kWhile:
                op.node = m_program.m_whileCount++;
                op.list = reader.Collect(CSspCollector::kArguments, CSspListCode::Use::kCondition);
                op.next = reader.cursor;
                SkipFrom(pc, false, reader.cursor, mode, SkipTarget::kEndWhile);
                return true;
            case CSspOp::kBreak: SkipFrom(pc, false, afterFirst, mode, SkipTarget::kEndWhile); return true;
            case CSspOp::kEndIf:
            case CSspOp::kEndWhile:
            case CSspOp::kContinue: return true;
            case CSspOp::kAssign: {
                const CSspToken target = reader.Read();
                return Assignment(pc, target, reader.cursor, reader, -1);
            }
            case CSspOp::kError:
            case CSspOp::kReturn:
            case CSspOp::kWrite:
            case CSspOp::kLog: return Expression(pc, reader);
            case CSspOp::kDeclare: return Declaration(pc, keyword->objectKind, token, reader);
            case CSspOp::kFunction: {
                auto definition =
                    std::make_unique<CSspDefinition>(ReadDefinition(m_file, token.start, m_program.m_end));
                const bool complete = !definition->nameFailure && !definition->failure;
                op.next = complete ? definition->function.end : afterFirst;
                DetailOf(pc).definition = std::move(definition);
                return complete;
            }
            default: break;
            }
            // A statement without a keyword assigns when a "=" follows its first token; else it is an
            // expression, from its first token on.
            int afterEquals = afterFirst;
            if (NextToken(m_file, afterEquals, m_program.m_end).text == "=") {
                op.code = CSspOp::kAssign;
                reader.cursor = afterEquals;
                return Assignment(pc, token, afterFirst, reader, afterEquals);
            }
            op.redirects = EqualsNoCase(token.text, "Response.Redirect");
            KeepWord(pc, token);
            reader.cursor = token.start;
            return Expression(pc, reader);
        } catch (const CSspException& error) {
            if (Op(pc).code == CSspOp::kExpression)
                KeepWord(pc, token);
            Fail(pc, FailureOf(error));
            return false;
        }
    }

    CSspOp& Op(int pc) { return m_program.m_ops[static_cast<size_t>(pc)]; }

    // Most first tokens are the source's own bytes up to the cursor after them; only those that
    // are not are kept.
    void KeepWord(int pc, const CSspToken& token)
    {
        const CSspOp& op = Op(pc);
        const std::string_view slice =
            m_file.Text().substr(static_cast<size_t>(op.first), static_cast<size_t>(op.afterFirst - op.first));
        if (token.text.data() != slice.data() || token.text.size() != slice.size())
            DetailOf(pc).word = token.text;
    }

    bool Expression(int pc, Reader& reader)
    {
        CSspListCodePtr list;
        {
            CSspTokenList tokens;
            CollectTokens(CSspCollector::kExpression, m_file, reader.cursor, reader.end, tokens);
            list =
                MakeListCode(&m_program.m_memory, tokens, CSspListCode::Use::kExpression, &m_program.m_names, false, 0);
            // `return a` of a declared array hands its values back whole.
            if (Op(pc).code == CSspOp::kReturn && tokens.Size() == 1 && tokens[0].kind == kOperandToken &&
                tokens[0].form == CSspOperandForm::kMember)
                DetailOf(pc).returnedArray = tokens[0].name;
        }
        CSspOp& op = Op(pc);
        op.list = std::move(list);
        op.next = reader.cursor;
        return true;
    }

    // target = value; afterEquals: the cursor after the "=" already read, or -1 for "set".
    bool Assignment(int pc, const CSspToken& target, int afterTarget, Reader& reader, int afterEquals)
    {
        CSspOp& op = Op(pc);
        op.code = CSspOp::kAssign;
        const size_t dot = target.text.find('.');
        if (dot == std::string_view::npos) {
            Fail(pc, CatalogFailure(kMsgSetWithoutDot, afterTarget));
            return false;
        }
        op.local = EqualsNoCase(target.text.substr(0, dot), "Local");
        if (op.local) {
            op.slot = m_program.m_names.Add(target.text.substr(dot + 1));
        } else {
            // Only a target other than Local is assigned by a call that names it.
            CSspOpDetail& detail = DetailOf(pc);
            detail.target = target.text;
            detail.targetStart = target.start;
            detail.dot = static_cast<int>(dot);
        }
        if (afterEquals < 0 && reader.Read().text != "=") {
            Fail(pc, CatalogFailure(kMsgSetWithoutEquals, target.start));
            return false;
        }
        return Expression(pc, reader);
    }

    bool Declaration(int pc, int kind, const CSspToken& keyword, Reader& reader)
    {
        auto declaration = std::make_unique<CSspDeclarationCode>();
        CSspDeclarationCode& d = *declaration;
        d.kind = kind;
        d.key = keyword.start;
        d.upload = EqualsNoCase(keyword.text, "FileUpload");
        DetailOf(pc).objectKind = kind;
        DetailOf(pc).declaration = std::move(declaration);
        // The name, and for sql its "=", are read before the object is declared; their failures
        // are the op's own.
        d.name = reader.Read();
        if (kind == kSqlObject) {
            const CSspToken equals = reader.Read();
            if (equals.text != "=") {
                Fail(pc, CatalogFailure(kMsgMissingSqlEquals, equals.start));
                return false;
            }
            d.key = reader.cursor;
        }
        try {
            DeclarationRest(d, reader);
        } catch (const CSspException& error) {
            d.failure = FailureOf(error);
        }
        Op(pc).next = reader.cursor;
        return !d.failure;
    }

    void DeclarationRest(CSspDeclarationCode& d, Reader& reader)
    {
        switch (d.kind) {
        case kLdapObject: return;
        case kSqlObject: {
            for (;;) {
                const CSspToken token = reader.Read();
                if (token.text == ";")
                    break;
                // The end of the code block ends the statement as the end of the text does: a
                // statement without its ";" must not swallow the template text after it.
                if (token.text.empty() || token.text == "}--" || IsControlKeyword(token.text))
                    RaiseCatalogText(kMsgMissingSemicolon, d.key);
                d.text.append(token.text).push_back(' ');
            }
            d.statementEnd = reader.cursor;
            d.raw = IsStatementExpression(d.text);
            if (d.raw) {
                Reader source{m_file, d.key, reader.end, &m_program.m_names, &m_program.m_memory};
                d.source = source.Collect(CSspCollector::kSqlListItem, CSspListCode::Use::kExpression);
            }
            return;
        }
        case kArrayObject:
            if (reader.Peek().text != "=")
                return;
            reader.Read();
            d.source = reader.Collect(CSspCollector::kExpression, CSspListCode::Use::kExpression);
            return;
        default: break;
        }
        if (d.upload) {
            const int before = reader.cursor;
            if (reader.Read().text != "=")
                RaiseCatalogText(kMsgMissingEquals, before);
            d.text = reader.Read().text;
            return;
        }
        // tokenizer, datetime, file and the registered kinds: the arguments in parentheses, if any.
        if (reader.Peek().text == "(")
            d.arguments = reader.Collect(CSspCollector::kArguments, CSspListCode::Use::kArguments);
    }

    CSourceFile& m_file;
    CSspProgram& m_program;
    std::unordered_map<std::uint64_t, int> m_pcs;
    std::vector<Pending> m_pending;
};

CSspProgram::CSspProgram(CSourceFile& file, int start, int end, int mode, const CSspFunction* function)
    : m_start(start), m_end(end)
{
    if (function != nullptr)
        m_names.SetParameters(function->parameters);
    CSspProgramCompiler(file, *this).Compile(start, mode);
    m_ops.shrink_to_fit();
    m_details.shrink_to_fit();
}

const CSspOpDetail& CSspProgram::Detail(const CSspOp& op) const
{
    static const CSspOpDetail kNone;
    return op.detail < 0 ? kNone : m_details[static_cast<size_t>(op.detail)];
}

CSspProgram::~CSspProgram() = default;
