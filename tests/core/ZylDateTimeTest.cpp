// The date-and-time value: its packed words (the wire form), text forms, the lenient parser of the
// database files, and comparison.
#include "core/ZylDateTime.h"
#include "core/ZylPayload.h"
#include "core/ZylText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Switches the process's time zone for one test and puts the previous one back.
class CZylZoneGuard {
public:
    explicit CZylZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_bHadZone = true;
            m_sOldZone = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~CZylZoneGuard() {
        if (m_bHadZone)
            ::setenv("TZ", m_sOldZone.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    CZylZoneGuard(const CZylZoneGuard&) = delete;
    CZylZoneGuard& operator=(const CZylZoneGuard&) = delete;

private:
    bool m_bHadZone = false;
    std::string m_sOldZone;
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

void ExpectFields(const CZylDateTime& value, int32_t year, uint32_t month, uint32_t day, uint32_t hour,
                  uint32_t minute, uint32_t second) {
    EXPECT_EQ(value.GetYear(), year);
    EXPECT_EQ(value.GetMonth(), month);
    EXPECT_EQ(value.GetDay(), day);
    EXPECT_EQ(value.GetHour(), hour);
    EXPECT_EQ(value.GetMinute(), minute);
    EXPECT_EQ(value.GetSecond(), second);
}

} // namespace

TEST(ZylDateTimePacking, WordsMatchTheWireLayout) {
    const CZylDateTime value = MakeDateTime(2008, 2, 5, 7, 8, 9, 10, 480);
    // kind 1 << 30 | 480 << 19 | 2008 << 4 | 2, and 5 << 27 | 7 << 22 | 8 << 16 | 9 << 10 | 10.
    EXPECT_EQ(value.GetWord1(), 0x4F007D82u);
    EXPECT_EQ(value.GetWord2(), 0x29C8240Au);

    CZylDateTime extremes;
    ASSERT_TRUE(extremes.SetKind(CZylDateTime::DateOnly));
    ASSERT_TRUE(extremes.SetZone(-300));
    ASSERT_TRUE(extremes.SetYear(-5));
    ASSERT_TRUE(extremes.SetMonth(12));
    ASSERT_TRUE(extremes.SetDay(31));
    ASSERT_TRUE(extremes.SetHour(23));
    ASSERT_TRUE(extremes.SetMinute(59));
    ASSERT_TRUE(extremes.SetSecond(59));
    ASSERT_TRUE(extremes.SetMillisecond(999));
    // Signs in bits 29 and 18, magnitudes beside them.
    EXPECT_EQ(extremes.GetWord1(), 0xA964005Cu);
    EXPECT_EQ(extremes.GetWord2(), 0xFDFBEFE7u);
    EXPECT_EQ(extremes.GetZone(), -300);
    EXPECT_EQ(extremes.GetYear(), -5);
    const CZylDateTime::FIELDS fields = extremes.GetFields();
    EXPECT_EQ(fields.year, -5);
    EXPECT_EQ(fields.month, 12u);
    EXPECT_EQ(fields.day, 31u);
    EXPECT_EQ(fields.millisecond, 999u);
    EXPECT_EQ(fields.zone, -300);

    // Changing one field leaves its neighbours alone.
    ASSERT_TRUE(extremes.SetZone(840));
    ASSERT_TRUE(extremes.SetYear(9999));
    ASSERT_TRUE(extremes.SetHour(0));
    ExpectFields(extremes, 9999, 12, 31, 0, 59, 59);
    EXPECT_EQ(extremes.GetZone(), 840);
    EXPECT_EQ((extremes.GetWord1() >> 19) & 0x7FFu, 840u); // sign clear, magnitude in 28-19
    EXPECT_EQ(extremes.GetKind(), CZylDateTime::DateOnly);
}

TEST(ZylDateTimePacking, WireFormIsWordOneThenWordTwo) {
    const CZylDateTime value = MakeDateTime(2008, 2, 5, 7, 8, 9, 10, 480);
    ZylPayloadWriter writer;
    writer.Write(value);
    const std::vector<uint8_t> bytes = writer.Bytes();
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x4F, 0x00, 0x7D, 0x82, 0x29, 0xC8, 0x24, 0x0A}));

    ZylPayloadReader reader(bytes.data(), static_cast<int32_t>(bytes.size()));
    CZylDateTime back;
    reader.Read(back);
    EXPECT_EQ(back.GetWord1(), value.GetWord1());
    EXPECT_EQ(back.GetWord2(), value.GetWord2());

    ZylPayloadReader shortReader(bytes.data(), 6);
    CZylDateTime untouched = MakeDateTime(2001, 1, 1);
    EXPECT_THROW(untouched.Read(shortReader), ZylCodecError);
    EXPECT_EQ(untouched.ToText(), u"2001-01-01 00:00:00");
}

