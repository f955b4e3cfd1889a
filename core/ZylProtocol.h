// The peer protocol's numbers: commands, error codes and their texts, limits.
#pragma once

#include <cstdint>
#include <string_view>

enum ZylCommand : uint16_t {
    ZYL_CMD_SHARE_ROOT_INFO_REQUEST = 4096,
    ZYL_CMD_SHARE_ROOT_INFO_REPLY = 4097,
    ZYL_CMD_EXPLORER_FOLDER_REQUEST = 4098,
    ZYL_CMD_EXPLORER_FOLDER_REPLY = 4099,
    ZYL_CMD_FILE_DATA_REQUEST = 4100,
    ZYL_CMD_FILE_DATA_REPLY = 4101,
    ZYL_CMD_FILE_LIST_REQUEST = 4102,
    ZYL_CMD_FILE_LIST_REPLY = 4103,
    ZYL_CMD_UPLOAD_REQUEST = 4106,
    ZYL_CMD_UPLOAD_REPLY = 4107,
    ZYL_CMD_WRITE_FILE_DATA_REQUEST = 4108,
    ZYL_CMD_WRITE_FILE_DATA_REPLY = 4109,
    ZYL_CMD_SYNC_FILE_SIZE_REQUEST = 4110,
    ZYL_CMD_SYNC_FILE_SIZE_REPLY = 4111,
    ZYL_CMD_UNFINISHED_TASKS_QUERY = 4112,
    ZYL_CMD_UNFINISHED_TASKS_REPLY = 4113,
    ZYL_CMD_CLOSE_NOTICE = 4114,
    ZYL_CMD_EMPTY_FILE_LIST = 4116,
    ZYL_CMD_ERROR = 4117,
};
inline constexpr uint32_t ZYL_CMD_FIRST = 4096;
inline constexpr uint32_t ZYL_CMD_LAST = 4117;

enum ZylErrorCode : int32_t {
    ZYL_ERROR_NONE = 0,
    ZYL_ERROR_LOCAL_BUFFER_FULL = 1,
    ZYL_ERROR_NET_BUFFER_FULL = 2,
    ZYL_ERROR_FILE_REMOVED = 3,
    ZYL_ERROR_SHARE_REMOVED = 4,
    ZYL_ERROR_DISCONNECTED = 5,
    ZYL_ERROR_NO_DISK_SPACE = 6,
    ZYL_ERROR_NET_BUSY = 7,
    ZYL_ERROR_USER_DENIED = 8,
    ZYL_ERROR_OTHER = 9,
};

// "unknown error" for a code outside the table.
std::u16string_view ZylErrorText(int32_t code);

// Privilege bits of a share entry.
enum : uint16_t { ZYL_PRIV_BROWSE = 1, ZYL_PRIV_DOWNLOAD = 2, ZYL_PRIV_UPLOAD = 4 };

// Fixed text fields of the original layouts, in UTF-16 units with the terminator.
inline constexpr size_t ZYL_MAX_PATH = 260;
inline constexpr size_t ZYL_MAX_USERID = 21;
inline constexpr size_t ZYL_MAX_NAME = 129;
// The longest user id text accepted from the host or a peer.
inline constexpr size_t ZYL_USERID_LIMIT = 20;
