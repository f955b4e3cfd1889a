#include "core/ZylUserList.h"

#include "core/ZylHost.h"
#include "core/ZylPlatform.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

std::unique_ptr<ZYLUSER> ZylUserList::MakeRecord(std::u16string_view id, int32_t hidden) {
    auto record = std::make_unique<ZYLUSER>();
    record->id = std::u16string(id.substr(0, ZYL_USERID_LIMIT));
    record->bHidden = hidden;
    return record;
}

int32_t ZylUserList::Find(std::u16string_view id, PZYLUSER* record) const {
    for (size_t i = 0; i < m_vUsers.size(); ++i) {
        if (ZylEqualNoCase(m_vUsers[i]->id, id)) {
            if (record)
                *record = m_vUsers[i].get();
            return static_cast<int32_t>(i);
        }
    }
    if (record)
        *record = nullptr;
    return -1;
}

int32_t ZylUserList::Add(std::unique_ptr<ZYLUSER> record, PZYLUSER* result) {
    PZYLUSER existing = nullptr;
    if (Find(record->id, &existing) >= 0) {
        if (!ZylEqualNoCase(existing->name, record->name))
            existing->name = record->name;
        if (result)
            *result = existing;
        return 1;
    }
    if (result)
        *result = record.get();
    m_vUsers.push_back(std::move(record));
    return 0;
}

PZYLUSER ZylUserList::GetAt(int32_t index) {
    if (index < 0 || index >= GetCount())
        return nullptr;
    const std::u16string id = m_vUsers[static_cast<size_t>(index)]->id;
    std::u16string name = m_rHost.GetDisplayName(id).substr(0, ZYL_MAX_NAME - 1);
    // The host may change the registry while it answers (a logout and login rebuild it): the
    // record is taken again after the call, and only if it is still the same user's.
    if (index >= GetCount() || !ZylEqualNoCase(m_vUsers[static_cast<size_t>(index)]->id, id))
        return nullptr;
    PZYLUSER user = m_vUsers[static_cast<size_t>(index)].get();
    user->name = std::move(name);
    return user;
}

void ZylUserList::OpenChannels(const ZYLUSER& user) {
    m_rHost.Prepare();
    m_rHost.OpenChannel(user.id, ZYL_CHANNEL_REQUEST);
    m_rHost.OpenChannel(user.id, ZYL_CHANNEL_DATA);
}

void ZylUserList::Connect(std::u16string_view id) {
    PZYLUSER user = nullptr;
    if (Find(id, &user) < 0)
        return;
    if (user->nConnected1024 && user->nConnected1025)
        return;
    OpenChannels(*user);
}

void ZylUserList::Disconnect(std::u16string_view id) {
    PZYLUSER user = nullptr;
    if (Find(id, &user) < 0)
        return;
    // Copy the id: the host may report the close synchronously.
    const std::u16string userId = user->id;
    if (user->nConnected1024)
        m_rHost.CloseChannel(userId, ZYL_CHANNEL_REQUEST);
    if (user->nConnected1025)
        m_rHost.CloseChannel(userId, ZYL_CHANNEL_DATA);
}

int32_t ZylUserList::IsConnected(std::u16string_view id, int32_t channel) const {
    PZYLUSER user = nullptr;
    if (Find(id, &user) < 0)
        return 0;
    switch (channel) {
    case 0:
        return user->nConnected1024 && user->nConnected1025 ? 1 : 0;
    case ZYL_CHANNEL_REQUEST:
        return user->nConnected1024;
    case ZYL_CHANNEL_DATA:
        return user->nConnected1025;
    default:
        return 0;
    }
}

int32_t ZylUserList::IsChannelBusy(std::u16string_view id, int32_t channel) const {
    PZYLUSER user = nullptr;
    if (channel != ZYL_CHANNEL_DATA || Find(id, &user) < 0)
        return 0;
    return user->nBusy1025;
}

PZYLUSER ZylUserList::OnUserZylConnected(std::u16string_view id, int32_t channel, int32_t state) {
    if (channel != ZYL_CHANNEL_REQUEST && channel != ZYL_CHANNEL_DATA)
        return nullptr;
    // A record holds 20 characters: a longer id cut to fit would name another user.
    if (id.empty() || id.size() > ZYL_USERID_LIMIT)
        return nullptr;
    PZYLUSER user = nullptr;
    if (Find(id, &user) < 0)
        Add(MakeRecord(id, 1), &user);
    (channel == ZYL_CHANNEL_REQUEST ? user->nConnected1024 : user->nConnected1025) = state;
    if (m_pWindow && m_pWindow->IsWindow() && m_pWindow->IsVisible() && user->bHidden == 0)
        m_pWindow->Send(WM_ZYL_USER_CHANGED, reinterpret_cast<intptr_t>(user), 0);
    return user;
}

void ZylUserList::ConnectAll() {
    // The host may report channel events synchronously and so add records: walk by index.
    for (size_t i = 0; i < m_vUsers.size(); ++i)
        OpenChannels(*m_vUsers[i]);
}

void ZylUserList::DisconnectAll() {
    for (size_t i = 0; i < m_vUsers.size(); ++i)
        Disconnect(std::u16string(m_vUsers[i]->id));
}
