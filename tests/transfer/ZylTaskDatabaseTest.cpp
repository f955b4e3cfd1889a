// The task database line by line, its reading by position, the id check of its header, the damaged or foreign
// files set aside, its atomic replacement, and the task ids drawn from the settings store.
#include "ZylTransferTestSupport.h"

#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"

using namespace zyltest;

namespace {

// One plug-in object that is not logged in: its task manager works on a database path of the test's choosing
// and sends nothing.
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

TEST_F(CZylTaskDbTest, WritesTheExactLinesOfTasksAndFiles) {
    MakeDownload();
    CZylTask* upload = Tasks().CreateUploadTask(u"S1.1000", m_temp.WidePath(u"up"), u"notes.txt", false,
                                                u"Inbox", Time(2007, 12, 25, 9, 0, 0));
    ASSERT_NE(upload, nullptr);
    CZylTask* removed =
        Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\gone.txt", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    ASSERT_NE(removed, nullptr);
    ASSERT_EQ(Tasks().RemoveTaskById(removed->m_nTaskID), 0);
    ASSERT_EQ(Tasks().LoadSave(0), 0);

    const std::u16string dl = u"LocalPath=" + Folder() + u"\n";
    const std::u16string expected =
        u"#zyl task file, "
        u"version=Beta0.1\n#id=S1.1001\nAutoStartAllTasks=0\nMaxTaskNumber=-"
        u"1\nTaskNum=2\n"
        u"[TaskBegin]\nTaskID=1\nShareTime=2007-12-24 "
        u"08:30:00\nType=2\nUserID=S1.1000\nFolder=1\n"
        u"Finished=0\nFileIndex=1\nTotalSize=7268\nCurrentSize="
        u"100\nAutoStartWhenUserOnline=1\n"
        u"FileListEnd=1\ntimespent=0\nTaskStartTime=2008-01-10 "
        u"21:20:00\nRemoteName=Docs\\music\n" +
        dl + u"LocalName=music\nfile=2\n[FileBegin]\nRemoteName=Docs\\music\\a.txt\n" + dl +
        u"LocalName=/music/"
        u"a.txt\nFileSize=100\nFileOffset=100\nLastModifiedTime=2007-05-06 "
        u"07:08:09\n"
        u"[FileEnd]\n[FileBegin]\nRemoteName=Docs\\music\\live\\b.bin\n" +
        dl +
        u"LocalName=/music/live/"
        u"b.bin\nFileSize=7168\nFileOffset=0\nLastModifiedTime=2007-05-06 "
        u"07:08:10\n"
        u"[FileEnd]\n[TaskEnd]\n"
        u"[TaskBegin]\nTaskID=2\nShareTime=2007-12-25 "
        u"09:00:00\nType=4\nUserID=S1.1000\nFolder=0\n"
        u"Finished=0\nFileIndex=-1\nTotalSize=0\nCurrentSize="
        u"0\nAutoStartWhenUserOnline=1\nFileListEnd=0\n"
        u"timespent=0\nTaskStartTime=2008-01-10 "
        u"21:20:00\nRemoteName=Inbox\nLocalPath=" +
        m_temp.WidePath(u"up") + u"\nLocalName=notes.txt\nfile=0\n[TaskEnd]\n";
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()), expected);
    // Raw bytes: 16-bit little-endian units, no byte-order mark, LF only.
    const std::string bytes = ZylReadFileBytes(DbPath());
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("#\0z\0", 4));
    EXPECT_EQ(bytes.find(std::string("\r\0", 2)), std::string::npos);
}

