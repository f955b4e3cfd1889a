// User identities: their text form (user id text), parsing and the 8 bytes peers send.
#include "core/ZylPayload.h"
#include "core/ZylText.h"
#include "zylfs/ZylPlugin.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

HostUserId MakeUser(int32_t kind, uint32_t site, uint32_t number) {
    HostUserId user;
    EXPECT_TRUE(user.Set(kind, site, number));
    return user;
}

std::vector<uint8_t> WireOf(const HostUserId& user) {
    ZylPayloadWriter writer;
    writer.Write(user);
    return writer.Bytes();
}

} // namespace

TEST(HostUserIdText, ParsesAroundWhiteSpaceInEitherCaseAndPrintsInFull) {
    struct CASE {
        std::u16string_view text;
        int32_t kind;
        uint32_t site, number;
        std::u16string_view printed;
    };
    for (const CASE& c : {CASE{u" s12.1000 ", HostUserId::Plain, 12, 1000, u"S12.1000"},
                          CASE{u"\t\n\v\f\rS3.4567\r\n", HostUserId::Plain, 3, 4567, u"S3.4567"},
                          CASE{u"SM7.2000", HostUserId::Mobile, 7, 0x800007D0u, u"SM7.2000"},
                          CASE{u"sm7.2000", HostUserId::Mobile, 7, 0x800007D0u, u"SM7.2000"},
                          CASE{u"Sm7.2000", HostUserId::Mobile, 7, 0x800007D0u, u"SM7.2000"},
                          CASE{u"SM4294967295.2147483647", HostUserId::Mobile, 4294967295u, 0xFFFFFFFFu,
                               u"SM4294967295.2147483647"}}) {
        SCOPED_TRACE(ZylToUtf8(c.text));
        HostUserId user;
        ASSERT_TRUE(user.Parse(c.text));
        EXPECT_EQ(user.GetKind(), c.kind);
        EXPECT_EQ(user.site, c.site);
        EXPECT_EQ(user.number, c.number);
        EXPECT_EQ(user.ToText(), c.printed);
    }
}

TEST(HostUserIdText, MalformedTextsAreRefusedAndChangeNothing) {
    const HostUserId before = MakeUser(HostUserId::Plain, 5, 5000);
    for (std::u16string_view text :
         {u"S12.1000.",  u"S12",       u"X12.1000",  u"",           u"   ",       u"S",         u"SM",
          u"S.1000",     u"S12.",      u"S12..1000", u"S12.10a0",   u"S 12.1000", u"S12 .1000", u"M12.1000",
          u"SMM12.1000", u"S-12.1000", u"S+12.1000", u"S12.1000 x", u"12.1000",   u"S12.1000.5"}) {
        HostUserId user = before;
        EXPECT_FALSE(user.Parse(text)) << ZylToUtf8(text);
        EXPECT_EQ(user.site, 5u);
        EXPECT_EQ(user.number, 5000u);
    }
}

TEST(HostUserIdText, WellFormedButRefusedValuesKeepTheIdentity) {
    HostUserId fresh;
    EXPECT_TRUE(fresh.Parse(u"S12.999"));
    EXPECT_EQ(fresh.GetKind(), HostUserId::Invalid);
    EXPECT_EQ(fresh.ToText(), u"Invalid ID");

    for (std::u16string_view text : {u"S12.999", u"S0.1000", u"SM12.2147483648", u"S99999999999.1000"}) {
        HostUserId user = MakeUser(HostUserId::Mobile, 9, 9000);
        EXPECT_TRUE(user.Parse(text)) << ZylToUtf8(text);
        EXPECT_EQ(user.ToText(), u"SM9.9000");
    }
}

TEST(HostUserIdSet, AcceptsOnlyTheDocumentedRangesAndTheKindFollowsFromTheWords) {
    HostUserId user;
    EXPECT_TRUE(user.Set(HostUserId::Plain, 1, 2147483647));
    EXPECT_EQ(user.ToText(), u"S1.2147483647");
    EXPECT_TRUE(user.Set(HostUserId::Mobile, 1, 1000));
    EXPECT_EQ(user.number, 0x800003E8u);
    for (auto [kind, site, number] : {std::tuple<int32_t, uint32_t, uint32_t>{1, 0, 1000},
                                      {1, 1, 999},
                                      {2, 1, 2147483648u},
                                      {3, 1, 1000},
                                      {-1, 1, 1000}}) {
        EXPECT_FALSE(user.Set(kind, site, number)) << kind << " " << site << " " << number;
        EXPECT_EQ(user.site, 1u);
        EXPECT_EQ(user.number, 0x800003E8u);
    }
    EXPECT_TRUE(user.Set(HostUserId::Invalid, 77, 77777));
    EXPECT_EQ(user.site, 0u);
    EXPECT_EQ(user.GetKind(), HostUserId::Invalid);

    user.site = 3;
    user.number = 0x80000000u | 999; // the high bit does not count towards the 1000
    EXPECT_EQ(user.GetKind(), HostUserId::Invalid);
    user.number = 1000;
    EXPECT_EQ(user.GetKind(), HostUserId::Plain);
    user.number |= 0x80000000u;
    EXPECT_EQ(user.GetKind(), HostUserId::Mobile);
    user.site = 0;
    EXPECT_EQ(user.GetKind(), HostUserId::Invalid);
}

TEST(HostUserIdWire, SiteThenNumberWithHighBitAndACutOffIdentityIsNotHalfRead) {
    HostUserId user;
    ASSERT_TRUE(user.Parse(u"SM7.2000"));
    EXPECT_EQ(WireOf(user), (std::vector<uint8_t>{0, 0, 0, 7, 0x80, 0, 0x07, 0xD0}));
    EXPECT_EQ(WireOf(MakeUser(HostUserId::Plain, 0x01020304, 1000)),
              (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0x03, 0xE8}));
    const std::vector<uint8_t> bytes = WireOf(user);
    ZylPayloadReader reader(bytes.data(), static_cast<int32_t>(bytes.size()));
    HostUserId back;
    back.Read(reader);
    EXPECT_EQ(back.ToText(), u"SM7.2000");

    ZylPayloadReader cut(bytes.data(), 6);
    HostUserId kept = MakeUser(HostUserId::Plain, 12, 1000);
    EXPECT_THROW(kept.Read(cut), ZylCodecError);
    EXPECT_EQ(kept.ToText(), u"S12.1000");
}
