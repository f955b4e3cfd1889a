// The serving side: the local shares with their rights, the share database, the mapping of the
// share paths peers send to local paths, and the answers to other users' browse and transfer
// requests. Listings are built and sent in pages by a small pool of worker threads.
#pragma once

#include "core/ZylManagerBase.h"
#include "share/ZylShareObject.h"
#include "share/ZylWorkerPool.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

using ZylShareList = std::vector<std::unique_ptr<CZylShareObject>>;

// Results of EnumFiles besides a count.
enum : int32_t {
    ZYL_ENUM_NO_MEMORY = -1,
    ZYL_ENUM_NO_FOLDER = -2, // the folder asked for is missing or cannot be read
    ZYL_ENUM_STOPPED = -3,   // its stop flag was set
};

// Results of ResolveSharePath.
enum : int32_t {
    ZYL_SHARE_PATH_OK = 0,
    ZYL_SHARE_PATH_NO_SHARE = -1,  // no share of that name: the request gets no reply
    ZYL_SHARE_PATH_UNSAFE = -2,    // the path names something outside the shared item
    ZYL_SHARE_PATH_RECEIVING = -3, // the path names an upload still being received: not there yet
};

class ZylPayloadWriter;

class CZylShareManager : public CZylManagerBase {
public:
    static constexpr int32_t PAGE_ITEMS = 16;
    static constexpr uint32_t RETRY_PAUSE_MS = 300; // before offering a page that could not be queued
    // PDUs of one user that the host has not taken yet; at this many the user's listings wait
    // (holding no worker) until the host takes some: pages go as fast as the user takes them.
    static constexpr size_t PAGE_BACKLOG = 32;
    // Beyond this many untaken PDUs of a user, a refused listing request is not even answered.
    static constexpr size_t REFUSAL_BACKLOG = 1024;
    // Extensions whose file type is remembered.
    static constexpr size_t TYPE_CACHE_LIMIT = 4096;

    explicit CZylShareManager(IZylPluginContext& owner);
    ~CZylShareManager() override;

    // The share database: the two header lines, and the whole file (1 loads, 0 saves). Loading
    // replaces every share the manager held. A file of another login id, or one that is damaged or
    // cut short, is moved aside (GetDbNotice says where) and what could be read of it is kept.
    int32_t WriteHeader(CZylDbWriter& file) override;
    int32_t ReadHeader(CZylDbReader& file) override;
    int32_t LoadSave(int32_t load) override;
    // Marks the shares changed and writes the database at once; the window calls it after editing
    // a share's properties. -1 when it could not be written (the change is then saved later).
    int32_t SaveChanges();

    // The shares. Adding stamps the share time and takes ownership; a share IsServableShare
    // refuses is refused with -1.
    // Adding, removing and the upload switch write the database at once.
    int32_t AddShare(std::unique_ptr<CZylShareObject> share);
    // False for a share whose name is empty or holds "\", whose item is not one name in an
    // absolute folder (the file-system root has no name and is never shared), or whose texts do
    // not fit their fields or hold a line feed. Such a share is neither added nor loaded.
    static bool IsServableShare(const CZylShareObject& share);
    int32_t RemoveShare(std::u16string_view name);
    int32_t ShareNameExists(std::u16string_view name) const;
    // 1 when a share is the item at that full local path with that folder flag; otherwise 0, and
    // share may then hold a share of that path whose flag differs.
    int32_t IsPathShared(std::u16string_view path, int32_t folder, CZylShareObject** share = nullptr) const;
    // Position of the first share of that name (without regard to case), or -1 and null.
    int32_t FindShareByName(std::u16string_view name, CZylShareObject** share = nullptr) const;
    // 1 when a share of that name exists (the time is not looked at).
    int32_t ShareExists(std::u16string_view name, const CZylDateTime& time,
                        CZylShareObject** share = nullptr) const;
    int32_t GetShareCount() const;
    CZylShareObject* GetShare(int32_t index) const;
    // The shared item's full local path: Path, "/", Name.
    std::u16string GetShareLocalPath(const CZylShareObject& share) const;
    // The local path, relative to the share's Path, of a share path (share name, optionally "\"
    // and a path below the shared item). The remainder is converted as it stands; see
    // ResolveSharePath for the check every request must pass.
    int32_t SharePathToLocalPath(std::u16string_view sharePath, std::u16string& localPath,
                                 const CZylShareObject& share) const;
    // The one gate for a peer's share path: finds the share by the path's first component and maps
    // the path to an absolute local path. ZYL_SHARE_PATH_NO_SHARE when there is no such share
    // (share null); ZYL_SHARE_PATH_UNSAFE (share set) when the part below the share has an empty,
    // "." or ".." component or the mapped path, with symbolic links resolved, leaves the shared
    // item; then nothing may be listed, read or written (answer with error code 9).
    // ZYL_SHARE_PATH_RECEIVING (share set) when a component below the share has the form of an
    // upload's temporary file: answered as a file that does not exist (error code 3).
    int32_t ResolveSharePath(std::u16string_view sharePath, CZylShareObject*& share,
                             std::u16string& localPath) const;

