#include "ui/ZylMainFrame.h"

#include "core/ZylLog.h"
#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "ui/ZylAddressBar.h"
#include "ui/ZylAsk.h"
#include "ui/ZylDialogs.h"
#include "ui/ZylFileIcons.h"
#include "ui/ZylFrameWindow.h"
#include "ui/ZylInfoView.h"
#include "ui/ZylShareView.h"
#include "ui/ZylStrings.h"
#include "ui/ZylTaskView.h"
#include "ui/ZylTray.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiEvents.h"
#include "ui/ZylUiImages.h"
#include "ui/ZylUserView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>

#include <filesystem>

namespace {
constexpr uint32_t ZYL_IDLE_MS = 100;
constexpr uint32_t ZYL_REFRESH_MS = 1000;
constexpr intptr_t ZYL_TRAY_RIGHT_BUTTON_DOWN = 516;

// The frames alive in this process. The application deletes them before it goes, while widgets
// can still be deleted, whatever the host does with the module afterwards. A namespace-scope
// object: made when the module is loaded, it outlives the module's other objects (the plug-in
// among them, which is made on the first call), so they may still delete frames as they go.
std::set<CZylMainFrame*> g_sLiveFrames;

std::set<CZylMainFrame*>& LiveFrames() {
    return g_sLiveFrames;
}

void DeleteFramesBeforeTheApplication() {
    const auto frames = LiveFrames();
    for (CZylMainFrame* frame : frames)
        delete frame;
}

// The asker the frame's parts use: while a question runs its event loop, the frame knows it must
// not be deleted under it.
class CZylGuardedAsk final : public IZylAsk {
public:
    CZylGuardedAsk(CZylMainFrame& frame, IZylAsk& ask) : m_rFrame(frame), m_rAsk(ask) {}

private:
    template <typename F> auto Guarded(F ask) {
        m_rFrame.EnterModal();
        auto answer = ask();
        const bool closed = m_rFrame.IsClosed();
        m_rFrame.LeaveModal();
        // A question asked of a frame that went meanwhile counts as cancelled.
        if (closed)
            return decltype(answer){};
        return answer;
    }

public:
    QString PickFolder(QWidget* parent, const QString& title) override {
        return Guarded([&] { return m_rAsk.PickFolder(parent, title); });
    }
    QStringList PickFiles(QWidget* parent, const QString& title, const QString& filter,
                          bool several) override {
        return Guarded([&] { return m_rAsk.PickFiles(parent, title, filter, several); });
    }
    QString PickSaveFile(QWidget* parent, const QString& title, const QString& filter,
                         const QString& proposed) override {
        return Guarded([&] { return m_rAsk.PickSaveFile(parent, title, filter, proposed); });
    }
    bool Confirm(QWidget* parent, const QString& text) override {
        return Guarded([&] { return m_rAsk.Confirm(parent, text); });
    }
    void Message(QWidget* parent, const QString& text, Icon icon) override {
        Guarded([&] {
            m_rAsk.Message(parent, text, icon);
            return 0;
        });
    }
    int RunDialog(QDialog& dialog) override {
        return Guarded([&] { return m_rAsk.RunDialog(dialog); });
    }
    QAction* RunMenu(QMenu& menu, const QPoint& globalPos) override {
        return Guarded([&] { return m_rAsk.RunMenu(menu, globalPos); });
    }

private:
    CZylMainFrame& m_rFrame;
    IZylAsk& m_rAsk;
};

struct ZYLCOMMAND {
    int id;
    const char* objectName;
};
// Every command of the menu and the bars, with the object name of its action.
constexpr ZYLCOMMAND g_commands[] = {
    {ZYL_ID_OPEN_FOLDER, "actionOpenFolder"},
    {ZYL_ID_OPEN_FILE, "actionOpenFile"},
    {ZYL_ID_PROPERTIES, "actionProperties"},
    {ZYL_ID_OPTIONS, "actionOptions"},
    {ZYL_ID_CLOSE, "actionClose"},
    {ZYL_ID_VIEW_INFO, "actionViewInfo"},
    {ZYL_ID_VIEW_USERS, "actionViewUsers"},
    {ZYL_ID_VIEW_TASKS, "actionViewTasks"},
    {ZYL_ID_DISCONNECT, "actionDisconnect"},
    {ZYL_ID_BROWSE_OTHERS, "actionBrowseOthers"},
    {ZYL_ID_ADD_SHARED_FOLDER, "actionAddSharedFolder"},
    {ZYL_ID_ADD_SHARED_FILE, "actionAddSharedFile"},
    {ZYL_ID_CANCEL_SHARES, "actionCancelShares"},
    {ZYL_ID_REFRESH, "actionRefresh"},
    {ZYL_ID_DOWNLOAD, "actionDownload"},
    {ZYL_ID_UPLOAD_FILES, "actionUploadFiles"},
    {ZYL_ID_UPLOAD_FOLDER, "actionUploadFolder"},
    {ZYL_ID_START_ALL, "actionStartAll"},
    {ZYL_ID_STOP_ALL, "actionStopAll"},
    {ZYL_ID_START_TASKS, "actionStartTasks"},
    {ZYL_ID_STOP_TASKS, "actionStopTasks"},
    {ZYL_ID_RESTART_TASKS, "actionRestartTasks"},
    {ZYL_ID_DELETE_TASKS, "actionDeleteTasks"},
    {ZYL_ID_SHOW_FINISHED, "actionShowFinished"},
    {ZYL_ID_STOP_USER_TASKS, "actionStopUserTasks"},
    {ZYL_ID_START_USER_TASKS, "actionStartUserTasks"},
    {ZYL_ID_DELETE_BRIEFCASE, "actionDeleteBriefcase"},
};

CZylDateTime FileTime(const std::filesystem::path& path) {
    CZylDateTime time;
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(path, ec);
    if (!ec)
        FileTimeToZylTime(written, time);
    return time;
}
} // namespace

