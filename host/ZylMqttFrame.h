// What travels between two hosts over the MQTT broker: the topics, and the fixed frame header in
// front of every PDU and every channel control message.
//
// Topics name the receiver, then the sender, then the channel, so that one access list line per
// direction keeps each client to its own user name (the broker substitutes %u with the name the
// client logged in with; %u has to fill a whole topic level):
//
//     zylfs/pdu/<receiver>/<sender>/<channel>     a frame, or a bundle of frames (QoS 0)
//     zylfs/presence/<user>                       "online" or "offline", retained; the will is "offline"
//     zylfs/key/<user>                            the user's public key (32 bytes), retained
//
// Frame header, 24 bytes, big-endian, followed by the frame's body:
//
//     offset 0   u8   version (3)
//            1   u8   kind (ZYL_FRAME_*)
//            2   u16  0
//            4   u32  0 (the command number of DATA travels sealed in its body)
//            8   u64  stream: the sender's stream for DATA, OPEN, ACCEPT and CLOSE; for ACK the
//                     acknowledged stream (the receiver's own); for RESET the receiver's stream
//                     that is refused
//           16   u64  sequence within the sender's stream, from 1; for ACK the highest sequence
//                     taken in order; for RESET how far the refused stream was taken (0 when its
//                     first frame never arrived)
//           24   ...  OPEN: the stream's ephemeral public key (32 bytes) and its signature (64);
//                     ACCEPT: u64 the opener's stream it answers, then the same; DATA and CLOSE:
//                     sealed u32 command and payload, and the tag (16); ACK: u64 the acknowledging
//                     side's own stream on that channel (0 when none), a nonce (24) and the tag;
//                     RESET: nothing. host/ZylMqttKeys.h says how they are signed and sealed.
//
// A stream is one direction of one opening of a channel. Its id grows with every opening and
// across restarts of the sending host, so that frames of an older opening are told apart.
//
// A message carries one frame, or a bundle of the frames that waited together for one peer (the
// PDUs of one turn of the plug-in, with the acknowledgements of what came in that turn), each with
// its channel, so that a busy pair of users moves few large messages instead of many small ones:
//
//     offset 0   u8   2, the bundle's version (a lone frame begins with its own version, 3)
//            1   u8   0
//            2   u16  0
//            4   ...  entries, to the end: i32 channel (positive), u32 length, that many bytes
//                     of one frame as above
//
// A bundle goes on the topic of any of its channels; its entries say which link each frame is
// for. It is never larger than the largest lone frame, so what a host asks the broker to send it
// at most does not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum : uint8_t {
    ZYL_FRAME_DATA = 1,   // a PDU on an open channel
    ZYL_FRAME_OPEN = 2,   // first frame of a stream: the sender opens the channel
    ZYL_FRAME_ACCEPT = 3, // first frame of a stream: the sender accepts the receiver's OPEN
    ZYL_FRAME_CLOSE = 4,  // last frame of a stream: the sender closed the channel
    ZYL_FRAME_ACK = 5,    // not sequenced: everything up to the sequence arrived
    ZYL_FRAME_RESET = 6,  // not sequenced: the stream is not open here
};

// Frames of the first layouts (1, readable by the broker) are not taken.
inline constexpr uint8_t ZYL_FRAME_VERSION = 3;
inline constexpr size_t ZYL_FRAME_HEADER_SIZE = 24;
// The largest PDU payload; a frame's body is at most that sealed: anything larger is dropped
// unread, and the broker is asked never to send a message much larger.
inline constexpr size_t ZYL_FRAME_MAX_PAYLOAD = 65536;
inline constexpr size_t ZYL_FRAME_SEAL_OVERHEAD = 4 + 16; // the sealed command and the tag
inline constexpr size_t ZYL_FRAME_MAX_SIZE =
    ZYL_FRAME_HEADER_SIZE + ZYL_FRAME_MAX_PAYLOAD + ZYL_FRAME_SEAL_OVERHEAD;
