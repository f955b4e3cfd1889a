// Builders of replies, readers of requests, and a fixture of two logged-in plug-ins with open channels.
#pragma once
#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "share/ZylShareManager.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"
#include "transfer/ZylTaskManager.h"
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
namespace fs = std::filesystem;
struct LISTENTRY {
    std::u16string name;
    uint32_t size;
    CZylDateTime time;
};
inline CZylDateTime Time(int32_t year, uint32_t month, uint32_t day, uint32_t h, uint32_t m, uint32_t s) {
    CZylDateTime t;
    t.SetDateTime(year, month, day, h, m, s, 0, 0);
    return t;
}
// A reply starts with the serving side's time, then the task id and the numbers given.
inline ZylPayloadWriter Reply(int32_t taskId, std::initializer_list<int32_t> numbers) {
    ZylPayloadWriter w;
    w.Write(Time(2008, 1, 1, 0, 0, 0)).WriteInt32(taskId);
    for (int32_t n : numbers)
        w.WriteInt32(n);
    return w;
}
inline std::vector<uint8_t> TaskReply(int32_t taskId, std::initializer_list<int32_t> numbers) {
    return Reply(taskId, numbers).Bytes();
}
inline std::vector<uint8_t> FileListReply(int32_t taskId, uint32_t total, uint32_t first,
                                          const std::vector<LISTENTRY>& entries) {
    ZylPayloadWriter w = Reply(taskId, {0, int32_t(total), int32_t(first), int32_t(entries.size())});
    for (const auto& e : entries)
        w.WriteString(e.name).WriteInt32(e.size).Write(e.time);
    return w.Bytes();
}
inline std::vector<uint8_t> FileDataReply(int32_t taskId, int32_t index, int32_t last, int32_t offset,
                                          const std::string& data, int32_t status = 0) {
    ZylPayloadWriter w = Reply(taskId, {index, 0, last, status, offset, static_cast<int32_t>(data.size())});
    w.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    return w.Bytes();
}
inline std::vector<uint8_t> ErrorPdu(int32_t code, uint32_t taskId) {
    return ZylPayloadWriter().WriteInt32(code).WriteInt32(taskId).WriteInt32(0).WriteInt32(0).Bytes();
}
// The numbers of a reply after its time: task id and whatever follows.
inline std::vector<int32_t> TaskNumbers(const std::vector<uint8_t>& payload) {
    ZylPayloadReader r(payload.data(), static_cast<int32_t>(payload.size()));
    CZylDateTime time;
    r.Read(time);
    std::vector<int32_t> out;
    while (r.Remaining() >= 4)
        out.push_back(r.ReadInt32());
    return out;
}
inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline fs::file_time_type FileTime(const CZylDateTime& time) {
    fs::file_time_type out;
    EXPECT_TRUE(ZylTimeToFileTime(time, out));
    return out;
}
using PAYLOADS = std::vector<std::vector<uint8_t>>;
using PIECES = std::vector<std::pair<int32_t, int32_t>>; // file index and offset
inline std::vector<uint8_t> Ascii(std::string_view text) {
    return {text.begin(), text.end()};
}
// The offsets of the blocks first to last of a file, as a task asks for them.
inline std::vector<int32_t> Blocks(int32_t first, int32_t last) {
    std::vector<int32_t> out;
    for (int32_t i = first; i <= last; ++i)
        out.push_back(i * ZYL_BLOCK_SIZE);
    return out;
}
// The fields of an upload's piece the tests look at; the whole layout is checked byte by byte elsewhere.
struct WRITEREQUEST {
    int32_t index, offset, end;
    std::string data;
};
inline WRITEREQUEST ReadWriteRequest(const std::vector<uint8_t>& payload) {
    ZylPayloadReader r(payload.data(), static_cast<int32_t>(payload.size()));
    CZylDateTime time;
    WRITEREQUEST q;
    r.ReadInt32();
    q.index = r.ReadInt32();
    r.Read(time), r.ReadString(), r.ReadString(), r.ReadInt32(), r.Read(time);
    q.offset = r.ReadInt32();
    q.end = r.ReadInt32();
    const int32_t n = r.ReadInt32();
    q.data.assign(reinterpret_cast<const char*>(r.Take(n)), static_cast<size_t>(n));
    EXPECT_EQ(r.Remaining(), 0);
    return q;
}
// Equal bytes, reported by their sizes and the first difference rather than by the whole contents.
inline ::testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
    if (a == b)
        return ::testing::AssertionSuccess();
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    return ::testing::AssertionFailure()
           << "sizes " << a.size() << " and " << b.size() << ", first difference at " << at;
}
inline std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    std::generate(out.begin(), out.end(), [&] { return static_cast<char>(random() & 0xFF); });
    return out;
}
// Two plug-ins, A ("S1.1000") and B ("S1.1001"), logged in, with both channels open between them.
class CZylTwoPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pA = &m_host.AddNode(u"S1.1000");
        m_pB = &m_host.AddNode(u"S1.1001");
        ASSERT_EQ(m_host.Login(*m_pA), 0);
        ASSERT_EQ(m_host.Login(*m_pB), 0);
        m_host.Connect(*m_pA, *m_pB);
        m_host.Tick(20);
        m_host.m_vSent.clear();
    }
    // For tests playing A by hand: A's own error answers would stop the tasks before the test's replies.
    void AnswerForA() {
        m_pA->m_fnDrop = [](const ZYLSENTPDU& pdu) { return pdu.command == ZYL_CMD_ERROR; };
    }
    CZylTaskManager& TasksB() { return m_pB->Plugin().GetTaskManager(); }
    CZylShareManager& SharesA() { return m_pA->Plugin().GetShareManager(); }
    // Shares the item on A under the name, with the rights "Everyone" holds; a missing item is made a folder.
    CZylShareObject& ShareOnA(const std::u16string& name, const fs::path& item, uint16_t privilege) {
        if (!fs::exists(item))
            fs::create_directories(item);
        auto share = ZylMakeShare(name, item, privilege);
        CZylShareObject& added = *share;
        EXPECT_EQ(SharesA().AddShare(std::move(share)), 0);
        return added;
    }
    // Hands B a reply as if A had sent it.
    void DeliverToB(uint32_t command, const std::vector<uint8_t>& payload,
                    int32_t channel = ZYL_CHANNEL_REQUEST, const std::u16string& from = u"S1.1000") {
        m_pB->Plugin().OnDataIndication(command, payload.data(), static_cast<int32_t>(payload.size()), from,
                                        channel);
    }
    // What a node handed the host with that command, in order.
    std::vector<ZYLSENTPDU> Sent(const CZylTestNode& from, uint32_t command) {
        std::vector<ZYLSENTPDU> out;
        for (const auto& pdu : m_host.m_vSent)
            if (pdu.command == command && pdu.from == from.Id())
                out.push_back(pdu);
        return out;
    }
    // The payloads a node sent with that command, once the host has carried what is queued.
    PAYLOADS Carried(const CZylTestNode& from, uint32_t command) {
        m_host.Tick(10);
        PAYLOADS out;
        for (const auto& pdu : Sent(from, command))
            out.push_back(pdu.payload);
        return out;
    }
    // The file data requests B sent since the last call: their offsets, or file index and offset.
    std::vector<int32_t> RequestedOffsets() {
        std::vector<int32_t> offsets;
        for (const auto& [index, offset] : RequestedPieces())
            offsets.push_back(offset);
        return offsets;
    }
    PIECES RequestedPieces() {
        m_host.Tick(10);
        PIECES pieces;
        for (const auto& pdu : Sent(*m_pB, ZYL_CMD_FILE_DATA_REQUEST)) {
            ZylPayloadReader r(pdu.payload.data(), static_cast<int32_t>(pdu.payload.size()));
            CZylDateTime time;
            r.ReadInt32();
            const int32_t index = r.ReadInt32();
            r.Read(time), r.ReadString();
            pieces.emplace_back(index, r.ReadInt32());
        }
        m_host.m_vSent.clear();
        return pieces;
    }
    // A task that stopped on a failure: not finished, and the reason is the one the user sees.
    static void ExpectStopped(const CZylTask* task, const std::u16string& reason) {
        EXPECT_EQ(std::tie(task->m_bRunning, task->m_bFinished, task->m_sLastError),
                  std::make_tuple(0, 0, reason));
    }
    fs::path Root() const { return m_host.Root(); }
    fs::path DataA() const { return Root() / "A-data"; }
    fs::path DataB() const { return Root() / "B-data"; }
    CZylTestHost m_host;
    CZylTestNode* m_pA = nullptr;
    CZylTestNode* m_pB = nullptr;
};
