#include "host/ZylMqttHost.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int32_t kMaxPdu = 16 << 20;
constexpr size_t kMaxEarlyBytes = 8 << 20;
constexpr size_t kMaxEarlyFrames = 4096;
constexpr uint32_t kMaxRetransmitMs = 8000;
constexpr uint64_t kRefuseEveryMs = 500;
constexpr uint64_t kClosingGiveUpMs = 30000;
constexpr size_t kMaxLinksPerPeer = 64;

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::once_flag g_libInit;

// Each login tags its presence with this user property: the time it logged in, in microseconds.
constexpr const char* kInstanceProperty = "zylfs-login";
// ... and its "offline" at logout with this one, which its will lacks.
constexpr const char* kLogoutProperty = "zylfs-logout";
constexpr const char* kLoggedInElsewhere = "the same user logged in elsewhere";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    while (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

// The broker's answer to a login in words; wrong credentials read the same whichever code it used.
std::string RefusalText(int rc) {
    switch (rc) {
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
    case CONNACK_REFUSED_NOT_AUTHORIZED:
        return "connection refused: not authorised";
    default:
        return "connection refused: " +
               Lower(rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
    }
}

// Refusals that will not change by trying again.
bool IsFinalRefusal(int rc) {
    return rc == MQTT_RC_CLIENTID_NOT_VALID || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
           rc == MQTT_RC_NOT_AUTHORIZED || rc == MQTT_RC_BANNED || rc == MQTT_RC_BAD_AUTHENTICATION_METHOD ||
           (rc > 0 && rc < 6);
}

std::string LossText(int rc) {
    return Lower(rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc));
}

} // namespace

