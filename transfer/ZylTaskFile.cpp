// The local files of a transfer: the temporary file a download appends to and renames when it is
// complete, the blocks an upload reads, and the record's block in the task database.
#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "transfer/ZylTask.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

bool ZylIsStorableName(std::u16string_view name) {
    return name.size() <= ZYL_TASK_NAME_LIMIT && !ZylHasControlCharacter(name);
}

static bool IsSeparator(char16_t c) {
    return c == ZYL_LOCAL_SEPARATOR || c == ZYL_SHARE_SEPARATOR;
}

std::u16string CZylTaskFile::GetFullName() const {
    std::u16string_view path = m_sLocalPath;
    if (!path.empty() && IsSeparator(path.back()))
        path.remove_suffix(1);
    // A folder download's names start with the separator; one separator joins them.
    std::u16string_view name = m_sLocalName;
    if (!name.empty() && IsSeparator(name.front()))
        name.remove_prefix(1);
    std::u16string full(path);
    full.push_back(ZYL_LOCAL_SEPARATOR);
    full.append(name);
    return full;
}

std::u16string CZylTaskFile::GetTempName() const {
    return GetFullName() + std::u16string(ZYL_TEMP_SUFFIX);
}

std::u16string CZylTaskFile::GetFolder() const {
    const std::u16string full = GetFullName();
    const size_t at = full.rfind(ZYL_LOCAL_SEPARATOR);
    return at == std::u16string::npos ? std::u16string() : full.substr(0, at);
}

int32_t CZylTaskFile::OpenFileForWrite() {
    Close();
    const std::u16string full = GetFullName();
    // An older file of the same name is replaced by the download.
    ZylRemoveFile(full);
    const std::u16string folder = GetFolder();
    if (folder.empty())
        return -1;
    ZylCreateDirectory(folder);
    if (m_nFileOffset == 0)
        ZylRemoveFile(GetTempName());
    m_pFile.reset(std::fopen(ZylToFsPath(GetTempName()).c_str(), "ab"));
    if (!m_pFile)
        return -1;
    // Each piece goes to the system as it arrives: a crash of the plug-in loses none of it.
    std::setvbuf(m_pFile.get(), nullptr, _IONBF, 0);
    return 0;
}

int32_t CZylTaskFile::ReceiveData(int32_t offset, const uint8_t* data, int32_t n, int32_t last) {
    if (offset != m_nFileOffset || (n == 0 && last == 0) || n < 0)
        return -5;
    if (!m_pFile && OpenFileForWrite() < 0)
        return -2;
    if (n > 0 && std::fwrite(data, 1, static_cast<size_t>(n), m_pFile.get()) != static_cast<size_t>(n)) {
        Close();
        return -2;
    }
    if (last) {
        if (static_cast<int64_t>(m_nFileOffset) + n != m_nFileSize) {
            Close();
            return -2;
        }
        const bool closed = std::fclose(m_pFile.release()) == 0;
        if (!closed)
            return -2; // the data did not reach the file; the piece is asked for again after a stop
        std::error_code ec;
        const fs::path target = ZylToFsPath(GetFullName());
        fs::rename(ZylToFsPath(GetTempName()), target, ec);
        if (!ec) {
            fs::file_time_type time;
            if (ZylTimeToFileTime(m_tLastModifiedTime, time))
                fs::last_write_time(target, time, ec);
        }
    }
    m_nFileOffset += n;
    return 0;
}

int32_t CZylTaskFile::AlignWithTemporary() {
    const int32_t before = m_nFileOffset;
    int32_t wanted = m_nFileOffset;
    if (wanted > m_nFileSize)
        wanted = m_nFileSize;
    if (wanted < 0)
        wanted = 0;
    if (wanted > 0) {
        std::error_code ec;
        const fs::path temp = ZylToFsPath(GetTempName());
        const auto held = fs::file_size(temp, ec);
        if (ec)
            wanted = 0;
        else if (held > static_cast<uintmax_t>(wanted)) {
            fs::resize_file(temp, static_cast<uintmax_t>(wanted), ec);
            if (ec)
                wanted = 0; // the file cannot be trusted; the download starts it again
        } else
            wanted = static_cast<int32_t>(held);
    }
    m_nFileOffset = wanted;
    return m_nFileOffset - before;
}

int32_t CZylTaskFile::OpenFileForRead() {
    Close();
    m_pFile.reset(std::fopen(ZylToFsPath(GetFullName()).c_str(), "rb"));
    return m_pFile ? 0 : -1;
}

int32_t CZylTaskFile::ReadBlock(int32_t offset, uint8_t* buffer, int32_t& n, int32_t& end) {
    end = 0;
    n = 0;
    if (!m_pFile && OpenFileForRead() < 0)
        return -1;
    if (std::fseek(m_pFile.get(), offset, SEEK_SET) != 0) {
        Close();
        return -1;
    }
    const size_t got = std::fread(buffer, 1, ZYL_BLOCK_SIZE, m_pFile.get());
    n = static_cast<int32_t>(got);
    if (got < static_cast<size_t>(ZYL_BLOCK_SIZE)) {
        const bool failed = std::ferror(m_pFile.get()) != 0;
        Close();
        if (failed)
            return -1;
        end = 1;
    }
    return 0;
}

void CZylTaskFile::Reset() {
    m_bFirstRequest = 1;
    Close();
}

void CZylTaskFile::OnTaskRemoved(int32_t type) {
    Close();
    if (type != ZYL_TASK_DOWNLOAD)
        return;
    ZylRemoveFile(m_nFileOffset != m_nFileSize ? GetTempName() : GetFullName());
}

void CZylTaskFile::Close() {
    m_pFile.reset();
}

void CZylTaskFile::Flush() {
    if (m_pFile)
        std::fflush(m_pFile.get());
}

void CZylTaskFile::Write(CZylDbWriter& writer) const {
    writer.WriteLine(u"[FileBegin]");
    writer.WriteLine(u"RemoteName=" + m_sRemoteName);
    writer.WriteLine(u"LocalPath=" + m_sLocalPath);
    writer.WriteLine(u"LocalName=" + m_sLocalName);
    writer.WriteLine(u"FileSize=" + ZylFromInt(m_nFileSize));
    writer.WriteLine(u"FileOffset=" + ZylFromInt(m_nFileOffset));
    writer.WriteLine(u"LastModifiedTime=" + m_tLastModifiedTime.ToText());
    writer.WriteLine(u"[FileEnd]");
}

int32_t CZylTaskFile::Read(CZylDbReader& reader) {
    reader.ReadLine();
    // Cut as the task's own names are, so that the next save writes each back as one line.
    m_sRemoteName = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    m_sLocalPath = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    m_sLocalName = reader.ReadValueLine().substr(0, ZYL_TASK_NAME_LIMIT);
    m_nFileSize = reader.ReadIntLine();
    m_nFileOffset = reader.ReadIntLine();
    CZylDateTime time;
    if (time.FromText(reader.ReadValueLine()))
        m_tLastModifiedTime = time;
    reader.ReadLine();
    m_bFirstRequest = 1;
    Close();
    return 0;
}
