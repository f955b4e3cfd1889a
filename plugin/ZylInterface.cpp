#include "plugin/ZylInterface.h"

#include "core/ZylDateTime.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylProtocol.h"
#include "core/ZylSendQueue.h"
#include "core/ZylText.h"

#include <exception>

namespace {
constexpr uint32_t ZYL_INTERNAL_TIMER_MS = 10;
constexpr std::u16string_view ZYL_WINDOW_TITLE = u"\u6587\u4EF6\u5171\u4EAB"; // "file sharing"
} // namespace

namespace {
// Only the two fields are read: the host's object may come from another build.
HostUserId ZylIdentity(intptr_t hostUserId) {
    const auto* id = reinterpret_cast<const HostUserId*>(hostUserId);
    HostUserId copy;
    copy.number = id->number;
    copy.site = id->site;
    return copy;
}
} // namespace

std::u16string ZylUserText(intptr_t hostUserId) {
    if (hostUserId == 0)
        return {};
    return ZylIdentity(hostUserId).ToText();
}

CZylInterface::CZylInterface(IZylPlatform& platform)
    : m_rPlatform(platform), m_users(m_host), m_log(platform), m_viewerManager(*this), m_taskManager(*this),
      m_shareManager(*this) {}

CZylInterface::~CZylInterface() {
    DropMainWindow();
    if (m_nTimerId)
        m_rPlatform.KillTimer(m_nTimerId);
    m_shareManager.Shutdown();
}

int32_t CZylInterface::SetHostCallback(CZylHost::Callback callback) {
    m_host.SetCallback(std::move(callback));
    m_host.Prepare();
    return 0;
}

int32_t CZylInterface::ProcessMessage(uint32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                      intptr_t a5) {
    try {
        switch (code) {
        case DLL_P2P_SET_CALLBACK: {
            const auto callback = reinterpret_cast<ZylHostCallback>(a1);
            if (!callback)
                return SetHostCallback(nullptr);
            return SetHostCallback(callback);
        }
        case DLL_P2P_LOGIN: {
            // An invalid identity has no user id: its text would name the databases "Invalid ID".
            if (a1 == 0 || ZylIdentity(a1).GetKind() == HostUserId::Invalid)
                return -1;
            return Login(ZylUserText(a1));
        }
        case DLL_P2P_LOGOUT:
            return Logout();
        case DLL_P2P_SHOW:
            return Show(static_cast<int32_t>(a2), reinterpret_cast<const HostUserId*>(a3));
        case DLL_P2P_ON_CONNECT:
            return OnChannelConnected(ZylUserText(a1), static_cast<int32_t>(a2), static_cast<int32_t>(a3));
        case DLL_P2P_ON_DISCONNECT:
            return OnChannelDisconnected(ZylUserText(a1), static_cast<int32_t>(a2), static_cast<int32_t>(a3));
        case DLL_P2P_ON_DATA:
            return OnDataIndication(static_cast<uint32_t>(a3), reinterpret_cast<const uint8_t*>(a4),
                                    static_cast<int32_t>(a5), ZylUserText(a1), static_cast<int32_t>(a2));
        case DLL_P2P_ON_USER_ONLINE:
            return OnUserOnline(ZylUserText(a1));
        case DLL_P2P_ON_USER_OFFLINE:
            return OnUserOffline(ZylUserText(a1));
        default:
            return 0;
        }
    } catch (...) {
        // Nothing may unwind into the host.
        return code == DLL_P2P_LOGIN ? -1 : 0;
    }
}

void CZylInterface::SetLoginId(std::u16string_view id) {
    m_shareManager.SetLoginId(id);
    m_taskManager.SetLoginId(id);
    m_sLoginId = std::u16string(id.substr(0, ZYL_USERID_LIMIT));
}

int32_t CZylInterface::Login(std::u16string_view loginId) {
    if (m_bInitialized)
        return -1; // a second login without a logout between changes nothing
    // The id names the databases: cut to the 20 characters it is kept in, it would be another user's.
    if (loginId.empty() || loginId.size() > ZYL_USERID_LIMIT)
        return -1;
    SetLoginId(loginId);
    const int32_t result = Initialize();
    if (result < 0)
        m_folderLock.Release();
    return result;
}

