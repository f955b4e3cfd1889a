// Two plug-ins browsing each other end to end: share root info in pages with the asker's rights,
// folder listings, file lists for downloads, and every way a request is refused.
#include "ZylBrowseFixture.h"

#include "transfer/ZylTask.h"

#include <algorithm>

namespace {

std::vector<uint8_t> BigEndian(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
}

} // namespace

TEST_F(CZylBrowseTest, RootInfoComesInPagesOfSixteen) {
    // A user without shares still answers, with one empty page; sixteen shares fill one page.
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    EXPECT_TRUE(listings[0].items.empty());
    for (int i = 0; i < 16; ++i)
        Share(ZylFormat("Share{:02}", i), fmt::format("s{}", i));
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(2));
    auto pages = FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY);
    ASSERT_EQ(pages.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const ZYLPAGE page = ZylParsePage(pages[i].payload, true);
        EXPECT_EQ(std::vector<int32_t>({page.total, page.begin, page.count}),
                  std::vector<int32_t>({16 * i, 0, 16 * i}));
    }
    EXPECT_EQ(listings[1].items.size(), 16u);

    for (int i = 16; i < 20; ++i)
        Share(ZylFormat("Share{:02}", i), fmt::format("s{}", i));
    host.m_vSent.clear();
    listings.clear();
    window.m_vMessages.clear();
    const uint64_t sleptBefore = a.Platform().m_nSleptMs;

    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));

    const auto requests = host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload.size(), 8u); // the request time only

    pages = FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY);
    ASSERT_EQ(pages.size(), 2u);
    const ZYLPAGE first = ZylParsePage(pages[0].payload, true);
    const ZYLPAGE second = ZylParsePage(pages[1].payload, true);
    EXPECT_EQ(pages[0].channel, ZYL_CHANNEL_REQUEST);
    EXPECT_EQ(std::vector<int32_t>({first.status, first.total, first.begin, first.count}),
              std::vector<int32_t>({0, 20, 0, 16}));
    EXPECT_EQ(std::vector<int32_t>({second.status, second.total, second.begin, second.count}),
              std::vector<int32_t>({0, 20, 16, 4}));
    // No pause between pages: the asker's pace alone holds them back.
    EXPECT_EQ(a.Platform().m_nSleptMs - sleptBefore, 0u);

    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(listings[0].message, static_cast<uint32_t>(WM_ZYL_FRIEND_ROOT));
    ASSERT_EQ(listings[0].items.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(listings[0].items[i].name, ZylFormat("Share{:02}", i));
        EXPECT_EQ(listings[0].items[i].privilege, 3);
        EXPECT_EQ(listings[0].items[i].folder, 1);
    }
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_ROOT), 1u);
}

TEST_F(CZylBrowseTest, RootInfoPageHasTheExactLayout) {
    CZylShareObject& share = Share(u"Docs", "papers", 1, 7);
    CZylDateTime modified;
    modified.SetDateTime(2007, 5, 6, 7, 8, 9, 0, 0);
    share.SetTime(modified);
    share.SetSize(0x01020304);
    Shares().SetNoUpload(1);

    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    const auto pages = FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY);
    ASSERT_EQ(pages.size(), 1u);

    std::vector<uint8_t> expected;
    for (uint32_t v : {0u, 1u, 0u, 1u, 1u}) // status, total, begin, count, bFolder
        Append(expected, BigEndian(v));
    Append(expected, {0, 0, 0, 4, 'D', 'o', 'c', 's'});
    Append(expected, {0, 0, 0, 6, 'F', 'o', 'l', 'd', 'e', 'r'});
    Append(expected, {0, 3}); // "Everyone" grants 7, without upload while uploads are off
    const CZylDateTime shareTime(a.Platform().GetCalendarTime());
    Append(expected, BigEndian(shareTime.GetWord1()));
    Append(expected, BigEndian(shareTime.GetWord2()));
    Append(expected, BigEndian(modified.GetWord1()));
    Append(expected, BigEndian(modified.GetWord2()));
    Append(expected, {1, 2, 3, 4});
    EXPECT_EQ(pages[0].payload, expected);
    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(listings[0].items[0].size, 0x01020304u);
}

TEST_F(CZylBrowseTest, PendingRootRequestGoesOutWhenTheChannelsComeUp) {
    host.Disconnect(a, b);
    Share(u"Docs", "papers");
    viewer->SetRootPending(1);
    host.Connect(a, b);
    ASSERT_TRUE(WaitForListings(1));
    EXPECT_EQ(listings[0].items.size(), 1u);
    EXPECT_EQ(viewer->IsRootPending(), 0);
}

