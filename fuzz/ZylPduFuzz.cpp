// Fuzz target of the peer protocol: one PDU from a connected peer, as the host delivers it.
//
// Framing of the input:
//   bytes 0-1  the command, big-endian like every number on the wire; only its remainder modulo 22
//              is used, added to 4096, so that every input reaches one of the 22 command numbers
//              the dispatcher knows (numbers outside that range are dropped before any handler, and
//              a fuzzer left to guess them would spend nearly all of its time there);
//   byte 2     the channel: its low bit picks 1024 or 1025, so that a request on the wrong channel
//              is tried as well; a value of 0xF0 or more is used as it stands, a channel the host
//              never opens;
//   the rest   the payload, handed over unchanged with its length.
// Shorter inputs carry no command and are skipped.
//
// Each input meets a fresh plug-in in a fresh folder, so that what one input leaves behind (a task
// moved on, a file written, a share's current users) cannot make a later crash depend on the order
// of inputs: a crashing input replays on its own. The plug-in is logged in as S1.1000 through a
// bare host callback, shares a small folder tree ("Tree", every right for everyone) and one file
// ("Notes", browse and download), holds a folder download, a file download and a file upload with
// the peer S1.2000 (so that the transfer replies find a task), browses that peer with a viewer whose
// window takes the listings (so that the listing replies are read), and has both channels to that
// peer open. After the PDU the timer runs a few ticks, so that what the handler queued is sent and any
// follow-up requests of the tasks are made.
//
// Besides not crashing, the plug-in must not write outside its temporary folder: the folder holds
// a "jail" with the application folder and the shared tree, and after each input nothing else may
// have appeared beside them.
#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "share/ZylShareObject.h"
#include "share/ZylViewer.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr char16_t kLocalId[] = u"S1.1000";
constexpr char16_t kPeerId[] = u"S1.2000";
constexpr uint32_t kCommands = 22; // 4096 to 4117
constexpr int kTicks = 5;

std::u16string g_sAppPath;

void ZylCheck(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The host side the plug-in needs: an application folder, and a send that always takes the PDU
// (what the plug-in answers is not looked at; only that it survives).
int32_t ZylFuzzHost(int32_t code, intptr_t a1, intptr_t a2, intptr_t, intptr_t, intptr_t) {
    switch (code) {
    case ZYL_HOST_GET_APP_PATH:
        ZylCopyToBuffer(reinterpret_cast<char16_t*>(a1), 260, g_sAppPath);
        return 0;
    case ZYL_HOST_GET_NAME:
        reinterpret_cast<char16_t*>(a2)[0] = 0;
        return 0;
    case ZYL_HOST_OPEN_CHANNEL:
    case ZYL_HOST_CLOSE_CHANNEL:
    case ZYL_HOST_SEND:
        return 1;
    case ZYL_HOST_PREPARE:
        return 0;
    default:
        return -1;
    }
}

void ZylWriteFile(const fs::path& path, size_t size, char fill) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << std::string(size, fill);
}

// The tree the plug-in shares: a file of two pieces, a small one, one two folders down, and an
// empty folder.
void ZylMakeTree(const fs::path& tree) {
    ZylWriteFile(tree / "notes.txt", 9000, 'n');
    ZylWriteFile(tree / "sub" / "data.bin", 300, 'd');
    ZylWriteFile(tree / "sub" / "inner" / "deep.txt", 4, 'x');
    fs::create_directories(tree / "empty");
}

void ZylAddShare(CZylInterface& plugin, const std::u16string& shareName, const fs::path& item, int32_t folder,
                 uint16_t everyone) {
    auto share = std::make_unique<CZylShareObject>();
    share->SetShareName(shareName);
    share->SetName(ZylFromFsPath(item.filename()));
    share->SetPath(ZylFromFsPath(item.parent_path()));
    share->SetFolder(folder);
    share->SetType(folder ? u"Folder" : u"File");
    ZYLPRIVILEGEDUSER entry;
    entry.id = u"Everyone";
    entry.type = ZYL_PRIVILEGED_EVERYONE;
    entry.privilege = everyone;
    share->AddPrivilegedUser(entry);
    ZylCheck(plugin.GetShareManager().AddShare(std::move(share)) == 0);
}

