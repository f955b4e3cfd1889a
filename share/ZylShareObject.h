// The one record of a shared or listed item: a local share with the rights other users hold on it
// and the users it currently serves, an entry found in a shared folder, or an item a peer reported.
#pragma once

#include "core/ZylDateTime.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CZylDbReader;
class CZylDbWriter;
class CZylHost;

// The id of the entry whose rights every user holds.
inline constexpr std::u16string_view ZYL_EVERYONE = u"Everyone";

enum : int32_t { ZYL_PRIVILEGED_EVERYONE = 0, ZYL_PRIVILEGED_USER = 2 };

// What a share object's texts may hold (the original fixed fields, without their terminator).
inline constexpr size_t ZYL_SHARE_TEXT_LIMIT = 259;

// One access-right entry: a user id (or "Everyone") and the privilege bits it grants.
struct ZYLPRIVILEGEDUSER {
    std::u16string id;
    std::u16string name; // display name, not stored; refreshed when the entry is fetched
    int32_t type = ZYL_PRIVILEGED_USER;
    uint16_t privilege = 0;
};

// A user currently served from a share, with its running transfers.
struct ZYLSHAREUSER {
    std::u16string id;
    CZylDateTime time; // local time the entry was made
    int32_t downloads = 0;
    int32_t uploads = 0;
};

class CZylShareObject {
public:
    CZylShareObject() = default;
    virtual ~CZylShareObject() = default;
    CZylShareObject(const CZylShareObject&) = delete;
    CZylShareObject& operator=(const CZylShareObject&) = delete;

    const std::u16string& GetShareName() const { return m_sShareName; }
    void SetShareName(std::u16string_view name) { m_sShareName = name; }
    const std::u16string& GetName() const { return m_sName; }
    void SetName(std::u16string_view name) { m_sName = name; }
    const std::u16string& GetPath() const { return m_sPath; }
    // One trailing separator ("/" for local paths) is removed.
    void SetPath(std::u16string_view path);
    const std::u16string& GetType() const { return m_sType; }
    void SetType(std::u16string_view type) { m_sType = type; }
    uint32_t GetSize() const { return m_nSize; }
    void SetSize(uint32_t size) { m_nSize = size; }
    int32_t GetFolder() const { return m_bFolder; }
    void SetFolder(int32_t folder) { m_bFolder = folder; }
    const CZylDateTime& GetShareTime() const { return m_shareTime; }
    void SetShareTime(const CZylDateTime& time) { m_shareTime = time; }
    const CZylDateTime& GetTime() const { return m_time; }
    void SetTime(const CZylDateTime& time) { m_time = time; }
    int32_t GetLimitedUserNumber() const { return m_nLimitedUserNumber; }
    void SetLimitedUserNumber(int32_t limit) { m_nLimitedUserNumber = limit; }
    int32_t GetUnlimitedUserNumber() const { return m_bUnlimitedUserNumber; }
    void SetUnlimitedUserNumber(int32_t unlimited) { m_bUnlimitedUserNumber = unlimited; }
    uint16_t GetGrantedPrivilege() const { return m_nGrantedPrivilege; }
    void SetGrantedPrivilege(uint16_t privilege) { m_nGrantedPrivilege = privilege; }

    // Every field but the two lists.
    void CopyFrom(const CZylShareObject& other);

