#include "share/ZylShareManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylLog.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

namespace {

constexpr std::u16string_view ZYL_SHARE_FILE_VERSION = u"Beta0.1";
constexpr std::u16string_view ZYL_SHARE_FILE_HEADER = u"#zyl share file, version=";
constexpr std::u16string_view ZYL_SHARE_FILE_ID = u"#id=";
constexpr std::u16string_view ZYL_SHARE_BEGIN = u"[ShareObjectBegin]";
constexpr std::u16string_view ZYL_SHARE_END = u"[ShareObjectEnd]";
constexpr std::u16string_view ZYL_FOLDER_TYPE = u"Folder";
constexpr std::u16string_view ZYL_SINGLE_FILE_TYPE = u"file";
// Sizes travel as 32-bit signed numbers: a larger file could be neither listed nor fetched.
constexpr uintmax_t ZYL_MAX_LISTED_SIZE = 0x7FFFFFFFu;
// Entries left out of one listing that are named in the log; the rest are counted.
constexpr int32_t ZYL_LEFT_OUT_NAMED = 10;

// A local path as a log line shows it: a control character in a name must not break the line.
std::string ZylPrintable(std::u16string_view path) {
    std::u16string text(path);
    for (char16_t& c : text)
        if (c < 0x20 || c == 0x7F)
            c = u'?';
    return ZylToUtf8(text);
}

// The number of items of a page starting at begin.
int32_t PageCount(int32_t total, int32_t begin) {
    const int32_t rest = total - begin;
    return rest <= CZylShareManager::PAGE_ITEMS ? (rest < 0 ? 0 : rest) : CZylShareManager::PAGE_ITEMS;
}

bool FitsField(std::u16string_view text) {
    return text.size() <= ZYL_SHARE_TEXT_LIMIT && text.find(u'\n') == std::u16string_view::npos;
}

// The last write time of a stat result, as the listing carries it (what last_write_time gives,
// without asking the file system again).
CZylDateTime ZylModifiedTime(const struct stat& status) {
    using namespace std::chrono;
    const sys_time<milliseconds> when = sys_seconds(seconds(status.st_mtim.tv_sec)) +
                                        duration_cast<milliseconds>(nanoseconds(status.st_mtim.tv_nsec));
    CZylDateTime time;
    FileTimeToZylTime(std::filesystem::file_time_type::clock::from_sys(when), time);
    return time;
}

} // namespace

// What a listing needs, copied on the UI thread when the request arrives: the worker reads
// nothing of the manager's shares. It also carries the listing's progress from turn to turn.
struct CZylShareManager::ZYLWORKORDER {
    uint32_t command = 0;
    uint32_t taskId = 0;
    std::u16string user;        // who asked
    std::u16string folder;      // the local folder to list
    std::u16string root;        // the shared item, which nothing listed may leave
    std::u16string shareFolder; // the share's Path
    std::u16string shareName;   // the share name as the request gave it
    ZylShareList list;          // root info: the shares with the asker's rights; else the entries
    bool enumerated = false;
    int32_t total = 0;
    int32_t begin = 0;
    int32_t sent = 0;
};

// How an enumeration goes: the folders seen (no endless descent through links), what was left
// out, and the flag that stops it.
struct CZylShareManager::ZYLENUMSTATE {
    std::u16string_view root;
    const std::atomic<bool>* pStop = nullptr;
    std::set<std::filesystem::path> visited;
    int32_t nLeftOut = 0;
};

CZylShareManager::CZylShareManager(IZylPluginContext& owner) : CZylManagerBase(owner) {}

CZylShareManager::~CZylShareManager() {
    Shutdown();
    // Every change is saved when it is made; this catches one whose save failed.
    if (IsModified() && !m_sDbPath.empty())
        LoadSave(0);
    ClearShares();
}

CZylDateTime CZylShareManager::Now() const {
    return CZylDateTime(m_rContext.GetPlatform().GetCalendarTime());
}

void CZylShareManager::Note(std::u16string_view text) {
    m_rContext.WriteLog(ZYL_LOG_WARNING, text);
}

// ---------------------------------------------------------------------------------------------
// The share database

