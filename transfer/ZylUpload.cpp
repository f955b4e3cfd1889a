// The upload flow: the announcement and its consent, the local file list, the size synchronisation
// before each file and the pieces sent with a window, advanced by the acknowledgements.
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "transfer/ZylTask.h"
#include "transfer/ZylTaskManager.h"

#include <filesystem>
#include <limits>
#include <system_error>

namespace fs = std::filesystem;

namespace {
constexpr int32_t ZYL_PIECE_CAPACITY = ZYL_REQUEST_CAPACITY + ZYL_BLOCK_SIZE;

} // namespace

int32_t CZylTask::RequestUpload() {
    const CZylTaskItem* object = GetObjectRecord();
    if (!object)
        return -1;
    return SendRequest(ZYL_CMD_UPLOAD_REQUEST, [&](ZylPayloadWriter& writer) {
        writer.WriteInt32(m_nTaskID);
        writer.Write(m_tShareTime);
        writer.WriteString(object->m_sRemoteName);
    });
}

int32_t CZylTask::RequestSyncFilesize(int32_t fileIndex) {
    std::lock_guard lock(m_mutex);
    const CZylTaskItem* object = GetObjectRecord();
    if (!object || fileIndex < 0 || static_cast<size_t>(fileIndex) >= m_vFiles.size())
        return -1;
    const CZylTaskFile& file = *m_vFiles[static_cast<size_t>(fileIndex)];
    return SendRequest(ZYL_CMD_SYNC_FILE_SIZE_REQUEST, [&](ZylPayloadWriter& writer) {
        writer.WriteInt32(m_nTaskID);
        writer.Write(m_tShareTime);
        writer.WriteString(object->m_sRemoteName);
        writer.WriteString(ZylLocalToSharePath(file.m_sLocalName));
        writer.WriteInt32(fileIndex);
    });
}

int32_t CZylTask::SendWriteBlock(int32_t index, int32_t offset, int32_t& end) {
    const CZylTaskItem* object = GetObjectRecord();
    if (!object)
        return -1;
    CZylTaskFile& file = *m_vFiles[static_cast<size_t>(index)];
    uint8_t buffer[ZYL_BLOCK_SIZE];
    int32_t n = 0;
    end = 0;
    if (file.ReadBlock(offset, buffer, n, end) < 0) {
        StopWithError(file.GetError());
        return -1;
    }
    // The other side takes the file as ending where the reads end: a file that grew or shrank
    // since it was listed would arrive as neither the old file nor the new one.
    const int64_t reached = static_cast<int64_t>(offset) + n;
    if (reached > file.m_nFileSize || (end && reached != file.m_nFileSize)) {
        file.Close();
        StopWithError(u"the file changed while it was sent; restart the task: " + file.GetFullName());
        return -1;
    }
    return SendRequest(
        ZYL_CMD_WRITE_FILE_DATA_REQUEST,
        [&](ZylPayloadWriter& writer) {
            writer.WriteInt32(m_nTaskID).WriteInt32(index);
            writer.Write(m_tShareTime);
            writer.WriteString(object->m_sRemoteName);
            writer.WriteString(ZylLocalToSharePath(file.m_sLocalName));
            writer.WriteInt32(file.m_nFileSize);
            writer.Write(file.m_tLastModifiedTime);
            writer.WriteInt32(offset).WriteInt32(end).WriteInt32(n);
            writer.WriteBytes(buffer, n);
        },
        ZYL_PIECE_CAPACITY);
}

