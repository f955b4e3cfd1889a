// The download flow against replies built by hand: layouts, windows, a peer's list, replies to drop.
#include "ZylTransferTestSupport.h"
#include "support/ZylScratchMount.h"

namespace {
class CZylDownloadFlowTest : public CZylTwoPluginTest {
protected:
    void SetUp() override {
        CZylTwoPluginTest::SetUp();
        AnswerForA();
    }
    CZylTask* Download(const std::u16string& remote, bool folder, const fs::path& into = {}) {
        const auto to = ZylFromFsPath(into.empty() ? Folder() : into);
        CZylTask* task =
            TasksB().CreateDownloadTask(u"S1.1000", remote, folder, to, Time(2007, 12, 24, 8, 30, 0));
        EXPECT_NE(task, nullptr);
        m_host.Tick(10);
        return task;
    }
    // A single-file download whose list is the one file of that size.
    CZylTask* FileOfSize(uint32_t size, const fs::path& into = {}) {
        CZylTask* task = Download(u"Docs\\f.bin", false, into);
        List(task, 1, 0, {{u"Docs\\f.bin", size, Time(2007, 5, 6, 7, 8, 9)}});
        return task;
    }
    void List(CZylTask* task, uint32_t total, uint32_t first, const std::vector<LISTENTRY>& entries) {
        DeliverToB(ZYL_CMD_FILE_LIST_REPLY, FileListReply(task->m_nTaskID, total, first, entries));
    }
    void Piece(CZylTask* task, int32_t offset, const std::string& data, int32_t last = 0, int32_t index = 0) {
        DeliverToB(ZYL_CMD_FILE_DATA_REPLY, FileDataReply(task->m_nTaskID, index, last, offset, data),
                   ZYL_CHANNEL_DATA);
    }
    fs::path Folder() const { return Root() / "dl"; }
    // Stopped on a failure, the task tells the other side to let go of the file (the notice's flag 1).
    void ExpectStoppedAndLetGo(CZylTask* task, const std::u16string& reason) {
        ExpectStopped(task, reason);
        const auto notices = Carried(*m_pB, ZYL_CMD_CLOSE_NOTICE);
        ASSERT_FALSE(notices.empty());
        EXPECT_EQ(notices.back().back(), 1);
    }
};
} // namespace

TEST_F(CZylDownloadFlowTest, RequestsHaveTheExactLayouts) {
    // Task id, [file index,] share time 2007-12-24 08:30:00, then folder flag and name, or name and offset.
    const std::vector<uint8_t> shareTime = {0x40, 0x00, 0x7D, 0x7C, 0xC2, 0x1E, 0x00, 0x00};
    const auto id = [](const CZylTask* t) { return std::vector<uint8_t>{0, 0, 0, uint8_t(t->m_nTaskID)}; };
    CZylTask* folder = Download(u"Docs\\music", true);
    const auto sent = Sent(*m_pB, ZYL_CMD_FILE_LIST_REQUEST);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].channel == ZYL_CHANNEL_REQUEST && sent[0].to == u"S1.1000");
    EXPECT_EQ(sent[0].payload,
              Concat({id(folder), shareTime, {0, 0, 0, 1, 0, 0, 0, 10}, Ascii("Docs\\music")}));
    CZylTask* task = FileOfSize(100);
    const auto name = Concat({{0, 0, 0, 10}, Ascii("Docs\\f.bin")});
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_FILE_DATA_REQUEST),
              PAYLOADS{Concat({id(task), {0, 0, 0, 0}, shareTime, name, {0, 0, 0, 0}})});
}

