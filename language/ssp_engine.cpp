#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "foundation/ssp_exception.h"
#include "language/debug_hooks.h"
#include "language/output_sink.h"
#include "language/run_watchdog.h"
#include "language/ssp_app.h"
#include "language/ssp_session.h"

#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

namespace {

constexpr int kMsgMissingBlockEnd = 80;   // "Missing }--"
constexpr int kMsgShouldBeBlockEnd = 81;  // "Should be }-->"
constexpr size_t kMaxFileErrorText = 255;

constexpr const char* kRunAbandoned = "The client closed its connection before the page's turn came; the page was "
                                      "not run.";
// How often a run that waits for the application lock looks whether its client is still there.
constexpr int kTurnCheckMilliseconds = 200;
constexpr const char* kRunEndedByAdministrator = "The page was ended by the administrator.";
constexpr const char* kRunEndedByServerStop = "The page was ended because the server is stopping.";

std::atomic<CSspDebugHooks*> g_installedHooks{nullptr};

// Stamps of engines' paths (CSspEngine::SetPaths): each change of an engine's paths takes the next.
std::atomic<std::uint64_t> g_pathsStamps{0};

// Nested runs and argument lists in evaluation on this thread. A level takes about 2 KiB of stack
// (several times that under the sanitizers), so the limit stays far below a thread's 8 MiB.
constexpr int kMaxNesting = 256;
thread_local int t_nesting = 0;

}  // namespace

CSspEngine::NestingLevel::NestingLevel(int position)
{
    if (t_nesting >= kMaxNesting)
        throw NestingLimitError("Too many nested calls (more than " + std::to_string(kMaxNesting) + ").", position);
    ++t_nesting;
}

CSspEngine::NestingLevel::~NestingLevel()
{
    --t_nesting;
}

void CSspEngine::InstallDebugHooks(CSspDebugHooks* hooks)
{
    g_installedHooks.store(hooks);
}

CSspEngine::CSspEngine(CSspEngine* top)
    : m_top(top ? top : this), m_ownerThread(std::this_thread::get_id()),
      m_hooks(top ? top->m_hooks : g_installedHooks.load())
{
    Reset();
}

CSspEngine::~CSspEngine()
{
    // Every run gives its data source back; this only guards an engine that is destroyed mid-run.
    ReleaseRunDataSource();
}

void CSspEngine::Reset()
{
    // The paths are set by every run (SetPaths).
    ClearReport();
    m_runningChild.store(nullptr);
    LeaveText();
    m_callArguments = nullptr;
    m_returnSlot = nullptr;
    m_returnedValues = nullptr;
    m_codeMode = kTextMode;
    m_request = nullptr;
    m_response = nullptr;
    m_session.reset();
    m_sessionRows.clear();
    m_sessionRow = -1;
}

inline void CSspEngine::ClearReport()
{
    m_errorText.clear();
    m_errorFileUrl.clear();
    m_errorFilePath.clear();
    m_errorPosition = kNoPosition;
    m_nestingLimitReport = false;
}

int CSspEngine::Run(const CSspRunArgs& args)
{
    Reset();
    if (IsTopEngine())
        ++m_topRuns;
    ForgetEarlierRuns();
    if (!Load(args))
        return kRunFailed;
    TakeRunArgs(args);

    const std::unique_lock<CRecursiveTimedLock> lock = LockForRun();
    if (m_abandoned) {
        m_errorText = kRunAbandoned;
        return FinishRun(kRunFailed);
    }
    int result;
    {
        std::optional<CRunWatchdog::Watch> watch;
        if (IsTopEngine()) {
            int expired = static_cast<int>(EndRequest::kTimeLimit);
            m_endRequest.compare_exchange_strong(expired, static_cast<int>(EndRequest::kNone));
            m_endReported = false;
            // Under the debugger a run spends its time paused at breakpoints; the limit would end it.
            if (m_runTimeLimit > 0 && m_hooks == nullptr)
                watch.emplace(*this, m_runTimeLimit);
        }
        result = RunLoop();
    }
    if (result == kRunCompleted)
        result = CheckRunEnd();
    result = RollBackOpenTransaction(result);
    return FinishRun(result);
}

