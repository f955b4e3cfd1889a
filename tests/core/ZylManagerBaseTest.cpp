// What every manager shares: the files held open between pieces of a peer's transfer, found by key
// and path, each closed exactly when its entry goes (two downloads of one file, and the files of one
// transfer or one peer closed together, are served by the serving tests); and the error PDU with its
// exact bytes.
#include "ZylScriptedHost.h"

#include "core/ZylManagerBase.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace fs = std::filesystem;

namespace {

class CZylProbeManager : public CZylManagerBase {
public:
    using CZylManagerBase::CZylManagerBase;
    int32_t WriteHeader(CZylDbWriter&) override { return 0; }
    int32_t ReadHeader(CZylDbReader&) override { return 0; }
    int32_t LoadSave(int32_t) override { return GetDbPath().empty() ? -1 : 0; }
};

class ZylOpenFileTest : public ::testing::Test {
protected:
    void SetUp() override { ZylWriteFileBytes(ZylToFsPath(m_sPath), "0123456789"); }
    static bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
    std::FILE* Open(const std::u16string& path, const char* mode = "rb") {
        std::FILE* file = std::fopen(ZylToFsPath(path).c_str(), mode);
        EXPECT_NE(file, nullptr);
        return file;
    }
    CZylScriptedHost m_host;
    std::u16string m_sPath = m_host.m_sAppPath + u"/Movie.avi";
    CZylProbeManager m_manager{m_host.Plugin()};
};

} // namespace

TEST_F(ZylOpenFileTest, FilesAreFoundByKeyAndByTheExactPathAndOnlyAsTheKindAdded) {
    // A missing stream is not recorded.
    EXPECT_TRUE(m_manager.AddReadFile(7, m_sPath, nullptr) == -1 &&
                m_manager.AddWriteFile(7, m_sPath, nullptr) == -1);
    std::FILE* stream = Open(m_sPath);
    const int fd = ::fileno(stream);
    ASSERT_EQ(m_manager.AddReadFile(7, m_sPath, ZylFilePtr(stream)), 0);
    // Another spelling is another file: "MOVIE.AVI" is never read from the open "Movie.avi".
    const std::u16string other = m_host.m_sAppPath + u"/MOVIE.AVI";
    EXPECT_EQ(m_manager.FindReadFile(other, 7), nullptr);
    EXPECT_EQ(m_manager.RemoveReadFile(7, other), -1);
    EXPECT_EQ(m_manager.FindReadFile(m_sPath, 7), stream);
    EXPECT_EQ(m_manager.FindReadFile(m_sPath, 8), nullptr);
    EXPECT_EQ(m_manager.FindReadFile(m_sPath + u"x", 7), nullptr);
    // A read entry is no write entry, nor is it removed, or closed, as one.
    EXPECT_EQ(m_manager.FindWriteFile(m_sPath, 7), nullptr);
    EXPECT_EQ(m_manager.RemoveWriteFile(7, m_sPath), -1);
    EXPECT_TRUE(IsOpen(fd));
    EXPECT_EQ(m_manager.GetOpenFileCount(), 1u);
    // A write entry the same the other way round; its data is written when it is removed.
    const std::u16string upload = m_host.m_sAppPath + u"/Upload.bin";
    std::FILE* handle = Open(upload, "wb");
    const int writeFd = ::fileno(handle);
    ASSERT_EQ(m_manager.AddWriteFile(9, upload, ZylFilePtr(handle)), 0);
    EXPECT_EQ(m_manager.FindWriteFile(upload, 9), handle);
    EXPECT_EQ(m_manager.FindReadFile(upload, 9), nullptr);
    EXPECT_EQ(m_manager.RemoveReadFile(9, upload), -1);
    std::fputs("abc", handle); // buffered until the entry closes it
    EXPECT_EQ(m_manager.RemoveWriteFile(9, upload), 0);
    EXPECT_EQ(m_manager.RemoveWriteFile(9, upload), -1);
    EXPECT_FALSE(IsOpen(writeFd));
    EXPECT_EQ(fs::file_size(ZylToFsPath(upload)), 3u);
    EXPECT_EQ(m_manager.RemoveReadFile(7, m_sPath), 0);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(m_manager.GetOpenFileCount(), 0u);
}

TEST_F(ZylOpenFileTest, WhatAPeerHoldsIsBoundedAndTheLeastRecentlyUsedFileClosesFirst) {
    const size_t bound = CZylManagerBase::MAX_OPEN_FILES_PER_PEER;
    ASSERT_GE(CZylManagerBase::GetOpenFileBound(), bound + 2);
    auto add = [&](uint32_t key, std::u16string_view user) {
        ASSERT_EQ(m_manager.AddReadFile(key, m_sPath, ZylFilePtr(Open(m_sPath)), user), 0);
    };
    add(1000, u"S3.1000");
    for (uint32_t key = 0; key < bound; ++key)
        add(key, u"S2.1000");
    // Using the oldest entry of the flooding peer keeps it; the next oldest goes instead.
    ASSERT_NE(m_manager.FindReadFile(m_sPath, 0, u"S2.1000"), nullptr);
    add(bound, u"S2.1000");
    add(bound + 1, u"S2.1000");
    EXPECT_EQ(m_manager.GetOpenFileCount(u"S2.1000"), bound);
    EXPECT_EQ(m_manager.FindReadFile(m_sPath, 1), nullptr);
    EXPECT_EQ(m_manager.FindReadFile(m_sPath, 2), nullptr);
    EXPECT_NE(m_manager.FindReadFile(m_sPath, 0), nullptr);
    // Another peer's file (its id in any case) is not the flooding peer's to close.
    EXPECT_NE(m_manager.FindReadFile(m_sPath, 1000, u"s3.1000"), nullptr);
    // Short of descriptors, the least recently used of all goes first.
    ASSERT_TRUE(m_manager.CloseLeastRecentlyUsedFile());
    EXPECT_EQ(m_manager.FindReadFile(m_sPath, 3), nullptr);
    EXPECT_EQ(m_manager.GetOpenFileCount(), bound);
}

TEST(ZylErrorPduOut, ItIsQueuedOnTheRequestChannelWithItsExactBytesAndFailsWithoutAQueue) {
    CZylScriptedHost host;
    CZylProbeManager manager(host.Plugin());
    EXPECT_EQ(manager.SendErrorPdu(8, u"S2.1000"), -1);
    ASSERT_EQ(host.Login(), 0);
    host.Connect(u"S2.1000");
    host.Tick();
    host.m_vCalls.clear();
    EXPECT_EQ(manager.SendErrorPdu(8, u"S2.1000", 0x01020304u, 0x0A0B0C0D), 0);
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(manager.SendErrorPdu(3, u"S2.1000", 0xFFFFFFFEu, 0, data, 3), 0);
    EXPECT_EQ(manager.SendErrorPdu(9, u"S2.1000", 0, 0, nullptr, 5), 0); // a count without data sends none
    host.Tick();
    const auto sent = host.Taken();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& call : sent)
        EXPECT_EQ(std::make_tuple(call.user, call.a2, call.a3), std::make_tuple(u"S2.1000", 1024L, 4117L));
    EXPECT_EQ(sent[0].payload,
              (std::vector<uint8_t>{0, 0, 0, 8, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0}));
    EXPECT_EQ(sent[1].payload, (std::vector<uint8_t>{0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 0,
                                                     3, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(sent[2].payload, (std::vector<uint8_t>{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(manager.SendErrorPdu(8, u"S2.1000"), -1);
}
