// What a serving node costs while nothing happens, and what a hostile friend on the same broker can
// make it hold. Each case starts a fresh `zylfs serve` against a private mosquitto and prints:
//
//   idle        the CPU time the node uses in 10 s with nobody talking to it
//   oversized   its peak memory after another account sends it one message of 250 MiB
//   overtaking  its peak memory after another account opens 64 channels and sends each frames of
//               a full PDU that all overtake a frame that never comes (640 MiB in all)
//
// Usage: ZylServeBench [idle|oversized|overtaking ...]   (all three by default; needs mosquitto)
#include "ZylBenchSupport.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttFrame.h"
#include "support/ZylTempDir.h"
#include "zylfs/ZylPlugin.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* ZYL_VICTIM = "S1.1000";
constexpr const char* ZYL_HOSTILE = "S6.1000";
constexpr const char* ZYL_PASSWORD = "bench-secret";
constexpr size_t ZYL_HUGE_MESSAGE = size_t{250} << 20;
constexpr int32_t ZYL_CHANNELS = 64;
constexpr uint64_t ZYL_FRAMES_PER_CHANNEL = 160;
constexpr size_t ZYL_FULL_PDU = 65536;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// user + system time of a process, in clock ticks (fields 14 and 15 of /proc/PID/stat).
long CpuTicks(pid_t pid) {
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// A line of /proc/PID/status in KiB ("VmHWM", "VmRSS"), or -1.
long StatusKiB(pid_t pid, const std::string& name) {
    std::istringstream status(ReadAll("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

class CZylVictim {
public:
    CZylVictim(const fs::path& root, int port) : m_pLog(root / "serve.log") {
        fs::create_directories(root);
        m_nPid = ZylSpawn({ZYLFS_CLI_PATH, "--user", ZYL_VICTIM, "--broker",
                           "127.0.0.1:" + std::to_string(port), "--data", (root / "data").string(), "serve"},
                          m_pLog, {std::string("ZYLFS_PASSWORD=") + ZYL_PASSWORD});
        const auto deadline = Clock::now() + 15s;
        while (Clock::now() < deadline && ReadAll(m_pLog).find("is online") == std::string::npos)
            std::this_thread::sleep_for(20ms);
        m_bOnline = ReadAll(m_pLog).find("is online") != std::string::npos;
    }
    ~CZylVictim() {
        if (m_nPid > 0) {
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, nullptr, 0);
        }
    }
    bool Online() const { return m_bOnline; }
    bool Alive() const { return m_nPid > 0 && waitpid(m_nPid, nullptr, WNOHANG) == 0; }
    pid_t Pid() const { return m_nPid; }
    std::string Log() const { return ReadAll(m_pLog); }

private:
    fs::path m_pLog;
    pid_t m_nPid = -1;
    bool m_bOnline = false;
};

// The hostile account: a bare client that publishes frames under its own name and keeps at most a
// hundred unacknowledged, so that its own memory stays small.
class CZylHostile {
public:
    explicit CZylHostile(int port) {
        m_pMosq = mosquitto_new("bench-hostile", true, this);
        mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_username_pw_set(m_pMosq, ZYL_HOSTILE, ZYL_PASSWORD);
        mosquitto_connect_v5_callback_set(m_pMosq,
                                          [](mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
                                              auto* self = static_cast<CZylHostile*>(obj);
                                              std::lock_guard lock(self->m_mutex);
                                              self->m_nConnack = rc;
                                              self->m_cv.notify_all();
                                          });
        mosquitto_publish_v5_callback_set(m_pMosq,
                                          [](mosquitto*, void* obj, int, int, const mosquitto_property*) {
                                              auto* self = static_cast<CZylHostile*>(obj);
                                              std::lock_guard lock(self->m_mutex);
                                              ++self->m_nAcked;
                                              self->m_cv.notify_all();
                                          });
        if (mosquitto_connect(m_pMosq, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS)
            mosquitto_loop_start(m_pMosq);
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, 5s, [this] { return m_nConnack >= 0; });
    }
    ~CZylHostile() {
        mosquitto_disconnect(m_pMosq);
        mosquitto_loop_stop(m_pMosq, false);
        mosquitto_destroy(m_pMosq);
    }
    bool Connected() {
        std::lock_guard lock(m_mutex);
        return m_nConnack == 0;
    }
    bool Publish(int32_t channel, const std::vector<uint8_t>& body) {
        {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_for(lock, 30s, [this] { return m_nSent - m_nAcked < 100; }))
                return false;
        }
        const std::string topic = ZylPduTopic(ZYL_VICTIM, ZYL_HOSTILE, channel);
        if (mosquitto_publish(m_pMosq, nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(), 1,
                              false) != MOSQ_ERR_SUCCESS)
            return false;
        std::lock_guard lock(m_mutex);
        ++m_nSent;
        return true;
    }
    bool WaitForAll() {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, 120s, [this] { return m_nAcked >= m_nSent; });
    }

private:
    mosquitto* m_pMosq;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nConnack = -1;
    uint64_t m_nSent = 0;
    uint64_t m_nAcked = 0;
};

bool RunIdle(const fs::path& root, int port) {
    CZylVictim victim(root, port);
    if (!victim.Online()) {
        std::fprintf(stderr, "the serving node did not come online:\n%s\n", victim.Log().c_str());
        return false;
    }
    std::this_thread::sleep_for(1s); // past the start-up
    const long before = CpuTicks(victim.Pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(10s);
    const long after = CpuTicks(victim.Pid());
    const double seconds = ZylSeconds(Clock::now() - start);
    const double cpu = static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::printf("idle serve:        %6.2f s of CPU in %.1f s (%.1f%% of a core)\n", cpu, seconds,
                100.0 * cpu / seconds);
    return true;
}

// Sends the flood, lets the victim take it in, and prints its peak memory.
bool RunFlood(const fs::path& root, int port, bool oversized) {
    CZylVictim victim(root, port);
    CZylHostile hostile(port);
    if (!victim.Online() || !hostile.Connected()) {
        std::fprintf(stderr, "the serving node or the hostile client did not log in:\n%s\n",
                     victim.Log().c_str());
        return false;
    }
    std::this_thread::sleep_for(500ms);
    const long baseline = StatusKiB(victim.Pid(), "VmHWM");
    uint64_t bytes = 0;
    bool ok = true;
    if (oversized) {
        std::vector<uint8_t> body = ZylEncodeFrame(ZYL_FRAME_DATA, 4101, 1, 2, nullptr, 0);
        body.resize(ZYL_HUGE_MESSAGE, 0x5A);
        ok = hostile.Publish(ZYL_CHANNEL_DATA, body);
        bytes = body.size();
    } else {
        const std::vector<uint8_t> payload(ZYL_FULL_PDU, 0xA5);
        for (int32_t channel = 1; ok && channel <= ZYL_CHANNELS; ++channel)
            ok = hostile.Publish(channel, ZylEncodeFrame(ZYL_FRAME_OPEN, 0, 1000, 1, nullptr, 0));
        // Sequence 2 never comes: everything from 3 on overtakes it.
        for (uint64_t sequence = 3; ok && sequence < 3 + ZYL_FRAMES_PER_CHANNEL; ++sequence)
            for (int32_t channel = 1; ok && channel <= ZYL_CHANNELS; ++channel) {
                const auto body =
                    ZylEncodeFrame(ZYL_FRAME_DATA, 4101, 1000, sequence, payload.data(), payload.size());
                ok = hostile.Publish(channel, body);
                bytes += body.size();
            }
    }
    ok = ok && hostile.WaitForAll();
    // The broker hands on what it took and the node takes it in: until its peak stays put for 2 s.
    const auto deadline = Clock::now() + 60s;
    for (int still = 0; still < 4 && Clock::now() < deadline;) {
        const long peak = StatusKiB(victim.Pid(), "VmHWM");
        std::this_thread::sleep_for(500ms);
        still = StatusKiB(victim.Pid(), "VmHWM") == peak ? still + 1 : 0;
    }
    if (!ok || !victim.Alive()) {
        std::fprintf(stderr, "the flood did not go through, or the node died:\n%s\n", victim.Log().c_str());
        return false;
    }
    std::printf("%s %6.1f MiB sent: node peak %.1f MiB (before the flood %.1f MiB), now %.1f MiB\n",
                oversized ? "oversized flood: " : "overtaking flood:", bytes / 1048576.0,
                StatusKiB(victim.Pid(), "VmHWM") / 1024.0, baseline / 1024.0,
                StatusKiB(victim.Pid(), "VmRSS") / 1024.0);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> cases(argv + 1, argv + argc);
    if (cases.empty())
        cases = {"idle", "oversized", "overtaking"};
    CZylTempDir temp;
    setenv("XDG_CONFIG_HOME", (temp.Path() / "config").c_str(), 1);
    mosquitto_lib_init();
    CZylLocalBroker broker;
    broker.AddUser(ZYL_VICTIM, ZYL_PASSWORD);
    broker.AddUser(ZYL_HOSTILE, ZYL_PASSWORD);
    if (!broker.Start()) {
        std::fprintf(stderr, "the broker did not start: %s\n", broker.Error().c_str());
        return 1;
    }
    int run = 0;
    for (const std::string& name : cases) {
        const fs::path root = temp.Path() / ("run" + std::to_string(++run));
        bool ok = false;
        if (name == "idle")
            ok = RunIdle(root, broker.Port());
        else if (name == "oversized" || name == "overtaking")
            ok = RunFlood(root, broker.Port(), name == "oversized");
        else
            std::fprintf(stderr, "usage: %s [idle|oversized|overtaking ...]\n", argv[0]);
        std::fflush(stdout);
        if (!ok)
            return 1;
    }
    mosquitto_lib_cleanup();
    return 0;
}
