// The calls a debugger receives from the interpreter. twStudio installs one implementation; twServer
// installs none, and then the engine makes no calls at all. A hook runs on the interpreter's own
// thread and may block it (a paused run waits inside OnStatement or OnTextLine until resumed).
#pragma once

class CSspEngine;

class CSspDebugHooks
{
public:
    virtual ~CSspDebugHooks() = default;
    // A run (top-level or nested) has loaded its file and stands at its first byte.
    virtual void OnInterpreterStart(CSspEngine& engine) = 0;
    // Before each statement, with the cursor just after the statement's first token.
    virtual void OnStatement(CSspEngine& engine) = 0;
    // Before each line of template text.
    virtual void OnTextLine(CSspEngine& engine) = 0;
    // A run has ended (also when a function to run was not found); its error text is final.
    virtual void OnInterpreterEnd(CSspEngine& engine) = 0;
    // Read after OnStatement and OnTextLine: true ends the run with result 3.
    virtual bool IsStopRequested() const = 0;
};
