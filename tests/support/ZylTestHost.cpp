#include "support/ZylTestHost.h"

#include "core/ZylPath.h"
#include "core/ZylText.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>

CZylTestNode::CZylTestNode(std::u16string id, std::u16string appPath)
    : m_sId(std::move(id)), m_sAppPath(std::move(appPath)) {
    m_hostId.Parse(m_sId);
    m_pPlugin = std::make_unique<CZylInterface>(m_platform);
}

CZylTestNode::~CZylTestNode() = default;

void CZylTestNode::Recreate() {
    m_pPlugin.reset();
    m_pPlugin = std::make_unique<CZylInterface>(m_platform);
}

void CZylTestNode::Destroy() {
    m_pPlugin.reset();
}

CZylTestHost::CZylTestHost() = default;

CZylTestHost::~CZylTestHost() {
    // Plug-ins go first: their workers may still call back.
    for (auto& node : m_vNodes)
        node->m_pPlugin.reset();
}

CZylTestNode& CZylTestHost::AddNode(const std::u16string& id) {
    const std::filesystem::path folder = m_temp.Path() / ZylToUtf8(id);
    std::filesystem::create_directories(folder);
    m_vNodes.push_back(std::make_unique<CZylTestNode>(id, ZylFromFsPath(folder)));
    return *m_vNodes.back();
}

CZylTestNode* CZylTestHost::FindNode(std::u16string_view id) {
    for (auto& node : m_vNodes)
        if (ZylEqualNoCase(node->m_sId, id))
            return node.get();
    return nullptr;
}

std::u16string CZylTestHost::PairKey(std::u16string_view a, std::u16string_view b, int32_t channel) {
    std::u16string x(a), y(b);
    for (auto* s : {&x, &y})
        for (auto& c : *s)
            c = ZylFoldCase(c);
    if (y < x)
        std::swap(x, y);
    return x + u"|" + y + u"|" + ZylFromUtf8(std::to_string(channel));
}

int32_t CZylTestHost::Login(CZylTestNode& node) {
    CZylTestNode* self = &node;
    node.Plugin().SetHostCallback(
        [this, self](int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
            return OnCallback(*self, code, a1, a2, a3, a4, a5);
        });
    const int32_t result =
        node.Plugin().ProcessMessage(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&node.m_hostId), 0, 0, 0, 0);
    if (result == 0)
        m_mLoggedIn[node.m_sId] = true;
    Pump();
    return result;
}

int32_t CZylTestHost::Logout(CZylTestNode& node) {
    const int32_t result = node.Plugin().ProcessMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0);
    m_mLoggedIn[node.m_sId] = false;
    Pump();
    return result;
}

void CZylTestHost::OpenChannel(CZylTestNode& from, const std::u16string& to, int32_t channel) {
    CZylTestNode* peer = FindNode(to);
    if (!peer || !m_mLoggedIn[peer->m_sId] || !m_mLoggedIn[from.m_sId]) {
        m_qEvents.push_back({from.m_sId, DLL_P2P_ON_CONNECT, to, channel, 1, 0, {}});
        return;
    }
    const auto key = PairKey(from.m_sId, peer->m_sId, channel);
    if (m_mOpen[key])
        return;
    m_mOpen[key] = true;
    m_qEvents.push_back({from.m_sId, DLL_P2P_ON_CONNECT, peer->m_sId, channel, 0, 0, {}});
    m_qEvents.push_back({peer->m_sId, DLL_P2P_ON_CONNECT, from.m_sId, channel, 0, 0, {}});
}

void CZylTestHost::CloseChannel(CZylTestNode& from, const std::u16string& to, int32_t channel) {
    CZylTestNode* peer = FindNode(to);
    if (!peer)
        return;
    const auto key = PairKey(from.m_sId, peer->m_sId, channel);
    if (!m_mOpen[key])
        return;
    m_mOpen[key] = false;
    m_qEvents.push_back({from.m_sId, DLL_P2P_ON_DISCONNECT, peer->m_sId, channel, 0, 0, {}});
    m_qEvents.push_back({peer->m_sId, DLL_P2P_ON_DISCONNECT, from.m_sId, channel, 0, 0, {}});
}

void CZylTestHost::Connect(CZylTestNode& a, CZylTestNode& b) {
    OpenChannel(a, b.m_sId, ZYL_CHANNEL_REQUEST);
    OpenChannel(a, b.m_sId, ZYL_CHANNEL_DATA);
    Pump();
}

void CZylTestHost::Disconnect(CZylTestNode& a, CZylTestNode& b) {
    CloseChannel(a, b.m_sId, ZYL_CHANNEL_REQUEST);
    CloseChannel(a, b.m_sId, ZYL_CHANNEL_DATA);
    Pump();
}

