// Hosts talking through a real mosquitto on loopback: logins, presence, the channel handshake, PDUs
// in order, the in-flight bound, the access list, and the broker or a peer gone mid-stream.
#include "host/ZylMqttHost.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttKeys.h"
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <mutex>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unordered_set>

namespace {
using Bytes = std::vector<uint8_t>;
using Commands = std::vector<uint32_t>;
using Clock = std::chrono::steady_clock;
const std::string A = "S1.1001", B = "S1.1002", C = "S1.1003", D = "S1.1004";
// Broker accounts whose names are other spellings of B's user id; the broker's administrator.
const std::string kLowerB = "s1.1002", kZeroB = "S1.01002", kAdmin = "S9.9000";
// The two channels between two users: requests and answers, and file data.
const int32_t kReq = ZYL_CHANNEL_REQUEST, kData = ZYL_CHANNEL_DATA;
const auto Password = [](const std::string& user) { return "pw-" + user; };
const ZYLMQTTOPTIONS kQuick{
    .nConnectTimeoutMs = 3000, .nOpenTimeoutMs = 800, .nRetransmitMs = 300, .nOfflineGraceMs = 800};
// A payload that tells which PDU it is (its first four bytes) and how long it should be.
Bytes Pattern(uint32_t index, size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i < 4 ? index >> (24 - 8 * i) : index * 31 + i * 7);
    return bytes;
}
Commands Range(uint32_t first, uint32_t count) {
    Commands commands(count);
    for (uint32_t i = 0; i < count; ++i)
        commands[i] = first + i;
    return commands;
}
// TLS against that authority; the user's key pair kept in the broker's folder, shared by its logins.
ZYLMQTTSECURITY Tls(const std::filesystem::path& ca, const std::string& user = {}) {
    return {1, ca.string(),
            user.empty() ? std::filesystem::path{} : ca.parent_path().parent_path() / ("keys-" + user)};
}
// One user: its host and every event it handed out, in order.
class CZylTestUser {
public:
    using EventList = std::vector<ZYLHOSTEVENT>;
    explicit CZylTestUser(std::string id, const ZYLMQTTOPTIONS& options = kQuick)
        : m_sId(std::move(id)), m_host(options) {}
    std::string Connect(const CZylLocalBroker& broker) {
        m_host.SetSecurity(Tls(broker.CaFile(), m_sKeys));
        return m_host.Connect("127.0.0.1", broker.TlsPort(), m_sId, Password(m_sId));
    }
    void Poll() {
        m_host.Poll([this](const ZYLHOSTEVENT& e) {
            m_vEvents.push_back(e);
            m_fnOnEvent(e);
        });
    }
    int Send(const std::string& peer, int32_t channel, uint32_t command, const Bytes& payload = {0}) {
        return m_host.Send(peer, channel, command, payload.data(), static_cast<int32_t>(payload.size()));
    }
    EventList Events(uint32_t kind, std::string peer = {}, int32_t on = -1, int32_t status = -1) const {
        EventList events;
        for (const ZYLHOSTEVENT& e : m_vEvents)
            if (e.kind == kind && (peer.empty() || e.peer == peer) && (on < 0 || e.channel == on) &&
                (status < 0 || e.status == status))
                events.push_back(e);
        return events;
    }
    int Count(uint32_t kind, const std::string& peer = {}, int32_t channel = -1, int32_t status = -1) const {
        return static_cast<int>(Events(kind, peer, channel, status).size());
    }
    EventList Data(const std::string& peer, int32_t on) const { return Events(DLL_P2P_ON_DATA, peer, on); }
    Commands CommandsOf(const std::string& peer, int32_t channel = -1) const {
        Commands commands;
        for (const ZYLHOSTEVENT& e : Events(DLL_P2P_ON_DATA, peer, channel))
            commands.push_back(e.command);
        return commands;
    }
    std::string Text(uint32_t kind) const { return Count(kind) ? Events(kind).front().text : ""; }
    int IndexOf(uint32_t kind, const std::string& peer, int32_t channel = -1) const {
        for (size_t i = 0; i < m_vEvents.size(); ++i)
            if (m_vEvents[i].kind == kind && m_vEvents[i].peer == peer &&
                (channel < 0 || m_vEvents[i].channel == channel))
                return static_cast<int>(i);
        return -1;
    }
    bool BothOpen(const std::string& peer) {
        return m_host.IsChannelOpen(peer, kReq) && m_host.IsChannelOpen(peer, kData);
    }
    std::string m_sId;
    std::string m_sKeys = m_sId; // whose key pair: the same for every login of the user
    CZylMqttHost m_host;
    EventList m_vEvents;
    std::function<void(const ZYLHOSTEVENT&)> m_fnOnEvent = [](const ZYLHOSTEVENT&) {}; // what the user does
};
using Users = std::initializer_list<CZylTestUser*>;
bool RunUntil(int maxMs, Users users, const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
    for (;;) {
        for (CZylTestUser* user : users)
            user->Poll();
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::vector<pollfd> fds;
        for (CZylTestUser* user : users)
            fds.push_back({user->m_host.GetWakeFd(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), 5);
    }
}
bool RunUntil(Users users, const std::function<bool()>& condition) {
    return RunUntil(5000, users, condition);
}
void RunFor(Users users, int ms) {
    RunUntil(ms, users, [] { return false; });
}
void OpenBoth(CZylTestUser& a, CZylTestUser& b) {
    // As the plug-in does, open only to a user known to be online (B's "online" may still be on its way).
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.m_host.IsOnline(b.m_sId); }));
    a.m_host.OpenChannel(b.m_sId, kReq);
    a.m_host.OpenChannel(b.m_sId, kData);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.BothOpen(b.m_sId) && b.BothOpen(a.m_sId); }));
}

// A bare libmosquitto client, to forge and snoop; it reads the topic given, or what is addressed to it.
class CZylRawClient {
public:
    CZylRawClient(const std::string& user, int port, std::string topic = {}) {
        m_pMosq = mosquitto_new(user.c_str(), true, this);
        mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_username_pw_set(m_pMosq, user.c_str(), Password(user).c_str());
        mosquitto_connect_v5_callback_set(m_pMosq, [](auto, void* obj, int rc, int, auto) {
            Note(obj, [&](auto& self) { self.m_nConnack = rc; });
        });
        mosquitto_publish_v5_callback_set(m_pMosq, [](auto, void* obj, int mid, int rc, auto) {
            Note(obj, [&](auto& self) { self.m_mAcks[mid] = rc; });
        });
        mosquitto_subscribe_v5_callback_set(m_pMosq, [](auto, void* obj, int, int, auto, auto) {
            Note(obj, [&](auto& self) { self.m_bSubscribed = true; });
        });
        mosquitto_message_v5_callback_set(m_pMosq, [](auto, void* obj, const mosquitto_message* m, auto) {
            const auto* p = static_cast<const uint8_t*>(m->payload);
            Note(obj, [&](auto& s) { s.m_vMessages.emplace_back(m->topic, Bytes(p, p + m->payloadlen)); });
        });
        if (mosquitto_connect(m_pMosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
            return;
        mosquitto_loop_start(m_pMosq);
        Wait([this] { return m_nConnack >= 0; });
        mosquitto_subscribe(m_pMosq, nullptr, (topic.empty() ? ZylPduSubscription(user) : topic).c_str(), 1);
        Wait([this] { return m_bSubscribed; });
    }
    ~CZylRawClient() {
        mosquitto_disconnect(m_pMosq);
        mosquitto_loop_stop(m_pMosq, false);
        mosquitto_destroy(m_pMosq);
    }
    // The broker's answer to a QoS 1 publish: 0, or a reason code such as 135 (not authorised).
    int Publish(const std::string& topic, const Bytes& body, bool retain = false) {
        int mid = 0;
        if (mosquitto_publish(m_pMosq, &mid, topic.c_str(), static_cast<int>(body.size()), body.data(), 1,
                              retain) != MOSQ_ERR_SUCCESS)
            return -1;
        return Wait([&] { return m_mAcks.count(mid) > 0; }) ? m_mAcks[mid] : -1;
    }
    std::vector<std::pair<std::string, Bytes>> Messages() {
        std::lock_guard lock(m_mutex);
        return m_vMessages;
    }

private:
    static void Note(void* obj, const std::function<void(CZylRawClient&)>& change) {
        auto& self = *static_cast<CZylRawClient*>(obj);
        std::lock_guard lock(self.m_mutex);
        change(self);
        self.m_cv.notify_all();
    }
    bool Wait(const std::function<bool()>& done) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(3), done);
    }
    mosquitto* m_pMosq;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nConnack = -1;
    bool m_bSubscribed = false;
    std::map<int, int> m_mAcks;
    std::vector<std::pair<std::string, Bytes>> m_vMessages;
};

