// The window's texts: the string table (every string id with its text, the status-bar prompt of
// each command under the command's own id), the texts of the menu and of the dialog controls, and
// the few fixed texts of the panes.
#pragma once

#include <QString>

// The string of that id; empty for an id the table does not hold.
QString ZylString(int id);
// The text of a command in the menu (with its "&" mnemonic).
QString ZylMenuText(int commandId);
// The text of a dialog control, by the control's id.
QString ZylControlText(int controlId);

// Texts without an id of their own.
namespace ZylTexts {
inline constexpr char16_t USER_BAR[] = u"user view";
inline constexpr char16_t TASK_BAR[] = u"task view";
inline constexpr char16_t INFO_BAR[] = u"Info view";
inline constexpr char16_t ADDRESS_TREE[] = u"address tree";
inline constexpr char16_t MENU_FILE[] = u"文件";
inline constexpr char16_t MENU_VIEW[] = u"查看";
inline constexpr char16_t MENU_SHARING[] = u"文件共享";
inline constexpr char16_t MENU_TASKS[] = u"任务";
inline constexpr char16_t FILE_FILTER[] = u"All Files(*.*) (*)";
inline constexpr char16_t CAPS_LOCK[] = u"CAP";
inline constexpr char16_t SCROLL_LOCK[] = u"SCRL";
inline constexpr char16_t ERROR_BOX[] = u"error";
inline constexpr char16_t INFO_CREATE_FAILED[] = u"create info richedit fail";
inline constexpr char16_t NO_FOLDER_TRACE[] = u"OnFriendFolderPackage no folder";
// The share properties dialog.
inline constexpr char16_t SHARE_GROUP[] = u"共享文件夹";
inline constexpr char16_t USER_LIMIT_LABEL[] = u"用户数限制：";
inline constexpr char16_t USERS_SUFFIX[] = u"个用户";
inline constexpr char16_t PERMISSION_HINT_1[] = u"要设置权限，控制用户访问方式，";
inline constexpr char16_t PERMISSION_HINT_2[] = u"请单击“权限”。";
// The permission dialog's rights list.
inline constexpr char16_t ALLOW[] = u"允许";
inline constexpr char16_t DENY[] = u"拒绝";
// The options dialog.
inline constexpr char16_t OPTIONS_CAPTION[] = u"选项";
inline constexpr char16_t SHARING_GROUP[] = u"共享";
inline constexpr char16_t TASKS_GROUP[] = u"任务";
inline constexpr char16_t TASKS_SUFFIX[] = u"个任务同时运行";
} // namespace ZylTexts

// The control ids of the dialogs.
enum : int {
    ZYL_IDOK = 1,
    ZYL_IDCANCEL = 2,
    ZYL_IDC_ADD_USER = 8243,
    ZYL_IDC_REMOVE_USER = 8244,
    ZYL_IDC_SHARE_PATH = 8246,
    ZYL_IDC_SHARE_NAME = 8247,
    ZYL_IDC_REMARK = 8248,
    ZYL_IDC_UNLIMITED = 8249,
    ZYL_IDC_LIMITED = 8250,
    ZYL_IDC_LIMIT = 8251,
    ZYL_IDC_RIGHTS = 8252,
    ZYL_IDC_PERMISSIONS = 8253,
    ZYL_IDC_USERS = 8254,
    ZYL_IDC_AUTO_START = 8256,
    ZYL_IDC_TASK_LIMITED = 8258,
    ZYL_IDC_TASK_LIMIT = 8260,
    ZYL_IDC_NO_UPLOAD = 8262,
};
