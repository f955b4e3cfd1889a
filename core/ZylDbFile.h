// The database files (shares, tasks) and the log are 16-bit little-endian text without byte-order
// mark, one value per line ending in U+000A. This is their one reader and one writer.
#pragma once

#include "core/ZylDateTime.h"

#include <cstdint>
#include <filesystem>
#include <functional>
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
    // The same for a line that must be "<key>=<number>"; one that is not sets damaged.
    int32_t ReadIntLine(std::u16string_view key, bool& damaged);

    // A header line in the manner of a formatted scan of "<literal>%s\n": the literal must match
    // (white space in it matches any run of white space), %s takes the next run of non-white
    // characters (at most 259), then any white space, line ends included, is skipped.
    std::optional<std::u16string> ScanHeader(std::u16string_view literal);

    // The next line without taking it, and the last line ReadLine took (without its line feed).
    std::u16string PeekLine();
    std::u16string_view LastLine() const;
    // Where the next line starts, to come back to a block that turned out to be damaged.
    size_t GetPosition() const { return m_nPosition; }
    void SetPosition(size_t position);
    // Skips lines up to the next one that is exactly marker (left to be read); the number of
    // non-empty lines skipped.
    size_t SkipTo(std::u16string_view marker);
    // True when the file held no bytes at all.
    bool IsEmpty() const { return m_sText.empty(); }

    // For tests that read files the plug-in wrote.
    void SetText(std::u16string text);

private:
    std::u16string m_sText;
    size_t m_nPosition = 0;
    size_t m_nLastStart = 0;
    size_t m_nLastLength = 0;
    bool m_bOpen = false;
};

// What the two header lines of a database ("<literal>%s", "#id=%s") say about whose it is.
enum class EZylDbHeader {
    Ours,       // both lines read, the id is the login's
    Damaged,    // the first line is damaged but the id line names the login: the records are read
    Foreign,    // the id names another user: nothing is loaded
    Unreadable, // no id can be read: whose it is cannot be told, nothing is loaded
};
// Reads the header from the reader's start; id receives the id text when one was read.
EZylDbHeader ZylReadDbHeader(CZylDbReader& file, std::u16string_view literal, std::u16string_view loginId,
                             std::u16string* id = nullptr);
// The records of a database, each a block of lines from a begin marker to an end marker, from the
// position from on (where the settingLines lines before the first block start). readBlock reads
// one block by position and answers whether it holds a usable record; a block that does and ends
// with its end marker is handed to keepBlock. After one that does not, reading goes on at the next
// begin marker, so one damaged block costs only itself. The number of blocks met; damaged is set
// when a block was left out or other lines stood between the blocks.
size_t ZylReadDbBlocks(CZylDbReader& file, size_t from, size_t settingLines, std::u16string_view begin,
                       std::u16string_view end, const std::function<bool()>& readBlock,
                       const std::function<void()>& keepBlock, bool& damaged);

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
// Flushes a folder's entries (a rename or a new name in it) to the disk.
bool ZylSyncFolder(const std::filesystem::path& folder);
// Appends bytes to a file opened in append mode; false when it cannot be opened or written.
bool ZylAppendToFile(std::u16string_view path, std::string_view bytes);
// Removes a file; false when it could not be removed (a missing file counts as removed).
bool ZylRemoveFile(std::u16string_view path);
// Moves a file that must not be lost nor trusted out of the way, beside it: its name followed by
// ".<reason>-yyyymmdd-hhmmss" of the time given ("-2", "-3" ... added while that name is taken).
// The new path, or empty when the file could not be moved (it is then left where it was).
std::u16string ZylSetAsideFile(std::u16string_view path, std::u16string_view reason,
                               const CZylDateTime& time);
