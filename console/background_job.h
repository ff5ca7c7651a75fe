// CBackgroundJob: runs one piece of blocking work of a console window (the wait for the server to
// start or stop, a host-name lookup) on a thread of its own, so that the window keeps processing
// its events meanwhile, and hands the result back on the window's thread. One job is in flight
// at a time; busyChanged tells the window. A window keeps its job as a member: a result that
// arrives after the job was cancelled or destroyed is dropped, so no handler runs on a window
// that has gone. The work itself is never killed: a lookup that the resolver holds up ends when
// the resolver gives up, on a thread that nothing waits for; work that uses objects of the
// window's owner is waited for (CancelAndWait) before those go.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

class CBackgroundJob : public QObject
{
    Q_OBJECT
public:
    // What the work sees of a cancel; work that waits in steps checks it between them.
    using Cancelled = std::atomic<bool>;

    explicit CBackgroundJob(QObject* parent = nullptr) : QObject(parent) {}
    // Tells the work in flight to stop; its result is dropped (busyChanged is not sent, for the
    // window is going).
    ~CBackgroundJob() override;

    // Runs `work` (Result(const Cancelled&)) on a thread of its own; `done` (void(Result)) gets
    // its result on this object's thread. False, and nothing started, while a job is in flight.
    template <typename Work, typename Done>
    [[nodiscard]] bool Start(Work work, Done done);
    bool Busy() const { return m_job != nullptr; }
    // Gives up the job in flight: its work is told to stop and its result is dropped.
    void Cancel();
    // Cancel, then waits at most `limit` for the work to return: false when it still runs.
    [[nodiscard]] bool CancelAndWait(std::chrono::milliseconds limit);

    // Runs `work` as Start does and returns its result once it is there, the window's events
    // running meanwhile (a local event loop), for steps that the code after them waits for.
    template <typename Work>
    static auto RunAndWait(Work work) -> decltype(work(std::declval<const Cancelled&>()));

signals:
    void busyChanged(bool busy);

private:
    // What the window and the job's thread share.
    struct CJobState
    {
        Cancelled cancelled{false};
        std::atomic<bool> finished{false};
    };

    // The job in flight; null while idle.
    std::shared_ptr<CJobState> m_job;
};

template <typename Work, typename Done>
bool CBackgroundJob::Start(Work work, Done done)
{
    if (Busy())
        return false;
    auto job = std::make_shared<CJobState>();
    m_job = job;
    emit busyChanged(true);
    // The result is posted to the application object, which outlives every window; the job is
    // asked there whether it still waits for it.
    QPointer<CBackgroundJob> self(this);
    std::thread([self, job, work = std::move(work), done = std::move(done)]() mutable {
        auto result = work(job->cancelled);
        job->finished = true;
        QCoreApplication* application = QCoreApplication::instance();
        if (!application || job->cancelled)
            return;
        QMetaObject::invokeMethod(
            application,
            [self, job, done = std::move(done), result = std::move(result)]() mutable {
                if (!self || job->cancelled)
                    return;
                // Idle while `done` runs, so that it may start the next job; busyChanged(false)
                // comes after it, unless it did.
                self->m_job.reset();
                done(std::move(result));
                if (self && !self->Busy())
                    emit self->busyChanged(false);
            },
            Qt::QueuedConnection);
    }).detach();
    return true;
}

template <typename Work>
auto CBackgroundJob::RunAndWait(Work work) -> decltype(work(std::declval<const Cancelled&>()))
{
    using Result = decltype(work(std::declval<const Cancelled&>()));
    CBackgroundJob job;
    Result result{};
    bool finished = false;
    // A job of its own has nothing in flight, so it always starts.
    static_cast<void>(job.Start(std::move(work), [&result, &finished](Result answer) {
        result = std::move(answer);
        finished = true;
    }));
    while (!finished)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return result;
}