int32_t CZylShareManager::WriteHeader(CZylDbWriter& file) {
    file.WriteLine(std::u16string(ZYL_SHARE_FILE_HEADER) + std::u16string(ZYL_SHARE_FILE_VERSION));
    file.WriteLine(std::u16string(ZYL_SHARE_FILE_ID) + m_sLoginId);
    return 0;
}

int32_t CZylShareManager::ReadHeader(CZylDbReader& file) {
    // Any version is accepted; the id must be the login id.
    return ZylReadDbHeader(file, ZYL_SHARE_FILE_HEADER, m_sLoginId) == EZylDbHeader::Ours ? 0 : -1;
}

int32_t CZylShareManager::LoadSave(int32_t load) {
    if (m_sDbPath.empty())
        return -1;
    return load ? Load() : Save();
}

bool CZylShareManager::IsServableShare(const CZylShareObject& share) {
    const std::u16string& name = share.GetShareName();
    if (name.empty() || name.find(ZYL_SHARE_SEPARATOR) != std::u16string::npos)
        return false; // a peer could never ask for it
    // The item is one name in an absolute folder: never the file-system root itself.
    const std::u16string& item = share.GetName();
    if (item.empty() || item == u"." || item == u".." ||
        item.find(ZYL_LOCAL_SEPARATOR) != std::u16string::npos)
        return false;
    if (share.GetPath().empty() || share.GetPath().front() != ZYL_LOCAL_SEPARATOR)
        return false;
    return FitsField(name) && FitsField(item) && FitsField(share.GetPath()) && FitsField(share.GetType());
}

int32_t CZylShareManager::Load() {
    ClearShares();
    m_bNoUpload = 0;
    CZylDbReader file;
    bool damaged = false;
    if (!OpenDatabase(file, ZYL_SHARE_FILE_HEADER, "share", damaged))
        return 0;
    const size_t afterHeader = file.GetPosition();
    m_bNoUpload = file.ReadIntLine(u"NoUpload", damaged) ? 1 : 0;
    const int32_t count = file.ReadIntLine(u"ShareNum", damaged);
    ZylShareList shares;
    std::unique_ptr<CZylShareObject> share;
    const size_t records = ZylReadDbBlocks(
        file, afterHeader, 2, ZYL_SHARE_BEGIN, ZYL_SHARE_END,
        [&] {
            share = std::make_unique<CZylShareObject>();
            share->Serialize(file);
            return IsServableShare(*share);
        },
        [&] { shares.push_back(std::move(share)); }, damaged);
    damaged = damaged || records != static_cast<size_t>(std::max(count, 0)) || count < 0;
    {
        std::lock_guard lock(m_mutex);
        m_vShares = std::move(shares);
    }
    if (damaged) {
        SetAsideDatabase(u"damaged", u"the share database", "share", static_cast<int64_t>(m_vShares.size()));
        // What was kept is on disk again at once, not only when something changes.
        if (Save() < 0)
            SetModified(true);
    }
    return 0;
}

int32_t CZylShareManager::Save() {
    CZylDbWriter file;
    WriteHeader(file);
    std::lock_guard lock(m_mutex);
    file.WriteLine(ZylFormat("NoUpload={}", m_bNoUpload));
    file.WriteLine(ZylFormat("ShareNum={}", m_vShares.size()));
    for (const auto& share : m_vShares)
        share->Serialize(file);
    return file.Commit(m_sDbPath) ? 0 : -1;
}

int32_t CZylShareManager::SaveChanges() {
    SetModified(true);
    if (LoadSave(0) < 0) {
        Note(u"the share database could not be written");
        return -1;
    }
    SetModified(false);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The shares

int32_t CZylShareManager::AddShare(std::unique_ptr<CZylShareObject> share) {
    if (!share || !IsServableShare(*share))
        return -1;
    share->SetShareTime(Now());
    {
        std::lock_guard lock(m_mutex);
        m_vShares.push_back(std::move(share));
    }
    SaveChanges();
    return 0;
}

int32_t CZylShareManager::RemoveShare(std::u16string_view name) {
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_vShares.begin(), m_vShares.end(),
                               [&](const auto& s) { return ZylEqualNoCase(s->GetShareName(), name); });
        if (it == m_vShares.end())
            return -1;
        m_vShares.erase(it);
    }
    SaveChanges();
    return 0;
}

