#include "share/ZylShareObject.h"

#include "core/ZylDbFile.h"
#include "core/ZylHost.h"
#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <algorithm>
#include <new>

namespace {

// A line feed inside a value would shift every later value of the file by one line.
std::u16string StorableText(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c == u'\n')
            c = u' ';
    return out;
}

std::u16string Field(std::u16string_view key, std::u16string_view value) {
    return std::u16string(key) + u"=" + StorableText(value);
}

std::u16string Field(std::u16string_view key, int32_t value) {
    return std::u16string(key) + u"=" + ZylFromInt(value);
}

std::u16string Cut(std::u16string text, size_t limit) {
    if (text.size() > limit)
        text.resize(limit);
    return text;
}

} // namespace

void CZylShareObject::SetPath(std::u16string_view path) {
    m_sPath = ZylTrimTrailingSeparator(path, ZYL_LOCAL_SEPARATOR);
}

void CZylShareObject::CopyFrom(const CZylShareObject& other) {
    m_nGrantedPrivilege = other.m_nGrantedPrivilege;
    m_shareTime = other.m_shareTime;
    m_sShareName = other.m_sShareName;
    m_sName = other.m_sName;
    m_sPath = other.m_sPath;
    m_nSize = other.m_nSize;
    m_time = other.m_time;
    m_sType = other.m_sType;
    m_bFolder = other.m_bFolder;
    m_nLimitedUserNumber = other.m_nLimitedUserNumber;
    m_bUnlimitedUserNumber = other.m_bUnlimitedUserNumber;
}

