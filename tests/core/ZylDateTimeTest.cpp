// The date-and-time value: its packed words (the wire form), text forms, the lenient parser of the
// database files, and comparison.
#include "core/ZylDateTime.h"
#include "core/ZylPayload.h"
#include "core/ZylText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Switches the process's time zone for one test and puts UTC back, in which the tests run.
struct CZylZoneGuard {
    explicit CZylZoneGuard(const char* zone) { Use(zone); }
    ~CZylZoneGuard() { Use("UTC"); }
    static void Use(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
};

// 2008-02-05 07:08:09 UTC.
constexpr std::time_t FEB_5_2008 = 1202195289;
// 2008-07-02 12:00:00 UTC, in daylight saving time in New York.
constexpr std::time_t JUL_2_2008 = 1215000000;

CZylDateTime MakeDateTime(int32_t year, uint32_t month, uint32_t day, uint32_t hour = 0, uint32_t minute = 0,
                          uint32_t second = 0, uint32_t millisecond = 0, int32_t zone = 0) {
    CZylDateTime value;
    EXPECT_TRUE(value.SetDateTime(year, month, day, hour, minute, second, millisecond, zone));
    return value;
}

// Every field as "year-month-day hour:minute:second.millisecond zone kind", whatever the kind, and
// whether the value is valid.
std::string Described(const CZylDateTime& v) {
    return std::to_string(v.GetYear()) + "-" + std::to_string(v.GetMonth()) + "-" +
           std::to_string(v.GetDay()) + " " + std::to_string(v.GetHour()) + ":" +
           std::to_string(v.GetMinute()) + ":" + std::to_string(v.GetSecond()) + "." +
           std::to_string(v.GetMillisecond()) + " z" + std::to_string(v.GetZone()) + " k" +
           std::to_string(v.GetKind()) + (v.IsValid() ? "" : " invalid");
}

// Which of <, == and > hold for the pair, in that order.
template <typename T> std::string Order(const CZylDateTime& left, const T& right) {
    return std::string(left < right ? "<" : "") + (left == right ? "=" : "") + (left > right ? ">" : "");
}

} // namespace

TEST(ZylDateTimePacking, WordsAndWireBytesMatchTheLayout) {
    const CZylDateTime value = MakeDateTime(2008, 2, 5, 7, 8, 9, 10, 480);
    // kind 1 << 30 | 480 << 19 | 2008 << 4 | 2, and 5 << 27 | 7 << 22 | 8 << 16 | 9 << 10 | 10.
    EXPECT_EQ(std::make_pair(value.GetWord1(), value.GetWord2()), std::make_pair(0x4F007D82u, 0x29C8240Au));
    ZylPayloadWriter writer;
    writer.Write(value);
    const std::vector<uint8_t> bytes = writer.Bytes();
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x4F, 0x00, 0x7D, 0x82, 0x29, 0xC8, 0x24, 0x0A}));
    ZylPayloadReader reader(bytes.data(), 8);
    CZylDateTime back = MakeDateTime(2001, 1, 1);
    reader.Read(back);
    EXPECT_EQ(std::make_pair(back.GetWord1(), back.GetWord2()), std::make_pair(0x4F007D82u, 0x29C8240Au));
    ZylPayloadReader shortReader(bytes.data(), 6);
    CZylDateTime untouched = MakeDateTime(2001, 1, 1);
    EXPECT_THROW(untouched.Read(shortReader), ZylCodecError);
    EXPECT_EQ(Described(untouched), "2001-1-1 0:0:0.0 z0 k1");
    CZylDateTime extremes;
    for (bool set : {extremes.SetKind(CZylDateTime::DateOnly), extremes.SetZone(-300), extremes.SetYear(-5),
                     extremes.SetMonth(12), extremes.SetDay(31), extremes.SetHour(23), extremes.SetMinute(59),
                     extremes.SetSecond(59), extremes.SetMillisecond(999)})
        ASSERT_TRUE(set);
    // Signs in bits 29 and 18, magnitudes beside them.
    EXPECT_EQ(std::make_pair(extremes.GetWord1(), extremes.GetWord2()),
              std::make_pair(0xA964005Cu, 0xFDFBEFE7u));
    EXPECT_EQ(Described(extremes), "-5-12-31 23:59:59.999 z-300 k2");
    // Changing one field leaves its neighbours alone.
    ASSERT_TRUE(extremes.SetZone(840) && extremes.SetYear(9999) && extremes.SetHour(0));
    EXPECT_EQ(Described(extremes), "9999-12-31 0:59:59.999 z840 k2");
    EXPECT_EQ((extremes.GetWord1() >> 19) & 0x7FFu, 840u); // sign clear, magnitude in 28-19
}

