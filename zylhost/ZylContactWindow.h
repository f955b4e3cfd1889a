// The contact window: the users the host knows with their presence, updated as it changes, the
// commands that open the plug-in's window on one's own shares or on a friend's, the editing of
// the contacts, and the way out (logging out, closing the window).
#pragma once

#include <QMainWindow>

class CZylDesktopHost;
class IZylPrompts;
class QAction;
class QTreeWidget;

class CZylContactWindow : public QMainWindow {
    Q_OBJECT
public:
    CZylContactWindow(CZylDesktopHost& host, IZylPrompts& prompts, const QString& broker,
                      QWidget* parent = nullptr);

    // Logs out; with ask, first asks whether to while files are being transferred. False when the
    // person chose to stay.
    bool RequestLogout(bool ask);
    // Selects the user's row; false when the user is not listed.
    bool SelectUser(const QString& id);
    QString SelectedUser() const;

    QTreeWidget* UserList() const { return m_pList; }
    QAction* SharingAction() const { return m_pSharing; }
    QAction* BrowseAction() const { return m_pBrowse; }
    QAction* AddAction() const { return m_pAdd; }
    QAction* RenameAction() const { return m_pRename; }
    QAction* RemoveAction() const { return m_pRemove; }
    QAction* TrustAction() const { return m_pTrust; }
    QAction* LogoutAction() const { return m_pLogout; }
    QAction* QuitAction() const { return m_pQuit; }

signals:
    // The user is logged out; again asks for the login form once more.
    void Finished(bool again);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Refill();
    void UpdateActions();
    void OnBrowse();
    void OnAdd();
    void OnRename();
    void OnRemove();
    void OnTrust();
    void OnSessionEnded(const QString& sentence);
    void Finish(bool again);

    CZylDesktopHost& m_rHost;
    IZylPrompts& m_rPrompts;
    QTreeWidget* m_pList = nullptr;
    QAction* m_pSharing = nullptr;
    QAction* m_pBrowse = nullptr;
    QAction* m_pAdd = nullptr;
    QAction* m_pRename = nullptr;
    QAction* m_pRemove = nullptr;
    QAction* m_pTrust = nullptr;
    QAction* m_pLogout = nullptr;
    QAction* m_pQuit = nullptr;
    bool m_bFinished = false;
};
