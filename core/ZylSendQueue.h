// Nothing is sent directly: PDUs are queued here by any thread and handed to the host on the timer
// tick, per user and per channel in the order they were queued; what the host refuses waits at the
// head of its line for the next tick.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CZylHost;
class ZylUserList;

struct ZYLPENDINGPDU {
    std::u16string user;
    int32_t channel = 0;
    uint32_t command = 0;
    std::vector<uint8_t> payload;
};

class ZylSendQueue {
public:
    explicit ZylSendQueue(ZylUserList& users) : m_rUsers(users) {}

    // 0 when queued; -1 for a channel other than 1024 and 1025 (nothing is queued).
    int32_t Add(std::u16string_view user, uint32_t command, int32_t channel, const void* payload,
                int32_t length);
    // The oldest PDU of that user (ids compared without regard to case) on that channel, or null.
    // Only the draining thread removes PDUs, so the pointer stays valid until RemoveFirst.
    const ZYLPENDINGPDU* FindFirst(std::u16string_view user, int32_t channel);
    int32_t RemoveFirst(std::u16string_view user, int32_t channel);
    // That user's PDUs on that channel (ids compared without regard to case).
    size_t GetCount(std::u16string_view user, int32_t channel) const;

    // One timer tick: offers each user's PDUs in registry order, channel 1024 before 1025, until
    // the host refuses one. Re-entry from inside the host call returns at once.
    void Drain(const CZylHost& host);
    // Logout: nothing more is offered, not even by a drain that is inside a host call now (the
    // host may log the plug-in out from inside a send or a name query). The owner drops its
    // reference; a running drain holds its own until it returns, so what the host was handed
    // stays valid until then.
    void Close();
    bool IsClosed() const;

private:
    struct LINES {
        std::deque<std::unique_ptr<ZYLPENDINGPDU>> channel1024;
        std::deque<std::unique_ptr<ZYLPENDINGPDU>> channel1025;
    };
    std::deque<std::unique_ptr<ZYLPENDINGPDU>>* Line(std::u16string_view user, int32_t channel);
    const std::deque<std::unique_ptr<ZYLPENDINGPDU>>* Line(std::u16string_view user, int32_t channel) const {
        return const_cast<ZylSendQueue*>(this)->Line(user, channel);
    }

    ZylUserList& m_rUsers;
    mutable std::mutex m_mutex;
    std::unordered_map<std::u16string, LINES> m_mLines; // keyed by the case-folded user id
    size_t m_nCount1024 = 0;
    size_t m_nCount1025 = 0;
    bool m_bDraining = false;
    bool m_bClosed = false;
};
