// One user's host services over an MQTT broker: presence, channels to other users and PDUs on
// them, for the thread that runs the plug-in.
//
// The user logs in to the broker with the user id as user name, so the broker's access list
// (ZylMqttAclText) keeps every client to frames that name it as their sender. Each channel to a
// peer is opened by a handshake between the two hosts; each direction of an opening is a stream
// of numbered frames that the receiving host acknowledges once it has taken them in order. The
// sender keeps every frame until it is acknowledged and sends the unacknowledged ones again after
// the broker connection comes back or when no acknowledgement came for a while, so a broker
// restart loses nothing; the receiver drops what it already has and holds frames that overtook a
// missing one. What is not yet acknowledged counts as in flight, and Send refuses (0) while that
// is at the bound for the peer.
//
// What one turn of the owner sends to a peer leaves together: the frames wait until Flush (which
// Poll runs at its end) and go, with the acknowledgements that are due, in as few messages as
// they fit in; a message that is full enough leaves at once. Frames go with QoS 0, since the
// streams are acknowledged and resent here; an acknowledgement rides along with the frames going
// back, so that a request and its answer each cost one message through the broker.
//
// What another account can make this host hold is bounded: a message larger than a frame can be
// is never sent by the broker (the login asks it so) and dropped unread if it comes anyway; frames
// that wait for the owner thread and frames that overtook a missing one are bounded per peer, and
// beyond that dropped, to come again when their sender resends. Senders are taken only under the
// one spelling of their user id.
//
// Threads: the network thread (libmosquitto's loop, run by this class so that it can move on to
// the next broker of a list) only files what arrives into a queue and signals the wake
// descriptor; every state change and every event happens on the owner thread, the one that calls
// the methods below. The owner calls Poll when the descriptor becomes readable (a QSocketNotifier,
// or Wait in a plain loop) and at least every 100 ms, which also runs the retransmission and
// time-out clocks.
#pragma once

#include "host/ZylMqttFrame.h"
#include "host/ZylMqttKeys.h"
#include "zylfs/ZylPlugin.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// Kinds of ZYLHOSTEVENT beyond the plug-in's own DLL_P2P_ON_* codes.
enum : uint32_t {
    ZYL_EVENT_BROKER_UP = 100,      // the connection to the broker came back after a loss
    ZYL_EVENT_BROKER_DOWN = 101,    // the connection was lost; it is tried again by itself
    ZYL_EVENT_BROKER_ENDED = 102,   // the broker ended the session for good (text says why)
    ZYL_EVENT_BROKER_REFUSED = 103, // the broker refused to pass a frame on or a subscription
    ZYL_EVENT_DROPPED = 104,        // what another account sent was dropped (text says why)
    ZYL_EVENT_KEY_REFUSED = 105,    // the peer's key is not the one pinned for it (text says so)
};

// Status of DLL_P2P_ON_CONNECT.
enum : int32_t {
    ZYL_OPEN_DONE = 0,
    ZYL_OPEN_OFFLINE = 1, // the peer is not online (or went offline while opening)
    ZYL_OPEN_NO_ANSWER = 2,
    ZYL_OPEN_REFUSED = 3, // the peer's host dropped the opening
};

struct ZYLHOSTEVENT {
    uint32_t kind = 0; // DLL_P2P_ON_CONNECT, _ON_DISCONNECT, _ON_DATA, _ON_USER_ONLINE, _ON_USER_OFFLINE
                       // or ZYL_EVENT_BROKER_*
    std::string peer;
    int32_t channel = 0;
    int32_t status = 0;
    uint32_t command = 0;
    std::vector<uint8_t> payload;
    std::string text; // ZYL_EVENT_BROKER_*, ZYL_EVENT_DROPPED: what happened
};

// One broker to log in to; a cluster is a list of them.
struct ZYLBROKERADDRESS {
    std::string sHost;
    int nPort = 1883;
    std::string Text() const; // "HOST:PORT"
};
// Reads "HOST:PORT" ("[::1]:1883" for an IPv6 address): an empty text, or why it is not one.
std::string ZylParseBrokerAddress(std::string_view text, ZYLBROKERADDRESS& address);

