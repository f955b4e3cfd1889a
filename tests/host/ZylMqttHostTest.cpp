// Hosts talking through a real mosquitto on loopback: presence, the channel handshake, PDUs in
// order, the in-flight bound, the access list, and broker restarts in the middle of a stream.
#include "host/ZylMqttHost.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttKeys.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <unordered_set>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string A = "S1.1001";
const std::string B = "S1.1002";
const std::string C = "S1.1003";
const std::string D = "S1.1004";
// Broker accounts whose names are other spellings of B's user id.
const std::string kLowerB = "s1.1002";
const std::string kZeroB = "S1.01002";
const std::string kAdmin = "S9.9000"; // the broker's administrator: reads every topic

std::string Password(const std::string& user) {
    return "pw-" + user;
}

// A payload that tells which PDU it is and how long it should be.
Bytes Pattern(uint32_t index, size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(index * 31 + i * 7);
    if (size >= 4)
        for (int k = 0; k < 4; ++k)
            bytes[k] = static_cast<uint8_t>(index >> (24 - 8 * k));
    return bytes;
}

// TLS verified against that authority; the user's keys in the broker's folder, so that every
// login of a user has the same key pair, or a key pair of the login's own.
ZYLMQTTSECURITY Tls(const std::filesystem::path& ca, const std::string& user = {}) {
    ZYLMQTTSECURITY security;
    security.nTls = 1;
    security.sCaFile = ca.string();
    if (!user.empty())
        security.pKeyFolder = ca.parent_path().parent_path() / ("keys-" + user);
    return security;
}

ZYLMQTTOPTIONS QuickOptions() {
    ZYLMQTTOPTIONS options;
    options.nOfflineGraceMs = 800;
    options.nOpenTimeoutMs = 800;
    options.nRetransmitMs = 300;
    options.nConnectTimeoutMs = 3000;
    return options;
}

// One user: its host and every event it handed out, in order.
class CZylTestUser {
public:
    explicit CZylTestUser(std::string id, const ZYLMQTTOPTIONS& options = QuickOptions())
        : m_sId(std::move(id)), m_host(options) {}

    std::string Connect(const CZylLocalBroker& broker) {
        m_host.SetSecurity(Tls(broker.CaFile(), m_sKeys));
        return m_host.Connect("127.0.0.1", broker.TlsPort(), m_sId, Password(m_sId));
    }
    void Poll() {
        m_host.Poll([this](const ZYLHOSTEVENT& event) {
            m_vEvents.push_back(event);
            if (m_fnOnEvent)
                m_fnOnEvent(event);
        });
    }
    int Count(uint32_t kind, const std::string& peer = {}, int32_t channel = -1, int32_t status = -1) const {
        return static_cast<int>(std::count_if(m_vEvents.begin(), m_vEvents.end(), [&](const ZYLHOSTEVENT& e) {
            return e.kind == kind && (peer.empty() || e.peer == peer) &&
                   (channel < 0 || e.channel == channel) && (status < 0 || e.status == status);
        }));
    }
    std::vector<ZYLHOSTEVENT> Data(const std::string& peer, int32_t channel) const {
        std::vector<ZYLHOSTEVENT> data;
        for (const ZYLHOSTEVENT& e : m_vEvents)
            if (e.kind == DLL_P2P_ON_DATA && e.peer == peer && e.channel == channel)
                data.push_back(e);
        return data;
    }
    // Where the first event of that kind sits in the order, or -1.
    int IndexOf(uint32_t kind, const std::string& peer, int32_t channel = -1) const {
        for (size_t i = 0; i < m_vEvents.size(); ++i)
            if (m_vEvents[i].kind == kind && m_vEvents[i].peer == peer &&
                (channel < 0 || m_vEvents[i].channel == channel))
                return static_cast<int>(i);
        return -1;
    }

    std::string m_sId;
    std::string m_sKeys = m_sId; // whose key pair: the same for every login of the user
    CZylMqttHost m_host;
    std::vector<ZYLHOSTEVENT> m_vEvents;
    std::function<void(const ZYLHOSTEVENT&)> m_fnOnEvent; // what the user does with an event
};

// Polls the users (each on this thread) until the condition holds or the time is up.
bool RunUntil(std::initializer_list<CZylTestUser*> users, const std::function<bool()>& condition,
              int maxMs = 5000) {
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

void RunFor(std::initializer_list<CZylTestUser*> users, int ms) {
    RunUntil(
        users, [] { return false; }, ms);
}

void OpenBoth(CZylTestUser& a, CZylTestUser& b) {
    // As the plug-in does, open only to a user known to be online: B's "online" may still be on
    // its way to A when B's login returns.
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.m_host.IsOnline(b.m_sId); }));
    a.m_host.OpenChannel(b.m_sId, ZYL_CHANNEL_REQUEST);
    a.m_host.OpenChannel(b.m_sId, ZYL_CHANNEL_DATA);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.m_host.IsChannelOpen(b.m_sId, ZYL_CHANNEL_REQUEST) &&
               a.m_host.IsChannelOpen(b.m_sId, ZYL_CHANNEL_DATA) &&
               b.m_host.IsChannelOpen(a.m_sId, ZYL_CHANNEL_REQUEST) &&
               b.m_host.IsChannelOpen(a.m_sId, ZYL_CHANNEL_DATA);
    }));
}

// A bare libmosquitto client, to do what a host never does: forge, snoop.
class CZylRawClient {
public:
    explicit CZylRawClient(const std::string& user) {
        m_pMosq = mosquitto_new(user.c_str(), true, this);
        mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_username_pw_set(m_pMosq, user.c_str(), Password(user).c_str());
        mosquitto_connect_v5_callback_set(m_pMosq,
                                          [](mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
                                              auto* self = static_cast<CZylRawClient*>(obj);
                                              std::lock_guard lock(self->m_mutex);
                                              self->m_nConnack = rc;
                                              self->m_cv.notify_all();
                                          });
        mosquitto_publish_v5_callback_set(
            m_pMosq, [](mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
                auto* self = static_cast<CZylRawClient*>(obj);
                std::lock_guard lock(self->m_mutex);
                self->m_mAcks[mid] = reason;
                self->m_cv.notify_all();
            });
        mosquitto_subscribe_v5_callback_set(m_pMosq, [](mosquitto*, void* obj, int, int count,
                                                        const int* granted, const mosquitto_property*) {
            auto* self = static_cast<CZylRawClient*>(obj);
            std::lock_guard lock(self->m_mutex);
            self->m_vGranted.insert(self->m_vGranted.end(), granted, granted + count);
            self->m_cv.notify_all();
        });
        mosquitto_message_v5_callback_set(
            m_pMosq, [](mosquitto*, void* obj, const mosquitto_message* message, const mosquitto_property*) {
                auto* self = static_cast<CZylRawClient*>(obj);
                std::lock_guard lock(self->m_mutex);
                const auto* p = static_cast<const uint8_t*>(message->payload);
                self->m_vMessages.emplace_back(message->topic, Bytes(p, p + message->payloadlen));
            });
    }
    ~CZylRawClient() {
        mosquitto_disconnect(m_pMosq);
        mosquitto_loop_stop(m_pMosq, false);
        mosquitto_destroy(m_pMosq);
    }
    int Connect(int port) {
        if (mosquitto_connect(m_pMosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
            return -1;
        mosquitto_loop_start(m_pMosq);
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(3), [this] { return m_nConnack >= 0; });
        return m_nConnack;
    }
    // The broker's answer to a QoS 1 publish: 0, or a reason code such as 135 (not authorised).
    int Publish(const std::string& topic, const Bytes& body, bool retain = false) {
        int mid = 0;
        if (mosquitto_publish(m_pMosq, &mid, topic.c_str(), static_cast<int>(body.size()), body.data(), 1,
                              retain) != MOSQ_ERR_SUCCESS)
            return -1;
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(3), [&] { return m_mAcks.count(mid) > 0; });
        return m_mAcks.count(mid) ? m_mAcks[mid] : -1;
    }
    void Subscribe(const std::vector<std::string>& topics) {
        for (const std::string& topic : topics)
            mosquitto_subscribe(m_pMosq, nullptr, topic.c_str(), 1);
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(3), [&] { return m_vGranted.size() >= topics.size(); });
    }
    std::vector<std::string> Topics() {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> topics;
        for (const auto& [topic, body] : m_vMessages)
            topics.push_back(topic);
        return topics;
    }
    // The message bodies received so far.
    std::vector<Bytes> Bodies() {
        std::lock_guard lock(m_mutex);
        std::vector<Bytes> bodies;
        for (const auto& [topic, body] : m_vMessages)
            bodies.push_back(body);
        return bodies;
    }
    // The frames received so far, decoded, those of bundles included.
    std::vector<ZYLFRAME> Frames() {
        std::lock_guard lock(m_mutex);
        std::vector<ZYLFRAME> frames;
        for (const auto& [topic, body] : m_vMessages)
            if (const auto parts = ZylSplitMessage(body.data(), body.size(), 1))
                for (const ZYLFRAMEREF& part : *parts)
                    if (auto frame = ZylDecodeFrame(part.data, part.length))
                        frames.push_back(*frame);
        return frames;
    }

