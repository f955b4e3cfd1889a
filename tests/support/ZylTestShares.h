// Shares as the window makes them, for the tests of sharing, browsing and transfers.
#pragma once

#include "core/ZylPath.h"
#include "share/ZylShareObject.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

// The item name in the local folder path, shared as shareName; "Everyone" holds the rights given
// (no entry without them).
inline std::unique_ptr<CZylShareObject> ZylMakeShare(std::u16string_view shareName, std::u16string_view name,
                                                     std::u16string_view path, int32_t folder,
                                                     std::optional<uint16_t> everyone = {}) {
    auto share = std::make_unique<CZylShareObject>();
    share->SetShareName(shareName);
    share->SetName(name);
    share->SetPath(path);
    share->SetFolder(folder);
    if (everyone)
        share->AddPrivilegedUser(
            ZYLPRIVILEGEDUSER{u"Everyone", u"Everyone", ZYL_PRIVILEGED_EVERYONE, *everyone});
    return share;
}

// The same for an item on disk, a folder or a file as it is there.
inline std::unique_ptr<CZylShareObject> ZylMakeShare(std::u16string_view shareName,
                                                     const std::filesystem::path& item,
                                                     std::optional<uint16_t> everyone = {}) {
    return ZylMakeShare(shareName, ZylFromFsPath(item.filename()), ZylFromFsPath(item.parent_path()),
                        std::filesystem::is_directory(item) ? 1 : 0, everyone);
}
