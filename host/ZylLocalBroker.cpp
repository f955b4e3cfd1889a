#include "host/ZylLocalBroker.h"

#include "host/ZylMqttFrame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

// mosquitto lives in /usr/sbin, which an ordinary user's PATH may lack.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
        const std::string path = std::string(folder) + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return name;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

} // namespace

std::string ZylRandomPassword() {
    static constexpr char kLetters[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
    std::string text;
    for (int i = 0; i < 20; ++i)
        text.push_back(kLetters[pick(random)]);
    return text;
}

int ZylFreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

pid_t ZylSpawn(const std::vector<std::string>& argv, const std::filesystem::path& output,
               const std::vector<std::string>& environment) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The caller's variables override the inherited ones of the same name.
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& mine : environment)
            replaced = replaced || std::string_view(mine).substr(0, mine.find('=') + 1) == name;
        if (!replaced)
            variables.emplace_back(entry);
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = output.empty() ? std::string("/dev/null") : output.string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const std::string program = FindProgram(argv.at(0));
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int ZylRunProgram(const std::vector<std::string>& argv, const std::filesystem::path& output,
                  const std::vector<std::string>& environment) {
    const pid_t pid = ZylSpawn(argv, output, environment);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string ZylMakeBrokerCertificate(const std::filesystem::path& folder,
                                     const std::vector<std::string>& names) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::string alt;
    for (const std::string& name : names) {
        const bool address = !name.empty() && name.find_first_not_of("0123456789.:") == std::string::npos;
        alt += (alt.empty() ? "" : ",") + std::string(address ? "IP:" : "DNS:") + name;
    }
    const auto path = [&](const char* name) { return (folder / name).string(); };
    std::ofstream(folder / "server.ext") << "subjectAltName=" << alt << "\n"
                                         << "basicConstraints=CA:FALSE\n"
                                         << "keyUsage=digitalSignature,keyEncipherment\n"
                                         << "extendedKeyUsage=serverAuth\n";
    const std::filesystem::path log = folder / "openssl.log";
    const std::vector<std::vector<std::string>> steps{
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", path("ca.key"), "-out", path("ca.crt"), "-days", "30", "-subj",
         "/CN=zylfs private broker CA"},
        {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         path("server.key"), "-out", path("server.csr"), "-subj", "/CN=" + names.at(0)},
        {"openssl", "x509", "-req", "-in", path("server.csr"), "-CA", path("ca.crt"), "-CAkey",
         path("ca.key"), "-CAcreateserial", "-out", path("server.crt"), "-days", "30", "-extfile",
         path("server.ext")},
    };
    for (const auto& step : steps)
        if (ZylRunProgram(step, log) != 0)
            return "openssl " + step[1] + " failed (is the openssl package installed? see " + log.string() +
                   ")";
    std::filesystem::permissions(
        folder / "server.key", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    return {};
}

CZylLocalBroker::CZylLocalBroker() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zylfs-broker-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_pFolder = pattern;
}

CZylLocalBroker::~CZylLocalBroker() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(m_pFolder, ec);
}

void CZylLocalBroker::AddUser(const std::string& user, const std::string& password) {
    m_vUsers.emplace_back(user, password);
}

bool CZylLocalBroker::Start() {
    if (IsRunning())
        return true;
    const auto passwords = m_pFolder / "passwd";
    const auto acl = m_pFolder / "acl";
    const auto conf = m_pFolder / "mosquitto.conf";
    std::filesystem::remove(passwords);
    for (const auto& [user, password] : m_vUsers) {
        std::vector<std::string> argv{"mosquitto_passwd", "-b", passwords.string(), user, password};
        if (!std::filesystem::exists(passwords))
            argv.insert(argv.begin() + 1, "-c");
        if (ZylRunProgram(argv, m_pFolder / "passwd.log") != 0) {
            m_sError = "mosquitto_passwd failed for " + user;
            return false;
        }
    }
    std::ofstream(acl) << (m_sAcl.empty() ? ZylMqttAclText() : m_sAcl);
    const auto tls = m_pFolder / "tls";
    if (!std::filesystem::exists(tls / "server.crt"))
        if (m_sError = ZylMakeBrokerCertificate(tls, {"127.0.0.1", "localhost"}); !m_sError.empty())
            return false;
    if (m_nPort == 0)
        m_nPort = ZylFreeLoopbackPort();
    while (m_nTlsPort == 0 || m_nTlsPort == m_nPort)
        m_nTlsPort = ZylFreeLoopbackPort();
    // Run as root the broker would switch to its own user, which cannot read this folder.
    const passwd* self = getpwuid(getuid());
    std::ofstream(conf) << "listener " << m_nPort << " 127.0.0.1\n"
                        << "listener " << m_nTlsPort << " 127.0.0.1\n"
                        << "cafile " << (tls / "ca.crt").string() << "\n"
                        << "certfile " << (tls / "server.crt").string() << "\n"
                        << "keyfile " << (tls / "server.key").string() << "\n"
                        << "allow_anonymous false\n"
                        << "password_file " << passwords.string() << "\n"
                        << "acl_file " << acl.string() << "\n"
                        << (m_bPersistent
                                ? "persistence true\npersistence_location " + m_pFolder.string() + "/\n"
                                : std::string("persistence false\n"))
                        << (m_bNoDelay ? "set_tcp_nodelay true\n" : "") << "log_dest stderr\n"
                        << (m_bVerbose ? "log_type all\n"
                                       : "log_type error\nlog_type warning\nlog_type notice\n")
                        << (self ? "user " + std::string(self->pw_name) + "\n" : std::string());
    m_nPid = ZylSpawn({"mosquitto", "-c", conf.string()}, m_pFolder / "mosquitto.log");
    if (m_nPid <= 0) {
        m_sError = "cannot start mosquitto";
        return false;
    }
    for (int i = 0; i < 500; ++i) {
        if (Accepts(m_nPort) && Accepts(m_nTlsPort))
            return true;
        int status = 0;
        if (waitpid(m_nPid, &status, WNOHANG) == m_nPid) {
            m_nPid = -1;
            m_sError = "mosquitto ended at once: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_sError = "mosquitto does not take connections on port " + std::to_string(m_nPort);
    End(SIGKILL);
    return false;
}

void CZylLocalBroker::Stop() {
    End(SIGTERM);
}

void CZylLocalBroker::Kill() {
    End(SIGKILL);
}

void CZylLocalBroker::End(int signal) {
    if (m_nPid <= 0)
        return;
    // mosquitto loses a SIGTERM that comes in the moment between opening its listener and entering
    // its loop, so it is sent again until the broker is gone (killed after ten seconds).
    int status = 0;
    for (int tries = 0; tries < 20; ++tries) {
        kill(m_nPid, signal);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(m_nPid, &status, WNOHANG) == m_nPid) {
                m_nPid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    kill(m_nPid, SIGKILL);
    waitpid(m_nPid, &status, 0);
    m_nPid = -1;
}

std::string CZylLocalBroker::Log() const {
    std::ifstream in(m_pFolder / "mosquitto.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
