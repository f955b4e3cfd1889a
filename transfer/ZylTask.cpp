// The task: its id, its states (started, stopped, restarted, removed, finished), its accounting of
// time and speed, and its block in the task database.
#include "transfer/ZylTask.h"

#include "core/ZylDbFile.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "transfer/ZylTaskManager.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr std::u16string_view ZYL_TASK_ID_KEY = u"taskid";
constexpr int32_t ZYL_LOG_TRANSFER = 1;
} // namespace

CZylTask::CZylTask(CZylTaskManager& manager) : m_rManager(manager) {}

CZylTask::~CZylTask() {
    ReleaseRecords();
}

void CZylTask::ReleaseRecords() {
    m_vFiles.clear();
    m_pFolderRecord.reset();
    m_pFileRecord.reset();
}

void CZylTask::SetFolderRecord(std::unique_ptr<CZylTaskFolder> record) {
    m_bFolder = 1;
    m_pFileRecord.reset();
    m_pFolderRecord = std::move(record);
}

void CZylTask::SetFileRecord(std::unique_ptr<CZylTaskFile> record) {
    m_bFolder = 0;
    m_pFolderRecord.reset();
    m_pFileRecord = std::move(record);
}

CZylTaskItem* CZylTask::GetObjectRecord() const {
    return m_bFolder ? static_cast<CZylTaskItem*>(m_pFolderRecord.get())
                     : static_cast<CZylTaskItem*>(m_pFileRecord.get());
}

std::u16string CZylTask::GetTaskName() const {
    const CZylTaskItem* object = GetObjectRecord();
    if (!object || (m_nType != ZYL_TASK_DOWNLOAD && m_nType != ZYL_TASK_UPLOAD))
        return {};
    return object->m_sRemoteName;
}

std::u16string CZylTask::GetLocalPath() const {
    const CZylTaskItem* object = GetObjectRecord();
    return object ? object->m_sLocalPath : std::u16string();
}

CZylTaskFile* CZylTask::GetCurrentFile() const {
    if (m_nFileIndex < 0 || static_cast<size_t>(m_nFileIndex) >= m_vFiles.size())
        return nullptr;
    return m_vFiles[static_cast<size_t>(m_nFileIndex)].get();
}

uint32_t CZylTask::Tick() const {
    return m_rManager.GetPlatform().GetTickCount();
}

CZylDateTime CZylTask::Now() const {
    return CZylDateTime(m_rManager.GetPlatform().GetCalendarTime());
}

void CZylTask::Log(std::u16string_view text) const {
    m_rManager.GetContext().WriteLog(ZYL_LOG_TRANSFER, text);
}

void CZylTask::NoteChange(bool immediate) const {
    m_rManager.NoteChange(immediate);
}

int32_t CZylTask::Send(uint32_t command, const ZylPayloadWriter& writer) {
    return m_rManager.GetContext().SendPayload(command, writer, m_sUserID, ZYL_CHANNEL_REQUEST);
}

int32_t CZylTask::SendRequest(uint32_t command, const std::function<void(ZylPayloadWriter&)>& fill,
                              int32_t capacity) {
    try {
        ZylPayloadWriter writer(capacity);
        fill(writer);
        return Send(command, writer);
    } catch (const ZylCodecError&) {
        return -1;
    }
}

