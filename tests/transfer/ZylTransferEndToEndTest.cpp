// Two plug-ins joined by the test host: B downloads from and uploads to A's shares, stops, restarts,
// logs out, crashes and comes back; the files must arrive whole, with their times, and nothing may
// be written outside the places the transfers name.
#include "ZylTransferTestSupport.h"

#include <chrono>
#include <unistd.h>

using namespace zyltest;

namespace {

const std::vector<std::pair<std::string, size_t>> ZYL_SIZES = {
    {"empty.bin", 0},
    {"hundred.txt", 100},
    {"one.bin", 7168},
    {"seven.bin", 7 * 7168},
    {"sub/eight.bin", 8 * 7168},
    {"sub/deeper/nine.bin", 9 * 7168},
    {"sub/deeper/random.bin", 3 * 1024 * 1024 + 123},
};

class CZylTransferEndToEndTest : public CZylTwoPluginTest {
protected:
    // A tree with every awkward size, nested folders and an empty one, each file with its own time.
    void MakeTree(const fs::path& root) {
        uint32_t seed = 1;
        for (const auto& [name, size] : ZYL_SIZES) {
            ZylWriteFileBytes(root / name, RandomBytes(size, seed));
            fs::last_write_time(root / name, FileTime(2001 + static_cast<int32_t>(seed), seed));
            ++seed;
        }
        fs::create_directories(root / "sub" / "empty");
    }

    static fs::file_time_type FileTime(int32_t year, uint32_t second) {
        fs::file_time_type time;
        EXPECT_TRUE(ZylTimeToFileTime(Time(year, 3, 4, 5, 6, second), time));
        return time;
    }

    // Every file of the source is in the copy with the same bytes and time; no temporary file is left.
    void ExpectSameFiles(const fs::path& source, const fs::path& copy) {
        size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(source)) {
            if (!entry.is_regular_file())
                continue;
            ++files;
            const fs::path other = copy / fs::relative(entry.path(), source);
            ASSERT_TRUE(fs::exists(other)) << other;
            EXPECT_TRUE(SameBytes(ZylReadFileBytes(other), ZylReadFileBytes(entry.path()))) << other;
            EXPECT_EQ(fs::last_write_time(other), entry.last_write_time()) << other;
        }
        EXPECT_GT(files, 0u);
        for (const auto& entry : fs::recursive_directory_iterator(copy))
            EXPECT_NE(entry.path().extension(), ".fst") << entry.path();
    }

    bool RunUntil(const std::function<bool()>& condition, uint32_t maxMs = 120000) {
        return m_host.RunUntil(condition, maxMs);
    }

    std::u16string Downloads() const { return ZylFromFsPath(Root() / "downloads"); }
};

} // namespace

