// The one converter between share paths ("\" between components, as peers send them) and local
// paths ("/"), and the few file-system helpers built on it.
#pragma once

#include "core/ZylDateTime.h"

#include <filesystem>
#include <string>
#include <string_view>

inline constexpr char16_t ZYL_SHARE_SEPARATOR = u'\\';
inline constexpr char16_t ZYL_LOCAL_SEPARATOR = u'/';

// The file-system path of a local wide path (UTF-8 on this platform).
std::filesystem::path ZylToFsPath(std::u16string_view localPath);
std::u16string ZylFromFsPath(const std::filesystem::path& path);

// Share path components below the share name become local components, and back.
std::u16string ZylShareToLocalPath(std::u16string_view sharePath);
std::u16string ZylLocalToSharePath(std::u16string_view localPath);

// folder without one trailing separator, the separator, then name.
std::u16string ZylJoinPath(std::u16string_view folder, std::u16string_view name,
                           char16_t separator = ZYL_LOCAL_SEPARATOR);
std::u16string_view ZylTrimTrailingSeparator(std::u16string_view path, char16_t separator);
// The text before the first separator (the whole text without one), and the text behind it.
std::u16string_view ZylFirstComponent(std::u16string_view path, char16_t separator);
std::u16string_view ZylAfterFirstComponent(std::u16string_view path, char16_t separator);
std::u16string_view ZylLastComponent(std::u16string_view path, char16_t separator);

// True when every component is non-empty and neither "." nor "..", and the path is not absolute.
// An empty path is safe (it names the item itself).
bool ZylIsSafeRelativePath(std::u16string_view path, char16_t separator);

// The one rule for a file or folder name that travels between peers, used by the side that lists
// and by the side that receives alike: not empty, neither "." nor "..", no separator of either
// kind, no control character, and no unpaired surrogate (it must survive the way to UTF-8 and back).
bool ZylIsTransferableName(std::u16string_view name);
// True when the text holds a control character (a line feed would break a database line).
bool ZylHasControlCharacter(std::u16string_view text);

// True when target, with symbolic links resolved, is root itself or lies below it.
bool ZylIsInside(const std::filesystem::path& root, const std::filesystem::path& target);

// Creates the folder and every missing parent; failures of the parents are ignored.
// The result is that of the last creation: true when the folder exists afterwards.
bool ZylCreateDirectory(std::u16string_view path);

// File modification times travel as universal-time fields.
bool FileTimeToZylTime(std::filesystem::file_time_type fileTime, CZylDateTime& value);
bool ZylTimeToFileTime(const CZylDateTime& value, std::filesystem::file_time_type& fileTime);