// A peer's host by hand (key published, openings signed, frames sealed), to send what a host never does.
class CZylHandPeer : public CZylRawClient {
public:
    CZylHandPeer(const std::string& self, int port, std::string peer)
        : CZylRawClient(self, port), m_sSelf(self), m_sPeer(std::move(peer)) {
        m_keys.Open({});
        const ZYLKEY& key = m_keys.PublicKey();
        EXPECT_EQ(Publish(ZylKeyTopic(m_sSelf), Bytes(key.begin(), key.end()), true), 0);
    }
    void To(const std::string& peer) {
        m_sPeer = peer;
        m_mHalves.clear();
        m_mKeys.clear();
    }
    Bytes Open(int32_t channel, uint64_t stream) {
        m_mOpened[channel] = stream;
        ZYLEPHEMERAL& half = m_mHalves[channel] = ZylNewEphemeral();
        Bytes body(half.pub.begin(), half.pub.end());
        const ZYLSIGNATURE signature =
            m_keys.Sign(ZylStartSigned(ZYL_FRAME_OPEN, m_sSelf, m_sPeer, channel, stream, 0, half.pub));
        body.insert(body.end(), signature.begin(), signature.end());
        return ZylEncodeFrame(ZYL_FRAME_OPEN, 0, stream, 1, body.data(), body.size());
    }
    // The keys of the channel from the peer's acceptance, once its host sent it; the acceptance.
    ZYLFRAME Agree(int32_t channel, CZylTestUser& host) {
        ZYLFRAME accept;
        EXPECT_TRUE(RunUntil({&host}, [&] {
            for (const auto& [channel_, frame] : Entries(0, SIZE_MAX))
                if (channel_ == channel && frame.kind == ZYL_FRAME_ACCEPT &&
                    ZylDecodeStreamRef(frame.payload) == m_mOpened[channel])
                    accept = frame;
            return accept.kind != 0;
        }));
        ZYLKEY theirs{};
        std::copy_n(accept.payload.begin() + 8, theirs.size(), theirs.begin());
        auto& [tx, rx] = m_mKeys[channel];
        EXPECT_TRUE(ZylDeriveFrameKeys(m_mHalves[channel], theirs, m_sSelf, m_sPeer, channel, tx, rx));
        return accept;
    }
    Bytes Seal(int32_t channel, uint8_t kind, uint64_t stream, uint64_t sequence, uint32_t command,
               const Bytes& payload = {}) {
        return ZylSealFrame(m_mKeys[channel].first, kind, command, stream, sequence, payload.data(),
                            payload.size());
    }
    Bytes Ack(int32_t channel, uint64_t stream, uint64_t sequence, uint64_t own) {
        return ZylSealAck(m_mKeys[channel].first, stream, sequence, own);
    }
    std::vector<ZYLFRAME> Frames(uint8_t kind) {
        std::vector<ZYLFRAME> frames;
        for (const auto& [channel, frame] : Entries(0, SIZE_MAX))
            if (frame.kind == kind)
                frames.push_back(frame);
        return frames;
    }
    // The frames of count messages from the first on, with their channels, opened where keys are known.
    std::vector<std::pair<int32_t, ZYLFRAME>> Entries(size_t first, size_t count = 1) {
        std::vector<std::pair<int32_t, ZYLFRAME>> frames;
        const auto messages = Messages();
        for (size_t i = first; i < messages.size() && i - first < count; ++i) {
            const auto& [topic, body] = messages[i];
            const auto parts = ZylSplitMessage(body.data(), body.size(), ZylParsePduTopic(topic)->channel);
            for (const ZYLFRAMEREF& part : parts.value_or(std::vector<ZYLFRAMEREF>{})) {
                ZYLFRAME frame = ZylDecodeFrame(part.data, part.length).value_or(ZYLFRAME{});
                EXPECT_TRUE(frame.kind != ZYL_FRAME_DATA || !m_mKeys.count(part.channel) ||
                            ZylOpenFrame(m_mKeys[part.channel].second, frame));
                frames.emplace_back(part.channel, frame);
            }
        }
        return frames;
    }

private:
    std::string m_sSelf, m_sPeer;
    CZylKeyStore m_keys;
    std::map<int32_t, ZYLEPHEMERAL> m_mHalves;
    std::map<int32_t, uint64_t> m_mOpened;                // the stream of our last opening
    std::map<int32_t, std::pair<ZYLKEY, ZYLKEY>> m_mKeys; // to the peer, from it
};

class ZylMqttHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        mosquitto_lib_init();
        for (const std::string& user : {A, B, C, D, kLowerB, kZeroB, kAdmin})
            m_broker.AddUser(user, Password(user));
        m_broker.SetVerboseLog(true);
        ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    }
    void TearDown() override {
        const std::string log = m_broker.Log();
        if (HasFailure())
            std::fprintf(stderr, "broker log (end):\n%s\n",
                         log.substr(log.size() - std::min<size_t>(log.size(), 3000)).c_str());
    }
    void Restart(const std::string& accessList) {
        m_broker.Stop();
        m_broker.SetAccessList(accessList);
        ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    }
    void Pair(CZylTestUser& a, CZylTestUser& b) {
        ASSERT_EQ(a.Connect(m_broker), "");
        ASSERT_EQ(b.Connect(m_broker), "");
        OpenBoth(a, b);
    }
    CZylLocalBroker m_broker;
};
} // namespace

