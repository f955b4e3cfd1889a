// The running log: each line goes to the window's info pane while it is visible, and in batches of
// 400 (and at the end) to "fs.log" in the plug-in folder, as UTF-16LE text without byte-order mark.
// The file never grows past 4 MiB: a batch that would pass it moves the file aside to "fs.log.1"
// (replacing the older one there) and starts a new "fs.log", so that no peer's stream of errors
// can fill the disk.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class IZylPlatform;
class IZylWindow;

// Levels of the log's lines; the window shows them all.
enum : int32_t {
    ZYL_LOG_ERROR = 1,    // errors, those that peers report among them
    ZYL_LOG_WARNING = 2,  // something the local user should know of (a file left out of a listing)
    ZYL_LOG_ACTIVITY = 3, // the login and the window's activity messages
};

class CZylLog {
public:
    static constexpr size_t LINE_LIMIT = 259; // characters of a line, without the terminator
    static constexpr size_t BATCH = 400;
    static constexpr uintmax_t ROTATE_SIZE = 4 * 1024 * 1024;  // bytes of "fs.log" at most
    static constexpr std::u16string_view OLDER_SUFFIX = u".1"; // the one older file kept

    explicit CZylLog(IZylPlatform& platform) : m_rPlatform(platform) {}
    virtual ~CZylLog();
    CZylLog(const CZylLog&) = delete;
    CZylLog& operator=(const CZylLog&) = delete;

    // The file becomes folder + "/fs.log"; a non-null window is stored.
    int32_t Open(std::u16string_view folder, IZylWindow* window);
    void SetWindow(IZylWindow* window);
    // "<time>\t<level>\t<text>", cut to 259 characters. A window that is shown receives its own
    // copy of the line (a heap std::u16string it deletes) with WM_ZYL_INFO_LINE.
    int32_t WriteLine(int32_t level, std::u16string_view text, bool keep = true, bool show = true);
    // Writes the pending lines; -1 (lines kept for the next try) when the file cannot be opened.
    int32_t Flush();

    size_t GetPendingCount() const;
    uint64_t GetLineCount() const;
    std::u16string GetPath() const;

private:
    int32_t FlushLocked();

    IZylPlatform& m_rPlatform;
    IZylWindow* m_pWindow = nullptr;
    mutable std::mutex m_mutex;
    std::u16string m_sPath;
    std::vector<std::u16string> m_vPending;
    uint64_t m_nLines = 0;
};
