// The upload flow against replies built by hand: layouts, local list, size sync, window, acknowledgements.
#include "ZylTransferTestSupport.h"

namespace {
class CZylUploadFlowTest : public CZylTwoPluginTest {
protected:
    void SetUp() override {
        CZylTwoPluginTest::SetUp();
        AnswerForA();
    }
    CZylTask* Upload(const fs::path& localPath, const std::u16string& localName, bool folder) {
        CZylTask* task = TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(localPath), localName, folder,
                                                   u"Inbox\\in", Time(2007, 12, 24, 8, 30, 0));
        EXPECT_NE(task, nullptr);
        m_host.Tick(10);
        return task;
    }
    void Consent(CZylTask* task, int32_t consent) {
        DeliverToB(ZYL_CMD_UPLOAD_REPLY, TaskReply(task->m_nTaskID, {consent}));
    }
    void Held(CZylTask* task, int32_t index, int32_t held) {
        DeliverToB(ZYL_CMD_SYNC_FILE_SIZE_REPLY, TaskReply(task->m_nTaskID, {index, held}));
    }
    void Ack(CZylTask* task, int32_t index, int32_t offset, int32_t n, int32_t complete) {
        DeliverToB(ZYL_CMD_WRITE_FILE_DATA_REPLY, TaskReply(task->m_nTaskID, {index, offset, n, complete}));
    }
    // The pieces B sent since the last call, in order.
    std::vector<WRITEREQUEST> Pieces() {
        m_host.Tick(10);
        std::vector<WRITEREQUEST> out;
        for (const auto& pdu : Sent(*m_pB, ZYL_CMD_WRITE_FILE_DATA_REQUEST))
            out.push_back(ReadWriteRequest(pdu.payload));
        m_host.m_vSent.clear();
        return out;
    }
    static std::vector<int32_t> Offsets(const std::vector<WRITEREQUEST>& pieces) {
        std::vector<int32_t> out;
        for (const auto& p : pieces)
            out.push_back(p.offset);
        return out;
    }
    // A single-file upload of a file of that size, consented to and synchronised at 0.
    CZylTask* SyncedFileOfSize(size_t size) {
        ZylWriteFileBytes(Root() / "up" / "f.bin", RandomBytes(size, static_cast<uint32_t>(size)));
        CZylTask* task = Upload(Root() / "up", u"f.bin", false);
        Consent(task, 1);
        Held(task, 0, 0);
        return task;
    }
};
} // namespace

TEST_F(CZylUploadFlowTest, RequestsHaveTheExactLayouts) {
    ZylWriteFileBytes(Root() / "up" / "f.bin", "abc");
    fs::last_write_time(Root() / "up" / "f.bin", FileTime(Time(2006, 1, 2, 3, 4, 5)));
    CZylTask* task = Upload(Root() / "up", u"f.bin", false);
    const std::vector<uint8_t> id = {0, 0, 0, static_cast<uint8_t>(task->m_nTaskID)};
    const std::vector<uint8_t> shareTime = {0x40, 0x00, 0x7D, 0x7C, 0xC2, 0x1E, 0x00, 0x00};
    const auto remote = Concat({{0, 0, 0, 8}, Ascii("Inbox\\in")}),
               local = Concat({{0, 0, 0, 5}, Ascii("f.bin")});
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_UPLOAD_REQUEST), PAYLOADS{Concat({id, shareTime, remote})});
    Consent(task, 1);
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_SYNC_FILE_SIZE_REQUEST),
              PAYLOADS{Concat({id, shareTime, remote, local, {0, 0, 0, 0}})});
    Held(task, 0, 0);
    // Modification time 2006-01-02 03:04:05 as universal-time fields.
    const std::vector<uint8_t> modified = {0x40, 0x00, 0x7D, 0x61, 0x10, 0xC4, 0x14, 0x00};
    const auto piece = Concat({{0, 0, 0, 3}, modified, {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3}, Ascii("abc")});
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_WRITE_FILE_DATA_REQUEST),
              PAYLOADS{Concat({id, {0, 0, 0, 0}, shareTime, remote, local, piece})});
}

