// The task database line by line, damaged or foreign files set aside, and the task ids of the store.
#include "ZylTransferTestSupport.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"

namespace {
// A plug-in object that is not logged in: its task manager uses the test's database path and sends nothing.
class CZylTaskDbTest : public ::testing::Test {
protected:
    void SetUp() override { Prepare(m_plugin, u"S1.1001"); }
    void Prepare(CZylInterface& plugin, std::u16string_view login) {
        CZylTaskManager& tasks = plugin.GetTaskManager();
        tasks.SetLoginId(login);
        tasks.SetDbPath(ZylFromFsPath(DbPath()));
        tasks.SetUserList(&plugin.GetUserList());
    }
    fs::path DbPath() const { return m_temp.Path() / "fst-S1.1001.fsd"; }
    std::u16string Folder() const { return m_temp.WidePath(u"dl"); }
    CZylTaskManager& Tasks() { return m_plugin.GetTaskManager(); }
    bool Has(std::u16string_view line) const {
        return ZylReadUtf16LeFile(DbPath()).find(line) != std::u16string::npos;
    }
    void Deliver(uint32_t command, const std::vector<uint8_t>& payload) {
        Tasks().Dispatch(command, payload.data(), static_cast<int32_t>(payload.size()), u"S1.1000");
    }
    // A folder download with a complete list of two files, the first of them complete.
    CZylTask* MakeDownload() {
        CZylTask* task = Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\music", true, Folder(),
                                                    Time(2007, 12, 24, 8, 30, 0));
        EXPECT_NE(task, nullptr);
        Deliver(ZYL_CMD_FILE_LIST_REPLY,
                FileListReply(task->m_nTaskID, 2, 0,
                              {{u"Docs\\music\\a.txt", 100, Time(2007, 5, 6, 7, 8, 9)},
                               {u"Docs\\music\\live\\b.bin", 7168, Time(2007, 5, 6, 7, 8, 10)}}));
        Deliver(ZYL_CMD_FILE_DATA_REPLY, FileDataReply(task->m_nTaskID, 0, 1, 0, std::string(100, 'x')));
        return task;
    }
    CZylTempDir m_temp;
    CZylFakePlatform m_platform;
    CZylInterface m_plugin{m_platform};
};
} // namespace

