#include "ui/ZylUserView.h"

#include "core/ZylPath.h"
#include "core/ZylPlatform.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "core/ZylUserList.h"
#include "plugin/ZylInterface.h"
#include "share/ZylShareObject.h"
#include "ui/ZylAsk.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylShareView.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiEvents.h"
#include "ui/ZylUiImages.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHelpEvent>
#include <QMenu>
#include <QMimeData>
#include <QToolTip>

namespace {
QIcon FolderIcon() {
    // A folder looks open while it is selected.
    static const QIcon icon = [] {
        QIcon folder;
        for (int size : {16, 32}) {
            folder.addPixmap(ZylTreeImage(5).pixmap(size, size), QIcon::Normal);
            folder.addPixmap(ZylTreeImage(6).pixmap(size, size), QIcon::Selected);
        }
        return folder;
    }();
    return icon;
}
} // namespace

CZylUserView::CZylUserView(CZylMainFrame& frame, QWidget* parent) : QTreeWidget(parent), m_rFrame(frame) {
    setObjectName(QStringLiteral("friendTree"));
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setContextMenuPolicy(Qt::DefaultContextMenu);

    m_pFriendsRoot = new CZylTreeItem(ZYL_KIND_FRIENDS_ROOT);
    m_pFriendsRoot->setText(0, ZylString(4221));
    m_pFriendsRoot->setIcon(0, ZylTreeImage(0));
    m_pLocalRoot = new CZylTreeItem(ZYL_KIND_LOCAL_ROOT);
    m_pLocalRoot->setText(0, ZylString(4243));
    m_pLocalRoot->setIcon(0, ZylTreeImage(4));
    for (auto* root : {m_pFriendsRoot, m_pLocalRoot}) {
        root->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        addTopLevelItem(root);
    }
    connect(this, &QTreeWidget::currentItemChanged, this, [this] { OnSelChanged(); });
}

CZylTreeItem* CZylUserView::AddFriend(const ZYLUSER& user) {
    if (CZylTreeItem* existing = FindFriend(user.id))
        return existing;
    auto* item = new CZylTreeItem(ZYL_KIND_FRIEND);
    item->m_sUserId = user.id;
    item->setText(0, ZylQ(user.name.empty() ? user.id : user.name));
    item->setIcon(0, ZylTreeImage(user.nMade && user.nConnected1024 ? 1 : 2));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    int at = 0;
    while (at < m_pFriendsRoot->childCount() && m_pFriendsRoot->child(at)->text(0) <= item->text(0))
        ++at;
    m_pFriendsRoot->insertChild(at, item);
    return item;
}

void CZylUserView::UpdateFriend(CZylTreeItem* item, const ZYLUSER& user) {
    item->setIcon(0, ZylTreeImage(user.nMade && user.nConnected1024 && user.nConnected1025 ? 1 : 2));
    item->setText(0, ZylQ(user.name.empty() ? user.id : user.name));
}

CZylTreeItem* CZylUserView::FindFriend(std::u16string_view id) const {
    for (int i = 0; i < m_pFriendsRoot->childCount(); ++i) {
        CZylTreeItem* item = Item(m_pFriendsRoot->child(i));
        if (item->m_nKind == ZYL_KIND_FRIEND && ZylEqualNoCase(item->m_sUserId, id))
            return item;
    }
    return nullptr;
}

CZylTreeItem* CZylUserView::AddFriendShare(CZylTreeItem* parent, const CZylShareObject& share) {
    if (!parent || !share.GetFolder())
        return nullptr;
    auto* item = new CZylTreeItem(ZYL_KIND_FRIEND_SHARE);
    item->setText(0, ZylQ(share.GetShareName()));
    item->setIcon(0, FolderIcon());
    item->m_nGranted = share.GetGrantedPrivilege();
    item->m_tShareTime = share.GetShareTime();
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled);
    parent->addChild(item);
    return item;
}

CZylTreeItem* CZylUserView::AddLocalShare(const CZylShareObject& share) {
    if (!share.GetFolder())
        return nullptr;
    auto* item = new CZylTreeItem(ZYL_KIND_LOCAL_SHARE);
    item->setText(0, ZylQ(share.GetShareName()));
    item->setIcon(0, FolderIcon());
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_pLocalRoot->addChild(item);
    return item;
}

CZylTreeItem* CZylUserView::AddFolder(CZylTreeItem* parent, const QString& text, uint32_t kind) {
    if (!parent)
        return nullptr;
    auto* item = new CZylTreeItem(kind);
    item->setText(0, text);
    item->setIcon(0, FolderIcon());
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (ZylInFriendsBranch(kind))
        flags |= Qt::ItemIsDragEnabled;
    item->setFlags(flags);
    parent->addChild(item);
    return item;
}

