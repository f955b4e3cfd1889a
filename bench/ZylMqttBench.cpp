// What two zylfs nodes achieve through a private mosquitto on loopback, case by case, in one run:
//
//   tuned   a large download through a broker with set_tcp_nodelay, next to what the same broker
//           carries in the same run when two bare libmosquitto clients send it the file in
//           messages of one file data reply each (the broker's own rate: the yardstick)
//   transport  the file data exchange between two hosts in this process, without the plug-in:
//           requests answered at once with a reply of a full piece, 8 (the plug-in's window),
//           32 and 128 of them in flight, through both brokers; what a node's rate could be
//   stock   a smaller download through a broker with mosquitto's default configuration (Nagle's
//           algorithm on), next to the same download through the tuned broker
//   browse  `zylfs browse` of a folder of many entries
//   files   a folder of many 3-byte files down (`zylfs get`) and up (`zylfs put`)
//   seal    file data replies sealed and opened as two hosts do, on one core, next to the same
//           frames written and read without sealing (with --baseline, the node cases compare a
//           build that seals with one that does not)
//
// Each node figure times the whole command (start, login, channel handshake, listing and the
// transfer); downloads also give the transfer alone, from the moment the node says it is
// downloading. CPU seconds are those of the serving node, the commanding node and the broker
// during the case. With --baseline PATH every node case runs with that other build of zylfs too,
// in turn with this one, and the ratio of the two is printed: figures of a loaded machine drift,
// ratios measured side by side much less. With --runs N each figure is the median of N runs.
//
// The bare figure is a sustained rate: the QoS the transport uses for frames, the publisher keeps
// at most as many messages ahead of the subscriber as the transport's in-flight bound allows, so
// that the broker never queues (or drops) what the subscriber has not taken yet.
//
// Usage: ZylMqttBench [--mib N] [--stock-mib N] [--entries N] [--files N] [--runs N]
//                     [--baseline PATH] [--cases tuned,transport,stock,browse,files,seal]
// (needs mosquitto and mosquitto_passwd)
#include "ZylBenchSupport.h"
#include "core/ZylDateTime.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttHost.h"
#include "host/ZylMqttKeys.h"
#include "support/ZylTempDir.h"
#include "zylfs/ZylPlugin.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
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
// The QoS the transport publishes frames with.
constexpr int ZYL_FRAME_QOS = 0;
// What a bare publisher lets the broker hold unacknowledged (the send maximum the transport used
// when it published with QoS 1).
constexpr uint64_t ZYL_BROKER_WINDOW = 100;
// No progress for this long ends a run as failed.
constexpr auto ZYL_STALL = 20s;
// Bounds of the commands a case runs; far above what a working node needs.
constexpr auto ZYL_COMMAND_LIMIT = 600s;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The last lines of a node's output, for a failure to show why.
std::string Tail(const fs::path& log, size_t bytes = 600) {
    std::string text = ReadAll(log);
    if (text.size() > bytes)
        text.erase(0, text.size() - bytes);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
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

double CpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// User and system time a running process has used so far (the broker's, read from /proc).
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')'); // the name may hold spaces
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) // utime, stime
            ticks += std::strtod(field.c_str(), nullptr);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ZYLEXIT {
    bool bOk = false;
    double dCpu = 0;
    long nPeakKiB = 0;
};

// Waits for a child and takes its exit status and CPU time.
ZYLEXIT Reap(pid_t pid, bool wait = true) {
    ZYLEXIT result;
    int status = 0;
    rusage usage{};
    if (pid <= 0 || wait4(pid, &status, wait ? 0 : WNOHANG, &usage) != pid)
        return result;
    result.bOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.dCpu = CpuSeconds(usage);
    result.nPeakKiB = usage.ru_maxrss;
    return result;
}

// A private broker with the bench's two users, tuned (set_tcp_nodelay) or as mosquitto comes.
class CZylBenchBroker {
public:
    explicit CZylBenchBroker(bool tuned) {
        m_broker.AddUser(ZYL_OWNER, ZYL_OWNER_PASSWORD);
        m_broker.AddUser(ZYL_FRIEND, ZYL_FRIEND_PASSWORD);
        m_broker.SetTcpNoDelay(tuned);
    }
    bool Start() { return m_broker.Start(); }
    const std::string& Error() const { return m_broker.Error(); }
    int Port() const { return m_broker.Port(); }
    double Cpu() const { return ProcessCpuSeconds(m_broker.Pid()); }

private:
    CZylLocalBroker m_broker;
};

