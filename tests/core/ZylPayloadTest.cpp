// The payload codec against the exact bytes that peers exchange.
#include "core/ZylPayload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WrittenString(std::u16string_view text) {
    ZylPayloadWriter writer;
    writer.WriteString(text);
    return writer.Bytes();
}

std::u16string ReadOneString(const Bytes& payload) {
    ZylPayloadReader reader(payload.data(), static_cast<int32_t>(payload.size()));
    return reader.ReadString();
}

template <typename F> int32_t CodecErrorOf(F&& action) {
    try {
        action();
    } catch (const ZylCodecError& error) {
        return error.code;
    }
    return 0;
}

} // namespace

TEST(ZylPayloadCodec, IntegersAreBigEndianAndStringsCountedUtf8WithoutTerminator) {
    ZylPayloadWriter writer;
    writer.WriteInt32(1).WriteInt32(int32_t{-2}).WriteInt16(0x1234).WriteInt32(0x80000000u);
    EXPECT_EQ(writer.Bytes(), (Bytes{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0x12, 0x34, 0x80, 0, 0, 0}));
    EXPECT_EQ(writer.Size(), 14);
    const Bytes payload{0xFF, 0xFF, 0xFF, 0xFE, 0xAB, 0xCD, 0x01, 0x02, 0x03, 0x04};
    ZylPayloadReader reader(payload.data(), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(reader.ReadInt32(), -2);
    EXPECT_EQ(reader.ReadInt16(), 0xABCD);
    EXPECT_EQ(reader.ReadUInt32(), 0x01020304u);
    EXPECT_EQ(reader.Remaining(), 0);
    EXPECT_EQ(WrittenString(u"abc"), (Bytes{0, 0, 0, 3, 0x61, 0x62, 0x63}));
    EXPECT_EQ(WrittenString(u""), (Bytes{0, 0, 0, 0}));
    // The edges of the one-, two- and three-byte forms.
    EXPECT_EQ(WrittenString(u"\u007F\u0080\u07FF\u0800\uFFFF"),
              (Bytes{0, 0, 0, 11, 0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}));
    // U+1F600 is sent as two three-byte sequences, one per half, the way peers expect it.
    const std::u16string face = u"\xD83D\xDE00";
    EXPECT_EQ(WrittenString(face), (Bytes{0, 0, 0, 6, 0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}));
    EXPECT_EQ(ReadOneString(WrittenString(face)), face);
    EXPECT_EQ(ReadOneString(WrittenString(u"\u00E9\u4E2D\u07FF")), u"\u00E9\u4E2D\u07FF");
}

TEST(ZylPayloadCodec, WriterStopsAtCapacity) {
    ZylPayloadWriter writer;
    const std::vector<uint8_t> block(ZYL_MAX_PAYLOAD, 0x5A);
    writer.WriteBytes(block.data(), ZYL_MAX_PAYLOAD);
    EXPECT_EQ(writer.Size(), ZYL_MAX_PAYLOAD);
    const uint8_t one = 1;
    EXPECT_EQ(CodecErrorOf([&] { writer.WriteBytes(&one, 1); }), ZYL_ERR_WRITE_PAST_CAPACITY);
    EXPECT_EQ(writer.Size(), ZYL_MAX_PAYLOAD);
    writer.WriteBytes(&one, 0); // nothing to write is never an error
    EXPECT_EQ(writer.Data()[ZYL_MAX_PAYLOAD - 1], 0x5A);
    ZylPayloadWriter nearlyFull;
    nearlyFull.WriteBytes(block.data(), ZYL_MAX_PAYLOAD - 3);
    EXPECT_EQ(CodecErrorOf([&] { nearlyFull.WriteInt32(1); }), ZYL_ERR_WRITE_PAST_CAPACITY);
    EXPECT_EQ(CodecErrorOf([&] { nearlyFull.WriteString(u"abc"); }), ZYL_ERR_WRITE_PAST_CAPACITY);
    EXPECT_EQ(nearlyFull.Size(), ZYL_MAX_PAYLOAD - 3);
    nearlyFull.WriteInt16(0xFFFF);
    EXPECT_EQ(nearlyFull.Size(), ZYL_MAX_PAYLOAD - 1);
    EXPECT_EQ(CodecErrorOf([] { ZylPayloadWriter().WriteString(std::u16string(ZYL_MAX_PAYLOAD, u'x')); }),
              ZYL_ERR_WRITE_PAST_CAPACITY);
}

TEST(ZylPayloadCodec, ReaderRefusesToPassTheEndEvenForAHugeCount) {
    const Bytes payload{0, 0, 0, 9, 0x61};
    ZylPayloadReader reader(payload.data(), static_cast<int32_t>(payload.size()));
    uint8_t target[8] = {};
    EXPECT_EQ(CodecErrorOf([&] { reader.ReadBytes(target, 6); }), ZYL_ERR_READ_PAST_END);
    EXPECT_EQ(reader.Position(), 0);
    EXPECT_EQ(CodecErrorOf([&] { reader.ReadString(); }), ZYL_ERR_READ_PAST_END);
    EXPECT_EQ(reader.Position(), 0); // the count is not consumed either
    reader.ReadBytes(target, 3);
    EXPECT_EQ(CodecErrorOf([&] { reader.ReadInt32(); }), ZYL_ERR_READ_PAST_END);
    EXPECT_EQ(CodecErrorOf([&] { reader.ReadInt16(); }), 0);
    EXPECT_EQ(CodecErrorOf([&] { reader.ReadInt16(); }), ZYL_ERR_READ_PAST_END);
    EXPECT_EQ(CodecErrorOf([&] { reader.Skip(-1); }), ZYL_ERR_READ_PAST_END);
    ZylPayloadReader empty(nullptr, 100); // a missing payload has nothing to read, whatever its length
    EXPECT_EQ(CodecErrorOf([&] { empty.ReadInt16(); }), ZYL_ERR_READ_PAST_END);
    // An allocation of gigabytes would fail with another exception (or not at all).
    for (const Bytes& huge : {Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x61, 0x62}, Bytes{0x7F, 0xFF, 0xFF, 0xFF}}) {
        ZylPayloadReader hugeReader(huge.data(), static_cast<int32_t>(huge.size()));
        EXPECT_EQ(CodecErrorOf([&] { hugeReader.ReadString(); }), ZYL_ERR_READ_PAST_END);
    }
}

TEST(ZylPayloadCodec, TheDecoderSkipsLongLeadBytesAndKeepsACutOffSequenceInsideItsString) {
    EXPECT_EQ(ReadOneString({0, 0, 0, 2, 0xF0, 0x41}), u"A");
    EXPECT_EQ(ReadOneString({0, 0, 0, 3, 0xF8, 0xFF, 0x42}), u"B");
    // Continuation bytes are not checked: a stray one leads a two-byte sequence.
    EXPECT_EQ(ReadOneString({0, 0, 0, 2, 0x80, 0x41}), u"\u0001");
    // The string ends in the middle of a three-byte sequence; the bytes after it belong to the next
    // field and must not be taken into the character.
    const Bytes payload{0, 0, 0, 3, 0x41, 0xE4, 0xB8, 0x5A, 0x5A};
    ZylPayloadReader reader(payload.data(), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(reader.ReadString(), u"A");
    EXPECT_EQ(reader.Position(), 7);
    EXPECT_EQ(reader.ReadInt16(), 0x5A5A);
    EXPECT_EQ(ZylDecodeUtf8(std::string("\xC3", 1)), u"");
    EXPECT_EQ(ZylDecodeUtf8(std::string("\xE4\xB8", 2)), u"");
}