TEST(ZylDateTimeSetters, FieldRanges) {
    CZylDateTime value;
    EXPECT_TRUE(value.SetZone(840));
    EXPECT_TRUE(value.SetZone(-1023)); // all the packed field holds
    EXPECT_FALSE(value.SetZone(-1024));
    EXPECT_FALSE(value.SetZone(1024));
    EXPECT_EQ(value.GetZone(), -1023);
    EXPECT_TRUE(value.SetYear(-9999));
    EXPECT_FALSE(value.SetYear(10000));
    EXPECT_FALSE(value.SetYear(-10000));
    EXPECT_EQ(value.GetYear(), -9999);
    EXPECT_FALSE(value.SetMonth(0));
    EXPECT_FALSE(value.SetMonth(13));
    EXPECT_FALSE(value.SetDay(0));
    EXPECT_FALSE(value.SetDay(32));
    EXPECT_FALSE(value.SetHour(24));
    EXPECT_FALSE(value.SetMinute(60));
    EXPECT_FALSE(value.SetSecond(60));
    EXPECT_FALSE(value.SetMillisecond(1000));
    EXPECT_FALSE(value.SetKind(4));
    EXPECT_EQ(value.GetKind(), CZylDateTime::Null);
    EXPECT_EQ(value.GetWord2(), 0u); // refused values leave no trace
}

TEST(ZylDateTimeSetters, DateTimeChecksTheDateFirstThenStopsAtTheFirstBadField) {
    CZylDateTime value;
    EXPECT_FALSE(value.SetDateTime(2007, 2, 29, 1, 2, 3, 4, 0));
    EXPECT_EQ(value.GetWord1(), 0u);
    EXPECT_EQ(value.GetWord2(), 0u);

    // The zone is set first: a bad zone leaves only the kind behind.
    EXPECT_FALSE(value.SetDateTime(2008, 2, 29, 1, 2, 3, 4, 1100));
    EXPECT_EQ(value.GetKind(), CZylDateTime::DateTime);
    EXPECT_EQ(value.GetYear(), 0);
    EXPECT_EQ(value.GetDay(), 0u);

    EXPECT_FALSE(value.SetDateTime(2008, 2, 29, 1, 60, 3, 4, 60));
    EXPECT_EQ(value.GetZone(), 60);
    ExpectFields(value, 2008, 2, 29, 1, 0, 0);
}

TEST(ZylDateTimeSetters, DateOnlyAndTimeOnly) {
    CZylDateTime value = MakeDateTime(2008, 2, 5, 7, 8, 9, 10);
    ASSERT_TRUE(value.SetDate(2010, 12, 31));
    EXPECT_EQ(value.GetKind(), CZylDateTime::DateOnly);
    EXPECT_EQ(value.ToText(), u"2010-12-31");
    EXPECT_EQ(value.GetHour(), 7u); // time fields are kept, just not shown
    EXPECT_FALSE(value.SetDate(2010, 4, 31));
    EXPECT_EQ(value.GetMonth(), 12u);

    ASSERT_TRUE(value.SetTime(23, 59, 58, 999));
    EXPECT_EQ(value.GetKind(), CZylDateTime::TimeOnly);
    EXPECT_EQ(value.ToText(), u"23:59:58");
    EXPECT_EQ(value.GetYear(), 2010);

    CZylDateTime partial;
    EXPECT_FALSE(partial.SetTime(12, 30, 60, 0));
    EXPECT_EQ(partial.GetKind(), CZylDateTime::TimeOnly);
    EXPECT_EQ(partial.GetMinute(), 30u);
    EXPECT_EQ(partial.GetSecond(), 0u);
}