TEST_F(CZylBrowseTest, EveryoneAndOwnEntriesCombine) {
    CZylTestNode& c = host.AddNode(u"S1.3000");
    ASSERT_EQ(host.Login(c), 0);
    host.Connect(a, c);

    CZylShareObject& docs = Share(u"Docs", "docs", 1, ZYL_PRIV_BROWSE);
    ZYLPRIVILEGEDUSER own;
    own.id = u"s1.2000";
    own.privilege = ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD;
    docs.AddPrivilegedUser(own);
    Share(u"Closed", "closed", 1, 0);
    Touch("docs/a.txt", 3);
    Shares().SaveChanges();

    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    ASSERT_EQ(listings[0].items.size(), 2u);
    EXPECT_EQ(listings[0].items[0].privilege, 7);
    EXPECT_EQ(listings[0].items[1].privilege, 0); // listed although nothing is granted

    // B may browse (through "Everyone") and fetch the file list (through its own entry); C only
    // browse; nobody may browse the closed share.
    RequestFolder(u"Docs");
    RequestFileList(5, u"Docs", 1);
    RequestFolder(u"Docs", &c);
    RequestFileList(6, u"Docs", 1, &c);
    RequestFolder(u"Closed");
    ASSERT_TRUE(host.RunUntil([&] {
        return FromA(ZYL_CMD_ERROR, c.Id()).size() == 1 && FromA(ZYL_CMD_ERROR).size() == 1 &&
               FromA(ZYL_CMD_FILE_LIST_REPLY).size() == 1 &&
               FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).size() == 1 &&
               FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).size() == 1;
    }));
    host.Tick(200);
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR, c.Id())[0]), ZYL_ERROR_USER_DENIED);
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR)[0]), ZYL_ERROR_USER_DENIED);
    EXPECT_EQ(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).size(), 1u);
    EXPECT_TRUE(FromA(ZYL_CMD_FILE_LIST_REPLY, c.Id()).empty());

    // B's own browse of the closed share is refused: its viewer waits, and once no page has come
    // for the silence's length its user is told, once.
    CZylFakeWindow log;
    b.Plugin().SetLogWindow(&log);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Closed", CZylDateTime()), 0);
    const auto silences = [&] {
        return std::count_if(log.m_vInfoLines.begin(), log.m_vInfoLines.end(), [](const auto& line) {
            return line.find(u"no listing page from S1.1000 for 20 s") != std::u16string::npos;
        });
    };
    host.Tick(CZylViewer::LISTING_SILENCE_MS - 100);
    EXPECT_TRUE(viewer->IsWaiting());
    EXPECT_EQ(silences(), 0);
    host.Tick(200);
    EXPECT_EQ(silences(), 1);
    host.Tick(CZylViewer::LISTING_SILENCE_MS);
    EXPECT_EQ(silences(), 1);
    b.Plugin().SetLogWindow(nullptr);
}

TEST_F(CZylBrowseTest, FolderOfThreeSubfoldersAndThirtySevenFiles) {
    Share(u"Docs", "docs");
    for (int i = 0; i < 3; ++i)
        std::filesystem::create_directories(files.Path() / fmt::format("docs/sub{}", i));
    for (int i = 0; i < 37; ++i)
        Touch(fmt::format("docs/f{:02}.txt", i), static_cast<size_t>(i));
    Touch("docs/sub1/inner1.dat", 7);
    Touch("docs/sub1/inner2.dat", 8);

    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(1));
    // Forty entries: 16, 16 and 8, the subfolders first.
    const auto pages = FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY);
    ASSERT_EQ(pages.size(), 3u);
    std::vector<int32_t> shape;
    for (size_t p = 0; p < pages.size(); ++p) {
        const ZYLPAGE page = ZylParsePage(pages[p].payload, false);
        shape.insert(shape.end(), {page.status, page.total, page.begin, page.count});
        for (size_t i = 0; i < page.items.size(); ++i)
            EXPECT_EQ(page.items[i].folder, p == 0 && i < 3 ? 1 : 0) << p << " " << i;
    }
    EXPECT_EQ(shape, (std::vector<int32_t>{0, 40, 0, 16, 0, 40, 16, 16, 0, 40, 32, 8}));
    const ZYLPAGE first = ZylParsePage(pages[0].payload, false);
    EXPECT_EQ(first.items[0].type, u"Folder");
    EXPECT_EQ(first.items[5].type, u"TXT File");

    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(listings[0].message, static_cast<uint32_t>(WM_ZYL_FRIEND_FOLDER));
    EXPECT_EQ(listings[0].folder, u"Docs");
    ASSERT_EQ(listings[0].items.size(), 40u);
    auto f05 = std::find_if(listings[0].items.begin(), listings[0].items.end(),
                            [](const ZYLLISTEDITEM& item) { return item.name == u"f05.txt"; });
    ASSERT_NE(f05, listings[0].items.end());
    EXPECT_EQ(f05->size, 5u);
    EXPECT_EQ(f05->time.GetKind(), CZylDateTime::DateTime);

    // A subfolder.
    ASSERT_EQ(viewer->RequestExplorerFolder(u"docs\\sub1", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(2));
    EXPECT_EQ(listings[1].folder, u"docs\\sub1");
    ASSERT_EQ(listings[1].items.size(), 2u);
    std::vector<std::u16string> names{listings[1].items[0].name, listings[1].items[1].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"inner1.dat", u"inner2.dat"}));
}

