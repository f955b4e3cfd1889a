#include "zylhost/ZylContactWindow.h"

#include "zylhost/ZylDesktopHost.h"
#include "zylhost/ZylPrompts.h"

#include <QAction>
#include <QCloseEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QTreeWidget>

namespace {
constexpr int ZYL_ID_ROLE = Qt::UserRole;
constexpr int ZYL_KEY_CHANGED_ROLE = Qt::UserRole + 1;
} // namespace

CZylContactWindow::CZylContactWindow(CZylDesktopHost& host, IZylPrompts& prompts, const QString& broker,
                                     QWidget* parent)
    : QMainWindow(parent), m_rHost(host), m_rPrompts(prompts) {
    setWindowTitle(QStringLiteral("%1 - Contacts").arg(host.UserId()));
    resize(320, 460);

    m_pList = new QTreeWidget(this);
    m_pList->setColumnCount(2);
    m_pList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("User id")});
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_pList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    setCentralWidget(m_pList);

    const QStyle* look = style();
    m_pSharing =
        new QAction(look->standardIcon(QStyle::SP_DirHomeIcon), QStringLiteral("File sharing"), this);
    m_pSharing->setStatusTip(QStringLiteral("Open the file-sharing window with your own shares"));
    m_pBrowse =
        new QAction(look->standardIcon(QStyle::SP_DirOpenIcon), QStringLiteral("Browse shares"), this);
    m_pBrowse->setStatusTip(QStringLiteral("Open the file-sharing window on the selected contact's shares"));
    m_pAdd = new QAction(QStringLiteral("&Add contact..."), this);
    m_pRename = new QAction(QStringLiteral("&Rename contact..."), this);
    m_pRemove = new QAction(QStringLiteral("Re&move contact"), this);
    m_pTrust = new QAction(QStringLiteral("&Trust new key"), this);
    m_pTrust->setStatusTip(QStringLiteral("Accept the new key the selected contact shows"));
    m_pLogout = new QAction(QStringLiteral("Log &out"), this);
    m_pQuit = new QAction(QStringLiteral("&Quit"), this);
    m_pQuit->setShortcut(QKeySequence::Quit);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(m_pSharing);
    file->addAction(m_pBrowse);
    file->addSeparator();
    file->addAction(m_pLogout);
    file->addAction(m_pQuit);
    QMenu* contacts = menuBar()->addMenu(QStringLiteral("&Contacts"));
    contacts->addAction(m_pAdd);
    contacts->addAction(m_pRename);
    contacts->addAction(m_pRemove);
    contacts->addSeparator();
    contacts->addAction(m_pTrust);
    QToolBar* tools = addToolBar(QStringLiteral("Commands"));
    tools->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    tools->addAction(m_pSharing);
    tools->addAction(m_pBrowse);
    m_pList->addActions({m_pBrowse, m_pRename, m_pRemove, m_pAdd, m_pTrust});

    connect(m_pSharing, &QAction::triggered, this, [this] { m_rHost.OpenSharing(); });
    connect(m_pBrowse, &QAction::triggered, this, &CZylContactWindow::OnBrowse);
    connect(m_pAdd, &QAction::triggered, this, &CZylContactWindow::OnAdd);
    connect(m_pRename, &QAction::triggered, this, &CZylContactWindow::OnRename);
    connect(m_pRemove, &QAction::triggered, this, &CZylContactWindow::OnRemove);
    connect(m_pTrust, &QAction::triggered, this, &CZylContactWindow::OnTrust);
    connect(m_pLogout, &QAction::triggered, this, [this] {
        if (RequestLogout(true))
            Finish(true);
    });
    connect(m_pQuit, &QAction::triggered, this, &QWidget::close);
    connect(m_pList, &QTreeWidget::itemSelectionChanged, this, &CZylContactWindow::UpdateActions);
    connect(m_pList, &QTreeWidget::itemDoubleClicked, this, &CZylContactWindow::OnBrowse);
    connect(&m_rHost, &CZylDesktopHost::UsersChanged, this, &CZylContactWindow::Refill);
    connect(&m_rHost, &CZylDesktopHost::BrokerStateChanged, this,
            [this](const QString& text) { statusBar()->showMessage(text); });
    connect(&m_rHost, &CZylDesktopHost::SessionEnded, this, &CZylContactWindow::OnSessionEnded);

    statusBar()->showMessage(QStringLiteral("%1 is online at %2").arg(host.UserId(), broker));
    Refill();
}

