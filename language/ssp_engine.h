// CSspEngine, the interpreter: one object runs one .twp page, one .tws script or one function of
// either from start to end. It has no parse tree; it moves a cursor through the source file's
// buffer, copying template text to the output and executing code as it is tokenised. Every caller
// (server thread, background thread, studio, nested function call) follows one entry protocol:
// construct an engine, link it as the thread's current engine (CSspEngineLink), call Run with a
// CSspRunArgs and act on the result; the error text and position survive the run.
//
// A nested run (a function called from a page) is built with the caller's top engine: it shares
// the top engine's source-file cache, the request and the output, and has its own variables and
// objects. The caller links it as its running child (RunNested) so that the hang log and the
// debugger can follow the whole chain.
//
// Statements are recognised by their first token; expressions are collected into flat token lists
// (the file's scan memo keeps them for the next pass) and reduced by kind and depth. Every operand
// that is not a literal is a member call: CallMember finds the object that answers it, first the
// built-in objects by name in a fixed order, then the objects the run declared. Objects of other
// layers take calls as CSspScriptObject: the request and response come with the run arguments.
// The engine is also the host of the sql objects its run declares: they read their statement's
// tokens and evaluate its script values through it, and use its data source.
//
// Positions are byte offsets from the first byte of the engine's source file, also inside a
// function body; -1 means none.
#pragma once

#include "database/data_source_pool.h"
#include "database/ssp_query_host.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_script_object.h"
#include "foundation/ssp_value.h"
#include "language/request_object.h"
#include "language/source_file.h"
#include "language/ssp_array.h"
#include "language/ssp_declared_kind.h"
#include "language/ssp_flat_table.h"
#include "language/ssp_lexer.h"
#include "language/ssp_list_code.h"
#include "language/ssp_program.h"
#include "language/ssp_token_list.h"
#include "language/ssp_variables.h"
#include "platform/recursive_timed_lock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class CDataSource;
class CSspDebugHooks;
class CSspSession;
class CSspOutputSink;

// One object a script declared: found by its name without regard to case, and found again by the
// position of its declaration when that runs once more (in a loop), so it is reused, not doubled.
struct CSspDeclaredObject
{
    std::string name;  // as written
    int key = 0;       // source position of the declaration
    std::unique_ptr<CSspScriptObject> object;
};

// Results of a run.
enum : int
{
    kRunCompleted = 0,   // the text ran to its end: the caller sends the output
    kRunFailed = 1,      // error text (and position) set
    kRunRedirected = 2,  // Response.Redirect already answered; the caller sends nothing more
    kRunStopped = 3,     // the debugger stopped the run
    kRunReturned = 4,    // a return statement ended the run; as 0, and nested callers take the value
};

// What a run is given. The views must stay valid for the length of Run.
struct CSspRunArgs
{
    std::string_view filePath = {};
    std::string_view urlPath = {};
    CSspRequestObject* request = nullptr;  // the Request object; none in a script run
    CSspOutputSink* response = nullptr;    // output and the Response object; none: output is discarded
    std::string_view functionName = {};    // empty: the whole file
    // Nested calls only: the evaluated arguments, where a returned value goes, and the list that
    // receives returned values (array a = f()).
    const CSspValueList* callArguments = nullptr;
    CSspValue* returnSlot = nullptr;
    CSspValueList* returnedValues = nullptr;
    // A call of a function of the caller's own file: the stamp of the caller's paths, which are
    // filePath and urlPath; an engine that copied them under this stamp before has them already.
    std::uint64_t pathsStamp = 0;
};

class CSspEngine : public CSspQueryHost
{
public:
    // top: the top engine of the caller's chain for a nested run; none for a top-level run.
    explicit CSspEngine(CSspEngine* top = nullptr);
    ~CSspEngine() override;
    CSspEngine(const CSspEngine&) = delete;
    CSspEngine& operator=(const CSspEngine&) = delete;

    // Runs a whole file or one of its functions; returns one of the run results above. An engine
    // may be run again: every run starts from a reset.
    [[nodiscard]] int Run(const CSspRunArgs& args);

    // Serves the database attachment that args.urlPath names (a "/filedb/" or "/fileindb/" URL)
    // into args.response, on a data source from the pool for that path, holding the application
    // lock as a run does. kRunCompleted when the bytes went out; kRunFailed with the error text set.
    [[nodiscard]] int ServeDbAttachment(const CSspRunArgs& args);