TEST_F(CZylDownloadFlowTest, WindowsForFilesOfAwkwardSizes) {
    // Every piece at once, the empty one at the size too: a file of exactly the window asks for it later.
    FileOfSize(7 * ZYL_BLOCK_SIZE);
    EXPECT_EQ(RequestedOffsets(), Blocks(0, 7));
    CZylTask* window = FileOfSize(ZYL_PIECES_IN_FLIGHT * ZYL_BLOCK_SIZE);
    EXPECT_EQ(RequestedOffsets(), Blocks(0, ZYL_PIECES_IN_FLIGHT - 1));
    Piece(window, 0, std::string(ZYL_BLOCK_SIZE, 'c'));
    EXPECT_EQ(RequestedOffsets(), Blocks(ZYL_PIECES_IN_FLIGHT, ZYL_PIECES_IN_FLIGHT));
    // A longer file: each arrival asks for the piece a window further on, up to the size.
    CZylTask* longer = FileOfSize((ZYL_PIECES_IN_FLIGHT + 2) * ZYL_BLOCK_SIZE);
    RequestedOffsets();
    for (int32_t i = 0; i < 4; ++i)
        Piece(longer, i * ZYL_BLOCK_SIZE, std::string(ZYL_BLOCK_SIZE, 'd'));
    EXPECT_EQ(RequestedOffsets(), Blocks(ZYL_PIECES_IN_FLIGHT, ZYL_PIECES_IN_FLIGHT + 2));
    // A folder: the window runs on across the ends of its files, so the next file is asked for early.
    CZylTask* folder = Download(u"Docs", true);
    const int32_t first = (ZYL_PIECES_IN_FLIGHT - 2) * ZYL_BLOCK_SIZE + 5;
    List(folder, 3, 0,
         {{u"Docs\\a", uint32_t(first), {}}, {u"Docs\\b", 0, {}}, {u"Docs\\c", 3 * ZYL_BLOCK_SIZE, {}}});
    PIECES expected;
    for (int32_t offset : Blocks(0, ZYL_PIECES_IN_FLIGHT - 2))
        expected.emplace_back(0, offset);
    expected.emplace_back(1, 0);
    EXPECT_EQ(RequestedPieces(), expected);
    for (int32_t i = 0; i < 5; ++i)
        Piece(folder, i * ZYL_BLOCK_SIZE, std::string(ZYL_BLOCK_SIZE, 'a'));
    EXPECT_EQ(RequestedPieces(),
              (PIECES{{2, 0}, {2, ZYL_BLOCK_SIZE}, {2, 2 * ZYL_BLOCK_SIZE}, {2, 3 * ZYL_BLOCK_SIZE}}));
}

TEST_F(CZylDownloadFlowTest, AListInPagesIsWholeBeforeAnythingIsAskedAndAFinishedTaskLetsGo) {
    CZylTask* task = Download(u"Docs\\music", true);
    List(task, 2, 0, {{u"Docs\\music\\live\\a.bin", 7200, Time(2007, 5, 6, 7, 8, 9)}});
    EXPECT_TRUE(RequestedOffsets().empty());
    List(task, 2, 1, {{u"Docs\\music\\b.txt", 3, Time(2006, 1, 2, 3, 4, 5)}});
    EXPECT_EQ(task->m_nTotalSize, 7203);
    EXPECT_EQ(RequestedPieces(), (PIECES{{0, 0}, {0, ZYL_BLOCK_SIZE}, {1, 0}}));
    const std::string first = RandomBytes(7200, 1);
    Piece(task, 0, first.substr(0, ZYL_BLOCK_SIZE));
    const fs::path a = Folder() / "music" / "live" / "a.bin";
    // Writes are gathered; a database save writes them first, so it never records more than the file holds.
    ASSERT_EQ(TasksB().LoadSave(0), 0);
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(fs::path(a) += ".fst"), first.substr(0, ZYL_BLOCK_SIZE)));
    EXPECT_FALSE(fs::exists(a));
    Piece(task, ZYL_BLOCK_SIZE, first.substr(ZYL_BLOCK_SIZE), 1);
    Piece(task, 0, "xyz", 1, 1);
    EXPECT_EQ(task->m_bFinished, 1);
    ZylPayloadWriter notice;
    notice.Write(Time(2008, 1, 10, 21, 20, 0)).WriteInt32(task->m_nTaskID).WriteInt32(ZYL_TASK_DOWNLOAD);
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_CLOSE_NOTICE),
              PAYLOADS{notice.WriteString(u"Docs\\music").WriteInt32(0).Bytes()});
}

TEST_F(CZylDownloadFlowTest, AnEmptyRemoteFolderFinishesAtOnceButNoSingleFileOrStoppedTask) {
    // The empty-list notice, or a list of total 0; never for a single file (it stops), nor a stopped task.
    for (const bool notice : {true, false})
        for (const int kind : {0, 1, 2}) {
            CZylTask* task = Download(kind == 1 ? u"Docs\\f.bin" : u"Docs\\empty", kind != 1);
            if (kind == 2)
                task->StopTask();
            DeliverToB(notice ? ZYL_CMD_EMPTY_FILE_LIST : ZYL_CMD_FILE_LIST_REPLY,
                       notice ? TaskReply(task->m_nTaskID, {}) : FileListReply(task->m_nTaskID, 0, 0, {}));
            EXPECT_EQ(task->m_bFinished, kind == 0 ? 1 : 0) << notice << kind;
            EXPECT_EQ(task->m_bRunning, 0);
            EXPECT_EQ(task->m_sLastError.empty(), kind != 1);
        }
}

