// The frame as a person meets it: opening it from the host, browsing a friend folder by folder,
// the address bar, which commands are on offer, the info pane, the tray and going away.
#include "ZylUiFixture.h"

#include "ui/ZylUiImages.h"

#include "core/ZylProtocol.h"

#include <QDockWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTreeView>
#include <QTreeWidget>

TEST_F(CZylUiTest, OpeningTheWindowBrowsingAFriendWhatHisSharesOfferAndDisconnecting) {
    ZylMakeDocs(Data("b") / "Docs");
    ZylWriteFileBytes(Data("b") / "notes.txt", "n");
    for (const char* name : {"look", "put", "secret"})
        std::filesystem::create_directories(Data("b") / name);
    Share(*m_pB, u"Docs", Data("b") / "Docs", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    Share(*m_pB, u"Look", Data("b") / "look", ZYL_PRIV_BROWSE);
    Share(*m_pB, u"Notes", Data("b") / "notes.txt", ZYL_PRIV_BROWSE);
    Share(*m_pB, u"Put", Data("b") / "put", ZYL_PRIV_BROWSE | ZYL_PRIV_UPLOAD);
    Share(*m_pB, u"Secret", Data("b") / "secret", 0);
    {
        // A frame the host has not yet given its managers offers nothing but its options and closing.
        const CZylFrameWindow bare(m_pA->Plugin(), std::make_shared<CZylScriptedAsk>());
        EXPECT_TRUE(bare.Frame()->IsCommandEnabled(ZYL_ID_OPTIONS) &&
                    bare.Frame()->IsCommandEnabled(ZYL_ID_CLOSE));
        EXPECT_FALSE(bare.Frame()->IsCommandEnabled(ZYL_ID_REFRESH));
    }

    ASSERT_EQ(Open(*m_pA, 1), 0);
    CZylMainFrame* frame = Frame(*m_pA);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->windowTitle(), QStringLiteral("文件共享-S1.1000"));
    EXPECT_EQ(frame->minimumSize(), QSize(300, 200));
    EXPECT_EQ(frame->GetBar(ZYL_ID_USER_BAR)->windowTitle(), QStringLiteral("user view"));
    EXPECT_EQ(frame->dockWidgetArea(frame->GetBar(ZYL_ID_TASK_BAR)), Qt::BottomDockWidgetArea);
    EXPECT_EQ(frame->dockWidgetArea(frame->GetBar(ZYL_ID_INFO_BAR)), Qt::RightDockWidgetArea);
    CZylUserView* tree = frame->GetUserView();
    CZylShareView* list = frame->GetShareView();
    EXPECT_EQ(tree->GetSelected(), tree->GetLocalRoot());
    // The bars come and go with their commands.
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_VIEW_INFO));
    EXPECT_FALSE(frame->GetBar(ZYL_ID_INFO_BAR)->isVisible());
    frame->UpdateCommands();
    EXPECT_FALSE(frame->GetAction(ZYL_ID_VIEW_INFO)->isChecked());
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_VIEW_INFO));
    // Info lines follow the safety notice with their level's prefix and colour.
    CZylInfoView* info = frame->GetInfoView();
    m_pA->Plugin().WriteLog(0, u"boom");
    m_pA->Plugin().WriteLog(3, u"fine");
    Settle();
    const QString text = info->toPlainText();
    EXPECT_TRUE(text.startsWith(ZylString(4303).left(10)));
    EXPECT_TRUE(text.contains(QStringLiteral("严重错误：2008-01-10 21:20:00\t0\tboom\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("信息：2008-01-10 21:20:00\t3\tfine\n")));
    auto colourOf = [&](const QString& needle) {
        for (QTextBlock block = info->document()->begin(); block.isValid(); block = block.next())
            if (block.text().contains(needle))
                return block.begin().fragment().charFormat().foreground().color();
        return QColor();
    };
    EXPECT_EQ(colourOf(ZylString(4303).left(10)), QColor(0, 0, 128));
    EXPECT_EQ(colourOf("boom"), QColor(255, 0, 0));
    EXPECT_EQ(colourOf("fine"), QColor(0, 128, 0));

    // Mode 5 names a friend without asking for his channels; mode 2 for a friend whose channels are closed:
    // he is browsed once they are up; a shared file gets no tree item, a share he may not browse no row.
    ASSERT_EQ(Open(*m_pA, 5, m_pB), 0);
    EXPECT_TRUE(m_pA->m_vChannelRequests.empty());
    ASSERT_EQ(Open(*m_pA, 2, m_pB), 0);
    EXPECT_EQ(Frame(*m_pA), frame) << "one frame, reused";
    CZylTreeItem* bob = tree->FindFriend(u"s2.1000");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->text(0), QStringLiteral("Bob"));
    EXPECT_EQ(tree->FindFriend(u"S9.1000"), nullptr);
    ASSERT_TRUE(WaitFor([&] { return bob->childCount() >= 3; }));
    Settle();
    EXPECT_EQ(bob->childCount(), 3);
    EXPECT_EQ(Names(list), (QStringList{"Docs", "Look", "Notes", "Put"}));
    EXPECT_EQ(list->GetRow(2).sizeText, QStringLiteral("1KB"));
    EXPECT_EQ(m_host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST).size(), 1u);
    // With the channels open, the next request goes out at once, and is written to the info pane.
    ASSERT_EQ(Open(*m_pA, 2, m_pB), 0);
    m_host.Tick(10);
    EXPECT_EQ(m_host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST).size(), 2u);
    EXPECT_TRUE(info->toPlainText().contains(QStringLiteral("发送浏览共享信息请求到：S2.1000")));

    // Down two folders and back, by double clicks (the first as the mouse gives it).
    ASSERT_TRUE(
        WaitFor([&] { return !m_pA->Plugin().GetViewerManager().FindViewer(u"S2.1000")->IsWaiting(); }));
    tree->Select(Child(bob, "Docs"));
    ASSERT_TRUE(WaitFor([&] { return Names(list) == QStringList({"..", "2005", "readme.txt"}); }));
    EXPECT_EQ(list->GetRow(1).sizeText, QString()) << "a folder has no size";
    EXPECT_EQ(list->GetRow(2).sizeText, QStringLiteral("2KB"));
    EXPECT_EQ(frame->GetAddressBar()->GetText(), QStringLiteral("Docs"));
    QTreeView* details = list->GetDetailsView();
    const QRect cell = details->visualRect(list->GetModel()->index(1, 0));
    QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_TRUE(WaitFor([&] { return Names(list) == QStringList({"..", "inner", "a.txt"}); }));
    EXPECT_EQ(list->GetRow(2).sizeText, QStringLiteral("1KB")) << "2047 bytes";
    list->OnDoubleClick(Row(list, "inner"));
    ASSERT_TRUE(WaitFor([&] { return Names(list) == QStringList({"..", "b.txt"}); }));
    EXPECT_EQ(list->GetRow(1).sizeText, QStringLiteral("1KB")) << "1 byte";
    const auto draggable = [&](int row) {
        return (list->GetModel()->flags(list->GetModel()->index(row, 0)) & Qt::ItemIsDragEnabled) != 0;
    };
    EXPECT_FALSE(draggable(0)) << "\"..\" is no item to fetch";
    EXPECT_TRUE(draggable(1));
    EXPECT_EQ(tree->GetSelected()->text(0), QStringLiteral("inner"));
    list->OnDoubleClick(Row(list, ".."));
    ASSERT_TRUE(WaitFor([&] { return Names(list) == QStringList({"..", "inner", "a.txt"}); }));
    EXPECT_EQ(frame->GetAddressBar()->GetText(), QStringLiteral("Docs\\2005"));

    // The address tree: both roots, the friends under the first; a pick selects in the tree.
    Settle();
    QTreeWidget* address = frame->GetAddressBar()->GetTree();
    ASSERT_EQ(address->topLevelItemCount(), 2);
    EXPECT_EQ(address->topLevelItem(0)->text(0), QStringLiteral("我的朋友"));
    EXPECT_EQ(address->topLevelItem(1)->text(0), QStringLiteral("我的共享"));
    ASSERT_EQ(address->topLevelItem(0)->childCount(), 1) << "a friend's shares are not in it";
    frame->GetAddressBar()->Pick(address->topLevelItem(1));
    Settle();
    EXPECT_EQ(tree->GetSelected(), tree->GetLocalRoot());
    // A component that names nothing ends the walk where it stands.
    QCoreApplication::postEvent(
        frame, new CZylWindowEvent(WM_ZYL_ADDRESS_SELCHANGED,
                                   reinterpret_cast<intptr_t>(new std::u16string(u"我的朋友|bob")),
                                   reinterpret_cast<intptr_t>(new std::u16string(u"bob"))));
    Settle();
    EXPECT_EQ(tree->GetSelected(), tree->GetFriendsRoot()) << "texts compare exactly";
    // A listing that arrives for a folder no longer in the tree changes nothing.
    tree->Select(Child(Child(bob, "Docs"), "2005"));
    tree->DeleteChildren(Child(bob, "Docs"));
    ASSERT_TRUE(WaitFor([&] { return info->toPlainText().contains("OnFriendFolderPackage no folder"); }));
    EXPECT_EQ(Child(Child(bob, "Docs"), "2005"), nullptr);

    // Download and upload are offered only where the share grants them, his listing's rows may be
    // dragged by their own rights, and the tree's context menu follows the same rights.
    frame->GetAddressBar()->Pick(address->topLevelItem(0)->child(0));
    Settle();
    EXPECT_EQ(tree->GetSelected(), bob);
    const QTreeWidgetItem* current = address->currentItem(); // the address tree shows where the tree is
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->text(0), QStringLiteral("Bob"));
    // Browsing other users goes through the host's picker.
    m_pA->m_vPickedUsers = {u"S2.1000"};
    m_host.Tick(10);
    const size_t requests = m_host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST).size();
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_BROWSE_OTHERS));
    EXPECT_EQ(m_pA->m_vPickCalls.back().first, ZYL_PICK_BROWSE);
    EXPECT_EQ(m_pA->m_vPickCalls.back().second, u"选择其他用户");
    m_host.Tick(10);
    EXPECT_EQ(m_host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST).size(), requests + 1);
    EXPECT_TRUE(frame->IsCommandEnabled(ZYL_ID_STOP_USER_TASKS)) << "a friend whose channels are open";
    ASSERT_TRUE(WaitFor([&] { return Row(list, "Look") >= 0; }));
    list->SelectRows({Row(list, "Look")});
    EXPECT_FALSE(frame->CanDrag(CZylMainFrame::ZYL_DRAG_LIST));
    EXPECT_EQ(list->GetModel()->mimeData(list->GetSelectionModel()->selectedIndexes()), nullptr);
    list->SelectRows({Row(list, "Docs")});
    EXPECT_TRUE(frame->CanDrag(CZylMainFrame::ZYL_DRAG_LIST));
    // Which of refresh, download and the two uploads a menu offers.
    const auto menuOffers = [](const std::unique_ptr<QMenu>& menu) {
        std::vector<bool> on;
        for (int id : {ZYL_ID_REFRESH, ZYL_ID_DOWNLOAD, ZYL_ID_UPLOAD_FILES, ZYL_ID_UPLOAD_FOLDER})
            on.push_back(ZylMenuEntry(*menu, id)->isEnabled());
        return on;
    };
    // On the friend's own list an upload has no share to go into, whatever the row grants.
    list->SelectRows({Row(list, "Put")});
    EXPECT_EQ(menuOffers(list->BuildContextMenu()), (std::vector<bool>{false, false, false, false}));
    EXPECT_TRUE(ZylMenuEntry(*list->BuildContextMenu(), ZYL_ID_VIEW_LARGE)->isEnabled()) << "a view mode";
    frame->UpdateCommands();
    EXPECT_FALSE(frame->GetAction(ZYL_ID_DOWNLOAD)->isEnabled());
    auto offered = [&](const char* share) {
        tree->Select(Child(bob, share));
        frame->UpdateCommands();
        return std::make_tuple(frame->GetAction(ZYL_ID_DOWNLOAD)->isEnabled(),
                               frame->GetAction(ZYL_ID_UPLOAD_FILES)->isEnabled(),
                               frame->GetAction(ZYL_ID_UPLOAD_FOLDER)->isEnabled(),
                               frame->CanDrag(CZylMainFrame::ZYL_DRAG_TREE));
    };
    EXPECT_EQ(offered("Look"), std::make_tuple(false, false, false, false));
    EXPECT_EQ(offered("Put"), std::make_tuple(false, true, true, false));
    EXPECT_TRUE(ZylMenuEntry(*list->BuildContextMenu(), ZYL_ID_UPLOAD_FILES)->isEnabled());
    EXPECT_EQ(offered("Docs"), std::make_tuple(true, false, false, true));
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_STOP_USER_TASKS));
    auto menu = tree->BuildContextMenu(Child(bob, "Docs"));
    EXPECT_EQ(menuOffers(menu), (std::vector<bool>{true, true, false, false}));
    EXPECT_FALSE(ZylMenuEntry(*menu, ZYL_ID_PROPERTIES)->isEnabled());
    EXPECT_FALSE(ZylMenuEntry(*menu, ZYL_ID_ADD_SHARED_FOLDER)->isEnabled());

    // Not connected: nothing is offered, whatever the share grants, and the friend's icon says so.
    const auto icon = [&](int image) {
        return bob->icon(0).pixmap(16, 16).toImage() == ZylTreeImage(image).pixmap(16, 16).toImage();
    };
    EXPECT_TRUE(icon(1));
    EXPECT_FALSE(icon(2));
    m_pA->Plugin().OnChannelDisconnected(u"S2.1000", ZYL_CHANNEL_DATA, 0); // one channel is not enough
    Settle();
    EXPECT_TRUE(icon(2));
    m_host.Disconnect(*m_pA, *m_pB);
    Settle();
    EXPECT_TRUE(icon(2));
    EXPECT_EQ(offered("Docs"), std::make_tuple(false, false, false, true));
    EXPECT_EQ(offered("Put"), std::make_tuple(false, false, false, false));
    EXPECT_EQ(menuOffers(tree->BuildContextMenu(Child(bob, "Docs"))),
              (std::vector<bool>{true, false, false, false}));
    EXPECT_EQ(menuOffers(tree->BuildContextMenu(Child(bob, "Put"))),
              (std::vector<bool>{true, false, false, false}));

    // Disconnecting: the node, the viewer and the channels go (another friend's task does not keep
    // them), and his channels closing do not bring him back into the tree.
    m_host.Connect(*m_pA, *m_pB);
    m_pA->Plugin().GetTaskManager().CreateDownloadTask(u"S3.1000", u"Docs\\x", false,
                                                       ZylFromFsPath(Data("in")), {});
    tree->Select(bob);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DISCONNECT));
    EXPECT_EQ(tree->FindFriend(u"S2.1000"), nullptr);
    EXPECT_FALSE(m_pA->Plugin().GetViewerManager().HasViewer(u"S2.1000"));
    EXPECT_EQ(m_pA->Plugin().GetUserList().IsConnected(u"S2.1000", 0), 0);
    EXPECT_EQ(tree->GetSelected(), tree->GetFriendsRoot());

    EXPECT_EQ(Open(*m_pA, 0), -1);
    EXPECT_EQ(Open(*m_pA, 2), -1);
    HostUserId tooLong; // cut to the 20 characters of a record it would name another user
    ASSERT_TRUE(tooLong.Set(HostUserId::Plain, 4294967295u, 214748364u));
    EXPECT_EQ(m_pA->Plugin().ProcessMessage(DLL_P2P_SHOW, 0, 2, reinterpret_cast<intptr_t>(&tooLong), 0, 0),
              -1);
    HostUserId longest; // twenty characters are a whole id
    ASSERT_TRUE(longest.Set(HostUserId::Plain, 4294967295u, 21474836u));
    EXPECT_EQ(m_pA->Plugin().ProcessMessage(DLL_P2P_SHOW, 0, 5, reinterpret_cast<intptr_t>(&longest), 0, 0),
              0);
    EXPECT_NE(tree->FindFriend(longest.ToText()), nullptr);
    // Friends stand by name; a second friend of a name comes after the first.
    CZylTreeItem* first = tree->AddFriend(ZYLUSER{u"S7.1000", u"Zed"});
    CZylTreeItem* second = tree->AddFriend(ZYLUSER{u"S8.1000", u"Zed"});
    EXPECT_EQ(tree->GetFriendsRoot()->indexOfChild(second), tree->GetFriendsRoot()->indexOfChild(first) + 1);
}

