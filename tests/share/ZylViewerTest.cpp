// The browse client on its own: which replies a viewer takes, where a listing is cut, failed requests.
#include "ZylBrowseFixture.h"

namespace {

// A page as a friend's plug-in builds it; root pages carry rights and two times.
std::vector<uint8_t> Page(bool root, int32_t total, int32_t begin, int32_t count, int32_t items = -1) {
    ZylPayloadWriter writer;
    writer.WriteInt32(0).WriteInt32(total).WriteInt32(begin).WriteInt32(count);
    for (int32_t i = 0; i < (items < 0 ? count : items); ++i) {
        writer.WriteInt32(i % 2).WriteString(ZylFormat("item{}", begin + i)).WriteString(u"Type");
        if (root)
            writer.WriteInt16(5).Write(CZylDateTime(1200000000)).Write(CZylDateTime(1100000000));
        writer.WriteInt32(100 + begin + i);
        if (!root)
            writer.Write(CZylDateTime(1100000000));
    }
    return writer.Bytes();
}

class CZylViewerTest : public ::testing::Test {
protected:
    CZylViewerTest() : plugin(platform), viewers(plugin.GetViewerManager()) {
        viewer = viewers.AddViewer(u"S1.1000");
        viewer->SetNotifyWindow(&window);
    }
    // A reply as the dispatcher hands it on.
    void Deliver(uint32_t command, const std::vector<uint8_t>& payload, const char16_t* from = u"S1.1000") {
        plugin.OnDataIndication(command, payload.data(), static_cast<int32_t>(payload.size()), from,
                                ZYL_CHANNEL_REQUEST);
    }
    CZylFakeWindow window;
    CZylFakePlatform platform;
    CZylInterface plugin;
    CZylViewerManager& viewers;
    CZylViewer* viewer = nullptr;
};

} // namespace

TEST_F(CZylViewerTest, OneViewerPerUserWhateverTheCaseAndRequestsFailWithoutAQueue) {
    EXPECT_EQ(viewers.AddViewer(u"s1.1000"), viewer);
    EXPECT_EQ(viewers.RequestShareRootInfo(u"S1.2000"), -1); // nobody's viewer
    EXPECT_EQ(viewers.RequestExplorerFolder(u"S1.2000", u"Docs", CZylDateTime()), -1);
    // Not logged in: the requests fail, the pending mark stays, the folder is taken all the same.
    viewers.SetRootPending(u"S1.1000", 1);
    EXPECT_EQ(viewer->RequestShareRootInfo(), -1);
    EXPECT_EQ(viewers.IsRootPending(u"s1.1000"), 1);
    EXPECT_EQ(viewer->RequestExplorerFolder(u"Docs\\x", CZylDateTime()), -1);
    EXPECT_EQ(viewer->GetCurrentFolder(), u"Docs\\x");
    // Removed once whatever the case; a second removal finds nobody.
    EXPECT_EQ(viewers.RemoveViewer(u"s1.1000"), 0);
    EXPECT_EQ(viewers.RemoveViewer(u"S1.1000"), -1);
}

TEST_F(CZylViewerTest, RepliesItMustNotTake) {
    // Pages nobody asked for, however many, change nothing.
    for (int32_t begin = 0; begin < 16 * 1000; begin += 16) {
        Deliver(ZYL_CMD_SHARE_ROOT_INFO_REPLY, Page(true, 0x7FFFFFFF, begin, 16));
        Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, 0x7FFFFFFF, begin, 16));
    }
    EXPECT_EQ(viewer->GetItemCount(), 0);
    // Asked for, but without a window (the root counts as answered), or from another user.
    viewer->SetRootPending(1);
    viewer->RequestShareRootInfo();
    viewer->RequestExplorerFolder(u"Docs", CZylDateTime());
    viewer->SetNotifyWindow(nullptr);
    Deliver(ZYL_CMD_SHARE_ROOT_INFO_REPLY, Page(true, 1, 0, 1));
    EXPECT_EQ(viewer->IsRootPending(), 0);
    viewer->SetNotifyWindow(&window);
    const auto page = Page(true, 2, 0, 1);
    viewer->OnResponse(ZYL_CMD_SHARE_ROOT_INFO_REPLY, page.data(), static_cast<int32_t>(page.size()),
                       u"S1.2000");
    Deliver(ZYL_CMD_SHARE_ROOT_INFO_REPLY, page, u"S1.2000");
    EXPECT_EQ(viewer->GetItemCount(), 0);
    // A damaged page (fewer items than it claims) changes nothing.
    Deliver(ZYL_CMD_SHARE_ROOT_INFO_REPLY, page);
    ASSERT_EQ(viewer->GetItemCount(), 1);
    Deliver(ZYL_CMD_SHARE_ROOT_INFO_REPLY, Page(true, 5, 1, 4, 2));
    EXPECT_EQ(viewer->GetItemCount(), 1);
    Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, {0, 0, 0});
    EXPECT_EQ(viewer->GetItemCount(), 1);
    EXPECT_EQ(window.m_vMessages.size(), 0u);
}

TEST_F(CZylViewerTest, AListingIsCutAtItsLimitAndACompletedOneTakesNoMorePages) {
    const int32_t huge = 0x7FFFFFFF;
    viewer->RequestExplorerFolder(u"Docs", CZylDateTime());
    int32_t begin = 0;
    for (; begin < CZylViewer::ITEM_LIMIT; begin += 16)
        Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, huge, begin, 16));
    EXPECT_EQ(viewer->GetItemCount(), CZylViewer::ITEM_LIMIT);
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_FOLDER), 1u);
    // The asker's listing is done: what follows is nobody's.
    for (int i = 0; i < 100; ++i, begin += 16)
        Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, huge, begin, 16));
    EXPECT_EQ(viewer->GetItemCount(), CZylViewer::ITEM_LIMIT);
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_FOLDER), 1u);
    // A page that changes the total restarts the list rather than growing it.
    viewer->ClearItems();
    viewer->RequestExplorerFolder(u"Docs", CZylDateTime());
    Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, 20, 0, 16));
    Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, 36, 16, 16));
    EXPECT_EQ(viewer->GetItemCount(), 16);
    EXPECT_EQ(viewer->GetItem(0)->GetShareName(), u"item16");
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_FOLDER), 1u);
    // So does one out of order; the list then completes once.
    for (int32_t first : {0, 16, 32})
        Deliver(ZYL_CMD_EXPLORER_FOLDER_REPLY, Page(false, 36, first, first == 32 ? 4 : 16));
    EXPECT_EQ(viewer->GetItemCount(), 36);
    EXPECT_EQ(viewer->GetItem(0)->GetShareName(), u"item0");
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_FOLDER), 2u);
}
