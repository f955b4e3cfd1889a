// A task is one transfer with one other user: the download of a remote file or folder into a local
// folder, or the upload of a local file or folder into the other user's share. The task owns the
// record of the object it was made for and one record per file to transfer; each file record knows
// its local file (the ".fst" temporary file of a download, the source file of an upload).
#pragma once

#include "core/ZylDateTime.h"
#include "core/ZylManagerBase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CZylDbReader;
class CZylDbWriter;
class CZylTaskManager;
class ZylPayloadReader;
class ZylPayloadWriter;

inline constexpr int32_t ZYL_TASK_DOWNLOAD = 2;
inline constexpr int32_t ZYL_TASK_UPLOAD = 4;
// Bytes of file data in one piece.
inline constexpr int32_t ZYL_BLOCK_SIZE = 7168;
// Pieces a transfer keeps unanswered: a download's file data requests, an upload's pieces (and, as
// many again, its size queries), in file order and across the ends of files. The other side answers
// each request as it comes, in the order asked, so the number is this side's choice; it bounds what
// one transfer makes either side hold (about 230 KB of pieces) whatever the size of its files, and it
// keeps a folder of small files from paying one round trip per file.
inline constexpr int32_t ZYL_PIECES_IN_FLIGHT = 32;
// A download's pieces reach its temporary file in writes of about this many bytes.
inline constexpr size_t ZYL_WRITE_GATHER = 64 * 1024;
// The longest name a task or file record keeps (its database line must stay one line).
inline constexpr size_t ZYL_TASK_NAME_LIMIT = 259;
// Room for a request's fields (names are at most 259 units, three bytes each in the payload).
inline constexpr int32_t ZYL_REQUEST_CAPACITY = 4096;
// Sizes add up in 32-bit fields; a total beyond them wraps instead of overflowing.
inline int32_t ZylAddWrapping(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
// Suffix of the file a download writes into until the file is complete.
inline constexpr std::u16string_view ZYL_TEMP_SUFFIX = u".fst";

// True when a name can be kept in a record: not too long and without control characters, so that
// the database's one-value-per-line layout cannot be broken by a peer's file name.
bool ZylIsStorableName(std::u16string_view name);
// The line that says why a local file could not be written: "no space left on the device: PATH",
// "permission denied: PATH", ...
std::u16string ZylWriteErrorText(int error, std::u16string_view path);

// The three names every record carries: RemoteName is a share path ("\" separators) on the other
// user's side, LocalPath a local folder and LocalName a local name ("/" separators).
class CZylTaskItem {
public:
    virtual ~CZylTaskItem() = default;

    std::u16string m_sRemoteName;
    std::u16string m_sLocalPath;
    std::u16string m_sLocalName;
};

// The object of a folder task.
class CZylTaskFolder : public CZylTaskItem {};

// One file of a task, and the object of a single-file task.
class CZylTaskFile : public CZylTaskItem {
public:
    CZylTaskFile() = default;
    ~CZylTaskFile() override = default;
    CZylTaskFile(const CZylTaskFile&) = delete;
    CZylTaskFile& operator=(const CZylTaskFile&) = delete;

    // LocalPath and LocalName joined by one separator, whatever separators each carries at the join.
    std::u16string GetFullName() const;
    std::u16string GetTempName() const;
    // The full name's last component.
    std::u16string GetFileName() const;
    // The full name up to its last separator; empty when it has none.
    std::u16string GetFolder() const;

    // Download side. Folders on the way below the task's local folder are made as needed and never
    // followed when they are links. 0, -1 when the temporary file cannot be opened (the reason in
    // GetError).
    int32_t OpenFileForWrite();
    // 0 when taken; -5 when it is not the next expected piece; -2 on a file error (the reason in
    // GetError), after which the file is not complete.
    int32_t ReceiveData(int32_t offset, const uint8_t* data, int32_t n, int32_t last);
    // True when the completed file is there under its full name.
    bool IsOnDisk() const;
    // The pieces taken but not yet written reach the temporary file (before the database records
    // them); false when they cannot, after which the file takes no further piece until a restart
    // of its window (the reason in GetError).
    bool Flush();
    const std::u16string& GetError() const { return m_sError; }
    // Before a resumed download asks for data: the temporary file is cut back to FileOffset when it
    // holds more (bytes the database never recorded are not trusted), and FileOffset comes back to
    // what the file holds when it holds less. Returns the change of FileOffset.
    int32_t AlignWithTemporary();

    // Upload side. ReadBlock reads up to one piece at the offset; the end flag is set when the read
    // met the end of the file.
    int32_t OpenFileForRead();
    int32_t ReadBlock(int32_t offset, uint8_t* buffer, int32_t& n, int32_t& end);
    void Advance(int32_t n) { m_nFileOffset += n; }

    // A fresh window (download) or size synchronisation (upload) next time; the file is closed.
    void Reset();
    // The task was removed or restarted: what a download wrote goes (the completed file or its
    // temporary file), nothing else; an upload's file stays.
    void OnTaskRemoved(int32_t type);
    // Writes what a download gathered (a failure is seen when the window restarts) and closes.
    void Close();
    bool IsOpen() const { return static_cast<bool>(m_pFile); }

    void Write(CZylDbWriter& writer) const;
    int32_t Read(CZylDbReader& reader);

    int32_t m_bFirstRequest = 1;
    CZylDateTime m_tLastModifiedTime; // universal-time fields, as the sending side's file system has it
    int32_t m_nFileOffset = 0;
    int32_t m_nFileSize = 0;
    // Not stored: the download completed the file under its full name (files before the task's
    // current one after loading).
    bool m_bComplete = false;
    // Not stored: what the other side holds of an upload's file, as it answered the size query of
    // this run; -1 until the answer came.
    int32_t m_nHeld = -1;

private:
    int32_t Fail(int error, std::u16string_view path);
    // Renames the temporary file to the full name and gives it the sender's time.
    int32_t Complete();
    // Writes the gathered pieces; false with the reason when they could not all be written.
    bool WritePending();

    ZylFilePtr m_pFile;
    // A download's pieces taken since the last write (FileOffset counts them).
    std::vector<uint8_t> m_vPending;
    // A gathered write failed: no piece is taken until the window restarts (Reset).
    bool m_bWriteFailed = false;
    // The download made the temporary file in this run.
    bool m_bTempMade = false;
    std::u16string m_sError;
};

class CZylTask {
public:
    explicit CZylTask(CZylTaskManager& manager);
    virtual ~CZylTask();
    CZylTask(const CZylTask&) = delete;
    CZylTask& operator=(const CZylTask&) = delete;

    // Marks the task finished and tells the other side to release what it holds.
    virtual void Finish();
    // Deletes every file record and the object record.
    virtual void ReleaseRecords();
    // Writes or reads the task's block of the task database (1 reads; 0 writes).
    virtual int32_t Serialize(int32_t load, CZylDbWriter* writer, CZylDbReader* reader);

    void SetFolderRecord(std::unique_ptr<CZylTaskFolder> record);
    void SetFileRecord(std::unique_ptr<CZylTaskFile> record);
    CZylTaskItem* GetObjectRecord() const;
    // Draws the task id; -1 (the task must not be added) when none can be drawn.
    int32_t Init();

    // The name the task view shows: the remote name of the object.
    std::u16string GetTaskName() const;
    const std::u16string& GetUserId() const { return m_sUserID; }
    std::u16string GetLocalPath() const;

    void Start();
    void StopTask();
    // A failure the task cannot get past by waiting (a file it cannot write or read, the other
    // side's error, a reply it cannot use): a running task stops, logs the reason at error level
    // and keeps it in m_sLastError until it is started again.
    void StopWithError(std::u16string reason);
    int32_t RestartTask();
    void RemoveTask();
    void SendCloseNotice(int32_t flag);

    int32_t GetElapsedSeconds();
    float GetSpeed();
    // -1 when unknown.
    int32_t GetSecondsLeft();
    void UpdatePercent();

    // The file the transfer is at, or null (no list yet, or past its end).
    CZylTaskFile* GetCurrentFile() const;

    // Download flow.
    int32_t RequestFileListOfShareFolder();
    int32_t RequestFileData();
    int32_t OnRespondFileListOfShareFolder(ZylPayloadReader& reader, int32_t taskId);
    int32_t OnRespondFileData(ZylPayloadReader& reader, int32_t taskId);
    int32_t OnEmptyFileList(int32_t taskId);

    // Upload flow. NextUploadStep sends what the window allows: size queries of the files ahead
    // and pieces of those whose answer came.
    int32_t RequestUpload();
    int32_t RequestSyncFilesize(int32_t fileIndex);
    int32_t NextUploadStep();
    int32_t OnRespondUpload(ZylPayloadReader& reader, int32_t taskId);
    int32_t OnRespondSyncFilesize(ZylPayloadReader& reader, int32_t taskId);
    int32_t OnRespondWriteFileData(ZylPayloadReader& reader, int32_t taskId);

    // Set by start-all while the user's channels were closed: the first request goes out when
    // they open.
    bool m_bAwaitingChannels = false;
    // Set by start-all while as many tasks ran as allowed: the task starts when one ends.
    bool m_bWaitingForSlot = false;
    // Why the task stopped itself (StopWithError); empty after a start. Not stored.
    std::u16string m_sLastError;
    // The requests of this run (not stored): the file and offset of the next piece to ask for or
    // send (-1: none yet, the next begins at the current file), the next file whose size an upload
    // asks for, and how many pieces and size queries wait for their answer.
    int32_t m_nRequestFile = -1;
    int32_t m_nRequestOffset = -1;
    int32_t m_nSyncFile = -1;
    int32_t m_nInFlight = 0;
    int32_t m_nSyncsInFlight = 0;

    int32_t m_bFinishShown = 0;
    uint32_t m_nBytesThisRun = 0;
    std::recursive_mutex m_mutex;
    int32_t m_bRemoved = 0;
    uint32_t m_nStartTick = 0;
    int32_t m_nTimeSpent = 0;
    int32_t m_nCurrentSize = 0;
    int32_t m_nTotalSize = 0;
    int32_t m_bRunning = 0;
    float m_fSpeed = 0;
    int32_t m_nPercent = 0;
    int32_t m_bFileListEnd = 0;
    int32_t m_bAutoStartWhenUserOnline = 1;
    int32_t m_nTaskID = -1;
    std::unique_ptr<CZylTaskFolder> m_pFolderRecord;
    std::unique_ptr<CZylTaskFile> m_pFileRecord;
    int32_t m_nFileIndex = -1;
    int32_t m_bFolder = 0;
    std::vector<std::unique_ptr<CZylTaskFile>> m_vFiles;
    int32_t m_bFinished = 0;
    CZylDateTime m_tFinishTime;
    CZylDateTime m_tTaskStartTime;
    CZylDateTime m_tShareTime;
    int32_t m_nType = 0;
    std::u16string m_sUserName;
    std::u16string m_sUserID;

private:
    friend class CZylTaskManager;
    int32_t DrawTaskId(int32_t& id);
    int32_t Send(uint32_t command, const ZylPayloadWriter& writer);
    // Builds a request with fill and sends it; -1 when it was not queued or does not fit the
    // capacity (a name too long for one request), which then leaves nothing half sent.
    int32_t SendRequest(uint32_t command, const std::function<void(ZylPayloadWriter&)>& fill,
                        int32_t capacity = ZYL_REQUEST_CAPACITY);
    uint32_t Tick() const;
    CZylDateTime Now() const;
    void Log(std::u16string_view text) const;
    void NoteChange(bool immediate) const;
    int32_t WriteBlock(CZylDbWriter& writer) const;
    int32_t ReadBlock(CZylDbReader& reader);
    // 1 when the file joins the list; 0 when it cannot be sent, -1 when it cannot be read (the
    // reason in error either way).
    int32_t AppendUploadFile(const std::u16string& localPath, const std::u16string& localName,
                             std::u16string& error);
    int32_t EnumFiles(const std::u16string& folder, const std::u16string& base, std::u16string& error);
    // Sends the piece at offset of the file at index; end receives whether it ends the file. -1
    // when it was not sent (the task stopped with the reason).
    int32_t SendWriteBlock(int32_t index, int32_t offset, int32_t& end);
    // The current file is complete on the other side: the next one not yet held whole becomes
    // current, or the task finishes.
    void AdvanceUploadFile();
    // The run ends (stopped or finished): its whole seconds join timespent, and the task no longer
    // counts time.
    void EndRun();
    // The requests of the run are forgotten: the next run starts its windows afresh.
    void ForgetRequests();
    // The next file after index that the cursor of a download's requests enters (complete ones are
    // not fetched again).
    int32_t NextFileToFetch(int32_t index) const;
    // Bytes of this run; a correction below what the run moved leaves 0, never a wrapped count.
    void AddBytesThisRun(int64_t n);
    // Files before the current one were completed by the task.
    void NoteCompleteFiles();
    // A download about to resume: a file recorded complete that is not on disk is fetched again,
    // and the current file is the first one not complete. False when none is left.
    bool SeekFirstIncompleteFile();

    CZylTaskManager& m_rManager;
};
