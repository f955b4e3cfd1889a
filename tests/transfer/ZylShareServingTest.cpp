// The serving side of transfers asked by hand: pieces, open files, upload pieces, size queries, refusals.
#include "ZylTransferTestSupport.h"
#include "support/ZylScratchMount.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <optional>
#include <set>
#include <sys/resource.h>

namespace {
class CZylShareServingTest : public CZylTwoPluginTest {
protected:
    using STR = std::u16string;
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
    // Hands A a request as if B had sent it, and gives back what A answered.
    void DeliverToA(uint32_t command, const std::vector<uint8_t>& payload, const STR& from = u"S1.1001") {
        m_pA->Plugin().OnDataIndication(command, payload.data(), static_cast<int32_t>(payload.size()), from,
                                        ZYL_CHANNEL_REQUEST);
    }
    std::vector<ZYLSENTPDU> Ask(uint32_t command, const std::vector<uint8_t>& payload,
                                const STR& from = u"S1.1001") {
        m_host.m_vSent.clear();
        DeliverToA(command, payload, from);
        return Answers();
    }
    std::vector<ZYLSENTPDU> Answers() {
        m_host.Tick(10);
        std::vector<ZYLSENTPDU> out;
        for (const auto& pdu : m_host.m_vSent)
            if (pdu.from == u"S1.1000" && pdu.command != ZYL_CMD_UNFINISHED_TASKS_QUERY)
                out.push_back(pdu);
        m_host.m_vSent.clear();
        return out;
    }
    // The requests as a task builds them: task id, [file index,] share time, share path and what follows.
    static ZylPayloadWriter Request(int32_t taskId, std::optional<int32_t> index, const STR& path) {
        ZylPayloadWriter w;
        w.WriteInt32(taskId);
        if (index)
            w.WriteInt32(*index);
        w.Write(CZylDateTime()).WriteString(path);
        return w;
    }
    static std::vector<uint8_t> DataRequest(int32_t taskId, const STR& path, int32_t offset) {
        return Request(taskId, 5, path).WriteInt32(offset).Bytes();
    }
    static std::vector<uint8_t> WriteRequest(int32_t taskId, const STR& path, const STR& name, int32_t offset,
                                             int32_t end, const std::string& data) {
        ZylPayloadWriter w = Request(taskId, 2, path);
        w.WriteString(name).WriteInt32(0).Write(Time(2005, 6, 7, 8, 9, 10));
        w.WriteInt32(offset).WriteInt32(end).WriteInt32(static_cast<int32_t>(data.size()));
        return w.WriteBytes(data.data(), static_cast<int32_t>(data.size())).Bytes();
    }
    static std::vector<uint8_t> SizeRequest(int32_t taskId, const STR& path, const STR& name) {
        return Request(taskId, {}, path).WriteString(name).WriteInt32(3).Bytes();
    }
    static std::vector<uint8_t> Notice(int32_t taskId, int32_t kind, const STR& path, int32_t flag) {
        ZylPayloadWriter w;
        w.Write(CZylDateTime()).WriteInt32(taskId).WriteInt32(kind).WriteString(path).WriteInt32(flag);
        return w.Bytes();
    }
    // A's file data reply on the data channel from its time on (empty for any other answer); the expected.
    std::vector<uint8_t> Fetch(int32_t taskId, const STR& path, int32_t offset) {
        const auto replies = Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(taskId, path, offset));
        if (replies.size() != 1 || replies[0].command != ZYL_CMD_FILE_DATA_REPLY ||
            replies[0].channel != ZYL_CHANNEL_DATA)
            return {};
        return {replies[0].payload.begin() + 8, replies[0].payload.end()};
    }
    static std::vector<uint8_t> Piece(int32_t taskId, int32_t last, int32_t offset, const std::string& data) {
        const auto bytes = FileDataReply(taskId, 5, last, offset, data);
        return {bytes.begin() + 8, bytes.end()};
    }
    std::vector<ZYLSENTPDU> Write(int32_t taskId, const std::u16string& name, int32_t offset, int32_t end,
                                  const std::string& data, const std::u16string& from = u"S1.1001") {
        return Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(taskId, u"Inbox", name, offset, end, data),
                   from);
    }
    // A's answer to a size query into the inbox: task id, file index, the size held.
    std::vector<int32_t> Held(int32_t taskId, const std::u16string& name,
                              const std::u16string& from = u"S1.1001") {
        const auto replies = Ask(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, SizeRequest(taskId, u"Inbox", name), from);
        return replies.size() == 1 && replies[0].command == ZYL_CMD_SYNC_FILE_SIZE_REPLY
                   ? TaskNumbers(replies[0].payload)
                   : std::vector<int32_t>{};
    }
    static std::vector<int32_t> Numbers(const ZYLSENTPDU& reply) { return TaskNumbers(reply.payload); }
    static int32_t ErrorCode(const std::vector<ZYLSENTPDU>& replies) {
        return replies.size() == 1 && replies[0].command == ZYL_CMD_ERROR ? replies[0].payload[3] : -1;
    }
};
} // namespace