int32_t CZylInterface::Initialize() {
    std::u16string appPath;
    if (m_host.GetAppPath(appPath) < 0)
        return -1;
    m_sPluginFolder = ZylJoinPath(appPath, u"fs");
    ZylCreateDirectory(m_sPluginFolder);
    int64_t holder = 0;
    if (m_folderLock.Acquire(m_sPluginFolder, holder) == CZylFolderLock::HeldElsewhere) {
        // Written at once: this plug-in never gets as far as its own log.
        m_log.Open(m_sPluginFolder, nullptr);
        m_log.WriteLine(ZYL_LOG_ERROR, ZylFolderLockText(m_sPluginFolder, holder));
        m_log.Flush();
        return -1;
    }

    m_shareManager.SetDbPath(ZylJoinPath(m_sPluginFolder, u"fss-" + m_sLoginId + u".fsd"));
    m_taskManager.SetDbPath(ZylJoinPath(m_sPluginFolder, u"fst-" + m_sLoginId + u".fsd"));
    m_taskManager.SetUserList(&m_users);
    m_shareManager.SetUserList(&m_users);

    // The log opens first, so that what loading the databases has to say (a file set aside)
    // reaches it.
    if (m_log.Open(m_sPluginFolder, nullptr) < 0)
        return -1;
    // From here on what happens is logged: what loading the databases has to say (a file set
    // aside), and what the host reports while login goes on.
    m_bLogOpen = true;
    WriteLog(ZYL_LOG_ACTIVITY, ZylFormat("login as {}", ZylToUtf8(m_sLoginId)));
    if (m_shareManager.LoadSave(1) < 0 || m_taskManager.LoadSave(1) < 0) {
        m_bLogOpen = false;
        return -1;
    }
    // The queue exists before any channel is asked for: a host may report the channels open at
    // once, inside that request, and the unfinished tasks query they trigger must be queued.
    {
        std::lock_guard lock(m_queueMutex);
        m_pSendQueue = std::make_shared<ZylSendQueue>(m_users);
    }
    m_shareManager.StartListings();
    if (m_taskManager.Startup() < 0) {
        m_shareManager.Shutdown();
        DropSendQueue();
        m_bLogOpen = false;
        return -1;
    }
    m_nTimerId = m_rPlatform.SetTimer(ZYL_INTERNAL_TIMER_MS, [this] { OnInternalTimer(); });
    m_bInitialized = 1;
    return 0;
}

int32_t CZylInterface::Logout() {
    DropMainWindow();
    Uninitialize();
    return 0;
}

void CZylInterface::DropMainWindow() {
    // The log and the registry let go first: a listing worker may be writing a line to it.
    m_log.SetWindow(nullptr);
    m_users.SetWindow(nullptr);
    if (m_pMainWindow && m_pMainWindow->IsWindow())
        m_pMainWindow->Destroy();
    m_pMainWindow.reset();
}

void CZylInterface::Uninitialize() {
    if (m_nTimerId)
        m_rPlatform.KillTimer(m_nTimerId);
    m_nTimerId = 0;
    // Listings in flight stop before the queue they send into goes away.
    m_shareManager.Shutdown();
    m_users.DisconnectAll();
    DropSendQueue();
    if (m_bInitialized) {
        // What changed is on disk before the host may unload the module.
        m_taskManager.LoadSave(0);
        if (m_shareManager.IsModified() && m_shareManager.LoadSave(0) == 0)
            m_shareManager.SetModified(false);
        m_log.Flush();
    }
    m_bInitialized = 0;
    m_bLogOpen = false;
    m_folderLock.Release();
}

void CZylInterface::DropSendQueue() {
    std::shared_ptr<ZylSendQueue> queue;
    {
        std::lock_guard lock(m_queueMutex);
        queue.swap(m_pSendQueue);
    }
    // What is queued goes unsent; the memory goes with the last holder (a drain this logout runs
    // inside keeps it until its host call has returned).
    if (queue)
        queue->Close();
}

int32_t CZylInterface::Show(int32_t mode, const HostUserId* user) {
    if (mode == 0)
        return -1;
    if ((mode == 2 || mode == 5) && !user)
        return -1;
    std::u16string userId;
    if (user) {
        userId = ZylUserText(reinterpret_cast<intptr_t>(user));
        if (userId.size() > ZYL_USERID_LIMIT)
            return -1;
    }
    ZYLOPENREQUEST request{
        &m_shareManager, &m_taskManager, &m_viewerManager, &m_users, user ? userId.c_str() : nullptr, mode};
    // A window the person closed is gone for good: the next open request makes a new one.
    if (m_pMainWindow && !m_pMainWindow->IsWindow())
        DropMainWindow();
    if (!m_pMainWindow) {
        m_pMainWindow = m_rPlatform.CreateMainWindow();
        if (!m_pMainWindow) {
            WriteLog(ZYL_LOG_ACTIVITY,
                     u"cannot open the window: the host runs no window framework on its thread");
            return -1;
        }
        if (!m_pMainWindow->IsWindow()) {
            m_pMainWindow.reset();
            return 0; // a window that could not be made is tried again next time
        }
        m_log.SetWindow(m_pMainWindow.get());
        m_users.SetWindow(m_pMainWindow.get());
        m_pMainWindow->SetTitle(std::u16string(ZYL_WINDOW_TITLE) + u"-" + m_sLoginId);
        m_pMainWindow->Send(WM_ZYL_OPEN, reinterpret_cast<intptr_t>(&request), 0);
    }
    if (m_pMainWindow->IsWindow()) {
        if (!m_pMainWindow->IsVisible())
            m_pMainWindow->Post(WM_ZYL_TRAY, ZYL_TRAY_ICON_ID, ZYL_TRAY_LEFT_BUTTON_DOWN);
        if (m_pMainWindow->IsMinimized())
            m_pMainWindow->Restore();
        m_pMainWindow->BringToTop();
        m_pMainWindow->Send(WM_ZYL_OPEN, reinterpret_cast<intptr_t>(&request), 1);
    }
    return 0;
}