private:
    mosquitto* m_pMosq;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nConnack = -1;
    std::map<int, int> m_mAcks;
    std::vector<int> m_vGranted;
    std::vector<std::pair<std::string, Bytes>> m_vMessages;
};

// A peer's host by hand, over a bare client: its key published, its openings signed and its
// frames sealed as a host does, so that a test can send what a host never sends.
class CZylHandPeer {
public:
    CZylHandPeer(CZylRawClient& client, std::string self, std::string peer)
        : m_client(client), m_sSelf(std::move(self)), m_sPeer(std::move(peer)) {
        m_keys.Open({});
        const ZYLKEY& key = m_keys.PublicKey();
        EXPECT_EQ(m_client.Publish(ZylKeyTopic(m_sSelf), Bytes(key.begin(), key.end()), true), 0);
    }
    // Another peer: the openings and keys start again.
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
            for (const ZYLFRAMEREF& part : Parts())
                if (auto f = ZylDecodeFrame(part.data, part.length);
                    f && part.channel == channel && f->kind == ZYL_FRAME_ACCEPT &&
                    ZylDecodeStreamRef(f->payload) == m_mOpened[channel])
                    accept = *f;
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
    // The frames of a message (a lone one on that channel) with their channels, DATA opened.
    std::vector<std::pair<int32_t, ZYLFRAME>> Entries(const Bytes& body, int32_t channel = ZYL_CHANNEL_DATA) {
        std::vector<std::pair<int32_t, ZYLFRAME>> frames;
        const auto split = ZylSplitMessage(body.data(), body.size(), channel);
        for (const ZYLFRAMEREF& part : split ? *split : std::vector<ZYLFRAMEREF>{}) {
            ZYLFRAME frame = ZylDecodeFrame(part.data, part.length).value_or(ZYLFRAME{});
            if (frame.kind == ZYL_FRAME_DATA) {
                EXPECT_TRUE(ZylOpenFrame(m_mKeys[part.channel].second, frame));
            }
            frames.emplace_back(part.channel, frame);
        }
        return frames;
    }

private:
    std::vector<ZYLFRAMEREF> Parts() {
        m_vBodies = m_client.Bodies();
        std::vector<ZYLFRAMEREF> parts;
        for (const Bytes& body : m_vBodies)
            if (auto split = ZylSplitMessage(body.data(), body.size(), 1))
                parts.insert(parts.end(), split->begin(), split->end());
        return parts;
    }

    CZylRawClient& m_client;
    std::string m_sSelf, m_sPeer;
    CZylKeyStore m_keys;
    std::map<int32_t, ZYLEPHEMERAL> m_mHalves;
    std::map<int32_t, uint64_t> m_mOpened;                // the stream of our last opening
    std::map<int32_t, std::pair<ZYLKEY, ZYLKEY>> m_mKeys; // to the peer, from it
    std::vector<Bytes> m_vBodies;
};

// The test program itself as a separate host process (see main.cpp), to be killed.
class CZylChildHost {
public:
    CZylChildHost(const CZylLocalBroker& broker, const std::string& user, const std::string& peer) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        const std::string port = std::to_string(broker.TlsPort());
        const std::string ca = broker.CaFile().string();
        const std::string password = Password(user);
        std::vector<const char*> argv{"/proc/self/exe", "--zyl-host-child", ca.c_str(),   port.c_str(),
                                      user.c_str(),     password.c_str(),   peer.c_str(), nullptr};
        if (posix_spawn(&m_nPid, "/proc/self/exe", &actions, nullptr, const_cast<char**>(argv.data()),
                        environ) != 0)
            m_nPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_nOut = fds[0];
        fcntl(m_nOut, F_SETFL, O_NONBLOCK);
    }
    ~CZylChildHost() {
        Kill();
        if (m_nOut >= 0)
            close(m_nOut);
    }
    // What it printed so far.
    const std::string& Output() {
        char buffer[256];
        ssize_t n;
        while ((n = read(m_nOut, buffer, sizeof buffer)) > 0)
            m_sOutput.append(buffer, static_cast<size_t>(n));
        return m_sOutput;
    }
    void Kill() {
        if (m_nPid <= 0)
            return;
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    pid_t m_nPid = -1;
    int m_nOut = -1;
    std::string m_sOutput;
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
        if (HasFailure()) {
            const std::string log = m_broker.Log();
            std::fprintf(stderr, "broker log (end):\n%s\n",
                         log.substr(log.size() > 3000 ? log.size() - 3000 : 0).c_str());
        }
    }

    CZylLocalBroker m_broker;
};

} // namespace

TEST_F(ZylMqttHostTest, LoginErrorsAreClearAndLeaveTheHostUsable) {
    CZylMqttHost host(QuickOptions());
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), A, "wrong"), "connection refused: not authorised");
    EXPECT_FALSE(host.IsConnected());
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), "S9.9999", "any"),
              "connection refused: not authorised");

    const int closed = ZylFreeLoopbackPort();
    const std::string unreachable = host.Connect("127.0.0.1", closed, A, Password(A));
    EXPECT_EQ(unreachable.rfind("cannot reach the broker at 127.0.0.1:" + std::to_string(closed) + ": ", 0),
              0u)
        << unreachable;
    EXPECT_NE(unreachable.find("refused"), std::string::npos) << unreachable;

    EXPECT_NE(host.Connect("127.0.0.1", m_broker.Port(), "S1/1001", "x").find("cannot be a broker user name"),
              std::string::npos);
    // The broker would take it, but the peers would not: only one spelling speaks for a user.
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), kLowerB, Password(kLowerB)),
              "the user id \"s1.1002\" is written S1.1002, and only that spelling speaks for it");
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), A, Password(A)), "");
    EXPECT_TRUE(host.IsConnected());
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), A, Password(A)), "already connected as " + A);
    host.Disconnect();

    // Over TLS the broker's certificate must be signed by the authority given, for the host name
    // the login went to; a login that is refused says so in one line and sends no password.
    const std::string tlsAt = "refused the broker at 127.0.0.1:" + std::to_string(m_broker.TlsPort()) +
                              ": its TLS certificate does not verify against ";
    const auto other = m_broker.Folder() / "other-ca";
    ASSERT_EQ(ZylMakeBrokerCertificate(other, {"127.0.0.1"}), "");
    host.SetSecurity(Tls(other / "ca.crt"));
    const std::string wrongCa = host.Connect("127.0.0.1", m_broker.TlsPort(), A, Password(A));
    EXPECT_EQ(wrongCa.rfind(tlsAt + (other / "ca.crt").string() + " for that host name (", 0), 0u) << wrongCa;
    host.SetSecurity({}); // port 8883 alone turns TLS on, verified against the system's authorities
    const ZYLBROKERADDRESS tlsPort{"127.0.0.1", ZYL_MQTT_TLS_PORT};
    EXPECT_NE(host.Connect({tlsPort}, A, Password(A)).find(":8883: "), std::string::npos);
    host.SetSecurity(Tls(m_broker.CaFile()));
    EXPECT_EQ(host.Connect("127.0.0.1", m_broker.TlsPort(), A, Password(A)), "");
}

TEST_F(ZylMqttHostTest, LoginNamesWhatTheBrokerRefuses) {
    const std::string full = ZylMqttAclText();
    auto without = [&](const std::string& line) {
        std::string text = full;
        text.erase(text.find(line), line.size() + 1);
        return text;
    };
    const std::string took = "the broker at 127.0.0.1:" + std::to_string(m_broker.Port()) +
                             " took the login but does not pass " + A + "'s ";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"pattern write zylfs/presence/%u",
         "the broker's access list does not let " + A + " announce itself"},
        {"pattern write zylfs/pdu/+/%u/+", "the broker's access list does not let " + A + " send messages"},
        {"pattern read zylfs/pdu/%u/+/+", took + "messages back: check its access list"},
        {"pattern read zylfs/presence/+", took + "presence back: check its access list"},
        {"pattern write zylfs/key/%u", "the broker's access list does not let " + A + " publish its key"},
        {"pattern read zylfs/key/+", took + "key back: check its access list"}};
    for (const auto& [line, error] : cases) {
        m_broker.Stop();
        m_broker.SetAccessList(without(line));
        ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
        ZYLMQTTOPTIONS options = QuickOptions();
        options.nConnectTimeoutMs = 1000;
        CZylMqttHost host(options);
        EXPECT_EQ(host.Connect("127.0.0.1", m_broker.Port(), A, Password(A)), error) << "without " << line;
        EXPECT_FALSE(host.IsConnected());
    }
}