TEST_F(CZylShareServingTest,
       PiecesCarryTheLastBlockFlagOnlyWhenTheEndIsSeenCloseOnlyTheirOwnFileOrAreRefused) {
    const std::string data = RandomBytes(ZYL_BLOCK_SIZE, 11);
    ZylWriteFileBytes(DataA() / "docs" / "one.bin", data);
    ZylWriteFileBytes(DataA() / "docs" / "small.txt", std::string(100, 's'));
    EXPECT_EQ(Fetch(7, u"Docs\\one.bin", 0), Piece(7, 0, 0, data));
    // A second download of the same file holds a file of its own.
    EXPECT_EQ(Fetch(8, u"Docs\\one.bin", 0), Piece(8, 0, 0, data));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 2u);
    EXPECT_EQ(Fetch(7, u"docs\\one.bin", ZYL_BLOCK_SIZE), Piece(7, 1, ZYL_BLOCK_SIZE, ""));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    // Another user's close notice for the same id closes nothing of B's; B's closes only its own.
    EXPECT_TRUE(Ask(ZYL_CMD_CLOSE_NOTICE, Notice(8, 2, u"Docs\\one.bin", 1), u"S1.1002").empty());
    EXPECT_TRUE(Ask(ZYL_CMD_CLOSE_NOTICE, Notice(7, 2, u"Docs\\one.bin", 1)).empty());
    EXPECT_EQ(SharesA().GetOpenFileCount(), 1u);
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(8, 2, u"Docs\\one.bin", 0));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
    EXPECT_EQ(Fetch(8, u"Docs\\small.txt", 0), Piece(8, 1, 0, std::string(100, 's')));
    EXPECT_EQ(Fetch(8, u"Docs\\small.txt", 5000), Piece(8, 1, 5000, ""));
    // Refusals name the task, so that only that one stops.
    for (const auto& [path, offset, code] : std::vector<std::tuple<std::u16string, int32_t, int32_t>>{
             {u"Nope\\small.txt", 0, ZYL_ERROR_SHARE_REMOVED},
             {u"Docs\\..\\inbox\\small.txt", 0, ZYL_ERROR_OTHER},
             {u"Docs", 0, ZYL_ERROR_FILE_REMOVED},
             {u"Docs\\small.txt", -1, ZYL_ERROR_FILE_REMOVED},
             {u"Docs\\missing.txt", 0, ZYL_ERROR_FILE_REMOVED},
             {u"Browse\\small.txt", 0,
              ZYL_ERROR_USER_DENIED}}) // pieces need the download right as a list does
        EXPECT_EQ(Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(9, path, offset)).at(0).payload,
                  ErrorPdu(code, 9));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
}