// libmosquitto calls these on its network thread: they only file what happened for the owner.
struct ZylMqttCallbacks {
    static void OnConnect(mosquitto* mosq, void* obj, int rc, int /*flags*/, const mosquitto_property*) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        if (rc == 0) {
            // Subscribing before announcing ourselves: the broker hands out the retained presence
            // of the others before it passes our own "online" back to us.
            mosquitto_subscribe(mosq, nullptr, ZylPduSubscription(self->m_sUser).c_str(), 1);
            mosquitto_subscribe(mosq, nullptr, ZYL_PRESENCE_SUBSCRIPTION, 1);
            // At the first login a frame to ourselves (on channel 0, which no host uses) proves
            // that the access list lets us send and receive frames. The broker's acknowledgements
            // are handled on this thread after we return, so the ids are stored in time.
            int probe = -1;
            if (self->m_bConnecting)
                mosquitto_publish(mosq, &probe, ZylPduTopic(self->m_sUser, self->m_sUser, 0).c_str(), 0,
                                  nullptr, 1, false);
            int presence = -1;
            self->PublishPresence(mosq, ZYL_PRESENCE_ONLINE, &presence);
            self->m_bLinkUp = true;
            self->m_bRefusalTold = false;
            std::lock_guard lock(self->m_mutex);
            if (self->m_bConnecting) {
                self->m_nProbeMid = probe;
                self->m_nPresenceMid = presence;
                return;
            }
        }
        std::unique_lock lock(self->m_mutex);
        if (self->m_bConnecting) {
            if (rc != 0)
                self->m_sConnectError = RefusalText(rc);
            self->m_cvReady.notify_all();
            return;
        }
        lock.unlock();
        if (rc == 0) {
            self->Push({CZylMqttHost::INPUT::UP, {}, {}, {}});
        } else if (IsFinalRefusal(rc)) {
            self->Push({CZylMqttHost::INPUT::ENDED, {}, {}, RefusalText(rc)});
            mosquitto_disconnect(mosq); // no point in trying again
        } else {
            self->Push({CZylMqttHost::INPUT::DOWN, {}, {}, RefusalText(rc)});
        }
    }

    static void OnDisconnect(mosquitto* mosq, void* obj, int rc, const mosquitto_property*) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        self->m_bLinkUp = false;
        std::unique_lock lock(self->m_mutex);
        self->m_cvReady.notify_all(); // a logout waiting for the broker need not wait any more
        if (rc == 0)
            return; // our own logout
        if (self->m_bConnecting) {
            if (self->m_sConnectError.empty())
                self->m_sConnectError = "the broker closed the connection: " + LossText(rc);
            return;
        }
        lock.unlock();
        if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
            self->Push({CZylMqttHost::INPUT::ENDED, {}, {}, kLoggedInElsewhere});
            mosquitto_disconnect(mosq);
        } else {
            self->Push({CZylMqttHost::INPUT::DOWN, {}, {}, LossText(rc)});
        }
    }

    static std::string ReadUserProperty(const mosquitto_property* props, const char* wanted) {
        std::string found;
        for (const mosquitto_property* p = props; p; p = mosquitto_property_next(p)) {
            char* name = nullptr;
            char* value = nullptr;
            if (mosquitto_property_identifier(p) != MQTT_PROP_USER_PROPERTY ||
                !mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false))
                continue;
            if (name && value && strcmp(name, wanted) == 0)
                found = value;
            free(name);
            free(value);
        }
        return found;
    }

    static void OnMessage(mosquitto* mosq, void* obj, const mosquitto_message* message,
                          const mosquitto_property* props) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        CZylMqttHost::INPUT input{CZylMqttHost::INPUT::MESSAGE, message->topic ? message->topic : "", {}, {}};
        if (message->payloadlen > 0) {
            const auto* p = static_cast<const uint8_t*>(message->payload);
            input.body.assign(p, p + message->payloadlen);
        }
        if (input.topic == self->m_sProbeTopic) {
            std::lock_guard lock(self->m_mutex);
            self->m_bProbeSeen = true;
            self->m_cvReady.notify_all();
            return;
        }
        if (input.topic == self->m_sPresenceTopic) {
            const uint64_t instance =
                strtoull(ReadUserProperty(props, kInstanceProperty).c_str(), nullptr, 10);
            const bool online = std::string(input.body.begin(), input.body.end()) == ZYL_PRESENCE_ONLINE;
            std::unique_lock lock(self->m_mutex);
            if (instance == self->m_nInstance) {
                // Our own "online" passed on live (not a retained copy from an earlier login): the
                // presence of the others came before it.
                if (online && self->m_bConnecting && !message->retain) {
                    self->m_bEchoSeen = true;
                    self->m_cvReady.notify_all();
                }
            } else if (instance > self->m_nInstance) {
                // A later login of the same user ("online", or the will it left when this one
                // came back and pushed it out). The broker only drops the older connection, which
                // would come back and push the newer one out in turn: this one gives way for good.
                if (self->m_bConnecting) {
                    self->m_sConnectError = kLoggedInElsewhere;
                    self->m_cvReady.notify_all();
                    return;
                }
                lock.unlock();
                self->m_bLinkUp = false;
                mosquitto_disconnect(mosq);
                self->Push({CZylMqttHost::INPUT::ENDED, {}, {}, kLoggedInElsewhere});
            }
            return;
        }
        if (ReadUserProperty(props, kLogoutProperty) == "1")
            input.text = kLogoutProperty; // a deliberate "offline", not a will
        self->Push(std::move(input));
    }

    // A broker whose access list does not fit the topics refuses what a login needs: say so
    // rather than wait in vain.
    static void RefusedWhileConnecting(CZylMqttHost* self, const char* what) {
        std::lock_guard lock(self->m_mutex);
        if (self->m_bConnecting && self->m_sConnectError.empty()) {
            self->m_sConnectError = "the broker's access list does not let " + self->m_sUser + " " + what;
            self->m_cvReady.notify_all();
        }
    }

    static void OnSubscribe(mosquitto*, void* obj, int /*mid*/, int count, const int* granted,
                            const mosquitto_property*) {
        for (int i = 0; i < count; ++i)
            if (granted[i] >= 128)
                RefusedWhileConnecting(static_cast<CZylMqttHost*>(obj), "receive its messages");
    }

    static void OnPublish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        if (reason >= 128 && (mid == self->m_nPresenceMid || mid == self->m_nProbeMid))
            RefusedWhileConnecting(self, mid == self->m_nPresenceMid ? "announce itself" : "send messages");
        if (--self->m_nUnconfirmed <= 0) {
            std::lock_guard lock(self->m_mutex); // so that a waiter cannot miss it
            self->m_cvReady.notify_all();
        }
        if (reason >= 128 && !self->m_bRefusalTold.exchange(true))
            self->Push(
                {CZylMqttHost::INPUT::REFUSED, {}, {}, "the broker refused a message: " + LossText(reason)});
    }
};