TEST(ZylDateTimeValidity, LeapYearsAndMonthLengths) {
    EXPECT_TRUE(CZylDateTime::IsLeapYear(2000));
    EXPECT_TRUE(CZylDateTime::IsLeapYear(2008));
    EXPECT_FALSE(CZylDateTime::IsLeapYear(1900));
    EXPECT_FALSE(CZylDateTime::IsLeapYear(2100));
    EXPECT_FALSE(CZylDateTime::IsLeapYear(2007));
    EXPECT_TRUE(CZylDateTime::IsDateValid(2000, 2, 29));
    EXPECT_FALSE(CZylDateTime::IsDateValid(1900, 2, 29));
    EXPECT_FALSE(CZylDateTime::IsDateValid(2008, 2, 30));
    EXPECT_FALSE(CZylDateTime::IsDateValid(2008, 4, 31));
    EXPECT_TRUE(CZylDateTime::IsDateValid(2008, 12, 31));
    EXPECT_FALSE(CZylDateTime::IsDateValid(2008, 13, 1));
    EXPECT_FALSE(CZylDateTime::IsDateValid(2008, 1, 0));
    EXPECT_FALSE(CZylDateTime::IsDateValid(10000, 1, 1));
    EXPECT_TRUE(CZylDateTime::IsTimeValid(23, 59, 59));
    EXPECT_FALSE(CZylDateTime::IsTimeValid(24, 0, 0));
}

TEST(ZylDateTimeValidity, DependsOnTheKind) {
    CZylDateTime value;
    EXPECT_FALSE(value.IsValid());
    // Fields that no setter would accept, as a peer might send them.
    value.SetWords((1u << 30) | (2008u << 4) | 2u, (30u << 27) | (25u << 22));
    EXPECT_FALSE(value.IsValid());
    value.SetKind(CZylDateTime::DateOnly);
    EXPECT_FALSE(value.IsValid()); // 30 February
    value.SetDay(28);
    EXPECT_TRUE(value.IsValid());
    value.SetKind(CZylDateTime::TimeOnly);
    EXPECT_FALSE(value.IsValid()); // hour 25
    value.SetHour(23);
    EXPECT_TRUE(value.IsValid());
    value.SetKind(CZylDateTime::DateTime);
    EXPECT_TRUE(value.IsValid());
    value.SetKind(CZylDateTime::Null);
    EXPECT_FALSE(value.IsValid());
}

TEST(ZylDateTimeText, FormsByKindAndTheNullText) {
    const CZylDateTime full = MakeDateTime(2008, 2, 5, 7, 8, 9, 999, -300);
    EXPECT_EQ(full.ToText(), u"2008-02-05 07:08:09");
    EXPECT_EQ(MakeDateTime(5, 1, 1).ToText(), u"0005-01-01 00:00:00");
    CZylDateTime date;
    ASSERT_TRUE(date.SetDate(2008, 2, 5));
    EXPECT_EQ(date.ToText(), u"2008-02-05");
    CZylDateTime time;
    ASSERT_TRUE(time.SetTime(7, 8, 9, 0));
    EXPECT_EQ(time.ToText(), u"07:08:09");
    EXPECT_EQ(CZylDateTime().ToText(), u"9999-12-31 23:59:59");

    // The null text reads back as a late, valid value.
    CZylDateTime value;
    ASSERT_TRUE(value.FromText(CZylDateTime().ToText()));
    EXPECT_EQ(value.GetKind(), CZylDateTime::DateTime);
    EXPECT_TRUE(value.IsValid());
    ExpectFields(value, 9999, 12, 31, 23, 59, 59);
}

TEST(ZylDateTimeText, ParsesTheFilesLeniently) {
    CZylDateTime value;
    ASSERT_TRUE(value.FromText(u"2008-2-5 7:8:9"));
    EXPECT_EQ(value.ToText(), u"2008-02-05 07:08:09");

    ASSERT_TRUE(value.FromText(u"2008-02-30 10:00:00")); // the day is checked against 31 only
    EXPECT_FALSE(value.IsValid());

    ASSERT_TRUE(value.FromText(u"-1999-03-04 05:06:07")); // a leading minus is ignored
    EXPECT_EQ(value.GetYear(), 1999);

    ASSERT_TRUE(value.FromText(u"2008-02-05  10:00:00 trailing"));
    EXPECT_EQ(value.ToText(), u"2008-02-05 10:00:00");

    // Milliseconds and zone are not in the text and stay as they were.
    CZylDateTime kept = MakeDateTime(2001, 1, 1, 1, 1, 1, 123, 480);
    ASSERT_TRUE(kept.FromText(u"2008-02-05 10:20:30"));
    EXPECT_EQ(kept.GetMillisecond(), 123u);
    EXPECT_EQ(kept.GetZone(), 480);
    ExpectFields(kept, 2008, 2, 5, 10, 20, 30);
}