TEST_F(CZylDownloadFlowTest,
       AListThatCanNeverCompleteOrLeadsOutOfTheRemoteFolderStopsTheTaskAndCreatesNothing) {
    CZylTask* task = Download(u"Pics", true);
    auto countBeyondThePayload = FileListReply(task->m_nTaskID, 200000, 0, {{u"Pics\\a", 1, {}}});
    countBeyondThePayload[8 + 4 * 4 + 1] = 0x01; // 65537 entries claimed, one carried
    std::vector<std::vector<uint8_t>> lists = {countBeyondThePayload,
                                               FileListReply(task->m_nTaskID, 1, 1, {{u"Pics\\a", 1, {}}})};
    for (const std::u16string name : {u"Pics\\..\\..\\x", u"Other\\x", u"Pics", u"Pics\\.\\x", u"Pics\\\\x",
                                      u"Pics\\a/../../x", u"Pics\\line\nfeed"})
        lists.push_back(FileListReply(task->m_nTaskID, 2, 0, {{u"Pics\\ok.jpg", 1, {}}, {name, 1, {}}}));
    lists.push_back(FileListReply(task->m_nTaskID, 1, 0, {{u"Pics\\big", 0x80000000u, {}}}));
    lists.push_back(FileListReply(task->m_nTaskID, 1, 0, {{u"Pics\\" + std::u16string(255, u'n'), 1, {}}}));
    for (const auto& list : lists) {
        DeliverToB(ZYL_CMD_FILE_LIST_REPLY, list);
        const auto at = &list - &lists[0];
        EXPECT_TRUE(task->m_vFiles.empty() && !task->m_bFileListEnd && !task->m_bRunning) << at;
        EXPECT_NE(task->m_sLastError.find(at < 2 ? u"" : u"was refused"), std::u16string::npos);
        EXPECT_FALSE(task->m_sLastError.empty());
        task->Start();
    }
    // The remote folder's own name may differ in case; what lies below it is accepted.
    List(task, 1, 0, {{u"PICS\\sub\\ok.jpg", 7168, {}}});
    ASSERT_EQ(task->m_vFiles.size(), 1u);
    EXPECT_EQ(task->m_vFiles[0]->GetFullName(), ZylFromFsPath(Folder() / "PICS" / "sub" / "ok.jpg"));
    EXPECT_EQ(RequestedOffsets(), Blocks(0, 1));
    EXPECT_FALSE(fs::exists(Root() / "x") || fs::exists(Folder()));
    // A data reply whose length runs past the payload stops the task too, and writes nothing.
    auto piece = FileDataReply(task->m_nTaskID, 0, 0, 0, std::string(100, 'x'));
    piece[34] = 0x1C, piece[35] = 0x00; // the length field says 7168; 100 bytes are present
    DeliverToB(ZYL_CMD_FILE_DATA_REPLY, piece, ZYL_CHANNEL_DATA);
    EXPECT_EQ(std::make_pair(task->m_vFiles[0]->m_nFileOffset, task->m_nCurrentSize), std::make_pair(0, 0));
    EXPECT_TRUE(task->m_bRunning == 0 && !task->m_sLastError.empty());
    // A single-file task takes only its own file; a remote folder named ".." leads nowhere either.
    CZylTask* single = Download(u"Pics\\a.jpg", false);
    List(single, 1, 0, {{u"Pics\\b.jpg", 4, {}}});
    EXPECT_TRUE(single->m_vFiles.empty());
    CZylTask* dots = Download(u"Pics\\..", true);
    List(dots, 1, 0, {{u"Pics\\..\\x", 4, {}}});
    EXPECT_TRUE(dots->m_vFiles.empty());
}

