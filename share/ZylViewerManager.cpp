#include "share/ZylViewerManager.h"

int32_t CZylViewerManager::HasViewer(std::u16string_view) const {
    return 0;
}
int32_t CZylViewerManager::IsRootPending(std::u16string_view) const {
    return 0;
}
int32_t CZylViewerManager::RequestShareRootInfo(std::u16string_view) {
    return -1;
}
int32_t CZylViewerManager::OnResponse(uint32_t, const uint8_t*, int32_t, std::u16string_view) {
    return -1;
}