TEST_F(CZylUploadFlowTest, AFolderIsListedWithoutWhatTheOtherSideCannotTake) {
    ZylWriteFileBytes(Root() / "docs" / "trip" / "day1" / "a.jpg", "aa");
    ZylWriteFileBytes(Root() / "docs" / "trip" / "b.txt", "b");
    fs::create_directories(Root() / "docs" / "trip" / "empty");
    // Names the other side would refuse or take apart are left out, and are no upload of their own either.
    ZylWriteFileBytes(Root() / "docs" / "trip" / "tab\there.txt", "t");
    ZylWriteFileBytes(Root() / "docs" / "trip" / "bad\xFFname" / "c.txt", "c");
    ZylWriteFileBytes(Root() / "docs" / "trip" / "back\\slash.txt", "s");
    // Nor a file of 2 GiB or more, whose size the other side cannot take (sparse: nothing is written).
    ZylWriteFileBytes(Root() / "docs" / "trip" / "big.bin", "");
    fs::resize_file(Root() / "docs" / "trip" / "big.bin", 0x80000000u);
    EXPECT_EQ(TasksB().CreateUploadTask(u"S1.1000", ZylFromFsPath(Root() / "docs" / "trip"),
                                        u"back\\slash.txt", false, u"Inbox", {}),
              nullptr);
    CZylTask* task = Upload(Root() / "docs" / "trip", u"trip", true);
    Consent(task, 1);
    ASSERT_EQ(task->m_bFileListEnd, 1);
    EXPECT_EQ(task->m_nTotalSize, 3);
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_SYNC_FILE_SIZE_REQUEST).size(), 2u); // every size is asked for at once
}

TEST_F(CZylUploadFlowTest, WindowsForFilesOfAwkwardSizes) {
    // A file of exactly the window: the first acknowledgement sends the empty piece at the size.
    CZylTask* window = SyncedFileOfSize(ZYL_PIECES_IN_FLIGHT * ZYL_BLOCK_SIZE);
    EXPECT_EQ(Offsets(Pieces()), Blocks(0, ZYL_PIECES_IN_FLIGHT - 1));
    Ack(window, 0, 0, ZYL_BLOCK_SIZE, 0);
    auto pieces = Pieces();
    ASSERT_EQ(Offsets(pieces), Blocks(ZYL_PIECES_IN_FLIGHT, ZYL_PIECES_IN_FLIGHT));
    EXPECT_EQ(pieces[0].end, 1);
    // A folder: all sizes are asked for at once; a file is sent once its size is known, acked in order.
    const int32_t size = 2 * ZYL_BLOCK_SIZE + 1;
    for (const char* name : {"a", "b", "c"})
        ZylWriteFileBytes(Root() / "tree" / name, RandomBytes(static_cast<size_t>(size), 1));
    CZylTask* folder = Upload(Root() / "tree", u"tree", true);
    Consent(folder, 1);
    m_host.m_vSent.clear();
    Held(folder, 0, 0);
    Held(folder, 1, 0);
    std::vector<std::tuple<int32_t, int32_t, int32_t>> sent, expected; // file index, offset, last flag
    for (const auto& piece : Pieces())
        sent.emplace_back(piece.index, piece.offset, piece.end);
    for (int32_t i = 0; i < 6; ++i)
        expected.emplace_back(i / 3, i % 3 * ZYL_BLOCK_SIZE, i % 3 == 2);
    EXPECT_EQ(sent, expected);
    Ack(folder, 1, 0, ZYL_BLOCK_SIZE, 0); // ahead of its turn: dropped
    EXPECT_EQ(folder->m_vFiles[1]->m_nFileOffset, 0);
    // The last file is held whole on the other side: nothing is sent, the task ends with the file before.
    Held(folder, 2, size);
    for (int32_t file : {0, 1})
        for (int32_t i = 0; i < 3; ++i)
            Ack(folder, file, i * ZYL_BLOCK_SIZE, i == 2 ? 1 : ZYL_BLOCK_SIZE, i == 2 ? 1 : 0);
    EXPECT_TRUE(Pieces().empty());
    EXPECT_EQ(std::make_pair(folder->m_bFinished, folder->m_nCurrentSize), std::make_pair(1, 3 * size));
}