struct ZYLMQTTOPTIONS {
    int nKeepAliveSeconds = 30;
    size_t nInFlightBytes = 1 << 20;   // Send answers 0 at this many unacknowledged payload bytes
    size_t nInFlightFrames = 512;      // ... or at this many unacknowledged frames to one peer
    uint32_t nConnectTimeoutMs = 5000; // Connect gives up after this long without an answer
    uint32_t nOpenTimeoutMs = 10000;   // an opening not accepted by then fails
    uint32_t nRetransmitMs = 1000;     // first resend of unacknowledged frames; doubles up to 8 s
    // How long a peer whose will turned its presence "offline" is still treated as online. A
    // broker that shuts down publishes every client's will; users that are back within this time
    // never went away for the plug-in. A peer that logs out goes offline at once.
    uint32_t nOfflineGraceMs = 5000;
    uint32_t nShutdownMs = 2000;  // Disconnect waits this long for the broker to take the last frames
    uint32_t nReconnectMs = 1000; // after a lost connection, the next broker of the list is tried
    // What one peer can make this host hold. Beyond it frames are dropped (their sender sends them
    // again); keep it well above what a peer keeps in flight (nInFlightBytes, nInFlightFrames).
    size_t nBacklogBytes = 4 << 20; // messages waiting for the owner thread, counted with overhead
    size_t nEarlyBytes = 2 << 20;   // frames that overtook a missing one, counted with overhead
    uint64_t nEarlyFrames = 1024;   // how far one stream's frames may run ahead of a missing one
};

// How the login reaches the broker and who it trusts.
struct ZYLMQTTSECURITY {
    // 1: TLS, 0: plain TCP, -1: TLS when a broker of the list is on port 8883 (MQTT over TLS).
    // With TLS the broker's certificate and host name are always verified; nothing turns that off.
    int nTls = -1;
    std::string sCaFile; // the authorities that may sign the broker's certificate; empty: the system's
    // Where the user's key pair and the friends' pinned keys are kept (the data folder); empty: a
    // key pair for this login alone, which the friends that pinned another one refuse.
    std::filesystem::path pKeyFolder;
};
inline constexpr int ZYL_MQTT_TLS_PORT = 8883;

// What the transport carried since the login, for benchmarks and diagnosis.
struct ZYLMQTTSTATS {
    uint64_t nMessagesSent = 0; // broker messages of frames (a lone frame or a bundle)
    uint64_t nFramesSent = 0;   // the frames in them, resends and acknowledgements included
    uint64_t nFramesResent = 0; // frames sent again for want of an acknowledgement
    uint64_t nMessagesReceived = 0;
    uint64_t nFramesReceived = 0;
};

class CZylMqttHost {
public:
    using Handler = std::function<void(const ZYLHOSTEVENT&)>;

    explicit CZylMqttHost(const ZYLMQTTOPTIONS& options = {});
    ~CZylMqttHost(); // Disconnect
    CZylMqttHost(const CZylMqttHost&) = delete;
    CZylMqttHost& operator=(const CZylMqttHost&) = delete;

    // How the next Connect reaches the broker (TLS or not, whose certificates it trusts).
    void SetSecurity(const ZYLMQTTSECURITY& security) { m_security = security; }

    // Logs in as user and announces it online; returns once the broker accepted the login and the
    // presence of the users already online is known. An empty text on success, else a one-line
    // reason ("connection refused: not authorised", "cannot reach the broker at …").
    std::string Connect(const std::string& host, int port, const std::string& user,
                        const std::string& password);
    // The same with the nodes of a cluster: the first one that can be reached takes the login, and
    // when its connection is lost the next one is tried, round the list.
    std::string Connect(const std::vector<ZYLBROKERADDRESS>& brokers, const std::string& user,
                        const std::string& password);
    // The clean end: closes every channel (the peers hear it at once), waits a moment for the last
    // frames to be acknowledged, announces the user offline and logs out. The local channel and
    // presence events it causes are left for Poll.
    void Disconnect();
    // Logged in (the broker connection may be down for a moment); false after Disconnect and once
    // the broker ended the session (ZYL_EVENT_BROKER_ENDED).
    bool IsConnected() const { return m_pMosq != nullptr && !m_bEnded; }
    const std::string& UserId() const { return m_sUser; }

    // Asks the peer's host to open the channel; DLL_P2P_ON_CONNECT follows with the outcome (status
    // 0 once both hosts have it open). Nothing happens when it is open or opening already.
    void OpenChannel(const std::string& peer, int32_t channel);
    // Closes it on both sides; both hear DLL_P2P_ON_DISCONNECT. PDUs already taken still arrive.
    void CloseChannel(const std::string& peer, int32_t channel);
    // 1 when taken (it leaves with the next Flush); 0 while the frames in flight to that peer are at
    // the bound (try again later); -1 when the channel is not open or the arguments are bad.
    int32_t Send(const std::string& peer, int32_t channel, uint32_t command, const void* payload,
                 int32_t length);