TEST_F(CZylDownloadFlowTest, DuplicateBlocksOtherIndexesOtherIdsAndOtherPeersAreDropped) {
    CZylTask* task = Download(u"Docs", true);
    List(task, 2, 0, {{u"Docs\\a", 3 * ZYL_BLOCK_SIZE, {}}, {u"Docs\\b", 5, {}}});
    const std::string block(ZYL_BLOCK_SIZE, 'a');
    Piece(task, 0, block);
    Piece(task, 0, std::string(ZYL_BLOCK_SIZE, 'z')); // the same offset again
    Piece(task, ZYL_BLOCK_SIZE, block, 0, 1);         // another file index
    Piece(task, 2 * ZYL_BLOCK_SIZE, block);           // out of order
    Piece(task, ZYL_BLOCK_SIZE, block + "a");         // longer than a block
    // Another task's id, another peer, a status that is no success.
    for (const auto& [id, from, status] :
         {std::tuple{task->m_nTaskID + 100, u"S1.1000", 0}, std::tuple{task->m_nTaskID, u"S1.1002", 0},
          std::tuple{task->m_nTaskID, u"S1.1000", 3}})
        DeliverToB(ZYL_CMD_FILE_DATA_REPLY, FileDataReply(id, 0, 0, ZYL_BLOCK_SIZE, block, status),
                   ZYL_CHANNEL_DATA, from);
    EXPECT_TRUE(task->m_nCurrentSize == ZYL_BLOCK_SIZE && task->m_vFiles[0]->m_nFileOffset == ZYL_BLOCK_SIZE);
    ASSERT_EQ(TasksB().LoadSave(0), 0); // writes out the gathered pieces
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(Folder() / "Docs" / "a.fst"), block));
    // Neither an empty-list notice nor an upload's size answer belongs to a download whose list is whole.
    DeliverToB(ZYL_CMD_EMPTY_FILE_LIST, TaskReply(task->m_nTaskID, {}));
    DeliverToB(ZYL_CMD_SYNC_FILE_SIZE_REPLY, TaskReply(task->m_nTaskID, {0, 0}));
    EXPECT_EQ(std::make_pair(task->m_bRunning, task->m_bFinished), std::make_pair(1, 0));
    EXPECT_TRUE(Sent(*m_pB, ZYL_CMD_WRITE_FILE_DATA_REQUEST).empty());
    // A stopped task takes nothing.
    task->StopTask();
    Piece(task, ZYL_BLOCK_SIZE, block);
    EXPECT_EQ(task->m_vFiles[0]->m_nFileOffset, ZYL_BLOCK_SIZE);
}

TEST_F(CZylDownloadFlowTest, ResumingCutsTheTemporaryFileToTheRecordAndFetchesAgainAFileGoneMissing) {
    CZylTask* task = Download(u"Docs", true);
    List(task, 2, 0, {{u"Docs\\a", 3, {}}, {u"Docs\\b", 4 * ZYL_BLOCK_SIZE, {}}});
    Piece(task, 0, "abc", 1, 0);
    Piece(task, 0, std::string(ZYL_BLOCK_SIZE, 'b'), 0, 1);
    RequestedOffsets();
    task->StopTask();
    const fs::path temp = Folder() / "Docs" / "b.fst";
    // Bytes the database never recorded: the file holds two blocks, the record one.
    std::ofstream(temp, std::ios::binary | std::ios::app) << std::string(ZYL_BLOCK_SIZE, '?');
    task->Start();
    EXPECT_EQ(fs::file_size(temp), static_cast<uintmax_t>(ZYL_BLOCK_SIZE));
    EXPECT_EQ(RequestedOffsets(), Blocks(1, 4));
    // A file that holds less than recorded brings the offset and the task's size back.
    task->StopTask();
    fs::resize_file(temp, 1000);
    task->Start();
    EXPECT_TRUE(task->m_vFiles[1]->m_nFileOffset == 1000 && task->m_nCurrentSize == 1003);
    EXPECT_EQ(RequestedOffsets().at(0), 1000);
    // A file recorded complete but gone after a login is fetched again; the next resumes at its offset.
    const int32_t id = task->m_nTaskID;
    ASSERT_EQ(m_host.Logout(*m_pB), 0);
    fs::remove(Folder() / "Docs" / "a");
    m_pB->Recreate();
    ASSERT_EQ(m_host.Login(*m_pB), 0);
    m_host.Connect(*m_pA, *m_pB);
    m_host.Tick(20);
    m_host.m_vSent.clear();
    CZylTask* loaded = TasksB().GetTaskAt(0);
    ASSERT_EQ(loaded->m_nTaskID, id);
    loaded->Start();
    EXPECT_EQ(std::make_pair(loaded->m_nFileIndex, loaded->m_nCurrentSize), std::make_pair(0, 1000));
    PIECES expected = {{0, 0}};
    for (int32_t at = 1000; at < 4 * ZYL_BLOCK_SIZE; at += ZYL_BLOCK_SIZE)
        expected.emplace_back(1, at);
    EXPECT_EQ(RequestedPieces(), expected);
}

