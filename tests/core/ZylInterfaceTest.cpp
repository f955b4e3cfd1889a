// The host's codes as the host calls them: login and logout, the channel and data events, the
// command table and the received error PDU. (The window that code 3 shows is driven by the window's
// own tests.)
#include "ZylScriptedHost.h"

#include "core/ZylDateTime.h"
#include "core/ZylDbFile.h"
#include "core/ZylPayload.h"

#include <gtest/gtest.h>

#include <tuple>

namespace fs = std::filesystem;

namespace {

// The error PDU's payload; its count is the data's size unless a test gives another.
std::vector<uint8_t> ErrorPdu(uint32_t code, std::vector<uint8_t> data = {}, int64_t count = -1) {
    ZylPayloadWriter writer;
    writer.WriteInt32(code).WriteInt32(0).WriteInt32(0);
    writer.WriteInt32(static_cast<uint32_t>(count < 0 ? static_cast<int64_t>(data.size()) : count));
    writer.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    return writer.Bytes();
}

// Nothing of a session is left: no state, no timer, no folder, no log.
bool Uninitialised(CZylScriptedHost& host) {
    return !host.Plugin().IsInitialized() && host.Platform().GetTimerCount() == 0 &&
           !fs::exists(host.PluginFolder()) && host.Plugin().WriteLog(3, u"refused") == -1;
}

// A host user whose id text has 20 characters, the most a record holds, or 21.
HostUserId LongUser(size_t length) {
    return ZylHostId(length == 21 ? u"S4294967295.214748364" : u"S4294967295.21474836");
}

std::vector<std::pair<int32_t, intptr_t>> g_vPlainCalls; // code, and a1 where it is no buffer
int32_t PlainCallback(int32_t code, intptr_t a1, intptr_t, intptr_t, intptr_t, intptr_t) {
    g_vPlainCalls.emplace_back(code, code == ZYL_HOST_GET_APP_PATH ? 0 : a1);
    return code == ZYL_HOST_GET_APP_PATH ? -1 : 0;
}

} // namespace

// Login, logout and the codes that do nothing

TEST(ZylEntryPoint, LoginMakesTheFolderDatabasesTimerAndLogLineAndASecondLoginIsRefused) {
    CZylScriptedHost host;
    host.m_sAppPath += u"/"; // one trailing separator is dropped
    host.SetCallback();
    ASSERT_EQ(host.m_vCalls.size(), 1u);
    EXPECT_EQ(std::make_pair(host.m_vCalls[0].code, host.m_vCalls[0].a1),
              (std::pair<int32_t, intptr_t>{ZYL_HOST_PREPARE, 3}));
    host.m_vCalls.clear();
    EXPECT_EQ(host.Logout(), 0) << "logout before login does nothing";
    EXPECT_TRUE(host.m_vCalls.empty());
    // A foreign task database found at login is set aside, with a warning in the log.
    const fs::path tasks = host.PluginFolder() / "fst-S1.1000.fsd";
    ZylWriteFileBytes(tasks, ZylToUtf16Le(u"#zyl task file, version=Beta0.1\n#id=S1.9999\nTaskNum=0\n"));
    ASSERT_EQ(host.Login(), 0);
    const std::u16string folder = ZylFromFsPath(host.PluginFolder());
    // A second login without a logout changes nothing.
    const auto state = [&] {
        return std::make_tuple(host.Plugin().GetLoginId(), host.Plugin().GetTaskManager().GetLoginId(),
                               host.Plugin().GetShareManager().GetDbPath(), host.Platform().GetTimerCount());
    };
    const auto first = std::make_tuple(u"S1.1000", u"S1.1000", folder + u"/fss-S1.1000.fsd", size_t{1});
    EXPECT_EQ(state(), first);
    EXPECT_EQ(host.Login(u"S5.1000"), -1);
    EXPECT_EQ(state(), first);
    // The log's lines wait for their batch; logout writes them, and nothing is logged after it.
    host.Plugin().WriteLog(1, u"before");
    EXPECT_FALSE(fs::exists(host.LogFile()));
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(host.Plugin().WriteLog(1, u"after"), -1);
    EXPECT_EQ(host.Platform().GetTimerCount(), 0u);
    // The next login is taken, and its session appends; unloading writes what is pending.
    host.Platform().m_nCalendarTime = 1200000000 + 3600;
    EXPECT_EQ(host.Login(u"S5.1000"), 0);
    EXPECT_EQ(host.Plugin().GetShareManager().GetLoginId(), u"S5.1000");
    ASSERT_GT(host.Plugin().WriteLog(3, u"browsing S2.1000"), 0);
    host.Unload();
    EXPECT_EQ(host.Log(), ZylLines({ZYL_TIME + u"\t3\tlogin as S1.1000",
                                    ZYL_TIME + u"\t2\tthe task database of S1.9999 was set aside as " +
                                        ZylFromFsPath(tasks) + u".foreign-20080110-212000",
                                    ZYL_TIME + u"\t1\tbefore", u"2008-01-10 22:20:00\t3\tlogin as S5.1000",
                                    u"2008-01-10 22:20:00\t3\tbrowsing S2.1000"}));
}

