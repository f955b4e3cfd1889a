// The serving side of transfers, asked by hand: pieces of a shared file with their last-block flag, the files
// held open per transfer and their bound, upload pieces into the upload's own file and size queries with
// every refusal and write failure, the unfinished tasks a peer reports and the close notice.
#include "ZylTransferTestSupport.h"

#include "support/ZylScratchMount.h"

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <future>

using namespace zyltest;

namespace {

struct REPLY {
    uint32_t command;
    std::vector<uint8_t> payload;
};

class CZylShareServingTest : public CZylTwoPluginTest {
protected:
    void SetUp() override {
        CZylTwoPluginTest::SetUp();
        ShareOnA(u"Docs", DataA() / "docs", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
        ShareOnA(u"Inbox", DataA() / "inbox", 7);
        ShareOnA(u"Browse", DataA() / "docs", ZYL_PRIV_BROWSE);
    }

    // A third user, S1.1002, whose channels to A are open, so that A's answers to it are carried.
    void ConnectThirdUser() {
        CZylTestNode& c = m_host.AddNode(u"S1.1002");
        ASSERT_EQ(m_host.Login(c), 0);
        m_host.Connect(*m_pA, c);
        m_host.Tick(20);
    }

    // Hands A a request as if B had sent it and gives back what A answered.
    std::vector<REPLY> Ask(uint32_t command, const std::vector<uint8_t>& payload,
                           const std::u16string& from = u"S1.1001") {
        m_host.m_vSent.clear();
        m_pA->Plugin().OnDataIndication(command, payload.data(), static_cast<int32_t>(payload.size()), from,
                                        ZYL_CHANNEL_REQUEST);
        m_host.Tick(10);
        std::vector<REPLY> out;
        for (const auto& pdu : m_host.m_vSent)
            if (pdu.from == u"S1.1000" && pdu.command != ZYL_CMD_UNFINISHED_TASKS_QUERY)
                out.push_back({pdu.command, pdu.payload});
        return out;
    }

    static std::vector<uint8_t> DataRequest(int32_t taskId, const std::u16string& path, int32_t offset) {
        ZylPayloadWriter w;
        w.WriteInt32(taskId).WriteInt32(5);
        w.Write(CZylDateTime());
        w.WriteString(path).WriteInt32(offset);
        return w.Bytes();
    }
    static std::vector<uint8_t> WriteRequest(int32_t taskId, const std::u16string& path,
                                             const std::u16string& name, int32_t offset, int32_t end,
                                             const std::string& data,
                                             const CZylDateTime& modified = Time(2005, 6, 7, 8, 9, 10)) {
        ZylPayloadWriter w;
        w.WriteInt32(taskId).WriteInt32(2);
        w.Write(CZylDateTime());
        w.WriteString(path).WriteString(name).WriteInt32(0);
        w.Write(modified);
        w.WriteInt32(offset).WriteInt32(end).WriteInt32(static_cast<int32_t>(data.size()));
        w.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
        return w.Bytes();
    }
    static std::vector<uint8_t> Notice(int32_t taskId, int32_t kind, const std::u16string& path,
                                       int32_t flag) {
        ZylPayloadWriter w;
        w.Write(CZylDateTime());
        w.WriteInt32(taskId).WriteInt32(kind).WriteString(path).WriteInt32(flag);
        return w.Bytes();
    }
    static std::vector<uint8_t> UploadRequest(int32_t taskId, const std::u16string& path) {
        ZylPayloadWriter w;
        w.WriteInt32(taskId).Write(CZylDateTime());
        return w.WriteString(path), w.Bytes();
    }
    static std::vector<uint8_t> SizeRequest(int32_t taskId, const std::u16string& path,
                                            const std::u16string& name) {
        ZylPayloadWriter w;
        w.WriteInt32(taskId);
        w.Write(CZylDateTime());
        w.WriteString(path).WriteString(name).WriteInt32(3);
        return w.Bytes();
    }

    // A's answer to a file data request from its time on, as a file data reply carrying that piece reads from
    // there; empty when the answer is something else.
    std::vector<uint8_t> Fetch(int32_t taskId, const std::u16string& path, int32_t offset) {
        const auto replies = Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(taskId, path, offset));
        if (replies.size() != 1 || replies[0].command != ZYL_CMD_FILE_DATA_REPLY)
            return {};
        return {replies[0].payload.begin() + 8, replies[0].payload.end()};
    }
    static std::vector<uint8_t> Piece(int32_t taskId, int32_t last, int32_t offset, const std::string& data) {
        const auto bytes = FileDataReply(taskId, 5, last, offset, data);
        return {bytes.begin() + 8, bytes.end()};
    }
    std::vector<REPLY> Write(int32_t taskId, const std::u16string& name, int32_t offset, int32_t end,
                             const std::string& data, const std::u16string& from = u"S1.1001") {
        return Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(taskId, u"Inbox", name, offset, end, data),
                   from);
    }
    // A's answer to a size query into the inbox: task id, file index, the size held.
    std::vector<int32_t> Held(int32_t taskId, const std::u16string& name,
                              const std::u16string& from = u"S1.1001") {
        const auto replies = Ask(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, SizeRequest(taskId, u"Inbox", name), from);
        return replies.size() == 1 && replies[0].command == ZYL_CMD_SYNC_FILE_SIZE_REPLY
                   ? Numbers(replies[0])
                   : std::vector<int32_t>{};
    }
    static std::vector<int32_t> Numbers(const REPLY& reply) { return TaskNumbers(reply.payload); }
    static int32_t ErrorCode(const std::vector<REPLY>& replies) {
        return replies.size() == 1 && replies[0].command == ZYL_CMD_ERROR ? replies[0].payload[3] : -1;
    }
};

} // namespace