TEST(ZylDateTimeText, FailedParseKeepsWhatWasSetAndTheKind) {
    CZylDateTime null;
    EXPECT_FALSE(null.FromText(u"2008-02-05"));
    EXPECT_EQ(null.GetKind(), CZylDateTime::Null);
    EXPECT_EQ(null.ToText(), u"9999-12-31 23:59:59");

    CZylDateTime date;
    ASSERT_TRUE(date.SetDate(2001, 1, 1));
    EXPECT_FALSE(date.FromText(u"2008-13-05 10:00:00"));
    EXPECT_EQ(date.GetKind(), CZylDateTime::DateOnly);
    EXPECT_EQ(date.GetYear(), 2008);
    EXPECT_EQ(date.GetMonth(), 1u);

    CZylDateTime full = MakeDateTime(2001, 1, 1, 1, 1, 1);
    EXPECT_FALSE(full.FromText(u"2008-02-05 24:00:00"));
    ExpectFields(full, 2008, 2, 5, 1, 1, 1);

    for (std::u16string_view text :
         {u"", u"10000-01-01 00:00:00", u"2008 02 05 10:00:00", u"2008-02-05 10:00", u"2008-02-05 10-00-00",
          u"2008-02-00 10:00:00", u"2008-02-05 10:60:00"}) {
        CZylDateTime value;
        EXPECT_FALSE(value.FromText(text));
        EXPECT_EQ(value.GetKind(), CZylDateTime::Null);
    }
}

TEST(ZylDateTimeCompare, FullValuesCompareFieldByFieldWithoutTheZone) {
    const CZylDateTime base = MakeDateTime(2008, 6, 15, 12, 30, 30, 500);
    const std::vector<CZylDateTime> later = {
        MakeDateTime(2009, 1, 1, 0, 0, 0, 0),      MakeDateTime(2008, 7, 1, 0, 0, 0, 0),
        MakeDateTime(2008, 6, 16, 0, 0, 0, 0),     MakeDateTime(2008, 6, 15, 13, 0, 0, 0),
        MakeDateTime(2008, 6, 15, 12, 31, 0, 0),   MakeDateTime(2008, 6, 15, 12, 30, 31, 0),
        MakeDateTime(2008, 6, 15, 12, 30, 30, 501)};
    for (const CZylDateTime& other : later) {
        EXPECT_TRUE(base < other) << ZylToUtf8(other.ToText());
        EXPECT_FALSE(base > other);
        EXPECT_FALSE(base == other);
        EXPECT_TRUE(other > base);
        EXPECT_FALSE(other < base);
    }
    EXPECT_TRUE(MakeDateTime(-1, 12, 31) < MakeDateTime(0, 1, 1));

    // The zone is no field that counts.
    const CZylDateTime east = MakeDateTime(2008, 6, 15, 12, 0, 0, 0, 480);
    const CZylDateTime west = MakeDateTime(2008, 6, 15, 12, 0, 0, 0, -300);
    EXPECT_TRUE(east == west);
    EXPECT_FALSE(east < west);
    EXPECT_FALSE(east > west);
}

TEST(ZylDateTimeCompare, LeftKindDecides) {
    CZylDateTime date;
    ASSERT_TRUE(date.SetDate(2008, 6, 15));
    const CZylDateTime laterSameDay = MakeDateTime(2008, 6, 15, 23, 59, 59, 999);
    EXPECT_TRUE(date == laterSameDay); // a date compares dates only
    EXPECT_FALSE(laterSameDay == date);
    EXPECT_TRUE(laterSameDay > date);

    CZylDateTime time;
    ASSERT_TRUE(time.SetTime(12, 0, 0, 0));
    const CZylDateTime otherYear = MakeDateTime(1990, 1, 1, 12, 0, 0, 0);
    EXPECT_TRUE(time == otherYear); // a time compares times only
    EXPECT_FALSE(otherYear == time);

    // The same fields under another kind on the right still compare equal.
    CZylDateTime asDate = laterSameDay;
    asDate.SetKind(CZylDateTime::DateOnly);
    EXPECT_TRUE(laterSameDay == asDate);

    const CZylDateTime null;
    EXPECT_FALSE(null == null);
    EXPECT_FALSE(null < laterSameDay);
    EXPECT_FALSE(null > laterSameDay);
    EXPECT_TRUE(laterSameDay > null); // the right value's (empty) fields are still compared
}

