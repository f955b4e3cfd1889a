// The frame's commands: their enabled and checked states, and what each does.
#include "ui/ZylMainFrame.h"

#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "ui/ZylAddressBar.h"
#include "ui/ZylAsk.h"
#include "ui/ZylDialogs.h"
#include "ui/ZylShareView.h"
#include "ui/ZylStrings.h"
#include "ui/ZylTaskView.h"
#include "ui/ZylUi.h"
#include "ui/ZylUserView.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>
#include <filesystem>

namespace {
int BarOf(int viewCommand) {
    return viewCommand == ZYL_ID_VIEW_INFO    ? ZYL_ID_INFO_BAR
           : viewCommand == ZYL_ID_VIEW_USERS ? ZYL_ID_USER_BAR
                                              : ZYL_ID_TASK_BAR;
}

// A share path below a folder path ("" for a friend's own listing).
std::u16string Below(const std::u16string& folder, const QString& name) {
    return folder.empty() ? ZylW(name) : ZylJoinPath(folder, ZylW(name), ZYL_SHARE_SEPARATOR);
}

CZylDateTime FileTime(const QString& path) {
    CZylDateTime time;
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(ZylToFsPath(ZylW(path)), ec);
    if (!ec)
        FileTimeToZylTime(written, time);
    return time;
}
} // namespace

void CZylMainFrame::PostCommand(int id) {
    QMetaObject::invokeMethod(
        this, [this, id] { RunCommand(id); }, Qt::QueuedConnection);
}

void CZylMainFrame::RunCommand(int id) {
    if (m_bTornDown || !m_pTasks)
        return; // before the first open request there is nothing to command
    switch (id) {
    case ZYL_ID_OPEN_FOLDER:
    case ZYL_ID_OPEN_FILE:
        OpenSelectedTaskResult();
        break;
    case ZYL_ID_PROPERTIES:
        OnProperties();
        break;
    case ZYL_ID_OPTIONS:
        OnOptions();
        break;
    case ZYL_ID_CLOSE:
        // As the system close command would: closeEvent decides between closing and hiding.
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_bPersonCloses = true;
                close();
                m_bPersonCloses = false;
            },
            Qt::QueuedConnection);
        break;
    case ZYL_ID_VIEW_INFO:
    case ZYL_ID_VIEW_USERS:
    case ZYL_ID_VIEW_TASKS:
        OnToggleBar(id);
        break;
    case ZYL_ID_DISCONNECT:
        OnDisconnect();
        break;
    case ZYL_ID_BROWSE_OTHERS:
        OnBrowseOthers();
        break;
    case ZYL_ID_ADD_SHARED_FOLDER:
        OnAddSharedFolder();
        break;
    case ZYL_ID_ADD_SHARED_FILE:
        OnAddSharedFile();
        break;
    case ZYL_ID_CANCEL_SHARES:
        OnCancelShares();
        break;
    case ZYL_ID_REFRESH:
        OnRefresh();
        break;
    case ZYL_ID_DOWNLOAD:
        OnDownload(ZYL_DRAG_NONE);
        break;
    case ZYL_ID_UPLOAD_FILES:
        OnUpload(false);
        break;
    case ZYL_ID_UPLOAD_FOLDER:
        OnUpload(true);
        break;
    case ZYL_ID_START_ALL:
        m_pTasks->StartAllTasks();
        m_pTaskView->Refresh();
        break;
    case ZYL_ID_STOP_ALL:
        m_pTasks->StopAllTasks();
        m_pTaskView->Refresh();
        break;
    case ZYL_ID_START_TASKS:
        OnStartTasks();
        break;
    case ZYL_ID_STOP_TASKS:
        OnStopTasks();
        break;
    case ZYL_ID_RESTART_TASKS:
        OnRestartTasks();
        break;
    case ZYL_ID_DELETE_TASKS:
        OnDeleteTasks();
        break;
    case ZYL_ID_SHOW_FINISHED:
        m_pTaskView->SetShowFinished(!m_pTaskView->GetShowFinished());
        m_pTaskView->Refresh();
        break;
    case ZYL_ID_STOP_USER_TASKS:
        if (CZylTreeItem* item = m_pUserView->GetSelected(); item && item->m_nKind == ZYL_KIND_FRIEND) {
            m_pTasks->StopAllOfUser(item->m_sUserId);
            m_pTaskView->Refresh();
        }
        break;
    default:
        break; // the user's start command and the briefcase do nothing
    }
}

