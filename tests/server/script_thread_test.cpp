#include "server/script_thread.h"

#include "webserver/ssp_response.h"

#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "language/debug_hooks.h"
#include "language/output_sink.h"
#include "language/ssp_engine.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Counts the messages the thread has handled and notes when each tick began.
class ObservedThread : public CScriptThread
{
public:
    using CScriptThread::CScriptThread;
    std::atomic<int> handled{0};
    std::mutex lock;
    std::vector<SteadyClock::time_point> tickTimes;

protected:
    void OnMessage(const CThreadMessage& message) override
    {
        if (message.message == kSchedulerTickMessage) {
            std::lock_guard guard(lock);
            tickTimes.push_back(SteadyClock::now());
        }
        CScriptThread::OnMessage(message);
        ++handled;
    }
};

// Notes each run's file and URL path as it ends (its output still open), and lets a test act
// there: make the task take time, move the clock, look at the thread.
class RunRecorder : public CSspDebugHooks
{
public:
    void OnInterpreterStart(CSspEngine&) override {}
    void OnStatement(CSspEngine&) override {}
    void OnTextLine(CSspEngine&) override {}
    void OnInterpreterEnd(CSspEngine& engine) override
    {
        {
            std::lock_guard guard(m_lock);
            m_files.push_back(engine.FilePath());
            m_urls.push_back(engine.UrlPath());
        }
        if (atEnd)
            atEnd(engine);
    }
    bool IsStopRequested() const override { return false; }

    std::vector<std::string> Files() const
    {
        std::lock_guard guard(m_lock);
        return m_files;
    }
    std::vector<std::string> Urls() const
    {
        std::lock_guard guard(m_lock);
        return m_urls;
    }
    std::function<void(CSspEngine&)> atEnd;

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_files;
    std::vector<std::string> m_urls;
};

struct CountingSweep : CIdleDataSourceSweep
{
    void CloseIdleDataSources() override { ++sweeps; }
    void CloseIdlePrivateDataSources() override { ++privateSweeps; }
    std::atomic<int> sweeps{0};
    std::atomic<int> privateSweeps{0};
};

struct CountingSender : CEmailSenderTask
{
    explicit CountingSender(std::atomic<int>& runs) : m_runs(runs) {}
    void RunEmailSender() override { ++m_runs; }
    std::atomic<int>& m_runs;
};

class ScriptThreadTest : public testing::Test
{
protected:
    ScriptThreadTest() : m_config(m_install.Path() + "/etc/settings.conf", m_install.Path())
    {
        for (const char* folder : {"/bin", "/tmp", "/webroot", "/webroot/script"})
            ::mkdir((m_install.Path() + folder).c_str(), 0700);
        CSspEngine::InstallDebugHooks(&m_recorder);
    }
    ~ScriptThreadTest() override { CSspEngine::InstallDebugHooks(nullptr); }

    // A script of empty statements below the installation folder; returns its full path.
    std::string WriteScript(const std::string& relative)
    {
        std::string path = m_install.Path() + "/" + relative;
        std::ofstream(path) << ";\n;\n";
        return path;
    }
    // An every-N-minutes task whose next run is computed at `computedAt` (so due N minutes later).
    CTaskEntry& AddTask(const std::string& name, bool enabled, const std::string& script, std::time_t computedAt)
    {
        CTaskEntry& task = m_config.AddTask();
        task.SetName(name);
        task.SetEnabled(enabled);
        task.SetScript(script);
        task.SetKind(kTaskEveryMinutes);
        task.SetIntervalSeconds(600);
        task.ComputeNextRun(computedAt);
        return task;
    }
    std::shared_ptr<ObservedThread> StartThread(std::chrono::milliseconds tick = 1h,
                                                std::function<void(CScriptThread&)> setUp = {})
    {
        auto thread = std::make_shared<ObservedThread>(m_config, m_install.Path());
        thread->SetTickPeriod(tick);
        thread->SetClock([this] { return m_now.load(); });
        if (setUp)
            setUp(*thread);
        EXPECT_TRUE(thread->Start());
        return thread;
    }
    // Posts a message, waits until the thread has handled it.
    void Send(ObservedThread& thread, unsigned message, std::uintptr_t wParam = 0)
    {
        int before = thread.handled.load();
        ASSERT_TRUE(thread.Post(message, wParam));
        ASSERT_TRUE(WaitFor([&] { return thread.handled.load() > before; }));
    }
    void TickAt(ObservedThread& thread, std::time_t when)
    {
        m_now = when;
        Send(thread, CScriptThread::kSchedulerTickMessage);
    }
    static void Quit(CMessageThread& thread)
    {
        thread.PostQuit();
        ASSERT_TRUE(thread.WaitForExit(5000));
    }