CZylMainFrame::CZylMainFrame(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask, CZylFrameWindow& window)
    : m_rPlugin(plugin), m_pAsk(std::move(ask)),
      m_pGuardedAsk(std::make_unique<CZylGuardedAsk>(*this, *m_pAsk)), m_pWindow(&window) {
    setObjectName(QStringLiteral("mainFrame"));
    if (LiveFrames().empty())
        qAddPostRoutine(DeleteFramesBeforeTheApplication);
    LiveFrames().insert(this);

    setWindowTitle(ZylString(4237));
    setWindowIcon(ZylFrameIcon());
    setMinimumSize(300, 200);
    resize(960, 640);
    CreateActions();
    CreateMenus();
    CreateStatusBar();
    CreateBars();
    m_pTray = new CZylTray(*this);
    m_nIdleTimer = m_rPlugin.GetPlatform().SetTimer(ZYL_IDLE_MS, [this] {
        // Command states are kept current while the window can be seen.
        if (isVisible())
            UpdateCommands();
    });
}

CZylMainFrame::~CZylMainFrame() {
    Teardown();
    if (m_pWindow)
        m_pWindow->NoteClosed();
    LiveFrames().erase(this);
    if (LiveFrames().empty())
        qRemovePostRoutine(DeleteFramesBeforeTheApplication);
}

void CZylMainFrame::Release() {
    Teardown();
    m_pWindow = nullptr;
    if (m_nModal == 0) {
        delete this;
        return;
    }
    m_bDeletePending = true;
    // The questions on screen end as if cancelled; the frame goes when the last has returned.
    for (QDialog* dialog : findChildren<QDialog*>())
        dialog->reject();
    for (QMenu* menu : findChildren<QMenu*>())
        menu->close();
    hide();
}

void CZylMainFrame::DeleteAll() {
    DeleteFramesBeforeTheApplication();
}

void CZylMainFrame::LeaveModal() {
    if (--m_nModal == 0 && m_bDeletePending)
        deleteLater();
}

void CZylMainFrame::Teardown() {
    if (m_bTornDown)
        return;
    m_bTornDown = true;
    IZylPlatform& platform = m_rPlugin.GetPlatform();
    if (m_nIdleTimer)
        platform.KillTimer(m_nIdleTimer);
    if (m_nRefreshTimer)
        platform.KillTimer(m_nRefreshTimer);
    m_nIdleTimer = m_nRefreshTimer = 0;
    m_pTray->Remove();
    // Viewers outlive the window: from now on their listings are refused, not sent here.
    if (m_pViewers) {
        for (const auto& id : m_sNotified)
            if (CZylViewer* viewer = m_pViewers->FindViewer(id);
                viewer && m_pWindow && viewer->GetNotifyWindow() == m_pWindow)
                viewer->SetNotifyWindow(nullptr);
    }
    m_sNotified.clear();
}

