// A `zylfs serve` node shares a folder of many files through a private mosquitto on loopback; a
// flooding friend (a bare transport in this process, no plug-in) asks it for that folder's file
// list and listing again and again, while another friend runs `zylfs browse` on a small share.
// Prints how long each browse command takes before and during the flood, what the flood got, and
// the serving node's resident memory before and during the flood and at its peak.
//
// Usage: ZylMqttFloodBench [files] [requests per second] [browses]   (20000, 100 and 5 by default;
// needs mosquitto and mosquitto_passwd)
#include "ZylBenchSupport.h"
#include "core/ZylDateTime.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttHost.h"
#include "support/ZylTempDir.h"
#include "zylfs/ZylPlugin.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* ZYL_OWNER = "S1.1000";
constexpr const char* ZYL_FLOODER = "S2.1000";
constexpr const char* ZYL_BROWSER = "S3.1000";
constexpr const char* ZYL_PASSWORD = "bench-flood-secret";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

// A line of /proc/PID/status ("VmRSS", "VmHWM") in KiB; 0 when it cannot be read.
long StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return 0;
}

std::vector<std::string> NodeArgs(const std::string& user, const fs::path& data, int port,
                                  std::vector<std::string> command) {
    std::vector<std::string> args{
        ZYLFS_CLI_PATH, "--user",     user, "--broker", "127.0.0.1:" + std::to_string(port),
        "--data",       data.string()};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

// The seconds one `zylfs browse` of the small share takes; negative when it fails.
double Browse(const fs::path& root, int port) {
    const fs::path log = root / "browse.log";
    const auto start = Clock::now();
    const int rc =
        ZylRunProgram(NodeArgs(ZYL_BROWSER, root / "data-browser", port, {"browse", ZYL_OWNER, "Small"}), log,
                      {std::string("ZYLFS_PASSWORD=") + ZYL_PASSWORD});
    const double seconds = ZylSeconds(Clock::now() - start);
    if (rc != 0) {
        std::fprintf(stderr, "zylfs browse failed:\n%s\n", ReadAll(log).c_str());
        return -1;
    }
    return seconds;
}

// The flooding friend: opens both channels to the owner, then every second sends its file list
// and listing requests for the large share; takes (and acknowledges) whatever comes back.
struct ZYLFLOOD {
    std::atomic<bool> bStop{false};
    std::atomic<bool> bReady{false};
    std::atomic<bool> bFailed{false};
    std::atomic<uint64_t> nSent{0}, nPages{0}, nBusy{0}, nRefusedSends{0};
};

void RunFlood(int port, int perSecond, ZYLFLOOD& flood) {
    CZylMqttHost host;
    if (!host.Connect("127.0.0.1", port, ZYL_FLOODER, ZYL_PASSWORD).empty()) {
        flood.bFailed = true;
        return;
    }
    int open = 0;
    auto handle = [&](const ZYLHOSTEVENT& event) {
        if (event.kind == DLL_P2P_ON_CONNECT && event.status == 0)
            ++open;
        if (event.kind != DLL_P2P_ON_DATA)
            return;
        if (event.command == ZYL_CMD_FILE_LIST_REPLY || event.command == ZYL_CMD_EXPLORER_FOLDER_REPLY)
            ++flood.nPages;
        if (event.command == ZYL_CMD_ERROR)
            ++flood.nBusy;
    };
    host.OpenChannel(ZYL_OWNER, ZYL_CHANNEL_REQUEST);
    host.OpenChannel(ZYL_OWNER, ZYL_CHANNEL_DATA);
    const auto deadline = Clock::now() + 15s;
    while (open < 2 && Clock::now() < deadline) {
        host.Wait(50);
        host.Poll(handle);
    }
    if (open < 2) {
        flood.bFailed = true;
        return;
    }
    flood.bReady = true;
    uint32_t task = 0;
    auto next = Clock::now();
    while (!flood.bStop) {
        if (Clock::now() >= next) {
            for (int i = 0; i < perSecond; ++i) {
                ZylPayloadWriter writer;
                const bool list = i % 6 != 5; // five file lists to one folder listing
                if (list) {
                    writer.WriteInt32(static_cast<int32_t>(++task));
                    writer.Write(CZylDateTime(1200000000));
                    writer.WriteInt32(1);
                } else {
                    writer.Write(CZylDateTime(1200000000));
                }
                writer.WriteString(u"Big");
                const uint32_t command = list ? ZYL_CMD_FILE_LIST_REQUEST : ZYL_CMD_EXPLORER_FOLDER_REQUEST;
                if (host.Send(ZYL_OWNER, ZYL_CHANNEL_REQUEST, command, writer.Data(), writer.Size()) > 0)
                    ++flood.nSent;
                else
                    ++flood.nRefusedSends;
            }
            next += 1s;
        }
        host.Wait(20);
        host.Poll(handle);
    }
    host.Disconnect();
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int perSecond = argc > 2 ? std::atoi(argv[2]) : 100;
    const int browses = argc > 3 ? std::atoi(argv[3]) : 5;
    if (files < 1 || perSecond < 1 || browses < 1) {
        std::fprintf(stderr, "usage: %s [files] [requests per second] [browses]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    CZylTempDir temp;
    const fs::path root = temp.Path();
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);

    CZylLocalBroker broker;
    for (const char* user : {ZYL_OWNER, ZYL_FLOODER, ZYL_BROWSER})
        broker.AddUser(user, ZYL_PASSWORD);
    if (!broker.Start()) {
        std::fprintf(stderr, "the broker did not start: %s\n", broker.Error().c_str());
        return 1;
    }
    const int port = broker.Port();
    const std::vector<std::string> env{std::string("ZYLFS_PASSWORD=") + ZYL_PASSWORD};

    const fs::path big = root / "owner" / "Big", small = root / "owner" / "Small";
    fs::create_directories(big);
    fs::create_directories(small);
    for (int i = 0; i < files; ++i)
        std::ofstream(big / ("file" + std::to_string(i) + ".txt"));
    std::ofstream(small / "one.txt");
    const fs::path ownerData = root / "data-owner";
    for (const auto& [folder, rights] : {std::pair{big, "browse,download"}, std::pair{small, "browse"}})
        if (ZylRunProgram(
                NodeArgs(ZYL_OWNER, ownerData, port, {"share", "add", folder.string(), "--everyone", rights}),
                root / "share.log", env) != 0) {
            std::fprintf(stderr, "zylfs share add failed:\n%s\n", ReadAll(root / "share.log").c_str());
            return 1;
        }
    const fs::path serveLog = root / "serve.log";
    const pid_t server = ZylSpawn(NodeArgs(ZYL_OWNER, ownerData, port, {"serve"}), serveLog, env);
    if (server < 0 || !WaitForText(serveLog, "is online", 15s)) {
        std::fprintf(stderr, "the serving node did not come online:\n%s\n", ReadAll(serveLog).c_str());
        return 1;
    }
    std::printf("private mosquitto on 127.0.0.1:%d; %d files in the flooded share\n", port, files);

    std::vector<double> before;
    for (int i = 0; i < browses; ++i)
        before.push_back(Browse(root, port));
    const long rssBefore = StatusKiB(server, "VmRSS");

    ZYLFLOOD flood;
    std::thread flooder([&] { RunFlood(port, perSecond, flood); });
    while (!flood.bReady && !flood.bFailed)
        std::this_thread::sleep_for(20ms);
    if (flood.bFailed) {
        std::fprintf(stderr, "the flooding friend could not open its channels\n");
        flooder.join();
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        return 1;
    }
    const auto floodStart = Clock::now();
    std::this_thread::sleep_for(3s); // the flood is under way
    std::vector<double> during;
    std::vector<long> rss;
    for (int i = 0; i < browses; ++i) {
        during.push_back(Browse(root, port));
        rss.push_back(StatusKiB(server, "VmRSS"));
        std::this_thread::sleep_for(1s);
    }
    const double floodSeconds = ZylSeconds(Clock::now() - floodStart);
    const long hwm = StatusKiB(server, "VmHWM");
    flood.bStop = true;
    flooder.join();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    broker.Stop();

    auto show = [](const char* label, std::vector<double> seconds) {
        const bool failed = std::any_of(seconds.begin(), seconds.end(), [](double s) { return s < 0; });
        std::sort(seconds.begin(), seconds.end());
        std::printf("%s median %.2f s, worst %.2f s%s\n", label, seconds[seconds.size() / 2], seconds.back(),
                    failed ? " (some failed)" : "");
    };
    show("zylfs browse of the small share, no flood:      ", before);
    show("zylfs browse of the small share, during flood:  ", during);
    std::printf(
        "flood: %.0f s, %llu requests taken by the transport (%llu refused by it), %llu listing pages and "
        "%llu \"net busy\" answers received\n",
        floodSeconds, static_cast<unsigned long long>(flood.nSent.load()),
        static_cast<unsigned long long>(flood.nRefusedSends.load()),
        static_cast<unsigned long long>(flood.nPages.load()),
        static_cast<unsigned long long>(flood.nBusy.load()));
    std::printf("serving node resident memory: %.1f MiB before the flood, %.1f .. %.1f MiB during it, peak "
                "%.1f MiB\n",
                rssBefore / 1024.0, *std::min_element(rss.begin(), rss.end()) / 1024.0,
                *std::max_element(rss.begin(), rss.end()) / 1024.0, hwm / 1024.0);
    return 0;
}