TEST_F(CZylTaskDbTest, WritesTheExactLinesAndReadsThemBackStoppedAndTheSameToTheByte) {
    MakeDownload();
    CZylTask* upload = Tasks().CreateUploadTask(u"S1.1000", m_temp.WidePath(u"up"), u"notes.txt", false,
                                                u"Inbox", Time(2007, 12, 25, 9, 0, 0));
    ASSERT_NE(upload, nullptr);
    CZylTask* gone = Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\gone.txt", false, Folder(), {});
    ASSERT_EQ(Tasks().RemoveTaskById(gone->m_nTaskID), 0);
    // A list page that does not complete the list is not written.
    CZylTask* waiting =
        Tasks().CreateDownloadTask(u"S1.1000", u"Pics\\a=b.jpg", false, Folder(), Time(2007, 2, 3, 4, 5, 6));
    Deliver(ZYL_CMD_FILE_LIST_REPLY, FileListReply(waiting->m_nTaskID, 2, 0, {{u"Pics\\a=b.jpg", 5, {}}}));
    Tasks().SetAutoStartAllTasks(1);
    Tasks().SetMaxTaskNumber(3);
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    // $D stands for the download folder, $U for the upload's.
    std::u16string expected =
        u"#zyl task file, version=Beta0.1\n#id=S1.1001\nAutoStartAllTasks=1\nMaxTaskNumber=3\nTaskNum=3\n"
        u"[TaskBegin]\nTaskID=1\nShareTime=2007-12-24 08:30:00\nType=2\nUserID=S1.1000\nFolder=1\n"
        u"Finished=0\nFileIndex=1\nTotalSize=7268\nCurrentSize=100\nAutoStartWhenUserOnline=1\n"
        u"FileListEnd=1\ntimespent=0\nTaskStartTime=2008-01-10 21:20:00\nRemoteName=Docs\\music\n"
        u"LocalPath=$D\nLocalName=music\nfile=2\n[FileBegin]\nRemoteName=Docs\\music\\a.txt\nLocalPath=$D\n"
        u"LocalName=/music/a.txt\nFileSize=100\nFileOffset=100\nLastModifiedTime=2007-05-06 07:08:09\n"
        u"[FileEnd]\n[FileBegin]\nRemoteName=Docs\\music\\live\\b.bin\nLocalPath=$D\n"
        u"LocalName=/music/live/b.bin\nFileSize=7168\nFileOffset=0\nLastModifiedTime=2007-05-06 07:08:10\n"
        u"[FileEnd]\n[TaskEnd]\n[TaskBegin]\nTaskID=2\nShareTime=2007-12-25 09:00:00\nType=4\n"
        u"UserID=S1.1000\nFolder=0\nFinished=0\nFileIndex=-1\nTotalSize=0\nCurrentSize=0\n"
        u"AutoStartWhenUserOnline=1\nFileListEnd=0\ntimespent=0\nTaskStartTime=2008-01-10 21:20:00\n"
        u"RemoteName=Inbox\nLocalPath=$U\nLocalName=notes.txt\nfile=0\n[TaskEnd]\n[TaskBegin]\nTaskID=4\n"
        u"ShareTime=2007-02-03 04:05:06\nType=2\nUserID=S1.1000\nFolder=0\nFinished=0\nFileIndex=-1\n"
        u"TotalSize=5\nCurrentSize=0\nAutoStartWhenUserOnline=1\nFileListEnd=0\ntimespent=0\n"
        u"TaskStartTime=2008-01-10 21:20:00\nRemoteName=Pics\\a=b.jpg\nLocalPath=$D\nLocalName=a=b.jpg\n"
        u"file=0\n[TaskEnd]\n";
    for (size_t at; (at = expected.find(u'$')) != std::u16string::npos;)
        expected.replace(at, 2, expected[at + 1] == u'D' ? Folder() : m_temp.WidePath(u"up"));
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()), expected);
    // Raw bytes: 16-bit little-endian units, no byte-order mark, LF only.
    const std::string written = ZylReadFileBytes(DbPath());
    EXPECT_TRUE(written.substr(0, 4) == std::string("#\0z\0", 4) &&
                written.find(std::string("\r\0", 2)) == std::string::npos);
    CZylFakePlatform platform;
    CZylInterface other(platform);
    Prepare(other, u"s1.1001"); // the header's id is compared without regard to case
    CZylTaskManager& loaded = other.GetTaskManager();
    ASSERT_EQ(loaded.LoadSave(1), 0);
    // Everything the file holds is written back below; what it does not hold is set on loading.
    ASSERT_EQ(loaded.GetTaskCount(), 3);
    const CZylTask* first = loaded.GetTaskAt(0);
    EXPECT_TRUE(first->m_bRunning == 0 && first->m_nPercent == 1 &&
                first->m_vFiles.size() == 2 && // 100 of 7268
                first->m_vFiles.back()->m_bFirstRequest == 1);
    // Written again under the same id text, the file is the same to the byte.
    loaded.SetLoginId(u"S1.1001");
    ASSERT_EQ(loaded.LoadSave(0), 0);
    EXPECT_EQ(ZylReadFileBytes(DbPath()), written);
    // Another user's database is set aside, and nothing is loaded from it.
    Prepare(other, u"S1.2000");
    ASSERT_EQ(loaded.LoadSave(1), 0);
    EXPECT_TRUE(loaded.GetTaskCount() == 0 && !fs::exists(DbPath()));
    EXPECT_EQ(ZylReadFileBytes(fs::path(DbPath()) += ".foreign-20080110-212000"), written);
    EXPECT_EQ(ZylToUtf8(loaded.GetDbNotice()), "the task database of S1.1001 was set aside as " +
                                                   DbPath().string() + ".foreign-20080110-212000");
}

