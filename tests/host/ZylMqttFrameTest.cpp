// The frame header, its sealing and the topics against their exact bytes and texts.
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttKeys.h"
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;
const auto Decode = [](const Bytes& bytes) { return ZylDecodeFrame(bytes.data(), bytes.size()); };
const auto With = [](Bytes bytes, size_t at, uint8_t value) { return bytes[at] = value, bytes; };

TEST(ZylMqttFrame, HeaderIsBigEndianAndPayloadFollows) {
    const uint8_t payload[] = {0xAA, 0xBB, 0xCC};
    const Bytes body = ZylEncodeFrame(ZYL_FRAME_DATA, 0x12345678, 0x0102030405060708ull,
                                      0x1112131415161718ull, payload, sizeof payload);
    EXPECT_EQ(body, (Bytes{3, 1, 0,    0,    0x12, 0x34, 0x56, 0x78, 1,    2,    3,    4,    5,   6,
                           7, 8, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0xAA, 0xBB, 0xCC}));
    const ZYLFRAME frame = Decode(body).value();
    EXPECT_EQ(std::tie(frame.kind, frame.command, frame.stream, frame.sequence),
              std::make_tuple(ZYL_FRAME_DATA, 0x12345678u, 0x0102030405060708ull, 0x1112131415161718ull));
    EXPECT_EQ(frame.payload, (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(ZylEncodeFrame(frame), body);
    // Damaged: cut short, nothing, another version, kinds nobody knows.
    EXPECT_FALSE(ZylDecodeFrame(body.data(), ZYL_FRAME_HEADER_SIZE - 1));
    EXPECT_FALSE(ZylDecodeFrame(nullptr, 0));
    for (const auto& [at, value] : {std::pair{0, 2}, {1, 0}, {1, 7}, {1, 255}})
        EXPECT_FALSE(Decode(With(body, at, static_cast<uint8_t>(value)))) << at << " " << value;
}

TEST(ZylMqttFrame, SealedFramesOpenOnlyUnchangedAndUnderTheirKey) {
    ZYLKEY key{}, other{};
    other[0] = 1;
    const Bytes payload{0xAA, 0xBB, 0xCC};
    const Bytes sealed = ZylSealFrame(key, ZYL_FRAME_DATA, 0x12345678, 7, 42, payload.data(), payload.size());
    // The header in the clear without the command, then the command and payload sealed, and the tag.
    ASSERT_EQ(sealed.size(), ZYL_FRAME_HEADER_SIZE + ZYL_FRAME_SEAL_OVERHEAD + payload.size());
    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 24),
              ZylEncodeFrame(ZYL_FRAME_DATA, 0, 7, 42, nullptr, 0));
    auto frame = Decode(sealed).value();
    EXPECT_TRUE(ZylOpenFrame(key, frame));
    EXPECT_EQ(frame.command, 0x12345678u);
    EXPECT_EQ(frame.payload, payload);
    for (size_t at : {size_t{9}, size_t{23}, size_t{24}, sealed.size() - 1}) { // stream, sequence, text, tag
        auto damaged = Decode(With(sealed, at, sealed[at] ^ 0x80)).value();
        EXPECT_FALSE(ZylOpenFrame(key, damaged)) << at;
    }
    frame = Decode(sealed).value();
    EXPECT_FALSE(ZylOpenFrame(other, frame));
    // An acknowledgement: its own stream readable, a nonce marked 1, the tag over both.
    const Bytes ack = ZylSealAck(key, 7, 42, 0x00000190C0FFEE01ull);
    ASSERT_EQ(ack.size(), ZYL_FRAME_HEADER_SIZE + 8 + 24 + 16);
    EXPECT_EQ(Bytes(ack.begin() + 24, ack.begin() + 33), (Bytes{0, 0, 1, 0x90, 0xC0, 0xFF, 0xEE, 1, 1}));
    const auto decoded = Decode(ack).value();
    EXPECT_EQ(ZylDecodeStreamRef(decoded.payload), 0x00000190C0FFEE01ull);
    EXPECT_TRUE(ZylCheckAck(key, decoded));
    EXPECT_FALSE(ZylCheckAck(other, decoded));
    for (size_t at : {size_t{4}, size_t{31}, size_t{32}}) // a command, another own stream, the mark
        EXPECT_FALSE(ZylCheckAck(key, Decode(With(ack, at, ack[at] ^ 1)).value())) << at;
    EXPECT_NE(ZylSealAck(key, 7, 42, 1), ZylSealAck(key, 7, 42, 1)); // never the same nonce
}

