#include "share/ZylViewerManager.h"

#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <new>

CZylViewerManager::~CZylViewerManager() {
    DeleteAllViewers();
}

CZylViewer* CZylViewerManager::AddViewer(std::u16string_view user) {
    if (CZylViewer* viewer = FindViewer(user))
        return viewer;
    try {
        auto viewer = std::make_unique<CZylViewer>(m_rContext);
        viewer->SetUserID(user);
        m_vViewers.push_back(std::move(viewer));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return m_vViewers.back().get();
}

int32_t CZylViewerManager::RemoveViewer(std::u16string_view user) {
    for (auto it = m_vViewers.begin(); it != m_vViewers.end(); ++it) {
        if (ZylEqualNoCase((*it)->GetUserID(), user)) {
            m_vViewers.erase(it);
            return 0;
        }
    }
    return -1;
}

CZylViewer* CZylViewerManager::FindViewer(std::u16string_view user) const {
    for (const auto& viewer : m_vViewers)
        if (ZylEqualNoCase(viewer->GetUserID(), user))
            return viewer.get();
    return nullptr;
}

int32_t CZylViewerManager::HasViewer(std::u16string_view user) const {
    return FindViewer(user) ? 1 : 0;
}

int32_t CZylViewerManager::OnResponse(uint32_t command, const uint8_t* payload, int32_t length,
                                      std::u16string_view user) {
    CZylViewer* viewer = FindViewer(user);
    if (!viewer)
        return -1;
    const uint32_t low = command & 0xFFFF;
    if (low != ZYL_CMD_SHARE_ROOT_INFO_REPLY && low != ZYL_CMD_EXPLORER_FOLDER_REPLY)
        return -1;
    return viewer->OnResponse(command, payload, length, user);
}

int32_t CZylViewerManager::RequestShareRootInfo(std::u16string_view user) {
    CZylViewer* viewer = FindViewer(user);
    return viewer ? viewer->RequestShareRootInfo() : -1;
}

int32_t CZylViewerManager::RequestExplorerFolder(std::u16string_view user, std::u16string_view sharePath,
                                                 const CZylDateTime& time) {
    CZylViewer* viewer = FindViewer(user);
    return viewer ? viewer->RequestExplorerFolder(sharePath, time) : -1;
}

void CZylViewerManager::SetRootPending(std::u16string_view user, int32_t pending) {
    if (CZylViewer* viewer = FindViewer(user))
        viewer->SetRootPending(pending);
}

int32_t CZylViewerManager::IsRootPending(std::u16string_view user) const {
    const CZylViewer* viewer = FindViewer(user);
    return viewer ? viewer->IsRootPending() : 0;
}

void CZylViewerManager::DeleteAllViewers() {
    m_vViewers.clear();
}

void CZylViewerManager::OnTimer() {
    for (const auto& viewer : m_vViewers)
        viewer->CheckSilence();
}
