#include "platform/ZylSettingsFile.h"

#include "core/ZylDbFile.h"
#include "core/ZylText.h"

#include <charconv>
#include <cstdlib>
#include <fstream>

std::filesystem::path CZylSettingsFile::DefaultFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config && *config == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".config";
    }
    return base / "zylfs" / "settings";
}

CZylSettingsFile::CZylSettingsFile() : m_pFile(DefaultFile()) {}

CZylSettingsFile::CZylSettingsFile(std::filesystem::path file) : m_pFile(std::move(file)) {}

std::map<std::string, std::string> CZylSettingsFile::Load() const {
    std::map<std::string, std::string> values;
    std::ifstream in(m_pFile);
    std::string line;
    while (std::getline(in, line)) {
        const auto at = line.find('=');
        if (at != std::string::npos && at > 0)
            values[line.substr(0, at)] = line.substr(at + 1);
    }
    return values;
}

std::optional<uint32_t> CZylSettingsFile::GetValue(std::u16string_view key) {
    std::lock_guard lock(m_mutex);
    const auto values = Load();
    const auto it = values.find(ZylToUtf8(key));
    if (it == values.end())
        return std::nullopt;
    uint32_t value = 0;
    const auto& text = it->second;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool CZylSettingsFile::SetValue(std::u16string_view key, uint32_t value) {
    std::lock_guard lock(m_mutex);
    auto values = Load();
    values[ZylToUtf8(key)] = std::to_string(value);
    std::error_code ec;
    std::filesystem::create_directories(m_pFile.parent_path(), ec);
    std::string text;
    for (const auto& [k, v] : values)
        text += k + "=" + v + "\n";
    // A crash while saving keeps the old counter.
    return ZylReplaceFile(m_pFile, text);
}