    // A web request's run ends with an error `seconds` after it took the application lock, at its
    // next statement, and a database statement running then is cancelled (CRunWatchdog), so that
    // a page that loops or waits on its database cannot hold the lock and its server thread. 0 (the default, and every background run) sets no
    // limit, and so does a run under the debugger, which pauses at breakpoints. Set on a top
    // engine before Run.
    void SetRunTimeLimit(int seconds) { m_runTimeLimit = seconds; }
    // Why a run is asked from outside to end.
    enum class EndRequest : int
    {
        kNone,
        kDisconnect,
        kServerStop,
        kTimeLimit
    };
    // Any thread may ask, at any time: the run of this engine's top engine, nested runs
    // included, ends with an error at its next statement. The request is a signal, not state of
    // the run, so it may be given through a const engine (the thread's current-engine slot).
    void RequestEnd(EndRequest reason) const { m_top->m_endRequest.store(static_cast<int>(reason)); }

    // Runs child (built with this engine's top) as a nested call at callPosition. A result other
    // than completed or returned is thrown as a CSspException carrying the child's error text, so
    // nothing is left for the caller to check.
    void RunNested(CSspEngine& child, const CSspRunArgs& args, int callPosition);
    // The engine for a nested call that the caller keeps in `kept` for its later calls, made on
    // first use: a call then builds no engine, and the kept one finds the function and its code
    // again at once. A call on another thread than this engine's (a debugger's watch) or while the
    // kept engine is running gets a spare made in `spare`. Throws std::bad_alloc.
    CSspEngine& ChildForCall(std::unique_ptr<CSspEngine>& kept, std::unique_ptr<CSspEngine>& spare)
    {
        CSspEngine& child = kept != nullptr && IsFreeChild(*kept) ? *kept : MakeChildForCall(kept, spare);
        // As an engine built for this call would have them.
        child.m_hooks = m_top->m_hooks;
        return child;
    }

    // The debugger that twStudio installs for the whole process; engines built afterwards call it.
    static void InstallDebugHooks(CSspDebugHooks* hooks);
    // Replaces the hooks of this engine (and of nested engines built from it later).
    void SetDebugHooks(CSspDebugHooks* hooks) { m_hooks = hooks; }

    // Sets the error text from a message and a position: with a position inside the source text the
    // report names file, line, column and source line; otherwise it is the message itself.
    const std::string& FormatError(std::string_view message, int position);
    // The line of this engine's cursor; with a file name, the line at which the innermost engine of
    // the chain that runs that file stands (0 when none does).
    int GetLineNumber() const;
    int GetLineNumber(std::string_view fileName) const;
    // True when the source line that holds the cursor contains an output-block opener "--{".
    bool LineOpensCode() const;
    // The value of an expression as text, evaluated in this run as it stands (the debugger's watch,
    // while the run's own thread is paused in a hook); a failure gives its message instead. sql
    // objects that have not run their statement say so rather than run it.
    std::string EvalWatch(std::string_view expression);
    // Log lines that show where a hung run stands, from the top engine through its running
    // children; empty while the top engine has not moved past its start.
    std::vector<std::string> HangPosition() const;
    // Writes HangPosition to the process log (called by the watchdog of a hung thread).
    void LogHangPosition() const;

    // Local.setErrorFile: the page to run when this run fails. A path that begins with "/" is a URL
    // path below the web root; any other is relative to this run's URL folder and file folder.
    void SetErrorFile(std::string_view path);
    const std::string& ErrorFileUrl() const { return m_errorFileUrl; }
    const std::string& ErrorFilePath() const { return m_errorFilePath; }

    // The URL path and disk path of a file that this run names (its error page, a file object): a
    // rooted path lies below the web root, any other is relative to the run's URL folder and source
    // folder. Both are normalised; the disk path never leaves the web root (for a script kept
    // outside it, the script's own folder), whatever ".." parts the path holds.
    struct CScriptFileName
    {
        std::string url;
        std::string file;
    };
    CScriptFileName ResolveScriptFile(std::string_view path, bool rooted) const;