TEST_F(ZylMqttHostTest, LoginRefusalsAreOneClearLineAndLeaveTheHostUsable) {
    CZylMqttHost host(
        {.nConnectTimeoutMs = 1000, .nOpenTimeoutMs = 800, .nRetransmitMs = 300, .nOfflineGraceMs = 800});
    const int port = m_broker.Port(), closed = ZylFreeLoopbackPort(), tls = m_broker.TlsPort();
    const auto refused = [](int at, const std::filesystem::path& ca) {
        return "refused the broker at 127.0.0.1:" + std::to_string(at) +
               ": its TLS certificate does not verify against " + ca.string() +
               " for that host name (certificate verify failed)";
    };
    const std::vector<std::tuple<std::string, int, std::string, std::string>> refusals{
        {A, port, "wrong", "connection refused: not authorised"},
        {"S9.9999", port, "any", "connection refused: not authorised"},
        {A, closed, Password(A),
         "cannot reach the broker at 127.0.0.1:" + std::to_string(closed) + ": Connection refused"},
        {A, 65535, Password(A), "cannot reach the broker at 127.0.0.1:65535: Connection refused"},
        {A, 65536, Password(A), "the broker port 65536 is out of range"},
        {"S1/1001", port, "x", "the user id \"S1/1001\" cannot be a broker user name"},
        // The broker would take it, but the peers would not: only one spelling speaks for a user.
        {kLowerB, port, Password(kLowerB),
         "the user id \"s1.1002\" is written S1.1002, and only that spelling speaks for it"}};
    for (const auto& [user, at, password, error] : refusals) {
        EXPECT_EQ(host.Connect("127.0.0.1", at, user, password), error);
        EXPECT_FALSE(host.IsConnected());
    }
    EXPECT_EQ(host.Connect("127.0.0.1", port, A, Password(A)), "");
    EXPECT_TRUE(host.IsConnected());
    EXPECT_EQ(host.Connect("127.0.0.1", port, A, Password(A)), "already connected as " + A);
    host.Disconnect();
    // Over TLS the broker's certificate must verify against the authority given, for the host name.
    const auto other = m_broker.Folder() / "other-ca";
    ASSERT_EQ(ZylMakeBrokerCertificate(other, {"127.0.0.1"}), "");
    host.SetSecurity(Tls(other / "ca.crt"));
    EXPECT_EQ(host.Connect("127.0.0.1", tls, A, Password(A)), refused(tls, other / "ca.crt"));
    host.SetSecurity(Tls(other / "none.crt"));
    EXPECT_EQ(host.Connect("127.0.0.1", tls, A, Password(A)),
              "cannot read the CA file " + (other / "none.crt").string() + ": No such file or directory");
    host.SetSecurity({}); // port 8883 alone turns TLS on, verified against the system's authorities
    EXPECT_NE(host.Connect({{"127.0.0.1", ZYL_MQTT_TLS_PORT}}, A, Password(A)).find(":8883: "),
              std::string::npos);
    host.SetSecurity(Tls(m_broker.CaFile()));
    EXPECT_EQ(host.Connect("127.0.0.1", tls, A, Password(A)), "");
    host.Disconnect();
    host.SetSecurity({});
    // An access list without one of the lines a host needs: the login names what is missing.
    const std::string took =
        "the broker at 127.0.0.1:" + std::to_string(port) + " took the login but does not pass " + A + "'s ";
    const std::string list = "the broker's access list does not let " + A;
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"pattern write zylfs/presence/%u", list + " announce itself"},
             {"pattern write zylfs/pdu/+/%u/+", list + " send messages"},
             {"pattern read zylfs/pdu/%u/+/+", took + "messages back: check its access list"},
             {"pattern read zylfs/presence/+", took + "presence back: check its access list"},
             {"pattern write zylfs/key/%u", list + " publish its key"},
             {"pattern read zylfs/key/+", took + "key back: check its access list"}}) {
        std::string without = ZylMqttAclText();
        ASSERT_NO_FATAL_FAILURE(Restart(without.erase(without.find(line), line.size() + 1)));
        EXPECT_EQ(host.Connect("127.0.0.1", port, A, Password(A)), error) << "without " << line;
        EXPECT_FALSE(host.IsConnected());
    }
    // The next node of a lost broker has a certificate of another authority: one line each, loss and refusal.
    ASSERT_NO_FATAL_FAILURE(Restart(ZylMqttAclText()));
    CZylLocalBroker foreign;
    foreign.AddUser(A, Password(A));
    ASSERT_TRUE(foreign.Start()) << foreign.Error();
    CZylTestUser t(A);
    t.m_host.SetSecurity(Tls(m_broker.CaFile(), A));
    ASSERT_EQ(t.m_host.Connect({{"127.0.0.1", tls}, {"127.0.0.1", foreign.TlsPort()}}, A, Password(A)), "");
    m_broker.Kill();
    ASSERT_TRUE(RunUntil({&t}, [&] { return t.Count(ZYL_EVENT_BROKER_DOWN) >= 2; }));
    const auto downs = t.Events(ZYL_EVENT_BROKER_DOWN);
    EXPECT_EQ(downs[0].text.rfind("lost the broker at 127.0.0.1:" + std::to_string(tls), 0), 0u);
    EXPECT_EQ(downs[1].text, refused(foreign.TlsPort(), m_broker.CaFile()));
}