// ---------------------------------------------------------------------------------------------
// Layout

void CZylMainFrame::CreateActions() {
    for (const auto& command : g_commands) {
        auto* action = new QAction(ZylMenuText(command.id), this);
        action->setObjectName(QLatin1String(command.objectName));
        action->setStatusTip(ZylString(command.id));
        action->setData(command.id);
        const int id = command.id;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        m_mActions[command.id] = action;
    }
    for (int id : {ZYL_ID_VIEW_INFO, ZYL_ID_VIEW_USERS, ZYL_ID_VIEW_TASKS, ZYL_ID_SHOW_FINISHED})
        m_mActions[id]->setCheckable(true);
    QStyle* style = QApplication::style();
    GetAction(ZYL_ID_ADD_SHARED_FOLDER)->setIcon(style->standardIcon(QStyle::SP_FileDialogNewFolder));
    GetAction(ZYL_ID_ADD_SHARED_FILE)->setIcon(style->standardIcon(QStyle::SP_FileIcon));
    GetAction(ZYL_ID_CANCEL_SHARES)->setIcon(style->standardIcon(QStyle::SP_DialogCancelButton));
    GetAction(ZYL_ID_DOWNLOAD)->setIcon(ZylTaskImage(0));
    GetAction(ZYL_ID_UPLOAD_FILES)->setIcon(ZylTaskImage(1));
    GetAction(ZYL_ID_UPLOAD_FOLDER)->setIcon(style->standardIcon(QStyle::SP_DirIcon));
    GetAction(ZYL_ID_START_TASKS)->setIcon(style->standardIcon(QStyle::SP_MediaPlay));
    GetAction(ZYL_ID_STOP_TASKS)->setIcon(style->standardIcon(QStyle::SP_MediaPause));
    GetAction(ZYL_ID_DELETE_TASKS)->setIcon(style->standardIcon(QStyle::SP_TrashIcon));
    GetAction(ZYL_ID_BROWSE_OTHERS)->setIcon(ZylTreeImage(0));
    GetAction(ZYL_ID_REFRESH)->setIcon(style->standardIcon(QStyle::SP_BrowserReload));
    GetAction(ZYL_ID_OPTIONS)->setIcon(style->standardIcon(QStyle::SP_FileDialogDetailedView));
}

QAction* CZylMainFrame::GetAction(int id) const {
    auto it = m_mActions.find(id);
    return it == m_mActions.end() ? nullptr : it->second;
}

QDockWidget* CZylMainFrame::GetBar(int id) const {
    auto it = m_mBars.find(id);
    return it == m_mBars.end() ? nullptr : it->second;
}

void CZylMainFrame::CreateMenus() {
    auto add = [this](QWidget* menu, std::initializer_list<int> ids) {
        for (int id : ids) {
            if (id == 0) {
                auto* separator = new QAction(menu);
                separator->setSeparator(true);
                menu->addAction(separator);
            } else {
                menu->addAction(GetAction(id));
            }
        }
    };
    menuBar()->setObjectName(QStringLiteral("menuBar"));
    add(menuBar()->addMenu(QString::fromUtf16(ZylTexts::MENU_FILE)),
        {ZYL_ID_OPEN_FOLDER, ZYL_ID_OPEN_FILE, 0, ZYL_ID_PROPERTIES, ZYL_ID_OPTIONS, 0, ZYL_ID_CLOSE});
    add(menuBar()->addMenu(QString::fromUtf16(ZylTexts::MENU_VIEW)),
        {ZYL_ID_VIEW_INFO, ZYL_ID_VIEW_USERS, ZYL_ID_VIEW_TASKS, 0, ZYL_ID_DISCONNECT, ZYL_ID_BROWSE_OTHERS});
    add(menuBar()->addMenu(QString::fromUtf16(ZylTexts::MENU_SHARING)),
        {ZYL_ID_ADD_SHARED_FOLDER, ZYL_ID_ADD_SHARED_FILE, ZYL_ID_CANCEL_SHARES, 0, ZYL_ID_REFRESH, 0,
         ZYL_ID_DOWNLOAD, ZYL_ID_UPLOAD_FILES, ZYL_ID_UPLOAD_FOLDER});
    add(menuBar()->addMenu(QString::fromUtf16(ZylTexts::MENU_TASKS)),
        {ZYL_ID_START_ALL, ZYL_ID_STOP_ALL, 0, ZYL_ID_START_TASKS, ZYL_ID_STOP_TASKS, ZYL_ID_RESTART_TASKS,
         ZYL_ID_DELETE_TASKS, 0, ZYL_ID_SHOW_FINISHED});
    // The commands no menu holds still belong to the window, so their states are kept too.
    addActions({GetAction(ZYL_ID_STOP_USER_TASKS), GetAction(ZYL_ID_START_USER_TASKS),
                GetAction(ZYL_ID_DELETE_BRIEFCASE)});

    auto* toolbar = addToolBar(ZylString(4237));
    toolbar->setObjectName(QStringLiteral("mainToolBar"));
    toolbar->setIconSize(QSize(16, 16));
    add(toolbar, {ZYL_ID_ADD_SHARED_FOLDER, ZYL_ID_ADD_SHARED_FILE, ZYL_ID_CANCEL_SHARES, 0, ZYL_ID_DOWNLOAD,
                  ZYL_ID_UPLOAD_FOLDER, ZYL_ID_UPLOAD_FILES, 0, ZYL_ID_START_TASKS, ZYL_ID_STOP_TASKS,
                  ZYL_ID_DELETE_TASKS, 0, ZYL_ID_BROWSE_OTHERS, ZYL_ID_REFRESH, 0, ZYL_ID_OPTIONS});
    addToolBarBreak();
    m_pAddressBar = new CZylAddressBar(*this, this);
    addToolBar(Qt::TopToolBarArea, m_pAddressBar);
}

