#include "share/ZylWorkerPool.h"

void CZylWorkerPool::Submit(Job job) {
    std::lock_guard lock(m_mutex);
    m_qJobs.push_back(std::move(job));
    // A thread is added only when no idle one can take the job.
    if (m_qJobs.size() > m_nIdle && m_vThreads.size() < m_nThreads)
        m_vThreads.emplace_back([this] { Run(); });
    m_wake.notify_one();
}

void CZylWorkerPool::Shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
        m_qJobs.clear();
        threads.swap(m_vThreads);
    }
    m_wake.notify_all();
    for (auto& thread : threads)
        thread.join();
    std::lock_guard lock(m_mutex);
    m_bStop = false;
}

size_t CZylWorkerPool::GetWaitingCount() const {
    std::lock_guard lock(m_mutex);
    return m_qJobs.size();
}

void CZylWorkerPool::Run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            ++m_nIdle;
            m_wake.wait(lock, [this] { return m_bStop || !m_qJobs.empty(); });
            --m_nIdle;
            if (m_bStop)
                return;
            job = std::move(m_qJobs.front());
            m_qJobs.pop_front();
        }
        job(m_bStop);
    }
}