void CZylMainFrame::UpdateCommands() {
    for (auto& [id, action] : m_mActions) {
        bool checked = false;
        action->setEnabled(IsCommandEnabled(id, &checked));
        if (action->isCheckable())
            action->setChecked(checked);
    }
}

bool CZylMainFrame::IsCommandEnabled(int id, bool* checked) const {
    bool dummy = false;
    bool& check = checked ? *checked : dummy;
    check = false;
    if (!m_pTasks)
        return id == ZYL_ID_OPTIONS || id == ZYL_ID_CLOSE;
    CZylTreeItem* item = m_pUserView->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    const bool taskFocus = HasFocusIn(m_pTaskView);
    const std::vector<CZylTask*> tasks = m_pTaskView->GetSelectedTasks();
    // A friend's share or a folder below it whose friend is connected and that grants the right.
    auto below = [&](uint16_t right) {
        if (!ZylInFriendsBranch(kind) || kind == ZYL_KIND_FRIEND)
            return false;
        const CZylTreeItem* user = CZylUserView::FriendOf(item);
        const CZylTreeItem* share = CZylUserView::ShareOf(item);
        return user && share && IsConnected(user->m_sUserId) && (share->m_nGranted & right);
    };
    auto friendOnChannel = [&] {
        if (kind != ZYL_KIND_FRIEND || !m_pUsers)
            return false;
        ZYLUSER* user = nullptr;
        return m_pUsers->Find(item->m_sUserId, &user) >= 0 && user->nMade && user->nConnected1025;
    };
    switch (id) {
    case ZYL_ID_OPEN_FOLDER:
    case ZYL_ID_OPEN_FILE:
        return m_pTaskView->GetShowFinished() && tasks.size() == 1 && tasks.front()->m_bFinished &&
               (tasks.front()->m_bFolder != 0) == (id == ZYL_ID_OPEN_FOLDER);
    case ZYL_ID_PROPERTIES:
        return SelectedLocalShare() != nullptr;
    case ZYL_ID_OPTIONS:
    case ZYL_ID_CLOSE:
    case ZYL_ID_BROWSE_OTHERS:
        return true;
    case ZYL_ID_VIEW_INFO:
    case ZYL_ID_VIEW_USERS:
    case ZYL_ID_VIEW_TASKS:
        check = GetBar(BarOf(id))->isVisible();
        return id != ZYL_ID_VIEW_TASKS || (m_pUserView && m_pTaskView);
    case ZYL_ID_DISCONNECT:
        return ZylInFriendsBranch(kind);
    case ZYL_ID_ADD_SHARED_FOLDER:
    case ZYL_ID_ADD_SHARED_FILE:
        return ZylInLocalBranch(kind);
    case ZYL_ID_CANCEL_SHARES:
        return kind == ZYL_KIND_LOCAL_SHARE || kind == ZYL_KIND_LOCAL_SHARE_FILE ||
               (kind == ZYL_KIND_LOCAL_ROOT && HasFocusIn(m_pShareView) &&
                !m_pShareView->GetSelectedRows().empty());
    case ZYL_ID_REFRESH:
        return (kind & (ZYL_KIND_FRIEND | ZYL_KIND_BRIEFCASE)) != 0;
    case ZYL_ID_DOWNLOAD:
        return below(ZYL_PRIV_DOWNLOAD);
    case ZYL_ID_UPLOAD_FILES:
    case ZYL_ID_UPLOAD_FOLDER:
        return below(ZYL_PRIV_UPLOAD);
    case ZYL_ID_START_ALL:
    case ZYL_ID_STOP_ALL:
        return m_pTasks->GetActiveTaskCount() >= 1 && !ZylInLocalBranch(kind);
    case ZYL_ID_START_TASKS:
        return taskFocus && std::any_of(tasks.begin(), tasks.end(),
                                        [](auto* t) { return !t->m_bRunning && !t->m_bFinished; });
    case ZYL_ID_STOP_TASKS:
        return taskFocus && std::any_of(tasks.begin(), tasks.end(),
                                        [](auto* t) { return t->m_bRunning && !t->m_bFinished; });
    case ZYL_ID_RESTART_TASKS:
    case ZYL_ID_DELETE_TASKS:
        // The friend tree's own forms (all tasks, one friend's tasks) are reachable too.
        return (taskFocus && !tasks.empty()) ||
               (HasFocusIn(m_pUserView) && (kind == ZYL_KIND_FRIENDS_ROOT || kind == ZYL_KIND_FRIEND));
    case ZYL_ID_SHOW_FINISHED:
        check = m_pTaskView->GetShowFinished();
        return true;
    case ZYL_ID_STOP_USER_TASKS:
    case ZYL_ID_START_USER_TASKS:
        return friendOnChannel();
    case ZYL_ID_DELETE_BRIEFCASE:
        return (kind & ZYL_KIND_BRIEFCASE) != 0;
    default:
        return false;
    }
}

