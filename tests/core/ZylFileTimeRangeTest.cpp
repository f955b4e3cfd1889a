// Modification times at the edges of what the file clock holds: a peer's upload or file list can
// carry any year from -9999 to 9999, and a file on disk any time the clock can express.
#include "core/ZylPath.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

CZylDateTime ZylYear(int32_t year) {
    CZylDateTime value;
    EXPECT_TRUE(value.SetDateTime(year, 6, 1, 12, 0, 0, 0, 0));
    return value;
}

} // namespace

TEST(ZylFileTimeRange, YearsBeyondTheFileClockAreNotConverted) {
    fs::file_time_type fileTime{};
    EXPECT_FALSE(ZylTimeToFileTime(ZylYear(9999), fileTime));
    EXPECT_FALSE(ZylTimeToFileTime(ZylYear(-9999), fileTime));
    EXPECT_FALSE(ZylTimeToFileTime(ZylYear(1), fileTime));
    EXPECT_EQ(fileTime, fs::file_time_type{}); // left as it was
}

TEST(ZylFileTimeRange, FarYearsWithinTheFileClockConvertBothWays) {
    // 2300 and 2400 lie beyond nanoseconds since 1970 but within the file clock (the disk may not
    // hold them, so the conversions are checked without it).
    for (int32_t year : {1900, 2008, 2300, 2400}) {
        fs::file_time_type fileTime;
        ASSERT_TRUE(ZylTimeToFileTime(ZylYear(year), fileTime)) << year;
        CZylDateTime back;
        ASSERT_TRUE(FileTimeToZylTime(fileTime, back)) << year;
        EXPECT_EQ(back.ToText(), ZylYear(year).ToText());
    }
}

TEST(ZylFileTimeRange, TheFileClocksOwnEndsReadAsDates) {
    CZylDateTime first, last;
    ASSERT_TRUE(FileTimeToZylTime(fs::file_time_type::min(), first));
    ASSERT_TRUE(FileTimeToZylTime(fs::file_time_type::max(), last));
    EXPECT_LT(first.GetYear(), 2000);
    EXPECT_GT(last.GetYear(), 2300);
}
