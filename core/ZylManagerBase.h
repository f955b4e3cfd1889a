// What the share manager, the task manager and the viewer share: the login id, the user registry,
// the modified flag, the database path, the files held open between pieces of a transfer, and the
// error PDU.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CZylDbReader;
class CZylDbWriter;
class IZylPluginContext;
class CZylShareObject;
class ZylUserList;

struct ZylFileCloser {
    void operator()(std::FILE* file) const {
        if (file)
            std::fclose(file);
    }
};
using ZylFilePtr = std::unique_ptr<std::FILE, ZylFileCloser>;

// A file the serving side holds open for a peer's transfer. Besides the key (the peer's task id)
// and the path, the entry remembers the peer, so that what a vanished peer left open is closed
// and what one peer holds can be bounded.
struct ZYLOPENFILE {
    uint32_t key = 0;
    std::u16string path;
    std::u16string user;
    ZylFilePtr read;
    ZylFilePtr write;
};

class CZylManagerBase {
public:
    explicit CZylManagerBase(IZylPluginContext& owner) : m_rContext(owner) {}
    virtual ~CZylManagerBase();
    CZylManagerBase(const CZylManagerBase&) = delete;
    CZylManagerBase& operator=(const CZylManagerBase&) = delete;

    virtual int32_t WriteHeader(CZylDbWriter& file) = 0;
    virtual int32_t ReadHeader(CZylDbReader& file) = 0;
    // 1 loads, 0 saves; 0 on success, -1 on failure (always while the database path is empty).
    virtual int32_t LoadSave(int32_t load) = 0;

    void SetLoginId(std::u16string_view id);
    const std::u16string& GetLoginId() const { return m_sLoginId; }
    void SetUserList(ZylUserList* users) { m_pUsers = users; }
    ZylUserList* GetUserList() const { return m_pUsers; }
    void SetDbPath(std::u16string_view path) { m_sDbPath = std::u16string(path); }
    const std::u16string& GetDbPath() const { return m_sDbPath; }
    void SetModified(bool modified = true) { m_bModified = modified ? 1 : 0; }
    bool IsModified() const { return m_bModified != 0; }
    IZylPluginContext& GetContext() const { return m_rContext; }

    // Open files, found by key and path (the path exactly: the file system tells case apart); the
    // user is the peer the file serves (empty matches any peer). Finding an entry marks it used.
    //
    // What peers hold open is bounded, per peer and in all: adding an entry beyond either bound
    // first closes the least recently used one (of that peer, or of anyone). Every entry is idle
    // between two requests, and the next piece of its transfer opens the file again, so a closed
    // entry costs its transfer one reopening and never its data.
    int32_t AddReadFile(uint32_t key, std::u16string_view path, ZylFilePtr stream,
                        std::u16string_view user = {});
    std::FILE* FindReadFile(std::u16string_view path, uint32_t key, std::u16string_view user = {});
    int32_t RemoveReadFile(uint32_t key, std::u16string_view path, std::u16string_view user = {});
    int32_t AddWriteFile(uint32_t key, std::u16string_view path, ZylFilePtr handle,
                         std::u16string_view user = {});
    std::FILE* FindWriteFile(std::u16string_view path, uint32_t key, std::u16string_view user = {});
    int32_t RemoveWriteFile(uint32_t key, std::u16string_view path, std::u16string_view user = {});
    // Closes every file of that peer's transfer with that key (close notice), or of that peer.
    // written, when given, receives the paths of the files that were open for writing.
    int32_t CloseFilesOfTransfer(std::u16string_view user, uint32_t key,
                                 std::vector<std::u16string>* written = nullptr);
    int32_t CloseFilesOfUser(std::u16string_view user);
    void CloseAllFiles();
    size_t GetOpenFileCount() const { return m_lOpenFiles.size(); }
    size_t GetOpenFileCount(std::u16string_view user) const;
    // Closes the least recently used entry, to free a descriptor when an open found none; false
    // when nothing is open.
    bool CloseLeastRecentlyUsedFile();
    // The bounds: per peer, and in all (at most a quarter of the process's descriptor limit, so
    // that the databases, the log and the transport always find one).
    static constexpr size_t MAX_OPEN_FILES_PER_PEER = 16;
    static constexpr size_t MAX_OPEN_FILES = 128;
    static size_t GetOpenFileBound();

    // A database that cannot be trusted whole is moved aside beside itself, never deleted: reason
    // names the kind ("damaged", "foreign") in the new name, what the database in the warning, and
    // kept the number of its records ("share", "task") still read from it (below 0 when none were
    // to be read). The warning goes to the log and stays as the notice of the last load, for a
    // host that tells its user.
    void SetAsideDatabase(std::u16string_view reason, std::u16string_view what, std::string_view record,
                          int64_t kept);
    const std::u16string& GetDbNotice() const { return m_sDbNotice; }
    // Opens the database for loading and reads its header (literal: the first line up to the
    // version). False when there is nothing to load: no file yet, or one of another user or of no
    // user that can be told, which is then set aside. damaged is set when the first line is.
    bool OpenDatabase(CZylDbReader& file, std::u16string_view literal, std::string_view record,
                      bool& damaged);

    // Queues the error PDU for the user on the request channel; -1 when it could not be queued.
    int32_t SendErrorPdu(int32_t code, std::u16string_view user, uint32_t key = 0, int32_t detail = 0,
                         const uint8_t* data = nullptr, int32_t n = 0);

protected:
    IZylPluginContext& m_rContext;
    std::u16string m_sLoginId;
    ZylUserList* m_pUsers = nullptr;
    int32_t m_bModified = 0;
    std::u16string m_sDbPath;
    std::u16string m_sDbNotice; // cleared by every load

private:
    std::list<ZYLOPENFILE>::iterator FindEntry(uint32_t key, std::u16string_view path,
                                               std::u16string_view user, bool wantRead);
    void Append(ZYLOPENFILE entry);

    // In order of use: the least recently used first.
    std::list<ZYLOPENFILE> m_lOpenFiles;
};