TEST_F(CZylTransferEndToEndTest, DownloadsAFolderTreeAndSingleFilesByteIdenticalWithTheSendersTimes) {
    MakeTree(DataA() / "tree");
    CZylShareObject& share = ShareOnA(u"Docs", DataA(), ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    CZylTask* task =
        TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\tree", true, Downloads(), share.GetShareTime());
    ASSERT_NE(task, nullptr);
    // Midway the serving side holds the file being read open for the task.
    ASSERT_TRUE(RunUntil([&] { return task->m_nFileIndex >= 0 && SharesA().GetOpenFileCount() > 0; }));
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "tree", Root() / "downloads" / "tree");
    EXPECT_EQ(task->m_nPercent, 100);
    EXPECT_EQ(task->m_vFiles.size(), ZYL_SIZES.size());
    m_host.Tick(20);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    // Every offset of every file, the size of a file of whole blocks included, was asked for once.
    size_t offsets = 0;
    for (const auto& [name, size] : ZYL_SIZES)
        offsets += size / ZYL_BLOCK_SIZE + 1;
    EXPECT_EQ(Sent(*m_pB, ZYL_CMD_FILE_DATA_REQUEST).size(), offsets);
    EXPECT_EQ(Sent(*m_pA, ZYL_CMD_FILE_DATA_REPLY).size(), offsets);

    // Single files: one inside a folder share (named in another case), and a share that is a file,
    // saved under a name of the person's choosing (one plain name only).
    ShareOnA(u"Song", DataA() / "tree" / "sub" / "eight.bin", ZYL_PRIV_DOWNLOAD);
    CZylTask* inner =
        TasksB().CreateDownloadTask(u"S1.1000", u"docs\\tree\\sub\\deeper\\nine.bin", false, Downloads(), {});
    EXPECT_EQ(TasksB().CreateDownloadTask(u"S1.1000", u"Song", false, Downloads(), {}, u"../tune.bin"),
              nullptr);
    CZylTask* whole = TasksB().CreateDownloadTask(u"S1.1000", u"Song", false, Downloads(), {}, u"tune.bin");
    ASSERT_TRUE(RunUntil([&] { return inner->m_bFinished && whole->m_bFinished; }));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(Root() / "downloads" / "nine.bin"),
                          ZylReadFileBytes(DataA() / "tree" / "sub" / "deeper" / "nine.bin")));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(Root() / "downloads" / "tune.bin"),
                          ZylReadFileBytes(DataA() / "tree" / "sub" / "eight.bin")));
    EXPECT_FALSE(std::filesystem::exists(Root() / "downloads" / "Song"));
}

TEST_F(CZylTransferEndToEndTest, AnEmptyRemoteFolderFinishesAtOnce) {
    fs::create_directories(DataA() / "hollow" / "a" / "b");
    ShareOnA(u"Hollow", DataA() / "hollow", ZYL_PRIV_DOWNLOAD);
    CZylTask* task = TasksB().CreateDownloadTask(u"S1.1000", u"Hollow", true, Downloads(), {});
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    EXPECT_EQ(task->m_bRunning, 0);
    EXPECT_EQ(Sent(*m_pA, ZYL_CMD_EMPTY_FILE_LIST).size(), 1u);
}

TEST_F(CZylTransferEndToEndTest, UploadsAFolderTreeAndASingleFileIntoAShareThatAllowsIt) {
    MakeTree(DataB() / "tree");
    CZylShareObject& inbox = ShareOnA(u"Inbox", DataA() / "inbox", 7);
    CZylTask* folder = TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB() / "tree"), u"tree", true,
                                                 u"Inbox", inbox.GetShareTime());
    CZylTask* file = TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB() / "tree" / "sub"),
                                               u"eight.bin", false, u"Inbox\\single", inbox.GetShareTime());
    ASSERT_NE(folder, nullptr);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(RunUntil([&] { return folder->m_bFinished && file->m_bFinished; }));
    ExpectSameFiles(DataB() / "tree", DataA() / "inbox" / "tree");
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "single" / "eight.bin"),
                          ZylReadFileBytes(DataB() / "tree" / "sub" / "eight.bin")));
    EXPECT_EQ(folder->m_nPercent, 100);
    m_host.Tick(20);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
}

