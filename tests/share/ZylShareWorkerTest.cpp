// The listing workers: bounds, dropped peers, pages waiting without a thread, floods, logout (TSan too).
#include "ZylBrowseFixture.h"

#include "share/ZylWorkerPool.h"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

// Waits in real time (worker threads run on their own) for at most ten seconds.
template <typename Condition> bool WaitReal(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

// A's workers sleep in its virtual time, which moves only when every busy one sleeps: enumerating takes none.
class CZylListingTest : public CZylBrowseTest {
protected:
    void SetUp() override { a.Platform().SetBlockingSleep(true); }
    void TearDown() override { a.Platform().SetBlockingSleep(false); }
    CZylWorkerPool& Pool() { return Shares().GetListingPool(); }
    bool Settle() {
        return WaitReal([&] { return Pool().IsQuiet(a.Platform().GetSleepingCount()); });
    }
};

using SUBMITTED = CZylWorkerPool::SUBMITTED;

} // namespace

TEST(ZylWorkerPool, BoundsRefuseWhatWouldWaitBeyondThemAndADroppedPeerOrAShutdownStopsItsListings) {
    CZylWorkerPool pool({.threads = 2, .waitingPerPeer = 3, .waitingTotal = 5, .startedPerPeer = 1});
    std::atomic<bool> ran{false}, sawStop{false};
    const auto mark = [&](const std::atomic<bool>&) { return ran = true, false; };
    const auto spin = [&](const std::atomic<bool>& stop) { // it would go on, but a stopped listing ends
        while (!stop)
            std::this_thread::yield();
        return sawStop = true;
    };
    EXPECT_EQ(pool.Submit(u"S1.1", mark), SUBMITTED::Closed); // before the login
    pool.Open();
    std::promise<void> open; // jobs wait until it is set
    auto blocked = [gate = open.get_future().share()](const std::atomic<bool>&) {
        return gate.wait(), false;
    };
    ASSERT_EQ(pool.Submit(u"S1.1", blocked), SUBMITTED::Queued);
    ASSERT_TRUE(WaitReal([&] { return pool.GetBusyCount() == 1; }));
    // Peer 1 has one listing begun: its next ones wait, though a thread is idle.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(pool.Submit(u"S1.1", blocked), i < 3 ? SUBMITTED::Queued : SUBMITTED::Full);
    EXPECT_EQ(pool.GetWaitingCount(u"S1.1"), 3u);
    // Another peer gets the idle thread; beyond the total bound everyone is refused.
    EXPECT_EQ(pool.Submit(u"S1.2", blocked), SUBMITTED::Queued);
    ASSERT_TRUE(WaitReal([&] { return pool.GetBusyCount() == 2; }));
    EXPECT_EQ(pool.Submit(u"S1.2", blocked), SUBMITTED::Queued);
    EXPECT_EQ(pool.Submit(u"S1.3", blocked), SUBMITTED::Queued);
    EXPECT_EQ(pool.Submit(u"S1.4", blocked), SUBMITTED::Full);
    EXPECT_EQ(pool.GetWaitingCount(), 5u);
    EXPECT_EQ(pool.GetStartedCount(), 2u);
    open.set_value();
    ASSERT_TRUE(WaitReal([&] { return pool.GetStartedCount() == 0 && pool.GetWaitingCount() == 0; }));
    // A running listing of the dropped peer sees its flag; its waiting ones never run.
    pool.Submit(u"S1.1", spin);
    pool.Submit(u"S1.1", mark);
    ASSERT_TRUE(WaitReal([&] { return pool.GetBusyCount() == 1; }));
    pool.DropPeer(u"s1.1");
    EXPECT_EQ(pool.GetWaitingCount(), 0u);
    ASSERT_TRUE(WaitReal([&] { return sawStop && pool.GetStartedCount() == 0; }));
    EXPECT_FALSE(ran);
    // Shutdown stops the running and drops the waiting; nothing, not even a late one, runs until reopened.
    sawStop = false;
    pool.Submit(u"S1.2", spin);
    pool.Submit(u"S1.2", mark);
    ASSERT_TRUE(WaitReal([&] { return pool.GetBusyCount() == 1; }));
    pool.Shutdown();
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(ran);
    EXPECT_EQ(pool.Submit(u"S1.2", mark), SUBMITTED::Closed);
    EXPECT_EQ(pool.GetLiveThreadCount(), 0u);
    pool.Open();
    // A listing that throws ends there, and the worker goes on with the next.
    std::atomic<int> throws{0};
    pool.Submit(u"S1.2", [&](const std::atomic<bool>&) -> bool {
        throw std::runtime_error(std::to_string(++throws));
    });
    pool.Submit(u"S1.2", mark);
    EXPECT_TRUE(WaitReal([&] { return ran && pool.GetStartedCount() == 0 && pool.GetWaitingCount() == 0; }));
    EXPECT_EQ(throws, 1);
}

