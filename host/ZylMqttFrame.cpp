#include "host/ZylMqttFrame.h"

#include "core/ZylText.h"
#include "zylfs/ZylPlugin.h"

#include <charconv>
#include <cstring>

namespace {

void PutBig(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint64_t GetBig(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | in[i];
    return value;
}

constexpr std::string_view kPduPrefix = "zylfs/pdu/";
constexpr std::string_view kPresencePrefix = "zylfs/presence/";
constexpr std::string_view kKeyPrefix = "zylfs/key/";

std::optional<std::string> UserOfTopic(std::string_view topic, std::string_view prefix) {
    if (topic.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    topic.remove_prefix(prefix.size());
    if (!ZylIsValidMqttUserId(topic))
        return std::nullopt;
    return std::string(topic);
}

} // namespace

std::vector<uint8_t> ZylEncodeFrame(uint8_t kind, uint32_t command, uint64_t stream, uint64_t sequence,
                                    const void* payload, size_t length) {
    std::vector<uint8_t> out;
    out.reserve(ZYL_FRAME_HEADER_SIZE + length);
    out.push_back(ZYL_FRAME_VERSION);
    out.push_back(kind);
    PutBig(out, 0, 2);
    PutBig(out, command, 4);
    PutBig(out, stream, 8);
    PutBig(out, sequence, 8);
    if (length > 0) {
        const auto* p = static_cast<const uint8_t*>(payload);
        out.insert(out.end(), p, p + length);
    }
    return out;
}

std::vector<uint8_t> ZylEncodeFrame(const ZYLFRAME& frame) {
    return ZylEncodeFrame(frame.kind, frame.command, frame.stream, frame.sequence, frame.payload.data(),
                          frame.payload.size());
}

std::optional<ZYLFRAME> ZylDecodeFrame(const void* body, size_t length) {
    const auto* p = static_cast<const uint8_t*>(body);
    if (!p || length < ZYL_FRAME_HEADER_SIZE || p[0] != ZYL_FRAME_VERSION)
        return std::nullopt;
    ZYLFRAME frame;
    frame.kind = p[1];
    if (frame.kind < ZYL_FRAME_DATA || frame.kind > ZYL_FRAME_RESET)
        return std::nullopt;
    frame.command = static_cast<uint32_t>(GetBig(p + 4, 4));
    frame.stream = GetBig(p + 8, 8);
    frame.sequence = GetBig(p + 16, 8);
    frame.payload.assign(p + ZYL_FRAME_HEADER_SIZE, p + length);
    return frame;
}

void ZylAppendToBundle(std::vector<uint8_t>& bundle, int32_t channel, const std::vector<uint8_t>& frame) {
    if (bundle.empty()) {
        bundle.push_back(ZYL_BUNDLE_VERSION);
        PutBig(bundle, 0, 3);
    }
    PutBig(bundle, static_cast<uint32_t>(channel), 4);
    PutBig(bundle, frame.size(), 4);
    bundle.insert(bundle.end(), frame.begin(), frame.end());
}

std::optional<std::vector<ZYLFRAMEREF>> ZylSplitMessage(const void* body, size_t length, int32_t channel) {
    const auto* p = static_cast<const uint8_t*>(body);
    std::vector<ZYLFRAMEREF> frames;
    if (!p || length == 0 || p[0] != ZYL_BUNDLE_VERSION) {
        frames.push_back({channel, p, p ? length : 0});
        return frames;
    }
    if (length < ZYL_BUNDLE_HEADER_SIZE)
        return std::nullopt;
    for (size_t at = ZYL_BUNDLE_HEADER_SIZE; at < length;) {
        if (length - at < ZYL_BUNDLE_ENTRY_SIZE)
            return std::nullopt;
        const auto entryChannel = static_cast<int32_t>(GetBig(p + at, 4));
        const uint64_t size = GetBig(p + at + 4, 4);
        at += ZYL_BUNDLE_ENTRY_SIZE;
        if (entryChannel <= 0 || size > length - at)
            return std::nullopt;
        frames.push_back({entryChannel, p + at, static_cast<size_t>(size)});
        at += static_cast<size_t>(size);
    }
    return frames;
}

std::vector<uint8_t> ZylEncodeStreamRef(uint64_t stream) {
    std::vector<uint8_t> out;
    PutBig(out, stream, 8);
    return out;
}

uint64_t ZylDecodeStreamRef(const std::vector<uint8_t>& payload) {
    return payload.size() >= 8 ? GetBig(payload.data(), 8) : 0;
}

bool ZylIsValidMqttUserId(std::string_view user) {
    if (user.empty() || user.size() > 64)
        return false;
    for (const char c : user)
        if (c <= ' ' || c > '~' || c == '/' || c == '+' || c == '#')
            return false;
    return true;
}

std::string ZylCanonicalUserId(std::string_view text) {
    HostUserId id;
    if (!ZylIsValidMqttUserId(text) || !id.Parse(ZylFromUtf8(text)) || id.GetKind() == HostUserId::Invalid)
        return {};
    return ZylToUtf8(id.ToText());
}

std::string ZylPduTopic(std::string_view receiver, std::string_view sender, int32_t channel) {
    std::string topic(kPduPrefix);
    topic.append(receiver).append("/").append(sender).append("/").append(std::to_string(channel));
    return topic;
}

std::string ZylPresenceTopic(std::string_view user) {
    return std::string(kPresencePrefix).append(user);
}

std::string ZylKeyTopic(std::string_view user) {
    return std::string(kKeyPrefix).append(user);
}

std::string ZylPduSubscription(std::string_view receiver) {
    return std::string(kPduPrefix).append(receiver).append("/+/+");
}

std::optional<ZYLPDUTOPIC> ZylParsePduTopic(std::string_view topic) {
    if (topic.substr(0, kPduPrefix.size()) != kPduPrefix)
        return std::nullopt;
    topic.remove_prefix(kPduPrefix.size());
    const size_t first = topic.find('/');
    if (first == std::string_view::npos)
        return std::nullopt;
    const size_t second = topic.find('/', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    ZYLPDUTOPIC parsed;
    parsed.receiver = std::string(topic.substr(0, first));
    parsed.sender = std::string(topic.substr(first + 1, second - first - 1));
    const std::string_view channel = topic.substr(second + 1);
    if (!ZylIsValidMqttUserId(parsed.receiver) || !ZylIsValidMqttUserId(parsed.sender) || channel.empty())
        return std::nullopt;
    const auto [end, ec] = std::from_chars(channel.data(), channel.data() + channel.size(), parsed.channel);
    if (ec != std::errc() || end != channel.data() + channel.size() || parsed.channel <= 0)
        return std::nullopt;
    return parsed;
}

std::optional<std::string> ZylParsePresenceTopic(std::string_view topic) {
    return UserOfTopic(topic, kPresencePrefix);
}

std::optional<std::string> ZylParseKeyTopic(std::string_view topic) {
    return UserOfTopic(topic, kKeyPrefix);
}

std::string ZylMqttAclText() {
    // Lines without %u would apply to anonymous clients only if written as "topic"; a "pattern"
    // line applies to every user.
    return "pattern write zylfs/pdu/+/%u/+\n"
           "pattern read zylfs/pdu/%u/+/+\n"
           "pattern write zylfs/presence/%u\n"
           "pattern read zylfs/presence/+\n"
           "pattern write zylfs/key/%u\n"
           "pattern read zylfs/key/+\n";
}
