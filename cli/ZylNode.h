// A host with a text face: it drives one plug-in exactly as a messenger does (ProcessMessage and
// the callback), carries its PDUs over an MQTT broker, and stands in for the plug-in's window: it
// receives the completed listings, the log lines and the error reports the window would show.
#pragma once

#include "core/ZylPlatform.h"
#include "host/ZylHostDefaults.h"
#include "host/ZylMqttHost.h"
#include "platform/ZylQtPlatform.h"
#include "plugin/ZylInterface.h"

#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ZYLNODEOPTIONS {
    std::string sUser;
    std::string sPassword;
    std::vector<ZYLBROKERADDRESS> vBrokers{{"127.0.0.1", 1883}}; // a cluster's nodes, tried in turn
    ZYLMQTTSECURITY security;                                    // TLS to the broker, and whom to trust
    std::filesystem::path pDataDir;                              // the host's application path
    bool bEchoLog = false;                                       // print every log line as it is written
};

// What the window would receive, kept for the commands.
class CZylNodeWindow : public IZylWindow {
public:
    struct LINE {
        int32_t level;
        std::u16string text;
    };
    bool IsWindow() const override { return true; }
    bool IsVisible() const override { return true; }
    bool IsMinimized() const override { return false; }
    void Restore() override {}
    void BringToTop() override {}
    void SetTitle(std::u16string_view) override {}
    void Destroy() override {}
    intptr_t Send(uint32_t message, intptr_t first, intptr_t second) override;
    // Any thread: log lines come from the listing workers too.
    void Post(uint32_t message, intptr_t first, intptr_t second) override;

    std::vector<LINE> TakeLines();
    int m_nRootListings = 0;
    int m_nFolderListings = 0;

private:
    std::mutex m_mutex;
    std::vector<LINE> m_vLines;
};

class CZylNode {
public:
    explicit CZylNode(ZYLNODEOPTIONS options);
    ~CZylNode();
    CZylNode(const CZylNode&) = delete;
    CZylNode& operator=(const CZylNode&) = delete;

    // Logs the plug-in in; online also logs in to the broker first. An empty text, or one line
    // saying what went wrong.
    std::string Start(bool online);
    // Logs out (the databases are written) and leaves the broker cleanly.
    void Stop();

    CZylInterface& Plugin() { return *m_pPlugin; }
    CZylNodeWindow& Window() { return m_window; }
    CZylMqttHost* Host() { return m_pHost.get(); }
    const ZYLNODEOPTIONS& Options() const { return m_options; }

    // Runs the event loop until done() holds, the time runs out (false) or an interrupt came.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // The lines of peer errors and the other log lines that came since the last call.
    std::vector<CZylNodeWindow::LINE> TakeLogLines() { return m_window.TakeLines(); }
    // The broker ended the session for good; the reason.
    const std::string& FatalError() const { return m_sFatal; }

    // Opens both channels to the friend and waits for them; an empty text or why it failed.
    std::string ConnectTo(const std::u16string& friendId, std::chrono::milliseconds timeout);

    static std::atomic<bool> s_bInterrupted;
    // SIGINT and SIGTERM set s_bInterrupted.
    static void InstallSignalHandlers();

private:
    // Why the data folder cannot be used now (another process is logged in on it), or empty.
    std::string FolderInUse() const;
    int32_t OnHostCall(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5);
    void PollHost();

    ZYLNODEOPTIONS m_options;
    HostUserId m_self;
    CZylQtPlatform m_platform;
    CZylNodeWindow m_window;
    std::unique_ptr<CZylInterface> m_pPlugin;
    std::unique_ptr<CZylMqttHost> m_pHost;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    QTimer m_pollTimer;
    std::string m_sFatal;
    bool m_bLoggedIn = false;
    bool m_bFlushPosted = false;
};
