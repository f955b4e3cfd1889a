// The listing workers: a bounded pool that keeps requests in order, pages offered again until they
// can be queued, and listings running while shares change and the plug-in logs out (run these
// under ThreadSanitizer too).
#include "ZylBrowseFixture.h"

#include "share/ZylWorkerPool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace {

// Waits in real time (worker threads run on their own) for at most five seconds.
template <typename Condition> bool WaitReal(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

TEST(ZylWorkerPool, RunsNoMoreThanItsBoundAndTakesJobsInOrder) {
    CZylWorkerPool pool(2);
    std::mutex mutex;
    std::condition_variable gate;
    bool open = false;
    int running = 0, mostRunning = 0;
    std::vector<int> started;
    for (int i = 0; i < 6; ++i)
        pool.Submit([&, i](const std::atomic<bool>&) {
            std::unique_lock lock(mutex);
            started.push_back(i);
            mostRunning = std::max(mostRunning, ++running);
            gate.wait(lock, [&] { return open; });
            --running;
        });
    ASSERT_TRUE(WaitReal([&] {
        std::lock_guard lock(mutex);
        return started.size() == 2;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(started.size(), 2u);
        EXPECT_EQ(std::set<int>(started.begin(), started.end()), (std::set<int>{0, 1}));
    }
    EXPECT_EQ(pool.GetWaitingCount(), 4u);
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    gate.notify_all();
    ASSERT_TRUE(WaitReal([&] {
        std::lock_guard lock(mutex);
        return started.size() == 6 && running == 0;
    }));
    pool.Shutdown();
    EXPECT_EQ(mostRunning, 2);

    // Waiting jobs leave in the order they came (one thread, so starting order is taking order).
    CZylWorkerPool single(1);
    std::vector<int> order;
    std::atomic<int> done{0};
    for (int i = 0; i < 8; ++i)
        single.Submit([&, i](const std::atomic<bool>&) {
            order.push_back(i);
            ++done;
        });
    ASSERT_TRUE(WaitReal([&] { return done == 8; }));
    single.Shutdown();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(ZylWorkerPool, ShutdownStopsRunningJobsDropsWaitingOnesAndCanStartAgain) {
    CZylWorkerPool pool(1);
    std::atomic<int> loops{0};
    std::atomic<bool> ranLate{false};
    pool.Submit([&](const std::atomic<bool>& stop) {
        while (!stop)
            ++loops, std::this_thread::yield();
    });
    pool.Submit([&](const std::atomic<bool>&) { ranLate = true; });
    ASSERT_TRUE(WaitReal([&] { return loops > 0; }));
    pool.Shutdown();
    EXPECT_FALSE(ranLate);
    EXPECT_EQ(pool.GetWaitingCount(), 0u);

    std::atomic<bool> ranAgain{false};
    pool.Submit([&](const std::atomic<bool>&) { ranAgain = true; });
    EXPECT_TRUE(WaitReal([&] { return ranAgain.load(); }));
}

TEST_F(CZylBrowseTest, RequestsBeyondTheWorkersWaitAndAreAllAnswered) {
    for (int i = 0; i < 12; ++i) {
        Share(ZylFormat("F{}", i), fmt::format("f{}", i));
        for (int j = 0; j <= i; ++j)
            Touch(fmt::format("f{}/e{}", i, j));
    }
    for (int i = 0; i < 12; ++i)
        RequestFolder(ZylFormat("F{}", i));
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).size() == 12; }));
    host.Tick(200);
    std::set<int32_t> totals;
    for (const auto& pdu : FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY)) {
        const ZYLPAGE page = ZylParsePage(pdu.payload, false);
        EXPECT_EQ(page.count, page.total);
        totals.insert(page.total);
    }
    EXPECT_EQ(totals.size(), 12u); // every folder answered once, with its own entries
    EXPECT_EQ(Shares().GetWaitingListings(), 0u);
}

