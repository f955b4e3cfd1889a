// The transfer requests of other users: file data served piece by piece, uploads received into a
// share, the unfinished tasks a peer reports, and the close notice that releases what a transfer
// holds open. Every path a peer names passes the share manager's gate before a file is touched.
#include "share/ZylShareManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr int32_t ZYL_SERVED_BLOCK = 7168;
constexpr int32_t ZYL_TRANSFER_DOWNLOAD = 2;
constexpr int32_t ZYL_TRANSFER_UPLOAD = 4;
// A reply carries a time, a few numbers and at most one piece.
constexpr int32_t ZYL_REPLY_CAPACITY = 64 + ZYL_SERVED_BLOCK;
// An item of the unfinished-tasks list needs at least its kind and its name's length.
constexpr int32_t ZYL_MIN_UNFINISHED_ITEM = 8;

// The local name of an upload's file, as the uploader sends it: relative to the target folder, "\"
// between components and at most one leading "\". Empty when it may not be used.
std::u16string UploadLocalName(std::u16string_view name) {
    if (!name.empty() && name.front() == ZYL_SHARE_SEPARATOR)
        name.remove_prefix(1);
    if (name.empty() || !ZylIsSafeRelativePath(name, ZYL_SHARE_SEPARATOR))
        return {};
    return ZylShareToLocalPath(name);
}

int64_t FileLength(std::FILE* file) {
    if (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    return std::ftell(file);
}
} // namespace

int32_t CZylShareManager::OnRequestFileData(const uint8_t* payload, int32_t length,
                                            std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    const uint32_t taskId = reader.ReadUInt32();
    const uint32_t fileIndex = reader.ReadUInt32();
    CZylDateTime shareTime;
    reader.Read(shareTime);
    const std::u16string sharePath = reader.ReadString();
    const int32_t offset = reader.ReadInt32();

    CZylShareObject* share = nullptr;
    if (FindShareByName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), &share) < 0)
        return SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user, taskId), -1;
    // The file list that starts a download checks the right; so does every piece, since a peer
    // can ask for pieces without a list.
    if (!share->HasPrivilege(user, ZYL_PRIV_DOWNLOAD))
        return SendErrorPdu(ZYL_ERROR_USER_DENIED, user, taskId), -1;
    // A file this transfer holds open passed the full check when it was opened under this very
    // path; only a new one is checked again (with its links resolved, which is not cheap).
    std::u16string relative;
    SharePathToLocalPath(sharePath, relative, *share);
    std::u16string local = ZylJoinPath(share->GetPath(), relative);
    std::FILE* file = FindReadFile(local, taskId, user);
    if (!file) {
        const int32_t resolved = ResolveSharePath(sharePath, share, local);
        if (resolved == ZYL_SHARE_PATH_NO_SHARE)
            return SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user, taskId), -1;
        if (resolved != ZYL_SHARE_PATH_OK)
            return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
        std::error_code ec;
        if (!fs::is_regular_file(ZylToFsPath(local), ec))
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
        ZylFilePtr opened(std::fopen(ZylToFsPath(local).c_str(), "rb"));
        if (!opened)
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
        file = opened.get();
        if (AddReadFile(taskId, local, std::move(opened), user) < 0)
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
    }
    if (offset < 0) {
        RemoveReadFile(taskId, local, user);
        return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
    }
    // One positioned read per piece: no seek, and no buffer the next piece would throw away.
    uint8_t data[ZYL_SERVED_BLOCK];
    size_t n = 0;
    bool failed = false;
    while (n < sizeof data) {
        const ssize_t got = pread(fileno(file), data + n, sizeof data - n, static_cast<off_t>(offset) + n);
        if (got < 0 && errno == EINTR)
            continue;
        failed = got < 0;
        if (got <= 0)
            break;
        n += static_cast<size_t>(got);
    }
    int32_t last = 0;
    if (n < sizeof data) {
        RemoveReadFile(taskId, local, user);
        if (failed)
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
        last = 1;
    }

    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(fileIndex).WriteInt32(0).WriteInt32(last).WriteInt32(0);
    writer.WriteInt32(offset).WriteInt32(static_cast<int32_t>(n));
    writer.WriteBytes(data, static_cast<int32_t>(n));
    return m_rContext.SendPayload(ZYL_CMD_FILE_DATA_REPLY, writer, user, ZYL_CHANNEL_DATA);
}