void CZylMainFrame::OnToggleBar(int id) {
    QDockWidget* bar = GetBar(BarOf(id));
    bar->setVisible(!bar->isVisible());
}

// ---------------------------------------------------------------------------------------------
// Shares

CZylShareObject* CZylMainFrame::SelectedLocalShare() const {
    if (!m_pShares)
        return nullptr;
    CZylTreeItem* item = m_pUserView->GetSelected();
    CZylShareObject* share = nullptr;
    if (CZylUserView::KindOf(item) == ZYL_KIND_LOCAL_SHARE) {
        m_pShares->FindShareByName(ZylW(item->text(0)), &share);
        return share;
    }
    // A shared file has no tree item: its row in the local shares' list stands for it.
    if (CZylUserView::KindOf(item) == ZYL_KIND_LOCAL_ROOT) {
        const std::vector<int> rows = m_pShareView->GetSelectedRows();
        if (rows.size() == 1) {
            const ZYLFILEROW& row = m_pShareView->GetRow(rows.front());
            if (row.kind == ZYL_KIND_LOCAL_SHARE || row.kind == ZYL_KIND_LOCAL_SHARE_FILE)
                m_pShares->FindShareByName(ZylW(row.shareName), &share);
        }
    }
    return share;
}

bool CZylMainFrame::EditShare(CZylShareObject& share, bool isNew) {
    ZYLSHAREEDIT edit;
    edit.path = m_pShares->GetShareLocalPath(share);
    edit.name = share.GetShareName();
    edit.remark = share.GetType();
    edit.unlimited = share.GetUnlimitedUserNumber() != 0;
    edit.limit = share.GetLimitedUserNumber();
    for (int32_t i = 0; i < share.GetPrivilegedUserCount(); ++i)
        edit.privileges.push_back(*share.GetPrivilegedUser(i, &m_rPlugin.GetHost()));
    while (true) {
        CZylSharePropertiesDialog dialog(*this, edit, this);
        if (Ask().RunDialog(dialog) != QDialog::Accepted)
            return false;
        CZylShareObject* other = nullptr;
        if (m_pShares->FindShareByName(edit.name, &other) >= 0 && (isNew || other != &share)) {
            Ask().Message(this, ZylString(4228), IZylAsk::ZYL_ASK_EXCLAMATION);
            continue; // the dialog opens again with what was typed
        }
        break;
    }
    share.SetShareName(edit.name);
    // The remark is the share's description, which its type text holds and peers see.
    share.SetType(edit.remark);
    share.SetUnlimitedUserNumber(edit.unlimited ? 1 : 0);
    share.SetLimitedUserNumber(edit.limit);
    if (edit.privilegesEdited) {
        share.ClearUsers();
        for (const auto& entry : edit.privileges)
            share.AddPrivilegedUser(entry);
    }
    return true;
}

void CZylMainFrame::OnProperties() {
    CZylShareObject* share = SelectedLocalShare();
    if (!share || !EditShare(*share, false))
        return;
    m_pShares->SaveChanges();
    // The tree and the list show the new name.
    if (CZylTreeItem* item = m_pUserView->GetSelected(); item && item->m_nKind == ZYL_KIND_LOCAL_SHARE)
        item->setText(0, ZylQ(share->GetShareName()));
    if (m_pShareView->GetLayout() == CZylFileListModel::ZYL_LAYOUT_LOCAL_SHARES)
        FillLocalShares();
}

