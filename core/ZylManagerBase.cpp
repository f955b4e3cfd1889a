#include "core/ZylManagerBase.h"

#include "core/ZylDateTime.h"
#include "core/ZylDbFile.h"
#include "core/ZylPayload.h"
#include "core/ZylPlatform.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <algorithm>
#include <sys/resource.h>

namespace {
constexpr int32_t ZYL_LOG_WARNING = 2;
}

CZylManagerBase::~CZylManagerBase() {
    CloseAllFiles();
}

void CZylManagerBase::SetLoginId(std::u16string_view id) {
    m_sLoginId = std::u16string(id.substr(0, ZYL_USERID_LIMIT));
}

std::list<ZYLOPENFILE>::iterator CZylManagerBase::FindEntry(uint32_t key, std::u16string_view path,
                                                            std::u16string_view user, bool wantRead) {
    for (auto it = m_lOpenFiles.begin(); it != m_lOpenFiles.end(); ++it) {
        // Local paths compare exactly: on a file system that tells "A.TXT" from "a.txt", a request
        // for one must never be served from the other's open file.
        if (it->key != key || it->path != path)
            continue;
        if (!user.empty() && !ZylEqualNoCase(it->user, user))
            continue;
        if (wantRead ? (it->read && !it->write) : (it->write && !it->read)) {
            // Used now: it moves to the end of the line of what closes first.
            m_lOpenFiles.splice(m_lOpenFiles.end(), m_lOpenFiles, it);
            return it;
        }
    }
    return m_lOpenFiles.end();
}

size_t CZylManagerBase::GetOpenFileBound() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return MAX_OPEN_FILES;
    return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur / 4), 1, MAX_OPEN_FILES);
}

size_t CZylManagerBase::GetOpenFileCount(std::u16string_view user) const {
    return static_cast<size_t>(
        std::count_if(m_lOpenFiles.begin(), m_lOpenFiles.end(),
                      [&](const ZYLOPENFILE& f) { return ZylEqualNoCase(f.user, user); }));
}

bool CZylManagerBase::CloseLeastRecentlyUsedFile() {
    if (m_lOpenFiles.empty())
        return false;
    m_lOpenFiles.pop_front();
    return true;
}

void CZylManagerBase::Append(ZYLOPENFILE entry) {
    const size_t bound = GetOpenFileBound();
    const size_t perPeer = std::min(MAX_OPEN_FILES_PER_PEER, bound);
    size_t held = GetOpenFileCount(entry.user);
    for (auto it = m_lOpenFiles.begin(); held >= perPeer && it != m_lOpenFiles.end();) {
        if (ZylEqualNoCase(it->user, entry.user)) {
            it = m_lOpenFiles.erase(it);
            --held;
        } else {
            ++it;
        }
    }
    while (m_lOpenFiles.size() >= bound)
        m_lOpenFiles.pop_front();
    m_lOpenFiles.push_back(std::move(entry));
}

int32_t CZylManagerBase::AddReadFile(uint32_t key, std::u16string_view path, ZylFilePtr stream,
                                     std::u16string_view user) {
    if (!stream)
        return -1;
    Append(ZYLOPENFILE{key, std::u16string(path), std::u16string(user), std::move(stream), nullptr});
    return 0;
}

std::FILE* CZylManagerBase::FindReadFile(std::u16string_view path, uint32_t key, std::u16string_view user) {
    auto it = FindEntry(key, path, user, true);
    return it == m_lOpenFiles.end() ? nullptr : it->read.get();
}

int32_t CZylManagerBase::RemoveReadFile(uint32_t key, std::u16string_view path, std::u16string_view user) {
    auto it = FindEntry(key, path, user, true);
    if (it == m_lOpenFiles.end())
        return -1;
    m_lOpenFiles.erase(it);
    return 0;
}

int32_t CZylManagerBase::AddWriteFile(uint32_t key, std::u16string_view path, ZylFilePtr handle,
                                      std::u16string_view user) {
    if (!handle)
        return -1;
    Append(ZYLOPENFILE{key, std::u16string(path), std::u16string(user), nullptr, std::move(handle)});
    return 0;
}

