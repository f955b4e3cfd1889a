#include "cli/ZylCommands.h"

#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "share/ZylShareObject.h"
#include "share/ZylViewer.h"
#include "share/ZylViewerManager.h"
#include "transfer/ZylTask.h"
#include "transfer/ZylTaskManager.h"

#include <fmt/format.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {
constexpr auto ZYL_ANSWER_TIMEOUT = 20s;
constexpr int ZYL_EXIT_FAILED = 1;
constexpr int ZYL_EXIT_INTERRUPTED = 130;

int Fail(const std::string& message) {
    fmt::print(stderr, "zylfs: {}\n", message);
    return ZYL_EXIT_FAILED;
}

std::string U8(std::u16string_view text) {
    return ZylToUtf8(text);
}

// The peer error a log line reports ("error pdu ..., error: user denied"), or empty.
std::string PeerError(const CZylNodeWindow::LINE& line, const std::u16string& friendId) {
    constexpr std::string_view kUser = ", userid: ";
    constexpr std::string_view kError = ", error: ";
    const std::string text = U8(line.text);
    const auto user = text.find(kUser);
    const auto error = user == std::string::npos ? std::string::npos : text.find(kError, user);
    if (line.level != 1 || text.find("error pdu") == std::string::npos || error == std::string::npos)
        return {};
    const std::string sender = text.substr(user + kUser.size(), error - user - kUser.size());
    if (!ZylEqualNoCase(ZylFromUtf8(sender), friendId)) // ids compare without regard to case
        return {};
    return text.substr(error + kError.size());
}

struct ZYLREMOTEITEM {
    std::u16string name;
    bool folder = false;
    uint32_t size = 0;
    uint16_t rights = 0;
    CZylDateTime time;
    CZylDateTime shareTime;
    std::u16string type;
};

// Lists the friend's shares (empty path) or one folder; the failure as a message.
std::string ListRemote(CZylNode& node, const std::u16string& friendId, const std::u16string& sharePath,
                       const CZylDateTime& shareTime, std::vector<ZYLREMOTEITEM>& items) {
    CZylViewerManager& viewers = node.Plugin().GetViewerManager();
    CZylViewer* viewer = viewers.AddViewer(friendId);
    if (!viewer)
        return "out of memory";
    viewer->SetNotifyWindow(&node.Window());
    viewer->ClearItems();
    CZylNodeWindow& window = node.Window();
    const bool root = sharePath.empty();
    const int before = root ? window.m_nRootListings : window.m_nFolderListings;
    const int32_t sent =
        root ? viewer->RequestShareRootInfo() : viewer->RequestExplorerFolder(sharePath, shareTime);
    if (sent < 0)
        return "cannot send the request";
    // However long the listing, it is waited for while its pages keep coming; only a silence ends
    // the wait.
    std::string refused;
    const auto complete = [&] { return (root ? window.m_nRootListings : window.m_nFolderListings) > before; };
    node.RunUntil(
        [&] {
            for (const auto& line : node.TakeLogLines())
                if (refused.empty())
                    refused = PeerError(line, friendId);
            return !refused.empty() || complete() || viewer->GetSilentMs() >= CZylViewer::LISTING_SILENCE_MS;
        },
        std::chrono::hours(24 * 365));
    if (!refused.empty())
        return U8(friendId) + " refused: " + refused;
    if (!complete()) {
        const uint32_t seconds = CZylViewer::LISTING_SILENCE_MS / 1000;
        if (CZylNode::s_bInterrupted)
            return "interrupted";
        if (!node.FatalError().empty())
            return "the broker ended the session: " + node.FatalError();
        if (viewer->GetItemCount() > 0)
            return fmt::format("the listing from {} stopped after {} entries: no page for {} s", U8(friendId),
                               viewer->GetItemCount(), seconds);
        return fmt::format("{} did not answer for {} s (is there such a share or folder?)", U8(friendId),
                           seconds);
    }
    items.clear();
    for (int32_t i = 0; i < viewer->GetItemCount(); ++i) {
        const CZylShareObject* item = viewer->GetItem(i);
        items.push_back({item->GetShareName(), item->GetFolder() != 0, item->GetSize(),
                         item->GetGrantedPrivilege(), item->GetTime(), item->GetShareTime(),
                         item->GetType()});
    }
    viewer->ClearItems();
    return {};
}

