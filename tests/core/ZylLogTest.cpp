// The running log "fs.log": the exact bytes of its lines, the batches of 400, what reaches the file
// at logout and unload, lines cut to the buffer, and a file that cannot be opened.
#include "ZylScriptedHost.h"

#include "core/ZylLog.h"
#include "core/ZylPlatform.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {
class ZylLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZylUseUniversalTime();
        ASSERT_EQ(m_log.Open(m_temp.WidePath() + u"/", nullptr), 0); // one trailing separator is dropped
    }
    static std::u16string Number(int n) { return ZylFromUtf8(std::to_string(n)); }
    fs::path File() const { return m_temp.Path() / "fs.log"; }
    // The file's text, read as 16-bit little-endian units; a byte-order mark or an odd byte would show.
    std::u16string Text() const {
        EXPECT_EQ(fs::file_size(File()) % 2, 0u);
        return ZylReadUtf16LeFile(File());
    }
    // The lines of one batch, numbered from 1, as the log writes them.
    static std::u16string Batch(int level, int count) {
        std::u16string batch;
        for (int i = 1; i <= count; ++i)
            batch += ZYL_TIME + u"\t" + Number(level) + u"\t" + Number(i) + u"\n";
        return batch;
    }
    CZylTempDir m_temp;
    CZylFakePlatform m_platform;
    CZylLog m_log{m_platform};
};
} // namespace

TEST_F(ZylLogTest, ThreeHundredNinetyNineLinesWaitAndTheFourHundredthWritesAllOfThemExactly) {
    std::u16string expected;
    for (int i = 1; i <= 399; ++i) {
        ASSERT_GT(m_log.WriteLine(i % 4, u"line " + Number(i)), 0);
        expected += ZYL_TIME + u"\t" + Number(i % 4) + u"\tline " + Number(i) + u"\n";
    }
    EXPECT_EQ(m_log.GetPath(), m_temp.WidePath(u"fs.log"));
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(m_log.GetPendingCount(), 399u);
    // Each line carries the time at which it was written.
    m_platform.m_nCalendarTime = 1200000000 + 61;
    ASSERT_GT(m_log.WriteLine(1, u"\u6587\u4EF6 last"), 0);
    expected += u"2008-01-10 21:21:01\t1\t\u6587\u4EF6 last\n";
    EXPECT_EQ(m_log.GetPendingCount(), 0u);
    EXPECT_EQ(Text(), expected);
    EXPECT_EQ(m_log.GetLineCount(), 400u);
    // The next batch is appended.
    for (int i = 0; i < 400; ++i)
        m_log.WriteLine(3, u"more");
    EXPECT_EQ(Text().size(),
              expected.size() + 400 * std::u16string(u"2008-01-10 21:21:01\t3\tmore\n").size());
}

TEST_F(ZylLogTest, AMessageLongerThanTheLineIsCutToTwoHundredFiftyNineCharacters) {
    std::u16string expected; // the time, the level and two tabs take 22 of the 259
    for (auto [length, c] : {std::pair{237, u'a'}, {238, u'b'}, {300, u'c'}}) {
        EXPECT_EQ(m_log.WriteLine(3, std::u16string(length, c)), 259);
        expected += ZYL_TIME + u"\t3\t" + std::u16string(237, c) + u"\n";
    }
    EXPECT_EQ(m_log.WriteLine(12345, std::u16string(300, u'd')), 259);
    EXPECT_EQ(m_log.Flush(), 0);
    EXPECT_EQ(Text(), expected + ZYL_TIME + u"\t12345\t" + std::u16string(233, u'd') + u"\n");
}

TEST_F(ZylLogTest, AFileThatCannotBeOpenedKeepsTheLinesForTheNextBatch) {
    fs::create_directory(File()); // "fs.log" is a folder: it cannot be opened for appending
    for (int i = 1; i <= 400; ++i)
        ASSERT_GT(m_log.WriteLine(3, Number(i)), 0);
    EXPECT_EQ(m_log.Flush(), -1);
    EXPECT_EQ(m_log.GetPendingCount(), 400u);
    fs::remove(File());
    ASSERT_GT(m_log.WriteLine(3, Number(401)), 0);
    EXPECT_EQ(m_log.GetPendingCount(), 0u);
    EXPECT_EQ(Text(), Batch(3, 401));
}

TEST_F(ZylLogTest, ABatchThatWouldPassFourMebibytesMovesTheFileAsideAndOneOlderFileIsKept) {
    const fs::path older = m_temp.Path() / "fs.log.1";
    const std::u16string batch = Batch(1, 400);
    // A batch that still fits is appended; the next moves the full file aside and starts anew.
    const std::string full(CZylLog::ROTATE_SIZE - batch.size() * 2, 'a');
    ZylWriteFileBytes(File(), full);
    for (int round = 0; round < 2; ++round) {
        for (int i = 1; i <= 400; ++i)
            m_log.WriteLine(1, Number(i));
        EXPECT_EQ(fs::exists(older), round == 1);
    }
    EXPECT_EQ(Text(), batch);
    EXPECT_EQ(ZylReadFileBytes(older).substr(0, full.size()), full);
    EXPECT_EQ(fs::file_size(older), CZylLog::ROTATE_SIZE);
    // Only one older file: the next move replaces it.
    ZylWriteFileBytes(File(), std::string(CZylLog::ROTATE_SIZE, 'b'));
    m_log.WriteLine(1, u"last");
    ASSERT_EQ(m_log.Flush(), 0);
    EXPECT_EQ(ZylReadFileBytes(older), std::string(CZylLog::ROTATE_SIZE, 'b'));
    EXPECT_EQ(Text(), ZYL_TIME + u"\t1\tlast\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_temp.Path()), fs::directory_iterator()), 2);
}
