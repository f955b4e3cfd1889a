// The user registry: one record per user whatever the letter case, the channels it asks the host
// to open and close, the names it takes from the host, and the window it tells about shown users.
#include "core/ZylUserList.h"
#include "core/ZylHost.h"
#include "core/ZylPlatform.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

class ZylUserListTest : public ::testing::Test {
protected:
    ZylUserListTest() {
        m_host.SetCallback([this](int32_t code, intptr_t a1, intptr_t a2, intptr_t, intptr_t, intptr_t) {
            if (code == ZYL_HOST_GET_NAME) {
                const auto it = m_mNames.find(ZylUserText(a1));
                ZylCopyToBuffer(reinterpret_cast<char16_t*>(a2), 129,
                                it == m_mNames.end() ? std::u16string() : it->second);
                ++m_nNameCalls;
                return m_nNameResult;
            }
            m_vCalls.emplace_back(code, code == ZYL_HOST_PREPARE ? u"3" : ZylUserText(a1),
                                  static_cast<int32_t>(a2));
            return 1;
        });
    }

    struct ZYLCALL {
        int32_t code;
        std::u16string user;
        int32_t channel;
        bool operator==(const ZYLCALL&) const = default;
    };

    CZylHost m_host;
    ZylUserList m_users{m_host};
    std::vector<ZYLCALL> m_vCalls; // every call but 516
    std::map<std::u16string, std::u16string> m_mNames;
    int32_t m_nNameResult = 0;
    int m_nNameCalls = 0;
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

TEST_F(ZylUserListTest, ConnectAsksForBothChannelsUnlessBothAreOpenAndConnectAllForEveryone) {
    m_users.OnUserZylConnected(u"S12.1000", 1024, 1);
    m_users.Connect(u"s12.1000");
    EXPECT_EQ(m_vCalls,
              (std::vector<ZYLCALL>{{520, u"3", 0}, {512, u"S12.1000", 1024}, {512, u"S12.1000", 1025}}));
    m_vCalls.clear();
    m_users.OnUserZylConnected(u"S12.1000", 1025, 1);
    m_users.Connect(u"S12.1000");
    m_users.Connect(u"S99.1000"); // unknown
    EXPECT_TRUE(m_vCalls.empty());

    // Whatever the state of each.
    m_users.Add(ZylUserList::MakeRecord(u"S13.1000", 1));
    m_users.ConnectAll();
    EXPECT_EQ(m_vCalls, (std::vector<ZYLCALL>{{520, u"3", 0},
                                              {512, u"S12.1000", 1024},
                                              {512, u"S12.1000", 1025},
                                              {520, u"3", 0},
                                              {512, u"S13.1000", 1024},
                                              {512, u"S13.1000", 1025}}));
    // Disconnecting asks to close only the open channels.
    m_vCalls.clear();
    m_users.OnUserZylConnected(u"S13.1000", 1025, 1);
    m_users.DisconnectAll();
    EXPECT_EQ(m_vCalls, (std::vector<ZYLCALL>{
                            {513, u"S12.1000", 1024}, {513, u"S12.1000", 1025}, {513, u"S13.1000", 1025}}));
}

TEST_F(ZylUserListTest, OnlyAPickedUserIsShownAndOnlyWhileTheWindowIsVisible) {
    m_users.SetWindow(&m_window);
    PZYLUSER picked = nullptr;
    ASSERT_EQ(m_users.Add(ZylUserList::MakeRecord(u"S12.1000", 0), &picked), 0);

    m_users.OnUserZylConnected(u"s12.1000", 1024, 1);
    m_users.OnUserZylConnected(u"S12.1000", 1025, 1);
    ASSERT_EQ(m_window.m_vMessages.size(), 2u);
    for (const auto& message : m_window.m_vMessages) {
        EXPECT_EQ(message.message, 1126u);
        EXPECT_EQ(message.first, reinterpret_cast<intptr_t>(picked));
        EXPECT_EQ(message.second, 0);
        EXPECT_FALSE(message.posted);
    }

    // A user known only from channel events is not shown; hidden, or gone, the window is not told.
    m_users.OnUserZylConnected(u"S13.1000", 1024, 1);
    m_window.m_bVisible = false;
    m_users.OnUserZylConnected(u"S12.1000", 1024, 0);
    m_window.m_bVisible = true;
    m_window.m_bWindow = false;
    m_users.OnUserZylConnected(u"S12.1000", 1024, 1);
    EXPECT_EQ(m_window.m_vMessages.size(), 2u);
    EXPECT_EQ(m_users.IsConnected(u"S12.1000", 1024), 1); // the state changed all the same
    m_users.SetWindow(nullptr);
    m_window.m_bWindow = true;
    m_users.OnUserZylConnected(u"S12.1000", 1024, 0);
    EXPECT_EQ(m_window.m_vMessages.size(), 2u);
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

TEST_F(ZylUserListTest, GetAtRefreshesTheNameFromTheHostAndFallsBackToTheId) {
    m_users.Add(ZylUserList::MakeRecord(u"S12.1000", 1));
    m_users.Add(ZylUserList::MakeRecord(u"S13.1000", 1));
    m_users.Add(ZylUserList::MakeRecord(u"S14.1000", 1));
    m_mNames[u"S12.1000"] = u"\u5F20\u4E09"; // a Chinese name
    m_mNames[u"S13.1000"] = std::u16string(200, u'n');

    ASSERT_NE(m_users.GetAt(0), nullptr);
    EXPECT_EQ(m_users.GetAt(0)->name, u"\u5F20\u4E09");
    EXPECT_EQ(m_users.GetAt(1)->name, std::u16string(128, u'n')); // the host's buffer holds 128
    EXPECT_EQ(m_users.GetAt(2)->name, u"S14.1000");

    m_mNames[u"S12.1000"] = u"";
    m_nNameResult = -1; // whatever the host answers
    EXPECT_EQ(m_users.GetAt(0)->name, u"S12.1000");
    const int calls = m_nNameCalls;
    EXPECT_EQ(m_users.GetAt(3), nullptr);
    EXPECT_EQ(m_users.GetAt(-1), nullptr);
    EXPECT_EQ(m_nNameCalls, calls);
}