// What a share path names on the friend's side: the share (its time and the rights granted) and
// whether the item is a folder.
std::string LookUp(CZylNode& node, const std::u16string& friendId, const std::u16string& sharePath,
                   ZYLREMOTEITEM& share, ZYLREMOTEITEM& item) {
    std::vector<ZYLREMOTEITEM> shares;
    if (auto error = ListRemote(node, friendId, {}, {}, shares); !error.empty())
        return error;
    const std::u16string_view shareName = ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR);
    const auto it = std::find_if(shares.begin(), shares.end(),
                                 [&](const ZYLREMOTEITEM& s) { return ZylEqualNoCase(s.name, shareName); });
    if (it == shares.end())
        return U8(friendId) + " has no share named " + U8(shareName);
    share = *it;
    item = share;
    if (sharePath.size() == shareName.size())
        return {};
    const size_t cut = sharePath.rfind(ZYL_SHARE_SEPARATOR);
    const std::u16string parent = sharePath.substr(0, cut);
    const std::u16string leaf = sharePath.substr(cut + 1);
    std::vector<ZYLREMOTEITEM> entries;
    if (auto error = ListRemote(node, friendId, parent, share.shareTime, entries); !error.empty())
        return error;
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const ZYLREMOTEITEM& e) { return ZylEqualNoCase(e.name, leaf); });
    if (found == entries.end())
        return "no such file or folder on " + U8(friendId) + ": " + U8(sharePath);
    item = *found;
    return {};
}

std::string HumanSize(double bytes) {
    const char* units[] = {"B", "kB", "MB", "GB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 3) {
        bytes /= 1000;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, units[unit])
                     : fmt::format("{:.1f} {}", bytes, units[unit]);
}

std::string Duration(int32_t seconds) {
    if (seconds < 0)
        return "--:--";
    if (seconds >= 3600)
        return fmt::format("{}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return fmt::format("{}:{:02}", seconds / 60, seconds % 60);
}

// Shows the task's progress until it finishes, stops, is refused or the user interrupts.
int FollowTask(CZylNode& node, CZylTask& task, const std::u16string& friendId) {
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    auto lastShown = std::chrono::steady_clock::now() - 10s;
    std::string refused;
    auto show = [&](bool final) {
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - lastShown < (terminal ? 200ms : 1s))
            return;
        lastShown = now;
        task.UpdatePercent();
        const int percent = task.m_bFinished ? 100 : task.m_nPercent;
        const double speed = task.GetSpeed() * 1000.0; // bytes per second
        const std::string rate = HumanSize(speed) + "/s";
        const std::string left = Duration(task.m_bFinished ? 0 : task.GetSecondsLeft());
        if (terminal) {
            const int width = 30;
            const int filled = std::clamp(percent * width / 100, 0, width);
            fmt::print("\r[{}{}] {:3}%  {:>10}  {} left ", std::string(filled, '#'),
                       std::string(width - filled, '.'), percent, rate, left);
            if (final)
                fmt::print("\n");
        } else {
            fmt::print("{}% {} of {} {} {} left\n", percent, HumanSize(task.m_nCurrentSize),
                       HumanSize(task.m_nTotalSize), rate, left);
        }
        std::fflush(stdout);
    };
    // A task stopped by a refusal (or by the friend leaving) ends the wait.
    uint32_t stoppedSince = 0;
    node.RunUntil(
        [&] {
            for (const auto& line : node.TakeLogLines())
                if (refused.empty())
                    refused = PeerError(line, friendId);
            show(false);
            if (task.m_bFinished || !refused.empty() || task.m_bRemoved)
                return true;
            if (!task.m_bRunning)
                return !task.m_sLastError.empty() || ++stoppedSince > 20; // a second for a late reply
            stoppedSince = 0;
            return false;
        },
        std::chrono::hours(24 * 365));
    show(true);
    if (task.m_bFinished)
        return 0;
    if (CZylNode::s_bInterrupted) {
        task.StopTask();
        fmt::print(stderr, "zylfs: interrupted; the task is kept and resumes where it stopped\n");
        return ZYL_EXIT_INTERRUPTED;
    }
    if (!node.FatalError().empty())
        return Fail("the broker ended the session: " + node.FatalError());
    // The task's own reason says more than the bare error of the other side.
    if (!task.m_sLastError.empty())
        return Fail(U8(task.m_sLastError));
    if (!refused.empty())
        return Fail(U8(friendId) + " refused: " + refused);
    return Fail("the transfer stopped (did " + U8(friendId) + " refuse it or go offline?)");
}

