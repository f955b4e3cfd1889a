#include "core/ZylFolderLock.h"

#include "core/ZylPath.h"
#include "core/ZylText.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {
std::string LockPath(std::u16string_view folder) {
    return ZylToFsPath(ZylJoinPath(folder, ZYL_FOLDER_LOCK_NAME)).native();
}

// The process id the holder wrote; 0 when there is none to read.
int64_t ReadHolder(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    int64_t pid = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9' && pid < 1000000000000; ++i)
        pid = pid * 10 + (text[i] - '0');
    return pid;
}

int OpenLockFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0)
        return fd;
    // A folder that cannot be written may still hold the file of a process that can.
    return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}
} // namespace

CZylFolderLock::~CZylFolderLock() {
    Release();
}

int32_t CZylFolderLock::Acquire(std::u16string_view folder, int64_t& holder) {
    holder = 0;
    Release();
    const int fd = OpenLockFile(LockPath(folder));
    if (fd < 0)
        return Unavailable;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        if (busy)
            holder = ReadHolder(fd);
        close(fd);
        return busy ? HeldElsewhere : Unavailable;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the id; a second process then names no holder.
    }
    m_nFd = fd;
    return Taken;
}

void CZylFolderLock::Release() {
    if (m_nFd < 0)
        return;
    // Still holding the lock: no other holder can have written its id yet.
    if (ftruncate(m_nFd, 0) != 0) {
        // A read-only lock file keeps the old id; the next holder overwrites it.
    }
    close(m_nFd);
    m_nFd = -1;
}

int64_t ZylFolderLockHolder(std::u16string_view folder) {
    const int fd = open(LockPath(folder).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    int64_t holder = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        holder = ReadHolder(fd);
        if (holder == 0)
            holder = -1;
    }
    close(fd);
    return holder;
}

std::u16string ZylFolderLockText(std::u16string_view folder, int64_t holder) {
    if (holder > 0)
        return ZylFormat("the data folder {} is in use by process {}", ZylToUtf8(folder), holder);
    return ZylFormat("the data folder {} is in use by another process", ZylToUtf8(folder));
}
