// The task manager: the task list and its database, the user's commands on tasks, the other users'
// channels coming and going, and the routing of transfer replies to their tasks.
#include "transfer/ZylTaskManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "core/ZylUserList.h"

namespace {
constexpr std::u16string_view ZYL_TASK_DB_VERSION = u"Beta0.1";
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
    file.WriteLine(u"#zyl task file, version=" + std::u16string(ZYL_TASK_DB_VERSION));
    file.WriteLine(u"#id=" + m_sLoginId);
    file.WriteLine(u"AutoStartAllTasks=" + ZylFromInt(m_bAutoStartAllTasks));
    file.WriteLine(u"MaxTaskNumber=" + ZylFromInt(m_nMaxTaskNumber));
    return 0;
}

int32_t CZylTaskManager::ReadHeader(CZylDbReader& file) {
    if (!file.ScanHeader(u"#zyl task file, version="))
        return -1;
    const auto id = file.ScanHeader(u"#id=");
    if (!id || !ZylEqualNoCase(*id, m_sLoginId))
        return -1;
    return 0;
}

int32_t CZylTaskManager::LoadSave(int32_t load) {
    if (m_sDbPath.empty())
        return -1;
    if (!load) {
        CZylDbWriter writer;
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
        m_bSaveNow = false;
        m_bProgress = false;
        m_nLastSaveTick = GetPlatform().GetTickCount();
        return 0;
    }

    DeleteAllTasks();
    m_bAutoStartAllTasks = 0;
    m_nMaxTaskNumber = -1;
    CZylDbReader reader;
    if (!reader.Open(m_sDbPath))
        return 0;
    if (ReadHeader(reader) < 0) {
        // A database of another user (or a damaged header) is never loaded nor kept.
        ZylRemoveFile(m_sDbPath);
        return 0;
    }
    m_bAutoStartAllTasks = reader.ReadIntLine();
    m_nMaxTaskNumber = reader.ReadIntLine();
    const int32_t count = reader.ReadIntLine();
    for (int32_t i = 0; i < count && !reader.AtEnd(); ++i) {
        auto task = std::make_unique<CZylTask>(*this);
        const int32_t result = task->Serialize(1, nullptr, &reader);
        m_vTasks.push_back(std::move(task));
        if (result < 0)
            return -1;
    }
    m_bSaveNow = false;
    m_bProgress = false;
    m_nLastSaveTick = GetPlatform().GetTickCount();
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

int32_t CZylTaskManager::StartAllTasks() {
    for (auto& task : m_vTasks) {
        if (task->m_bFinished || task->m_bRemoved)
            continue;
        if (!m_pUsers || !m_pUsers->IsConnected(task->m_sUserID, 0)) {
            if (m_pUsers)
                m_pUsers->Connect(task->m_sUserID);
            // Shown as started; the first request goes out when the channels open.
            if (!task->m_bRunning) {
                task->m_nStartTick = GetPlatform().GetTickCount();
                task->m_bRunning = 1;
                task->m_bAwaitingChannels = true;
            }
        } else if (!m_pUsers->IsChannelBusy(task->m_sUserID, ZYL_CHANNEL_DATA) && !task->m_bRunning) {
            task->Start();
        }
    }
    SaveChanges();
    return 0;
}

void CZylTaskManager::OnChannelsUp(std::u16string_view user) {
    for (auto& task : m_vTasks) {
        if (task->m_bFinished || task->m_bRemoved || !ZylEqualNoCase(task->m_sUserID, user))
            continue;
        if (task->m_bRunning) {
            if (task->m_bAwaitingChannels)
                task->Start();
        } else if (m_bAutoStartAllTasks == 1) {
            task->Start();
        }
    }
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
    switch (command) {
    case ZYL_CMD_FILE_DATA_REPLY:
        result = task->OnRespondFileData(reader, taskId);
        break;
    case ZYL_CMD_FILE_LIST_REPLY:
        result = task->OnRespondFileListOfShareFolder(reader, taskId);
        break;
    case ZYL_CMD_EMPTY_FILE_LIST:
        result = task->OnEmptyFileList(taskId);
        break;
    case ZYL_CMD_UPLOAD_REPLY:
        result = task->OnRespondUpload(reader, taskId);
        break;
    case ZYL_CMD_WRITE_FILE_DATA_REPLY:
        result = task->OnRespondWriteFileData(reader, taskId);
        break;
    case ZYL_CMD_SYNC_FILE_SIZE_REPLY:
        result = task->OnRespondSyncFilesize(reader, taskId);
        break;
    default:
        break;
    }
    SaveChanges();
    return result;
}