    // Hands every pending event to handler, in order; the handler may call any method (a nested
    // Poll returns 0). Runs the clocks, then flushes: what the handler sent leaves together with
    // the acknowledgements of what arrived. The number of events. A host whose plug-in answers
    // from a later turn of the event loop passes flush = false and calls Flush after that turn, so
    // that the answers and the acknowledgements still travel together.
    int Poll(const Handler& handler, bool flush = true);
    // Sends what waits: the frames that Send and the handshakes queued and the acknowledgements
    // that are due, per peer in as few messages as they fit in. Poll does it; the wake descriptor
    // becomes readable when something waits and nobody is polling.
    void Flush();
    // Something waits for Flush.
    bool IsFlushDue() const { return m_bFlushDue; }
    // Waits until something is pending or timeoutMs passed; true when something is pending.
    bool Wait(int timeoutMs);
    // Readable while something is pending (events, or frames that wait for Flush), for an event
    // loop to watch.
    int GetWakeFd() const { return m_nWakeFd; }

    bool IsOnline(const std::string& peer);
    bool IsChannelOpen(const std::string& peer, int32_t channel);
    std::vector<std::string> GetOnlineUsers();
    size_t GetBytesInFlight(const std::string& peer);
    // The user's own key pair and the friends' pinned keys (open once logged in).
    CZylKeyStore& Keys() { return m_keys; }
    // Why channels to the peer are refused (its key is unknown, or not the one pinned), or empty.
    std::string KeyRefusal(const std::string& peer);
    const ZYLMQTTSTATS& GetStats() const { return m_stats; }

private:
    enum EState { CLOSED, OPENING, OPEN };
    struct TXFRAME {
        uint64_t sequence;
        size_t nPayload;           // counts towards the in-flight bound
        std::vector<uint8_t> body; // as it goes to the broker; empty until it can be sealed
        uint8_t nKind = 0;         // what waits for the keys of the opening, to be sealed
        uint32_t nCommand = 0;
        std::vector<uint8_t> vPlain;
    };
    struct LINK {
        EState eState = CLOSED;
        uint64_t nOpenDeadline = 0;
        // sending
        bool bTxAlive = false; // the stream still has frames to deliver or is open
        uint64_t nTxStream = 0;
        uint64_t nTxNext = 1;
        std::deque<TXFRAME> qUnacked;
        uint64_t nTxPublished = 0; // the frames up to it went to the broker (since the last resend)
        uint64_t nLastProgress = 0;
        uint32_t nRetransmitMs = 0;
        // receiving
        uint64_t nRxStream = 0;
        uint64_t nRxNext = 1;
        std::map<uint64_t, ZYLFRAME> mEarly; // frames that overtook a missing one, by sequence
        size_t nEarlyBytes = 0;              // their cost, counted in the peer's too
        bool bAckDue = false;
        uint64_t nResetStream = 0; // the last stream refused, and when (refusals are rate-limited)
        uint64_t nResetTime = 0;
        // keys: our stream's ephemeral pair, the half of theirs, and what both make
        ZYLEPHEMERAL ephemeral;
        ZYLKEY theirHalf{};
        bool bKeyed = false; // txKey and rxKey hold for the streams nKeyedTx and nKeyedRx
        uint64_t nKeyedTx = 0;
        uint64_t nKeyedRx = 0;
        ZYLKEY txKey{};
        ZYLKEY rxKey{};
    };
    struct PEER {
        bool bOnline = false;
        bool bGoing = false; // "offline" seen, grace running
        uint64_t nGoingSince = 0;
        std::map<int32_t, LINK> mLinks;
        size_t nEarlyBytes = 0; // of all its links
        size_t nWaiting = 0;    // bytes of frames queued since its last flush
        bool bKeyKnown = false; // its published key, and whether it is not the one pinned
        bool bKeyChanged = false;
        ZYLKEY key{};
    };
    struct INPUT {
        enum EKind { MESSAGE, UP, DOWN, ENDED, REFUSED, DROPPED } kind;
        std::string topic;
        std::vector<uint8_t> body;
        std::string text;     // what happened
        std::string sender;   // of a message
        bool bLogout = false; // a presence message that came from a logout
    };
    // Messages of one sender that wait in m_qInputs, and those dropped since the last report.
    struct BACKLOG {
        size_t nBytes = 0;
        uint64_t nDropped = 0;
    };

    friend struct ZylMqttCallbacks; // libmosquitto's callbacks, on the network thread
    void RunNetwork();
    void StartNetwork();
    void Push(INPUT input);
    void Push(INPUT::EKind kind, std::string text);
    bool PublishPresence(mosquitto* mosq, const char* state, int* mid);
    void Signal();