int32_t CZylInterface::OnChannelConnected(std::u16string_view user, int32_t channel, int32_t status) {
    if (status != 0)
        return 0;
    const bool wasConnected = m_users.IsConnected(user, 0) != 0;
    if (!m_users.OnUserZylConnected(user, channel, 1))
        return 0;
    // Only the event that completes the pair starts the exchanges, and only once.
    if (wasConnected || !m_users.IsConnected(user, 0))
        return 0;
    if (m_viewerManager.HasViewer(user) && m_viewerManager.IsRootPending(user))
        m_viewerManager.RequestShareRootInfo(user);
    m_taskManager.OnChannelsUp(user);
    SendUnfinishedTasksQuery(user);
    return 0;
}

void CZylInterface::SendUnfinishedTasksQuery(std::u16string_view user) {
    ZylPayloadWriter writer;
    writer.Write(CZylDateTime(m_rPlatform.GetCalendarTime()));
    SendPayload(ZYL_CMD_UNFINISHED_TASKS_QUERY, writer, user, ZYL_CHANNEL_REQUEST);
}

int32_t CZylInterface::OnChannelDisconnected(std::u16string_view user, int32_t channel, int32_t status) {
    if (status != 0)
        return 0;
    m_users.OnUserZylConnected(user, channel, 0);
    m_taskManager.StopAllOfUser(user);
    m_shareManager.RemoveCurrentUserFromShares(user);
    return 0;
}

int32_t CZylInterface::OnUserOnline(std::u16string_view user) {
    int32_t active = 0;
    m_taskManager.CountPendingTasks(user, active);
    if (active > 0 || m_viewerManager.HasViewer(user))
        m_users.Connect(user);
    return 0;
}

int32_t CZylInterface::OnUserOffline(std::u16string_view user) {
    m_taskManager.StopAllOfUser(user);
    m_shareManager.DropListingsOf(user);
    if (m_users.IsConnected(user, 0))
        m_users.Disconnect(user);
    return 0;
}

int32_t CZylInterface::OnDataIndication(uint32_t command, const uint8_t* payload, int32_t length,
                                        std::u16string_view user, int32_t channel) {
    if (user.empty() || user.size() > ZYL_USERID_LIMIT)
        return -1;
    const uint32_t low = command & 0xFFFF;
    if (low < ZYL_CMD_FIRST || low > ZYL_CMD_LAST)
        return 0;
    if (length < 0 || (length > 0 && !payload))
        return 0;
    try {
        Dispatch(low, payload, length, user, channel);
    } catch (const ZylCodecError&) {
        // A payload that cannot be read is dropped without any reply.
    } catch (const std::exception&) {
        // Out of memory or a file-system failure inside a handler: the PDU is dropped.
    }
    return 0;
}