TEST(ZylMqttFrame, BundleCarriesFramesWithTheirChannels) {
    const Bytes open = ZylEncodeFrame(ZYL_FRAME_OPEN, 0, 7, 1, nullptr, 0);
    const uint8_t payload[] = {0xAA, 0xBB};
    const Bytes data = ZylEncodeFrame(ZYL_FRAME_DATA, 4101, 7, 2, payload, sizeof payload);
    Bytes bundle;
    ZylAppendToBundle(bundle, 1025, open);
    ZylAppendToBundle(bundle, 0x01020304, data);
    Bytes expected{2, 0, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 24};
    expected.insert(expected.end(), open.begin(), open.end());
    expected.insert(expected.end(), {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 26});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(bundle, expected);
    const auto frames = ZylSplitMessage(bundle.data(), bundle.size(), 1024).value();
    ASSERT_EQ(frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) // each its own channel, whatever the topic's
        EXPECT_EQ(std::make_pair(frames[i].channel, Bytes(frames[i].data, frames[i].data + frames[i].length)),
                  i == 0 ? std::make_pair(1025, open) : std::make_pair(0x01020304, data));
    // A lone frame is the message itself, on the topic's channel; a bundle of nothing is nothing.
    const auto lone = ZylSplitMessage(data.data(), data.size(), 1024);
    ASSERT_TRUE(lone && lone->size() == 1);
    EXPECT_EQ(std::tie((*lone)[0].channel, (*lone)[0].data, (*lone)[0].length),
              std::make_tuple(1024, data.data(), data.size()));
    const Bytes empty{2, 0, 0, 0};
    EXPECT_TRUE(ZylSplitMessage(empty.data(), empty.size(), 1024).value().empty());
    // Damage anywhere drops the whole bundle: cut in the last entry or in an entry's channel and
    // length, the first channel 0 or negative, the first length past the end.
    const Bytes cut(bundle.begin(), bundle.end() - 1),
        header(bundle.begin(), bundle.begin() + ZYL_BUNDLE_HEADER_SIZE + 3);
    for (const Bytes& bad : {cut, header, With(With(bundle, 6, 0), 7, 0), With(bundle, 4, 0x80),
                             With(bundle, 11, 0xFF), Bytes{2, 0, 0}})
        EXPECT_FALSE(ZylSplitMessage(bad.data(), bad.size(), 1024));
}

