// A private mosquitto on this machine, for a demonstration or a test: a free loopback port, a
// password file made with mosquitto_passwd, the transport's access list, and its log, all in a
// temporary folder that goes away with it. Beside the plain listener it runs a TLS listener whose
// certificate (for 127.0.0.1 and localhost) is signed by an authority made for it alone, so that
// its clients verify it as they would a real broker's. It can be stopped, killed and started again
// on the same ports. Needs the mosquitto package (mosquitto and mosquitto_passwd) and openssl.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

class CZylLocalBroker {
public:
    CZylLocalBroker();
    ~CZylLocalBroker();
    CZylLocalBroker(const CZylLocalBroker&) = delete;
    CZylLocalBroker& operator=(const CZylLocalBroker&) = delete;

    // Users to write into the password file at the next Start.
    void AddUser(const std::string& user, const std::string& password);
    // The access list for the next Start instead of the transport's own.
    void SetAccessList(const std::string& text) { m_sAcl = text; }
    // Keeps retained messages (and sessions) across a Stop and Start, in its folder.
    void SetPersistence(bool persistent) { m_bPersistent = persistent; }
    // Without it the broker runs as mosquitto's default configuration does, with Nagle's algorithm
    // on its sockets: a user's broker is rarely tuned.
    void SetTcpNoDelay(bool noDelay) { m_bNoDelay = noDelay; }
    // Logs every packet (for tests to show on failure) instead of connections and errors only.
    void SetVerboseLog(bool verbose) { m_bVerbose = verbose; }
    // Starts the broker (on the port of the last run, if any) and waits until it takes
    // connections; false with the reason in Error() when it does not come up.
    bool Start();
    void Stop(); // SIGTERM: the broker publishes the wills of its clients on the way out
    void Kill(); // SIGKILL: nothing is published
    bool IsRunning() const { return m_nPid > 0; }

    int Port() const { return m_nPort; }       // plain MQTT
    int TlsPort() const { return m_nTlsPort; } // MQTT over TLS
    // The authority that signed the TLS listener's certificate, for the clients' --ca-file.
    std::filesystem::path CaFile() const { return m_pFolder / "tls" / "ca.crt"; }
    pid_t Pid() const { return m_nPid; } // -1 while it does not run
    const std::filesystem::path& Folder() const { return m_pFolder; }
    const std::string& Error() const { return m_sError; }
    std::string Log() const;

private:
    void End(int signal);

    std::filesystem::path m_pFolder;
    std::vector<std::pair<std::string, std::string>> m_vUsers;
    std::string m_sAcl;
    bool m_bVerbose = false;
    bool m_bPersistent = false;
    bool m_bNoDelay = true;
    int m_nPort = 0;
    int m_nTlsPort = 0;
    pid_t m_nPid = -1;
    std::string m_sError;
};

// Makes, with the openssl command line, an authority (folder/ca.crt) and a certificate for a broker
// that it signs (folder/server.crt, folder/server.key, readable by the owner only), valid for the
// host names and IP addresses given. An empty text, or why it failed.
std::string ZylMakeBrokerCertificate(const std::filesystem::path& folder,
                                     const std::vector<std::string>& names);

// A password of 20 letters and digits for a user of a private broker, new each time.
std::string ZylRandomPassword();
// A free TCP port on 127.0.0.1 at the time of asking.
int ZylFreeLoopbackPort();
// Starts a program (found in the usual bin and sbin folders when the name has no "/") with its
// output and errors appended to output (/dev/null when empty) and NAME=VALUE variables added to
// the environment; its process id, or -1.
pid_t ZylSpawn(const std::vector<std::string>& argv, const std::filesystem::path& output = {},
               const std::vector<std::string>& environment = {});
// Runs a program as ZylSpawn does and waits for it; its exit code, or -1.
int ZylRunProgram(const std::vector<std::string>& argv, const std::filesystem::path& output = {},
                  const std::vector<std::string>& environment = {});
