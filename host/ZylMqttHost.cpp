#include "host/ZylMqttHost.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kMaxRetransmitMs = 8000;
constexpr uint64_t kRefuseEveryMs = 500;
constexpr uint64_t kClosingGiveUpMs = 30000;
constexpr size_t kMaxLinksPerPeer = 64;
// What a held message or frame costs beyond its bytes (the record, the topic, the map's node).
constexpr size_t kHeldOverhead = 256;
// Room for the topic and properties beside the frame, in the largest packet the broker may send.
constexpr uint32_t kMaxPacket = ZYL_FRAME_MAX_SIZE + 1024;
// Each kind of drop is told at most this often, so that a flood does not flood the log too.
constexpr uint64_t kTellDropsEveryMs = 60000;
// Frames go at most once: the transport numbers, acknowledges and resends them itself, and the
// broker's own acknowledgement of each message would only double the packets (and on a broker
// with Nagle's algorithm on, hold the next message back). The login's probe and the presence
// keep QoS 1: the login learns from their acknowledgements whether the access list fits.
constexpr int kFrameQos = 0;
// Frames to one peer wait for the end of the owner's turn, so that what one turn sends travels
// in a few messages; once this much waits, a message leaves at once.
constexpr size_t kSendAtBytes = 32 << 10;

