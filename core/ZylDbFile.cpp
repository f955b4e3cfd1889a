#include "core/ZylDbFile.h"

#include "core/ZylPath.h"
#include "core/ZylText.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

std::string ZylToUtf16Le(std::u16string_view text) {
    std::string bytes;
    bytes.resize(text.size() * 2);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(bytes.data(), text.data(), bytes.size());
        return bytes;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return bytes;
}

std::u16string ZylFromUtf16Le(std::string_view bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(text.data(), bytes.data(), text.size() * 2);
        return text;
    }
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                        (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return text;
}

bool CZylDbReader::Open(std::u16string_view path) {
    m_sText.clear();
    m_nPosition = m_nLastStart = m_nLastLength = 0;
    std::ifstream in(ZylToFsPath(path), std::ios::binary | std::ios::ate);
    m_bOpen = static_cast<bool>(in);
    if (!m_bOpen)
        return false;
    // Read whole in one go: a database of 10,000 tasks is some megabytes.
    std::string bytes;
    const std::streamoff size = in.tellg();
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        in.seekg(0);
        in.read(bytes.data(), size);
        bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    }
    m_sText = ZylFromUtf16Le(bytes);
    return true;
}

void CZylDbReader::SetText(std::u16string text) {
    m_sText = std::move(text);
    m_nPosition = m_nLastStart = m_nLastLength = 0;
    m_bOpen = true;
}

std::u16string CZylDbReader::ReadLine() {
    if (AtEnd()) {
        m_nLastStart = m_nLastLength = 0;
        return {};
    }
    size_t end = m_nPosition;
    const size_t limit = std::min(m_sText.size(), m_nPosition + MAX_LINE);
    while (end < limit && m_sText[end] != u'\n')
        ++end;
    if (end < m_sText.size() && end < limit && m_sText[end] == u'\n')
        ++end; // the line feed belongs to the line
    std::u16string line = m_sText.substr(m_nPosition, end - m_nPosition);
    m_nLastStart = m_nPosition;
    m_nPosition = end;
    if (!line.empty() && (line.back() == u'\n' || line.back() == u'\x0A0D'))
        line.pop_back();
    m_nLastLength = line.size();
    return line;
}

std::u16string CZylDbReader::PeekLine() {
    const size_t position = m_nPosition;
    const size_t lastStart = m_nLastStart, lastLength = m_nLastLength;
    std::u16string line = ReadLine();
    m_nPosition = position;
    m_nLastStart = lastStart;
    m_nLastLength = lastLength;
    return line;
}

std::u16string_view CZylDbReader::LastLine() const {
    return std::u16string_view(m_sText).substr(m_nLastStart, m_nLastLength);
}

void CZylDbReader::SetPosition(size_t position) {
    m_nPosition = std::min(position, m_sText.size());
    m_nLastStart = m_nLastLength = 0;
}

size_t CZylDbReader::SkipTo(std::u16string_view marker) {
    size_t skipped = 0;
    while (!AtEnd()) {
        const size_t position = m_nPosition;
        if (ReadLine() == marker) {
            m_nPosition = position;
            break;
        }
        if (!LastLine().empty())
            ++skipped;
    }
    return skipped;
}

std::u16string CZylDbReader::ReadValueLine() {
    std::u16string line = ReadLine();
    const size_t at = line.find(u'=');
    return at == std::u16string::npos ? line : line.substr(at + 1);
}

int32_t CZylDbReader::ReadIntLine() {
    return ZylToInt(ReadValueLine());
}

int32_t CZylDbReader::ReadIntLine(std::u16string_view key, bool& damaged) {
    const std::u16string line = ReadLine();
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != u'=')
        damaged = true;
    const size_t at = line.find(u'=');
    return ZylToInt(at == std::u16string::npos ? std::u16string_view(line)
                                               : std::u16string_view(line).substr(at + 1));
}

static bool IsScanSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::optional<std::u16string> CZylDbReader::ScanHeader(std::u16string_view literal) {
    auto skipSpace = [this] {
        while (!AtEnd() && IsScanSpace(m_sText[m_nPosition]))
            ++m_nPosition;
    };
    for (char16_t c : literal) {
        if (IsScanSpace(c)) {
            skipSpace();
            continue;
        }
        if (AtEnd() || m_sText[m_nPosition] != c)
            return std::nullopt;
        ++m_nPosition;
    }
    skipSpace();
    const size_t start = m_nPosition;
    while (!AtEnd() && !IsScanSpace(m_sText[m_nPosition]) && m_nPosition - start < 259)
        ++m_nPosition;
    if (m_nPosition == start)
        return std::nullopt;
    std::u16string token = m_sText.substr(start, m_nPosition - start);
    skipSpace();
    return token;
}

