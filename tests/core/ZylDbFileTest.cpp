// The line reader and writer of the share and task databases: 16-bit little-endian units, one
// line feed per line, and a replacement that never leaves a damaged file behind. (Setting a damaged
// or foreign file aside is the database tests' part.)
#include "core/ZylDbFile.h"

#include "core/ZylPath.h"
#include "support/ZylScratchMount.h"
#include "support/ZylTempDir.h"
#include "support/ZylTestFiles.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

CZylDbReader ReaderOf(std::u16string text) {
    CZylDbReader reader;
    reader.SetText(std::move(text));
    return reader;
}

} // namespace

TEST(ZylDbReaderLines, LinesAreReadIn323UnitPiecesTheLineFeedCountingAndOnlyItIsRemovedThenValuesAndNumbers) {
    CZylDbReader reader = ReaderOf(std::u16string(400, u'x') + u"\n" + std::u16string(322, u'a') + u"\n" +
                                   std::u16string(323, u'b') + u"\nB=1\na\r\nlast without end");
    EXPECT_EQ(reader.ReadLine(), std::u16string(323, u'x'));
    EXPECT_EQ(reader.ReadLine(), std::u16string(77, u'x'));
    EXPECT_EQ(reader.ReadLine(), std::u16string(322, u'a')); // 322 units and the line feed fill one read
    EXPECT_EQ(reader.ReadLine(), std::u16string(323, u'b')); // 323 leave the line feed for the next
    EXPECT_EQ(reader.ReadLine(), u"");
    EXPECT_EQ(reader.ReadIntLine(), 1);
    EXPECT_EQ(reader.ReadLine(), u"a\r"); // carriage returns are text like any other
    EXPECT_FALSE(reader.AtEnd());
    EXPECT_EQ(reader.ReadLine(), u"last without end");
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(ReaderOf(u"odd\u0A0D").ReadLine(), u"odd");
    // Values after the first "=", and numbers.
    CZylDbReader values = ReaderOf(u"TaskNum=3\nabc\nPath=C:\\a=b\nName= spaced value \nSize= -42x\n"
                                   u"Type=\nbFolder=yes\n");
    EXPECT_EQ(values.ReadIntLine(), 3);
    EXPECT_EQ(values.ReadValueLine(), u"abc");
    EXPECT_EQ(values.ReadValueLine(), u"C:\\a=b");
    EXPECT_EQ(values.ReadValueLine(), u" spaced value ");
    EXPECT_EQ(values.ReadIntLine(), -42);
    EXPECT_EQ(values.ReadValueLine(), u"");
    EXPECT_EQ(values.ReadIntLine(), 0);
    // Past the end every line is empty and every number 0.
    EXPECT_TRUE(values.AtEnd());
    EXPECT_EQ(values.ReadValueLine() + values.ReadLine(), u"");
    EXPECT_EQ(values.ReadIntLine(), 0);
}

TEST(ZylDbReaderHeader, ScansLikeAFormattedReadAndAMismatchGivesNothing) {
    CZylDbReader reader = ReaderOf(u"#zyl  share\tfile, version=Beta0.1\n#id=S12.1000\n\n\nNoUpload=1\n");
    EXPECT_EQ(reader.ScanHeader(u"#zyl share file, version="), u"Beta0.1");
    EXPECT_EQ(reader.ScanHeader(u"#id="), u"S12.1000");
    EXPECT_EQ(reader.ReadIntLine(), 1); // the empty lines after the header are skipped
    EXPECT_FALSE(ReaderOf(u"").ScanHeader(u"#id="));
    EXPECT_FALSE(ReaderOf(u"#id=").ScanHeader(u"#id="));
    // The token ends at white space; what follows is left for the next read.
    CZylDbReader spaced = ReaderOf(u"#id=S12 .1000\n");
    EXPECT_EQ(spaced.ScanHeader(u"#id="), u"S12");
    EXPECT_EQ(spaced.ReadLine(), u".1000");
}

TEST(ZylDbFiles, ACommitWritesLittleEndianUnitsWithLineFeedsOrLeavesThePreviousFileAndAMissingOneIsNone) {
    CZylTempDir temp;
    const std::u16string path = temp.WidePath(u"fss-S12.1000.fsd");
    CZylDbWriter writer;
    for (std::u16string_view line : {u"A=1", u"\u00E9\u4E2D", u""})
        writer.WriteLine(line);
    ZylWriteFileBytes(ZylToFsPath(path), std::string(100, 'z')); // a commit replaces the whole file
    ASSERT_TRUE(writer.Commit(path));
    const std::string previous("A\0=\0001\0\n\0\xE9\0\x2D\x4E\n\0\n\0", 16);
    EXPECT_EQ(ZylReadFileBytes(ZylToFsPath(path)), previous);
    EXPECT_FALSE(fs::exists(ZylToFsPath(path + u".tmp")));
    // A full disk: every write fails.
    CZylDbWriter other;
    other.WriteLine(u"x");
    fs::create_symlink("/dev/full", ZylToFsPath(path + u".tmp"));
    EXPECT_FALSE(other.Commit(path));
    EXPECT_EQ(ZylReadFileBytes(ZylToFsPath(path)), previous);
    // The temporary name is taken by a folder: the file cannot even be created.
    fs::remove(ZylToFsPath(path + u".tmp"));
    fs::create_directory(ZylToFsPath(path + u".tmp"));
    EXPECT_FALSE(other.Commit(path));
    EXPECT_EQ(ZylReadFileBytes(ZylToFsPath(path)), previous);
    EXPECT_FALSE(other.Commit(temp.WidePath(u"missing/fss.fsd")));
    // A missing file is no database; a file already gone counts as removed.
    CZylDbReader reader;
    EXPECT_FALSE(reader.Open(temp.WidePath(u"none.fsd")) || reader.IsOpen());
    EXPECT_TRUE(ZylRemoveFile(path));
    EXPECT_FALSE(fs::exists(ZylToFsPath(path)));
    EXPECT_TRUE(ZylRemoveFile(path));
    EXPECT_FALSE(ZylAppendToFile(temp.WidePath(u"missing/fs.log"), "x"));
    EXPECT_EQ(ZylToUtf16Le(u"A\u4E2D"), std::string("A\0\x2D\x4E", 4));
    EXPECT_EQ(ZylFromUtf16Le(std::string("A\0\x2D\x4E\x7F", 5)), u"A\u4E2D"); // a stray odd byte is dropped
    // A disk that fills part way through, where flushing what was written still succeeds.
    CZylScratchMount mount;
    if (mount.Mount(temp.Path() / "small", 64 * 1024).empty()) {
        const std::u16string small = temp.WidePath(u"small/fss.fsd");
        ZylWriteFileBytes(ZylToFsPath(small), previous);
        CZylDbWriter big;
        big.WriteLine(std::u16string(100000, u'x'));
        EXPECT_FALSE(big.Commit(small));
        EXPECT_EQ(ZylReadFileBytes(ZylToFsPath(small)), previous);
        // Full to the last byte: a short append is taken into the buffer and fails when closed.
        ZylWriteFileBytes(temp.Path() / "small" / "filler", std::string(128 * 1024, 'f'));
        EXPECT_FALSE(ZylAppendToFile(temp.WidePath(u"small/fs.log"), "line"));
    }
}
