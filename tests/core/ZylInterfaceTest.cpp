// The host's codes as the host calls them: login and logout, the channel and data events, the
// command table, the received error PDU, and the showing of the window.
#include "ZylScriptedHost.h"

#include "core/ZylDateTime.h"
#include "core/ZylDbFile.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::u16string_view ZYL_TIME = u"2008-01-10 21:20:00"; // the fake calendar time, in UTC

// The error PDU's payload; n is the data's size unless a test gives another.
std::vector<uint8_t> ErrorPdu(uint32_t code, std::vector<uint8_t> data = {},
                              std::optional<uint32_t> count = {}) {
    const uint32_t n = count.value_or(static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> bytes;
    for (uint32_t word : {code, 0u, 0u, n})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(word >> shift));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// The lines of fs.log, each without its line feed.
std::vector<std::u16string> LogLines(const fs::path& file) {
    std::vector<std::u16string> lines;
    const std::u16string text = ZylReadUtf16LeFile(file);
    size_t start = 0;
    for (size_t end; (end = text.find(u'\n', start)) != std::u16string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "every line ends with a line feed";
    return lines;
}

// A host user whose id text has exactly the given length (20 or 21 characters).
HostUserId LongUser(size_t length) {
    HostUserId id;
    // "S4294967295." is 12 characters; the number fills the rest.
    const uint32_t number = length == 21 ? 214748364u : 21474836u;
    EXPECT_TRUE(id.Set(HostUserId::Plain, 4294967295u, number));
    EXPECT_EQ(id.ToText().size(), length);
    return id;
}

std::vector<int32_t> Codes(const std::vector<ZYLHOSTCALL>& calls) {
    std::vector<int32_t> codes;
    for (const auto& call : calls)
        codes.push_back(call.code);
    return codes;
}

std::vector<std::pair<int32_t, intptr_t>> g_vPlainCalls;
int32_t PlainCallback(int32_t code, intptr_t a1, intptr_t, intptr_t, intptr_t, intptr_t) {
    g_vPlainCalls.emplace_back(code, a1);
    return code == ZYL_HOST_GET_APP_PATH ? -1 : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Login, logout and the codes that do nothing

TEST(ZylEntryPoint, CodeZeroStoresAPlainCallbackAndCallsItWithThree) {
    CZylScriptedHost host;
    g_vPlainCalls.clear();
    EXPECT_EQ(host.Code(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&PlainCallback)), 0);
    EXPECT_EQ(g_vPlainCalls, (std::vector<std::pair<int32_t, intptr_t>>{{520, 3}}));

    // The stored callback is the one login uses: its refusal of 518 fails the login.
    HostUserId me = ZylHostId(u"S1.1000");
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&me)), -1);
    ASSERT_EQ(g_vPlainCalls.size(), 2u);
    EXPECT_EQ(g_vPlainCalls[1].first, 518);
    EXPECT_FALSE(host.Plugin().IsInitialized());
}

TEST(ZylEntryPoint, LoginAsksForTheFolderCreatesItStartsTheTimerAndLogsTheLogin) {
    CZylScriptedHost host;
    host.SetCallback();
    EXPECT_EQ(Codes(host.m_vCalls), (std::vector<int32_t>{520}));
    EXPECT_EQ(host.m_vCalls[0].a1, 3);
    host.m_vCalls.clear();

    HostUserId me = ZylHostId(u"S1.1000");
    ASSERT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&me)), 0);
    ASSERT_FALSE(host.m_vCalls.empty());
    EXPECT_EQ(host.m_vCalls[0].code, 518);
    EXPECT_TRUE(fs::is_directory(host.PluginFolder()));
    EXPECT_TRUE(host.Plugin().IsInitialized());
    EXPECT_EQ(host.Plugin().GetLoginId(), u"S1.1000");
    EXPECT_EQ(host.Platform().GetTimerCount(), 1u);
    EXPECT_NE(host.Plugin().GetTimerId(), 0u);
    const std::u16string folder = ZylFromFsPath(host.PluginFolder());
    EXPECT_EQ(host.Plugin().GetShareManager().GetDbPath(), folder + u"/fss-S1.1000.fsd");
    EXPECT_EQ(host.Plugin().GetTaskManager().GetDbPath(), folder + u"/fst-S1.1000.fsd");
    EXPECT_EQ(host.Plugin().GetShareManager().GetLoginId(), u"S1.1000");
    EXPECT_EQ(host.Plugin().GetTaskManager().GetLoginId(), u"S1.1000");

    // The login line waits for its batch; logout writes it.
    EXPECT_EQ(host.Plugin().GetLog().GetPendingCount(), 1u);
    EXPECT_FALSE(fs::exists(host.LogFile()));
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(LogLines(host.LogFile()),
              (std::vector<std::u16string>{std::u16string(ZYL_TIME) + u"\t3\tlogin as S1.1000"}));
    EXPECT_EQ(host.Platform().GetTimerCount(), 0u);
    EXPECT_FALSE(host.Plugin().IsInitialized());
}