std::vector<std::string> NodeArgs(const std::string& zylfs, const std::string& user, const fs::path& data,
                                  int port, std::vector<std::string> command) {
    std::vector<std::string> args{
        zylfs, "--user", user, "--broker", "127.0.0.1:" + std::to_string(port), "--data", data.string()};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

std::vector<std::string> Env(const char* password) {
    return {std::string("ZYLFS_PASSWORD=") + password};
}

// What one run of a node case measured; bOk false with the reason in sError.
struct ZYLNODERUN {
    bool bOk = false;
    std::string sError;
    double dCommandSeconds = 0;
    double dTransferSeconds = 0; // downloads: from "downloading" to the end
    double dServerCpu = 0, dClientCpu = 0, dBrokerCpu = 0;
    long nPeakKiB = 0; // of the larger node
};

// The owner serves folder `shared` as share `share` (with `rights` for everyone) while the friend
// runs `command`; the friend's data folder is fresh for every run.
ZYLNODERUN RunNodeCase(const std::string& zylfs, const CZylBenchBroker& broker, const fs::path& root,
                       const fs::path& shared, const std::string& share, const std::string& rights,
                       const std::vector<std::string>& command,
                       const std::function<std::string()>& verify = {}) {
    static int s_nRun = 0;
    const fs::path folder = root / ("run-" + std::to_string(++s_nRun));
    const fs::path ownerData = folder / "owner", friendData = folder / "friend";
    fs::create_directories(folder);
    ZYLNODERUN run;
    const int port = broker.Port();
    const fs::path setupLog = folder / "setup.log";
    if (ZylRunProgram(NodeArgs(zylfs, ZYL_OWNER, ownerData, port,
                               {"share", "add", shared.string(), "--name", share, "--everyone", rights}),
                      setupLog, Env(ZYL_OWNER_PASSWORD)) != 0 ||
        ZylRunProgram(NodeArgs(zylfs, ZYL_OWNER, ownerData, port, {"share", "upload", "on"}), setupLog,
                      Env(ZYL_OWNER_PASSWORD)) != 0) {
        run.sError = "zylfs share add failed: " + Tail(setupLog);
        return run;
    }
    const fs::path serveLog = folder / "serve.log";
    const pid_t server =
        ZylSpawn(NodeArgs(zylfs, ZYL_OWNER, ownerData, port, {"serve"}), serveLog, Env(ZYL_OWNER_PASSWORD));
    const auto stopServer = [&] {
        if (server <= 0)
            return ZYLEXIT{};
        kill(server, SIGTERM); // its clean shutdown
        return Reap(server);
    };
    if (!WaitForText(serveLog, "is online", 15s)) {
        stopServer();
        run.sError = "the serving node did not come online: " + Tail(serveLog);
        return run;
    }

    const fs::path log = folder / "command.log";
    const double brokerBefore = broker.Cpu();
    const auto start = Clock::now();
    const pid_t client =
        ZylSpawn(NodeArgs(zylfs, ZYL_FRIEND, friendData, port, command), log, Env(ZYL_FRIEND_PASSWORD));
    std::optional<Clock::time_point> downloading;
    ZYLEXIT exit;
    for (bool done = false; !done;) {
        int status = 0;
        rusage usage{};
        const pid_t ended = wait4(client, &status, WNOHANG, &usage);
        if (ended == client || ended < 0) {
            exit.bOk = ended == client && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            exit.dCpu = CpuSeconds(usage);
            exit.nPeakKiB = usage.ru_maxrss;
            break;
        }
        if (!downloading && ReadAll(log).find("downloading ") != std::string::npos)
            downloading = Clock::now();
        if (Clock::now() - start > ZYL_COMMAND_LIMIT) {
            kill(client, SIGKILL);
            Reap(client);
            break;
        }
        std::this_thread::sleep_for(downloading ? 2ms : 5ms);
    }
    const auto end = Clock::now();
    run.dBrokerCpu = broker.Cpu() - brokerBefore;
    const ZYLEXIT served = stopServer();
    run.dCommandSeconds = ZylSeconds(end - start);
    run.dTransferSeconds = ZylSeconds(end - downloading.value_or(start));
    run.dServerCpu = served.dCpu;
    run.dClientCpu = exit.dCpu;
    run.nPeakKiB = std::max(served.nPeakKiB, exit.nPeakKiB);
    if (!exit.bOk) {
        run.sError = "zylfs " + command.front() + " failed after " + std::to_string(run.dCommandSeconds) +
                     " s: " + Tail(log, 300);
        return run;
    }
    if (verify)
        run.sError = verify();
    run.bOk = run.sError.empty();
    std::error_code ec;
    fs::remove_all(folder, ec);
    return run;
}

// ---- the bare broker: two libmosquitto clients, the file in one message per piece ----

struct ZYLRAWSTATE {
    std::mutex mutex;
    std::condition_variable changed;
    bool bPubConnected = false, bSubConnected = false, bSubscribed = false;
    std::string sError;
    uint64_t nTaken = 0;    // publishes written (QoS 0) or acknowledged by the broker (QoS 1)
    uint64_t nRefused = 0;  // with a failure reason (the access list)
    uint64_t nReceived = 0; // messages the subscriber got
    uint64_t nNextSequence = 1;
    uint64_t nDisordered = 0; // sequences other than the next one
    uint64_t nDamaged = 0;    // bodies that are not the frame sent
    Clock::time_point lastArrival;
};

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
    ++state.nTaken;
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
    std::string sError;
    uint64_t nMessages = 0;
    size_t nBodySize = 0; // of a full piece
    double dSeconds = 0;
    double dCpu = 0; // of the broker
};

