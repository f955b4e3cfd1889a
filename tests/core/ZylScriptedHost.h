// One plug-in driven code by code, as a host calls it, with a host whose every service call is
// recorded and whose answers a test scripts. Time moves only when the test ticks.
#pragma once

#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"
#include "support/ZylTestFiles.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One call the plug-in made into the host.
struct ZYLHOSTCALL {
    int32_t code = 0;
    intptr_t a1 = 0, a2 = 0, a3 = 0;
    std::u16string user;          // a1 read as a user, for the codes that pass one
    std::vector<uint8_t> payload; // code 514
    int32_t answer = 0;
};

// The log's time texts are local time; the tests run with TZ=UTC, and say so again here so that a
// test program started by hand sees the same times.
inline void ZylUseUniversalTime() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

inline HostUserId ZylHostId(std::u16string_view text) {
    HostUserId id;
    id.Parse(text);
    return id;
}

// The fake calendar time as the log writes it, in UTC.
inline const std::u16string ZYL_TIME = u"2008-01-10 21:20:00";

class CZylScriptedHost {
public:
    CZylScriptedHost() {
        ZylUseUniversalTime();
        std::filesystem::create_directories(AppFolder());
        m_sAppPath = ZylFromFsPath(AppFolder());
        m_pPlugin = std::make_unique<CZylInterface>(m_platform);
    }
    CZylInterface& Plugin() { return *m_pPlugin; }
    CZylFakePlatform& Platform() { return m_platform; }
    // The module is unloaded: the plug-in object goes, the host's folder stays.
    void Unload() { m_pPlugin.reset(); }
    std::filesystem::path AppFolder() const { return m_temp.Path() / "app"; }
    std::filesystem::path PluginFolder() const { return AppFolder() / "fs"; }
    std::filesystem::path LogFile() const { return PluginFolder() / "fs.log"; }
    std::u16string Log() const { return ZylReadUtf16LeFile(LogFile()); }
    int32_t Code(uint32_t code, intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0,
                 intptr_t a5 = 0) {
        return m_pPlugin->ProcessMessage(code, a1, a2, a3, a4, a5);
    }
    int32_t SetCallback() {
        return m_pPlugin->SetHostCallback([this](int32_t code, intptr_t a1, intptr_t a2, intptr_t a3,
                                                 intptr_t a4,
                                                 intptr_t a5) { return OnCall(code, a1, a2, a3, a4, a5); });
    }
    int32_t Login(std::u16string_view id = u"S1.1000") {
        const HostUserId user = ZylHostId(id);
        return SetCallback(), Code(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&user));
    }
    int32_t Logout() { return Code(DLL_P2P_LOGOUT); }
    // A user given as a host's identity object or as its text.
    static HostUserId Id(const HostUserId& user) { return user; }
    static HostUserId Id(std::u16string_view user) { return ZylHostId(user); }
    int32_t Channel(uint32_t code, const auto& user, int32_t channel, int32_t status = 0) {
        const HostUserId id = Id(user);
        return Code(code, reinterpret_cast<intptr_t>(&id), channel, status);
    }
    // Both channels of the user open, as the host reports them.
    void Connect(std::u16string_view user) {
        Channel(DLL_P2P_ON_CONNECT, user, ZYL_CHANNEL_REQUEST);
        Channel(DLL_P2P_ON_CONNECT, user, ZYL_CHANNEL_DATA);
    }
    int32_t Data(const auto& user, int32_t channel, uint32_t command, const std::vector<uint8_t>& payload) {
        const HostUserId id = Id(user);
        return Code(DLL_P2P_ON_DATA, reinterpret_cast<intptr_t>(&id), channel, command,
                    reinterpret_cast<intptr_t>(payload.data()), static_cast<intptr_t>(payload.size()));
    }
    // Ticks of the 10 ms timer.
    void Tick(uint32_t ms = 10) {
        for (uint32_t done = 0; done < ms; done += 10)
            m_platform.Advance(10);
    }
    // The PDUs offered to the host (code 514), and those it took (answered above 0), in order.
    std::vector<ZYLHOSTCALL> Offered(bool takenOnly = false) const {
        std::vector<ZYLHOSTCALL> out;
        for (const auto& call : m_vCalls)
            if (call.code == ZYL_HOST_SEND && (!takenOnly || call.answer > 0))
                out.push_back(call);
        return out;
    }
    std::vector<ZYLHOSTCALL> Taken() const { return Offered(true); }
    std::vector<ZYLHOSTCALL> m_vCalls;
    // Code 514's answer; takes every PDU unless a test says otherwise.
    std::function<int32_t(const ZYLHOSTCALL&)> m_fnSendAnswer;
    std::u16string m_sAppPath;
    // Runs inside every service call before it answers, as a host that runs its own loop there
    // (and so may call the plug-in back) would.
    std::function<void(const ZYLHOSTCALL&)> m_fnDuringCall;

private:
    int32_t OnCall(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
        ZYLHOSTCALL call{code, a1, a2, a3, {}, {}, 0};
        if (code == ZYL_HOST_OPEN_CHANNEL || code == ZYL_HOST_CLOSE_CHANNEL || code == ZYL_HOST_SEND ||
            code == ZYL_HOST_GET_NAME)
            call.user = ZylUserText(a1);
        if (code == ZYL_HOST_OPEN_CHANNEL || code == ZYL_HOST_CLOSE_CHANNEL)
            call.answer = 1;
        if (code == ZYL_HOST_SEND && a5 > 0)
            call.payload.assign(reinterpret_cast<const uint8_t*>(a4),
                                reinterpret_cast<const uint8_t*>(a4) + a5);
        if (code == ZYL_HOST_SEND)
            call.answer = m_fnSendAnswer ? m_fnSendAnswer(call) : 1;
        if (code == ZYL_HOST_GET_NAME) // no user has a name: the id stands for it
            ZylCopyToBuffer(reinterpret_cast<char16_t*>(a2), ZYL_MAX_NAME, u"");
        if (code == ZYL_HOST_GET_APP_PATH)
            ZylCopyToBuffer(reinterpret_cast<char16_t*>(a1), ZYL_MAX_PATH, m_sAppPath);
        if (m_fnDuringCall)
            m_fnDuringCall(call);
        m_vCalls.push_back(call);
        return call.answer;
    }
    // Declared first so that it outlives the plug-in, which flushes its log into it when destroyed.
    CZylTempDir m_temp;
    CZylFakePlatform m_platform;
    std::unique_ptr<CZylInterface> m_pPlugin;
};