int32_t CZylShareManager::ShareNameExists(std::u16string_view name) const {
    return FindShareByName(name) >= 0 ? 1 : 0;
}

int32_t CZylShareManager::IsPathShared(std::u16string_view path, int32_t folder,
                                       CZylShareObject** share) const {
    std::lock_guard lock(m_mutex);
    for (const auto& s : m_vShares) {
        if (GetShareLocalPath(*s) != path) // local paths are case-sensitive here
            continue;
        if (share)
            *share = s.get();
        if (s->GetFolder() == folder)
            return 1;
    }
    return 0;
}

int32_t CZylShareManager::FindShareByName(std::u16string_view name, CZylShareObject** share) const {
    std::lock_guard lock(m_mutex);
    for (size_t i = 0; i < m_vShares.size(); ++i) {
        if (ZylEqualNoCase(m_vShares[i]->GetShareName(), name)) {
            if (share)
                *share = m_vShares[i].get();
            return static_cast<int32_t>(i);
        }
    }
    if (share)
        *share = nullptr;
    return -1;
}

int32_t CZylShareManager::ShareExists(std::u16string_view name, const CZylDateTime&,
                                      CZylShareObject** share) const {
    return FindShareByName(name, share) >= 0 ? 1 : 0;
}

int32_t CZylShareManager::GetShareCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int32_t>(m_vShares.size());
}

CZylShareObject* CZylShareManager::GetShare(int32_t index) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_vShares.size())
        return nullptr;
    return m_vShares[static_cast<size_t>(index)].get();
}

std::u16string CZylShareManager::GetShareLocalPath(const CZylShareObject& share) const {
    return ZylJoinPath(share.GetPath(), share.GetName());
}

int32_t CZylShareManager::SharePathToLocalPath(std::u16string_view sharePath, std::u16string& localPath,
                                               const CZylShareObject& share) const {
    const std::u16string_view first = ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR);
    localPath = share.GetName();
    if (!ZylEqualNoCase(sharePath, first))
        localPath = ZylJoinPath(localPath,
                                ZylShareToLocalPath(ZylAfterFirstComponent(sharePath, ZYL_SHARE_SEPARATOR)));
    return 0;
}

int32_t CZylShareManager::ResolveSharePath(std::u16string_view sharePath, CZylShareObject*& share,
                                           std::u16string& localPath) const {
    localPath.clear();
    if (FindShareByName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), &share) < 0)
        return ZYL_SHARE_PATH_NO_SHARE;
    // One trailing separator names the same folder; anything else must be plain names.
    const std::u16string_view below =
        ZylTrimTrailingSeparator(ZylAfterFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), ZYL_SHARE_SEPARATOR);
    if (!ZylIsSafeRelativePath(below, ZYL_SHARE_SEPARATOR))
        return ZYL_SHARE_PATH_UNSAFE;
    if (NamesUploadTemp(below, ZYL_SHARE_SEPARATOR))
        return ZYL_SHARE_PATH_RECEIVING;
    std::u16string relative;
    SharePathToLocalPath(sharePath, relative, *share);
    localPath = ZylJoinPath(share->GetPath(), relative);
    if (!ZylIsInside(ZylToFsPath(GetShareLocalPath(*share)), ZylToFsPath(localPath))) {
        localPath.clear();
        return ZYL_SHARE_PATH_UNSAFE;
    }
    return ZYL_SHARE_PATH_OK;
}

void CZylShareManager::SetNoUpload(int32_t noUpload) {
    m_bNoUpload = noUpload ? 1 : 0;
    SaveChanges();
}

void CZylShareManager::RemoveCurrentUserFromShares(std::u16string_view user) {
    {
        std::lock_guard lock(m_mutex);
        for (auto& share : m_vShares)
            share->RemoveCurrentUser(user);
    }
    CloseFilesOfUser(user);
    DropListingsOf(user);
}

void CZylShareManager::DropListingsOf(std::u16string_view user) {
    m_pool.DropPeer(user);
}

void CZylShareManager::StartListings() {
    m_pool.Open();
}

void CZylShareManager::ClearShares() {
    CloseAllFiles();
    std::lock_guard lock(m_mutex);
    m_vShares.clear();
}

void CZylShareManager::Shutdown() {
    m_pool.Shutdown();
    StopFlusher();
}

