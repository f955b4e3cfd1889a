#include "cli/ZylDemo.h"

#include "cli/ZylCommands.h"
#include "host/ZylLocalBroker.h"

#include <fmt/format.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* ZYL_DEMO_OWNER = "S1.1000";
constexpr const char* ZYL_DEMO_FRIEND = "S2.1000";

void WriteFile(const fs::path& path, size_t size, std::mt19937_64& random) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 16);
    for (size_t done = 0; done < size;) {
        for (size_t i = 0; i < block.size(); i += 8) {
            const uint64_t value = random();
            std::memcpy(block.data() + i, &value, 8);
        }
        const size_t n = std::min(block.size(), size - done);
        out.write(block.data(), static_cast<std::streamsize>(n));
        done += n;
    }
}

// The tree the demo shares: the sizes around the transfer's 7168-byte pieces and its window of
// eight, nested folders, an empty file and one large random file.
uint64_t MakeTree(const fs::path& root, int randomMiB, std::mt19937_64& random) {
    const std::pair<const char*, size_t> files[] = {
        {"docs/empty.txt", 0},
        {"docs/note.txt", 100},
        {"docs/one-piece.bin", 7168},
        {"docs/seven-pieces.bin", 50176},
        {"docs/eight-pieces.bin", 57344},
        {"docs/nine-pieces.bin", 64512},
        {"photos/2005/beach.jpg", 183211},
        {"photos/2005/hill.jpg", 96007},
        {"photos/2006/snow.jpg", 250000},
    };
    uint64_t total = 0;
    for (const auto& [name, size] : files) {
        WriteFile(root / name, size, random);
        total += size;
    }
    const size_t large = static_cast<size_t>(randomMiB) << 20;
    WriteFile(root / "big" / "random.bin", large, random);
    fs::create_directories(root / "empty-folder");
    return total + large;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y)
        return false;
    std::vector<char> bx(1 << 16), by(1 << 16);
    while (true) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() ||
            std::memcmp(bx.data(), by.data(), static_cast<size_t>(x.gcount())) != 0)
            return false;
        if (x.gcount() == 0)
            return true;
    }
}

// Every file of the original, byte for byte and with its modification time (whole seconds).
int Verify(const fs::path& original, const fs::path& copy) {
    int files = 0, bad = 0;
    for (const auto& entry : fs::recursive_directory_iterator(original)) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const fs::path other = copy / fs::relative(entry.path(), original);
        std::error_code ec;
        const bool same = SameBytes(entry.path(), other);
        const auto t1 = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(entry.path(), ec));
        const auto t2 = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(other, ec));
        if (!same || ec || t1 != t2) {
            ++bad;
            fmt::print(stderr, "  differs: {}{}\n", fs::relative(entry.path(), original).string(),
                       same ? " (modification time)" : "");
        }
    }
    fmt::print("verified {} file(s): {}\n", files, bad ? fmt::format("{} differ", bad) : "all identical");
    return bad == 0 && files > 0 ? 0 : 1;
}

bool WaitForText(const fs::path& file, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (content.find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}
} // namespace

int ZylCmdDemo(const ZYLDEMOOPTIONS& options) {
    std::mt19937_64 random(20051124);
    fs::path root;
    if (!options.sKeep.empty()) {
        root = fs::absolute(options.sKeep);
        fs::create_directories(root);
    } else {
        std::string pattern = (fs::temp_directory_path() / "zylfs-demo-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            fmt::print(stderr, "zylfs: cannot make a temporary folder\n");
            return 1;
        }
        root = pattern;
    }
    const std::string ownerPassword = ZylRandomPassword();
    const std::string friendPassword = ZylRandomPassword();

    fmt::print("starting a private broker with TLS on a free loopback port\n");
    CZylLocalBroker broker;
    broker.AddUser(ZYL_DEMO_OWNER, ownerPassword);
    broker.AddUser(ZYL_DEMO_FRIEND, friendPassword);
    if (!broker.Start()) {
        fmt::print(stderr, "zylfs: the broker did not start: {}\n", broker.Error());
        return 1;
    }
    // Over TLS, as across the Internet: the nodes verify the broker against its own authority.
    const std::string brokerText = fmt::format("127.0.0.1:{}", broker.TlsPort());
    const std::string caFile = broker.CaFile().string();

    const fs::path tree = root / "owner-files" / "Demo";
    fmt::print("making a folder tree in {}\n", tree.string());
    const uint64_t bytes = MakeTree(tree, options.nRandomMiB, random);

    ZYLNODEOPTIONS owner;
    owner.sUser = ZYL_DEMO_OWNER;
    owner.sPassword = ownerPassword;
    owner.vBrokers = {{"127.0.0.1", broker.TlsPort()}};
    owner.security.nTls = 1;
    owner.security.sCaFile = caFile;
    owner.pDataDir = root / "owner-data";
    ZYLSHAREADD add;
    add.sPath = tree.string();
    add.sName = "Demo";
    add.sEveryone = "browse,download";
    if (ZylCmdShareAdd(owner, add) != 0)
        return 1;

    const fs::path serveLog = root / "owner-serve.log";
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const pid_t server = ZylSpawn({exe, "--user", ZYL_DEMO_OWNER, "--broker", brokerText, "--tls",
                                   "--ca-file", caFile, "--data", owner.pDataDir.string(), "serve"},
                                  serveLog, {"ZYLFS_PASSWORD=" + ownerPassword});
    int result = 1;
    if (server < 0 || !WaitForText(serveLog, "is online", 15s)) {
        fmt::print(stderr, "zylfs: the sharing node did not come online (see {})\n", serveLog.string());
    } else {
        fmt::print("{} serves Demo; {} downloads it\n", ZYL_DEMO_OWNER, ZYL_DEMO_FRIEND);
        ZYLNODEOPTIONS friendNode;
        friendNode.sUser = ZYL_DEMO_FRIEND;
        friendNode.sPassword = friendPassword;
        friendNode.vBrokers = owner.vBrokers;
        friendNode.security = owner.security;
        friendNode.pDataDir = root / "friend-data";
        const fs::path downloads = root / "friend-downloads";
        const auto start = std::chrono::steady_clock::now();
        result = ZylCmdGet(friendNode, ZYL_DEMO_OWNER, "Demo", downloads.string());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result == 0) {
            fmt::print("downloaded {:.1f} MB in {:.2f} s: {:.1f} MB/s\n", bytes / 1e6, seconds,
                       bytes / 1e6 / seconds);
            result = Verify(tree, downloads / "Demo");
        }
    }
    if (server > 0) {
        kill(server, SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
    }
    broker.Stop();
    if (options.sKeep.empty()) {
        std::error_code ec;
        fs::remove_all(root, ec);
    } else {
        fmt::print("the demo's folders are kept in {}\n", root.string());
    }
    fmt::print("{}\n", result == 0 ? "demo passed" : "demo FAILED");
    return result;
}