TEST_F(CZylBrowseTest, EmptyFolderAndSingleFileShareGiveTotalZero) {
    Share(u"Empty", "empty");
    Touch("note.txt", 4);
    Share(u"Note", "note.txt", 0);
    m_bClearOnListing = false;

    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    ASSERT_EQ(viewer->GetItemCount(), 2);

    // The empty listing replaces the shares list and completes at once.
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Empty", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(2));
    EXPECT_EQ(listings[1].message, static_cast<uint32_t>(WM_ZYL_FRIEND_FOLDER));
    EXPECT_TRUE(listings[1].items.empty());
    EXPECT_EQ(viewer->GetItemCount(), 0);

    ASSERT_EQ(viewer->RequestExplorerFolder(u"Note", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(3));
    EXPECT_TRUE(listings[2].items.empty());
    const auto pages = FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY);
    ASSERT_EQ(pages.size(), 2u);
    for (const auto& pdu : pages) {
        const ZYLPAGE page = ZylParsePage(pdu.payload, false);
        EXPECT_EQ(std::vector<int32_t>({page.total, page.begin, page.count}),
                  std::vector<int32_t>({0, 0, 0}));
    }

    // A folder that is gone is no empty folder: "file removed", and no page.
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Empty\\gone", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_ERROR).size() == 1; }));
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR)[0]), ZYL_ERROR_FILE_REMOVED);
    host.Tick(100);
    EXPECT_EQ(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).size(), 2u);
    EXPECT_EQ(listings.size(), 3u);
}

TEST_F(CZylBrowseTest, UserLimitRefusesNewUsersOnceFull) {
    CZylTestNode& c = host.AddNode(u"S1.3000");
    ASSERT_EQ(host.Login(c), 0);
    host.Connect(a, c);
    CZylShareObject& docs = Share(u"Docs", "docs", 1, ZYL_PRIV_BROWSE);
    docs.SetUnlimitedUserNumber(0);
    docs.SetLimitedUserNumber(1);
    std::filesystem::create_directories(files.Path() / "docs/sub");
    // C's unfinished tasks name transfers it has no right to make: they take no place.
    ZylPayloadWriter unfinished;
    unfinished.Write(CZylDateTime(1200000000));
    unfinished.WriteInt32(2).WriteInt32(ZYL_PRIV_DOWNLOAD).WriteString(u"Docs\\a.txt");
    unfinished.WriteInt32(ZYL_PRIV_UPLOAD).WriteString(u"Docs");
    SendFromB(ZYL_CMD_UNFINISHED_TASKS_REPLY, unfinished, &c);
    host.Tick(50);
    EXPECT_EQ(docs.FindCurrentUser(c.Id()), -1);
    EXPECT_EQ(docs.GetCurrentUserCount(), 0);

    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(1));
    EXPECT_EQ(docs.GetCurrentUserCount(), 1);
    // The user already served goes on browsing; a new one is refused with "user denied".
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs\\sub", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(2));
    RequestFolder(u"Docs", &c);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_ERROR, c.Id()).size() == 1; }));
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR, c.Id())[0]), ZYL_ERROR_USER_DENIED);
    EXPECT_TRUE(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).empty());
    EXPECT_EQ(docs.GetCurrentUserCount(), 1);

    // When B's channels close its entry goes and C gets in.
    host.Disconnect(a, b);
    EXPECT_EQ(docs.GetCurrentUserCount(), 0);
    RequestFolder(u"Docs", &c);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).size() == 1; }));
    ZYLSHAREUSER* entry = nullptr;
    EXPECT_EQ(docs.FindCurrentUser(c.Id(), &entry), 0);
    EXPECT_EQ(entry->downloads, 0);
    EXPECT_TRUE(entry->time == CZylDateTime(a.Platform().GetCalendarTime()));
}

