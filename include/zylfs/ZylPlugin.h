// The interface between a host messenger and the file-sharing plug-in (libzylfs.so).
//
// The host loads the module with dlopen, looks up ProcessMessage and calls it on one thread that
// runs the host's event loop. The plug-in calls back into the host through the callback that
// code DLL_P2P_SET_CALLBACK hands over. Every argument is pointer-sized; texts that cross this
// interface are UTF-16 (char16_t) arrays terminated by 0; users are pointers to HostUserId.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

extern "C" {

// The one exported entry point. Codes compare as unsigned; any code above 11 returns 0.
int32_t ProcessMessage(uint32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5);

// The host's services, called by the plug-in with one of the ZYL_HOST_* codes.
typedef int32_t (*ZylHostCallback)(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                   intptr_t a5);
}

// Codes the host passes to ProcessMessage.
enum : uint32_t {
    DLL_P2P_SET_CALLBACK = 0,    // a1 = ZylHostCallback
    DLL_P2P_LOGIN = 1,           // a1 = HostUserId* of the local login
    DLL_P2P_LOGOUT = 2,          //
    DLL_P2P_SHOW = 3,            // a2 = mode, a3 = HostUserId* or 0
    DLL_P2P_ON_CONNECT = 4,      // a1 = user, a2 = channel, a3 = status (0 = opened)
    DLL_P2P_ON_DISCONNECT = 5,   // a1 = user, a2 = channel, a3 = status (0 = closed)
    DLL_P2P_ON_DATA = 7,         // a1 = user, a2 = channel, a3 = command, a4 = payload, a5 = length
    DLL_P2P_ON_USER_ONLINE = 8,  // a1 = user
    DLL_P2P_ON_USER_OFFLINE = 9, // a1 = user
};

// Codes the plug-in passes to the host callback.
enum : int32_t {
    ZYL_HOST_OPEN_CHANNEL = 512,  // a1 = user, a2 = channel; the outcome arrives as DLL_P2P_ON_CONNECT
    ZYL_HOST_CLOSE_CHANNEL = 513, // a1 = user, a2 = channel
    ZYL_HOST_SEND = 514,          // a1 = user, a2 = channel, a3 = command, a4 = payload, a5 = length;
                                  // above 0 = taken, 0 or less = not now (offered again later)
    ZYL_HOST_GET_NAME = 516,      // a1 = user, a2 = char16_t[129] receiving the display name
    ZYL_HOST_GET_APP_PATH = 518,  // a1 = char16_t[260] receiving the application folder
    ZYL_HOST_PREPARE = 520,       // a1 = 3; before channels are opened
    ZYL_HOST_PICK_USERS = 527,    // a1 = purpose, a2 = const char16_t*[2] (title, prompt),
                                  // a3 = int32_t* (1 = confirmed), a4 = buffer of 8192 bytes
                                  // receiving HostUserId objects, a5 = int32_t* count
};

// The two channels every pair of users has: requests and replies, and file data.
enum : int32_t { ZYL_CHANNEL_REQUEST = 1024, ZYL_CHANNEL_DATA = 1025 };

class ZylPayloadReader;
class ZylPayloadWriter;

// A value that writes itself to a payload and reads itself back.
class ZylSerializable {
public:
    virtual void Read(ZylPayloadReader& reader) = 0;
    virtual void Write(ZylPayloadWriter& writer) const = 0;
    virtual ~ZylSerializable() = default;
};

// A user's identity: site and number, shown as "S<site>.<number>" (kind 1) or
// "SM<site>.<number>" (kind 2, the high bit of number set). The plug-in reads only the two fields
// of an object the host made and never calls its virtual operations, so a host may pass any
// object with this layout: a table of virtual operations, then number, then site.
class HostUserId : public ZylSerializable {
public:
    enum Kind : int32_t { Invalid = 0, Plain = 1, Mobile = 2 };

    uint32_t number = 0;
    uint32_t site = 0;

    HostUserId() = default;
    HostUserId(const HostUserId&) = default;
    HostUserId& operator=(const HostUserId&) = default;

    Kind GetKind() const;
    // Kinds 1 and 2 need a site above 0 and a number from 1000 to 2147483647; kind 0 clears.
    bool Set(int32_t kind, uint32_t site, uint32_t number);
    // Accepts "S12.1000", "sm7.2000" with white space around; false when the form is wrong.
    // A well-formed text with values Set refuses answers true and changes nothing.
    bool Parse(std::u16string_view text);
    std::u16string ToText() const; // "Invalid ID" for an invalid identity

    void Read(ZylPayloadReader& reader) override;        // site, then number
    void Write(ZylPayloadWriter& writer) const override; // site, then number
};
