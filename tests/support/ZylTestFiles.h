// Files as tests write and read them: whole contents as bytes, and the 16-bit little-endian text of
// the log and the databases, decoded by hand rather than by the code under test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

inline std::string ZylReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Replaces the file (making its folders first) with exactly these bytes.
inline void ZylWriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::u16string ZylReadUtf16LeFile(const std::filesystem::path& path) {
    const std::string bytes = ZylReadFileBytes(path);
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                             (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    return text;
}

// The text of a database file: each line ended by LF.
inline std::u16string ZylLines(std::initializer_list<std::u16string_view> lines) {
    std::u16string text;
    for (auto line : lines)
        (text += line) += u'\n';
    return text;
}