inline int CSspEngine::RunCall(const CSspRunArgs& args)
{
    // A nested run is a part of its top engine's run, which holds the application lock, keeps the
    // time limit and owns the files: a call only enters its function, runs it and leaves nothing
    // of it behind. The run before left the engine as a reset does (FinishRun, LeaveCall) but for
    // its report. The steps that every call takes are inline (defined so in this file only): a
    // call of a user function in a loop pays each step's entry and exit.
    ClearReport();
    if (!ReenterKeptFunction(args)) {
        ForgetEarlierRuns();
        if (!Load(args))
            return kRunFailed;
    }
    TakeRunArgs(args);
    int result = RunLoop();
    if (result == kRunCompleted)
        result = CheckRunEnd();
    if (m_runDataSource != nullptr)
        result = RollBackOpenTransaction(result);
    return LeaveCall(result);
}

inline void CSspEngine::TakeRunArgs(const CSspRunArgs& args)
{
    m_response = args.response;
    m_request = args.request;
    m_callArguments = args.callArguments;
    m_returnSlot = args.returnSlot;
    m_returnedValues = args.returnedValues;
}

inline void CSspEngine::LeaveText()
{
    m_sourceFile = nullptr;
    m_function = nullptr;
    m_program = nullptr;
    m_start = 0;
    m_end = 0;
    SetCursor(0);
}

inline int CSspEngine::LeaveCall(int result)
{
    // Most calls declare no object, find no session and use no database: of theirs only the
    // control nodes and the variables are left to release, which cannot fail. A debugger's end
    // hook may throw: under a debugger the whole clean-up runs, which reports that as its own.
    if (m_hasDeclared || m_session != nullptr || m_runDataSource != nullptr || !m_sessionRows.empty() ||
        m_hooks != nullptr)
        return FinishRun(result);
    m_sessionRow = -1;
    ClearControlStacks();
    m_locals.Clear();
    // EndRun, for a nested engine that no debugger watches.
    LeaveText();
    return result;
}

inline void CSspEngine::ClearControlStacks()
{
    m_ifTop = nullptr;
    m_whileTop = nullptr;
    m_whileNodes.clear();
    m_ifNodes.clear();
}

void CSspEngine::ForgetEarlierRuns()
{
    if (m_keptForRun == m_top->m_topRuns)
        return;
    m_keptForRun = m_top->m_topRuns;
    m_operands.Clear();
    m_keptFile = nullptr;
    m_keptFunction = nullptr;
    m_keptProgram = nullptr;
}

inline void CSspEngine::RunChild(CSspEngine& child, const CSspRunArgs& args, int callPosition)
{
    int result;
    {
        NestingLevel level(callPosition);
        CSspEngineLink link(m_runningChild, child);
        const bool wasRunning = std::exchange(child.m_running, true);
        try {
            result = child.RunCall(args);
        } catch (...) {
            child.m_running = wasRunning;
            throw;
        }
        child.m_running = wasRunning;
    }
    if (result != kRunCompleted && result != kRunReturned && child.m_nestingLimitReport)
        throw NestingLimitError(child.ErrorText(), kNoPosition);
    if (result != kRunCompleted && result != kRunReturned)
        throw CSspException(child.ErrorText(), callPosition);
}

void CSspEngine::RunNested(CSspEngine& child, const CSspRunArgs& args, int callPosition)
{
    RunChild(child, args, callPosition);
}

void CSspEngine::CallLocalFunction(std::string_view name, const CSspValueList& arguments, int position,
                                   CSspValue& result, CSspValueList* returnedValues)
{
    std::unique_ptr<CSspEngine> spare;
    CSspEngine& callee = ChildForCall(m_callee, spare);
    CSspRunArgs args{.filePath = m_filePath,
                     .urlPath = m_urlPath,
                     .request = m_request,
                     .response = m_response,
                     .functionName = name,
                     .callArguments = &arguments,
                     .returnSlot = &result,
                     .returnedValues = returnedValues,
                     .pathsStamp = m_pathsStamp};
    RunChild(callee, args, position);
}

CSspEngine& CSspEngine::MakeChildForCall(std::unique_ptr<CSspEngine>& kept, std::unique_ptr<CSspEngine>& spare)
{
    if (kept == nullptr) {
        kept = std::make_unique<CSspEngine>(m_top);
        if (IsFreeChild(*kept))
            return *kept;
    }
    spare = std::make_unique<CSspEngine>(m_top);
    return *spare;
}

