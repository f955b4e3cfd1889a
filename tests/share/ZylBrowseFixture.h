// A shares folders of a temporary folder; B browses them, its window counting (and emptying) each listing.
#pragma once

#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "share/ZylShareManager.h"
#include "share/ZylViewerManager.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"

#include <gtest/gtest.h>

#include <algorithm>

struct ZYLLISTEDITEM {
    int32_t folder;
    std::u16string name; // the share name of a root item, the entry name or path of another
    std::u16string type;
    uint16_t privilege = 0;
    uint32_t size = 0;
    CZylDateTime time = {};
};

// A page as it travels: root info, folder, or file list (time and task id first; items: path, size, time).
struct ZYLPAGE {
    uint32_t taskId = 0;
    int32_t status = -1, total = -1, begin = -1, count = -1;
    std::vector<ZYLLISTEDITEM> items;
    std::vector<int32_t> Shape() const { return {status, total, begin, count}; }
    std::vector<std::u16string> Names() const {
        std::vector<std::u16string> names;
        std::transform(items.begin(), items.end(), std::back_inserter(names), [](auto& i) { return i.name; });
        return names;
    }
};

inline ZYLPAGE ZylParsePage(const std::vector<uint8_t>& payload, uint32_t command) {
    ZylPayloadReader reader(payload.data(), static_cast<int32_t>(payload.size()));
    const bool root = command == ZYL_CMD_SHARE_ROOT_INFO_REPLY, files = command == ZYL_CMD_FILE_LIST_REPLY;
    ZYLPAGE page;
    CZylDateTime time;
    if (files)
        page.taskId = reader.Read(time).ReadUInt32();
    for (int32_t* word : {&page.status, &page.total, &page.begin, &page.count})
        *word = reader.ReadInt32();
    for (int32_t i = 0; i < page.count; ++i) {
        // (The clauses of a braced list are read in their order.)
        ZYLLISTEDITEM item{files ? 0 : reader.ReadInt32(), reader.ReadString(),
                           files ? u"" : reader.ReadString()};
        if (root) {
            item.privilege = reader.ReadInt16();
            reader.Read(time).Read(item.time); // the share time, then the time
        }
        item.size = reader.ReadUInt32();
        if (!root)
            reader.Read(item.time);
        page.items.push_back(item);
    }
    EXPECT_EQ(reader.Remaining(), 0);
    return page;
}

// The 32-bit words of a payload; an error's are its code, the task id, the detail and the data length.
inline std::vector<uint32_t> ZylWords(const ZYLSENTPDU& pdu) {
    ZylPayloadReader reader(pdu.payload.data(), static_cast<int32_t>(pdu.payload.size()));
    std::vector<uint32_t> words;
    while (reader.Remaining() >= 4)
        words.push_back(reader.ReadUInt32());
    return words;
}
inline int32_t ZylErrorCodeOf(const ZYLSENTPDU& pdu) {
    return static_cast<int32_t>(ZylWords(pdu).at(0));
}
// Info lines shown in that window which contain the text.
inline size_t ZylLogged(const CZylFakeWindow& window, std::u16string_view text) {
    return std::count_if(window.m_vInfoLines.begin(), window.m_vInfoLines.end(),
                         [&](const auto& line) { return line.find(text) != std::u16string::npos; });
}

// Big-endian words, the bytes given as they are, then more words.
inline std::vector<uint8_t> ZylBytes(std::initializer_list<uint32_t> words,
                                     std::initializer_list<uint8_t> bytes = {},
                                     std::initializer_list<uint32_t> more = {}) {
    std::vector<uint8_t> out;
    for (uint32_t word : words)
        for (int shift : {24, 16, 8, 0})
            out.push_back(static_cast<uint8_t>(word >> shift));
    out.insert(out.end(), bytes);
    for (uint32_t word : more)
        for (int shift : {24, 16, 8, 0})
            out.push_back(static_cast<uint8_t>(word >> shift));
    return out;
}

