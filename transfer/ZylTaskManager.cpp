// The task manager: the task list and its database, the user's commands on tasks, the other users'
// channels coming and going, and the routing of transfer replies to their tasks.
#include "transfer/ZylTaskManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylLog.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "core/ZylUserList.h"

namespace {
constexpr std::u16string_view ZYL_TASK_DB_VERSION = u"Beta0.1";
constexpr std::u16string_view ZYL_TASK_DB_HEADER = u"#zyl task file, version=";
constexpr std::u16string_view ZYL_TASK_BEGIN = u"[TaskBegin]";
constexpr std::u16string_view ZYL_TASK_END = u"[TaskEnd]";
constexpr int32_t ZYL_DISPLAY_NAME_LIMIT = 127;
} // namespace

CZylTaskManager::~CZylTaskManager() {
    // The database was written at logout; a plug-in dropped without one keeps what was last saved.
    DeleteAllTasks();
}

IZylPlatform& CZylTaskManager::GetPlatform() const {
    return m_rContext.GetPlatform();
}

void CZylTaskManager::DeleteAllTasks() {
    CloseAllFiles();
    m_vTasks.clear();
}

int32_t CZylTaskManager::WriteHeader(CZylDbWriter& file) {
    file.WriteLine(std::u16string(ZYL_TASK_DB_HEADER) + std::u16string(ZYL_TASK_DB_VERSION));
    file.WriteLine(u"#id=" + m_sLoginId);
    file.WriteLine(u"AutoStartAllTasks=" + ZylFromInt(m_bAutoStartAllTasks));
    file.WriteLine(u"MaxTaskNumber=" + ZylFromInt(m_nMaxTaskNumber));
    return 0;
}

int32_t CZylTaskManager::ReadHeader(CZylDbReader& file) {
    return ZylReadDbHeader(file, ZYL_TASK_DB_HEADER, m_sLoginId) == EZylDbHeader::Ours ? 0 : -1;
}

// A task without its user, its names or the names of its files cannot be carried on; a file record
// of an upload has no remote name (the target folder's is the task's).
static bool IsWholeTask(const CZylTask& task) {
    const CZylTaskItem* object = task.GetObjectRecord();
    if (task.m_sUserID.empty() || !object || object->m_sRemoteName.empty() || object->m_sLocalPath.empty() ||
        object->m_sLocalName.empty())
        return false;
    for (const auto& file : task.m_vFiles) {
        if (file->m_sLocalName.empty())
            return false;
        if (task.m_nType == ZYL_TASK_DOWNLOAD && (file->m_sRemoteName.empty() || file->m_sLocalPath.empty()))
            return false;
    }
    return true;
}

int32_t CZylTaskManager::LoadSave(int32_t load) {
    if (m_sDbPath.empty())
        return -1;
    if (!load) {
        CZylDbWriter writer;
        // About the size of the last save: the text is gathered without copies as it grows.
        writer.Reserve(m_nSavedUnits + m_nSavedUnits / 8);
        WriteHeader(writer);
        int32_t count = 0;
        for (const auto& task : m_vTasks)
            count += task->m_bRemoved ? 0 : 1;
        writer.WriteLine(u"TaskNum=" + ZylFromInt(count));
        for (const auto& task : m_vTasks) {
            if (task->m_bRemoved)
                continue;
            // What the database records must be in the files first.
            for (const auto& file : task->m_vFiles)
                file->Flush();
            task->Serialize(0, &writer, nullptr);
        }
        if (!writer.Commit(m_sDbPath))
            return -1;
        m_nSavedUnits = writer.Text().size();
        m_bSaveNow = false;
        m_bProgress = false;
        m_nLastSaveTick = GetPlatform().GetTickCount();
        return 0;
    }

    DeleteAllTasks();
    m_bAutoStartAllTasks = 0;
    m_nMaxTaskNumber = -1;
    CZylDbReader reader;
    bool damaged = false;
    if (!OpenDatabase(reader, ZYL_TASK_DB_HEADER, "task", damaged))
        return 0;
    const size_t afterHeader = reader.GetPosition();
    m_bAutoStartAllTasks = reader.ReadIntLine(u"AutoStartAllTasks", damaged);
    m_nMaxTaskNumber = reader.ReadIntLine(u"MaxTaskNumber", damaged);
    const int32_t count = reader.ReadIntLine(u"TaskNum", damaged);
    std::unique_ptr<CZylTask> task;
    const size_t blocks = ZylReadDbBlocks(
        reader, afterHeader, 3, ZYL_TASK_BEGIN, ZYL_TASK_END,
        [&] {
            task = std::make_unique<CZylTask>(*this);
            return task->Serialize(1, nullptr, &reader) == 0 && IsWholeTask(*task);
        },
        [&] { m_vTasks.push_back(std::move(task)); }, damaged);
    m_bSaveNow = false;
    m_bProgress = false;
    m_nLastSaveTick = GetPlatform().GetTickCount();
    if (damaged || count < 0 || blocks != static_cast<size_t>(count)) {
        SetAsideDatabase(u"damaged", u"the task database", "task", static_cast<int64_t>(m_vTasks.size()));
        // What was kept is on disk again at once.
        if (LoadSave(0) < 0)
            m_bSaveNow = true;
    }
    return 0;
}