TEST_F(ZylMqttHostTest, PresenceIsKnownAtLoginAndFollowsLogins) {
    CZylTestUser a(A), b(B), c(C);
    ASSERT_EQ(a.Connect(m_broker), "");
    EXPECT_TRUE(a.m_host.GetOnlineUsers().empty());
    ASSERT_EQ(b.Connect(m_broker), "");
    // B logs in after A: A's retained presence is known when Connect returns.
    EXPECT_TRUE(b.m_host.IsOnline(A));
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Count(DLL_P2P_ON_USER_ONLINE, B) == 1; }));
    EXPECT_FALSE(a.m_host.IsOnline(C));

    // A logout is told at once, not after the grace time a will gets.
    b.m_host.Disconnect();
    ASSERT_TRUE(RunUntil(
        {&a}, [&] { return a.Count(DLL_P2P_ON_USER_OFFLINE, B) == 1; }, QuickOptions().nOfflineGraceMs / 2));
    EXPECT_FALSE(a.m_host.IsOnline(B));
    // The retained "offline" tells a later login that B is away.
    ASSERT_EQ(c.Connect(m_broker), "");
    EXPECT_TRUE(c.m_host.IsOnline(A));
    EXPECT_FALSE(c.m_host.IsOnline(B));
    RunFor({&c}, 100);
    EXPECT_EQ(c.Count(DLL_P2P_ON_USER_ONLINE, A), 1);
    EXPECT_EQ(c.Count(DLL_P2P_ON_USER_ONLINE, B), 0);
}

TEST_F(ZylMqttHostTest, ChannelConnectsOnlyWhenBothHostsHaveItOpen) {
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.m_host.IsOnline(B); }));
    const uint8_t byte = 1;
    EXPECT_EQ(a.m_host.Send(B, ZYL_CHANNEL_REQUEST, 1, &byte, 1), -1); // not open yet

    a.m_host.OpenChannel(B, ZYL_CHANNEL_REQUEST);
    RunFor({&a}, 300); // B's host does not run: no answer, no connection
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT), 0);
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_REQUEST));
    EXPECT_EQ(a.m_host.Send(B, ZYL_CHANNEL_REQUEST, 1, &byte, 1), -1);

    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.Count(DLL_P2P_ON_CONNECT, B, ZYL_CHANNEL_REQUEST, 0) == 1 &&
               b.Count(DLL_P2P_ON_CONNECT, A, ZYL_CHANNEL_REQUEST, 0) == 1;
    }));
    // B's host accepted before A heard of it.
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));
    a.m_host.OpenChannel(B, ZYL_CHANNEL_REQUEST); // open already: nothing
    b.m_host.OpenChannel(A, ZYL_CHANNEL_REQUEST);

    // Both open the other channel at the same moment: one connection, heard once on each side.
    a.m_host.OpenChannel(B, ZYL_CHANNEL_DATA);
    b.m_host.OpenChannel(A, ZYL_CHANNEL_DATA);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA) && b.m_host.IsChannelOpen(A, ZYL_CHANNEL_DATA);
    }));
    RunFor({&a, &b}, 300);
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT), 2);
    EXPECT_EQ(b.Count(DLL_P2P_ON_CONNECT), 2);
    EXPECT_EQ(a.Count(DLL_P2P_ON_DISCONNECT) + b.Count(DLL_P2P_ON_DISCONNECT), 0);
    ASSERT_EQ(a.m_host.Send(B, ZYL_CHANNEL_DATA, 7, &byte, 1), 1);
    ASSERT_EQ(b.m_host.Send(A, ZYL_CHANNEL_DATA, 8, &byte, 1), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.Data(B, ZYL_CHANNEL_DATA).size() == 1 && b.Data(A, ZYL_CHANNEL_DATA).size() == 1;
    }));

    // Closing one channel closes it on both sides and leaves the other open.
    b.m_host.CloseChannel(A, ZYL_CHANNEL_REQUEST);
    EXPECT_EQ(b.m_host.Send(A, ZYL_CHANNEL_REQUEST, 1, &byte, 1), -1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.Count(DLL_P2P_ON_DISCONNECT, B, ZYL_CHANNEL_REQUEST, 0) == 1 &&
               b.Count(DLL_P2P_ON_DISCONNECT, A, ZYL_CHANNEL_REQUEST, 0) == 1;
    }));
    EXPECT_EQ(a.m_host.Send(B, ZYL_CHANNEL_REQUEST, 1, &byte, 1), -1);
    EXPECT_TRUE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));
    EXPECT_EQ(a.m_host.Send(B, ZYL_CHANNEL_DATA, 9, &byte, 1), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.Data(A, ZYL_CHANNEL_DATA).size() == 2; }));

    // And it opens again.
    a.m_host.OpenChannel(B, ZYL_CHANNEL_REQUEST);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return a.Count(DLL_P2P_ON_CONNECT, B, ZYL_CHANNEL_REQUEST, 0) == 2 &&
               b.Count(DLL_P2P_ON_CONNECT, A, ZYL_CHANNEL_REQUEST, 0) == 2;
    }));
}

TEST_F(ZylMqttHostTest, OpeningFailsForOfflineAndSilentPeers) {
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.Connect(m_broker), "");
    a.m_host.OpenChannel(C, ZYL_CHANNEL_REQUEST); // never logged in
    a.m_host.OpenChannel(A, ZYL_CHANNEL_REQUEST); // oneself
    a.Poll();
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, ZYL_CHANNEL_REQUEST, ZYL_OPEN_OFFLINE), 1);
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, A, ZYL_CHANNEL_REQUEST, ZYL_OPEN_OFFLINE), 1);

    // B is online but its host does not answer in time.
    ASSERT_EQ(b.Connect(m_broker), "");
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.m_host.IsOnline(B); }));
    a.m_host.OpenChannel(B, ZYL_CHANNEL_DATA);
    ASSERT_TRUE(RunUntil(
        {&a}, [&] { return a.Count(DLL_P2P_ON_CONNECT, B) == 1; }, 3000));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, ZYL_CHANNEL_DATA, ZYL_OPEN_NO_ANSWER), 1);
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));

    // When B's host catches up, its late acceptance is turned down and it closes again.
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.Count(DLL_P2P_ON_DISCONNECT, A, ZYL_CHANNEL_DATA) == 1; }));
    EXPECT_EQ(b.IndexOf(DLL_P2P_ON_CONNECT, A, ZYL_CHANNEL_DATA) <
                  b.IndexOf(DLL_P2P_ON_DISCONNECT, A, ZYL_CHANNEL_DATA),
              true);
    EXPECT_FALSE(b.m_host.IsChannelOpen(A, ZYL_CHANNEL_DATA));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, ZYL_CHANNEL_DATA, ZYL_OPEN_DONE), 0);
}

