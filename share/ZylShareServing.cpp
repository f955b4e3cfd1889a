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
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

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

// The error code a peer is answered with when a file of its transfer cannot be opened or written:
// a full disk (or quota) is told as such; so is a lack of descriptors, as a passing state.
int32_t FileErrorCode(int error, int32_t otherwise) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ZYL_ERROR_NO_DISK_SPACE;
    case EMFILE:
    case ENFILE:
        return ZYL_ERROR_NET_BUSY;
    default:
        return otherwise;
    }
}

// The size a resumed upload goes on from: every whole piece the temporary file holds but the last.
// That last piece is sent again, so that the piece marked last always arrives and completes the
// file (the file may hold every byte without the end having been seen), and a piece cut short by
// a crash is never trusted.
int64_t ResumeOffset(int64_t held) {
    return held > 0 ? (held - 1) / ZYL_SERVED_BLOCK * ZYL_SERVED_BLOCK : 0;
}

// Flushes the file system of each folder once (a file system's journal takes many files in one
// commit, where a flush per file costs a commit each): the folders whose flush failed.
std::set<fs::path> SyncFileSystems(const std::set<fs::path>& folders) {
    std::map<dev_t, bool> synced;
    std::set<fs::path> failed;
    for (const auto& folder : folders) {
        struct stat status {};
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &status) != 0) {
            failed.insert(folder);
        } else {
            const auto [it, first] = synced.emplace(status.st_dev, true);
            if (first)
                it->second = ::syncfs(fd) == 0;
            if (!it->second)
                failed.insert(folder);
        }
        if (fd >= 0)
            ::close(fd);
    }
    return failed;
}

constexpr std::u16string_view ZYL_UPLOAD_TEMP_SUFFIX = u".fst";
// The longest file name, in bytes, the file systems here take.
constexpr size_t ZYL_NAME_BYTES = 255;

size_t Utf8Length(std::u16string_view text) {
    return ZylToUtf8(text).size();
}

bool IsDigits(std::u16string_view text, size_t most) {
    if (text.empty() || text.size() > most)
        return false;
    for (char16_t c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}
} // namespace

std::u16string CZylShareManager::UploadTempPath(std::u16string_view target, std::u16string_view user,
                                                uint32_t taskId) {
    const size_t at = target.rfind(ZYL_LOCAL_SEPARATOR);
    const std::u16string_view folder =
        at == std::u16string_view::npos ? std::u16string_view() : target.substr(0, at);
    const std::u16string_view name = at == std::u16string_view::npos ? target : target.substr(at + 1);
    const std::u16string tail =
        u"." + std::u16string(user) + u"-" + ZylFromInt(taskId) + std::u16string(ZYL_UPLOAD_TEMP_SUFFIX);
    std::u16string base(name);
    if (Utf8Length(base) + Utf8Length(tail) > ZYL_NAME_BYTES) {
        // A long name is cut and told apart from others cut alike by a hash of the whole name.
        uint64_t hash = 1469598103934665603ull;
        for (char16_t c : name)
            hash = (hash ^ c) * 1099511628211ull;
        const std::u16string mark = ZylFormat("~{:016x}", hash);
        const size_t room = ZYL_NAME_BYTES - Utf8Length(tail) - mark.size();
        while (!base.empty() && Utf8Length(base) > room)
            base.pop_back();
        if (!base.empty() && base.back() >= 0xD800 && base.back() <= 0xDBFF)
            base.pop_back(); // never half a surrogate pair
        base += mark;
    }
    return std::u16string(folder) + (at == std::u16string_view::npos ? u"" : u"/") + base + tail;
}