// Every piece of a file of `bytes` bytes through the broker from the owner to the friend.
ZYLRAWRESULT RunBare(const CZylBenchBroker& broker, uint64_t bytes, int qos) {
    ZYLRAWRESULT result;
    ZYLRAWSTATE state;
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
    };
    if (!sub || !pub) {
        result.sError = "cannot create the bare clients";
        finish();
        return result;
    }
    mosquitto_connect_v5_callback_set(sub, OnSubConnect);
    mosquitto_subscribe_v5_callback_set(sub, OnSubscribe);
    mosquitto_message_v5_callback_set(sub, OnMessage);
    mosquitto_connect_v5_callback_set(pub, OnPubConnect);
    mosquitto_publish_v5_callback_set(pub, OnPublish);
    for (mosquitto* mosq : {sub, pub}) {
        const int rc = mosquitto_connect(mosq, "127.0.0.1", broker.Port(), 30);
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
            result.sError = std::string("cannot reach the broker: ") + mosquitto_strerror(rc);
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
            result.sError =
                "the bare clients did not log in: " + (state.sError.empty() ? "no answer" : state.sError);
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
    result.nMessages = (bytes + ZYL_PIECE - 1) / ZYL_PIECE;
    std::vector<uint8_t> data(ZYL_CHUNK);
    std::mt19937_64 random(19991231);
    for (auto& b : data)
        b = static_cast<uint8_t>(random());
    const std::string topic = ZylPduTopic(ZYL_FRIEND, ZYL_OWNER, ZYL_CHANNEL_DATA);

    const double cpuBefore = broker.Cpu();
    const auto start = Clock::now();
    bool ok = true;
    for (uint64_t i = 0; ok && i < result.nMessages; ++i) {
        const uint64_t offset = i * ZYL_PIECE;
        const auto n = static_cast<int32_t>(std::min<uint64_t>(ZYL_PIECE, bytes - offset));
        const std::vector<uint8_t> body = PieceFrame(i + 1, data.data() + offset % (ZYL_CHUNK - ZYL_PIECE), n,
                                                     static_cast<int32_t>(offset));
        if (i == 0)
            result.nBodySize = body.size();
        {
            std::unique_lock lock(state.mutex);
            ok = state.changed.wait_for(lock, ZYL_STALL, [&] {
                return i - state.nTaken < ZYL_BROKER_WINDOW && i - state.nReceived < window;
            });
        }
        if (!ok) {
            result.sError = "the broker stopped delivering messages";
            break;
        }
        const int rc = mosquitto_publish_v5(pub, nullptr, topic.c_str(), static_cast<int>(body.size()),
                                            body.data(), qos, false, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            result.sError = std::string("publishing failed: ") + mosquitto_strerror(rc);
            ok = false;
        }
    }
    if (ok) {
        std::unique_lock lock(state.mutex);
        // Stalls end the wait; a run that keeps moving is waited for as long as it moves.
        while (state.nReceived < result.nMessages) {
            const uint64_t before = state.nReceived;
            if (!state.changed.wait_for(lock, ZYL_STALL, [&] { return state.nReceived != before; })) {
                result.sError = "messages were lost: " + std::to_string(state.nReceived) + " of " +
                                std::to_string(result.nMessages) + " arrived";
                ok = false;
                break;
            }
        }
        result.dSeconds = ZylSeconds(state.lastArrival - start);
        if (ok && (state.nRefused || state.nDisordered || state.nDamaged)) {
            result.sError = std::to_string(state.nRefused) + " refused, " +
                            std::to_string(state.nDisordered) + " out of order, " +
                            std::to_string(state.nDamaged) + " damaged";
            ok = false;
        }
    }
    result.dCpu = broker.Cpu() - cpuBefore;
    finish();
    result.bOk = ok;
    return result;
}

// ---- the transport alone: requests and replies between two hosts in this process ----