TEST(ZylDateTimeSetters, RefusedValuesLeaveNoTraceAndSetDateTimeStopsAtTheFirstBadField) {
    CZylDateTime value;
    EXPECT_TRUE(value.SetZone(1023) && value.SetZone(-1023) && value.SetYear(-9999)); // all the fields hold
    for (bool refused :
         {value.SetZone(-1024), value.SetZone(1024), value.SetYear(10000), value.SetYear(-10000),
          value.SetMonth(0), value.SetMonth(13), value.SetDay(0), value.SetDay(32), value.SetHour(24),
          value.SetMinute(60), value.SetSecond(60), value.SetMillisecond(1000), value.SetKind(4)})
        EXPECT_FALSE(refused);
    EXPECT_EQ(Described(value), "-9999-0-0 0:0:0.0 z-1023 k0 invalid");
    CZylDateTime fresh;
    EXPECT_FALSE(fresh.SetDateTime(2007, 2, 29, 1, 2, 3, 4, 0)); // the date is checked first
    EXPECT_EQ(std::make_pair(fresh.GetWord1(), fresh.GetWord2()), std::make_pair(0u, 0u));
    // The zone is set first: a bad zone leaves only the kind behind.
    EXPECT_FALSE(fresh.SetDateTime(2008, 2, 29, 1, 2, 3, 4, 1100));
    EXPECT_EQ(Described(fresh), "0-0-0 0:0:0.0 z0 k1 invalid");
    EXPECT_FALSE(fresh.SetDateTime(2008, 2, 29, 1, 60, 3, 4, 60));
    EXPECT_EQ(Described(fresh), "2008-2-29 1:0:0.0 z60 k1");
    CZylDateTime partial;
    EXPECT_FALSE(partial.SetTime(12, 30, 60, 0));
    EXPECT_EQ(Described(partial), "0-0-0 12:30:0.0 z0 k3");
    // Date only and time only keep the other fields, just not shown.
    value = MakeDateTime(2008, 2, 5, 7, 8, 9, 10);
    ASSERT_TRUE(value.SetDate(2010, 12, 31));
    EXPECT_FALSE(value.SetDate(2010, 4, 31));
    EXPECT_EQ(value.ToText(), u"2010-12-31");
    EXPECT_EQ(Described(value), "2010-12-31 7:8:9.10 z0 k2");
    ASSERT_TRUE(value.SetTime(23, 59, 58, 999));
    EXPECT_EQ(value.ToText(), u"23:59:58");
    EXPECT_EQ(Described(value), "2010-12-31 23:59:58.999 z0 k3");
}

TEST(ZylDateTimeValidity, LeapYearsMonthLengthsAndTheKind) {
    const auto date = [](int32_t year, uint32_t month, uint32_t day) {
        return CZylDateTime::IsDateValid(year, month, day);
    };
    EXPECT_TRUE(date(2000, 2, 29) && date(2008, 2, 29) && date(2008, 12, 31) && date(-9999, 1, 1));
    EXPECT_FALSE(date(1900, 2, 29) || date(-10000, 1, 1) || date(2007, 2, 29) || date(2008, 2, 30));
    EXPECT_FALSE(date(2008, 4, 31) || date(2008, 13, 1) || date(2008, 1, 0) || date(10000, 1, 1));
    EXPECT_TRUE(CZylDateTime::IsTimeValid(23, 59, 59));
    EXPECT_FALSE(CZylDateTime::IsTimeValid(24, 0, 0) || CZylDateTime::IsTimeValid(0, 60, 0) ||
                 CZylDateTime::IsTimeValid(0, 0, 60));
    // Fields that no setter would accept, as a peer might send them: 30 February, hour 25. Each
    // kind checks the fields it shows; a null value is never valid.
    CZylDateTime value;
    EXPECT_FALSE(value.IsValid());
    value.SetWords((1u << 30) | (2008u << 4) | 2u, (30u << 27) | (25u << 22));
    const auto validAs = [&](uint32_t kind) { return value.SetKind(kind) && value.IsValid(); };
    EXPECT_FALSE(validAs(CZylDateTime::DateTime) || validAs(CZylDateTime::DateOnly));
    value.SetDay(28);
    EXPECT_TRUE(validAs(CZylDateTime::DateOnly));
    EXPECT_FALSE(validAs(CZylDateTime::TimeOnly));
    value.SetHour(23);
    EXPECT_TRUE(validAs(CZylDateTime::TimeOnly) && validAs(CZylDateTime::DateTime));
    EXPECT_FALSE(validAs(CZylDateTime::Null));
}

