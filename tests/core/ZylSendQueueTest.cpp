// The send queue and its drain on the 10 ms timer: the order in which PDUs reach the host, what a
// refusal holds back, and when there is no queue at all.
#include "ZylScriptedHost.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <numeric>
#include <utility>

namespace {

// A PDU as "user channel command tag", the tag being its first payload byte.
using Offers = std::vector<std::string>;

Offers OffersOf(const std::vector<ZYLHOSTCALL>& calls) {
    Offers out;
    for (const auto& call : calls)
        out.push_back(fmt::format("{} {} {} {}", ZylToUtf8(call.user), call.a2, call.a3,
                                  call.payload.empty() ? 0 : call.payload[0]));
    return out;
}

// A logged-in plug-in with S2.1000 and S3.1000 in its registry (in that order), both connected,
// and the unfinished tasks queries of the connection already gone.
class ZylSendQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_host.Login(), 0);
        m_host.Connect(u"S2.1000");
        m_host.Connect(u"S3.1000");
        m_host.Tick();
        ASSERT_EQ(m_host.Taken().size(), 2u); // one 4112 to each
        m_host.m_vCalls.clear();
    }
    int32_t Send(std::u16string_view user, int32_t channel, uint32_t command, uint8_t tag) {
        const uint8_t payload[3] = {tag, 0xEE, tag};
        return m_host.Plugin().SendData(command, payload, sizeof payload, user, channel);
    }
    Offers Offered() const { return OffersOf(m_host.Offered()); }
    Offers Taken() const { return OffersOf(m_host.Taken()); }
    CZylScriptedHost m_host;
};

} // namespace

TEST_F(ZylSendQueueTest, WithinATickRequestChannelBeforeDataChannelThenTheNextUserInRegistryOrder) {
    // Queued in the opposite order of the one they must leave in; nothing leaves before the tick.
    for (auto [tag, channel] : {std::pair{6, 1025}, {5, 1024}, {3, 1025}, {4, 1025}, {1, 1024}, {2, 1024}})
        Send(tag < 5 ? u"S2.1000" : u"S3.1000", channel, channel == 1024 ? 4099 : 4101,
             static_cast<uint8_t>(tag));
    EXPECT_TRUE(Offered().empty());
    m_host.Tick();
    EXPECT_EQ(Taken(), (Offers{"S2.1000 1024 4099 1", "S2.1000 1024 4099 2", "S2.1000 1025 4101 3",
                               "S2.1000 1025 4101 4", "S3.1000 1024 4099 5", "S3.1000 1025 4101 6"}));
    EXPECT_EQ(m_host.Taken()[5].payload, (std::vector<uint8_t>{6, 0xEE, 6}));
}

TEST_F(ZylSendQueueTest, ARefusedPduHoldsBackTheOnesBehindItOnItsChannelOnlyAndIsOfferedAgainNextTick) {
    Send(u"S2.1000", 1024, 4098, 1);
    Send(u"s2.1000", 1024, 4098, 2); // ids differing only in case share one line
    Send(u"S2.1000", 1024, 4098, 3);
    Send(u"S2.1000", 1025, 4101, 4);
    const auto count = [&](int32_t channel) { return m_host.Plugin().GetQueuedCount(u"s2.1000", channel); };
    EXPECT_EQ(std::make_tuple(count(1024), count(1025), count(1026)), std::make_tuple(3u, 1u, 0u));
    bool refuse = true;
    int refusals = 0;
    // A refusal is any answer of 0 or less; anything above 0 takes the PDU.
    m_host.m_fnSendAnswer = [&](const ZYLHOSTCALL& call) {
        return refuse && call.payload[0] == 2 ? (refusals++ % 2 ? -5 : 0) : 7;
    };
    m_host.Tick();
    EXPECT_EQ(Offered(), (Offers{"S2.1000 1024 4098 1", "S2.1000 1024 4098 2", "S2.1000 1025 4101 4"}));
    // Still refused: offered once per tick, the third never overtakes it; then nothing is sent twice.
    m_host.Tick(30);
    EXPECT_EQ(Offered().size(), 6u);
    refuse = false;
    m_host.Tick(60);
    EXPECT_EQ(Taken(), (Offers{"S2.1000 1024 4098 1", "S2.1000 1025 4101 4", "S2.1000 1024 4098 2",
                               "S2.1000 1024 4098 3"}));
    EXPECT_EQ(std::make_tuple(count(1024), count(1025)), std::make_tuple(0u, 0u));
}