int32_t CZylShareManager::OnRequestUpload(const uint8_t* payload, int32_t length, std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    const uint32_t taskId = reader.ReadUInt32();
    CZylDateTime shareTime;
    reader.Read(shareTime);
    const std::u16string sharePath = reader.ReadString();

    CZylShareObject* share = nullptr;
    std::u16string local;
    const int32_t resolved = ResolveSharePath(sharePath, share, local);
    if (resolved == ZYL_SHARE_PATH_NO_SHARE)
        return SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user), -1;
    if (resolved != ZYL_SHARE_PATH_OK)
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;

    int32_t consent = 0;
    if (share->HasPrivilege(user, ZYL_PRIV_UPLOAD) && !m_bNoUpload) {
        consent = 1;
        std::lock_guard lock(m_mutex);
        ZYLSHAREUSER* entry = nullptr;
        if (share->FindCurrentUser(user, &entry) >= 0)
            ++entry->uploads;
        else
            share->AddCurrentUser(ZYLSHAREUSER{std::u16string(user), {}, 0, 1}, Now());
    }
    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(consent);
    return m_rContext.SendPayload(ZYL_CMD_UPLOAD_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

// The checks every upload request passes; the target file's full local path, or an error PDU sent
// and false. Nothing outside the shared item is ever named.
static bool ResolveUploadTarget(CZylShareManager& manager, std::u16string_view sharePath,
                                std::u16string_view localName, std::u16string_view user, bool noUpload,
                                std::u16string& target) {
    CZylShareObject* share = nullptr;
    std::u16string folder;
    const int32_t resolved = manager.ResolveSharePath(sharePath, share, folder);
    if (resolved == ZYL_SHARE_PATH_NO_SHARE) {
        manager.SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user);
        return false;
    }
    const std::u16string name = UploadLocalName(localName);
    if (resolved != ZYL_SHARE_PATH_OK || name.empty()) {
        manager.SendErrorPdu(ZYL_ERROR_OTHER, user);
        return false;
    }
    if (!share->HasPrivilege(user, ZYL_PRIV_UPLOAD) || noUpload) {
        manager.SendErrorPdu(ZYL_ERROR_USER_DENIED, user);
        return false;
    }
    target = ZylJoinPath(folder, name);
    if (!ZylIsInside(ZylToFsPath(manager.GetShareLocalPath(*share)), ZylToFsPath(target))) {
        manager.SendErrorPdu(ZYL_ERROR_OTHER, user);
        return false;
    }
    return true;
}

static std::u16string FolderOf(const std::u16string& path) {
    const size_t at = path.rfind(ZYL_LOCAL_SEPARATOR);
    return at == std::u16string::npos ? std::u16string() : path.substr(0, at);
}