struct ZYLTRANSPORTRESULT {
    bool bOk = false;
    std::string sError;
    double dSeconds = 0;
    double dCpu = 0;        // of this process (both hosts)
    double dBrokerCpu = 0;  // of the broker
    uint64_t nMessages = 0; // broker messages both hosts sent
};

// The file data exchange without the plug-in: the friend keeps `window` requests of the size of a
// file data request in flight and sends the next one for each reply; the owner answers each
// request at once with a reply of a full piece. Each host runs on a thread of its own.
ZYLTRANSPORTRESULT RunTransport(const CZylBenchBroker& broker, uint64_t bytes, uint64_t window) {
    ZYLTRANSPORTRESULT result;
    CZylMqttHost owner, friendly;
    if (std::string error = owner.Connect("127.0.0.1", broker.Port(), ZYL_OWNER, ZYL_OWNER_PASSWORD);
        !error.empty() ||
        !(error = friendly.Connect("127.0.0.1", broker.Port(), ZYL_FRIEND, ZYL_FRIEND_PASSWORD)).empty()) {
        result.sError = error;
        return result;
    }
    const uint64_t replies = (bytes + ZYL_PIECE - 1) / ZYL_PIECE;
    const std::vector<uint8_t> request(56, 1), reply(ZYL_PIECE + 32, 2);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::atomic<int> open{0};
    uint64_t requested = 0;
    // The owner answers; the channels open when the friend asks.
    std::thread server([&] {
        while (!stop) {
            owner.Wait(50);
            owner.Poll([&](const ZYLHOSTEVENT& e) {
                if (e.kind == DLL_P2P_ON_DATA && e.channel == ZYL_CHANNEL_REQUEST)
                    owner.Send(ZYL_FRIEND, ZYL_CHANNEL_DATA, ZYL_CMD_FILE_DATA_REPLY, reply.data(),
                               static_cast<int32_t>(reply.size()));
            });
        }
    });
    const auto ask = [&] {
        if (requested < replies && friendly.Send(ZYL_OWNER, ZYL_CHANNEL_REQUEST, ZYL_CMD_FILE_DATA_REQUEST,
                                                 request.data(), static_cast<int32_t>(request.size())) == 1)
            ++requested;
    };
    const auto handle = [&](const ZYLHOSTEVENT& e) {
        if (e.kind == DLL_P2P_ON_CONNECT && e.status == ZYL_OPEN_DONE)
            ++open;
        if (e.kind == DLL_P2P_ON_DATA && e.channel == ZYL_CHANNEL_DATA) {
            ++received;
            ask();
        }
    };
    for (const auto deadline = Clock::now() + 10s; !friendly.IsOnline(ZYL_OWNER) && Clock::now() < deadline;)
        friendly.Wait(50), friendly.Poll(handle);
    friendly.OpenChannel(ZYL_OWNER, ZYL_CHANNEL_REQUEST);
    friendly.OpenChannel(ZYL_OWNER, ZYL_CHANNEL_DATA);
    for (const auto deadline = Clock::now() + 10s; open < 2 && Clock::now() < deadline;)
        friendly.Wait(50), friendly.Poll(handle);
    if (open < 2) {
        stop = true;
        server.join();
        result.sError = "the channels did not open";
        return result;
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double brokerBefore = broker.Cpu();
    const auto start = Clock::now();
    while (requested < window && requested < replies)
        ask();
    friendly.Flush();
    auto last = Clock::now();
    for (uint64_t seen = 0; received < replies;) {
        friendly.Wait(50);
        friendly.Poll(handle);
        if (received != seen) {
            seen = received;
            last = Clock::now();
        } else if (Clock::now() - last > ZYL_STALL) {
            result.sError =
                "the replies stopped at " + std::to_string(seen) + " of " + std::to_string(replies);
            break;
        }
    }
    result.dSeconds = ZylSeconds(Clock::now() - start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    result.dCpu = CpuSeconds(after) - CpuSeconds(before);
    result.dBrokerCpu = broker.Cpu() - brokerBefore;
    stop = true;
    server.join();
    result.nMessages = owner.GetStats().nMessagesSent + friendly.GetStats().nMessagesSent;
    friendly.Disconnect();
    owner.Disconnect();
    result.bOk = result.sError.empty();
    return result;
}

// ---- the figures ----

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One line of the table: the medians of a figure over the runs, for this build and the baseline.
struct ZYLFIGURE {
    std::string sCase;
    std::string sUnit; // "MB/s" or "s"
    std::vector<double> vThis, vBase;
    std::string sNote;
    std::string sError; // the first failure
};

std::string Cell(const std::vector<double>& values, const std::string& unit) {
    if (values.empty())
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, unit == "s" ? "%.2f %s" : "%.1f %s", Median(values), unit.c_str());
    return text;
}

void PrintFigure(const ZYLFIGURE& figure, bool baseline) {
    std::string ratio;
    if (baseline && !figure.vThis.empty() && !figure.vBase.empty()) {
        // Pair by pair, as they ran side by side.
        std::vector<double> ratios;
        for (size_t i = 0; i < std::min(figure.vThis.size(), figure.vBase.size()); ++i)
            ratios.push_back(figure.vThis[i] / figure.vBase[i]);
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", Median(ratios));
        ratio = text;
    }
    std::printf("%-44s %14s", figure.sCase.c_str(), Cell(figure.vThis, figure.sUnit).c_str());
    if (baseline)
        std::printf(" %14s %7s", Cell(figure.vBase, figure.sUnit).c_str(), ratio.c_str());
    std::printf("   %s\n", figure.sNote.c_str());
    if (!figure.sError.empty())
        std::printf("    failed: %s\n", figure.sError.c_str());
    std::fflush(stdout);
}

struct ZYLOPTIONS {
    long nMiB = 256;
    long nStockMiB = 30;
    long nEntries = 10000;
    long nFiles = 2000;
    int nRuns = 1;
    std::string sBaseline;
    std::vector<std::string> vCases{"tuned", "transport", "stock", "browse", "files", "seal"};
};

bool ParseOptions(int argc, char** argv, ZYLOPTIONS& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](long& out, long low, long high) {
            if (!value)
                return false;
            char* end = nullptr;
            out = std::strtol(value, &end, 10);
            ++i;
            return *end == 0 && out >= low && out <= high;
        };
        long runs = 0;
        if (arg == "--mib"         ? !number(options.nMiB, 1, 16384)
            : arg == "--stock-mib" ? !number(options.nStockMiB, 1, 16384)
            : arg == "--entries"   ? !number(options.nEntries, 1, 1000000)
            : arg == "--files"     ? !number(options.nFiles, 1, 1000000)
            : arg == "--runs"      ? !number(runs, 1, 100)
            : arg == "--baseline"  ? !value
            : arg == "--cases"     ? !value
                                   : true)
            return false;
        if (arg == "--runs")
            options.nRuns = static_cast<int>(runs);
        if (arg == "--baseline")
            options.sBaseline = argv[++i];
        if (arg == "--cases") {
            options.vCases.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');)
                options.vCases.push_back(item);
        }
    }
    return true;
}

