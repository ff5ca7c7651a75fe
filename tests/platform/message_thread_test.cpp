#include "platform/message_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr unsigned kFirst = kThreadMessageApp + 1;
constexpr unsigned kBlock = kThreadMessageApp + 2;
constexpr unsigned kTick = kThreadMessageApp + 3;

// Records what it handles. kBlock waits until Release; the first kTick takes 200 ms and the
// fourth kills the timer.
class CRecordingThread : public CMessageThread
{
public:
    std::mutex lock;
    std::condition_variable changed;
    std::vector<CThreadMessage> seen;
    std::vector<SteadyClock::time_point> ticks;
    SteadyClock::time_point firstTickEnded{};
    pid_t handledOn = 0;
    bool useTimer = false;
    bool blocked = false;
    bool released = false;
    std::shared_ptr<std::atomic<bool>> destroyed = std::make_shared<std::atomic<bool>>(false);

    ~CRecordingThread() override { *destroyed = true; }

    template <typename Condition>
    bool WaitUntil(Condition condition)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 5s, condition);
    }
    void Release()
    {
        std::lock_guard guard(lock);
        released = true;
        changed.notify_all();
    }

protected:
    bool InitInstance() override
    {
        if (useTimer)
            SetTimer(10ms, kTick);
        return true;
    }

    void OnMessage(const CThreadMessage& message) override
    {
        std::unique_lock guard(lock);
        handledOn = CurrentThreadId();
        if (message.message == kBlock) {
            blocked = true;
            changed.notify_all();
            changed.wait(guard, [this] { return released; });
        }
        if (message.message != kTick) {
            seen.push_back(message);
            return;
        }
        ticks.push_back(SteadyClock::now());
        if (ticks.size() == 1) {
            std::this_thread::sleep_for(200ms);
            firstTickEnded = SteadyClock::now();
        }
        if (ticks.size() == 4)
            KillTimer();
        changed.notify_all();
    }
};

TEST(MessageThreadTest, KeepsEarlyPostsRunsThemOnItsOwnThreadAndRefusesPostsOnceEnded)
{
    auto thread = std::make_shared<CRecordingThread>();
    EXPECT_TRUE(thread->WaitForExit(0)) << "nothing to wait for before the start";
    ASSERT_TRUE(thread->Post(kFirst, 1, -1));
    ASSERT_TRUE(thread->Post(kFirst + 10, 2, 20));
    ASSERT_TRUE(thread->PostQuit(7));
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(thread->WaitForExit(5000));

    EXPECT_EQ(thread->GetExitCode(), 7);
    ASSERT_EQ(thread->seen.size(), 2u);
    EXPECT_EQ(thread->seen[0].wParam, 1u);
    EXPECT_EQ(thread->seen[0].lParam, -1);
    EXPECT_EQ(thread->seen[1].message, kFirst + 10);
    // The number is the kernel's, of the thread that handled the messages.
    EXPECT_EQ(thread->handledOn, thread->GetThreadId());
    EXPECT_NE(thread->GetThreadId(), gettid());
    EXPECT_FALSE(thread->Post(kFirst));
    EXPECT_FALSE(thread->PostQuit());
}

TEST(MessageThreadTest, WaitForExitTimesOutOnABusyThreadWhoseObjectOutlivesItsOwner)
{
    auto thread = std::make_shared<CRecordingThread>();
    auto destroyed = thread->destroyed;
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(thread->Post(kBlock));
    thread->PostQuit();
    ASSERT_TRUE(thread->WaitUntil([&] { return thread->blocked; }));
    EXPECT_FALSE(thread->WaitForExit(50));

    // A hung thread is given up, not killed: its object lives until the thread ends.
    std::weak_ptr<CRecordingThread> watch = thread;
    CRecordingThread* hung = thread.get();
    thread.reset();
    EXPECT_FALSE(*destroyed);
    hung->Release();
    const auto deadline = SteadyClock::now() + 5s;
    while (!*destroyed && SteadyClock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(*destroyed);
    EXPECT_TRUE(watch.expired());
}

TEST(MessageThreadTest, TimerTicksUntilKilledWithoutABurstAfterASlowTick)
{
    auto thread = std::make_shared<CRecordingThread>();
    thread->useTimer = true;
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(thread->WaitUntil([&] { return thread->ticks.size() >= 4; }));
    ASSERT_TRUE(thread->Post(kFirst));
    std::this_thread::sleep_for(100ms);
    thread->PostQuit();
    ASSERT_TRUE(thread->WaitForExit(5000));

    EXPECT_EQ(thread->ticks.size(), 4u) << "ticks went on after KillTimer";
    EXPECT_EQ(thread->seen.size(), 1u);
    // Twenty periods passed during the first tick; they collapse into one tick, not a burst.
    int soonAfter = 0;
    for (const auto& when : thread->ticks)
        if (when >= thread->firstTickEnded && when < thread->firstTickEnded + 10ms)
            ++soonAfter;
    EXPECT_LE(soonAfter, 2);
}

}  // namespace
