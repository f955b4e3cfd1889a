// Two plug-ins joined by the test host, either one crashing: files arrive whole, with their times.
#include "ZylTransferTestSupport.h"

namespace {
const std::vector<size_t> ZYL_SIZES = {0, 100, 7168, 7 * 7168, 8 * 7168, 9 * 7168, 3 * 1024 * 1024 + 123};
const std::vector<std::string> ZYL_NAMES = {
    "empty.bin",           "hundred.txt",          "one.bin", "seven.bin", "sub/eight.bin",
    "sub/deeper/nine.bin", "sub/deeper/random.bin"};
class CZylTransferEndToEndTest : public CZylTwoPluginTest {
protected:
    // A tree with every awkward size, nested folders and an empty one, each file with its own time.
    void MakeTree(const fs::path& root) {
        for (uint32_t i = 0; i < ZYL_SIZES.size(); ++i) {
            ZylWriteFileBytes(root / ZYL_NAMES[i], RandomBytes(ZYL_SIZES[i], i + 1));
            fs::last_write_time(root / ZYL_NAMES[i], FileTime(Time(2002 + int32_t(i), 3, 4, 5, 6, i + 1)));
        }
        fs::create_directories(root / "sub" / "empty");
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
    // The node vanishes without logging out (the host sees the channels close) and comes back.
    void Crash(CZylTestNode& node, const std::function<void()>& whileAway) {
        node.Destroy();
        m_host.Disconnect(*m_pA, *m_pB);
        whileAway();
        node.Recreate();
        ASSERT_EQ(m_host.Login(node), 0);
        m_host.Connect(*m_pA, *m_pB);
        m_host.Tick(20);
    }
    bool RunUntil(const std::function<bool()>& condition) { return m_host.RunUntil(condition, 120000); }
    std::u16string Downloads() const { return ZylFromFsPath(Root() / "downloads"); }
};
} // namespace

TEST_F(CZylTransferEndToEndTest, DownloadsAFolderTreeAndSingleFilesByteIdenticalWithTheSendersTimes) {
    MakeTree(DataA() / "tree");
    CZylShareObject& share = ShareOnA(u"Docs", DataA(), ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    CZylTask* task =
        TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\tree", true, Downloads(), share.GetShareTime());
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
    ExpectSameFiles(DataA() / "tree", Root() / "downloads" / "tree");
    EXPECT_EQ(task->m_nPercent, 100);
    m_host.Tick(20);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    // Every offset of every file, the size of a file of whole blocks included, was asked for once.
    size_t offsets = 0;
    for (size_t size : ZYL_SIZES)
        offsets += size / ZYL_BLOCK_SIZE + 1;
    EXPECT_EQ(Sent(*m_pB, ZYL_CMD_FILE_DATA_REQUEST).size(), offsets);
    EXPECT_EQ(Sent(*m_pA, ZYL_CMD_FILE_DATA_REPLY).size(), offsets);
    // Single files of a file share, under its name or a chosen one that stays inside the folder.
    ShareOnA(u"Song", DataA() / "tree" / "sub" / "eight.bin", ZYL_PRIV_DOWNLOAD);
    auto single = [&](const std::u16string& remote, const std::u16string& into, const std::u16string& name) {
        return TasksB().CreateDownloadTask(u"S1.1000", remote, false, into, {}, name);
    };
    EXPECT_EQ(single(u"Song", Downloads(), u"../tune.bin"), nullptr);
    std::vector<CZylTask*> singles = {single(u"Song", Downloads(), u"tune.bin"),
                                      single(u"Song", ZylFromFsPath(Root() / "plain"), {})};
    ASSERT_TRUE(RunUntil([&] { return singles[0]->m_bFinished && singles[1]->m_bFinished; }));
    const std::string eight = ZylReadFileBytes(DataA() / "tree" / "sub" / "eight.bin");
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(Root() / "downloads" / "tune.bin"), eight));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(Root() / "plain" / "Song"), eight));
    EXPECT_FALSE(fs::exists(Root() / "downloads" / "Song"));
}

TEST_F(CZylTransferEndToEndTest, UploadsATreeWholeNeverMixesInAnOlderFileAndResumesOnlyItsOwnBytes) {
    MakeTree(DataB() / "tree");
    CZylShareObject& inbox = ShareOnA(u"Inbox", DataA() / "inbox", 7);
    CZylTask* folder = TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB() / "tree"), u"tree", true,
                                                 u"Inbox", inbox.GetShareTime());
    ASSERT_NE(folder, nullptr);
    ASSERT_TRUE(RunUntil([&] { return folder->m_bFinished == 1; }));
    ExpectSameFiles(DataB() / "tree", DataA() / "inbox" / "tree");
    m_host.Tick(20);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    auto upload = [&](const char* name) {
        return TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(DataB()), ZylFromUtf8(name), false,
                                         u"Inbox", {});
    };
    // An unrelated file under the target's name, shorter or of the same size, is replaced, not continued.
    ZylWriteFileBytes(DataA() / "inbox" / "three.bin", RandomBytes(ZYL_BLOCK_SIZE, 10));
    for (uint32_t seed : {9u, 11u}) {
        const std::string data = RandomBytes(3 * ZYL_BLOCK_SIZE, seed);
        ZylWriteFileBytes(DataB() / "three.bin", data);
        CZylTask* task = upload("three.bin");
        ASSERT_TRUE(RunUntil([&] { return task->m_bFinished == 1; }));
        EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "three.bin"), data));
    }
    // The receiving side vanishes and comes back: the upload goes on from its own file's last whole piece.
    const std::string big = RandomBytes(2 * 1024 * 1024 + 5, 12);
    ZylWriteFileBytes(DataB() / "big.bin", big);
    CZylTask* up = upload("big.bin");
    const int32_t id = up->m_nTaskID;
    const fs::path temp = DataA() / "inbox" / ("big.bin.S1.1001-" + std::to_string(id) + ".fst");
    ASSERT_TRUE(RunUntil([&] { return up->m_nCurrentSize > 300000; }));
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "big.bin"));
    int32_t held = 0;
    ASSERT_NO_FATAL_FAILURE(Crash(*m_pA, [&] {
        held = static_cast<int32_t>(fs::file_size(temp));
        m_host.m_vSent.clear();
    }));
    if (!up->m_bRunning)
        up->Start();
    ASSERT_TRUE(RunUntil([&] { return up->m_nCurrentSize > 1000000; }));
    // (Pieces still on their way when it vanished may have landed first: they are this upload's.)
    const auto answers = Sent(*m_pA, ZYL_CMD_SYNC_FILE_SIZE_REPLY);
    ASSERT_FALSE(answers.empty());
    const int32_t from = TaskNumbers(answers[0].payload).at(2);
    EXPECT_GE(from, (held - 1) / ZYL_BLOCK_SIZE * ZYL_BLOCK_SIZE);
    EXPECT_EQ(from % ZYL_BLOCK_SIZE, 0);
    // Now the uploading side crashes and comes back with what its database last recorded.
    m_host.Tick(300);
    ASSERT_NO_FATAL_FAILURE(Crash(*m_pB, [&] { EXPECT_EQ(SharesA().GetOpenFileCount(), 0u); }));
    CZylTask* loaded = nullptr;
    ASSERT_GE(TasksB().FindTask(id, &loaded), 0);
    if (!loaded->m_bRunning)
        loaded->Start();
    ASSERT_TRUE(RunUntil([&] { return loaded->m_bFinished == 1; }));
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "big.bin"), big));
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(loaded->m_nCurrentSize, static_cast<int32_t>(big.size()));
}