class CZylBrowseTest : public ::testing::Test {
protected:
    CZylBrowseTest() : a(host.AddNode(u"S1.1000")), b(host.AddNode(u"S1.2000")) {
        EXPECT_EQ(host.Login(a), 0);
        EXPECT_EQ(host.Login(b), 0);
        host.Connect(a, b);
        viewer = b.Plugin().GetViewerManager().AddViewer(a.Id());
        viewer->SetNotifyWindow(&window);
        window.m_fnOnSend = [this](uint32_t message, intptr_t v, intptr_t) {
            if (message != WM_ZYL_FRIEND_ROOT && message != WM_ZYL_FRIEND_FOLDER)
                return;
            listings.push_back(message);
            if (m_bClearOnListing)
                reinterpret_cast<CZylViewer*>(v)->ClearItems();
        };
    }
    CZylShareManager& Shares() { return a.Plugin().GetShareManager(); }
    CZylTestNode& AddC() { // S1.3000, with channels to A
        CZylTestNode& c = host.AddNode(u"S1.3000");
        EXPECT_EQ(host.Login(c), 0);
        host.Connect(a, c);
        return c;
    }
    // A folder (or file) of the temporary folder, shared with "Everyone" holding those rights.
    CZylShareObject& Share(const std::u16string& shareName, const std::string& relative, int32_t folder = 1,
                           uint16_t all = ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD) {
        const std::filesystem::path full = files.Path() / relative;
        if (folder)
            std::filesystem::create_directories(full);
        auto share = ZylMakeShare(shareName, full, all ? std::optional<uint16_t>(all) : std::nullopt);
        share->SetType(folder ? u"Folder" : u"File");
        CZylShareObject& added = *share;
        EXPECT_EQ(Shares().AddShare(std::move(share)), 0);
        return added;
    }
    void Touch(const std::string& p, size_t n = 0) {
        ZylWriteFileBytes(files.Path() / p, std::string(n, 'x'));
    }
    bool WaitForListings(size_t n) {
        return host.RunUntil([&] { return listings.size() >= n; });
    }
    // Until A has sent n PDUs of that command to the user.
    bool WaitFromA(uint32_t command, size_t n, const std::u16string& to = u"S1.2000") {
        return host.RunUntil([&] { return FromA(command, to).size() >= n; });
    }
    // A request from B (or another user) to A, as the peer's plug-in queues it.
    void SendFromB(uint32_t cmd, const ZylPayloadWriter& w, CZylTestNode* c = nullptr) {
        EXPECT_EQ((c ? *c : b).Plugin().SendData(cmd, w.Data(), w.Size(), a.Id(), ZYL_CHANNEL_REQUEST), 0);
    }
    void RequestFolder(const std::u16string& path, CZylTestNode* c = nullptr) {
        SendFromB(ZYL_CMD_EXPLORER_FOLDER_REQUEST, ZylPayloadWriter().Write(kAsked).WriteString(path), c);
    }
    void RequestFileList(uint32_t task, const std::u16string& path, int32_t dir, CZylTestNode* c = nullptr) {
        ZylPayloadWriter w;
        w.WriteInt32(task).Write(kAsked).WriteInt32(dir).WriteString(path);
        SendFromB(ZYL_CMD_FILE_LIST_REQUEST, w, c);
    }
    // The asker's time in the requests the tests send by hand.
    const CZylDateTime kAsked{1200000000};
    std::vector<ZYLSENTPDU> FromA(uint32_t command, const std::u16string& to = u"S1.2000") const {
        std::vector<ZYLSENTPDU> out;
        for (const auto& pdu : host.SentWith(command))
            if (pdu.from == a.Id() && ZylEqualNoCase(pdu.to, to))
                out.push_back(pdu);
        return out;
    }
    std::vector<ZYLPAGE> PagesFromA(uint32_t command, const std::u16string& to = u"S1.2000") const {
        std::vector<ZYLPAGE> pages;
        for (const auto& pdu : FromA(command, to))
            pages.push_back(ZylParsePage(pdu.payload, command));
        return pages;
    }
    std::vector<std::vector<int32_t>> ShapesFromA(uint32_t cmd, const std::u16string& to = u"S1.2000") const {
        std::vector<std::vector<int32_t>> shapes;
        for (const auto& page : PagesFromA(cmd, to))
            shapes.push_back(page.Shape());
        return shapes;
    }
    CZylTempDir files;
    CZylFakeWindow window;
    std::vector<uint32_t> listings; // the window messages of the listings completed
    bool m_bClearOnListing = true;
    CZylTestHost host;
    CZylTestNode& a;
    CZylTestNode& b;
    CZylViewer* viewer = nullptr;
};
