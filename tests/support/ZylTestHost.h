// An in-process host for tests: it runs several plug-ins side by side, carries their PDUs in order
// per user and channel, opens and closes channels on request, reports presence, can refuse PDUs,
// and moves time on by hand.
#pragma once

#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ZYLSENTPDU {
    std::u16string from;
    std::u16string to;
    int32_t channel;
    uint32_t command;
    std::vector<uint8_t> payload;
};

class CZylTestNode {
public:
    CZylTestNode(std::u16string id, std::u16string appPath);
    ~CZylTestNode();

    CZylInterface& Plugin() { return *m_pPlugin; }
    CZylFakePlatform& Platform() { return m_platform; }
    const std::u16string& Id() const { return m_sId; }
    const HostUserId& HostId() const { return m_hostId; }
    // Creates the plug-in anew (as after the host restarted), with the same application path.
    void Recreate();
    // Drops the plug-in without logging out (a crash): nothing is saved or flushed by the host.
    void Destroy();

    std::u16string m_sDisplayName;                     // code 516 answers this (empty: no name)
    int32_t m_nAppPathResult = 0;                      // code 518's result
    std::function<bool(const ZYLSENTPDU&)> m_fnRefuse; // code 514 answers 0 while it says so
    std::function<bool(const ZYLSENTPDU&)> m_fnDrop;   // taken and recorded, but never delivered
    std::vector<std::pair<int32_t, std::u16string>> m_vChannelRequests; // 512/513 with the peer
    // Code 527, the friend picker: whom the person picks (and confirms); each call's purpose and
    // title.
    std::vector<std::u16string> m_vPickedUsers;
    std::vector<std::pair<intptr_t, std::u16string>> m_vPickCalls;

private:
    friend class CZylTestHost;
    std::u16string m_sId;
    HostUserId m_hostId;
    std::u16string m_sAppPath;
    CZylFakePlatform m_platform;
    std::unique_ptr<CZylInterface> m_pPlugin;
};

class CZylTestHost {
public:
    CZylTestHost();
    ~CZylTestHost();

    // A user with its own application folder below the host's temporary folder.
    CZylTestNode& AddNode(const std::u16string& id);
    // Code 0 (callback) and code 1 (login); the login's result.
    int32_t Login(CZylTestNode& node);
    int32_t Logout(CZylTestNode& node);
    // Opens both channels between two logged-in users, as if one of them asked the host.
    void Connect(CZylTestNode& a, CZylTestNode& b);
    void Disconnect(CZylTestNode& a, CZylTestNode& b);

    // Delivers every queued event and PDU (and those they cause) in order.
    void Pump();
    // Moves every node's time on by ms in steps of 10 ms, running timers and delivering PDUs.
    void Tick(uint32_t ms = 10);
    // Ticks until the condition holds (real worker threads get a moment each round); false when
    // maxMs of virtual time and at least ten real seconds passed first.
    bool RunUntil(const std::function<bool()>& condition, uint32_t maxMs = 60000);

    // Every PDU the host took, in order.
    std::vector<ZYLSENTPDU> m_vSent;
    std::vector<ZYLSENTPDU> SentWith(uint32_t command) const;
    const std::filesystem::path& Root() const { return m_temp.Path(); }

private:
    struct EVENT {
        std::u16string to;
        uint32_t code;
        std::u16string user;
        int32_t channel;
        int32_t status;
        uint32_t command;
        std::vector<uint8_t> payload;
    };
    int32_t OnCallback(CZylTestNode& node, int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                       intptr_t a5);
    void OpenChannel(CZylTestNode& from, const std::u16string& to, int32_t channel);
    void CloseChannel(CZylTestNode& from, const std::u16string& to, int32_t channel);
    CZylTestNode* FindNode(std::u16string_view id);
    static std::u16string PairKey(std::u16string_view a, std::u16string_view b, int32_t channel);

    CZylTempDir m_temp;
    std::vector<std::unique_ptr<CZylTestNode>> m_vNodes;
    std::map<std::u16string, bool> m_mOpen; // open channels by pair and channel
    std::map<std::u16string, bool> m_mLoggedIn;
    std::deque<EVENT> m_qEvents;
    bool m_bPumping = false;
};