CZylMqttHost::CZylMqttHost(const ZYLMQTTOPTIONS& options) : m_options(options) {
    m_nWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CZylMqttHost::~CZylMqttHost() {
    Disconnect();
    if (m_nWakeFd >= 0)
        close(m_nWakeFd);
}

std::string CZylMqttHost::Connect(const std::string& host, int port, const std::string& user,
                                  const std::string& password) {
    if (m_pMosq && m_bEnded)
        Disconnect();
    if (m_pMosq)
        return "already connected as " + m_sUser;
    if (!ZylIsValidMqttUserId(user))
        return "the user id \"" + user + "\" cannot be a broker user name";
    if (port <= 0 || port > 65535)
        return "the broker port " + std::to_string(port) + " is out of range";
    if (m_nWakeFd < 0)
        return std::string("cannot create the wake-up descriptor: ") + strerror(errno);
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });

    m_sUser = user;
    m_bEnded = false;
    m_sPresenceTopic = ZylPresenceTopic(user);
    m_sProbeTopic = ZylPduTopic(user, user, 0);
    m_nInstance = NewStream();
    m_mPeers.clear();
    m_pMosq = mosquitto_new(user.c_str(), true, this);
    if (!m_pMosq)
        return "cannot create the broker client";
    mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_RECEIVE_MAXIMUM, 100);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_SEND_MAXIMUM, 100);
    mosquitto_username_pw_set(m_pMosq, user.c_str(), password.c_str());
    mosquitto_property* willProps = nullptr;
    mosquitto_property_add_string_pair(&willProps, MQTT_PROP_USER_PROPERTY, kInstanceProperty,
                                       std::to_string(m_nInstance).c_str());
    if (mosquitto_will_set_v5(m_pMosq, m_sPresenceTopic.c_str(),
                              static_cast<int>(strlen(ZYL_PRESENCE_OFFLINE)), ZYL_PRESENCE_OFFLINE, 1, true,
                              willProps) != MOSQ_ERR_SUCCESS)
        mosquitto_property_free_all(&willProps); // the library owns it only on success
    // Every second, so that a restarted broker sees its users back well within the grace time.
    mosquitto_reconnect_delay_set(m_pMosq, 1, 1, false);
    mosquitto_connect_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnConnect);
    mosquitto_disconnect_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnDisconnect);
    mosquitto_message_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnMessage);
    mosquitto_publish_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnPublish);
    mosquitto_subscribe_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnSubscribe);
    {
        std::lock_guard lock(m_mutex);
        m_qInputs.clear();
        m_bConnecting = true;
        m_bEchoSeen = false;
        m_bProbeSeen = false;
        m_nProbeMid = m_nPresenceMid = -1;
        m_sConnectError.clear();
        m_nUnconfirmed = 0;
    }

    const std::string where = host + ":" + std::to_string(port);
    const int rc = mosquitto_connect(m_pMosq, host.c_str(), port, m_options.nKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string error =
            rc == MOSQ_ERR_ERRNO ? "cannot reach the broker at " + where + ": " + strerror(errno)
            : rc == MOSQ_ERR_EAI ? "cannot find the broker host \"" + host + "\""
                                 : "cannot reach the broker at " + where + ": " + LossText(rc);
        mosquitto_destroy(m_pMosq);
        m_pMosq = nullptr;
        return error;
    }
    mosquitto_loop_start(m_pMosq);

    std::string error;
    {
        std::unique_lock lock(m_mutex);
        const bool answered =
            m_cvReady.wait_for(lock, std::chrono::milliseconds(m_options.nConnectTimeoutMs),
                               [this] { return (m_bEchoSeen && m_bProbeSeen) || !m_sConnectError.empty(); });
        if (!m_sConnectError.empty())
            error = m_sConnectError;
        else if (!answered && m_bLinkUp)
            error = "the broker at " + where + " took the login but does not pass " + m_sUser + "'s " +
                    (m_bProbeSeen ? "presence" : "messages") + " back: check its access list";
        else if (!answered)
            error = "no answer from the broker at " + where;
        m_bConnecting = false;
    }
    if (!error.empty()) {
        Shutdown();
        return error;
    }
    TakeInputs(); // the presence of the users already online
    return {};
}

void CZylMqttHost::Shutdown() {
    if (!m_pMosq)
        return;
    mosquitto_disconnect(m_pMosq);
    mosquitto_loop_stop(m_pMosq, false);
    mosquitto_destroy(m_pMosq);
    m_pMosq = nullptr;
    m_bLinkUp = false;
    std::lock_guard lock(m_mutex);
    m_qInputs.clear();
}