TEST_F(ZylMqttHostTest, TwoHostsSeeEachOtherOpenChannelsTogetherSendWithinTheBoundAndRefuseAChangedKey) {
    // The broker's administrator reads every topic.
    ASSERT_NO_FATAL_FAILURE(Restart(ZylMqttAclText() + "user " + kAdmin + "\ntopic read #\n"));
    CZylRawClient admin(kAdmin, m_broker.Port(), "#");
    CZylTestUser a(A), b(B), c(C), other(B);
    other.m_sKeys = "another device"; // B's account, another key pair
    ASSERT_EQ(a.Connect(m_broker), "");
    EXPECT_TRUE(a.m_host.GetOnlineUsers().empty());
    a.m_host.OpenChannel(C, kReq); // never logged in
    a.m_host.OpenChannel(A, kReq); // oneself
    a.Poll();
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, kReq, ZYL_OPEN_OFFLINE), 1);
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, A, kReq, ZYL_OPEN_OFFLINE), 1);
    ASSERT_EQ(b.Connect(m_broker), "");
    // B logs in after A: A's retained presence is known when Connect returns.
    EXPECT_TRUE(b.m_host.IsOnline(A));
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Count(DLL_P2P_ON_USER_ONLINE, B) == 1; }));
    EXPECT_FALSE(a.m_host.IsOnline(C));
    EXPECT_EQ(a.Send(B, kReq, 1), -1); // not open yet
    // B is online but its host does not answer in time; its late acceptance is turned down and closed.
    a.m_host.OpenChannel(B, kData);
    ASSERT_TRUE(RunUntil(3000, {&a}, [&] { return a.Count(DLL_P2P_ON_CONNECT, B) == 1; }));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, kData, ZYL_OPEN_NO_ANSWER), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.Count(DLL_P2P_ON_DISCONNECT, A, kData) == 1; }));
    EXPECT_LT(b.IndexOf(DLL_P2P_ON_CONNECT, A, kData), b.IndexOf(DLL_P2P_ON_DISCONNECT, A, kData));
    EXPECT_FALSE(b.m_host.IsChannelOpen(A, kData));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, kData, ZYL_OPEN_DONE), 0);
    a.m_vEvents.clear();
    b.m_vEvents.clear();
    // Within the time, a channel connects once both hosts have it open.
    a.m_host.OpenChannel(B, kReq);
    RunFor({&a}, 300);
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT), 0);
    EXPECT_EQ(a.Send(B, kReq, 1), -1);
    auto connected = [&](int32_t channel, int times) {
        return RunUntil({&a, &b}, [&] {
            return a.Count(DLL_P2P_ON_CONNECT, B, channel, 0) == times &&
                   b.Count(DLL_P2P_ON_CONNECT, A, channel, 0) == times;
        });
    };
    ASSERT_TRUE(connected(kReq, 1));
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, kData));
    a.m_host.OpenChannel(B, kReq); // open already: nothing
    b.m_host.OpenChannel(A, kReq);
    // Both open the other channel at the same moment: one connection, heard once on each side.
    a.m_host.OpenChannel(B, kData);
    b.m_host.OpenChannel(A, kData);
    ASSERT_TRUE(connected(kData, 1));
    RunFor({&a, &b}, 300);
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT) + b.Count(DLL_P2P_ON_CONNECT), 4);
    EXPECT_EQ(a.Count(DLL_P2P_ON_DISCONNECT) + b.Count(DLL_P2P_ON_DISCONNECT), 0);
    ASSERT_EQ(a.Send(B, kData, 7), 1);
    ASSERT_EQ(b.m_host.Send(A, kData, 8, nullptr, 0), 1); // a PDU without payload
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.CommandsOf(B, kData) == Commands{8} && b.CommandsOf(A, kData) == Commands{7};
    }));
    // Closing one channel closes it on both sides and leaves the other open; and it opens again.
    b.m_host.CloseChannel(A, kReq);
    EXPECT_EQ(b.Send(A, kReq, 1), -1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.Count(DLL_P2P_ON_DISCONNECT, B, kReq, 0) == 1 &&
               b.Count(DLL_P2P_ON_DISCONNECT, A, kReq, 0) == 1;
    }));
    EXPECT_EQ(a.Send(B, kReq, 1), -1);
    EXPECT_EQ(a.Send(B, kData, 9), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.CommandsOf(A, kData) == Commands{7, 9}; }));
    a.m_host.OpenChannel(B, kReq);
    ASSERT_TRUE(connected(kReq, 2));
    // Blocks of a random file whose name (as text and UTF-16) starts the first, every third on the request
    // channel. B's host does not run at first: the bound of 1 MiB stops the 65th block, on either
    // channel; the rest waits and arrives in order, once.
    std::mt19937 random(1207);
    Bytes file(64 << 10);
    std::generate(file.begin(), file.end(), [&] { return static_cast<uint8_t>(random()); });
    const std::string name = "Quarterly salaries 2026.xlsx";
    Bytes names(name.begin(), name.end());
    for (const char letter : name)
        names.insert(names.end(), {static_cast<uint8_t>(letter), 0});
    const size_t block = 16 << 10;
    auto piece = [&](uint32_t i) {
        Bytes bytes(block);
        for (size_t k = 0; k < block; ++k)
            bytes[k] = file[(i * 4099 + k) % file.size()];
        if (i == 0)
            std::copy(names.begin(), names.end(), bytes.begin());
        return bytes;
    };
    auto channel = [](uint32_t i) { return i % 3 == 0 ? kReq : kData; };
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.m_host.GetBytesInFlight(B) == 0; }));
    a.m_vEvents.clear();
    b.m_vEvents.clear();
    const uint32_t total = 256; // 4 MiB
    uint32_t sent = 0;
    int refusals = 0;
    for (const auto deadline = Clock::now() + std::chrono::seconds(20);
         sent < total && Clock::now() < deadline;) {
        const int32_t taken = a.Send(B, channel(sent), sent, piece(sent));
        ASSERT_LE(a.m_host.GetBytesInFlight(B), size_t{1} << 20);
        sent += taken == 1;
        if (taken == 1)
            continue;
        ASSERT_EQ(taken, 0);
        if (refusals++ == 0) {
            EXPECT_EQ(sent, 64u);
            EXPECT_EQ(a.m_host.GetBytesInFlight(B), size_t{1} << 20);
            EXPECT_EQ(a.Send(B, kReq, 1), 0); // the 65th went on the other channel
        }
        RunFor({&a, &b}, 2);
    }
    ASSERT_EQ(sent, total);
    EXPECT_GT(refusals, 1);
    ASSERT_TRUE(RunUntil(10000, {&a, &b}, [&] { return b.Data(A, -1).size() == total; }));
    RunFor({&a, &b}, 100); // and nothing more (no duplicates)
    std::map<int32_t, Commands> expected;
    for (uint32_t i = 0; i < total; ++i)
        expected[channel(i)].push_back(i);
    for (const int32_t on : {kReq, kData})
        EXPECT_EQ(b.CommandsOf(A, on), expected[on]);
    for (const ZYLHOSTEVENT& e : b.Data(A, -1))
        ASSERT_EQ(e.payload, piece(e.command)) << e.command;
    EXPECT_EQ(a.m_host.GetBytesInFlight(B), 0u); // everything acknowledged
    // The administrator saw all of it go by, and reads no 8 bytes of the file in a row, nor the name.
    std::unordered_set<uint64_t> windows;
    uint64_t window = 0;
    for (size_t i = 0; i < file.size() + 7; ++i)
        if (window = window << 8 | file[i % file.size()]; i >= 7)
            windows.insert(window);
    size_t carried = 0;
    for (const auto& [topic, body] : admin.Messages()) {
        carried += topic.rfind("zylfs/pdu/", 0) == 0 ? body.size() : 0;
        for (size_t i = 0; i < body.size(); ++i) // (the window is moved on first)
            ASSERT_TRUE(!windows.count(window = window << 8 | body[i]) || i < 7) << topic << " at " << i;
        for (const Bytes& text :
             {Bytes(name.begin(), name.end()), Bytes(names.begin() + name.size(), names.end())})
            EXPECT_EQ(std::search(body.begin(), body.end(), text.begin(), text.end()), body.end()) << topic;
    }
    EXPECT_GT(carried, total * block / 2);
    // B logs out while A's host runs on a thread of its own: what B sent is delivered first, then its
    // channels close and it goes at once, not after a will's grace time.
    const ZYLKEY first = b.m_host.Keys().PublicKey();
    EXPECT_EQ(a.m_host.Keys().Pinned(B), first); // on first sight
    a.m_vEvents.clear();
    b.m_vEvents.clear();
    std::atomic<bool> stop{false}, gone{false};
    a.m_fnOnEvent = [&](const ZYLHOSTEVENT& e) { gone = gone || e.kind == DLL_P2P_ON_USER_OFFLINE; };
    std::thread runner([&] {
        while (!stop) {
            a.m_host.Wait(5);
            a.Poll();
        }
    });
    for (uint32_t i = 0; i < 300; ++i)
        EXPECT_EQ(b.Send(A, kData, i, Pattern(i, 500)), 1);
    const auto started = Clock::now();
    b.m_host.Disconnect();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1500)); // acknowledged, not timed out
    for (const auto by = Clock::now() + std::chrono::milliseconds(600); !gone && Clock::now() < by;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    runner.join();
    EXPECT_EQ(a.CommandsOf(B, kData), Range(0, 300));
    for (const int32_t on : {kReq, kData})
        EXPECT_EQ(a.Count(DLL_P2P_ON_DISCONNECT, B, on, 0), 1);
    EXPECT_EQ(a.Count(DLL_P2P_ON_USER_OFFLINE, B), 1);
    EXPECT_FALSE(a.m_host.IsOnline(B));
    // B's own side: its channels closed and the others are gone from its view.
    b.Poll();
    EXPECT_EQ(b.Count(DLL_P2P_ON_DISCONNECT, A), 2);
    EXPECT_EQ(b.Count(DLL_P2P_ON_USER_OFFLINE, A), 1);
    EXPECT_FALSE(b.m_host.IsConnected());
    // The retained "offline" tells a later login that B is away.
    ASSERT_EQ(c.Connect(m_broker), "");
    EXPECT_TRUE(c.m_host.IsOnline(A));
    EXPECT_FALSE(c.m_host.IsOnline(B));
    RunFor({&c}, 100);
    EXPECT_EQ(c.Count(DLL_P2P_ON_USER_ONLINE, A), 1);
    EXPECT_EQ(c.Count(DLL_P2P_ON_USER_ONLINE, B), 0);
    // B again with another key pair: refused, on either side, until the new key is trusted.
    ASSERT_EQ(other.Connect(m_broker), "");
    const ZYLKEY now = other.m_host.Keys().PublicKey();
    ASSERT_TRUE(RunUntil({&a, &other},
                         [&] { return a.Count(ZYL_EVENT_KEY_REFUSED, B) == 1 && a.m_host.IsOnline(B); }));
    const std::string refusal = B + "'s key has changed (it was " + ZylKeyFingerprint(first) +
                                ", it is now " + ZylKeyFingerprint(now) +
                                "): its channels are refused until you trust the new key (zylfs trust " + B +
                                ")";
    EXPECT_EQ(a.Text(ZYL_EVENT_KEY_REFUSED), refusal);
    EXPECT_EQ(a.m_host.KeyRefusal(B), refusal);
    a.m_host.OpenChannel(B, kReq);
    other.m_host.OpenChannel(A, kData);
    ASSERT_TRUE(RunUntil({&a, &other}, [&] { return other.Count(DLL_P2P_ON_CONNECT, A) == 1; }));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, kReq, ZYL_OPEN_REFUSED), 1);
    EXPECT_EQ(other.Count(DLL_P2P_ON_CONNECT, A, kData, ZYL_OPEN_NO_ANSWER), 1);
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, kData));
    // Nothing of the new key was trusted on the way, until another process trusts it.
    CZylKeyStore pins;
    ASSERT_EQ(pins.Open(m_broker.Folder() / ("keys-" + A), false), "");
    std::optional<ZYLKEY> changed;
    EXPECT_EQ(pins.Pinned(B, &changed), first);
    EXPECT_EQ(changed, now);
    EXPECT_TRUE(pins.Trust(B)); // as zylfs trust does
    EXPECT_EQ(a.m_host.KeyRefusal(B), "");
    OpenBoth(a, other);
}