TEST_F(ZylMqttHostTest, PdusArriveInOrderBothWaysAndTheBrokerReadsNoneOfThem) {
    // The broker's administrator reads every topic.
    m_broker.Stop();
    m_broker.SetAccessList(ZylMqttAclText() + "user " + kAdmin + "\ntopic read #\n");
    ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    CZylRawClient admin(kAdmin);
    ASSERT_EQ(admin.Connect(m_broker.Port()), 0);
    admin.Subscribe({"#"});
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(a, b);

    // A file of known random bytes under a known name (as text and as the PDUs write it), in
    // PDUs of several sizes on both channels; B answers on one.
    std::mt19937 random(1207);
    Bytes file(400 * 1500);
    for (uint8_t& byte : file)
        byte = static_cast<uint8_t>(random());
    const std::string name = "Quarterly salaries 2026.xlsx";
    Bytes names(name.begin(), name.end());
    for (const char c : name)
        names.insert(names.end(), {static_cast<uint8_t>(c), 0});
    auto payload = [&](uint32_t i) {
        const auto at = file.begin() + i * 1500;
        return i == 0 ? names : Bytes(at, at + (i * 37) % 1500);
    };
    const uint32_t count = 400;
    for (uint32_t i = 0; i < count; ++i) {
        const Bytes bytes = payload(i);
        const int32_t channel = i % 3 == 0 ? ZYL_CHANNEL_REQUEST : ZYL_CHANNEL_DATA;
        ASSERT_EQ(a.m_host.Send(B, channel, 0x10000 + i, bytes.data(), static_cast<int32_t>(bytes.size())),
                  1);
        if (i % 4 == 0) {
            ASSERT_EQ(
                b.m_host.Send(A, ZYL_CHANNEL_REQUEST, i, bytes.data(), static_cast<int32_t>(bytes.size())),
                1);
        }
    }
    ASSERT_TRUE(RunUntil({&a, &b}, [&] {
        return b.Data(A, ZYL_CHANNEL_REQUEST).size() + b.Data(A, ZYL_CHANNEL_DATA).size() == count &&
               a.Data(B, ZYL_CHANNEL_REQUEST).size() == count / 4;
    }));
    RunFor({&a, &b}, 100); // and nothing more (no duplicates)
    for (const int32_t channel : {ZYL_CHANNEL_REQUEST, ZYL_CHANNEL_DATA}) {
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < count; ++i)
            if ((i % 3 == 0) == (channel == ZYL_CHANNEL_REQUEST))
                expected.push_back(i);
        const auto data = b.Data(A, channel);
        ASSERT_EQ(data.size(), expected.size());
        for (size_t k = 0; k < data.size(); ++k) {
            ASSERT_EQ(data[k].command, 0x10000 + expected[k]);
            ASSERT_EQ(data[k].payload, payload(expected[k]));
        }
    }
    const auto back = a.Data(B, ZYL_CHANNEL_REQUEST);
    ASSERT_EQ(back.size(), count / 4);
    for (uint32_t k = 0; k < back.size(); ++k)
        ASSERT_EQ(back[k].command, 4 * k);
    EXPECT_EQ(a.m_host.GetBytesInFlight(B), 0u); // everything acknowledged

    // The administrator saw all of it go by, and reads no 8 bytes of the file in a row, nor the name.
    std::unordered_set<uint64_t> windows;
    uint64_t window = 0;
    for (size_t i = 0; i < file.size(); ++i)
        if (window = window << 8 | file[i]; i >= 7)
            windows.insert(window);
    const auto topics = admin.Topics();
    const auto bodies = admin.Bodies();
    size_t carried = 0;
    for (size_t m = 0; m < std::min(topics.size(), bodies.size()); ++m) {
        const Bytes& body = bodies[m];
        carried += topics[m].rfind("zylfs/pdu/", 0) == 0 ? body.size() : 0;
        for (size_t i = 0; i < body.size(); ++i)
            if (window = window << 8 | body[i]; i >= 7) {
                ASSERT_EQ(windows.count(window), 0u) << topics[m] << " at " << i;
            }
        for (const Bytes& text :
             {Bytes(name.begin(), name.end()), Bytes(names.begin() + name.size(), names.end())})
            EXPECT_EQ(std::search(body.begin(), body.end(), text.begin(), text.end()), body.end())
                << topics[m];
    }
    EXPECT_GT(carried, file.size() / 3);
}

TEST_F(ZylMqttHostTest, AChangedKeyIsRefusedUntilTrusted) {
    CZylTestUser a(A), b(B), other(B);
    other.m_sKeys = "another device"; // B's account, another key pair
    ASSERT_EQ(a.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(a, b);
    const ZYLKEY first = b.m_host.Keys().PublicKey();
    EXPECT_EQ(a.m_host.Keys().Pinned(B), first); // on first sight
    b.m_host.Disconnect();
    ASSERT_EQ(other.Connect(m_broker), "");
    const ZYLKEY now = other.m_host.Keys().PublicKey();
    ASSERT_TRUE(RunUntil({&a, &other},
                         [&] { return a.Count(ZYL_EVENT_KEY_REFUSED, B) == 1 && a.m_host.IsOnline(B); }));
    const std::string refusal = B + "'s key has changed (it was " + ZylKeyFingerprint(first) +
                                ", it is now " + ZylKeyFingerprint(now) +
                                "): its channels are refused until you trust the new " + "key (zylfs trust " +
                                B + ")";
    EXPECT_EQ(a.m_vEvents[a.IndexOf(ZYL_EVENT_KEY_REFUSED, B)].text, refusal);
    EXPECT_EQ(a.m_host.KeyRefusal(B), refusal);
    // Neither side's opening gets through, and nothing of the new key is trusted by a restart.
    a.m_host.OpenChannel(B, ZYL_CHANNEL_REQUEST);
    other.m_host.OpenChannel(A, ZYL_CHANNEL_DATA);
    ASSERT_TRUE(RunUntil({&a, &other}, [&] { return other.Count(DLL_P2P_ON_CONNECT, A) == 1; }));
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, B, ZYL_CHANNEL_REQUEST, ZYL_OPEN_REFUSED), 1);
    EXPECT_EQ(other.Count(DLL_P2P_ON_CONNECT, A, ZYL_CHANNEL_DATA, ZYL_OPEN_NO_ANSWER), 1);
    EXPECT_FALSE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));
    CZylKeyStore pins;
    ASSERT_EQ(pins.Open(m_broker.Folder() / ("keys-" + A), false), "");
    std::optional<ZYLKEY> changed;
    EXPECT_EQ(pins.Pinned(B, &changed), first);
    EXPECT_EQ(changed, now);
    EXPECT_TRUE(pins.Trust(B)); // as zylfs trust does, in another process
    EXPECT_EQ(a.m_host.KeyRefusal(B), "");
    OpenBoth(a, other);
}