TEST(ZylDateTimeText, FormsByKindAndTheLenientParserOfTheFiles) {
    EXPECT_EQ(MakeDateTime(2008, 2, 5, 7, 8, 9, 999, -300).ToText(), u"2008-02-05 07:08:09");
    EXPECT_EQ(MakeDateTime(5, 1, 1).ToText(), u"0005-01-01 00:00:00");
    EXPECT_EQ(CZylDateTime().ToText(), u"9999-12-31 23:59:59");
    // What the parser makes of a text over a value.
    const auto parsed = [](std::u16string_view text, CZylDateTime value) {
        const std::string result = value.FromText(text) ? "" : "refused ";
        return result + Described(value);
    };
    // The null text reads back as a late value; the day is checked against 31 only; a leading minus
    // is ignored, and so is what follows the seconds.
    EXPECT_EQ(parsed(CZylDateTime().ToText(), {}), "9999-12-31 23:59:59.0 z0 k1");
    EXPECT_EQ(parsed(u"2008-2-5 7:8:9", {}), "2008-2-5 7:8:9.0 z0 k1");
    EXPECT_EQ(parsed(u"2008-02-30 10:00:00", {}), "2008-2-30 10:0:0.0 z0 k1 invalid");
    EXPECT_EQ(parsed(u"-1999-03-04 05:06:07", {}), "1999-3-4 5:6:7.0 z0 k1");
    EXPECT_EQ(parsed(u"2008-02-05  10:00:00 trailing", {}), "2008-2-5 10:0:0.0 z0 k1");
    // A failed parse keeps what was set before it, and the kind.
    CZylDateTime date;
    ASSERT_TRUE(date.SetDate(2001, 1, 1));
    EXPECT_EQ(parsed(u"2008-13-05 10:00:00", date), "refused 2008-1-1 0:0:0.0 z0 k2");
    EXPECT_EQ(parsed(u"2008-02-05 24:00:00", MakeDateTime(2001, 1, 1, 1, 1, 1)),
              "refused 2008-2-5 1:1:1.0 z0 k1");
    for (std::u16string_view text :
         {u"", u"2008-02", u"2008-02-05", u"10000-01-01 00:00:00", u"2008 02 05 10:00:00",
          u"2008-02-05 10:00", u"2008-02-05 10-00-00", u"2008-02-00 10:00:00", u"2008-02-05 10:60:00",
          u"2008-02-05 10:00:60", u"2008--2-05 10:00:00", u"2008-02-05 -1:00:00", u"2008-02-05 10:-1:00",
          u"2008-02-05 10:00:-1"})
        EXPECT_TRUE(parsed(text, {}).starts_with("refused ") && parsed(text, {}).ends_with(" k0 invalid"))
            << ZylToUtf8(text);
    // Milliseconds and zone are not in the text and stay as they were.
    EXPECT_EQ(parsed(u"2008-02-05 10:20:30", MakeDateTime(2001, 1, 1, 1, 1, 1, 123, 480)),
              "2008-2-5 10:20:30.123 z480 k1");
}

