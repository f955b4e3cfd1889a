// A small file system of the test's own at a folder: a tmpfs mounted in a mount namespace private
// to the calling thread (and to the processes it starts), so that a test can fill a disk or make a
// folder read-only without touching the machine's own mounts. Mounting needs root; elsewhere Mount
// says why it cannot, and the test skips with that.
#pragma once

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

class CZylScratchMount {
public:
    CZylScratchMount() = default;
    CZylScratchMount(const CZylScratchMount&) = delete;
    CZylScratchMount& operator=(const CZylScratchMount&) = delete;
    ~CZylScratchMount() {
        if (!m_pFolder.empty())
            umount2(m_pFolder.c_str(), MNT_DETACH);
    }

    // Empty when a file system of that many bytes is mounted at the folder; otherwise why not.
    std::string Mount(const std::filesystem::path& folder, size_t bytes) {
        if (geteuid() != 0)
            return "a small file system can only be mounted as root";
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        // The new namespace shares nothing back: a mount made in it stays in it.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("no mount namespace of the test's own: ") + std::strerror(errno);
        m_nBytes = bytes;
        if (mount("zylfs-test", folder.c_str(), "tmpfs", 0, Options().c_str()) != 0)
            return std::string("cannot mount a small file system: ") + std::strerror(errno);
        m_pFolder = folder;
        return {};
    }

    bool Resize(size_t bytes) {
        m_nBytes = bytes;
        return Remount();
    }
    bool SetReadOnly(bool readOnly) {
        m_bReadOnly = readOnly;
        return Remount();
    }

private:
    std::string Options() const { return "size=" + std::to_string(m_nBytes) + ",mode=0777"; }
    bool Remount() {
        return !m_pFolder.empty() &&
               mount(nullptr, m_pFolder.c_str(), nullptr, MS_REMOUNT | (m_bReadOnly ? MS_RDONLY : 0),
                     Options().c_str()) == 0;
    }

    std::filesystem::path m_pFolder;
    size_t m_nBytes = 0;
    bool m_bReadOnly = false;
};
