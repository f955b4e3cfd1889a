// What the two database fuzz targets share: the input becomes the database file of a login, the
// manager loads it, saves it and loads the saved file again.
//
// Framing: the input is the file's bytes as they stand (UTF-16LE units, an odd last byte
// included), with no header of the fuzzer's own: the file is what a damaged disk, an older build
// or a hand edit hands the loader, and the loader must take any bytes. Seeds that start with a
// valid header for the login S1.1000 let the fuzzer reach the records behind it.
//
// Checks beyond "no crash":
// - the file the plug-in wrote itself loads to as many records as the damaged file gave: saving
//   loses nothing that loading kept and invents nothing;
// - saving what was loaded from the plug-in's own file writes the same text again, so a damaged
//   value settles into one form after a single load instead of drifting on every start;
// - the plug-in's own file is never taken for damaged (nothing is set aside when it loads).
#pragma once

#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zylfuzz {

inline void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One plug-in for the whole run, never logged in: loading replaces everything a manager held, so
// no input sees what an earlier one left.
struct DBFUZZ {
    CZylTempDir temp;
    CZylFakePlatform platform;
    CZylInterface plugin{platform};
};

// manager: the share or task manager of the plug-in; count: its number of records.
template <typename Manager, typename Count>
void RunDbInput(Manager& manager, const std::filesystem::path& file, Count count, const uint8_t* data,
                size_t size) {
    manager.SetLoginId(u"S1.1000");
    manager.SetDbPath(ZylFromFsPath(file));
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    manager.LoadSave(1);
    const int32_t loaded = count();
    Check(manager.LoadSave(0) == 0);
    const std::string saved = ReadBytes(file);
    Check(manager.LoadSave(1) == 0);
    Check(count() == loaded);
    Check(manager.GetDbNotice().empty());
    Check(manager.LoadSave(0) == 0);
    Check(ReadBytes(file) == saved);
    // What a damaged input had set aside goes, so that a long run does not fill the folder.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), ec))
        if (entry.path() != file)
            std::filesystem::remove(entry.path(), ec);
}

} // namespace zylfuzz
