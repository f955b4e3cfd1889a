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

// A peer's name as a log line may show it: control characters would break the line.
std::string Printable(std::u16string_view name) {
    std::u16string out(name.substr(0, ZYL_TASK_NAME_LIMIT));
    for (char16_t& c : out)
        if (c < 0x20 || c == 0x7F)
            c = u'?';
    return ZylToUtf8(out);
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

int32_t CZylTask::NextFileToFetch(int32_t index) const {
    do
        ++index;
    while (static_cast<size_t>(index) < m_vFiles.size() && m_vFiles[static_cast<size_t>(index)]->m_bComplete);
    return index;
}

// The requests go out in file order and run on across the ends of files, ZYL_PIECES_IN_FLIGHT at
// most unanswered: the other side answers in the order asked, so the pieces of the next file
// arrive right after the last one of the current file. Each file asks for the pieces from its
// offset on, the last being the short one or the empty one at the size, which carry the end.
int32_t CZylTask::RequestFileData() {
    std::lock_guard lock(m_mutex);
    if (!GetCurrentFile())
        return -1;
    if (m_nRequestFile < 0) {
        m_nRequestFile = m_nFileIndex;
        m_nRequestOffset = -1;
        m_nInFlight = 0;
    }
    try {
        while (m_nInFlight < ZYL_PIECES_IN_FLIGHT && static_cast<size_t>(m_nRequestFile) < m_vFiles.size()) {
            CZylTaskFile& file = *m_vFiles[static_cast<size_t>(m_nRequestFile)];
            if (m_nRequestOffset < 0) {
                if (file.m_bFirstRequest) {
                    // What the temporary file holds beyond the recorded offset was never recorded;
                    // what it lacks was recorded before it reached the disk.
                    const int32_t change = file.AlignWithTemporary();
                    if (change != 0) {
                        m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, change);
                        UpdatePercent();
                        NoteChange(false);
                    }
                    file.m_bFirstRequest = 0;
                }
                m_nRequestOffset = file.m_nFileOffset;
            }
            const int32_t offset = m_nRequestOffset;
            if (offset < 0 || offset > file.m_nFileSize)
                break; // nothing to ask for: the file cannot end, and the files after it wait
            ZylPayloadWriter writer(ZYL_REQUEST_CAPACITY);
            writer.WriteInt32(m_nTaskID).WriteInt32(m_nRequestFile);
            writer.Write(m_tShareTime);
            writer.WriteString(file.m_sRemoteName);
            writer.WriteInt32(offset);
            if (Send(ZYL_CMD_FILE_DATA_REQUEST, writer) < 0)
                break;
            ++m_nInFlight;
            // A full piece that ends exactly at the size does not tell the end: the empty piece at
            // the size is asked for too.
            if (static_cast<int64_t>(offset) + ZYL_BLOCK_SIZE > file.m_nFileSize) {
                m_nRequestFile = NextFileToFetch(m_nRequestFile);
                m_nRequestOffset = -1;
            } else {
                m_nRequestOffset = offset + ZYL_BLOCK_SIZE;
            }
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
    // Each name the file is made under passes the rule the serving side lists by.
    for (const std::u16string_view part : SplitShare(relative))
        if (!ZylIsTransferableName(part))
            return false;
    localName = ZylShareToLocalPath(name);
    return true;
}

int32_t CZylTask::OnRespondFileListOfShareFolder(ZylPayloadReader& reader, int32_t taskId) {
    std::lock_guard lock(m_mutex);
    if (!m_bRunning || m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_DOWNLOAD || m_bFileListEnd)
        return 0;
    // A page that is dropped leaves the list incomplete for good: the task stops and says why
    // instead of waiting for pages that cannot come.
    const auto refuse = [&](std::string_view why) {
        StopWithError(ZylFormat("the file list of {} from {} was refused: {}", ZylToUtf8(GetTaskName()),
                                ZylToUtf8(m_sUserID), why));
        return 0;
    };
    reader.ReadUInt32(); // status
    const uint32_t total = reader.ReadUInt32();
    const uint32_t first = reader.ReadUInt32();
    const uint32_t count = reader.ReadUInt32();
    if (static_cast<uint64_t>(first) + count > total || m_vFiles.size() + count > total)
        return refuse("its pages hold more entries than its total");
    if (static_cast<uint64_t>(count) * ZYL_MIN_LIST_ENTRY > static_cast<uint64_t>(reader.Remaining()))
        return refuse("a page is shorter than its entries");
    if (total == 0) {
        // An empty remote folder: nothing to fetch. A single file cannot be empty of files.
        if (!m_bFolder)
            return refuse("it holds no file");
        EndRun();
        m_tFinishTime = Now();
        m_bFinished = 1;
        NoteChange(true);
        return 0;
    }

    std::vector<ZYLLISTENTRY> entries;
    for (uint32_t i = 0; i < count; ++i) {
        ZYLLISTENTRY entry;
        entry.remoteName = reader.ReadString();
        entry.size = reader.ReadUInt32();
        reader.Read(entry.time);
        if (entry.size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
            return refuse(fmt::format("\"{}\" is 2 GiB or larger", Printable(entry.remoteName)));
        if (!MakeLocalName(*this, entry.remoteName, entry.localName))
            return refuse(
                fmt::format("the entry \"{}\" is not a name below it", Printable(entry.remoteName)));
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
        // Progress too: after a crash before the next save the list is asked for again.
        NoteChange(false);
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
        // Waiting would not help: the task stops, and a later start resumes at the offset.
        StopWithError(file->GetError());
        return 0;
    }
    m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, n);
    m_nBytesThisRun += static_cast<uint32_t>(n);
    if (m_nInFlight > 0)
        --m_nInFlight;
    UpdatePercent();
    // A completed file is progress like any piece: a crash before the next save fetches it again
    // (its temporary file is gone, so it starts afresh and replaces the completed one).
    NoteChange(false);
    if (last) {
        // Files completed before (a file fetched again after a resume) are not fetched twice.
        m_nFileIndex = NextFileToFetch(m_nFileIndex);
        if (static_cast<size_t>(m_nFileIndex) >= m_vFiles.size()) {
            Finish();
            return 0;
        }
    }
    if (m_bRunning)
        RequestFileData();
    return 0;
}

int32_t CZylTask::OnEmptyFileList(int32_t taskId) {
    std::lock_guard lock(m_mutex);
    if (!m_bRunning || m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_DOWNLOAD || m_bFileListEnd)
        return 0;
    if (!m_bFolder) {
        // A single file cannot be an empty folder: nothing was fetched, so nothing is finished.
        StopWithError(ZylFormat("{} has no file {}", ZylToUtf8(m_sUserID), ZylToUtf8(GetTaskName())));
        return 0;
    }
    EndRun();
    m_tFinishTime = Now();
    m_bFinished = 1;
    NoteChange(true);
    return 0;
}