void CZylMqttHost::Disconnect() {
    if (!m_pMosq)
        return;
    TakeInputs();
    for (auto& [peer, state] : m_mPeers)
        for (auto& [channel, link] : state.mLinks)
            if (link.eState != CLOSED)
                CloseChannel(peer, channel);

    // Once the broker holds the closings (and the PDUs before them) and the "offline", it hands
    // them on without us; the peers need not wait for their time-outs.
    if (m_bLinkUp && PublishPresence(m_pMosq, ZYL_PRESENCE_OFFLINE, nullptr)) {
        std::unique_lock lock(m_mutex);
        m_cvReady.wait_for(lock, std::chrono::milliseconds(m_options.nShutdownMs),
                           [this] { return m_nUnconfirmed <= 0 || !m_bLinkUp; });
    }
    Shutdown();

    for (auto& [peer, state] : m_mPeers) {
        TearDownPeer(peer, state, ZYL_OPEN_OFFLINE);
        if (state.bOnline)
            Emit(DLL_P2P_ON_USER_OFFLINE, peer);
    }
    m_mPeers.clear();
}

bool CZylMqttHost::PublishPresence(mosquitto* mosq, const char* state, int* mid) {
    mosquitto_property* props = nullptr;
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, kInstanceProperty,
                                       std::to_string(m_nInstance).c_str());
    if (strcmp(state, ZYL_PRESENCE_OFFLINE) == 0)
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, kLogoutProperty, "1");
    ++m_nUnconfirmed;
    const int rc = mosquitto_publish_v5(mosq, mid, m_sPresenceTopic.c_str(), static_cast<int>(strlen(state)),
                                        state, 1, true, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        --m_nUnconfirmed;
    return rc == MOSQ_ERR_SUCCESS;
}

void CZylMqttHost::Push(INPUT input) {
    {
        std::lock_guard lock(m_mutex);
        m_qInputs.push_back(std::move(input));
    }
    Signal();
}

void CZylMqttHost::Signal() {
    if (m_nWakeFd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_nWakeFd, &one, sizeof one);
}

void CZylMqttHost::TakeInputs() {
    std::deque<INPUT> inputs;
    {
        std::lock_guard lock(m_mutex);
        inputs.swap(m_qInputs);
    }
    for (INPUT& input : inputs) {
        switch (input.kind) {
        case INPUT::MESSAGE:
            HandleMessage(input.topic, input.body, input.text == kLogoutProperty);
            break;
        case INPUT::UP:
            OnBrokerBack();
            break;
        case INPUT::DOWN:
            m_qEvents.push_back({ZYL_EVENT_BROKER_DOWN, {}, 0, 0, 0, {}, input.text});
            break;
        case INPUT::ENDED:
            // Nothing more goes through this login: its channels are over.
            m_bEnded = true;
            for (auto& [peer, state] : m_mPeers)
                TearDownPeer(peer, state, ZYL_OPEN_OFFLINE);
            m_qEvents.push_back({ZYL_EVENT_BROKER_ENDED, {}, 0, 0, 0, {}, input.text});
            break;
        case INPUT::REFUSED:
            m_qEvents.push_back({ZYL_EVENT_BROKER_REFUSED, {}, 0, 0, 0, {}, input.text});
            break;
        }
    }
}

void CZylMqttHost::HandleMessage(const std::string& topic, const std::vector<uint8_t>& body, bool logout) {
    if (const auto user = ZylParsePresenceTopic(topic)) {
        HandlePresence(*user, std::string(body.begin(), body.end()), logout);
        return;
    }
    const auto pdu = ZylParsePduTopic(topic);
    if (!pdu || pdu->receiver != m_sUser || pdu->sender == m_sUser)
        return;
    HandleFrame(pdu->sender, pdu->channel, body);
}

void CZylMqttHost::HandlePresence(const std::string& user, const std::string& state, bool logout) {
    if (user == m_sUser)
        return;
    if (state != ZYL_PRESENCE_ONLINE) {
        // Anything else (a cleared retained message included) means gone: at once after a logout,
        // after the grace time when it may be a will.
        auto it = m_mPeers.find(user);
        if (it == m_mPeers.end() || !it->second.bOnline)
            return;
        if (logout)
            GoOffline(user, it->second);
        else if (!it->second.bGoing) {
            it->second.bGoing = true;
            it->second.nGoingSince = NowMs();
        }
        return;
    }
    PEER& peer = m_mPeers[user];
    if (!peer.bOnline) {
        peer.bOnline = true;
        Emit(DLL_P2P_ON_USER_ONLINE, user);
        return;
    }
    // Back within the grace time, or a new login of someone already online: what it has not
    // acknowledged may have been lost with its connection.
    peer.bGoing = false;
    for (auto& [channel, link] : peer.mLinks) {
        Resend(user, channel, link);
        // A new login of the peer knows nothing of our streams: an acknowledgement makes it say so.
        if (link.eState == OPEN)
            link.bAckDue = true;
    }
}

