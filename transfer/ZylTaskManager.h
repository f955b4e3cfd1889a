// Download and upload tasks: their database, their scheduling and the replies that drive them.
#pragma once

#include "core/ZylManagerBase.h"
#include "transfer/ZylTask.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class IZylPlatform;
class ZylPayloadReader;

// Progress is written to the task database at most this long after it was made.
inline constexpr uint32_t ZYL_TASK_SAVE_INTERVAL_MS = 2000;
// The unfinished-tasks answer lists at most this many tasks.
inline constexpr int32_t ZYL_MAX_UNFINISHED_LISTED = 20;

class CZylTaskManager : public CZylManagerBase {
public:
    explicit CZylTaskManager(IZylPluginContext& owner) : CZylManagerBase(owner) {}
    ~CZylTaskManager() override;

    int32_t WriteHeader(CZylDbWriter& file) override;
    int32_t ReadHeader(CZylDbReader& file) override;
    // 1 replaces the tasks held by those of the database (stopped); 0 writes the database.
    int32_t LoadSave(int32_t load) override;
    // Closes every file and drops every task (nothing is sent).
    virtual void DeleteAllTasks();
    // List index of the first task with that id (removed tasks too), and the task; -1 and null.
    virtual int32_t FindTask(int32_t taskId, CZylTask** task) const;

    // After loading: the registry is rebuilt from the tasks and their users' channels are asked for.
    int32_t Startup();
    int32_t RebuildUserList();

    // Takes the task (made and Init'ed by the caller), registers its user and starts it.
    int32_t AddTask(std::unique_ptr<CZylTask> task);
    // Make, draw an id for and add a task in one step; null when no id could be drawn or a name
    // cannot be kept. A download fetches the remote share path into the local folder; an upload
    // sends the local file (folder + name) or folder (path of the folder itself) to the share path.
    // A downloaded file is saved under localName when one is given, else under its remote name.
    CZylTask* CreateDownloadTask(std::u16string_view user, std::u16string_view remoteName, bool folder,
                                 std::u16string_view localFolder, const CZylDateTime& shareTime,
                                 std::u16string_view localName = {});
    CZylTask* CreateUploadTask(std::u16string_view user, std::u16string_view localPath,
                               std::u16string_view localName, bool folder, std::u16string_view remoteName,
                               const CZylDateTime& shareTime);

    int32_t GetTaskCount() const { return static_cast<int32_t>(m_vTasks.size()); }
    CZylTask* GetTaskAt(int32_t index) const;
    int32_t GetActiveTaskCount() const;
    int32_t GetActiveTaskCountOfUser(std::u16string_view user) const;
    // That user's unfinished tasks; active receives those to resume when the user is online.
    int32_t CountPendingTasks(std::u16string_view user, int32_t& active) const;

    int32_t RemoveTaskById(int32_t taskId);
    int32_t RemoveAllTasks();
    int32_t RemoveAllTasksOfUser(std::u16string_view user);
    int32_t StopAllTasks();
    void StopAllOfUser(std::u16string_view user);
    int32_t RestartAllTasks();
    int32_t RestartAllTasksOfUser(std::u16string_view user);
    int32_t StartAllTasks();
    // Both channels of the user came up.
    void OnChannelsUp(std::u16string_view user);

    // The transfer replies (4101, 4103, 4107, 4109, 4111, 4116) and the unfinished tasks query.
    int32_t Dispatch(uint32_t command, const uint8_t* payload, int32_t length, std::u16string_view user);
    // An error PDU from the user: the task it names stops with the error. One that names no task
    // (the requests of an upload and the file list request are answered so) stops the user's
    // running tasks that wait for such an answer: its uploads and the downloads waiting for their
    // list.
    void OnPeerError(std::u16string_view user, int32_t code, uint32_t taskId);
    // The plug-in's timer: writes the database when a change waits for it, and starts the tasks
    // that wait for a free place.
    void OnTimer();

    int32_t GetAutoStartAllTasks() const { return m_bAutoStartAllTasks; }
    void SetAutoStartAllTasks(int32_t value) { m_bAutoStartAllTasks = value ? 1 : 0; }
    int32_t GetMaxTaskNumber() const { return m_nMaxTaskNumber; }
    void SetMaxTaskNumber(int32_t value) { m_nMaxTaskNumber = value; }

    // For the tasks: a change to write at once (immediate) or within the save interval.
    void NoteChange(bool immediate);
    IZylPlatform& GetPlatform() const;
    // Writes what waits to be written; the operations above call it before they return.
    void SaveChanges();

private:
    // The task and the record of the object it transfers, Init'ed and added; null when Init fails.
    CZylTask* MakeTask(int32_t type, std::u16string_view user, bool folder, std::u16string_view remoteName,
                       std::u16string_view localPath, std::u16string_view localName,
                       const CZylDateTime& shareTime);
    int32_t AnswerUnfinishedTasks(std::u16string_view user);
    int32_t DispatchToTask(CZylTask& task, uint32_t command, ZylPayloadReader& reader, int32_t taskId);
    void RegisterTaskUser(CZylTask& task);
    // Tasks started (or marked started) and neither finished nor removed.
    int32_t GetRunningTaskCount() const;
    // MaxTaskNumber allows one more running task (a value below 1 sets no limit).
    bool HasFreePlace() const;
    // Start-all's step for one task: marked started while its user's channels are closed (they
    // are asked for), started when they are open and the data channel is free.
    void StartOrAwait(CZylTask& task);
    // Starts the tasks that wait for a free place, in list order, while places are free.
    void StartWaitingTasks();

    int32_t m_bAutoStartAllTasks = 0;
    int32_t m_nMaxTaskNumber = -1;
    std::vector<std::unique_ptr<CZylTask>> m_vTasks;
    bool m_bSaveNow = false;
    bool m_bProgress = false;
    uint32_t m_nLastSaveTick = 0;
    size_t m_nSavedUnits = 0; // the length of the last database written
};