bool CheckUserId(const std::string& text, std::u16string& id) {
    HostUserId parsed;
    if (!parsed.Parse(ZylFromUtf8(text)) || parsed.GetKind() == HostUserId::Invalid)
        return false;
    id = parsed.ToText();
    return true;
}

// The friend a command names, or the line that says why the text does not name one.
std::string ReadFriendId(const std::string& text, std::u16string& id) {
    if (!CheckUserId(text, id))
        return "a friend is named by a user id like S1.1000, not '" + text + "'";
    return {};
}

// Starts the node online and opens both channels to the friend; the failure as a message.
std::string StartAndConnect(CZylNode& node, const std::u16string& friendId) {
    if (auto error = node.Start(true); !error.empty())
        return error;
    return node.ConnectTo(friendId, ZYL_ANSWER_TIMEOUT);
}

CZylTask* FindStoredTask(CZylTaskManager& tasks, int32_t type, const std::u16string& friendId,
                         const std::u16string& remoteName, const std::u16string& localPath,
                         const std::u16string& localName) {
    for (int32_t i = 0; i < tasks.GetTaskCount(); ++i) {
        CZylTask* task = tasks.GetTaskAt(i);
        const CZylTaskItem* object = task ? task->GetObjectRecord() : nullptr;
        if (!object || task->m_nType != type || task->m_bFinished || task->m_bRemoved)
            continue;
        if (ZylEqualNoCase(task->GetUserId(), friendId) &&
            ZylEqualNoCase(object->m_sRemoteName, remoteName) && object->m_sLocalPath == localPath &&
            (localName.empty() || object->m_sLocalName == localName))
            return task;
    }
    return nullptr;
}
} // namespace

bool ZylParseRights(const std::string& text, uint16_t& rights) {
    rights = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string word = text.substr(start, end - start);
        if (word == "browse")
            rights |= ZYL_PRIV_BROWSE;
        else if (word == "download")
            rights |= ZYL_PRIV_DOWNLOAD;
        else if (word == "upload")
            rights |= ZYL_PRIV_UPLOAD;
        else if (!word.empty() && word != "none")
            return false;
        start = end + 1;
    }
    return true;
}

std::string ZylRightsText(uint16_t rights) {
    std::string text;
    for (auto [bit, word] : {std::pair{ZYL_PRIV_BROWSE, "browse"}, std::pair{ZYL_PRIV_DOWNLOAD, "download"},
                             std::pair{ZYL_PRIV_UPLOAD, "upload"}})
        if (rights & bit) {
            if (!text.empty())
                text += ',';
            text += word;
        }
    return text.empty() ? "none" : text;
}

std::u16string ZylNormalizeSharePath(const std::string& text) {
    std::u16string path = ZylLocalToSharePath(ZylFromUtf8(text));
    while (!path.empty() && path.back() == ZYL_SHARE_SEPARATOR)
        path.pop_back();
    while (!path.empty() && path.front() == ZYL_SHARE_SEPARATOR)
        path.erase(path.begin());
    return path;
}