TEST_F(CZylUploadFlowTest, TheSizeTheOtherSideHoldsDecidesWhereSendingStarts) {
    const std::string data = RandomBytes(3 * ZYL_BLOCK_SIZE + 10, 4);
    ZylWriteFileBytes(Root() / "up" / "f.bin", data);
    // A name is needed, for a folder too, and a target.
    const std::u16string up = ZylFromFsPath(Root() / "up");
    for (const auto& [name, target, folder] :
         {std::tuple{u"", u"Inbox", false}, {u"", u"Inbox", true}, {u"f.bin", u"", false}})
        EXPECT_EQ(TasksB().CreateUploadTask(u"S1.1000", up, name, folder, target, {}), nullptr);
    // Refused (no right, or uploads switched off there): stopped, not finished; a start asks again.
    CZylTask* task = Upload(Root() / "up", u"f.bin", false);
    Consent(task, 0);
    EXPECT_EQ(std::make_pair(task->m_bRunning, task->m_bFinished), std::make_pair(0, 0));
    m_host.m_vSent.clear();
    task->Start();
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_UPLOAD_REQUEST).size(), 1u);
    Consent(task, 1);
    // More than the file: dropped. Another index: dropped.
    Held(task, 0, 3 * ZYL_BLOCK_SIZE + 11);
    Held(task, 1, 0);
    EXPECT_TRUE(Pieces().empty());
    // Part of it: sending resumes there and the progress counts it.
    Held(task, 0, ZYL_BLOCK_SIZE + 5);
    EXPECT_EQ(task->m_nCurrentSize, ZYL_BLOCK_SIZE + 5);
    auto pieces = Pieces();
    ASSERT_EQ(Offsets(pieces),
              (std::vector<int32_t>{ZYL_BLOCK_SIZE + 5, 2 * ZYL_BLOCK_SIZE + 5, 3 * ZYL_BLOCK_SIZE + 5}));
    EXPECT_EQ(std::make_pair(pieces[1].end, pieces[2].end), std::make_pair(0, 1));
    EXPECT_TRUE(SameBytes(pieces[2].data, data.substr(3 * ZYL_BLOCK_SIZE + 5)));
    // Acknowledgements out of order, of nothing, or of another file are dropped.
    Ack(task, 0, 3 * ZYL_BLOCK_SIZE + 5, 5, 1);
    Ack(task, 0, ZYL_BLOCK_SIZE + 5, 0, 0);
    Ack(task, 0, ZYL_BLOCK_SIZE + 5, -1, 0);
    Ack(task, 1, ZYL_BLOCK_SIZE + 5, ZYL_BLOCK_SIZE, 0);
    EXPECT_EQ(task->m_vFiles[0]->m_nFileOffset, ZYL_BLOCK_SIZE + 5);
}

TEST_F(CZylUploadFlowTest, AFileThatIsGoneOrChangesStopsTheTaskWithTheReason) {
    // Gone before the list was made (a file; a folder: no empty one), gone after it, or longer than listed.
    const fs::path up = Root() / "up";
    const std::u16string gone = u"no such file or directory: ",
                         changed = u"the file changed while it was sent; restart the task: ";
    for (const auto& [folder, name, before, after, reason] :
         std::vector<std::tuple<fs::path, std::u16string, const char*, const char*, std::u16string>>{
             {up, u"missing.bin", nullptr, nullptr, gone},
             {Root() / "gone", u"", nullptr, nullptr, gone},
             {up, u"brief.bin", "brief", nullptr, gone},
             {up, u"grown.bin", "abc", "abcdefghij", changed}}) {
        const fs::path path = name.empty() ? folder : folder / name;
        if (before)
            ZylWriteFileBytes(path, before);
        CZylTask* task = Upload(folder, name.empty() ? u"gone" : name, name.empty());
        Consent(task, 1);
        if (after)
            ZylWriteFileBytes(path, after);
        else
            fs::remove(path);
        Held(task, 0, 0);
        EXPECT_TRUE(Pieces().empty());
        ExpectStopped(task, reason + ZylFromFsPath(path));
    }
    // Shorter than listed by the time the window reaches its end: neither the old file nor the new.
    CZylTask* shrunk = SyncedFileOfSize((ZYL_PIECES_IN_FLIGHT + 4) * ZYL_BLOCK_SIZE);
    EXPECT_EQ(Pieces().size(), static_cast<size_t>(ZYL_PIECES_IN_FLIGHT));
    fs::resize_file(up / "f.bin", 5 * ZYL_BLOCK_SIZE);
    Ack(shrunk, 0, 0, ZYL_BLOCK_SIZE, 0);
    EXPECT_TRUE(Pieces().empty());
    ExpectStopped(shrunk, changed + ZylFromFsPath(up / "f.bin"));
    // The other side calling a file complete short of its size does not make it complete.
    CZylTask* cut = SyncedFileOfSize(2 * ZYL_BLOCK_SIZE);
    Ack(cut, 0, 0, ZYL_BLOCK_SIZE, 1);
    EXPECT_EQ(std::make_pair(cut->m_nFileIndex, cut->m_bRunning), std::make_pair(0, 0));
    EXPECT_FALSE(cut->m_sLastError.empty());
}

