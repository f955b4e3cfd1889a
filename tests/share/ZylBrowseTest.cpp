// Two plug-ins browsing end to end: root info with the asker's rights, folders, file lists, refusals.
#include "ZylBrowseFixture.h"

using SHAPES = std::vector<std::vector<int32_t>>;

TEST_F(CZylBrowseTest, RootInfoHasTheExactLayoutAndComesInPagesOfSixteen) {
    // A user without shares still answers, with one empty page; the request is the asker's time.
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    EXPECT_EQ(ShapesFromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY), (SHAPES{{0, 0, 0, 0}}));
    const CZylDateTime asked(b.Platform().GetCalendarTime());
    EXPECT_EQ(host.SentWith(ZYL_CMD_SHARE_ROOT_INFO_REQUEST).at(0).payload,
              ZylBytes({asked.GetWord1(), asked.GetWord2()}));
    CZylShareObject& share = Share(u"Docs", "papers", 1, 7);
    const CZylDateTime modified(1100000000);
    share.SetTime(modified);
    share.SetSize(0x01020304);
    Shares().SetNoUpload(1);
    host.m_vSent.clear();
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(2));
    const auto pdus = FromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0].channel, ZYL_CHANNEL_REQUEST);
    // Page words, bFolder, name, type, rights (7 without upload: uploads are off), share time, time, size.
    const CZylDateTime shared(a.Platform().GetCalendarTime());
    EXPECT_EQ(pdus[0].payload, ZylBytes({0, 1, 0, 1, 1, 4},
                                        {'D', 'o', 'c', 's', 0, 0, 0, 6, 'F', 'o', 'l', 'd', 'e', 'r', 0, 3},
                                        {shared.GetWord1(), shared.GetWord2(), modified.GetWord1(),
                                         modified.GetWord2(), 0x01020304}));
    for (int i = 1; i < 20; ++i)
        Share(ZylFormat("Share{:02}", i), fmt::format("s{}", i));
    host.m_vSent.clear();
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(3));
    EXPECT_EQ(ShapesFromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY), (SHAPES{{0, 20, 0, 16}, {0, 20, 16, 4}}));
}

