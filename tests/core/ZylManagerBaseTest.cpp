// What every manager shares: the files held open between pieces of a peer's transfer, found by key
// and path, each closed exactly when its entry goes (two downloads of one file are served by the
// serving tests); and the error PDU with its exact bytes.
#include "ZylScriptedHost.h"

#include "core/ZylManagerBase.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CZylProbeManager : public CZylManagerBase {
public:
    using CZylManagerBase::CZylManagerBase;
    int32_t WriteHeader(CZylDbWriter&) override { return 0; }
    int32_t ReadHeader(CZylDbReader&) override { return 0; }
    int32_t LoadSave(int32_t) override { return GetDbPath().empty() ? -1 : 0; }
};

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

class ZylOpenFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_sPath = m_host.m_sAppPath + u"/Movie.avi";
        std::FILE* file = std::fopen(ZylToFsPath(m_sPath).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("0123456789", file);
        std::fclose(file);
    }
    std::FILE* Open(const char* mode = "rb") {
        std::FILE* file = std::fopen(ZylToFsPath(m_sPath).c_str(), mode);
        EXPECT_NE(file, nullptr);
        return file;
    }

    CZylScriptedHost m_host;
    std::u16string m_sPath;
};

} // namespace

TEST_F(ZylOpenFileTest, FilesAreFoundByKeyAndByTheExactPathAndOnlyAsTheKindAdded) {
    CZylProbeManager manager(m_host.Plugin());
    EXPECT_EQ(manager.AddReadFile(7, m_sPath, nullptr), -1); // a missing stream is not recorded
    EXPECT_EQ(manager.AddWriteFile(7, m_sPath, nullptr), -1);
    EXPECT_EQ(manager.GetOpenFileCount(), 0u);
    std::FILE* stream = Open();
    const int fd = ::fileno(stream);
    ASSERT_EQ(manager.AddReadFile(7, m_sPath, ZylFilePtr(stream)), 0);
    // Another spelling is another file: "MOVIE.AVI" is never read from the open "Movie.avi".
    const std::u16string other = m_host.m_sAppPath + u"/MOVIE.AVI";
    EXPECT_EQ(manager.FindReadFile(other, 7), nullptr);
    EXPECT_EQ(manager.RemoveReadFile(7, other), -1);
    EXPECT_EQ(manager.FindReadFile(m_sPath, 7), stream);
    EXPECT_EQ(manager.FindReadFile(m_sPath, 8), nullptr);
    EXPECT_EQ(manager.FindReadFile(m_sPath + u"x", 7), nullptr);
    // A read entry is no write entry, nor is it removed, or closed, as one.
    EXPECT_EQ(manager.FindWriteFile(m_sPath, 7), nullptr);
    EXPECT_EQ(manager.RemoveWriteFile(7, m_sPath), -1);
    EXPECT_TRUE(IsOpen(fd));
    EXPECT_EQ(manager.GetOpenFileCount(), 1u);

    // A write entry the same the other way round; its data is written when it is removed.
    const std::u16string upload = m_host.m_sAppPath + u"/Upload.bin";
    std::FILE* handle = std::fopen(ZylToFsPath(upload).c_str(), "wb");
    ASSERT_NE(handle, nullptr);
    const int writeFd = ::fileno(handle);
    ASSERT_EQ(manager.AddWriteFile(9, upload, ZylFilePtr(handle)), 0);
    EXPECT_EQ(manager.FindWriteFile(upload, 9), handle);
    EXPECT_EQ(manager.FindReadFile(upload, 9), nullptr);
    EXPECT_EQ(manager.RemoveReadFile(9, upload), -1);
    std::fputs("abc", handle); // buffered until the entry closes it
    EXPECT_EQ(manager.RemoveWriteFile(9, upload), 0);
    EXPECT_EQ(manager.RemoveWriteFile(9, upload), -1);
    EXPECT_FALSE(IsOpen(writeFd));
    EXPECT_EQ(fs::file_size(ZylToFsPath(upload)), 3u);
    EXPECT_EQ(manager.RemoveReadFile(7, m_sPath), 0);
    EXPECT_EQ(manager.GetOpenFileCount(), 0u);
}