void CZylTaskManager::NoteChange(bool immediate) {
    if (immediate)
        m_bSaveNow = true;
    else if (!m_bProgress) {
        m_bProgress = true;
    }
}

void CZylTaskManager::SaveChanges() {
    if (m_sDbPath.empty())
        return;
    const uint32_t now = GetPlatform().GetTickCount();
    if (m_bSaveNow || (m_bProgress && now - m_nLastSaveTick >= ZYL_TASK_SAVE_INTERVAL_MS)) {
        if (LoadSave(0) < 0) {
            // Tried again on a later tick, not on every one.
            m_nLastSaveTick = now;
            m_bSaveNow = false;
            m_bProgress = true;
        }
    }
}

void CZylTaskManager::OnTimer() {
    StartWaitingTasks();
    SaveChanges();
}

int32_t CZylTaskManager::FindTask(int32_t taskId, CZylTask** task) const {
    for (size_t i = 0; i < m_vTasks.size(); ++i) {
        if (m_vTasks[i]->m_nTaskID == taskId) {
            if (task)
                *task = m_vTasks[i].get();
            return static_cast<int32_t>(i);
        }
    }
    if (task)
        *task = nullptr;
    return -1;
}

CZylTask* CZylTaskManager::GetTaskAt(int32_t index) const {
    if (index < 0 || index >= GetTaskCount())
        return nullptr;
    return m_vTasks[static_cast<size_t>(index)].get();
}

void CZylTaskManager::RegisterTaskUser(CZylTask& task) {
    if (!m_pUsers)
        return;
    PZYLUSER user = nullptr;
    if (m_pUsers->Find(task.m_sUserID, &user) < 0) {
        auto record = ZylUserList::MakeRecord(task.m_sUserID, 1);
        record->nTaskCount = 1;
        m_pUsers->Add(std::move(record), &user);
    } else {
        ++user->nTaskCount;
    }
    if (user) {
        user->name = m_rContext.GetDisplayName(user->id).substr(0, ZYL_MAX_NAME - 1);
        task.m_sUserName = user->name.substr(0, ZYL_DISPLAY_NAME_LIMIT);
    }
}

int32_t CZylTaskManager::AddTask(std::unique_ptr<CZylTask> task) {
    if (!task)
        return -1;
    CZylTask& added = *task;
    m_vTasks.push_back(std::move(task));
    RegisterTaskUser(added);
    NoteChange(true);
    added.Start();
    SaveChanges();
    return 0;
}

CZylTask* CZylTaskManager::CreateDownloadTask(std::u16string_view user, std::u16string_view remoteName,
                                              bool folder, std::u16string_view localFolder,
                                              const CZylDateTime& shareTime, std::u16string_view localName) {
    if (user.empty() || user.size() > ZYL_USERID_LIMIT || remoteName.empty() || localFolder.empty() ||
        !ZylIsStorableName(remoteName) || !ZylIsStorableName(localFolder))
        return nullptr;
    // A name of its own is one plain name, for a single file only.
    if (!localName.empty() && (folder || !ZylIsTransferableName(localName) || !ZylIsStorableName(localName)))
        return nullptr;
    return MakeTask(ZYL_TASK_DOWNLOAD, user, folder, remoteName, localFolder,
                    localName.empty() ? ZylLastComponent(remoteName, ZYL_SHARE_SEPARATOR) : localName,
                    shareTime);
}

