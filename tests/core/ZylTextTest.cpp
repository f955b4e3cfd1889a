// The wide-text helpers: user ids and share names are compared without case, file names cross to
// the file system as UTF-8, and the database numbers are read like the C library reads them.
#include "core/ZylText.h"

#include <gtest/gtest.h>

TEST(ZylTextCompare, IgnoresCaseButKeepsOrder) {
    EXPECT_EQ(ZylCompareNoCase(u"S12.1000", u"s12.1000"), 0);
    EXPECT_LT(ZylCompareNoCase(u"abc", u"ABD"), 0);
    EXPECT_GT(ZylCompareNoCase(u"ABD", u"abc"), 0);
    EXPECT_LT(ZylCompareNoCase(u"ab", u"ABC"), 0);
    EXPECT_GT(ZylCompareNoCase(u"abc", u"AB"), 0);
    // Letters fold to small letters, so they sort after the underscore in either case.
    EXPECT_TRUE(ZylCompareNoCase(u"B", u"_") > 0 && ZylCompareNoCase(u"b", u"_") > 0);
    // Each script's capitals fold to its small letters, up to the edges of its range; signs and the
    // letters without a pair stay as they are.
    EXPECT_TRUE(ZylEqualNoCase(u"\u00C0\u00C9\u00DE\u0100\u0139\u0147\u0179\u017D\u0391\u03A3\u03AB",
                               u"\u00E0\u00E9\u00FE\u0101\u013A\u0148\u017A\u017E\u03B1\u03C3\u03CB"));
    EXPECT_TRUE(
        ZylEqualNoCase(u"\u0400\u040F\u0410\u042F\uFF21\uFF3A", u"\u0450\u045F\u0430\u044F\uFF41\uFF5A"));
    const auto same = [](std::u16string_view one, std::u16string_view other) {
        return ZylEqualNoCase(one, other);
    };
    EXPECT_FALSE(same(u"\u00D7", u"\u00F7") || same(u"\u0130", u"\u0131") || same(u"\u03A2", u"\u03C2") ||
                 same(u"\uFF3B", u"\uFF5B") || same(u"\u6587\u4EF6", u"\u6587\u4EF7"));
    EXPECT_FALSE(ZylEqualNoCase(u"abc", u"abcd"));
    EXPECT_TRUE(ZylStartsWithNoCase(u"Everyone", u"EVERY") && ZylStartsWithNoCase(u"x", u""));
    EXPECT_FALSE(ZylStartsWithNoCase(u"Eve", u"Everyone") || ZylStartsWithNoCase(u"Everyone", u"Every1"));
}

TEST(ZylTextUtf8, RoundTripsIncludingSurrogatePairsAndDamagedInputBecomesReplacementCharacters) {
    EXPECT_EQ(ZylToUtf8(u"a\u00E9\u4E2D"), "a\xC3\xA9\xE4\xB8\xAD");
    // File names join surrogate pairs, unlike the peers' encoding.
    EXPECT_EQ(ZylToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ZylToUtf8(u"\xD800\xDC00"), "\xF0\x90\x80\x80"); // the first code point beyond 16 bits
    EXPECT_EQ(ZylToUtf8(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF"); // and the last
    EXPECT_EQ(ZylFromUtf8("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    for (std::u16string_view text : {u"", u"plain", u"\u6587\u4EF6/\u00E9t\u00E9", u"\xD834\xDD1E end",
                                     u"\uFFFF\u0800\u07FF\u0080\u007F"})
        EXPECT_EQ(ZylFromUtf8(ZylToUtf8(text)), text);
    // Damaged input becomes replacement characters.
    EXPECT_EQ(ZylToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");                 // lone high half
    EXPECT_EQ(ZylToUtf8(u"\xDC00\xDFFF"), "\xEF\xBF\xBD\xEF\xBF\xBD");   // lone low halves
    EXPECT_EQ(ZylToUtf8(u"a\xD800\xE000"), "a\xEF\xBF\xBD\xEE\x80\x80"); // a high half before no low one
    EXPECT_EQ(ZylFromUtf8("a\xFFz"), u"a\uFFFDz");
    EXPECT_EQ(ZylFromUtf8("\xC0\x80"), u"\uFFFD\uFFFD");           // overlong
    EXPECT_EQ(ZylFromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // an encoded surrogate
    const std::u16string cut = ZylFromUtf8("x\xE4\xB8");
    ASSERT_FALSE(cut.empty());
    EXPECT_EQ(cut[0], u'x');
    for (size_t i = 1; i < cut.size(); ++i)
        EXPECT_EQ(cut[i], u'\uFFFD');
}

TEST(ZylTextNumbers, ReadLikeTheCLibrary) {
    EXPECT_EQ(ZylToInt(u"  42abc"), 42);
    EXPECT_EQ(ZylToInt(u"\t\n\v\f\r 7"), 7);
    EXPECT_EQ(ZylToInt(u"-17") + ZylToInt(u"+5"), -12);
    EXPECT_EQ(ZylToInt(u"abc") | ZylToInt(u"") | ZylToInt(u"- 5") | ZylToInt(u"--5"), 0);
    EXPECT_EQ(ZylToInt(u"2147483647"), 2147483647);
    EXPECT_EQ(ZylToInt(u"-2147483648"), INT32_MIN);
    EXPECT_EQ(ZylToInt(u"4294967295"), -1); // wraps as a 32-bit value
}

TEST(ZylTextBuffers, FixedFieldsAreCutAndTerminated) {
    char16_t field[4];
    ZylCopyToBuffer(field, 4, u"abcdef");
    EXPECT_EQ(ZylFromBuffer(field, 4), u"abc");
    EXPECT_EQ(field[3], u'\0');
    ZylCopyToBuffer(field, 4, u"");
    EXPECT_EQ(ZylFromBuffer(field, 4), u"");
    const char16_t unterminated[4] = {u'x', u'y', u'z', u'w'};
    EXPECT_EQ(ZylFromBuffer(unterminated, 3), u"xyz"); // not one unit beyond the field
    EXPECT_EQ(ZylFromBuffer(nullptr, 3), u"");
}