void CZylContactWindow::Refill() {
    const QString selected = SelectedUser();
    m_pList->clear();
    for (const CZylDesktopHost::USER& user : m_rHost.Users()) {
        auto* item = new QTreeWidgetItem(m_pList, {user.sName.isEmpty() ? user.sId : user.sName, user.sId});
        item->setIcon(0, ZylPresenceIcon(user.bOnline));
        item->setData(0, ZYL_ID_ROLE, user.sId);
        item->setToolTip(0, user.bOnline ? QStringLiteral("online") : QStringLiteral("offline"));
        // The key's fingerprint, for two people to compare over another channel; a changed key is
        // marked with the transport's own sentence.
        if (!user.sKeyRefusal.isEmpty()) {
            item->setIcon(1, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            item->setToolTip(1, user.sKeyRefusal);
            item->setData(0, ZYL_KEY_CHANGED_ROLE, true);
        } else if (!user.sFingerprint.isEmpty()) {
            item->setToolTip(1, QStringLiteral("Key fingerprint: %1").arg(user.sFingerprint));
        }
        if (user.sId == selected)
            item->setSelected(true);
    }
    UpdateActions();
}

QString CZylContactWindow::SelectedUser() const {
    const QList<QTreeWidgetItem*> items = m_pList->selectedItems();
    return items.isEmpty() ? QString() : items.front()->data(0, ZYL_ID_ROLE).toString();
}

bool CZylContactWindow::SelectUser(const QString& id) {
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_pList->topLevelItem(i);
        if (item->data(0, ZYL_ID_ROLE).toString().compare(id, Qt::CaseInsensitive) == 0) {
            m_pList->setCurrentItem(item);
            item->setSelected(true);
            return true;
        }
    }
    return false;
}

void CZylContactWindow::UpdateActions() {
    const QString id = SelectedUser();
    const bool loggedIn = m_rHost.IsLoggedIn();
    m_pSharing->setEnabled(loggedIn);
    m_pBrowse->setEnabled(loggedIn && !id.isEmpty() && m_rHost.IsOnline(id));
    m_pRename->setEnabled(!id.isEmpty());
    m_pRemove->setEnabled(!id.isEmpty() && m_rHost.Contacts().Has(id));
    const QList<QTreeWidgetItem*> items = m_pList->selectedItems();
    m_pTrust->setEnabled(loggedIn && !items.isEmpty() &&
                         items.front()->data(0, ZYL_KEY_CHANGED_ROLE).toBool());
}

void CZylContactWindow::OnBrowse() {
    const QString id = SelectedUser();
    if (!id.isEmpty() && m_rHost.IsOnline(id))
        m_rHost.BrowseShares(id);
}

void CZylContactWindow::OnAdd() {
    QString id, name;
    if (!m_rPrompts.EditContact(QStringLiteral("Add contact"), id, name, false))
        return;
    if (const QString problem = m_rHost.SetContact(id, name); !problem.isEmpty())
        m_rPrompts.ShowError(problem);
}

void CZylContactWindow::OnRename() {
    QString id = SelectedUser();
    if (id.isEmpty())
        return;
    QString name = m_rHost.Contacts().Name(id);
    if (!m_rPrompts.EditContact(QStringLiteral("Rename contact"), id, name, true))
        return;
    if (const QString problem = m_rHost.SetContact(SelectedUser(), name); !problem.isEmpty())
        m_rPrompts.ShowError(problem);
}

void CZylContactWindow::OnRemove() {
    if (const QString problem = m_rHost.RemoveContact(SelectedUser()); !problem.isEmpty())
        m_rPrompts.ShowError(problem);
}

// Asks first with the transport's sentence, which names both fingerprints to compare.
void CZylContactWindow::OnTrust() {
    const QList<QTreeWidgetItem*> items = m_pList->selectedItems();
    if (items.isEmpty() ||
        !m_rPrompts.Confirm(QStringLiteral("Trust new key"),
                            QStringLiteral("%1. Trust the new key?").arg(items.front()->toolTip(1))))
        return;
    if (const QString problem = m_rHost.TrustNewKey(SelectedUser()); !problem.isEmpty())
        m_rPrompts.ShowError(problem);
}

bool CZylContactWindow::RequestLogout(bool ask) {
    if (m_bFinished)
        return true;
    const QStringList peers = m_rHost.TransferPeers();
    if (ask && !peers.isEmpty() &&
        !m_rPrompts.Confirm(QStringLiteral("Log out"),
                            QStringLiteral("Files are being transferred with %1; log out anyway? Unfinished "
                                           "transfers go on at the next login.")
                                .arg(peers.join(QStringLiteral(", ")))))
        return false;
    m_rHost.Logout();
    return true;
}

void CZylContactWindow::closeEvent(QCloseEvent* event) {
    if (!RequestLogout(true)) {
        event->ignore();
        return;
    }
    event->accept();
    Finish(false);
}

void CZylContactWindow::OnSessionEnded(const QString& sentence) {
    m_rPrompts.ShowError(sentence);
    Finish(false);
}

void CZylContactWindow::Finish(bool again) {
    if (m_bFinished)
        return;
    m_bFinished = true;
    hide();
    emit Finished(again);
}