CZylTask* CZylTaskManager::CreateUploadTask(std::u16string_view user, std::u16string_view localPath,
                                            std::u16string_view localName, bool folder,
                                            std::u16string_view remoteName, const CZylDateTime& shareTime) {
    if (user.empty() || user.size() > ZYL_USERID_LIMIT || remoteName.empty() || localName.empty() ||
        !ZylIsStorableName(remoteName) || !ZylIsStorableName(localPath) || !ZylIsStorableName(localName))
        return nullptr;
    // The name the other side would make the file or folder under must be one it accepts.
    if (!ZylIsTransferableName(
            folder ? ZylLastComponent(ZylTrimTrailingSeparator(localPath, ZYL_LOCAL_SEPARATOR),
                                      ZYL_LOCAL_SEPARATOR)
                   : localName))
        return nullptr;
    return MakeTask(ZYL_TASK_UPLOAD, user, folder, remoteName, localPath, localName, shareTime);
}

CZylTask* CZylTaskManager::MakeTask(int32_t type, std::u16string_view user, bool folder,
                                    std::u16string_view remoteName, std::u16string_view localPath,
                                    std::u16string_view localName, const CZylDateTime& shareTime) {
    auto task = std::make_unique<CZylTask>(*this);
    auto name = [&](CZylTaskItem& object) {
        object.m_sRemoteName = std::u16string(remoteName);
        object.m_sLocalPath = std::u16string(localPath);
        object.m_sLocalName = std::u16string(localName);
    };
    if (folder) {
        auto object = std::make_unique<CZylTaskFolder>();
        name(*object);
        task->SetFolderRecord(std::move(object));
    } else {
        auto object = std::make_unique<CZylTaskFile>();
        name(*object);
        task->SetFileRecord(std::move(object));
    }
    task->m_sUserID = std::u16string(user);
    task->m_nType = type;
    task->m_tShareTime = shareTime;
    if (task->Init() < 0)
        return nullptr;
    CZylTask* result = task.get();
    AddTask(std::move(task));
    return result;
}

int32_t CZylTaskManager::GetActiveTaskCount() const {
    int32_t count = 0;
    for (const auto& task : m_vTasks)
        count += !task->m_bFinished && !task->m_bRemoved ? 1 : 0;
    return count;
}

int32_t CZylTaskManager::GetActiveTaskCountOfUser(std::u16string_view user) const {
    int32_t count = 0;
    for (const auto& task : m_vTasks)
        count += !task->m_bFinished && !task->m_bRemoved && ZylEqualNoCase(task->m_sUserID, user) ? 1 : 0;
    return count;
}

int32_t CZylTaskManager::CountPendingTasks(std::u16string_view user, int32_t& active) const {
    int32_t total = 0;
    active = 0;
    for (const auto& task : m_vTasks) {
        if (task->m_bFinished || task->m_bRemoved || !ZylEqualNoCase(task->m_sUserID, user))
            continue;
        ++total;
        if (task->m_bAutoStartWhenUserOnline == 1 || task->m_bRunning == 1)
            ++active;
    }
    return total;
}

int32_t CZylTaskManager::RemoveTaskById(int32_t taskId) {
    CZylTask* task = nullptr;
    if (FindTask(taskId, &task) < 0)
        return -1;
    task->RemoveTask();
    NoteChange(true);
    SaveChanges();
    return 0;
}

int32_t CZylTaskManager::RemoveAllTasks() {
    for (auto& task : m_vTasks)
        if (!task->m_bRemoved)
            task->RemoveTask();
    NoteChange(true);
    SaveChanges();
    return 0;
}

int32_t CZylTaskManager::RemoveAllTasksOfUser(std::u16string_view user) {
    for (auto& task : m_vTasks)
        if (!task->m_bRemoved && ZylEqualNoCase(task->m_sUserID, user))
            task->RemoveTask();
    NoteChange(true);
    SaveChanges();
    return 0;
}

int32_t CZylTaskManager::StopAllTasks() {
    for (auto& task : m_vTasks)
        task->StopTask();
    SaveChanges();
    return 0;
}

