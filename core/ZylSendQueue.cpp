#include "core/ZylSendQueue.h"

#include "core/ZylHost.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "core/ZylUserList.h"

#include <cstring>

static std::u16string FoldedKey(std::u16string_view user) {
    std::u16string key(user.substr(0, ZYL_MAX_USERID));
    for (char16_t& c : key)
        c = ZylFoldCase(c);
    return key;
}

std::deque<std::unique_ptr<ZYLPENDINGPDU>>* ZylSendQueue::Line(std::u16string_view user, int32_t channel) {
    auto it = m_mLines.find(FoldedKey(user));
    if (it == m_mLines.end())
        return nullptr;
    return channel == ZYL_CHANNEL_REQUEST ? &it->second.channel1024 : &it->second.channel1025;
}

int32_t ZylSendQueue::Add(std::u16string_view user, uint32_t command, int32_t channel, const void* payload,
                          int32_t length) {
    if (channel != ZYL_CHANNEL_REQUEST && channel != ZYL_CHANNEL_DATA)
        return -1;
    // No registry record holds a longer id, so its PDUs could never leave; cut to fit, two such
    // ids would share one line.
    if (user.empty() || user.size() > ZYL_USERID_LIMIT)
        return -1;
    auto pdu = std::make_unique<ZYLPENDINGPDU>();
    pdu->user = std::u16string(user.substr(0, ZYL_MAX_USERID));
    pdu->channel = channel;
    pdu->command = command;
    if (length > 0 && payload) {
        const auto* p = static_cast<const uint8_t*>(payload);
        pdu->payload.assign(p, p + length);
    }
    std::lock_guard lock(m_mutex);
    LINES& lines = m_mLines[FoldedKey(user)];
    if (channel == ZYL_CHANNEL_REQUEST) {
        lines.channel1024.push_back(std::move(pdu));
        ++m_nCount1024;
    } else {
        lines.channel1025.push_back(std::move(pdu));
        ++m_nCount1025;
    }
    return 0;
}

const ZYLPENDINGPDU* ZylSendQueue::FindFirst(std::u16string_view user, int32_t channel) {
    std::lock_guard lock(m_mutex);
    auto* line =
        (channel == ZYL_CHANNEL_REQUEST || channel == ZYL_CHANNEL_DATA) ? Line(user, channel) : nullptr;
    return line && !line->empty() ? line->front().get() : nullptr;
}

int32_t ZylSendQueue::RemoveFirst(std::u16string_view user, int32_t channel) {
    if (channel != ZYL_CHANNEL_REQUEST && channel != ZYL_CHANNEL_DATA)
        return -1;
    std::lock_guard lock(m_mutex);
    auto* line = Line(user, channel);
    if (line && !line->empty()) {
        line->pop_front();
        --(channel == ZYL_CHANNEL_REQUEST ? m_nCount1024 : m_nCount1025);
    }
    return 0;
}

size_t ZylSendQueue::GetCount(std::u16string_view user, int32_t channel) const {
    if (channel != ZYL_CHANNEL_REQUEST && channel != ZYL_CHANNEL_DATA)
        return 0;
    std::lock_guard lock(m_mutex);
    const auto* line = Line(user, channel);
    return line ? line->size() : 0;
}

void ZylSendQueue::Close() {
    std::lock_guard lock(m_mutex);
    m_bClosed = true;
}

bool ZylSendQueue::IsClosed() const {
    std::lock_guard lock(m_mutex);
    return m_bClosed;
}

void ZylSendQueue::Drain(const CZylHost& host) {
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed || m_bDraining || (m_nCount1024 == 0 && m_nCount1025 == 0))
            return;
        m_bDraining = true;
    }
    // Both the name query (inside GetAt) and the send call the host, which may run its own loop
    // there, log out and even log in again: the queue is asked after each call whether it is
    // still open, and the registry is walked by position, its records looked up afresh.
    for (int32_t i = 0; i < m_rUsers.GetCount() && !IsClosed(); ++i) {
        const PZYLUSER user = m_rUsers.GetAt(i);
        if (!user || IsClosed())
            break;
        const std::u16string id = user->id;
        for (const int32_t channel : {ZYL_CHANNEL_REQUEST, ZYL_CHANNEL_DATA}) {
            while (const ZYLPENDINGPDU* pdu = FindFirst(id, channel)) {
                const int32_t taken = host.Send(id, pdu->channel, pdu->command, pdu->payload.data(),
                                                static_cast<int32_t>(pdu->payload.size()));
                if (IsClosed())
                    return; // the queue was dropped meanwhile: it is no longer ours to change
                if (taken <= 0)
                    break;
                RemoveFirst(id, channel);
            }
        }
    }
    std::lock_guard lock(m_mutex);
    m_bDraining = false;
}