TEST(ZylEntryPoint, ALoginWithoutItsUserOrFolderIsRefusedAndLeavesThePluginUninitialised) {
    // Cut to 20 characters a longer id would be another user's, and open that user's databases.
    const HostUserId invalid = ZylHostId(u"S12.999"); // its text would be "Invalid ID"
    const HostUserId tooLong = LongUser(21), longest = LongUser(20);
    for (const HostUserId* user : std::initializer_list<const HostUserId*>{nullptr, &invalid, &tooLong}) {
        CZylScriptedHost host;
        host.SetCallback();
        EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(user)), -1);
        EXPECT_TRUE(Uninitialised(host));
        EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&longest)), 0);
        EXPECT_EQ(host.Plugin().GetLoginId(), longest.ToText());
    }
    // A host that refuses the application path: code 0 stored a plain callback, and login fails.
    CZylScriptedHost host;
    g_vPlainCalls.clear();
    EXPECT_EQ(host.Code(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&PlainCallback)), 0);
    const HostUserId me = ZylHostId(u"S1.1000");
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&me)), -1);
    EXPECT_EQ(g_vPlainCalls, (std::vector<std::pair<int32_t, intptr_t>>{{520, 3}, {518, 0}}));
    EXPECT_TRUE(Uninitialised(host));
    EXPECT_EQ(host.Login(), 0) << "a login the host answers is taken afterwards";
}

// Channel events

TEST(ZylChannelEvents, TheUnfinishedTasksQueryLeavesOnceWhenTheSecondChannelOpens) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    // Failed opens, and ids a record cannot hold (cut to 20 characters a longer id would name
    // another user) or no id at all, make no record.
    for (int32_t channel : {1024, 1025}) {
        host.Channel(DLL_P2P_ON_CONNECT, LongUser(21), channel);
        host.Code(DLL_P2P_ON_CONNECT, 0, channel, 0);
    }
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024, 1);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025, -3);
    EXPECT_EQ(host.Plugin().GetUserList().GetCount(), 0);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024);
    host.Tick(50);
    EXPECT_TRUE(host.Offered().empty());
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 0), 0);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Tick();
    auto sent = host.Taken();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::make_tuple(sent[0].user, sent[0].a2, sent[0].a3),
              std::make_tuple(u"S2.1000", 1024L, 4112L));
    const CZylDateTime now(1200000000); // the time of the query, in full
    EXPECT_EQ(sent[0].payload, ZylPayloadWriter().Write(now).Bytes());
    // Repeated reports of open channels, and failed reports, start nothing again.
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025, 1);
    host.Tick(50);
    EXPECT_EQ(host.Taken().size(), 1u);
    // A failed close leaves the channel connected; a channel that closed and opened again completes
    // the pair anew.
    EXPECT_EQ(host.Channel(DLL_P2P_ON_DISCONNECT, u"S2.1000", 1025, 1), 0);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 0), 1);
    host.Channel(DLL_P2P_ON_DISCONNECT, u"S2.1000", 1025);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1025), 0);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1024), 1);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Tick();
    EXPECT_EQ(host.Taken().size(), 2u);
}

TEST(ZylChannelEvents, AHostThatOpensChannelsAtOnceDuringLoginStillGetsTheQuery) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    // A stored task makes the next login ask for its user's channels.
    ASSERT_NE(host.Plugin().GetTaskManager().CreateDownloadTask(u"S2.1000", u"Docs\\a.txt", false,
                                                                host.m_sAppPath, CZylDateTime()),
              nullptr);
    ASSERT_EQ(host.Logout(), 0);
    // This host reports each channel open inside the request, and a peer's error comes with it.
    host.m_fnDuringCall = [&](const ZYLHOSTCALL& call) {
        if (call.code == ZYL_HOST_OPEN_CHANNEL)
            host.Channel(DLL_P2P_ON_CONNECT, call.user, static_cast<int32_t>(call.a2));
        if (call.code == ZYL_HOST_OPEN_CHANNEL && call.a2 == ZYL_CHANNEL_DATA)
            host.Data(call.user, ZYL_CHANNEL_REQUEST, ZYL_CMD_ERROR, ErrorPdu(7));
    };
    ASSERT_EQ(host.Login(), 0);
    host.m_fnDuringCall = nullptr;
    host.Tick();
    ASSERT_FALSE(host.Taken().empty());
    EXPECT_EQ(std::make_pair(host.Taken()[0].user, host.Taken()[0].a3),
              std::make_pair(std::u16string(u"S2.1000"), 4112L));
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(host.Log(),
              ZylLines({ZYL_TIME + u"\t3\tlogin as S1.1000", ZYL_TIME + u"\t3\tlogin as S1.1000",
                        ZYL_TIME + u"\t1\terror pdu channel#1024, userid: S2.1000, error: net busy"}));
    // An error that arrives while logged out cannot be logged, and does no harm.
    EXPECT_EQ(host.Data(u"S2.1000", ZYL_CHANNEL_REQUEST, ZYL_CMD_ERROR, ErrorPdu(8)), 0);
}