bool CZylShareManager::IsUploadTempName(std::u16string_view name) {
    // "<name>.<user id>-<task id>.fst", the user id "S" or "SM", a number, ".", a number.
    if (name.size() <= ZYL_UPLOAD_TEMP_SUFFIX.size() || !name.ends_with(ZYL_UPLOAD_TEMP_SUFFIX))
        return false;
    name.remove_suffix(ZYL_UPLOAD_TEMP_SUFFIX.size());
    const size_t dash = name.rfind(u'-');
    if (dash == std::u16string_view::npos || !IsDigits(name.substr(dash + 1), 10))
        return false;
    name = name.substr(0, dash);
    const size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos || !IsDigits(name.substr(dot + 1), 10))
        return false;
    name = name.substr(0, dot);
    size_t start = name.size();
    while (start > 0 && name[start - 1] >= u'0' && name[start - 1] <= u'9')
        --start;
    if (start == name.size())
        return false;
    name = name.substr(0, start);
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    if (!name.empty() && upper(name.back()) == u'M')
        name.remove_suffix(1);
    if (name.empty() || upper(name.back()) != u'S')
        return false;
    name.remove_suffix(1);
    return name.size() >= 2 && name.back() == u'.';
}

bool CZylShareManager::NamesUploadTemp(std::u16string_view path, char16_t separator) {
    for (; !path.empty(); path = ZylAfterFirstComponent(path, separator))
        if (IsUploadTempName(ZylFirstComponent(path, separator)))
            return true;
    return false;
}