TEST_F(CZylShareServingTest, PiecesCarryTheLastBlockFlagOnlyWhenTheEndIsSeenAndCloseOnlyTheirOwnFile) {
    const std::string data = RandomBytes(ZYL_BLOCK_SIZE, 11);
    ZylWriteFileBytes(DataA() / "docs" / "one.bin", data);
    ZylWriteFileBytes(DataA() / "docs" / "small.txt", std::string(100, 's'));
    EXPECT_EQ(Fetch(7, u"Docs\\one.bin", 0), Piece(7, 0, 0, data));
    EXPECT_EQ(m_host.m_vSent.back().channel, ZYL_CHANNEL_DATA);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    // A second download of the same file holds a file of its own.
    EXPECT_EQ(Fetch(8, u"Docs\\one.bin", 0), Piece(8, 0, 0, data));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 2u);
    EXPECT_EQ(Fetch(7, u"docs\\one.bin", ZYL_BLOCK_SIZE), Piece(7, 1, ZYL_BLOCK_SIZE, ""));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    // Another user's close notice for the same id closes nothing of B's; B's closes only its own.
    EXPECT_TRUE(Ask(ZYL_CMD_CLOSE_NOTICE, Notice(8, 2, u"Docs\\one.bin", 1), u"S1.1002").empty());
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    EXPECT_TRUE(Ask(ZYL_CMD_CLOSE_NOTICE, Notice(7, 2, u"Docs\\one.bin", 1)).empty());
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(8, 2, u"Docs\\one.bin", 0));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);

    EXPECT_EQ(Fetch(8, u"Docs\\small.txt", 0), Piece(8, 1, 0, std::string(100, 's')));
    EXPECT_EQ(Fetch(8, u"Docs\\small.txt", 5000), Piece(8, 1, 5000, ""));
    // A link that stays inside the share is served like the file it names.
    fs::create_symlink(DataA() / "docs" / "small.txt", DataA() / "docs" / "link.txt");
    EXPECT_EQ(Fetch(9, u"Docs\\link.txt", 0), Piece(9, 1, 0, std::string(100, 's')));
}

