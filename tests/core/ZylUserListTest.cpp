// The user registry: one record per user whatever the letter case, and channel events that only
// record (what the window shows and the channels a connect asks for are the window and transfer tests' part).
#include "core/ZylUserList.h"
#include "core/ZylHost.h"
#include "core/ZylPlatform.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

class ZylUserListTest : public ::testing::Test {
protected:
    ZylUserListTest() {
        m_host.SetCallback([this](int32_t code, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
            m_vCalls.push_back(code);
            return 1;
        });
    }

    CZylHost m_host;
    ZylUserList m_users{m_host};
    std::vector<int32_t> m_vCalls; // what the registry asked the host for
    CZylFakeWindow m_window;
};

ZYLUSER* Record(ZylUserList& users, std::u16string_view id) {
    PZYLUSER user = nullptr;
    users.Find(id, &user);
    return user;
}

} // namespace

TEST_F(ZylUserListTest, ChannelEventsForOneUserInAnyCaseUpdateOneRecord) {
    ASSERT_NE(m_users.OnUserZylConnected(u"S12.1000", 1024, 1), nullptr);
    ASSERT_NE(m_users.OnUserZylConnected(u"s12.1000", 1025, 1), nullptr);
    EXPECT_EQ(m_users.GetCount(), 1);
    const PZYLUSER user = Record(m_users, u"S12.1000");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->id, u"S12.1000"); // the first spelling stays
    EXPECT_EQ(std::make_tuple(user->nConnected1024, user->nConnected1025, user->bHidden, user->nTaskCount),
              std::make_tuple(1, 1, 1, 0));
    EXPECT_TRUE(user->name.empty());
    EXPECT_EQ(m_users.IsConnected(u"s12.1000", 0), 1);
    EXPECT_EQ(m_users.Find(u"S12.1000"), 0);
    EXPECT_EQ(m_users.Find(u"S13.1000"), -1);
    EXPECT_EQ(m_users.IsChannelBusy(u"S12.1000", 1025), 0);

    m_users.OnUserZylConnected(u"S12.1000", 1024, 0);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 1024), 0);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 1025), 1);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 0), 0);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 1026), 0);
    EXPECT_TRUE(m_vCalls.empty()); // events only record; they ask the host for nothing
}

TEST_F(ZylUserListTest, EventsForAnotherChannelOrAnIdNoRecordCanHoldMakeNoRecordAndTellNoOne) {
    m_users.SetWindow(&m_window);
    m_users.Add(ZylUserList::MakeRecord(u"S12.1000", 0));
    for (auto [id, channel] : {std::pair<std::u16string_view, int32_t>{u"S12.1000", 1026},
                               {u"S12.1000", 0},
                               {u"S13.1000", 1026},
                               {u"S4294967295.214748364", 1024},
                               {u"", 1024}})
        EXPECT_EQ(m_users.OnUserZylConnected(id, channel, 1), nullptr);
    EXPECT_EQ(m_users.GetCount(), 1);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 0), 0);
    EXPECT_TRUE(m_window.m_vMessages.empty());
    EXPECT_TRUE(m_vCalls.empty());
    // The longest id that fits is a user like any other, and a longer one does not reach it.
    ASSERT_NE(m_users.OnUserZylConnected(u"S4294967295.21474836", 1024, 1), nullptr);
    EXPECT_EQ(m_users.IsConnected(u"S4294967295.21474836", 1024), 1);
    EXPECT_EQ(m_users.IsConnected(u"S4294967295.214748364", 1024), 0);
    EXPECT_EQ(m_users.IsConnected(u"S99.1000", 1024), 0);
    EXPECT_EQ(m_users.IsChannelBusy(u"S99.1000", 1025), 0);
}

TEST_F(ZylUserListTest, AddingAKnownIdInOtherCaseKeepsTheRecordAndTakesTheNewName) {
    auto first = ZylUserList::MakeRecord(u"S12.1000", 0);
    first->name = u"Alice";
    PZYLUSER existing = nullptr;
    ASSERT_EQ(m_users.Add(std::move(first), &existing), 0);
    m_users.Add(ZylUserList::MakeRecord(u"S13.1000", 1));

    auto again = ZylUserList::MakeRecord(u"s12.1000", 1);
    again->name = u"Alicia";
    PZYLUSER result = nullptr;
    EXPECT_EQ(m_users.Add(std::move(again), &result), 1);
    EXPECT_EQ(result, existing);
    EXPECT_EQ(m_users.GetCount(), 2);
    EXPECT_EQ(m_users.Find(u"S12.1000"), 0); // keeps its place
    EXPECT_EQ(existing->id, u"S12.1000");
    EXPECT_EQ(existing->name, u"Alicia");
    EXPECT_EQ(existing->bHidden, 0); // the rest of the record stays

    // A name that differs only in case is no change.
    auto shouted = ZylUserList::MakeRecord(u"S12.1000", 0);
    shouted->name = u"ALICIA";
    EXPECT_EQ(m_users.Add(std::move(shouted), &result), 1);
    EXPECT_EQ(existing->name, u"Alicia");
}