TEST_F(ZylMqttHostTest, WhatOneTurnSendsTravelsTogetherWithTheAcknowledgements) {
    ZYLMQTTOPTIONS options = QuickOptions();
    options.nRetransmitMs = 10000; // C acknowledges by hand: nothing is sent twice meanwhile
    CZylTestUser a(A, options);
    ASSERT_EQ(a.Connect(m_broker), "");
    // C is a bare client that writes its messages by hand and reads A's as they are.
    CZylRawClient c(C);
    ASSERT_EQ(c.Connect(m_broker.Port()), 0);
    c.Subscribe({ZylPduSubscription(C)});
    CZylHandPeer hand(c, C, A);
    // A answers every PDU at once, as a plug-in answers a request.
    a.m_fnOnEvent = [&](const ZYLHOSTEVENT& e) {
        if (e.kind == DLL_P2P_ON_DATA) {
            EXPECT_EQ(a.m_host.Send(C, e.channel, e.command + 1000, e.payload.data(),
                                    static_cast<int32_t>(e.payload.size())),
                      1);
        }
    };
    auto entries = [&](const Bytes& body, int32_t channel = ZYL_CHANNEL_DATA) {
        return hand.Entries(body, channel);
    };
    auto bundle = [](const std::vector<std::pair<int32_t, Bytes>>& frames) {
        Bytes body;
        for (const auto& [channel, frame] : frames)
            ZylAppendToBundle(body, channel, frame);
        return body;
    };
    auto pdu = [&](uint64_t stream, uint64_t sequence, uint32_t command) {
        return hand.Seal(stream == 100 ? ZYL_CHANNEL_REQUEST : ZYL_CHANNEL_DATA, ZYL_FRAME_DATA, stream,
                         sequence, command, Bytes{static_cast<uint8_t>(command)});
    };
    const std::string topic = ZylPduTopic(A, C, ZYL_CHANNEL_REQUEST);

    // One message opens both channels. A accepts both in one message, the acceptances before the
    // acknowledgements that name the streams they open.
    ASSERT_EQ(c.Publish(topic, bundle({{ZYL_CHANNEL_REQUEST, hand.Open(ZYL_CHANNEL_REQUEST, 100)},
                                       {ZYL_CHANNEL_DATA, hand.Open(ZYL_CHANNEL_DATA, 200)}})),
              0);
    hand.Agree(ZYL_CHANNEL_REQUEST, a);
    hand.Agree(ZYL_CHANNEL_DATA, a);
    RunFor({&a}, 100);
    ASSERT_EQ(c.Bodies().size(), 1u);
    const auto opened = entries(c.Bodies()[0]);
    ASSERT_EQ(opened.size(), 4u);
    std::map<int32_t, uint64_t> streams; // A's, per channel
    for (size_t i = 0; i < 2; ++i) {
        const auto& [channel, frame] = opened[i];
        EXPECT_EQ(frame.kind, ZYL_FRAME_ACCEPT);
        EXPECT_EQ(ZylDecodeStreamRef(frame.payload), channel == ZYL_CHANNEL_REQUEST ? 100u : 200u);
        streams[channel] = frame.stream;
        const auto& [ackChannel, ack] = opened[i + 2];
        EXPECT_EQ(ack.kind, ZYL_FRAME_ACK);
        EXPECT_EQ(ackChannel, channel);
        EXPECT_EQ(ack.sequence, 1u);
    }
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, -1, ZYL_OPEN_DONE), 2);

    // Three PDUs in one message are taken in order; the three answers and the acknowledgements of
    // what came in leave in one message: each stream's frames in order, then the acknowledgements.
    ASSERT_EQ(c.Publish(topic, bundle({{ZYL_CHANNEL_REQUEST, pdu(100, 2, 1)},
                                       {ZYL_CHANNEL_DATA, pdu(200, 2, 2)},
                                       {ZYL_CHANNEL_REQUEST, pdu(100, 3, 3)}})),
              0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return c.Bodies().size() >= 2; }));
    RunFor({&a}, 100);
    ASSERT_EQ(c.Bodies().size(), 2u);
    std::vector<uint32_t> delivered;
    for (const ZYLHOSTEVENT& e : a.m_vEvents)
        if (e.kind == DLL_P2P_ON_DATA)
            delivered.push_back(e.command);
    EXPECT_EQ(delivered, (std::vector<uint32_t>{1, 2, 3}));
    const auto answered = entries(c.Bodies()[1]);
    const std::vector<std::tuple<int32_t, uint8_t, uint64_t, uint32_t>> expected{
        {ZYL_CHANNEL_REQUEST, ZYL_FRAME_DATA, 2, 1001},
        {ZYL_CHANNEL_REQUEST, ZYL_FRAME_DATA, 3, 1003},
        {ZYL_CHANNEL_DATA, ZYL_FRAME_DATA, 2, 1002},
        {ZYL_CHANNEL_REQUEST, ZYL_FRAME_ACK, 3, 0},
        {ZYL_CHANNEL_DATA, ZYL_FRAME_ACK, 2, 0}};
    ASSERT_EQ(answered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [channel, frame] = answered[i];
        EXPECT_EQ(std::make_tuple(channel, frame.kind, frame.sequence, frame.command), expected[i]) << i;
        EXPECT_EQ(frame.stream, frame.kind == ZYL_FRAME_ACK ? (channel == ZYL_CHANNEL_REQUEST ? 100u : 200u)
                                                            : streams[channel]);
    }

    // C acknowledges both streams in one message, so that A does not send anything again.
    ASSERT_EQ(c.Publish(topic, bundle({{ZYL_CHANNEL_REQUEST,
                                        hand.Ack(ZYL_CHANNEL_REQUEST, streams[ZYL_CHANNEL_REQUEST], 3, 100)},
                                       {ZYL_CHANNEL_DATA,
                                        hand.Ack(ZYL_CHANNEL_DATA, streams[ZYL_CHANNEL_DATA], 2, 200)}})),
              0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.m_host.GetBytesInFlight(C) == 0; }));

    ASSERT_EQ(c.Publish(topic, pdu(100, 4, 4)), 0); // a lone frame, as an older host sends
    ASSERT_TRUE(RunUntil({&a}, [&] { return c.Bodies().size() == 3; }));
    EXPECT_EQ(entries(c.Bodies()[2], ZYL_CHANNEL_REQUEST).front().second.command, 1004u);

    // A long turn leaves in several messages, each within what a frame may be (the most a host
    // asks the broker to send it), in order; a PDU that fills a frame travels alone.
    const size_t before = c.Bodies().size();
    const Bytes piece = Pattern(7, 7168);
    for (uint32_t i = 0; i < 40; ++i)
        ASSERT_EQ(a.m_host.Send(C, ZYL_CHANNEL_DATA, i, piece.data(), static_cast<int32_t>(piece.size())), 1);
    const Bytes full = Pattern(8, ZYL_FRAME_MAX_PAYLOAD);
    ASSERT_EQ(a.m_host.Send(C, ZYL_CHANNEL_DATA, 40, full.data(), static_cast<int32_t>(full.size())), 1);
    auto sent = [&] {
        std::vector<ZYLFRAME> frames;
        const auto bodies = c.Bodies();
        for (size_t i = before; i < bodies.size(); ++i)
            for (const auto& [channel, frame] : entries(bodies[i]))
                frames.push_back(frame);
        return frames;
    };
    ASSERT_TRUE(RunUntil({&a}, [&] { return sent().size() == 41; }));
    const auto bodies = c.Bodies();
    EXPECT_GT(bodies.size() - before, 5u);
    EXPECT_LT(bodies.size() - before, 20u);
    for (size_t i = before; i < bodies.size(); ++i)
        EXPECT_LE(bodies[i].size(), ZYL_FRAME_MAX_SIZE);
    EXPECT_EQ(bodies.back().size(), ZYL_FRAME_MAX_SIZE);
    EXPECT_EQ(bodies.back()[0], ZYL_FRAME_VERSION);
    const auto frames = sent();
    for (uint32_t i = 0; i < 41; ++i) {
        EXPECT_EQ(frames[i].sequence, i + 3);
        EXPECT_EQ(frames[i].command, i);
    }
    EXPECT_EQ(frames[40].payload, full);
}

TEST_F(ZylMqttHostTest, BurstAboveTheBoundIsRefusedThenArrivesInOrder) {
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(a, b);

    // B's host does not run, so nothing is acknowledged: the bound of 1 MiB stops the 65th block.
    const size_t block = 16 << 10;
    uint32_t sent = 0;
    while (sent < 100) {
        const Bytes payload = Pattern(sent, block);
        const int32_t taken =
            a.m_host.Send(B, ZYL_CHANNEL_DATA, sent, payload.data(), static_cast<int32_t>(block));
        if (taken == 0)
            break;
        ASSERT_EQ(taken, 1);
        ++sent;
    }
    EXPECT_EQ(sent, 64u);
    EXPECT_EQ(a.m_host.GetBytesInFlight(B), size_t{1} << 20);
    // The other channel to the same user shares the bound; a small PDU goes nowhere either.
    const uint8_t byte = 0;
    EXPECT_EQ(a.m_host.Send(B, ZYL_CHANNEL_REQUEST, 1, &byte, 1), 0);

    const uint32_t total = 256; // 4 MiB
    int refusals = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (sent < total && Clock::now() < deadline) {
        const Bytes payload = Pattern(sent, block);
        const int32_t taken =
            a.m_host.Send(B, ZYL_CHANNEL_DATA, sent, payload.data(), static_cast<int32_t>(block));
        ASSERT_LE(a.m_host.GetBytesInFlight(B), size_t{1} << 20);
        if (taken == 1) {
            ++sent;
        } else {
            ASSERT_EQ(taken, 0);
            ++refusals;
            RunFor({&a, &b}, 2);
        }
    }
    ASSERT_EQ(sent, total);
    EXPECT_GT(refusals, 1);
    ASSERT_TRUE(RunUntil(
        {&a, &b}, [&] { return b.Data(A, ZYL_CHANNEL_DATA).size() == total; }, 10000));
    const auto data = b.Data(A, ZYL_CHANNEL_DATA);
    for (uint32_t i = 0; i < total; ++i) {
        ASSERT_EQ(data[i].command, i);
        ASSERT_EQ(data[i].payload, Pattern(i, block)) << i;
    }
}