// Data events and the command table

TEST(ZylDispatch, ErrorPdusAreLoggedWithTheirTextCutOffOnesDroppedAndOtherCommandsAndCodesIgnored) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Connect(u"S2.1000");
    host.Tick();
    host.m_vCalls.clear();
    const HostUserId peer = ZylHostId(u"S2.1000");
    const auto id = reinterpret_cast<intptr_t>(&peer);
    const std::u16string_view texts[] = {
        u"no error",     u"local buffer full", u"net buffer full", u"file removed", u"share removed",
        u"disconnected", u"no disk space",     u"net busy",        u"user denied",  u"other error"};
    for (uint32_t code = 0; code < 10; ++code)
        EXPECT_EQ(host.Data(u"S2.1000", 1024, 4117, ErrorPdu(code)), 0);
    EXPECT_EQ(host.Data(u"S2.1000", 1024, 4117, ErrorPdu(10)), 0);
    // Only the low sixteen bits of the command count.
    EXPECT_EQ(host.Data(u"S2.1000", 1025, 0xFFFF0000u + 4117u, ErrorPdu(0xFFFFFFFF)), 0);
    EXPECT_EQ(host.Data(u"SM7.2000", 1024, 0x10000u + 4117u, ErrorPdu(3, {1, 2, 3})), 0);
    EXPECT_EQ(host.Data(LongUser(20), 1024, 4117, ErrorPdu(8)), 0);
    // Refused or dropped: an id of 21 characters (before the command is looked at), data whose
    // count passes its end, no user, no bytes.
    EXPECT_EQ(host.Data(LongUser(21), 1024, 4117, ErrorPdu(8)), -1);
    EXPECT_EQ(host.Data(LongUser(21), 1024, 4095, {}), -1);
    for (uint32_t count : {3u, 0xFFFFFFFFu, 0x80000000u})
        EXPECT_EQ(host.Data(u"S2.1000", 1024, 4117, ErrorPdu(8, {1, 2}, count)), 0);
    EXPECT_EQ(host.Data(u"S2.1000", 1024, 4117, std::vector<uint8_t>(12)), 0); // no count at all
    const auto payload = ErrorPdu(8);
    const auto bytes = reinterpret_cast<intptr_t>(payload.data());
    EXPECT_EQ(host.Code(DLL_P2P_ON_DATA, 0, 1024, 4117, bytes, static_cast<intptr_t>(payload.size())), -1);
    EXPECT_EQ(host.Code(DLL_P2P_ON_DATA, id, 1024, 4117, bytes, -16), 0);
    EXPECT_EQ(host.Code(DLL_P2P_ON_DATA, id, 1024, 4117, 0, 16), 0);
    // Commands outside the table, the unused ones and host codes above eleven do nothing: with
    // arguments shaped like a data event any action would show in the log or the sends.
    for (uint32_t command : {4095u, 4118u, 4104u, 4105u, 4115u, 0u, 0xFFFFu, 0x10000u + 4095u, 0xFFFF0000u})
        EXPECT_EQ(host.Data(u"S2.1000", 1024, command, ErrorPdu(8)), 0) << command;
    for (uint32_t code : {6u, 10u, 11u, 12u, 0x80000004u, 0xFFFFFFFEu})
        EXPECT_EQ(host.Code(code, id, 1024, 4117, bytes, 16), 0) << code;
    // Nothing answers an error.
    host.Tick(50);
    EXPECT_EQ(host.Plugin().GetUserList().GetCount(), 1);
    EXPECT_TRUE(host.Offered().empty());
    const std::u16string error = ZYL_TIME + u"\t1\terror pdu channel#";
    std::u16string expected = ZYL_TIME + u"\t3\tlogin as S1.1000\n";
    for (std::u16string_view text : texts)
        (expected += error + u"1024, userid: S2.1000, error: ") += std::u16string(text) + u"\n";
    expected += ZylLines({error + u"1024, userid: S2.1000, error: unknown error",
                          error + u"1025, userid: S2.1000, error: unknown error",
                          error + u"1024, userid: SM7.2000, error: file removed",
                          error + u"1024, userid: " + LongUser(20).ToText() + u", error: user denied"});
    host.Logout();
    EXPECT_EQ(host.Log(), expected);
}
