#include "core/ZylPath.h"

#include "core/ZylText.h"

#include <chrono>
#include <system_error>

std::filesystem::path ZylToFsPath(std::u16string_view localPath) {
    return std::filesystem::path(ZylToUtf8(localPath));
}

std::u16string ZylFromFsPath(const std::filesystem::path& path) {
    return ZylFromUtf8(path.native());
}

static std::u16string ReplaceSeparators(std::u16string_view text, char16_t from, char16_t to) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c == from)
            c = to;
    return out;
}

std::u16string ZylShareToLocalPath(std::u16string_view sharePath) {
    return ReplaceSeparators(sharePath, ZYL_SHARE_SEPARATOR, ZYL_LOCAL_SEPARATOR);
}

std::u16string ZylLocalToSharePath(std::u16string_view localPath) {
    return ReplaceSeparators(localPath, ZYL_LOCAL_SEPARATOR, ZYL_SHARE_SEPARATOR);
}

std::u16string_view ZylTrimTrailingSeparator(std::u16string_view path, char16_t separator) {
    if (!path.empty() && path.back() == separator)
        path.remove_suffix(1);
    return path;
}

std::u16string ZylJoinPath(std::u16string_view folder, std::u16string_view name, char16_t separator) {
    std::u16string out(ZylTrimTrailingSeparator(folder, separator));
    out.push_back(separator);
    out.append(name);
    return out;
}

std::u16string_view ZylFirstComponent(std::u16string_view path, char16_t separator) {
    const size_t at = path.find(separator);
    return at == std::u16string_view::npos ? path : path.substr(0, at);
}

std::u16string_view ZylAfterFirstComponent(std::u16string_view path, char16_t separator) {
    const size_t at = path.find(separator);
    return at == std::u16string_view::npos ? std::u16string_view() : path.substr(at + 1);
}

std::u16string_view ZylLastComponent(std::u16string_view path, char16_t separator) {
    const size_t at = path.rfind(separator);
    return at == std::u16string_view::npos ? path : path.substr(at + 1);
}

bool ZylIsSafeRelativePath(std::u16string_view path, char16_t separator) {
    if (path.empty())
        return true;
    if (path.front() == u'/' || path.front() == u'\\')
        return false;
    size_t start = 0;
    while (true) {
        const size_t end = path.find(separator, start);
        const std::u16string_view part =
            path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty() || part == u"." || part == u"..")
            return false;
        // Neither separator may hide inside a component: "a/../b" sent with "\" separators.
        if (part.find(u'/') != std::u16string_view::npos || part.find(u'\\') != std::u16string_view::npos)
            return false;
        if (part.find(u'\0') != std::u16string_view::npos)
            return false;
        if (end == std::u16string_view::npos)
            return true;
        start = end + 1;
    }
}

bool ZylIsInside(const std::filesystem::path& root, const std::filesystem::path& target) {
    std::error_code ec;
    const auto realRoot = std::filesystem::weakly_canonical(root, ec);
    if (ec)
        return false;
    const auto realTarget = std::filesystem::weakly_canonical(target, ec);
    if (ec)
        return false;
    auto r = realRoot.begin();
    auto t = realTarget.begin();
    for (; r != realRoot.end(); ++r, ++t) {
        if (r->empty() && std::next(r) == realRoot.end())
            return true; // root ends with a separator
        if (t == realTarget.end() || *r != *t)
            return false;
    }
    return true;
}

bool ZylCreateDirectory(std::u16string_view path) {
    const std::u16string_view trimmed = ZylTrimTrailingSeparator(path, ZYL_LOCAL_SEPARATOR);
    std::error_code ec;
    for (size_t at = trimmed.find(ZYL_LOCAL_SEPARATOR, 1); at != std::u16string_view::npos;
         at = trimmed.find(ZYL_LOCAL_SEPARATOR, at + 1))
        std::filesystem::create_directory(ZylToFsPath(trimmed.substr(0, at)), ec);
    std::filesystem::create_directory(ZylToFsPath(trimmed), ec);
    return std::filesystem::is_directory(ZylToFsPath(trimmed), ec);
}

bool FileTimeToZylTime(std::filesystem::file_time_type fileTime, CZylDateTime& value) {
    using namespace std::chrono;
    // Milliseconds first: moving nanoseconds to the system clock's epoch overflows for times past
    // 2262, which a file can carry (a peer's upload may set one).
    const auto ms = std::filesystem::file_time_type::clock::to_sys(floor<milliseconds>(fileTime));
    const auto days = floor<std::chrono::days>(ms);
    const year_month_day ymd{days};
    if (!ymd.ok())
        return false;
    const hh_mm_ss hms{ms - days};
    return value.SetDateTime(static_cast<int32_t>(ymd.year()), static_cast<unsigned>(ymd.month()),
                             static_cast<unsigned>(ymd.day()), static_cast<uint32_t>(hms.hours().count()),
                             static_cast<uint32_t>(hms.minutes().count()),
                             static_cast<uint32_t>(hms.seconds().count()),
                             static_cast<uint32_t>(hms.subseconds().count()), 0);
}

bool ZylTimeToFileTime(const CZylDateTime& value, std::filesystem::file_time_type& fileTime) {
    using namespace std::chrono;
    if (value.GetKind() != CZylDateTime::DateTime && value.GetKind() != CZylDateTime::DateOnly)
        return false;
    const year_month_day ymd{year{value.GetYear()}, month{value.GetMonth()}, day{value.GetDay()}};
    if (!ymd.ok())
        return false;
    sys_time<milliseconds> t = sys_days{ymd} + hours{value.GetHour()} + minutes{value.GetMinute()} +
                               seconds{value.GetSecond()} + milliseconds{value.GetMillisecond()};
    // The file clock counts nanoseconds in 64 bits, a few centuries around its own epoch; a peer may
    // send any year, and converting one outside that reach would overflow. The offset from the
    // clock's epoch is taken in milliseconds, which hold any year.
    using FileTime = std::filesystem::file_time_type;
    const sys_time<milliseconds> epoch = floor<milliseconds>(FileTime::clock::to_sys(FileTime{}));
    const milliseconds offset = t - epoch;
    const milliseconds reach = duration_cast<milliseconds>(FileTime::duration::max()) - milliseconds{1};
    if (offset > reach || offset < -reach)
        return false;
    fileTime = FileTime{duration_cast<FileTime::duration>(offset)};
    return true;
}

bool ZylHasControlCharacter(std::u16string_view text) {
    for (char16_t c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

bool ZylIsTransferableName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u".." || ZylHasControlCharacter(name))
        return false;
    if (name.find_first_of(u"\\/") != std::u16string_view::npos)
        return false;
    return ZylFromUtf8(ZylToUtf8(name)) == name;
}