TEST_F(CZylShareServingTest, AnUploadIsWrittenBesideItsTargetWhichItReplacesOnlyWhenTheLastPieceArrives) {
    const fs::path target = DataA() / "inbox" / "sub" / "f.bin";
    const fs::path temp = DataA() / "inbox" / "sub" / "f.bin.S1.1001-4.fst";
    ZylWriteFileBytes(target, "old contents");
    ConnectThirdUser();
    const auto replies = Write(4, u"\\sub\\f.bin", 0, 0, std::string(4096, 'a'));
    EXPECT_EQ(replies.at(0).command, ZYL_CMD_WRITE_FILE_DATA_REPLY);
    EXPECT_EQ(Numbers(replies[0]), (std::vector<int32_t>{4, 2, 0, 4096, 0}));
    // Half way, others see the old file and neither list nor fetch the new; a look-alike name is a file.
    EXPECT_EQ(ZylReadFileBytes(target), "old contents");
    EXPECT_EQ(fs::file_size(temp), 4096u);
    Write(2147483647, u"\\sub\\g.bin", 0, 0, "g");
    ZylWriteFileBytes(target.parent_path() / "v.S1.1-2a.fst", "v");
    ZylShareList listed;
    SharesA().EnumFiles(ZylFromFsPath(target.parent_path()), listed, false);
    std::multiset<std::u16string> names;
    for (const auto& file : listed)
        names.insert(file->GetName());
    EXPECT_EQ(names, (std::multiset<std::u16string>{u"f.bin", u"v.S1.1-2a.fst"}));
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(2147483647, 4, u"Inbox", 0));
    const std::u16string hidden = u"Inbox\\sub\\f.bin.S1.1001-4.fst";
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_FILE_DATA_REQUEST, DataRequest(9, hidden, 0), u"S1.1002")),
              ZYL_ERROR_FILE_REMOVED);
    ZylPayloadWriter list;
    list.WriteInt32(9).Write(CZylDateTime()).WriteInt32(0).WriteString(hidden);
    EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_FILE_LIST_REQUEST, list.Bytes(), u"S1.1002")), ZYL_ERROR_FILE_REMOVED);
    // Nor may an upload name such a file as its target, or make a folder of that form.
    for (const auto& [folder, name] : {std::pair{u"Inbox", u"\\sub\\f.bin.S1.1001-4.fst"},
                                       {u"Inbox", u"\\d.S1.1002-3.fst\\x"},
                                       {u"Inbox\\d.S1.1002-3.fst", u"x"},
                                       {u"Inbox", u"\\e.SM9.9-90.fst"}})
        EXPECT_EQ(ErrorCode(Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(5, folder, name, 0, 1, "x"),
                                u"S1.1002")),
                  ZYL_ERROR_OTHER);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "d.S1.1002-3.fst"));
    EXPECT_EQ(Numbers(Write(4, u"\\sub\\f.bin", 4096, 1, "tail").at(0)),
              (std::vector<int32_t>{4, 2, 4096, 4, 1}));
    EXPECT_EQ(ZylReadFileBytes(target), std::string(4096, 'a') + "tail");
    // A piece that would leave a gap is refused and writes nothing, whatever file has the target's name.
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
    EXPECT_TRUE(fs::is_directory(DataA() / "inbox" / "new" / "deep") &&
                fs::is_empty(DataA() / "inbox" / "new" / "deep"));
    // Task 4 goes on from its last whole piece, sent again; another task or another user starts from 0.
    const std::string data = RandomBytes(3 * ZYL_BLOCK_SIZE, 4);
    for (int32_t i = 0; i < 3; ++i)
        Write(4, u"part.bin", i * ZYL_BLOCK_SIZE, 0, data.substr(i * ZYL_BLOCK_SIZE, ZYL_BLOCK_SIZE));
    SharesA().RemoveCurrentUserFromShares(u"S1.1001"); // as when its channels close: nothing held open
    EXPECT_EQ(Held(5, u"part.bin"), (std::vector<int32_t>{5, 3, 0}));
    EXPECT_EQ(Held(4, u"part.bin", u"S1.1002"), (std::vector<int32_t>{4, 3, 0}));
    EXPECT_EQ(Held(4, u"part.bin"), (std::vector<int32_t>{4, 3, 2 * ZYL_BLOCK_SIZE}));
    EXPECT_EQ(SharesA().GetOpenFileCount(), 0u);
}