bool CSspEngine::SerializesRuns() const
{
    return TheServerConfig().m_dbAccessSerialize != 0;
}

std::unique_lock<CRecursiveTimedLock> CSspEngine::LockForRun()
{
    // A run may not touch the database before its turn, and a run that hangs while holding the
    // lock is reported by its thread's watchdog. The wait goes in steps: a run whose client has
    // closed its connection meanwhile is dropped before it takes the lock, so that abandoned
    // requests are not run one after the other ahead of clients that still wait. A nested run is
    // part of its top engine's run, which holds the lock already; taking it again could only block
    // a function that a debugger's watch calls from its own thread while the run is paused.
    m_abandoned = false;
    if (!IsTopEngine() || !SerializesRuns())
        return {};
    std::unique_lock<CRecursiveTimedLock> lock(TheSspApp().ApplicationLock(), std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(kTurnCheckMilliseconds))) {
        if (m_request != nullptr && m_request->HasClientLeft()) {
            m_abandoned = true;
            break;
        }
    }
    return lock;
}

void CSspEngine::SetPaths(const CSspRunArgs& args)
{
    // An engine run again for each call of a function mostly gets the paths it had: when they are
    // its caller's, unchanged since they were copied, it is told so by their stamp.
    if (args.pathsStamp != 0 && args.pathsStamp == m_pathsCopiedFrom)
        return;
    m_pathsCopiedFrom = 0;
    if (m_filePath != args.filePath || m_urlPath != args.urlPath)
        CopyPaths(args.filePath, args.urlPath);
    m_pathsCopiedFrom = args.pathsStamp;
}

void CSspEngine::CopyPaths(std::string_view filePath, std::string_view urlPath)
{
    m_pathsStamp = g_pathsStamps.fetch_add(1, std::memory_order_relaxed) + 1;
    if (m_filePath != filePath) {
        m_filePath = filePath;
        // The file kept, and its function, are those of the file path.
        m_keptFile = nullptr;
        m_keptFunction = nullptr;
        m_keptProgram = nullptr;
    }
    if (m_urlPath == urlPath)
        return;
    m_urlPath = urlPath;
    const size_t slash = m_urlPath.rfind('/');
    if (slash == std::string::npos)
        m_urlDirectory = "/";
    else
        m_urlDirectory.assign(m_urlPath, 0, slash + 1);
}

bool CSspEngine::Load(const CSspRunArgs& args)
{
    SetPaths(args);
    // The run's cache gives the same file for the same path while the top engine's run lasts.
    CSourceFile* file = m_keptFile;
    if (file == nullptr) {
        file = m_top->m_cache.Get(m_filePath);
        if (file == nullptr) {
            m_errorText = m_top->m_cache.ErrorText();
            return false;
        }
        m_keptFile = file;
        m_keptFunction = nullptr;
        m_keptProgram = nullptr;
    }
    m_sourceFile = file;
    m_start = 0;
    m_end = file->Size();
    const std::string_view functionName = args.functionName;
    if (functionName.empty()) {
        m_codeMode = file->IsPage() ? kTextMode : kStatementMode;
        m_program = &file->Program(m_start, m_end, m_codeMode);
    } else if (!EnterFunction(functionName)) {
        EndRun();
        return false;
    }
    StartAtFirstByte();
    return true;
}

inline void CSspEngine::StartAtFirstByte()
{
    m_locals.Bind(&m_program->LocalNames());
    SetCursor(m_start);
    if (m_hooks)
        m_hooks->OnInterpreterStart(*this);
}

inline bool CSspEngine::ReenterKeptFunction(const CSspRunArgs& args)
{
    // The commonest call: in the same top-level run, of the function that the call before ran,
    // named by the same piece of the caller's text, with the caller's paths as they were then.
    if (m_keptForRun != m_top->m_topRuns || m_keptFunction == nullptr || args.pathsStamp == 0 ||
        args.pathsStamp != m_pathsCopiedFrom || args.functionName.data() != m_keptFunctionName.data() ||
        args.functionName.size() != m_keptFunctionName.size())
        return false;
    m_sourceFile = m_keptFile;
    EnterKeptFunction();
    StartAtFirstByte();
    return true;
}