TEST_F(CZylBrowseTest, UnknownShareGetsNoReplyAtAll) {
    Share(u"Docs", "docs");
    const size_t before = host.m_vSent.size();
    RequestFolder(u"Docsx");
    RequestFolder(u"Nope\\sub");
    RequestFileList(9, u"Nope", 1);
    host.Tick(500);
    size_t answers = 0;
    for (size_t i = before; i < host.m_vSent.size(); ++i) {
        const ZYLSENTPDU& pdu = host.m_vSent[i];
        // Only the queries both sides exchange when channels come up may pass.
        if (pdu.from == a.Id() && pdu.command != ZYL_CMD_UNFINISHED_TASKS_QUERY &&
            pdu.command != ZYL_CMD_UNFINISHED_TASKS_REPLY)
            ++answers;
    }
    EXPECT_EQ(answers, 0u);
    EXPECT_EQ(host.SentWith(ZYL_CMD_EXPLORER_FOLDER_REQUEST).size(), 2u); // they did arrive
}

TEST_F(CZylBrowseTest, PathsLeavingTheShareAreRefusedAndListNothing) {
    Share(u"Docs", "docs");
    std::filesystem::create_directories(files.Path() / "secret");
    Touch("secret/key.txt", 10);
    Touch("docs/plain.txt", 1);
    std::filesystem::create_directory_symlink(files.Path() / "secret", files.Path() / "docs/out");

    RequestFolder(u"Docs\\..\\..");
    RequestFolder(u"Docs\\out");
    RequestFileList(3, u"Docs\\..\\secret\\key.txt", 0);
    RequestFileList(4, u"Docs\\out", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_ERROR).size() == 4; }));
    host.Tick(200);
    for (const auto& pdu : FromA(ZYL_CMD_ERROR))
        EXPECT_EQ(ZylErrorCodeOf(pdu), ZYL_ERROR_OTHER);
    EXPECT_TRUE(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).empty());
    EXPECT_TRUE(FromA(ZYL_CMD_FILE_LIST_REPLY).empty());
    EXPECT_TRUE(FromA(ZYL_CMD_EMPTY_FILE_LIST).empty());

    // The link out is not even shown in the share's own listing.
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(1));
    ASSERT_EQ(listings[0].items.size(), 1u);
    EXPECT_EQ(listings[0].items[0].name, u"plain.txt");
}

TEST_F(CZylBrowseTest, PagesOutOfOrderRestartTheListAndOnlyRequestedListingsAreTaken) {
    for (int i = 0; i < 20; ++i)
        Share(ZylFormat("Share{:02}", i), fmt::format("s{}", i));
    m_bClearOnListing = false;
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    ASSERT_EQ(viewer->GetItemCount(), 20);
    const auto pages = FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY);
    ASSERT_EQ(pages.size(), 2u);

    CZylInterface& plugin = b.Plugin();
    const auto deliver = [&](const ZYLSENTPDU& pdu) {
        plugin.OnDataIndication(pdu.command, pdu.payload.data(), static_cast<int32_t>(pdu.payload.size()),
                                a.Id(), ZYL_CHANNEL_REQUEST);
    };
    // Asked again (the request not yet out): the second page alone does not continue an empty
    // list, it restarts it with 4 items; the first page then restarts it again.
    viewer->ClearItems();
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    deliver(pages[1]);
    EXPECT_EQ(viewer->GetItemCount(), 4);
    EXPECT_EQ(viewer->GetItem(0)->GetShareName(), u"Share16");
    deliver(pages[0]);
    EXPECT_EQ(viewer->GetItemCount(), 16);
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_ROOT), 1u);
    deliver(pages[1]);
    EXPECT_EQ(viewer->GetItemCount(), 20);
    EXPECT_EQ(window.Count(WM_ZYL_FRIEND_ROOT), 2u);
}

