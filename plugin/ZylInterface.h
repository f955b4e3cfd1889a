// The plug-in's central object: it answers the host's codes, owns the registry, the log and the
// three managers, drains the send queue on its 10 ms timer and routes every incoming PDU by its
// command number. One object is one plug-in; the module drives one per process.
#pragma once

#include "core/ZylFolderLock.h"
#include "core/ZylHost.h"
#include "core/ZylLog.h"
#include "core/ZylPluginContext.h"
#include "core/ZylUserList.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "share/ZylShareManager.h"
#include "share/ZylViewerManager.h"
#include "transfer/ZylTaskManager.h"

class IZylPlatform;
class IZylWindow;
class ZylPayloadWriter;
class ZylSendQueue;

// What the window receives with WM_ZYL_OPEN; it copies what it needs before the send returns.
struct ZYLOPENREQUEST {
    CZylShareManager* pShareManager;
    CZylTaskManager* pTaskManager;
    CZylViewerManager* pViewerManager;
    ZylUserList* pUserList;
    const char16_t* pUserId; // null when no user was given
    int32_t nMode;
};

class CZylInterface final : public IZylPluginContext {
public:
    explicit CZylInterface(IZylPlatform& platform);
    ~CZylInterface() override;
    CZylInterface(const CZylInterface&) = delete;
    CZylInterface& operator=(const CZylInterface&) = delete;

    // Every host code; never throws.
    int32_t ProcessMessage(uint32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5);
    // Code 0 with a callback that is not a plain function (tests, in-process hosts).
    int32_t SetHostCallback(CZylHost::Callback callback);

    int32_t Login(std::u16string_view loginId);
    int32_t Logout();
    int32_t Show(int32_t mode, const HostUserId* user);
    int32_t OnChannelConnected(std::u16string_view user, int32_t channel, int32_t status);
    int32_t OnChannelDisconnected(std::u16string_view user, int32_t channel, int32_t status);
    int32_t OnDataIndication(uint32_t command, const uint8_t* payload, int32_t length,
                             std::u16string_view user, int32_t channel);
    int32_t OnUserOnline(std::u16string_view user);
    int32_t OnUserOffline(std::u16string_view user);

    // Queues a PDU: -2 above 65536 bytes, -1 while there is no send queue, else the queue's result.
    int32_t SendData(uint32_t command, const void* payload, int32_t length, std::u16string_view user,
                     int32_t channel);
    // What a payload writer holds, queued as SendData does: 0 when queued, -1 when not.
    int32_t SendPayload(uint32_t command, const ZylPayloadWriter& writer, std::u16string_view user,
                        int32_t channel) override;
    size_t GetQueuedCount(std::u16string_view user, int32_t channel) const override;
    // One tick of the 10 ms timer: drains the send queue.
    void OnInternalTimer();

    // Writes a log line at that level; -1 while the plug-in is not logged in (ZylLog's rule): before
    // login has opened the log and after logout, when there is no log to write to, lines (an
    // error PDU a host delivers then, say) are dropped.
    int32_t WriteLog(int32_t level, std::u16string_view text) override;
    void SetLogWindow(IZylWindow* window) { m_log.SetWindow(window); }

    CZylShareManager& GetShareManager() { return m_shareManager; }
    CZylTaskManager& GetTaskManager() { return m_taskManager; }
    CZylViewerManager& GetViewerManager() { return m_viewerManager; }
    ZylUserList& GetUserList() { return m_users; }
    CZylLog& GetLog() { return m_log; }
    const CZylHost& GetHost() const { return m_host; }
    IZylPlatform& GetPlatform() override { return m_rPlatform; }
    std::u16string GetDisplayName(std::u16string_view user) const override {
        return m_host.GetDisplayName(user);
    }
    const std::u16string& GetLoginId() const { return m_sLoginId; }
    const std::u16string& GetPluginFolder() const { return m_sPluginFolder; }
    bool IsInitialized() const { return m_bInitialized != 0; }
    IZylWindow* GetMainWindow() const { return m_pMainWindow.get(); }
    uintptr_t GetTimerId() const { return m_nTimerId; }

private:
    void SetLoginId(std::u16string_view id);
    int32_t Initialize();
    void Uninitialize();
    // Destroys the window (if it still is one) and forgets it; the log and the registry first.
    void DropMainWindow();
    int32_t Dispatch(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user,
                     int32_t channel);
    void OnErrorPdu(const uint8_t* payload, int32_t length, std::u16string_view user, int32_t channel);
    void SendUnfinishedTasksQuery(std::u16string_view user);
    void DrainQueue();
    void DropSendQueue();

    IZylPlatform& m_rPlatform;
    CZylHost m_host;
    uintptr_t m_nTimerId = 0;
    std::u16string m_sLoginId;
    ZylUserList m_users;
    CZylLog m_log;
    std::atomic<int32_t> m_bInitialized{0};
    std::atomic<bool> m_bLogOpen{false}; // read by listing workers when they log
    CZylViewerManager m_viewerManager;
    CZylTaskManager m_taskManager;
    CZylShareManager m_shareManager;
    std::u16string m_sPluginFolder;
    // Held from login to logout: one process at a time on the plug-in folder.
    CZylFolderLock m_folderLock;
    std::unique_ptr<IZylWindow> m_pMainWindow;
    // Workers queue PDUs while logout drops the queue. A drain holds the queue too: the host may
    // log out from inside the send the drain is making.
    mutable std::mutex m_queueMutex;
    std::shared_ptr<ZylSendQueue> m_pSendQueue;
    // A drain is posted to the loop as soon as something is queued, so a reply does not wait for
    // the next tick; the token tells posted drains whether this object still exists.
    std::atomic<bool> m_bDrainPosted{false};
    std::atomic<bool> m_bSkipNextTick{false};
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};

// The user id text of a user the host passes (a HostUserId); empty for a null pointer.
std::u16string ZylUserText(intptr_t hostUserId);