TEST(ZylEntryPoint, ADatabaseSetAsideAtLoginIsAWarningInTheLog) {
    CZylScriptedHost host;
    const fs::path tasks = host.PluginFolder() / "fst-S1.1000.fsd";
    ZylWriteFileBytes(tasks, ZylToUtf16Le(u"#zyl task file, version=Beta0.1\n#id=S1.9999\nTaskNum=0\n"));
    ASSERT_EQ(host.Login(), 0);
    ASSERT_EQ(host.Logout(), 0);
    const std::u16string aside = ZylFromFsPath(tasks) + u".foreign-20080110-212000";
    EXPECT_EQ(LogLines(host.LogFile()),
              (std::vector<std::u16string>{std::u16string(ZYL_TIME) + u"\t3\tlogin as S1.1000",
                                           std::u16string(ZYL_TIME) +
                                               u"\t2\tthe task database of S1.9999 was set aside as " + aside}));
    EXPECT_TRUE(fs::exists(ZylToFsPath(aside)));
}

TEST(ZylEntryPoint, ThePluginFolderIsMadeWithItsParentsAndOneTrailingSeparatorIsDropped) {
    CZylScriptedHost host;
    host.m_sAppPath += u"/";
    ASSERT_EQ(host.Login(), 0);
    EXPECT_EQ(host.Plugin().GetPluginFolder(), ZylFromFsPath(host.PluginFolder()));
    EXPECT_TRUE(fs::is_directory(host.PluginFolder()));

    CZylScriptedHost missing;
    missing.m_sAppPath = ZylFromFsPath(missing.AppFolder() / "new" / "deeper");
    ASSERT_EQ(missing.Login(), 0);
    EXPECT_TRUE(fs::is_directory(missing.AppFolder() / "new" / "deeper" / "fs"));
}

TEST(ZylEntryPoint, ASecondLoginWithoutLogoutIsRefusedAndChangesNothing) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(u"S1.1000"), 0);
    const auto calls = host.m_vCalls.size();
    EXPECT_EQ(host.Login(u"S5.1000"), -1);
    EXPECT_EQ(host.m_vCalls.size(), calls + 1); // only the 520 of handing over the callback again
    EXPECT_EQ(host.Plugin().GetLoginId(), u"S1.1000");
    EXPECT_EQ(host.Plugin().GetShareManager().GetLoginId(), u"S1.1000");
    EXPECT_EQ(host.Plugin().GetTaskManager().GetLoginId(), u"S1.1000");
    EXPECT_EQ(host.Plugin().GetShareManager().GetDbPath(),
              ZylFromFsPath(host.PluginFolder()) + u"/fss-S1.1000.fsd");
    EXPECT_EQ(host.Platform().GetTimerCount(), 1u);
    EXPECT_EQ(host.Plugin().GetLog().GetPendingCount(), 1u);
    EXPECT_TRUE(host.Plugin().IsInitialized());

    // After a logout the next login is taken.
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(host.Login(u"S5.1000"), 0);
    EXPECT_EQ(host.Plugin().GetLoginId(), u"S5.1000");
    EXPECT_EQ(host.Platform().GetTimerCount(), 1u);
}

TEST(ZylEntryPoint, ARefusedApplicationPathFailsTheLoginAndLeavesThePluginUninitialised) {
    CZylScriptedHost host;
    host.m_nAppPathResult = -1;
    EXPECT_EQ(host.Login(), -1);
    EXPECT_FALSE(host.Plugin().IsInitialized());
    EXPECT_EQ(host.Platform().GetTimerCount(), 0u);
    EXPECT_FALSE(fs::exists(host.PluginFolder()));
    EXPECT_EQ(host.Plugin().WriteLog(3, u"refused"), -1);
    const uint8_t byte = 0;
    EXPECT_EQ(host.Plugin().SendData(4096, &byte, 1, u"S2.1000", 1024), -1);

    // A login the host answers is taken afterwards.
    host.m_nAppPathResult = 0;
    EXPECT_EQ(host.Login(), 0);
    EXPECT_TRUE(host.Plugin().IsInitialized());
}