namespace {

// A steady stream from A to B while the broker goes away and comes back.
void StreamThroughBrokerRestart(CZylLocalBroker& broker, bool kill) {
    ZYLMQTTOPTIONS options = QuickOptions();
    options.nOfflineGraceMs = 3000;
    CZylTestUser a(A, options), b(B, options);
    ASSERT_EQ(a.Connect(broker), "");
    ASSERT_EQ(b.Connect(broker), "");
    OpenBoth(a, b);

    const uint32_t total = 2000;
    const size_t size = 1024;
    uint32_t sent = 0;
    bool restarted = false;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (b.Data(A, ZYL_CHANNEL_DATA).size() < total && Clock::now() < deadline) {
        if (sent >= 700 && !restarted) {
            if (kill)
                broker.Kill();
            else
                broker.Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ASSERT_TRUE(broker.Start()) << broker.Error();
            restarted = true;
        }
        bool refused = false;
        for (int burst = 0; burst < 20 && sent < total && !refused; ++burst) {
            const Bytes payload = Pattern(sent, size);
            if (a.m_host.Send(B, ZYL_CHANNEL_DATA, sent, payload.data(), static_cast<int32_t>(size)) == 1)
                ++sent;
            else
                refused = true;
        }
        RunFor({&a, &b}, refused ? 5 : 0);
    }
    const auto data = b.Data(A, ZYL_CHANNEL_DATA);
    ASSERT_EQ(data.size(), total);
    for (uint32_t i = 0; i < total; ++i) {
        ASSERT_EQ(data[i].command, i) << "out of order or duplicated";
        ASSERT_EQ(data[i].payload, Pattern(i, size));
    }
    RunFor({&a, &b}, 200);
    EXPECT_EQ(b.Data(A, ZYL_CHANNEL_DATA).size(), total);
    // The bursts went in bundles, and what the broker lost with them was sent again.
    const ZYLMQTTSTATS& stats = a.m_host.GetStats();
    EXPECT_LT(stats.nMessagesSent * 4, stats.nFramesSent);
    EXPECT_GT(stats.nFramesResent, 0u);
    EXPECT_GE(b.m_host.GetStats().nFramesReceived, total);
    // The users never went away for each other: the channels stayed up.
    EXPECT_GE(a.Count(ZYL_EVENT_BROKER_DOWN), 1);
    EXPECT_GE(a.Count(ZYL_EVENT_BROKER_UP), 1);
    for (const CZylTestUser* user : {&a, &b}) {
        EXPECT_EQ(user->Count(DLL_P2P_ON_DISCONNECT), 0) << user->m_sId;
        EXPECT_EQ(user->Count(DLL_P2P_ON_USER_OFFLINE), 0) << user->m_sId;
    }
    EXPECT_TRUE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));
    // The stream goes on after the restart.
    const uint8_t byte = 5;
    ASSERT_EQ(b.m_host.Send(A, ZYL_CHANNEL_REQUEST, 77, &byte, 1), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Data(B, ZYL_CHANNEL_REQUEST).size() == 1; }));
}

} // namespace

TEST_F(ZylMqttHostTest, BrokerStoppedMidStreamLosesAndRepeatsNothing) {
    StreamThroughBrokerRestart(m_broker, false);
}

TEST_F(ZylMqttHostTest, PersistentBrokerStoppedMidStreamLosesAndRepeatsNothing) {
    // The wills it publishes on the way out come back as retained presence after the restart.
    m_broker.Stop();
    m_broker.SetPersistence(true);
    ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    StreamThroughBrokerRestart(m_broker, false);
}

TEST_F(ZylMqttHostTest, BrokerKilledMidStreamLosesAndRepeatsNothing) {
    StreamThroughBrokerRestart(m_broker, true);
}

TEST_F(ZylMqttHostTest, BrokerListMovesToTheNextNodeWhenOneGoesAway) {
    // Two nodes of a cluster (not bridged here: each user is seen only where it logged in).
    CZylLocalBroker second;
    for (const std::string& user : {A, B})
        second.AddUser(user, Password(user));
    ASSERT_TRUE(second.Start()) << second.Error();
    const ZYLBROKERADDRESS gone{"127.0.0.1", ZylFreeLoopbackPort()};
    const ZYLBROKERADDRESS first{"127.0.0.1", m_broker.Port()}, next{"127.0.0.1", second.Port()};

    // A node that cannot be reached is passed over at login.
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.m_host.Connect({gone, first, next}, A, Password(A)), "");
    ASSERT_EQ(b.m_host.Connect({next}, B, Password(B)), "");
    RunFor({&a, &b}, 200);
    EXPECT_FALSE(a.m_host.IsOnline(B));

    m_broker.Kill();
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return a.Count(ZYL_EVENT_BROKER_UP) == 1; }));
    EXPECT_EQ(a.m_vEvents[a.IndexOf(ZYL_EVENT_BROKER_UP, {})].text,
              "logged in again at the broker at 127.0.0.1:" + std::to_string(second.Port()));
    EXPECT_EQ(a.IndexOf(ZYL_EVENT_BROKER_DOWN, {}) >= 0, true);
    OpenBoth(a, b);
    const uint8_t byte = 7;
    ASSERT_EQ(a.m_host.Send(B, ZYL_CHANNEL_DATA, 1, &byte, 1), 1);
    ASSERT_TRUE(RunUntil({&a, &b}, [&] { return b.Data(A, ZYL_CHANNEL_DATA).size() == 1; }));

    ZYLBROKERADDRESS parsed;
    EXPECT_EQ(ZylParseBrokerAddress("[::1]:1884", parsed), "");
    EXPECT_EQ(parsed.Text(), "[::1]:1884");
    for (const char* bad : {"host", ":1883", "host:", "host:0", "host:65536", "host:12x"})
        EXPECT_NE(ZylParseBrokerAddress(bad, parsed), "") << bad;
}

TEST_F(ZylMqttHostTest, KilledUserGoesOfflineByItsWill) {
    CZylTestUser a(A);
    ASSERT_EQ(a.Connect(m_broker), "");
    CZylChildHost child(m_broker, C, A);
    ASSERT_TRUE(RunUntil(
        {&a}, [&] { return child.Output().find("ready") != std::string::npos; }, 5000))
        << child.Output();
    EXPECT_TRUE(a.m_host.IsOnline(C));
    EXPECT_TRUE(a.m_host.IsChannelOpen(C, ZYL_CHANNEL_REQUEST));
    EXPECT_TRUE(a.m_host.IsChannelOpen(C, ZYL_CHANNEL_DATA));

    const auto killed = Clock::now();
    child.Kill();
    ASSERT_TRUE(RunUntil(
        {&a}, [&] { return a.Count(DLL_P2P_ON_USER_OFFLINE, C) == 1; }, 3000));
    EXPECT_GE(Clock::now() - killed, std::chrono::milliseconds(QuickOptions().nOfflineGraceMs - 100));
    // Both channels close first, then the user goes.
    const int offline = a.IndexOf(DLL_P2P_ON_USER_OFFLINE, C);
    EXPECT_LT(a.IndexOf(DLL_P2P_ON_DISCONNECT, C, ZYL_CHANNEL_REQUEST), offline);
    EXPECT_LT(a.IndexOf(DLL_P2P_ON_DISCONNECT, C, ZYL_CHANNEL_DATA), offline);
    EXPECT_GE(a.IndexOf(DLL_P2P_ON_DISCONNECT, C, ZYL_CHANNEL_REQUEST), 0);
    EXPECT_FALSE(a.m_host.IsOnline(C));
    EXPECT_FALSE(a.m_host.IsChannelOpen(C, ZYL_CHANNEL_DATA));
    const uint8_t byte = 0;
    EXPECT_EQ(a.m_host.Send(C, ZYL_CHANNEL_DATA, 1, &byte, 1), -1);
}

TEST_F(ZylMqttHostTest, LogoutDeliversWhatWasSentThenClosesAndGoesOffline) {
    auto a = std::make_unique<CZylTestUser>(A);
    CZylTestUser b(B);
    ASSERT_EQ(a->Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(*a, b);

    // B's host runs on a thread of its own, so that it acknowledges while A logs out.
    std::atomic<bool> stop{false};
    std::thread runner([&] {
        while (!stop) {
            b.m_host.Wait(5);
            b.Poll();
        }
    });
    for (uint32_t i = 0; i < 300; ++i) {
        const Bytes payload = Pattern(i, 500);
        ASSERT_EQ(a->m_host.Send(B, ZYL_CHANNEL_DATA, i, payload.data(), 500), 1);
    }
    const auto started = Clock::now();
    a->m_host.Disconnect();
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1500)); // acknowledged, not timed out
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    runner.join();

    const auto data = b.Data(A, ZYL_CHANNEL_DATA);
    ASSERT_EQ(data.size(), 300u);
    for (uint32_t i = 0; i < 300; ++i)
        ASSERT_EQ(data[i].command, i);
    EXPECT_EQ(b.Count(DLL_P2P_ON_DISCONNECT, A, ZYL_CHANNEL_REQUEST, 0), 1);
    EXPECT_EQ(b.Count(DLL_P2P_ON_DISCONNECT, A, ZYL_CHANNEL_DATA, 0), 1);
    EXPECT_EQ(b.Count(DLL_P2P_ON_USER_OFFLINE, A), 1);

    // A's own side: its channels closed and the others are gone from its view.
    a->Poll();
    EXPECT_EQ(a->Count(DLL_P2P_ON_DISCONNECT, B), 2);
    EXPECT_EQ(a->Count(DLL_P2P_ON_USER_OFFLINE, B), 1);
    EXPECT_FALSE(a->m_host.IsConnected());
}