TEST_F(CZylBrowseTest, EveryoneAndOwnEntriesCombineAndAFullShareRefusesNewUsers) {
    CZylTestNode& c = AddC();
    // "Everyone" in any case; an own entry adds to it (given again, its rights are replaced), and one of
    // nothing takes nothing away.
    CZylShareObject& docs = Share(u"Docs", "docs", 1, 0);
    docs.AddPrivilegedUser({u"EVERYONE", {}, ZYL_PRIVILEGED_EVERYONE, ZYL_PRIV_BROWSE});
    docs.AddPrivilegedUser({u"S1.2000", {}, ZYL_PRIVILEGED_USER, 0});
    docs.AddPrivilegedUser({u"s1.2000", {}, ZYL_PRIVILEGED_EVERYONE, ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD});
    docs.AddPrivilegedUser({u"S1.3000", {}, ZYL_PRIVILEGED_USER, 0});
    EXPECT_EQ(docs.GetPrivilegedUserCount(), 3);
    Share(u"Closed", "closed", 1, 0);
    Touch("docs/a.txt", 3);
    ASSERT_EQ(viewer->RequestShareRootInfo(), 0);
    ASSERT_TRUE(WaitForListings(1));
    const ZYLPAGE root = PagesFromA(ZYL_CMD_SHARE_ROOT_INFO_REPLY).at(0);
    ASSERT_EQ(root.items.size(), 2u);
    EXPECT_EQ(root.items[0].privilege, 7);
    EXPECT_EQ(root.items[1].privilege, 0); // listed although nothing is granted
    // B browses through "Everyone" and lists files through its own entry; C only browses; nobody "Closed".
    RequestFolder(u"Docs");
    RequestFileList(5, u"Docs", 1);
    RequestFolder(u"Docs", &c);
    RequestFileList(6, u"Docs", 1, &c);
    RequestFolder(u"Closed");
    // Errors to C and to B, file lists to B and to C, folders to B and to C.
    auto counts = [&] {
        std::vector<size_t> n;
        for (uint32_t command : {ZYL_CMD_ERROR, ZYL_CMD_FILE_LIST_REPLY, ZYL_CMD_EXPLORER_FOLDER_REPLY})
            n.insert(n.end(), {FromA(command).size(), FromA(command, c.Id()).size()});
        return n;
    };
    ASSERT_TRUE(host.RunUntil([&] { return counts() == std::vector<size_t>{1, 1, 1, 0, 1, 1}; }));
    host.Tick(200);
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 1, 1, 0, 1, 1}));
    EXPECT_EQ(ZylWords(FromA(ZYL_CMD_ERROR, c.Id())[0]),
              (std::vector<uint32_t>{ZYL_ERROR_USER_DENIED, 6, 0, 0}));
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR)[0]), ZYL_ERROR_USER_DENIED);
    // B's refused browse: once no page has come for the silence's length its user is told, once.
    CZylFakeWindow log;
    b.Plugin().SetLogWindow(&log);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Closed", CZylDateTime()), 0);
    for (auto [ms, told] : {std::pair{CZylViewer::LISTING_SILENCE_MS - 100, 0u}, {200u, 1u}, {20000u, 1u}}) {
        host.Tick(ms);
        EXPECT_EQ(ZylLogged(log, u"no listing page from S1.1000 for 20 s"), told) << ms;
    }
    b.Plugin().SetLogWindow(nullptr);
    // One user at a time: the one served goes on; a new one is denied until the first one's channels close.
    CZylShareObject& few = Share(u"Few", "few", 1, ZYL_PRIV_BROWSE);
    std::filesystem::create_directories(files.Path() / "few/sub");
    few.SetUnlimitedUserNumber(0);
    few.SetLimitedUserNumber(1);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Few", kAsked), 0);
    ASSERT_TRUE(WaitForListings(2));
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Few\\sub", kAsked), 0);
    ASSERT_TRUE(WaitForListings(3));
    RequestFolder(u"Few", &c);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_ERROR, 2, c.Id()));
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR, c.Id())[1]), ZYL_ERROR_USER_DENIED);
    EXPECT_EQ(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, c.Id()).size(), 1u);
    EXPECT_EQ(few.GetCurrentUserCount(), 1);
    host.Disconnect(a, b);
    EXPECT_EQ(few.GetCurrentUserCount(), 0);
    RequestFolder(u"Few", &c);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY, 2, c.Id()));
    ZYLSHAREUSER* entry = nullptr;
    EXPECT_EQ(few.FindCurrentUser(c.Id(), &entry), 0);
    EXPECT_EQ(entry->downloads, 0);
    EXPECT_TRUE(entry->time == CZylDateTime(a.Platform().GetCalendarTime()));
}