int32_t CZylShareManager::OnRequestSyncFilesize(const uint8_t* payload, int32_t length,
                                                std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    const uint32_t taskId = reader.ReadUInt32();
    CZylDateTime shareTime;
    reader.Read(shareTime);
    const std::u16string sharePath = reader.ReadString();
    const std::u16string localName = reader.ReadString();
    const uint32_t fileIndex = reader.ReadUInt32();

    std::u16string target;
    if (!ResolveUploadTarget(*this, sharePath, localName, user, m_bNoUpload != 0, target))
        return -1;
    int64_t size = 0;
    if (std::FILE* open = FindWriteFile(target, taskId, user)) {
        size = FileLength(open);
    } else {
        ZylCreateDirectory(FolderOf(target));
        std::error_code ec;
        if (fs::is_regular_file(ZylToFsPath(target), ec)) {
            ZylFilePtr opened(std::fopen(ZylToFsPath(target).c_str(), "r+b"));
            if (!opened)
                return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
            size = FileLength(opened.get());
            AddWriteFile(taskId, target, std::move(opened), user);
        }
    }
    if (size < 0 || size > std::numeric_limits<int32_t>::max())
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;

    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(fileIndex).WriteInt32(static_cast<int32_t>(size));
    return m_rContext.SendPayload(ZYL_CMD_SYNC_FILE_SIZE_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

int32_t CZylShareManager::OnRequestWriteFileData(const uint8_t* payload, int32_t length,
                                                 std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    const uint32_t taskId = reader.ReadUInt32();
    const uint32_t fileIndex = reader.ReadUInt32();
    CZylDateTime shareTime;
    reader.Read(shareTime);
    const std::u16string sharePath = reader.ReadString();
    const std::u16string localName = reader.ReadString();
    reader.ReadUInt32(); // file size
    CZylDateTime modified;
    reader.Read(modified);
    const int32_t offset = reader.ReadInt32();
    const int32_t end = reader.ReadInt32();
    const int32_t n = reader.ReadInt32();
    if (n < 0)
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
    // Checked against what the payload holds before anything is read.
    const uint8_t* data = reader.Take(n);

    std::u16string target;
    if (!ResolveUploadTarget(*this, sharePath, localName, user, m_bNoUpload != 0, target))
        return -1;
    if (offset < 0)
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
    const fs::path fsTarget = ZylToFsPath(target);
    if (offset == 0) {
        // The first piece starts the file anew.
        RemoveWriteFile(taskId, target, user);
        ZylRemoveFile(target);
    }
    std::FILE* file = FindWriteFile(target, taskId, user);
    if (!file) {
        ZylCreateDirectory(FolderOf(target));
        std::error_code ec;
        if (offset != 0 && !fs::is_regular_file(fsTarget, ec))
            return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
        ZylFilePtr opened(std::fopen(fsTarget.c_str(), offset == 0 ? "wb" : "r+b"));
        if (!opened)
            return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
        file = opened.get();
        if (AddWriteFile(taskId, target, std::move(opened), user) < 0)
            return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
    }
    if (FileLength(file) != offset)
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
    if (n > 0 && std::fwrite(data, 1, static_cast<size_t>(n), file) != static_cast<size_t>(n)) {
        RemoveWriteFile(taskId, target, user);
        return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
    }
    if (end) {
        const bool flushed = std::fflush(file) == 0;
        RemoveWriteFile(taskId, target, user);
        if (!flushed)
            return SendErrorPdu(ZYL_ERROR_OTHER, user), -1;
        fs::file_time_type time;
        std::error_code ec;
        if (ZylTimeToFileTime(modified, time))
            fs::last_write_time(fsTarget, time, ec);
    }

    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(fileIndex).WriteInt32(offset).WriteInt32(n).WriteInt32(end);
    return m_rContext.SendPayload(ZYL_CMD_WRITE_FILE_DATA_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

int32_t CZylShareManager::OnUnfinishedTasks(const uint8_t* payload, int32_t length,
                                            std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    CZylDateTime time;
    reader.Read(time);
    const int32_t count = reader.ReadInt32();
    if (count <= 0)
        return 0;
    if (static_cast<int64_t>(count) * ZYL_MIN_UNFINISHED_ITEM > reader.Remaining())
        return 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t kind = reader.ReadInt32();
        const std::u16string sharePath = reader.ReadString();
        if (kind != ZYL_TRANSFER_DOWNLOAD && kind != ZYL_TRANSFER_UPLOAD)
            continue;
        CZylShareObject* share = nullptr;
        if (FindShareByName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), &share) < 0)
            continue;
        // Each item counts on the share it names.
        std::lock_guard lock(m_mutex);
        ZYLSHAREUSER* entry = nullptr;
        if (share->FindCurrentUser(user, &entry) >= 0) {
            ++(kind == ZYL_TRANSFER_DOWNLOAD ? entry->downloads : entry->uploads);
        } else {
            share->AddCurrentUser(ZYLSHAREUSER{std::u16string(user),
                                               {},
                                               kind == ZYL_TRANSFER_DOWNLOAD ? 1 : 0,
                                               kind == ZYL_TRANSFER_UPLOAD ? 1 : 0},
                                  Now());
        }
    }
    return 0;
}

int32_t CZylShareManager::OnCloseNotice(const uint8_t* payload, int32_t length, std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    CZylDateTime time;
    reader.Read(time);
    const uint32_t taskId = reader.ReadUInt32();
    const int32_t kind = reader.ReadInt32();
    const std::u16string sharePath = reader.ReadString();
    const int32_t flag = reader.ReadInt32();
    // Only what this peer's transfer holds: another user's task may carry the same id.
    CloseFilesOfTransfer(user, taskId);
    if (flag != 0)
        return 0;
    CZylShareObject* share = nullptr;
    if (FindShareByName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), &share) < 0)
        return 0;
    std::lock_guard lock(m_mutex);
    share->ReleaseCurrentUser(user, kind);
    return 0;
}