TEST_F(ZylOpenFileTest, WhatAPeerHoldsIsBoundedAndTheLeastRecentlyUsedFileClosesFirst) {
    CZylProbeManager manager(m_host.Plugin());
    const size_t bound = CZylManagerBase::MAX_OPEN_FILES_PER_PEER;
    ASSERT_GE(CZylManagerBase::GetOpenFileBound(), bound + 2);
    auto add = [&](uint32_t key, std::u16string_view user) {
        ASSERT_EQ(manager.AddReadFile(key, m_sPath, ZylFilePtr(Open()), user), 0);
    };
    add(1000, u"S3.1000");
    for (uint32_t key = 0; key < bound; ++key)
        add(key, u"S2.1000");
    // Using the oldest entry of the flooding peer keeps it; the next oldest goes instead.
    ASSERT_NE(manager.FindReadFile(m_sPath, 0, u"S2.1000"), nullptr);
    add(bound, u"S2.1000");
    add(bound + 1, u"S2.1000");
    EXPECT_EQ(manager.GetOpenFileCount(u"S2.1000"), bound);
    EXPECT_EQ(manager.FindReadFile(m_sPath, 1), nullptr);
    EXPECT_EQ(manager.FindReadFile(m_sPath, 2), nullptr);
    EXPECT_NE(manager.FindReadFile(m_sPath, 0), nullptr);
    // Another peer's file is not the flooding peer's to close.
    EXPECT_NE(manager.FindReadFile(m_sPath, 1000, u"S3.1000"), nullptr);
    // Short of descriptors, the least recently used of all goes first.
    ASSERT_TRUE(manager.CloseLeastRecentlyUsedFile());
    EXPECT_EQ(manager.FindReadFile(m_sPath, 3), nullptr);
    EXPECT_EQ(manager.GetOpenFileCount(), bound);
}

TEST_F(ZylOpenFileTest, TheFilesOfOnePeerOrOneTransferAreClosedTogether) {
    CZylProbeManager manager(m_host.Plugin());
    std::vector<int> fds;
    auto add = [&](uint32_t key, std::u16string_view user) {
        std::FILE* stream = Open();
        fds.push_back(::fileno(stream));
        ASSERT_EQ(manager.AddReadFile(key, m_sPath, ZylFilePtr(stream), user), 0);
    };
    add(7, u"S2.1000");
    add(7, u"S3.1000");
    add(8, u"S2.1000");
    add(9, u"S3.1000");
    // The same key from another peer is another transfer.
    EXPECT_EQ(manager.FindReadFile(m_sPath, 7, u"s3.1000"), manager.FindReadFile(m_sPath, 7, u"S3.1000"));
    EXPECT_EQ(manager.CloseFilesOfTransfer(u"s2.1000", 7), 1);
    EXPECT_FALSE(IsOpen(fds[0]));
    EXPECT_TRUE(IsOpen(fds[1]));
    EXPECT_EQ(manager.CloseFilesOfUser(u"S3.1000"), 2);
    EXPECT_FALSE(IsOpen(fds[1]));
    EXPECT_FALSE(IsOpen(fds[3]));
    EXPECT_TRUE(IsOpen(fds[2]));
    EXPECT_EQ(manager.GetOpenFileCount(), 1u);
}

// ---------------------------------------------------------------------------------------------
// The error PDU

TEST(ZylErrorPduOut, ItIsQueuedOnTheRequestChannelWithItsExactBytesAndFailsWithoutAQueue) {
    CZylScriptedHost host;
    CZylProbeManager before(host.Plugin());
    EXPECT_EQ(before.SendErrorPdu(8, u"S2.1000"), -1);
    ASSERT_EQ(host.Login(), 0);
    host.Connect(u"S2.1000");
    host.Tick();
    host.m_vCalls.clear();
    CZylProbeManager manager(host.Plugin());
    EXPECT_EQ(manager.SendErrorPdu(8, u"S2.1000", 0x01020304u, 0x0A0B0C0D), 0);
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(manager.SendErrorPdu(3, u"S2.1000", 0xFFFFFFFEu, 0, data, 3), 0);
    EXPECT_EQ(manager.SendErrorPdu(9, u"S2.1000", 0, 0, nullptr, 5), 0); // a count without data sends none
    host.Tick();
    const auto sent = host.Taken();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& call : sent) {
        EXPECT_EQ(call.a3, 4117);
        EXPECT_EQ(call.a2, 1024);
        EXPECT_EQ(call.user, u"S2.1000");
    }
    EXPECT_EQ(sent[0].payload,
              (std::vector<uint8_t>{0, 0, 0, 8, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0}));
    EXPECT_EQ(sent[1].payload, (std::vector<uint8_t>{0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 0,
                                                     3, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(sent[2].payload, (std::vector<uint8_t>{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(host.Logout(), 0);
    EXPECT_EQ(manager.SendErrorPdu(8, u"S2.1000"), -1);
}