ZylFilePtr CZylShareManager::OpenServedFile(const std::u16string& path, int flags) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(ZylToFsPath(path).c_str(), flags | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ZylFilePtr file(::fdopen(fd, (flags & O_ACCMODE) == O_RDONLY ? "rb" : "r+b"));
            if (!file)
                ::close(fd);
            return file;
        }
        // Out of descriptors: what a transfer holds open can be opened again later.
        if ((errno != EMFILE && errno != ENFILE) || !CloseLeastRecentlyUsedFile())
            return nullptr;
    }
    return nullptr;
}

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
        // An upload still being received is not there yet.
        if (resolved == ZYL_SHARE_PATH_RECEIVING)
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
        if (resolved != ZYL_SHARE_PATH_OK)
            return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
        std::error_code ec;
        if (!fs::is_regular_file(ZylToFsPath(local), ec))
            return SendErrorPdu(ZYL_ERROR_FILE_REMOVED, user, taskId), -1;
        ZylFilePtr opened = OpenServedFile(local, O_RDONLY);
        if (!opened)
            return SendErrorPdu(FileErrorCode(errno, ZYL_ERROR_FILE_REMOVED), user, taskId), -1;
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
        return SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user, taskId), -1;
    if (resolved != ZYL_SHARE_PATH_OK)
        return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;

    // An upload counts once however often it is announced (each start of a task whose file list
    // is not made yet announces it again); refused, it no longer counts, since a refused task
    // sends no close notice.
    const int32_t consent = share->HasPrivilege(user, ZYL_PRIV_UPLOAD) && !m_bNoUpload ? 1 : 0;
    {
        std::lock_guard lock(m_mutex);
        if (consent)
            share->CountUpload(user, taskId, sharePath, Now());
        else
            share->ReleaseUpload(user, taskId, sharePath, false);
    }
    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(consent);
    return m_rContext.SendPayload(ZYL_CMD_UPLOAD_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

// The checks every upload request passes; the target file's full local path, or an error PDU sent
// and false. Nothing outside the shared item is ever named. The error names the upload's task, so
// that only that task stops on the other side.
static bool ResolveUploadTarget(CZylShareManager& manager, std::u16string_view sharePath,
                                std::u16string_view localName, std::u16string_view user, uint32_t taskId,
                                bool noUpload, std::u16string& target) {
    CZylShareObject* share = nullptr;
    std::u16string folder;
    const int32_t resolved = manager.ResolveSharePath(sharePath, share, folder);
    if (resolved == ZYL_SHARE_PATH_NO_SHARE) {
        manager.SendErrorPdu(ZYL_ERROR_SHARE_REMOVED, user, taskId);
        return false;
    }
    const std::u16string name = UploadLocalName(localName);
    // A name of the form the receiving side gives its temporary files would land in another
    // upload's file, or in a folder that listings do not show.
    if (resolved != ZYL_SHARE_PATH_OK || name.empty() ||
        CZylShareManager::NamesUploadTemp(name, ZYL_LOCAL_SEPARATOR)) {
        manager.SendErrorPdu(ZYL_ERROR_OTHER, user, taskId);
        return false;
    }
    if (!share->HasPrivilege(user, ZYL_PRIV_UPLOAD) || noUpload) {
        manager.SendErrorPdu(ZYL_ERROR_USER_DENIED, user, taskId);
        return false;
    }
    target = ZylJoinPath(folder, name);
    if (!ZylIsInside(ZylToFsPath(manager.GetShareLocalPath(*share)), ZylToFsPath(target))) {
        manager.SendErrorPdu(ZYL_ERROR_OTHER, user, taskId);
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
    if (!ResolveUploadTarget(*this, sharePath, localName, user, taskId, m_bNoUpload != 0, target))
        return -1;
    // Only this upload's own bytes count, in its own temporary file; the target under its final
    // name, whatever it holds, is nobody's resume point. No file is held open for the answer.
    const std::u16string temp = UploadTempPath(target, user, taskId);
    const fs::path fsTemp = ZylToFsPath(temp);
    int64_t held = 0;
    int64_t size = 0;
    std::FILE* open = FindWriteFile(temp, taskId, user);
    if (open) {
        held = FileLength(open);
    } else {
        ZylCreateDirectory(FolderOf(target));
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(fsTemp, ec);
        if (fs::is_regular_file(status)) {
            const uintmax_t bytes = fs::file_size(fsTemp, ec);
            held = ec ? -1
                      : static_cast<int64_t>(std::min<uintmax_t>(bytes, std::numeric_limits<int64_t>::max()));
        }
    }
    if (held >= 0) {
        size = ResumeOffset(held);
        if (size < held) {
            std::error_code ec;
            const bool cut =
                open ? ::ftruncate(::fileno(open), size) == 0 : (fs::resize_file(fsTemp, size, ec), !ec);
            if (!cut)
                held = -1;
        }
    }
    if (held < 0 || size > std::numeric_limits<int32_t>::max())
        return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;

    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(fileIndex).WriteInt32(static_cast<int32_t>(size));
    // Not held behind the files being flushed: the uploader takes size answers in any order, and
    // waiting for them would keep it from sending the next files meanwhile.
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
        return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
    // Checked against what the payload holds before anything is read.
    const uint8_t* data = reader.Take(n);

    std::u16string target;
    if (!ResolveUploadTarget(*this, sharePath, localName, user, taskId, m_bNoUpload != 0, target))
        return -1;
    if (offset < 0)
        return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
    // The pieces go into a temporary file of this upload beside the target; the target is replaced
    // only when the last piece has arrived and is on the disk, so nobody sees a half-written file
    // under its final name and an older file of that name is never mixed in.
    const fs::path fsTarget = ZylToFsPath(target);
    const std::u16string temp = UploadTempPath(target, user, taskId);
    const fs::path fsTemp = ZylToFsPath(temp);
    if (offset == 0) {
        // The first piece starts the file anew.
        RemoveWriteFile(taskId, temp, user);
        ZylRemoveFile(temp);
        std::error_code ec;
        if (fs::is_directory(fs::symlink_status(fsTarget, ec)))
            return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
    }
    std::FILE* file = FindWriteFile(temp, taskId, user);
    if (!file) {
        ZylCreateDirectory(FolderOf(target));
        // The temporary name is the plug-in's own: never followed through a symbolic link.
        ZylFilePtr opened =
            OpenServedFile(temp, O_NOFOLLOW | (offset == 0 ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR));
        if (!opened)
            return SendErrorPdu(FileErrorCode(errno, ZYL_ERROR_OTHER), user, taskId), -1;
        file = opened.get();
        if (AddWriteFile(taskId, temp, std::move(opened), user) < 0)
            return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
    }
    if (FileLength(file) != offset)
        return SendErrorPdu(ZYL_ERROR_OTHER, user, taskId), -1;
    // Each piece reaches the file before it is acknowledged, so that a full disk is told for the
    // piece it stops.
    errno = 0;
    if ((n > 0 && std::fwrite(data, 1, static_cast<size_t>(n), file) != static_cast<size_t>(n)) ||
        std::fflush(file) != 0) {
        const int error = errno;
        RemoveWriteFile(taskId, temp, user);
        return SendErrorPdu(FileErrorCode(error, ZYL_ERROR_OTHER), user, taskId), -1;
    }
    ZylPayloadWriter writer(ZYL_REPLY_CAPACITY);
    writer.Write(Now());
    writer.WriteInt32(taskId).WriteInt32(fileIndex).WriteInt32(offset).WriteInt32(n).WriteInt32(end);
    if (!end)
        return SendTransferReply(ZYL_CMD_WRITE_FILE_DATA_REPLY, writer, user);
    // With its time before it goes to the flusher, which puts it on the disk, replaces the target
    // with it and only then answers: a crash leaves the older file or this one, never a mix, and a
    // file acknowledged is on the disk.
    fs::file_time_type time;
    std::error_code ec;
    if (ZylTimeToFileTime(modified, time))
        fs::last_write_time(fsTemp, time, ec);
    RemoveWriteFile(taskId, temp, user);
    FlushLater(
        {fsTemp, fsTarget, std::u16string(user), ZYL_CMD_WRITE_FILE_DATA_REPLY, writer.Bytes(), taskId});
    return 0;
}

void CZylShareManager::SetFlushFile(FlushFile flush) {
    std::lock_guard lock(m_flushMutex);
    m_fnFlushFile = std::move(flush);
}

void CZylShareManager::FlushLater(FLUSH order) {
    {
        std::lock_guard lock(m_flushMutex);
        ++m_mFlushWaiting[order.user];
        m_vToFlush.push_back(std::move(order));
        if (!m_flusher.joinable())
            m_flusher = std::thread([this] { RunFlusher(); });
    }
    m_flushWake.notify_one();
}

int32_t CZylShareManager::SendTransferReply(uint32_t command, const ZylPayloadWriter& writer,
                                            std::u16string_view user) {
    std::lock_guard lock(m_flushMutex);
    if (m_mFlushWaiting.find(std::u16string(user)) == m_mFlushWaiting.end())
        return m_rContext.SendPayload(command, writer, user, ZYL_CHANNEL_REQUEST);
    ++m_mFlushWaiting[std::u16string(user)];
    m_vToFlush.push_back({{}, {}, std::u16string(user), command, writer.Bytes()});
    return 0;
}

void CZylShareManager::WaitUntilFlushed() {
    std::unique_lock lock(m_flushMutex);
    m_flushDone.wait(lock, [&] { return m_mFlushWaiting.empty(); });
}

void CZylShareManager::StopFlusher() {
    {
        std::lock_guard lock(m_flushMutex);
        m_bFlushStop = true;
    }
    m_flushWake.notify_one();
    if (m_flusher.joinable())
        m_flusher.join();
    std::lock_guard lock(m_flushMutex);
    m_bFlushStop = false;
}

void CZylShareManager::RunFlusher() {
    std::unique_lock lock(m_flushMutex);
    while (true) {
        m_flushWake.wait(lock, [&] { return m_bFlushStop || !m_vToFlush.empty(); });
        if (m_vToFlush.empty())
            return; // stopped, and everything is answered
        // Whatever came meanwhile goes together: the files' data, their new names, then the
        // folders that got them, so that many small files share a disk flush.
        const std::vector<FLUSH> batch = std::exchange(m_vToFlush, {});
        const FlushFile flush = m_fnFlushFile;
        lock.unlock();
        // The files' data first, so that a crash after a rename never leaves a file without its
        // bytes under the target's name; one flush of each file system holds the whole batch.
        std::vector<int> errors(batch.size(), 0);
        std::set<fs::path> temps;
        for (const auto& order : batch)
            if (!order.temp.empty())
                temps.insert(order.temp.parent_path());
        const std::set<fs::path> unflushed = flush ? std::set<fs::path>() : SyncFileSystems(temps);
        std::set<fs::path> folders;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (batch[i].temp.empty())
                continue;
            errno = 0;
            errors[i] = flush ? flush(batch[i].temp) : unflushed.count(batch[i].temp.parent_path()) ? EIO : 0;
            if (errors[i] == 0 && ::rename(batch[i].temp.c_str(), batch[i].target.c_str()) != 0)
                errors[i] = errno != 0 ? errno : EIO;
            if (errors[i] == 0)
                folders.insert(batch[i].target.parent_path());
        }
        const std::set<fs::path> unsynced = SyncFileSystems(folders);
        lock.lock();
        // Answered in the order they came, so that a user's answers keep their order.
        for (size_t i = 0; i < batch.size(); ++i) {
            const FLUSH& order = batch[i];
            if (!order.temp.empty() && errors[i] == 0 && unsynced.count(order.target.parent_path()))
                errors[i] = EIO;
            if (errors[i] != 0) {
                // A file that did not reach the disk is a failure; its upload's file stays for
                // another try unless it already replaced the target.
                SendErrorPdu(FileErrorCode(errors[i], ZYL_ERROR_OTHER), order.user, order.taskId);
            } else {
                ZylPayloadWriter writer(static_cast<int32_t>(order.reply.size()));
                writer.WriteBytes(order.reply.data(), static_cast<int32_t>(order.reply.size()));
                m_rContext.SendPayload(order.command, writer, order.user, ZYL_CHANNEL_REQUEST);
            }
            const auto waiting = m_mFlushWaiting.find(order.user);
            if (waiting != m_mFlushWaiting.end() && --waiting->second == 0)
                m_mFlushWaiting.erase(waiting);
        }
        m_flushDone.notify_all();
    }
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
        // Only a transfer the user may run counts: an item without the right would make the user
        // one of the share's current users, filling its user limit.
        const bool allowed = kind == ZYL_TRANSFER_DOWNLOAD
                                 ? share->HasPrivilege(user, ZYL_PRIV_DOWNLOAD) != 0
                                 : share->HasPrivilege(user, ZYL_PRIV_UPLOAD) != 0 && !m_bNoUpload;
        if (!allowed)
            continue;
        // Each item counts on the share it names; an upload until it is announced or ends.
        std::lock_guard lock(m_mutex);
        ZYLSHAREUSER* entry = nullptr;
        if (kind == ZYL_TRANSFER_UPLOAD)
            share->CountReportedUpload(user, sharePath, Now());
        else if (share->FindCurrentUser(user, &entry) >= 0)
            ++entry->downloads;
        else
            share->AddCurrentUser(ZYLSHAREUSER{std::u16string(user), {}, 1, 0}, Now());
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
    std::vector<std::u16string> written;
    CloseFilesOfTransfer(user, taskId, &written);
    if (flag != 0)
        return 0;
    // An upload that ended unfinished (removed, or started again under a new id) never completes
    // the files it was writing: their temporary files go.
    if (kind == ZYL_TRANSFER_UPLOAD)
        for (const auto& temp : written)
            ZylRemoveFile(temp);
    CZylShareObject* share = nullptr;
    if (FindShareByName(ZylFirstComponent(sharePath, ZYL_SHARE_SEPARATOR), &share) < 0)
        return 0;
    std::lock_guard lock(m_mutex);
    if (kind == ZYL_TRANSFER_UPLOAD)
        share->ReleaseUpload(user, taskId, sharePath, true);
    else
        share->ReleaseCurrentUser(user, kind);
    return 0;
}
