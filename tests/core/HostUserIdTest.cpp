// User identities: their text form (user id text), parsing and the 8 bytes peers send.
#include "core/ZylPayload.h"
#include "core/ZylText.h"
#include "zylfs/ZylPlugin.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

std::tuple<int32_t, uint32_t, uint32_t, std::u16string> Parts(const HostUserId& user) {
    return {user.GetKind(), user.site, user.number, user.ToText()};
}

} // namespace

TEST(HostUserIdText, ParsesAroundWhiteSpaceInEitherCaseAndRefusesWhatNoIdentityHolds) {
    HostUserId user;
    ASSERT_TRUE(user.Parse(u"\t\n\v\f\r s12.1000 \r\n"));
    EXPECT_EQ(Parts(user), std::make_tuple(HostUserId::Plain, 12u, 1000u, u"S12.1000"));
    ASSERT_TRUE(user.Parse(u"Sm7.2000"));
    EXPECT_EQ(Parts(user), std::make_tuple(HostUserId::Mobile, 7u, 0x800007D0u, u"SM7.2000"));
    ASSERT_TRUE(user.Parse(u"SM4294967295.2147483647"));
    // Malformed texts are refused; well-formed ones with values no identity holds are taken and
    // change nothing.
    for (std::u16string_view text : {u"S12.1000.", u"S12", u"X12.1000", u"", u"SM", u"S.1000", u"S12.",
                                     u"S12..1000", u"S12.10a0", u"S 12.1000", u"SMM12.1000", u"12.1000"})
        EXPECT_FALSE(user.Parse(text)) << ZylToUtf8(text);
    for (std::u16string_view text : {u"S12.999", u"S0.1000", u"SM12.2147483648", u"S99999999999.1000"})
        EXPECT_TRUE(user.Parse(text)) << ZylToUtf8(text);
    EXPECT_EQ(Parts(user),
              std::make_tuple(HostUserId::Mobile, 4294967295u, 0xFFFFFFFFu, u"SM4294967295.2147483647"));
    HostUserId fresh;
    EXPECT_TRUE(fresh.Parse(u"S12.999"));
    EXPECT_EQ(fresh.ToText(), u"Invalid ID");

    // Set takes kinds 1 and 2 with a site above 0 and a number from 1000 to 2147483647; kind 0 clears.
    EXPECT_TRUE(user.Set(HostUserId::Mobile, 1, 1000));
    EXPECT_FALSE(user.Set(1, 0, 1000) || user.Set(1, 1, 999) || user.Set(2, 1, 2147483648u) ||
                 user.Set(3, 1, 1000));
    EXPECT_EQ(Parts(user), std::make_tuple(HostUserId::Mobile, 1u, 0x800003E8u, u"SM1.1000"));
    EXPECT_TRUE(user.Set(HostUserId::Plain, 1, 2147483647));
    EXPECT_EQ(user.ToText(), u"S1.2147483647");
    EXPECT_TRUE(user.Set(HostUserId::Invalid, 77, 77777));
    EXPECT_EQ(std::make_tuple(user.site, user.GetKind()), std::make_tuple(0u, HostUserId::Invalid));
    user.site = 3;
    user.number = 0x80000000u | 999; // the high bit does not count towards the 1000
    EXPECT_EQ(user.GetKind(), HostUserId::Invalid);
}

TEST(HostUserIdWire, SiteThenNumberWithHighBitAndACutOffIdentityIsNotHalfRead) {
    HostUserId user, back;
    ASSERT_TRUE(user.Parse(u"SM7.2000") && back.Parse(u"S12.1000"));
    ZylPayloadWriter writer;
    writer.Write(user);
    const std::vector<uint8_t> bytes = writer.Bytes();
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0, 0, 7, 0x80, 0, 0x07, 0xD0}));
    ZylPayloadReader cut(bytes.data(), 6), whole(bytes.data(), 8);
    EXPECT_THROW(back.Read(cut), ZylCodecError);
    EXPECT_EQ(back.ToText(), u"S12.1000");
    back.Read(whole);
    EXPECT_EQ(back.ToText(), u"SM7.2000");
}
