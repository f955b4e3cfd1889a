// What the managers need of the plug-in that owns them: a way to queue a PDU, to write a log line,
// the platform's services and the host's display names. The plug-in object implements it; the
// managers know nothing else of it, so the core and the managers never reach up to their owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class IZylPlatform;
class ZylPayloadWriter;

class IZylPluginContext {
public:
    virtual ~IZylPluginContext() = default;

    // Queues what the writer holds for the user on that channel: 0 when queued, -1 when not.
    virtual int32_t SendPayload(uint32_t command, const ZylPayloadWriter& writer, std::u16string_view user,
                                int32_t channel) = 0;
    // PDUs queued for the user on that channel that the host has not taken yet (0 without a queue).
    virtual size_t GetQueuedCount(std::u16string_view user, int32_t channel) const = 0;
    // Writes a log line at that level; -1 while the plug-in is not logged in.
    virtual int32_t WriteLog(int32_t level, std::u16string_view text) = 0;
    virtual IZylPlatform& GetPlatform() = 0;
    // The host's name for the user; the id text when the host has none.
    virtual std::u16string GetDisplayName(std::u16string_view user) const = 0;
};
