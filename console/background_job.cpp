#include "console/background_job.h"

CBackgroundJob::~CBackgroundJob()
{
    if (m_job)
        m_job->cancelled = true;
}

void CBackgroundJob::Cancel()
{
    if (!m_job)
        return;
    m_job->cancelled = true;
    m_job.reset();
    emit busyChanged(false);
}

bool CBackgroundJob::CancelAndWait(std::chrono::milliseconds limit)
{
    const std::shared_ptr<CJobState> job = m_job;
    if (!job)
        return true;
    Cancel();
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!job->finished && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return job->finished;
}
