#include "cli/ZylNode.h"

#include "core/ZylFolderLock.h"
#include "core/ZylLog.h"
#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <fmt/core.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

std::atomic<bool> CZylNode::s_bInterrupted{false};

namespace {
// Readable once a signal came, so that an event loop waiting for work wakes up for it.
int g_nSignalFd = -1;

void OnSignal(int) {
    CZylNode::s_bInterrupted = true;
    if (g_nSignalFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(g_nSignalFd, &one, sizeof one);
    }
}
} // namespace

void CZylNode::InstallSignalHandlers() {
    if (g_nSignalFd < 0)
        g_nSignalFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

intptr_t CZylNodeWindow::Send(uint32_t message, intptr_t, intptr_t) {
    if (message == WM_ZYL_FRIEND_ROOT)
        ++m_nRootListings;
    else if (message == WM_ZYL_FRIEND_FOLDER)
        ++m_nFolderListings;
    return 0;
}

void CZylNodeWindow::Post(uint32_t message, intptr_t first, intptr_t second) {
    if (message != WM_ZYL_INFO_LINE)
        return;
    std::unique_ptr<std::u16string> line(reinterpret_cast<std::u16string*>(second));
    std::lock_guard lock(m_mutex);
    m_vLines.push_back({static_cast<int32_t>(first), std::move(*line)});
}

std::vector<CZylNodeWindow::LINE> CZylNodeWindow::TakeLines() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_vLines, {});
}

CZylNode::CZylNode(ZYLNODEOPTIONS options) : m_options(std::move(options)) {
    m_self.Parse(ZylFromUtf8(m_options.sUser));
    m_pPlugin = std::make_unique<CZylInterface>(m_platform);
    m_pollTimer.setInterval(50);
    QObject::connect(&m_pollTimer, &QTimer::timeout, [this] { PollHost(); });
}

CZylNode::~CZylNode() {
    Stop();
    m_pPlugin.reset();
}

std::string CZylNode::FolderInUse() const {
    const std::u16string folder = ZylFromFsPath(m_options.pDataDir / "fs");
    const int64_t holder = ZylFolderLockHolder(folder);
    if (holder == 0)
        return {};
    return ZylToUtf8(ZylFolderLockText(folder, holder)) + "; stop it or use another --data folder";
}

std::string CZylNode::Start(bool online) {
    // Before the broker: a second session of this user would push the holder's off.
    if (auto busy = FolderInUse(); !busy.empty())
        return busy;
    m_pPlugin->SetHostCallback([this](int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                      intptr_t a5) { return OnHostCall(code, a1, a2, a3, a4, a5); });
    if (online) {
        m_pHost = std::make_unique<CZylMqttHost>();
        ZYLMQTTSECURITY security = m_options.security;
        if (security.pKeyFolder.empty())
            security.pKeyFolder = m_options.pDataDir; // the user's keys live with its data
        m_pHost->SetSecurity(security);
        const std::string error = m_pHost->Connect(m_options.vBrokers, m_options.sUser, m_options.sPassword);
        if (!error.empty()) {
            m_pHost.reset();
            return error;
        }
        m_pNotifier = std::make_unique<QSocketNotifier>(m_pHost->GetWakeFd(), QSocketNotifier::Read);
        QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] { PollHost(); });
    }
    std::error_code ec;
    std::filesystem::create_directories(m_options.pDataDir, ec);
    if (m_pPlugin->ProcessMessage(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&m_self), 0, 0, 0, 0) < 0) {
        // Another process logged in on the same folder is the usual reason: name it.
        if (auto busy = FolderInUse(); !busy.empty())
            return busy;
        return "cannot start the plug-in in " + m_options.pDataDir.string() +
               " (is the folder writable and its databases readable?)";
    }
    m_bLoggedIn = true;
    // A database that was set aside while loading is worth a line of its own, whatever runs.
    for (const std::u16string* notice :
         {&m_pPlugin->GetShareManager().GetDbNotice(), &m_pPlugin->GetTaskManager().GetDbNotice()})
        if (!notice->empty())
            fmt::print(stderr, "zylfs: warning: {}\n", ZylToUtf8(*notice));
    m_pPlugin->SetLogWindow(&m_window);
    m_pollTimer.start();
    // Presence that arrived while logging in to the broker reaches the plug-in now.
    PollHost();
    return {};
}

void CZylNode::Stop() {
    if (m_bLoggedIn) {
        m_bLoggedIn = false;
        m_pPlugin->ProcessMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0);
        m_pPlugin->SetLogWindow(nullptr);
    }
    m_pollTimer.stop();
    m_pNotifier.reset();
    if (m_pHost) {
        m_pHost->Disconnect();
        m_pHost.reset();
    }
}

