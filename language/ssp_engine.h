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
// Positions are byte offsets from the first byte of the engine's source file, also inside a
// function body; -1 means none.
#pragma once

#include "foundation/ssp_exception.h"
#include "language/source_file.h"
#include "language/ssp_lexer.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class CSspDebugHooks;
class CSspOutputSink;
class CSspRequest;  // the web server's request; the engine hands it to the objects that use it
class CSspValue;

using CSspValueList = std::vector<std::unique_ptr<CSspValue>>;

// Results of a run.
enum : int {
    kRunCompleted = 0,  // the text ran to its end: the caller sends the output
    kRunFailed = 1,     // error text (and position) set
    kRunRedirected = 2, // Response.Redirect already answered; the caller sends nothing more
    kRunStopped = 3,    // the debugger stopped the run
    kRunReturned = 4,   // a return statement ended the run; as 0, and nested callers take the value
};

// What a run is given. The views must stay valid for the length of Run.
struct CSspRunArgs {
    std::string_view filePath = {};
    std::string_view urlPath = {};
    CSspRequest* request = nullptr;
    CSspOutputSink* response = nullptr;  // none: output is discarded (a task without output file)
    std::string_view functionName = {};  // empty: the whole file
    // Nested calls only: the evaluated arguments, where a returned value goes, and the list that
    // receives returned values (array a = f()).
    const CSspValueList* callArguments = nullptr;
    CSspValue* returnSlot = nullptr;
    CSspValueList* returnedValues = nullptr;
};

class CSspEngine {
public:
    // top: the top engine of the caller's chain for a nested run; none for a top-level run.
    explicit CSspEngine(CSspEngine* top = nullptr);
    virtual ~CSspEngine();
    CSspEngine(const CSspEngine&) = delete;
    CSspEngine& operator=(const CSspEngine&) = delete;

    // Runs a whole file or one of its functions; returns one of the run results above. An engine
    // may be run again: every run starts from a reset.
    int Run(const CSspRunArgs& args);

    // Runs child (built with this engine's top) as a nested call at callPosition. A result other
    // than completed or returned is thrown as a CSspException carrying the child's error text.
    int RunNested(CSspEngine& child, const CSspRunArgs& args, int callPosition);

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

    const std::string& ErrorText() const { return m_errorText; }
    int ErrorPosition() const { return m_errorPosition; }
    const std::string& FilePath() const { return m_filePath; }
    const std::string& UrlPath() const { return m_urlPath; }
    const std::string& UrlDirectory() const { return m_urlDirectory; }
    CSspEngine* TopEngine() const { return m_top; }
    bool IsTopEngine() const { return m_top == this; }
    CSspEngine* RunningChild() const { return m_runningChild.load(); }
    CSourceFile* SourceFile() const { return m_sourceFile; }
    const CSspFunction* Function() const { return m_function; }
    int Cursor() const { return m_cursor.load(std::memory_order_relaxed); }
    int CodeMode() const { return m_codeMode; }
    std::thread::id OwnerThread() const { return m_ownerThread; }
    CSspRequest* Request() const { return m_request; }
    CSspOutputSink* Response() const { return m_response; }
    const CSspValueList* CallArguments() const { return m_callArguments; }

protected:
    // Executes one statement whose first token has been read; returns a run result (0 goes on).
    virtual int ExecuteStatement(const CSspToken& first);

    // Scanning at the engine's cursor, within the run's text.
    CSspToken ReadToken();
    CSspToken PeekToken() const;
    // Called after the token "}--": a statement block must go on with ">".
    void CloseCodeBlock();
    void SetCursor(int cursor) { m_cursor.store(cursor, std::memory_order_relaxed); }

    // Registers (or finds again) the definition whose keyword "function" starts at key, with the
    // cursor just after the keyword, and moves the cursor past its "endfunction".
    CSspFunction& DeclareFunction(int key);
    // Finds the definition of the named function in the whole file; null when there is none.
    CSspFunction* ScanFunctions(std::string_view name);

private:
    void Reset();
    bool Load(std::string_view filePath, std::string_view urlPath, std::string_view functionName);
    bool EnterFunction(std::string_view functionName);
    int RunLoop();
    // Sets the error text for the exception being handled (call only inside a catch block).
    void ReportCurrentException();
    int ExecuteBlock();
    int CheckRunEnd();
    int FinishRun(int result);
    void CleanUp();
    void EndRun();
    bool SkipToFunction();
    bool SerializesRuns() const;

    CSspEngine* m_top;
    std::string m_filePath;
    std::string m_urlPath;
    std::string m_urlDirectory;
    std::string m_errorFileUrl;   // the page that Local.setErrorFile names
    std::string m_errorFilePath;
    std::string m_errorText;
    std::thread::id m_ownerThread;
    int m_errorPosition = kNoPosition;
    CSourceFileCache m_cache;  // used only when this is the top engine
    std::atomic<CSspEngine*> m_runningChild{nullptr};
    CSspDebugHooks* m_hooks = nullptr;

    CSourceFile* m_sourceFile = nullptr;
    CSspFunction* m_function = nullptr;
    const CSspValueList* m_callArguments = nullptr;
    CSspValue* m_returnSlot = nullptr;
    CSspValueList* m_returnedValues = nullptr;

    // The run covers [m_start, m_end) of the source file; the watchdog reads the cursor from
    // another thread, hence atomic (relaxed: it only needs a value that was really there).
    int m_start = 0;
    int m_end = 0;
    std::atomic<int> m_cursor{0};
    int m_codeMode = kTextMode;

    CSspRequest* m_request = nullptr;
    CSspOutputSink* m_response = nullptr;
};

// Points a link at an engine for the length of a scope: a thread's current engine, or a caller's
// running child. Other threads read these links (hang log, debugger), so the link is cleared before
// the engine it names can go away, also when the run throws.
class CSspEngineLink {
public:
    CSspEngineLink(std::atomic<CSspEngine*>& link, CSspEngine& engine) : m_link(link) { m_link.store(&engine); }
    ~CSspEngineLink() { m_link.store(nullptr); }
    CSspEngineLink(const CSspEngineLink&) = delete;
    CSspEngineLink& operator=(const CSspEngineLink&) = delete;

private:
    std::atomic<CSspEngine*>& m_link;
};