void CZylMqttHost::HandleFrame(const std::string& peer, int32_t channel, const std::vector<uint8_t>& body) {
    auto decoded = ZylDecodeFrame(body.data(), body.size());
    if (!decoded)
        return; // not one of ours
    ZYLFRAME& frame = *decoded;
    PEER& state = m_mPeers[peer];
    if (!state.mLinks.count(channel) && state.mLinks.size() >= kMaxLinksPerPeer)
        return; // a peer that makes up channel after channel
    LINK& link = state.mLinks[channel];
    if (frame.kind == ZYL_FRAME_ACK) {
        HandleAck(peer, channel, link, frame.stream, frame.sequence, ZylDecodeStreamRef(frame.payload));
        return;
    }
    if (frame.kind == ZYL_FRAME_RESET) {
        HandleReset(peer, channel, link, frame.stream, frame.sequence);
        return;
    }
    if (frame.sequence == 0)
        return;
    if (frame.stream != link.nRxStream) {
        const bool start =
            (frame.kind == ZYL_FRAME_OPEN || frame.kind == ZYL_FRAME_ACCEPT) && frame.sequence == 1;
        if (start && frame.stream > link.nRxStream) {
            link.nRxStream = frame.stream;
            link.nRxNext = 1;
            link.mEarly.clear();
            link.nEarlyBytes = 0;
        } else {
            // A newer stream whose first frame we have not seen: its sender keeps that frame until
            // we acknowledge it and so ignores the refusal; a sender that lost track of us ends the
            // stream. Frames of older streams are leftovers.
            if (frame.stream > link.nRxStream)
                Refuse(peer, channel, link, frame.stream);
            return;
        }
    }
    link.bAckDue = true;
    if (frame.sequence < link.nRxNext)
        return; // had it already
    if (frame.sequence > link.nRxNext) {
        if (!link.mEarly.count(frame.sequence) && link.mEarly.size() < kMaxEarlyFrames &&
            link.nEarlyBytes + frame.payload.size() <= kMaxEarlyBytes) {
            link.nEarlyBytes += frame.payload.size();
            link.mEarly.emplace(frame.sequence, std::move(frame));
        }
        return;
    }
    ++link.nRxNext;
    Deliver(peer, channel, link, frame);
    while (!link.mEarly.empty() && link.mEarly.begin()->first == link.nRxNext) {
        ZYLFRAME next = std::move(link.mEarly.begin()->second);
        link.mEarly.erase(link.mEarly.begin());
        link.nEarlyBytes -= next.payload.size();
        ++link.nRxNext;
        Deliver(peer, channel, link, next);
    }
}

void CZylMqttHost::Deliver(const std::string& peer, int32_t channel, LINK& link, ZYLFRAME& frame) {
    switch (frame.kind) {
    case ZYL_FRAME_OPEN:
        if (link.eState == OPEN) {
            // The peer opened anew, so its earlier opening is gone on its side.
            TearDown(peer, channel, link, ZYL_OPEN_REFUSED);
        }
        if (link.eState == OPENING) {
            // Both opened at once: each OPEN serves as the other's acceptance.
            link.eState = OPEN;
        } else {
            StartStream(link);
            const std::vector<uint8_t> ref = ZylEncodeStreamRef(frame.stream);
            Queue(peer, channel, link, ZYL_FRAME_ACCEPT, 0, ref.data(), ref.size());
            link.eState = OPEN;
        }
        Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_DONE);
        break;
    case ZYL_FRAME_ACCEPT: {
        const uint64_t opening = ZylDecodeStreamRef(frame.payload);
        if (link.bTxAlive && opening == link.nTxStream) {
            if (link.eState == OPENING) {
                link.eState = OPEN;
                Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_DONE);
            }
        } else {
            Refuse(peer, channel, link, frame.stream); // the answer to an opening given up here
        }
        break;
    }
    case ZYL_FRAME_DATA:
        if (link.eState == OPEN) {
            ZYLHOSTEVENT event{DLL_P2P_ON_DATA,          peer, channel, 0, frame.command,
                               std::move(frame.payload), {}};
            m_qEvents.push_back(std::move(event));
            if (!m_bPolling)
                Signal();
        } else {
            Refuse(peer, channel, link, link.nRxStream);
        }
        break;
    case ZYL_FRAME_CLOSE:
        if (link.eState == OPEN)
            TearDown(peer, channel, link, ZYL_OPEN_REFUSED);
        break;
    default:
        break;
    }
}