TEST(ZylDateTimeCompare, FieldByFieldWithoutTheZoneAndTheLeftKindDecides) {
    const CZylDateTime base = MakeDateTime(2008, 6, 15, 12, 30, 30, 500);
    for (const CZylDateTime& other :
         {MakeDateTime(2009, 1, 1), MakeDateTime(2008, 7, 1), MakeDateTime(2008, 6, 16),
          MakeDateTime(2008, 6, 15, 13), MakeDateTime(2008, 6, 15, 12, 31),
          MakeDateTime(2008, 6, 15, 12, 30, 31), MakeDateTime(2008, 6, 15, 12, 30, 30, 501)}) {
        EXPECT_EQ(Order(base, other), "<") << ZylToUtf8(other.ToText());
        EXPECT_EQ(Order(other, base), ">") << ZylToUtf8(other.ToText());
    }
    EXPECT_EQ(Order(MakeDateTime(-1, 12, 31), MakeDateTime(0, 1, 1)), "<");
    EXPECT_EQ(Order(MakeDateTime(2008, 6, 15, 12, 30, 30, 500, 480), base), "=");
    CZylDateTime date, time;
    ASSERT_TRUE(date.SetDate(2008, 6, 15) && time.SetTime(12, 0, 0, 0));
    const CZylDateTime laterSameDay = MakeDateTime(2008, 6, 15, 23, 59, 59, 999);
    EXPECT_EQ(Order(date, laterSameDay), "="); // a date compares dates only
    EXPECT_EQ(Order(laterSameDay, date), ">");
    EXPECT_EQ(Order(time, MakeDateTime(1990, 1, 1, 12)), "="); // a time compares times only
    EXPECT_NE(Order(MakeDateTime(1990, 1, 1, 12), time), "=");
    CZylDateTime asDate = laterSameDay; // the same fields under another kind on the right
    asDate.SetKind(CZylDateTime::DateOnly);
    EXPECT_EQ(Order(laterSameDay, asDate), "=");
    const CZylDateTime null;
    EXPECT_EQ(Order(null, null), "");
    EXPECT_EQ(Order(null, laterSameDay), "");
    EXPECT_EQ(Order(laterSameDay, null), ">"); // the right value's (empty) fields are still compared
}

TEST(ZylDateTimeCalendar, TheZoneIsTheStandardOffsetWhateverItsSizeAndSavingAndUniversalFieldsIgnoreIt) {
    struct ZONECASE {
        const char* zone;
        std::time_t when;
        const char* fields;
        int32_t standard;
    };
    const ZONECASE cases[] = {
        {"UTC", FEB_5_2008, "2008-2-5 7:8:9", 0},
        {"CST-8", FEB_5_2008, "2008-2-5 15:8:9", 480},
        {"EST5EDT,M3.2.0,M11.1.0", JUL_2_2008, "2008-7-2 8:0:0", -300}, // an hour of saving
        {"Pacific/Kiritimati", FEB_5_2008, "2008-2-5 21:8:9", 840},     // beyond the old +780
        {"Australia/Lord_Howe", FEB_5_2008, "2008-2-5 18:8:9", 630},    // half an hour of saving
        {"Asia/Kathmandu", FEB_5_2008, "2008-2-5 12:53:9", 345},
        {"America/St_Johns", JUL_2_2008, "2008-7-2 9:30:0", -210},
        {"EST5EDT,0/0,J365/25", FEB_5_2008, "2008-2-5 3:8:9", -300}, // saving all the year
    };
    for (const ZONECASE& c : cases) {
        CZylZoneGuard zone(c.zone);
        CZylDateTime value = MakeDateTime(2001, 1, 1, 1, 1, 1, 777);
        value.SetFromCalendarTime(c.when);
        SCOPED_TRACE(c.zone);
        EXPECT_EQ(Described(value), std::string(c.fields) + ".0 z" + std::to_string(c.standard) + " k1");
        // Compared in the same zone.
        EXPECT_EQ(Order(value, c.when) + Order(value, c.when - 1) + Order(value, c.when + 1), "=><");
    }
    // Universal fields ignore the local zone, and years beyond the value give null.
    CZylZoneGuard zone("CST-8");
    CZylDateTime value;
    value.SetFromUniversalTime(FEB_5_2008);
    EXPECT_EQ(Described(value), "2008-2-5 7:8:9.0 z0 k1");
    EXPECT_EQ(value.ToUniversalTime(), FEB_5_2008);
    CZylDateTime date, time;
    ASSERT_TRUE(date.SetDate(1970, 1, 2) && time.SetTime(1, 0, 0, 0));
    EXPECT_EQ(date.ToUniversalTime(), 86400);
    EXPECT_EQ(time.ToUniversalTime(), -1);
    EXPECT_EQ(CZylDateTime().ToUniversalTime(), -1);
    const std::time_t year10000 = 253402300800; // 10000-01-01 00:00:00 UTC
    value.SetFromUniversalTime(year10000);
    date.SetFromCalendarTime(year10000);
    EXPECT_TRUE(value.GetKind() == CZylDateTime::Null && date.GetKind() == CZylDateTime::Null);
    value.SetFromUniversalTime(year10000 - 1);
    EXPECT_EQ(Described(value), "9999-12-31 23:59:59.0 z0 k1");
}