TEST_F(CZylTaskDbTest, ProgressIsWrittenOnTheTimerWhatACrashWouldLoseAtOnceAndNothingWhileIdle) {
    CZylTask* task = MakeDownload(); // adding is written at once, its first file on the timer
    std::u16string text = ZylReadUtf16LeFile(DbPath());
    EXPECT_TRUE(Has(u"TaskNum=1\n") && !Has(u"FileOffset=100\n"));
    Deliver(ZYL_CMD_FILE_DATA_REPLY,
            FileDataReply(task->m_nTaskID, 1, 0, 0, std::string(ZYL_BLOCK_SIZE, 'y')));
    Tasks().OnTimer();
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()), text);
    m_platform.m_nTick += ZYL_TASK_SAVE_INTERVAL_MS;
    Tasks().OnTimer();
    EXPECT_TRUE(Has(u"FileOffset=100\n") && Has(u"CurrentSize=7268\n"));
    fs::remove(DbPath()); // saved, and nothing changed since: the timer leaves the disk alone
    m_platform.m_nTick += 5 * ZYL_TASK_SAVE_INTERVAL_MS;
    Tasks().OnTimer();
    EXPECT_FALSE(fs::exists(DbPath()));
    // A new task, a finished one, a stopped one (with the list it had), a removed one: written at once.
    Deliver(ZYL_CMD_FILE_DATA_REPLY, FileDataReply(task->m_nTaskID, 1, 1, ZYL_BLOCK_SIZE, ""));
    ASSERT_EQ(task->m_bFinished, 1);
    EXPECT_TRUE(Has(u"Finished=1\n"));
    CZylTask* stopped = Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\x", true, Folder(), {});
    EXPECT_TRUE(Has(u"TaskNum=2\n"));
    Deliver(ZYL_CMD_FILE_LIST_REPLY, FileListReply(stopped->m_nTaskID, 1, 0, {{u"Docs\\x\\y.txt", 5, {}}}));
    EXPECT_FALSE(Has(u"y.txt"));
    Tasks().StopAllTasks();
    EXPECT_TRUE(Has(u"RemoteName=Docs\\x\\y.txt\n"));
    // Removing a friend's tasks leaves another friend's.
    CZylTask* other = Tasks().CreateDownloadTask(u"S1.2000", u"Docs\\z", false, Folder(), {});
    ASSERT_EQ(Tasks().RemoveAllTasksOfUser(u"s1.1000"), 0);
    EXPECT_EQ(std::make_tuple(stopped->m_bRemoved, other->m_bRemoved, Has(u"TaskNum=1\n")),
              std::make_tuple(1, 0, true));
}

TEST_F(CZylTaskDbTest, AnUnreadableOrNoFileLoadsNothingAFailingWriteLeavesTheOldFileWholeAndNoPathFails) {
    const std::string unreadable = ZylToUtf16Le(u"garbage\n#di=S1.1001\nTaskNum=1\n");
    ZylWriteFileBytes(DbPath(), unreadable);
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_TRUE(Tasks().GetTaskCount() == 0 && !fs::exists(DbPath()));
    EXPECT_EQ(ZylReadFileBytes(fs::path(DbPath()) += ".damaged-20080110-212000"), unreadable);
    EXPECT_TRUE(Tasks().LoadSave(1) == 0 && Tasks().GetTaskCount() == 0);
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    const std::string before = ZylReadFileBytes(DbPath());
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()),
              ZylLines({u"#zyl task file, version=Beta0.1", u"#id=S1.1001", u"AutoStartAllTasks=0",
                        u"MaxTaskNumber=-1", u"TaskNum=0"}));
    // The temporary file beside the database cannot be made: a folder holds its name.
    fs::create_directory(fs::path(DbPath()) += ".tmp");
    MakeDownload();
    EXPECT_EQ(Tasks().LoadSave(0), -1);
    EXPECT_EQ(ZylReadFileBytes(DbPath()), before);
    // Without a path there is nothing to load or save.
    Tasks().SetDbPath(u"");
    EXPECT_EQ(std::make_pair(Tasks().LoadSave(0), Tasks().LoadSave(1)), std::make_pair(-1, -1));
}

