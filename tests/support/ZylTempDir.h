// A fresh folder under the system's temporary folder for one test, removed with everything in it
// when the test ends.
#pragma once

#include <filesystem>
#include <string>

class CZylTempDir {
public:
    CZylTempDir();
    ~CZylTempDir();
    CZylTempDir(const CZylTempDir&) = delete;
    CZylTempDir& operator=(const CZylTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_pPath; }
    // The folder's path as the plug-in's wide text, with an optional name below it.
    std::u16string WidePath(const std::u16string& name = {}) const;

private:
    std::filesystem::path m_pPath;
};
