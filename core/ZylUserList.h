// The registry of the other users the plug-in deals with: friends picked in the window, peers whose
// channels opened and peers of stored tasks, with the state of their two channels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CZylHost;
class IZylWindow;

struct ZYLUSER {
    std::u16string id;   // at most 20 units
    std::u16string name; // display name, at most 128 units
    int32_t nMade = 1;   // set whenever a record is made; the window reads it
    int32_t nConnected1025 = 0;
    int32_t nConnected1024 = 0;
    int32_t nBusy1025 = 0;
    int32_t nTaskCount = 0;
    int32_t bHidden = 1; // 0 for a user the local user picked in the window
};
using PZYLUSER = ZYLUSER*;

class ZylUserList {
public:
    explicit ZylUserList(const CZylHost& host) : m_rHost(host) {}
    virtual ~ZylUserList() = default;
    ZylUserList(const ZylUserList&) = delete;
    ZylUserList& operator=(const ZylUserList&) = delete;

    // Position and record, or -1 and null.
    int32_t Find(std::u16string_view id, PZYLUSER* record = nullptr) const;
    // 0 when appended; 1 when a record of that id exists: the record is then released, the existing
    // one takes its name when it differs, and record points at the existing one.
    int32_t Add(std::unique_ptr<ZYLUSER> record, PZYLUSER* result = nullptr);
    int32_t GetCount() const { return static_cast<int32_t>(m_vUsers.size()); }
    // The record at that position with its display name refreshed from the host; null past the end,
    // and null when the host changed the registry under that position while it answered.
    PZYLUSER GetAt(int32_t index);
    // Frees every record (the task manager rebuilds the registry from its tasks).
    void RemoveAll() { m_vUsers.clear(); }

    void Connect(std::u16string_view id);
    void Disconnect(std::u16string_view id);
    // Channel 0: both open; 1024 or 1025: that channel; anything else or an unknown user: 0.
    int32_t IsConnected(std::u16string_view id, int32_t channel) const;
    int32_t IsChannelBusy(std::u16string_view id, int32_t channel) const;
    // Records a host channel event; makes a hidden record for an unknown user. Null for a channel
    // other than 1024 and 1025.
    PZYLUSER OnUserZylConnected(std::u16string_view id, int32_t channel, int32_t state);
    void ConnectAll();
    void DisconnectAll();
    void SetWindow(IZylWindow* window) { m_pWindow = window; }

    static std::unique_ptr<ZYLUSER> MakeRecord(std::u16string_view id, int32_t hidden);

private:
    void OpenChannels(const ZYLUSER& user);

    const CZylHost& m_rHost;
    std::vector<std::unique_ptr<ZYLUSER>> m_vUsers;
    IZylWindow* m_pWindow = nullptr;
};
