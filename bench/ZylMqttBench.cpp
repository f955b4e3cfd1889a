// A large file downloaded between two zylfs nodes through a private mosquitto on loopback, next to
// what the same broker carries in the same run when two bare libmosquitto clients send it messages
// of the size a file data reply travels in. Prints both rates, their ratio, and the peak memory of
// this process and of the largest node.
//
// The node figure times the whole `zylfs get` command (start, login, channel handshake, file list
// and the transfer) and, apart, the transfer alone from the moment the node says it is
// downloading. The bare figure is a sustained rate: QoS 1 like the transport, the publisher keeps
// at most as many messages unacknowledged by the broker as the transport allows itself, and no
// more bytes ahead of the subscriber than the transport's own bound, so that the broker never
// queues (or drops) what the subscriber has not taken yet.
//
// Usage: ZylMqttBench [MiB]   (256 by default; needs mosquitto and mosquitto_passwd)
#include "ZylBenchSupport.h"
#include "core/ZylDateTime.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttHost.h"
#include "support/ZylTempDir.h"
#include "zylfs/ZylPlugin.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* ZYL_OWNER = "S1.1000";
constexpr const char* ZYL_FRIEND = "S2.1000";
constexpr const char* ZYL_OWNER_PASSWORD = "bench-owner-secret";
constexpr const char* ZYL_FRIEND_PASSWORD = "bench-friend-secret";
// A file data reply carries at most this much of the file.
constexpr int32_t ZYL_PIECE = 7168;
// What the transport lets the broker hold unacknowledged from one client (its send maximum).
constexpr uint64_t ZYL_BROKER_WINDOW = 100;
// No progress for this long ends a run as failed.
constexpr auto ZYL_STALL = 20s;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The last lines of a node's output, for a failure to show why.
void ShowTail(const fs::path& log) {
    std::string text = ReadAll(log);
    if (text.size() > 2000)
        text.erase(0, text.size() - 2000);
    std::fprintf(stderr, "--- %s\n%s\n---\n", log.c_str(), text.c_str());
}

