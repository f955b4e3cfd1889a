// A small set of threads that run the share manager's listings one order after another, so that
// no number of requests from peers can make the plug-in start more threads than the bound.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CZylWorkerPool {
public:
    // A job is handed the pool's stop flag and returns early once it is set.
    using Job = std::function<void(const std::atomic<bool>& stop)>;

    explicit CZylWorkerPool(size_t threads = 4) : m_nThreads(threads ? threads : 1) {}
    ~CZylWorkerPool() { Shutdown(); }
    CZylWorkerPool(const CZylWorkerPool&) = delete;
    CZylWorkerPool& operator=(const CZylWorkerPool&) = delete;

    // Queues the job behind those already waiting; threads are started on first use.
    void Submit(Job job);
    // Sets the stop flag, drops the jobs that have not started, waits for the running ones and
    // joins every thread. The pool can be used again afterwards.
    void Shutdown();

    size_t GetThreadCount() const { return m_nThreads; }
    size_t GetWaitingCount() const;

private:
    void Run();

    const size_t m_nThreads;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_qJobs;
    std::vector<std::thread> m_vThreads;
    size_t m_nIdle = 0; // threads waiting for a job
    std::atomic<bool> m_bStop{false};
};