int32_t CZylInterface::Dispatch(uint32_t command, const uint8_t* payload, int32_t length,
                                std::u16string_view user, int32_t channel) {
    switch (command) {
    case ZYL_CMD_SHARE_ROOT_INFO_REQUEST:
        return m_shareManager.OnRequestShareRootInfo(payload, length, user);
    case ZYL_CMD_EXPLORER_FOLDER_REQUEST:
        return m_shareManager.OnRequestExplorerFolder(payload, length, user);
    case ZYL_CMD_FILE_DATA_REQUEST:
        return m_shareManager.OnRequestFileData(payload, length, user);
    case ZYL_CMD_FILE_LIST_REQUEST:
        return m_shareManager.OnRequestFileListOfShareFolder(payload, length, user);
    case ZYL_CMD_UPLOAD_REQUEST:
        return m_shareManager.OnRequestUpload(payload, length, user);
    case ZYL_CMD_WRITE_FILE_DATA_REQUEST:
        return m_shareManager.OnRequestWriteFileData(payload, length, user);
    case ZYL_CMD_SYNC_FILE_SIZE_REQUEST:
        return m_shareManager.OnRequestSyncFilesize(payload, length, user);
    case ZYL_CMD_UNFINISHED_TASKS_REPLY:
        return m_shareManager.OnUnfinishedTasks(payload, length, user);
    case ZYL_CMD_CLOSE_NOTICE:
        return m_shareManager.OnCloseNotice(payload, length, user);
    case ZYL_CMD_SHARE_ROOT_INFO_REPLY:
    case ZYL_CMD_EXPLORER_FOLDER_REPLY:
        return m_viewerManager.OnResponse(command, payload, length, user);
    case ZYL_CMD_FILE_DATA_REPLY:
    case ZYL_CMD_FILE_LIST_REPLY:
    case ZYL_CMD_UPLOAD_REPLY:
    case ZYL_CMD_WRITE_FILE_DATA_REPLY:
    case ZYL_CMD_SYNC_FILE_SIZE_REPLY:
    case ZYL_CMD_UNFINISHED_TASKS_QUERY:
    case ZYL_CMD_EMPTY_FILE_LIST:
        return m_taskManager.Dispatch(command, payload, length, user);
    case ZYL_CMD_ERROR:
        OnErrorPdu(payload, length, user, channel);
        return 0;
    default:
        return 0; // 4104, 4105 and 4115 carry nothing
    }
}

void CZylInterface::OnErrorPdu(const uint8_t* payload, int32_t length, std::u16string_view user,
                               int32_t channel) {
    ZylPayloadReader reader(payload, length);
    const int32_t code = reader.ReadInt32();
    const uint32_t taskId = reader.ReadUInt32();
    reader.ReadUInt32(); // detail
    const uint32_t n = reader.ReadUInt32();
    if (n > 0)
        reader.Skip(n > static_cast<uint32_t>(reader.Remaining()) ? -1 : static_cast<int32_t>(n));
    WriteLog(ZYL_LOG_ERROR, ZylFormat("error pdu channel#{}, userid: {}, error: {}", channel, ZylToUtf8(user),
                                      ZylToUtf8(ZylErrorText(code))));
    // The transfer waiting for the answer stops with the error instead of waiting for ever.
    if (m_bInitialized)
        m_taskManager.OnPeerError(user, code, taskId);
}

int32_t CZylInterface::SendData(uint32_t command, const void* payload, int32_t length,
                                std::u16string_view user, int32_t channel) {
    if (length > ZYL_MAX_PAYLOAD)
        return -2;
    if (length < 0)
        return -1;
    int32_t result = 0;
    {
        std::lock_guard lock(m_queueMutex);
        if (!m_pSendQueue)
            return -1;
        result = m_pSendQueue->Add(user, command, channel, payload, length);
    }
    if (result == 0 && !m_bDrainPosted.exchange(true)) {
        m_rPlatform.PostWork([this, alive = std::weak_ptr<int>(m_pAlive)] {
            if (alive.expired())
                return;
            m_bDrainPosted = false;
            // The tick that follows has nothing new to offer: what this drain leaves was refused
            // now and is offered again one tick later, as on any tick.
            m_bSkipNextTick = true;
            DrainQueue();
        });
    }
    return result;
}

int32_t CZylInterface::SendPayload(uint32_t command, const ZylPayloadWriter& writer, std::u16string_view user,
                                   int32_t channel) {
    return SendData(command, writer.Data(), writer.Size(), user, channel) < 0 ? -1 : 0;
}

size_t CZylInterface::GetQueuedCount(std::u16string_view user, int32_t channel) const {
    std::lock_guard lock(m_queueMutex);
    return m_pSendQueue ? m_pSendQueue->GetCount(user, channel) : 0;
}

void CZylInterface::OnInternalTimer() {
    if (!m_bSkipNextTick.exchange(false))
        DrainQueue();
    // Task progress reaches the task database within a few seconds.
    if (m_bInitialized) {
        m_taskManager.OnTimer();
        m_viewerManager.OnTimer();
    }
}

void CZylInterface::DrainQueue() {
    std::shared_ptr<ZylSendQueue> queue;
    {
        std::lock_guard lock(m_queueMutex);
        queue = m_pSendQueue;
    }
    if (queue) {
        queue->Drain(m_host);
        m_shareManager.OnQueueDrained();
    }
}

int32_t CZylInterface::WriteLog(int32_t level, std::u16string_view text) {
    if (!m_bLogOpen)
        return -1;
    return m_log.WriteLine(level, text);
}