TEST_F(CZylTransferEndToEndTest, AnUploadNeverMixesInAnOlderFileAndResumesOnlyItsOwnBytes) {
    ShareOnA(u"Inbox", DataA() / "inbox", 7);
    auto offsetsSent = [&] {
        std::vector<int32_t> offsets;
        for (const auto& pdu : Sent(*m_pB, ZYL_CMD_WRITE_FILE_DATA_REQUEST))
            offsets.push_back(ReadWriteRequest(pdu.payload).offset);
        return offsets;
    };
    // An unrelated, shorter file under the target's name is replaced, not continued.
    const std::string data = RandomBytes(3 * ZYL_BLOCK_SIZE, 9);
    ZylWriteFileBytes(DataB() / "three.bin", data);
    ZylWriteFileBytes(DataA() / "inbox" / "three.bin", RandomBytes(ZYL_BLOCK_SIZE, 10));
    CZylTask* task =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"three.bin", false, u"Inbox", {});
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "three.bin"), data));
    EXPECT_EQ(task->m_nPercent, 100);
    // One of the same size with other bytes is sent whole, not taken for done.
    const std::string other = RandomBytes(3 * ZYL_BLOCK_SIZE, 11);
    ZylWriteFileBytes(DataB() / "three.bin", other);
    m_host.m_vSent.clear();
    CZylTask* again =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"three.bin", false, u"Inbox", {});
    ASSERT_TRUE(RunUntil([&] { return again->m_bFinished == 1; }));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "three.bin"), other));
    EXPECT_EQ(offsetsSent(), Blocks({0, 1, 2, 3}));

    // The receiving side vanishes in the middle and comes back: the upload goes on from the whole
    // pieces its own file holds, the last of them sent again.
    const std::string big = RandomBytes(2 * 1024 * 1024 + 5, 12);
    ZylWriteFileBytes(DataB() / "big.bin", big);
    CZylTask* up =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"big.bin", false, u"Inbox", {});
    const int32_t id = up->m_nTaskID;
    const fs::path temp = DataA() / "inbox" / ("big.bin.S1.1001-" + std::to_string(id) + ".fst");
    ASSERT_TRUE(RunUntil([&] { return up->m_nCurrentSize > 300000; }));
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "big.bin"));
    m_pA->Destroy();
    m_host.Disconnect(*m_pA, *m_pB);
    const int32_t held = static_cast<int32_t>(fs::file_size(temp));
    m_pA->Recreate();
    ASSERT_EQ(m_host.Login(*m_pA), 0);
    m_host.m_vSent.clear();
    m_host.Connect(*m_pA, *m_pB);
    m_host.Tick(20);
    if (!up->m_bRunning)
        up->Start();
    ASSERT_TRUE(RunUntil([&] { return up->m_nCurrentSize > 1000000; }));
    // (Pieces still on their way when it vanished may have landed first: they are this upload's.)
    const auto answers = Sent(*m_pA, ZYL_CMD_SYNC_FILE_SIZE_REPLY);
    ASSERT_FALSE(answers.empty());
    ZylPayloadReader answer(answers[0].payload.data(), static_cast<int32_t>(answers[0].payload.size()));
    CZylDateTime time;
    answer.Read(time);
    answer.ReadInt32(); // task id
    answer.ReadInt32(); // file index
    const int32_t from = answer.ReadInt32();
    EXPECT_GE(from, (held - 1) / ZYL_BLOCK_SIZE * ZYL_BLOCK_SIZE);
    EXPECT_EQ(from % ZYL_BLOCK_SIZE, 0);

    // Now the uploading side crashes and comes back with what its database last recorded.
    m_host.Tick(300);
    m_pB->Destroy();
    m_host.Disconnect(*m_pA, *m_pB);
    m_pB->Recreate();
    ASSERT_EQ(m_host.Login(*m_pB), 0);
    m_host.Connect(*m_pA, *m_pB);
    m_host.Tick(20);
    CZylTask* loaded = nullptr;
    ASSERT_GE(TasksB().FindTask(id, &loaded), 0);
    if (!loaded->m_bRunning)
        loaded->Start();
    ASSERT_TRUE(RunUntil([&] { return loaded->m_bFinished == 1; }));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "big.bin"), big));
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(loaded->m_nCurrentSize, static_cast<int32_t>(big.size()));
}