TEST_F(ZylMqttHostTest, WhatOneTurnSendsTravelsTogetherWithTheAcknowledgements) {
    ZYLMQTTOPTIONS options = kQuick;
    options.nRetransmitMs = 10000; // C acknowledges by hand: nothing is sent twice meanwhile
    CZylTestUser a(A, options);
    ASSERT_EQ(a.Connect(m_broker), "");
    CZylHandPeer c(C, m_broker.Port(), A);
    // A answers every PDU at once, as a plug-in does; a poll inside the handler hands out nothing.
    a.m_fnOnEvent = [&](const ZYLHOSTEVENT& e) {
        if (e.kind == DLL_P2P_ON_DATA) {
            EXPECT_EQ(a.Send(C, e.channel, e.command + 1000, e.payload), 1);
            EXPECT_EQ(a.m_host.Poll([](const ZYLHOSTEVENT&) { ADD_FAILURE() << "handed out inside"; }), 0);
        }
    };
    auto bundle = [](const std::vector<std::pair<int32_t, Bytes>>& frames) {
        Bytes body;
        for (const auto& [channel, frame] : frames)
            ZylAppendToBundle(body, channel, frame);
        return body;
    };
    auto pdu = [&](uint64_t stream, uint64_t sequence, uint32_t command) { // with its channel
        const int32_t channel = stream == 100 ? kReq : kData;
        return std::pair{channel,
                         c.Seal(channel, ZYL_FRAME_DATA, stream, sequence, command, {uint8_t(command)})};
    };
    const std::string topic = ZylPduTopic(A, C, kReq);
    // One message opens both channels; one message accepts both, the acceptances before the acks.
    ASSERT_EQ(0, c.Publish(topic, bundle({{kReq, c.Open(kReq, 100)}, {kData, c.Open(kData, 200)}})));
    c.Agree(kReq, a);
    c.Agree(kData, a);
    RunFor({&a}, 100);
    ASSERT_EQ(c.Messages().size(), 1u);
    const auto opened = c.Entries(0);
    ASSERT_EQ(opened.size(), 4u);
    std::map<int32_t, uint64_t> streams; // A's, per channel
    for (size_t i = 0; i < 2; ++i) {
        const auto& [channel, frame] = opened[i];
        EXPECT_EQ(frame.kind, ZYL_FRAME_ACCEPT);
        EXPECT_EQ(ZylDecodeStreamRef(frame.payload), channel == kReq ? 100u : 200u);
        streams[channel] = frame.stream;
        const auto& [acked, ack] = opened[i + 2];
        EXPECT_EQ(std::tie(acked, ack.kind, ack.sequence),
                  std::make_tuple(channel, ZYL_FRAME_ACK, uint64_t{1}));
    }
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, -1, ZYL_OPEN_DONE), 2);
    // Three PDUs in one message, taken in order; the answers leave in one message, each stream's in
    // order, then the acknowledgements.
    ASSERT_EQ(0, c.Publish(topic, bundle({pdu(100, 2, 1), pdu(200, 2, 2), pdu(100, 3, 3)})));
    ASSERT_TRUE(RunUntil({&a}, [&] { return c.Messages().size() >= 2; }));
    RunFor({&a}, 100);
    ASSERT_EQ(c.Messages().size(), 2u);
    EXPECT_EQ(a.CommandsOf(C), (Commands{1, 2, 3}));
    const auto answered = c.Entries(1);
    const std::vector<std::tuple<int32_t, uint8_t, uint64_t, uint32_t>> expected{
        {kReq, ZYL_FRAME_DATA, 2, 1001},
        {kReq, ZYL_FRAME_DATA, 3, 1003},
        {kData, ZYL_FRAME_DATA, 2, 1002},
        {kReq, ZYL_FRAME_ACK, 3, 0},
        {kData, ZYL_FRAME_ACK, 2, 0}};
    ASSERT_EQ(answered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [channel, frame] = answered[i];
        EXPECT_EQ(std::make_tuple(channel, frame.kind, frame.sequence, frame.command), expected[i]) << i;
        EXPECT_EQ(frame.stream,
                  frame.kind == ZYL_FRAME_ACK ? (channel == kReq ? 100u : 200u) : streams[channel]);
    }
    // C acknowledges both streams in one message, so that A does not send anything again.
    ASSERT_EQ(0, c.Publish(topic, bundle({{kReq, c.Ack(kReq, streams[kReq], 3, 100)},
                                          {kData, c.Ack(kData, streams[kData], 2, 200)}})));
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.m_host.GetBytesInFlight(C) == 0; }));
    ASSERT_EQ(c.Publish(topic, pdu(100, 4, 4).second), 0); // a lone frame, as an older host sends
    ASSERT_TRUE(RunUntil({&a}, [&] { return c.Messages().size() == 3; }));
    EXPECT_EQ(c.Entries(2).front().second.command, 1004u);
    // A long turn leaves in several messages, each within a frame's most, in order; a full PDU goes alone.
    const size_t before = c.Messages().size();
    for (uint32_t i = 0; i < 40; ++i)
        ASSERT_EQ(a.Send(C, kData, i, Pattern(7, 7168)), 1);
    const Bytes full = Pattern(8, ZYL_FRAME_MAX_PAYLOAD);
    ASSERT_EQ(a.Send(C, kData, 40, full), 1);
    std::vector<std::pair<int32_t, ZYLFRAME>> frames;
    ASSERT_TRUE(RunUntil({&a}, [&] { return (frames = c.Entries(before, SIZE_MAX)).size() == 41; }));
    const auto bodies = c.Messages();
    EXPECT_GT(bodies.size(), before + 5);
    EXPECT_LT(bodies.size(), before + 20);
    for (size_t i = before; i < bodies.size(); ++i)
        EXPECT_LE(bodies[i].second.size(), ZYL_FRAME_MAX_SIZE);
    EXPECT_EQ(bodies.back().second.size(), ZYL_FRAME_MAX_SIZE);
    EXPECT_EQ(bodies.back().second[0], ZYL_FRAME_VERSION);
    for (uint32_t i = 0; i < 41; ++i)
        EXPECT_EQ(std::tie(frames[i].second.sequence, frames[i].second.command),
                  std::make_tuple(i + 3ull, i));
    EXPECT_EQ(frames[40].second.payload, full);
}

