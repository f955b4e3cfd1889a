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
// and the path, the entry remembers the peer, so that what a vanished peer left open is closed.
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

    // Open files, found by key and path (the path exactly as the file system spells it); the user
    // is the peer the file serves (empty matches any peer, ids compare without regard to case).
    int32_t AddReadFile(uint32_t key, std::u16string_view path, ZylFilePtr stream,
                        std::u16string_view user = {});
    std::FILE* FindReadFile(std::u16string_view path, uint32_t key, std::u16string_view user = {}) const;
    int32_t RemoveReadFile(uint32_t key, std::u16string_view path, std::u16string_view user = {});
    int32_t AddWriteFile(uint32_t key, std::u16string_view path, ZylFilePtr handle,
                         std::u16string_view user = {});
    std::FILE* FindWriteFile(std::u16string_view path, uint32_t key, std::u16string_view user = {}) const;
    int32_t RemoveWriteFile(uint32_t key, std::u16string_view path, std::u16string_view user = {});
    // Closes every file of that peer's transfer with that key (close notice), or of that peer.
    int32_t CloseFilesOfTransfer(std::u16string_view user, uint32_t key);
    int32_t CloseFilesOfUser(std::u16string_view user);
    void CloseAllFiles();
    size_t GetOpenFileCount() const { return m_lOpenFiles.size(); }

    // Queues the error PDU for the user on the request channel; -1 when it could not be queued.
    int32_t SendErrorPdu(int32_t code, std::u16string_view user, uint32_t key = 0, int32_t detail = 0,
                         const uint8_t* data = nullptr, int32_t n = 0);

protected:
    IZylPluginContext& m_rContext;
    std::u16string m_sLoginId;
    ZylUserList* m_pUsers = nullptr;
    int32_t m_bModified = 0;
    std::u16string m_sDbPath;

private:
    std::list<ZYLOPENFILE>::iterator FindEntry(uint32_t key, std::u16string_view path,
                                               std::u16string_view user, bool wantRead);

    std::list<ZYLOPENFILE> m_lOpenFiles;
};
