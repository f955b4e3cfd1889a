// The payload writer and reader: the one codec of every PDU payload and of the listing work orders.
// Integers are big-endian; texts are a 32-bit byte count followed by UTF-8 without terminator.
#pragma once

#include "zylfs/ZylPlugin.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Raised by the codec and caught by the dispatcher, which drops the PDU being read or built.
struct ZylCodecError {
    int32_t code;
};

inline constexpr int32_t ZYL_ERR_READ_PAST_END = static_cast<int32_t>(0x81000001u);
inline constexpr int32_t ZYL_ERR_WRITE_PAST_CAPACITY = static_cast<int32_t>(0x81000002u);
inline constexpr int32_t ZYL_MAX_PAYLOAD = 65536;

// The peers' UTF-8: one code unit at a time, surrogate halves encoded on their own.
std::string ZylEncodeUtf8(std::u16string_view text);
// Lead bytes of four or more bytes are skipped; a sequence cut off by the end yields nothing.
std::u16string ZylDecodeUtf8(std::string_view bytes);

class ZylPayloadWriter final : public IZylWordWriter {
public:
    // Writes into its own zero-filled buffer of the given capacity.
    explicit ZylPayloadWriter(int32_t capacity = ZYL_MAX_PAYLOAD);

    ZylPayloadWriter& WriteBytes(const void* source, int32_t n);
    ZylPayloadWriter& WriteInt32(uint32_t value) override;
    ZylPayloadWriter& WriteInt32(int32_t value) { return WriteInt32(static_cast<uint32_t>(value)); }
    ZylPayloadWriter& WriteInt16(uint16_t value);
    ZylPayloadWriter& WriteString(std::u16string_view text);
    ZylPayloadWriter& Write(const ZylSerializable& value);

    const uint8_t* Data() const { return m_vBuffer.data(); }
    int32_t Size() const { return m_nPosition; }
    int32_t Capacity() const { return m_nCapacity; }
    std::vector<uint8_t> Bytes() const { return {m_vBuffer.begin(), m_vBuffer.begin() + m_nPosition}; }

private:
    void Reserve(int64_t n) const;

    std::vector<uint8_t> m_vBuffer;
    int32_t m_nPosition = 0;
    int32_t m_nCapacity;
};

class ZylPayloadReader final : public IZylWordReader {
public:
    ZylPayloadReader(const void* payload, int32_t size);

    ZylPayloadReader& ReadBytes(void* target, int32_t n);
    uint32_t ReadUInt32() override;
    int32_t ReadInt32() { return static_cast<int32_t>(ReadUInt32()); }
    uint16_t ReadInt16();
    std::u16string ReadString();
    ZylPayloadReader& Read(ZylSerializable& value);
    // Skips n bytes after checking them against what remains (for data that is read and dropped).
    ZylPayloadReader& Skip(int32_t n);
    // A view of n bytes at the position, checked before use, so a peer's length never allocates.
    const uint8_t* Take(int32_t n);

    int32_t Position() const { return m_nPosition; }
    int32_t Remaining() const { return m_nSize - m_nPosition; }

private:
    void Require(int64_t n) const;

    const uint8_t* m_pData;
    int32_t m_nPosition = 0;
    int32_t m_nSize;
};
