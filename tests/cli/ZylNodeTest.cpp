// The zylfs node as people run it: a process for each user against a real mosquitto; sharing, browsing,
// downloading and uploading, and a node killed and the broker restarted in the middle of a download.
#include "../support/ZylScratchMount.h"
#include "host/ZylLocalBroker.h"
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace {
const std::string kOwner = "S1.1000", kFriend = "S2.1000", kStranger = "S3.1000";
void WriteRandom(const fs::path& path, size_t size, uint64_t seed) {
    fs::create_directories(path.parent_path());
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}
std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
// Waits until done() holds; false after the timeout.
template <class DONE> bool WaitFor(DONE done, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    return done();
}
// Every file below a is below b, with the same bytes where asked (once here), else of the same size.
void ExpectSameTree(const fs::path& a, const fs::path& b, bool bytes = false) {
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(a))
        if (const fs::path other = b / fs::relative(entry.path(), a); entry.is_regular_file() && ++files) {
            ASSERT_TRUE(fs::exists(other)) << other;
            EXPECT_TRUE(bytes ? ReadAll(entry.path()) == ReadAll(other)
                              : entry.file_size() == fs::file_size(other))
                << other;
        }
    EXPECT_GT(files, 0u);
}
class ZylNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zylfs-node-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_pRoot = pattern;
        setenv("XDG_CONFIG_HOME", (m_pRoot / "config").c_str(), 1);
        for (const auto& user : {kOwner, kFriend, kStranger})
            m_broker.AddUser(user, Password(user));
        ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
        m_sBrokers = "127.0.0.1:" + std::to_string(m_broker.Port());
    }
    void TearDown() override {
        for (pid_t pid : m_vChildren)
            if (kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        m_broker.Stop();
        std::error_code ec;
        fs::remove_all(m_pRoot, ec);
    }
    static std::string Password(const std::string& user) { return "pw-" + user; }
    bool Said(const std::string& text) const { return m_sOutput.find(text) != std::string::npos; }
    std::vector<std::string> Args(const std::string& user, std::vector<std::string> command) {
        command.insert(command.begin(), {ZYLFS_CLI_PATH, "--user", user, "--broker", m_sBrokers, "--data",
                                         (m_pRoot / ("data-" + user)).string()});
        return command;
    }
    // Runs zylfs as the user (its password unless another is given): the exit code, the output in m_sOutput.
    int Run(const std::string& user, std::vector<std::string> command, const std::string& password = {}) {
        const fs::path out = m_pRoot / "out.txt";
        fs::remove(out);
        const int code = ZylRunProgram(Args(user, std::move(command)), out,
                                       {"ZYLFS_PASSWORD=" + (password.empty() ? Password(user) : password)});
        m_sOutput = ReadAll(out);
        return code;
    }
    pid_t Start(const std::string& user, std::vector<std::string> command, const std::string& log) {
        const pid_t pid =
            ZylSpawn(Args(user, std::move(command)), m_pRoot / log, {"ZYLFS_PASSWORD=" + Password(user)});
        if (pid > 0)
            m_vChildren.push_back(pid);
        return pid;
    }
    // The owner shares a folder tree and serves it.
    void ServeTree(const std::vector<std::string>& shareOptions) {
        m_pTree = m_pRoot / "owner" / "Pics";
        WriteRandom(m_pTree / "a.bin", 100, 1);
        WriteRandom(m_pTree / "2005" / "b.bin", 57344, 2);
        WriteRandom(m_pTree / "2005" / "deep" / "c.bin", 1024 * 1024 + 17, 3);
        WriteRandom(m_pTree / "2006" / "empty.txt", 0, 4);
        std::vector<std::string> add{"share", "add", m_pTree.string()};
        add.insert(add.end(), shareOptions.begin(), shareOptions.end());
        ASSERT_EQ(Run(kOwner, add), 0) << m_sOutput;
        ASSERT_GT(Start(kOwner, {"serve"}, "serve.log"), 0);
        ASSERT_TRUE(WaitFor([&] {
            return ReadAll(m_pRoot / "serve.log").find("is online") != std::string::npos;
        })) << ReadAll(m_pRoot / "serve.log");
    }
    fs::path m_pRoot, m_pTree;
    CZylLocalBroker m_broker;
    std::string m_sBrokers; // --broker
    std::vector<pid_t> m_vChildren;
    std::string m_sOutput;
};