TEST_F(CZylListingTest, PagesWaitWhileTheHostTakesNothingAndGoOnceItDoes) {
    Share(u"Many", "many");
    for (int i = 0; i < 40 * CZylShareManager::PAGE_ITEMS; ++i)
        Touch(fmt::format("many/f{:03}", i));
    // The host takes nothing for B: pages pile up to the bound, then the listing waits without a thread.
    a.m_fnRefuse = [&](const ZYLSENTPDU& pdu) { return pdu.to == b.Id(); };
    const uint64_t slept = a.Platform().m_nSleptMs;
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Many", CZylDateTime()), 0);
    for (int round = 0; round < 10; ++round) {
        host.Tick(round == 0 ? 10 : 100);
        ASSERT_TRUE(Settle());
        EXPECT_EQ(Pool().GetBusyCount(), 0u);
        EXPECT_EQ(a.Plugin().GetQueuedCount(b.Id(), ZYL_CHANNEL_REQUEST), CZylShareManager::PAGE_BACKLOG);
    }
    EXPECT_EQ(a.Platform().m_nSleptMs, slept);
    // Then the pages go in order; forty full pages end without a page of nothing.
    a.m_fnRefuse = nullptr;
    ASSERT_TRUE(WaitForListings(1));
    const auto pages = PagesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY);
    ASSERT_EQ(pages.size(), 40u);
    for (size_t i = 0; i < pages.size(); ++i)
        EXPECT_EQ(pages[i].begin, static_cast<int32_t>(i) * 16);
    // Nor do the "net busy" answers to that peer's floods pile up without end.
    a.m_fnRefuse = [&](const ZYLSENTPDU& pdu) { return pdu.to == b.Id(); };
    for (size_t batch : {size_t{64}, CZylShareManager::REFUSAL_BACKLOG}) {
        for (size_t i = 0; i < batch; ++i)
            RequestFolder(u"Many");
        host.Tick(10);
        ASSERT_TRUE(Settle());
    }
    EXPECT_EQ(a.Plugin().GetQueuedCount(b.Id(), ZYL_CHANNEL_REQUEST), CZylShareManager::REFUSAL_BACKLOG);
}

TEST_F(CZylListingTest, AFloodingPeerDoesNotHoldUpAnotherPeersBrowseAndALogoutStopsItsListings) {
    CZylTestNode& c = AddC();
    Share(u"Big", "big");
    for (int i = 0; i < 2000; ++i)
        Touch(fmt::format("big/f{:04}.txt", i));
    Share(u"Small", "small");
    Touch("small/one.txt");
    CZylWorkerPool& pool = Pool();
    // B asks for the big folder's file list 100 times and for its listing 20 times.
    for (uint32_t task = 1; task <= 100; ++task)
        RequestFileList(task, u"Big", 1);
    for (int i = 0; i < 20; ++i)
        RequestFolder(u"Big");
    for (int round = 0; round < 2; ++round) { // the second lets the refusals leave
        host.Tick(10);
        ASSERT_TRUE(Settle());
    }
    // What waits is bounded; the rest was answered "net busy" (a file list's with its task id).
    EXPECT_LE(pool.GetWaitingCount(b.Id()), pool.GetLimits().waitingPerPeer);
    EXPECT_EQ(pool.GetStartedCount(), pool.GetLimits().startedPerPeer);
    const auto busy = FromA(ZYL_CMD_ERROR);
    EXPECT_EQ(busy.size(), 120 - pool.GetWaitingCount(b.Id()) - pool.GetStartedCount());
    ASSERT_FALSE(busy.empty());
    for (const auto& pdu : busy)
        EXPECT_EQ(ZylErrorCodeOf(pdu), ZYL_ERROR_NET_BUSY);
    EXPECT_GE(ZylWords(busy[0]).at(1), 1u);
    // C browses meanwhile: its listing comes within a few turns of virtual time.
    RequestFolder(u"Small", &c);
    const uint32_t asked = a.Platform().GetTickCount();
    for (int round = 0; round < 500 && FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).empty(); ++round) {
        ASSERT_TRUE(Settle());
        host.Tick(10);
    }
    ASSERT_EQ(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).size(), 1u) << "C was not answered in 5 s";
    EXPECT_LE(a.Platform().GetTickCount() - asked, 100u);
    EXPECT_EQ(PagesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id())[0].total, 1);
    // Shares go while those listings run; a logout then stops them and nothing leaves A after it.
    a.Platform().SetBlockingSleep(false);
    EXPECT_EQ(Shares().RemoveShare(u"Small"), 0);
    EXPECT_EQ(Shares().RemoveShare(u"Big"), 0);
    host.Tick(20);
    ASSERT_EQ(host.Logout(a), 0);
    EXPECT_EQ(Shares().GetWaitingListings(), 0u);
    const size_t before = host.m_vSent.size();
    host.Tick(500);
    for (size_t i = before; i < host.m_vSent.size(); ++i)
        EXPECT_NE(host.m_vSent[i].from, a.Id());
}