TEST_F(CZylShareServingTest, FileDataRefusalsNameTheTask) {
    ZylWriteFileBytes(DataA() / "docs" / "a.txt", "a");
    const std::vector<std::tuple<std::u16string, int32_t, int32_t>> refused = {
        {u"Nope\\a.txt", 0, ZYL_ERROR_SHARE_REMOVED},
        {u"Docs\\..\\inbox\\a.txt", 0, ZYL_ERROR_OTHER},
        {u"Docs", 0, ZYL_ERROR_FILE_REMOVED},
        {u"Docs\\a.txt", -1, ZYL_ERROR_FILE_REMOVED},
        {u"Docs\\missing.txt", 0, ZYL_ERROR_FILE_REMOVED},
        {u"Browse\\a.txt", 0, ZYL_ERROR_USER_DENIED}, // pieces need the download right as a list does
    };
    for (const auto& [path, offset, code] : refused) {
        const auto replies = Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(9, path, offset));
        ASSERT_EQ(replies.size(), 1u) << ZylToUtf8(path);
        EXPECT_EQ(replies[0].payload, ErrorPdu(code, 9)) << ZylToUtf8(path);
    }
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
}

TEST_F(CZylShareServingTest, AnUploadIsWrittenBesideItsTargetWhichItReplacesOnlyWhenTheLastPieceArrives) {
    const fs::path target = DataA() / "inbox" / "sub" / "f.bin";
    const fs::path temp = DataA() / "inbox" / "sub" / "f.bin.S1.1001-4.fst";
    ZylWriteFileBytes(target, "old contents");
    ConnectThirdUser();
    auto replies = Write(4, u"\\sub\\f.bin", 0, 0, std::string(4096, 'a'));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].command, ZYL_CMD_WRITE_FILE_DATA_REPLY);
    EXPECT_EQ(Numbers(replies[0]), (std::vector<int32_t>{4, 2, 0, 4096, 0}));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    // Half way, other friends see the old file under the name, and neither list nor fetch the new one.
    EXPECT_EQ(ZylReadFileBytes(target), "old contents");
    EXPECT_EQ(fs::file_size(temp), 4096u);
    ZylShareList listed;
    SharesA().EnumFiles(ZylFromFsPath(target.parent_path()), listed, false);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->GetName(), u"f.bin");
    // Whatever the length of the task id.
    Write(2147483647, u"\\sub\\g.bin", 0, 0, "g");
    listed.clear();
    SharesA().EnumFiles(ZylFromFsPath(target.parent_path()), listed, false);
    EXPECT_EQ(listed.size(), 1u);
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(2147483647, 4, u"Inbox", 0));
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(9, u"Inbox\\sub\\f.bin.S1.1001-4.fst", 0),
                            u"S1.1002")),
              ZYL_ERROR_FILE_REMOVED);
    ZylPayloadWriter listRequest;
    listRequest.WriteInt32(9).Write(CZylDateTime());
    listRequest.WriteInt32(0).WriteString(u"Inbox\\sub\\f.bin.S1.1001-4.fst");
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_FILE_LIST_REQUEST, listRequest.Bytes(), u"S1.1002")),
              ZYL_ERROR_FILE_REMOVED);
    // Nor may an upload name such a file as its target, or make a folder of that form.
    for (const auto& [folder, name] :
         {std::pair<std::u16string, std::u16string>{u"Inbox", u"\\sub\\f.bin.S1.1001-4.fst"},
          {u"Inbox", u"\\d.S1.1002-3.fst\\x"},
          {u"Inbox\\d.S1.1002-3.fst", u"x"}})
        EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(5, folder, name, 0, 1, "x"),
                                u"S1.1002")),
                  ZYL_ERROR_OTHER);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "d.S1.1002-3.fst"));

    replies = Write(4, u"\\sub\\f.bin", 4096, 1, "tail");
    EXPECT_EQ(Numbers(replies.at(0)), (std::vector<int32_t>{4, 2, 4096, 4, 1}));
    EXPECT_EQ(ZylReadFileBytes(target), std::string(4096, 'a') + "tail");
    EXPECT_FALSE(fs::exists(temp));
    fs::file_time_type expected;
    ASSERT_TRUE(ZylTimeToFileTime(Time(2005, 6, 7, 8, 9, 10), expected));
    EXPECT_EQ(fs::last_write_time(target), expected);
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);

    // A piece that would leave a gap is refused and writes nothing; so is a later piece of an upload that has
    // no file yet, whatever file has the target's name.
    ZylWriteFileBytes(DataA() / "inbox" / "short.bin", std::string(3000, 's'));
    EXPECT_EQ(ErrorCode(Write(5, u"short.bin", 4096, 0, std::string(10, 'x'))), ZYL_ERROR_OTHER);
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "short.bin"), 3000u);
    EXPECT_EQ(ErrorCode(Write(6, u"none.bin", 10, 0, "x")), ZYL_ERROR_OTHER);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "none.bin"));

    // An upload that stops keeps its file for the next start; one that is removed leaves nothing.
    Write(7, u"short.bin", 0, 0, "new");
    const fs::path shortTemp = DataA() / "inbox" / "short.bin.S1.1001-7.fst";
    EXPECT_TRUE(Ask(ZYL_CMD_CLOSE_NOTICE, Notice(7, 4, u"Inbox", 1)).empty());
    EXPECT_TRUE(fs::exists(shortTemp));
    Write(7, u"short.bin", 3, 0, "er");
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(7, 4, u"Inbox", 0));
    EXPECT_FALSE(fs::exists(shortTemp));
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "short.bin"), 3000u);
}