TEST_F(CZylTransferEndToEndTest, ARefusedUploadLeavesTheTaskStoppedNotFinished) {
    ZylWriteFileBytes(DataB() / "f.txt", "hello");
    ShareOnA(u"ReadOnly", DataA() / "ro", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    ShareOnA(u"Open", DataA() / "open", 7);
    CZylTask* noRight =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"f.txt", false, u"ReadOnly", {});
    ASSERT_TRUE(RunUntil([&] { return noRight->m_bRunning == 0; }));
    EXPECT_EQ(noRight->m_bFinished, 0);

    SharesA().SetNoUpload(1);
    CZylTask* switchedOff =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"f.txt", false, u"Open", {});
    ASSERT_TRUE(RunUntil([&] { return switchedOff->m_bRunning == 0; }));
    EXPECT_EQ(switchedOff->m_bFinished, 0);
    EXPECT_TRUE(fs::is_empty(DataA() / "ro"));
    EXPECT_TRUE(fs::is_empty(DataA() / "open"));

    // Allowed again, starting the task asks again and the file arrives.
    SharesA().SetNoUpload(0);
    switchedOff->Start();
    ASSERT_TRUE(RunUntil([&] { return switchedOff->m_bFinished == 1; }));
    EXPECT_EQ(ZylReadFileBytes(DataA() / "open" / "f.txt"), "hello");
}

TEST_F(CZylTransferEndToEndTest, UploadTargetsOutsideTheShareAreRefusedWithNothingWritten) {
    ZylWriteFileBytes(DataB() / "f.txt", "payload");
    ShareOnA(u"Inbox", DataA() / "inbox", 7);
    CZylTask* task =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"f.txt", false, u"Inbox\\..\\..", {});
    // The refusal names its task: an upload beside it goes on.
    CZylTask* beside =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"f.txt", false, u"Inbox\\in", {});
    ASSERT_TRUE(RunUntil([&] { return beside->m_bFinished == 1; }));
    EXPECT_EQ(task->m_bFileListEnd, 0);
    EXPECT_EQ(task->m_bRunning, 0);
    fs::remove_all(DataA() / "inbox" / "in");

    // Pieces and size queries built by hand with local names that climb out.
    auto piece = [&](const std::u16string& remote, const std::u16string& local, uint32_t command) {
        ZylPayloadWriter w;
        w.WriteInt32(77);
        if (command == ZYL_CMD_WRITE_FILE_DATA_REQUEST)
            w.WriteInt32(0);
        w.Write(CZylDateTime());
        w.WriteString(remote).WriteString(local);
        if (command == ZYL_CMD_WRITE_FILE_DATA_REQUEST) {
            w.WriteInt32(7);
            w.Write(Time(2007, 1, 1, 0, 0, 0));
            w.WriteInt32(0).WriteInt32(1).WriteInt32(7).WriteBytes("payload", 7);
        } else {
            w.WriteInt32(0);
        }
        const auto bytes = w.Bytes();
        m_pA->Plugin().OnDataIndication(command, bytes.data(), static_cast<int32_t>(bytes.size()), u"S1.1001",
                                        ZYL_CHANNEL_REQUEST);
    };
    m_host.m_vSent.clear();
    for (uint32_t command : {ZYL_CMD_WRITE_FILE_DATA_REQUEST, ZYL_CMD_SYNC_FILE_SIZE_REQUEST}) {
        piece(u"Inbox", u"..\\..\\evil.txt", command);
        piece(u"Inbox", u"\\a\\..\\..\\evil.txt", command);
        piece(u"Inbox", u"a/../../evil.txt", command);
        piece(u"Inbox\\..", u"evil.txt", command);
        piece(u"Inbox", u"", command);
        piece(u"Inbox", u"\\\\evil.txt", command);
    }
    m_host.Tick(10);
    const auto errors = Sent(*m_pA, ZYL_CMD_ERROR);
    ASSERT_EQ(errors.size(), 12u);
    for (const auto& error : errors)
        EXPECT_EQ(error.payload, ErrorPdu(ZYL_ERROR_OTHER, 77));
    for (const auto& entry : fs::recursive_directory_iterator(Root()))
        EXPECT_NE(entry.path().filename(), "evil.txt") << entry.path();
    EXPECT_TRUE(fs::is_empty(DataA() / "inbox"));
}