int ZylCmdShareAdd(const ZYLNODEOPTIONS& options, const ZYLSHAREADD& add) {
    std::error_code ec;
    const std::filesystem::path path =
        std::filesystem::weakly_canonical(std::filesystem::absolute(add.sPath), ec);
    if (ec || !std::filesystem::exists(path, ec))
        return Fail("no such file or folder: " + add.sPath);
    if (path == path.root_path())
        return Fail("the root of the file system cannot be shared");
    const bool folder = std::filesystem::is_directory(path, ec);
    if (!folder && std::filesystem::file_size(path, ec) >= 0x80000000ull)
        return Fail("files of 2 GiB or more cannot be shared");

    auto share = std::make_unique<CZylShareObject>();
    const std::u16string name = ZylFromUtf8(add.sName.empty() ? path.filename().string() : add.sName);
    share->SetShareName(name);
    share->SetName(ZylFromFsPath(path.filename()));
    share->SetPath(ZylFromFsPath(path.parent_path()));
    share->SetFolder(folder ? 1 : 0);
    share->SetSize(folder ? 0 : static_cast<uint32_t>(std::filesystem::file_size(path, ec)));
    CZylDateTime time;
    FileTimeToZylTime(std::filesystem::last_write_time(path, ec), time);
    share->SetTime(time);
    if (add.nMaxUsers >= 0) {
        share->SetUnlimitedUserNumber(0);
        share->SetLimitedUserNumber(add.nMaxUsers);
    }

    uint16_t rights = 0;
    if (!add.sEveryone.empty()) {
        if (!ZylParseRights(add.sEveryone, rights))
            return Fail("unknown rights '" + add.sEveryone + "' (use browse, download, upload)");
        share->AddPrivilegedUser(
            {std::u16string(ZYL_EVERYONE), std::u16string(ZYL_EVERYONE), ZYL_PRIVILEGED_EVERYONE, rights});
    }
    for (const std::string& grant : add.vGrants) {
        const auto at = grant.find('=');
        std::u16string id;
        if (at == std::string::npos || !CheckUserId(grant.substr(0, at), id))
            return Fail("a grant is ID=RIGHTS with a user id like S1.1000: '" + grant + "'");
        if (!ZylParseRights(grant.substr(at + 1), rights))
            return Fail("unknown rights in '" + grant + "' (use browse, download, upload)");
        share->AddPrivilegedUser({id, {}, ZYL_PRIVILEGED_USER, rights});
    }
    if (share->GetPrivilegedUserCount() == 0) // as the share dialog does: everyone may browse and download
        share->AddPrivilegedUser({std::u16string(ZYL_EVERYONE), std::u16string(ZYL_EVERYONE),
                                  ZYL_PRIVILEGED_EVERYONE, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD});

    CZylNode node(options);
    if (auto error = node.Start(false); !error.empty())
        return Fail(error);
    CZylShareManager& shares = node.Plugin().GetShareManager();
    if (shares.ShareNameExists(name))
        return Fail("a share named " + U8(name) + " exists already");
    if (shares.IsPathShared(ZylFromFsPath(path), folder ? 1 : 0))
        return Fail(path.string() + " is shared already");
    if (shares.AddShare(std::move(share)) < 0)
        return Fail("cannot share " + path.string() + " under the name " + U8(name));
    node.Stop();
    fmt::print("shared {} as {}\n", path.string(), U8(name));
    return 0;
}

int ZylCmdShareList(const ZYLNODEOPTIONS& options) {
    CZylNode node(options);
    if (auto error = node.Start(false); !error.empty())
        return Fail(error);
    CZylShareManager& shares = node.Plugin().GetShareManager();
    fmt::print("uploads {}\n", shares.GetNoUpload() ? "off" : "on");
    fmt::print("{:<20} {:<6} {:<8} {:<40} {}\n", "NAME", "KIND", "LIMIT", "RIGHTS", "PATH");
    for (int32_t i = 0; i < shares.GetShareCount(); ++i) {
        CZylShareObject* share = shares.GetShare(i);
        std::string rights;
        for (int32_t k = 0; k < share->GetPrivilegedUserCount(); ++k) {
            const ZYLPRIVILEGEDUSER* entry = share->GetPrivilegedUser(k);
            rights += fmt::format("{}{}={}", rights.empty() ? "" : " ", U8(entry->id),
                                  ZylRightsText(entry->privilege));
        }
        const std::string limit = share->GetUnlimitedUserNumber()
                                      ? "-"
                                      : std::to_string(static_cast<uint32_t>(share->GetLimitedUserNumber()));
        fmt::print("{:<20} {:<6} {:<8} {:<40} {}\n", U8(share->GetShareName()),
                   share->GetFolder() ? "folder" : "file", limit, rights,
                   U8(shares.GetShareLocalPath(*share)));
    }
    return 0;
}

int ZylCmdShareRemove(const ZYLNODEOPTIONS& options, const std::string& name) {
    CZylNode node(options);
    if (auto error = node.Start(false); !error.empty())
        return Fail(error);
    if (node.Plugin().GetShareManager().RemoveShare(ZylFromUtf8(name)) < 0)
        return Fail("no share named " + name);
    fmt::print("removed {}\n", name);
    return 0;
}

int ZylCmdShareUpload(const ZYLNODEOPTIONS& options, bool allowed) {
    CZylNode node(options);
    if (auto error = node.Start(false); !error.empty())
        return Fail(error);
    node.Plugin().GetShareManager().SetNoUpload(allowed ? 0 : 1);
    fmt::print("uploads {}\n", allowed ? "on" : "off");
    return 0;
}