void CZylMainFrame::OnOptions() {
    ZYLOPTIONS options;
    options.noUpload = m_pShares->GetNoUpload() != 0;
    options.autoStart = m_pTasks->GetAutoStartAllTasks() != 0;
    options.maxTasks = m_pTasks->GetMaxTaskNumber();
    CZylOptionsDialog dialog(options, this);
    if (Ask().RunDialog(dialog) != QDialog::Accepted)
        return;
    m_pShares->SetNoUpload(options.noUpload ? 1 : 0); // written at once
    m_pTasks->SetMaxTaskNumber(options.maxTasks);
    m_pTasks->SetAutoStartAllTasks(options.autoStart ? 1 : 0);
    m_pTasks->NoteChange(true);
    m_pTasks->SaveChanges();
}

void CZylMainFrame::OnAddSharedFolder() {
    const QString picked = Ask().PickFolder(this, ZylString(4234));
    if (picked.isEmpty())
        return;
    const QString folder = QDir::cleanPath(QFileInfo(picked).absoluteFilePath());
    if (QFileInfo(folder).isRoot()) {
        Ask().Message(this, ZylString(4235), IZylAsk::ZYL_ASK_EXCLAMATION);
        return;
    }
    if (m_pShares->IsPathShared(ZylW(folder), 1)) {
        Ask().Message(this, ZylString(4236), IZylAsk::ZYL_ASK_EXCLAMATION);
        return;
    }
    const QFileInfo info(folder);
    auto share = std::make_unique<CZylShareObject>();
    share->SetFolder(1);
    share->SetPath(ZylW(info.absolutePath()));
    share->SetName(ZylW(info.fileName()));
    share->SetShareName(ZylW(info.fileName()));
    share->SetType(ZylW(ZylString(4286)));
    share->SetTime(FileTime(folder));
    if (EditShare(*share, true))
        ShowNewShare(std::move(share));
}

void CZylMainFrame::OnAddSharedFile() {
    const QStringList picked =
        Ask().PickFiles(this, ZylString(4226), QString::fromUtf16(ZylTexts::FILE_FILTER), false);
    if (picked.isEmpty())
        return;
    const QFileInfo info(QDir::cleanPath(QFileInfo(picked.front()).absoluteFilePath()));
    if (m_pShares->IsPathShared(ZylW(info.absoluteFilePath()), 0)) {
        Ask().Message(this, ZylString(4227), IZylAsk::ZYL_ASK_EXCLAMATION);
        return;
    }
    auto share = std::make_unique<CZylShareObject>();
    share->SetFolder(0);
    share->SetPath(ZylW(info.absolutePath()));
    share->SetName(ZylW(info.fileName()));
    share->SetShareName(ZylW(info.fileName()));
    share->SetSize(static_cast<uint32_t>(info.size()));
    share->SetType(ZylW(ZylString(4258)));
    share->SetTime(FileTime(info.absoluteFilePath()));
    if (EditShare(*share, true))
        ShowNewShare(std::move(share));
}

void CZylMainFrame::ShowNewShare(std::unique_ptr<CZylShareObject> share) {
    if (m_pShares->AddShare(std::move(share)) < 0)
        return;
    m_pShareView->SetLayout(CZylFileListModel::ZYL_LAYOUT_LOCAL_SHARES);
    // Selected afresh, the local shares root lists every share; already selected, it is refilled.
    if (m_pUserView->GetSelected() == m_pUserView->GetLocalRoot())
        FillLocalShares();
    SelectLocalRoot();
}

void CZylMainFrame::OnCancelShares() {
    if (!Ask().Confirm(this, ZylString(4282)))
        return;
    CZylTreeItem* item = m_pUserView->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    if (kind == ZYL_KIND_LOCAL_ROOT) {
        std::vector<std::u16string> names;
        for (int row : m_pShareView->GetSelectedRows()) {
            const ZYLFILEROW& entry = m_pShareView->GetRow(row);
            if (entry.kind == ZYL_KIND_LOCAL_SHARE || entry.kind == ZYL_KIND_LOCAL_SHARE_FILE)
                names.push_back(ZylW(entry.shareName));
        }
        for (const auto& name : names)
            m_pShares->RemoveShare(name);
        m_pUserView->Select(m_pUserView->GetFriendsRoot()); // so that the local root is selected afresh
    } else if (kind == ZYL_KIND_LOCAL_SHARE) {
        m_pShares->RemoveShare(ZylW(item->text(0)));
        m_pUserView->Select(m_pUserView->GetFriendsRoot());
    }
    SelectLocalRoot();
}