bool Wants(const ZYLOPTIONS& options, const char* name) {
    return std::find(options.vCases.begin(), options.vCases.end(), name) != options.vCases.end();
}

// A folder of `count` files of `size` bytes each.
bool MakeFolder(const fs::path& folder, long count, size_t size) {
    fs::create_directories(folder);
    for (long i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%06ld.txt", i);
        std::ofstream out(folder / name, std::ios::binary);
        out << std::string(size, static_cast<char>('a' + i % 26));
        if (!out)
            return false;
    }
    return true;
}

long CountFiles(const fs::path& folder) {
    std::error_code ec;
    long count = 0;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        count += it->is_regular_file() ? 1 : 0;
    return count;
}

// The CPU time of the serving node, the commanding node and the broker (per 100 MB when the case
// moves that much), and the peak memory of the larger node.
std::string CpuNote(const std::vector<ZYLNODERUN>& runs, double megabytes) {
    std::vector<double> server, client, broker;
    long peak = 0;
    for (const ZYLNODERUN& run : runs) {
        server.push_back(run.dServerCpu);
        client.push_back(run.dClientCpu);
        broker.push_back(run.dBrokerCpu);
        peak = std::max(peak, run.nPeakKiB);
    }
    const double scale = megabytes > 0 ? 100 / megabytes : 1;
    char text[200];
    std::snprintf(text, sizeof text, "CPU s%s: server %.2f, client %.2f, broker %.2f; node peak %.1f MiB",
                  megabytes > 0 ? " per 100 MB" : "", Median(server) * scale, Median(client) * scale,
                  Median(broker) * scale, peak / 1024.0);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    ZYLOPTIONS options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: %s [--mib N] [--stock-mib N] [--entries N] [--files N] [--runs N]\n"
            "          [--baseline PATH-TO-OTHER-zylfs] [--cases tuned,transport,stock,browse,files,seal]\n",
            argv[0]);
        return 2;
    }
    const bool baseline = !options.sBaseline.empty();
    CZylTempDir temp;
    const fs::path root = temp.Path();
    // The nodes keep their settings in the bench's folder, not the user's.
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    mosquitto_lib_init();

    CZylBenchBroker tuned(true), stock(false);
    for (CZylBenchBroker* broker : {&tuned, &stock})
        if (!broker->Start()) {
            std::fprintf(stderr, "the broker did not start: %s\n", broker->Error().c_str());
            return 1;
        }
    std::printf("private mosquitto on 127.0.0.1: tuned (set_tcp_nodelay true) port %d, stock (default "
                "configuration) port %d; %d run(s) per figure, medians\n",
                tuned.Port(), stock.Port(), options.nRuns);
    std::printf("%-44s %14s", "case", "this build");
    if (baseline)
        std::printf(" %14s %7s", "baseline", "ratio");
    std::printf("\n");

    // Runs `once` for this build and the baseline in turn, nRuns times; what each run measured.
    const std::string self = ZYLFS_CLI_PATH;
    const auto sideBySide = [&](const std::function<ZYLNODERUN(const std::string&)>& once,
                                std::vector<ZYLNODERUN>& mine, std::vector<ZYLNODERUN>& theirs,
                                std::string& error) {
        for (int i = 0; i < options.nRuns; ++i)
            for (const std::string& zylfs :
                 baseline ? std::vector{self, options.sBaseline} : std::vector{self}) {
                ZYLNODERUN run = once(zylfs);
                if (!run.bOk && error.empty())
                    error = (zylfs == self ? "" : "baseline: ") + run.sError;
                if (run.bOk)
                    (zylfs == self ? mine : theirs).push_back(run);
            }
    };
    const auto rates = [](const std::vector<ZYLNODERUN>& runs, double megabytes, bool transfer) {
        std::vector<double> values;
        for (const ZYLNODERUN& run : runs)
            values.push_back(megabytes / (transfer ? run.dTransferSeconds : run.dCommandSeconds));
        return values;
    };
    const auto seconds = [](const std::vector<ZYLNODERUN>& runs) {
        std::vector<double> values;
        for (const ZYLNODERUN& run : runs)
            values.push_back(run.dCommandSeconds);
        return values;
    };

    // A download of one random file of `mib` MiB through a broker.
    const auto download = [&](const CZylBenchBroker& broker, long mib, std::vector<ZYLNODERUN>& mine,
                              std::vector<ZYLNODERUN>& theirs, std::string& error) {
        const fs::path folder = root / ("file-" + std::to_string(mib));
        const fs::path original = folder / "random.bin";
        if (!fs::exists(original) &&
            !ZylWriteRandomFile(original, static_cast<size_t>(mib) << 20, 20050412)) {
            error = "cannot write " + original.string();
            return;
        }
        const fs::path into = root / "in";
        sideBySide(
            [&](const std::string& zylfs) {
                std::error_code ec;
                fs::remove_all(into, ec);
                fs::create_directories(into);
                return RunNodeCase(zylfs, broker, root, folder, "Bench", "browse,download",
                                   {"get", ZYL_OWNER, "Bench\\random.bin", into.string()}, [&] {
                                       return ZylSameFiles(original, into / "random.bin")
                                                  ? std::string()
                                                  : std::string("the downloaded file differs");
                                   });
            },
            mine, theirs, error);
    };

    if (Wants(options, "tuned")) {
        const double megabytes = (static_cast<uint64_t>(options.nMiB) << 20) / 1e6;
        std::vector<ZYLNODERUN> mine, theirs;
        std::string error;
        download(tuned, options.nMiB, mine, theirs, error);
        const std::string name = "tuned broker: download " + std::to_string(options.nMiB) + " MiB";
        PrintFigure({name, "MB/s", rates(mine, megabytes, false), rates(theirs, megabytes, false),
                     "zylfs get, verified; " + CpuNote(mine, megabytes), error},
                    baseline);
        PrintFigure({"  transfer alone",
                     "MB/s",
                     rates(mine, megabytes, true),
                     rates(theirs, megabytes, true),
                     "after login, handshake and listing",
                     {}},
                    baseline);
        // The broker's own rate for the file in one message per piece: with the QoS the transport
        // publishes frames with now, and with QoS 1 as it did before.
        for (const int qos : {ZYL_FRAME_QOS, 1}) {
            std::vector<double> bare, bareCpu, ratio, transferRatio, baseRatio;
            std::string bareError;
            for (int i = 0; i < options.nRuns; ++i) {
                const ZYLRAWRESULT raw = RunBare(tuned, static_cast<uint64_t>(options.nMiB) << 20, qos);
                if (!raw.bOk) {
                    bareError = raw.sError;
                    continue;
                }
                bare.push_back(megabytes / raw.dSeconds);
                bareCpu.push_back(raw.dCpu * 100 / megabytes);
                const size_t at = static_cast<size_t>(i);
                if (at < mine.size()) {
                    ratio.push_back(rates({mine[at]}, megabytes, false)[0] / bare.back());
                    transferRatio.push_back(rates({mine[at]}, megabytes, true)[0] / bare.back());
                }
                if (at < theirs.size())
                    baseRatio.push_back(rates({theirs[at]}, megabytes, false)[0] / bare.back());
            }
            char note[160];
            std::snprintf(note, sizeof note, "one %zu-byte message per piece; broker CPU s per 100 MB %.2f",
                          ZYL_FRAME_HEADER_SIZE + 32 + ZYL_PIECE, Median(bareCpu));
            PrintFigure({"tuned broker: bare libmosquitto, QoS " + std::to_string(qos),
                         "MB/s",
                         bare,
                         {},
                         note,
                         bareError},
                        false);
            std::printf("%-44s %9.3f", "  ratio node / bare", Median(ratio));
            if (baseline)
                std::printf("      %9.3f", Median(baseRatio));
            std::printf("      (transfer alone %.3f; run by run)\n", Median(transferRatio));
            std::fflush(stdout);
        }
    }

    if (Wants(options, "seal")) {
        // What sealing costs a host per byte: a full file data reply sealed by the sender and
        // opened by the receiver, against the same frame encoded and decoded in the clear.
        const std::vector<uint8_t> piece(65536, 0x5A);
        const ZYLKEY key = ZylNewEphemeral().pub;
        const long count = options.nMiB * 16;
        const auto rate = [&](bool sealed) {
            std::vector<double> values;
            for (int run = 0; run < options.nRuns; ++run) {
                const auto start = std::chrono::steady_clock::now();
                size_t check = 0;
                for (long i = 1; i <= count; ++i) {
                    ZYLFRAME frame;
                    if (sealed) {
                        const std::vector<uint8_t> body =
                            ZylSealFrame(key, ZYL_FRAME_DATA, 7, 1, i, piece.data(), piece.size());
                        frame = ZylDecodeFrame(body.data(), body.size()).value();
                        check += ZylOpenFrame(key, frame) ? frame.payload.size() : 0;
                    } else {
                        const std::vector<uint8_t> body =
                            ZylEncodeFrame(ZYL_FRAME_DATA, 7, 1, i, piece.data(), piece.size());
                        check += ZylDecodeFrame(body.data(), body.size()).value().payload.size();
                    }
                }
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                values.push_back(check == piece.size() * count ? check / 1e6 / elapsed : 0);
            }
            return values;
        };
        const std::vector<double> clear = rate(false);
        char note[96];
        std::snprintf(note, sizeof note, "one core; the same frames unsealed: %.0f MB/s", Median(clear));
        PrintFigure({"frames sealed and opened, 64 KiB", "MB/s", rate(true), {}, note, {}}, baseline);
    }

    if (Wants(options, "transport")) {
        // What the transport and the broker allow for the file data exchange, with the window the
        // plug-in keeps (8 pieces) and with wider ones: how much of a node's rate the plug-in's
        // window and its own work leave on the table.
        const uint64_t bytes = static_cast<uint64_t>(options.nMiB) << 20;
        const double megabytes = bytes / 1e6;
        for (const auto& [broker, name] : {std::pair{&tuned, "tuned"}, std::pair{&stock, "stock"}})
            for (const uint64_t window : {8, 32, 128}) {
                std::vector<double> rate, cpu, brokerCpu, messages;
                std::string error;
                for (int i = 0; i < options.nRuns; ++i) {
                    const ZYLTRANSPORTRESULT run = RunTransport(*broker, bytes, window);
                    if (!run.bOk) {
                        error = run.sError;
                        continue;
                    }
                    rate.push_back(megabytes / run.dSeconds);
                    cpu.push_back(run.dCpu * 100 / megabytes);
                    brokerCpu.push_back(run.dBrokerCpu * 100 / megabytes);
                    messages.push_back(static_cast<double>(run.nMessages) / (bytes / ZYL_PIECE));
                }
                char note[160];
                std::snprintf(note, sizeof note,
                              "%.2f messages per piece; CPU s per 100 MB: both hosts %.2f, broker %.2f",
                              Median(messages), Median(cpu), Median(brokerCpu));
                PrintFigure({std::string(name) + " broker: transport, " + std::to_string(window) +
                                 " replies in flight",
                             "MB/s",
                             rate,
                             {},
                             note,
                             error},
                            false);
            }
    }

    if (Wants(options, "stock")) {
        const double megabytes = (static_cast<uint64_t>(options.nStockMiB) << 20) / 1e6;
        std::vector<ZYLNODERUN> stockMine, stockTheirs, tunedMine, tunedTheirs;
        std::string stockError, tunedError;
        for (int i = 0; i < options.nRuns; ++i) {
            const int runs = options.nRuns;
            options.nRuns = 1; // one of each in turn, so that both see the same moment
            download(stock, options.nStockMiB, stockMine, stockTheirs, stockError);
            download(tuned, options.nStockMiB, tunedMine, tunedTheirs, tunedError);
            options.nRuns = runs;
        }
        const std::string size = std::to_string(options.nStockMiB) + " MiB";
        PrintFigure({"stock broker: download " + size, "MB/s", rates(stockMine, megabytes, false),
                     rates(stockTheirs, megabytes, false),
                     "no set_tcp_nodelay; " + CpuNote(stockMine, megabytes), stockError},
                    baseline);
        PrintFigure({"tuned broker: download " + size, "MB/s", rates(tunedMine, megabytes, false),
                     rates(tunedTheirs, megabytes, false), CpuNote(tunedMine, megabytes), tunedError},
                    baseline);
        std::vector<double> ratio, baseRatio;
        for (size_t i = 0; i < std::min(stockMine.size(), tunedMine.size()); ++i)
            ratio.push_back(tunedMine[i].dCommandSeconds / stockMine[i].dCommandSeconds);
        for (size_t i = 0; i < std::min(stockTheirs.size(), tunedTheirs.size()); ++i)
            baseRatio.push_back(tunedTheirs[i].dCommandSeconds / stockTheirs[i].dCommandSeconds);
        std::printf("%-44s %9.3f", "  ratio stock / tuned", Median(ratio));
        if (baseline)
            std::printf("      %9.3f", Median(baseRatio));
        std::printf("      (run by run)\n");
        std::fflush(stdout);
    }

    if (Wants(options, "browse")) {
        const fs::path folder = root / "browse" / "Many";
        std::vector<ZYLNODERUN> mine, theirs;
        std::string error;
        if (!MakeFolder(folder, options.nEntries, 0)) {
            error = "cannot write " + folder.string();
        } else {
            sideBySide(
                [&](const std::string& zylfs) {
                    return RunNodeCase(zylfs, tuned, root, folder, "Many", "browse,download",
                                       {"browse", ZYL_OWNER, "Many"});
                },
                mine, theirs, error);
        }
        PrintFigure({"browse of " + std::to_string(options.nEntries) + " entries", "s", seconds(mine),
                     seconds(theirs), "zylfs browse, tuned broker; " + CpuNote(mine, 0), error},
                    baseline);
    }

    if (Wants(options, "files")) {
        const fs::path folder = root / "files" / "Small";
        std::vector<ZYLNODERUN> downMine, downTheirs, upMine, upTheirs;
        std::string downError, upError;
        // Every run writes into folders of its own, removed only when the bench ends: a file
        // system that skips the inodes of files deleted a moment ago (ext4 without a journal
        // does) would otherwise make each run pay for the files the one before it removed.
        int run = 0;
        if (!MakeFolder(folder, options.nFiles, 3)) {
            downError = upError = "cannot write " + folder.string();
        } else {
            sideBySide(
                [&](const std::string& zylfs) {
                    const fs::path into = root / "files" / ("in-" + std::to_string(++run));
                    fs::create_directories(into);
                    return RunNodeCase(zylfs, tuned, root, folder, "Small", "browse,download",
                                       {"get", ZYL_OWNER, "Small", into.string()}, [&] {
                                           const long got = CountFiles(into);
                                           return got == options.nFiles
                                                      ? std::string()
                                                      : std::to_string(got) + " files arrived";
                                       });
                },
                downMine, downTheirs, downError);
            sideBySide(
                [&](const std::string& zylfs) {
                    const fs::path target = root / "files" / ("Target-" + std::to_string(++run));
                    fs::create_directories(target);
                    return RunNodeCase(zylfs, tuned, root, target, "Target", "browse,download,upload",
                                       {"put", folder.string(), ZYL_OWNER, "Target"}, [&] {
                                           const long got = CountFiles(target);
                                           return got == options.nFiles
                                                      ? std::string()
                                                      : std::to_string(got) + " files arrived";
                                       });
                },
                upMine, upTheirs, upError);
        }
        const std::string what = std::to_string(options.nFiles) + " files of 3 bytes";
        PrintFigure({"download of " + what, "s", seconds(downMine), seconds(downTheirs),
                     "zylfs get, tuned broker; " + CpuNote(downMine, 0), downError},
                    baseline);
        PrintFigure({"upload of " + what, "s", seconds(upMine), seconds(upTheirs),
                     "zylfs put, tuned broker; " + CpuNote(upMine, 0), upError},
                    baseline);
    }

    std::printf("peak RSS: bench %.1f MiB, largest node %.1f MiB\n", ZylPeakRssKiB(RUSAGE_SELF) / 1024.0,
                ZylPeakRssKiB(RUSAGE_CHILDREN) / 1024.0);
    mosquitto_lib_cleanup();
    return 0;
}