TEST_F(CZylBrowseTest, FileListsForDownloads) {
    Share(u"Docs", "work/papers");
    Touch("work/papers/2005/a.txt", 11);
    Touch("work/papers/2005/deep/b.txt", 12);
    for (int i = 0; i < 18; ++i)
        Touch(fmt::format("work/papers/top{:02}.txt", i), 1);
    std::filesystem::create_directories(files.Path() / "work/papers/emptytree/x/y");

    RequestFileList(41, u"docs", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_FILE_LIST_REPLY).size() == 2; }));
    host.Tick(100);
    const auto pages = FromA(ZYL_CMD_FILE_LIST_REPLY);
    ASSERT_EQ(pages.size(), 2u);
    const ZYLFILEPAGE first = ZylParseFilePage(pages[0].payload);
    const ZYLFILEPAGE second = ZylParseFilePage(pages[1].payload);
    EXPECT_EQ(first.taskId, 41u);
    EXPECT_EQ(std::vector<int32_t>({first.status, first.total, first.begin, first.count}),
              std::vector<int32_t>({0, 20, 0, 16}));
    EXPECT_EQ(std::vector<int32_t>({second.total, second.begin, second.count}),
              std::vector<int32_t>({20, 16, 4}));
    std::vector<std::u16string> paths = first.paths;
    paths.insert(paths.end(), second.paths.begin(), second.paths.end());
    // Files of subfolders before those of the folder itself, under the share name as requested.
    EXPECT_NE(std::find(paths.begin(), paths.begin() + 2, u"docs\\2005\\deep\\b.txt"), paths.begin() + 2);
    EXPECT_NE(std::find(paths.begin(), paths.begin() + 2, u"docs\\2005\\a.txt"), paths.begin() + 2);
    EXPECT_NE(std::find(paths.begin(), paths.end(), u"docs\\top17.txt"), paths.end());
    EXPECT_TRUE(Shares().GetShare(0)->FindCurrentUser(b.Id()) < 0); // file lists record no user

    // A tree without files gets only the empty-list notice.
    RequestFileList(42, u"Docs\\emptytree", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_EMPTY_FILE_LIST).size() == 1; }));
    {
        const auto notice = FromA(ZYL_CMD_EMPTY_FILE_LIST)[0];
        ZylPayloadReader reader(notice.payload.data(), static_cast<int32_t>(notice.payload.size()));
        CZylDateTime sent;
        reader.Read(sent);
        EXPECT_EQ(reader.ReadUInt32(), 42u);
        EXPECT_EQ(reader.Remaining(), 0);
    }

    // A single file is answered at once with one page and counts as a running download.
    RequestFileList(43, u"Docs\\2005\\a.txt", 0);
    host.Tick(20);
    const auto single = FromA(ZYL_CMD_FILE_LIST_REPLY);
    ASSERT_EQ(single.size(), 3u);
    const ZYLFILEPAGE one = ZylParseFilePage(single[2].payload);
    EXPECT_EQ(one.taskId, 43u);
    EXPECT_EQ(std::vector<int32_t>({one.total, one.begin, one.count}), std::vector<int32_t>({1, 0, 1}));
    EXPECT_EQ(one.paths, std::vector<std::u16string>{u"Docs\\2005\\a.txt"});
    EXPECT_EQ(one.sizes, std::vector<uint32_t>{11});
    ZYLSHAREUSER* entry = nullptr;
    ASSERT_EQ(Shares().GetShare(0)->FindCurrentUser(b.Id(), &entry), 0);
    EXPECT_EQ(entry->downloads, 1);
    RequestFileList(44, u"Docs\\2005\\a.txt", 0);
    host.Tick(20);
    EXPECT_EQ(entry->downloads, 2);

    // A missing file, and a missing folder (no longer an empty list): "file removed", with the
    // task id of the request so that the asker's task can stop with it.
    RequestFileList(45, u"Docs\\2005\\gone.txt", 0);
    RequestFileList(46, u"Docs\\gone", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_ERROR).size() == 2; }));
    host.Tick(100);
    EXPECT_EQ(FromA(ZYL_CMD_EMPTY_FILE_LIST).size(), 1u);
    uint32_t task = 45;
    for (const auto& pdu : FromA(ZYL_CMD_ERROR)) {
        ZylPayloadReader reader(pdu.payload.data(), static_cast<int32_t>(pdu.payload.size()));
        EXPECT_EQ(reader.ReadInt32(), ZYL_ERROR_FILE_REMOVED);
        EXPECT_EQ(reader.ReadUInt32(), task++);
        EXPECT_EQ(reader.ReadUInt32(), 0u); // detail
        EXPECT_EQ(reader.ReadUInt32(), 0u); // no data
    }

    // The downloading side's task stops with that error instead of finishing with nothing.
    CZylTaskManager& tasks = b.Plugin().GetTaskManager();
    CZylTask* download =
        tasks.CreateDownloadTask(a.Id(), u"Docs\\gone", true, files.WidePath(u"in"), CZylDateTime());
    ASSERT_NE(download, nullptr);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_ERROR).size() == 3; }));
    host.Tick(20);
    EXPECT_FALSE(download->m_bRunning);
    EXPECT_FALSE(download->m_bFinished);
}