// ---------------------------------------------------------------------------------------------
// Requests

int32_t CZylShareManager::OnRequestShareRootInfo(const uint8_t* payload, int32_t length,
                                                 std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    CZylDateTime requestTime;
    reader.Read(requestTime);

    auto order = std::make_shared<ZYLWORKORDER>();
    order->command = ZYL_CMD_SHARE_ROOT_INFO_REQUEST;
    order->user = user;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& share : m_vShares) {
            auto item = std::make_unique<CZylShareObject>();
            item->CopyFrom(*share);
            item->SetGrantedPrivilege(share->GetReportedPrivilege(user, m_bNoUpload != 0));
            order->list.push_back(std::move(item));
        }
    }
    Submit(std::move(order));
    return 0;
}

int32_t CZylShareManager::OnRequestExplorerFolder(const uint8_t* payload, int32_t length,
                                                  std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    CZylDateTime time;
    reader.Read(time);
    const std::u16string sharePath = reader.ReadString();

    CZylShareObject* share = nullptr;
    std::u16string folder;
    const int32_t resolved = ResolveSharePath(sharePath, share, folder);
    if (resolved == ZYL_SHARE_PATH_NO_SHARE)
        return 0; // no reply of any kind
    const bool known = share->FindCurrentUser(user) >= 0;
    // A user already served is not shut out by the limit it counts towards.
    if (!share->HasPrivilege(user, ZYL_PRIV_BROWSE) || (share->IsUserLimitReached() && !known)) {
        SendErrorPdu(ZYL_ERROR_USER_DENIED, user);
        return -1;
    }
    if (resolved != ZYL_SHARE_PATH_OK) {
        SendErrorPdu(resolved == ZYL_SHARE_PATH_RECEIVING ? ZYL_ERROR_FILE_REMOVED : ZYL_ERROR_OTHER, user);
        return -1;
    }
    if (!known) {
        std::lock_guard lock(m_mutex);
        share->AddCurrentUser(ZYLSHAREUSER{std::u16string(user), {}, 0, 0}, Now());
    }

    auto order = std::make_shared<ZYLWORKORDER>();
    order->command = ZYL_CMD_EXPLORER_FOLDER_REQUEST;
    order->user = user;
    order->folder = folder;
    order->root = GetShareLocalPath(*share);
    order->shareFolder = share->GetPath();
    Submit(std::move(order));
    return 0;
}

int32_t CZylShareManager::OnRequestFileListOfShareFolder(const uint8_t* payload, int32_t length,
                                                         std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    const uint32_t taskId = reader.ReadUInt32();
    CZylDateTime shareTime;
    reader.Read(shareTime);
    const int32_t folderFlag = reader.ReadInt32();
    const std::u16string sharePath = reader.ReadString();
    const std::u16string shareName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR));

    CZylShareObject* share = nullptr;
    std::u16string local;
    const int32_t resolved = ResolveSharePath(sharePath, share, local);
    if (resolved == ZYL_SHARE_PATH_NO_SHARE)
        return 0;
    // Errors answering a file list carry its task id, so that the asker's task can stop with them.
    if (!share->HasPrivilege(user, ZYL_PRIV_DOWNLOAD)) {
        SendErrorPdu(ZYL_ERROR_USER_DENIED, user, taskId);
        return -1;
    }
    if (resolved != ZYL_SHARE_PATH_OK) {
        SendErrorPdu(resolved == ZYL_SHARE_PATH_RECEIVING ? ZYL_ERROR_FILE_REMOVED : ZYL_ERROR_OTHER, user,
                     taskId);
        return -1;
    }

    if (folderFlag != 0) {
        auto order = std::make_shared<ZYLWORKORDER>();
        order->command = ZYL_CMD_FILE_LIST_REQUEST;
        order->taskId = taskId;
        order->user = user;
        order->folder = local;
        order->root = GetShareLocalPath(*share);
        order->shareFolder = share->GetPath();
        order->shareName = shareName;
        Submit(std::move(order));
        return 0;
    }

    // A single file is answered at once.
    std::error_code ec;
    const std::filesystem::path fsPath = ZylToFsPath(local);
    if (!std::filesystem::is_regular_file(fsPath, ec)) {
        SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId);
        return -1;
    }
    const uintmax_t size = std::filesystem::file_size(fsPath, ec);
    if (ec) {
        SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId);
        return -1;
    }
    if (size > ZYL_MAX_LISTED_SIZE) {
        Note(ZylFormat("file of 2 GiB or more not served: {}", ZylPrintable(local)));
        SendErrorPdu(ZYL_ERROR_OTHER, user, taskId);
        return -1;
    }
    ZylShareList list;
    auto file = std::make_unique<CZylShareObject>();
    file->SetFolder(0);
    file->SetName(ZylLastComponent(local, ZYL_LOCAL_SEPARATOR));
    file->SetPath(std::u16string_view(local).substr(0, local.rfind(ZYL_LOCAL_SEPARATOR)));
    file->SetType(ZYL_SINGLE_FILE_TYPE);
    file->SetSize(static_cast<uint32_t>(size));
    CZylDateTime modified;
    const auto writeTime = std::filesystem::last_write_time(fsPath, ec);
    if (!ec)
        FileTimeToZylTime(writeTime, modified);
    file->SetTime(modified);
    list.push_back(std::move(file));
    RespondFileListOfShareFolder(taskId, user, share->GetPath(), shareName, 0, list);

    std::lock_guard lock(m_mutex);
    ZYLSHAREUSER* entry = nullptr;
    if (share->FindCurrentUser(user, &entry) >= 0)
        ++entry->downloads;
    else
        share->AddCurrentUser(ZYLSHAREUSER{std::u16string(user), {}, 1, 0}, Now());
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Replies