void CZylMainFrame::CreateStatusBar() {
    m_pCapsPane = new QLabel(QString::fromUtf16(ZylTexts::CAPS_LOCK), this);
    m_pCapsPane->setObjectName(QStringLiteral("capsLockPane"));
    m_pScrollPane = new QLabel(QString::fromUtf16(ZylTexts::SCROLL_LOCK), this);
    m_pScrollPane->setObjectName(QStringLiteral("scrollLockPane"));
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    statusBar()->addPermanentWidget(m_pCapsPane);
    statusBar()->addPermanentWidget(m_pScrollPane);
    UpdateLockPanes();
}

void CZylMainFrame::CreateBars() {
    m_pShareView = new CZylShareView(*this, this);
    setCentralWidget(m_pShareView);
    m_pInfoView = new CZylInfoView(this);
    m_pTaskView = new CZylTaskView(*this, this);
    m_pUserView = new CZylUserView(*this, this);
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowNestedDocks);
    auto bar = [this](int id, const char16_t* title, const char* name, Qt::DockWidgetArea area,
                      QWidget* pane) {
        auto* dock = new QDockWidget(QString::fromUtf16(title), this);
        dock->setObjectName(QLatin1String(name));
        dock->setWidget(pane);
        addDockWidget(area, dock);
        m_mBars[id] = dock;
        return dock;
    };
    QDockWidget* info =
        bar(ZYL_ID_INFO_BAR, ZylTexts::INFO_BAR, "infoBar", Qt::RightDockWidgetArea, m_pInfoView);
    QDockWidget* tasks =
        bar(ZYL_ID_TASK_BAR, ZylTexts::TASK_BAR, "taskBar", Qt::BottomDockWidgetArea, m_pTaskView);
    QDockWidget* users =
        bar(ZYL_ID_USER_BAR, ZylTexts::USER_BAR, "userBar", Qt::LeftDockWidgetArea, m_pUserView);
    resizeDocks({users, info}, {200, 240}, Qt::Horizontal);
    resizeDocks({tasks}, {170}, Qt::Vertical);
}

void CZylMainFrame::UpdateLockPanes() {
    // Qt cannot ask the keyboard for its lock states: the panes follow the lock keys the frame
    // sees, and start off.
    m_pCapsPane->setEnabled(m_pCapsPane->property("on").toBool());
    m_pScrollPane->setEnabled(m_pScrollPane->property("on").toBool());
}

void CZylMainFrame::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_CapsLock)
        m_pCapsPane->setProperty("on", !m_pCapsPane->property("on").toBool());
    else if (event->key() == Qt::Key_ScrollLock)
        m_pScrollPane->setProperty("on", !m_pScrollPane->property("on").toBool());
    UpdateLockPanes();
    QMainWindow::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------------
// The window messages

