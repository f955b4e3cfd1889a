#include "share/ZylViewer.h"

#include "core/ZylLog.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <algorithm>

CZylViewer::~CZylViewer() {
    ClearItems();
}

void CZylViewer::SetUserID(std::u16string_view id) {
    m_szUserID = std::u16string(id.substr(0, ZYL_USERID_LIMIT));
}

void CZylViewer::Heard() {
    m_nLastHeard = m_rContext.GetPlatform().GetTickCount();
    m_bSilenceNoted = false;
}

uint32_t CZylViewer::GetSilentMs() const {
    return m_rContext.GetPlatform().GetTickCount() - m_nLastHeard;
}

void CZylViewer::CheckSilence() {
    if (!IsWaiting() || m_bSilenceNoted || GetSilentMs() < LISTING_SILENCE_MS)
        return;
    m_bSilenceNoted = true;
    m_rContext.WriteLog(ZYL_LOG_WARNING, ZylFormat("no listing page from {} for {} s", ZylToUtf8(m_szUserID),
                                                   GetSilentMs() / 1000));
}

int32_t CZylViewer::RequestShareRootInfo() {
    Heard();
    m_nRootRequests = std::min(m_nRootRequests + 1, REQUESTS_REMEMBERED);
    ZylPayloadWriter writer;
    writer.Write(CZylDateTime(m_rContext.GetPlatform().GetCalendarTime()));
    return m_rContext.SendPayload(ZYL_CMD_SHARE_ROOT_INFO_REQUEST, writer, m_szUserID, ZYL_CHANNEL_REQUEST);
}

int32_t CZylViewer::RequestExplorerFolder(std::u16string_view sharePath, const CZylDateTime& time) {
    m_sCurrentFolder = sharePath;
    Heard();
    m_nFolderRequests = std::min(m_nFolderRequests + 1, REQUESTS_REMEMBERED);
    try {
        ZylPayloadWriter writer;
        writer.Write(time);
        writer.WriteString(sharePath);
        return m_rContext.SendPayload(ZYL_CMD_EXPLORER_FOLDER_REQUEST, writer, m_szUserID,
                                      ZYL_CHANNEL_REQUEST);
    } catch (const ZylCodecError&) {
        return -1; // a path too long for one payload
    }
}

int32_t CZylViewer::OnResponse(uint32_t command, const uint8_t* payload, int32_t length,
                               std::u16string_view user) {
    if (!ZylEqualNoCase(user, m_szUserID))
        return -1;
    switch (command & 0xFFFF) {
    case ZYL_CMD_SHARE_ROOT_INFO_REPLY:
        m_bRootPending = 0;
        OnRespondPage(payload, length, true);
        break;
    case ZYL_CMD_EXPLORER_FOLDER_REPLY:
        OnRespondPage(payload, length, false);
        break;
    default:
        break;
    }
    return 0;
}

int32_t CZylViewer::OnRespondPage(const uint8_t* payload, int32_t length, bool root) {
    if (!m_pNotifyWindow)
        return -1;
    int32_t& requests = root ? m_nRootRequests : m_nFolderRequests;
    if (requests <= 0)
        return -1; // nobody asked for it
    Heard();
    ZylPayloadReader reader(payload, length);
    reader.ReadInt32(); // status, always 0
    const int32_t total = reader.ReadInt32();
    const int32_t begin = reader.ReadInt32();
    const int32_t count = reader.ReadInt32();
    // The whole page is read before anything changes, so a damaged page leaves the list alone.
    std::vector<std::unique_ptr<CZylShareObject>> page;
    for (int32_t i = 0; i < count; ++i) {
        auto item = std::make_unique<CZylShareObject>();
        item->SetFolder(reader.ReadInt32());
        item->SetShareName(reader.ReadString());
        item->SetType(reader.ReadString());
        if (root) {
            item->SetGrantedPrivilege(reader.ReadInt16());
            CZylDateTime shareTime, time;
            reader.Read(shareTime);
            reader.Read(time);
            item->SetShareTime(shareTime);
            item->SetTime(time);
            item->SetSize(reader.ReadUInt32());
        } else {
            item->SetSize(reader.ReadUInt32());
            CZylDateTime time;
            reader.Read(time);
            item->SetTime(time);
        }
        page.push_back(std::move(item));
    }
    // A page that does not continue the list (another position, or another total than the pages
    // before it) restarts it.
    if (begin < 0 || static_cast<size_t>(begin) != m_vItems.size() || (begin > 0 && total != m_nListTotal))
        ClearItems();
    m_nListTotal = total;
    const int32_t wanted = std::min(total, ITEM_LIMIT);
    for (auto& item : page) {
        if (m_vItems.size() >= static_cast<size_t>(ITEM_LIMIT))
            break;
        m_vItems.push_back(std::move(item));
    }
    if (total < 0 || m_vItems.size() != static_cast<size_t>(wanted))
        return 0;
    --requests;
    if (total > ITEM_LIMIT)
        m_rContext.WriteLog(ZYL_LOG_WARNING, ZylFormat("listing from {} cut at {} of its {} entries",
                                                       ZylToUtf8(m_szUserID), ITEM_LIMIT, total));
    if (m_pNotifyWindow && m_pNotifyWindow->IsWindow())
        m_pNotifyWindow->Send(root ? WM_ZYL_FRIEND_ROOT : WM_ZYL_FRIEND_FOLDER,
                              reinterpret_cast<intptr_t>(this), 0);
    return 0;
}

CZylShareObject* CZylViewer::GetItem(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_vItems.size())
        return nullptr;
    return m_vItems[static_cast<size_t>(index)].get();
}

void CZylViewer::ClearItems() {
    std::lock_guard lock(m_mutex);
    m_vItems.clear();
}