inline void CSspEngine::EnterKeptFunction()
{
    m_function = m_keptFunction;
    m_start = m_function->bodyStart;
    m_end = m_function->endKeyword;
    m_codeMode = kStatementMode;
    m_program = m_keptProgram;
}

bool CSspEngine::IsPieceOfText(std::string_view name) const
{
    const std::string_view text = m_sourceFile->Text();
    const auto address = [](const char* p) { return reinterpret_cast<std::uintptr_t>(p); };
    return address(name.data()) >= address(text.data()) && address(name.data()) < address(text.data() + text.size());
}

bool CSspEngine::NamesKeptFunction(std::string_view name)
{
    if (m_keptFunction == nullptr)
        return false;
    // The file's text does not change: the same piece of it is the same name, found without
    // comparing. Function names are unique in their file, so the name of the one run last finds it.
    if (name.data() == m_keptFunctionName.data() && name.size() == m_keptFunctionName.size())
        return true;
    if (!EqualsNoCase(m_keptFunction->name, name))
        return false;
    if (IsPieceOfText(name))
        m_keptFunctionName = name;
    return true;
}

bool CSspEngine::EnterFunction(std::string_view functionName)
{
    if (NamesKeptFunction(functionName)) {
        EnterKeptFunction();
        return true;
    }
    m_codeMode = m_sourceFile->IsPage() ? kTextMode : kStatementMode;
    CSspFunction* function = nullptr;
    try {
        function = m_sourceFile->FindFunction(functionName);
        if (function == nullptr)
            function = ScanFunctions(functionName);
    } catch (...) {
        // A broken definition met by the scan fails this run with a report like any other error.
        ReportCurrentException();
        return false;
    }
    if (function == nullptr) {
        m_errorText = "Function ";
        m_errorText += functionName;
        m_errorText += " not found in file ";
        m_errorText += m_filePath;
        return false;
    }
    m_function = function;
    m_start = function->bodyStart;
    m_end = function->endKeyword;
    m_codeMode = kStatementMode;
    m_program = &m_sourceFile->Program(m_start, m_end, m_codeMode, function);
    m_keptFunction = function;
    m_keptFunctionName = IsPieceOfText(functionName) ? functionName : std::string_view();
    m_keptProgram = m_program;
    return true;
}

int CSspEngine::RunLoop()
{
    try {
        const CSspProgram& program = *m_program;
        // Most runs have no debugger and are seldom asked to end (their time limit is kept by a
        // watchdog): one test of each before a statement.
        const bool watched = m_hooks != nullptr;
        const std::atomic<int>& endRequest = m_top->m_endRequest;
        for (int pc = 0;;) {
            const CSspOp& op = program.Op(pc);
            if (op.code >= CSspOp::kIf && (watched || endRequest.load(std::memory_order_relaxed) != 0)) {
                if (!BeforeStatement(op))
                    return kRunStopped;
            }
            switch (op.code) {
            case CSspOp::kText:
                // Text goes line by line only for the debugger, which hears of every line; without
                // it a stretch of text up to the next code block is one piece.
                if (m_hooks) {
                    if (!RunTextLines(op))
                        return kRunStopped;
                } else {
                    if (op.afterFirst > op.first && m_response)
                        m_response->Write(m_sourceFile->Text().substr(static_cast<size_t>(op.first),
                                                                      static_cast<size_t>(op.afterFirst - op.first)));
                    SetCursor(op.next);
                }
                ++pc;
                break;
            case CSspOp::kClose:
                SetCursor(op.next);
                if (op.fails)
                    RaiseFailure(op);
                ++pc;
                break;
            case CSspOp::kEnd:
                SetCursor(op.first);
                m_codeMode = op.mode;
                return kRunCompleted;
            case CSspOp::kRaise: RaiseFailure(op);
            case CSspOp::kGoto: pc = op.jump; break;
            case CSspOp::kIf:
            case CSspOp::kElseIf:
            case CSspOp::kElse: ExecuteConditional(op, pc); break;
            case CSspOp::kWhile: ExecuteWhile(op, pc); break;
            case CSspOp::kEndWhile:
                // The loop's while op is next. Without a debugger, which must hear of it, its
                // condition is tested here at once: the node it would find is the top already.
                if (watched || m_whileTop == nullptr || m_whileTop->ifTop != m_ifTop) {
                    ExecuteEndWhile(op, pc);
                    break;
                }
                m_whileTop->endPc = pc + 1;
                pc = m_whileTop->whilePc;
                if (const int reason = endRequest.load(std::memory_order_relaxed); reason != 0)
                    RaiseRunEnded(reason, program.Op(pc).afterFirst);
                TestLoop(program.Op(pc), pc);
                break;
            case CSspOp::kExpression:
                SetCursor(op.afterFirst);
                if (const int result = ExecuteStatement(op); result != kRunCompleted)
                    return result;
                ++pc;
                break;
            case CSspOp::kAssign:
                if (op.local && !op.fails)
                    AssignLocal(op);
                else
                    ExecuteAssignment(op);
                ++pc;
                break;
            case CSspOp::kReturn:
                // The last statement of most functions: a call pays for every step to it.
                if (op.fails)
                    RaiseFailure(op);
                SetCursor(op.next);
                return ExecuteReturn(op);
            default:
                if (const int result = ExecuteOp(op, pc); result != kRunCompleted)
                    return result;
            }
        }
    } catch (...) {
        ReportCurrentException();
        return kRunFailed;
    }
}