void CZylMqttHost::HandleAck(const std::string& peer, int32_t channel, LINK& link, uint64_t stream,
                             uint64_t sequence, uint64_t theirStream) {
    if (link.bTxAlive && stream == link.nTxStream) {
        bool progress = false;
        while (!link.qUnacked.empty() && link.qUnacked.front().sequence <= sequence) {
            link.qUnacked.pop_front();
            progress = true;
        }
        if (progress) {
            link.nLastProgress = NowMs();
            link.nRetransmitMs = m_options.nRetransmitMs;
        }
        if (link.qUnacked.empty() && link.eState == CLOSED)
            link.bTxAlive = false; // the closing arrived
        return;
    }
    // The peer acknowledges a stream of ours that is gone here, so it still takes its own stream
    // for open: tell it otherwise.
    if (theirStream != 0 && !(link.eState == OPEN && theirStream == link.nRxStream))
        Refuse(peer, channel, link, theirStream);
}

void CZylMqttHost::HandleReset(const std::string& peer, int32_t channel, LINK& link, uint64_t stream,
                               uint64_t taken) {
    if (!link.bTxAlive || stream != link.nTxStream)
        return;
    if (taken == 0 && !link.qUnacked.empty() && link.qUnacked.front().sequence == 1)
        return; // the peer has not seen our first frame yet (lost on the way); it goes again
    if (link.eState == CLOSED) {
        link.bTxAlive = false;
        link.qUnacked.clear();
        return;
    }
    TearDown(peer, channel, link, ZYL_OPEN_REFUSED);
}

void CZylMqttHost::Refuse(const std::string& peer, int32_t channel, LINK& link, uint64_t stream) {
    if (stream == 0)
        return;
    const uint64_t now = NowMs();
    if (link.nResetStream == stream && now - link.nResetTime < kRefuseEveryMs)
        return;
    link.nResetStream = stream;
    link.nResetTime = now;
    const uint64_t taken = stream == link.nRxStream ? link.nRxNext - 1 : 0;
    Publish(ZylPduTopic(peer, m_sUser, channel),
            ZylEncodeFrame(ZYL_FRAME_RESET, 0, stream, taken, nullptr, 0));
}

void CZylMqttHost::RunClocks() {
    const uint64_t now = NowMs();
    for (auto& [user, peer] : m_mPeers) {
        if (peer.bGoing && now - peer.nGoingSince >= m_options.nOfflineGraceMs)
            GoOffline(user, peer);
        for (auto& [channel, link] : peer.mLinks) {
            if (link.eState == OPENING && now >= link.nOpenDeadline) {
                TearDown(user, channel, link, ZYL_OPEN_NO_ANSWER);
            } else if (link.eState == CLOSED && link.bTxAlive && now >= link.nOpenDeadline) {
                link.bTxAlive = false; // a closing nobody acknowledges
                link.qUnacked.clear();
            }
            if (link.bTxAlive && !link.qUnacked.empty() && m_bLinkUp &&
                now - link.nLastProgress >= link.nRetransmitMs) {
                Resend(user, channel, link);
                link.nRetransmitMs = std::min(link.nRetransmitMs * 2, kMaxRetransmitMs);
            }
        }
    }
}

void CZylMqttHost::SendAcks() {
    if (!m_bLinkUp)
        return;
    for (auto& [user, peer] : m_mPeers)
        for (auto& [channel, link] : peer.mLinks) {
            if (!link.bAckDue || link.nRxStream == 0)
                continue;
            const uint64_t own = link.eState == OPEN && link.bTxAlive ? link.nTxStream : 0;
            const std::vector<uint8_t> ref = ZylEncodeStreamRef(own);
            if (Publish(ZylPduTopic(user, m_sUser, channel),
                        ZylEncodeFrame(ZYL_FRAME_ACK, 0, link.nRxStream, link.nRxNext - 1, ref.data(),
                                       ref.size())))
                link.bAckDue = false;
        }
}

