// The user registry: one record per user whatever the letter case, and channel events that only
// record (what the window shows and the channels a connect asks for are the window and transfer tests' part).
#include "core/ZylUserList.h"
#include "core/ZylHost.h"
#include "core/ZylPlatform.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
} // namespace

TEST_F(ZylUserListTest, ChannelEventsForOneUserInAnyCaseUpdateOneRecordAndOthersMakeNone) {
    m_users.SetWindow(&m_window);
    ASSERT_NE(m_users.OnUserZylConnected(u"S12.1000", 1024, 1), nullptr);
    ASSERT_NE(m_users.OnUserZylConnected(u"s12.1000", 1025, 1), nullptr);
    PZYLUSER user = nullptr;
    ASSERT_EQ(m_users.Find(u"S12.1000", &user), 0);
    EXPECT_EQ(std::make_tuple(user->id, user->name, user->nConnected1024, user->nConnected1025, user->bHidden,
                              user->nTaskCount),
              std::make_tuple(u"S12.1000", u"", 1, 1, 1, 0)); // the first spelling stays
    EXPECT_EQ(m_users.IsConnected(u"s12.1000", 0), 1);
    EXPECT_EQ(m_users.IsChannelBusy(u"S12.1000", 1025), 0);
    // Another channel, or an id no record can hold, makes no record and tells no one.
    const auto none = [&](std::u16string_view id, int32_t channel) {
        return m_users.OnUserZylConnected(id, channel, 1) == nullptr;
    };
    EXPECT_TRUE(none(u"S12.1000", 1026) && none(u"S12.1000", 0) && none(u"S13.1000", 1026));
    EXPECT_TRUE(none(u"S4294967295.214748364", 1024) && none(u"", 1024));
    EXPECT_EQ(m_users.GetCount(), 1);
    EXPECT_TRUE(m_window.m_vMessages.empty());
    // The longest id that fits is a user like any other, and a longer one does not reach it.
    ASSERT_NE(m_users.OnUserZylConnected(u"S4294967295.21474836", 1024, 1), nullptr);
    EXPECT_EQ(m_users.IsConnected(u"S4294967295.21474836", 1024), 1);
    EXPECT_EQ(m_users.IsConnected(u"S4294967295.214748364", 1024), 0);
    m_users.OnUserZylConnected(u"S12.1000", 1024, 0);
    EXPECT_EQ(std::make_tuple(m_users.IsConnected(u"S12.1000", 1024), m_users.IsConnected(u"S12.1000", 1025),
                              m_users.IsConnected(u"S12.1000", 0), m_users.IsConnected(u"S12.1000", 1026)),
              std::make_tuple(0, 1, 0, 0));
    EXPECT_TRUE(m_vCalls.empty()); // events only record; they ask the host for nothing
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
    EXPECT_EQ(m_users.Find(u"S12.1000"), 0); // keeps its place, its id and the rest of the record
    EXPECT_EQ(std::make_tuple(existing->id, existing->name, existing->bHidden),
              std::make_tuple(u"S12.1000", u"Alicia", 0));
    // A name that differs only in case is no change.
    auto shouted = ZylUserList::MakeRecord(u"S12.1000", 0);
    shouted->name = u"ALICIA";
    EXPECT_EQ(m_users.Add(std::move(shouted), &result), 1);
    EXPECT_EQ(existing->name, u"Alicia");
}
