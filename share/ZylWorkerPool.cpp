#include "share/ZylWorkerPool.h"

#include "core/ZylText.h"

#include <algorithm>

CZylWorkerPool::CZylWorkerPool() : CZylWorkerPool(LIMITS{}) {}

CZylWorkerPool::CZylWorkerPool(LIMITS limits) : m_limits(limits) {
    if (m_limits.threads == 0)
        m_limits.threads = 1;
}

std::u16string CZylWorkerPool::Key(std::u16string_view peer) {
    std::u16string key(peer);
    for (char16_t& c : key)
        c = ZylFoldCase(c);
    return key;
}

void CZylWorkerPool::Open() {
    std::lock_guard lock(m_mutex);
    m_bOpen = true;
}

CZylWorkerPool::SUBMITTED CZylWorkerPool::Submit(std::u16string_view peer, Job job, Ready ready) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_bOpen || m_bStopping)
            return SUBMITTED::Closed;
        const std::u16string key = Key(peer);
        auto found = m_mPeers.find(key);
        if (m_nWaiting >= m_limits.waitingTotal ||
            (found != m_mPeers.end() && found->second.waiting >= m_limits.waitingPerPeer))
            return SUBMITTED::Full;
        PEER& line = m_mPeers[key];
        auto entry = std::make_shared<ENTRY>();
        entry->job = std::move(job);
        entry->ready = std::move(ready);
        line.ready.push_back(std::move(entry));
        ++line.waiting;
        ++m_nWaiting;
        if (!line.inTurn) {
            line.inTurn = true;
            m_qTurns.push_back(key);
        }
        // The threads start with the first listing and stay until shutdown.
        while (m_vThreads.size() < m_limits.threads)
            m_vThreads.emplace_back([this] { Run(); });
    }
    m_wake.notify_one();
    return SUBMITTED::Queued;
}

void CZylWorkerPool::Wake() {
    {
        // Taken so that a thread that has just found a listing held back is waiting by now.
        std::lock_guard lock(m_mutex);
        if (m_nStarted == 0 && m_nWaiting == 0)
            return;
    }
    m_wake.notify_all();
}

void CZylWorkerPool::DropPeer(std::u16string_view peer) {
    std::deque<std::shared_ptr<ENTRY>> dropped; // released outside the lock: they may hold much
    {
        std::lock_guard lock(m_mutex);
        const std::u16string key = Key(peer);
        auto found = m_mPeers.find(key);
        if (found == m_mPeers.end())
            return;
        PEER& line = found->second;
        for (const auto& entry : line.ready) {
            if (entry->started) {
                --line.started;
                --m_nStarted;
            } else {
                --line.waiting;
                --m_nWaiting;
            }
        }
        dropped.swap(line.ready);
        for (const auto& entry : line.running)
            entry->stop = true;
        if (line.inTurn) {
            m_qTurns.erase(std::find(m_qTurns.begin(), m_qTurns.end(), key));
            line.inTurn = false;
        }
        Forget(key);
    }
    // Begun listings that ended free their places for waiting ones.
    m_wake.notify_all();
}

void CZylWorkerPool::Shutdown() {
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<ENTRY>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_bOpen = false;
        m_bStopping = true;
        for (auto& [key, line] : m_mPeers) {
            for (auto& entry : line.ready)
                dropped.push_back(std::move(entry));
            line.ready.clear();
            for (const auto& entry : line.running)
                entry->stop = true;
        }
        m_qTurns.clear();
        threads.swap(m_vThreads);
    }
    m_wake.notify_all();
    // A running slice ends at its next look at its flag (a page, or a folder entry).
    for (auto& thread : threads)
        thread.join();
    std::lock_guard lock(m_mutex);
    m_mPeers.clear();
    m_nWaiting = m_nStarted = m_nBusy = 0;
    m_bStopping = false;
}

bool CZylWorkerPool::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_bOpen;
}

size_t CZylWorkerPool::GetWaitingCount() const {
    std::lock_guard lock(m_mutex);
    return m_nWaiting;
}