// The statements that every pass of a loop runs are here, beside the run loop that takes them.
void CSspEngine::TestLoop(const CSspOp& op, int& pc)
{
    if (op.fails)
        RaiseFailure(op);
    SetCursor(op.next);
    if (TestCondition(*op.list))
        ++pc;
    else
        BreakLoop(op, pc);
}

void CSspEngine::AssignLocal(const CSspOp& op)
{
    SetCursor(op.next);
    // The value is computed in the variable's place (Local.i = Local.i + 1 adds in place); it
    // counts as set once the expression did not fail.
    CSspValue* variable = nullptr;
    try {
        variable = &m_locals.Prepare(op.slot);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemoryLocal, 0);
    }
    const CSspListCode& code = *op.list;
    if (code.GetShape() == CSspListCode::Shape::kApply && code.Left() >= 0) {
        // Two operands read in place; two integers are done here.
        const CSspValue& left = InPlaceValue(code.LeftOperand());
        const CSspValue& right = InPlaceValue(code.RightOperand());
        if (!variable->ApplyToIntegers(left, code.ArithmeticOp(), right))
            Apply(*variable, left, code.ArithmeticOp(), right, code.Position());
    } else {
        EvalExpression(code, *variable);
    }
    m_locals.MarkSet(op.slot);
}

bool CSspEngine::BeforeStatement(const CSspOp& op)
{
    if (m_hooks) {
        SetCursor(op.afterFirst);
        m_hooks->OnStatement(*this);
        if (m_hooks->IsStopRequested())
            return false;
    }
    if (const int reason = m_top->m_endRequest.load(std::memory_order_relaxed); reason != 0)
        RaiseRunEnded(reason, op.afterFirst);
    return true;
}

void CSspEngine::ReportCurrentException()
{
    try {
        throw;
    } catch (const NestingLimitError& e) {
        // Thrown here with the call's place, or passed up from a callee without one (a bare report).
        FormatError(e.GetMessage(), e.GetPosition());
        m_nestingLimitReport = true;
    } catch (const CSspException& e) {
        // A database statement cancelled because the run was asked to end fails with the driver's
        // words; the report says why the run ended, once, in the engine that was running.
        const int reason = m_top->m_endRequest.load(std::memory_order_relaxed);
        if (reason != 0 && !std::exchange(m_top->m_endReported, true))
            FormatError(RunEndedText(reason), e.GetPosition());
        else
            FormatError(e.GetMessage(), e.GetPosition());
    } catch (const std::bad_alloc&) {
        FormatError("Out of memory.", Cursor());
    } catch (const std::system_error& e) {
        // File and system failures carry the system's own text.
        std::string_view text = e.what();
        FormatError(text.substr(0, kMaxFileErrorText), Cursor());
    } catch (...) {
        FormatError("Unknown server error.", Cursor());
    }
}