    TempFolder m_install{"tw-sched"};
    CServerConfig m_config;
    RunRecorder m_recorder;
    CLogCapture m_log;
    std::atomic<std::time_t> m_now{0};
    const std::time_t m_t0 = MakeLocalTime(2024, 3, 5, 10, 0, 0);
};

TEST_F(ScriptThreadTest, TicksRunDueEnabledTasksLastFirstAndMissedPeriodsOnce)
{
    std::atomic<int> senderRuns{0};
    AddTask("Email Sender", true, "none", m_t0 - 600);
    const std::string a = WriteScript("bin/a.tws");
    CTaskEntry& taskA = AddTask("A", true, "a.tws", m_t0 - 600);
    const std::string b = WriteScript("webroot/script/b.tws");
    AddTask("B", true, b, m_t0);  // due at 10:10
    CTaskEntry& taskC = AddTask("C", false, WriteScript("bin/c.tws"), m_t0 - 600);
    const std::string d = WriteScript("webroot/script/d.tws");
    AddTask("D", true, d, m_t0 - 600);
    auto thread =
        StartThread(1h, [&](CScriptThread& t) { t.SetEmailSender(std::make_unique<CountingSender>(senderRuns)); });

    TickAt(*thread, m_t0 + 5);
    EXPECT_EQ(m_recorder.Files(), (std::vector<std::string>{d, a}));
    EXPECT_EQ(m_recorder.Urls(), (std::vector<std::string>{"/script/d.tws", a}));
    EXPECT_EQ(senderRuns, 1);
    EXPECT_EQ(taskA.GetNextRun(), m_t0 + 600);
    EXPECT_EQ(taskC.GetNextRun(), m_t0);

    TickAt(*thread, m_t0 + 60);
    EXPECT_EQ(m_recorder.Files().size(), 2u);
    // Three periods missed: each task runs once and is next due one period after this run.
    TickAt(*thread, m_t0 + 35 * 60);
    TickAt(*thread, m_t0 + 35 * 60);
    EXPECT_EQ(m_recorder.Files(), (std::vector<std::string>{d, a, d, b, a}));
    EXPECT_EQ(senderRuns, 2);
    EXPECT_EQ(taskA.GetNextRun(), m_t0 + 45 * 60);
    Quit(*thread);
}

