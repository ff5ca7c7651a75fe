// The compiled form of a run's text: a whole page or script, or the body of one of its functions.
//
// The language has no syntax of its own beyond its tokens: the interpreter moves a cursor through
// the source and recognises each statement by its first token, template text and code blocks by
// their openers and closers. Where the cursor goes next follows from the text alone, except for the
// jumps of control statements, whose targets also follow from the text (a skip to the matching
// endif is a scan of the tokens that come after). So the whole walk can be made once: the program
// is the list of what the interpreter meets, in order, each op with the positions the cursor holds
// around it and what it evaluates, compiled. The run then goes from op to op instead of reading
// tokens. Nothing is checked ahead: an op that the source does not let compile (a list without its
// ")", a literal without its end quote) raises its error when it is reached, at the same place as a
// scan would have, and the ops after it are compiled only when a jump lands there.
//
// The control stacks stay the run's own (if and while nodes, found by the op that made them), so
// loops, skips and their errors behave as the cursor-driven walk does, also when template text
// and several code blocks lie inside one loop.
#pragma once

#include "language/ssp_function.h"
#include "language/ssp_lexer.h"
#include "language/ssp_list_code.h"

#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CSourceFile;

// An error that the source holds: raised where the op that meets it says.
struct CSspFailure
{
    std::string message;
    int position = kNoPosition;

    [[noreturn]] void Raise() const;
};

// Where a skip lands, or the error it raises.
struct CSspJump
{
    int pc = -1;
    std::unique_ptr<CSspFailure> failure;
};

// A function definition read at the place of its keyword "function".
struct CSspDefinition
{
    CSspToken name;
    std::unique_ptr<CSspFailure> nameFailure;  // the name could not be read
    std::unique_ptr<CSspFailure> failure;      // the rest of the definition is broken
    CSspFunction function;                     // when neither failure is set
};
// Reads the definition whose keyword "function" starts at key, within [key, end).
CSspDefinition ReadDefinition(CSourceFile& file, int key, int end);

// What a declaration statement reads after its keyword.
struct CSspDeclarationCode
{
    int kind = 0;
    bool upload = false;  // FileUpload name = Request.field
    int key = 0;          // the declaration's place: its keyword, or for sql the place after "="
    CSspToken name;
    // The failure of what is read after the object is declared (arguments, "=", the statement);
    // raised after the declaration's name test.
    std::unique_ptr<CSspFailure> failure;
    // The arguments in parentheses; null when no "(" follows the name.
    CSspListCodePtr arguments;
    CSspListCodePtr source;  // array b = f(): the expression; sql: a computed statement
    std::string text;        // FileUpload: the source (Request.field); sql: the statement
    int statementEnd = 0;    // sql: the cursor after the statement's ";"
    bool raw = false;        // sql: the statement is computed
};

// What few ops read, or what runs seldom reach: kept beside the ops (see CSspOp).
struct CSspOpDetail
{
    // Raised when a statement is reached, after its hooks (kIf, kWhile, kAssign, kError, kReturn,
    // kWrite, kLog, kExpression); for others where their kind says.
    std::unique_ptr<CSspFailure> failure;
    // Raised instead of the op's jump when the skip it stands for cannot be made.
    std::unique_ptr<CSspFailure> jumpFailure;
    CSspJump skipToEnd;  // kElseIf: past endif
    // kExpression: the statement's first token, when it is no plain slice [first, afterFirst) of the
    // source (a string literal).
    std::string_view word;
    // kAssign: the target as written, where it starts, and the offset of its first ".".
    std::string_view target;
    int targetStart = 0;
    int dot = -1;
    std::string_view returnedArray;  // kReturn of a single name: that name
    int objectKind = -1;             // kDeclare
    std::unique_ptr<CSspDeclarationCode> declaration;
    std::unique_ptr<CSspDefinition> definition;
};

// One op holds what running it reads on the usual way and nothing more, so that the ops of a page
// lie in few cache lines: a server that runs many pages in turn finds little of each in its
// caches. The rest is in the op's detail.
struct CSspOp
{
    enum Code : unsigned char
    {
        kText,   // template text [first, afterFirst); the cursor then stands at next
        kClose,  // "}--" at first: the code block closes
        kEnd,    // the end of the run's text, at first
        kRaise,  // failure: the text cannot be read any further here
        kGoto,   // go on at op jump
        // Statements, from kIf on: the hooks and the limits run first, with the cursor at afterFirst.
        kIf,
        kElseIf,
        kElse,
        kEndIf,
        kWhile,
        kEndWhile,
        kBreak,
        kContinue,
        kAssign,  // target = list (set or not)
        kError,
        kReturn,
        kWrite,
        kLog,
        kExpression,
        kDeclare,
        kFunction,
    };
    Code code = kEnd;
    unsigned char mode = kStatementMode;  // the code mode in which the op is met
    bool local : 1 = false;               // kAssign: the target is Local.<name>
    bool redirects : 1 = false;           // kExpression that begins with Response.Redirect
    bool fails : 1 = false;               // the detail holds the op's failure
    int first = 0;
    int afterFirst = 0;
    int next = 0;   // the cursor after what the op reads
    int slot = -1;  // kAssign of Local.<name>: the slot of name
    int node = -1;  // kIf, kWhile: the index of the run's node
    // Where the op goes on when not at the next op: kGoto; kFunction: past endfunction; kIf,
    // kElseIf: the next branch; kElse: past endif; kWhile, kBreak: past endwhile. -1 when the skip
    // fails (the detail's jumpFailure).
    int jump = -1;
    int detail = -1;       // index of the op's detail; -1: it has none
    CSspListCodePtr list;  // the condition, or the expression
};

class CSspProgram
{
public:
    // The program of the text [start, end) of file, entered in mode; for the body of a function,
    // its arg.<name> reads know the parameter they read.
    CSspProgram(CSourceFile& file, int start, int end, int mode, const CSspFunction* function = nullptr);
    ~CSspProgram();
    CSspProgram(const CSspProgram&) = delete;
    CSspProgram& operator=(const CSspProgram&) = delete;

    const CSspOp& Op(int pc) const { return m_ops[static_cast<size_t>(pc)]; }
    // The detail of op, empty when it has none.
    const CSspOpDetail& Detail(const CSspOp& op) const;
    size_t OpCount() const { return m_ops.size(); }
    int IfCount() const { return m_ifCount; }
    // The local variables that the program writes out.
    const CSspLocalNames& LocalNames() const { return m_names; }
    int WhileCount() const { return m_whileCount; }
    int Start() const { return m_start; }
    int End() const { return m_end; }

private:
    friend class CSspProgramCompiler;

    // The compiled lists of the ops and their arrays, allocated one after another as the walk
    // meets them: a page's code lies together instead of spread over the heap among whatever else
    // the compiling thread allocated, so that a run touches few cache lines and pages of memory
    // for it. Nothing is freed before the program is.
    CSspCodeMemory m_memory;
    std::vector<CSspOp> m_ops;
    std::vector<CSspOpDetail> m_details;
    CSspLocalNames m_names;
    int m_ifCount = 0;
    int m_whileCount = 0;
    int m_start = 0;
    int m_end = 0;
};