TEST_F(ZylSendQueueTest, APduForAUserNotInTheRegistryStaysQueuedUntilTheUserIsKnown) {
    Send(u"S9.1000", 1024, 4096, 9);
    Send(u"S2.1000", 1024, 4096, 2);
    m_host.Tick(50);
    EXPECT_EQ(Taken(), Offers{"S2.1000 1024 4096 2"});
    // A channel event makes the record; the waiting PDU then leaves.
    m_host.Channel(DLL_P2P_ON_CONNECT, u"S9.1000", 1024);
    m_host.m_vCalls.clear();
    m_host.Tick();
    EXPECT_EQ(Taken(), Offers{"S9.1000 1024 4096 9"});
}

TEST_F(ZylSendQueueTest, WhatSendingRefusesAndThatNothingLeavesAfterLogout) {
    // 64 KiB is queued, one byte more is refused, and no payload leaves as none.
    std::vector<uint8_t> big(65537);
    std::iota(big.begin(), big.end(), uint8_t{7});
    EXPECT_EQ(m_host.Plugin().SendData(4101, big.data(), 65537, u"S2.1000", 1025), -2);
    ASSERT_EQ(m_host.Plugin().SendData(4101, big.data(), 65536, u"S2.1000", 1025), 0);
    ASSERT_EQ(m_host.Plugin().SendData(4114, nullptr, 0, u"S2.1000", 1024), 0);
    // A channel other than the two, and ids no record can hold: cut to fit,
    // "S4294967295.214748364" and "S4294967295.214748365" would share one line.
    for (auto [user, channel] :
         {std::pair{u"S2.1000", 1026}, {u"S2.1000", 0}, {u"S4294967295.214748364", 1024}, {u"", 1024}})
        EXPECT_EQ(Send(user, channel, 4096, 1), -1) << channel;
    EXPECT_EQ(Send(u"S4294967295.21474836", 1024, 4096, 1), 0);
    m_host.Tick();
    const auto taken = m_host.Taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_TRUE(taken[0].payload.empty());
    EXPECT_EQ(taken[1].payload, std::vector<uint8_t>(big.begin(), big.begin() + 65536));
    Send(u"S2.1000", 1024, 4096, 1);
    Send(u"S3.1000", 1025, 4101, 2);
    m_host.m_vCalls.clear();
    ASSERT_EQ(m_host.Logout(), 0);
    m_host.Tick(1000);
    EXPECT_TRUE(Offered().empty());
    // Without a queue the length is still tested first.
    EXPECT_EQ(m_host.Plugin().SendData(4101, big.data(), 65537, u"S2.1000", 1025), -2);
    EXPECT_EQ(m_host.Plugin().SendData(4101, big.data(), 65536, u"S2.1000", 1025), -1);
    // A new login starts with an empty queue: what was dropped stays dropped.
    ASSERT_EQ(m_host.Login(), 0);
    m_host.Tick(100);
    EXPECT_TRUE(Offered().empty());
}

TEST_F(ZylSendQueueTest, AHostThatLogsOutInsideASendOrANameQueryIsSurvived) {
    // The host logs out once inside the first service call of this code; inside a name query it
    // logs in again at once (which rebuilds the registry).
    int32_t during = ZYL_HOST_SEND;
    m_host.m_fnDuringCall = [&](const ZYLHOSTCALL& call) {
        if (call.code != during)
            return;
        during = 0;
        m_host.Logout();
        if (call.code == ZYL_HOST_GET_NAME)
            m_host.Login();
    };
    // Inside the send of the first PDU: nothing more is offered and the queue goes with the drain.
    for (uint8_t tag = 1; tag <= 3; ++tag)
        Send(u"S2.1000", 1024, 4096, tag);
    Send(u"S3.1000", 1025, 4101, 4);
    m_host.Tick();
    EXPECT_FALSE(m_host.Plugin().IsInitialized());
    EXPECT_EQ(Offered().size(), 1u);
    EXPECT_EQ(Send(u"S2.1000", 1024, 4096, 5), -1);
    // Inside the name query of the drain.
    ASSERT_EQ(m_host.Login(), 0);
    m_host.Connect(u"S2.1000");
    Send(u"S2.1000", 1024, 4096, 6);
    m_host.m_vCalls.clear();
    during = ZYL_HOST_GET_NAME;
    m_host.Tick();
    EXPECT_EQ(during, 0);
    EXPECT_TRUE(m_host.Plugin().IsInitialized());
    EXPECT_TRUE(Offered().empty()); // the old queue's PDUs went with it
    // The new session sends as any other.
    m_host.Connect(u"S2.1000");
    Send(u"S2.1000", 1024, 4096, 7);
    m_host.Tick();
    EXPECT_EQ(Taken(), (Offers{"S2.1000 1024 4112 64", "S2.1000 1024 4096 7"})); // the query comes first
}