TEST(ZylEntryPoint, ALoginIdTooLongForTheFixedFieldsOrNoneIsRefused) {
    // Cut to 20 characters it would be another user's id, and open that user's databases.
    CZylScriptedHost host;
    host.SetCallback();
    HostUserId tooLong = LongUser(21), longest = LongUser(20);
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, 0), -1); // nor is a login without a user
    EXPECT_FALSE(host.Plugin().IsInitialized());
    HostUserId invalid; // nor one whose text would be "Invalid ID"
    invalid.site = 12;
    invalid.number = 999;
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&invalid)), -1);
    EXPECT_FALSE(host.Plugin().IsInitialized());
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&tooLong)), -1);
    EXPECT_FALSE(host.Plugin().IsInitialized());
    EXPECT_FALSE(fs::exists(host.PluginFolder()));
    EXPECT_EQ(host.Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&longest)), 0);
    EXPECT_EQ(host.Plugin().GetLoginId(), longest.ToText());
}

TEST(ZylEntryPoint, LogoutBeforeLoginDoesNothing) {
    CZylScriptedHost host;
    host.SetCallback();
    host.m_vCalls.clear();
    EXPECT_EQ(host.Logout(), 0);
    EXPECT_TRUE(host.m_vCalls.empty());
    EXPECT_EQ(host.Platform().GetTimerCount(), 0u);
    EXPECT_FALSE(host.Plugin().IsInitialized());
    EXPECT_EQ(host.Login(), 0);
    EXPECT_EQ(host.Platform().GetTimerCount(), 1u);
}

TEST(ZylEntryPoint, LogoutClosesTheOpenChannelsOfEveryUserRequestChannelFirst) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Connect(u"S2.1000");
    host.Channel(DLL_P2P_ON_CONNECT, u"S3.1000", 1025);
    host.m_vCalls.clear();
    ASSERT_EQ(host.Logout(), 0);
    const auto closes = host.Calls(ZYL_HOST_CLOSE_CHANNEL);
    ASSERT_EQ(closes.size(), 3u);
    EXPECT_EQ(closes[0].user, u"S2.1000");
    EXPECT_EQ(closes[0].a2, 1024);
    EXPECT_EQ(closes[1].user, u"S2.1000");
    EXPECT_EQ(closes[1].a2, 1025);
    EXPECT_EQ(closes[2].user, u"S3.1000");
    EXPECT_EQ(closes[2].a2, 1025);
}

TEST(ZylEntryPoint, CodesAboveElevenAndTheUnusedOnesReturnZeroAndDoNothing) {
    CZylScriptedHost host;
    HostUserId peer = ZylHostId(u"S2.1000");
    const auto user = reinterpret_cast<intptr_t>(&peer);
    const auto payload = ErrorPdu(8);
    const auto data = reinterpret_cast<intptr_t>(payload.data());
    const auto length = static_cast<intptr_t>(payload.size());
    for (bool loggedIn : {false, true}) {
        if (loggedIn) {
            ASSERT_EQ(host.Login(), 0);
        }
        host.m_vCalls.clear();
        const auto pending = host.Plugin().GetLog().GetPendingCount();
        for (uint32_t code : {6u, 10u, 11u, 12u, 1000u, 0xFFFFFFFFu, 0x80000004u, 0xFFFFFFFEu}) {
            // Arguments shaped like a channel event and a data event, so that any action would show.
            EXPECT_EQ(host.Code(code, user, 1024, 0, 0, 0), 0) << code;
            EXPECT_EQ(host.Code(code, user, 1024, 4117, data, length), 0) << code;
        }
        host.Tick(50);
        EXPECT_TRUE(host.m_vCalls.empty());
        EXPECT_EQ(host.Plugin().GetUserList().GetCount(), 0);
        EXPECT_EQ(host.Plugin().GetLog().GetPendingCount(), pending);
    }
}

// ---------------------------------------------------------------------------------------------
// Channel events

TEST(ZylChannelEvents, TheUnfinishedTasksQueryLeavesOnceWhenTheSecondChannelOpens) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024);
    host.Tick(50);
    EXPECT_TRUE(host.Calls(ZYL_HOST_SEND).empty());
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1024), 1);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 0), 0);

    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Tick();
    auto sent = host.Taken();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].user, u"S2.1000");
    EXPECT_EQ(sent[0].a2, 1024);
    EXPECT_EQ(sent[0].a3, 4112);
    ASSERT_EQ(sent[0].payload.size(), 8u);
    ZylPayloadReader reader(sent[0].payload.data(), 8);
    CZylDateTime when;
    reader.Read(when);
    EXPECT_EQ(when.GetKind(), CZylDateTime::DateTime);
    EXPECT_EQ(when.ToText(), ZYL_TIME);

    // Repeated reports of open channels start nothing again.
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024);
    host.Tick(50);
    EXPECT_EQ(host.Taken().size(), 1u);

    // A channel that closed and opened again completes the pair anew.
    host.Channel(DLL_P2P_ON_DISCONNECT, u"S2.1000", 1025);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1025), 0);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025);
    host.Tick();
    EXPECT_EQ(host.Taken().size(), 2u);
}

