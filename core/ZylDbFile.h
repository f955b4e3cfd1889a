// The database files (shares, tasks) and the log are 16-bit little-endian text without byte-order
// mark, one value per line ending in U+000A. This is their one reader and one writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Reads a whole file and hands out its lines by position, the way the loaders expect: a line is at
// most 323 units or fewer up to and including the next U+000A; past the end every line is empty.
class CZylDbReader {
public:
    static constexpr size_t MAX_LINE = 323;

    // False when the file cannot be opened (a missing database is not an error to the loaders).
    bool Open(std::u16string_view path);
    bool IsOpen() const { return m_bOpen; }
    bool AtEnd() const { return m_nPosition >= m_sText.size(); }

    // One line without its final line feed (or a unit U+0A0D).
    std::u16string ReadLine();
    // The text behind the first "=", or the whole line without one.
    std::u16string ReadValueLine();
    // ReadValueLine converted like the C library's decimal conversion (0 when not a number).
    int32_t ReadIntLine();

    // A header line in the manner of a formatted scan of "<literal>%s\n": the literal must match
    // (white space in it matches any run of white space), %s takes the next run of non-white
    // characters (at most 259), then any white space, line ends included, is skipped.
    std::optional<std::u16string> ScanHeader(std::u16string_view literal);

    // For tests that read files the plug-in wrote.
    void SetText(std::u16string text);

private:
    std::u16string m_sText;
    size_t m_nPosition = 0;
    bool m_bOpen = false;
};

// Gathers lines and replaces the file in one step: a temporary file beside it is written, flushed
// to disk and renamed over the old one, so a crash or a full disk leaves the previous file whole.
class CZylDbWriter {
public:
    // Room for that many units, so that a large file is gathered without copying it as it grows.
    void Reserve(size_t units) { m_sText.reserve(units); }
    void WriteLine(std::u16string_view line);
    const std::u16string& Text() const { return m_sText; }
    // False when the file could not be written; the old file is then untouched.
    bool Commit(std::u16string_view path) const;

private:
    std::u16string m_sText;
};

// UTF-16LE bytes of a wide text, as the files hold them.
std::string ZylToUtf16Le(std::u16string_view text);
std::u16string ZylFromUtf16Le(std::string_view bytes);
// Writes the bytes to a temporary file beside target, flushes it and renames it over target;
// false (target untouched) when any step fails.
bool ZylReplaceFile(const std::filesystem::path& target, std::string_view bytes);
// Appends bytes to a file opened in append mode; false when it cannot be opened or written.
bool ZylAppendToFile(std::u16string_view path, std::string_view bytes);
// Removes a file; false when it could not be removed (a missing file counts as removed).
bool ZylRemoveFile(std::u16string_view path);