int32_t CZylShareManager::RespondShareRootInfo(std::u16string_view user, int32_t begin, int32_t& sent,
                                               const ZylShareList& shares) {
    const int32_t total = static_cast<int32_t>(shares.size());
    const int32_t count = PageCount(total, begin);
    ZylPayloadWriter writer;
    writer.WriteInt32(0).WriteInt32(total).WriteInt32(begin).WriteInt32(count);
    int32_t written = 0;
    for (int32_t i = begin; written < count && i < total; ++i, ++written) {
        const CZylShareObject& share = *shares[static_cast<size_t>(i)];
        writer.WriteInt32(share.GetFolder());
        writer.WriteString(share.GetShareName());
        writer.WriteString(share.GetType());
        writer.WriteInt16(share.GetGrantedPrivilege());
        writer.Write(share.GetShareTime());
        writer.Write(share.GetTime());
        writer.WriteInt32(share.GetSize());
    }
    if (m_rContext.SendPayload(ZYL_CMD_SHARE_ROOT_INFO_REPLY, writer, user, ZYL_CHANNEL_REQUEST) < 0)
        return -1;
    sent += written;
    return written;
}

int32_t CZylShareManager::RespondExplorerFolder(std::u16string_view user, int32_t begin,
                                                const ZylShareList& list) {
    const int32_t total = static_cast<int32_t>(list.size());
    const int32_t count = PageCount(total, begin);
    ZylPayloadWriter writer;
    writer.WriteInt32(0).WriteInt32(total).WriteInt32(begin).WriteInt32(count);
    for (int32_t i = begin; i < begin + count; ++i) {
        const CZylShareObject& entry = *list[static_cast<size_t>(i)];
        writer.WriteInt32(entry.GetFolder());
        writer.WriteString(entry.GetName());
        writer.WriteString(entry.GetType());
        writer.WriteInt32(entry.GetSize());
        writer.Write(entry.GetTime());
    }
    return m_rContext.SendPayload(ZYL_CMD_EXPLORER_FOLDER_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

std::u16string CZylShareManager::FileSharePath(std::u16string_view shareFolder, std::u16string_view shareName,
                                               const CZylShareObject& file) {
    const size_t n = ZylTrimTrailingSeparator(shareFolder, ZYL_LOCAL_SEPARATOR).size();
    const std::u16string full = ZylJoinPath(file.GetPath(), file.GetName());
    // Below the share's parent folder; the first component is the shared item itself.
    const std::u16string_view below =
        full.size() > n + 1 ? std::u16string_view(full).substr(n + 1) : std::u16string_view();
    if (below.find(ZYL_LOCAL_SEPARATOR) == std::u16string_view::npos)
        return std::u16string(shareName);
    return ZylJoinPath(shareName, ZylLocalToSharePath(ZylAfterFirstComponent(below, ZYL_LOCAL_SEPARATOR)),
                       ZYL_SHARE_SEPARATOR);
}

int32_t CZylShareManager::RespondFileListOfShareFolder(uint32_t taskId, std::u16string_view user,
                                                       std::u16string_view shareFolder,
                                                       std::u16string_view shareName, int32_t begin,
                                                       const ZylShareList& list) {
    const int32_t total = static_cast<int32_t>(list.size());
    const int32_t count = PageCount(total, begin);
    ZylPayloadWriter writer;
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(0).WriteInt32(total).WriteInt32(begin).WriteInt32(count);
    for (int32_t i = begin; i < begin + count; ++i) {
        const CZylShareObject& file = *list[static_cast<size_t>(i)];
        writer.WriteString(FileSharePath(shareFolder, shareName, file));
        writer.WriteInt32(file.GetSize());
        writer.Write(file.GetTime());
    }
    return m_rContext.SendPayload(ZYL_CMD_FILE_LIST_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

int32_t CZylShareManager::RespondEmptyFileList(uint32_t taskId, std::u16string_view user) {
    ZylPayloadWriter writer;
    writer.Write(Now());
    writer.WriteInt32(taskId);
    return m_rContext.SendPayload(ZYL_CMD_EMPTY_FILE_LIST, writer, user, ZYL_CHANNEL_REQUEST);
}

// ---------------------------------------------------------------------------------------------
// Listing workers

bool CZylShareManager::Submit(std::shared_ptr<ZYLWORKORDER> order) {
    const std::u16string user = order->user;
    const uint32_t taskId = order->taskId;
    const auto submitted = m_pool.Submit(
        user,
        [this, order = std::move(order)](const std::atomic<bool>& stop) {
            // Nothing may leave a worker thread: a failure ends this listing only.
            try {
                return ListingStep(*order, stop);
            } catch (const ZylCodecError&) {
                Note(u"a listing page could not be built");
            } catch (const std::exception&) {
                Note(u"a listing failed");
            }
            return false;
        },
        // Pages are paced by the asker alone: the next one waits only while the host has not
        // taken enough of what waits for that user (a peer that takes nothing cannot make the
        // send queue grow), and goes as soon as the host takes some.
        [this, user] { return m_rContext.GetQueuedCount(user, ZYL_CHANNEL_REQUEST) < PAGE_BACKLOG; });
    if (submitted == CZylWorkerPool::SUBMITTED::Full) {
        // The asker has enough listings waiting (or everyone together has): it may ask again later.
        // A peer that takes nothing sent to it is no longer told, so that its requests cannot pile
        // up refusals in the send queue without end either.
        if (m_rContext.GetQueuedCount(user, ZYL_CHANNEL_REQUEST) < REFUSAL_BACKLOG)
            SendErrorPdu(ZYL_ERROR_NET_BUSY, user, taskId);
        return false;
    }
    // Closed: logged out, nobody to answer with.
    return submitted == CZylWorkerPool::SUBMITTED::Queued;
}

int32_t CZylShareManager::OfferPage(ZYLWORKORDER& order, const std::function<int32_t(int32_t)>& page) {
    // Another listing of the same user may have filled the line since this one was picked: the
    // page waits for the next turn the pool gives it.
    if (m_rContext.GetQueuedCount(order.user, ZYL_CHANNEL_REQUEST) >= PAGE_BACKLOG)
        return 1;
    const int32_t queued = page(order.begin);
    if (queued < 0) {
        // Only without a send queue or without memory: nothing a drain would change.
        m_rContext.GetPlatform().Sleep(RETRY_PAUSE_MS);
        return 1; // the same page again, next turn
    }
    if (order.total == 0 || queued == 0)
        return 0; // the one empty page (and nothing further could ever be sent)
    order.begin += queued;
    return order.begin < order.total ? 1 : 0;
}

bool CZylShareManager::Enumerate(ZYLWORKORDER& order, bool recursive, const std::atomic<bool>& stop) {
    ZylShareList found;
    const int32_t result = EnumFiles(order.folder, found, recursive, order.root, &stop);
    if (result == ZYL_ENUM_NO_FOLDER) {
        // A folder that is gone (or cannot be read) is no empty folder: the asker must not take
        // its listing for a complete one.
        Note(ZylFormat("folder not found or not readable: {}", ZylPrintable(order.folder)));
        SendErrorPdu(ZYL_ERROR_FILE_REMOVED, order.user, order.taskId);
        return false;
    }
    if (result < 0)
        return false; // stopped, or no memory: nothing is sent
    if (recursive) {
        // A path the asker's task could not hold is left out rather than cut.
        for (auto& file : found) {
            if (FileSharePath(order.shareFolder, order.shareName, *file).size() > ZYL_SHARE_TEXT_LIMIT) {
                Note(ZylFormat("path too long to list: {}",
                               ZylPrintable(ZylJoinPath(file->GetPath(), file->GetName()))));
                continue;
            }
            order.list.push_back(std::move(file));
        }
    } else {
        order.list = std::move(found);
    }
    order.total = static_cast<int32_t>(order.list.size());
    order.enumerated = true;
    return true;
}

bool CZylShareManager::ListingStep(ZYLWORKORDER& order, const std::atomic<bool>& stop) {
    if (stop)
        return false;
    switch (order.command) {
    case ZYL_CMD_SHARE_ROOT_INFO_REQUEST:
        // A user without shares still answers: one page with total 0 completes the asker's list.
        order.total = static_cast<int32_t>(order.list.size());
        return OfferPage(order, [&](int32_t begin) {
                   return RespondShareRootInfo(order.user, begin, order.sent, order.list);
               }) > 0;
    case ZYL_CMD_EXPLORER_FOLDER_REQUEST:
        // The enumeration is a turn of its own; the pages follow in later turns.
        if (!order.enumerated)
            return Enumerate(order, false, stop);
        return OfferPage(order, [&](int32_t begin) {
                   return RespondExplorerFolder(order.user, begin, order.list) < 0
                              ? -1
                              : PageCount(order.total, begin);
               }) > 0;
    case ZYL_CMD_FILE_LIST_REQUEST:
        if (!order.enumerated)
            return Enumerate(order, true, stop);
        if (order.total == 0)
            return OfferPage(order, [&](int32_t) {
                       return RespondEmptyFileList(order.taskId, order.user) < 0 ? -1 : 0;
                   }) > 0;
        return OfferPage(order, [&](int32_t begin) {
                   return RespondFileListOfShareFolder(order.taskId, order.user, order.shareFolder,
                                                       order.shareName, begin, order.list) < 0
                              ? -1
                              : PageCount(order.total, begin);
               }) > 0;
    default:
        return false;
    }
}

std::u16string CZylShareManager::FileTypeOf(const std::filesystem::path& path) {
    // The type follows the extension: it is asked of the platform once per extension (the lookup
    // may open the file), then taken from the cache.
    std::string extension = path.extension().native();
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    {
        std::lock_guard lock(m_typeMutex);
        auto found = m_mTypes.find(extension);
        if (found != m_mTypes.end())
            return found->second;
    }
    std::u16string type = m_rContext.GetPlatform().GetFileTypeName(path.native());
    std::lock_guard lock(m_typeMutex);
    if (m_mTypes.size() < TYPE_CACHE_LIMIT)
        m_mTypes.emplace(std::move(extension), type);
    return type;
}

int32_t CZylShareManager::EnumFiles(std::u16string_view folder, ZylShareList& list, bool recursive,
                                    std::u16string_view root, const std::atomic<bool>* stop) {
    namespace fs = std::filesystem;
    ZYLENUMSTATE state;
    state.root = root;
    state.pStop = stop;
    try {
        // The folder asked for must be there: a missing or unreadable one is an error, not an
        // empty listing. (A file is no folder and lists nothing, as before.)
        std::error_code ec;
        const std::u16string base(ZylTrimTrailingSeparator(folder, ZYL_LOCAL_SEPARATOR));
        const fs::path fsBase = ZylToFsPath(base.empty() ? u"/" : base);
        const fs::file_status status = fs::status(fsBase, ec);
        if (ec || !fs::exists(status))
            return ZYL_ENUM_NO_FOLDER;
        if (!fs::is_directory(status))
            return 0;
        fs::directory_iterator probe(fsBase, ec);
        if (ec)
            return ZYL_ENUM_NO_FOLDER;
        const int32_t count = EnumFolder(folder, list, recursive, state);
        if (state.nLeftOut > ZYL_LEFT_OUT_NAMED)
            Note(ZylFormat("{} more entries left out of the listing of {}",
                           state.nLeftOut - ZYL_LEFT_OUT_NAMED, ZylPrintable(base)));
        return count;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

void CZylShareManager::LeaveOut(ZYLENUMSTATE& state, std::string_view reason, std::u16string_view path) {
    // The serving user learns what a peer will not see; a folder of many such names gives a few
    // lines and a count, not a line each.
    if (++state.nLeftOut <= ZYL_LEFT_OUT_NAMED)
        Note(ZylFormat("not listed ({}): {}", reason, ZylPrintable(path)));
}

int32_t CZylShareManager::EnumFolder(std::u16string_view folder, ZylShareList& list, bool recursive,
                                     ZYLENUMSTATE& state) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::u16string base(ZylTrimTrailingSeparator(folder, ZYL_LOCAL_SEPARATOR));
    const fs::path fsBase = ZylToFsPath(base.empty() ? u"/" : base);
    // A folder reached twice (through a symbolic link) is listed once: no endless descent.
    const fs::path real = fs::canonical(fsBase, ec);
    if (ec || !state.visited.insert(real).second)
        return 0;
    fs::directory_iterator it(fsBase, ec);
    if (ec) {
        LeaveOut(state, "folder not readable", base);
        return 0;
    }

    // One look at each entry (its kind, size and time together): a folder of many files costs
    // one file-system call per entry beyond the enumeration.
    struct FOUND {
        std::u16string name;
        fs::path path;
        struct stat status;
    };
    std::vector<FOUND> folders, files;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (state.pStop && *state.pStop)
            return ZYL_ENUM_STOPPED;
        const fs::path& path = it->path();
        const std::string native = path.filename().native();
        const std::u16string name = ZylFromUtf8(native);
        // A name a peer could not send back, or could not send at all, is not listed; nor is an
        // upload still being received (silently: it is this node's own file).
        if (IsUploadTempName(name))
            continue;
        if (ZylToUtf8(name) != native) {
            LeaveOut(state, "the name is not UTF-8", ZylJoinPath(base, name));
            continue;
        }
        if (!ZylIsTransferableName(name)) {
            LeaveOut(state, "the name cannot travel between peers", ZylJoinPath(base, name));
            continue;
        }
        std::error_code entryError;
        if (it->is_symlink(entryError) && !state.root.empty() && !ZylIsInside(ZylToFsPath(state.root), path))
            continue;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0)
            continue; // gone meanwhile, or a link that leads nowhere
        if (S_ISDIR(status.st_mode))
            folders.push_back({name, path, status});
        else if (S_ISREG(status.st_mode))
            files.push_back({name, path, status});
    }

    int32_t count = 0;
    for (const FOUND& found : folders) {
        if (state.pStop && *state.pStop)
            return ZYL_ENUM_STOPPED;
        if (recursive) {
            const int32_t below = EnumFolder(ZylJoinPath(base, found.name), list, true, state);
            if (below < 0)
                return below;
            count += below;
            continue;
        }
        auto entry = std::make_unique<CZylShareObject>();
        entry->SetFolder(1);
        entry->SetName(found.name);
        entry->SetPath(base);
        entry->SetType(ZYL_FOLDER_TYPE);
        entry->SetSize(0);
        entry->SetTime(ZylModifiedTime(found.status));
        list.push_back(std::move(entry));
        ++count;
    }
    for (const FOUND& found : files) {
        if (state.pStop && *state.pStop)
            return ZYL_ENUM_STOPPED;
        const auto size = static_cast<uintmax_t>(found.status.st_size);
        if (size > ZYL_MAX_LISTED_SIZE) {
            LeaveOut(state, "2 GiB or more", ZylJoinPath(base, found.name));
            continue;
        }
        auto entry = std::make_unique<CZylShareObject>();
        entry->SetFolder(0);
        entry->SetName(found.name);
        entry->SetPath(base);
        entry->SetType(FileTypeOf(found.path));
        entry->SetSize(static_cast<uint32_t>(size));
        entry->SetTime(ZylModifiedTime(found.status));
        list.push_back(std::move(entry));
        ++count;
    }
    return count;
}
