// The browse client: one viewer per friend whose shares the local user is browsing, and the
// routing of the friends' listing replies to them.
#pragma once

#include "share/ZylViewer.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class IZylPluginContext;

class CZylViewerManager {
public:
    explicit CZylViewerManager(IZylPluginContext& owner) : m_rContext(owner) {}
    virtual ~CZylViewerManager();
    CZylViewerManager(const CZylViewerManager&) = delete;
    CZylViewerManager& operator=(const CZylViewerManager&) = delete;

    // The user's viewer, made when there is none (ids without regard to case); null without memory.
    CZylViewer* AddViewer(std::u16string_view user);
    int32_t RemoveViewer(std::u16string_view user);
    CZylViewer* FindViewer(std::u16string_view user) const;
    int32_t HasViewer(std::u16string_view user) const;
    int32_t GetViewerCount() const { return static_cast<int32_t>(m_vViewers.size()); }

    // Hands 4097 and 4099 to the user's viewer; -1 without one.
    int32_t OnResponse(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t RequestShareRootInfo(std::u16string_view user);
    int32_t RequestExplorerFolder(std::u16string_view user, std::u16string_view sharePath,
                                  const CZylDateTime& time);
    void SetRootPending(std::u16string_view user, int32_t pending);
    int32_t IsRootPending(std::u16string_view user) const;
    void DeleteAllViewers();
    // The plug-in's timer: each viewer reports a listing whose friend went silent.
    void OnTimer();

private:
    IZylPluginContext& m_rContext;
    std::vector<std::unique_ptr<CZylViewer>> m_vViewers;
};