// A steady stream from A to B while the broker goes away and comes back.
class ZylMqttRestartTest : public ZylMqttHostTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ZylMqttRestartTest, BrokerGoneMidStreamLosesAndRepeatsNothing) {
    const std::string how = GetParam();
    if (how == "persistent") { // the wills it publishes on the way out come back as retained presence
        m_broker.SetPersistence(true);
        ASSERT_NO_FATAL_FAILURE(Restart(ZylMqttAclText()));
    }
    ZYLMQTTOPTIONS options = kQuick;
    options.nOfflineGraceMs = 3000;
    CZylTestUser a(A, options), b(B, options);
    ASSERT_NO_FATAL_FAILURE(Pair(a, b));
    const uint32_t total = 2000;
    uint32_t sent = 0;
    bool restarted = false;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (b.Data(A, kData).size() < total && Clock::now() < deadline) {
        if (sent >= 700 && !std::exchange(restarted, true)) {
            how == "killed" ? m_broker.Kill() : m_broker.Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
        }
        bool taken = true; // a burst, until one is refused
        for (int burst = 0; burst < 20 && sent < total && taken; ++burst)
            if ((taken = a.Send(B, kData, sent, Pattern(sent, 1024)) == 1))
                ++sent;
        RunFor({&a, &b}, taken ? 0 : 5);
    }
    RunFor({&a, &b}, 200);
    const auto data = b.Data(A, kData);
    ASSERT_EQ(data.size(), total); // no more: nothing repeated
    for (uint32_t i = 0; i < total; ++i)
        ASSERT_EQ(std::make_pair(data[i].command, data[i].payload), std::make_pair(i, Pattern(i, 1024))) << i;
    // The bursts went in bundles, and what the broker lost with them was sent again.
    const ZYLMQTTSTATS& stats = a.m_host.GetStats();
    EXPECT_LT(stats.nMessagesSent * 4, stats.nFramesSent);
    EXPECT_GT(stats.nFramesResent, 0u);
    EXPECT_GE(b.m_host.GetStats().nFramesReceived, total);
    // The users never went away for each other; each loss is told as a loss, not a refused certificate.
    EXPECT_GE(a.Count(ZYL_EVENT_BROKER_DOWN), 1);
    const std::string lost = "lost the broker at 127.0.0.1:" + std::to_string(m_broker.TlsPort()) + ": ";
    for (const auto& e : a.Events(ZYL_EVENT_BROKER_DOWN))
        EXPECT_EQ(e.text.substr(0, lost.size()), lost);
    EXPECT_GE(a.Count(ZYL_EVENT_BROKER_UP), 1);
    for (const CZylTestUser* user : {&a, &b})
        EXPECT_EQ(user->Count(DLL_P2P_ON_DISCONNECT) + user->Count(DLL_P2P_ON_USER_OFFLINE), 0)
            << user->m_sId;
    ASSERT_EQ(b.Send(A, kReq, 77), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Data(B, kReq).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Broker, ZylMqttRestartTest, ::testing::Values("stopped", "persistent", "killed"));

TEST_F(ZylMqttHostTest, KilledUsersGoAfterTheGraceTimeAndTheBrokerListMovesOnWhenANodeGoes) {
    setenv("ZYL_TEST_PEER", "S9.9999", 1); // before any thread of this process could read it
    // Two nodes of a cluster (not bridged here: each user is seen only where it logged in).
    CZylLocalBroker second;
    for (const std::string& user : {A, B})
        second.AddUser(user, Password(user));
    ASSERT_TRUE(second.Start()) << second.Error();
    const ZYLBROKERADDRESS gone{"127.0.0.1", ZylFreeLoopbackPort()}, next{"127.0.0.1", second.Port()};
    // A node that cannot be reached is passed over at login.
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.m_host.Connect({gone, {"127.0.0.1", m_broker.Port()}, next}, A, Password(A)), "");
    ASSERT_EQ(b.m_host.Connect({next}, B, Password(B)), "");
    // The test program itself as C's and D's hosts in processes of their own (see main below).
    struct Child {
        pid_t pid;
        ~Child() {
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        }
    };
    const auto spawn = [&](const std::string& user) {
        return ZylSpawn({"/proc/self/exe", "--zyl-host-child", std::to_string(m_broker.TlsPort()),
                         m_broker.CaFile().string(), user},
                        {}, {"ZYL_TEST_PEER=" + A}); // overrides the inherited one
    };
    const Child c{spawn(C)}, d{spawn(D)};
    ASSERT_TRUE(c.pid > 0 && d.pid > 0);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.BothOpen(C) && a.BothOpen(D); }));
    EXPECT_FALSE(a.m_host.IsOnline(B));
    // D's will tells it went, after the grace time; both channels close first, then the user goes.
    const auto killed = Clock::now();
    kill(d.pid, SIGKILL); // it stays a zombie until the end: its pid is not reused
    ASSERT_TRUE(RunUntil(3000, {&a, &b}, [&] { return a.Count(DLL_P2P_ON_USER_OFFLINE, D) == 1; }));
    EXPECT_GE(Clock::now() - killed, std::chrono::milliseconds(kQuick.nOfflineGraceMs - 100));
    const int offline = a.IndexOf(DLL_P2P_ON_USER_OFFLINE, D);
    for (const int32_t channel : {kReq, kData}) {
        EXPECT_GE(a.IndexOf(DLL_P2P_ON_DISCONNECT, D, channel), 0);
        EXPECT_LT(a.IndexOf(DLL_P2P_ON_DISCONNECT, D, channel), offline);
    }
    EXPECT_FALSE(a.m_host.IsOnline(D));
    EXPECT_EQ(a.Send(D, kData, 1), -1);
    // The will stays with the broker: who logs in afterwards finds D gone, and C there.
    CZylTestUser late(kAdmin);
    ASSERT_EQ(late.Connect(m_broker), "");
    EXPECT_TRUE(late.m_host.IsOnline(C));
    EXPECT_FALSE(late.m_host.IsOnline(D));
    late.m_host.Disconnect();
    // The node goes with C on it: A moves to the next node and takes C for gone after the grace time.
    m_broker.Kill();
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Count(ZYL_EVENT_BROKER_UP) == 1; }));
    EXPECT_EQ(a.Text(ZYL_EVENT_BROKER_UP),
              "logged in again at the broker at 127.0.0.1:" + std::to_string(second.Port()));
    EXPECT_EQ(a.Count(ZYL_EVENT_BROKER_DOWN), 1);
    EXPECT_TRUE(a.m_host.IsOnline(C));
    ASSERT_TRUE(RunUntil(3000, {&a, &b}, [&] { return a.Count(DLL_P2P_ON_USER_OFFLINE, C) == 1; }));
    EXPECT_EQ(a.Count(DLL_P2P_ON_DISCONNECT, C), 2);
    OpenBoth(a, b);
    ASSERT_EQ(a.Send(B, kData, 1), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.Data(A, kData).size() == 1; }));
    ZYLBROKERADDRESS parsed;
    EXPECT_EQ(ZylParseBrokerAddress("[::1]:1884", parsed), "");
    EXPECT_EQ(parsed.Text(), "[::1]:1884");
    for (const char* bad : {"host", ":1883", "host:", "host:0", "host:65536", "host:12x"})
        EXPECT_NE(ZylParseBrokerAddress(bad, parsed), "") << bad;
}