bool CZylMainFrame::event(QEvent* event) {
    if (!CZylWindowEvent::IsZylEvent(event))
        return QMainWindow::event(event);
    auto* message = static_cast<CZylWindowEvent*>(event);
    if (m_bTornDown)
        return true; // a closed frame waits only to be deleted
    switch (message->Message()) {
    case WM_ZYL_OPEN:
        if (const auto* request = reinterpret_cast<const ZYLOPENREQUEST*>(message->First()))
            OnOpen(*request, message->Second() != 0);
        break;
    case WM_ZYL_FRIEND_ROOT:
        OnFriendRootPackage(reinterpret_cast<CZylViewer*>(message->First()));
        break;
    case WM_ZYL_FRIEND_FOLDER:
        OnFriendFolderPackage(reinterpret_cast<CZylViewer*>(message->First()));
        break;
    case WM_ZYL_USER_CHANGED:
        OnUserChanged(reinterpret_cast<const ZYLUSER*>(message->First()));
        break;
    case WM_ZYL_TRAY:
        OnTray(message->First(), message->Second());
        break;
    case WM_ZYL_INFO_LINE:
        m_pInfoView->AppendLine(static_cast<int32_t>(message->First()), message->Text(false));
        break;
    case WM_ZYL_BUILD_ADDRESS:
        m_pAddressBar->BuildAddressTree(m_pUserView);
        break;
    case WM_ZYL_ADDRESS_SELCHANGED:
        OnAddressSelChanged(message->Text(true));
        break;
    default:
        break;
    }
    return true;
}

void CZylMainFrame::OnOpen(const ZYLOPENREQUEST& request, bool existed) {
    if (!existed || !m_pTasks) {
        m_pUsers = request.pUserList;
        m_pViewers = request.pViewerManager;
        m_pTasks = request.pTaskManager;
        m_pShares = request.pShareManager;
        if (!m_pUsers || !m_pViewers || !m_pTasks || !m_pShares)
            return;
        m_pUserView->Attach();
        m_pTaskView->SetTaskManager(m_pTasks);
        for (int32_t i = 0; i < m_pTasks->GetTaskCount(); ++i)
            m_pTaskView->AddTask(m_pTasks->GetTaskAt(i));
        FillLocalShares();
    }
    IZylPlatform& platform = m_rPlugin.GetPlatform();
    if (m_nRefreshTimer)
        platform.KillTimer(m_nRefreshTimer);
    m_nRefreshTimer = platform.SetTimer(ZYL_REFRESH_MS, [this] { OnRefreshTimer(); });

    std::u16string user;
    if (request.pUserId) {
        user = request.pUserId;
        if (ZYLUSER* record = AddPickedUser(user))
            m_pUserView->AddFriend(*record);
    }
    if (request.nMode == 1)
        SelectLocalRoot();
    else if (request.nMode == 2 && !user.empty())
        BrowseFriend(user);
    m_pTray->Remove();
    if (!isVisible())
        show();
}

void CZylMainFrame::OnFriendRootPackage(CZylViewer* viewer) {
    if (!viewer)
        return;
    CZylTreeItem* node = m_pUserView->FindFriend(viewer->GetUserID());
    if (!node) {
        viewer->ClearItems();
        return;
    }
    m_pUserView->DeleteChildren(node);
    // The file list shows the friend's shares only while his node is selected.
    const bool selected = m_pUserView->GetSelected() == node;
    std::vector<ZYLFILEROW> rows;
    for (int32_t i = 0; i < viewer->GetItemCount(); ++i) {
        const CZylShareObject* share = viewer->GetItem(i);
        if (!share || !(share->GetGrantedPrivilege() & ZYL_PRIV_BROWSE))
            continue;
        const bool folder = share->GetFolder() != 0;
        m_pUserView->AddFriendShare(node, *share); // a folder share only
        if (selected) {
            ZYLFILEROW row = m_pShareView->MakeRow(
                ZylQ(share->GetShareName()), {}, folder ? -1 : static_cast<int64_t>(share->GetSize()),
                ZylQ(share->GetType()), ZylQ(share->GetTime().ToText()),
                folder ? CZylFileIcons::ZYL_IMAGE_FOLDER : CZylFileIcons::ZYL_IMAGE_FILE,
                folder ? ZYL_KIND_FRIEND_SHARE : ZYL_KIND_FRIEND_SHARE_FILE);
            row.granted = share->GetGrantedPrivilege();
            row.shareTime = share->GetShareTime();
            rows.push_back(std::move(row));
        }
    }
    if (selected) {
        m_pShareView->Clear();
        m_pShareView->SetLayout(CZylFileListModel::ZYL_LAYOUT_LISTING);
        m_pShareView->AddRows(std::move(rows));
    }
    node->sortChildren(0, Qt::AscendingOrder);
    node->setExpanded(true);
    viewer->ClearItems();
}