// Pieces go out in file order and across the ends of files, ZYL_PIECES_IN_FLIGHT at most
// unanswered, for each file whose size answer is there; the size queries of the files ahead go out
// beside them, as many at most unanswered and for no file further ahead of the pieces than that.
// The other side answers in the order asked, so a file's answer comes after the acknowledgements of
// the files before it, and a folder of small files does not wait a round trip per file.
int32_t CZylTask::NextUploadStep() {
    std::lock_guard lock(m_mutex);
    if (!GetCurrentFile())
        return -1;
    const auto fileCount = static_cast<int32_t>(m_vFiles.size());
    if (m_nSyncFile < m_nFileIndex)
        m_nSyncFile = m_nFileIndex;
    if (m_nRequestFile < m_nFileIndex) {
        m_nRequestFile = m_nFileIndex;
        m_nRequestOffset = -1;
    }
    while (m_bRunning) {
        CZylTaskFile* file = m_nRequestFile < m_nSyncFile && m_nRequestFile < fileCount
                                 ? m_vFiles[static_cast<size_t>(m_nRequestFile)].get()
                                 : nullptr;
        if (file && file->m_nHeld >= 0 && m_nInFlight < ZYL_PIECES_IN_FLIGHT) {
            if (m_nRequestOffset < 0)
                m_nRequestOffset = file->m_nFileOffset;
            // An empty file is sent as its one empty last piece, so that the other side has it; a
            // file held whole needs none.
            int32_t end = 1;
            if (file->m_nHeld != file->m_nFileSize || file->m_nFileSize == 0) {
                if (SendWriteBlock(m_nRequestFile, m_nRequestOffset, end) < 0)
                    return -1;
                ++m_nInFlight;
            }
            if (end) {
                ++m_nRequestFile;
                m_nRequestOffset = -1;
            } else {
                m_nRequestOffset += ZYL_BLOCK_SIZE;
            }
            continue;
        }
        if (m_nSyncFile >= fileCount || m_nSyncsInFlight >= ZYL_PIECES_IN_FLIGHT ||
            m_nSyncFile - m_nRequestFile >= ZYL_PIECES_IN_FLIGHT)
            break;
        // at(): were the count of files ever passed, the PDU is dropped rather than a pointer read
        // from beyond the list.
        CZylTaskFile& next = *m_vFiles.at(static_cast<size_t>(m_nSyncFile));
        if (next.m_bFirstRequest) {
            if (RequestSyncFilesize(m_nSyncFile) < 0)
                break;
            next.m_bFirstRequest = 0;
            next.m_nHeld = -1;
            ++m_nSyncsInFlight;
        }
        ++m_nSyncFile;
    }
    return 0;
}

int32_t CZylTask::AppendUploadFile(const std::u16string& localPath, const std::u16string& localName,
                                   std::u16string& error) {
    auto file = std::make_unique<CZylTaskFile>();
    file->m_sLocalPath = localPath;
    file->m_sLocalName = localName;
    const fs::path path = ZylToFsPath(file->GetFullName());
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        error = ZylWriteErrorText(ec.value(), file->GetFullName());
        return -1;
    }
    if (size > static_cast<uintmax_t>(std::numeric_limits<int32_t>::max())) {
        // Sizes travel in 32-bit fields: such a file cannot be sent.
        error = u"files of 2 GiB or more cannot be sent: " + file->GetFullName();
        return 0;
    }
    if (!ZylIsStorableName(localName)) {
        error = u"the name is too long to be sent: " + file->GetFullName();
        return 0;
    }
    const auto time = fs::last_write_time(path, ec);
    if (!ec)
        FileTimeToZylTime(time, file->m_tLastModifiedTime);
    file->m_nFileSize = static_cast<int32_t>(size);
    m_nTotalSize = ZylAddWrapping(m_nTotalSize, file->m_nFileSize);
    m_vFiles.push_back(std::move(file));
    return 1;
}