TEST_F(CZylBrowseTest, FolderListingsSubfoldersFirstEmptyOnesAtOnceAndNothingOutsideTheShare) {
    Share(u"Docs", "docs");
    Touch("secret/key.txt", 10);
    std::filesystem::create_directory_symlink(files.Path() / "secret", files.Path() / "docs/out");
    for (int i = 0; i < 3; ++i)
        std::filesystem::create_directories(files.Path() / fmt::format("docs/sub{}", i));
    for (int i = 0; i < 37; ++i)
        Touch(fmt::format("docs/f{:02}.txt", i), static_cast<size_t>(i));
    Share(u"Empty", "empty");
    Touch("note.txt", 4);
    Share(u"Note", "note.txt", 0);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", kAsked), 0);
    ASSERT_TRUE(WaitForListings(1));
    // Forty entries (the link out of the share is not one): 16, 16 and 8, the subfolders first.
    EXPECT_EQ(ShapesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY),
              (SHAPES{{0, 40, 0, 16}, {0, 40, 16, 16}, {0, 40, 32, 8}}));
    size_t i = 0;
    for (const ZYLPAGE& page : PagesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY))
        for (const ZYLLISTEDITEM& item : page.items) {
            EXPECT_EQ(item.folder, i < 3 ? 1 : 0) << i;
            EXPECT_EQ(item.type, i++ < 3 ? u"Folder" : u"TXT File");
        }
    // An empty folder, or a shared file asked as one: a page of total 0 replaces the list and completes it.
    m_bClearOnListing = false;
    ASSERT_EQ(viewer->RequestExplorerFolder(u"empty\\", kAsked), 0); // any case, a separator at the end
    ASSERT_TRUE(WaitForListings(2));
    EXPECT_EQ(viewer->GetItemCount(), 0);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Note", kAsked), 0);
    ASSERT_TRUE(WaitForListings(3));
    EXPECT_EQ(listings[2], static_cast<uint32_t>(WM_ZYL_FRIEND_FOLDER));
    auto shapes = ShapesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY);
    EXPECT_EQ(SHAPES(shapes.begin() + 3, shapes.end()), (SHAPES{{0, 0, 0, 0}, {0, 0, 0, 0}}));
    // A gone folder: "file removed", no page. The request: the asker's time (zone too), the path in UTF-8.
    CZylDateTime when;
    when.SetDateTime(2008, 1, 2, 3, 4, 5, 0, 480);
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Empty\\\u00E9", when), 0);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_ERROR, 1));
    const ZYLSENTPDU request = host.SentWith(ZYL_CMD_EXPLORER_FOLDER_REQUEST).back();
    EXPECT_EQ(request.channel, ZYL_CHANNEL_REQUEST);
    EXPECT_EQ(request.payload,
              ZylBytes({when.GetWord1(), when.GetWord2(), 8}, {'E', 'm', 'p', 't', 'y', '\\', 0xC3, 0xA9}));
    EXPECT_EQ(ZylErrorCodeOf(FromA(ZYL_CMD_ERROR)[0]), ZYL_ERROR_FILE_REMOVED);
    host.Tick(100);
    EXPECT_EQ(FromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).size(), 5u);
    EXPECT_EQ(listings.size(), 3u);
    // Paths that leave the share are refused; unknown shares get no reply at all.
    host.m_vSent.clear();
    for (const char16_t* path : {u"Docs\\..\\..", u"Docs\\.", u"Docs\\sub0\\..\\..\\secret", u"Docs\\\\sub0",
                                 u"Docs\\a/../../secret", u"Docs\\out", u"Docsx", u"Nope\\sub"})
        RequestFolder(path);
    RequestFileList(3, u"Docs\\..\\secret\\key.txt", 0);
    RequestFileList(4, u"Docs\\out", 1);
    RequestFileList(5, u"Docs\\out\\key.txt", 0);
    RequestFileList(9, u"Nope", 1);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_ERROR, 9));
    host.Tick(500);
    for (const ZYLSENTPDU& pdu : host.m_vSent)
        EXPECT_TRUE(pdu.from != a.Id() || pdu.command == ZYL_CMD_ERROR) << pdu.command;
    EXPECT_EQ(FromA(ZYL_CMD_ERROR).size(), 9u);
    for (const auto& pdu : FromA(ZYL_CMD_ERROR))
        EXPECT_EQ(ZylErrorCodeOf(pdu), ZYL_ERROR_OTHER);
    EXPECT_EQ(host.SentWith(ZYL_CMD_EXPLORER_FOLDER_REQUEST).size(), 8u); // they did arrive
}

TEST_F(CZylBrowseTest, FileListsForDownloads) {
    Share(u"Docs", "work/papers");
    Touch("work/papers/2005/a.txt", 11);
    Touch("work/papers/2005/deep/b.txt", 12);
    for (int i = 0; i < 18; ++i)
        Touch(fmt::format("work/papers/top{:02}.txt", i), 1);
    std::filesystem::create_directories(files.Path() / "work/papers/emptytree/x/y");
    Touch("music/song.mp3", 9);
    Share(u"Song", "music/song.mp3", 0);
    // Files of the deepest folders first, then of the folder itself, under the share name as asked.
    RequestFileList(41, u"docs", 1);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_FILE_LIST_REPLY, 2));
    host.Tick(100);
    auto pages = PagesFromA(ZYL_CMD_FILE_LIST_REPLY);
    EXPECT_EQ(ShapesFromA(ZYL_CMD_FILE_LIST_REPLY), (SHAPES{{0, 20, 0, 16}, {0, 20, 16, 4}}));
    EXPECT_EQ(pages.at(0).taskId, 41u);
    const std::vector<std::u16string> paths = pages[0].Names();
    EXPECT_EQ(std::vector(paths.begin(), paths.begin() + 2),
              (std::vector<std::u16string>{u"docs\\2005\\deep\\b.txt", u"docs\\2005\\a.txt"}));
    EXPECT_TRUE(Shares().GetShare(0)->FindCurrentUser(b.Id()) < 0); // file lists record no user
    // A tree without files, or a shared file asked as a folder: the empty-list notice (time, task id).
    RequestFileList(42, u"Docs\\emptytree", 1);
    RequestFileList(8, u"Song", 1);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_EMPTY_FILE_LIST, 2));
    std::vector<uint32_t> tasks; // the two listings run side by side
    for (const auto& notice : FromA(ZYL_CMD_EMPTY_FILE_LIST))
        tasks.push_back(notice.payload.size() == 12 ? ZylWords(notice)[2] : 0);
    std::sort(tasks.begin(), tasks.end());
    EXPECT_EQ(tasks, (std::vector<uint32_t>{8, 42}));
    // A single file: one page, under the share name in the asker's case, and it counts as a download.
    RequestFileList(7, u"SONG", 0);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_FILE_LIST_REPLY, 3));
    pages = PagesFromA(ZYL_CMD_FILE_LIST_REPLY);
    EXPECT_EQ(pages[2].taskId, 7u);
    EXPECT_EQ(pages[2].Shape(), (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_EQ(pages[2].Names(), std::vector<std::u16string>{u"SONG"});
    EXPECT_EQ(pages[2].items[0].size, 9u);
    ZYLSHAREUSER* entry = nullptr;
    ASSERT_EQ(Shares().GetShare(1)->FindCurrentUser(b.Id(), &entry), 0);
    EXPECT_EQ(entry->downloads, 1);
    RequestFileList(44, u"Song", 0);
    host.Tick(20);
    EXPECT_EQ(entry->downloads, 2);
    // A missing file or folder: "file removed" with the request's task id, so that that task stops.
    RequestFileList(45, u"Docs\\2005\\gone.txt", 0);
    RequestFileList(46, u"Docs\\gone", 1);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_ERROR, 2));
    host.Tick(100);
    EXPECT_EQ(FromA(ZYL_CMD_EMPTY_FILE_LIST).size(), 2u);
    for (uint32_t i = 0; i < 2; ++i)
        EXPECT_EQ(ZylWords(FromA(ZYL_CMD_ERROR).at(i)),
                  (std::vector<uint32_t>{ZYL_ERROR_FILE_REMOVED, 45 + i, 0, 0}));
}

