// The module tests' host callback, of the public header alone: it answers the application path, takes
// every send and records each call with the user it names.
#pragma once

#include "zylfs/ZylPlugin.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zyl_recording_host {
using ProcessMessageFn = int32_t (*)(uint32_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);
struct ZYLHOSTCALL {
    int32_t code;
    std::u16string user;
    intptr_t channel, command, length;
};
inline std::vector<ZYLHOSTCALL> g_vCalls;
inline std::u16string g_sAppPath;
inline std::u16string TextOf(intptr_t user) {
    return user ? reinterpret_cast<const HostUserId*>(user)->ToText() : std::u16string();
}
inline int32_t HostCallback(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t, intptr_t a5) {
    switch (code) {
    case ZYL_HOST_GET_APP_PATH: {
        auto* buffer = reinterpret_cast<char16_t*>(a1);
        buffer[g_sAppPath.copy(buffer, 259)] = 0;
        g_vCalls.push_back({code, {}, 0, 0, 0});
        return 0;
    }
    case ZYL_HOST_SEND:
        g_vCalls.push_back({code, TextOf(a1), a2, a3, a5});
        return 1;
    default:
        g_vCalls.push_back({code, code == ZYL_HOST_PREPARE ? std::u16string() : TextOf(a1), a2, 0, 0});
        return 0;
    }
}
} // namespace zyl_recording_host