TEST_F(ZylNodeTest, BrowseDownloadAndUploadBetweenTwoNodesAndRefuseWhatIsNotAllowedInOneLine) {
    ServeTree({"--grant", kFriend + "=browse,download,upload"});
    const fs::path upload = m_pRoot / "friend" / "Holiday";
    WriteRandom(upload / "x.bin", 7168, 5);
    WriteRandom(upload / "inner" / "y.bin", 200000, 6);
    // Each answer is one line. The stranger names the nodes of a cluster, the first of which cannot
    // be reached, and sees the share listed with no rights; the keys need no broker.
    const std::string broker = m_sBrokers, closed = "127.0.0.1:" + std::to_string(ZylFreeLoopbackPort()),
                      cluster = closed + "," + broker, stolen = (m_pRoot / "stolen").string(),
                      single = (m_pRoot / "single").string();
    const struct {
        std::string sUser, sBroker;
        std::vector<std::string> vCommand;
        int nCode; // -1: any failure
        std::string sText, sPassword = {};
    } cases[] = {
        {kFriend, broker, {"get", kOwner, "Pics\\2005\\b.bin", single}, 0, "downloading "},
        {kFriend, broker, {"put", upload.string(), kOwner, "Pics\\2006"}, 0, "uploading " + upload.string()},
        {kFriend, broker, {"tasks"}, 0, "finished"},
        {kFriend, broker, {"browse", kOwner}, 0, "browse,download,upload"},
        {kFriend, broker, {"browse", kOwner, "Pics/2005"}, 0, "deep"},
        {kStranger, cluster, {"browse", kOwner}, 0, "none"},
        {kStranger, cluster, {"browse", kOwner, "Pics"}, -1, "user denied"},
        {kStranger, cluster, {"get", kOwner, "Pics", stolen}, -1, "zylfs: "},
        {kStranger, cluster, {"put", m_pTree.string(), kOwner, "Pics"}, -1, "zylfs: "},
        {kFriend, broker, {"get", kOwner, "Nothing", stolen}, -1, "no share named Nothing"},
        {kFriend, broker, {"browse", "S9.1000"}, -1, "not online"},
        {kFriend, broker, {"browse", "not-a-user"}, -1, "user id"},
        {kFriend, "127.0.0.1:99999", {"tasks"}, 2, "zylfs: --broker: "},
        {kFriend, broker, {"browse", kOwner}, -1, "not authorised", "wrong"},
        {kFriend, closed, {"browse", kOwner}, -1, "zylfs: "},
        {kFriend, closed, {"whois", "s2.01000"}, 0, kFriend + " (you) "},
        {kFriend, closed, {"trust", "x"}, 2, "zylfs: a friend is a user id like S1.1000, not 'x'\n"},
        {kFriend, closed, {"trust", "S9.1000"}, 1, "zylfs: no key of S9.1000 was seen yet"}};
    for (const auto& row : cases) {
        m_sBrokers = row.sBroker;
        const int code = Run(row.sUser, row.vCommand, row.sPassword);
        EXPECT_TRUE(row.nCode < 0 ? code != 0 : code == row.nCode) << code << " " << row.vCommand[0];
        EXPECT_TRUE(Said(row.sText)) << m_sOutput;
    }
    m_sBrokers = broker;
    EXPECT_FALSE(fs::exists(stolen + "/Pics/a.bin"));
    // A single file into another folder keeps its name; an uploaded folder comes with what is below it.
    EXPECT_EQ(fs::file_size(single + "/b.bin"), 57344u);
    ExpectSameTree(upload, m_pTree / "2006" / "Holiday");
    // A destination (a small file system of the test's own) that cannot be written ends get with one
    // line that says why; a run once there is room resumes.
    CZylScratchMount mount;
    const fs::path small = m_pRoot / "small";
    if (auto why = mount.Mount(small, 64 * 1024); why.empty()) {
        const std::string into = (small / "Pics").string();
        for (const auto& [readOnly, size, code, line] :
             std::vector<std::tuple<bool, size_t, int, std::string>>{
                 {true, 0, 1, "\nzylfs: read-only file system: " + into + "\n"},
                 {false, 0, 1, "\nzylfs: no space left on the device: " + into},
                 {false, 16 << 20, 0, "resuming the download of Pics into " + small.string()}}) {
            ASSERT_TRUE(mount.SetReadOnly(readOnly) && (size == 0 || mount.Resize(size)));
            EXPECT_EQ(Run(kFriend, {"get", kOwner, "Pics", small.string()}), code);
            EXPECT_TRUE(Said(line)) << m_sOutput;
        }
        ExpectSameTree(m_pTree, small / "Pics");
    } else {
        std::fprintf(stderr, "no scratch file system (%s): a full destination is not tried\n", why.c_str());
    }
    // The stranger pinned the owner's key when it browsed: the key the owner shows, nothing new to trust.
    ASSERT_EQ(Run(kOwner, {"whois", kOwner}), 0) << m_sOutput;
    const std::string fingerprint = m_sOutput.substr(m_sOutput.find(" (you) ") + 7, 39);
    ASSERT_EQ(Run(kStranger, {"whois", kOwner}), 0) << m_sOutput;
    EXPECT_TRUE(Said(kOwner + " " + fingerprint + "\n")) << m_sOutput;
    EXPECT_EQ(Run(kStranger, {"trust", kOwner}), 1);
    EXPECT_TRUE(Said(kOwner + "'s key has not changed: " + fingerprint)) << m_sOutput;
    // A damaged share database is set aside, and said so once, whatever the command.
    const fs::path shares = m_pRoot / ("data-" + kStranger) / "fs" / ("fss-" + kStranger + ".fsd");
    const std::u16string damaged = u"#zyl shore file\n#id=S3.1000\nNoUpload=0\nShareNum=0\n";
    std::ofstream(shares, std::ios::binary)
        .write(reinterpret_cast<const char*>(damaged.data()), damaged.size() * 2);
    EXPECT_EQ(Run(kStranger, {"share", "list"}), 0) << m_sOutput;
    const std::string line =
        "zylfs: warning: the share database was set aside as " + shares.string() + ".damaged-";
    EXPECT_TRUE(Said(line)) << m_sOutput;
    EXPECT_EQ(m_sOutput.find(line), m_sOutput.rfind("zylfs: warning:")) << m_sOutput;
}