int32_t CZylTestHost::OnCallback(CZylTestNode& node, int32_t code, intptr_t a1, intptr_t a2, intptr_t a3,
                                 intptr_t a4, intptr_t a5) {
    switch (code) {
    case ZYL_HOST_OPEN_CHANNEL:
    case ZYL_HOST_CLOSE_CHANNEL: {
        const std::u16string peer = ZylUserText(a1);
        node.m_vChannelRequests.emplace_back(code, peer);
        if (code == ZYL_HOST_OPEN_CHANNEL)
            OpenChannel(node, peer, static_cast<int32_t>(a2));
        else
            CloseChannel(node, peer, static_cast<int32_t>(a2));
        return 1;
    }
    case ZYL_HOST_SEND: {
        ZYLSENTPDU pdu{node.m_sId, ZylUserText(a1), static_cast<int32_t>(a2), static_cast<uint32_t>(a3), {}};
        const auto* p = reinterpret_cast<const uint8_t*>(a4);
        if (a5 > 0)
            pdu.payload.assign(p, p + a5);
        CZylTestNode* peer = FindNode(pdu.to);
        if (!peer || !m_mOpen[PairKey(node.m_sId, peer->m_sId, pdu.channel)])
            return 0;
        if (node.m_fnRefuse && node.m_fnRefuse(pdu))
            return 0;
        if (!node.m_fnDrop || !node.m_fnDrop(pdu))
            m_qEvents.push_back(
                {peer->m_sId, DLL_P2P_ON_DATA, node.m_sId, pdu.channel, 0, pdu.command, pdu.payload});
        m_vSent.push_back(std::move(pdu));
        return 1;
    }
    case ZYL_HOST_GET_NAME: {
        auto* buffer = reinterpret_cast<char16_t*>(a2);
        const CZylTestNode* peer = FindNode(ZylUserText(a1));
        ZylCopyToBuffer(buffer, 129, peer ? peer->m_sDisplayName : std::u16string());
        return 0;
    }
    case ZYL_HOST_GET_APP_PATH:
        ZylCopyToBuffer(reinterpret_cast<char16_t*>(a1), 260, node.m_sAppPath);
        return node.m_nAppPathResult;
    case ZYL_HOST_PREPARE:
        return 0;
    case ZYL_HOST_PICK_USERS: {
        const auto* texts = reinterpret_cast<const char16_t* const*>(a2);
        node.m_vPickCalls.emplace_back(a1, texts && texts[0] ? std::u16string(texts[0]) : std::u16string());
        *reinterpret_cast<int32_t*>(a3) = 1;
        auto* room = reinterpret_cast<unsigned char*>(a4);
        int32_t count = 0;
        for (const auto& user : node.m_vPickedUsers) {
            if ((count + 1) * sizeof(HostUserId) > 8192)
                break;
            auto* id = new (room + count * sizeof(HostUserId)) HostUserId();
            id->Parse(user);
            ++count;
        }
        *reinterpret_cast<int32_t*>(a5) = count;
        return 0;
    }
    default:
        return -1;
    }
}

void CZylTestHost::Pump() {
    if (m_bPumping)
        return; // events raised while delivering are taken by the running loop
    m_bPumping = true;
    while (!m_qEvents.empty()) {
        EVENT event = std::move(m_qEvents.front());
        m_qEvents.pop_front();
        CZylTestNode* target = FindNode(event.to);
        CZylTestNode* user = FindNode(event.user);
        if (!target || !target->m_pPlugin || !m_mLoggedIn[target->m_sId])
            continue;
        HostUserId id;
        if (user)
            id = user->m_hostId;
        else
            id.Parse(event.user);
        const auto idArg = reinterpret_cast<intptr_t>(&id);
        switch (event.code) {
        case DLL_P2P_ON_DATA:
            target->Plugin().ProcessMessage(DLL_P2P_ON_DATA, idArg, event.channel, event.command,
                                            reinterpret_cast<intptr_t>(event.payload.data()),
                                            static_cast<intptr_t>(event.payload.size()));
            break;
        case DLL_P2P_ON_CONNECT:
        case DLL_P2P_ON_DISCONNECT:
            target->Plugin().ProcessMessage(event.code, idArg, event.channel, event.status, 0, 0);
            break;
        default:
            target->Plugin().ProcessMessage(event.code, idArg, 0, 0, 0, 0);
            break;
        }
    }
    m_bPumping = false;
}

void CZylTestHost::Tick(uint32_t ms) {
    for (uint32_t done = 0; done < ms; done += 10) {
        for (auto& node : m_vNodes)
            if (node->m_pPlugin) {
                // What the flusher thread holds is answered before the time moves.
                node->Plugin().GetShareManager().WaitUntilFlushed();
                node->m_platform.Advance(10);
            }
        Pump();
    }
}

bool CZylTestHost::RunUntil(const std::function<bool()>& condition, uint32_t maxMs) {
    // Listing workers are real threads: on a loaded machine they may not have run at all while the
    // virtual budget went by, so the wait also lasts a few real seconds before it gives up.
    const auto realFloor = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (uint32_t done = 0;; done += 10) {
        if (condition())
            return true;
        const bool budgetSpent = done > maxMs;
        if (budgetSpent && std::chrono::steady_clock::now() >= realFloor)
            return condition();
        Tick(10);
        if (budgetSpent)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            std::this_thread::yield();
    }
}

std::vector<ZYLSENTPDU> CZylTestHost::SentWith(uint32_t command) const {
    std::vector<ZYLSENTPDU> out;
    std::copy_if(m_vSent.begin(), m_vSent.end(), std::back_inserter(out),
                 [command](const ZYLSENTPDU& p) { return p.command == command; });
    return out;
}
