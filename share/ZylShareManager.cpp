#include "share/ZylShareManager.h"

int32_t CZylShareManager::WriteHeader(CZylDbWriter&) { return 0; }
int32_t CZylShareManager::ReadHeader(CZylDbReader&) { return 0; }
int32_t CZylShareManager::LoadSave(int32_t) { return GetDbPath().empty() ? -1 : 0; }
void CZylShareManager::RemoveCurrentUserFromShares(std::u16string_view user) { CloseFilesOfUser(user); }
int32_t CZylShareManager::OnRequestShareRootInfo(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnRequestExplorerFolder(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnRequestFileListOfShareFolder(const uint8_t*, int32_t, std::u16string_view) {
    return 0;
}