TEST_F(ZylMqttHostTest, AccessListStopsForgedSendersAndSnoopers) {
    CZylTestUser a(A), b(B);
    ASSERT_EQ(a.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(a, b);
    RunFor({&a, &b}, 100);
    const size_t before = a.m_vEvents.size();

    CZylRawClient forger(C);
    ASSERT_EQ(forger.Connect(m_broker.Port()), 0);
    // C pretends to be B: an opening of a new channel, a newer opening of channel 1024 (which
    // would drop A's real one), a PDU, and B's presence.
    const uint64_t stream = ~uint64_t{0} >> 1;
    EXPECT_EQ(forger.Publish(ZylPduTopic(A, B, 7), ZylEncodeFrame(ZYL_FRAME_OPEN, 0, stream, 1, nullptr, 0)),
              MQTT_RC_NOT_AUTHORIZED);
    EXPECT_EQ(forger.Publish(ZylPduTopic(A, B, ZYL_CHANNEL_REQUEST),
                             ZylEncodeFrame(ZYL_FRAME_OPEN, 0, stream, 1, nullptr, 0)),
              MQTT_RC_NOT_AUTHORIZED);
    const uint8_t pdu[] = {1, 2, 3};
    EXPECT_EQ(forger.Publish(ZylPduTopic(A, B, ZYL_CHANNEL_DATA),
                             ZylEncodeFrame(ZYL_FRAME_DATA, 4112, stream, 2, pdu, sizeof pdu)),
              MQTT_RC_NOT_AUTHORIZED);
    EXPECT_EQ(forger.Publish(ZylPresenceTopic(B), Bytes{'o', 'f', 'f', 'l', 'i', 'n', 'e'}, true),
              MQTT_RC_NOT_AUTHORIZED);
    // Accounts named with other spellings of B's id may send under their own names, but they are
    // not B: their openings and presence are dropped (and told), never answered.
    std::vector<std::unique_ptr<CZylRawClient>> spellings;
    for (const std::string& account : {kLowerB, kZeroB}) {
        auto& other = spellings.emplace_back(std::make_unique<CZylRawClient>(account));
        ASSERT_EQ(other->Connect(m_broker.Port()), 0);
        other->Subscribe({ZylPduSubscription(account)});
        EXPECT_EQ(other->Publish(ZylPresenceTopic(account), Bytes{'o', 'n', 'l', 'i', 'n', 'e'}, true), 0);
        EXPECT_EQ(other->Publish(ZylPduTopic(A, account, ZYL_CHANNEL_REQUEST),
                                 ZylEncodeFrame(ZYL_FRAME_OPEN, 0, stream, 1, nullptr, 0)),
                  0);
    }
    // Under its own name C gets through, and after all the forgeries: a barrier.
    CZylHandPeer hand(forger, C, A);
    EXPECT_EQ(forger.Publish(ZylPduTopic(A, C, ZYL_CHANNEL_REQUEST), hand.Open(ZYL_CHANNEL_REQUEST, 1)), 0);
    ASSERT_TRUE(
        RunUntil({&a, &b}, [&] { return a.Count(DLL_P2P_ON_CONNECT, C, ZYL_CHANNEL_REQUEST, 0) == 1; }));
    RunFor({&a, &b}, QuickOptions().nOfflineGraceMs + 200);
    std::vector<std::string> dropped;
    for (size_t i = before; i < a.m_vEvents.size(); ++i) {
        const ZYLHOSTEVENT& e = a.m_vEvents[i];
        EXPECT_TRUE(e.peer != B && e.peer != kLowerB && e.peer != kZeroB)
            << "event " << e.kind << " from the forged sender " << e.peer;
        if (e.kind == ZYL_EVENT_DROPPED)
            dropped.push_back(e.text);
    }
    for (const std::string& account : {kLowerB, kZeroB})
        EXPECT_EQ(std::count(dropped.begin(), dropped.end(),
                             "dropped what the broker account \"" + account +
                                 "\" sends: a user id is written " + B +
                                 ", and another spelling does not speak for that user"),
                  1)
            << account; // once, though it sent twice
    for (const auto& other : spellings)
        EXPECT_TRUE(other->Frames().empty()) << "A answered an account that is not B";
    EXPECT_FALSE(a.m_host.IsOnline(kLowerB));
    EXPECT_TRUE(a.m_host.IsOnline(B));
    EXPECT_TRUE(a.m_host.IsChannelOpen(B, ZYL_CHANNEL_REQUEST));
}

TEST_F(ZylMqttHostTest, SecondLoginOfTheSameUserEndsTheFirst) {
    CZylTestUser first(A), second(A), b(B);
    ASSERT_EQ(first.Connect(m_broker), "");
    ASSERT_EQ(b.Connect(m_broker), "");
    OpenBoth(first, b);
    ASSERT_EQ(second.Connect(m_broker), "");
    ASSERT_TRUE(RunUntil({&first, &second, &b}, [&] { return first.Count(ZYL_EVENT_BROKER_ENDED) == 1; }));
    const auto ended = std::find_if(first.m_vEvents.begin(), first.m_vEvents.end(),
                                    [](const ZYLHOSTEVENT& e) { return e.kind == ZYL_EVENT_BROKER_ENDED; });
    EXPECT_EQ(ended->text, "the same user logged in elsewhere");
    EXPECT_EQ(first.Count(DLL_P2P_ON_DISCONNECT, B), 2);
    const uint8_t byte = 0;
    EXPECT_EQ(first.m_host.Send(B, ZYL_CHANNEL_DATA, 1, &byte, 1), -1);

    // The first login does not keep coming back to push the second one out.
    RunFor({&first, &second, &b}, 1500);
    const int drops = second.Count(ZYL_EVENT_BROKER_DOWN);
    RunFor({&first, &second, &b}, 1500);
    EXPECT_EQ(second.Count(ZYL_EVENT_BROKER_DOWN), drops);
    EXPECT_EQ(second.Count(ZYL_EVENT_BROKER_ENDED), 0);
    EXPECT_TRUE(b.m_host.IsOnline(A));
    // B's channels belonged to the first login: the new one turns them down when asked.
    EXPECT_FALSE(b.m_host.IsChannelOpen(A, ZYL_CHANNEL_REQUEST));
    OpenBoth(second, b);
    first.m_host.Disconnect(); // says nothing: A is still online through the second login
    RunFor({&second, &b}, QuickOptions().nOfflineGraceMs + 300);
    EXPECT_TRUE(b.m_host.IsOnline(A));
    EXPECT_TRUE(second.m_host.IsChannelOpen(B, ZYL_CHANNEL_DATA));
}

TEST_F(ZylMqttHostTest, FramesThatOvertakeWaitAndDamagedOnesAreDropped) {
    ZYLMQTTOPTIONS options = QuickOptions();
    options.nEarlyFrames = 4;               // how far ahead of a missing frame one stream may run
    options.nEarlyBytes = 3 * (1024 + 256); // three PDUs of 1 KiB, with what holding one costs
    CZylTestUser a(A, options);
    ASSERT_EQ(a.Connect(m_broker), "");
    // C is a bare client that builds its frames by hand, under its own name.
    CZylRawClient c(C);
    ASSERT_EQ(c.Connect(m_broker.Port()), 0);
    c.Subscribe({ZylPduSubscription(C)});
    CZylHandPeer hand(c, C, A);
    const std::string topic = ZylPduTopic(A, C, ZYL_CHANNEL_DATA);
    auto frame = [&](uint8_t kind, uint64_t stream, uint64_t sequence, uint32_t command = 0) {
        return kind == ZYL_FRAME_OPEN
                   ? hand.Open(ZYL_CHANNEL_DATA, stream)
                   : hand.Seal(ZYL_CHANNEL_DATA, kind, stream, sequence, command,
                               kind == ZYL_FRAME_DATA ? Bytes{static_cast<uint8_t>(command)} : Bytes{});
    };
    auto framesOf = [&](uint8_t kind) {
        std::vector<ZYLFRAME> found;
        for (const ZYLFRAME& f : c.Frames())
            if (f.kind == kind)
                found.push_back(f);
        return found;
    };

    // Damaged bodies and topics, and a PDU of a stream that was never opened.
    EXPECT_EQ(c.Publish(topic, Bytes{1, 2, 3}), 0);
    Bytes version = frame(ZYL_FRAME_OPEN, 50, 1);
    version[0] = 9;
    EXPECT_EQ(c.Publish(topic, version), 0);
    EXPECT_EQ(c.Publish("zylfs/pdu/" + A + "/" + C + "/abc", frame(ZYL_FRAME_OPEN, 50, 1)), 0);
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, 50, 2, 99)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return !framesOf(ZYL_FRAME_RESET).empty(); }));
    const ZYLFRAME refusal = framesOf(ZYL_FRAME_RESET).front();
    EXPECT_EQ(refusal.stream, 50u);
    EXPECT_EQ(refusal.sequence, 0u); // its first frame never arrived
    EXPECT_TRUE(a.m_vEvents.empty());

    // The opening, then PDUs 3 before 2, 2 replayed, the opening replayed, 4 changed on the way
    // (dropped and told, not acknowledged), then 4.
    const uint64_t stream = 100;
    const Bytes opening = frame(ZYL_FRAME_OPEN, stream, 1);
    EXPECT_EQ(c.Publish(topic, opening), 0);
    hand.Agree(ZYL_CHANNEL_DATA, a);
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, stream, 3, 3)), 0);
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, stream, 2, 2)), 0);
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, stream, 2, 2)), 0);
    EXPECT_EQ(c.Publish(topic, opening), 0);
    Bytes changed = frame(ZYL_FRAME_DATA, stream, 4, 4);
    changed[ZYL_FRAME_HEADER_SIZE + 4] ^= 1;
    EXPECT_EQ(c.Publish(topic, changed), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Count(ZYL_EVENT_DROPPED) == 1; }));
    EXPECT_EQ(a.m_vEvents[a.IndexOf(ZYL_EVENT_DROPPED, {})].text,
              "dropped a frame from " + C +
                  " on channel 1025 that does not open with the keys of its opening: " +
                  "it was changed on the way, or forged");
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, stream, 4, 4)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, ZYL_CHANNEL_DATA).size() >= 3; }));
    RunFor({&a}, 200);
    const auto data = a.Data(C, ZYL_CHANNEL_DATA);
    ASSERT_EQ(data.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(data[k].command, k + 2);
        EXPECT_EQ(data[k].payload, Bytes{static_cast<uint8_t>(k + 2)});
    }
    EXPECT_EQ(a.Count(DLL_P2P_ON_CONNECT, C, ZYL_CHANNEL_DATA, 0), 1);

    // A's host accepted with a stream of its own and acknowledged everything up to 4.
    ASSERT_TRUE(RunUntil({&a}, [&] {
        const auto acks = framesOf(ZYL_FRAME_ACK);
        return !acks.empty() && acks.back().sequence == 4;
    }));
    const auto accepts = framesOf(ZYL_FRAME_ACCEPT);
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].sequence, 1u);
    EXPECT_EQ(ZylDecodeStreamRef(accepts[0].payload), stream);
    const ZYLFRAME ack = framesOf(ZYL_FRAME_ACK).back();
    EXPECT_EQ(ack.stream, stream);
    EXPECT_EQ(ZylDecodeStreamRef(ack.payload), accepts[0].stream);

    // A message larger than a frame can be is dropped unread: the broker does not even send one
    // far larger (the login asked it not to), and the host drops the rest with one line.
    const Bytes full = Pattern(5, 65536);
    Bytes huge = frame(ZYL_FRAME_DATA, stream, 5, 5);
    huge.resize(1 << 20, 1);
    EXPECT_EQ(c.Publish(topic, huge), 0);
    Bytes over = hand.Seal(ZYL_CHANNEL_DATA, ZYL_FRAME_DATA, stream, 5, 5, full);
    over.push_back(0);
    EXPECT_EQ(c.Publish(topic, over), 0);
    EXPECT_EQ(c.Publish(topic, hand.Seal(ZYL_CHANNEL_DATA, ZYL_FRAME_DATA, stream, 5, 5, full)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, ZYL_CHANNEL_DATA).size() == 4; }));
    EXPECT_EQ(a.Data(C, ZYL_CHANNEL_DATA).back().payload, full);
    ASSERT_EQ(a.Count(ZYL_EVENT_DROPPED), 2);
    EXPECT_EQ(std::find_if(a.m_vEvents.rbegin(), a.m_vEvents.rend(),
                           [](const ZYLHOSTEVENT& e) { return e.kind == ZYL_EVENT_DROPPED; })
                  ->text,
              "dropped a message of 65581 bytes on " + topic + ": larger than a frame can be (65580 bytes)");

    // What overtakes a missing frame is held within bounds, per stream and per peer; beyond them
    // it is dropped and taken when it comes again.
    const std::string requests = ZylPduTopic(A, C, ZYL_CHANNEL_REQUEST);
    const Bytes kib = Pattern(0, 1024);
    auto pdu = [&](uint64_t sequence, size_t size) {
        return hand.Seal(ZYL_CHANNEL_REQUEST, ZYL_FRAME_DATA, 200, sequence, static_cast<uint32_t>(sequence),
                         Bytes(kib.begin(), kib.begin() + static_cast<std::ptrdiff_t>(size)));
    };
    EXPECT_EQ(c.Publish(requests, hand.Open(ZYL_CHANNEL_REQUEST, 200)), 0);
    hand.Agree(ZYL_CHANNEL_REQUEST, a);
    for (uint64_t sequence = 3; sequence <= 6; ++sequence) // the fourth is over the bytes
        EXPECT_EQ(c.Publish(requests, pdu(sequence, kib.size())), 0);
    EXPECT_EQ(c.Publish(requests, pdu(7, 1)), 0); // five ahead of the missing one
    EXPECT_EQ(c.Publish(requests, pdu(2, 1)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, ZYL_CHANNEL_REQUEST).size() >= 4; }));
    RunFor({&a}, 200);
    EXPECT_EQ(a.Data(C, ZYL_CHANNEL_REQUEST).size(), 4u);
    EXPECT_EQ(a.Count(ZYL_EVENT_DROPPED), 3); // the overtaking ones, told once
    for (uint64_t sequence = 6; sequence <= 7; ++sequence)
        EXPECT_EQ(c.Publish(requests, pdu(sequence, 1)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Data(C, ZYL_CHANNEL_REQUEST).size() == 6; }));
    for (uint32_t k = 0; k < 6; ++k)
        EXPECT_EQ(a.Data(C, ZYL_CHANNEL_REQUEST)[k].command, k + 2);

    // A leftover of an older opening changes nothing; the closing ends the channel.
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_DATA, stream - 1, 7, 7)), 0);
    EXPECT_EQ(c.Publish(topic, frame(ZYL_FRAME_CLOSE, stream, 6)), 0);
    ASSERT_TRUE(RunUntil({&a}, [&] { return a.Count(DLL_P2P_ON_DISCONNECT, C, ZYL_CHANNEL_DATA, 0) == 1; }));
    EXPECT_EQ(a.Data(C, ZYL_CHANNEL_DATA).size(), 4u);
    EXPECT_FALSE(a.m_host.IsChannelOpen(C, ZYL_CHANNEL_DATA));

    // While D's owner thread is busy, C's messages waiting for it are bounded too: three fit.
    options.nBacklogBytes = 3 * (1048 + requests.size() + 256) + 100;
    CZylTestUser d(D, options);
    ASSERT_EQ(d.Connect(m_broker), "");
    const std::string toD = ZylPduTopic(D, C, ZYL_CHANNEL_REQUEST);
    hand.To(D);
    EXPECT_EQ(c.Publish(toD, hand.Open(ZYL_CHANNEL_REQUEST, 300)), 0);
    hand.Agree(ZYL_CHANNEL_REQUEST, d);
    ASSERT_TRUE(RunUntil({&d}, [&] { return d.Count(DLL_P2P_ON_CONNECT, C) == 1; }));
    auto toDPdu = [&](uint64_t sequence) {
        return hand.Seal(ZYL_CHANNEL_REQUEST, ZYL_FRAME_DATA, 300, sequence, static_cast<uint32_t>(sequence),
                         kib);
    };
    for (uint64_t sequence = 2; sequence <= 11; ++sequence)
        EXPECT_EQ(c.Publish(toD, toDPdu(sequence)), 0);
    // B's message, sent after the broker took all of C's, arrives after them: the fourth wake-up.
    CZylRawClient b(B);
    ASSERT_EQ(b.Connect(m_broker.Port()), 0);
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
    EXPECT_EQ(d.Data(C, ZYL_CHANNEL_REQUEST).size(), 3u);
    ASSERT_EQ(d.Count(ZYL_EVENT_DROPPED), 1);
    EXPECT_EQ(d.m_vEvents[d.IndexOf(ZYL_EVENT_DROPPED, {})].text,
              "dropped 7 message(s) of " + C + ": more than " + std::to_string(options.nBacklogBytes) +
                  " bytes of its messages were waiting (its frames come again)");
    for (uint64_t sequence = 5; sequence <= 11; ++sequence) { // sent again, as a sender does
        EXPECT_EQ(c.Publish(toD, toDPdu(sequence)), 0);
        ASSERT_TRUE(RunUntil({&d}, [&] { return d.Data(C, ZYL_CHANNEL_REQUEST).size() == sequence - 1; }));
    }
}