TEST(ZylMqttFrame, TopicsNameReceiverSenderAndChannelAndUserIdsAreWholeTopicLevels) {
    EXPECT_EQ(ZylPduTopic("S1.1001", "S1.1002", 1024), "zylfs/pdu/S1.1001/S1.1002/1024");
    EXPECT_EQ(ZylPduSubscription("S1.1001"), "zylfs/pdu/S1.1001/+/+");
    EXPECT_EQ(ZylPresenceTopic("SM7.2000"), "zylfs/presence/SM7.2000");
    EXPECT_EQ(ZylParseKeyTopic(ZylKeyTopic("SM7.2000")).value_or(""), "SM7.2000");
    EXPECT_EQ(ZylKeyTopic("S1.1001"), "zylfs/key/S1.1001");
    const auto parsed = ZylParsePduTopic("zylfs/pdu/S1.1001/S1.1002/1025").value();
    EXPECT_EQ(std::tie(parsed.receiver, parsed.sender, parsed.channel),
              std::make_tuple("S1.1001", "S1.1002", 1025));
    for (const char* bad :
         {"zylfs/pdu/S1.1001/S1.1002", "zylfs/pdu/S1.1001/S1.1002/", "zylfs/pdu/S1.1001/S1.1002/10x",
          "zylfs/pdu/S1.1001/S1.1002/0", "zylfs/pdu/S1.1001/S1.1002/-5", "zylfs/pdu//S1.1002/1024",
          "zylfs/pdu/S1.1001/S1.1002/1024/9", "zylfs/presence/S1.1001", "other/pdu/a/b/1"})
        EXPECT_FALSE(ZylParsePduTopic(bad)) << bad;
    EXPECT_EQ(ZylParsePresenceTopic("zylfs/presence/S1.1001").value_or(""), "S1.1001");
    for (const char* bad : {"zylfs/presence/", "zylfs/presence/a/b"})
        EXPECT_FALSE(ZylParsePresenceTopic(bad)) << bad;
    EXPECT_TRUE(ZylIsValidMqttUserId("S1.1000") && ZylIsValidMqttUserId("SM4294967295.2147483647"));
    for (const char* bad : {"", "a/b", "a+", "#", "a b", "tab\t", "\x7f"})
        EXPECT_FALSE(ZylIsValidMqttUserId(bad)) << bad;
    EXPECT_TRUE(ZylIsValidMqttUserId(std::string(64, 'a')) && !ZylIsValidMqttUserId(std::string(65, 'a')));
    // Another spelling of an identity is another broker account: only the one spelling speaks.
    const std::pair<const char*, const char*> spellings[] = {
        {"S7.1001", "S7.1001"},  {"s7.1001", "S7.1001"},   {"S7.01001", "S7.1001"},
        {"S07.1001", "S7.1001"}, {"sM7.2000", "SM7.2000"}, {"SM7.2000", "SM7.2000"},
        {"S7.999", ""},          {"S0.1000", ""},          {"S7.1001x", ""},
        {"alice", ""},           {"S7.1001/", ""},         {"S4294967296.1000", ""}};
    for (const auto& [text, spelling] : spellings)
        EXPECT_EQ(ZylCanonicalUserId(text), spelling) << text;
}

TEST(ZylMqttKeys, TheKeyPairStaysWithItsOwnerAndFriendsArePinnedOnFirstSight) {
    const auto folder = std::filesystem::temp_directory_path() / ("zylfs-keys-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    CZylKeyStore keys;
    ASSERT_EQ(keys.Open(folder), "");
    struct stat info {};
    ASSERT_EQ(stat((folder / "identity.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u); // the secret half is the owner's alone
    CZylKeyStore again;
    ASSERT_EQ(again.Open(folder, false), "");
    EXPECT_EQ(again.PublicKey(), keys.PublicKey());             // the same user from start to start
    EXPECT_EQ(ZylKeyFingerprint(keys.PublicKey()).size(), 39u); // "xxxx xxxx ..." of 16 bytes
    ZYLKEY first{}, second{};
    first.fill(0x11);
    second.fill(0x22);
    EXPECT_EQ(keys.See("S1.1002", first), CZylKeyStore::FIRST);
    EXPECT_EQ(keys.See("S1.1002", first), CZylKeyStore::SAME);
    EXPECT_EQ(keys.See("S1.1002", second), CZylKeyStore::CHANGED);
    EXPECT_EQ(keys.See("S1.1002", second), CZylKeyStore::CHANGED); // until trusted
    const auto lines = [&] {
        std::ifstream in(folder / "friends.keys");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(lines(), "S1.1002 " + std::string(64, '1') + " " + std::string(64, '2') + "\n");
    EXPECT_EQ(again.Pinned("S1.1002"), first); // another process reads the same pins
    EXPECT_TRUE(again.Trust("S1.1002"));
    EXPECT_FALSE(again.Trust("S1.1002")); // nothing changed any more
    EXPECT_EQ(lines(), "S1.1002 " + std::string(64, '2') + "\n");
    EXPECT_EQ(keys.See("S1.1002", second), CZylKeyStore::SAME);
    std::ofstream(folder / "friends.keys", std::ios::app) << "S1.1003 damaged\n";
    std::ofstream(folder / "identity.key") << "not a key\n";
    EXPECT_FALSE(keys.Pinned("S1.1003"));
    EXPECT_NE(CZylKeyStore().Open(folder).find("is damaged"), std::string::npos); // never replaced silently
    std::filesystem::remove_all(folder);
}