void CZylMainFrame::OnFriendFolderPackage(CZylViewer* viewer) {
    if (!viewer)
        return;
    CZylTreeItem* at = m_pUserView->FindFriend(viewer->GetUserID());
    if (!at) {
        viewer->ClearItems();
        return;
    }
    const std::u16string path = viewer->GetCurrentFolder().substr(0, ZYL_SHARE_TEXT_LIMIT + 1);
    // Down the tree one component at a time; a folder no longer in the tree changes nothing.
    for (const QString& component : ZylQ(path).split(QLatin1Char('\\'))) {
        CZylTreeItem* next = CZylUserView::ChildByText(at, component);
        if (!next) {
            viewer->ClearItems();
            InfoPrintf(ZYL_LOG_ACTIVITY, ZylTexts::NO_FOLDER_TRACE);
            return;
        }
        at = next;
    }
    m_pUserView->DeleteChildren(at);
    const bool selected = m_pUserView->GetSelected() == at;
    std::vector<ZYLFILEROW> rows;
    rows.reserve(selected ? static_cast<size_t>(viewer->GetItemCount()) : 0);
    for (int32_t i = 0; i < viewer->GetItemCount(); ++i) {
        const CZylShareObject* entry = viewer->GetItem(i);
        if (!entry)
            continue;
        const bool folder = entry->GetFolder() != 0;
        const QString name = ZylQ(entry->GetShareName());
        if (folder)
            m_pUserView->AddFolder(at, name, ZYL_KIND_FRIEND_FOLDER);
        if (selected)
            rows.push_back(m_pShareView->MakeRow(
                name, {}, folder ? -1 : static_cast<int64_t>(entry->GetSize()), ZylQ(entry->GetType()),
                ZylQ(entry->GetTime().ToText()), folder ? CZylFileIcons::ZYL_IMAGE_FOLDER : -2,
                folder ? ZYL_KIND_FRIEND_FOLDER : ZYL_KIND_FRIEND_FILE));
    }
    if (selected) {
        m_pShareView->Clear();
        m_pShareView->SetLayout(CZylFileListModel::ZYL_LAYOUT_LISTING);
        m_pShareView->AddUpRow();
        m_pShareView->AddRows(std::move(rows));
    }
    at->sortChildren(0, Qt::AscendingOrder);
    at->setExpanded(true);
    viewer->ClearItems();
}

void CZylMainFrame::OnUserChanged(const ZYLUSER* user) {
    if (!user)
        return;
    if (CZylTreeItem* node = m_pUserView->FindFriend(user->id))
        m_pUserView->UpdateFriend(node, *user);
    else
        m_pUserView->AddFriend(*user);
    QCoreApplication::postEvent(this, new CZylWindowEvent(WM_ZYL_BUILD_ADDRESS, 0, 0));
}

void CZylMainFrame::OnTray(intptr_t id, intptr_t mouse) {
    if (id != ZYL_TRAY_ICON_ID || (mouse != ZYL_TRAY_LEFT_BUTTON_DOWN && mouse != ZYL_TRAY_RIGHT_BUTTON_DOWN))
        return;
    show();
    m_pTray->Remove();
}

void CZylMainFrame::OnAddressSelChanged(const std::u16string& path) {
    QStringList components = ZylQ(path).split(QLatin1Char('|'));
    CZylTreeItem* at =
        components.front() == ZylString(4221) ? m_pUserView->GetFriendsRoot() : m_pUserView->GetLocalRoot();
    for (qsizetype i = 1; i < components.size(); ++i) {
        CZylTreeItem* next = CZylUserView::ChildByText(at, components[i]);
        if (!next)
            break;
        at = next;
    }
    m_pUserView->Select(at);
}

// ---------------------------------------------------------------------------------------------
// What the views ask

int32_t CZylMainFrame::InfoPrintf(int32_t level, const std::u16string& text) {
    // One log line per message: a line feed at its end would leave an empty line in the log.
    std::u16string_view line = text;
    while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r'))
        line.remove_suffix(1);
    return m_rPlugin.WriteLog(level, line);
}

bool CZylMainFrame::IsConnected(const std::u16string& user) const {
    return m_pUsers && m_pUsers->IsConnected(user, 0) != 0;
}