TEST_F(CZylUiTest, ClosingWithActiveTasksHidesToTheTrayOrMinimisesWhereThereIsNone) {
    CZylTray::Availability() = [] { return true; };
    ASSERT_EQ(Open(*m_pA, 1), 0);
    CZylMainFrame* frame = Frame(*m_pA);
    // A download from a friend who is not there stays active.
    CZylTask* task = m_pA->Plugin().GetTaskManager().CreateDownloadTask(u"S3.1000", u"Docs\\x", false,
                                                                        ZylFromFsPath(Data("in")), {});
    ASSERT_NE(task, nullptr);

    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CLOSE));
    EXPECT_FALSE(frame->isVisible());
    EXPECT_TRUE(frame->GetTray()->IsShown());
    EXPECT_FALSE(m_pA->Plugin().GetMainWindow()->IsVisible());
    Tick(1000);
    EXPECT_TRUE(frame->GetTray()->IsShown()) << "the task is still active";
    // A click on the icon shows the window and takes the icon away.
    Q_EMIT frame->GetTray()->GetIcon()->activated(QSystemTrayIcon::Trigger);
    Settle();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->GetTray()->IsShown());

    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CLOSE));
    m_pA->Plugin().GetTaskManager().RemoveTaskById(task->m_nTaskID);
    Tick(1000);
    EXPECT_FALSE(frame->GetTray()->IsShown()) << "gone within a second of the last active task";
    EXPECT_FALSE(frame->isVisible());
    ASSERT_EQ(Open(*m_pA, 1), 0);
    EXPECT_TRUE(frame->isVisible()) << "the next open request shows it";

    // Without a tray the window is minimised, never out of reach.
    CZylTray::Availability() = [] { return false; };
    m_pA->Plugin().GetTaskManager().CreateDownloadTask(u"S3.1000", u"Docs\\y", false,
                                                       ZylFromFsPath(Data("in")), {});
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CLOSE));
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->isMinimized());
    ASSERT_EQ(Open(*m_pA, 1), 0);
    EXPECT_FALSE(frame->isMinimized());

    // With nothing active the window closes for good; the next open request makes a new one.
    m_pA->Plugin().GetTaskManager().RemoveAllTasks();
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CLOSE));
    EXPECT_FALSE(m_pA->Plugin().GetMainWindow()->IsWindow());
    ASSERT_EQ(Open(*m_pA, 1), 0);
    ASSERT_NE(Frame(*m_pA), nullptr);
    EXPECT_TRUE(Frame(*m_pA)->isVisible());

    // The application quitting closes it, transfers or not: the host must be able to quit.
    m_pA->Plugin().GetTaskManager().CreateDownloadTask(u"S3.1000", u"Docs\\z", false,
                                                       ZylFromFsPath(Data("in")), {});
    QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
    Settle();
    EXPECT_FALSE(m_pA->Plugin().GetMainWindow()->IsWindow());
    EXPECT_EQ(CountFrames(), 0);
}