// A broker that leaves Nagle's algorithm on (mosquitto does unless told otherwise) holds a small
// packet back until the one before it is acknowledged, and Linux delays that acknowledgement by up
// to 40 ms when this side has nothing to send at once: every request and every end of a message
// would wait that long. Acknowledging what was read before waiting for more keeps it moving; the
// kernel drops out of this mode by itself, so it is asked again after every read.
void AckAtOnce(int fd) {
    if (fd < 0)
        return;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::once_flag g_libInit;

// Where Debian keeps the authorities the system trusts (the ca-certificates package).
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

// Makes the client speak TLS, verifying the broker's certificate and host name (libmosquitto's
// default, never relaxed here) against the CA file or the system's authorities. An error text.
std::string UseTls(mosquitto* mosq, const std::string& ca) {
    if (!ca.empty() && access(ca.c_str(), R_OK) != 0)
        return "cannot read the CA file " + ca + ": " + strerror(errno);
    if (mosquitto_tls_set(mosq, ca.empty() ? nullptr : ca.c_str(), ca.empty() ? kSystemCaPath : nullptr,
                          nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
        return "cannot use " + (ca.empty() ? std::string(kSystemCaPath) : ca) + " to verify the broker";
    return {};
}

// Why a TLS handshake failed, in words: what the TLS library said, with what was checked.
std::string TlsRefusalText(const ZYLBROKERADDRESS& broker, const std::string& caFile, std::string said) {
    const std::string against = caFile.empty() ? "the system's authorities" : caFile;
    if (const size_t at = said.rfind("::"); at != std::string::npos)
        said = said.substr(at + 2); // "error:0A000086:SSL routines::certificate verify failed"
    return "refused the broker at " + broker.Text() + ": its TLS certificate does not verify against " +
           against + " for that host name" + (said.empty() ? std::string() : " (" + said + ")");
}

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

std::string ReadStringProperty(const mosquitto_property* props, int identifier) {
    char* value = nullptr;
    if (!mosquitto_property_read_string(props, identifier, &value, false) || !value)
        return {};
    std::string text = value;
    free(value);
    return text;
}

// The login carries one topic, that of its will (the user's presence): a broker that refuses the
// topic says "topic name invalid", or "not authorised" as for a wrong password.
std::string WillRefusalText(const std::string& user) {
    return "connection refused: the broker does not take " + ZylPresenceTopic(user) + " as the will of " +
           user + "'s login (its access list must let " + user + " write that topic)";
}

// The broker's answer to a login in words; wrong credentials read the same whichever code it used.
std::string RefusalText(int rc, const std::string& user, const mosquitto_property* props) {
    std::string text;
    switch (rc) {
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
    case CONNACK_REFUSED_NOT_AUTHORIZED:
        text = "connection refused: not authorised";
        break;
    case MQTT_RC_TOPIC_NAME_INVALID:
        text = WillRefusalText(user);
        break;
    default:
        text = "connection refused: " +
               Lower(rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
        break;
    }
    const std::string reason = ReadStringProperty(props, MQTT_PROP_REASON_STRING);
    return reason.empty() ? text : text + " (the broker says: " + reason + ")";
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

// A refused subscription by the broker's reason: only "not authorised" is its access list.
std::string SubscriptionRefusalText(int reason, const std::string& user, const std::string& filter,
                                    const std::string& what) {
    if (reason == MQTT_RC_NOT_AUTHORIZED)
        return "the broker's access list does not let " + user + " " + what;
    return "the broker refused " + user + "'s subscription to " + filter + ": " + LossText(reason);
}

// Whether the broker takes the same login without a will: when it does, the will was what it
// refused. A client of its own (another client id), so that no session of the user is disturbed.
bool LoginPassesWithoutWill(const ZYLBROKERADDRESS& broker, const std::string& user,
                            const std::string& password, uint32_t timeoutMs, bool tls,
                            const std::string& ca) {
    int answer = -1;
    mosquitto* probe = mosquitto_new((user + "-login-check").c_str(), true, &answer);
    if (!probe)
        return false;
    if (tls && !UseTls(probe, ca).empty()) {
        mosquitto_destroy(probe);
        return false;
    }
    mosquitto_int_option(probe, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_username_pw_set(probe, user.c_str(), password.c_str());
    mosquitto_connect_v5_callback_set(probe, [](mosquitto*, void* obj, int rc, int,
                                                const mosquitto_property*) { *static_cast<int*>(obj) = rc; });
    if (mosquitto_connect(probe, broker.sHost.c_str(), broker.nPort, 10) == MOSQ_ERR_SUCCESS) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (answer < 0 && std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(probe, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        if (answer == 0 && mosquitto_disconnect(probe) == MOSQ_ERR_SUCCESS)
            mosquitto_loop(probe, 50, 1); // sends the logout
    }
    mosquitto_destroy(probe);
    return answer == 0;
}

} // namespace

std::string ZYLBROKERADDRESS::Text() const {
    return (sHost.find(':') != std::string::npos ? "[" + sHost + "]" : sHost) + ":" + std::to_string(nPort);
}

std::string ZylParseBrokerAddress(std::string_view text, ZYLBROKERADDRESS& address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return "a broker is HOST:PORT, not '" + std::string(text) + "'";
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string_view port = text.substr(colon + 1);
    int number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (host.empty() || ec != std::errc() || end != port.data() + port.size() || number <= 0 ||
        number > 65535)
        return "the broker port must be a number from 1 to 65535, not '" + std::string(port) + "'";
    address.sHost = std::string(host);
    address.nPort = number;
    return {};
}

// libmosquitto calls these on the network thread: they only file what happened for the owner.
struct ZylMqttCallbacks {
    static void OnConnect(mosquitto* mosq, void* obj, int rc, int /*flags*/,
                          const mosquitto_property* props) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        self->m_bHandshaking = false;
        if (rc == 0) {
            // Subscribing before announcing ourselves: the broker hands out the retained presence
            // of the others before it passes our own "online" back to us.
            // The keys first, so that a peer's key is known before it shows up online.
            mosquitto_subscribe(mosq, &self->m_nPduSubMid, ZylPduSubscription(self->m_sUser).c_str(), 1);
            mosquitto_subscribe(mosq, &self->m_nKeySubMid, ZYL_KEY_SUBSCRIPTION, 1);
            mosquitto_subscribe(mosq, &self->m_nPresenceSubMid, ZYL_PRESENCE_SUBSCRIPTION, 1);
            // At the first login a frame to ourselves (on channel 0, which no host uses) proves
            // that the access list lets us send and receive frames. The broker's acknowledgements
            // are handled on this thread after we return, so the ids are stored in time.
            int probe = -1;
            if (self->m_bConnecting) {
                ++self->m_nUnconfirmed; // its acknowledgement counts down like every other
                if (mosquitto_publish(mosq, &probe, ZylPduTopic(self->m_sUser, self->m_sUser, 0).c_str(), 0,
                                      nullptr, 1, false) != MOSQ_ERR_SUCCESS)
                    --self->m_nUnconfirmed;
            }
            // Our key, retained, ahead of our "online" (again at each login: a broker without
            // persistence forgets it when it restarts).
            int key = -1;
            ++self->m_nUnconfirmed;
            const ZYLKEY& own = self->m_keys.PublicKey();
            if (mosquitto_publish(mosq, &key, self->m_sKeyTopic.c_str(), static_cast<int>(own.size()),
                                  own.data(), 1, true) != MOSQ_ERR_SUCCESS)
                --self->m_nUnconfirmed;
            int presence = -1;
            self->PublishPresence(mosq, ZYL_PRESENCE_ONLINE, &presence);
            self->m_bLinkUp = true;
            self->m_bRefusalTold = false;
            std::lock_guard lock(self->m_mutex);
            if (self->m_bConnecting) {
                self->m_nProbeMid = probe;
                self->m_nPresenceMid = presence;
                self->m_nKeyMid = key;
                return;
            }
        }
        const std::string refusal = rc == 0 ? std::string() : RefusalText(rc, self->m_sUser, props);
        std::unique_lock lock(self->m_mutex);
        if (self->m_bConnecting) {
            if (rc != 0) {
                self->m_sConnectError = refusal;
                self->m_nConnectRefusal = rc;
            }
            self->m_cvReady.notify_all();
            return;
        }
        lock.unlock();
        const std::string where = self->m_vBrokers[self->m_nBroker].Text();
        if (rc == 0) {
            self->Push(CZylMqttHost::INPUT::UP, "logged in again at the broker at " + where);
        } else if (IsFinalRefusal(rc)) {
            self->m_bGaveUp = true; // no point in trying again
            self->Push(CZylMqttHost::INPUT::ENDED, refusal);
            mosquitto_disconnect(mosq);
        } else {
            self->Push(CZylMqttHost::INPUT::DOWN, "the broker at " + where + ": " + refusal);
        }
    }

    static void OnLog(mosquitto*, void* obj, int level, const char* text) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        if (level == MOSQ_LOG_ERR && text && strncmp(text, "OpenSSL Error", 13) == 0 &&
            self->m_bHandshaking) {
            std::lock_guard lock(self->m_mutex);
            self->m_sTlsError = text;
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
                self->m_sConnectError = self->m_sTlsError.empty()
                                            ? "the broker closed the connection: " + LossText(rc)
                                            : TlsRefusalText(self->m_vBrokers[self->m_nBroker],
                                                             self->m_security.sCaFile, self->m_sTlsError);
            return;
        }
        lock.unlock();
        if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
            self->m_bGaveUp = true;
            self->Push(CZylMqttHost::INPUT::ENDED, kLoggedInElsewhere);
            mosquitto_disconnect(mosq);
        } else {
            self->Push(CZylMqttHost::INPUT::DOWN, "lost the broker at " +
                                                      self->m_vBrokers[self->m_nBroker].Text() + ": " +
                                                      LossText(rc));
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
        const std::string topic = message->topic ? message->topic : "";
        // libmosquitto has read it already; not one more copy of what no frame can be.
        const size_t size = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
        if (size > ZYL_FRAME_MAX_SIZE) {
            self->Push(CZylMqttHost::INPUT::DROPPED,
                       "dropped a message of " + std::to_string(size) + " bytes on " + topic +
                           ": larger than a frame can be (" + std::to_string(ZYL_FRAME_MAX_SIZE) + " bytes)");
            return;
        }
        if (topic == self->m_sProbeTopic || topic == self->m_sKeyTopic) {
            std::lock_guard lock(self->m_mutex);
            (topic == self->m_sProbeTopic ? self->m_bProbeSeen : self->m_bKeySeen) = true;
            self->m_cvReady.notify_all();
            return;
        }
        if (topic == self->m_sPresenceTopic) {
            const uint64_t instance =
                strtoull(ReadUserProperty(props, kInstanceProperty).c_str(), nullptr, 10);
            const bool online =
                std::string_view(static_cast<const char*>(message->payload), size) == ZYL_PRESENCE_ONLINE;
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
                self->m_bGaveUp = true;
                mosquitto_disconnect(mosq);
                self->Push(CZylMqttHost::INPUT::ENDED, kLoggedInElsewhere);
            }
            return;
        }
        // What one sender has waiting for the owner thread is bounded: beyond it, its frames are
        // dropped here (they come again) rather than held.
        std::string sender;
        if (const auto pdu = ZylParsePduTopic(topic))
            sender = pdu->sender;
        else if (const auto user = ZylParsePresenceTopic(topic))
            sender = *user;
        else if (const auto owner = ZylParseKeyTopic(topic))
            sender = *owner;
        else
            return; // no topic of ours
        const size_t cost = size + topic.size() + kHeldOverhead;
        {
            std::lock_guard lock(self->m_mutex);
            CZylMqttHost::BACKLOG& backlog = self->m_mBacklog[sender];
            if (backlog.nBytes + cost > self->m_options.nBacklogBytes) {
                ++backlog.nDropped;
                return;
            }
            backlog.nBytes += cost;
        }
        CZylMqttHost::INPUT input{CZylMqttHost::INPUT::MESSAGE, topic, {}, {}, sender, false};
        if (size > 0) {
            const auto* p = static_cast<const uint8_t*>(message->payload);
            input.body.assign(p, p + size);
        }
        input.bLogout = ReadUserProperty(props, kLogoutProperty) == "1"; // a deliberate "offline", not a will
        self->Push(std::move(input));
    }

    // A broker whose access list does not fit the topics refuses what a login needs: say so
    // rather than wait in vain. Later (logged in again, perhaps at another broker) it is told.
    static void Refused(CZylMqttHost* self, const std::string& text) {
        std::unique_lock lock(self->m_mutex);
        if (self->m_bConnecting) {
            if (self->m_sConnectError.empty()) {
                self->m_sConnectError = text;
                self->m_cvReady.notify_all();
            }
            return;
        }
        lock.unlock();
        self->Push(CZylMqttHost::INPUT::REFUSED, text);
    }

    static void OnSubscribe(mosquitto*, void* obj, int mid, int count, const int* granted,
                            const mosquitto_property*) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        const bool presence = mid == self->m_nPresenceSubMid;
        const bool keys = mid == self->m_nKeySubMid;
        const std::string filter = presence ? ZYL_PRESENCE_SUBSCRIPTION
                                   : keys   ? ZYL_KEY_SUBSCRIPTION
                                            : ZylPduSubscription(self->m_sUser);
        for (int i = 0; i < count; ++i)
            if (granted[i] >= 128)
                Refused(self, SubscriptionRefusalText(granted[i], self->m_sUser, filter,
                                                      presence ? "read the presence of others"
                                                      : keys   ? "read the keys of others"
                                                               : "receive its messages"));
    }

    static void OnPublish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
        auto* self = static_cast<CZylMqttHost*>(obj);
        bool connecting = false;
        if (reason >= 128 &&
            (mid == self->m_nPresenceMid || mid == self->m_nProbeMid || mid == self->m_nKeyMid)) {
            std::lock_guard lock(self->m_mutex);
            connecting = self->m_bConnecting;
        }
        if (connecting)
            Refused(self, "the broker's access list does not let " + self->m_sUser + " " +
                              (mid == self->m_nPresenceMid ? "announce itself"
                               : mid == self->m_nKeyMid    ? "publish its key"
                                                           : "send messages"));
        if (--self->m_nUnconfirmed <= 0) {
            std::lock_guard lock(self->m_mutex); // so that a waiter cannot miss it
            self->m_cvReady.notify_all();
        }
        if (reason >= 128 && !connecting && !self->m_bRefusalTold.exchange(true))
            self->Push(CZylMqttHost::INPUT::REFUSED, "the broker refused a message: " + LossText(reason));
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
    return Connect(std::vector<ZYLBROKERADDRESS>{{host, port}}, user, password);
}

std::string CZylMqttHost::Connect(const std::vector<ZYLBROKERADDRESS>& brokers, const std::string& user,
                                  const std::string& password) {
    if (m_pMosq && m_bEnded)
        Disconnect();
    if (m_pMosq)
        return "already connected as " + m_sUser;
    if (!ZylIsValidMqttUserId(user))
        return "the user id \"" + user + "\" cannot be a broker user name";
    const std::string spelling = ZylCanonicalUserId(user);
    if (spelling.empty())
        return "\"" + user + "\" is not a user id like S1.1000";
    if (spelling != user)
        return "the user id \"" + user + "\" is written " + spelling +
               ", and only that spelling speaks for it";
    if (brokers.empty())
        return "no broker to log in to";
    for (const ZYLBROKERADDRESS& broker : brokers)
        if (broker.nPort <= 0 || broker.nPort > 65535)
            return "the broker port " + std::to_string(broker.nPort) + " is out of range";
    if (m_nWakeFd < 0)
        return std::string("cannot create the wake-up descriptor: ") + strerror(errno);
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    if (std::string error = m_keys.Open(m_security.pKeyFolder); !error.empty())
        return error;

    m_sUser = user;
    m_sKeyTopic = ZylKeyTopic(user);
    m_bEnded = false;
    m_sPresenceTopic = ZylPresenceTopic(user);
    m_sProbeTopic = ZylPduTopic(user, user, 0);
    m_nInstance = NewStream();
    m_mPeers.clear();
    m_sDue.clear();
    m_bFlushDue = false;
    m_mDropsTold.clear();
    m_stats = {};
    m_vBrokers = brokers;
    m_pMosq = mosquitto_new(user.c_str(), true, this);
    if (!m_pMosq)
        return "cannot create the broker client";
    // The network thread is ours, so that it can move to the next broker of the list.
    mosquitto_threaded_set(m_pMosq, true);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_RECEIVE_MAXIMUM, 100);
    mosquitto_int_option(m_pMosq, MOSQ_OPT_SEND_MAXIMUM, 100);
    mosquitto_username_pw_set(m_pMosq, user.c_str(), password.c_str());
    const bool tls =
        m_security.nTls > 0 ||
        (m_security.nTls < 0 && std::any_of(brokers.begin(), brokers.end(), [](const auto& broker) {
             return broker.nPort == ZYL_MQTT_TLS_PORT;
         }));
    if (tls) {
        if (std::string error = UseTls(m_pMosq, m_security.sCaFile); !error.empty()) {
            Shutdown();
            return error;
        }
        mosquitto_log_callback_set(m_pMosq, ZylMqttCallbacks::OnLog);
    }
    mosquitto_property* willProps = nullptr;
    mosquitto_property_add_string_pair(&willProps, MQTT_PROP_USER_PROPERTY, kInstanceProperty,
                                       std::to_string(m_nInstance).c_str());
    if (mosquitto_will_set_v5(m_pMosq, m_sPresenceTopic.c_str(),
                              static_cast<int>(strlen(ZYL_PRESENCE_OFFLINE)), ZYL_PRESENCE_OFFLINE, 1, true,
                              willProps) != MOSQ_ERR_SUCCESS)
        mosquitto_property_free_all(&willProps); // the library owns it only on success
    // The broker is not to send a packet that cannot hold a frame: it drops it instead, so that a
    // message of hundreds of megabytes from another account never reaches this process.
    mosquitto_property_add_int32(&m_pConnectProps, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxPacket);
    mosquitto_connect_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnConnect);
    mosquitto_disconnect_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnDisconnect);
    mosquitto_message_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnMessage);
    mosquitto_publish_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnPublish);
    mosquitto_subscribe_v5_callback_set(m_pMosq, ZylMqttCallbacks::OnSubscribe);
    {
        std::lock_guard lock(m_mutex);
        m_qInputs.clear();
        m_mBacklog.clear();
        m_bConnecting = true;
        m_bEchoSeen = false;
        m_bProbeSeen = false;
        m_bKeySeen = false;
        m_nProbeMid = m_nPresenceMid = m_nKeyMid = -1;
        m_sConnectError.clear();
        m_sTlsError.clear();
        m_nConnectRefusal = 0;
        m_nUnconfirmed = 0;
    }
    m_bGaveUp = false;

    // The first broker of the list that can be reached takes the login.
    std::string unreachable;
    int rc = MOSQ_ERR_NO_CONN;
    for (m_nBroker = 0; m_nBroker < m_vBrokers.size(); ++m_nBroker) {
        const ZYLBROKERADDRESS& broker = m_vBrokers[m_nBroker];
        m_bHandshaking = true;
        rc = mosquitto_connect_bind_v5(m_pMosq, broker.sHost.c_str(), broker.nPort,
                                       m_options.nKeepAliveSeconds, nullptr, m_pConnectProps);
        if (rc == MOSQ_ERR_SUCCESS)
            break;
        const std::string why = rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : LossText(rc);
        std::string said;
        if (rc == MOSQ_ERR_TLS) {
            std::lock_guard lock(m_mutex);
            said = std::exchange(m_sTlsError, {});
        }
        unreachable += (unreachable.empty() ? "" : "; ") +
                       (rc == MOSQ_ERR_EAI   ? "cannot find the broker host \"" + broker.sHost + "\""
                        : rc == MOSQ_ERR_TLS ? TlsRefusalText(broker, m_security.sCaFile, said)
                                             : "cannot reach the broker at " + broker.Text() + ": " + why);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Shutdown();
        return unreachable;
    }
    const ZYLBROKERADDRESS broker = m_vBrokers[m_nBroker]; // the network thread moves on by itself
    const std::string where = broker.Text();
    StartNetwork();

    std::string error;
    {
        std::unique_lock lock(m_mutex);
        const bool answered =
            m_cvReady.wait_for(lock, std::chrono::milliseconds(m_options.nConnectTimeoutMs), [this] {
                return (m_bEchoSeen && m_bProbeSeen && m_bKeySeen) || !m_sConnectError.empty();
            });
        if (!m_sConnectError.empty())
            error = m_sConnectError;
        else if (!answered && m_bLinkUp)
            error = "the broker at " + where + " took the login but does not pass " + m_sUser + "'s " +
                    (!m_bProbeSeen ? "messages"
                     : !m_bKeySeen ? "key"
                                   : "presence") +
                    " back: check its access list";
        else if (!answered)
            error = "no answer from the broker at " + where;
        m_bConnecting = false;
    }
    if (!error.empty()) {
        const bool notAuthorised = m_nConnectRefusal == MQTT_RC_NOT_AUTHORIZED;
        Shutdown();
        if (notAuthorised && LoginPassesWithoutWill(broker, user, password, m_options.nConnectTimeoutMs, tls,
                                                    m_security.sCaFile))
            error = WillRefusalText(user);
        return error;
    }
    TakeInputs(); // the presence of the users already online
    return {};
}

