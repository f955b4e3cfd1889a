#include "zylhost/ZylHostDemo.h"

#include "host/ZylLocalBroker.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
namespace fs = std::filesystem;

constexpr const char* ZYL_DEMO_OWNER = "S1.1000";
constexpr const char* ZYL_DEMO_FRIEND = "S2.1000";

std::atomic<bool> g_bStop{false};

void OnSignal(int) {
    g_bStop = true;
}

// The demo's files need sizes, not contents: each is one letter repeated.
void WriteFile(const fs::path& path, size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, static_cast<char>('a' + size % 26));
}

// A tree worth browsing: folders two deep, small and empty files, and one of a few MiB whose
// progress can be watched.
void MakeTree(const fs::path& root) {
    const std::pair<const char*, size_t> files[] = {
        {"docs/readme.txt", 100},
        {"docs/empty.txt", 0},
        {"docs/report.pdf", 57344},
        {"photos/2005/beach.jpg", 183211},
        {"photos/2005/hill.jpg", 96007},
        {"photos/2006/snow.jpg", 250000},
        {"music/song.mp3", 3 * 1024 * 1024},
        {"video/holiday.mp4", 24 * 1024 * 1024},
    };
    for (const auto& [name, size] : files)
        WriteFile(root / name, size);
    fs::create_directories(root / "empty-folder");
}

fs::path Beside(const char* program) {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path() / program;
}
} // namespace

int ZylHostDemo(const std::string& keep) {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "zylhost: the demo shows two windows: run it in a desktop session\n");
        return 1;
    }
    fs::path root;
    if (!keep.empty()) {
        root = fs::absolute(keep);
        fs::create_directories(root);
    } else {
        std::string pattern = (fs::temp_directory_path() / "zylhost-demo-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "zylhost: cannot make a temporary folder\n");
            return 1;
        }
        root = pattern;
    }
    const fs::path zylfs = Beside("zylfs");
    const fs::path zylhost = Beside("zylhost");
    if (!fs::exists(zylfs)) {
        std::fprintf(stderr, "zylhost: the demo needs the zylfs program beside zylhost (%s)\n",
                     zylfs.c_str());
        return 1;
    }

    std::printf("starting a private broker on a free loopback port\n");
    const std::string ownerPassword = ZylRandomPassword();
    const std::string friendPassword = ZylRandomPassword();
    CZylLocalBroker broker;
    broker.AddUser(ZYL_DEMO_OWNER, ownerPassword);
    broker.AddUser(ZYL_DEMO_FRIEND, friendPassword);
    if (!broker.Start()) {
        std::fprintf(stderr, "zylhost: the broker did not start: %s\n", broker.Error().c_str());
        return 1;
    }
    // The hosts speak TLS to it, verifying its certificate against its own authority.
    const std::string address = "127.0.0.1:" + std::to_string(broker.TlsPort());
    const std::string caFile = broker.CaFile().string();

    const fs::path tree = root / "owner-files" / "Demo";
    std::printf("making a folder tree in %s\n", tree.c_str());
    MakeTree(tree);
    const fs::path ownerData = root / "owner-data";
    const fs::path friendData = root / "friend-data";
    if (ZylRunProgram({zylfs.string(), "--user", ZYL_DEMO_OWNER, "--data", ownerData.string(), "share", "add",
                       tree.string(), "--name", "Demo", "--everyone", "browse,download"},
                      root / "share.log", {"XDG_CONFIG_HOME=" + (root / "owner-config").string()}) != 0) {
        std::fprintf(stderr, "zylhost: sharing the tree failed (see %s)\n", (root / "share.log").c_str());
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    struct CHILD {
        const char* user;
        pid_t pid;
        fs::path log;
    };
    std::array<CHILD, 2> children = {
        CHILD{ZYL_DEMO_OWNER,
              ZylSpawn(
                  {zylhost.string(), "--user", ZYL_DEMO_OWNER, "--broker", address, "--tls", "--ca-file",
                   caFile, "--data", ownerData.string(), "--open"},
                  root / "owner.log",
                  {"ZYLFS_PASSWORD=" + ownerPassword, "XDG_CONFIG_HOME=" + (root / "owner-config").string()}),
              root / "owner.log"},
        CHILD{ZYL_DEMO_FRIEND,
              ZylSpawn({zylhost.string(), "--user", ZYL_DEMO_FRIEND, "--broker", address, "--tls",
                        "--ca-file", caFile, "--data", friendData.string(), "--browse", ZYL_DEMO_OWNER},
                       root / "friend.log",
                       {"ZYLFS_PASSWORD=" + friendPassword,
                        "XDG_CONFIG_HOME=" + (root / "friend-config").string()}),
              root / "friend.log"}};
    std::printf("%s shares the folder Demo; %s opens its shares.\n"
                "Drag a folder from %s's file list onto its task list and watch it arrive.\n"
                "Close both contact windows (or press Ctrl+C here) to end the demo.\n",
                ZYL_DEMO_OWNER, ZYL_DEMO_FRIEND, ZYL_DEMO_FRIEND);
    std::fflush(stdout);

    int result = 0;
    size_t running = 0;
    for (const CHILD& child : children)
        running += child.pid > 0 ? 1 : 0;
    bool stopping = false;
    while (running > 0) {
        if (g_bStop && !stopping) {
            stopping = true;
            for (const CHILD& child : children)
                if (child.pid > 0)
                    kill(child.pid, SIGTERM);
        }
        for (CHILD& child : children) {
            int status = 0;
            if (child.pid <= 0 || waitpid(child.pid, &status, WNOHANG) != child.pid)
                continue;
            child.pid = -1;
            --running;
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (code != 0) {
                result = 1;
                std::fprintf(stderr, "zylhost: %s's host ended with code %d (see %s)\n", child.user, code,
                             child.log.c_str());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    broker.Stop();
    if (keep.empty()) {
        std::error_code ec;
        fs::remove_all(root, ec);
    } else {
        std::printf("the demo's folders are kept in %s\n", root.c_str());
    }
    return result;
}
