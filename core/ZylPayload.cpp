#include "core/ZylPayload.h"

#include <cstring>

std::string ZylEncodeUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 + (c >> 6)));
            out.push_back(static_cast<char>(0x80 + (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 + (c >> 12)));
            out.push_back(static_cast<char>(0x80 + ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 + (c & 0x3F)));
        }
    }
    return out;
}

std::u16string ZylDecodeUtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if ((b & 0x80) == 0) {
            out.push_back(b);
            i += 1;
        } else if ((b & 0x20) == 0) {
            if (i + 2 > n)
                break; // cut off: nothing is read past the string
            out.push_back(static_cast<char16_t>(((b & 0x1F) << 6) + (bytes[i + 1] & 0x3F)));
            i += 2;
        } else if ((b & 0x10) == 0) {
            if (i + 3 > n)
                break;
            out.push_back(static_cast<char16_t>(((b & 0x0F) << 12) + ((bytes[i + 1] & 0x3F) << 6) +
                                                (bytes[i + 2] & 0x3F)));
            i += 3;
        } else {
            i += 1; // four-byte and longer lead bytes produce no character
        }
    }
    return out;
}

ZylPayloadWriter::ZylPayloadWriter(int32_t capacity) : m_nCapacity(capacity < 0 ? 0 : capacity) {
    m_vBuffer.reserve(static_cast<size_t>(m_nCapacity) < 4096 ? m_nCapacity : 4096);
}

void ZylPayloadWriter::Reserve(int64_t n) const {
    if (n < 0 || m_nPosition + n > m_nCapacity)
        throw ZylCodecError{ZYL_ERR_WRITE_PAST_CAPACITY};
}

ZylPayloadWriter& ZylPayloadWriter::WriteBytes(const void* source, int32_t n) {
    if (n == 0)
        return *this;
    Reserve(n);
    const auto* p = static_cast<const uint8_t*>(source);
    m_vBuffer.insert(m_vBuffer.end(), p, p + n);
    m_nPosition += n;
    return *this;
}

ZylPayloadWriter& ZylPayloadWriter::WriteInt32(uint32_t value) {
    const uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    Reserve(4);
    return WriteBytes(b, 4);
}

ZylPayloadWriter& ZylPayloadWriter::WriteInt16(uint16_t value) {
    const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    Reserve(2);
    return WriteBytes(b, 2);
}

ZylPayloadWriter& ZylPayloadWriter::WriteString(std::u16string_view text) {
    const std::string bytes = ZylEncodeUtf8(text);
    if (bytes.size() > static_cast<size_t>(ZYL_MAX_PAYLOAD))
        throw ZylCodecError{ZYL_ERR_WRITE_PAST_CAPACITY};
    WriteInt32(static_cast<uint32_t>(bytes.size()));
    return WriteBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
}

ZylPayloadWriter& ZylPayloadWriter::Write(const ZylSerializable& value) {
    value.Write(*this);
    return *this;
}

ZylPayloadReader::ZylPayloadReader(const void* payload, int32_t size)
    : m_pData(static_cast<const uint8_t*>(payload)), m_nSize(payload && size > 0 ? size : 0) {}

void ZylPayloadReader::Require(int64_t n) const {
    if (n < 0 || m_nPosition + n > m_nSize)
        throw ZylCodecError{ZYL_ERR_READ_PAST_END};
}

const uint8_t* ZylPayloadReader::Take(int32_t n) {
    Require(n);
    const uint8_t* p = m_pData + m_nPosition;
    m_nPosition += n;
    return p;
}

ZylPayloadReader& ZylPayloadReader::ReadBytes(void* target, int32_t n) {
    if (n == 0)
        return *this;
    std::memcpy(target, Take(n), static_cast<size_t>(n));
    return *this;
}

ZylPayloadReader& ZylPayloadReader::Skip(int32_t n) {
    Take(n);
    return *this;
}

uint32_t ZylPayloadReader::ReadUInt32() {
    const uint8_t* b = Take(4);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

uint16_t ZylPayloadReader::ReadInt16() {
    const uint8_t* b = Take(2);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

std::u16string ZylPayloadReader::ReadString() {
    const int32_t start = m_nPosition;
    const uint32_t count = ReadUInt32();
    if (count > static_cast<uint32_t>(Remaining())) {
        m_nPosition = start; // the value is lost, the position is not advanced
        throw ZylCodecError{ZYL_ERR_READ_PAST_END};
    }
    const auto* p = reinterpret_cast<const char*>(Take(static_cast<int32_t>(count)));
    return ZylDecodeUtf8(std::string_view(p, count));
}

ZylPayloadReader& ZylPayloadReader::Read(ZylSerializable& value) {
    value.Read(*this);
    return *this;
}
