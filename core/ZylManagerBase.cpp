#include "core/ZylManagerBase.h"

#include "core/ZylPayload.h"
#include "core/ZylPluginContext.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"

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
        if (wantRead ? (it->read && !it->write) : (it->write && !it->read))
            return it;
    }
    return m_lOpenFiles.end();
}

int32_t CZylManagerBase::AddReadFile(uint32_t key, std::u16string_view path, ZylFilePtr stream,
                                     std::u16string_view user) {
    if (!stream)
        return -1;
    m_lOpenFiles.push_back(
        ZYLOPENFILE{key, std::u16string(path), std::u16string(user), std::move(stream), nullptr});
    return 0;
}

std::FILE* CZylManagerBase::FindReadFile(std::u16string_view path, uint32_t key,
                                         std::u16string_view user) const {
    auto it = const_cast<CZylManagerBase*>(this)->FindEntry(key, path, user, true);
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
    m_lOpenFiles.push_back(
        ZYLOPENFILE{key, std::u16string(path), std::u16string(user), nullptr, std::move(handle)});
    return 0;
}

std::FILE* CZylManagerBase::FindWriteFile(std::u16string_view path, uint32_t key,
                                          std::u16string_view user) const {
    auto it = const_cast<CZylManagerBase*>(this)->FindEntry(key, path, user, false);
    return it == m_lOpenFiles.end() ? nullptr : it->write.get();
}

int32_t CZylManagerBase::RemoveWriteFile(uint32_t key, std::u16string_view path, std::u16string_view user) {
    auto it = FindEntry(key, path, user, false);
    if (it == m_lOpenFiles.end())
        return -1;
    m_lOpenFiles.erase(it);
    return 0;
}

int32_t CZylManagerBase::CloseFilesOfTransfer(std::u16string_view user, uint32_t key) {
    const auto before = m_lOpenFiles.size();
    m_lOpenFiles.remove_if(
        [&](const ZYLOPENFILE& f) { return f.key == key && ZylEqualNoCase(f.user, user); });
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
