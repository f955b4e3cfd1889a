// The plug-in's one window: the friend tree, the file list, the task list and the info pane in
// their bars, the menu with every command, the toolbar, the address bar and the status bar. It
// keeps references to the engine's managers (it owns none of them), keeps the commands' states
// current, and turns the engine's messages into changes of its views.
#pragma once

#include <QMainWindow>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CZylAddressBar;
class CZylFrameWindow;
class CZylInfoView;
class CZylInterface;
class CZylShareManager;
class CZylShareObject;
class CZylShareView;
class CZylTask;
class CZylTaskManager;
class CZylTaskView;
class CZylTray;
class CZylUserView;
class CZylViewer;
class CZylViewerManager;
class IZylAsk;
class QAction;
class QDockWidget;
class QLabel;
class QTreeWidgetItem;
class ZylUserList;
struct ZYLOPENREQUEST;
struct ZYLUSER;

class CZylMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Where dragged items come from.
    enum DragSource { ZYL_DRAG_NONE, ZYL_DRAG_TREE, ZYL_DRAG_LIST };

    CZylMainFrame(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask, CZylFrameWindow& window);
    ~CZylMainFrame() override;

    CZylUserView* GetUserView() const { return m_pUserView; }
    CZylShareView* GetShareView() const { return m_pShareView; }
    CZylTaskView* GetTaskView() const { return m_pTaskView; }
    CZylInfoView* GetInfoView() const { return m_pInfoView; }
    CZylAddressBar* GetAddressBar() const { return m_pAddressBar; }
    CZylTray* GetTray() const { return m_pTray; }
    QAction* GetAction(int id) const;
    QDockWidget* GetBar(int id) const;
    // The questions to the person; while one is asked the frame is not deleted under it.
    IZylAsk& Ask() const { return *m_pGuardedAsk; }
    CZylInterface& Plugin() const { return m_rPlugin; }
    // The engine's window while it holds the frame; null once it let go.
    CZylFrameWindow* Window() const { return m_pWindow; }

    // The engine's window lets go (logout, or the module going): the destroy handling runs and
    // the frame is deleted, at once or, while a question is being asked, as soon as that
    // question (which is cancelled) returns.
    void Release();
    // Every frame of the module, deleted at once (the module is going).
    static void DeleteAll();
    // A question or a drag (each runs an event loop of its own) starts and ends.
    void EnterModal() { ++m_nModal; }
    void LeaveModal();
    // Closed or released: what a command does after a question is dropped.
    bool IsClosed() const { return m_bTornDown; }

    // The engine's managers, from the first open request (null before it).
    ZylUserList* Users() const { return m_pUsers; }
    CZylViewerManager* Viewers() const { return m_pViewers; }
    CZylTaskManager* Tasks() const { return m_pTasks; }
    CZylShareManager* Shares() const { return m_pShares; }

    // A command as the menu runs it, and as a context menu posts it (it runs once the menu is
    // gone). Neither looks at the command's enabled state.
    void RunCommand(int id);
    void PostCommand(int id);
    // The command states: every action's enabled and checked state from the views and managers.
    void UpdateCommands();
    bool IsCommandEnabled(int id, bool* checked = nullptr) const;
    // The once-a-second refresh of the task list and the tray.
    void OnRefreshTimer();

    // What the views ask of the frame.
    void OnSelectFriend(const std::u16string& user);
    void SelectLocalRoot();
    void FillLocalShares();
    void OpenFolder(const std::u16string& path, uint32_t kind, const std::u16string& user);
    void OpenSelectedTaskResult();
    bool CanDrag(DragSource source) const;
    void OnDrop(DragSource source);

    // A line for the info pane and the log; -1 while the plug-in is not logged in.
    int32_t InfoPrintf(int32_t level, const std::u16string& text);
    bool IsConnected(const std::u16string& user) const;
    bool HasFocusIn(const QWidget* widget) const;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateBars();
    void CreateStatusBar();
    void PostWidth();
    void UpdateLockPanes();

    // The engine's messages.
    void OnOpen(const ZYLOPENREQUEST& request, bool existed);
    void OnFriendRootPackage(CZylViewer* viewer);
    void OnFriendFolderPackage(CZylViewer* viewer);
    void OnUserChanged(const ZYLUSER* user);
    void OnTray(intptr_t id, intptr_t mouse);
    void OnAddressSelChanged(const std::u16string& path);

    // Commands.
    void OnProperties();
    void OnOptions();
    void OnDisconnect();
    void OnBrowseOthers();
    void OnAddSharedFolder();
    void OnAddSharedFile();
    void OnCancelShares();
    void OnRefresh();
    void OnDownload(DragSource source);
    void OnUpload(bool folder);
    void OnStartAll();
    void OnStartTasks();
    void OnStopTasks();
    void OnRestartTasks();
    void OnDeleteTasks();
    void OnToggleBar(int id);

    // Helpers of the commands.
    ZYLUSER* AddPickedUser(const std::u16string& id);
    void BrowseFriend(const std::u16string& id);
    void AttachViewer(const std::u16string& id);
    bool TaskLimitReached();
    bool EditShare(CZylShareObject& share, bool isNew);
    void ShowNewShare(std::unique_ptr<CZylShareObject> share);
    CZylShareObject* SelectedLocalShare() const;
    std::vector<CZylTask*> SelectedTasks() const;
    void AddTaskToView(CZylTask* task);
    void HideToTray();
    // The destroy handling: timers, tray and the viewers' notify windows; safe to run twice.
    void Teardown();

    CZylInterface& m_rPlugin;
    std::shared_ptr<IZylAsk> m_pAsk;
    std::unique_ptr<IZylAsk> m_pGuardedAsk;
    CZylFrameWindow* m_pWindow;
    int m_nModal = 0;
    bool m_bDeletePending = false;

    CZylShareView* m_pShareView = nullptr;
    CZylUserView* m_pUserView = nullptr;
    CZylTaskView* m_pTaskView = nullptr;
    CZylInfoView* m_pInfoView = nullptr;
    CZylAddressBar* m_pAddressBar = nullptr;
    CZylTray* m_pTray = nullptr;
    QLabel* m_pCapsPane = nullptr;
    QLabel* m_pScrollPane = nullptr;
    std::map<int, QAction*> m_mActions;
    std::map<int, QDockWidget*> m_mBars;

    ZylUserList* m_pUsers = nullptr;
    CZylViewerManager* m_pViewers = nullptr;
    CZylTaskManager* m_pTasks = nullptr;
    CZylShareManager* m_pShares = nullptr;

    uintptr_t m_nIdleTimer = 0;
    uintptr_t m_nRefreshTimer = 0;
    bool m_bRefreshing = false;
    bool m_bPersonCloses = false; // the close command runs
    bool m_bTornDown = false;
    // The users whose viewers were given this window: they let go of it when it goes.
    std::set<std::u16string> m_sNotified;
};