// Depth first, in the order the file system gives the entries; names are relative to the uploaded
// folder's parent and start with the separator. What cannot be sent is left out with a line that
// says so; -1 only when the folder itself cannot be listed (error says why).
int32_t CZylTask::EnumFiles(const std::u16string& folder, const std::u16string& base, std::u16string& error) {
    std::error_code ec;
    fs::directory_iterator it(ZylToFsPath(folder), ec);
    if (ec) {
        error = ZylWriteErrorText(ec.value(), folder);
        return -1;
    }
    auto leaveOut = [&](const std::u16string& why) {
        Log(ZylFormat("task {}: {}; left out", m_nTaskID, ZylToUtf8(why)));
    };
    int32_t count = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const std::u16string name = ZylFromFsPath(it->path().filename());
        const std::u16string path = ZylJoinPath(folder, name);
        // The other side refuses what its listing would not show; a name that does not convert
        // could not even be read back here.
        if (!ZylIsTransferableName(name) || ZylToUtf8(name) != it->path().filename().native()) {
            leaveOut(u"the name cannot be sent to another user: " + path);
            continue;
        }
        std::error_code kindError;
        if (it->is_directory(kindError)) {
            // A link to a folder could lead back into the tree.
            if (it->is_symlink(kindError))
                continue;
            std::u16string inner;
            const int32_t added = EnumFiles(path, base, inner);
            if (added < 0)
                leaveOut(inner);
            else
                count += added;
        } else if (it->is_regular_file(kindError)) {
            std::u16string why;
            if (AppendUploadFile(base, path.substr(base.size()), why) > 0)
                ++count;
            else
                leaveOut(why);
        }
    }
    return count;
}

int32_t CZylTask::OnRespondUpload(ZylPayloadReader& reader, int32_t taskId) {
    const uint32_t consent = reader.ReadUInt32();
    std::lock_guard lock(m_mutex);
    if (m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_UPLOAD || m_bFileListEnd)
        return 0;
    if (consent == 0) {
        // Refused: the task shows as stopped; starting it again asks again.
        EndRun();
        m_nBytesThisRun = 0;
        m_sLastError =
            ZylFormat("{} refused the upload to {}", ZylToUtf8(m_sUserID), ZylToUtf8(GetTaskName()));
        Log(ZylFormat("task {}: {}", m_nTaskID, ZylToUtf8(m_sLastError)));
        NoteChange(true);
        return 0;
    }
    const CZylTaskItem* object = GetObjectRecord();
    if (!object)
        return 0;
    m_vFiles.clear();
    m_nTotalSize = 0;
    // What is not there (or cannot be sent) stops the task with the reason; waiting would not
    // bring it, and a missing folder is not an empty one.
    std::u16string error;
    if (!m_bFolder) {
        if (AppendUploadFile(object->m_sLocalPath, object->m_sLocalName, error) <= 0 || m_vFiles.empty()) {
            m_vFiles.clear();
            m_nTotalSize = 0;
            StopWithError(error);
            return 0;
        }
    } else {
        std::u16string_view folder = ZylTrimTrailingSeparator(object->m_sLocalPath, ZYL_LOCAL_SEPARATOR);
        const size_t cut = folder.rfind(ZYL_LOCAL_SEPARATOR);
        const std::u16string base(cut == std::u16string_view::npos ? std::u16string_view()
                                                                   : folder.substr(0, cut));
        if (EnumFiles(std::u16string(folder), base, error) < 0) {
            m_vFiles.clear();
            m_nTotalSize = 0;
            StopWithError(error);
            return 0;
        }
    }
    m_bFileListEnd = 1;
    m_nFileIndex = 0;
    UpdatePercent();
    // Progress: after a crash before the next save the upload is announced and listed again.
    NoteChange(false);
    if (m_vFiles.empty()) {
        // A folder without files has nothing to send.
        Finish();
        return 0;
    }
    if (m_bRunning)
        NextUploadStep();
    return 0;
}

