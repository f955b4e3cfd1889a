#include "core/ZylHost.h"

#include "core/ZylProtocol.h"
#include "core/ZylText.h"

HostUserId CZylHost::ToHostUserId(std::u16string_view user) {
    HostUserId id;
    id.Parse(user);
    return id;
}

int32_t CZylHost::Call(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) const {
    return m_fnCallback ? m_fnCallback(code, a1, a2, a3, a4, a5) : -1;
}

int32_t CZylHost::OpenChannel(std::u16string_view user, int32_t channel) const {
    HostUserId id = ToHostUserId(user);
    return Call(ZYL_HOST_OPEN_CHANNEL, reinterpret_cast<intptr_t>(&id), channel);
}

int32_t CZylHost::CloseChannel(std::u16string_view user, int32_t channel) const {
    HostUserId id = ToHostUserId(user);
    return Call(ZYL_HOST_CLOSE_CHANNEL, reinterpret_cast<intptr_t>(&id), channel);
}

int32_t CZylHost::Send(std::u16string_view user, int32_t channel, uint32_t command, const uint8_t* payload,
                       int32_t length) const {
    HostUserId id = ToHostUserId(user);
    return Call(ZYL_HOST_SEND, reinterpret_cast<intptr_t>(&id), channel, static_cast<intptr_t>(command),
                reinterpret_cast<intptr_t>(payload), length);
}

std::u16string CZylHost::GetDisplayName(std::u16string_view user) const {
    HostUserId id = ToHostUserId(user);
    char16_t buffer[ZYL_MAX_NAME] = {};
    Call(ZYL_HOST_GET_NAME, reinterpret_cast<intptr_t>(&id), reinterpret_cast<intptr_t>(buffer));
    std::u16string name = ZylFromBuffer(buffer, ZYL_MAX_NAME);
    return name.empty() ? std::u16string(user) : name;
}

int32_t CZylHost::GetAppPath(std::u16string& path) const {
    char16_t buffer[ZYL_MAX_PATH] = {};
    const int32_t result = Call(ZYL_HOST_GET_APP_PATH, reinterpret_cast<intptr_t>(buffer));
    if (result < 0)
        return -1;
    path = ZylFromBuffer(buffer, ZYL_MAX_PATH);
    return result;
}
