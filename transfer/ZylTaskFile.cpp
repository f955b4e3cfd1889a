// The local files of a transfer: the temporary file a download appends to and renames when it is
// complete, the blocks an upload reads, and the record's block in the task database.
#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "transfer/ZylTask.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

bool ZylIsStorableName(std::u16string_view name) {
    return name.size() <= ZYL_TASK_NAME_LIMIT && !ZylHasControlCharacter(name);
}

static bool IsSeparator(char16_t c) {
    return c == ZYL_LOCAL_SEPARATOR || c == ZYL_SHARE_SEPARATOR;
}

std::u16string ZylWriteErrorText(int error, std::u16string_view path) {
    std::string reason;
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        reason = "no space left on the device";
        break;
    case EACCES:
    case EPERM:
        reason = "permission denied";
        break;
    case EROFS:
        reason = "read-only file system";
        break;
    case ELOOP:
        reason = "a symbolic link is in the way, and downloads do not follow links";
        break;
    case ENOTDIR:
        reason = "a file is in the way of a folder";
        break;
    case EISDIR:
        reason = "a folder is in the way of the file";
        break;
    default:
        reason = std::generic_category().message(error);
        if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        break;
    }
    return ZylFromUtf8(reason) + u": " + std::u16string(path);
}

namespace {
// A descriptor closed with its owner.
class CZylFolderFd {
public:
    explicit CZylFolderFd(int fd) : m_nFd(fd) {}
    ~CZylFolderFd() {
        if (m_nFd >= 0)
            close(m_nFd);
    }
    CZylFolderFd(const CZylFolderFd&) = delete;
    CZylFolderFd& operator=(const CZylFolderFd&) = delete;
    int Get() const { return m_nFd; }

private:
    int m_nFd;
};

// The folder that holds a download's file, opened: the task's local folder as the user chose it
// (made with its parents when create is set), then each folder of the local name below it, made
// when create is set and never followed when it is a symbolic link, so that a link placed inside
// the download folder cannot lead the download's writes, renames and deletions elsewhere. -1 with
// the error and the path that failed.
int OpenDownloadFolder(const CZylTaskFile& file, bool create, int& error, std::u16string& failed) {
    const std::u16string& base = file.m_sLocalPath;
    if (base.empty()) {
        error = ENOENT;
        failed = base;
        return -1;
    }
    int fd = open(ZylToFsPath(base).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
        ZylCreateDirectory(base);
        fd = open(ZylToFsPath(base).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        error = errno;
        failed = base;
        return -1;
    }
    std::u16string_view name = file.m_sLocalName;
    while (!name.empty() && IsSeparator(name.front()))
        name.remove_prefix(1);
    std::u16string path(ZylTrimTrailingSeparator(base, ZYL_LOCAL_SEPARATOR));
    while (true) {
        const size_t end = name.find(ZYL_LOCAL_SEPARATOR);
        if (end == std::u16string_view::npos)
            return fd; // what remains is the file's own name
        const std::u16string_view part = name.substr(0, end);
        name.remove_prefix(end + 1);
        if (part.empty())
            continue;
        path.push_back(ZYL_LOCAL_SEPARATOR);
        path.append(part);
        const std::string utf8 = ZylToUtf8(part);
        int next = -1;
        if (part == u"." || part == u"..")
            errno = EINVAL;
        else {
            if (create && mkdirat(fd, utf8.c_str(), 0777) != 0 && errno != EEXIST) {
                error = errno;
                failed = path;
                close(fd);
                return -1;
            }
            next = openat(fd, utf8.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            error = errno == ENOTDIR ? ELOOP : errno;
            struct stat info {};
            // A plain file in the way is no link.
            if (error == ELOOP && fstatat(fd, utf8.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISLNK(info.st_mode))
                error = ENOTDIR;
            failed = path;
            close(fd);
            return -1;
        }
        close(fd);
        fd = next;
    }
}
} // namespace

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

std::u16string CZylTaskFile::GetFileName() const {
    return std::u16string(ZylLastComponent(GetFullName(), ZYL_LOCAL_SEPARATOR));
}

std::u16string CZylTaskFile::GetFolder() const {
    const std::u16string full = GetFullName();
    const size_t at = full.rfind(ZYL_LOCAL_SEPARATOR);
    return at == std::u16string::npos ? std::u16string() : full.substr(0, at);
}

int32_t CZylTaskFile::Fail(int error, std::u16string_view path) {
    m_sError = ZylWriteErrorText(error, path);
    return -1;
}

int32_t CZylTaskFile::OpenFileForWrite() {
    Close();
    int error = 0;
    std::u16string failed;
    const CZylFolderFd folder(OpenDownloadFolder(*this, true, error, failed));
    if (folder.Get() < 0)
        return Fail(error, failed);
    const std::string temp = ZylToUtf8(GetFileName()) + ZylToUtf8(ZYL_TEMP_SUFFIX);
    // The download starts afresh. An older file under the full name stays until the new one
    // replaces it whole.
    if (m_nFileOffset == 0)
        unlinkat(folder.Get(), temp.c_str(), 0);
    const int fd =
        openat(folder.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return Fail(errno, GetFullName());
    m_pFile.reset(fdopen(fd, "ab"));
    if (!m_pFile) {
        const int opened = errno;
        close(fd);
        return Fail(opened, GetFullName());
    }
    m_bTempMade = true;
    // Pieces are gathered and written by this record itself (WritePending), each write straight
    // to the system.
    std::setvbuf(m_pFile.get(), nullptr, _IONBF, 0);
    return 0;
}

bool CZylTaskFile::WritePending() {
    if (m_vPending.empty())
        return true;
    const bool written =
        m_pFile && std::fwrite(m_vPending.data(), 1, m_vPending.size(), m_pFile.get()) == m_vPending.size();
    if (!written)
        Fail(m_pFile ? errno : EBADF, GetFullName());
    // What part reached the file lies beyond the recorded offset and is cut off on resume.
    m_vPending.clear();
    return written;
}

int32_t CZylTaskFile::ReceiveData(int32_t offset, const uint8_t* data, int32_t n, int32_t last) {
    if (offset != m_nFileOffset || (n == 0 && last == 0) || n < 0)
        return -5;
    if (m_bWriteFailed)
        return -2;
    const auto changed = [this] {
        m_sError =
            u"the file changed on the other side during the download; restart the task: " + GetFullName();
        Close();
        return -2;
    };
    // More than the listed size: the file grew since the list was made.
    if (static_cast<int64_t>(offset) + n > m_nFileSize)
        return changed();
    if (!m_pFile && OpenFileForWrite() < 0)
        return -2;
    // Pieces reach the file in gathered writes, the last piece at once; the database never records
    // more than reached the file, since its save writes out what is gathered first, and a resume
    // takes the file's length when a crash lost what was gathered.
    m_vPending.insert(m_vPending.end(), data, data + n);
    if ((last || m_vPending.size() + ZYL_BLOCK_SIZE > ZYL_WRITE_GATHER) && !WritePending()) {
        m_pFile.reset();
        return -2;
    }
    if (last) {
        if (static_cast<int64_t>(m_nFileOffset) + n != m_nFileSize)
            return changed();
        if (std::fclose(m_pFile.release()) != 0)
            return Fail(errno, GetFullName()), -2;
        if (Complete() < 0)
            return -2; // the data stays in the temporary file; the file is not done
    }
    m_nFileOffset += n;
    return 0;
}

int32_t CZylTaskFile::Complete() {
    int error = 0;
    std::u16string failed;
    const CZylFolderFd folder(OpenDownloadFolder(*this, false, error, failed));
    if (folder.Get() < 0)
        return Fail(error, failed);
    const std::string name = ZylToUtf8(GetFileName());
    const std::string temp = name + ZylToUtf8(ZYL_TEMP_SUFFIX);
    if (renameat(folder.Get(), temp.c_str(), folder.Get(), name.c_str()) != 0)
        return Fail(errno, GetFullName());
    fs::file_time_type time;
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (ZylTimeToFileTime(m_tLastModifiedTime, time)) {
        using namespace std::chrono;
        // Milliseconds first: they hold any time the file clock holds without overflowing.
        const auto since = std::chrono::file_clock::to_sys(floor<milliseconds>(time)).time_since_epoch();
        const auto whole = floor<seconds>(since);
        times[1].tv_sec = static_cast<time_t>(whole.count());
        times[1].tv_nsec = static_cast<long>(duration_cast<nanoseconds>(since - whole).count());
        utimensat(folder.Get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    m_bComplete = true;
    return 0;
}

bool CZylTaskFile::IsOnDisk() const {
    int error = 0;
    std::u16string failed;
    const CZylFolderFd folder(OpenDownloadFolder(*this, false, error, failed));
    struct stat info {};
    return folder.Get() >= 0 &&
           fstatat(folder.Get(), ZylToUtf8(GetFileName()).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode);
}

int32_t CZylTaskFile::AlignWithTemporary() {
    const int32_t before = m_nFileOffset;
    int32_t wanted = m_nFileOffset;
    if (wanted > m_nFileSize)
        wanted = m_nFileSize;
    if (wanted < 0)
        wanted = 0;
    if (wanted > 0) {
        int error = 0;
        std::u16string failed;
        const CZylFolderFd folder(OpenDownloadFolder(*this, false, error, failed));
        const std::string temp = ZylToUtf8(GetFileName()) + ZylToUtf8(ZYL_TEMP_SUFFIX);
        struct stat info {};
        if (folder.Get() < 0 || fstatat(folder.Get(), temp.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            wanted = 0;
        } else if (info.st_size > wanted) {
            const CZylFolderFd file(openat(folder.Get(), temp.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
            if (file.Get() < 0 || ftruncate(file.Get(), wanted) != 0)
                wanted = 0; // the file cannot be trusted; the download starts it again
        } else {
            wanted = static_cast<int32_t>(info.st_size);
        }
    }
    m_nFileOffset = wanted;
    return m_nFileOffset - before;
}

int32_t CZylTaskFile::OpenFileForRead() {
    Close();
    m_pFile.reset(std::fopen(ZylToFsPath(GetFullName()).c_str(), "rb"));
    return m_pFile ? 0 : Fail(errno, GetFullName());
}

int32_t CZylTaskFile::ReadBlock(int32_t offset, uint8_t* buffer, int32_t& n, int32_t& end) {
    end = 0;
    n = 0;
    if (!m_pFile && OpenFileForRead() < 0)
        return -1;
    if (std::fseek(m_pFile.get(), offset, SEEK_SET) != 0) {
        Fail(errno, GetFullName());
        Close();
        return -1;
    }
    const size_t got = std::fread(buffer, 1, ZYL_BLOCK_SIZE, m_pFile.get());
    n = static_cast<int32_t>(got);
    if (got < static_cast<size_t>(ZYL_BLOCK_SIZE)) {
        const bool failed = std::ferror(m_pFile.get()) != 0;
        if (failed)
            Fail(errno ? errno : EIO, GetFullName());
        Close();
        if (failed)
            return -1;
        end = 1;
    }
    return 0;
}

void CZylTaskFile::Reset() {
    m_bFirstRequest = 1;
    m_nHeld = -1;
    Close();
    m_bWriteFailed = false;
}

void CZylTaskFile::OnTaskRemoved(int32_t type) {
    m_vPending.clear();
    Close();
    // Only what the download wrote goes: the file it completed, or the temporary file it appended
    // to. A file it never reached (an empty one has offset and size 0 alike) is not its own.
    if (type != ZYL_TASK_DOWNLOAD || (!m_bComplete && !m_bTempMade && m_nFileOffset == 0))
        return;
    int error = 0;
    std::u16string failed;
    const CZylFolderFd folder(OpenDownloadFolder(*this, false, error, failed));
    if (folder.Get() < 0)
        return;
    const std::string name = ZylToUtf8(GetFileName());
    unlinkat(folder.Get(), (m_bComplete ? name : name + ZylToUtf8(ZYL_TEMP_SUFFIX)).c_str(), 0);
    m_bComplete = false;
    m_bTempMade = false;
}

void CZylTaskFile::Close() {
    // A failure here shows when the window restarts: the file is then shorter than the offset.
    WritePending();
    m_pFile.reset();
}

bool CZylTaskFile::Flush() {
    if (m_vPending.empty())
        return true;
    if (WritePending())
        return true;
    m_pFile.reset();
    m_bWriteFailed = true;
    return false;
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