TEST(ZylChannelEvents, AHostThatOpensChannelsAtOnceDuringLoginStillGetsTheQueryAndItsErrorsLogged) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    // A stored task makes the next login ask for its user's channels.
    ASSERT_NE(host.Plugin().GetTaskManager().CreateDownloadTask(u"S2.1000", u"Docs\\a.txt", false,
                                                                host.m_sAppPath, CZylDateTime()),
              nullptr);
    ASSERT_EQ(host.Logout(), 0);
    // This host reports each channel open inside the request, and a peer's error comes with it.
    host.m_fnDuringCall = [&](const ZYLHOSTCALL& call) {
        if (call.code != ZYL_HOST_OPEN_CHANNEL)
            return;
        host.Channel(DLL_P2P_ON_CONNECT, call.user, static_cast<int32_t>(call.a2));
        if (call.a2 == ZYL_CHANNEL_DATA)
            host.Data(call.user, ZYL_CHANNEL_REQUEST, ZYL_CMD_ERROR, ErrorPdu(7));
    };
    host.m_vCalls.clear();
    ASSERT_EQ(host.Login(), 0);
    host.m_fnDuringCall = nullptr;
    host.Tick();
    const auto sent = host.Taken();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].user, u"S2.1000");
    EXPECT_EQ(sent[0].a3, ZYL_CMD_UNFINISHED_TASKS_QUERY);
    ASSERT_EQ(host.Logout(), 0);
    const auto lines = LogLines(host.LogFile());
    ASSERT_EQ(lines.size(), 3u); // a login line each, and the error in the second login
    EXPECT_EQ(lines[1], std::u16string(ZYL_TIME) + u"\t3\tlogin as S1.1000");
    EXPECT_EQ(lines[2],
              std::u16string(ZYL_TIME) + u"\t1\terror pdu channel#1024, userid: S2.1000, error: net busy");

    // An error that arrives while logged out cannot be logged, and does no harm.
    EXPECT_EQ(host.Data(u"S2.1000", ZYL_CHANNEL_REQUEST, ZYL_CMD_ERROR, ErrorPdu(8)), 0);
    host.Unload();
    EXPECT_EQ(LogLines(host.LogFile()).size(), 3u);
}

TEST(ZylChannelEvents, EventsForAUserIdTooLongOrMissingMakeNoRecord) {
    // A record holds 20 characters: a longer id cut to fit would name another user.
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Channel(DLL_P2P_ON_CONNECT, LongUser(21), 1024);
    host.Channel(DLL_P2P_ON_CONNECT, LongUser(21), 1025);
    host.Code(DLL_P2P_ON_CONNECT, 0, 1024, 0);
    host.Code(DLL_P2P_ON_CONNECT, 0, 1025, 0);
    host.Tick(50);
    EXPECT_EQ(host.Plugin().GetUserList().GetCount(), 0);
    EXPECT_TRUE(host.Calls(ZYL_HOST_SEND).empty());

    // The longest id that fits is a user like any other.
    host.Channel(DLL_P2P_ON_CONNECT, LongUser(20), 1024);
    host.Channel(DLL_P2P_ON_CONNECT, LongUser(20), 1025);
    host.Tick();
    ASSERT_EQ(host.Taken().size(), 1u);
    EXPECT_EQ(host.Taken()[0].user, LongUser(20).ToText());
}

TEST(ZylChannelEvents, AFailedOpenOrCloseChangesNothing) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1024, 1);
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025, -3);
    host.Tick(50);
    EXPECT_EQ(host.Plugin().GetUserList().GetCount(), 0);
    EXPECT_TRUE(host.Calls(ZYL_HOST_SEND).empty());

    // With the pair open, a failed report for one channel does not repeat the query.
    host.Connect(u"S2.1000");
    host.Channel(DLL_P2P_ON_CONNECT, u"S2.1000", 1025, 1);
    host.Tick(50);
    EXPECT_EQ(host.Taken().size(), 1u);

    // A failed close leaves the channel marked connected.
    EXPECT_EQ(host.Channel(DLL_P2P_ON_DISCONNECT, u"S2.1000", 1024, 1), 0);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1024), 1);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 0), 1);
    EXPECT_EQ(host.Channel(DLL_P2P_ON_DISCONNECT, u"S2.1000", 1024, 0), 0);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1024), 0);
    EXPECT_EQ(host.Plugin().GetUserList().IsConnected(u"S2.1000", 1025), 1);
}

