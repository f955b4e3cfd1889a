// Download and upload tasks: their database, their scheduling and the replies that drive them.
#pragma once

#include "core/ZylManagerBase.h"

#include <cstdint>
#include <string_view>

class CZylTaskManager : public CZylManagerBase {
public:
    explicit CZylTaskManager(CZylInterface& owner) : CZylManagerBase(owner) {}
    ~CZylTaskManager() override = default;

    int32_t WriteHeader(CZylDbWriter& file) override;
    int32_t ReadHeader(CZylDbReader& file) override;
    int32_t LoadSave(int32_t load) override;

    // After loading: the registry is rebuilt from the tasks and their users' channels are asked for.
    int32_t Startup();
    // Both channels of the user came up.
    void OnChannelsUp(std::u16string_view user);
    void StopAllOfUser(std::u16string_view user);
    // That user's unfinished tasks; active receives those to resume when the user is online.
    int32_t CountPendingTasks(std::u16string_view user, int32_t& active) const;
    // The transfer replies (4101, 4103, 4107, 4109, 4111, 4116) and the unfinished tasks query.
    int32_t Dispatch(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user);
};