TEST_F(CZylUiTest, LogoutOrUnloadWithADialogOpenListingsInFlightAndTasksRunningLosesNothing) {
    ZylMakeDocs(Data("b") / "Docs");
    Share(*m_pB, u"Docs", Data("b") / "Docs", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    ASSERT_EQ(Open(*m_pA, 2, m_pB), 0);
    CZylUserView* tree = Frame(*m_pA)->GetUserView();
    CZylTreeItem* bob = tree->FindFriend(u"S2.1000");
    ASSERT_TRUE(WaitFor([&] { return Child(bob, "Docs") != nullptr; }));
    m_pA->Plugin().GetTaskManager().CreateDownloadTask(u"S2.1000", u"Docs", true, ZylFromFsPath(Data("in")),
                                                       {});
    tree->Select(Child(bob, "Docs")); // a listing on its way

    // The host logs out while the options dialog is open: the dialog ends as cancelled.
    bool rejected = false;
    Ask(*m_pA).m_qDialogs.push_back([&](QDialog& dialog) {
        EXPECT_EQ(m_host.Logout(*m_pA), 0);
        rejected = dialog.result() == QDialog::Rejected && !dialog.isVisible();
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_OPTIONS));
    EXPECT_TRUE(rejected);
    EXPECT_EQ(m_pA->Plugin().GetMainWindow(), nullptr);
    EXPECT_EQ(m_pA->Plugin().GetShareManager().GetNoUpload(), 0)
        << "nothing of the cancelled dialog is stored";
    Tick(100); // the friend's replies arrive for a window that is gone
    EXPECT_EQ(CountFrames(), 0);

    // Unloaded with its window open, tasks running and a listing in flight.
    ASSERT_EQ(Open(*m_pB, 2, m_pA), 0);
    m_pB->Plugin().GetTaskManager().CreateDownloadTask(u"S1.1000", u"Nothing", true,
                                                       ZylFromFsPath(Data("in")), {});
    m_pB->Destroy();
    Settle();
    EXPECT_EQ(CountFrames(), 0);
}