TEST_F(CZylDownloadFlowTest, StopCloseAndTimeAccounting) {
    CZylTask* task = FileOfSize(10 * ZYL_BLOCK_SIZE);
    m_pB->Platform().m_nTick += 1900;
    Piece(task, 0, std::string(ZYL_BLOCK_SIZE, 's'));
    EXPECT_FLOAT_EQ(task->GetSpeed(), 7.168f); // whole seconds: 1
    m_pB->Platform().m_nTick += 100;
    EXPECT_EQ(task->GetSecondsLeft(), 9 * ZYL_BLOCK_SIZE / 3584); // 7168 bytes in 2 s
    // Sizes a damaged database may hold: their difference does not fit an int32 and must not wrap.
    task->m_nTotalSize = INT32_MAX, task->m_nCurrentSize = INT32_MIN;
    EXPECT_EQ(task->GetSecondsLeft(), 1198372); // 4294967295 bytes at 3584 bytes a second
    m_host.m_vSent.clear();
    m_pB->Platform().m_nTick += 1900;
    task->StopTask();
    EXPECT_TRUE(task->m_nTimeSpent == 3 && task->GetElapsedSeconds() == 3 && task->GetSpeed() == 0.0f &&
                task->GetSecondsLeft() == -1); // 3.9 s count whole seconds
    // Stopping a stopped task sends no second notice.
    task->StopTask();
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_CLOSE_NOTICE).size(), 1u);
}

TEST_F(CZylDownloadFlowTest, UnfinishedTasksAnswerListsAtMostTwentyOfTheAskersActiveTasks) {
    for (int i = 0; i < 23; ++i)
        Download(u"Docs\\f" + ZylFromUtf8(std::to_string(i)), i == 0);
    DeliverToB(ZYL_CMD_EMPTY_FILE_LIST, TaskReply(TasksB().GetTaskAt(0)->m_nTaskID, {})); // finished
    TasksB().RemoveTaskById(TasksB().GetTaskAt(1)->m_nTaskID);
    TasksB().CreateDownloadTask(u"S1.1002", u"Else\\x", false, ZylFromFsPath(Folder()), {});
    m_host.m_vSent.clear();
    ZylPayloadWriter query, expected;
    DeliverToB(ZYL_CMD_UNFINISHED_TASKS_QUERY, query.Write(Time(2008, 1, 1, 0, 0, 0)).Bytes());
    expected.Write(Time(2008, 1, 10, 21, 20, 0)).WriteInt32(20);
    for (int i = 2; i < 22; ++i)
        expected.WriteInt32(ZYL_TASK_DOWNLOAD).WriteString(u"Docs\\f" + ZylFromUtf8(std::to_string(i)));
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_UNFINISHED_TASKS_REPLY), PAYLOADS{expected.Bytes()});
}

