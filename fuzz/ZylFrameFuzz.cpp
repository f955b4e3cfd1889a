// Fuzz target of what the broker hands the host transport: a message body (a frame, or a bundle
// of frames) and the topic it came on. Both are written by whoever can publish to the broker, so
// neither is trusted.
//
// Framing: the whole input is used as a frame body, as a message (split into the frames of a
// bundle) and as a topic text. The decoders share no state, and one flat input lets the fuzzer
// grow each kind from seeds of all (a body starting with a version byte, a topic starting with
// "zylfs/") without a split that would waste mutations on the part that does not matter for the
// branch at hand.
//
// Checks beyond "no crash": a decoded frame, encoded again, decodes to the same fields; the frames
// of a bundle lie inside it and build the same bundle again; a parsed topic, built again from its
// parts, parses to the same parts; a sender's spelling as a user id is its own spelling.
#include "host/ZylMqttFrame.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void ZylCheck(bool condition) {
    if (!condition)
        __builtin_trap();
}

void ZylFuzzFrame(const uint8_t* data, size_t size) {
    const auto frame = ZylDecodeFrame(data, size);
    if (!frame)
        return;
    ZylCheck(size >= ZYL_FRAME_HEADER_SIZE);
    ZylCheck(frame->payload.size() == size - ZYL_FRAME_HEADER_SIZE);
    const std::vector<uint8_t> again = ZylEncodeFrame(*frame);
    ZylCheck(again.size() == size);
    const auto decoded = ZylDecodeFrame(again.data(), again.size());
    ZylCheck(decoded.has_value());
    ZylCheck(decoded->kind == frame->kind && decoded->command == frame->command &&
             decoded->stream == frame->stream && decoded->sequence == frame->sequence &&
             decoded->payload == frame->payload);
    // ACCEPT and ACK carry a stream reference; any payload must read as one without overrun.
    const uint64_t ref = ZylDecodeStreamRef(frame->payload);
    if (frame->payload.size() >= 8)
        ZylCheck(ZylEncodeStreamRef(ref) ==
                 std::vector<uint8_t>(frame->payload.begin(), frame->payload.begin() + 8));
    else
        ZylCheck(ref == 0);
}

// A message is split into frames that lie inside it; a bundle built again from them is the same
// bytes, and each of its frames decodes as it would alone.
void ZylFuzzMessage(const uint8_t* data, size_t size) {
    const auto frames = ZylSplitMessage(data, size, 1024);
    if (!frames)
        return;
    if (size == 0 || data[0] != ZYL_BUNDLE_VERSION) {
        ZylCheck(frames->size() == 1 && (*frames)[0].data == data && (*frames)[0].length == size);
        return;
    }
    std::vector<uint8_t> again;
    for (const ZYLFRAMEREF& frame : *frames) {
        ZylCheck(frame.channel > 0 && frame.data >= data && frame.data + frame.length <= data + size);
        ZylAppendToBundle(again, frame.channel, std::vector<uint8_t>(frame.data, frame.data + frame.length));
        ZylFuzzFrame(frame.data, frame.length);
    }
    if (!frames->empty())
        ZylCheck(again.size() == size && std::equal(again.begin() + ZYL_BUNDLE_HEADER_SIZE, again.end(),
                                                    data + ZYL_BUNDLE_HEADER_SIZE));
}

void ZylFuzzTopic(std::string_view topic) {
    if (const auto parsed = ZylParsePduTopic(topic)) {
        ZylCheck(ZylIsValidMqttUserId(parsed->receiver) && ZylIsValidMqttUserId(parsed->sender));
        ZylCheck(parsed->channel > 0);
        const auto again = ZylParsePduTopic(ZylPduTopic(parsed->receiver, parsed->sender, parsed->channel));
        ZylCheck(again.has_value());
        ZylCheck(again->receiver == parsed->receiver && again->sender == parsed->sender &&
                 again->channel == parsed->channel);
        // A sender is taken only under its one spelling, and that spelling is its own.
        const std::string spelling = ZylCanonicalUserId(parsed->sender);
        ZylCheck(spelling.empty() || ZylCanonicalUserId(spelling) == spelling);
    }
    if (const auto user = ZylParsePresenceTopic(topic)) {
        ZylCheck(ZylIsValidMqttUserId(*user));
        const auto again = ZylParsePresenceTopic(ZylPresenceTopic(*user));
        ZylCheck(again.has_value() && *again == *user);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZylFuzzFrame(data, size);
    ZylFuzzMessage(data, size);
    ZylFuzzTopic(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