TEST_F(CZylShareServingTest, ASizeQueryAnswersOnlyWhatThisUploadWroteAndHoldsNoFileOpen) {
    ConnectThirdUser();
    EXPECT_EQ(Held(4, u"\\new\\deep\\f.bin"), (std::vector<int32_t>{4, 3, 0}));
    EXPECT_TRUE(fs::is_directory(DataA() / "inbox" / "new" / "deep"));
    EXPECT_TRUE(fs::is_empty(DataA() / "inbox" / "new" / "deep"));

    // Three whole pieces of task 4 arrived: it goes on from the third, which is sent again, so that the piece
    // marked last always comes; another task or another user starts from nothing.
    const std::string data = RandomBytes(3 * ZYL_BLOCK_SIZE, 4);
    for (int32_t i = 0; i < 3; ++i)
        Write(4, u"part.bin", i * ZYL_BLOCK_SIZE, 0, data.substr(i * ZYL_BLOCK_SIZE, ZYL_BLOCK_SIZE));
    // Asked while its file is still open, the answer is the same, and the third piece comes again.
    EXPECT_EQ(Held(4, u"part.bin"), (std::vector<int32_t>{4, 3, 2 * ZYL_BLOCK_SIZE}));
    Write(4, u"part.bin", 2 * ZYL_BLOCK_SIZE, 0, data.substr(2 * ZYL_BLOCK_SIZE, ZYL_BLOCK_SIZE));
    SharesA().RemoveCurrentUserFromShares(u"S1.1001"); // as when its channels close: nothing held open
    EXPECT_EQ(Held(5, u"part.bin"), (std::vector<int32_t>{5, 3, 0}));
    EXPECT_EQ(Held(4, u"part.bin", u"S1.1002"), (std::vector<int32_t>{4, 3, 0}));
    EXPECT_EQ(Held(4, u"part.bin"), (std::vector<int32_t>{4, 3, 2 * ZYL_BLOCK_SIZE}));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    EXPECT_EQ(Write(4, u"part.bin", 2 * ZYL_BLOCK_SIZE, 1, data.substr(2 * ZYL_BLOCK_SIZE)).at(0).command,
              ZYL_CMD_WRITE_FILE_DATA_REPLY);
    EXPECT_TRUE(SameBytes(ZylReadFileBytes(DataA() / "inbox" / "part.bin"), data));
}

