// The browse client for one friend: it asks for the friend's shares and folders, gathers the reply
// pages into a list of items and tells the window when a listing is complete.
#pragma once

#include "core/ZylManagerBase.h"
#include "share/ZylShareObject.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class IZylWindow;

class CZylViewer : public CZylManagerBase {
public:
    explicit CZylViewer(IZylPluginContext& owner) : CZylManagerBase(owner) {}
    ~CZylViewer() override;

    // A viewer keeps nothing on disk.
    int32_t WriteHeader(CZylDbWriter&) override { return 0; }
    int32_t ReadHeader(CZylDbReader&) override { return 0; }
    int32_t LoadSave(int32_t) override { return 0; }

    void SetUserID(std::u16string_view id);
    const std::u16string& GetUserID() const { return m_szUserID; }
    // Completed listings are announced to this window; while none is set, replies are refused.
    void SetNotifyWindow(IZylWindow* window) { m_pNotifyWindow = window; }
    IZylWindow* GetNotifyWindow() const { return m_pNotifyWindow; }
    void SetRootPending(int32_t pending) { m_bRootPending = pending; }
    int32_t IsRootPending() const { return m_bRootPending; }

    // Queue the requests to the viewed user; 0, or -1 when they could not be queued. Each request
    // the window makes lets one listing of its kind in: pages that no request (and no pending
    // mark) asked for are dropped, so a peer cannot make the list grow without end.
    int32_t RequestShareRootInfo();
    // Remembers the share path as the current folder first.
    int32_t RequestExplorerFolder(std::u16string_view sharePath, const CZylDateTime& time);

    // A reply page (4097 root info, 4099 folder listing); -1 when it comes from another user.
    int32_t OnResponse(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user);

    int32_t GetItemCount() const { return static_cast<int32_t>(m_vItems.size()); }
    CZylShareObject* GetItem(int32_t index) const;
    const std::u16string& GetCurrentFolder() const { return m_sCurrentFolder; }
    void ClearItems();

    // A listing asked for has not completed yet.
    bool IsWaiting() const { return m_nRootRequests > 0 || m_nFolderRequests > 0; }
    // Milliseconds since the last request or the last page that arrived: a long listing is waited
    // for as long as its pages keep coming, and only a silence says the friend stopped answering.
    uint32_t GetSilentMs() const;
    // The timer's look: a listing waited for and silent for LISTING_SILENCE_MS gets one log line.
    void CheckSilence();

    // A listing keeps at most this many items; a longer one is cut there (with a log line) and
    // announced as it is.
    static constexpr int32_t ITEM_LIMIT = 65536;
    // Requests counted as waiting for their listing at most (older ones are forgotten).
    static constexpr int32_t REQUESTS_REMEMBERED = 16;
    static constexpr uint32_t LISTING_SILENCE_MS = 20000;

private:
    // root: a root info page (items carry their share name and granted rights), else a folder page.
    int32_t OnRespondPage(const uint8_t* payload, int32_t length, bool root);
    void Heard();

    std::mutex m_mutex; // taken while the items are emptied
    int32_t m_bRootPending = 0;
    int32_t m_nRootRequests = 0;   // root info requests whose listing has not completed
    int32_t m_nFolderRequests = 0; // the same for folder requests
    int32_t m_nListTotal = 0;      // the total the pages of the list held now announced
    uint32_t m_nLastHeard = 0;     // tick of the last request or page
    bool m_bSilenceNoted = false;  // the present silence has its log line
    IZylWindow* m_pNotifyWindow = nullptr;
    std::vector<std::unique_ptr<CZylShareObject>> m_vItems;
    std::u16string m_sCurrentFolder;
    std::u16string m_szUserID;
};