TEST(ZylDateTimeCalendar, UniversalZone) {
    const CZylDateTime value(FEB_5_2008); // the tests run with TZ=UTC
    EXPECT_EQ(value.GetKind(), CZylDateTime::DateTime);
    ExpectFields(value, 2008, 2, 5, 7, 8, 9);
    EXPECT_EQ(value.GetZone(), 0);
    EXPECT_EQ(value.GetMillisecond(), 0u);
    EXPECT_TRUE(value == FEB_5_2008);
    EXPECT_TRUE(value > FEB_5_2008 - 1);
    EXPECT_TRUE(value < FEB_5_2008 + 1);
}

TEST(ZylDateTimeCalendar, TheZoneIsTheStandardOffsetWhateverItsSizeAndSaving) {
    struct ZONECASE {
        const char* zone;
        std::time_t when;
        uint32_t day, hour, minute, second;
        int32_t standard;
    };
    const ZONECASE cases[] = {
        {"CST-8", FEB_5_2008, 5, 15, 8, 9, 480},
        {"EST5EDT,M3.2.0,M11.1.0", JUL_2_2008, 2, 8, 0, 0, -300}, // an hour of saving
        {"EST5EDT,M3.2.0,M11.1.0", FEB_5_2008, 5, 2, 8, 9, -300},
        {"Pacific/Kiritimati", FEB_5_2008, 5, 21, 8, 9, 840},  // beyond the old +780
        {"Australia/Lord_Howe", FEB_5_2008, 5, 18, 8, 9, 630}, // half an hour of saving
        {"Australia/Lord_Howe", JUL_2_2008, 2, 22, 30, 0, 630},
        {"Asia/Kathmandu", FEB_5_2008, 5, 12, 53, 9, 345},
        {"America/St_Johns", JUL_2_2008, 2, 9, 30, 0, -210},
        {"America/St_Johns", FEB_5_2008, 5, 3, 38, 9, -210},
    };
    for (const ZONECASE& c : cases) {
        CZylZoneGuard zone(c.zone);
        CZylDateTime value = MakeDateTime(2001, 1, 1, 1, 1, 1, 777);
        value.SetFromCalendarTime(c.when);
        SCOPED_TRACE(std::string(c.zone) + " at " + std::to_string(c.when));
        ASSERT_EQ(value.GetKind(), CZylDateTime::DateTime);
        ExpectFields(value, 2008, c.when == FEB_5_2008 ? 2 : 7, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(value.GetMillisecond(), 0u);
        EXPECT_EQ(value.GetZone(), c.standard);
        EXPECT_TRUE(value == c.when); // compared in the same zone
        EXPECT_NE(value.ToText(), u"9999-12-31 23:59:59");
    }
}

TEST(ZylDateTimeCalendar, UniversalFieldsIgnoreTheLocalZone) {
    CZylZoneGuard zone("CST-8");
    CZylDateTime value;
    value.SetFromUniversalTime(FEB_5_2008);
    ExpectFields(value, 2008, 2, 5, 7, 8, 9);
    EXPECT_EQ(value.GetZone(), 0);
    EXPECT_EQ(value.ToUniversalTime(), FEB_5_2008);

    CZylDateTime date;
    ASSERT_TRUE(date.SetDate(1970, 1, 2));
    EXPECT_EQ(date.ToUniversalTime(), 86400);
    CZylDateTime time;
    ASSERT_TRUE(time.SetTime(1, 0, 0, 0));
    EXPECT_EQ(time.ToUniversalTime(), -1);
    EXPECT_EQ(CZylDateTime().ToUniversalTime(), -1);
}

TEST(ZylDateTimeCalendar, YearsBeyondTheValueGiveNull) {
    const std::time_t year10000 = 253402300800; // 10000-01-01 00:00:00 UTC
    CZylDateTime value = MakeDateTime(2008, 1, 1);
    value.SetFromCalendarTime(year10000);
    EXPECT_EQ(value.GetKind(), CZylDateTime::Null);
    EXPECT_EQ(value.ToText(), u"9999-12-31 23:59:59");
    value.SetFromUniversalTime(year10000 - 1);
    EXPECT_EQ(value.ToText(), u"9999-12-31 23:59:59");
    EXPECT_EQ(value.GetKind(), CZylDateTime::DateTime);
}
