#include "transfer/ZylTaskManager.h"

int32_t CZylTaskManager::WriteHeader(CZylDbWriter&) {
    return 0;
}
int32_t CZylTaskManager::ReadHeader(CZylDbReader&) {
    return 0;
}
int32_t CZylTaskManager::LoadSave(int32_t) {
    return GetDbPath().empty() ? -1 : 0;
}
int32_t CZylTaskManager::Startup() {
    return 0;
}
void CZylTaskManager::OnChannelsUp(std::u16string_view) {}
void CZylTaskManager::StopAllOfUser(std::u16string_view) {}
int32_t CZylTaskManager::CountPendingTasks(std::u16string_view, int32_t& active) const {
    active = 0;
    return 0;
}
int32_t CZylTaskManager::Dispatch(uint32_t, const uint8_t*, int32_t, std::u16string_view) {
    return 0;
}
