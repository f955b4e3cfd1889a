// The keys that make what two hosts send each other readable and changeable by those two hosts only,
// whatever the broker or the path in between does.
//
// Each user has a long-term signing key pair (Ed25519), made at the first start and kept in its
// data folder readable by the owner alone. Its public half is published (retained) on a topic only
// that user may write; a host pins a friend's key the first time it sees it and refuses that
// friend's channels while a different key shows up, until the user trusts the new one.
//
// Each stream (one direction of one opening of a channel) begins with a fresh X25519 key pair: its
// first frame (OPEN or ACCEPT) carries the public half, signed with the sender's long-term key
// together with both user ids, the channel and the streams it answers. Once both halves of an
// opening are known, each side derives one key per direction (BLAKE2b over the shared secret, the
// user ids, the channel and both public halves), and every later frame of the opening is sealed
// with XChaCha20-Poly1305:
//
//     DATA, CLOSE  the header (its command 0) is the additional data; the sealed text is u32 command
//                  and the payload; the nonce is 16 zero bytes and the frame's u64 sequence, which is
//                  never used twice under one key (a resend is the same sealed bytes, and every
//                  opening, after a reconnection or a restart too, has new keys)
//     ACK          u64 the acknowledging side's own stream, then a random 24-byte nonce whose first
//                  byte is 1 (never a sequence's), then the tag over the header and that stream
//
// OPEN and ACCEPT are signed, not sealed (they carry nothing secret), RESET neither: it says a
// stream is unknown here, which whoever can forge it (the broker) can as well cause by dropping.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/ZylMqttFrame.h"

inline constexpr size_t ZYL_KEY_SIZE = 32;
inline constexpr size_t ZYL_SIGNATURE_SIZE = 64;
inline constexpr size_t ZYL_SEAL_TAG_SIZE = 16;
inline constexpr size_t ZYL_SEAL_NONCE_SIZE = 24;
// The body of a stream's first frame: the ephemeral public key and the signature (ACCEPT has the
// opener's stream in front).
inline constexpr size_t ZYL_START_BODY_SIZE = ZYL_KEY_SIZE + ZYL_SIGNATURE_SIZE;

using ZYLKEY = std::array<uint8_t, ZYL_KEY_SIZE>;
using ZYLSIGNATURE = std::array<uint8_t, ZYL_SIGNATURE_SIZE>;

// The user's key pair and the friends' keys pinned on first sight. With a folder, in the files
// "identity.key" (mode 0600) and "friends.keys" (a line "USER KEY" per friend, "USER KEY NEWKEY"
// while a different key was seen and is not trusted yet, keys in hexadecimal); without one, a key
// pair and pins for this process alone.
class CZylKeyStore {
public:
    // Loads the key pair, making it when there is none (create) or failing otherwise. An empty
    // text, or why not.
    std::string Open(const std::filesystem::path& folder, bool create = true);
    bool IsOpen() const { return m_bOpen; }
    const ZYLKEY& PublicKey() const { return m_publicKey; }
    ZYLSIGNATURE Sign(const std::vector<uint8_t>& message) const;

    enum ESeen { FIRST, SAME, CHANGED };
    // A friend's published key: pinned when it is the first, noted when it differs from the pin.
    ESeen See(const std::string& user, const ZYLKEY& key);
    // The pinned key, or nothing; changed, when given, tells whether another key was seen since.
    std::optional<ZYLKEY> Pinned(const std::string& user, std::optional<ZYLKEY>* changed = nullptr);
    // The changed key becomes the pinned one. False when no other key was seen.
    bool Trust(const std::string& user);

private:
    struct PIN {
        ZYLKEY key{};
        std::optional<ZYLKEY> changed;
    };
    void Load(); // the pins as another process (zylfs trust) may have left them
    bool Save();

    bool m_bOpen = false;
    std::filesystem::path m_pFolder;
    ZYLKEY m_publicKey{};
    std::array<uint8_t, 64> m_secretKey{};
    std::map<std::string, PIN> m_mPins;
};

// "1a2b 3c4d …": the first 16 bytes of the key's SHA-256 in groups of four hex digits, for two
// people to compare over another channel.
std::string ZylKeyFingerprint(const ZYLKEY& key);
std::string ZylHex(const uint8_t* data, size_t size);

// A stream's ephemeral key pair.
struct ZYLEPHEMERAL {
    ZYLKEY secret{};
    ZYLKEY pub{};
};
ZYLEPHEMERAL ZylNewEphemeral();

// What the first frame of a stream signs: the frame's kind, the sender and the receiver, the
// channel, the stream, for ACCEPT the opener's stream, and the ephemeral public key.
std::vector<uint8_t> ZylStartSigned(uint8_t kind, const std::string& sender, const std::string& receiver,
                                    int32_t channel, uint64_t stream, uint64_t opening,
                                    const ZYLKEY& ephemeral);
bool ZylVerify(const ZYLKEY& publicKey, const std::vector<uint8_t>& message, const uint8_t* signature);

// The keys of one opening from both ephemeral key pairs' halves: tx seals what "me" sends, rx opens
// what "peer" sends. False when the peer's half is not a usable key.
bool ZylDeriveFrameKeys(const ZYLEPHEMERAL& mine, const ZYLKEY& theirs, const std::string& me,
                        const std::string& peer, int32_t channel, ZYLKEY& tx, ZYLKEY& rx);

// A sealed DATA or CLOSE frame, whole.
std::vector<uint8_t> ZylSealFrame(const ZYLKEY& key, uint8_t kind, uint32_t command, uint64_t stream,
                                  uint64_t sequence, const void* payload, size_t length);
// Opens a decoded DATA or CLOSE frame in place (command and payload as sent). False when it was
// not sealed with that key for that header.
bool ZylOpenFrame(const ZYLKEY& key, ZYLFRAME& frame);
// A sealed ACK, whole, and the check of a decoded one (its own stream is readable without it).
std::vector<uint8_t> ZylSealAck(const ZYLKEY& key, uint64_t stream, uint64_t sequence, uint64_t own);
bool ZylCheckAck(const ZYLKEY& key, const ZYLFRAME& frame);