void CZylUserView::DeleteChildren(QTreeWidgetItem* item) {
    if (!item)
        return;
    ++m_nQuiet;
    for (QTreeWidgetItem* at = currentItem(); at; at = at->parent()) {
        if (at->parent() == item) {
            setCurrentItem(item);
            break;
        }
    }
    qDeleteAll(item->takeChildren());
    --m_nQuiet;
}

void CZylUserView::DeleteItem(QTreeWidgetItem* item) {
    if (!item || item == m_pFriendsRoot || item == m_pLocalRoot)
        return;
    DeleteChildren(item);
    QTreeWidgetItem* parent = item->parent();
    if (currentItem() == item && parent) {
        // The parent is selected in the item's place, as a person would see it.
        Select(parent);
    }
    if (parent)
        delete parent->takeChild(parent->indexOfChild(item));
}

void CZylUserView::Select(QTreeWidgetItem* item) {
    if (item)
        setCurrentItem(item);
}

std::u16string CZylUserView::GetItemFullPath(CZylTreeItem*& item, uint32_t stopKind) const {
    auto text = [](const QTreeWidgetItem* at) {
        return std::u16string(ZylTrimTrailingSeparator(ZylW(at->text(0)), ZYL_SHARE_SEPARATOR));
    };
    std::u16string path = text(item);
    while (item->m_nKind != stopKind) {
        auto* parent = Item(item->parent());
        if (!parent)
            break;
        path = text(parent) + ZYL_SHARE_SEPARATOR + path;
        item = parent;
    }
    m_rFrame.InfoPrintf(3, u"CZylUserView::GetItemFullPath, path=" + path);
    return path;
}

CZylTreeItem* CZylUserView::FriendOf(QTreeWidgetItem* item) {
    for (auto* at = Item(item); at; at = Item(at->parent()))
        if (at->m_nKind == ZYL_KIND_FRIEND)
            return at;
    return nullptr;
}

CZylTreeItem* CZylUserView::ShareOf(QTreeWidgetItem* item) {
    for (auto* at = Item(item); at; at = Item(at->parent()))
        if (at->m_nKind == ZYL_KIND_FRIEND_SHARE)
            return at;
    return nullptr;
}

CZylTreeItem* CZylUserView::ChildByText(QTreeWidgetItem* item, const QString& text) {
    for (int i = 0; item && i < item->childCount(); ++i)
        if (item->child(i)->text(0) == text)
            return Item(item->child(i));
    return nullptr;
}

void CZylUserView::OnSelChanged() {
    CZylTreeItem* item = GetSelected();
    if (!m_bAttached || m_nQuiet || !item)
        return;
    CZylShareView* list = m_rFrame.GetShareView();
    switch (item->m_nKind) {
    case ZYL_KIND_FRIEND_SHARE:
    case ZYL_KIND_FRIEND_FOLDER: {
        CZylTreeItem* at = item;
        const std::u16string path = GetItemFullPath(at, ZYL_KIND_FRIEND_SHARE);
        if (CZylTreeItem* user = FriendOf(item))
            m_rFrame.OpenFolder(path, item->m_nKind, user->m_sUserId);
        break;
    }
    case ZYL_KIND_FRIEND_SHARE_FILE:
    case ZYL_KIND_FRIEND_FILE:
    case ZYL_KIND_LOCAL_SHARE_FILE:
    case ZYL_KIND_LOCAL_FILE:
    case ZYL_KIND_FRIENDS_ROOT:
        list->Clear();
        break;
    case ZYL_KIND_FRIEND:
        m_rFrame.OnSelectFriend(item->m_sUserId);
        break;
    case ZYL_KIND_LOCAL_ROOT:
        m_rFrame.FillLocalShares();
        break;
    case ZYL_KIND_LOCAL_SHARE:
        m_rFrame.OpenFolder(ZylW(item->text(0)), ZYL_KIND_LOCAL_SHARE, {});
        break;
    case ZYL_KIND_LOCAL_FOLDER: {
        CZylTreeItem* at = item;
        m_rFrame.OpenFolder(GetItemFullPath(at, ZYL_KIND_LOCAL_SHARE), ZYL_KIND_LOCAL_FOLDER, {});
        break;
    }
    default:
        break;
    }
    QCoreApplication::postEvent(&m_rFrame, new CZylWindowEvent(WM_ZYL_BUILD_ADDRESS, 0, 0));
}