    const std::string& ErrorText() const { return m_errorText; }
    // The last run failed without running: its request's client closed the connection while the
    // run waited for the application lock.
    bool WasAbandoned() const { return m_abandoned; }
    int ErrorPosition() const { return m_errorPosition; }
    const std::string& FilePath() const { return m_filePath; }
    const std::string& UrlPath() const { return m_urlPath; }
    const std::string& UrlDirectory() const { return m_urlDirectory; }
    CSspEngine* TopEngine() const { return m_top; }
    bool IsTopEngine() const { return m_top == this; }
    CSspEngine* RunningChild() const { return m_runningChild.load(); }
    CSourceFile* SourceFile() const { return m_sourceFile; }
    // The files read by the top-level run that this run belongs to.
    CSourceFileCache& SourceFiles() const { return m_top->m_cache; }
    const CSspFunction* Function() const { return m_function; }
    int Cursor() const { return m_cursor.load(std::memory_order_relaxed); }
    int CodeMode() const { return m_codeMode; }
    std::thread::id OwnerThread() const { return m_ownerThread; }
    CSspRequestObject* Request() const { return m_request; }
    CSspOutputSink* Response() const { return m_response; }
    const CSspValueList* CallArguments() const { return m_callArguments; }

    // The run's data source: taken from the application's pool for the run's URL path on the first
    // database use of the run, and given back when the run ends. A nested run uses its top engine's
    // unless its URL path maps to another connect string. Throws CSspException when there is none
    // for the path or it cannot be opened.
    CDataSource* GetRunDataSource() override;
    bool HasDataSource() const { return m_runDataSource != nullptr; }
    // Local.BeginTransaction and Local.CommitTransaction. The engine ends only a transaction that it
    // began itself: a nested run on the same shared data source leaves its caller's alone.
    void BeginTransaction();
    void CommitTransaction();

    // For the sql objects of this run: tokens of their declarations and the values of the script
    // expressions in them, read from this engine's source text.
    CSspSqlToken NextSqlToken(int& cursor, int end) override;
    bool EvaluateSqlExpression(int start, int end, CSspValue& result) override;
    bool IsEvaluatingWatch() const override { return m_evaluatingWatch; }

    // Member dispatch: finds the object that answers call (a bare name, the built-in objects by name
    // in a fixed order, then the objects this run declared) and lets it write result. An operand
    // that names nothing known raises "Unknown Object: " with its object name.
    void CallMember(CSspCall& call, CSspValue& result);
    // Runs the function call.m_member of this engine's own file in a nested engine with the call's
    // arguments; its return statement fills result and, when given, returnedValues.
    void CallLocalFunction(CSspCall& call, CSspValue& result, CSspValueList* returnedValues);

    // Evaluation of compiled lists: arithmetic and concatenation; a condition with and, or and one
    // comparison; the arguments of a call, appended to call.m_args.
    void EvalExpression(const CSspListCode& code, CSspValue& result);
    bool EvalCondition(const CSspListCode& code);
    // EvalCondition, with the commonest condition, a comparison of two operands read in place,
    // done here: the test of every pass of most loops.
    bool TestCondition(const CSspListCode& code)
    {
        if (code.GetShape() != CSspListCode::Shape::kCompare)
            return EvalCondition(code);
        const CSspValue& left = InPlaceValue(code.LeftOperand());
        return left.Compare(code.ComparisonOp(), InPlaceValue(code.RightOperand()));
    }
    // Evaluates code and writes its value to the run's output, if there is one.
    void WriteExpression(const CSspListCode& code);
    void EvalParam(const CSspListCode& code, CSspCall& call);

    // The objects this run declared, by kind: the first of the kind whose name matches without
    // regard to case, or null.
    CSspDeclaredObject* FindObject(int kind, std::string_view name) const;
    // Hands call to the declared object of that kind named call.m_object; false when there is none.
    bool CallObject(int kind, CSspCall& call, CSspValue& result);
    // True when a declared object other than an LDAP object bears the name.
    bool IsObjectNameUsed(std::string_view name) const;
    // A local variable of this run (names without regard to case), or null.
    const CSspValue* FindLocalVariable(std::string_view name) const;

protected:
    // Executes op, a statement that begins with no keyword (an expression statement, not an
    // assignment), with the cursor just after its first token; returns a run result (0 goes on).
    // The run goes on after the statement as the language reads it, up to its ";" or the end of
    // its block, wherever this leaves the cursor.
    [[nodiscard]] virtual int ExecuteStatement(const CSspOp& op);
    // The first token of op's statement, as written.
    CSspToken FirstToken(const CSspOp& op) const;

    // Scanning at the engine's cursor, within the run's text.
    CSspToken ReadToken();
    CSspToken PeekToken() const;
    // Called after the token "}--": a statement block must go on with ">".
    void CloseCodeBlock();
    void SetCursor(int cursor) { m_cursor.store(cursor, std::memory_order_relaxed); }

