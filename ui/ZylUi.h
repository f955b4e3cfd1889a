// What every part of the window shares: the kinds of the tree items and list rows, the command
// ids of the menu, the window messages of the window's own, and the conversions between the
// engine's wide texts and Qt's.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

inline QString ZylQ(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::u16string ZylW(const QString& text) {
    return text.toStdU16String();
}

// What a friend-tree item or a file-list row stands for. Bit 0x100 marks the friends' branch
// below its root, bit 0x10000 the local shares' branch, bit 0x1000 a briefcase branch that
// nothing creates.
enum : uint32_t {
    ZYL_KIND_FRIENDS_ROOT = 0x1,
    ZYL_KIND_FRIEND = 0x100,
    ZYL_KIND_FRIEND_SHARE = 0x101,
    ZYL_KIND_FRIEND_SHARE_FILE = 0x102,
    ZYL_KIND_FRIEND_FOLDER = 0x104,
    ZYL_KIND_FRIEND_FILE = 0x108,
    ZYL_KIND_BRIEFCASE = 0x1000,
    ZYL_KIND_LOCAL_ROOT = 0x10000,
    ZYL_KIND_LOCAL_SHARE = 0x10001,
    ZYL_KIND_LOCAL_SHARE_FILE = 0x10002,
    ZYL_KIND_LOCAL_FOLDER = 0x10004,
    ZYL_KIND_LOCAL_FILE = 0x10008,
    ZYL_KIND_UP = 0x100000, // the ".." row of a folder's contents
};
inline bool ZylInFriendsBranch(uint32_t kind) {
    return (kind & ZYL_KIND_FRIEND) != 0;
}
inline bool ZylInLocalBranch(uint32_t kind) {
    return (kind & ZYL_KIND_LOCAL_ROOT) != 0;
}

// Commands of the menu, the bars and the context menus.
enum : int {
    ZYL_ID_ADD_SHARED_FILE = 36771,
    ZYL_ID_CLOSE = 36773,
    ZYL_ID_STOP_USER_TASKS = 36774,
    ZYL_ID_VIEW_LARGE = 36775,
    ZYL_ID_VIEW_SMALL = 36776,
    ZYL_ID_VIEW_LIST = 36777,
    ZYL_ID_VIEW_DETAILS = 36778,
    ZYL_ID_RESTART_TASKS = 36779,
    ZYL_ID_ADD_SHARED_FOLDER = 36780,
    ZYL_ID_INFO_BAR = 36781,
    ZYL_ID_USER_BAR = 36782,
    ZYL_ID_PROPERTIES = 36783,
    ZYL_ID_START_USER_TASKS = 36786,
    ZYL_ID_OPTIONS = 36788,
    ZYL_ID_TASK_BAR = 36789,
    ZYL_ID_VIEW_TASKS = 36790,
    ZYL_ID_VIEW_USERS = 36791,
    ZYL_ID_VIEW_INFO = 36792,
    ZYL_ID_DOWNLOAD = 36793,
    ZYL_ID_UPLOAD_FILES = 36794,
    ZYL_ID_UPLOAD_FOLDER = 36795,
    ZYL_ID_CANCEL_SHARES = 36796,
    ZYL_ID_START_TASKS = 36797,
    ZYL_ID_STOP_TASKS = 36798,
    ZYL_ID_DELETE_TASKS = 36799,
    ZYL_ID_REFRESH = 36800,
    ZYL_ID_START_ALL = 36801,
    ZYL_ID_STOP_ALL = 36802,
    ZYL_ID_DISCONNECT = 36804,
    ZYL_ID_BROWSE_OTHERS = 36805,
    ZYL_ID_DELETE_BRIEFCASE = 36807,
    ZYL_ID_SHOW_FINISHED = 36808,
    ZYL_ID_OPEN_FOLDER = 36810,
    ZYL_ID_OPEN_FILE = 36814,
};

// The window's own message besides those the engine sends: the frame's new width for the
// address bar.
inline constexpr uint32_t WM_ZYL_ADDRESS_RESIZE = 1037;

// The picker purposes of the host's friend picker.
enum : intptr_t { ZYL_PICK_BROWSE = 4097, ZYL_PICK_PERMISSION = 4112 };