// A message of several frames; it is at most ZYL_FRAME_MAX_SIZE bytes long like a lone frame.
inline constexpr uint8_t ZYL_BUNDLE_VERSION = 2;
inline constexpr size_t ZYL_BUNDLE_HEADER_SIZE = 4;
inline constexpr size_t ZYL_BUNDLE_ENTRY_SIZE = 8; // in front of each frame: its channel and length

struct ZYLFRAME {
    uint8_t kind = 0;
    uint32_t command = 0;
    uint64_t stream = 0;
    uint64_t sequence = 0;
    std::vector<uint8_t> payload;
};

// The header and the payload as one message body.
std::vector<uint8_t> ZylEncodeFrame(const ZYLFRAME& frame);
std::vector<uint8_t> ZylEncodeFrame(uint8_t kind, uint32_t command, uint64_t stream, uint64_t sequence,
                                    const void* payload, size_t length);
// Nothing for a body that is too short, of another version or of an unknown kind.
std::optional<ZYLFRAME> ZylDecodeFrame(const void* body, size_t length);

// One frame of a message, as bytes inside the message body.
struct ZYLFRAMEREF {
    int32_t channel = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
};
// Adds a frame to a bundle that is being built (an empty body becomes a bundle first). The caller
// keeps the body within ZYL_FRAME_MAX_SIZE: ZYL_BUNDLE_ENTRY_SIZE more than the frame is added.
void ZylAppendToBundle(std::vector<uint8_t>& bundle, int32_t channel, const std::vector<uint8_t>& frame);
// The frames of a message that came on a topic of that channel: the message itself when it is a
// lone frame (of any version; ZylDecodeFrame judges it), the entries of a bundle in order.
// Nothing for a bundle that is damaged anywhere (an entry running past the end, a channel that is
// not positive), so that no part of it is taken.
std::optional<std::vector<ZYLFRAMEREF>> ZylSplitMessage(const void* body, size_t length, int32_t channel);

// The u64 that ACCEPT and ACK carry as their payload (0 when it is missing).
std::vector<uint8_t> ZylEncodeStreamRef(uint64_t stream);
uint64_t ZylDecodeStreamRef(const std::vector<uint8_t>& payload);

// A user id fit to be a topic level and a broker user name: 1 to 64 printable ASCII characters
// without white space, "/", "+" or "#".
bool ZylIsValidMqttUserId(std::string_view user);
// The one way the identity that text names is written ("S7.1001" for "s7.1001" or "S7.01001"), or
// empty when text names no valid identity. A broker account under another spelling of a user id
// is somebody else: only a text equal to its own spelling speaks for that user.
std::string ZylCanonicalUserId(std::string_view text);

std::string ZylPduTopic(std::string_view receiver, std::string_view sender, int32_t channel);
std::string ZylPresenceTopic(std::string_view user);
std::string ZylKeyTopic(std::string_view user);
inline constexpr const char* ZYL_KEY_SUBSCRIPTION = "zylfs/key/+";
// The subscription that reaches one user: every frame addressed to it.
std::string ZylPduSubscription(std::string_view receiver);
inline constexpr const char* ZYL_PRESENCE_SUBSCRIPTION = "zylfs/presence/+";
inline constexpr const char* ZYL_PRESENCE_ONLINE = "online";
inline constexpr const char* ZYL_PRESENCE_OFFLINE = "offline";

struct ZYLPDUTOPIC {
    std::string receiver;
    std::string sender;
    int32_t channel = 0;
};
// Nothing for a topic of another shape, a bad user id or a channel that is not a positive number.
std::optional<ZYLPDUTOPIC> ZylParsePduTopic(std::string_view topic);
// The user of a presence topic, or nothing.
std::optional<std::string> ZylParsePresenceTopic(std::string_view topic);
// The user of a key topic, or nothing.
std::optional<std::string> ZylParseKeyTopic(std::string_view topic);

// The broker's access list (mosquitto acl_file syntax) that enforces the topic scheme above: a
// client publishes frames only as their sender, reads only frames addressed to it, publishes only
// its own presence and key and reads everyone's.
std::string ZylMqttAclText();