    int32_t GetNoUpload() const { return m_bNoUpload; }
    void SetNoUpload(int32_t noUpload);

    // A user's channel closed: its current-user entries, the files it held open and its listings
    // (waiting or running) go.
    void RemoveCurrentUserFromShares(std::u16string_view user);
    // The user went offline: its listings go.
    void DropListingsOf(std::u16string_view user);
    // Login: listings are served from now on (until Shutdown).
    void StartListings();
    // The host took queued PDUs: listings held back by their user's untaken pages look again.
    void OnQueueDrained() { m_pool.Wake(); }
    // Closes the open files and destroys every share.
    void ClearShares();
    // Logout and destruction: running listings stop, waiting ones are dropped, and the workers
    // are joined; nothing is sent after it returns, and requests that arrive later start nothing
    // until the next login. Received files waiting to be flushed reach the disk and are answered
    // first.
    void Shutdown();
    // Returns once every received file handed to the flusher so far is flushed and answered.
    void WaitUntilFlushed();
    // How the flusher makes a received file's data durable: 0, or the errno of the failure. Tests
    // put a fake in; without one, one flush of the file system holds a whole batch.
    using FlushFile = std::function<int(const std::filesystem::path& file)>;
    void SetFlushFile(FlushFile flush);

    // Requests of other users (the UI thread). The transfer requests are answered elsewhere.
    int32_t OnRequestShareRootInfo(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestExplorerFolder(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestFileData(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestFileListOfShareFolder(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestUpload(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestWriteFileData(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnRequestSyncFilesize(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnUnfinishedTasks(const uint8_t* payload, int32_t length, std::u16string_view user);
    int32_t OnCloseNotice(const uint8_t* payload, int32_t length, std::u16string_view user);

    // One reply page each, queued for the user; any thread. RespondShareRootInfo answers the
    // number of items queued and adds it to sent; the others 0. -1 when it could not be queued.
    int32_t RespondShareRootInfo(std::u16string_view user, int32_t begin, int32_t& sent,
                                 const ZylShareList& shares);
    int32_t RespondExplorerFolder(std::u16string_view user, int32_t begin, const ZylShareList& list);
    int32_t RespondFileListOfShareFolder(uint32_t taskId, std::u16string_view user,
                                         std::u16string_view shareFolder, std::u16string_view shareName,
                                         int32_t begin, const ZylShareList& list);
    int32_t RespondEmptyFileList(uint32_t taskId, std::u16string_view user);

    // Appends what the folder holds, without recursion the subfolders and then the files, with
    // recursion only the files (those of each subfolder first). The number appended; 0 for a
    // file; ZYL_ENUM_NO_FOLDER when the folder is missing or cannot be read; ZYL_ENUM_NO_MEMORY;
    // ZYL_ENUM_STOPPED once the stop flag is set (it is looked at for every entry). Any thread.
    // With a root, symbolic links that lead outside it are left out; so are entries that are
    // neither files nor folders and, each with a warning line the serving user sees, names that
    // cannot travel in a share path or are not UTF-8, unreadable subfolders and files of 2 GiB or
    // more.
    int32_t EnumFiles(std::u16string_view folder, ZylShareList& list, bool recursive,
                      std::u16string_view root = {}, const std::atomic<bool>* stop = nullptr);
    // The share path a listed file is reported under: the share name as requested, then the path
    // of the file below the shared item (the shared item's own Path is shareFolder).
    static std::u16string FileSharePath(std::u16string_view shareFolder, std::u16string_view shareName,
                                        const CZylShareObject& file);

    // An upload is received into a temporary file beside its target, named for the upload alone:
    // the target's name, ".", the uploading user's id, "-", its task id and ".fst" (a long name is
    // cut and marked with a hash so that the whole stays one file name). Listings leave such names
    // out, and no upload may name one as its target.
    static std::u16string UploadTempPath(std::u16string_view target, std::u16string_view user,
                                         uint32_t taskId);
    static bool IsUploadTempName(std::u16string_view name);
    // True when any component of the path has that form.
    static bool NamesUploadTemp(std::u16string_view path, char16_t separator);

    // The listing workers (for tests and measurements of their bounds).
    CZylWorkerPool& GetListingPool() { return m_pool; }
    size_t GetWaitingListings() const { return m_pool.GetWaitingCount(); }

private:
    struct ZYLWORKORDER;
    struct ZYLENUMSTATE;
    int32_t Load();
    int32_t Save();
    // Hands the listing to the workers; false when it was not taken (answered "net busy" when the
    // asker has too many waiting).
    bool Submit(std::shared_ptr<ZYLWORKORDER> order);
    // One turn of a listing: its enumeration, or one page; true while there is more to do.
    bool ListingStep(ZYLWORKORDER& order, const std::atomic<bool>& stop);
    bool Enumerate(ZYLWORKORDER& order, bool recursive, const std::atomic<bool>& stop);
    // Offers the page at the listing's position, pausing only before the retry of a page that
    // could not be queued; 1 while pages remain, 0 when the listing is complete.
    int32_t OfferPage(ZYLWORKORDER& order, const std::function<int32_t(int32_t)>& page);
    int32_t EnumFolder(std::u16string_view folder, ZylShareList& list, bool recursive, ZYLENUMSTATE& state);
    void LeaveOut(ZYLENUMSTATE& state, std::string_view reason, std::u16string_view path);
    std::u16string FileTypeOf(const std::filesystem::path& path);
    // Opens a file a peer's transfer reads or writes (open flags); when the process is out of
    // descriptors the least recently used open file is closed for it. Null with errno set when it
    // cannot be opened.
    ZylFilePtr OpenServedFile(const std::u16string& path, int flags);
    void Note(std::u16string_view text);
    CZylDateTime Now() const;

    mutable std::mutex m_mutex; // the share list and the current users
    int32_t m_bNoUpload = 0;
    ZylShareList m_vShares;
    std::mutex m_typeMutex;
    std::unordered_map<std::string, std::u16string> m_mTypes; // file type by folded extension
    CZylWorkerPool m_pool;
    // A received file waits on the flusher thread with its answer: its data reaches the disk, it
    // replaces its target, the folder records the new name, and only then is the peer told.
    // Answers to the same user that come meanwhile wait behind it, so that none overtakes it.
    struct FLUSH {
        std::filesystem::path temp; // empty: an answer that only waits its turn
        std::filesystem::path target;
        std::u16string user;
        uint32_t command = 0;
        std::vector<uint8_t> reply;
        uint32_t taskId = 0; // the upload's task, named by a failure's answer
    };
    void FlushLater(FLUSH order);
    // Sends the answer now, or behind the user's answers that wait for the flusher.
    int32_t SendTransferReply(uint32_t command, const ZylPayloadWriter& writer, std::u16string_view user);
    void RunFlusher();
    void StopFlusher();
    std::mutex m_flushMutex;
    std::condition_variable m_flushWake;
    std::condition_variable m_flushDone;
    std::vector<FLUSH> m_vToFlush;
    std::map<std::u16string, size_t> m_mFlushWaiting; // answers waiting, by user
    FlushFile m_fnFlushFile;
    std::thread m_flusher;
    bool m_bFlushStop = false;
};