TEST_F(CZylBrowseTest, PageIsOfferedAgainUntilItCanBeQueued) {
    // A plug-in that has not logged in has no send queue: its worker waits 300 ms between tries.
    CZylTestNode& c = host.AddNode(u"S1.3000");
    CZylShareManager& shares = c.Plugin().GetShareManager();
    ZylPayloadWriter request;
    request.Write(CZylDateTime(1200000000));
    // One listing of no shares (its single empty page), one of a share.
    ASSERT_EQ(shares.OnRequestShareRootInfo(request.Data(), request.Size(), b.Id()), 0);
    shares.AddShare(ZylMakeShare(u"Late", u"late", u"/nowhere", 0));
    ASSERT_EQ(shares.OnRequestShareRootInfo(request.Data(), request.Size(), b.Id()), 0);
    ASSERT_TRUE(WaitReal([&] { return c.Platform().m_nSleeps >= 6; }));
    EXPECT_EQ(c.Platform().m_nSleptMs % 300, 0u);

    // Once there is a queue the same pages go out, and the workers end.
    ASSERT_EQ(host.Login(c), 0);
    host.Connect(b, c);
    ASSERT_TRUE(host.RunUntil([&] { return host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REPLY).size() == 2; }));
    std::set<int32_t> totals;
    for (const auto& pdu : host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REPLY)) {
        EXPECT_EQ(pdu.from, c.Id());
        const ZYLPAGE page = ZylParsePage(pdu.payload, true);
        totals.insert(page.total);
        if (page.total == 1) {
            EXPECT_EQ(page.items[0].name, u"Late");
        }
    }
    EXPECT_EQ(totals, (std::set<int32_t>{0, 1}));
    // Only the page that carried a share is followed by the 30 ms pause.
    ASSERT_TRUE(WaitReal([&] { return c.Platform().m_nSleptMs % 300 == 30; }));
}

TEST_F(CZylBrowseTest, ListingsRunWhileSharesGoAndThePluginLogsOut) {
    for (int i = 0; i < 40; ++i)
        Share(ZylFormat("S{}", i), fmt::format("s{}", i));
    for (int j = 0; j < 200; ++j)
        Touch(fmt::format("s0/e{:03}", j));
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
        RequestFolder(u"S0");
        RequestFileList(static_cast<uint32_t>(round), u"S0", 1);
    }
    host.Tick(20);
    // Shares change on the window's thread while the workers list.
    for (int i = 39; i >= 10; --i)
        EXPECT_EQ(Shares().RemoveShare(ZylFormat("S{}", i)), 0);
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    RequestFolder(u"S0");
    host.Tick(20);
    ASSERT_EQ(host.Logout(a), 0);
    EXPECT_EQ(Shares().GetWaitingListings(), 0u);

    // Nothing leaves A after its logout, and what did leave is whole.
    const size_t sentByA = std::count_if(host.m_vSent.begin(), host.m_vSent.end(),
                                         [&](const ZYLSENTPDU& pdu) { return pdu.from == a.Id(); });
    host.Tick(500);
    EXPECT_EQ(std::count_if(host.m_vSent.begin(), host.m_vSent.end(),
                            [&](const ZYLSENTPDU& pdu) { return pdu.from == a.Id(); }),
              static_cast<std::ptrdiff_t>(sentByA));
    for (const auto& pdu : FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY)) {
        const ZYLPAGE page = ZylParsePage(pdu.payload, true);
        EXPECT_TRUE(page.total == 40 || page.total == 10) << page.total;
    }
    for (const auto& pdu : FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY))
        EXPECT_EQ(ZylParsePage(pdu.payload, false).total, 200);

    // Logged in again, A answers from the database it kept up to date.
    ASSERT_EQ(host.Login(a), 0);
    host.Connect(a, b);
    const size_t before = listings.size();
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(host.RunUntil([&] {
        return listings.size() > before && listings.back().message == WM_ZYL_FRIEND_ROOT &&
               listings.back().items.size() == 10;
    }));
}
