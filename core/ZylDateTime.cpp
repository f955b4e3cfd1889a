#include "core/ZylDateTime.h"

#include "core/ZylText.h"

#include "core/ZylPayload.h"

#include <cstdio>

namespace {

// Word 1: kind, zone sign and magnitude, year sign and magnitude, month.
constexpr uint32_t KIND_SHIFT = 30;
constexpr uint32_t ZONE_SIGN = 1u << 29;
constexpr uint32_t ZONE_SHIFT = 19;
constexpr uint32_t ZONE_MASK = 0x3FFu;
constexpr uint32_t YEAR_SIGN = 1u << 18;
constexpr uint32_t YEAR_SHIFT = 4;
constexpr uint32_t YEAR_MASK = 0x3FFFu;
constexpr uint32_t MONTH_MASK = 0xFu;
// Word 2: day, hour, minute, second, millisecond.
constexpr uint32_t DAY_SHIFT = 27;
constexpr uint32_t DAY_MASK = 0x1Fu;
constexpr uint32_t HOUR_SHIFT = 22;
constexpr uint32_t HOUR_MASK = 0x1Fu;
constexpr uint32_t MINUTE_SHIFT = 16;
constexpr uint32_t MINUTE_MASK = 0x3Fu;
constexpr uint32_t SECOND_SHIFT = 10;
constexpr uint32_t SECOND_MASK = 0x3Fu;
constexpr uint32_t MILLISECOND_MASK = 0x3FFu;

constexpr char16_t NULL_TEXT[] = u"9999-12-31 23:59:59";
constexpr std::time_t HALF_YEAR = 182 * 24 * 3600;
constexpr std::time_t QUARTER_YEAR = 91 * 24 * 3600;

// The zone's standard-time offset in seconds east of UTC at that moment. While daylight saving
// time is in effect, the offset of the nearest moment without it is taken, so that zones whose
// saving is not one hour (Lord Howe Island saves 30 minutes) keep their own standard offset.
long StandardOffset(std::time_t calendarTime, const std::tm& local) {
    if (local.tm_isdst <= 0)
        return local.tm_gmtoff;
    for (const std::time_t step : {-HALF_YEAR, HALF_YEAR, -QUARTER_YEAR, QUARTER_YEAR}) {
        const std::time_t probe = calendarTime + step;
        std::tm other{};
        if (localtime_r(&probe, &other) && other.tm_isdst == 0)
            return other.tm_gmtoff;
    }
    return -timezone; // the C library's standard offset of the current rules
}

uint32_t Place(uint32_t word, uint32_t value, uint32_t mask, uint32_t shift) {
    return (word & ~(mask << shift)) | ((value & mask) << shift);
}

template <typename T> int Order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

std::u16string Widen(const char* text) {
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

// The C library's decimal conversion, applied from position to the end of the text.
int32_t ReadNumber(std::u16string_view text, size_t position) {
    return ZylToInt(text.substr(position));
}

} // namespace

bool CZylDateTime::IsLeapYear(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

bool CZylDateTime::IsDateValid(int32_t year, uint32_t month, uint32_t day) {
    static constexpr uint32_t LENGTHS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < -9999 || year > 9999 || month < 1 || month > 12 || day < 1 || day > LENGTHS[month - 1])
        return false;
    return !(month == 2 && day == 29 && !IsLeapYear(year));
}

bool CZylDateTime::IsTimeValid(uint32_t hour, uint32_t minute, uint32_t second) {
    return hour <= 23 && minute <= 59 && second <= 59;
}

bool CZylDateTime::SetKind(uint32_t kind) {
    if (kind > TimeOnly)
        return false;
    m_nWord1 = Place(m_nWord1, kind, 0x3u, KIND_SHIFT);
    return true;
}

bool CZylDateTime::SetZone(int32_t minutes) {
    // The packed field holds any offset up to 1023 minutes either way: zones such as UTC+14 lie
    // beyond the -720 ... +780 that older peers expect, and still travel exactly.
    if (minutes < -ZYL_MAX_ZONE_MINUTES || minutes > ZYL_MAX_ZONE_MINUTES)
        return false;
    const uint32_t magnitude = static_cast<uint32_t>(minutes < 0 ? -minutes : minutes);
    m_nWord1 = Place(m_nWord1, magnitude, ZONE_MASK, ZONE_SHIFT);
    m_nWord1 = minutes < 0 ? (m_nWord1 | ZONE_SIGN) : (m_nWord1 & ~ZONE_SIGN);
    return true;
}

bool CZylDateTime::SetYear(int32_t year) {
    if (year < -9999 || year > 9999)
        return false;
    const uint32_t magnitude = static_cast<uint32_t>(year < 0 ? -year : year);
    m_nWord1 = Place(m_nWord1, magnitude, YEAR_MASK, YEAR_SHIFT);
    m_nWord1 = year < 0 ? (m_nWord1 | YEAR_SIGN) : (m_nWord1 & ~YEAR_SIGN);
    return true;
}

bool CZylDateTime::SetMonth(uint32_t month) {
    if (month < 1 || month > 12)
        return false;
    m_nWord1 = Place(m_nWord1, month, MONTH_MASK, 0);
    return true;
}

bool CZylDateTime::SetDay(uint32_t day) {
    if (day < 1 || day > 31)
        return false;
    m_nWord2 = Place(m_nWord2, day, DAY_MASK, DAY_SHIFT);
    return true;
}

bool CZylDateTime::SetHour(uint32_t hour) {
    if (hour > 23)
        return false;
    m_nWord2 = Place(m_nWord2, hour, HOUR_MASK, HOUR_SHIFT);
    return true;
}

bool CZylDateTime::SetMinute(uint32_t minute) {
    if (minute > 59)
        return false;
    m_nWord2 = Place(m_nWord2, minute, MINUTE_MASK, MINUTE_SHIFT);
    return true;
}

bool CZylDateTime::SetSecond(uint32_t second) {
    if (second > 59)
        return false;
    m_nWord2 = Place(m_nWord2, second, SECOND_MASK, SECOND_SHIFT);
    return true;
}

bool CZylDateTime::SetMillisecond(uint32_t millisecond) {
    if (millisecond > 999)
        return false;
    m_nWord2 = Place(m_nWord2, millisecond, MILLISECOND_MASK, 0);
    return true;
}

bool CZylDateTime::SetDateTime(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                               uint32_t second, uint32_t millisecond, int32_t zone) {
    if (!IsDateValid(year, month, day))
        return false;
    SetKind(DateTime);
    return SetZone(zone) && SetYear(year) && SetMonth(month) && SetDay(day) && SetHour(hour) &&
           SetMinute(minute) && SetSecond(second) && SetMillisecond(millisecond);
}

bool CZylDateTime::SetDate(int32_t year, uint32_t month, uint32_t day) {
    if (!IsDateValid(year, month, day))
        return false;
    SetKind(DateOnly);
    return SetYear(year) && SetMonth(month) && SetDay(day);
}

bool CZylDateTime::SetTime(uint32_t hour, uint32_t minute, uint32_t second, uint32_t millisecond) {
    SetKind(TimeOnly);
    return SetHour(hour) && SetMinute(minute) && SetSecond(second) && SetMillisecond(millisecond);
}

void CZylDateTime::SetFromCalendarTime(std::time_t calendarTime) {
    std::tm local{};
    if (!localtime_r(&calendarTime, &local)) {
        m_nWord1 = m_nWord2 = 0;
        return;
    }
    // The zone is the standard-time offset: daylight saving time is not part of it.
    const long zoneMinutes = StandardOffset(calendarTime, local) / 60;
    // A year beyond what the value holds gives a null value rather than a half-set one.
    if (!SetDateTime(local.tm_year + 1900, static_cast<uint32_t>(local.tm_mon + 1),
                     static_cast<uint32_t>(local.tm_mday), static_cast<uint32_t>(local.tm_hour),
                     static_cast<uint32_t>(local.tm_min), static_cast<uint32_t>(local.tm_sec), 0,
                     static_cast<int32_t>(zoneMinutes)))
        m_nWord1 = m_nWord2 = 0;
}

void CZylDateTime::SetFromUniversalTime(std::time_t calendarTime) {
    std::tm utc{};
    if (!gmtime_r(&calendarTime, &utc) ||
        !SetDateTime(utc.tm_year + 1900, static_cast<uint32_t>(utc.tm_mon + 1),
                     static_cast<uint32_t>(utc.tm_mday), static_cast<uint32_t>(utc.tm_hour),
                     static_cast<uint32_t>(utc.tm_min), static_cast<uint32_t>(utc.tm_sec), 0, 0))
        m_nWord1 = m_nWord2 = 0;
}

std::time_t CZylDateTime::ToUniversalTime() const {
    const Kind kind = GetKind();
    if ((kind != DateTime && kind != DateOnly) || !IsDateValid(GetYear(), GetMonth(), GetDay()))
        return -1;
    std::tm utc{};
    utc.tm_year = GetYear() - 1900;
    utc.tm_mon = static_cast<int>(GetMonth()) - 1;
    utc.tm_mday = static_cast<int>(GetDay());
    if (kind == DateTime) {
        utc.tm_hour = static_cast<int>(GetHour());
        utc.tm_min = static_cast<int>(GetMinute());
        utc.tm_sec = static_cast<int>(GetSecond());
    }
    return timegm(&utc);
}

int32_t CZylDateTime::GetZone() const {
    const auto magnitude = static_cast<int32_t>((m_nWord1 >> ZONE_SHIFT) & ZONE_MASK);
    return (m_nWord1 & ZONE_SIGN) ? -magnitude : magnitude;
}

int32_t CZylDateTime::GetYear() const {
    const auto magnitude = static_cast<int32_t>((m_nWord1 >> YEAR_SHIFT) & YEAR_MASK);
    return (m_nWord1 & YEAR_SIGN) ? -magnitude : magnitude;
}

CZylDateTime::FIELDS CZylDateTime::GetFields() const {
    FIELDS fields;
    fields.year = GetYear();
    fields.month = GetMonth();
    fields.day = GetDay();
    fields.hour = GetHour();
    fields.minute = GetMinute();
    fields.second = GetSecond();
    fields.millisecond = GetMillisecond();
    fields.zone = GetZone();
    return fields;
}

bool CZylDateTime::IsValid() const {
    switch (GetKind()) {
    case DateTime:
        return IsDateValid(GetYear(), GetMonth(), GetDay()) &&
               IsTimeValid(GetHour(), GetMinute(), GetSecond());
    case DateOnly:
        return IsDateValid(GetYear(), GetMonth(), GetDay());
    case TimeOnly:
        return IsTimeValid(GetHour(), GetMinute(), GetSecond());
    default:
        return false;
    }
}

std::u16string CZylDateTime::ToText() const {
    // Nothing the plug-in makes has a negative year; should one arrive from a peer it keeps its
    // sign in front of the usual four digits instead of printing as a huge unsigned number.
    const int32_t year = GetYear();
    const char* sign = year < 0 ? "-" : "";
    const auto magnitude = static_cast<unsigned>(year < 0 ? -year : year);
    char text[96];
    switch (GetKind()) {
    case DateTime:
        std::snprintf(text, sizeof text, "%s%04u-%02u-%02u %02u:%02u:%02u", sign, magnitude, GetMonth(),
                      GetDay(), GetHour(), GetMinute(), GetSecond());
        break;
    case DateOnly:
        std::snprintf(text, sizeof text, "%s%04u-%02u-%02u", sign, magnitude, GetMonth(), GetDay());
        break;
    case TimeOnly:
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", GetHour(), GetMinute(), GetSecond());
        break;
    default:
        return NULL_TEXT;
    }
    return Widen(text);
}

bool CZylDateTime::FromText(std::u16string_view text) {
    constexpr size_t npos = std::u16string_view::npos;
    // Each field is found by searching from the first character of the field before it, so the
    // separators are looked for loosely: this is how the files have always been read.
    const size_t yearAt = (!text.empty() && text[0] == u'-') ? 1 : 0;
    if (!SetYear(ReadNumber(text, yearAt)))
        return false;
    const size_t monthDash = text.find(u'-', yearAt);
    if (monthDash == npos)
        return false;
    const size_t monthAt = monthDash + 1;
    const int32_t month = ReadNumber(text, monthAt);
    if (month < 0 || !SetMonth(static_cast<uint32_t>(month)))
        return false;
    const size_t dayDash = text.find(u'-', monthAt);
    if (dayDash == npos)
        return false;
    const size_t dayAt = dayDash + 1;
    const int32_t day = ReadNumber(text, dayAt);
    if (day < 0 || !SetDay(static_cast<uint32_t>(day)))
        return false;
    const size_t space = text.find(u' ', dayAt);
    if (space == npos)
        return false;
    const size_t hourAt = space + 1;
    const int32_t hour = ReadNumber(text, hourAt);
    if (hour < 0 || !SetHour(static_cast<uint32_t>(hour)))
        return false;
    const size_t minuteColon = text.find(u':', hourAt);
    if (minuteColon == npos)
        return false;
    const size_t minuteAt = minuteColon + 1;
    const int32_t minute = ReadNumber(text, minuteAt);
    if (minute < 0 || !SetMinute(static_cast<uint32_t>(minute)))
        return false;
    const size_t secondColon = text.find(u':', minuteAt);
    if (secondColon == npos)
        return false;
    const int32_t second = ReadNumber(text, secondColon + 1);
    if (second < 0 || !SetSecond(static_cast<uint32_t>(second)))
        return false;
    return SetKind(DateTime);
}

int CZylDateTime::Compare(const CZylDateTime& other) const {
    const Kind kind = GetKind();
    if (kind == Null)
        return 2;
    int order = 0;
    if (kind != TimeOnly) {
        if ((order = Order(GetYear(), other.GetYear())) != 0 ||
            (order = Order(GetMonth(), other.GetMonth())) != 0 ||
            (order = Order(GetDay(), other.GetDay())) != 0)
            return order;
        if (kind == DateOnly)
            return 0;
    }
    if ((order = Order(GetHour(), other.GetHour())) != 0 ||
        (order = Order(GetMinute(), other.GetMinute())) != 0 ||
        (order = Order(GetSecond(), other.GetSecond())) != 0)
        return order;
    return Order(GetMillisecond(), other.GetMillisecond());
}

bool CZylDateTime::operator<(const CZylDateTime& other) const {
    return Compare(other) == -1;
}
bool CZylDateTime::operator>(const CZylDateTime& other) const {
    return Compare(other) == 1;
}
bool CZylDateTime::operator==(const CZylDateTime& other) const {
    return Compare(other) == 0;
}

void CZylDateTime::Read(IZylWordReader& reader) {
    // Both words are taken before either is stored, so a cut-off payload leaves the value whole.
    const uint32_t word1 = reader.ReadUInt32();
    const uint32_t word2 = reader.ReadUInt32();
    SetWords(word1, word2);
}

void CZylDateTime::Write(IZylWordWriter& writer) const {
    writer.WriteInt32(m_nWord1).WriteInt32(m_nWord2);
}