// ---------------------------------------------------------------------------------------------
// Friends

void CZylMainFrame::OnDisconnect() {
    CZylTreeItem* node = CZylUserView::FriendOf(m_pUserView->GetSelected());
    if (!node)
        return;
    const std::u16string id = node->m_sUserId;
    m_pViewers->RemoveViewer(id);
    m_sNotified.erase(id);
    bool hasTask = false;
    for (int32_t i = 0; i < m_pTasks->GetTaskCount() && !hasTask; ++i) {
        const CZylTask* task = m_pTasks->GetTaskAt(i);
        hasTask = task && !task->m_bRemoved && ZylEqualNoCase(task->GetUserId(), id);
    }
    // No longer one the person browses: his channel changes do not bring him back into the tree.
    ZYLUSER* user = nullptr;
    if (m_pUsers->Find(id, &user) >= 0)
        user->bHidden = 1;
    if (!hasTask)
        m_pUsers->Disconnect(id);
    m_pUserView->DeleteItem(node);
}

void CZylMainFrame::OnBrowseOthers() {
    bool confirmed = false;
    const auto ids = ZylPickFriends(*this, ZYL_PICK_BROWSE, 4294, 4295, confirmed);
    if (!confirmed)
        return;
    for (const auto& id : ids) {
        ZYLUSER* user = AddPickedUser(id);
        if (!user) {
            Ask().Message(this, QString::fromUtf16(ZylTexts::ERROR_BOX), IZylAsk::ZYL_ASK_ERROR);
            return;
        }
        m_pUserView->AddFriend(*user);
        BrowseFriend(user->id);
    }
}