bool CZylMainFrame::HasFocusIn(const QWidget* widget) const {
    const QWidget* focus = focusWidget();
    return widget && focus && (focus == widget || widget->isAncestorOf(focus));
}

ZYLUSER* CZylMainFrame::AddPickedUser(const std::u16string& id) {
    if (!m_pUsers || id.empty() || id.size() > ZYL_USERID_LIMIT)
        return nullptr;
    auto record = ZylUserList::MakeRecord(id, 0);
    record->name = m_rPlugin.GetDisplayName(id).substr(0, ZYL_MAX_NAME - 1);
    ZYLUSER* kept = nullptr;
    m_pUsers->Add(std::move(record), &kept);
    if (kept)
        kept->bHidden = 0;
    return kept;
}

void CZylMainFrame::AttachViewer(const std::u16string& id) {
    if (CZylViewer* viewer = m_pViewers && m_pWindow ? m_pViewers->AddViewer(id) : nullptr) {
        viewer->SetNotifyWindow(m_pWindow);
        m_sNotified.insert(viewer->GetUserID());
    }
}

void CZylMainFrame::BrowseFriend(const std::u16string& id) {
    CZylTreeItem* node = m_pUserView->FindFriend(id);
    if (!node)
        return;
    AttachViewer(id);
    if (m_pUserView->GetSelected() == node)
        OnSelectFriend(node->m_sUserId);
    else
        m_pUserView->Select(node); // its selection handling asks for the shares
    node->setExpanded(true);
}

void CZylMainFrame::OnSelectFriend(const std::u16string& user) {
    if (!m_pUsers || !m_pViewers)
        return;
    if (m_pUserView->GetSelected())
        m_pShareView->Clear();
    // Selecting a friend browses him, also one whose viewer went with a disconnect.
    AttachViewer(user);
    if (!IsConnected(user)) {
        // Pending first: a host may report the channels open before Connect returns.
        m_pViewers->SetRootPending(user, 1);
        m_pUsers->Connect(user);
    } else {
        m_pViewers->RequestShareRootInfo(user);
    }
    InfoPrintf(ZYL_LOG_ACTIVITY, ZylW(ZylString(36809)) + user);
}

void CZylMainFrame::SelectLocalRoot() {
    m_pUserView->Select(m_pUserView->GetLocalRoot());
    m_pUserView->GetLocalRoot()->setExpanded(true);
    m_pAddressBar->SetText({});
}

namespace {
ZYLFILEROW LocalShareRow(CZylShareView& view, const CZylShareObject& share) {
    const bool folder = share.GetFolder() != 0;
    QString type = ZylQ(share.GetType());
    if (type.isEmpty())
        type = ZylString(folder ? 4286 : 4258);
    return view.MakeRow(ZylQ(share.GetName()), ZylQ(share.GetShareName()),
                        folder ? -1 : static_cast<int64_t>(share.GetSize()), type,
                        ZylQ(share.GetShareTime().ToText()),
                        folder ? CZylFileIcons::ZYL_IMAGE_FOLDER : CZylFileIcons::ZYL_IMAGE_FILE,
                        folder ? ZYL_KIND_LOCAL_SHARE : ZYL_KIND_LOCAL_SHARE_FILE);
}
} // namespace

void CZylMainFrame::FillLocalShares() {
    if (!m_pShares)
        return;
    m_pUserView->DeleteChildren(m_pUserView->GetLocalRoot());
    m_pShareView->Clear();
    m_pShareView->SetLayout(CZylFileListModel::ZYL_LAYOUT_LOCAL_SHARES);
    std::vector<ZYLFILEROW> rows;
    for (int32_t i = 0; i < m_pShares->GetShareCount(); ++i) {
        const CZylShareObject* share = m_pShares->GetShare(i);
        if (!share)
            continue;
        m_pUserView->AddLocalShare(*share);
        rows.push_back(LocalShareRow(*m_pShareView, *share));
    }
    m_pShareView->AddRows(std::move(rows));
}