TEST_F(CZylBrowseTest, NamesThatCannotTravelAreLeftOutWithAWarningTheServingUserSees) {
    CZylFakeWindow shown;
    a.Plugin().SetLogWindow(&shown);
    Share(u"Docs", "docs");
    for (const char* name :
         {"docs/ok.txt", "docs/tab\tname.txt", "docs/line\nfeed.txt", "docs/bad\xFFutf8.txt"})
        Touch(name);
    for (int i = 0; i < 7; ++i) // ten left out of each listing: every one is named
        Touch("docs/bell\a" + std::to_string(i));
    // Share paths of 4+1+245+1+1 units (listed) and 4+1+245+1+10 (beyond the asker's 259).
    const std::string longName(245, 'n');
    Touch("docs/" + longName + "/a");
    Touch("docs/" + longName + "/tenletters");
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Docs", kAsked), 0);
    ASSERT_TRUE(WaitForListings(1));
    std::vector<std::u16string> names = PagesFromA(ZYL_CMD_EXPLORER_FOLDER_REPLY).at(0).Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{ZylFromUtf8(longName), u"ok.txt"}));
    RequestFileList(7, u"Docs", 1);
    ASSERT_TRUE(WaitFromA(ZYL_CMD_FILE_LIST_REPLY, 1));
    EXPECT_EQ(PagesFromA(ZYL_CMD_FILE_LIST_REPLY)[0].Names(),
              (std::vector<std::u16string>{u"Docs\\" + ZylFromUtf8(longName) + u"\\a", u"Docs\\ok.txt"}));
    // A warning names each file left out (control characters as "?"), in each listing.
    host.Tick(10);
    for (std::u16string_view name : {u"tab?name.txt", u"line?feed.txt", u"bad\uFFFDutf8.txt"})
        EXPECT_EQ(ZylLogged(shown, name), 2u) << ZylToUtf8(name);
    EXPECT_EQ(ZylLogged(shown, u"path too long to list"), 1u);
    EXPECT_EQ(ZylLogged(shown, u"not listed"), 20u);
    EXPECT_EQ(ZylLogged(shown, u"more entries"), 0u);
    // Beyond ten, one line counts the rest.
    Share(u"Many", "many");
    for (int i = 0; i < 12; ++i)
        Touch("many/bell\a" + std::to_string(i));
    ASSERT_EQ(viewer->RequestExplorerFolder(u"Many", kAsked), 0);
    ASSERT_TRUE(WaitForListings(2));
    host.Tick(10);
    EXPECT_EQ(ZylLogged(shown, u"not listed"), 30u);
    EXPECT_EQ(ZylLogged(shown, u"\t2 more entries left out of the listing of "), 1u); // after date and level
    a.Plugin().SetLogWindow(nullptr);
}
