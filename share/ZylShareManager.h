// The serving side: the local shares with their rights, the share database, and the answers to
// other users' browse and transfer requests.
#pragma once

#include "core/ZylManagerBase.h"

#include <cstdint>
#include <string_view>

class CZylShareManager : public CZylManagerBase {
public:
    explicit CZylShareManager(CZylInterface& owner) : CZylManagerBase(owner) {}
    ~CZylShareManager() override = default;

    int32_t WriteHeader(CZylDbWriter& file) override;
    int32_t ReadHeader(CZylDbReader& file) override;
    int32_t LoadSave(int32_t load) override;

    // A user's channel closed: its current-user entries and the files it held open go.
    void RemoveCurrentUserFromShares(std::u16string_view user);
    // Logout: running listings stop; nothing is sent after it.
    void Shutdown() {}

    int32_t OnRequestShareRootInfo(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestExplorerFolder(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestFileData(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestFileListOfShareFolder(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestUpload(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestWriteFileData(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestSyncFilesize(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnUnfinishedTasks(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnCloseNotice(const uint8_t* payload, int32_t length, std::u16string_view user);
};
