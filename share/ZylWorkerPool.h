// A small set of threads that serve the share manager's listings fairly between peers. Each peer
// has its own line of listings and the lines take turns a slice at a time (a listing's folder
// enumeration, or one of its pages), so one peer's many or long listings cannot keep another
// peer's browse waiting. Bounds keep any peer from holding more than its share of the memory: how
// many of its listings may wait, how many may have begun (a begun listing holds its enumeration),
// and the same for all peers together. A listing may also be held back until its peer can take
// more (its pages wait untaken): it costs no thread meanwhile, and Wake lets it be looked at
// again. Nothing runs before Open or after Shutdown.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class CZylWorkerPool {
public:
    // One slice of a listing; true while there is more to do. The flag is the listing's own: it is
    // set at shutdown and when the peer's listings are dropped, and a slice that sees it returns.
    using Job = std::function<bool(const std::atomic<bool>& stop)>;
    // Whether the listing may take its next slice now (asked under the pool's lock, so it must be
    // quick and must not call the pool); none means always.
    using Ready = std::function<bool()>;

    struct LIMITS {
        size_t threads = 4;
        size_t waitingPerPeer = 16; // listings of one peer not begun yet
        size_t waitingTotal = 64;
        size_t startedPerPeer = 2; // listings of one peer begun and not ended
        size_t startedTotal = 16;
    };

    enum class SUBMITTED { Queued, Full, Closed };

    CZylWorkerPool();
    explicit CZylWorkerPool(LIMITS limits);
    ~CZylWorkerPool() { Shutdown(); }
    CZylWorkerPool(const CZylWorkerPool&) = delete;
    CZylWorkerPool& operator=(const CZylWorkerPool&) = delete;

    // Submissions are taken from now on (login).
    void Open();
    // Queues the job at the end of the peer's line (peers compare without regard to case). Full:
    // the peer's or the total bound of waiting listings is reached; Closed: before Open or after
    // Shutdown. Nothing is queued then. A listing whose ready() answers false is passed over until
    // a Wake finds it true.
    SUBMITTED Submit(std::u16string_view peer, Job job, Ready ready = {});
    // What held listings back may have changed (the host took PDUs): they are asked again.
    void Wake();
    // The peer went away: its waiting listings go, its running ones are told to stop.
    void DropPeer(std::u16string_view peer);
    // Closes the pool, tells every running listing to stop, drops the waiting ones and joins the
    // threads; nothing runs after it returns, and nothing is taken until the next Open.
    void Shutdown();

    const LIMITS& GetLimits() const { return m_limits; }
    bool IsOpen() const;
    size_t GetWaitingCount() const;
    size_t GetWaitingCount(std::u16string_view peer) const;
    size_t GetStartedCount() const;
    size_t GetBusyCount() const; // threads inside a slice
    size_t GetLiveThreadCount() const;
    // True when nothing can move until time passes or a Wake: each thread inside a slice is one of
    // that many sleeping threads, and no slice waits that an idle thread could take (tests in
    // virtual time).
    bool IsQuiet(size_t sleepingThreads) const;

private:
    struct ENTRY {
        Job job;
        Ready ready;
        std::atomic<bool> stop{false};
        bool started = false;
    };
    struct PEER {
        std::deque<std::shared_ptr<ENTRY>> ready; // waiting and begun listings between slices
        std::vector<std::shared_ptr<ENTRY>> running;
        size_t waiting = 0;
        size_t started = 0;
        bool inTurn = false; // in the line of peers taking turns
    };

    void Run();
    // The next slice to run, taking peers in turn; null when none may run now. Under the lock.
    std::shared_ptr<ENTRY> Pick(std::u16string& peer);
    bool CanRun(const PEER& peer, const ENTRY& entry) const;
    bool HasRunnable() const;
    void Forget(const std::u16string& key);
    static std::u16string Key(std::u16string_view peer);

    LIMITS m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::u16string, PEER> m_mPeers;
    std::deque<std::u16string> m_qTurns; // peers with slices ready, the next to run first
    std::vector<std::thread> m_vThreads;
    size_t m_nWaiting = 0;
    size_t m_nStarted = 0;
    size_t m_nBusy = 0;
    bool m_bOpen = false;
    bool m_bStopping = false;
};
