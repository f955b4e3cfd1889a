// The plug-in's one date-and-time value: packed in two 32-bit words that travel as they are on the
// wire, with the text form "yyyy-mm-dd hh:mm:ss" of the database files and the log.
#pragma once

#include "zylfs/ZylPlugin.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// The largest zone offset, in minutes either way, that the packed value holds.
inline constexpr int32_t ZYL_MAX_ZONE_MINUTES = 1023;

class CZylDateTime : public ZylSerializable {
public:
    enum Kind : uint32_t { Null = 0, DateTime = 1, DateOnly = 2, TimeOnly = 3 };

    struct FIELDS {
        int32_t year = 0;
        uint32_t month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
        int32_t zone = 0; // minutes east of UTC
    };

    CZylDateTime() = default;
    CZylDateTime(const CZylDateTime&) = default;
    CZylDateTime& operator=(const CZylDateTime&) = default;
    // The local time of a calendar time; null when the conversion fails.
    explicit CZylDateTime(std::time_t calendarTime) { SetFromCalendarTime(calendarTime); }

    // Checks the date, sets kind 1, then zone, year, month, day, hour, minute, second and
    // millisecond in that order; the first failing step answers false and keeps what was set.
    bool SetDateTime(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                     uint32_t second, uint32_t millisecond, int32_t zone);
    bool SetDate(int32_t year, uint32_t month, uint32_t day);
    bool SetTime(uint32_t hour, uint32_t minute, uint32_t second, uint32_t millisecond);
    bool SetKind(uint32_t kind);
    bool SetZone(int32_t minutes);
    bool SetYear(int32_t year);
    bool SetMonth(uint32_t month);
    bool SetDay(uint32_t day);
    bool SetHour(uint32_t hour);
    bool SetMinute(uint32_t minute);
    bool SetSecond(uint32_t second);
    bool SetMillisecond(uint32_t millisecond);

    // Local broken-down time with the standard-time zone offset; null when it fails.
    void SetFromCalendarTime(std::time_t calendarTime);
    // A value whose fields are universal time (file modification times), zone 0.
    void SetFromUniversalTime(std::time_t calendarTime);
    // The seconds since 1970 of the fields read as universal time; -1 for a value without a date.
    std::time_t ToUniversalTime() const;

    Kind GetKind() const { return static_cast<Kind>(m_nWord1 >> 30); }
    int32_t GetZone() const;
    int32_t GetYear() const;
    uint32_t GetMonth() const { return m_nWord1 & 0xF; }
    uint32_t GetDay() const { return m_nWord2 >> 27; }
    uint32_t GetHour() const { return (m_nWord2 >> 22) & 0x1F; }
    uint32_t GetMinute() const { return (m_nWord2 >> 16) & 0x3F; }
    uint32_t GetSecond() const { return (m_nWord2 >> 10) & 0x3F; }
    uint32_t GetMillisecond() const { return m_nWord2 & 0x3FF; }
    FIELDS GetFields() const;

    uint32_t GetWord1() const { return m_nWord1; }
    uint32_t GetWord2() const { return m_nWord2; }
    void SetWords(uint32_t word1, uint32_t word2) { m_nWord1 = word1, m_nWord2 = word2; }

    bool IsValid() const;
    // Kind 1, 2, 3 as their text forms; a null value as "9999-12-31 23:59:59".
    std::u16string ToText() const;
    // Only the date-and-time form is parsed; the result is kind 1. A failure keeps the fields set
    // before it and leaves the kind as it was.
    bool FromText(std::u16string_view text);

    static bool IsLeapYear(int32_t year);
    static bool IsDateValid(int32_t year, uint32_t month, uint32_t day);
    static bool IsTimeValid(uint32_t hour, uint32_t minute, uint32_t second);

    // Decided by the kind of the left value; the zone is never compared; null compares false.
    bool operator<(const CZylDateTime& other) const;
    bool operator>(const CZylDateTime& other) const;
    bool operator==(const CZylDateTime& other) const;
    bool operator<(std::time_t other) const { return *this < CZylDateTime(other); }
    bool operator>(std::time_t other) const { return *this > CZylDateTime(other); }
    bool operator==(std::time_t other) const { return *this == CZylDateTime(other); }

    void Read(IZylWordReader& reader) override;
    void Write(IZylWordWriter& writer) const override;

private:
    int Compare(const CZylDateTime& other) const; // -1, 0, 1; 2 for a null left value

    uint32_t m_nWord1 = 0;
    uint32_t m_nWord2 = 0;
};
