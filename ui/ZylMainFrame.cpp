#include "ui/ZylMainFrame.h"

#include "plugin/ZylInterface.h"
#include "ui/ZylAsk.h"
#include "ui/ZylFrameWindow.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiEvents.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QTreeWidget>

namespace {
constexpr uint32_t ZYL_IDLE_MS = 100;
constexpr uint32_t ZYL_REFRESH_MS = 1000;

// The frames alive in this process. The application deletes them before it goes, while widgets
// can still be deleted, whatever the host does with the module afterwards.
std::set<CZylMainFrame*>& LiveFrames() {
    static std::set<CZylMainFrame*> frames;
    return frames;
}

void DeleteFramesBeforeTheApplication() {
    const auto frames = LiveFrames();
    for (CZylMainFrame* frame : frames)
        delete frame;
}

struct ZYLCOMMAND {
    int id;
    const char* objectName;
};
// Every command of the menu, the bars and the context menus, with the object name of its action.
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
} // namespace

CZylMainFrame::CZylMainFrame(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask, CZylFrameWindow& window)
    : m_rPlugin(plugin), m_pAsk(std::move(ask)), m_rWindow(window) {
    setObjectName(QStringLiteral("mainFrame"));
    if (LiveFrames().empty())
        qAddPostRoutine(DeleteFramesBeforeTheApplication);
    LiveFrames().insert(this);

    setMinimumSize(300, 200);
    CreateActions();
    CreateMenus();
    CreateStatusBar();
    CreateBars();
    m_nIdleTimer = m_rPlugin.GetPlatform().SetTimer(ZYL_IDLE_MS, [this] {
        if (isVisible())
            UpdateCommands();
    });
}

CZylMainFrame::~CZylMainFrame() {
    Teardown();
    m_rWindow.NoteClosed();
    LiveFrames().erase(this);
    if (LiveFrames().empty())
        qRemovePostRoutine(DeleteFramesBeforeTheApplication);
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
}

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
    auto add = [this](QMenu* menu, std::initializer_list<int> ids) {
        for (int id : ids) {
            if (id == 0)
                menu->addSeparator();
            else
                menu->addAction(GetAction(id));
        }
    };
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

    auto* toolbar = addToolBar(QStringLiteral("toolbar"));
    toolbar->setObjectName(QStringLiteral("mainToolBar"));
    for (int id : std::initializer_list<int>{
             ZYL_ID_ADD_SHARED_FOLDER, ZYL_ID_ADD_SHARED_FILE, ZYL_ID_CANCEL_SHARES, 0, ZYL_ID_DOWNLOAD,
             ZYL_ID_UPLOAD_FOLDER, ZYL_ID_UPLOAD_FILES, 0, ZYL_ID_START_TASKS, ZYL_ID_STOP_TASKS,
             ZYL_ID_DELETE_TASKS, 0, ZYL_ID_BROWSE_OTHERS, ZYL_ID_REFRESH, 0, ZYL_ID_OPTIONS}) {
        if (id == 0)
            toolbar->addSeparator();
        else
            toolbar->addAction(GetAction(id));
    }
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
    setCentralWidget(new QWidget(this));
    auto bar = [this](int id, const char16_t* title, const char* name, Qt::DockWidgetArea area,
                      QWidget* pane) {
        auto* dock = new QDockWidget(QString::fromUtf16(title), this);
        dock->setObjectName(QLatin1String(name));
        dock->setWidget(pane);
        addDockWidget(area, dock);
        m_mBars[id] = dock;
    };
    bar(ZYL_ID_INFO_BAR, ZylTexts::INFO_BAR, "infoBar", Qt::RightDockWidgetArea, new QTextEdit(this));
    bar(ZYL_ID_TASK_BAR, ZylTexts::TASK_BAR, "taskBar", Qt::BottomDockWidgetArea, new QTreeWidget(this));
    bar(ZYL_ID_USER_BAR, ZylTexts::USER_BAR, "userBar", Qt::LeftDockWidgetArea, new QTreeWidget(this));
}

void CZylMainFrame::UpdateLockPanes() {
    // Qt cannot ask the keyboard for its lock states: the panes follow the keys the frame sees.
    m_pCapsPane->setEnabled(m_pCapsPane->property("on").toBool());
    m_pScrollPane->setEnabled(m_pScrollPane->property("on").toBool());
}

