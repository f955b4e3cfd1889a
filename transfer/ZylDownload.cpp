// The download flow: the file list request and its reply pages, then the file data requests with
// their window and the pieces that arrive.
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "transfer/ZylTask.h"
#include "transfer/ZylTaskManager.h"

#include <limits>

namespace {
// An entry of a list page needs at least its name's length, its size and its time.
constexpr int32_t ZYL_MIN_LIST_ENTRY = 4 + 4 + 8;

struct ZYLLISTENTRY {
    std::u16string remoteName;
    std::u16string localName;
    uint32_t size;
    CZylDateTime time;
};

std::vector<std::u16string_view> SplitShare(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = path.find(ZYL_SHARE_SEPARATOR, start);
        parts.push_back(path.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

int32_t CZylTask::RequestFileListOfShareFolder() {
    const CZylTaskItem* object = GetObjectRecord();
    if (!object)
        return -1;
    return SendRequest(ZYL_CMD_FILE_LIST_REQUEST, [&](ZylPayloadWriter& writer) {
        writer.WriteInt32(m_nTaskID);
        writer.Write(m_tShareTime);
        writer.WriteInt32(m_bFolder);
        writer.WriteString(object->m_sRemoteName);
    });
}

int32_t CZylTask::RequestFileData() {
    std::lock_guard lock(m_mutex);
    CZylTaskFile* file = GetCurrentFile();
    if (!file)
        return -1;
    auto request = [&](int32_t offset) {
        ZylPayloadWriter writer(ZYL_REQUEST_CAPACITY);
        writer.WriteInt32(m_nTaskID).WriteInt32(m_nFileIndex);
        writer.Write(m_tShareTime);
        writer.WriteString(file->m_sRemoteName);
        writer.WriteInt32(offset);
        return Send(ZYL_CMD_FILE_DATA_REQUEST, writer);
    };
    try {
        if (file->m_bFirstRequest) {
            // What the temporary file holds beyond the recorded offset was never recorded; what it
            // lacks was recorded before it reached the disk.
            const int32_t change = file->AlignWithTemporary();
            if (change != 0) {
                m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, change);
                UpdatePercent();
                NoteChange(false);
            }
            const int32_t o = file->m_nFileOffset;
            const int32_t s = file->m_nFileSize;
            if (o > s)
                return 0;
            int64_t next = o;
            int32_t sent = 0;
            while (sent < ZYL_WINDOW_BLOCKS) {
                request(static_cast<int32_t>(next));
                ++sent;
                next += ZYL_BLOCK_SIZE;
                if (next >= s)
                    break;
            }
            // A window that ends exactly at the end of the file: the last full piece does not tell
            // the end, so the empty piece at the size is asked for too.
            if (next == s && sent < ZYL_WINDOW_BLOCKS && s > o)
                request(s);
            file->m_bFirstRequest = 0;
        } else {
            const int64_t next = static_cast<int64_t>(file->m_nFileOffset) + ZYL_FOLLOW_UP_DISTANCE;
            if (next <= file->m_nFileSize)
                request(static_cast<int32_t>(next));
        }
    } catch (const ZylCodecError&) {
        return -1;
    }
    return 0;
}

// Every entry must lie below the task's remote object and become a local name below the task's
// local folder; one entry that does not makes the whole page suspect.
static bool MakeLocalName(const CZylTask& task, std::u16string_view entry, std::u16string& localName) {
    const CZylTaskItem* object = task.GetObjectRecord();
    if (!object || entry.empty() || !ZylIsStorableName(entry))
        return false;
    const std::u16string_view remote = object->m_sRemoteName;
    const auto remoteParts = SplitShare(remote);
    const auto entryParts = SplitShare(entry);
    if (task.m_bFolder ? entryParts.size() <= remoteParts.size() : entryParts.size() != remoteParts.size())
        return false;
    for (size_t i = 0; i < remoteParts.size(); ++i)
        if (!ZylEqualNoCase(remoteParts[i], entryParts[i]))
            return false;
    std::u16string_view name;
    if (task.m_bFolder) {
        // From the remote object's own name on: music\live with music\live\a\b.mp3 gives \live\a\b.mp3.
        const size_t cut = remote.rfind(ZYL_SHARE_SEPARATOR);
        name = cut == std::u16string_view::npos ? entry : entry.substr(cut);
    } else {
        // A single file is saved under the task's own local name (the remote name unless the
        // person chose another).
        const size_t cut = entry.rfind(ZYL_SHARE_SEPARATOR);
        name = cut == std::u16string_view::npos ? entry : entry.substr(cut);
        if (ZylIsTransferableName(object->m_sLocalName))
            name = object->m_sLocalName;
    }
    std::u16string_view relative = name;
    if (!relative.empty() && relative.front() == ZYL_SHARE_SEPARATOR)
        relative.remove_prefix(1);
    if (relative.empty() || !ZylIsSafeRelativePath(relative, ZYL_SHARE_SEPARATOR))
        return false;
    localName = ZylShareToLocalPath(name);
    return true;
}

int32_t CZylTask::OnRespondFileListOfShareFolder(ZylPayloadReader& reader, int32_t taskId) {
    if (m_bFileListEnd)
        return 0;
    reader.ReadUInt32(); // status
    const uint32_t total = reader.ReadUInt32();
    const uint32_t first = reader.ReadUInt32();
    const uint32_t count = reader.ReadUInt32();
    if (static_cast<uint64_t>(first) + count > total)
        return 0;
    if (static_cast<uint64_t>(count) * ZYL_MIN_LIST_ENTRY > static_cast<uint64_t>(reader.Remaining()))
        return 0;

    std::lock_guard lock(m_mutex);
    if (!m_bRunning || m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_DOWNLOAD)
        return 0;
    if (total == 0) {
        // An empty remote folder: nothing to fetch.
        m_bRunning = 0;
        m_tFinishTime = Now();
        m_bFinished = 1;
        NoteChange(true);
        return 0;
    }
    if (m_vFiles.size() + count > total)
        return 0;

    std::vector<ZYLLISTENTRY> entries;
    for (uint32_t i = 0; i < count; ++i) {
        ZYLLISTENTRY entry;
        entry.remoteName = reader.ReadString();
        entry.size = reader.ReadUInt32();
        reader.Read(entry.time);
        if (entry.size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
            !MakeLocalName(*this, entry.remoteName, entry.localName)) {
            Log(ZylFormat("file list of task {} from {} dropped: entry \"{}\" is not below \"{}\"", m_nTaskID,
                          ZylToUtf8(m_sUserID), ZylToUtf8(entry.remoteName), ZylToUtf8(GetTaskName())));
            return 0;
        }
        entries.push_back(std::move(entry));
    }

    const std::u16string localFolder = GetLocalPath();
    for (auto& entry : entries) {
        auto file = std::make_unique<CZylTaskFile>();
        file->m_sRemoteName = std::move(entry.remoteName);
        file->m_sLocalName = std::move(entry.localName);
        file->m_sLocalPath = localFolder;
        file->m_nFileSize = static_cast<int32_t>(entry.size);
        file->m_tLastModifiedTime = entry.time;
        m_nTotalSize = ZylAddWrapping(m_nTotalSize, file->m_nFileSize);
        m_vFiles.push_back(std::move(file));
    }
    if (m_vFiles.size() == total) {
        m_bFileListEnd = 1;
        m_nFileIndex = 0;
        UpdatePercent();
        NoteChange(true);
        if (m_bRunning)
            RequestFileData();
    }
    return 0;
}

int32_t CZylTask::OnRespondFileData(ZylPayloadReader& reader, int32_t taskId) {
    const int32_t fileIndex = reader.ReadInt32();
    reader.ReadUInt32(); // not used
    const int32_t last = reader.ReadInt32();
    const int32_t status = reader.ReadInt32();
    const int32_t offset = reader.ReadInt32();
    const int32_t n = reader.ReadInt32();
    if (n < 0 || n > ZYL_BLOCK_SIZE)
        return 0;
    const uint8_t* data = reader.Take(n);

    std::lock_guard lock(m_mutex);
    if (!m_bRunning || m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_DOWNLOAD)
        return 0;
    if (fileIndex != m_nFileIndex || !m_bFileListEnd || status != 0)
        return 0;
    CZylTaskFile* file = GetCurrentFile();
    if (!file)
        return 0;
    const int32_t result = file->ReceiveData(offset, data, n, last);
    if (result == -5)
        return 0;
    if (result < 0) {
        Log(ZylFormat("task {}: the file {} could not be written", m_nTaskID,
                      ZylToUtf8(file->GetFullName())));
        return 0;
    }
    m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, n);
    m_nBytesThisRun += static_cast<uint32_t>(n);
    UpdatePercent();
    NoteChange(false);
    if (last) {
        ++m_nFileIndex;
        if (static_cast<size_t>(m_nFileIndex) >= m_vFiles.size()) {
            Finish();
            return 0;
        }
        NoteChange(true);
    }
    if (m_bRunning)
        RequestFileData();
    return 0;
}

int32_t CZylTask::OnEmptyFileList(int32_t taskId) {
    std::lock_guard lock(m_mutex);
    if (!m_bRunning || m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_DOWNLOAD || m_bFileListEnd)
        return 0;
    m_bRunning = 0;
    m_tFinishTime = Now();
    m_bFinished = 1;
    NoteChange(true);
    return 0;
}
