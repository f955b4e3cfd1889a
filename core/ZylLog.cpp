#include "core/ZylLog.h"

#include "core/ZylDateTime.h"
#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylPlatform.h"
#include "core/ZylText.h"

#include <filesystem>
#include <system_error>

CZylLog::~CZylLog() {
    std::lock_guard lock(m_mutex);
    FlushLocked();
}

int32_t CZylLog::Open(std::u16string_view folder, IZylWindow* window) {
    std::lock_guard lock(m_mutex);
    if (window)
        m_pWindow = window;
    m_sPath = ZylJoinPath(folder, u"fs.log");
    return 0;
}

void CZylLog::SetWindow(IZylWindow* window) {
    std::lock_guard lock(m_mutex);
    m_pWindow = window;
}

int32_t CZylLog::WriteLine(int32_t level, std::u16string_view text, bool keep, bool show) {
    std::lock_guard lock(m_mutex);
    const CZylDateTime now(m_rPlatform.GetCalendarTime());
    std::u16string line = now.ToText();
    line += u'\t';
    line += ZylFromInt(level);
    line += u'\t';
    line.append(text.substr(0, LINE_LIMIT));
    if (line.size() > LINE_LIMIT)
        line.resize(LINE_LIMIT);

    if (m_pWindow) {
        if (!keep)
            return static_cast<int32_t>(line.size());
        if (show && m_pWindow->IsWindow() && m_pWindow->IsVisible())
            m_pWindow->Post(WM_ZYL_INFO_LINE, level, reinterpret_cast<intptr_t>(new std::u16string(line)));
    }
    const auto length = static_cast<int32_t>(line.size());
    if (keep) {
        m_vPending.push_back(std::move(line));
        if (m_vPending.size() >= BATCH)
            FlushLocked();
    }
    ++m_nLines;
    return length;
}

int32_t CZylLog::Flush() {
    std::lock_guard lock(m_mutex);
    return FlushLocked();
}

int32_t CZylLog::FlushLocked() {
    if (m_vPending.empty())
        return 0;
    if (m_sPath.empty())
        return -1;
    std::u16string text;
    for (const auto& line : m_vPending) {
        text += line;
        text += u'\n';
    }
    const std::string bytes = ZylToUtf16Le(text);
    std::error_code ec;
    const std::filesystem::path file = ZylToFsPath(m_sPath);
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec && size > 0 && size + bytes.size() > ROTATE_SIZE) {
        // A failed move leaves the file as it is: the lines still go into it.
        std::filesystem::rename(file, ZylToFsPath(m_sPath + std::u16string(OLDER_SUFFIX)), ec);
    }
    if (!ZylAppendToFile(m_sPath, bytes))
        return -1;
    m_vPending.clear();
    return 0;
}

size_t CZylLog::GetPendingCount() const {
    std::lock_guard lock(m_mutex);
    return m_vPending.size();
}

uint64_t CZylLog::GetLineCount() const {
    std::lock_guard lock(m_mutex);
    return m_nLines;
}

std::u16string CZylLog::GetPath() const {
    std::lock_guard lock(m_mutex);
    return m_sPath;
}