TEST_F(ScriptThreadTest, IdleSweepOnlyAtMinuteZeroOfTheTickAndOnlyWhenSwitchedOn)
{
    for (auto [idleTimeout, threadOwn, expected] : {std::tuple{1, 0, 1}, {0, 0, 0}, {5, 1, 0}}) {
        m_config.m_dbConnectionIdleTimeout = idleTimeout;
        m_config.m_dbConnectionThreadOwn = threadOwn;
        CountingSweep sweep;
        auto thread = StartThread(1h, [&](CScriptThread& t) { t.SetIdleSweep(&sweep); });
        for (std::time_t when : {m_t0 - 60, m_t0, m_t0 + 60})
            TickAt(*thread, when);
        EXPECT_EQ(sweep.sweeps, expected) << "idle timeout " << idleTimeout << ", own " << threadOwn;
        // Idle private connections are swept on every tick, whatever the settings.
        EXPECT_EQ(sweep.privateSweeps, 3) << "idle timeout " << idleTimeout << ", own " << threadOwn;
        Quit(*thread);
    }

    // The 10:59 tick whose task lasts into 11:00 does not sweep: the tick's own minute counts.
    m_config.m_dbConnectionIdleTimeout = 1;
    m_config.m_dbConnectionThreadOwn = 0;
    AddTask("Email Sender", false, "none", m_t0);
    AddTask("Long", true, WriteScript("bin/long.tws"), m_t0 - 660);
    m_recorder.atEnd = [this](CSspEngine&) { m_now = m_t0; };
    CountingSweep sweep;
    auto thread = StartThread(1h, [&](CScriptThread& t) { t.SetIdleSweep(&sweep); });
    TickAt(*thread, m_t0 - 60);
    EXPECT_EQ(m_recorder.Files().size(), 1u);
    EXPECT_EQ(sweep.sweeps, 0);
    Quit(*thread);
}

TEST_F(ScriptThreadTest, RunNowServesOnlyEnabledTasksAndKeepsTheSchedule)
{
    const std::string script = WriteScript("bin/now.tws");
    AddTask("Email Sender", true, "none", m_t0);
    CTaskEntry& task = AddTask("Now", true, "now.tws", m_t0);
    AddTask("Off", false, script, m_t0);
    auto thread = StartThread();
    for (std::uintptr_t number : {0, 1, 4, 99, 3})
        Send(*thread, CScriptThread::kRunTaskMessage, number);
    EXPECT_EQ(m_recorder.Files(), std::vector<std::string>{script});
    EXPECT_EQ(task.GetNextRun(), m_t0 + 600);
    EXPECT_TRUE(m_log.Contains("Now (" + script + ") started running."));
    EXPECT_TRUE(m_log.Contains("Now ended."));

    Send(*thread, CScriptThread::kRunTaskMessage, CScriptThread::kEmailSenderTaskNumber);
    EXPECT_TRUE(m_log.Contains("Email Sender is not available."));
    Quit(*thread);
}