int ZylCmdServe(const ZYLNODEOPTIONS& options) {
    ZYLNODEOPTIONS serving = options;
    serving.bEchoLog = true;
    CZylNode node(serving);
    if (auto error = node.Start(true); !error.empty())
        return Fail(error);
    fmt::print("{} is online with {} share(s); Ctrl-C stops\n", options.sUser,
               node.Plugin().GetShareManager().GetShareCount());
    std::fflush(stdout);
    node.Plugin().GetTaskManager().StartAllTasks();
    node.RunUntil(
        [&] {
            for (const auto& line : node.TakeLogLines())
                fmt::print("{}\n", U8(line.text));
            std::fflush(stdout);
            return false;
        },
        std::chrono::hours(24 * 365 * 10));
    const std::string fatal = node.FatalError();
    node.Stop();
    if (!fatal.empty())
        return Fail("the broker ended the session: " + fatal);
    fmt::print("{} is offline\n", options.sUser);
    return 0;
}

int ZylCmdBrowse(const ZYLNODEOPTIONS& options, const std::string& friendText, const std::string& pathText) {
    std::u16string friendId;
    if (auto error = ReadFriendId(friendText, friendId); !error.empty())
        return Fail(error);
    CZylNode node(options);
    if (auto error = StartAndConnect(node, friendId); !error.empty())
        return Fail(error);
    const std::u16string sharePath = ZylNormalizeSharePath(pathText);
    std::vector<ZYLREMOTEITEM> items;
    if (sharePath.empty()) {
        if (auto error = ListRemote(node, friendId, {}, {}, items); !error.empty())
            return Fail(error);
        fmt::print("{:<24} {:<6} {:>12} {:<20} {}\n", "SHARE", "KIND", "SIZE", "RIGHTS", "MODIFIED");
        for (const auto& item : items)
            fmt::print("{:<24} {:<6} {:>12} {:<20} {}\n", U8(item.name), item.folder ? "folder" : "file",
                       item.folder ? std::string() : std::to_string(item.size), ZylRightsText(item.rights),
                       U8(item.time.ToText()));
    } else {
        ZYLREMOTEITEM share, target;
        if (auto error = LookUp(node, friendId, sharePath, share, target); !error.empty())
            return Fail(error);
        if (!target.folder)
            return Fail(U8(sharePath) + " is a file; browse the folder that holds it");
        if (auto error = ListRemote(node, friendId, sharePath, share.shareTime, items); !error.empty())
            return Fail(error);
        fmt::print("{:<32} {:<6} {:>12} {:<20} {}\n", "NAME", "KIND", "SIZE", "MODIFIED", "TYPE");
        for (const auto& item : items)
            fmt::print("{:<32} {:<6} {:>12} {:<20} {}\n", U8(item.name), item.folder ? "folder" : "file",
                       item.folder ? std::string() : std::to_string(item.size), U8(item.time.ToText()),
                       U8(item.type));
    }
    return 0;
}

int ZylCmdGet(const ZYLNODEOPTIONS& options, const std::string& friendText, const std::string& pathText,
              const std::string& destination) {
    std::u16string friendId;
    if (auto error = ReadFriendId(friendText, friendId); !error.empty())
        return Fail(error);
    const std::u16string sharePath = ZylNormalizeSharePath(pathText);
    if (sharePath.empty())
        return Fail("name what to download: SHARE or SHARE\\PATH");
    std::error_code ec;
    const std::filesystem::path dest = std::filesystem::weakly_canonical(
        std::filesystem::absolute(destination.empty() ? "." : destination), ec);
    std::filesystem::create_directories(dest, ec);
    if (!std::filesystem::is_directory(dest, ec))
        return Fail("cannot use " + destination + " as the download folder");

    CZylNode node(options);
    if (auto error = StartAndConnect(node, friendId); !error.empty())
        return Fail(error);
    CZylTaskManager& tasks = node.Plugin().GetTaskManager();
    const std::u16string localFolder = ZylFromFsPath(dest);
    CZylTask* task = FindStoredTask(tasks, ZYL_TASK_DOWNLOAD, friendId, sharePath, localFolder, {});
    if (task) {
        fmt::print("resuming the download of {} into {}\n", U8(sharePath), dest.string());
        task->Start();
    } else {
        ZYLREMOTEITEM share, item;
        if (auto error = LookUp(node, friendId, sharePath, share, item); !error.empty())
            return Fail(error);
        if (!(share.rights & ZYL_PRIV_DOWNLOAD))
            return Fail(U8(friendId) + " does not let you download from " + U8(share.name));
        task = tasks.CreateDownloadTask(friendId, sharePath, item.folder, localFolder, share.shareTime);
        if (!task)
            return Fail("cannot make the download task (see the settings file and the data folder)");
        fmt::print("downloading {} from {} into {}\n", U8(sharePath), friendText, dest.string());
    }
    std::fflush(stdout);
    const int result = FollowTask(node, *task, friendId);
    node.Stop();
    return result;
}