TEST_F(CZylTaskDbTest, ADamagedFileKeepsEveryWholeTaskAndIsSetAsideWithTheRest) {
    MakeDownload();
    Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\two", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\three", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    std::u16string text = ZylReadUtf16LeFile(DbPath());
    const size_t third = text.find(u"[TaskBegin]\nTaskID=3");
    ASSERT_NE(third, std::u16string::npos);
    // A changed first line; the first task's file count inflated (its file blocks run over the rest); the
    // second task without its user; the third cut short in its block, and a count that no longer matches.
    text.replace(0, 4, u"#zy1");
    text.replace(text.find(u"file=2"), 6, u"file=2000000000");
    text.replace(text.find(u"UserID=S1.1000\nFolder=0"), 14, u"UserID=");
    text.resize(third + 40);
    ZylWriteFileBytes(DbPath(), ZylToUtf16Le(text));
    const std::string damaged = ZylReadFileBytes(DbPath());
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_EQ(Tasks().GetTaskCount(), 0);
    EXPECT_EQ(ZylReadFileBytes(fs::path(DbPath()) += ".damaged-20080110-212000"), damaged);
    // One task out of step costs only itself: the next one is read from its own begin marker.
    MakeDownload();
    const int32_t kept =
        Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\kept", false, Folder(), {})->m_nTaskID;
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    text = ZylReadUtf16LeFile(DbPath());
    text.replace(text.find(u"file=2"), 6, u"file=3");
    ZylWriteFileBytes(DbPath(), ZylToUtf16Le(text));
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    ASSERT_EQ(Tasks().GetTaskCount(), 1);
    EXPECT_TRUE(Tasks().GetTaskAt(0)->m_nTaskID == kept &&
                Tasks().GetTaskAt(0)->GetObjectRecord()->m_sRemoteName == u"Docs\\kept");
    EXPECT_EQ(ZylToUtf8(Tasks().GetDbNotice()),
              "the task database was set aside as " + DbPath().string() +
                  ".damaged-20080110-212000-2; 1 task read from it is kept");
    // What was read is the database now, and it loads clean.
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_TRUE(Tasks().GetTaskCount() == 1 && Tasks().GetDbNotice().empty());
}

TEST_F(CZylTaskDbTest, TaskIdsAreDrawnInTurnFromTheStoreAndATaskThatCannotDrawOrBreaksALineIsKeptOut) {
    auto create = [&](const std::u16string& remote, const std::u16string& user = u"S1.1000",
                      const std::u16string& folder = u"?") {
        return Tasks().CreateDownloadTask(user, remote, false, folder == u"?" ? Folder() : folder, {});
    };
    CZylTask* first = create(u"A\\1");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->m_nTaskID, 1);
    EXPECT_EQ(create(u"A\\2")->m_nTaskID, 2);
    EXPECT_EQ(m_platform.m_settings.m_mValues[u"taskid"], 3u);
    ASSERT_EQ(first->RestartTask(), 0);
    EXPECT_EQ(first->m_nTaskID, 3);
    // The counter goes on from what the store holds.
    m_platform.m_settings.m_mValues[u"taskid"] = 41;
    EXPECT_EQ(create(u"A\\3")->m_nTaskID, 41);
    // A store that cannot keep the counter keeps the task out, and a restart keeps the old id.
    m_platform.m_settings.m_bFailWrites = true;
    EXPECT_EQ(create(u"A\\4"), nullptr);
    EXPECT_EQ(m_platform.m_settings.m_mValues[u"taskid"], 42u);
    EXPECT_EQ(first->RestartTask(), -1);
    EXPECT_EQ(first->m_nTaskID, 3);
    m_platform.m_settings.m_bFailWrites = false;
    // Names that would break a line; no local folder (the root of the disk); a user id beyond the host's.
    EXPECT_EQ(create(u"Docs\\a\nTaskID=9"), nullptr);
    EXPECT_EQ(create(u"Docs\\" + std::u16string(300, u'n')), nullptr);
    EXPECT_EQ(create(u"Docs\\a", u"S1.1000", u""), nullptr);
    EXPECT_EQ(create(u"Docs\\a", std::u16string(ZYL_USERID_LIMIT + 1, u'1')), nullptr);
    EXPECT_EQ(Tasks().GetTaskCount(), 3);
    EXPECT_NE(create(u"Docs\\a", std::u16string(ZYL_USERID_LIMIT, u'1')), nullptr);
    EXPECT_NE(create(u"Docs\\" + std::u16string(ZYL_TASK_NAME_LIMIT - 5, u'n')), nullptr);
}