bool WaitForText(const fs::path& log, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (ReadAll(log).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A node that keeps serving until it is told to stop, stopped in any case when the bench ends.
class CZylServingNode {
public:
    explicit CZylServingNode(pid_t pid) : m_nPid(pid) {}
    ~CZylServingNode() { Stop(); }
    CZylServingNode(const CZylServingNode&) = delete;
    CZylServingNode& operator=(const CZylServingNode&) = delete;

    // SIGTERM is its clean shutdown; waiting for it also makes its peak memory known.
    void Stop() {
        if (m_nPid <= 0)
            return;
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    pid_t m_nPid;
};

struct ZYLNODERESULT {
    bool bOk = false;
    double dCommandSeconds = 0;  // the whole get command
    double dTransferSeconds = 0; // from "downloading" to the end
};

std::vector<std::string> NodeArgs(const std::string& user, const fs::path& data, int port,
                                  std::vector<std::string> command) {
    std::vector<std::string> args{
        ZYLFS_CLI_PATH, "--user",     user, "--broker", "127.0.0.1:" + std::to_string(port),
        "--data",       data.string()};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

// The owner shares the file's folder and serves it; the friend downloads the file with `zylfs get`.
ZYLNODERESULT RunNodes(const fs::path& root, int port, const fs::path& original) {
    ZYLNODERESULT result;
    const fs::path ownerData = root / "data-owner", friendData = root / "data-friend";
    const std::vector<std::string> ownerEnv{std::string("ZYLFS_PASSWORD=") + ZYL_OWNER_PASSWORD};
    const std::vector<std::string> friendEnv{std::string("ZYLFS_PASSWORD=") + ZYL_FRIEND_PASSWORD};

    const fs::path addLog = root / "share-add.log";
    if (ZylRunProgram(NodeArgs(ZYL_OWNER, ownerData, port,
                               {"share", "add", original.parent_path().string(), "--name", "Bench",
                                "--everyone", "browse,download"}),
                      addLog, ownerEnv) != 0) {
        std::fprintf(stderr, "zylfs share add failed\n");
        ShowTail(addLog);
        return result;
    }

    const fs::path serveLog = root / "serve.log";
    CZylServingNode server(ZylSpawn(NodeArgs(ZYL_OWNER, ownerData, port, {"serve"}), serveLog, ownerEnv));
    if (!WaitForText(serveLog, "is online", 15s)) {
        std::fprintf(stderr, "the serving node did not come online\n");
        ShowTail(serveLog);
        return result;
    }

    const fs::path received = root / "in";
    fs::create_directories(received);
    const fs::path getLog = root / "get.log";
    const auto start = Clock::now();
    const pid_t getter =
        ZylSpawn(NodeArgs(ZYL_FRIEND, friendData, port,
                          {"get", ZYL_OWNER, "Bench\\" + original.filename().string(), received.string()}),
                 getLog, friendEnv);
    if (getter < 0) {
        std::fprintf(stderr, "cannot start zylfs get\n");
        return result;
    }
    std::optional<Clock::time_point> downloading;
    int status = 0;
    while (true) {
        const pid_t done = waitpid(getter, &status, WNOHANG);
        if (done == getter || done < 0)
            break;
        if (!downloading && ReadAll(getLog).find("downloading ") != std::string::npos)
            downloading = Clock::now();
        std::this_thread::sleep_for(downloading ? 2ms : 5ms);
    }
    const auto end = Clock::now();
    server.Stop();
    result.dCommandSeconds = ZylSeconds(end - start);
    result.dTransferSeconds = ZylSeconds(end - downloading.value_or(start));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zylfs get failed\n");
        ShowTail(getLog);
        ShowTail(serveLog);
        return result;
    }
    const fs::path copy = received / original.filename();
    if (!ZylSameFiles(original, copy)) {
        std::fprintf(stderr, "the downloaded file differs from the original: %s\n", copy.c_str());
        return result;
    }
    std::error_code ec;
    fs::remove(copy, ec); // the bare run needs no second copy on disk
    result.bOk = true;
    return result;
}

// What the two bare clients share: counters under one lock, the subscriber's order check.
struct ZYLRAWSTATE {
    std::mutex mutex;
    std::condition_variable changed;
    bool bPubConnected = false, bSubConnected = false, bSubscribed = false;
    std::string sError;
    uint64_t nAcked = 0;    // PUBACKs the publisher got
    uint64_t nRefused = 0;  // PUBACKs with a failure reason (the access list)
    uint64_t nReceived = 0; // messages the subscriber got
    uint64_t nNextSequence = 1;
    uint64_t nDisordered = 0; // sequences other than the next one
    uint64_t nDamaged = 0;    // bodies that are not the frame sent
    Clock::time_point lastArrival;
};

// A refused login ends the run; the subscriber subscribes once it is in.
void OnConnected(ZYLRAWSTATE& state, int rc, bool& connected) {
    std::lock_guard lock(state.mutex);
    if (rc != 0)
        state.sError = std::string("the broker refused a login: ") + mosquitto_reason_string(rc);
    connected = rc == 0;
    state.changed.notify_all();
}

void OnPubConnect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
    auto& state = *static_cast<ZYLRAWSTATE*>(obj);
    OnConnected(state, rc, state.bPubConnected);
}

void OnSubConnect(mosquitto* mosq, void* obj, int rc, int, const mosquitto_property*) {
    auto& state = *static_cast<ZYLRAWSTATE*>(obj);
    OnConnected(state, rc, state.bSubConnected);
    if (rc != 0)
        return;
    const std::string subscription = ZylPduSubscription(ZYL_FRIEND);
    mosquitto_subscribe_v5(mosq, nullptr, subscription.c_str(), 1, 0, nullptr);
}

void OnSubscribe(mosquitto*, void* obj, int, int count, const int* granted, const mosquitto_property*) {
    auto& state = *static_cast<ZYLRAWSTATE*>(obj);
    std::lock_guard lock(state.mutex);
    if (count != 1 || granted[0] != 1)
        state.sError = "the broker did not grant the subscription with QoS 1";
    else
        state.bSubscribed = true;
    state.changed.notify_all();
}

void OnPublish(mosquitto*, void* obj, int, int reason, const mosquitto_property*) {
    auto& state = *static_cast<ZYLRAWSTATE*>(obj);
    std::lock_guard lock(state.mutex);
    ++state.nAcked;
    if (reason >= 0x80)
        ++state.nRefused;
    state.changed.notify_all();
}

void OnMessage(mosquitto*, void* obj, const mosquitto_message* message, const mosquitto_property*) {
    auto& state = *static_cast<ZYLRAWSTATE*>(obj);
    const auto frame = ZylDecodeFrame(message->payload, static_cast<size_t>(message->payloadlen));
    std::lock_guard lock(state.mutex);
    if (!frame || frame->kind != ZYL_FRAME_DATA || frame->command != ZYL_CMD_FILE_DATA_REPLY)
        ++state.nDamaged;
    else if (frame->sequence != state.nNextSequence)
        ++state.nDisordered;
    if (frame)
        state.nNextSequence = frame->sequence + 1;
    ++state.nReceived;
    state.lastArrival = Clock::now();
    state.changed.notify_all();
}

mosquitto* NewClient(const std::string& id, const char* user, const char* password, ZYLRAWSTATE& state) {
    mosquitto* mosq = mosquitto_new(id.c_str(), true, &state);
    if (!mosq)
        return nullptr;
    // As the transport sets up its own client.
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(mosq, MOSQ_OPT_RECEIVE_MAXIMUM, static_cast<int>(ZYL_BROKER_WINDOW));
    mosquitto_int_option(mosq, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(ZYL_BROKER_WINDOW));
    mosquitto_username_pw_set(mosq, user, password);
    return mosq;
}

// The file data reply of one piece, in the frame the transport sends it in.
std::vector<uint8_t> PieceFrame(uint64_t sequence, const uint8_t* data, int32_t n, int32_t offset) {
    ZylPayloadWriter writer(64 + ZYL_PIECE);
    writer.Write(CZylDateTime(std::time(nullptr)));
    writer.WriteInt32(static_cast<int32_t>(1)).WriteInt32(static_cast<int32_t>(0));
    writer.WriteInt32(static_cast<int32_t>(0)).WriteInt32(static_cast<int32_t>(0));
    writer.WriteInt32(static_cast<int32_t>(0)).WriteInt32(offset).WriteInt32(n);
    writer.WriteBytes(data, n);
    return ZylEncodeFrame(ZYL_FRAME_DATA, ZYL_CMD_FILE_DATA_REPLY, 1, sequence, writer.Data(),
                          static_cast<size_t>(writer.Size()));
}

struct ZYLRAWRESULT {
    bool bOk = false;
    uint64_t nMessages = 0;
    size_t nBodySize = 0; // of a full piece
    uint64_t nBodyBytes = 0;
    double dSeconds = 0;
    uint64_t nWindow = 0; // messages ahead of the subscriber at most
};

// Every piece of a file of `bytes` bytes through the broker from the owner to the friend.
ZYLRAWRESULT RunBare(int port, uint64_t bytes) {
    ZYLRAWRESULT result;
    ZYLRAWSTATE state;
    mosquitto_lib_init();
    mosquitto* sub =
        NewClient(std::string(ZYL_FRIEND) + "-bench-sub", ZYL_FRIEND, ZYL_FRIEND_PASSWORD, state);
    mosquitto* pub = NewClient(std::string(ZYL_OWNER) + "-bench-pub", ZYL_OWNER, ZYL_OWNER_PASSWORD, state);
    const auto finish = [&] {
        for (mosquitto* mosq : {pub, sub}) {
            if (!mosq)
                continue;
            mosquitto_disconnect(mosq);
            mosquitto_loop_stop(mosq, false);
            mosquitto_destroy(mosq);
        }
        mosquitto_lib_cleanup();
    };
    if (!sub || !pub) {
        std::fprintf(stderr, "cannot create the bare clients\n");
        finish();
        return result;
    }
    mosquitto_connect_v5_callback_set(sub, OnSubConnect);
    mosquitto_subscribe_v5_callback_set(sub, OnSubscribe);
    mosquitto_message_v5_callback_set(sub, OnMessage);
    mosquitto_connect_v5_callback_set(pub, OnPubConnect);
    mosquitto_publish_v5_callback_set(pub, OnPublish);
    for (mosquitto* mosq : {sub, pub}) {
        const int rc = mosquitto_connect(mosq, "127.0.0.1", port, 30);
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "cannot reach the broker: %s\n", mosquitto_strerror(rc));
            finish();
            return result;
        }
    }
    {
        std::unique_lock lock(state.mutex);
        if (!state.changed.wait_for(
                lock, 10s,
                [&] { return !state.sError.empty() || (state.bPubConnected && state.bSubscribed); }) ||
            !state.sError.empty()) {
            std::fprintf(stderr, "the bare clients did not log in: %s\n",
                         state.sError.empty() ? "no answer" : state.sError.c_str());
            lock.unlock();
            finish();
            return result;
        }
    }

    // The transport stops at its in-flight bound; a bare sender that does the same in messages
    // stays as far ahead of its reader as a node can.
    const ZYLMQTTOPTIONS transport;
    const uint64_t window = std::max<uint64_t>(
        1, std::min<uint64_t>(transport.nInFlightFrames, transport.nInFlightBytes / ZYL_PIECE));
    result.nWindow = window;
    result.nMessages = (bytes + ZYL_PIECE - 1) / ZYL_PIECE;
    std::vector<uint8_t> data(ZYL_CHUNK);
    std::mt19937_64 random(19991231);
    for (auto& b : data)
        b = static_cast<uint8_t>(random());
    const std::string topic = ZylPduTopic(ZYL_FRIEND, ZYL_OWNER, ZYL_CHANNEL_DATA);

    const auto start = Clock::now();
    bool ok = true;
    for (uint64_t i = 0; ok && i < result.nMessages; ++i) {
        const uint64_t offset = i * ZYL_PIECE;
        const auto n = static_cast<int32_t>(std::min<uint64_t>(ZYL_PIECE, bytes - offset));
        const std::vector<uint8_t> body = PieceFrame(i + 1, data.data() + offset % (ZYL_CHUNK - ZYL_PIECE), n,
                                                     static_cast<int32_t>(offset));
        if (i == 0)
            result.nBodySize = body.size();
        result.nBodyBytes += body.size();
        {
            std::unique_lock lock(state.mutex);
            ok = state.changed.wait_for(lock, ZYL_STALL, [&] {
                return i - state.nAcked < ZYL_BROKER_WINDOW && i - state.nReceived < window;
            });
        }
        if (!ok) {
            std::fprintf(stderr, "the broker stopped taking or delivering messages\n");
            break;
        }
        const int rc = mosquitto_publish_v5(pub, nullptr, topic.c_str(), static_cast<int>(body.size()),
                                            body.data(), 1, false, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "publishing failed: %s\n", mosquitto_strerror(rc));
            ok = false;
        }
    }
    if (ok) {
        std::unique_lock lock(state.mutex);
        // Stalls end the wait; a run that keeps moving is waited for as long as it moves.
        while (state.nReceived < result.nMessages || state.nAcked < result.nMessages) {
            const uint64_t before = state.nReceived + state.nAcked;
            state.changed.wait_for(lock, ZYL_STALL);
            if (state.nReceived + state.nAcked == before) {
                std::fprintf(stderr, "messages were lost: %llu of %llu arrived\n",
                             static_cast<unsigned long long>(state.nReceived),
                             static_cast<unsigned long long>(result.nMessages));
                ok = false;
                break;
            }
        }
        result.dSeconds = ZylSeconds(state.lastArrival - start);
        if (state.nRefused || state.nDisordered || state.nDamaged || state.nReceived != result.nMessages) {
            std::fprintf(stderr, "bare run: %llu refused, %llu out of order, %llu damaged, %llu received\n",
                         static_cast<unsigned long long>(state.nRefused),
                         static_cast<unsigned long long>(state.nDisordered),
                         static_cast<unsigned long long>(state.nDamaged),
                         static_cast<unsigned long long>(state.nReceived));
            ok = false;
        }
    }
    finish();
    result.bOk = ok;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 256;
    if (argc > 2 || mib < 1 || mib > 16384) {
        std::fprintf(stderr, "usage: %s [MiB]   (1 to 16384, 256 by default)\n", argv[0]);
        return 2;
    }
    const uint64_t bytes = static_cast<uint64_t>(mib) << 20;
    CZylTempDir temp;
    const fs::path root = temp.Path();
    // The nodes keep their settings in the bench's folder, not the user's.
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);

    CZylLocalBroker broker;
    broker.AddUser(ZYL_OWNER, ZYL_OWNER_PASSWORD);
    broker.AddUser(ZYL_FRIEND, ZYL_FRIEND_PASSWORD);
    if (!broker.Start()) {
        std::fprintf(stderr, "the broker did not start: %s\n", broker.Error().c_str());
        return 1;
    }
    std::printf("private mosquitto on 127.0.0.1:%d\n", broker.Port());

    const fs::path original = root / "owner" / "Bench" / "random.bin";
    if (!ZylWriteRandomFile(original, bytes, 20050412)) {
        std::fprintf(stderr, "cannot write %s\n", original.c_str());
        return 1;
    }
    std::printf("file: %ld MiB (%.1f MB) of random bytes\n", mib, bytes / 1e6);
    std::fflush(stdout);

    const ZYLNODERESULT node = RunNodes(root, broker.Port(), original);
    const long nodeRss = ZylPeakRssKiB(RUSAGE_CHILDREN);
    if (!node.bOk)
        return 1;
    const double nodeRate = bytes / 1e6 / node.dCommandSeconds;
    const double transferRate = bytes / 1e6 / node.dTransferSeconds;
    std::printf("node download (zylfs get):   %8.1f MB/s   %7.2f s   verified byte for byte\n", nodeRate,
                node.dCommandSeconds);
    std::printf("  transfer alone:             %8.1f MB/s   %7.2f s   (after login, handshake and list)\n",
                transferRate, node.dTransferSeconds);
    std::fflush(stdout);

    const ZYLRAWRESULT raw = RunBare(broker.Port(), bytes);
    if (!raw.bOk)
        return 1;
    const double rawRate = bytes / 1e6 / raw.dSeconds;
    std::printf("bare broker, libmosquitto:   %8.1f MB/s   %7.2f s   file data in %llu QoS 1 messages of %zu "
                "bytes\n",
                rawRate, raw.dSeconds, static_cast<unsigned long long>(raw.nMessages), raw.nBodySize);
    std::printf("  message bodies:             %8.1f MB/s   %8.0f messages/s   at most %llu ahead of the "
                "reader, %llu unacknowledged\n",
                raw.nBodyBytes / 1e6 / raw.dSeconds, raw.nMessages / raw.dSeconds,
                static_cast<unsigned long long>(raw.nWindow),
                static_cast<unsigned long long>(ZYL_BROKER_WINDOW));
    std::printf("ratio node / bare:           %8.3f   (transfer alone: %.3f)\n", nodeRate / rawRate,
                transferRate / rawRate);
    std::printf("peak RSS: bench %.1f MiB, largest node %.1f MiB\n", ZylPeakRssKiB(RUSAGE_SELF) / 1024.0,
                nodeRss / 1024.0);
    broker.Stop();
    return 0;
}