TEST_F(CZylTransferEndToEndTest, FilesOf2GiBOrMoreAreLeftOutOfAnUpload) {
    ZylWriteFileBytes(DataB() / "tree" / "small.txt", "small");
    { std::ofstream big(DataB() / "tree" / "big.bin", std::ios::binary); }
    fs::resize_file(DataB() / "tree" / "big.bin", 0x80000000u); // sparse
    ShareOnA(u"Inbox", DataA() / "inbox", 7);
    CZylTask* task =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB() / "tree"), u"tree", true, u"Inbox", {});
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    ASSERT_EQ(task->m_vFiles.size(), 1u);
    EXPECT_EQ(task->m_nTotalSize, 5);
    EXPECT_TRUE(fs::exists(DataA() / "inbox" / "tree" / "small.txt"));
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "tree" / "big.bin"));
}

TEST_F(CZylTransferEndToEndTest, RestartDiscardsTheLocalDataAndTheTreeStillCompletes) {
    MakeTree(DataA() / "tree");
    ShareOnA(u"Docs", DataA() / "tree", ZYL_PRIV_DOWNLOAD);
    CZylTask* task = TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\sub", true, Downloads(), {});
    const fs::path random = Root() / "downloads" / "sub" / "deeper" / "random.bin";
    ASSERT_TRUE(
        RunUntil([&] { return fs::exists(fs::path(random) += ".fst") && task->m_nCurrentSize > 300000; }));
    const int32_t old = task->m_nTaskID;
    ASSERT_EQ(task->RestartTask(), 0);
    EXPECT_GT(task->m_nTaskID, old);
    EXPECT_FALSE(fs::exists(fs::path(random) += ".fst"));
    EXPECT_FALSE(fs::exists(Root() / "downloads" / "sub" / "eight.bin"));
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "tree" / "sub", Root() / "downloads" / "sub");
}

