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
    m_nPosition = 0;
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
    m_nPosition = 0;
    m_bOpen = true;
}

std::u16string CZylDbReader::ReadLine() {
    if (AtEnd())
        return {};
    size_t end = m_nPosition;
    const size_t limit = std::min(m_sText.size(), m_nPosition + MAX_LINE);
    while (end < limit && m_sText[end] != u'\n')
        ++end;
    if (end < m_sText.size() && end < limit && m_sText[end] == u'\n')
        ++end; // the line feed belongs to the line
    std::u16string line = m_sText.substr(m_nPosition, end - m_nPosition);
    m_nPosition = end;
    if (!line.empty() && (line.back() == u'\n' || line.back() == u'\x0A0D'))
        line.pop_back();
    return line;
}

std::u16string CZylDbReader::ReadValueLine() {
    std::u16string line = ReadLine();
    const size_t at = line.find(u'=');
    return at == std::u16string::npos ? line : line.substr(at + 1);
}

int32_t CZylDbReader::ReadIntLine() {
    return ZylToInt(ReadValueLine());
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
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool ZylAppendToFile(std::u16string_view path, std::string_view bytes) {
    FILE* file = std::fopen(ZylToFsPath(path).c_str(), "a+b");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool ZylRemoveFile(std::u16string_view path) {
    std::error_code ec;
    std::filesystem::remove(ZylToFsPath(path), ec);
    return !ec;
}