int ZylCmdPut(const ZYLNODEOPTIONS& options, const std::string& localText, const std::string& friendText,
              const std::string& pathText) {
    std::u16string friendId;
    if (auto error = ReadFriendId(friendText, friendId); !error.empty())
        return Fail(error);
    std::error_code ec;
    const std::filesystem::path local =
        std::filesystem::weakly_canonical(std::filesystem::absolute(localText), ec);
    if (ec || !std::filesystem::exists(local, ec) || local == local.root_path())
        return Fail("no such file or folder: " + localText);
    const bool folder = std::filesystem::is_directory(local, ec);
    const std::u16string sharePath = ZylNormalizeSharePath(pathText);
    if (sharePath.empty())
        return Fail("name where to upload: SHARE or SHARE\\FOLDER");

    CZylNode node(options);
    if (auto error = StartAndConnect(node, friendId); !error.empty())
        return Fail(error);
    CZylTaskManager& tasks = node.Plugin().GetTaskManager();
    // A file is named by its folder and name, a folder by its own path (and its name).
    const std::u16string localPath = ZylFromFsPath(folder ? local : local.parent_path());
    const std::u16string localName = ZylFromFsPath(local.filename());
    if (!ZylIsTransferableName(localName) || U8(localName) != local.filename().native())
        return Fail("the name of " + local.string() +
                    " cannot be sent to a friend (a control character, or bytes "
                    "that are no UTF-8 text)");
    CZylTask* task = FindStoredTask(tasks, ZYL_TASK_UPLOAD, friendId, sharePath, localPath, localName);
    if (task) {
        fmt::print("resuming the upload of {} to {}\n", local.string(), U8(sharePath));
        task->Start();
    } else {
        ZYLREMOTEITEM share, target;
        if (auto error = LookUp(node, friendId, sharePath, share, target); !error.empty())
            return Fail(error);
        if (!target.folder)
            return Fail(U8(sharePath) + " is not a folder");
        if (!(share.rights & ZYL_PRIV_UPLOAD))
            return Fail(U8(friendId) + " does not let you upload into " + U8(share.name));
        task = tasks.CreateUploadTask(friendId, localPath, localName, folder, sharePath, share.shareTime);
        if (!task)
            return Fail("cannot make the upload task (see the settings file and the data folder)");
        fmt::print("uploading {} to {} on {}\n", local.string(), U8(sharePath), friendText);
    }
    std::fflush(stdout);
    const int result = FollowTask(node, *task, friendId);
    node.Stop();
    return result;
}

int ZylCmdTasks(const ZYLNODEOPTIONS& options) {
    CZylNode node(options);
    if (auto error = node.Start(false); !error.empty())
        return Fail(error);
    CZylTaskManager& tasks = node.Plugin().GetTaskManager();
    fmt::print("{:>6} {:<8} {:<12} {:<9} {:>5} {:>22}  {}\n", "ID", "TYPE", "FRIEND", "STATE", "DONE",
               "BYTES", "NAME");
    for (int32_t i = 0; i < tasks.GetTaskCount(); ++i) {
        CZylTask* task = tasks.GetTaskAt(i);
        if (task->m_bRemoved)
            continue;
        task->UpdatePercent();
        const char* state = task->m_bFinished ? "finished" : task->m_bRunning ? "running" : "stopped";
        fmt::print("{:>6} {:<8} {:<12} {:<9} {:>4}% {:>22}  {}\n", task->m_nTaskID,
                   task->m_nType == ZYL_TASK_DOWNLOAD ? "download" : "upload", U8(task->GetUserId()), state,
                   task->m_bFinished ? 100 : task->m_nPercent,
                   fmt::format("{}/{}", task->m_nCurrentSize, task->m_nTotalSize), U8(task->GetTaskName()));
    }
    return 0;
}