uint32_t ZylCommandOf(const uint8_t* data) {
    const uint32_t raw = (static_cast<uint32_t>(data[0]) << 8) | data[1];
    return 4096 + raw % kCommands;
}

int32_t ZylChannelOf(uint8_t byte) {
    if (byte >= 0xF0)
        return byte;
    return (byte & 1) ? ZYL_CHANNEL_DATA : ZYL_CHANNEL_REQUEST;
}

void ZylRunOne(const fs::path& jail, uint32_t command, int32_t channel, const uint8_t* payload,
               size_t length) {
    const fs::path app = jail / "app";
    const fs::path tree = jail / "tree";
    fs::create_directories(app / "down");
    ZylMakeTree(tree);
    g_sAppPath = ZylFromFsPath(app);

    CZylFakePlatform platform;
    CZylFakeWindow window; // outlives the plug-in, whose viewer reports to it
    CZylInterface plugin(platform);
    plugin.ProcessMessage(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&ZylFuzzHost), 0, 0, 0, 0);
    HostUserId self, peer;
    self.Parse(kLocalId);
    peer.Parse(kPeerId);
    ZylCheck(plugin.ProcessMessage(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&self), 0, 0, 0, 0) == 0);

    ZylAddShare(plugin, u"Tree", tree, 1, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD);
    ZylAddShare(plugin, u"Notes", tree / "notes.txt", 0, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    const auto peerArg = reinterpret_cast<intptr_t>(&peer);
    plugin.ProcessMessage(DLL_P2P_ON_CONNECT, peerArg, ZYL_CHANNEL_REQUEST, 0, 0, 0);
    plugin.ProcessMessage(DLL_P2P_ON_CONNECT, peerArg, ZYL_CHANNEL_DATA, 0, 0, 0);

    CZylTaskManager& tasks = plugin.GetTaskManager();
    const std::u16string down = ZylFromFsPath(app / "down");
    tasks.CreateDownloadTask(kPeerId, u"Remote\\folder", true, down, CZylDateTime());
    tasks.CreateDownloadTask(kPeerId, u"Remote\\file.bin", false, down, CZylDateTime());
    tasks.CreateUploadTask(kPeerId, ZylFromFsPath(tree), u"notes.txt", false, u"Remote", CZylDateTime());
    if (CZylViewer* viewer = plugin.GetViewerManager().AddViewer(kPeerId)) {
        viewer->SetNotifyWindow(&window);
        plugin.GetViewerManager().RequestShareRootInfo(kPeerId);
    }
    platform.Advance(10);

    plugin.ProcessMessage(DLL_P2P_ON_DATA, peerArg, channel, command, reinterpret_cast<intptr_t>(payload),
                          static_cast<intptr_t>(length));
    for (int i = 0; i < kTicks; ++i) {
        std::this_thread::yield(); // the listing workers get a moment to queue their pages
        platform.Advance(10);
    }
    plugin.ProcessMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0);
}

// Nothing but the jail in the temporary folder, and nothing but the two folders in the jail.
void ZylCheckConfined(const fs::path& root, const fs::path& jail) {
    for (const auto& entry : fs::directory_iterator(root))
        ZylCheck(entry.path().filename() == "jail");
    for (const auto& entry : fs::directory_iterator(jail)) {
        const auto name = entry.path().filename();
        ZylCheck(name == "app" || name == "tree");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CZylTempDir temp;
    if (size < 3)
        return 0;
    const fs::path jail = temp.Path() / "jail";
    std::error_code ec;
    fs::remove_all(jail, ec);
    ZylRunOne(jail, ZylCommandOf(data), ZylChannelOf(data[2]), data + 3, size - 3);
    ZylCheckConfined(temp.Path(), jail);
    return 0;
}