TEST_F(ZylMqttHostTest, AccessListStopsForgedSendersAndASecondLoginEndsTheFirst) {
    CZylTestUser a(A), b(B), second(A);
    ASSERT_NO_FATAL_FAILURE(Pair(a, b));
    RunFor({&a, &b}, 100);
    const size_t before = a.m_vEvents.size();
    // C pretends to be B: openings of a new channel and of 1024 (over A's real one), a PDU, B's presence.
    CZylHandPeer forger(C, m_broker.Port(), A);
    const uint64_t stream = ~uint64_t{0} >> 1;
    const Bytes open = ZylEncodeFrame(ZYL_FRAME_OPEN, 0, stream, 1, nullptr, 0);
    for (const auto& [topic, body] : std::vector<std::pair<std::string, Bytes>>{
             {ZylPduTopic(A, B, 7), open},
             {ZylPduTopic(A, B, kReq), open},
             {ZylPduTopic(A, B, kData), ZylEncodeFrame(ZYL_FRAME_DATA, 4112, stream, 2, open.data(), 3)},
             {ZylPresenceTopic(B), Bytes{'o', 'f', 'f', 'l', 'i', 'n', 'e'}}})
        EXPECT_EQ(forger.Publish(topic, body, topic == ZylPresenceTopic(B)), MQTT_RC_NOT_AUTHORIZED) << topic;
    // Accounts of other spellings of B's id are not B: what they send is dropped (and told), not answered.
    CZylRawClient lower(kLowerB, m_broker.Port()), zero(kZeroB, m_broker.Port());
    for (auto& [account, other] : {std::pair{kLowerB, &lower}, std::pair{kZeroB, &zero}}) {
        EXPECT_EQ(other->Publish(ZylPresenceTopic(account), Bytes{'o', 'n', 'l', 'i', 'n', 'e'}, true), 0);
        EXPECT_EQ(other->Publish(ZylPduTopic(A, account, kReq), open), 0);
    }
    // Under its own name C gets through, and after all the forgeries: a barrier.
    EXPECT_EQ(forger.Publish(ZylPduTopic(A, C, kReq), forger.Open(kReq, 1)), 0);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Count(DLL_P2P_ON_CONNECT, C, kReq, 0) == 1; }));
    RunFor({&a, &b}, kQuick.nOfflineGraceMs + 200);
    for (const ZYLHOSTEVENT& e : CZylTestUser::EventList(a.m_vEvents.begin() + before, a.m_vEvents.end()))
        EXPECT_TRUE(e.peer != B && e.peer != kLowerB && e.peer != kZeroB)
            << "event " << e.kind << " from the forged sender " << e.peer;
    for (const std::string& account : {kLowerB, kZeroB}) { // once each, though each sent twice
        const std::string text = "dropped what the broker account \"" + account +
                                 "\" sends: a user id is written " + B +
                                 ", and another spelling does not speak for that user";
        EXPECT_EQ(std::ranges::count(a.Events(ZYL_EVENT_DROPPED), text, &ZYLHOSTEVENT::text), 1) << account;
    }
    EXPECT_TRUE(lower.Messages().empty() && zero.Messages().empty()) << "A answered an account that is not B";
    EXPECT_FALSE(a.m_host.IsOnline(kLowerB));
    EXPECT_TRUE(a.m_host.IsOnline(B));
    EXPECT_TRUE(a.m_host.IsChannelOpen(B, kReq));
    // A second login of A ends the first, which does not keep coming back to push it out.
    ASSERT_EQ(second.Connect(m_broker), "");
    ASSERT_TRUE(RunUntil({&a, &second, &b}, [&] { return a.Count(ZYL_EVENT_BROKER_ENDED) == 1; }));
    EXPECT_EQ(a.Text(ZYL_EVENT_BROKER_ENDED), "the same user logged in elsewhere");
    EXPECT_EQ(a.Count(DLL_P2P_ON_DISCONNECT, B), 2);
    EXPECT_EQ(a.Send(B, kData, 1), -1);
    RunFor({&a, &second, &b}, 1500);
    const int drops = second.Count(ZYL_EVENT_BROKER_DOWN);
    RunFor({&a, &second, &b}, 1500);
    EXPECT_EQ(second.Count(ZYL_EVENT_BROKER_DOWN), drops);
    EXPECT_EQ(second.Count(ZYL_EVENT_BROKER_ENDED), 0);
    EXPECT_TRUE(b.m_host.IsOnline(A));
    // B's channels belonged to the first login: the new one turns them down when asked.
    EXPECT_FALSE(b.m_host.IsChannelOpen(A, kReq));
    OpenBoth(second, b);
    a.m_host.Disconnect(); // says nothing: A is still online through the second login
    RunFor({&second, &b}, kQuick.nOfflineGraceMs + 300);
    EXPECT_TRUE(b.m_host.IsOnline(A));
    EXPECT_TRUE(second.m_host.IsChannelOpen(B, kData));
    // A password changed while the broker was gone ends the session for good; B sees A go.
    m_broker.Kill();
    m_broker.AddUser(A, "changed");
    ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    ASSERT_TRUE(RunUntil({&second, &b}, [&] {
        return second.Count(ZYL_EVENT_BROKER_ENDED) == 1 && b.Count(DLL_P2P_ON_USER_OFFLINE, A) == 1;
    }));
    EXPECT_EQ(second.Text(ZYL_EVENT_BROKER_ENDED), "connection refused: not authorised");
    RunFor({&second}, 1500); // and it does not try again
    EXPECT_EQ(second.Count(ZYL_EVENT_BROKER_ENDED), 1);
}