TEST(ZylChannelEvents, GoingOfflineClosesBothChannelsOfAConnectedUser) {
    CZylScriptedHost host;
    ASSERT_EQ(host.Login(), 0);
    host.Connect(u"S2.1000");
    host.Channel(DLL_P2P_ON_CONNECT, u"S3.1000", 1024);
    host.m_vCalls.clear();
    HostUserId s2 = ZylHostId(u"S2.1000"), s3 = ZylHostId(u"S3.1000");
    EXPECT_EQ(host.Code(DLL_P2P_ON_USER_OFFLINE, reinterpret_cast<intptr_t>(&s3)), 0);
    EXPECT_TRUE(host.Calls(ZYL_HOST_CLOSE_CHANNEL).empty()); // only one channel open
    EXPECT_EQ(host.Code(DLL_P2P_ON_USER_OFFLINE, reinterpret_cast<intptr_t>(&s2)), 0);
    const auto closes = host.Calls(ZYL_HOST_CLOSE_CHANNEL);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].a2, 1024);
    EXPECT_EQ(closes[1].a2, 1025);
}

// ---------------------------------------------------------------------------------------------
// Data events and the command table

class ZylDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_host.Login(), 0);
        m_host.Connect(u"S2.1000");
        m_host.Tick();
        m_host.m_vCalls.clear();
        m_nBaseLines = m_host.Plugin().GetLog().GetPendingCount(); // the login line
    }
    size_t NewLogLines() { return m_host.Plugin().GetLog().GetPendingCount() - m_nBaseLines; }
    std::vector<std::u16string> FlushedLines() {
        m_host.Logout();
        auto lines = LogLines(m_host.LogFile());
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(m_nBaseLines));
        return lines;
    }

    CZylScriptedHost m_host;
    size_t m_nBaseLines = 0;
};

TEST_F(ZylDispatchTest, AUserIdOfTwentyCharactersIsAcceptedAndOneOfTwentyOneRefused) {
    EXPECT_EQ(m_host.Data(LongUser(21), 1024, 4117, ErrorPdu(8)), -1);
    EXPECT_EQ(NewLogLines(), 0u);
    EXPECT_EQ(m_host.Data(LongUser(20), 1024, 4117, ErrorPdu(8)), 0);
    EXPECT_EQ(NewLogLines(), 1u);
    // The refusal comes before the command is looked at.
    EXPECT_EQ(m_host.Data(LongUser(21), 1024, 4095, {}), -1);
}

TEST_F(ZylDispatchTest, AReceivedErrorPduIsLoggedAtLevelOneWithItsText) {
    const std::u16string_view texts[] = {
        u"no error",     u"local buffer full", u"net buffer full", u"file removed", u"share removed",
        u"disconnected", u"no disk space",     u"net busy",        u"user denied",  u"other error"};
    for (uint32_t code = 0; code < 10; ++code)
        EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 4117, ErrorPdu(code)), 0);
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 4117, ErrorPdu(42)), 0);
    EXPECT_EQ(m_host.Data(u"S2.1000", 1025, 4117, ErrorPdu(0xFFFFFFFF)), 0);
    EXPECT_EQ(m_host.Data(u"SM7.2000", 1024, 4117, ErrorPdu(3, {1, 2, 3})), 0);
    // Nothing answers an error.
    m_host.Tick(50);
    EXPECT_TRUE(m_host.Calls(ZYL_HOST_SEND).empty());
    const std::u16string prefix = std::u16string(ZYL_TIME) + u"\t1\terror pdu channel#";
    std::vector<std::u16string> expected;
    for (std::u16string_view text : texts)
        expected.push_back(prefix + u"1024, userid: S2.1000, error: " + std::u16string(text));
    expected.push_back(prefix + u"1024, userid: S2.1000, error: unknown error");
    expected.push_back(prefix + u"1025, userid: S2.1000, error: unknown error");
    expected.push_back(prefix + u"1024, userid: SM7.2000, error: file removed");
    EXPECT_EQ(FlushedLines(), expected);
}