    void TakeInputs();
    void HandleMessage(const std::string& topic, const std::vector<uint8_t>& body, bool logout);
    void HandlePresence(const std::string& user, const std::string& state, bool logout);
    void HandleKey(const std::string& user, const std::vector<uint8_t>& body);
    bool IsTrusted(const std::string& peer, PEER& state); // else told
    bool CheckStart(const std::string& peer, int32_t channel, const PEER& state, const ZYLFRAME& frame,
                    ZYLKEY& half);
    void Agree(const std::string& peer, int32_t channel, LINK& link); // the keys, once both halves are known
    void HandleFrame(const std::string& peer, int32_t channel, const uint8_t* body, size_t length);
    void HoldEarly(const std::string& peer, PEER& state, LINK& link, ZYLFRAME& frame);
    void DropEarly(PEER& state, LINK& link);
    bool IsSpeaker(const std::string& sender); // written as its user id is; else told and dropped
    void TellDropped(const std::string& key, const std::string& text, uint32_t kind = ZYL_EVENT_DROPPED,
                     const std::string& peer = {});
    void Deliver(const std::string& peer, int32_t channel, LINK& link, ZYLFRAME& frame);
    void HandleAck(const std::string& peer, int32_t channel, LINK& link, uint64_t stream, uint64_t sequence,
                   uint64_t theirStream);
    void HandleReset(const std::string& peer, int32_t channel, LINK& link, uint64_t stream, uint64_t taken);
    void RunClocks();
    void AckDue(const std::string& peer, LINK& link);
    void Due(const std::string& peer); // something waits to go to the peer at the next Flush
    bool FlushPeer(const std::string& user, PEER& peer);
    void OnBrokerBack(const std::string& text);

    uint64_t NewStream();
    void StartStream(LINK& link);
    void Queue(const std::string& peer, int32_t channel, LINK& link, uint8_t kind, uint32_t command,
               const void* payload, size_t length);
    void Resend(const std::string& peer, LINK& link);
    void Refuse(const std::string& peer, int32_t channel, LINK& link, uint64_t stream);
    bool Publish(const std::string& topic, const std::vector<uint8_t>& body);
    void TearDown(const std::string& peer, int32_t channel, LINK& link, int32_t openStatus);
    void TearDownPeer(const std::string& peer, PEER& state, int32_t openStatus);
    void GoOffline(const std::string& user, PEER& peer);
    void Emit(uint32_t kind, const std::string& peer, int32_t channel = 0, int32_t status = 0);
    size_t InFlight(const PEER& state) const;
    void Shutdown(); // stops the network thread and frees the client

    ZYLMQTTOPTIONS m_options;
    ZYLMQTTSECURITY m_security;
    CZylKeyStore m_keys;
    std::string m_sUser;
    std::string m_sKeyTopic;
    std::string m_sPresenceTopic;
    std::string m_sProbeTopic;
    uint64_t m_nInstance = 0; // this login, told apart from other logins of the same user
    mosquitto* m_pMosq = nullptr;
    int m_nWakeFd = -1;
    uint64_t m_nLastStream = 0;
    std::map<std::string, PEER> m_mPeers;
    std::deque<ZYLHOSTEVENT> m_qEvents;
    bool m_bPolling = false;
    std::set<std::string> m_sDue; // peers with frames or acknowledgements that wait for Flush
    bool m_bFlushDue = false;
    ZYLMQTTSTATS m_stats;
    bool m_bEnded = false;
    std::map<std::string, uint64_t> m_mDropsTold; // when each kind of drop was last told

    // the network thread's own, set before it starts
    std::vector<ZYLBROKERADDRESS> m_vBrokers;
    size_t m_nBroker = 0; // the one in use
    mqtt5__property* m_pConnectProps = nullptr;
    int m_nPduSubMid = -1;
    int m_nPresenceSubMid = -1;
    int m_nKeySubMid = -1;
    std::thread m_tNetwork;

    // shared with the network thread
    std::mutex m_mutex;
    std::condition_variable m_cvReady;
    std::deque<INPUT> m_qInputs;
    std::map<std::string, BACKLOG> m_mBacklog; // by sender
    std::condition_variable m_cvNetwork;       // the network thread's pause before reconnecting
    std::atomic<bool> m_bStopNetwork{false};
    std::atomic<bool> m_bGaveUp{false}; // the session ended for good: no reconnecting
    std::atomic<bool> m_bLinkUp{false};
    // Between a connect call and the broker's answer: only then does a TLS error refuse a broker (a
    // session that drops later makes the TLS library complain too, about the lost connection).
    std::atomic<bool> m_bHandshaking{false};
    bool m_bConnecting = false;
    bool m_bEchoSeen = false;  // our own "online" came back: the presence of the others is known
    bool m_bProbeSeen = false; // our frame to ourselves came back: the access list fits
    bool m_bKeySeen = false;   // our key came back
    int m_nProbeMid = -1;      // their ids, to tell which one a refusal is about
    int m_nPresenceMid = -1;
    int m_nKeyMid = -1;
    std::string m_sConnectError;            // why the login failed, while connecting
    std::string m_sTlsError;                // what the TLS library said last, for a refused handshake
    int m_nConnectRefusal = 0;              // the broker's reason code, when it refused the login
    std::atomic<int64_t> m_nUnconfirmed{0}; // published, not yet acknowledged by the broker
    std::atomic<bool> m_bRefusalTold{false};
};