void CZylMqttHost::StartNetwork() {
    m_bStopNetwork = false;
    m_tNetwork = std::thread([this] { RunNetwork(); });
}

void CZylMqttHost::RunNetwork() {
    while (!m_bStopNetwork) {
        const int rc = mosquitto_loop(m_pMosq, 1000, 1);
        AckAtOnce(mosquitto_socket(m_pMosq));
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        // The connection is gone (or the last attempt failed): after a pause, the next broker.
        {
            std::unique_lock lock(m_mutex);
            if (!m_sTlsError.empty()) {
                // The handshake failed in the loop: the broker's certificate did not verify.
                const std::string text =
                    TlsRefusalText(m_vBrokers[m_nBroker], m_security.sCaFile, std::exchange(m_sTlsError, {}));
                if (m_bConnecting) {
                    if (m_sConnectError.empty())
                        m_sConnectError = text;
                    m_cvReady.notify_all();
                } else {
                    lock.unlock();
                    Push(INPUT::DOWN, text);
                    lock.lock();
                }
            }
            m_cvNetwork.wait_for(lock, std::chrono::milliseconds(m_options.nReconnectMs),
                                 [this] { return m_bStopNetwork.load(); });
            if (m_bGaveUp)
                m_cvNetwork.wait(lock, [this] { return m_bStopNetwork.load(); });
        }
        if (m_bStopNetwork)
            break;
        m_nBroker = (m_nBroker + 1) % m_vBrokers.size();
        const ZYLBROKERADDRESS& broker = m_vBrokers[m_nBroker];
        // A failure shows in the next round of the loop, which then waits and moves on.
        m_bHandshaking = true;
        mosquitto_connect_bind_v5(m_pMosq, broker.sHost.c_str(), broker.nPort, m_options.nKeepAliveSeconds,
                                  nullptr, m_pConnectProps);
    }
}