size_t CZylWorkerPool::GetWaitingCount(std::u16string_view peer) const {
    std::lock_guard lock(m_mutex);
    auto found = m_mPeers.find(Key(peer));
    return found == m_mPeers.end() ? 0 : found->second.waiting;
}

size_t CZylWorkerPool::GetStartedCount() const {
    std::lock_guard lock(m_mutex);
    return m_nStarted;
}

size_t CZylWorkerPool::GetBusyCount() const {
    std::lock_guard lock(m_mutex);
    return m_nBusy;
}

size_t CZylWorkerPool::GetLiveThreadCount() const {
    std::lock_guard lock(m_mutex);
    return m_vThreads.size();
}

bool CZylWorkerPool::IsQuiet(size_t sleepingThreads) const {
    std::lock_guard lock(m_mutex);
    const bool idleThread = m_nBusy < m_vThreads.size();
    return m_nBusy == sleepingThreads && !(idleThread && HasRunnable());
}

bool CZylWorkerPool::CanRun(const PEER& line, const ENTRY& entry) const {
    // A begun listing goes on; a new one begins only while its peer and all peers are below the
    // bound of begun listings. Either waits while its peer can take nothing more.
    if (!entry.started && (line.started >= m_limits.startedPerPeer || m_nStarted >= m_limits.startedTotal))
        return false;
    return !entry.ready || entry.ready();
}

bool CZylWorkerPool::HasRunnable() const {
    for (const auto& key : m_qTurns) {
        const PEER& line = m_mPeers.at(key);
        for (const auto& entry : line.ready)
            if (CanRun(line, *entry))
                return true;
    }
    return false;
}

std::shared_ptr<CZylWorkerPool::ENTRY> CZylWorkerPool::Pick(std::u16string& peer) {
    for (auto turn = m_qTurns.begin(); turn != m_qTurns.end(); ++turn) {
        PEER& line = m_mPeers.at(*turn);
        auto it = std::find_if(line.ready.begin(), line.ready.end(),
                               [&](const auto& entry) { return CanRun(line, *entry); });
        if (it == line.ready.end())
            continue; // this peer's turn waits until one of its listings ends
        std::shared_ptr<ENTRY> entry = std::move(*it);
        line.ready.erase(it);
        peer = *turn;
        // The peer goes to the end of the line, behind everyone who waited meanwhile.
        m_qTurns.erase(turn);
        if (line.ready.empty())
            line.inTurn = false;
        else
            m_qTurns.push_back(peer);
        if (!entry->started) {
            entry->started = true;
            --line.waiting;
            --m_nWaiting;
            ++line.started;
            ++m_nStarted;
        }
        line.running.push_back(entry);
        return entry;
    }
    return nullptr;
}

void CZylWorkerPool::Forget(const std::u16string& key) {
    auto found = m_mPeers.find(key);
    if (found != m_mPeers.end() && found->second.ready.empty() && found->second.running.empty() &&
        found->second.started == 0 && found->second.waiting == 0)
        m_mPeers.erase(found);
}

void CZylWorkerPool::Run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        std::u16string key;
        std::shared_ptr<ENTRY> entry;
        m_wake.wait(lock, [&] { return m_bStopping || (entry = Pick(key)) != nullptr; });
        if (!entry)
            return;
        ++m_nBusy;
        lock.unlock();
        bool more = false;
        try {
            more = entry->job(entry->stop);
        } catch (...) {
            more = false; // nothing may leave a worker thread: the listing ends
        }
        lock.lock();
        --m_nBusy;
        auto found = m_mPeers.find(key);
        if (found != m_mPeers.end()) {
            PEER& line = found->second;
            line.running.erase(std::find(line.running.begin(), line.running.end(), entry));
            if (more && !entry->stop && !m_bStopping) {
                line.ready.push_back(entry);
                if (!line.inTurn) {
                    line.inTurn = true;
                    m_qTurns.push_back(key);
                }
            } else {
                --line.started;
                --m_nStarted;
                Forget(key);
            }
        }
        m_wake.notify_all();
        // An ended listing's memory is released outside the lock.
        lock.unlock();
        entry.reset();
        lock.lock();
    }
}