std::FILE* CZylManagerBase::FindWriteFile(std::u16string_view path, uint32_t key, std::u16string_view user) {
    auto it = FindEntry(key, path, user, false);
    return it == m_lOpenFiles.end() ? nullptr : it->write.get();
}

int32_t CZylManagerBase::RemoveWriteFile(uint32_t key, std::u16string_view path, std::u16string_view user) {
    auto it = FindEntry(key, path, user, false);
    if (it == m_lOpenFiles.end())
        return -1;
    m_lOpenFiles.erase(it);
    return 0;
}

int32_t CZylManagerBase::CloseFilesOfTransfer(std::u16string_view user, uint32_t key,
                                              std::vector<std::u16string>* written) {
    const auto before = m_lOpenFiles.size();
    m_lOpenFiles.remove_if([&](const ZYLOPENFILE& f) {
        if (f.key != key || !ZylEqualNoCase(f.user, user))
            return false;
        if (written && f.write)
            written->push_back(f.path);
        return true;
    });
    return static_cast<int32_t>(before - m_lOpenFiles.size());
}

int32_t CZylManagerBase::CloseFilesOfUser(std::u16string_view user) {
    const auto before = m_lOpenFiles.size();
    m_lOpenFiles.remove_if([&](const ZYLOPENFILE& f) { return ZylEqualNoCase(f.user, user); });
    return static_cast<int32_t>(before - m_lOpenFiles.size());
}

void CZylManagerBase::CloseAllFiles() {
    m_lOpenFiles.clear();
}

void CZylManagerBase::SetAsideDatabase(std::u16string_view reason, std::u16string_view what,
                                       std::string_view record, int64_t kept) {
    const CZylDateTime now(m_rContext.GetPlatform().GetCalendarTime());
    const std::u16string aside = ZylSetAsideFile(m_sDbPath, reason, now);
    std::u16string text =
        aside.empty() ? ZylFormat("{} could not be moved aside: {}", ZylToUtf8(what), ZylToUtf8(m_sDbPath))
                      : ZylFormat("{} was set aside as {}", ZylToUtf8(what), ZylToUtf8(aside));
    if (kept == 0)
        text += u"; nothing could be read from it";
    else if (kept > 0)
        text += ZylFormat("; {} {}{} read from it {} kept", kept, record, kept == 1 ? "" : "s",
                          kept == 1 ? "is" : "are");
    m_sDbNotice = text;
    m_rContext.WriteLog(ZYL_LOG_WARNING, text);
}

bool CZylManagerBase::OpenDatabase(CZylDbReader& file, std::u16string_view literal, std::string_view record,
                                   bool& damaged) {
    m_sDbNotice.clear();
    if (!file.Open(m_sDbPath) || file.IsEmpty())
        return false; // no database yet
    std::u16string id;
    const EZylDbHeader header = ZylReadDbHeader(file, literal, m_sLoginId, &id);
    // Another user's records (or those of no one knows whom) are not ours; the file is kept for
    // whoever it belongs to.
    if (header == EZylDbHeader::Foreign) {
        SetAsideDatabase(u"foreign", ZylFormat("the {} database of {}", record, ZylToUtf8(id)), record, -1);
        return false;
    }
    if (header == EZylDbHeader::Unreadable) {
        SetAsideDatabase(u"damaged", ZylFormat("the {} database", record), record, 0);
        return false;
    }
    damaged = header == EZylDbHeader::Damaged;
    return true;
}

int32_t CZylManagerBase::SendErrorPdu(int32_t code, std::u16string_view user, uint32_t key, int32_t detail,
                                      const uint8_t* data, int32_t n) {
    try {
        ZylPayloadWriter writer;
        writer.WriteInt32(code).WriteInt32(key).WriteInt32(detail).WriteInt32(n > 0 && data ? n : 0);
        if (n > 0 && data)
            writer.WriteBytes(data, n);
        return m_rContext.SendPayload(ZYL_CMD_ERROR, writer, user, ZYL_CHANNEL_REQUEST);
    } catch (const ZylCodecError&) {
        return -1;
    }
}