std::unique_ptr<QMenu> CZylUserView::BuildContextMenu(CZylTreeItem* item) {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("friendTreeMenu"));
    const uint32_t kind = KindOf(item);
    bool connected = false;
    uint16_t granted = 0;
    if (kind == ZYL_KIND_FRIEND_SHARE || kind == ZYL_KIND_FRIEND_FOLDER) {
        if (CZylTreeItem* user = FriendOf(item))
            connected = m_rFrame.IsConnected(user->m_sUserId);
        if (CZylTreeItem* share = ShareOf(item))
            granted = share->m_nGranted;
    }
    auto add = [&](int id, int text, bool enabled) {
        QAction* action = menu->addAction(ZylString(text));
        action->setData(id);
        action->setEnabled(enabled);
        action->setObjectName(QStringLiteral("menu%1").arg(id));
    };
    add(ZYL_ID_PROPERTIES, 4219, kind == ZYL_KIND_LOCAL_SHARE);
    menu->addSeparator();
    add(ZYL_ID_REFRESH, 4248, (kind & (ZYL_KIND_LOCAL_ROOT | ZYL_KIND_FRIEND)) != 0);
    add(ZYL_ID_BROWSE_OTHERS, 4280, true);
    add(ZYL_ID_DISCONNECT, 4281, ZylInFriendsBranch(kind));
    menu->addSeparator();
    add(ZYL_ID_ADD_SHARED_FOLDER, 4215, kind == ZYL_KIND_LOCAL_ROOT);
    add(ZYL_ID_ADD_SHARED_FILE, 4216, kind == ZYL_KIND_LOCAL_ROOT);
    add(ZYL_ID_CANCEL_SHARES, 4259, kind == ZYL_KIND_LOCAL_SHARE);
    menu->addSeparator();
    add(ZYL_ID_DOWNLOAD, 4239, connected && (granted & ZYL_PRIV_DOWNLOAD));
    add(ZYL_ID_UPLOAD_FOLDER, 4246, connected && (granted & ZYL_PRIV_UPLOAD));
    add(ZYL_ID_UPLOAD_FILES, 4247, connected && (granted & ZYL_PRIV_UPLOAD));
    return menu;
}

void CZylUserView::contextMenuEvent(QContextMenuEvent* event) {
    CZylTreeItem* item = Item(itemAt(event->pos()));
    if (!item)
        return;
    Select(item);
    auto menu = BuildContextMenu(item);
    if (QAction* chosen = m_rFrame.Ask().RunMenu(*menu, event->globalPos()))
        m_rFrame.PostCommand(chosen->data().toInt());
}

QString CZylUserView::ToolTipFor(const CZylTreeItem* item) const {
    if (!item)
        return {};
    const QString text = item->text(0);
    switch (item->m_nKind) {
    case ZYL_KIND_FRIEND:
        return QStringLiteral("%1\n%2").arg(text, ZylQ(item->m_sUserId));
    case ZYL_KIND_FRIEND_SHARE:
    case ZYL_KIND_FRIEND_FOLDER:
        return QStringLiteral("%1\n%2").arg(text, ZylString(4293));
    case ZYL_KIND_LOCAL_ROOT: {
        const CZylShareManager* shares = m_rFrame.Shares();
        return QStringLiteral("%1\n%2%3%4")
            .arg(text, ZylString(4252))
            .arg(shares ? shares->GetShareCount() : 0)
            .arg(ZylString(4251));
    }
    case ZYL_KIND_LOCAL_SHARE: {
        CZylShareObject* share = nullptr;
        if (!m_rFrame.Shares() || m_rFrame.Shares()->FindShareByName(ZylW(text), &share) < 0)
            return text;
        // What everybody may do, how many users have rights of their own, and who is connected.
        QStringList rights;
        const uint16_t everyone = share->GetEveryonePrivilege();
        for (const auto& [bit, id] : {std::pair{ZYL_PRIV_BROWSE, 4238}, std::pair{ZYL_PRIV_DOWNLOAD, 4239},
                                      std::pair{ZYL_PRIV_UPLOAD, 4240}})
            if (everyone & bit)
                rights << ZylString(id);
        const int users =
            share->GetPrivilegedUserCount() - (share->FindPrivilegedUser(ZYL_EVERYONE) >= 0 ? 1 : 0);
        QString line = rights.join(QLatin1Char(' '));
        if (users > 0)
            line += QStringLiteral(" +%1%2").arg(users).arg(ZylString(4253));
        return QStringLiteral("%1\n%2\n%3%4")
            .arg(text, line)
            .arg(share->GetCurrentUserCount())
            .arg(ZylString(4283));
    }
    default:
        return text;
    }
}

bool CZylUserView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString tip = ToolTipFor(Item(itemAt(help->pos())));
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, viewport());
        return true;
    }
    return QTreeWidget::viewportEvent(event);
}

QStringList CZylUserView::mimeTypes() const {
    return {QLatin1String(ZYL_DRAG_FORMAT)};
}

QMimeData* CZylUserView::mimeData(const QList<QTreeWidgetItem*>& items) const {
    if (items.isEmpty() || !m_rFrame.CanDrag(CZylMainFrame::ZYL_DRAG_TREE))
        return nullptr;
    auto* dragged = new QMimeData;
    dragged->setData(QLatin1String(ZYL_DRAG_FORMAT), QByteArrayLiteral("tree"));
    return dragged;
}

void CZylUserView::startDrag(Qt::DropActions actions) {
    // A drag runs an event loop of its own, and the drop runs the download inside it.
    m_rFrame.EnterModal();
    QTreeWidget::startDrag(actions);
    m_rFrame.LeaveModal();
}
