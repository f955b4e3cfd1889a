// The browse client: one viewer per friend whose shares the local user is browsing.
#pragma once

#include <cstdint>
#include <string_view>

class CZylInterface;

class CZylViewerManager {
public:
    explicit CZylViewerManager(CZylInterface& owner) : m_rInterface(owner) {}
    virtual ~CZylViewerManager() = default;

    int32_t HasViewer(std::u16string_view user) const;
    int32_t IsRootPending(std::u16string_view user) const;
    int32_t RequestShareRootInfo(std::u16string_view user);
    int32_t OnResponse(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user);

private:
    CZylInterface& m_rInterface;
};