TEST_F(ScriptThreadTest, FailedTaskIsLoggedAndReportedWhileOutputGoesToTheThreadsFile)
{
    const std::string missing = m_install.Path() + "/webroot/script/gone.tws";
    AddTask("Email Sender", false, "none", m_t0);
    AddTask("Broken", true, missing, m_t0 - 600);
    AddTask("Good", true, WriteScript("bin/good.tws"), m_t0 - 600);
    std::string outputPath;
    std::string seenPath;
    std::string written;
    bool hadRequest = false;
    m_recorder.atEnd = [&](CSspEngine& engine) {
        auto* response = dynamic_cast<CSspResponse*>(engine.Response());
        ASSERT_NE(response, nullptr) << "a task writes through a response without connection";
        response->Write("made by the task");
        response->WriteText(std::string(CSspResponse::kSpillSize, 'x'));  // forces the output file
        seenPath = response->GetOutputPath();
        written = response->GetOutputText().substr(0, 16);
        hadRequest = engine.Request() != nullptr;
    };
    auto thread = StartThread();
    outputPath = m_install.Path() + "/tmp/dyn" + std::to_string(thread->GetThreadId()) + ".html";
    TickAt(*thread, m_t0);
    Quit(*thread);
    EXPECT_EQ(seenPath, outputPath);
    EXPECT_EQ(written, "made by the task");
    EXPECT_TRUE(hadRequest);
    EXPECT_FALSE(std::ifstream(outputPath).good()) << "the output file lives only during its run";

    // Good ran first and logged no error; Broken's report names the file.
    std::vector<std::string> entries = m_log.Entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_NE(entries[1].find("Good ended."), std::string::npos);
    EXPECT_EQ(entries[2], "Broken (" + missing + ") started running.\r\n");
    EXPECT_NE(entries[3].find(missing), std::string::npos);
    EXPECT_EQ(entries[4], "Broken ended.\r\n");

    // The report went into the outbox for the administrator, with the error as its content.
    std::vector<std::string> outbox;
    for (const auto& entry : std::filesystem::directory_iterator(m_install.Path() + "/mail/outbox"))
        outbox.push_back(entry.path().string());
    ASSERT_EQ(outbox.size(), 1u);
    std::ifstream file(outbox[0], std::ios::binary);
    const std::string message((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(message.find("Subject: Broken error\r\n"), std::string::npos);
    EXPECT_NE(message.find(missing), std::string::npos);
}

TEST_F(ScriptThreadTest, LongTaskIsFollowedByOneCoalescedTickAndRunNowComesBetweenTicks)
{
    AddTask("Email Sender", false, "none", m_t0);
    const std::string slow = WriteScript("bin/slow.tws");
    AddTask("Slow", true, slow, m_t0 - 600);
    const std::string quick = WriteScript("bin/quick.tws");
    AddTask("Quick", true, quick, m_t0);
    std::atomic<SteadyClock::rep> slowEnd{0};
    m_recorder.atEnd = [&](CSspEngine& engine) {
        if (engine.FilePath() == slow) {
            std::this_thread::sleep_for(100ms);
            slowEnd = SteadyClock::now().time_since_epoch().count();
        }
    };
    m_now = m_t0;
    auto thread = StartThread(20ms);
    ASSERT_TRUE(WaitFor([&] { return slowEnd.load() != 0; }));
    const SteadyClock::time_point end{SteadyClock::duration(slowEnd.load())};
    std::this_thread::sleep_until(end + 50ms);
    Send(*thread, CScriptThread::kRunTaskMessage, 4);
    EXPECT_EQ(m_recorder.Files(), (std::vector<std::string>{slow, quick}));
    Quit(*thread);

    // Five ticks fell due during the 100 ms run. Merged, one follows the run at once and the rest
    // keep the 20 ms grid: about three in the 50 ms after it. A backlog would add four more.
    int ticksAfter = 0;
    for (SteadyClock::time_point tick : thread->tickTimes)
        ticksAfter += tick >= end && tick <= end + 50ms;
    EXPECT_GE(ticksAfter, 1);
    EXPECT_LE(ticksAfter, 4);
}

TEST_F(ScriptThreadTest, CurrentEngineIsReadUnderTheLockOnlyWhileItRuns)
{
    AddTask("Email Sender", false, "none", m_t0);
    AddTask("Seen", true, WriteScript("bin/seen.tws"), m_t0);
    auto thread = StartThread();
    EXPECT_FALSE(thread->VisitCurrentEngine([](const CSspEngine&) {}));

    // A reader holds on to the engine while each run ends: the run waits at its end until the
    // reader is inside a visit. The engine lives on the heap, so were it destroyed under the
    // reader, the sanitizer build would report it.
    std::atomic<bool> done{false};
    std::atomic<int> entered{0};
    std::atomic<int> sightings{0};
    m_recorder.atEnd = [&](CSspEngine&) {
        const int before = entered.load();
        WaitFor([&] { return entered.load() > before; }, 2s);
    };
    std::thread reader([&] {
        while (!done) {
            thread->VisitCurrentEngine([&](const CSspEngine& engine) {
                ++entered;
                std::this_thread::sleep_for(1ms);
                sightings += engine.IsTopEngine();
            });
        }
    });
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(thread->Post(CScriptThread::kRunTaskMessage, 3));
    ASSERT_TRUE(WaitFor([&] { return thread->handled.load() == 50; }));
    done = true;
    reader.join();
    EXPECT_GE(sightings, 50);
    EXPECT_FALSE(thread->LogHangPosition());
    Quit(*thread);
}

TEST_F(ScriptThreadTest, StopEndsTheLoopPromptlyAndLeavesAHungRunToEnd)
{
    std::shared_ptr<CScriptThread> owner = std::make_shared<ObservedThread>(m_config, m_install.Path());
    std::shared_ptr<CScriptThread> kept = owner;
    ASSERT_TRUE(CScriptThread::StartAndWait(owner));
    const auto before = SteadyClock::now();
    EXPECT_TRUE(CScriptThread::StopAndRelease(owner));
    EXPECT_LT(SteadyClock::now() - before, 1s);
    EXPECT_EQ(owner, nullptr);
    EXPECT_TRUE(kept->HasExited());
    EXPECT_FALSE(kept->IsRunning());

    AddTask("Email Sender", false, "none", m_t0);
    AddTask("Hang", true, WriteScript("bin/hang.tws"), m_t0);
    std::atomic<bool> release{false};
    m_recorder.atEnd = [&](CSspEngine&) { WaitFor([&] { return release.load(); }); };
    std::shared_ptr<CScriptThread> hanging = StartThread();
    std::weak_ptr<CScriptThread> watch = hanging;
    ASSERT_TRUE(hanging->Post(CScriptThread::kRunTaskMessage, 3));
    ASSERT_TRUE(WaitFor([&] { return m_recorder.Files().size() == 1; }));
    EXPECT_FALSE(CScriptThread::StopAndRelease(hanging, 50));
    EXPECT_TRUE(m_log.Contains("Background thread failed to terminate."));
    EXPECT_FALSE(watch.expired()) << "the hung thread keeps its object";
    release = true;
    EXPECT_TRUE(WaitFor([&] { return watch.expired(); }));
}

TEST_F(ScriptThreadTest, OneScriptModeRunsTheScriptOnceAndEnds)
{
    const std::string script = WriteScript("bin/one.tws");
    bool runningDuringRun = false;
    CScriptThread* self = nullptr;
    m_recorder.atEnd = [&](CSspEngine&) { runningDuringRun = self->IsRunning(); };
    auto thread = StartThread(1h, [&](CScriptThread& t) {
        self = &t;
        t.SetScriptPath("one.tws");
    });
    ASSERT_TRUE(thread->WaitForExit(5000));
    EXPECT_TRUE(runningDuringRun);
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_EQ(m_recorder.Urls(), std::vector<std::string>{script});
    EXPECT_EQ(m_log.Entries(), (std::vector<std::string>{script + " started running.\r\n", script + " ended.\r\n"}));

    m_recorder.atEnd = nullptr;
    auto failing = StartThread(1h, [&](CScriptThread& t) { t.SetScriptPath(m_install.Path() + "/absent.tws"); });
    ASSERT_TRUE(failing->WaitForExit(5000));
    std::vector<std::string> entries = m_log.Entries();
    ASSERT_EQ(entries.size(), 5u) << "started, the engine's report, ended";
    EXPECT_NE(entries[3].find("absent.tws"), std::string::npos);
}

TEST(ScriptPathTest, ScriptAndUrlPathsFollowTheInstallationFolder)
{
    for (auto [stored, resolved] : {std::pair{"/srv/a.tws", "/srv/a.tws"},
                                    {"a.tws", "/opt/tw/bin/a.tws"},
                                    {"sub/b.tws", "/opt/tw/bin/sub/b.tws"}}) {
        std::string path = stored;
        CScriptThread::ResolveScriptPath(path, "/opt/tw");
        EXPECT_EQ(path, resolved);
    }
    EXPECT_EQ(CScriptThread::ResolveWebrootPath("/opt/tw/webroot/script/system.tws", "/opt/tw"), "/script/system.tws");
    EXPECT_EQ(CScriptThread::ResolveWebrootPath("/opt/tw/bin/a.tws", "/opt/tw"), "/opt/tw/bin/a.tws");
    EXPECT_EQ(CScriptThread::ResolveWebrootPath("/opt/TW/webroot/a.tws", "/opt/tw"), "/opt/TW/webroot/a.tws");
    EXPECT_EQ(CScriptThread::ResolveWebrootPath("rel\\x.tws", "/opt/tw"), "/rel/x.tws");
}

}  // namespace