    // Access rights. Adding an id that is present replaces only its privilege. 0, -1 without memory.
    int32_t AddPrivilegedUser(const ZYLPRIVILEGEDUSER& entry);
    // Position of the entry (ids without regard to case) and the entry; -1 and null when none.
    int32_t FindPrivilegedUser(std::u16string_view id, ZYLPRIVILEGEDUSER** entry = nullptr) const;
    uint16_t GetUserPrivilege(std::u16string_view id) const;
    uint16_t GetEveryonePrivilege() const { return GetUserPrivilege(ZYL_EVERYONE); }
    // Non-zero when "Everyone" or the user's own entry grants a bit of mask: an entry of one user
    // can add rights but cannot take away what "Everyone" grants.
    int32_t HasPrivilege(std::u16string_view id, uint16_t mask) const;
    // The rights the user holds, as a root info reply reports them: the user's own bits and those
    // of "Everyone", without upload while uploads are switched off.
    uint16_t GetReportedPrivilege(std::u16string_view id, bool noUpload) const;
    int32_t GetPrivilegedUserCount() const { return static_cast<int32_t>(m_vPrivilegedUsers.size()); }
    // The entry at that position; with a host, its name is refreshed with the user's display name
    // first (the id itself when the host gives none).
    ZYLPRIVILEGEDUSER* GetPrivilegedUser(int32_t index, const CZylHost* host = nullptr);
    // Forgets every access right and every current user.
    void ClearUsers();

    // Current users.
    int32_t FindCurrentUser(std::u16string_view id, ZYLSHAREUSER** entry = nullptr) const;
    // Appends the entry with its time set to now, unless the user already has one. 0.
    int32_t AddCurrentUser(const ZYLSHAREUSER& entry, const CZylDateTime& now);
    void RemoveCurrentUser(std::u16string_view id);
    // Kind 2 ends a download, kind 4 an upload of that user; other kinds change nothing. The
    // counters do not go below 0.
    void ReleaseCurrentUser(std::u16string_view id, int32_t kind);
    // An upload of the user (making its entry), counted once however often it is announced; an
    // announced upload the user's unfinished tasks reported under that share path takes that place.
    void CountUpload(std::u16string_view id, uint32_t taskId, std::u16string_view sharePath,
                     const CZylDateTime& now);
    // An unfinished upload the user reported, known only by the share path it names.
    void CountReportedUpload(std::u16string_view id, std::u16string_view sharePath, const CZylDateTime& now);
    // The upload ended (or was refused): it no longer counts. An upload never announced is one of
    // those reported under that share path, when reported is set.
    void ReleaseUpload(std::u16string_view id, uint32_t taskId, std::u16string_view sharePath, bool reported);
    int32_t GetCurrentUserCount() const { return static_cast<int32_t>(m_vCurrentUsers.size()); }
    ZYLSHAREUSER* GetCurrentUser(int32_t index) const;
    // 1 when a user limit applies and as many users as it allows are being served (the limit is
    // compared as an unsigned number); only current users that hold a right on the share count.
    int32_t IsUserLimitReached() const;

    // The share's record in the share database. Reading cuts texts to their fields and takes the
    // entries as they come; missing lines read as empty values.
    int32_t Serialize(CZylDbWriter& file) const;
    int32_t Serialize(CZylDbReader& file);

private:
    // What a current user's count of uploads is made of: the uploads announced, each once by its
    // task id, and those its list of unfinished tasks reported, by the share path each names,
    // until announced or ended.
    struct ZYLCOUNTEDUPLOADS {
        std::u16string id;
        std::vector<uint32_t> tasks;
        std::vector<std::u16string> reported;
    };
    ZYLCOUNTEDUPLOADS& CountedUploads(std::u16string_view id);

    std::vector<std::unique_ptr<ZYLSHAREUSER>> m_vCurrentUsers;
    std::vector<ZYLCOUNTEDUPLOADS> m_vCountedUploads;
    uint16_t m_nGrantedPrivilege = 0;
    CZylDateTime m_shareTime;
    std::u16string m_sShareName;
    std::u16string m_sName;
    std::u16string m_sPath;
    uint32_t m_nSize = 0;
    CZylDateTime m_time;
    std::u16string m_sType;
    int32_t m_bFolder = 0;
    int32_t m_nLimitedUserNumber = 10;
    int32_t m_bUnlimitedUserNumber = 1;
    std::vector<std::unique_ptr<ZYLPRIVILEGEDUSER>> m_vPrivilegedUsers;
};