    // Registers the definition read at its keyword for this run's file, or finds it again when it
    // is registered already; a second definition of a registered name fails.
    CSspFunction& DeclareFunction(const CSspDefinition& definition);
    // Finds the definition of the named function in the whole file; null when there is none.
    CSspFunction* ScanFunctions(std::string_view name);

private:
    // Nodes of the control stacks, one per if or while op of the program, made when the op is
    // first reached in the run.
    struct IfNode
    {
        IfNode* next = nullptr;  // the enclosing if, when the node was made
        int position = 0;        // of the keyword "if"
        bool taken = false;      // the last condition evaluated for this if or one of its elseifs
        bool made = false;
    };
    struct WhileNode
    {
        WhileNode* next = nullptr;  // the enclosing while, when the node was made
        int position = 0;           // of the keyword "while"
        int whilePc = 0;            // the op of the keyword
        int endPc = -1;             // the op after its endwhile; -1 until known
        IfNode* ifTop = nullptr;    // the if-stack top at the keyword
        bool made = false;
    };
    struct EvalFrame;
    // What an operand reads or calls, worked out on its first evaluation instead of on every pass.
    struct OperandTarget
    {
        bool dispatched = false;                 // the object that answers the call is known:
        int builtIn = -1;                        // a built-in object (BuiltInObjectOf),
        CSspDeclaredObject* declared = nullptr;  // or else a declared object,
        unsigned declarations = 0;               // found when m_declarations had this count
        std::uint64_t memberHint = 0;            // the declared object's (HeldMemberValue)
        int boundMember = -1;                    // the declared object's (BindMember)
        CSspArray* array = nullptr;              // the declared object, when it is an array
    };
    // A call of a declared array's member that runs straight on the array (BindArrayCall).
    struct BoundArrayCall
    {
        CSspArray* array = nullptr;
        int member = -1;
        const CSspValue* argument = nullptr;  // GetAt's index, Add's value
        CSspValue* computed = nullptr;        // the argument when it was computed (the call's own)
    };
    // A call of the top engine's pool for the length of a scope: member calls are made on every
    // pass of a loop, and a call made afresh each time would allocate its argument list each time.
    // Calls nest (an argument that is a call, a function that calls), so each scope takes the next
    // call of the pool; the pool's calls keep their memory, and their arguments only until the
    // scope ends.
    class PooledCall
    {
    public:
        explicit PooledCall(CSspEngine& engine) : m_top(*engine.m_top)
        {
            if (m_top.m_callsInUse == m_top.m_calls.size())
                m_top.GrowCallPool();
            m_call = m_top.m_calls[m_top.m_callsInUse++].get();
        }
        ~PooledCall()
        {
            // The arguments go now (they may be large); the call keeps its memory for the next one.
            m_call->m_args.clear();
            --m_top.m_callsInUse;
        }
        PooledCall(const PooledCall&) = delete;
        PooledCall& operator=(const PooledCall&) = delete;
        CSspCall& operator*() const { return *m_call; }

    private:
        CSspEngine& m_top;
        CSspCall* m_call;
    };

    // Counts the nested runs and argument lists being evaluated on this thread for its length, and
    // refuses one too many: every level holds stack, and a script's runaway recursion must fail
    // its run, not the server thread.
    class NestingLevel
    {
    public:
        explicit NestingLevel(int position);
        ~NestingLevel();
        NestingLevel(const NestingLevel&) = delete;
        NestingLevel& operator=(const NestingLevel&) = delete;
    };
    // The refusal of one level too many, and the report of it on its way out through the callers:
    // each caller passes the innermost report on unchanged instead of wrapping it in its own, which
    // would repeat the chain's reports once per level.
    class NestingLimitError : public CSspException
    {
    public:
        using CSspException::CSspException;
    };

    // Statements: each runs its op and moves pc to the op that runs next.
    [[nodiscard]] int ExecuteOp(const CSspOp& op, int& pc);
    // Template text line by line, with the debugger's hook before each; false when it stops the run.
    [[nodiscard]] bool RunTextLines(const CSspOp& op);
    void ExecuteConditional(const CSspOp& op, int& pc);
    void ExecuteWhile(const CSspOp& op, int& pc);
    void ExecuteEndWhile(const CSspOp& op, int& pc);
    // Leaves the top loop for the op after its endwhile, skipping there the first time.
    void BreakLoop(const CSspOp& op, int& pc);
    void ExecuteAssignment(const CSspOp& op);
    // An assignment to Local.<name> that holds a slot, its failure (if any) already raised.
    void AssignLocal(const CSspOp& op);
    // The test of a loop's condition, at its while op, and where the loop goes on.
    void TestLoop(const CSspOp& op, int& pc);
    // An assignment to a variable of another object than Local: its member SetVar is called.
    void AssignThroughSetVar(const CSspOp& op);
    [[nodiscard]] int ExecuteReturn(const CSspOp& op);
    [[nodiscard]] int RunExpressionStatement(const CSspOp& op);
    void ExecuteDefinition(const CSspOp& op);
    void PopIf();
    // pc becomes the skip's target, or its error is raised.
    // Goes on where op jumps, or raises the failure of its skip.
    void Jump(const CSspOp& op, int& pc) const;
    static void Jump(const CSspJump& skip, int& pc);
    [[noreturn]] void RaiseFailure(const CSspOp& op) const;