int32_t CZylShareObject::AddPrivilegedUser(const ZYLPRIVILEGEDUSER& entry) {
    ZYLPRIVILEGEDUSER* existing = nullptr;
    if (FindPrivilegedUser(entry.id, &existing) >= 0) {
        existing->privilege = entry.privilege;
        return 0;
    }
    try {
        m_vPrivilegedUsers.push_back(std::make_unique<ZYLPRIVILEGEDUSER>(entry));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int32_t CZylShareObject::FindPrivilegedUser(std::u16string_view id, ZYLPRIVILEGEDUSER** entry) const {
    for (size_t i = 0; i < m_vPrivilegedUsers.size(); ++i) {
        if (ZylEqualNoCase(m_vPrivilegedUsers[i]->id, id)) {
            if (entry)
                *entry = m_vPrivilegedUsers[i].get();
            return static_cast<int32_t>(i);
        }
    }
    if (entry)
        *entry = nullptr;
    return -1;
}

uint16_t CZylShareObject::GetUserPrivilege(std::u16string_view id) const {
    ZYLPRIVILEGEDUSER* entry = nullptr;
    return FindPrivilegedUser(id, &entry) >= 0 ? entry->privilege : 0;
}

int32_t CZylShareObject::HasPrivilege(std::u16string_view id, uint16_t mask) const {
    if (GetEveryonePrivilege() & mask)
        return 1;
    return (GetUserPrivilege(id) & mask) ? 1 : 0;
}

uint16_t CZylShareObject::GetReportedPrivilege(std::u16string_view id, bool noUpload) const {
    uint16_t privilege = GetUserPrivilege(id);
    privilege |= GetEveryonePrivilege() & (ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD);
    if (noUpload)
        privilege &= static_cast<uint16_t>(~ZYL_PRIV_UPLOAD);
    return privilege;
}

ZYLPRIVILEGEDUSER* CZylShareObject::GetPrivilegedUser(int32_t index, const CZylHost* host) {
    if (index < 0 || static_cast<size_t>(index) >= m_vPrivilegedUsers.size())
        return nullptr;
    ZYLPRIVILEGEDUSER* entry = m_vPrivilegedUsers[static_cast<size_t>(index)].get();
    if (host)
        entry->name = host->GetDisplayName(entry->id);
    return entry;
}

void CZylShareObject::ClearUsers() {
    m_vPrivilegedUsers.clear();
    m_vCurrentUsers.clear();
    m_vCountedUploads.clear();
}

int32_t CZylShareObject::FindCurrentUser(std::u16string_view id, ZYLSHAREUSER** entry) const {
    for (size_t i = 0; i < m_vCurrentUsers.size(); ++i) {
        if (ZylEqualNoCase(m_vCurrentUsers[i]->id, id)) {
            if (entry)
                *entry = m_vCurrentUsers[i].get();
            return static_cast<int32_t>(i);
        }
    }
    if (entry)
        *entry = nullptr;
    return -1;
}

int32_t CZylShareObject::AddCurrentUser(const ZYLSHAREUSER& entry, const CZylDateTime& now) {
    if (FindCurrentUser(entry.id) >= 0)
        return 0;
    auto added = std::make_unique<ZYLSHAREUSER>(entry);
    added->time = now;
    m_vCurrentUsers.push_back(std::move(added));
    return 0;
}

void CZylShareObject::RemoveCurrentUser(std::u16string_view id) {
    const int32_t at = FindCurrentUser(id);
    if (at >= 0)
        m_vCurrentUsers.erase(m_vCurrentUsers.begin() + at);
    std::erase_if(m_vCountedUploads,
                  [&](const ZYLCOUNTEDUPLOADS& counted) { return ZylEqualNoCase(counted.id, id); });
}

void CZylShareObject::ReleaseCurrentUser(std::u16string_view id, int32_t kind) {
    ZYLSHAREUSER* entry = nullptr;
    if (FindCurrentUser(id, &entry) < 0)
        return;
    if (kind == ZYL_PRIV_DOWNLOAD && entry->downloads > 0)
        --entry->downloads;
    else if (kind == ZYL_PRIV_UPLOAD && entry->uploads > 0)
        --entry->uploads;
}

CZylShareObject::ZYLCOUNTEDUPLOADS& CZylShareObject::CountedUploads(std::u16string_view id) {
    for (auto& counted : m_vCountedUploads)
        if (ZylEqualNoCase(counted.id, id))
            return counted;
    return m_vCountedUploads.emplace_back(ZYLCOUNTEDUPLOADS{std::u16string(id), {}, {}});
}

void CZylShareObject::CountUpload(std::u16string_view id, uint32_t taskId, std::u16string_view sharePath,
                                  const CZylDateTime& now) {
    AddCurrentUser(ZYLSHAREUSER{std::u16string(id), {}, 0, 0}, now);
    ZYLSHAREUSER* entry = nullptr;
    FindCurrentUser(id, &entry);
    ZYLCOUNTEDUPLOADS& counted = CountedUploads(id);
    if (std::ranges::find(counted.tasks, taskId) != counted.tasks.end())
        return;
    counted.tasks.push_back(taskId);
    const auto reported = std::ranges::find_if(
        counted.reported, [&](const std::u16string& path) { return ZylEqualNoCase(path, sharePath); });
    if (reported != counted.reported.end())
        counted.reported.erase(reported);
    else
        ++entry->uploads;
}

void CZylShareObject::CountReportedUpload(std::u16string_view id, std::u16string_view sharePath,
                                          const CZylDateTime& now) {
    AddCurrentUser(ZYLSHAREUSER{std::u16string(id), {}, 0, 0}, now);
    ZYLSHAREUSER* entry = nullptr;
    FindCurrentUser(id, &entry);
    CountedUploads(id).reported.emplace_back(sharePath);
    ++entry->uploads;
}

void CZylShareObject::ReleaseUpload(std::u16string_view id, uint32_t taskId, std::u16string_view sharePath,
                                    bool reported) {
    ZYLSHAREUSER* entry = nullptr;
    if (FindCurrentUser(id, &entry) < 0)
        return;
    ZYLCOUNTEDUPLOADS& counted = CountedUploads(id);
    const auto task = std::ranges::find(counted.tasks, taskId);
    if (task != counted.tasks.end()) {
        counted.tasks.erase(task);
    } else {
        const auto found = std::ranges::find_if(
            counted.reported, [&](const std::u16string& path) { return ZylEqualNoCase(path, sharePath); });
        if (!reported || found == counted.reported.end())
            return;
        counted.reported.erase(found);
    }
    if (entry->uploads > 0)
        --entry->uploads;
}

ZYLSHAREUSER* CZylShareObject::GetCurrentUser(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_vCurrentUsers.size())
        return nullptr;
    return m_vCurrentUsers[static_cast<size_t>(index)].get();
}

int32_t CZylShareObject::IsUserLimitReached() const {
    if (m_bUnlimitedUserNumber != 0)
        return 0;
    // Only users that hold a right on the share take a place.
    uint32_t served = 0;
    for (const auto& user : m_vCurrentUsers)
        served += HasPrivilege(user->id, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD) ? 1 : 0;
    return served >= static_cast<uint32_t>(m_nLimitedUserNumber) ? 1 : 0;
}

int32_t CZylShareObject::Serialize(CZylDbWriter& file) const {
    file.WriteLine(u"[ShareObjectBegin]");
    file.WriteLine(Field(u"ShareName", m_sShareName));
    file.WriteLine(Field(u"ShareTime", m_shareTime.ToText()));
    file.WriteLine(Field(u"Name", m_sName));
    file.WriteLine(Field(u"Path", m_sPath));
    file.WriteLine(Field(u"Size", static_cast<int32_t>(m_nSize)));
    file.WriteLine(Field(u"bUnlimitedUserNumber", m_bUnlimitedUserNumber));
    file.WriteLine(Field(u"nLimitedUserNumber", m_nLimitedUserNumber));
    file.WriteLine(Field(u"Time", m_time.ToText()));
    file.WriteLine(Field(u"Type", m_sType));
    file.WriteLine(Field(u"bFolder", m_bFolder));
    file.WriteLine(Field(u"PrivilegedUsers", static_cast<int32_t>(m_vPrivilegedUsers.size())));
    for (const auto& entry : m_vPrivilegedUsers) {
        file.WriteLine(u"[begin]");
        file.WriteLine(Field(u"id", entry->id));
        file.WriteLine(Field(u"type", entry->type));
        file.WriteLine(Field(u"privilege", static_cast<int32_t>(entry->privilege)));
        file.WriteLine(u"[end]");
    }
    file.WriteLine(u"[ShareObjectEnd]");
    return 0;
}

int32_t CZylShareObject::Serialize(CZylDbReader& file) {
    file.ReadLine(); // [ShareObjectBegin]
    m_sShareName = Cut(file.ReadValueLine(), ZYL_SHARE_TEXT_LIMIT);
    m_shareTime.FromText(file.ReadValueLine());
    m_sName = Cut(file.ReadValueLine(), ZYL_SHARE_TEXT_LIMIT);
    m_sPath = Cut(file.ReadValueLine(), ZYL_SHARE_TEXT_LIMIT);
    m_nSize = static_cast<uint32_t>(file.ReadIntLine());
    m_bUnlimitedUserNumber = file.ReadIntLine();
    m_nLimitedUserNumber = file.ReadIntLine();
    m_time.FromText(file.ReadValueLine());
    m_sType = Cut(file.ReadValueLine(), ZYL_SHARE_TEXT_LIMIT);
    m_bFolder = file.ReadIntLine();
    const int32_t count = file.ReadIntLine();
    for (int32_t i = 0; i < count; ++i) {
        // Past the end every line reads empty: one such entry is kept, as a cut-short file
        // gives it, but a damaged count does not make millions of them.
        const bool pastEnd = file.AtEnd();
        auto entry = std::make_unique<ZYLPRIVILEGEDUSER>();
        file.ReadLine(); // [begin]
        entry->id = Cut(file.ReadValueLine(), ZYL_USERID_LIMIT);
        entry->type = file.ReadIntLine();
        entry->privilege = static_cast<uint16_t>(file.ReadIntLine() & 0xFFFF);
        file.ReadLine(); // [end]
        m_vPrivilegedUsers.push_back(std::move(entry));
        if (pastEnd)
            break;
    }
    file.ReadLine(); // [ShareObjectEnd]
    return 0;
}