void CZylTask::AdvanceUploadFile() {
    // Files ahead whose answer said they are held whole were counted with that answer.
    do {
        m_vFiles[static_cast<size_t>(m_nFileIndex)]->Close();
        ++m_nFileIndex;
    } while (static_cast<size_t>(m_nFileIndex) < m_vFiles.size() &&
             m_vFiles[static_cast<size_t>(m_nFileIndex)]->m_nHeld ==
                 m_vFiles[static_cast<size_t>(m_nFileIndex)]->m_nFileSize &&
             m_vFiles[static_cast<size_t>(m_nFileIndex)]->m_nFileSize > 0);
    // Progress: after a crash before the next save, the size queries tell what the other side holds.
    NoteChange(false);
    if (static_cast<size_t>(m_nFileIndex) >= m_vFiles.size()) {
        Finish();
        return;
    }
    if (m_bRunning)
        NextUploadStep();
}

int32_t CZylTask::OnRespondSyncFilesize(ZylPayloadReader& reader, int32_t taskId) {
    const int32_t fileIndex = reader.ReadInt32();
    const int32_t held = reader.ReadInt32();
    if (held < 0)
        return 0;
    std::lock_guard lock(m_mutex);
    if (m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_UPLOAD || !m_bFileListEnd)
        return 0;
    // Only the answer to a query of this run that is still open: the current file's or one ahead.
    if (fileIndex < m_nFileIndex || static_cast<size_t>(fileIndex) >= m_vFiles.size())
        return 0;
    CZylTaskFile& file = *m_vFiles[static_cast<size_t>(fileIndex)];
    if (file.m_bFirstRequest || file.m_nHeld >= 0)
        return 0;
    const int32_t o = file.m_nFileOffset;
    const int32_t s = file.m_nFileSize;
    if (held > s)
        return 0;
    if (m_nSyncsInFlight > 0)
        --m_nSyncsInFlight;
    file.m_nHeld = held;
    if (held != o) {
        file.m_nFileOffset = held;
        m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, static_cast<int64_t>(held) - o);
        // The other side may hold less than recorded: the run then moved fewer bytes, not 4 GB.
        AddBytesThisRun(static_cast<int64_t>(held) - o);
        UpdatePercent();
        NoteChange(false);
    }
    if (held == s && s > 0 && fileIndex == m_nFileIndex) {
        AdvanceUploadFile();
        return 0;
    }
    if (m_bRunning)
        NextUploadStep(); // stopped meanwhile: the next start asks again
    return 0;
}

int32_t CZylTask::OnRespondWriteFileData(ZylPayloadReader& reader, int32_t taskId) {
    const int32_t fileIndex = reader.ReadInt32();
    const int32_t offset = reader.ReadInt32();
    const int32_t written = reader.ReadInt32();
    const int32_t complete = reader.ReadInt32();
    std::lock_guard lock(m_mutex);
    if (m_bRemoved || taskId != m_nTaskID || m_nType != ZYL_TASK_UPLOAD)
        return 0;
    CZylTaskFile* file = GetCurrentFile();
    if (!file || fileIndex != m_nFileIndex || !m_bFileListEnd || offset != file->m_nFileOffset)
        return 0;
    if (written == 0 && complete == 0)
        return 0;
    if (written < 0 || written > ZYL_BLOCK_SIZE ||
        static_cast<int64_t>(file->m_nFileOffset) + written > file->m_nFileSize)
        return 0;
    m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, written);
    m_nBytesThisRun += static_cast<uint32_t>(written);
    file->Advance(written);
    if (m_nInFlight > 0)
        --m_nInFlight;
    UpdatePercent();
    NoteChange(false);
    if (complete) {
        if (file->m_nFileOffset != file->m_nFileSize) {
            // The other side ended the file short of its size: it does not hold the file.
            StopWithError(ZylFormat("{} ended the file {} at {} of {} bytes", ZylToUtf8(m_sUserID),
                                    ZylToUtf8(file->GetFullName()), file->m_nFileOffset, file->m_nFileSize));
            return 0;
        }
        AdvanceUploadFile();
        return 0;
    }
    if (m_bRunning)
        NextUploadStep();
    return 0;
}