TEST_F(CZylDownloadFlowTest, StartAllAsksForClosedChannelsAndStartsAtMostMaxTaskNumberAndTheRestAsOthersEnd) {
    std::vector<CZylTask*> tasks;
    for (int i = 0; i < 4; ++i)
        tasks.push_back(Download(u"Docs\\d" + ZylFromUtf8(std::to_string(i)), true));
    m_host.Disconnect(*m_pA, *m_pB);
    EXPECT_EQ(tasks[0]->m_bRunning, 0); // the peer's channels closed: stopped
    m_pB->m_vChannelRequests.clear();
    m_host.Logout(*m_pA); // the channels cannot open while A is away
    m_host.m_vSent.clear();
    TasksB().SetMaxTaskNumber(2);
    TasksB().StartAllTasks();
    EXPECT_EQ(tasks[0]->m_bRunning, 1);
    EXPECT_FALSE(m_pB->m_vChannelRequests.empty());
    EXPECT_TRUE(Carried(*m_pB, ZYL_CMD_FILE_LIST_REQUEST).empty());
    ASSERT_EQ(m_host.Login(*m_pA), 0);
    m_host.Connect(*m_pA, *m_pB);
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_FILE_LIST_REQUEST).size(), 2u);
    EXPECT_TRUE(tasks[2]->m_bRunning == 0 && tasks[2]->m_bWaitingForSlot);
    // One ends: the next in order starts, and only it.
    DeliverToB(ZYL_CMD_EMPTY_FILE_LIST, TaskReply(tasks[1]->m_nTaskID, {}));
    m_host.Tick(10);
    EXPECT_EQ(std::make_pair(tasks[2]->m_bRunning, tasks[3]->m_bRunning), std::make_pair(1, 0));
    // Stopped by the user, a waiting task no longer waits, and a finished one is not started again.
    TasksB().SetMaxTaskNumber(1);
    TasksB().StopAllTasks();
    TasksB().StartAllTasks();
    EXPECT_FALSE(tasks[1]->m_bWaitingForSlot);
    tasks[2]->StopTask();
    tasks[0]->StopTask();
    m_host.Tick(20);
    EXPECT_EQ(std::make_pair(tasks[2]->m_bRunning, tasks[3]->m_bRunning), std::make_pair(0, 1));
    // Set to start every task when its user's channels open, those beyond the limit wait for a place.
    TasksB().SetAutoStartAllTasks(1);
    m_host.Disconnect(*m_pA, *m_pB);
    m_host.Connect(*m_pA, *m_pB);
    EXPECT_EQ(std::make_tuple(tasks[0]->m_bRunning, tasks[2]->m_bRunning, tasks[3]->m_bRunning),
              std::make_tuple(1, 0, 0));
    tasks[0]->StopTask(); // a stop frees a place as an end does
    m_host.Tick(20);
    EXPECT_EQ(std::make_pair(tasks[2]->m_bRunning, tasks[3]->m_bRunning), std::make_pair(1, 0));
}

TEST_F(CZylDownloadFlowTest, WriteFailuresStopTheTaskWithTheReasonAndAResumeContinuesOnceTheyAreGone) {
    // Something in the way of the file or of its folder; a link is not followed to a folder elsewhere.
    fs::create_directories(Folder() / "Box" / "a.txt" / "inside");
    fs::create_directories(Root() / "elsewhere");
    fs::create_directory_symlink(Root() / "elsewhere", Folder() / "Pics");
    ZylWriteFileBytes(Folder() / "Docs", "x");
    for (const auto& [remote, reason] : std::vector<std::pair<std::u16string, std::u16string>>{
             {u"Box", u"a folder is in the way of the file: " + ZylFromFsPath(Folder() / "Box" / "a.txt")},
             {u"Pics", u"a symbolic link is in the way, and downloads do not follow links: " +
                           ZylFromFsPath(Folder() / "Pics")},
             {u"Docs", u"a file is in the way of a folder: " + ZylFromFsPath(Folder() / "Docs")}}) {
        CZylTask* task = Download(remote, true);
        List(task, 1, 0, {{remote + u"\\a.txt", 2, {}}});
        Piece(task, 0, "ab", 1);
        ExpectStoppedAndLetGo(task, reason);
    }
    EXPECT_TRUE(fs::is_empty(Root() / "elsewhere") && fs::exists(Folder() / "Box" / "a.txt" / "inside"));
    TasksB().RemoveTaskById(TasksB().GetTaskAt(1)->m_nTaskID);
    EXPECT_TRUE(fs::is_symlink(Folder() / "Pics"));
    // The rename that failed is no success: once the folder is gone a start fetches the file again.
    fs::remove_all(Folder() / "Box" / "a.txt");
    CZylTask* box = TasksB().GetTaskAt(0);
    m_host.m_vSent.clear();
    box->Start();
    EXPECT_EQ(RequestedOffsets(), Blocks(0, 0));
    Piece(box, 0, "ab", 1);
    EXPECT_EQ(ZylReadFileBytes(Folder() / "Box" / "a.txt"), "ab");
    // A read-only download folder: a small file system of its own (as root), or its rights.
    CZylScratchMount mount;
    const fs::path small = Root() / "small";
    const std::string unmounted = mount.Mount(small, 64 * 1024);
    if (!unmounted.empty() && geteuid() == 0)
        GTEST_SKIP() << unmounted;
    if (unmounted.empty()) {
        ASSERT_TRUE(mount.SetReadOnly(true));
    } else {
        fs::create_directories(small);
        fs::permissions(small, fs::perms::owner_read | fs::perms::owner_exec);
    }
    CZylTask* readOnly = FileOfSize(2, small);
    Piece(readOnly, 0, "ab", 1);
    const std::u16string why = unmounted.empty() ? u"read-only file system: " : u"permission denied: ";
    ExpectStoppedAndLetGo(readOnly, why + ZylFromFsPath(small / "f.bin"));
    TasksB().RemoveTaskById(readOnly->m_nTaskID);
}