TEST_F(ZylDispatchTest, AnErrorPduWhoseDataIsCutOffIsDropped) {
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 4117, ErrorPdu(8, {1, 2}, 3)), 0);
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 4117, ErrorPdu(8, {}, 0xFFFFFFFF)), 0);
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 4117, ErrorPdu(8, {}, 0x80000000)), 0);
    EXPECT_EQ(NewLogLines(), 0u);
}

TEST_F(ZylDispatchTest, CommandsOutsideTheTableAndTheUnusedOnesAreIgnored) {
    for (uint32_t command : {4095u, 4118u, 4104u, 4105u, 4115u, 0u, 0xFFFFu, 0x10000u + 4095u, 0xFFFF0000u}) {
        EXPECT_EQ(m_host.Data(u"S2.1000", 1024, command, ErrorPdu(8)), 0) << command;
        EXPECT_EQ(m_host.Data(u"S2.1000", 1024, command, {}), 0) << command;
    }
    m_host.Tick(50);
    EXPECT_EQ(NewLogLines(), 0u);
    EXPECT_TRUE(m_host.Calls(ZYL_HOST_SEND).empty());
}

TEST_F(ZylDispatchTest, OnlyTheLowSixteenBitsOfTheCommandCount) {
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 0x10000u + 4117u, ErrorPdu(8)), 0);
    EXPECT_EQ(m_host.Data(u"S2.1000", 1024, 0xFFFF0000u + 4117u, ErrorPdu(5)), 0);
    const auto lines = FlushedLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(u"error: user denied"), std::u16string::npos);
    EXPECT_NE(lines[1].find(u"error: disconnected"), std::u16string::npos);
}

TEST_F(ZylDispatchTest, DataWithoutAUserIsRefusedAndDataWithoutBytesDropped) {
    const auto payload = ErrorPdu(8);
    const auto bytes = reinterpret_cast<intptr_t>(payload.data());
    EXPECT_EQ(m_host.Code(DLL_P2P_ON_DATA, 0, 1024, 4117, bytes, static_cast<intptr_t>(payload.size())), -1);
    HostUserId peer = ZylHostId(u"S2.1000");
    const auto user = reinterpret_cast<intptr_t>(&peer);
    EXPECT_EQ(m_host.Code(DLL_P2P_ON_DATA, user, 1024, 4117, bytes, -16), 0);
    EXPECT_EQ(m_host.Code(DLL_P2P_ON_DATA, user, 1024, 4117, 0, 16), 0);
    EXPECT_EQ(NewLogLines(), 0u);
}

TEST_F(ZylDispatchTest, CutOffPayloadsOfEveryCommandAreDroppedWithoutHarm) {
    std::mt19937 random(20080110);
    for (uint32_t command = 4096; command <= 4117; ++command) {
        HostUserId peer = ZylHostId(u"S2.1000");
        EXPECT_EQ(m_host.Code(DLL_P2P_ON_DATA, reinterpret_cast<intptr_t>(&peer), 1024, command, 0, 0), 0);
        for (int32_t length = 0; length <= 12; ++length) {
            for (int round = 0; round < 4; ++round) {
                // Exactly the bytes the host delivers, so that a read past them is caught.
                auto bytes = std::make_unique<uint8_t[]>(static_cast<size_t>(length) + (length == 0 ? 1 : 0));
                for (int32_t i = 0; i < length; ++i)
                    bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(random());
                for (int32_t channel : {1024, 1025})
                    EXPECT_EQ(m_host.Code(DLL_P2P_ON_DATA, reinterpret_cast<intptr_t>(&peer), channel,
                                          command, reinterpret_cast<intptr_t>(bytes.get()), length),
                              0)
                        << command << " " << length;
            }
        }
        m_host.Tick();
    }
    // No error PDU of at most 12 bytes is complete, so none was logged.
    EXPECT_EQ(NewLogLines(), 0u);
    // The plug-in still works.
    const uint8_t byte = 7;
    ASSERT_EQ(m_host.Plugin().SendData(4114, &byte, 1, u"S2.1000", 1024), 0);
    m_host.m_vCalls.clear();
    m_host.Tick(50);
    bool found = false;
    for (const auto& call : m_host.Taken())
        found = found || (call.a3 == 4114 && call.payload == std::vector<uint8_t>{7});
    EXPECT_TRUE(found);
}

// ---------------------------------------------------------------------------------------------
// Code 3: the window