TEST_F(CZylUploadFlowTest, AnErrorAnswerStopsTheTransferWaitingForIt) {
    CZylTask* upload = SyncedFileOfSize(3 * ZYL_BLOCK_SIZE);
    EXPECT_EQ(Pieces().size(), 4u);
    ZylWriteFileBytes(Root() / "up" / "g.bin", "g");
    CZylTask* other = Upload(Root() / "up", u"g.bin", false);
    const std::u16string dl = ZylFromFsPath(Root() / "dl");
    CZylTask* listing = TasksB().CreateDownloadTask(u"S1.1000", u"Docs", true, dl, {});
    CZylTask* fetching = TasksB().CreateDownloadTask(u"S1.1000", u"Docs\\x", false, dl, {});
    DeliverToB(ZYL_CMD_FILE_LIST_REPLY, FileListReply(fetching->m_nTaskID, 1, 0, {{u"Docs\\x", 9, {}}}));
    m_host.m_vSent.clear();
    // An error naming no task (some peers send it so) stops uploads and list requests, not a fetch.
    DeliverToB(ZYL_CMD_ERROR, ErrorPdu(ZYL_ERROR_NO_DISK_SPACE, 0));
    EXPECT_EQ(upload->m_sLastError, u"no space left on the device of S1.1000: Inbox\\in");
    EXPECT_TRUE(!upload->m_bRunning && !other->m_bRunning && !listing->m_bRunning && fetching->m_bRunning);
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_CLOSE_NOTICE).size(), 3u);
    // An answer that names a task stops that one; another user's answer stops nothing of A's.
    const auto removed = ErrorPdu(ZYL_ERROR_FILE_REMOVED, static_cast<uint32_t>(fetching->m_nTaskID));
    DeliverToB(ZYL_CMD_ERROR, removed, ZYL_CHANNEL_REQUEST, u"S1.1002");
    EXPECT_EQ(fetching->m_bRunning, 1);
    DeliverToB(ZYL_CMD_ERROR, removed);
    EXPECT_EQ(fetching->m_bRunning, 0);
    EXPECT_EQ(fetching->m_sLastError, u"S1.1000 answered \"file removed\" for Docs\\x");
}

TEST_F(CZylUploadFlowTest, StoppingMarksTheFileForANewSynchronisation) {
    CZylTask* task = SyncedFileOfSize((ZYL_PIECES_IN_FLIGHT + 12) * ZYL_BLOCK_SIZE);
    Ack(task, 0, 0, ZYL_BLOCK_SIZE, 0);
    Pieces();
    task->StopTask();
    EXPECT_FALSE(task->GetCurrentFile()->IsOpen());
    // Acknowledgements of pieces already sent still count: the other side has the bytes.
    Ack(task, 0, ZYL_BLOCK_SIZE, ZYL_BLOCK_SIZE, 0);
    EXPECT_TRUE(task->m_vFiles[0]->m_nFileOffset == 2 * ZYL_BLOCK_SIZE && Pieces().empty());
    task->Start();
    EXPECT_EQ(Carried(*m_pB, ZYL_CMD_SYNC_FILE_SIZE_REQUEST).size(), 1u);
    // The other side holds less than was acknowledged: a negative correction.
    Held(task, 0, 0);
    EXPECT_EQ(task->m_nCurrentSize, 0);
}