void CZylMqttHost::Shutdown() {
    if (!m_pMosq)
        return;
    if (m_tNetwork.joinable()) {
        // The logout goes out before the thread ends, so that the broker does not publish the will.
        if (mosquitto_disconnect(m_pMosq) == MOSQ_ERR_SUCCESS) {
            std::unique_lock lock(m_mutex);
            m_cvReady.wait_for(lock, std::chrono::milliseconds(m_options.nShutdownMs),
                               [this] { return !m_bLinkUp; });
        }
        {
            std::lock_guard lock(m_mutex);
            m_bStopNetwork = true;
            m_cvNetwork.notify_all();
        }
        m_tNetwork.join();
    }
    mosquitto_destroy(m_pMosq);
    m_pMosq = nullptr;
    mosquitto_property_free_all(&m_pConnectProps);
    m_bLinkUp = false;
    std::lock_guard lock(m_mutex);
    m_qInputs.clear();
    m_mBacklog.clear();
}

void CZylMqttHost::Disconnect() {
    if (!m_pMosq)
        return;
    TakeInputs();
    for (auto& [peer, state] : m_mPeers)
        for (auto& [channel, link] : state.mLinks)
            if (link.eState != CLOSED)
                CloseChannel(peer, channel);
    Flush();

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
    m_sDue.clear();
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

void CZylMqttHost::Push(INPUT::EKind kind, std::string text) {
    Push({kind, {}, {}, std::move(text), {}, false});
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
    std::vector<std::pair<std::string, uint64_t>> dropped;
    {
        std::lock_guard lock(m_mutex);
        inputs.swap(m_qInputs);
        // Everything waiting is taken: the senders' backlogs start again from nothing.
        for (auto it = m_mBacklog.begin(); it != m_mBacklog.end();) {
            if (it->second.nDropped > 0)
                dropped.emplace_back(it->first, it->second.nDropped);
            it = m_mBacklog.erase(it);
        }
    }
    for (const auto& [sender, count] : dropped)
        TellDropped("backlog " + sender, "dropped " + std::to_string(count) + " message(s) of " + sender +
                                             ": more than " + std::to_string(m_options.nBacklogBytes) +
                                             " bytes of its messages were waiting (its frames come again)");
    for (INPUT& input : inputs) {
        switch (input.kind) {
        case INPUT::MESSAGE:
            HandleMessage(input.topic, input.body, input.bLogout);
            break;
        case INPUT::DROPPED:
            TellDropped("oversized", input.text);
            break;
        case INPUT::UP:
            OnBrokerBack(input.text);
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
        if (*user != m_sUser && IsSpeaker(*user))
            HandlePresence(*user, std::string(body.begin(), body.end()), logout);
        return;
    }
    if (const auto owner = ZylParseKeyTopic(topic)) {
        if (*owner != m_sUser && IsSpeaker(*owner))
            HandleKey(*owner, body);
        return;
    }
    const auto pdu = ZylParsePduTopic(topic);
    if (!pdu || pdu->receiver != m_sUser || pdu->sender == m_sUser || !IsSpeaker(pdu->sender))
        return;
    const auto frames = ZylSplitMessage(body.data(), body.size(), pdu->channel);
    if (!frames)
        return; // a damaged bundle: none of it
    ++m_stats.nMessagesReceived;
    m_stats.nFramesReceived += frames->size();
    for (const ZYLFRAMEREF& frame : *frames)
        HandleFrame(pdu->sender, frame.channel, frame.data, frame.length);
}

bool CZylMqttHost::IsSpeaker(const std::string& sender) {
    const std::string spelling = ZylCanonicalUserId(sender);
    if (spelling == sender)
        return true;
    TellDropped("account " + sender,
                "dropped what the broker account \"" + sender + "\" sends: " +
                    (spelling.empty() ? std::string("it is not a user id")
                                      : "a user id is written " + spelling +
                                            ", and another spelling does not speak for that user"));
    return false;
}

void CZylMqttHost::TellDropped(const std::string& key, const std::string& text, uint32_t kind,
                               const std::string& peer) {
    const uint64_t now = NowMs();
    const auto it = m_mDropsTold.find(key);
    if (it != m_mDropsTold.end() && now - it->second < kTellDropsEveryMs)
        return;
    if (m_mDropsTold.size() >= 1024)
        m_mDropsTold.clear(); // many kinds at once: some are told again early, none is kept for ever
    m_mDropsTold[key] = now;
    m_qEvents.push_back({kind, peer, 0, 0, 0, {}, text});
    if (!m_bPolling)
        Signal();
}

void CZylMqttHost::HandleKey(const std::string& user, const std::vector<uint8_t>& body) {
    ZYLKEY key{};
    if (body.size() != key.size()) {
        TellDropped("key " + user, "dropped the key " + user + " published: it is not a key");
        return;
    }
    std::copy(body.begin(), body.end(), key.begin());
    PEER& peer = m_mPeers[user];
    peer.key = key;
    peer.bKeyKnown = true;
    peer.bKeyChanged = m_keys.See(user, key) == CZylKeyStore::CHANGED;
    if (peer.bKeyChanged) {
        TearDownPeer(user, peer, ZYL_OPEN_REFUSED);
        IsTrusted(user, peer); // tells it
    }
}

std::string CZylMqttHost::KeyRefusal(const std::string& peer) {
    TakeInputs();
    auto it = m_mPeers.find(peer);
    if (it == m_mPeers.end() || !it->second.bKeyKnown)
        return peer + " has published no key, so nothing can be sent to it privately";
    PEER& state = it->second;
    if (state.bKeyChanged) {
        // Trusted meanwhile, perhaps by another process on the same folder.
        std::optional<ZYLKEY> changed;
        const auto pinned = m_keys.Pinned(peer, &changed);
        state.bKeyChanged = pinned != state.key;
    }
    if (!state.bKeyChanged)
        return {};
    const auto pinned = m_keys.Pinned(peer);
    return peer + "'s key has changed (it was " + (pinned ? ZylKeyFingerprint(*pinned) : std::string("?")) +
           ", it is now " + ZylKeyFingerprint(state.key) +
           "): its channels are refused until you trust the " + "new key (zylfs trust " + peer + ")";
}

bool CZylMqttHost::IsTrusted(const std::string& peer, PEER& state) {
    if (state.bKeyKnown && !state.bKeyChanged)
        return true;
    if (const std::string refusal = KeyRefusal(peer); !refusal.empty()) {
        TellDropped("trust " + peer, refusal, ZYL_EVENT_KEY_REFUSED, peer);
        return false;
    }
    return true;
}

bool CZylMqttHost::CheckStart(const std::string& peer, int32_t channel, const PEER& state,
                              const ZYLFRAME& frame, ZYLKEY& half) {
    const size_t at = frame.kind == ZYL_FRAME_ACCEPT ? 8 : 0;
    if (frame.payload.size() != at + ZYL_START_BODY_SIZE)
        return false;
    std::copy_n(frame.payload.begin() + static_cast<std::ptrdiff_t>(at), half.size(), half.begin());
    const uint64_t opening = at ? ZylDecodeStreamRef(frame.payload) : 0;
    return ZylVerify(state.key,
                     ZylStartSigned(frame.kind, peer, m_sUser, channel, frame.stream, opening, half),
                     frame.payload.data() + at + ZYL_KEY_SIZE);
}

void CZylMqttHost::Agree(const std::string& peer, int32_t channel, LINK& link) {
    link.bKeyed =
        ZylDeriveFrameKeys(link.ephemeral, link.theirHalf, m_sUser, peer, channel, link.txKey, link.rxKey);
    if (!link.bKeyed)
        return;
    link.nKeyedTx = link.nTxStream;
    link.nKeyedRx = link.nRxStream;
    // What waited for the keys (a closing queued while opening) is sealed now, in order.
    for (TXFRAME& frame : link.qUnacked)
        if (frame.body.empty()) {
            frame.body = ZylSealFrame(link.txKey, frame.nKind, frame.nCommand, link.nTxStream, frame.sequence,
                                      frame.vPlain.data(), frame.vPlain.size());
            frame.vPlain = {};
        }
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
        Resend(user, link);
        // A new login of the peer knows nothing of our streams: an acknowledgement makes it say so.
        if (link.eState == OPEN)
            AckDue(user, link);
    }
}

void CZylMqttHost::HandleFrame(const std::string& peer, int32_t channel, const uint8_t* body, size_t length) {
    auto decoded = ZylDecodeFrame(body, length);
    if (!decoded)
        return; // not one of ours
    ZYLFRAME& frame = *decoded;
    PEER& state = m_mPeers[peer];
    if (!IsTrusted(peer, state))
        return;
    if (!state.mLinks.count(channel) && state.mLinks.size() >= kMaxLinksPerPeer)
        return; // a peer that makes up channel after channel
    LINK& link = state.mLinks[channel];
    const auto tampered = [&] {
        TellDropped("sealed " + peer,
                    "dropped a frame from " + peer + " on channel " + std::to_string(channel) +
                        " that does not open with the keys of its opening: it was changed " +
                        "on the way, or forged");
    };
    if (frame.kind == ZYL_FRAME_ACK) {
        // Only the peer's host can acknowledge our stream; one of a stream gone here (its own
        // stream, readable, is all that counts then) gets the refusal it calls for.
        if (link.bTxAlive && frame.stream == link.nTxStream) {
            if (!link.bKeyed || link.nKeyedTx != link.nTxStream)
                return; // its acceptance comes first, and again
            if (!ZylCheckAck(link.rxKey, frame)) {
                tampered();
                return;
            }
        }
        HandleAck(peer, channel, link, frame.stream, frame.sequence, ZylDecodeStreamRef(frame.payload));
        return;
    }
    if (frame.kind == ZYL_FRAME_RESET) {
        HandleReset(peer, channel, link, frame.stream, frame.sequence);
        return;
    }
    const bool start = frame.kind == ZYL_FRAME_OPEN || frame.kind == ZYL_FRAME_ACCEPT;
    if (frame.sequence == 0 || (start && frame.sequence != 1))
        return;
    if (frame.stream != link.nRxStream) {
        if (start && frame.stream > link.nRxStream) {
            if (!CheckStart(peer, channel, state, frame, link.theirHalf)) {
                TellDropped("signed " + peer, "dropped an opening from " + peer + " on channel " +
                                                  std::to_string(channel) + " that " + peer +
                                                  "'s key did not sign");
                return;
            }
            link.nRxStream = frame.stream;
            link.nRxNext = 1;
            DropEarly(state, link);
        } else {
            // A newer stream whose first frame we have not seen: its sender keeps that frame until
            // we acknowledge it and so ignores the refusal; a sender that lost track of us ends the
            // stream. Frames of older streams are leftovers.
            if (frame.stream > link.nRxStream)
                Refuse(peer, channel, link, frame.stream);
            return;
        }
    }
    if (frame.sequence < link.nRxNext) {
        AckDue(peer, link);
        return; // had it already
    }
    if (!start) {
        // Sealed under the keys of this opening, or not taken (and not acknowledged: the
        // sender's own copy comes again).
        if (!link.bKeyed || link.nKeyedRx != frame.stream) {
            Refuse(peer, channel, link, frame.stream); // a stream whose opening is not open here
            return;
        }
        if (!ZylOpenFrame(link.rxKey, frame)) {
            tampered();
            return;
        }
    }
    AckDue(peer, link);
    if (frame.sequence > link.nRxNext) {
        HoldEarly(peer, state, link, frame);
        return;
    }
    ++link.nRxNext;
    Deliver(peer, channel, link, frame);
    while (!link.mEarly.empty() && link.mEarly.begin()->first == link.nRxNext) {
        ZYLFRAME next = std::move(link.mEarly.begin()->second);
        link.mEarly.erase(link.mEarly.begin());
        const size_t cost = next.payload.size() + kHeldOverhead;
        link.nEarlyBytes -= cost;
        state.nEarlyBytes -= cost;
        ++link.nRxNext;
        Deliver(peer, channel, link, next);
    }
}

void CZylMqttHost::HoldEarly(const std::string& peer, PEER& state, LINK& link, ZYLFRAME& frame) {
    if (link.mEarly.count(frame.sequence))
        return;
    // Within bounds a frame that overtook a missing one waits for it; beyond them it is dropped
    // and comes again when its sender resends, after the missing one.
    const size_t cost = frame.payload.size() + kHeldOverhead;
    if (frame.sequence - link.nRxNext > m_options.nEarlyFrames ||
        state.nEarlyBytes + cost > m_options.nEarlyBytes) {
        TellDropped("early " + peer,
                    "dropped frames of " + peer + " that overtook a missing one: more than " +
                        std::to_string(m_options.nEarlyBytes) + " bytes or " +
                        std::to_string(m_options.nEarlyFrames) + " frames ahead of it (they come again)");
        return;
    }
    link.nEarlyBytes += cost;
    state.nEarlyBytes += cost;
    link.mEarly.emplace(frame.sequence, std::move(frame));
}

void CZylMqttHost::DropEarly(PEER& state, LINK& link) {
    state.nEarlyBytes -= link.nEarlyBytes;
    link.nEarlyBytes = 0;
    link.mEarly.clear();
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
        Agree(peer, channel, link);
        Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_DONE);
        break;
    case ZYL_FRAME_ACCEPT: {
        const uint64_t opening = ZylDecodeStreamRef(frame.payload);
        if (link.bTxAlive && opening == link.nTxStream) {
            Agree(peer, channel, link);
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
                Resend(user, link);
                link.nRetransmitMs = std::min(link.nRetransmitMs * 2, kMaxRetransmitMs);
            }
        }
    }
}