TEST_F(CZylBrowseTest, NamesThatCannotTravelAreLeftOutWithAWarningTheServingUserSees) {
    CZylFakeWindow shown;
    a.Plugin().SetLogWindow(&shown);
    Share(u"Docs", "docs");
    Touch("docs/ok.txt");
    const std::filesystem::path docs = files.Path() / "docs";
    ZylWriteFileBytes(docs / "tab\tname.txt", "");
    ZylWriteFileBytes(docs / "line\nfeed.txt", "");
    ZylWriteFileBytes(docs / "bad\xFFutf8.txt", "");
    // Share paths of 4 + 1 + 245 + 1 + 1 units (listed) and of 4 + 1 + 245 + 1 + 10 (too long
    // for the asker's task, which keeps 259).
    const std::string longName(245, 'n');
    Touch("docs/" + longName + "/a");
    Touch("docs/" + longName + "/tenletters");

    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", CZylDateTime(1200000000)), 0);
    ASSERT_TRUE(WaitForListings(1));
    std::vector<std::u16string> names;
    for (const auto& item : listings[0].items)
        names.push_back(item.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{ZylFromUtf8(longName), u"ok.txt"}));
    RequestFileList(7, u"Docs", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_FILE_LIST_REPLY).size() == 1; }));
    const ZYLFILEPAGE page = ZylParseFilePage(FromA(ZYL_CMD_FILE_LIST_REPLY)[0].payload);
    EXPECT_EQ(page.paths,
              (std::vector<std::u16string>{u"Docs\\" + ZylFromUtf8(longName) + u"\\a", u"Docs\\ok.txt"}));

    // Each file left out is named in a warning line (its control characters shown as "?").
    host.Tick(10);
    auto warned = [&](std::u16string_view text) {
        return std::count_if(shown.m_vInfoLines.begin(), shown.m_vInfoLines.end(), [&](const auto& line) {
            return line.find(u"\t2\t") != std::u16string::npos && line.find(text) != std::u16string::npos;
        });
    };
    EXPECT_EQ(warned(u"tab?name.txt"), 2); // once for each listing
    EXPECT_EQ(warned(u"line?feed.txt"), 2);
    EXPECT_EQ(warned(u"bad\uFFFDutf8.txt"), 2);
    EXPECT_EQ(warned(u"path too long to list"), 1);
    a.Plugin().SetLogWindow(nullptr);
}

TEST_F(CZylBrowseTest, SingleSharedFileIsListedUnderTheShareName) {
    Touch("music/song.mp3", 9);
    Share(u"Song", "music/song.mp3", 0);
    RequestFileList(7, u"SONG", 0);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_FILE_LIST_REPLY).size() == 1; }));
    const ZYLFILEPAGE page = ZylParseFilePage(FromA(ZYL_CMD_FILE_LIST_REPLY)[0].payload);
    EXPECT_EQ(page.taskId, 7u);
    EXPECT_EQ(page.total, 1);
    EXPECT_EQ(page.paths, std::vector<std::u16string>{u"SONG"}); // in the case the asker used
    EXPECT_EQ(page.sizes, std::vector<uint32_t>{9});

    // Asked for as a folder, a file holds nothing to fetch.
    RequestFileList(8, u"Song", 1);
    ASSERT_TRUE(host.RunUntil([&] { return FromA(ZYL_CMD_EMPTY_FILE_LIST).size() == 1; }));
    EXPECT_EQ(FromA(ZYL_CMD_FILE_LIST_REPLY).size(), 1u);
}