void CZylMqttHost::OnBrokerBack() {
    m_qEvents.push_back({ZYL_EVENT_BROKER_UP, {}, 0, 0, 0, {}, {}});
    const uint64_t now = NowMs();
    for (auto& [user, peer] : m_mPeers) {
        // Users that do not show up again (their retained presence or a new "online") within the
        // grace time went away while we could not hear it.
        if (peer.bOnline) {
            peer.bGoing = true;
            peer.nGoingSince = now;
        }
        for (auto& [channel, link] : peer.mLinks) {
            Resend(user, channel, link);
            // An acknowledgement also asks the peer whether our opening still stands there.
            if (link.eState == OPEN)
                link.bAckDue = true;
        }
    }
}

uint64_t CZylMqttHost::NewStream() {
    const auto micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
    m_nLastStream = std::max(m_nLastStream + 1, micros);
    return m_nLastStream;
}

void CZylMqttHost::StartStream(LINK& link) {
    link.nTxStream = NewStream();
    link.nTxNext = 1;
    link.qUnacked.clear();
    link.bTxAlive = true;
    link.nRetransmitMs = m_options.nRetransmitMs;
    link.nLastProgress = NowMs();
}

void CZylMqttHost::Queue(const std::string& peer, int32_t channel, LINK& link, uint8_t kind, uint32_t command,
                         const void* payload, size_t length) {
    TXFRAME frame{link.nTxNext++, kind == ZYL_FRAME_DATA ? length : 0,
                  ZylEncodeFrame(kind, command, link.nTxStream, link.nTxNext - 1, payload, length)};
    if (link.qUnacked.empty())
        link.nLastProgress = NowMs();
    link.qUnacked.push_back(std::move(frame));
    Publish(ZylPduTopic(peer, m_sUser, channel), link.qUnacked.back().body);
}

void CZylMqttHost::Resend(const std::string& peer, int32_t channel, LINK& link) {
    if (!link.bTxAlive || link.qUnacked.empty() || !m_bLinkUp)
        return;
    const std::string topic = ZylPduTopic(peer, m_sUser, channel);
    for (const TXFRAME& frame : link.qUnacked)
        Publish(topic, frame.body);
    link.nLastProgress = NowMs();
}

bool CZylMqttHost::Publish(const std::string& topic, const std::vector<uint8_t>& body, bool retain,
                           int* mid) {
    if (!m_pMosq || !m_bLinkUp)
        return false; // kept for the resend once the broker is back
    ++m_nUnconfirmed; // before: the broker's acknowledgement may come first
    if (mosquitto_publish(m_pMosq, mid, topic.c_str(), static_cast<int>(body.size()), body.data(), 1,
                          retain) == MOSQ_ERR_SUCCESS)
        return true;
    --m_nUnconfirmed;
    return false;
}

void CZylMqttHost::TearDown(const std::string& peer, int32_t channel, LINK& link, int32_t openStatus) {
    if (link.eState == OPEN)
        Emit(DLL_P2P_ON_DISCONNECT, peer, channel, 0);
    else if (link.eState == OPENING)
        Emit(DLL_P2P_ON_CONNECT, peer, channel, openStatus);
    link.eState = CLOSED;
    link.bTxAlive = false;
    link.qUnacked.clear();
}

void CZylMqttHost::GoOffline(const std::string& user, PEER& peer) {
    peer.bGoing = false;
    peer.bOnline = false;
    TearDownPeer(user, peer, ZYL_OPEN_OFFLINE);
    Emit(DLL_P2P_ON_USER_OFFLINE, user);
}

void CZylMqttHost::TearDownPeer(const std::string& peer, PEER& state, int32_t openStatus) {
    for (auto& [channel, link] : state.mLinks) {
        TearDown(peer, channel, link, openStatus);
        link.mEarly.clear();
        link.nEarlyBytes = 0;
    }
}

void CZylMqttHost::Emit(uint32_t kind, const std::string& peer, int32_t channel, int32_t status) {
    m_qEvents.push_back({kind, peer, channel, status, 0, {}, {}});
    if (!m_bPolling)
        Signal();
}

size_t CZylMqttHost::InFlight(const PEER& state) const {
    size_t bytes = 0;
    for (const auto& [channel, link] : state.mLinks)
        for (const TXFRAME& frame : link.qUnacked)
            bytes += frame.nPayload;
    return bytes;
}

