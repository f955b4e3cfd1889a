#include "support/ZylTempDir.h"

#include "core/ZylPath.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

CZylTempDir::CZylTempDir() {
    // mkdtemp picks a name no other test (or test program running beside this one) holds.
    std::string pattern = (std::filesystem::temp_directory_path() / "zylfs-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_pPath = pattern;
}

CZylTempDir::~CZylTempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; give the owner its rights back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(m_pPath, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_pPath, ec);
}

std::u16string CZylTempDir::WidePath(const std::u16string& name) const {
    const std::u16string folder = ZylFromFsPath(m_pPath);
    return name.empty() ? folder : ZylJoinPath(folder, name);
}