void CZylMqttHost::AckDue(const std::string& peer, LINK& link) {
    link.bAckDue = true;
    Due(peer);
}

void CZylMqttHost::Due(const std::string& peer) {
    m_sDue.insert(peer);
    if (!m_bFlushDue) {
        m_bFlushDue = true;
        if (!m_bPolling)
            Signal(); // the owner's next Poll sends it, with whatever else this turn adds
    }
}

void CZylMqttHost::Flush() {
    m_bFlushDue = false;
    if (!m_pMosq || !m_bLinkUp)
        return; // what waits goes when the broker is back: every unacknowledged frame goes again
    std::set<std::string> due;
    due.swap(m_sDue);
    for (const std::string& user : due) {
        auto it = m_mPeers.find(user);
        if (it != m_mPeers.end() && !FlushPeer(user, it->second))
            m_sDue.insert(user); // the broker did not take it: tried again at the next flush
    }
}

bool CZylMqttHost::FlushPeer(const std::string& user, PEER& peer) {
    peer.nWaiting = 0;
    // What leaves: the frames not yet sent, then the acknowledgements that are due. In that order,
    // as they would go one by one: the peer takes an acceptance before the acknowledgement that
    // names the stream it opened.
    struct OUTGOING {
        int32_t channel;
        LINK* pLink;
        const std::vector<uint8_t>* pBody;
        uint64_t nSequence; // 0 for an acknowledgement
    };
    std::vector<OUTGOING> outgoing;
    for (auto& [channel, link] : peer.mLinks) {
        if (!link.bTxAlive || link.qUnacked.empty())
            continue;
        // The frames are numbered one after the other: those after the last one sent are the tail.
        const uint64_t unsent =
            std::min<uint64_t>(link.qUnacked.size(), link.nTxNext - 1 - link.nTxPublished);
        // Those still waiting for the keys of the opening stay until they are sealed.
        for (auto it = link.qUnacked.end() - static_cast<std::ptrdiff_t>(unsent);
             it != link.qUnacked.end() && !it->body.empty(); ++it)
            outgoing.push_back({channel, &link, &it->body, it->sequence});
    }
    std::deque<std::vector<uint8_t>> acks; // their bodies; a deque keeps their addresses
    for (auto& [channel, link] : peer.mLinks) {
        // Only the streams of an opening whose keys are agreed are taken and so acknowledged.
        if (link.bAckDue && link.nRxStream != 0 && link.bKeyed && link.nKeyedRx == link.nRxStream) {
            const uint64_t own = link.eState == OPEN && link.bTxAlive ? link.nTxStream : 0;
            acks.push_back(ZylSealAck(link.txKey, link.nRxStream, link.nRxNext - 1, own));
            outgoing.push_back({channel, &link, &acks.back(), 0});
        }
        link.bAckDue = false;
    }
    // As many as fit go in one message; one alone travels as a lone frame.
    std::vector<uint8_t> bundle;
    for (size_t first = 0; first < outgoing.size();) {
        size_t end = first + 1;
        size_t size = ZYL_BUNDLE_HEADER_SIZE + ZYL_BUNDLE_ENTRY_SIZE + outgoing[first].pBody->size();
        while (end < outgoing.size() &&
               size + ZYL_BUNDLE_ENTRY_SIZE + outgoing[end].pBody->size() <= ZYL_FRAME_MAX_SIZE)
            size += ZYL_BUNDLE_ENTRY_SIZE + outgoing[end++].pBody->size();
        const std::vector<uint8_t>* body = outgoing[first].pBody;
        if (end - first > 1) {
            bundle.clear();
            for (size_t i = first; i < end; ++i)
                ZylAppendToBundle(bundle, outgoing[i].channel, *outgoing[i].pBody);
            body = &bundle;
        }
        if (!Publish(ZylPduTopic(user, m_sUser, outgoing[first].channel), *body)) {
            // Not taken: the acknowledgements are due again, the frames stay unsent.
            for (size_t i = first; i < outgoing.size(); ++i)
                if (outgoing[i].nSequence == 0)
                    outgoing[i].pLink->bAckDue = true;
            return false;
        }
        ++m_stats.nMessagesSent;
        for (size_t i = first; i < end; ++i) {
            ++m_stats.nFramesSent;
            if (outgoing[i].nSequence != 0)
                outgoing[i].pLink->nTxPublished = outgoing[i].nSequence;
        }
        first = end;
    }
    return true;
}