void CZylTaskManager::StopAllOfUser(std::u16string_view user) {
    for (auto& task : m_vTasks)
        if (ZylEqualNoCase(task->m_sUserID, user))
            task->StopTask();
    SaveChanges();
}

int32_t CZylTaskManager::RestartAllTasks() {
    int32_t result = 0;
    for (auto& task : m_vTasks)
        if (!task->m_bRemoved && task->RestartTask() < 0)
            result = -1;
    NoteChange(true);
    SaveChanges();
    return result;
}

int32_t CZylTaskManager::RestartAllTasksOfUser(std::u16string_view user) {
    int32_t result = 0;
    for (auto& task : m_vTasks)
        if (!task->m_bRemoved && ZylEqualNoCase(task->m_sUserID, user) && task->RestartTask() < 0)
            result = -1;
    NoteChange(true);
    SaveChanges();
    return result;
}

int32_t CZylTaskManager::GetRunningTaskCount() const {
    int32_t count = 0;
    for (const auto& task : m_vTasks)
        count += task->m_bRunning && !task->m_bFinished && !task->m_bRemoved ? 1 : 0;
    return count;
}

bool CZylTaskManager::HasFreePlace() const {
    return m_nMaxTaskNumber < 1 || GetRunningTaskCount() < m_nMaxTaskNumber;
}

void CZylTaskManager::StartOrAwait(CZylTask& task) {
    if (!m_pUsers || !m_pUsers->IsConnected(task.m_sUserID, 0)) {
        if (m_pUsers)
            m_pUsers->Connect(task.m_sUserID);
        // Shown as started; the first request goes out when the channels open.
        if (!task.m_bRunning) {
            task.m_nStartTick = GetPlatform().GetTickCount();
            task.m_bRunning = 1;
            task.m_bAwaitingChannels = true;
            task.m_bWaitingForSlot = false;
            task.m_sLastError.clear();
        }
    } else if (!m_pUsers->IsChannelBusy(task.m_sUserID, ZYL_CHANNEL_DATA) && !task.m_bRunning) {
        task.Start();
    }
}

int32_t CZylTaskManager::StartAllTasks() {
    for (auto& task : m_vTasks) {
        if (task->m_bFinished || task->m_bRemoved)
            continue;
        // Beyond the allowed number the rest wait, and start in order as places free up.
        if (!task->m_bRunning && !HasFreePlace()) {
            task->m_bWaitingForSlot = true;
            continue;
        }
        StartOrAwait(*task);
    }
    SaveChanges();
    return 0;
}

void CZylTaskManager::StartWaitingTasks() {
    for (auto& task : m_vTasks) {
        if (!task->m_bWaitingForSlot)
            continue;
        if (task->m_bFinished || task->m_bRemoved || task->m_bRunning) {
            task->m_bWaitingForSlot = false;
            continue;
        }
        if (!HasFreePlace())
            return;
        task->m_bWaitingForSlot = false;
        StartOrAwait(*task);
    }
}

void CZylTaskManager::OnChannelsUp(std::u16string_view user) {
    for (auto& task : m_vTasks) {
        if (task->m_bFinished || task->m_bRemoved || !ZylEqualNoCase(task->m_sUserID, user))
            continue;
        if (task->m_bRunning) {
            if (task->m_bAwaitingChannels)
                task->Start();
        } else if (m_bAutoStartAllTasks == 1) {
            if (HasFreePlace())
                task->Start();
            else
                task->m_bWaitingForSlot = true;
        }
    }
    SaveChanges();
}

void CZylTaskManager::OnPeerError(std::u16string_view user, int32_t code, uint32_t taskId) {
    const std::u16string text(ZylErrorText(code));
    for (auto& task : m_vTasks) {
        if (!task->m_bRunning || task->m_bRemoved || task->m_bFinished ||
            !ZylEqualNoCase(task->m_sUserID, user))
            continue;
        if (taskId != 0 ? task->m_nTaskID != static_cast<int32_t>(taskId)
                        : task->m_nType != ZYL_TASK_UPLOAD && task->m_bFileListEnd)
            continue;
        if (task->m_bAwaitingChannels)
            continue; // nothing was asked yet
        std::u16string reason = code == ZYL_ERROR_NO_DISK_SPACE
                                    ? ZylFormat("no space left on the device of {}: {}", ZylToUtf8(user),
                                                ZylToUtf8(task->GetTaskName()))
                                    : ZylFormat("{} answered \"{}\" for {}", ZylToUtf8(user), ZylToUtf8(text),
                                                ZylToUtf8(task->GetTaskName()));
        task->StopWithError(std::move(reason));
    }
    StartWaitingTasks();
    SaveChanges();
}