int32_t CZylNode::OnHostCall(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
    switch (code) {
    case ZYL_HOST_GET_APP_PATH:
        ZylCopyToBuffer(reinterpret_cast<char16_t*>(a1), ZYL_MAX_PATH, ZylFromFsPath(m_options.pDataDir));
        return ZylFromFsPath(m_options.pDataDir).size() < ZYL_MAX_PATH ? 0 : -1;
    case ZYL_HOST_GET_NAME:
        // No directory of names here: the plug-in shows the id.
        reinterpret_cast<char16_t*>(a2)[0] = 0;
        return 0;
    case ZYL_HOST_PREPARE:
        return 0;
    case ZYL_HOST_OPEN_CHANNEL:
        if (m_pHost)
            m_pHost->OpenChannel(ZylToUtf8(ZylUserText(a1)), static_cast<int32_t>(a2));
        return 0;
    case ZYL_HOST_CLOSE_CHANNEL:
        if (m_pHost)
            m_pHost->CloseChannel(ZylToUtf8(ZylUserText(a1)), static_cast<int32_t>(a2));
        return 0;
    case ZYL_HOST_SEND:
        if (!m_pHost)
            return 0;
        return m_pHost->Send(ZylToUtf8(ZylUserText(a1)), static_cast<int32_t>(a2), static_cast<uint32_t>(a3),
                             reinterpret_cast<const void*>(a4), static_cast<int32_t>(a5)) > 0
                   ? 1
                   : 0;
    default:
        return -1; // picking friends is the window's business
    }
}

void CZylNode::PollHost() {
    if (!m_pHost)
        return;
    m_pHost->Poll(
        [this](const ZYLHOSTEVENT& event) {
            if (!m_bLoggedIn)
                return;
            HostUserId peer;
            peer.Parse(ZylFromUtf8(event.peer));
            const auto id = reinterpret_cast<intptr_t>(&peer);
            switch (event.kind) {
            case DLL_P2P_ON_CONNECT:
            case DLL_P2P_ON_DISCONNECT:
                m_pPlugin->ProcessMessage(event.kind, id, event.channel, event.status, 0, 0);
                break;
            case DLL_P2P_ON_DATA:
                m_pPlugin->ProcessMessage(DLL_P2P_ON_DATA, id, event.channel, event.command,
                                          reinterpret_cast<intptr_t>(event.payload.data()),
                                          static_cast<intptr_t>(event.payload.size()));
                break;
            case DLL_P2P_ON_USER_ONLINE:
            case DLL_P2P_ON_USER_OFFLINE:
                m_pPlugin->ProcessMessage(event.kind, id, 0, 0, 0, 0);
                break;
            case ZYL_EVENT_BROKER_ENDED:
                m_sFatal = event.text;
                break;
            case ZYL_EVENT_DROPPED:
            case ZYL_EVENT_KEY_REFUSED:
                m_pPlugin->WriteLog(ZYL_LOG_WARNING, ZylFromUtf8(event.text));
                break;
            default:
                m_pPlugin->WriteLog(ZYL_LOG_ACTIVITY, ZylFromUtf8(event.text));
                break;
            }
        },
        false);
    // The plug-in answers what it was handed from a drain it posted to the loop; the flush posted
    // behind it sends those answers together with the acknowledgements of what came in. (What a
    // later turn sends makes the host's descriptor readable, and this comes round again.)
    if (!m_bFlushPosted && m_pHost->IsFlushDue()) {
        m_bFlushPosted = true;
        QMetaObject::invokeMethod(
            &m_pollTimer,
            [this] {
                m_bFlushPosted = false;
                if (m_pHost)
                    m_pHost->Flush();
            },
            Qt::QueuedConnection);
    }
}

bool CZylNode::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The loop sleeps until an event comes (a timer, the broker, a signal), so an idle node costs
    // nothing; the alarm makes sure one comes by the deadline, a day at most apart.
    QTimer alarm;
    alarm.setTimerType(Qt::PreciseTimer);
    alarm.start(static_cast<int>(std::clamp<int64_t>(timeout.count() + 1, 1, 24 * 3600 * 1000)));
    std::unique_ptr<QSocketNotifier> interrupt;
    if (g_nSignalFd >= 0)
        interrupt = std::make_unique<QSocketNotifier>(g_nSignalFd, QSocketNotifier::Read);
    while (!done()) {
        if (s_bInterrupted || !m_sFatal.empty() || std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::string CZylNode::ConnectTo(const std::u16string& friendId, std::chrono::milliseconds timeout) {
    const std::string name = ZylToUtf8(friendId);
    if (!m_pHost || !m_pHost->IsOnline(name))
        return name + " is not online";
    if (std::string refusal = m_pHost->KeyRefusal(name); !refusal.empty())
        return refusal;
    ZylUserList& users = m_pPlugin->GetUserList();
    PZYLUSER record = nullptr;
    if (users.Find(friendId, &record) < 0)
        users.Add(ZylUserList::MakeRecord(friendId, 0), &record);
    users.Connect(friendId);
    if (!RunUntil([&] { return users.IsConnected(friendId, 0) != 0; }, timeout))
        return s_bInterrupted ? std::string("interrupted") : "cannot open the channels to " + name;
    return {};
}