TEST_F(CZylShareServingTest, AWriteThatFailsIsAnsweredWithItsErrorAndAFailedCompletionIsNoSuccess) {
    const std::string piece(ZYL_BLOCK_SIZE, 'p');
    // A full disk (a file size limit stands in) is answered "no disk space"; with room the upload goes on.
    ASSERT_EQ(Write(4, u"full.bin", 0, 0, piece).at(0).command, ZYL_CMD_WRITE_FILE_DATA_REPLY);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{ZYL_BLOCK_SIZE + 100, before.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    DeliverToA(ZYL_CMD_WRITE_FILE_DATA_REQUEST,
               WriteRequest(4, u"Inbox", u"full.bin", ZYL_BLOCK_SIZE, 1, piece));
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ErrorCode(Answers()), ZYL_ERROR_NO_DISK_SPACE);
    EXPECT_TRUE(!fs::exists(DataA() / "inbox" / "full.bin") && SharesA().GetOpenFileCount() == 0);
    EXPECT_EQ(Held(4, u"full.bin"), (std::vector<int32_t>{4, 3, ZYL_BLOCK_SIZE}));
    EXPECT_EQ(Numbers(Write(4, u"full.bin", ZYL_BLOCK_SIZE, 1, "end").at(0)),
              (std::vector<int32_t>{4, 2, ZYL_BLOCK_SIZE, 3, 1}));
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "full.bin"), ZYL_BLOCK_SIZE + 3u);
    // A folder took the target's name meanwhile: a failure, and the upload's file stays for another try.
    Write(5, u"late.bin", 0, 0, piece);
    fs::create_directories(DataA() / "inbox" / "late.bin" / "inside");
    EXPECT_EQ(ErrorCode(Write(5, u"late.bin", ZYL_BLOCK_SIZE, 1, "end")), ZYL_ERROR_OTHER);
    EXPECT_EQ(fs::file_size(DataA() / "inbox" / "late.bin.S1.1001-5.fst"), ZYL_BLOCK_SIZE + 3u);
    // The last piece is acknowledged once the file is on the disk, other answers wait behind it; one the disk
    // refuses is answered with the error and replaces nothing.
    std::promise<void> flushing;
    int refusal = 0;
    SharesA().SetFlushFile(
        [&, go = flushing.get_future().share()](const fs::path&) { return go.wait(), refusal; });
    DeliverToA(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(8, u"Inbox", u"synced.bin", 0, 1, "abc"));
    DeliverToA(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(9, u"Inbox", u"next.bin", 0, 0, "x"));
    EXPECT_EQ(m_pA->Plugin().GetQueuedCount(u"S1.1001", ZYL_CHANNEL_REQUEST), 0u);
    EXPECT_FALSE(fs::exists(DataA() / "inbox" / "synced.bin"));
    flushing.set_value();
    std::vector<std::vector<int32_t>> acks;
    for (const auto& ack : Answers())
        acks.push_back(Numbers(ack));
    EXPECT_EQ(acks, (std::vector<std::vector<int32_t>>{{8, 2, 0, 3, 1}, {9, 2, 0, 1, 0}}));
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
    struct RESTORE {
        rlimit limit{};
        ~RESTORE() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } before;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before.limit), 0);
    const rlimit low{static_cast<rlim_t>(highest + 1 + 24), before.limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int32_t taskId = 1; taskId <= 500; ++taskId)
        ASSERT_EQ(Fetch(taskId, u"Docs\\one.bin", 0), Piece(taskId, 0, 0, data.substr(0, ZYL_BLOCK_SIZE)));
    EXPECT_LE(SharesA().GetOpenFileCount(), CZylManagerBase::MAX_OPEN_FILES_PER_PEER);
    EXPECT_EQ(SharesA().SaveChanges(), 0);
    // Every descriptor left is taken: a new transfer is still served, in place of the least recently used.
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
        return Ask(ZYL_CMD_UPLOAD_REQUEST, Request(12, {}, path).Bytes());
    };
    EXPECT_EQ(ask(u"Inbox").at(0).command, ZYL_CMD_UPLOAD_REPLY);
    EXPECT_EQ(Numbers(ask(u"Inbox").at(0)), (std::vector<int32_t>{12, 1}));
    EXPECT_EQ(Numbers(ask(u"Docs").at(0)), (std::vector<int32_t>{12, 0}));
    EXPECT_EQ(ErrorCode(ask(u"Nope")), ZYL_ERROR_SHARE_REMOVED);
    EXPECT_EQ(ErrorCode(ask(u"Inbox\\..\\docs")), ZYL_ERROR_OTHER);
    // Names that climb out of the share write nothing anywhere; the refusal names the upload's task.
    auto refused = [&](const std::u16string& path, const std::u16string& name) {
        const auto written =
            Ask(ZYL_CMD_WRITE_FILE_DATA_REQUEST, WriteRequest(77, path, name, 0, 1, "payload"));
        EXPECT_EQ(written.at(0).payload, ErrorPdu(ZYL_ERROR_OTHER, 77)) << ZylToUtf8(name);
        EXPECT_EQ(Ask(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, SizeRequest(77, path, name)).at(0).payload,
                  ErrorPdu(ZYL_ERROR_OTHER, 77));
    };
    for (const char16_t* name :
         {u"..\\..\\evil.txt", u"\\a\\..\\..\\evil.txt", u"a/../../evil.txt", u"", u"\\\\evil.txt"})
        refused(u"Inbox", name);
    refused(u"Inbox\\..", u"evil.txt");
    fs::create_directories(Root() / "elsewhere"); // nor through a link to a folder outside the share
    fs::create_directory_symlink(Root() / "elsewhere", DataA() / "inbox" / "out");
    refused(u"Inbox", u"out\\evil.txt");
    fs::remove(DataA() / "inbox" / "out");
    for (const auto& item : fs::recursive_directory_iterator(Root()))
        EXPECT_NE(item.path().filename(), "evil.txt") << item.path();
    EXPECT_TRUE(fs::is_empty(DataA() / "inbox"));
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
    auto report = [&](std::vector<int32_t> kinds, std::vector<std::u16string> names, int32_t count,
                      const std::u16string& from) {
        ZylPayloadWriter w;
        w.Write(CZylDateTime()).WriteInt32(count);
        for (size_t i = 0; i < kinds.size(); ++i)
            w.WriteInt32(kinds[i]).WriteString(names[i]);
        EXPECT_TRUE(Ask(ZYL_CMD_UNFINISHED_TASKS_REPLY, w.Bytes(), from).empty());
    };
    // The user's downloads and uploads on the share, or -1 when it is no current user there.
    auto counts = [&](const char16_t* name, const char16_t* user) {
        CZylShareObject* share = nullptr;
        ZYLSHAREUSER* entry = nullptr;
        EXPECT_GE(SharesA().FindShareByName(name, &share), 0);
        return share->FindCurrentUser(user, &entry) < 0 ? std::pair(-1, -1)
                                                        : std::pair(entry->downloads, entry->uploads);
    };
    // Items the user holds no right for (or of no known kind or share) count nowhere.
    report({2, 4, 2, 2, 9, 4, 2}, {u"Docs\\a", u"Inbox", u"Inbox\\x", u"Nope", u"Docs", u"Docs", u"Browse"},
           7, u"S1.1001");
    EXPECT_EQ(counts(u"Browse", u"S1.1001"), std::pair(-1, -1));
    EXPECT_EQ(counts(u"Docs", u"S1.1001"), std::pair(1, 0));
    EXPECT_EQ(counts(u"Inbox", u"S1.1001"), std::pair(1, 1));
    // A count the payload cannot hold is not believed; close notices lower the counts.
    report({2}, {u"Docs"}, 1000000, u"S1.1002");
    EXPECT_EQ(counts(u"Docs", u"S1.1002"), std::pair(-1, -1));
    // A refused announcement of another task leaves the reported upload counted; announced, it counts once.
    SharesA().SetNoUpload(1);
    Ask(ZYL_CMD_UPLOAD_REQUEST, Request(5, {}, u"inbox").Bytes());
    SharesA().SetNoUpload(0);
    EXPECT_EQ(counts(u"Inbox", u"S1.1001"), std::pair(1, 1));
    Ask(ZYL_CMD_UPLOAD_REQUEST, Request(3, {}, u"inbox").Bytes());
    EXPECT_EQ(counts(u"Inbox", u"S1.1001"), std::pair(1, 1));
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(3, 4, u"Inbox", 0));
    EXPECT_EQ(counts(u"Inbox", u"S1.1001"), std::pair(1, 0));
    Ask(ZYL_CMD_CLOSE_NOTICE, Notice(6, 2, u"Docs", 0)); // and a download's, the downloads
    EXPECT_EQ(counts(u"Docs", u"S1.1001"), std::pair(0, 0));
}
