// The run that a thread (a server thread, the background thread) is in at this moment, for the
// other threads that report on it: the hang log of a thread that did not stop, the console, the
// debugger. The running thread names its engine for the length of a run with a Scope; a reader
// visits the engine under the slot's lock, so the running thread cannot destroy the engine while
// it is being read.
#pragma once

#include <functional>
#include <mutex>

class CSspEngine;

class CCurrentEngine
{
public:
    // Names `engine` in `slot` until the scope ends (also when the run throws).
    class Scope
    {
    public:
        Scope(CCurrentEngine& slot, CSspEngine& engine) : m_slot(slot) { m_slot.Set(&engine); }
        ~Scope() { m_slot.Set(nullptr); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        CCurrentEngine& m_slot;
    };

    // Calls `visit` with the engine that runs at this moment; false when none does. `visit` must
    // not wait for the running thread, which waits for the lock to end its run.
    bool Visit(const std::function<void(const CSspEngine&)>& visit) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_engine == nullptr)
            return false;
        visit(*m_engine);
        return true;
    }

    // The thread is being stopped: its run ends at its next statement (CSspEngine::RequestEnd),
    // and so does every run named in the slot from now on, an error page included.
    void EndRuns();
    // The administrator cut the thread's connection: its run ends at its next statement, and so
    // does every run named in the slot until ClearDisconnect, so that a page about to start for
    // that connection does not run either.
    void Disconnect();
    // A new connection begins: a disconnect of the one before no longer counts.
    void ClearDisconnect();

private:
    void Set(CSspEngine* engine);
    void Apply() const;

    // m_lock guards the fields below, and nothing else is taken while it is held.
    mutable std::mutex m_lock;
    CSspEngine* m_engine = nullptr;
    bool m_stopping = false;
    bool m_disconnected = false;
};
