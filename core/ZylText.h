// Wide-text helpers: the one case-insensitive compare, conversions to UTF-8 for the file system and
// for formatting, and the C-library style number conversion the database files rely on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

// Simple case folding of each UTF-16 unit (ASCII, Latin-1, Greek, Cyrillic and the other
// one-to-one foldings of the Basic Multilingual Plane that matter for names and paths).
char16_t ZylFoldCase(char16_t c);
int ZylCompareNoCase(std::u16string_view a, std::u16string_view b);
inline bool ZylEqualNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && ZylCompareNoCase(a, b) == 0;
}
bool ZylStartsWithNoCase(std::u16string_view text, std::u16string_view prefix);

// Standard UTF-8 with surrogate pairs joined: for file names, Qt and terminal output. Unpaired
// surrogates become U+FFFD. Invalid UTF-8 bytes become U+FFFD.
std::string ZylToUtf8(std::u16string_view text);
std::u16string ZylFromUtf8(std::string_view text);

// Like the C library's decimal conversion: leading white space, an optional sign, digits up to the
// first other character; 0 when there are none. Wraps like a 32-bit signed value.
int32_t ZylToInt(std::u16string_view text);
// The decimal text of a number, as the database files write it.
inline std::u16string ZylFromInt(int64_t value) {
    return ZylFromUtf8(std::to_string(value));
}

// Formats with fmt in UTF-8 and gives the wide result; wide arguments go through ZylToUtf8 first.
template <typename... Args> std::u16string ZylFormat(fmt::format_string<Args...> format, Args&&... args) {
    return ZylFromUtf8(fmt::format(format, std::forward<Args>(args)...));
}

// Copies at most limit - 1 units and a terminator into a fixed wide buffer of limit units.
void ZylCopyToBuffer(char16_t* target, size_t limit, std::u16string_view text);
// The text of a terminated wide buffer of at most limit units (stops at the limit without a 0).
std::u16string ZylFromBuffer(const char16_t* buffer, size_t limit);