int32_t CZylTaskManager::RebuildUserList() {
    if (!m_pUsers)
        return -1;
    m_pUsers->RemoveAll();
    for (const auto& task : m_vTasks) {
        PZYLUSER user = nullptr;
        if (m_pUsers->Find(task->m_sUserID, &user) < 0) {
            auto record = ZylUserList::MakeRecord(task->m_sUserID, 1);
            record->name = m_rContext.GetDisplayName(task->m_sUserID).substr(0, ZYL_MAX_NAME - 1);
            if (m_pUsers->Add(std::move(record), &user) < 0)
                return -1;
        } else {
            ++user->nTaskCount;
        }
    }
    m_pUsers->ConnectAll();
    return 0;
}

int32_t CZylTaskManager::Startup() {
    return RebuildUserList();
}

int32_t CZylTaskManager::AnswerUnfinishedTasks(std::u16string_view user) {
    ZylPayloadWriter writer;
    writer.Write(CZylDateTime(GetPlatform().GetCalendarTime()));
    std::vector<const CZylTask*> listed;
    for (const auto& task : m_vTasks) {
        if (listed.size() >= static_cast<size_t>(ZYL_MAX_UNFINISHED_LISTED))
            break;
        if (!task->m_bFinished && !task->m_bRemoved && ZylEqualNoCase(task->m_sUserID, user))
            listed.push_back(task.get());
    }
    writer.WriteInt32(static_cast<int32_t>(listed.size()));
    for (const CZylTask* task : listed) {
        writer.WriteInt32(task->m_nType);
        writer.WriteString(task->GetTaskName());
    }
    return m_rContext.SendPayload(ZYL_CMD_UNFINISHED_TASKS_REPLY, writer, user, ZYL_CHANNEL_REQUEST);
}

int32_t CZylTaskManager::Dispatch(uint32_t command, const uint8_t* payload, int32_t length,
                                  std::u16string_view user) {
    ZylPayloadReader reader(payload, length);
    CZylDateTime sent;
    reader.Read(sent);
    if (command == ZYL_CMD_UNFINISHED_TASKS_QUERY)
        return AnswerUnfinishedTasks(user);
    const int32_t taskId = reader.ReadInt32();
    CZylTask* task = nullptr;
    if (FindTask(taskId, &task) < 0)
        return 0;
    // Only the task's own peer may move it.
    if (!ZylEqualNoCase(task->m_sUserID, user))
        return 0;
    int32_t result = 0;
    try {
        result = DispatchToTask(*task, command, reader, taskId);
    } catch (const ZylCodecError&) {
        // A reply that cannot be read would be waited for in vain.
        if (task->m_nTaskID == taskId && task->m_bRunning)
            task->StopWithError(
                ZylFormat("{} sent a reply that cannot be read (command {})", ZylToUtf8(user), command));
    }
    StartWaitingTasks();
    SaveChanges();
    return result;
}

int32_t CZylTaskManager::DispatchToTask(CZylTask& target, uint32_t command, ZylPayloadReader& reader,
                                        int32_t taskId) {
    int32_t result = 0;
    switch (command) {
    case ZYL_CMD_FILE_DATA_REPLY:
        result = target.OnRespondFileData(reader, taskId);
        break;
    case ZYL_CMD_FILE_LIST_REPLY:
        result = target.OnRespondFileListOfShareFolder(reader, taskId);
        break;
    case ZYL_CMD_EMPTY_FILE_LIST:
        result = target.OnEmptyFileList(taskId);
        break;
    case ZYL_CMD_UPLOAD_REPLY:
        result = target.OnRespondUpload(reader, taskId);
        break;
    case ZYL_CMD_WRITE_FILE_DATA_REPLY:
        result = target.OnRespondWriteFileData(reader, taskId);
        break;
    case ZYL_CMD_SYNC_FILE_SIZE_REPLY:
        result = target.OnRespondSyncFilesize(reader, taskId);
        break;
    default:
        break;
    }
    return result;
}
