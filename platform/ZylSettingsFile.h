// The per-user settings store: a small key=value file, "zylfs/settings" under $XDG_CONFIG_HOME
// (~/.config when that is unset), replaced in one step on every change.
#pragma once

#include "core/ZylPlatform.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

class CZylSettingsFile : public IZylSettingsStore {
public:
    // The default location as above.
    CZylSettingsFile();
    explicit CZylSettingsFile(std::filesystem::path file);

    std::optional<uint32_t> GetValue(std::u16string_view key) override;
    bool SetValue(std::u16string_view key, uint32_t value) override;

    const std::filesystem::path& GetFile() const { return m_pFile; }
    static std::filesystem::path DefaultFile();

private:
    std::map<std::string, std::string> Load() const;

    std::filesystem::path m_pFile;
    std::mutex m_mutex;
};