TEST_F(CZylShareServingTest, AWriteThatFailsIsAnsweredWithItsErrorAndAFailedCompletionIsNoSuccess) {
    const std::string piece(ZYL_BLOCK_SIZE, 'p');
    // The disk fills up (a file size limit stands in for a small file system): the piece it stops is answered
    // "no disk space", and once there is room again the upload goes on where it was.
    ASSERT_EQ(Write(4, u"full.bin", 0, 0, piece).at(0).command, ZYL_CMD_WRITE_FILE_DATA_REPLY);
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = ZYL_BLOCK_SIZE + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto second = WriteRequest(4, u"Inbox", u"full.bin", ZYL_BLOCK_SIZE, 1, piece);
    m_pA->Plugin().OnDataIndication(ZYL_CMD_WRITE_FILE_DATA_REQUEST, second.data(),
                                    static_cast<int32_t>(second.size()), u"S1.1001", ZYL_CHANNEL_REQUEST);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    m_host.m_vSent.clear();
    m_host.Tick(10);
    const auto errors = m_host.SentWith(ZYL_CMD_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].payload[3], ZYL_ERROR_NO_DISK_SPACE);
    EXPECT_TRUE(m_host.SentWith(ZYL_CMD_WRITE_FILE_DATA_REPLY).empty());
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "full.bin"));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    EXPECT_EQ(Held(4, u"full.bin"), (std::vector<int32_t>{4, 3, ZYL_BLOCK_SIZE}));
    EXPECT_EQ(Numbers(Write(4, u"full.bin", ZYL_BLOCK_SIZE, 1, "end").at(0)),
              (std::vector<int32_t>{4, 2, ZYL_BLOCK_SIZE, 3, 1}));
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "full.bin"), ZYL_BLOCK_SIZE + 3u);

    // The target cannot be replaced at the end (a folder took its name meanwhile): a failure, and the
    // upload's file stays for another try.
    Write(5, u"late.bin", 0, 0, piece);
    fs::create_directories(DataA() / "inbox" / "late.bin" / "inside");
    EXPECT_EQ(ErrorCode(Write(5, u"late.bin", ZYL_BLOCK_SIZE, 1, "end")), ZYL_ERROR_OTHER);
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "late.bin.S1.1001-5.fst"), ZYL_BLOCK_SIZE + 3u);

    // The last piece is acknowledged only once the file is on the disk under its name, and the user's answers
    // that come meanwhile wait behind it; a file the disk refuses is answered with the error, and its target
    // is not replaced.
    std::promise<void> flushing;
    int refusal = 0;
    SharesA().SetFlushFile(
        [&, go = flushing.get_future().share()](const fs::path&) { return go.wait(), refusal; });
    for (const auto& request : {WriteRequest(8, u"Inbox", u"synced.bin", 0, 1, "abc"),
                                WriteRequest(9, u"Inbox", u"next.bin", 0, 0, "x")})
        m_pA->Plugin().OnDataIndication(ZYL_CMD_WRITE_FILE_DATA_REQUEST, request.data(),
                                        static_cast<int32_t>(request.size()), u"S1.1001",
                                        ZYL_CHANNEL_REQUEST);
    EXPECT_EQ(m_pA->Plugin().GetQueuedCount(u"S1.1001", ZYL_CHANNEL_REQUEST), 0u);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "synced.bin"));
    flushing.set_value();
    m_host.m_vSent.clear();
    m_host.Tick(10);
    const auto acks = m_host.SentWith(ZYL_CMD_WRITE_FILE_DATA_REPLY);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(Numbers({acks[0].command, acks[0].payload}), (std::vector<int32_t>{8, 2, 0, 3, 1}));
    EXPECT_EQ(Numbers({acks[1].command, acks[1].payload}), (std::vector<int32_t>{9, 2, 0, 1, 0}));
    refusal = ENOSPC;
    EXPECT_EQ(ErrorCode(Write(8, u"synced.bin", 0, 1, "d")), ZYL_ERROR_NO_DISK_SPACE);
    EXPECT_EQ(ZylReadFileBytes(DataA() / "inbox" / "synced.bin"), "abc");
    SharesA().SetFlushFile({});

    // A folder that cannot be written: a read-only file system of its own (as root), or its rights.
    const fs::path readOnly = DataA() / "inbox" / "ro";
    CZylScratchMount mount;
    if (mount.Mount(readOnly, 64 * 1024).empty())
        ASSERT_TRUE(mount.SetReadOnly(true));
    else if (geteuid() != 0)
        fs::create_directories(readOnly),
            fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    else
        GTEST_SKIP() << "no folder can be made read-only here";
    EXPECT_EQ(ErrorCode(Write(6, u"\\ro\\f.bin", 0, 1, "x")), ZYL_ERROR_OTHER);
    EXPECT_TRUE(fs::is_empty(readOnly));
    std::error_code ec;
    fs::permissions(readOnly, fs::perms::owner_all, ec);
}

