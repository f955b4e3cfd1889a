// The transfer requests of other users: file data served, uploads received, close notices.
#include "share/ZylShareManager.h"

int32_t CZylShareManager::OnRequestFileData(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnRequestUpload(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnRequestWriteFileData(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnRequestSyncFilesize(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnUnfinishedTasks(const uint8_t*, int32_t, std::u16string_view) { return 0; }
int32_t CZylShareManager::OnCloseNotice(const uint8_t*, int32_t, std::u16string_view) { return 0; }