    // Expressions, over one evaluation frame of a compiled list. RunSteps returns the range's result
    // entry (-1: the empty text).
    int RunSteps(EvalFrame& frame, const CSspCodeRange& range, CSspCall* call);
    // EvalExpression and EvalCondition of a list that takes a frame: apart, so that the lists
    // that take none do not pay for setting up the frame's room on the stack.
    void EvalInFrame(const CSspListCode& code, CSspValue& result);
    // The result of the steps of range, over a frame of code, moved or copied into result.
    void EvalRangeInFrame(const CSspListCode& code, const CSspCodeRange& range, CSspValue& result);
    bool EvalConditionInFrame(const CSspListCode& code);
    // The value of an operand that is read in place: a literal or a local variable.
    const CSspValue& InPlaceValue(const CSspCodeOperand& operand) const
    {
        if (operand.value != nullptr)
            return *operand.value;
        if (operand.argument)
            return Argument(operand);
        if (const CSspValue* variable = m_locals.At(operand.slot))
            return *variable;
        return FindLocalRead(operand);
    }
    // The value of a list whose code says Left() ArithmeticOp() Right(), both read in place, into
    // result (the kApply shape, or a computed argument of that form).
    void ApplyInPlaceOperands(const CSspListCode& code, CSspValue& result);
    // target = left op right, or the operator's error at position.
    static void Apply(CSspValue& target, const CSspValue& left, CSspValue::Operator op, const CSspValue& right,
                      int position);
    void ApplyStep(EvalFrame& frame, const CSspCodeStep& step);
    void OperandValue(EvalFrame& frame, int index);
    bool EvalConditionPart(EvalFrame& frame, int index);
    void EvalOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspValue& result);
    // The value of a list of the member shape: held by its object, or else made into `made`.
    const CSspValue& MemberValue(const CSspListCode& code, CSspValue& made);
    // For a call operand that the run's dispatch bound to a declared array's GetAt, GetSize or Add,
    // with an argument list of one argument read in place: the array and that argument, read now,
    // with the checks the call makes first. No array where the call must go the whole way. Given
    // `computed`, an argument computed without a call (ComputedPush) is computed into it as well.
    BoundArrayCall BindArrayCall(const CSspListCode& code, const CSspCodeOperand& operand,
                                 CSspValue* computed = nullptr);
    // The value of bound as the array's CallMember would give it: GetAt's element where the array
    // holds it, or the result of GetSize or Add made into `made`.
    static const CSspValue& ArrayCallValue(const BoundArrayCall& bound, int position, CSspValue& made);
    // Lists of the call shapes (kApplyCall, kCompareCall) whose call is a bound array call or a
    // function of the run's file: the operator applied into result, or the comparison; false, or
    // no value, when the call must go the whole way (the list's frame then evaluates it all).
    bool ApplyWithCall(const CSspListCode& code, CSspValue& result);
    std::optional<bool> CompareWithCall(const CSspListCode& code);
    // The two operands of a call shape, read in the order of the steps, when its call is a bound
    // array call or a function of the run's file: the call's value (made into `made` where the
    // array does not hold it), with `other` the other operand's; null when the call is not bound.
    const CSspValue* CallShapeValues(const CSspListCode& code, CSspValue& made, const CSspValue*& other);
    // CallMember for an operand, with the object that answers it kept for the run when the code is
    // of the run's own file.
    void CallOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call, CSspValue& result);
    // Fills call (fresh or emptied) with what operand calls, its arguments evaluated.
    void ParseOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call);
    // The values of a call operand's argument list, appended to call.m_args.
    void EvalCallArguments(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call);
    // A call of a function of the run's own file written Local.name(...).
    void CallLocalOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspValue& result);
    void CallLocalFunction(std::string_view name, const CSspValueList& arguments, int position, CSspValue& result,
                           CSspValueList* returnedValues);

    // The built-in object that a name (without regard to case) means, or -1 for none.
    static int BuiltInObjectOf(std::string_view object);
    void CallBuiltIn(int object, CSspCall& call, CSspValue& result);
    // The first declared object of the name in the order of the kinds, or null.
    CSspDeclaredObject* FindAnyObject(std::string_view name) const;
    [[noreturn]] static void RaiseUnknownObject(const CSspCall& call);

    // Member dispatch of the objects the engine answers itself.
    void CallLocal(CSspCall& call, CSspValue& result);
    // The local variable that an operand reads (Local.name, no parentheses, a name that is no member
    // of Local): by its slot, or for code outside the run's program by its name. Raises the error of
    // a variable that does not exist.
    const CSspValue& FindLocalRead(const CSspCodeOperand& operand) const;
    // The value that the declared object kept for an operand of the run's own file holds for its
    // member read without parentheses (CSspScriptObject::HeldMemberValue); null when the member
    // call must run.
    const CSspValue* HeldMemberValue(const CSspListCode& code, const CSspCodeOperand& operand);
    void CallArg(CSspCall& call, CSspValue& result);
    // The argument of the call that runs this function for the parameter name (arg.name), read
    // where the caller holds it; the arg object's errors at position.
    const CSspValue& Argument(std::string_view name, int position) const;
    // The same for an operand arg.name, whose parameter its program may know already.
    const CSspValue& Argument(const CSspCodeOperand& operand) const
    {
        const size_t index = static_cast<size_t>(operand.slot);
        if (operand.slot < 0 || m_function == nullptr || m_callArguments == nullptr || m_callArguments->size() <= index)
            return Argument(operand.name.substr(static_cast<size_t>(operand.dot) + 1), operand.start);
        return (*m_callArguments)[index];
    }
    // The members of Local that use the run's data source; false when member is none of them.
    bool CallLocalDataSource(CSspCall& call, CSspValue& result);
    void CallApp(CSspCall& call, CSspValue& result);
    void CallServer(CSspCall& call, CSspValue& result);
    void GetUniqueId(const CSspCall& call, CSspValue& result);
    void CheckUseDataSourceTooLate(const CSspCall& call) const;
    // The Session front (log on and off, finding the page's session) and the session manager.
    void CallSession(CSspCall& call, CSspValue& result);
    void LogOn(CSspCall& call, CSspValue& result);
    // The ID the browser carries: the cookie this response set, the request's cookie or field.
    std::string FindSessionId() const;
    void CallSessMan(CSspCall& call, CSspValue& result);

    // End of a run: an open transaction of this engine is rolled back (a completed run then fails);
    // the data source goes back to the pool after the sql objects that use it are gone.
    [[nodiscard]] int RollBackOpenTransaction(int result);
    void ReleaseRunDataSource();

    // Declarations.
    using ObjectMaker = std::function<std::unique_ptr<CSspScriptObject>(CSspEngine&)>;
    // The object of the kind declared at key, or null.
    CSspDeclaredObject* FindDeclaration(int kind, int key) const;
    // Finds the object declared at key, or makes one (after the name test) and lists it.
    CSspDeclaredObject& DeclareObject(int kind, int key, const CSspToken& name, const ObjectMaker& make);
    void ExecuteDeclaration(const CSspOp& op);
    // The arguments in parentheses after a declared name, evaluated into call or, without
    // `evaluate`, passed over; nothing when there were none.
    void EvalDeclarationArguments(const CSspDeclarationCode& declaration, CSspCall& call, bool evaluate = true);
    // A declaration of a kind that a library above the interpreter registered.
    void DeclareRegistered(const CSspDeclarationCode& declaration, const CSspDeclaredKind& factory);
    void DeclareTokenizer(const CSspDeclarationCode& declaration);
    void DeclareDateTime(const CSspDeclarationCode& declaration);
    void DeclareLdap(const CSspDeclarationCode& declaration);
    void DeclareFile(const CSspDeclarationCode& declaration);
    void DeclareArray(const CSspDeclarationCode& declaration);
    void DeclareSql(const CSspDeclarationCode& declaration);

    void Reset();
    // The error text, error files and position of the run before.
    void ClearReport();
    // Run for a nested call: the run's own part of the protocol, without what its top engine's run
    // does once for all its calls (lock, time limit, files).
    [[nodiscard]] int RunCall(const CSspRunArgs& args);
    // RunNested, for the calls that the engine makes itself.
    void RunChild(CSspEngine& child, const CSspRunArgs& args, int callPosition);
    void TakeRunArgs(const CSspRunArgs& args);
    // FinishRun for a call: only what the call has left is released.
    [[nodiscard]] int LeaveCall(int result);
    void ClearControlStacks();
    void SetPaths(const CSspRunArgs& args);
    void CopyPaths(std::string_view filePath, std::string_view urlPath);
    // Forgets what earlier runs of this engine kept once its top engine has begun another run.
    void ForgetEarlierRuns();
    [[nodiscard]] bool Load(const CSspRunArgs& args);
    [[nodiscard]] bool EnterFunction(std::string_view functionName);
    void EnterKeptFunction();
    // Load for a call that runs the function of the call before again, as args tell cheaply; false
    // when they do not, and nothing is changed.
    [[nodiscard]] bool ReenterKeptFunction(const CSspRunArgs& args);
    // The variables, cursor and debugger's hook of a run that Load has placed.
    void StartAtFirstByte();
    // True when name lies in the text of the run's file.
    bool IsPieceOfText(std::string_view name) const;
    // True when name calls the function that this engine ran last.
    bool NamesKeptFunction(std::string_view name);
    [[nodiscard]] int RunLoop();
    // Sets the error text for the exception being handled (call only inside a catch block).
    void ReportCurrentException();
    // Before a statement when the run is watched by a debugger or asked to end: the debugger's
    // hook, then the end request; false when the debugger stops the run.
    [[nodiscard]] bool BeforeStatement(const CSspOp& op);
    // Throws, at position, the end of a run that was asked to end (an EndRequest).
    [[noreturn]] void RaiseRunEnded(int reason, int position);
    std::string RunEndedText(int reason) const;
    [[nodiscard]] int CheckRunEnd();
    [[nodiscard]] int FinishRun(int result);
    void CleanUp();
    void EndRun();
    // The run's text, file and function forgotten.
    void LeaveText();
    [[nodiscard]] bool SkipToFunction();
    // The next token of code for the skips: template text is passed over unwritten and a block end
    // "}--" closes its block; empty at the end of the run's text.
    CSspToken ReadSkippedToken();
    bool SerializesRuns() const;
    // The application lock for a whole run, held only by a top engine and only while
    // "DbAccessSerialize" is on; otherwise an empty lock. An empty lock with m_abandoned set when
    // the request's client left while the run waited for the lock.
    std::unique_lock<CRecursiveTimedLock> LockForRun();

    CSspEngine* m_top;
    // The top engine's pool of calls (PooledCall) and how many of them are in use.
    std::vector<std::unique_ptr<CSspCall>> m_calls;
    size_t m_callsInUse = 0;
    // One call more in the pool; apart from PooledCall so that taking a call stays small.
    void GrowCallPool();
    // An engine belongs to the thread that built it (the debugger tells runs apart by it): a kept
    // engine serves a call on that thread while it is not running a call itself.
    static bool IsFreeChild(const CSspEngine& child)
    {
        return !child.m_running && child.m_ownerThread == std::this_thread::get_id();
    }
    // ChildForCall when the kept engine does not serve: made on first use, or a spare.
    CSspEngine& MakeChildForCall(std::unique_ptr<CSspEngine>& kept, std::unique_ptr<CSspEngine>& spare);
    std::string m_filePath;
    std::string m_urlPath;
    std::string m_urlDirectory = "/";
    // A stamp taken anew, unique in the process, whenever the paths above change; and the caller's
    // stamp that they were last copied under (CSspRunArgs::pathsStamp), 0 for none.
    std::uint64_t m_pathsStamp = 0;
    std::uint64_t m_pathsCopiedFrom = 0;
    std::string m_errorFileUrl;  // the page that Local.setErrorFile names
    std::string m_errorFilePath;
    std::string m_errorText;
    std::thread::id m_ownerThread;
    int m_errorPosition = kNoPosition;
    bool m_nestingLimitReport = false;  // the error text reports the nesting limit, passed up whole
    bool m_abandoned = false;           // the last run was dropped: its client left before its turn
    CSourceFileCache m_cache;           // used only when this is the top engine
    std::atomic<CSspEngine*> m_runningChild{nullptr};
    CSspDebugHooks* m_hooks = nullptr;
    bool m_running = false;                // runs as a nested call (RunNested)
    std::unique_ptr<CSspEngine> m_callee;  // runs the calls of functions of this engine's own file

    // Counts the runs of a top engine. A nested engine that is run again keeps what it worked out
    // (m_operands, the file and function it ran) as long as its top engine's run lasts: the run's
    // source-file cache keeps the files, and with them the code those entries point into.
    unsigned m_topRuns = 0;
    unsigned m_keptForRun = 0;  // the top engine's m_topRuns when the entries below were kept
    CSourceFile* m_keptFile = nullptr;
    CSspFunction* m_keptFunction = nullptr;
    std::string_view m_keptFunctionName;  // as the call named it last, when a view of the file's text
    const CSspProgram* m_keptProgram = nullptr;

    // Top engine only. The end request is set by other threads; the rest belongs to the run.
    mutable std::atomic<int> m_endRequest{0};
    int m_runTimeLimit = 0;
    bool m_endReported = false;  // the error text tells the end request already

    CSourceFile* m_sourceFile = nullptr;
    CSspFunction* m_function = nullptr;
    const CSspProgram* m_program = nullptr;
    const CSspValueList* m_callArguments = nullptr;
    CSspValue* m_returnSlot = nullptr;
    CSspValueList* m_returnedValues = nullptr;

    // The run covers [m_start, m_end) of the source file; the watchdog reads the cursor from
    // another thread, hence atomic (relaxed: it only needs a value that was really there).
    int m_start = 0;
    int m_end = 0;
    std::atomic<int> m_cursor{0};
    int m_codeMode = kTextMode;

    CSspRequestObject* m_request = nullptr;
    CSspOutputSink* m_response = nullptr;
    CDataSourceLease m_dataSource;           // from the pool; given back at the end of the run
    CDataSource* m_runDataSource = nullptr;  // m_dataSource's, or the top engine's that a nested run uses
    bool m_evaluatingWatch = false;          // EvalWatch is in progress
    std::shared_ptr<CSspSession> m_session;  // the page's session, found or made by the run
    // The session manager's rows (PrepareForFetch) and the current one (-1 before the first).
    std::vector<std::string> m_sessionRows;
    int m_sessionRow = -1;

    // Control flow: the nodes of the program's ifs and whiles, made on first reach and emptied by
    // the clean-up; the stacks are linked through the nodes.
    std::vector<IfNode> m_ifNodes;
    std::vector<WhileNode> m_whileNodes;
    IfNode* m_ifTop = nullptr;
    WhileNode* m_whileTop = nullptr;

    std::array<std::vector<std::unique_ptr<CSspDeclaredObject>>, kObjectKindCount> m_declared;
    CSspLocals m_locals;
    // What the operands of the run's own file call, by the address of the operand's code. The code
    // stays with its file for the top engine's run, so it cannot go stale; a declared object is
    // checked against m_declarations, which counts every change to the declared objects.
    CSspFlatTable<OperandTarget> m_operands;
    // How many entries the table above keeps. It pays off in loops, whose
    // statements run again; a page of a million statements that each run once would only grow
    // them by hundreds of megabytes that the heap keeps after the run.
    static constexpr size_t kMaxKept = 1 << 16;
    // True when `table` may hold an entry for `key`: it has one already, or room for one more.
    template <typename T>
    static bool MayKeep(const CSspFlatTable<T>& table, std::uint64_t key)
    {
        return table.Size() < kMaxKept || table.Find(key) != nullptr;
    }
    // Keeps value for key in table where MayKeep allows it; an entry that gets no memory is only
    // left out, to be worked out in full again next time.
    template <typename T>
    static void KeepIn(CSspFlatTable<T>& table, std::uint64_t key, const T& value)
    {
        if (!MayKeep(table, key))
            return;
        try {
            *table.Insert(key).first = value;
        } catch (const std::bad_alloc&) {
            // Not kept.
        }
    }
    // An operand's key in m_operands: the address of its code.
    static std::uint64_t OperandKey(const CSspCodeOperand& operand)
    {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&operand));
    }
    unsigned m_declarations = 0;
    bool m_hasDeclared = false;  // the lists of declared objects may hold some: the clean-up empties them
};

// Points a link at an engine for the length of a scope: a thread's current engine, or a caller's
// running child. Other threads read these links (hang log, debugger), so the link is cleared before
// the engine it names can go away, also when the run throws.
class CSspEngineLink
{
public:
    CSspEngineLink(std::atomic<CSspEngine*>& link, CSspEngine& engine) : m_link(link) { m_link.store(&engine); }
    ~CSspEngineLink() { m_link.store(nullptr); }
    CSspEngineLink(const CSspEngineLink&) = delete;
    CSspEngineLink& operator=(const CSspEngineLink&) = delete;

private:
    std::atomic<CSspEngine*>& m_link;
};