TEST_F(ZylMqttHostTest, FramesThatOvertakeWaitAndDamagedOnesAreDropped) {
    ZYLMQTTOPTIONS options = kQuick;
    options.nEarlyFrames = 4;               // how far ahead of a missing frame one stream may run
    options.nEarlyBytes = 3 * (1024 + 256); // three PDUs of 1 KiB, with what holding one costs
    CZylTestUser a(A, options);
    ASSERT_EQ(a.Connect(m_broker), "");
    CZylHandPeer c(C, m_broker.Port(), A);
    const std::string topic = ZylPduTopic(A, C, kData);
    auto pdu = [&](int32_t channel, uint64_t stream, uint64_t sequence, const Bytes& payload = {}) {
        return c.Seal(channel, ZYL_FRAME_DATA, stream, sequence, static_cast<uint32_t>(sequence),
                      payload.empty() ? Bytes{static_cast<uint8_t>(sequence)} : payload);
    };
    // Damaged bodies and topics, and a PDU of a stream that was never opened.
    Bytes version = c.Open(kData, 50);
    version[0] = 9;
    EXPECT_EQ(c.Publish(topic, Bytes{1, 2, 3}), 0);
    EXPECT_EQ(c.Publish(topic, version), 0);
    EXPECT_EQ(c.Publish("zylfs/pdu/" + A + "/" + C + "/abc", c.Open(kData, 50)), 0);
    EXPECT_EQ(c.Publish(topic, pdu(kData, 50, 2)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return !c.Frames(ZYL_FRAME_RESET).empty(); }));
    const ZYLFRAME refusal = c.Frames(ZYL_FRAME_RESET).front();
    EXPECT_EQ(refusal.stream, 50u);
    EXPECT_EQ(refusal.sequence, 0u); // its first frame never arrived
    EXPECT_TRUE(a.m_vEvents.empty());
    // The opening, PDUs 3 before 2, 2 and the opening replayed, 4 changed on the way (dropped), then 4.
    const uint64_t stream = 100;
    const Bytes opening = c.Open(kData, stream);
    EXPECT_EQ(c.Publish(topic, opening), 0);
    c.Agree(kData, a);
    Bytes changed = pdu(kData, stream, 4);
    changed[ZYL_FRAME_HEADER_SIZE + 4] ^= 1;
    for (const Bytes& body :
         {pdu(kData, stream, 3), pdu(kData, stream, 2), pdu(kData, stream, 2), opening, changed})
        EXPECT_EQ(c.Publish(topic, body), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Count(ZYL_EVENT_DROPPED) == 1; }));
    EXPECT_EQ(a.Text(ZYL_EVENT_DROPPED),
              "dropped a frame from " + C +
                  " on channel 1025 that does not open with the keys of its opening: "
                  "it was changed on the way, or forged");
    EXPECT_EQ(c.Publish(topic, pdu(kData, stream, 4)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, kData).size() >= 3; }));
    RunFor({&a}, 200);
    EXPECT_EQ(a.CommandsOf(C, kData), (Commands{2, 3, 4}));
    for (const ZYLHOSTEVENT& e : a.Data(C, kData))
        EXPECT_EQ(e.payload, Bytes{static_cast<uint8_t>(e.command)});
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, kData, 0), 1);
    // A's host accepted with a stream of its own and acknowledged everything up to 4.
    ASSERT_TRUE(RunUntil({&a}, [&] {
        const auto acks = c.Frames(ZYL_FRAME_ACK);
        return !acks.empty() && acks.back().sequence == 4;
    }));
    const auto accepts = c.Frames(ZYL_FRAME_ACCEPT);
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].sequence, 1u);
    EXPECT_EQ(ZylDecodeStreamRef(accepts[0].payload), stream);
    const ZYLFRAME ack = c.Frames(ZYL_FRAME_ACK).back();
    EXPECT_EQ(ack.stream, stream);
    EXPECT_EQ(ZylDecodeStreamRef(ack.payload), accepts[0].stream);
    // A message larger than a frame is dropped: the broker keeps one far larger, the host told of the rest.
    const Bytes full = Pattern(5, 65536);
    Bytes huge = pdu(kData, stream, 5), over = pdu(kData, stream, 5, full);
    huge.resize(1 << 20, 1);
    over.push_back(0);
    for (const Bytes& body : {huge, over, pdu(kData, stream, 5, full)})
        EXPECT_EQ(c.Publish(topic, body), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, kData).size() == 4; }));
    EXPECT_EQ(a.Data(C, kData).back().payload, full);
    ASSERT_EQ(a.Count(ZYL_EVENT_DROPPED), 2);
    EXPECT_EQ(a.Events(ZYL_EVENT_DROPPED).back().text,
              "dropped a message of 65581 bytes on " + topic + ": larger than a frame can be (65580 bytes)");
    // What overtakes a missing frame is held within bounds; beyond them it is dropped, taken when resent.
    const std::string requests = ZylPduTopic(A, C, kReq);
    const Bytes kib = Pattern(0, 1024);
    EXPECT_EQ(c.Publish(requests, c.Open(kReq, 200)), 0);
    c.Agree(kReq, a);
    for (uint64_t sequence = 3; sequence <= 6; ++sequence) // the fourth is over the bytes
        EXPECT_EQ(c.Publish(requests, pdu(kReq, 200, sequence, kib)), 0);
    EXPECT_EQ(c.Publish(requests, pdu(kReq, 200, 7)), 0); // five ahead of the missing one
    EXPECT_EQ(c.Publish(requests, pdu(kReq, 200, 2)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, kReq).size() >= 4; }));
    RunFor({&a}, 200);
    EXPECT_EQ(a.Data(C, kReq).size(), 4u);
    EXPECT_EQ(a.Count(ZYL_EVENT_DROPPED), 3); // the overtaking ones, told once
    for (uint64_t sequence = 6; sequence <= 7; ++sequence)
        EXPECT_EQ(c.Publish(requests, pdu(kReq, 200, sequence)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.CommandsOf(C, kReq) == Range(2, 6); }));
    // A leftover of an older opening changes nothing; the closing ends the channel.
    EXPECT_EQ(c.Publish(topic, pdu(kData, stream - 1, 7)), 0);
    EXPECT_EQ(c.Publish(topic, c.Seal(kData, ZYL_FRAME_CLOSE, stream, 6, 0)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Count(DLL_P2P_ON_DISCONNECT, C, kData, 0) == 1; }));
    EXPECT_FALSE(a.m_host.IsChannelOpen(C, kData));
    // What comes on the closed stream after that is refused, not taken.
    EXPECT_EQ(c.Publish(topic, pdu(kData, stream, 7)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return c.Frames(ZYL_FRAME_RESET).size() == 2; }));
    EXPECT_EQ(c.Frames(ZYL_FRAME_RESET).back().stream, stream);
    EXPECT_EQ(a.Data(C, kData).size(), 4u);
    // While D's owner thread is busy, C's waiting messages are bounded too: three fit exactly.
    const std::string toD = ZylPduTopic(D, C, kReq);
    options.nBacklogBytes =
        3 * (ZYL_FRAME_HEADER_SIZE + ZYL_FRAME_SEAL_OVERHEAD + kib.size() + toD.size() + 256);
    CZylTestUser d(D, options);
    ASSERT_EQ(d.Connect(m_broker), "");
    c.To(D);
    EXPECT_EQ(c.Publish(toD, c.Open(kReq, 300)), 0);
    c.Agree(kReq, d);
    ASSERT_TRUE(RunUntil({&d}, [&] { return d.Count(DLL_P2P_ON_CONNECT, C) == 1; }));
    for (uint64_t sequence = 2; sequence <= 11; ++sequence)
        EXPECT_EQ(c.Publish(toD, pdu(kReq, 300, sequence, kib)), 0);
    // B's message, sent after the broker took all of C's, arrives after them: the fourth wake-up.
    CZylRawClient b(B, m_broker.Port());
    EXPECT_EQ(b.Publish(ZylPduTopic(D, B, 9), Bytes{1}), 0);
    uint64_t wakeups = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(5); wakeups < 4 && Clock::now() < deadline;) {
        uint64_t counter = 0;
        if (read(d.m_host.GetWakeFd(), &counter, sizeof counter) == sizeof counter)
            wakeups += counter;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(wakeups, 4u);
    d.Poll();
    EXPECT_EQ(d.Data(C, kReq).size(), 3u);
    ASSERT_EQ(d.Count(ZYL_EVENT_DROPPED), 1);
    EXPECT_EQ(d.Text(ZYL_EVENT_DROPPED), "dropped 7 message(s) of " + C + ": more than " +
                                             std::to_string(options.nBacklogBytes) +
                                             " bytes of its messages were waiting (its frames come again)");
    for (uint64_t sequence = 5; sequence <= 11; ++sequence) { // sent again, as a sender does
        EXPECT_EQ(c.Publish(toD, pdu(kReq, 300, sequence, kib)), 0);
        ASSERT_TRUE(RunUntil({&d}, [&] { return d.Data(C, kReq).size() == sequence - 1; }));
    }
}

// As "--zyl-host-child PORT CAFILE USER": a host to kill, with both channels open to $ZYL_TEST_PEER.
int main(int argc, char** argv) {
    if (argc < 5 || std::string(argv[1]) != "--zyl-host-child") {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    const std::string peer = std::getenv("ZYL_TEST_PEER");
    CZylMqttHost host;
    host.SetSecurity(Tls(argv[3], argv[4]));
    if (!host.Connect("127.0.0.1", std::atoi(argv[2]), argv[4], Password(argv[4])).empty())
        return 1;
    host.OpenChannel(peer, kReq);
    host.OpenChannel(peer, kData);
    for (;; host.Wait(50))
        host.Poll(nullptr);
}