TEST_F(CZylShareServingTest, AFloodOfNewTransfersHoldsFewFilesAndTheShareDatabaseCanStillBeSaved) {
    const std::string data = RandomBytes(2 * ZYL_BLOCK_SIZE, 8);
    ZylWriteFileBytes(DataA() / "docs" / "one.bin", data);
    // Room for only a few more descriptors than the process holds now.
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    struct rlimit low = before;
    low.rlim_cur = static_cast<rlim_t>(highest + 1 + 24);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    struct RESTORE {
        rlimit limit;
        ~RESTORE() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{before};

    for (int32_t taskId = 1; taskId <= 500; ++taskId)
        ASSERT_EQ(Fetch(taskId, u"Docs\\one.bin", 0), Piece(taskId, 0, 0, data.substr(0, ZYL_BLOCK_SIZE)));
    EXPECT_LE(SharesA().GetOpenFileCount(), CZylManagerBase::GetOpenFileBound());
    EXPECT_LE(SharesA().GetOpenFileCount(), CZylManagerBase::MAX_OPEN_FILES_PER_PEER);
    EXPECT_EQ(SharesA().SaveChanges(), 0);
    // Something else took every descriptor left: a new transfer is still served, in place of the least
    // recently used one.
    std::vector<int> taken;
    for (int fd; (fd = ::dup(0)) >= 0;)
        taken.push_back(fd);
    const size_t held = SharesA().GetOpenFileCount();
    const auto piece = Fetch(501, u"Docs\\one.bin", 0);
    for (int fd : taken)
        ::close(fd);
    EXPECT_EQ(piece, Piece(501, 0, 0, data.substr(0, ZYL_BLOCK_SIZE)));
    EXPECT_EQ(SharesA().GetOpenFileCount(), held);
    // A transfer whose file was closed for the others goes on where it was.
    EXPECT_EQ(Fetch(1, u"Docs\\one.bin", ZYL_BLOCK_SIZE),
              Piece(1, 0, ZYL_BLOCK_SIZE, data.substr(ZYL_BLOCK_SIZE)));
}

TEST_F(CZylShareServingTest, UploadConsentAndItsRefusals) {
    auto ask = [this](const std::u16string& path) {
        return Ask(ZYL_CMD_UPLOAD_REQUEST, UploadRequest(12, path));
    };
    auto replies = ask(u"Inbox");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].command, ZYL_CMD_UPLOAD_REPLY);
    EXPECT_EQ(Numbers(replies[0]), (std::vector<int32_t>{12, 1}));
    EXPECT_EQ(Numbers(ask(u"Docs").at(0)), (std::vector<int32_t>{12, 0}));
    EXPECT_EQ(ErrorCode(ask(u"Nope")), ZYL_ERROR_SHARE_REMOVED);
    EXPECT_EQ(ErrorCode(ask(u"Inbox\\..\\docs")), ZYL_ERROR_OTHER);
    // Pieces and size queries whose names climb out of the share write nothing anywhere; the refusal names
    // the upload's task, so that only that task stops.
    for (const auto& [path, name] :
         std::vector<std::pair<std::u16string, std::u16string>>{{u"Inbox", u"..\\..\\evil.txt"},
                                                                {u"Inbox", u"\\a\\..\\..\\evil.txt"},
                                                                {u"Inbox", u"a/../../evil.txt"},
                                                                {u"Inbox\\..", u"evil.txt"},
                                                                {u"Inbox", u""},
                                                                {u"Inbox", u"\\\\evil.txt"}}) {
        EXPECT_EQ(
            Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(77, path, name, 0, 1, "payload")).at(0).payload,
            ErrorPdu(ZYL_ERROR_OTHER, 77))
            << ZylToUtf8(name);
        EXPECT_EQ(Ask(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, SizeRequest(77, path, name)).at(0).payload,
                  ErrorPdu(ZYL_ERROR_OTHER, 77));
    }
    for (const auto& item : fs::recursive_directory_iterator(Root()))
        EXPECT_NE(item.path().filename(), "evil.txt") << item.path();
    EXPECT_TRUE(fs::is_empty(DataA() / "inbox"));
    // Nor through a link inside the share to a folder outside it.
    fs::create_directories(Root() / "elsewhere");
    fs::create_directory_symlink(Root() / "elsewhere", DataA() / "inbox" / "out");
    EXPECT_EQ(ErrorCode(Write(78, u"out\\evil.txt", 0, 1, "x")), ZYL_ERROR_OTHER);
    EXPECT_TRUE(fs::is_empty(Root() / "elsewhere"));
    fs::remove(DataA() / "inbox" / "out");
    SharesA().SetNoUpload(1);
    EXPECT_EQ(Numbers(ask(u"Inbox").at(0)), (std::vector<int32_t>{12, 0}));
    EXPECT_EQ(ErrorCode(Write(4, u"f.bin", 0, 1, "x")), ZYL_ERROR_USER_DENIED);
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, SizeRequest(4, u"Inbox", u"f.bin"))),
              ZYL_ERROR_USER_DENIED);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "f.bin"));
    // A length field beyond the payload is dropped; a negative one refused; neither writes.
    SharesA().SetNoUpload(0);
    auto request = WriteRequest(4, u"Inbox", u"f.bin", 0, 1, "abc");
    request[request.size() - 3 - 2] = 0x10; // 4099 bytes claimed, three follow
    EXPECT_TRUE(Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, request).empty());
    request[request.size() - 3 - 4] = 0xFF;
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, request)), ZYL_ERROR_OTHER);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "f.bin"));
}