namespace {

class CZylProbeWindow : public CZylFakeWindow {
public:
    explicit CZylProbeWindow(bool& destroyed) : m_rDestroyed(destroyed) {}
    void Destroy() override {
        m_rDestroyed = true;
        if (m_fnOnDestroy)
            m_fnOnDestroy();
        CZylFakeWindow::Destroy();
    }
    bool& m_rDestroyed;
    std::function<void()> m_fnOnDestroy;
};

// What the window saw of each open request while it was being sent.
struct ZYLSEENREQUEST {
    intptr_t second;
    bool hasUser;
    std::u16string user;
    int32_t mode;
    const void* shares;
    const void* tasks;
    const void* viewers;
    const void* users;
};

class ZylShowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_host.Login(), 0);
        m_host.m_vCalls.clear();
    }
    void ProvideWindow(bool isWindow = true) {
        m_host.Platform().m_fnCreateWindow = [this, isWindow]() -> std::unique_ptr<IZylWindow> {
            ++m_nCreated;
            auto window = std::make_unique<CZylProbeWindow>(m_bDestroyed);
            window->m_bWindow = isWindow;
            window->m_fnOnSend = [this](uint32_t message, intptr_t first, intptr_t second) {
                if (message != WM_ZYL_OPEN)
                    return;
                const auto* request = reinterpret_cast<const ZYLOPENREQUEST*>(first);
                m_vSeen.push_back({second, request->pUserId != nullptr,
                                   request->pUserId ? std::u16string(request->pUserId) : std::u16string(),
                                   request->nMode, request->pShareManager, request->pTaskManager,
                                   request->pViewerManager, request->pUserList});
            };
            m_pWindow = window.get();
            return window;
        };
    }
    int32_t Show(int32_t mode, const HostUserId* user) {
        return m_host.Code(DLL_P2P_SHOW, 0, mode, reinterpret_cast<intptr_t>(user));
    }

    CZylScriptedHost m_host;
    CZylProbeWindow* m_pWindow = nullptr;
    int m_nCreated = 0;
    bool m_bDestroyed = false;
    std::vector<ZYLSEENREQUEST> m_vSeen;
};

} // namespace

TEST_F(ZylShowTest, ModeZeroModesNeedingAUserWithoutOneAndTooLongIdsAreRefused) {
    ProvideWindow();
    HostUserId peer = ZylHostId(u"S2.1000");
    const HostUserId longest = LongUser(20), tooLong = LongUser(21);
    EXPECT_EQ(Show(0, &peer), -1);
    EXPECT_EQ(Show(0, nullptr), -1);
    EXPECT_EQ(Show(2, nullptr), -1);
    EXPECT_EQ(Show(5, nullptr), -1);
    EXPECT_EQ(Show(2, &tooLong), -1);
    EXPECT_EQ(m_nCreated, 0);
    EXPECT_EQ(Show(2, &longest), 0);
    ASSERT_FALSE(m_vSeen.empty());
    EXPECT_EQ(m_vSeen.back().user, longest.ToText());
}

TEST_F(ZylShowTest, WithoutAWindowFrameworkShowingIsRefusedAndAWindowThatCannotBeMadeIsTriedAgain) {
    HostUserId peer = ZylHostId(u"S2.1000");
    const auto lines = m_host.Plugin().GetLog().GetLineCount();
    EXPECT_EQ(Show(1, nullptr), -1);
    EXPECT_EQ(Show(2, &peer), -1);
    EXPECT_EQ(m_host.Plugin().GetMainWindow(), nullptr);
    EXPECT_EQ(m_host.Plugin().GetLog().GetLineCount(), lines + 2) << "one log line each";

    ProvideWindow(false);
    EXPECT_EQ(Show(1, nullptr), 0);
    EXPECT_EQ(m_host.Plugin().GetMainWindow(), nullptr);
    EXPECT_TRUE(m_vSeen.empty());
    EXPECT_EQ(Show(1, nullptr), 0);
    EXPECT_EQ(m_nCreated, 2);
}

TEST_F(ZylShowTest, TheFirstShowOpensTheWindowThenBringsItUp) {
    ProvideWindow();
    HostUserId peer = ZylHostId(u"S2.1000");
    ASSERT_EQ(Show(2, &peer), 0);
    ASSERT_NE(m_pWindow, nullptr);
    EXPECT_EQ(m_pWindow->m_sTitle, u"\u6587\u4EF6\u5171\u4EAB-S1.1000");
    ASSERT_EQ(m_vSeen.size(), 2u);
    EXPECT_EQ(m_vSeen[0].second, 0);
    EXPECT_EQ(m_vSeen[1].second, 1);
    for (const auto& seen : m_vSeen) {
        EXPECT_TRUE(seen.hasUser);
        EXPECT_EQ(seen.user, u"S2.1000");
        EXPECT_EQ(seen.mode, 2);
        EXPECT_EQ(seen.shares, &m_host.Plugin().GetShareManager());
        EXPECT_EQ(seen.tasks, &m_host.Plugin().GetTaskManager());
        EXPECT_EQ(seen.viewers, &m_host.Plugin().GetViewerManager());
        EXPECT_EQ(seen.users, &m_host.Plugin().GetUserList());
    }
    // Visible and not minimised: no tray click.
    EXPECT_EQ(m_pWindow->Count(WM_ZYL_TRAY), 0u);
    EXPECT_EQ(m_pWindow->m_vMessages.size(), 2u);
}