EZylDbHeader ZylReadDbHeader(CZylDbReader& file, std::u16string_view literal, std::u16string_view loginId,
                             std::u16string* id) {
    file.SetPosition(0);
    bool damaged = false;
    if (!file.ScanHeader(literal)) {
        // A damaged first line does not make the file another user's: its id line may still say
        // whose it is.
        damaged = true;
        file.SetPosition(0);
        file.ReadLine();
    }
    const auto text = file.ScanHeader(u"#id=");
    if (!text)
        return EZylDbHeader::Unreadable;
    if (id)
        *id = *text;
    if (!ZylEqualNoCase(*text, loginId))
        return EZylDbHeader::Foreign;
    return damaged ? EZylDbHeader::Damaged : EZylDbHeader::Ours;
}

size_t ZylReadDbBlocks(CZylDbReader& file, size_t from, size_t settingLines, std::u16string_view begin,
                       std::u16string_view end, const std::function<bool()>& readBlock,
                       const std::function<void()>& keepBlock, bool& damaged) {
    // From just behind the header: a missing setting line must not hide the first block.
    file.SetPosition(from);
    if (file.SkipTo(begin) > settingLines)
        damaged = true;
    size_t blocks = 0;
    while (!file.AtEnd()) {
        const size_t start = file.GetPosition();
        ++blocks;
        if (readBlock() && file.LastLine() == end) {
            keepBlock();
            if (file.SkipTo(begin) > 0)
                damaged = true;
            continue;
        }
        damaged = true;
        file.SetPosition(start);
        file.ReadLine();
        file.SkipTo(begin);
    }
    return blocks;
}

void CZylDbWriter::WriteLine(std::u16string_view line) {
    m_sText.append(line);
    m_sText.push_back(u'\n');
}

bool CZylDbWriter::Commit(std::u16string_view path) const {
    if constexpr (std::endian::native == std::endian::little)
        return ZylReplaceFile(
            ZylToFsPath(path),
            std::string_view(reinterpret_cast<const char*>(m_sText.data()), m_sText.size() * 2));
    return ZylReplaceFile(ZylToFsPath(path), ZylToUtf16Le(m_sText));
}

bool ZylReplaceFile(const std::filesystem::path& target, std::string_view bytes) {
    std::filesystem::path temporary = target;
    temporary += ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk only with the folder.
    ZylSyncFolder(target.has_parent_path() ? target.parent_path() : ".");
    return true;
}

bool ZylSyncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool ZylAppendToFile(std::u16string_view path, std::string_view bytes) {
    FILE* file = std::fopen(ZylToFsPath(path).c_str(), "a+b");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::u16string ZylSetAsideFile(std::u16string_view path, std::u16string_view reason,
                               const CZylDateTime& time) {
    const CZylDateTime::FIELDS f = time.GetFields();
    const std::u16string stem =
        std::u16string(path) + u"." + std::u16string(reason) +
        ZylFormat("-{:04}{:02}{:02}-{:02}{:02}{:02}", f.year, f.month, f.day, f.hour, f.minute, f.second);
    const std::filesystem::path from = ZylToFsPath(path);
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::u16string aside = attempt == 1 ? stem : stem + u"-" + ZylFromInt(attempt);
        const std::filesystem::path to = ZylToFsPath(aside);
        std::error_code ec;
        if (std::filesystem::symlink_status(to, ec).type() != std::filesystem::file_type::not_found)
            continue;
        // link() never replaces what another process may have made meanwhile.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return aside;
        }
        if (errno == EEXIST)
            continue;
        // A file system without hard links: a plain rename, the name having been free a moment ago.
        if (::rename(from.c_str(), to.c_str()) == 0)
            return aside;
        return {};
    }
    return {};
}

bool ZylRemoveFile(std::u16string_view path) {
    std::error_code ec;
    std::filesystem::remove(ZylToFsPath(path), ec);
    return !ec;
}