TEST_F(CZylTransferEndToEndTest, ALogoutInTheMiddleOfAFolderResumesEachFileAfterLoginAgain) {
    MakeTree(DataA() / "tree");
    ShareOnA(u"Docs", DataA(), ZYL_PRIV_DOWNLOAD);
    CZylTask* task = TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\tree", true, Downloads(), {});
    ASSERT_TRUE(RunUntil([&] { return task->m_nCurrentSize > 1000000; }));
    const int32_t index = task->m_nFileIndex;
    const int32_t offset = task->m_vFiles[static_cast<size_t>(index)]->m_nFileOffset;
    // While B is logged in no second plug-in may use its data folder; the refusal names B's process.
    CZylTestNode second(u"S1.1001", m_pB->AppPath());
    EXPECT_EQ(m_host.Login(second), -1);
    EXPECT_NE(ZylReadUtf16LeFile(ZylToFsPath(m_pB->AppPath()) / "fs" / "fs.log")
                  .find(u"\t1\tthe data folder " + ZylFromFsPath(ZylToFsPath(m_pB->AppPath()) / "fs") +
                        u" is in use by process " + ZylFromInt(getpid())),
              std::u16string::npos);
    ASSERT_EQ(m_host.Logout(*m_pB), 0);
    m_pB->Recreate();
    ASSERT_EQ(m_host.Login(*m_pB), 0);
    m_host.Connect(*m_pA, *m_pB);
    m_host.Tick(20);

    ASSERT_EQ(TasksB().GetTaskCount(), 1);
    CZylTask* loaded = TasksB().GetTaskAt(0);
    EXPECT_EQ(loaded->m_bRunning, 0);
    EXPECT_EQ(loaded->m_nFileIndex, index);
    EXPECT_EQ(loaded->m_vFiles[static_cast<size_t>(index)]->m_nFileOffset, offset);
    m_host.m_vSent.clear();
    TasksB().StartAllTasks();
    m_host.Tick(10);
    const auto requests = Sent(*m_pB, ZYL_CMD_FILE_DATA_REQUEST);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(ReadDataRequest(requests[0].payload).offset, offset);
    ASSERT_TRUE(RunUntil([&] { return loaded->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "tree", Root() / "downloads" / "tree");
}

TEST_F(CZylTransferEndToEndTest, ACrashInTheMiddleLosesNoTaskAndTheTreeStillCompletes) {
    // The plug-in vanishes without logging out (the host sees its channels close) and comes back.
    auto crash = [&] {
        m_pB->Destroy();
        m_host.Disconnect(*m_pA, *m_pB);
        EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
        m_pB->Recreate();
        ASSERT_EQ(m_host.Login(*m_pB), 0);
        m_host.Connect(*m_pA, *m_pB);
        m_host.Tick(20);
    };
    // Progress reaches the database on the timer once the save interval has passed.
    auto saveByTimer = [&] {
        m_pB->Platform().m_nTick += ZYL_TASK_SAVE_INTERVAL_MS;
        m_host.Tick(10);
    };

    // Many small files: the files finished after the last save are on disk, the database does not
    // know them; they are fetched again and replace what is there.
    for (int i = 0; i < 300; ++i) {
        const fs::path path = DataA() / "many" / ("d" + std::to_string(i % 3)) / ("f" + std::to_string(i));
        ZylWriteFileBytes(path, RandomBytes(static_cast<size_t>(i % 5), static_cast<uint32_t>(i)));
        fs::last_write_time(path, FileTime(2010, static_cast<uint32_t>(i % 60)));
    }
    ShareOnA(u"Many", DataA() / "many", ZYL_PRIV_DOWNLOAD);
    CZylTask* many = TasksB().CreateDownloadTask(u"S1.1000", u"Many", true, Downloads(), {});
    ASSERT_TRUE(RunUntil([&] { return many->m_nFileIndex >= 100; }));
    saveByTimer();
    ASSERT_TRUE(RunUntil([&] { return many->m_nFileIndex >= 200; }));
    ASSERT_EQ(many->m_bFinished, 0);
    ASSERT_NO_FATAL_FAILURE(crash());
    ASSERT_EQ(TasksB().GetTaskCount(), 1);
    CZylTask* loaded = TasksB().GetTaskAt(0);
    ASSERT_GE(loaded->m_nFileIndex, 100);
    ASSERT_LT(loaded->m_nFileIndex, 200);
    EXPECT_TRUE(fs::exists(ZylToFsPath(loaded->GetCurrentFile()->GetFullName())));
    TasksB().StartAllTasks();
    ASSERT_TRUE(RunUntil([&] { return loaded->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "many", Root() / "downloads" / "Many");
    TasksB().RemoveAllTasks();

    // In the middle of a large file, with progress after the last save.
    MakeTree(DataA() / "tree");
    ShareOnA(u"Docs", DataA(), ZYL_PRIV_DOWNLOAD);
    CZylTask* task = TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\tree", true, Downloads(), {});
    ASSERT_TRUE(RunUntil([&] { return task->m_nCurrentSize > 1500000; }));
    saveByTimer();
    m_host.Tick(20);
    ASSERT_EQ(task->m_bFinished, 0);
    ASSERT_NO_FATAL_FAILURE(crash());
    ASSERT_EQ(TasksB().GetTaskCount(), 1);
    loaded = TasksB().GetTaskAt(0);
    CZylTaskFile* file = loaded->GetCurrentFile();
    ASSERT_NE(file, nullptr);
    // Bytes beyond what the database recorded are not trusted, however they got there.
    const fs::path temp = ZylToFsPath(file->GetTempName());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::app);
        out << "bytes nobody recorded";
    }
    ASSERT_GT(fs::file_size(temp), static_cast<uintmax_t>(file->m_nFileOffset));
    TasksB().StartAllTasks();
    m_host.Tick(10);
    ASSERT_TRUE(RunUntil([&] { return loaded->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "tree", Root() / "downloads" / "tree");
}

TEST_F(CZylTransferEndToEndTest, AVanishedPeersOpenFilesAreClosedOnBothSides) {
    const std::string data = RandomBytes(1024 * 1024, 5);
    ZylWriteFileBytes(DataA() / "big.bin", data);
    ZylWriteFileBytes(DataB() / "up.bin", data);
    ShareOnA(u"Big", DataA() / "big.bin", ZYL_PRIV_DOWNLOAD);
    ShareOnA(u"Inbox", DataA() / "inbox", 7);
    CZylTask* down = TasksB().CreateDownloadTask(u"S1.1000", u"Big", false, Downloads(), {});
    CZylTask* up =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"up.bin", false, u"Inbox", {});
    ASSERT_TRUE(RunUntil([&] { return down->m_nCurrentSize > 100000 && up->m_nCurrentSize > 100000; }));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 2u);
    EXPECT_TRUE(down->GetCurrentFile()->IsOpen());
    m_host.Disconnect(*m_pA, *m_pB);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    EXPECT_EQ(down->m_bRunning, 0);
    EXPECT_FALSE(down->GetCurrentFile()->IsOpen());
    EXPECT_FALSE(up->GetCurrentFile()->IsOpen());
}

TEST_F(CZylTransferEndToEndTest, WhenChannelsComeUpEachSideCountsTheUnfinishedTasksPerNamedShare) {
    ZylWriteFileBytes(DataB() / "f.txt", "x");
    CZylShareObject& docs = ShareOnA(u"Docs", DataA() / "docs", 7);
    CZylShareObject& pics = ShareOnA(u"Pics", DataA() / "pics", 7);
    // Unfinished tasks of B with A, left stopped.
    TasksB().CreateDownloadTask(u"S1.1000", u"Docs", true, Downloads(), {})->StopTask();
    TasksB().CreateDownloadTask(u"S1.1000", u"Pics", true, Downloads(), {})->StopTask();
    TasksB().CreateDownloadTask(u"S1.1000", u"Pics\\x", true, Downloads(), {})->StopTask();
    TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"f.txt", false, u"Pics", {})->StopTask();
    m_host.Tick(20);
    m_host.Disconnect(*m_pA, *m_pB);
    EXPECT_EQ(docs.FindCurrentUser(u"S1.1001"), -1);
    m_host.m_vSent.clear();
    m_host.Connect(*m_pA, *m_pB);
    m_host.Tick(20);
    EXPECT_EQ(Sent(*m_pA, ZYL_CMD_UNFINISHED_TASKS_QUERY).size(), 1u);
    EXPECT_EQ(Sent(*m_pB, ZYL_CMD_UNFINISHED_TASKS_QUERY).size(), 1u);
    EXPECT_EQ(Sent(*m_pB, ZYL_CMD_UNFINISHED_TASKS_REPLY).size(), 1u);
    ZYLSHAREUSER* entry = nullptr;
    ASSERT_GE(docs.FindCurrentUser(u"S1.1001", &entry), 0);
    EXPECT_EQ(entry->downloads, 1);
    EXPECT_EQ(entry->uploads, 0);
    ASSERT_GE(pics.FindCurrentUser(u"S1.1001", &entry), 0);
    EXPECT_EQ(entry->downloads, 2);
    EXPECT_EQ(entry->uploads, 1);

    // An upload announced again (its file was missing) counts once; refused, it no longer counts;
    // its end takes it off. The reported upload still counts throughout.
    CZylTask* late =
        TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), u"late.txt", false, u"Pics\\in", {});
    auto announce = [&] {
        late->Start();
        EXPECT_TRUE(RunUntil([&] { return late->m_bRunning == 0 || late->m_bFinished == 1; }));
        m_host.Tick(20);
        return pics.FindCurrentUser(u"S1.1001", &entry) >= 0 ? entry->uploads : -1;
    };
    EXPECT_EQ(announce(), 2);
    EXPECT_EQ(announce(), 2);
    SharesA().SetNoUpload(1);
    EXPECT_EQ(announce(), 1);
    SharesA().SetNoUpload(0);
    ZylWriteFileBytes(DataB() / "late.txt", "y");
    EXPECT_EQ(announce(), 1);
    EXPECT_EQ(late->m_bFinished, 1);
}