TEST_F(ZylShowTest, AHiddenWindowGetsATrayClickAndAMinimisedOneIsRestored) {
    ProvideWindow();
    ASSERT_EQ(Show(1, nullptr), 0);
    ASSERT_NE(m_pWindow, nullptr);
    m_pWindow->m_vMessages.clear();
    m_vSeen.clear();
    m_pWindow->m_bVisible = false;
    m_pWindow->m_bMinimized = true;

    ASSERT_EQ(Show(1, nullptr), 0);
    EXPECT_EQ(m_nCreated, 1);
    EXPECT_FALSE(m_pWindow->m_bMinimized);
    ASSERT_EQ(m_pWindow->m_vMessages.size(), 2u);
    const auto& tray = m_pWindow->m_vMessages[0];
    EXPECT_EQ(tray.message, 1127u);
    EXPECT_EQ(tray.first, 8240);
    EXPECT_EQ(tray.second, 513);
    EXPECT_TRUE(tray.posted);
    EXPECT_EQ(m_pWindow->m_vMessages[1].message, 1224u);
    EXPECT_FALSE(m_pWindow->m_vMessages[1].posted);
    ASSERT_EQ(m_vSeen.size(), 1u);
    EXPECT_EQ(m_vSeen[0].second, 1);
    EXPECT_FALSE(m_vSeen[0].hasUser);
    EXPECT_EQ(m_vSeen[0].mode, 1);
}

TEST_F(ZylShowTest, AWindowThePersonClosedIsReplacedByANewOne) {
    ProvideWindow();
    ASSERT_EQ(Show(1, nullptr), 0);
    m_pWindow->m_bWindow = false;
    m_vSeen.clear();
    EXPECT_EQ(Show(1, nullptr), 0);
    EXPECT_EQ(m_nCreated, 2);
    ASSERT_EQ(m_vSeen.size(), 2u);
    EXPECT_EQ(m_vSeen[0].second, 0) << "the new window is set up as a first one";
    EXPECT_EQ(m_host.Plugin().GetMainWindow(), m_pWindow);
}

TEST_F(ZylShowTest, LogoutDestroysTheWindow) {
    ProvideWindow();
    ASSERT_EQ(Show(1, nullptr), 0);
    // A listing worker may write a line while the window goes: the log has let go of it by then.
    const size_t posted = m_pWindow->Count(WM_ZYL_INFO_LINE);
    size_t postedWhileGoing = 0;
    m_pWindow->m_fnOnDestroy = [this, &postedWhileGoing] {
        m_host.Plugin().WriteLog(3, u"late line");
        postedWhileGoing = m_pWindow->Count(WM_ZYL_INFO_LINE);
    };
    ASSERT_EQ(m_host.Logout(), 0);
    EXPECT_EQ(postedWhileGoing, posted);
    EXPECT_TRUE(m_bDestroyed);
    EXPECT_EQ(m_host.Plugin().GetMainWindow(), nullptr);
}

TEST_F(ZylShowTest, TheWindowShowsLogLinesWhileVisibleOnly) {
    ProvideWindow();
    ASSERT_EQ(Show(1, nullptr), 0);
    const auto pending = m_host.Plugin().GetLog().GetPendingCount();
    ASSERT_GT(m_host.Plugin().WriteLog(3, u"shown"), 0);
    m_pWindow->m_bVisible = false;
    ASSERT_GT(m_host.Plugin().WriteLog(3, u"hidden"), 0);
    EXPECT_EQ(m_pWindow->m_vInfoLines,
              (std::vector<std::u16string>{std::u16string(ZYL_TIME) + u"\t3\tshown"}));
    EXPECT_EQ(m_pWindow->Count(WM_ZYL_INFO_LINE), 1u);
    EXPECT_EQ(m_host.Plugin().GetLog().GetPendingCount(), pending + 2);
}
