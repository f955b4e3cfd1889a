// Share paths and local paths, and the folder helpers built on them.
#include "core/ZylPath.h"

#include "support/ZylTempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

TEST(ZylPathSafety, RefusesEscapesAndEmptyComponents) {
    // Only "." and ".." are special.
    for (std::u16string_view path : {u"", u"a", u"a/b c/d.txt", u"...", u"..a/b.."})
        EXPECT_TRUE(ZylIsSafeRelativePath(path, u'/')) << ZylToFsPath(path);
    EXPECT_TRUE(ZylIsSafeRelativePath(u"a\\b", u'\\'));
    for (std::u16string_view path :
         {u"/a", u"\\a", u"a//b", u"a/", u".", u"..", u"./a", u"a/../b", u"a/..", u"a\\b", u"..\\x"})
        EXPECT_FALSE(ZylIsSafeRelativePath(path, u'/')) << ZylToFsPath(path);
    for (std::u16string_view path : {u"\\a", u"a\\\\b", u"a\\", u"..", u"a\\..\\b", u"a/b", u"../x", u"/a"})
        EXPECT_FALSE(ZylIsSafeRelativePath(path, u'\\')) << ZylToFsPath(path);
    EXPECT_FALSE(ZylIsSafeRelativePath(std::u16string_view(u"a\0b", 3), u'/'));
}

TEST(ZylPathJoin, OneSeparatorBetweenAndTheShareAndLocalForms) {
    EXPECT_EQ(ZylJoinPath(u"/home/u/", u"f.txt"), u"/home/u/f.txt");
    EXPECT_EQ(ZylJoinPath(u"/home/u//", u"f.txt"), u"/home/u//f.txt"); // only one is removed
    EXPECT_EQ(ZylJoinPath(u"Music\\", u"a\\b.mp3", u'\\'), u"Music\\a\\b.mp3");
    EXPECT_EQ(ZylShareToLocalPath(u"Music\\2008\\a.mp3"), u"Music/2008/a.mp3");
    EXPECT_EQ(ZylLocalToSharePath(u"Music/2008/a.mp3"), u"Music\\2008\\a.mp3");
    EXPECT_EQ(ZylAfterFirstComponent(u"Music\\2008\\a.mp3", u'\\'), u"2008\\a.mp3");
    EXPECT_EQ(ZylFirstComponent(u"Music", u'\\'), u"Music");
    EXPECT_EQ(ZylLastComponent(u"Music", u'\\'), u"Music");
    EXPECT_EQ(ZylAfterFirstComponent(u"Music", u'\\'), u"");
    EXPECT_EQ(ZylTrimTrailingSeparator(u"a/", u'/'), u"a");
    EXPECT_EQ(ZylTrimTrailingSeparator(u"a", u'/'), u"a");
}

TEST(ZylPathFolders, CreatesEveryMissingParentAndInsideFollowsSymbolicLinks) {
    CZylTempDir temp;
    EXPECT_TRUE(ZylCreateDirectory(temp.WidePath(u"a/b/\u6587\u4EF6/")));
    EXPECT_TRUE(fs::is_directory(ZylToFsPath(temp.WidePath(u"a/b/\u6587\u4EF6"))));
    EXPECT_TRUE(ZylCreateDirectory(temp.WidePath(u"a/b"))); // an existing folder is fine
    std::ofstream(temp.Path() / "file") << "x";
    EXPECT_FALSE(ZylCreateDirectory(temp.WidePath(u"file/below")));
    EXPECT_FALSE(ZylCreateDirectory(temp.WidePath(u"file")));
    const fs::path root = temp.Path() / "root", rootless = temp.Path() / "rootless";
    fs::create_directories(root / "sub");
    fs::create_directories(rootless);
    fs::create_directory_symlink(rootless, root / "escape");
    EXPECT_TRUE(ZylIsInside(root, root));
    EXPECT_TRUE(ZylIsInside(root, root / "sub" / "new.txt"));
    EXPECT_FALSE(ZylIsInside(root, rootless));
    EXPECT_FALSE(ZylIsInside(root, root / "escape" / "x"));
    EXPECT_FALSE(ZylIsInside(root, root / ".." / "rootless"));
}

// Modification times are universal fields, at the edges of what the file clock holds: a peer's upload
// or file list can carry any year from -9999 to 9999, and a file on disk any time the clock can express.
TEST(ZylFileTimes, AreUniversalFieldsAndYearsBeyondTheFileClockAreNotConvertedAndFarOnesWithinItBothWays) {
    CZylDateTime value, back, date, time; // a date alone is its midnight; a time alone is no file time
    fs::file_time_type fileTime{};
    ASSERT_TRUE(value.SetDateTime(2008, 2, 5, 7, 8, 9, 250, 0));
    ASSERT_TRUE(ZylTimeToFileTime(value, fileTime) && FileTimeToZylTime(fileTime, back));
    EXPECT_EQ(back.ToText(), u"2008-02-05 07:08:09");
    EXPECT_EQ(std::make_pair(back.GetMillisecond(), back.GetZone()), std::make_pair(250u, 0));
    EXPECT_EQ(back.ToUniversalTime(), 1202195289);
    ASSERT_TRUE(date.SetDate(2008, 2, 5) && time.SetTime(1, 2, 3, 0));
    ASSERT_TRUE(ZylTimeToFileTime(date, fileTime) && FileTimeToZylTime(fileTime, back));
    EXPECT_EQ(back.ToText(), u"2008-02-05 00:00:00");
    const auto year = [](int32_t number) {
        CZylDateTime noon;
        EXPECT_TRUE(noon.SetDateTime(number, 6, 1, 12, 0, 0, 0, 0));
        return noon;
    };
    const fs::file_time_type before = fileTime;
    for (const CZylDateTime& refused : {time, CZylDateTime(), year(9999), year(-9999), year(1)})
        EXPECT_FALSE(ZylTimeToFileTime(refused, fileTime)) << refused.GetYear();
    EXPECT_EQ(fileTime, before); // left as it was
    // 2300 and 2400 lie beyond nanoseconds since 1970 but within the file clock (the disk may not
    // hold them, so the conversions are checked without it).
    for (int32_t number : {1900, 2300, 2400}) {
        ASSERT_TRUE(ZylTimeToFileTime(year(number), fileTime) && FileTimeToZylTime(fileTime, back)) << number;
        EXPECT_EQ(back.ToText(), year(number).ToText());
    }
    CZylDateTime first, last; // the file clock's own ends read as dates
    ASSERT_TRUE(FileTimeToZylTime(fs::file_time_type::min(), first));
    ASSERT_TRUE(FileTimeToZylTime(fs::file_time_type::max(), last));
    EXPECT_LT(first.GetYear(), 2000);
    EXPECT_GT(last.GetYear(), 2300);
}