// The counter lives in the settings store; a draw that cannot be stored gives no id at all, so that
// two tasks can never share one.
int32_t CZylTask::DrawTaskId(int32_t& id) {
    IZylSettingsStore& store = m_rManager.GetPlatform().GetSettings();
    const std::optional<uint32_t> stored = store.GetValue(ZYL_TASK_ID_KEY);
    uint32_t taken = stored ? *stored : 1;
    if (taken == 0 || taken >= static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        taken = 1;
    if (!store.SetValue(ZYL_TASK_ID_KEY, taken + 1))
        return -1;
    id = static_cast<int32_t>(taken);
    return 0;
}

int32_t CZylTask::Init() {
    int32_t id = -1;
    if (DrawTaskId(id) < 0)
        return -1;
    m_nTaskID = id;
    m_tTaskStartTime = Now();
    return 0;
}

void CZylTask::Start() {
    std::lock_guard lock(m_mutex);
    if (m_bRemoved)
        return;
    if (!m_bRunning) {
        m_nStartTick = Tick();
        m_bRunning = 1;
    }
    m_bAwaitingChannels = false;
    m_bWaitingForSlot = false;
    m_sLastError.clear();
    if (m_nType == ZYL_TASK_DOWNLOAD) {
        if (m_bFileListEnd) {
            if (!m_bFinished && !SeekFirstIncompleteFile()) {
                Finish(); // every file is there, complete
                return;
            }
            RequestFileData();
            return;
        }
        // A list cut short by a stop is never completed: its pages were dropped while stopped.
        m_vFiles.clear();
        m_nTotalSize = 0;
        RequestFileListOfShareFolder();
    } else if (m_nType == ZYL_TASK_UPLOAD) {
        if (m_bFileListEnd)
            NextUploadStep();
        else
            RequestUpload();
    }
}

void CZylTask::StopTask() {
    {
        std::lock_guard lock(m_mutex);
        m_bWaitingForSlot = false;
        if (!m_bRunning)
            return;
        m_nBytesThisRun = 0;
        EndRun();
        for (auto& file : m_vFiles)
            file->Reset();
    }
    SendCloseNotice(1);
    NoteChange(true);
}

void CZylTask::StopWithError(std::u16string reason) {
    std::lock_guard lock(m_mutex);
    if (!m_bRunning)
        return;
    Log(ZylFormat("task {}: {}", m_nTaskID, ZylToUtf8(reason)));
    StopTask();
    m_sLastError = std::move(reason);
}

void CZylTask::EndRun() {
    if (m_bRunning)
        m_nTimeSpent += static_cast<int32_t>((Tick() - m_nStartTick) / 1000);
    m_bRunning = 0;
    m_fSpeed = 0;
    m_bAwaitingChannels = false;
    ForgetRequests();
}

void CZylTask::ForgetRequests() {
    m_nRequestFile = -1;
    m_nRequestOffset = -1;
    m_nSyncFile = -1;
    m_nInFlight = 0;
    m_nSyncsInFlight = 0;
}

void CZylTask::AddBytesThisRun(int64_t n) {
    if (n >= 0)
        m_nBytesThisRun += static_cast<uint32_t>(n);
    else
        m_nBytesThisRun -= static_cast<uint32_t>(std::min<int64_t>(-n, m_nBytesThisRun));
}

void CZylTask::NoteCompleteFiles() {
    if (m_nType != ZYL_TASK_DOWNLOAD || !m_bFileListEnd)
        return;
    const size_t done = m_bFinished
                            ? m_vFiles.size()
                            : static_cast<size_t>(std::clamp<int64_t>(m_nFileIndex, 0, m_vFiles.size()));
    for (size_t i = 0; i < done; ++i)
        m_vFiles[i]->m_bComplete = true;
}

bool CZylTask::SeekFirstIncompleteFile() {
    NoteCompleteFiles();
    int32_t first = -1;
    for (size_t i = 0; i < m_vFiles.size(); ++i) {
        CZylTaskFile& file = *m_vFiles[i];
        if (file.m_bComplete && !file.IsOnDisk()) {
            // Gone since it was completed (or never there, when two processes shared the data
            // folder): fetched again rather than counted done.
            Log(ZylFormat("task {}: {} is missing and is fetched again", m_nTaskID,
                          ZylToUtf8(file.GetFullName())));
            file.m_bComplete = false;
            m_nCurrentSize = ZylAddWrapping(m_nCurrentSize, -static_cast<int64_t>(file.m_nFileOffset));
            file.m_nFileOffset = 0;
            file.m_bFirstRequest = 1;
            NoteChange(true);
        }
        if (first < 0 && !file.m_bComplete)
            first = static_cast<int32_t>(i);
    }
    UpdatePercent();
    if (first < 0) {
        m_nFileIndex = static_cast<int32_t>(m_vFiles.size());
        return false;
    }
    m_nFileIndex = first;
    return true;
}

int32_t CZylTask::RestartTask() {
    {
        std::lock_guard lock(m_mutex);
        SendCloseNotice(0);
        int32_t id = -1;
        if (DrawTaskId(id) < 0)
            return -1;
        m_nTaskID = id;
        NoteCompleteFiles();
        m_bFinished = 0;
        m_bFileListEnd = 0;
        m_nFileIndex = -1;
        m_nCurrentSize = 0;
        m_nTotalSize = 0;
        m_nPercent = 0;
        m_nTimeSpent = 0;
        m_nStartTick = Tick();
        m_nBytesThisRun = 0;
        m_bRunning = 0;
        m_bFinishShown = 0;
        ForgetRequests();
        for (auto& file : m_vFiles)
            file->OnTaskRemoved(m_nType);
        m_vFiles.clear();
    }
    NoteChange(true);
    Start();
    return 0;
}

void CZylTask::RemoveTask() {
    {
        std::lock_guard lock(m_mutex);
        // Removed once is enough: the names its files had may be the user's or another task's by now.
        if (m_bRemoved)
            return;
        EndRun();
        m_bRemoved = 1;
        m_bWaitingForSlot = false;
        NoteCompleteFiles();
        for (auto& file : m_vFiles) {
            if (!m_bFinished)
                file->OnTaskRemoved(m_nType);
            else
                file->Close();
        }
    }
    SendCloseNotice(0);
    NoteChange(true);
}

void CZylTask::Finish() {
    SendCloseNotice(0);
    // A finished task no longer counts time.
    EndRun();
    m_tFinishTime = Now();
    m_bFinished = 1;
    for (auto& file : m_vFiles)
        file->Close();
    NoteChange(true);
}

void CZylTask::SendCloseNotice(int32_t flag) {
    const CZylTaskItem* object = GetObjectRecord();
    // A name too long for a request leaves nothing to tell the other side about.
    SendRequest(ZYL_CMD_CLOSE_NOTICE, [&](ZylPayloadWriter& writer) {
        writer.Write(Now());
        writer.WriteInt32(m_nTaskID).WriteInt32(m_nType);
        writer.WriteString(object ? std::u16string_view(object->m_sRemoteName) : std::u16string_view());
        writer.WriteInt32(flag);
    });
}

int32_t CZylTask::GetElapsedSeconds() {
    std::lock_guard lock(m_mutex);
    if (!m_bRunning)
        return m_nTimeSpent;
    return m_nTimeSpent + static_cast<int32_t>((Tick() - m_nStartTick) / 1000);
}

float CZylTask::GetSpeed() {
    std::lock_guard lock(m_mutex);
    const uint32_t seconds = (Tick() - m_nStartTick) / 1000;
    if (m_bRunning && seconds != 0)
        m_fSpeed = static_cast<float>(m_nBytesThisRun) / static_cast<float>(seconds) * 0.001f;
    else
        m_fSpeed = 0;
    return m_fSpeed;
}

int32_t CZylTask::GetSecondsLeft() {
    std::lock_guard lock(m_mutex);
    const float speed = GetSpeed();
    if (std::fabs(speed) <= 0.001f || !m_bRunning)
        return -1;
    // Sizes of a damaged database may differ by more than an int32 holds, and so may the result.
    const float left =
        static_cast<float>(static_cast<double>(m_nTotalSize) - m_nCurrentSize) / (speed * 1000.0f);
    return static_cast<int32_t>(std::clamp(static_cast<double>(left), -2147483648.0, 2147483647.0));
}

void CZylTask::UpdatePercent() {
    if (m_nTotalSize == 0) {
        m_nPercent = 0;
        return;
    }
    // Sizes of a damaged database can give a ratio no int32 holds; converting it would be undefined.
    const double percent = static_cast<double>(m_nCurrentSize) / m_nTotalSize * 100.0;
    m_nPercent = static_cast<int32_t>(std::clamp(percent, -2147483648.0, 2147483647.0));
}

int32_t CZylTask::Serialize(int32_t load, CZylDbWriter* writer, CZylDbReader* reader) {
    if (load)
        return reader ? ReadBlock(*reader) : -1;
    return writer ? WriteBlock(*writer) : -1;
}

int32_t CZylTask::WriteBlock(CZylDbWriter& writer) const {
    const CZylTaskItem* object = GetObjectRecord();
    writer.WriteLine(u"[TaskBegin]");
    writer.WriteLine(u"TaskID=" + ZylFromInt(m_nTaskID));
    writer.WriteLine(u"ShareTime=" + m_tShareTime.ToText());
    writer.WriteLine(u"Type=" + ZylFromInt(m_nType));
    writer.WriteLine(u"UserID=" + m_sUserID);
    writer.WriteLine(u"Folder=" + ZylFromInt(m_bFolder));
    writer.WriteLine(u"Finished=" + ZylFromInt(m_bFinished));
    writer.WriteLine(u"FileIndex=" + ZylFromInt(m_nFileIndex));
    writer.WriteLine(u"TotalSize=" + ZylFromInt(m_nTotalSize));
    writer.WriteLine(u"CurrentSize=" + ZylFromInt(m_nCurrentSize));
    writer.WriteLine(u"AutoStartWhenUserOnline=" + ZylFromInt(m_bAutoStartWhenUserOnline));
    writer.WriteLine(u"FileListEnd=" + ZylFromInt(m_bFileListEnd));
    writer.WriteLine(u"timespent=" + ZylFromInt(m_nTimeSpent));
    writer.WriteLine(u"TaskStartTime=" + m_tTaskStartTime.ToText());
    writer.WriteLine(u"RemoteName=" + (object ? object->m_sRemoteName : std::u16string()));
    writer.WriteLine(u"LocalPath=" + (object ? object->m_sLocalPath : std::u16string()));
    writer.WriteLine(u"LocalName=" + (object ? object->m_sLocalName : std::u16string()));
    const int32_t files = m_bFileListEnd ? static_cast<int32_t>(m_vFiles.size()) : 0;
    writer.WriteLine(u"file=" + ZylFromInt(files));
    for (int32_t i = 0; i < files; ++i)
        m_vFiles[static_cast<size_t>(i)]->Write(writer);
    writer.WriteLine(u"[TaskEnd]");
    return 0;
}

int32_t CZylTask::ReadBlock(CZylDbReader& reader) {
    auto readTime = [&reader](CZylDateTime& target) {
        CZylDateTime time;
        if (time.FromText(reader.ReadValueLine()))
            target = time;
    };
    reader.ReadLine();
    m_nTaskID = reader.ReadIntLine();
    readTime(m_tShareTime);
    m_nType = reader.ReadIntLine();
    m_sUserID = reader.ReadValueLine().substr(0, ZYL_USERID_LIMIT);
    m_bFolder = reader.ReadIntLine() ? 1 : 0;
    m_bFinished = reader.ReadIntLine() ? 1 : 0;
    m_nFileIndex = reader.ReadIntLine();
    m_nTotalSize = reader.ReadIntLine();
    m_nCurrentSize = reader.ReadIntLine();
    UpdatePercent();
    m_bAutoStartWhenUserOnline = reader.ReadIntLine();
    m_bFileListEnd = reader.ReadIntLine() ? 1 : 0;
    m_nTimeSpent = reader.ReadIntLine();
    readTime(m_tTaskStartTime);
    if (m_bFolder)
        m_pFolderRecord = std::make_unique<CZylTaskFolder>();
    else
        m_pFileRecord = std::make_unique<CZylTaskFile>();
    CZylTaskItem* record = GetObjectRecord();
    // A damaged line can hold more than a name may: cut to what the next save writes back whole.
    record->m_sRemoteName = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    record->m_sLocalPath = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    record->m_sLocalName = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    const int32_t files = reader.ReadIntLine();
    // A count that a damaged file inflates ends with the file, not with memory.
    for (int32_t i = 0; i < files && !reader.AtEnd(); ++i) {
        auto file = std::make_unique<CZylTaskFile>();
        if (file->Read(reader) < 0)
            return -1;
        m_vFiles.push_back(std::move(file));
    }
    reader.ReadLine();
    m_bRunning = 0;
    m_nBytesThisRun = 0;
    return 0;
}