TEST_F(CZylDownloadFlowTest, RestartAndRemoveDeleteOnlyWhatTheTaskWroteAndRestartDropsTheOldId) {
    // The user's own file under the name of an empty remote file the task has not reached yet.
    ZylWriteFileBytes(Folder() / "Docs" / "e", "mine");
    CZylTask* task = Download(u"Docs", true);
    const auto list = [&] {
        List(task, 3, 0, {{u"Docs\\a", 3, {}}, {u"Docs\\b", 9, {}}, {u"Docs\\e", 0, {}}});
    };
    list();
    Piece(task, 0, "abc", 1, 0);
    Piece(task, 0, "bbb", 0, 1);
    const int32_t old = task->m_nTaskID;
    m_host.m_vSent.clear();
    ASSERT_EQ(TasksB().RestartAllTasks(), 0); // the only task
    EXPECT_GT(task->m_nTaskID, old);
    EXPECT_TRUE(task->m_nCurrentSize == 0 && task->m_vFiles.empty());
    EXPECT_FALSE(fs::exists(Folder() / "Docs" / "a") || fs::exists(Folder() / "Docs" / "b.fst"));
    EXPECT_EQ(ZylReadFileBytes(Folder() / "Docs" / "e"), "mine");
    // The old id's close notice, then a new list request under the new id; the old id's list is dropped.
    const auto notices = Carried(*m_pB, ZYL_CMD_CLOSE_NOTICE),
               lists = Carried(*m_pB, ZYL_CMD_FILE_LIST_REQUEST);
    ASSERT_EQ(std::make_pair(notices.size(), lists.size()), std::make_pair(size_t(1), size_t(1)));
    EXPECT_EQ(std::make_pair(notices[0][11], lists[0][3]),
              std::make_pair(uint8_t(old), uint8_t(task->m_nTaskID)));
    DeliverToB(ZYL_CMD_FILE_LIST_REPLY, FileListReply(old, 1, 0, {{u"Docs\\a", 5, {}}}));
    EXPECT_TRUE(task->m_vFiles.empty());
    list();
    Piece(task, 0, "abc", 1, 0);
    TasksB().RemoveTaskById(task->m_nTaskID);
    EXPECT_FALSE(fs::exists(Folder() / "Docs" / "a"));
    EXPECT_EQ(ZylReadFileBytes(Folder() / "Docs" / "e"), "mine");
    // Removed again, it touches nothing: the names are the user's or another download's by now.
    ZylWriteFileBytes(Folder() / "Docs" / "a", "new");
    ZylWriteFileBytes(Folder() / "Docs" / "a.fst", "new");
    TasksB().RemoveTaskById(task->m_nTaskID);
    EXPECT_TRUE(fs::exists(Folder() / "Docs" / "a") && fs::exists(Folder() / "Docs" / "a.fst"));
    // Removed before its end, it takes the empty file it completed and the temporary file it began.
    CZylTask* half = Download(u"Docs", true);
    List(half, 2, 0, {{u"Docs\\z", 0, {}}, {u"Docs\\y", 2 * ZYL_BLOCK_SIZE, {}}});
    Piece(half, 0, "", 1, 0);
    Piece(half, 0, std::string(ZYL_BLOCK_SIZE, 'y'), 0, 1);
    ASSERT_TRUE(fs::exists(Folder() / "Docs" / "z"));
    TasksB().RemoveTaskById(half->m_nTaskID);
    EXPECT_FALSE(fs::exists(Folder() / "Docs" / "z") || fs::exists(Folder() / "Docs" / "y.fst"));
}