void CSspEngine::RaiseRunEnded(int reason, int position)
{
    m_top->m_endReported = true;
    throw CSspException(RunEndedText(reason), position);
}

std::string CSspEngine::RunEndedText(int reason) const
{
    switch (static_cast<EndRequest>(reason)) {
    case EndRequest::kServerStop: return kRunEndedByServerStop;
    case EndRequest::kTimeLimit:
        return "The page exceeded the time limit of " + std::to_string(m_top->m_runTimeLimit) +
               " seconds and was ended.";
    default: return kRunEndedByAdministrator;
    }
}

int CSspEngine::CheckRunEnd()
{
    // Each check that fails replaces the report of the one before: an open while wins over an open
    // if, which wins over an open code block.
    int result = kRunCompleted;
    if (m_function == nullptr && m_sourceFile->IsPage() && m_codeMode != kTextMode) {
        FormatError(CMessageCatalog::Text(kMsgMissingBlockEnd), Cursor());
        result = kRunFailed;
    }
    if (m_ifTop != nullptr) {
        FormatError(CMessageCatalog::Text(kMsgMissingEndIf), m_ifTop->position);
        result = kRunFailed;
    }
    if (m_whileTop != nullptr) {
        FormatError(CMessageCatalog::Text(kMsgMissingEndWhile), m_whileTop->position);
        result = kRunFailed;
    }
    return result;
}

int CSspEngine::FinishRun(int result)
{
    // Every step runs even when an earlier one failed, so that the files of the run are released
    // and the debugger hears of its end; a failure here never hides the run's first error.
    bool failed = false;
    auto attempt = [&failed](auto step) {
        try {
            step();
        } catch (...) {
            failed = true;
        }
    };
    attempt([this] { CleanUp(); });
    // A step of its own, so that the data source goes back even when the clean-up failed early.
    attempt([this] { ReleaseRunDataSource(); });
    attempt([this] { EndRun(); });
    if (IsTopEngine() && m_response)
        attempt([this] { m_response->CloseOutput(); });
    if (failed) {
        result = kRunFailed;
        m_errorText += CMessageCatalog::Text(kMsgMoreErrors);
    }
    return result;
}

void CSspEngine::CleanUp()
{
    m_runningChild.store(nullptr);
    m_sessionRows.clear();
    m_sessionRow = -1;
    ClearControlStacks();
    m_session.reset();
    if (m_hasDeclared) {
        for (int kind : {kEmailInObject, kEmailOutObject, kTokenizerObject, kDateTimeObject, kArrayObject, kLdapObject})
            m_declared[static_cast<size_t>(kind)].clear();
    }
    m_locals.Clear();
    if (m_hasDeclared) {
        m_declared[kFileObject].clear();
        m_declared[kSqlObject].clear();
        m_hasDeclared = false;
    }
    // The operand entries stay for the next run of this engine; those of the objects just
    // destroyed are looked up again.
    ++m_declarations;
}

void CSspEngine::EndRun()
{
    // Nested runs read their files through the top engine's cache; their own stays empty.
    if (IsTopEngine())
        m_cache.CloseAll();
    LeaveText();
    if (m_hooks)
        m_hooks->OnInterpreterEnd(*this);
}

CSspToken CSspEngine::ReadToken()
{
    int cursor = Cursor();
    CSspToken token = NextToken(*m_sourceFile, cursor, m_end);
    SetCursor(cursor);
    return token;
}

CSspToken CSspEngine::PeekToken() const
{
    int cursor = Cursor();
    return NextToken(*m_sourceFile, cursor, m_end);
}

void CSspEngine::CloseCodeBlock()
{
    if (m_codeMode == kStatementMode) {
        // The closer "}-->" may have white space between "}--" and ">", but only the ">" itself
        // belongs to it: "}-->=" is a closer followed by text, never the operator ">=".
        int cursor = Cursor();
        SkipSpaceAndComments(m_sourceFile->Text(), cursor, m_end);
        SetCursor(cursor);
        if (cursor >= m_end || m_sourceFile->Text()[static_cast<size_t>(cursor)] != '>')
            RaiseCatalogText(kMsgShouldBeBlockEnd, cursor);
        SetCursor(cursor + 1);
    }
    m_codeMode = kTextMode;
}