void CZylMqttHost::OnBrokerBack(const std::string& text) {
    m_qEvents.push_back({ZYL_EVENT_BROKER_UP, {}, 0, 0, 0, {}, text});
    const uint64_t now = NowMs();
    for (auto& [user, peer] : m_mPeers) {
        // Users that do not show up again (their retained presence or a new "online") within the
        // grace time went away while we could not hear it.
        if (peer.bOnline) {
            peer.bGoing = true;
            peer.nGoingSince = now;
        }
        for (auto& [channel, link] : peer.mLinks) {
            Resend(user, link);
            // An acknowledgement also asks the peer whether our opening still stands there.
            if (link.eState == OPEN)
                AckDue(user, link);
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
    link.ephemeral = ZylNewEphemeral();
    link.bKeyed = false;
    link.nTxNext = 1;
    link.nTxPublished = 0;
    link.qUnacked.clear();
    link.bTxAlive = true;
    link.nRetransmitMs = m_options.nRetransmitMs;
    link.nLastProgress = NowMs();
}

void CZylMqttHost::Queue(const std::string& peer, int32_t channel, LINK& link, uint8_t kind, uint32_t command,
                         const void* payload, size_t length) {
    TXFRAME frame{link.nTxNext++, kind == ZYL_FRAME_DATA ? length : 0, {}, kind, command, {}};
    const auto* bytes = static_cast<const uint8_t*>(payload);
    if (kind == ZYL_FRAME_OPEN || kind == ZYL_FRAME_ACCEPT) {
        // The first frame of the stream: its ephemeral key, signed with ours (an acceptance also
        // names the opener's stream, which payload holds).
        const uint64_t opening = kind == ZYL_FRAME_ACCEPT ? ZylDecodeStreamRef({bytes, bytes + length}) : 0;
        std::vector<uint8_t> body(bytes, bytes + length);
        body.insert(body.end(), link.ephemeral.pub.begin(), link.ephemeral.pub.end());
        const ZYLSIGNATURE signature = m_keys.Sign(
            ZylStartSigned(kind, m_sUser, peer, channel, link.nTxStream, opening, link.ephemeral.pub));
        body.insert(body.end(), signature.begin(), signature.end());
        frame.body = ZylEncodeFrame(kind, 0, link.nTxStream, frame.sequence, body.data(), body.size());
    } else if (link.bKeyed && link.nKeyedTx == link.nTxStream) {
        frame.body = ZylSealFrame(link.txKey, kind, command, link.nTxStream, frame.sequence, payload, length);
    } else if (length > 0) {
        frame.vPlain.assign(bytes, bytes + length); // sealed once the keys are agreed
    }
    if (link.qUnacked.empty())
        link.nLastProgress = NowMs();
    link.qUnacked.push_back(std::move(frame));
    Due(peer);
    // A message that is full enough leaves at once, so that the peer can start on it while the
    // rest of the turn is still being sent: a window of replies travels as a few messages in a
    // row, not as one that the peer can only take in when all of it is there.
    const auto it = m_mPeers.find(peer);
    if (it == m_mPeers.end())
        return;
    it->second.nWaiting += link.qUnacked.back().body.size() + link.qUnacked.back().vPlain.size();
    if (it->second.nWaiting >= kSendAtBytes && m_bLinkUp && FlushPeer(peer, it->second))
        m_sDue.erase(peer);
}

void CZylMqttHost::Resend(const std::string& peer, LINK& link) {
    if (!link.bTxAlive || link.qUnacked.empty() || !m_bLinkUp)
        return;
    m_stats.nFramesResent += link.qUnacked.size();
    link.nTxPublished = link.qUnacked.front().sequence - 1;
    link.nLastProgress = NowMs();
    Due(peer);
}

bool CZylMqttHost::Publish(const std::string& topic, const std::vector<uint8_t>& body) {
    if (!m_pMosq || !m_bLinkUp)
        return false; // kept for the resend once the broker is back
    ++m_nUnconfirmed; // before: the broker's acknowledgement may come first
    if (mosquitto_publish(m_pMosq, nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(),
                          kFrameQos, false) == MOSQ_ERR_SUCCESS)
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
        DropEarly(state, link);
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
    if (!IsTrusted(peer, state)) {
        Emit(DLL_P2P_ON_CONNECT, peer, channel, ZYL_OPEN_REFUSED);
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
    if (!m_pMosq || length < 0 || static_cast<size_t>(length) > ZYL_FRAME_MAX_PAYLOAD ||
        (length > 0 && !payload))
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

int CZylMqttHost::Poll(const Handler& handler, bool flush) {
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
    if (flush)
        Flush(); // what the handlers sent goes with the acknowledgements of what they took
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