void CZylMainFrame::OpenFolder(const std::u16string& path, uint32_t kind, const std::u16string& user) {
    m_pShareView->Clear();
    CZylTreeItem* item = m_pUserView->GetSelected();
    if (kind == ZYL_KIND_LOCAL_SHARE || kind == ZYL_KIND_LOCAL_FOLDER) {
        if (!m_pShares || !item)
            return;
        m_pShareView->SetLayout(CZylFileListModel::ZYL_LAYOUT_LISTING);
        m_pShareView->AddUpRow();
        m_pUserView->DeleteChildren(item);
        // The share path is resolved as a peer's would be: nothing outside the shared item.
        CZylShareObject* share = nullptr;
        std::u16string local;
        if (m_pShares->ResolveSharePath(path, share, local) == ZYL_SHARE_PATH_OK && share &&
            share->GetFolder()) {
            std::vector<ZYLFILEROW> folders, files;
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(ZylToFsPath(local), ec)) {
                const std::u16string name = ZylFromFsPath(entry.path().filename());
                const CZylDateTime time = FileTime(entry.path());
                std::error_code kindError;
                if (entry.is_directory(kindError)) {
                    m_pUserView->AddFolder(item, ZylQ(name), ZYL_KIND_LOCAL_FOLDER);
                    folders.push_back(
                        m_pShareView->MakeRow(ZylQ(name), {}, -1, ZylString(4241), ZylQ(time.ToText()),
                                              CZylFileIcons::ZYL_IMAGE_FOLDER, ZYL_KIND_LOCAL_FOLDER));
                } else if (entry.is_regular_file(kindError)) {
                    const std::string utf8 = entry.path().string();
                    std::error_code sizeError;
                    const auto size = static_cast<int64_t>(entry.file_size(sizeError));
                    files.push_back(m_pShareView->MakeRow(ZylQ(name), {}, sizeError ? 0 : size,
                                                          ZylQ(m_rPlugin.GetPlatform().GetFileTypeName(utf8)),
                                                          ZylQ(time.ToText()), -1, ZYL_KIND_LOCAL_FILE,
                                                          QString::fromStdString(utf8)));
                }
            }
            m_pShareView->AddRows(std::move(folders));
            m_pShareView->AddRows(std::move(files));
        }
        item->setExpanded(true);
    } else if (kind == ZYL_KIND_FRIEND_SHARE || kind == ZYL_KIND_FRIEND_FOLDER) {
        if (!m_pViewers || !item)
            return;
        AttachViewer(user);
        const CZylTreeItem* share = CZylUserView::ShareOf(item);
        m_pViewers->RequestExplorerFolder(user, path, share ? share->m_tShareTime : CZylDateTime());
        InfoPrintf(ZYL_LOG_ACTIVITY, ZylW(ZylString(36812)) + path + ZylW(ZylString(36813)) + user);
    }
    m_pAddressBar->SetText(ZylQ(path));
}

// ---------------------------------------------------------------------------------------------
// Timers and the window's own events

void CZylMainFrame::OnRefreshTimer() {
    if (!m_pTaskView || !m_pUserView || !m_pTasks)
        return;
    if (GetBar(ZYL_ID_TASK_BAR)->isVisible() && !m_bRefreshing) {
        m_bRefreshing = true;
        m_pTaskView->Refresh();
        m_bRefreshing = false;
    }
    if (m_pTasks->GetActiveTaskCount() == 0)
        m_pTray->Remove();
}

void CZylMainFrame::HideToTray() {
    if (m_pTray->Add())
        hide();
    else
        showMinimized(); // no tray to come back from: the window stays in reach
}

void CZylMainFrame::closeEvent(QCloseEvent* event) {
    // The person closes the window (its close button or the close command) while transfers run:
    // they go on with the window out of the way. Any other close (the application quitting, or
    // closing all its windows) is not refused, or the host could never quit.
    const bool person = event->spontaneous() || m_bPersonCloses;
    if (person && !m_bTornDown && m_pTasks && m_pTasks->GetActiveTaskCount() > 0) {
        event->ignore();
        HideToTray();
        return;
    }
    Teardown();
    if (m_pWindow)
        m_pWindow->NoteClosed();
    event->accept();
    deleteLater();
}

void CZylMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_pWindow)
        m_pWindow->NoteVisible(isVisible());
    PostWidth();
}

void CZylMainFrame::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    if (m_pWindow)
        m_pWindow->NoteVisible(isVisible());
}

void CZylMainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    PostWidth();
}

void CZylMainFrame::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    PostWidth();
}

void CZylMainFrame::PostWidth() {
    if (m_pAddressBar)
        QCoreApplication::postEvent(m_pAddressBar, new CZylWindowEvent(WM_ZYL_ADDRESS_RESIZE, width(), 0));
}
