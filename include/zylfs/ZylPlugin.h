// The interface between a host messenger and the file-sharing plug-in (libzylfs.so).
//
// The host loads the module with dlopen, looks up ProcessMessage and calls it on one thread that
// runs the host's event loop. The plug-in calls back into the host through the callback that
// code DLL_P2P_SET_CALLBACK hands over. Every argument is pointer-sized; texts that cross this
// interface are UTF-16 (char16_t) arrays terminated by 0; users are pointers to HostUserId.
// Everything here is defined in this header: a host needs nothing else of the plug-in to build.
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
                                  // a3 = int32_t* (1 = confirmed; anything else is a cancel),
                                  // a4 = buffer of 8192 bytes receiving an array of HostUserId
                                  // objects, sizeof(HostUserId) apart (12 bytes where pointers
                                  // take 4, 16 where they take 8), at most 8192 / that many,
                                  // a5 = int32_t* count of them
};

// The two channels every pair of users has: requests and replies, and file data.
enum : int32_t { ZYL_CHANNEL_REQUEST = 1024, ZYL_CHANNEL_DATA = 1025 };

// The payload codec's word operations (core/ZylPayload implements them): all that the values of
// this header need to read and write themselves, so that a host builds against this header alone.
class IZylWordReader {
public:
    virtual uint32_t ReadUInt32() = 0; // big-endian; raises the codec's error past the end

protected:
    ~IZylWordReader() = default;
};

class IZylWordWriter {
public:
    virtual IZylWordWriter& WriteInt32(uint32_t value) = 0; // big-endian

protected:
    ~IZylWordWriter() = default;
};

// A value that writes itself to a payload and reads itself back.
class ZylSerializable {
public:
    virtual void Read(IZylWordReader& reader) = 0;
    virtual void Write(IZylWordWriter& writer) const = 0;
    virtual ~ZylSerializable() = default;
};

// A user's identity: site and number, shown as "S<site>.<number>" (kind 1) or
// "SM<site>.<number>" (kind 2, the high bit of number set). The plug-in reads only the two fields
// of an object the host made and never calls its virtual operations, so a host may pass any
// object with this layout: a table of virtual operations, then number, then site. Every operation
// is defined here, so a host that links nothing of the plug-in can make and read identities.
class HostUserId : public ZylSerializable {
public:
    enum Kind : int32_t { Invalid = 0, Plain = 1, Mobile = 2 };

    uint32_t number = 0;
    uint32_t site = 0;

    HostUserId() = default;
    HostUserId(const HostUserId&) = default;
    HostUserId& operator=(const HostUserId&) = default;

    Kind GetKind() const {
        if (site == 0 || (number & kMaxNumber) < kMinNumber)
            return Invalid;
        return (number & kMobileBit) ? Mobile : Plain;
    }

    // Kinds 1 and 2 need a site above 0 and a number from 1000 to 2147483647; kind 0 clears.
    bool Set(int32_t kind, uint32_t newSite, uint32_t newNumber) {
        if (kind == Invalid) {
            site = 0;
            return true;
        }
        if (kind != Plain && kind != Mobile)
            return false;
        if (newSite == 0 || newNumber < kMinNumber || newNumber > kMaxNumber)
            return false;
        site = newSite;
        number = kind == Mobile ? (newNumber | kMobileBit) : newNumber;
        return true;
    }

    // Accepts "S12.1000", "sm7.2000" with white space around; false when the form is wrong.
    // A well-formed text with values Set refuses answers true and changes nothing.
    bool Parse(std::u16string_view text) {
        while (!text.empty() && IsTrimSpace(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && IsTrimSpace(text.back()))
            text.remove_suffix(1);
        // The closing full stop lets both digit runs end the same way.
        std::u16string work(text);
        work.push_back(u'.');

        int32_t kind = Plain;
        size_t position = 1;
        if (work.size() > 1 && (work[1] == u'M' || work[1] == u'm')) {
            kind = Mobile;
            position = 2;
        }
        if (work[0] != u'S' && work[0] != u's')
            return false;

        uint64_t newSite = 0;
        uint64_t newNumber = 0;
        if (!ReadDigitRun(work, position, newSite))
            return false;
        ++position;
        if (!ReadDigitRun(work, position, newNumber) || position != work.size() - 1)
            return false;

        if (newSite <= 0xFFFFFFFFull && newNumber <= 0xFFFFFFFFull)
            Set(kind, static_cast<uint32_t>(newSite), static_cast<uint32_t>(newNumber));
        return true;
    }

    // "Invalid ID" for an invalid identity.
    std::u16string ToText() const {
        const Kind kind = GetKind();
        if (kind == Invalid)
            return u"Invalid ID";
        std::u16string text = kind == Mobile ? u"SM" : u"S";
        for (char c : std::to_string(site))
            text.push_back(static_cast<char16_t>(c));
        text.push_back(u'.');
        for (char c : std::to_string(number & kMaxNumber))
            text.push_back(static_cast<char16_t>(c));
        return text;
    }

    // Site, then number. Both words are taken before either is stored, so a cut-off payload
    // leaves the identity whole.
    void Read(IZylWordReader& reader) override {
        const uint32_t newSite = reader.ReadUInt32();
        const uint32_t newNumber = reader.ReadUInt32();
        site = newSite;
        number = newNumber;
    }
    void Write(IZylWordWriter& writer) const override { writer.WriteInt32(site).WriteInt32(number); }

private:
    static constexpr uint32_t kMobileBit = 0x80000000u;
    static constexpr uint32_t kMinNumber = 1000;
    static constexpr uint32_t kMaxNumber = 0x7FFFFFFFu;

    static bool IsTrimSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

    // Reads a run of at least one digit ended by a full stop, starting at position; leaves
    // position on the full stop. A run too large for 32 bits gives a value Set refuses rather than
    // a wrapped one.
    static bool ReadDigitRun(std::u16string_view text, size_t& position, uint64_t& value) {
        const size_t start = position;
        value = 0;
        while (position < text.size() && text[position] >= u'0' && text[position] <= u'9') {
            if (value <= 0xFFFFFFFFull)
                value = value * 10 + static_cast<uint64_t>(text[position] - u'0');
            ++position;
        }
        return position > start && position < text.size() && text[position] == u'.';
    }
};

// What the plug-in reads of a host's identity object: the table of virtual operations, then the
// two words, with nothing between.
static_assert(sizeof(HostUserId) == sizeof(void*) + 2 * sizeof(uint32_t), "HostUserId's layout is shared");
