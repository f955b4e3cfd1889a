// The host's services, reached through the callback the host handed over. Each plug-in instance
// owns one, so that two plug-ins can live side by side in one process.
#pragma once

#include "zylfs/ZylPlugin.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CZylHost {
public:
    using Callback = std::function<int32_t(int32_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t)>;

    void SetCallback(Callback callback) { m_fnCallback = std::move(callback); }
    bool HasCallback() const { return static_cast<bool>(m_fnCallback); }

    // The callback's result, or -1 when none is stored.
    int32_t Call(int32_t code, intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0,
                 intptr_t a5 = 0) const;

    // The services, with users given by their id text (an unparsable text gives an invalid id).
    int32_t Prepare() const { return Call(ZYL_HOST_PREPARE, 3); }
    int32_t OpenChannel(std::u16string_view user, int32_t channel) const;
    int32_t CloseChannel(std::u16string_view user, int32_t channel) const;
    int32_t Send(std::u16string_view user, int32_t channel, uint32_t command, const uint8_t* payload,
                 int32_t length) const;
    // The display name; an empty name becomes the id text whatever the host answered.
    std::u16string GetDisplayName(std::u16string_view user) const;
    // The application folder; -1 when the host refuses.
    int32_t GetAppPath(std::u16string& path) const;

    static HostUserId ToHostUserId(std::u16string_view user);

private:
    Callback m_fnCallback;
};