TEST_F(CZylShareServingTest, UnfinishedTasksCountOnTheShareEachItemNames) {
    auto list = [](std::vector<std::pair<int32_t, std::u16string>> items, int32_t count) {
        ZylPayloadWriter w;
        w.Write(CZylDateTime());
        w.WriteInt32(count);
        for (const auto& [kind, name] : items)
            w.WriteInt32(kind).WriteString(name);
        return w.Bytes();
    };
    EXPECT_TRUE(Ask(ZYL_CMD_UNFINISHED_TASKS_REPLY, list({{2, u"Docs\\a"},
                                                          {4, u"Inbox"},
                                                          {2, u"Inbox\\x"},
                                                          {2, u"Nope"},
                                                          {9, u"Docs"},
                                                          {4, u"Docs"},
                                                          {2, u"Browse"}},
                                                         7))
                    .empty());
    // Items the user holds no right for do not make it a current user of their share.
    CZylShareObject *browse = nullptr, *docs = nullptr, *inbox = nullptr;
    SharesA().FindShareByName(u"Browse", &browse);
    SharesA().FindShareByName(u"Docs", &docs);
    SharesA().FindShareByName(u"Inbox", &inbox);
    EXPECT_EQ(browse->FindCurrentUser(u"S1.1001"), -1);
    ZYLSHAREUSER* entry = nullptr;
    ASSERT_GE(docs->FindCurrentUser(u"S1.1001", &entry), 0);
    EXPECT_EQ(entry->downloads, 1);
    EXPECT_EQ(entry->uploads, 0);
    ASSERT_GE(inbox->FindCurrentUser(u"S1.1001", &entry), 0);
    EXPECT_EQ(entry->downloads, 1);
    EXPECT_EQ(entry->uploads, 1);

    // A count the payload cannot hold is not believed.
    Ask(ZYL_CMD_UNFINISHED_TASKS_REPLY, list({{2, u"Docs"}}, 1000000), u"S1.1002");
    EXPECT_EQ(docs->FindCurrentUser(u"S1.1002"), -1);

    // A refused announcement of another task leaves the reported upload counted.
    SharesA().SetNoUpload(1);
    Ask(ZYL_CMD_UPLOAD_REQUEST, UploadRequest(5, u"inbox"));
    SharesA().SetNoUpload(0);
    EXPECT_EQ(entry->uploads, 1);
    // The reported upload, announced, still counts once; its close notice lowers the count.
    Ask(ZYL_CMD_UPLOAD_REQUEST, UploadRequest(3, u"inbox"));
    EXPECT_EQ(entry->uploads, 1);
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(3, 4, u"Inbox", 0));
    ASSERT_GE(inbox->FindCurrentUser(u"S1.1001", &entry), 0);
    EXPECT_EQ(entry->uploads, 0);
    EXPECT_EQ(entry->downloads, 1);
}