TEST_F(CZylTaskDbTest, ChangesReachTheDiskWithoutAnExplicitSave) {
    // Adding writes the database at once; the list and a finished file are progress like any piece, written
    // on the timer once the save interval has passed.
    CZylTask* task = MakeDownload();
    std::u16string text = ZylReadUtf16LeFile(DbPath());
    EXPECT_NE(text.find(u"TaskNum=1\n"), std::u16string::npos);
    EXPECT_EQ(text.find(u"FileOffset=100\n"), std::u16string::npos);
    Deliver(ZYL_CMD_FILE_DATA_REPLY,
            FileDataReply(task->m_nTaskID, 1, 0, 0, std::string(ZYL_BLOCK_SIZE, 'y')));
    Tasks().OnTimer();
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()), text);
    m_platform.m_nTick += ZYL_TASK_SAVE_INTERVAL_MS;
    Tasks().OnTimer();
    text = ZylReadUtf16LeFile(DbPath());
    EXPECT_NE(text.find(u"FileOffset=100\n"), std::u16string::npos);
    EXPECT_NE(text.find(u"FileOffset=7168\n"), std::u16string::npos);
    EXPECT_NE(text.find(u"CurrentSize=7268\n"), std::u16string::npos);

    // What a user would miss after a crash is written at once: a task that finished (an empty folder, or the
    // last piece), one that was stopped (with the progress before it), one removed.
    CZylTask* hollow = Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\hollow", true, Folder(), {});
    Deliver(ZYL_CMD_EMPTY_FILE_LIST, TaskReply(hollow->m_nTaskID, {}));
    ASSERT_EQ(hollow->m_bFinished, 1);
    EXPECT_NE(ZylReadUtf16LeFile(DbPath()).find(u"Finished=1\n"), std::u16string::npos);
    ASSERT_EQ(Tasks().RemoveTaskById(hollow->m_nTaskID), 0);
    Deliver(ZYL_CMD_FILE_DATA_REPLY, FileDataReply(task->m_nTaskID, 1, 1, ZYL_BLOCK_SIZE, ""));
    ASSERT_EQ(task->m_bFinished, 1);
    EXPECT_NE(ZylReadUtf16LeFile(DbPath()).find(u"Finished=1\n"), std::u16string::npos);
    CZylTask* stopped = Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\x", true, Folder(), {});
    Deliver(ZYL_CMD_FILE_LIST_REPLY, FileListReply(stopped->m_nTaskID, 1, 0, {{u"Docs\\x\\y.txt", 5, {}}}));
    EXPECT_EQ(ZylReadUtf16LeFile(DbPath()).find(u"y.txt"), std::u16string::npos);
    Tasks().StopAllTasks();
    EXPECT_NE(ZylReadUtf16LeFile(DbPath()).find(u"RemoteName=Docs\\x\\y.txt\n"), std::u16string::npos);
    ASSERT_EQ(Tasks().RemoveTaskById(task->m_nTaskID), 0);
    ASSERT_EQ(Tasks().RemoveTaskById(stopped->m_nTaskID), 0);
    EXPECT_NE(ZylReadUtf16LeFile(DbPath()).find(u"TaskNum=0\n"), std::u16string::npos);
}

TEST_F(CZylTaskDbTest, RoundTripKeepsTasksWithAndWithoutTheirListsAndLoadsThemStopped) {
    MakeDownload();
    CZylTask* waiting =
        Tasks().CreateDownloadTask(u"S1.1000", u"Pics\\a=b.jpg", false, Folder(), Time(2007, 2, 3, 4, 5, 6));
    ASSERT_NE(waiting, nullptr);
    // A list page that does not complete the list is not written.
    Deliver(ZYL_CMD_FILE_LIST_REPLY,
            FileListReply(waiting->m_nTaskID, 2, 0, {{u"Pics\\a=b.jpg", 5, Time(2007, 1, 1, 0, 0, 0)}}));
    Tasks().SetAutoStartAllTasks(1);
    Tasks().SetMaxTaskNumber(3);
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    const std::string written = ZylReadFileBytes(DbPath());

    CZylFakePlatform platform;
    CZylInterface other(platform);
    Prepare(other, u"s1.1001"); // the header's id is compared without regard to case
    CZylTaskManager& loaded = other.GetTaskManager();
    ASSERT_EQ(loaded.LoadSave(1), 0);
    // Everything the file holds is written back below; what it does not hold is set on loading.
    ASSERT_EQ(loaded.GetTaskCount(), 2);
    const CZylTask* first = loaded.GetTaskAt(0);
    EXPECT_EQ(first->m_bRunning, 0);
    EXPECT_EQ(first->m_nPercent, 1); // 100 of 7268
    ASSERT_EQ(first->m_vFiles.size(), 2u);
    EXPECT_EQ(first->m_vFiles[1]->m_bFirstRequest, 1);
    EXPECT_TRUE(loaded.GetTaskAt(1)->m_vFiles.empty());
    EXPECT_EQ(loaded.GetTaskAt(1)->GetObjectRecord()->m_sLocalName, u"a=b.jpg");

    // Written again under the same id text, the file is the same to the byte.
    loaded.SetLoginId(u"S1.1001");
    ASSERT_EQ(loaded.LoadSave(0), 0);
    EXPECT_EQ(ZylReadFileBytes(DbPath()), written);
}

TEST_F(CZylTaskDbTest, LoadingReplacesWhatTheManagerHolds) {
    MakeDownload();
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\x", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    ASSERT_EQ(Tasks().GetTaskCount(), 2);
    // The second task was saved when it was added; a database without it is loaded instead.
    const std::u16string text = ZylReadUtf16LeFile(DbPath());
    const size_t second = text.find(u"[TaskBegin]\nTaskID=2");
    ASSERT_NE(second, std::u16string::npos);
    ZylWriteFileBytes(DbPath(), ZylToUtf16Le(text.substr(0, second)));
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    ASSERT_EQ(Tasks().GetTaskCount(), 1);
    EXPECT_EQ(Tasks().GetTaskAt(0)->m_nTaskID, 1);
    EXPECT_EQ(Tasks().GetTaskAt(0)->m_bRunning, 0);
}