void CZylMainFrame::keyPressEvent(QKeyEvent* event) {
    QMainWindow::keyPressEvent(event);
}

bool CZylMainFrame::event(QEvent* event) {
    if (!CZylWindowEvent::IsZylEvent(event))
        return QMainWindow::event(event);
    auto* message = static_cast<CZylWindowEvent*>(event);
    switch (message->Message()) {
    case WM_ZYL_OPEN:
        if (const auto* request = reinterpret_cast<const ZYLOPENREQUEST*>(message->First()))
            OnOpen(*request, message->Second() != 0);
        break;
    case WM_ZYL_TRAY:
        OnTray(message->First(), message->Second());
        break;
    default:
        break;
    }
    return true;
}

void CZylMainFrame::OnOpen(const ZYLOPENREQUEST& request, bool existed) {
    if (!existed) {
        m_pUsers = request.pUserList;
        m_pViewers = request.pViewerManager;
        m_pTasks = request.pTaskManager;
        m_pShares = request.pShareManager;
    }
    IZylPlatform& platform = m_rPlugin.GetPlatform();
    if (m_nRefreshTimer)
        platform.KillTimer(m_nRefreshTimer);
    m_nRefreshTimer = platform.SetTimer(ZYL_REFRESH_MS, [this] { OnRefreshTimer(); });
    show();
}

void CZylMainFrame::OnTray(intptr_t id, intptr_t mouse) {
    if (id == ZYL_TRAY_ICON_ID && (mouse == ZYL_TRAY_LEFT_BUTTON_DOWN || mouse == 516))
        show();
}

void CZylMainFrame::OnRefreshTimer() {}

void CZylMainFrame::UpdateCommands() {
    for (auto& [id, action] : m_mActions) {
        bool checked = false;
        action->setEnabled(IsCommandEnabled(id, &checked));
        if (action->isCheckable())
            action->setChecked(checked);
    }
}

bool CZylMainFrame::IsCommandEnabled(int id, bool* checked) const {
    switch (id) {
    case ZYL_ID_OPTIONS:
    case ZYL_ID_CLOSE:
    case ZYL_ID_BROWSE_OTHERS:
        return true;
    case ZYL_ID_VIEW_INFO:
    case ZYL_ID_VIEW_USERS:
    case ZYL_ID_VIEW_TASKS: {
        const int bar = id == ZYL_ID_VIEW_INFO    ? ZYL_ID_INFO_BAR
                        : id == ZYL_ID_VIEW_USERS ? ZYL_ID_USER_BAR
                                                  : ZYL_ID_TASK_BAR;
        if (checked)
            *checked = GetBar(bar)->isVisible();
        return true;
    }
    default:
        return false;
    }
}

void CZylMainFrame::RunCommand(int id) {
    switch (id) {
    case ZYL_ID_CLOSE:
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        break;
    case ZYL_ID_VIEW_INFO:
    case ZYL_ID_VIEW_USERS:
    case ZYL_ID_VIEW_TASKS:
        OnToggleBar(id);
        break;
    default:
        break;
    }
}

void CZylMainFrame::PostCommand(int id) {
    QMetaObject::invokeMethod(
        this, [this, id] { RunCommand(id); }, Qt::QueuedConnection);
}

void CZylMainFrame::OnToggleBar(int id) {
    const int bar = id == ZYL_ID_VIEW_INFO    ? ZYL_ID_INFO_BAR
                    : id == ZYL_ID_VIEW_USERS ? ZYL_ID_USER_BAR
                                              : ZYL_ID_TASK_BAR;
    QDockWidget* dock = GetBar(bar);
    dock->setVisible(!dock->isVisible());
}

void CZylMainFrame::closeEvent(QCloseEvent* event) {
    Teardown();
    m_rWindow.NoteClosed();
    event->accept();
    deleteLater();
}

void CZylMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    m_rWindow.NoteVisible(true);
}

void CZylMainFrame::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    m_rWindow.NoteVisible(false);
}

void CZylMainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
}

void CZylMainFrame::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
}

int32_t CZylMainFrame::InfoPrintf(int32_t level, const std::u16string& text) {
    return m_rPlugin.WriteLog(level, text);
}