void CZylMqttHost::OpenChannel(const std::string& peer, int32_t channel) {
    if (!m_pMosq || !ZylIsValidMqttUserId(peer) || peer == m_sUser || channel <= 0) {
        Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_OFFLINE);
        return;
    }
    TakeInputs();
    PEER& state = m_mPeers[peer];
    LINK& link = state.mLinks[channel];
    if (link.eState != CLOSED)
        return;
    if (!state.bOnline) {
        Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_OFFLINE);
        return;
    }
    StartStream(link);
    Queue(peer, channel, link, ZYL_FRAME_OPEN, 0, nullptr, 0);
    link.eState = OPENING;
    link.nOpenDeadline = NowMs() + m_options.nOpenTimeoutMs;
}

void CZylMqttHost::CloseChannel(const std::string& peer, int32_t channel) {
    TakeInputs();
    auto it = m_mPeers.find(peer);
    if (it == m_mPeers.end())
        return;
    auto lit = it->second.mLinks.find(channel);
    if (lit == it->second.mLinks.end() || lit->second.eState == CLOSED)
        return;
    LINK& link = lit->second;
    const bool wasOpen = link.eState == OPEN;
    if (link.bTxAlive)
        Queue(peer, channel, link, ZYL_FRAME_CLOSE, 0, nullptr, 0);
    link.eState = CLOSED;
    link.nOpenDeadline = NowMs() + kClosingGiveUpMs;
    if (wasOpen)
        Emit(DLL_P2P_ON_DISCONNECT, peer, channel, 0);
}

int32_t CZylMqttHost::Send(const std::string& peer, int32_t channel, uint32_t command, const void* payload,
                           int32_t length) {
    if (!m_pMosq || length < 0 || length > kMaxPdu || (length > 0 && !payload))
        return -1;
    TakeInputs();
    auto it = m_mPeers.find(peer);
    if (it == m_mPeers.end())
        return -1;
    auto lit = it->second.mLinks.find(channel);
    if (lit == it->second.mLinks.end() || lit->second.eState != OPEN)
        return -1;
    size_t frames = 0;
    for (const auto& [other, link] : it->second.mLinks)
        frames += link.qUnacked.size();
    const size_t bytes = InFlight(it->second);
    if (frames >= m_options.nInFlightFrames ||
        (bytes > 0 && bytes + static_cast<size_t>(length) > m_options.nInFlightBytes))
        return 0;
    Queue(peer, channel, lit->second, ZYL_FRAME_DATA, command, payload, static_cast<size_t>(length));
    return 1;
}

int CZylMqttHost::Poll(const Handler& handler) {
    if (m_bPolling)
        return 0;
    m_bPolling = true;
    struct POLLGUARD {
        bool& flag;
        ~POLLGUARD() { flag = false; }
    } guard{m_bPolling}; // also when a handler throws
    uint64_t counter = 0;
    [[maybe_unused]] const ssize_t got = read(m_nWakeFd, &counter, sizeof counter);
    TakeInputs();
    RunClocks();
    SendAcks();
    // Events that handlers cause join the line; a bound keeps a handler that keeps causing
    // events from holding the owner here for ever.
    size_t limit = m_qEvents.size() + 10000;
    int count = 0;
    while (!m_qEvents.empty() && limit-- > 0) {
        ZYLHOSTEVENT event = std::move(m_qEvents.front());
        m_qEvents.pop_front();
        ++count;
        if (handler)
            handler(event);
    }
    SendAcks(); // for what the handlers' calls took in
    if (!m_qEvents.empty())
        Signal();
    return count;
}

bool CZylMqttHost::Wait(int timeoutMs) {
    if (!m_qEvents.empty())
        return true;
    pollfd fd{m_nWakeFd, POLLIN, 0};
    return ::poll(&fd, 1, timeoutMs) > 0;
}

bool CZylMqttHost::IsOnline(const std::string& peer) {
    TakeInputs();
    auto it = m_mPeers.find(peer);
    return it != m_mPeers.end() && it->second.bOnline;
}

bool CZylMqttHost::IsChannelOpen(const std::string& peer, int32_t channel) {
    TakeInputs();
    auto it = m_mPeers.find(peer);
    if (it == m_mPeers.end())
        return false;
    auto lit = it->second.mLinks.find(channel);
    return lit != it->second.mLinks.end() && lit->second.eState == OPEN;
}

std::vector<std::string> CZylMqttHost::GetOnlineUsers() {
    TakeInputs();
    std::vector<std::string> users;
    for (const auto& [user, peer] : m_mPeers)
        if (peer.bOnline)
            users.push_back(user);
    return users;
}

size_t CZylMqttHost::GetBytesInFlight(const std::string& peer) {
    TakeInputs();
    auto it = m_mPeers.find(peer);
    return it == m_mPeers.end() ? 0 : InFlight(it->second);
}