void CZylMainFrame::OnRefresh() {
    CZylTreeItem* item = m_pUserView->GetSelected();
    switch (CZylUserView::KindOf(item)) {
    case ZYL_KIND_FRIEND:
        m_pUserView->DeleteChildren(item);
        OnSelectFriend(item->m_sUserId);
        break;
    case ZYL_KIND_FRIEND_SHARE:
    case ZYL_KIND_FRIEND_FOLDER:
    case ZYL_KIND_LOCAL_SHARE:
    case ZYL_KIND_LOCAL_FOLDER:
        // Selected afresh, the item asks for (or lists) its folder anew.
        m_pUserView->DeleteChildren(item);
        m_pUserView->Select(m_pUserView->GetFriendsRoot());
        m_pUserView->Select(item);
        break;
    case ZYL_KIND_LOCAL_ROOT:
        FillLocalShares();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Transfers

bool CZylMainFrame::TaskLimitReached() {
    const int32_t limit = m_pTasks->GetMaxTaskNumber();
    if (limit == -1 || m_pTasks->GetActiveTaskCount() < limit)
        return false;
    Ask().Message(this, ZylString(4212), IZylAsk::ZYL_ASK_EXCLAMATION);
    return true;
}

void CZylMainFrame::AddTaskToView(CZylTask* task) {
    if (task)
        m_pTaskView->AddTask(task);
}

bool CZylMainFrame::CanDrag(DragSource source) const {
    CZylTreeItem* item = m_pUserView->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    if (!ZylInFriendsBranch(kind))
        return false;
    if (kind == ZYL_KIND_FRIEND) {
        // The friend's own listing: rows are shares, each with its own rights.
        if (source != ZYL_DRAG_LIST)
            return false;
        for (int row : m_pShareView->GetSelectedRows())
            if (m_pShareView->GetRow(row).granted & ZYL_PRIV_DOWNLOAD)
                return true;
        return false;
    }
    const CZylTreeItem* share = CZylUserView::ShareOf(item);
    return share && (share->m_nGranted & ZYL_PRIV_DOWNLOAD);
}

void CZylMainFrame::OnDrop(DragSource source) {
    if (m_pTaskView && m_pTaskView->isVisible())
        OnDownload(source);
}

void CZylMainFrame::OnDownload(DragSource source) {
    CZylTreeItem* item = m_pUserView->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    CZylTreeItem* user = CZylUserView::FriendOf(item);
    if (!ZylInFriendsBranch(kind) || !user)
        return;
    const std::u16string friendId = user->m_sUserId;
    CZylTreeItem* share = CZylUserView::ShareOf(item);
    std::u16string folder;
    if (kind != ZYL_KIND_FRIEND) {
        CZylTreeItem* at = item;
        folder = m_pUserView->GetItemFullPath(at, ZYL_KIND_FRIEND_SHARE);
    }
    const bool fromList = source == ZYL_DRAG_LIST || (source == ZYL_DRAG_NONE && HasFocusIn(m_pShareView));

    // What to fetch: the selected rows, or the tree's item itself.
    struct ZYLSOURCE {
        std::u16string remote;
        bool folder;
        CZylDateTime shareTime;
    };
    std::vector<ZYLSOURCE> sources;
    if (fromList) {
        for (int row : m_pShareView->GetSelectedRows()) {
            const ZYLFILEROW& entry = m_pShareView->GetRow(row);
            if (entry.kind == ZYL_KIND_UP)
                continue;
            if (!share && !(entry.granted & ZYL_PRIV_DOWNLOAD))
                continue; // a share of the friend's that may not be downloaded
            sources.push_back(
                {Below(folder, entry.name), entry.folder, share ? share->m_tShareTime : entry.shareTime});
        }
    }
    if (sources.empty()) {
        if (kind == ZYL_KIND_FRIEND || !share)
            return;
        sources.push_back({folder, true, share->m_tShareTime});
    }
    if (TaskLimitReached())
        return;

    if (fromList && sources.size() == 1 && !sources.front().folder) {
        // One file: saved under a name the person chooses.
        const QString name = ZylQ(ZylLastComponent(sources.front().remote, ZYL_SHARE_SEPARATOR));
        const QString path =
            Ask().PickSaveFile(this, ZylString(4261), QString::fromUtf16(ZylTexts::FILE_FILTER), name);
        if (path.isEmpty())
            return;
        const QFileInfo target(path);
        AddTaskToView(m_pTasks->CreateDownloadTask(friendId, sources.front().remote, false,
                                                   ZylW(QDir::cleanPath(target.absolutePath())),
                                                   sources.front().shareTime, ZylW(target.fileName())));
        return;
    }
    const QString picked = Ask().PickFolder(this, ZylString(4262));
    if (picked.isEmpty())
        return;
    const std::u16string local = ZylW(QDir::cleanPath(QFileInfo(picked).absoluteFilePath()));
    for (size_t i = 0; i < sources.size(); ++i) {
        // The limit holds for every task made, not only the first.
        if (i > 0 && TaskLimitReached())
            break;
        AddTaskToView(m_pTasks->CreateDownloadTask(friendId, sources[i].remote, sources[i].folder, local,
                                                   sources[i].shareTime));
    }
}

void CZylMainFrame::OnUpload(bool folderTask) {
    CZylTreeItem* item = m_pUserView->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    CZylTreeItem* user = CZylUserView::FriendOf(item);
    CZylTreeItem* share = CZylUserView::ShareOf(item);
    if ((kind != ZYL_KIND_FRIEND_SHARE && kind != ZYL_KIND_FRIEND_FOLDER) || !user || !share)
        return;
    if (TaskLimitReached())
        return;
    CZylTreeItem* at = item;
    const std::u16string target = m_pUserView->GetItemFullPath(at, ZYL_KIND_FRIEND_SHARE);
    if (folderTask) {
        const QString picked = Ask().PickFolder(this, ZylString(4262));
        if (picked.isEmpty())
            return;
        const QFileInfo info(QDir::cleanPath(QFileInfo(picked).absoluteFilePath()));
        // A folder is named by its own path and its name.
        AddTaskToView(m_pTasks->CreateUploadTask(user->m_sUserId, ZylW(info.absoluteFilePath()),
                                                 ZylW(info.fileName()), true, target, share->m_tShareTime));
        return;
    }
    const QStringList files =
        Ask().PickFiles(this, ZylString(4278), QString::fromUtf16(ZylTexts::FILE_FILTER), true);
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (i > 0 && TaskLimitReached())
            break;
        const QFileInfo info(QDir::cleanPath(QFileInfo(files[i]).absoluteFilePath()));
        AddTaskToView(m_pTasks->CreateUploadTask(user->m_sUserId, ZylW(info.absolutePath()),
                                                 ZylW(info.fileName()), false, target, share->m_tShareTime));
    }
}

std::vector<CZylTask*> CZylMainFrame::SelectedTasks() const {
    return m_pTaskView->GetSelectedTasks();
}

void CZylMainFrame::OnStartTasks() {
    for (CZylTask* task : SelectedTasks()) {
        if (task->m_bRunning || task->m_bFinished)
            continue;
        // Its requests wait in the queue until the friend's channels are open.
        if (!IsConnected(task->GetUserId()))
            m_pUsers->Connect(task->GetUserId());
        task->Start();
    }
    m_pTaskView->Refresh();
}

void CZylMainFrame::OnStopTasks() {
    for (CZylTask* task : SelectedTasks())
        if (task->m_bRunning)
            task->StopTask();
    m_pTaskView->Refresh();
}

void CZylMainFrame::OnRestartTasks() {
    if (HasFocusIn(m_pTaskView)) {
        if (!Ask().Confirm(this, ZylString(4288)))
            return;
        for (CZylTask* task : SelectedTasks())
            task->RestartTask();
    } else if (HasFocusIn(m_pUserView)) {
        CZylTreeItem* item = m_pUserView->GetSelected();
        if (CZylUserView::KindOf(item) == ZYL_KIND_FRIENDS_ROOT) {
            if (!Ask().Confirm(this, ZylString(4277)))
                return;
            m_pTasks->RestartAllTasks();
        } else if (CZylUserView::KindOf(item) == ZYL_KIND_FRIEND) {
            if (!Ask().Confirm(this, ZylString(4276)))
                return;
            m_pTasks->RestartAllTasksOfUser(item->m_sUserId);
        } else {
            return;
        }
    } else {
        return;
    }
    m_pTaskView->Refresh();
}

void CZylMainFrame::OnDeleteTasks() {
    if (HasFocusIn(m_pTaskView)) {
        if (!Ask().Confirm(this, ZylString(4222)))
            return;
        for (CZylTask* task : SelectedTasks())
            m_pTasks->RemoveTaskById(task->m_nTaskID);
        m_pTaskView->Refresh();
        return;
    }
    if (!HasFocusIn(m_pUserView))
        return;
    CZylTreeItem* item = m_pUserView->GetSelected();
    if (CZylUserView::KindOf(item) == ZYL_KIND_FRIENDS_ROOT) {
        if (!Ask().Confirm(this, ZylString(4255)))
            return;
        m_pTasks->RemoveAllTasks();
    } else if (CZylUserView::KindOf(item) == ZYL_KIND_FRIEND) {
        if (!Ask().Confirm(this, ZylString(4257)))
            return;
        m_pTasks->RemoveAllTasksOfUser(item->m_sUserId);
    } else {
        return;
    }
    m_pUserView->Select(m_pUserView->GetFriendsRoot());
    // Rebuilt from the manager, so the other friends' tasks stay in the list.
    m_pTaskView->Clear();
    for (int32_t i = 0; i < m_pTasks->GetTaskCount(); ++i)
        m_pTaskView->AddTask(m_pTasks->GetTaskAt(i));
    m_pTaskView->Refresh();
}

void CZylMainFrame::OpenSelectedTaskResult() {
    const std::vector<CZylTask*> tasks = SelectedTasks();
    if (tasks.size() != 1 || !tasks.front()->m_bFinished)
        return;
    const CZylTask& task = *tasks.front();
    std::u16string path;
    if (!task.m_bFolder && task.m_pFileRecord) {
        path = ZylJoinPath(task.m_pFileRecord->m_sLocalPath, task.m_pFileRecord->m_sLocalName);
    } else if (task.m_bFolder && task.m_pFolderRecord) {
        const CZylTaskFolder& folder = *task.m_pFolderRecord;
        // A download lands in a folder of the remote folder's name; an upload's folder is its own.
        path = task.m_nType == ZYL_TASK_UPLOAD
                   ? folder.m_sLocalPath
                   : ZylJoinPath(folder.m_sLocalPath,
                                 ZylLastComponent(folder.m_sRemoteName, ZYL_SHARE_SEPARATOR));
    }
    if (!path.empty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(ZylQ(path)));
}
