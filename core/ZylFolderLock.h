// The advisory lock on the plug-in's data folder: one process at a time may be logged in on it,
// since two would write the same databases and download into the same temporary files. The lock
// is held on the file "fs.lock" in the folder, which also names the holding process; the system
// drops the lock when that process ends, however it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::u16string_view ZYL_FOLDER_LOCK_NAME = u"fs.lock";

class CZylFolderLock {
public:
    // What Acquire found.
    enum : int32_t { Taken = 0, HeldElsewhere = -1, Unavailable = -2 };

    CZylFolderLock() = default;
    ~CZylFolderLock();
    CZylFolderLock(const CZylFolderLock&) = delete;
    CZylFolderLock& operator=(const CZylFolderLock&) = delete;

    // Takes the lock of the folder. HeldElsewhere when another holder has it (holder receives its
    // process id, 0 when it cannot be told); Unavailable when the lock file cannot be made (a
    // read-only folder, where nothing can be written twice either).
    int32_t Acquire(std::u16string_view folder, int64_t& holder);
    void Release();
    bool IsHeld() const { return m_nFd >= 0; }

private:
    int m_nFd = -1;
};

// The process that holds the lock of the folder; 0 when none does, -1 when one does that cannot be
// told.
int64_t ZylFolderLockHolder(std::u16string_view folder);
// The log line of a login refused because another process holds the folder.
std::u16string ZylFolderLockText(std::u16string_view folder, int64_t holder);
