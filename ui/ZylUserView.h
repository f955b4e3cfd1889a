// The friend tree: the local user's friends with the shares and folders browsed so far, and the
// local user's own shares. Selecting an item browses it; the tree is a drag source for downloads
// and carries the context menu of sharing and browsing.
#pragma once

#include "core/ZylDateTime.h"

#include <QTreeWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CZylMainFrame;
class CZylShareObject;
class QMenu;
struct ZYLUSER;

// One tree item and what it stands for. Items keep ids and names, never references into the
// engine, so an item outlives whatever it names without harm.
class CZylTreeItem : public QTreeWidgetItem {
public:
    explicit CZylTreeItem(uint32_t kind) : QTreeWidgetItem(QTreeWidgetItem::UserType), m_nKind(kind) {}

    uint32_t m_nKind;
    std::u16string m_sUserId;  // a friend's id
    uint16_t m_nGranted = 0;   // a friend's share: the rights he grants
    CZylDateTime m_tShareTime; // a friend's share: its time stamp, which every request carries
};

class CZylUserView : public QTreeWidget {
    Q_OBJECT
public:
    CZylUserView(CZylMainFrame& frame, QWidget* parent);

    static CZylTreeItem* Item(QTreeWidgetItem* item) { return static_cast<CZylTreeItem*>(item); }
    static uint32_t KindOf(const QTreeWidgetItem* item) {
        return item ? static_cast<const CZylTreeItem*>(item)->m_nKind : 0;
    }
    CZylTreeItem* GetFriendsRoot() const { return m_pFriendsRoot; }
    CZylTreeItem* GetLocalRoot() const { return m_pLocalRoot; }
    CZylTreeItem* GetSelected() const { return Item(currentItem()); }
    // The frame's managers are in place: selections are handled from now on.
    void Attach() { m_bAttached = true; }

    // A friend under the friends root, sorted by text; the existing node when there is one.
    CZylTreeItem* AddFriend(const ZYLUSER& user);
    void UpdateFriend(CZylTreeItem* item, const ZYLUSER& user);
    // The friend's node (ids without regard to case).
    CZylTreeItem* FindFriend(std::u16string_view id) const;
    // A friend's shared folder (a shared file gets no item: null).
    CZylTreeItem* AddFriendShare(CZylTreeItem* parent, const CZylShareObject& share);
    // A local shared folder under the local shares root (a shared file gets no item: null).
    CZylTreeItem* AddLocalShare(const CZylShareObject& share);
    CZylTreeItem* AddFolder(CZylTreeItem* parent, const QString& text, uint32_t kind);
    // Deletes every child; a selection among them moves up to the item first.
    void DeleteChildren(QTreeWidgetItem* item);
    // Deletes an item with its children.
    void DeleteItem(QTreeWidgetItem* item);
    // Selects an item as a person would: the selection handling runs.
    void Select(QTreeWidgetItem* item);

    // The item's text with the texts of its ancestors up to the first of the stop kind in front,
    // joined with "\"; item is left at the item where the walk stopped.
    std::u16string GetItemFullPath(CZylTreeItem*& item, uint32_t stopKind) const;
    // The friend's node at or above an item of the friends' branch; the nearest share of a friend
    // at or above it.
    static CZylTreeItem* FriendOf(QTreeWidgetItem* item);
    static CZylTreeItem* ShareOf(QTreeWidgetItem* item);
    // The first child whose text is that text exactly (letter case counts), or null.
    static CZylTreeItem* ChildByText(QTreeWidgetItem* item, const QString& text);

    std::unique_ptr<QMenu> BuildContextMenu(CZylTreeItem* item);
    QString ToolTipFor(const CZylTreeItem* item) const;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
    void startDrag(Qt::DropActions actions) override;

private:
    void OnSelChanged();

    CZylMainFrame& m_rFrame;
    CZylTreeItem* m_pFriendsRoot = nullptr;
    CZylTreeItem* m_pLocalRoot = nullptr;
    bool m_bAttached = false;
    int m_nQuiet = 0; // programmatic changes that must not browse
};

// The format of dragged items on their way to the task list.
inline constexpr char ZYL_DRAG_FORMAT[] = "application/x-zylfs-download";