TEST_F(CZylTaskDbTest, ADatabaseOfAnotherUserOrWhoseOwnerCannotBeToldIsSetAsideAndNothingLoaded) {
    MakeDownload();
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    const std::string written = ZylReadFileBytes(DbPath());
    CZylFakePlatform platform;
    CZylInterface other(platform);
    Prepare(other, u"S1.2000");
    ASSERT_EQ(other.GetTaskManager().LoadSave(1), 0);
    EXPECT_EQ(other.GetTaskManager().GetTaskCount(), 0);
    EXPECT_FALSE(fs::exists(DbPath()));
    EXPECT_EQ(ZylReadFileBytes(fs::path(DbPath()) += ".foreign-20080110-212000"), written);
    EXPECT_EQ(ZylToUtf8(other.GetTaskManager().GetDbNotice()),
              "the task database of S1.1001 was set aside as " + DbPath().string() +
                  ".foreign-20080110-212000");

    const std::string unreadable = ZylToUtf16Le(u"garbage\n#di=S1.1001\nTaskNum=1\n");
    ZylWriteFileBytes(DbPath(), unreadable);
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_EQ(Tasks().GetTaskCount(), 0);
    EXPECT_FALSE(fs::exists(DbPath()));
    EXPECT_EQ(ZylReadFileBytes(fs::path(DbPath()) += ".damaged-20080110-212000"), unreadable);
}

TEST_F(CZylTaskDbTest, NoFileLoadsNothingAFailingWriteLeavesTheOldFileWholeAndNoPathFails) {
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_EQ(Tasks().GetTaskCount(), 0);
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
    EXPECT_EQ(Tasks().LoadSave(0), -1);
    EXPECT_EQ(Tasks().LoadSave(1), -1);
}

TEST_F(CZylTaskDbTest, ADamagedFileKeepsEveryWholeTaskAndIsSetAsideWithTheRest) {
    MakeDownload();
    Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\two", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    Tasks().CreateDownloadTask(u"S1.1000", u"Docs\\three", false, Folder(), Time(2007, 1, 1, 0, 0, 0));
    ASSERT_EQ(Tasks().LoadSave(0), 0);
    std::u16string text = ZylReadUtf16LeFile(DbPath());
    const size_t third = text.find(u"[TaskBegin]\nTaskID=3");
    ASSERT_NE(third, std::u16string::npos);
    // A changed byte in the first line; the first task's file count inflated (its file blocks run over the
    // second task and to the end); the second task without its user; the third cut short in the middle of its
    // block, and a count that no longer matches.
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
    EXPECT_EQ(Tasks().GetTaskAt(0)->m_nTaskID, kept);
    EXPECT_EQ(Tasks().GetTaskAt(0)->GetObjectRecord()->m_sRemoteName, u"Docs\\kept");
    EXPECT_EQ(ZylToUtf8(Tasks().GetDbNotice()),
              "the task database was set aside as " + DbPath().string() +
                  ".damaged-20080110-212000-2; 1 task read from it is kept");
    // What was read is the database now, and it loads clean.
    ASSERT_EQ(Tasks().LoadSave(1), 0);
    EXPECT_EQ(Tasks().GetTaskCount(), 1);
    EXPECT_TRUE(Tasks().GetDbNotice().empty());
}

TEST_F(CZylTaskDbTest, TaskIdsAreDrawnInTurnFromTheStoreAndATaskThatCannotDrawIsKeptOut) {
    auto create = [&](const char16_t* name) {
        return Tasks().CreateDownloadTask(u"S1.1000", name, false, Folder(), CZylDateTime());
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
    EXPECT_EQ(Tasks().GetTaskCount(), 3);
    EXPECT_EQ(m_platform.m_settings.m_mValues[u"taskid"], 42u);
    EXPECT_EQ(first->RestartTask(), -1);
    EXPECT_EQ(first->m_nTaskID, 3);
}

TEST_F(CZylTaskDbTest, NamesThatWouldBreakALineAreRefused) {
    auto create = [&](const std::u16string& user, const std::u16string& remote,
                      const std::u16string& folder) {
        return Tasks().CreateDownloadTask(user, remote, false, folder, CZylDateTime());
    };
    EXPECT_EQ(create(u"S1.1000", u"Docs\\a\nTaskID=9", Folder()), nullptr);
    EXPECT_EQ(create(u"S1.1000", u"Docs\\" + std::u16string(300, u'n'), Folder()), nullptr);
    // Without a local folder a download would write at the root of the file system.
    EXPECT_EQ(create(u"S1.1000", u"Docs\\a", u""), nullptr);
    // A user id as long as the host's ids may be, and no longer; a name as long as a line may hold.
    EXPECT_EQ(create(std::u16string(ZYL_USERID_LIMIT + 1, u'1'), u"Docs\\a", Folder()), nullptr);
    EXPECT_EQ(Tasks().GetTaskCount(), 0);
    EXPECT_NE(create(std::u16string(ZYL_USERID_LIMIT, u'1'), u"Docs\\a", Folder()), nullptr);
    EXPECT_NE(create(u"S1.1000", u"Docs\\" + std::u16string(ZYL_TASK_NAME_LIMIT - 5, u'n'), Folder()),
              nullptr);
}