// The broker restarts in the middle of a download, which goes on; a run after a kill resumes it.
TEST_F(ZylNodeTest, DownloadGoesOnThroughABrokerRestartAndResumesAfterAKill) {
    // A large file and a folder of small ones, which finish between two saves of the task database.
    ServeTree({"--everyone", "browse,download"});
    WriteRandom(m_pTree / "big.bin", 48 * 1024 * 1024, 7);
    for (int i = 0; i < 200; ++i)
        WriteRandom(m_pTree / "small" / (std::to_string(i) + ".txt"), static_cast<size_t>(i % 7), 7 + i);
    const fs::path downloads = m_pRoot / "downloads", partial = downloads / "Pics" / "big.bin.fst";
    const pid_t getter = Start(kFriend, {"get", kOwner, "Pics", downloads.string()}, "get.log");
    ASSERT_GT(getter, 0);
    std::error_code ec;
    ASSERT_TRUE(WaitFor([&] { return fs::file_size(partial, ec) > 2 * 1024 * 1024 && !ec; }, 60s))
        << ReadAll(m_pRoot / "get.log");
    m_broker.Stop();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    const auto restarted = fs::file_size(partial, ec); // more than what was in flight comes after it
    ASSERT_TRUE(WaitFor([&] { return fs::file_size(partial, ec) > restarted + (4 << 20) && !ec; }, 60s))
        << ReadAll(m_pRoot / "get.log");
    // A second zylfs of the friend's data folder ends at once, naming the one that holds it.
    EXPECT_EQ(Run(kFriend, {"tasks"}), 1);
    EXPECT_TRUE(Said("zylfs: the data folder " + (m_pRoot / ("data-" + kFriend) / "fs").string() +
                     " is in use by process " + std::to_string(getter)))
        << m_sOutput;
    kill(getter, SIGKILL);
    waitpid(getter, nullptr, 0);
    m_vChildren.erase(std::find(m_vChildren.begin(), m_vChildren.end(), getter));
    EXPECT_LT(fs::file_size(partial, ec), fs::file_size(m_pTree / "big.bin"));
    ASSERT_EQ(Run(kFriend, {"get", kOwner, "Pics", downloads.string()}), 0) << m_sOutput;
    EXPECT_TRUE(Said("resuming the download of Pics into " + downloads.string())) << m_sOutput;
    ExpectSameTree(m_pTree, downloads / "Pics", true);
}
} // namespace
