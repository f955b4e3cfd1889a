#include "ui/ZylShareView.h"

#include "core/ZylProtocol.h"
#include "ui/ZylAsk.h"
#include "ui/ZylFileIcons.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUserView.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>

namespace {
struct ZYLCOLUMN {
    int title;
    int width;
};
// The columns of the two layouts; the local-shares layout has the share name second and the
// share time last.
constexpr ZYLCOLUMN g_listing[] = {{4220, 150}, {4211, 80}, {4231, 125}, {4214, 150}};
constexpr ZYLCOLUMN g_localShares[] = {{4220, 150}, {4260, 100}, {4211, 80}, {4231, 125}, {4266, 150}};

// A view of the list whose drags (each an event loop of its own, with the drop's download inside
// it) the frame knows of.
template <typename View> class CZylDragView : public View {
public:
    CZylDragView(CZylMainFrame& frame, QWidget* parent) : View(parent), m_rFrame(frame) {}

protected:
    void startDrag(Qt::DropActions actions) override {
        m_rFrame.EnterModal();
        View::startDrag(actions);
        m_rFrame.LeaveModal();
    }

private:
    CZylMainFrame& m_rFrame;
};
} // namespace

// ---------------------------------------------------------------------------------------------
// The model

CZylFileListModel::CZylFileListModel(CZylMainFrame& frame, CZylFileIcons& icons, QObject* parent)
    : QAbstractTableModel(parent), m_rFrame(frame), m_rIcons(icons) {}

int CZylFileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : GetCount();
}

int CZylFileListModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return m_nLayout == ZYL_LAYOUT_LOCAL_SHARES ? static_cast<int>(std::size(g_localShares))
                                                : static_cast<int>(std::size(g_listing));
}

QString CZylFileListModel::Text(const ZYLFILEROW& row, int column) const {
    if (m_nLayout == ZYL_LAYOUT_LOCAL_SHARES) {
        switch (column) {
        case 0:
            return row.name;
        case 1:
            return row.shareName;
        case 2:
            return row.sizeText;
        case 3:
            return row.type;
        case 4:
            return row.time;
        default:
            return {};
        }
    }
    switch (column) {
    case 0:
        return row.name;
    case 1:
        return row.sizeText;
    case 2:
        return row.type;
    case 3:
        return row.time;
    default:
        return {};
    }
}

QVariant CZylFileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= GetCount())
        return {};
    const ZYLFILEROW& row = GetRow(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return Text(row, index.column());
    case Qt::DecorationRole:
        if (index.column() != 0)
            return {};
        return m_bLarge ? m_rIcons.GetLarge(row.image) : m_rIcons.GetSmall(row.image);
    case Qt::ToolTipRole: {
        QStringList details;
        for (int column = 1; column < columnCount(); ++column)
            if (const QString text = Text(row, column); !text.isEmpty())
                details << text;
        return QStringLiteral("%1\n%2").arg(row.name, details.join(QStringLiteral("  ")));
    }
    default:
        return {};
    }
}

QVariant CZylFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount())
        return {};
    const auto* columns = m_nLayout == ZYL_LAYOUT_LOCAL_SHARES ? g_localShares : g_listing;
    return ZylString(columns[section].title);
}

Qt::ItemFlags CZylFileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (GetRow(index.row()).kind != ZYL_KIND_UP)
        flags |= Qt::ItemIsDragEnabled;
    return flags;
}

QStringList CZylFileListModel::mimeTypes() const {
    return {QLatin1String(ZYL_DRAG_FORMAT)};
}

QMimeData* CZylFileListModel::mimeData(const QModelIndexList& indexes) const {
    if (indexes.isEmpty() || !m_rFrame.CanDrag(CZylMainFrame::ZYL_DRAG_LIST))
        return nullptr;
    auto* dragged = new QMimeData;
    dragged->setData(QLatin1String(ZYL_DRAG_FORMAT), QByteArrayLiteral("list"));
    return dragged;
}

void CZylFileListModel::SetLayout(int layout) {
    if (layout == m_nLayout)
        return;
    beginResetModel();
    m_nLayout = layout;
    endResetModel();
}

void CZylFileListModel::SetLargeIcons(bool large) {
    if (large == m_bLarge)
        return;
    m_bLarge = large;
    if (GetCount() > 0)
        Q_EMIT dataChanged(index(0, 0), index(GetCount() - 1, 0), {Qt::DecorationRole});
}

void CZylFileListModel::Clear() {
    if (m_vRows.empty())
        return;
    beginResetModel();
    m_vRows.clear();
    endResetModel();
}

void CZylFileListModel::AddRows(std::vector<ZYLFILEROW> rows) {
    if (rows.empty())
        return;
    const int first = GetCount();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    if (m_vRows.empty())
        m_vRows = std::move(rows);
    else
        m_vRows.insert(m_vRows.end(), std::make_move_iterator(rows.begin()),
                       std::make_move_iterator(rows.end()));
    endInsertRows();
}

// ---------------------------------------------------------------------------------------------
// The view

CZylShareView::CZylShareView(CZylMainFrame& frame, QWidget* parent)
    : QWidget(parent), m_rFrame(frame), m_pIcons(std::make_unique<CZylFileIcons>()),
      m_nViewMode(ZYL_ID_VIEW_DETAILS) {
    setObjectName(QStringLiteral("fileList"));
    m_pModel = new CZylFileListModel(frame, *m_pIcons, this);
    m_pSelection = new QItemSelectionModel(m_pModel, this);

    m_pDetails = new CZylDragView<QTreeView>(frame, this);
    m_pDetails->setObjectName(QStringLiteral("fileDetails"));
    m_pDetails->setRootIsDecorated(false);
    m_pDetails->setUniformRowHeights(true);
    m_pDetails->setItemsExpandable(false);
    m_pDetails->setAllColumnsShowFocus(true);
    m_pDetails->header()->setStretchLastSection(false);

    m_pIconView = new CZylDragView<QListView>(frame, this);
    m_pIconView->setObjectName(QStringLiteral("fileIcons"));
    m_pIconView->setUniformItemSizes(true);
    m_pIconView->setResizeMode(QListView::Adjust);
    m_pIconView->setMovement(QListView::Static);

    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_pDetails), static_cast<QAbstractItemView*>(m_pIconView)}) {
        view->setModel(m_pModel);
        view->setSelectionModel(m_pSelection);
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setDragEnabled(true);
        view->setDragDropMode(QAbstractItemView::DragOnly);
        view->viewport()->installEventFilter(this);
        connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
            if (index.isValid())
                OnDoubleClick(index.row());
        });
    }
    m_pStack = new QStackedWidget(this);
    m_pStack->addWidget(m_pDetails);
    m_pStack->addWidget(m_pIconView);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pStack);
    auto widths = [this] {
        const auto* columns =
            GetLayout() == CZylFileListModel::ZYL_LAYOUT_LOCAL_SHARES ? g_localShares : g_listing;
        for (int i = 0; i < m_pModel->columnCount(); ++i)
            m_pDetails->header()->resizeSection(i, columns[i].width);
    };
    connect(m_pModel, &QAbstractItemModel::modelReset, this, widths);
    widths();
    setFocusProxy(m_pDetails);
}

CZylShareView::~CZylShareView() = default;

QString CZylShareView::SizeText(int64_t size) {
    if (size < 0)
        return {};
    return QStringLiteral("%1KB").arg(std::max<int64_t>(size / 1024, 1));
}

ZYLFILEROW CZylShareView::MakeRow(const QString& name, const QString& shareName, int64_t size,
                                  const QString& type, const QString& time, int image, uint32_t kind,
                                  const QString& localPath) {
    ZYLFILEROW row;
    row.name = name;
    row.shareName = shareName;
    row.sizeText = SizeText(size);
    row.type = type;
    row.time = time;
    row.folder = size < 0;
    row.kind = kind;
    row.image = image >= 0 ? image : m_pIcons->GetImageIndex(name, image == -2, localPath);
    return row;
}

void CZylShareView::AddRow(ZYLFILEROW row) {
    std::vector<ZYLFILEROW> rows;
    rows.push_back(std::move(row));
    AddRows(std::move(rows));
}

void CZylShareView::AddRows(std::vector<ZYLFILEROW> rows) {
    m_pModel->AddRows(std::move(rows));
}

void CZylShareView::AddUpRow() {
    ZYLFILEROW row;
    row.name = QStringLiteral("..");
    row.kind = ZYL_KIND_UP;
    row.folder = true;
    row.image = CZylFileIcons::ZYL_IMAGE_UP;
    AddRow(std::move(row));
}

void CZylShareView::Clear() {
    m_pModel->Clear();
}

void CZylShareView::SetLayout(int layout) {
    m_pModel->SetLayout(layout);
}

int CZylShareView::GetLayout() const {
    return m_pModel->GetLayout();
}

void CZylShareView::SetViewMode(int id) {
    m_nViewMode = id;
    if (id == ZYL_ID_VIEW_DETAILS) {
        m_pModel->SetLargeIcons(false);
        m_pStack->setCurrentWidget(m_pDetails);
        setFocusProxy(m_pDetails);
        return;
    }
    const bool large = id == ZYL_ID_VIEW_LARGE;
    m_pModel->SetLargeIcons(large);
    m_pIconView->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    m_pIconView->setIconSize(large ? QSize(32, 32) : QSize(16, 16));
    m_pIconView->setFlow(id == ZYL_ID_VIEW_LIST ? QListView::TopToBottom : QListView::LeftToRight);
    m_pIconView->setWrapping(true);
    m_pIconView->setGridSize(large ? QSize(96, 64) : QSize());
    m_pStack->setCurrentWidget(m_pIconView);
    setFocusProxy(m_pIconView);
}

int CZylShareView::GetRowCount() const {
    return m_pModel->GetCount();
}

const ZYLFILEROW& CZylShareView::GetRow(int row) const {
    return m_pModel->GetRow(row);
}

std::vector<int> CZylShareView::GetSelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : m_pSelection->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CZylShareView::SelectRows(const std::vector<int>& rows) {
    m_pSelection->clearSelection();
    for (int row : rows)
        m_pSelection->select(m_pModel->index(row, 0),
                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (!rows.empty())
        m_pSelection->setCurrentIndex(m_pModel->index(rows.front(), 0), QItemSelectionModel::NoUpdate);
}

bool CZylShareView::HasFocus() const {
    return m_rFrame.HasFocusIn(this);
}

QAbstractItemView* CZylShareView::GetCurrentView() const {
    return m_nViewMode == ZYL_ID_VIEW_DETAILS ? static_cast<QAbstractItemView*>(m_pDetails)
                                              : static_cast<QAbstractItemView*>(m_pIconView);
}

QString CZylShareView::ToolTipFor(int row) const {
    return m_pModel->data(m_pModel->index(row, 0), Qt::ToolTipRole).toString();
}

void CZylShareView::OnDoubleClick(int row) {
    if (row < 0 || row >= GetRowCount() || GetSelectedRows().size() > 1)
        return;
    CZylUserView* tree = m_rFrame.GetUserView();
    CZylTreeItem* current = tree->GetSelected();
    if (!current)
        return;
    const ZYLFILEROW& entry = GetRow(row);
    switch (entry.kind) {
    case ZYL_KIND_FRIEND_SHARE:
    case ZYL_KIND_FRIEND_FOLDER:
    case ZYL_KIND_LOCAL_SHARE:
    case ZYL_KIND_LOCAL_FOLDER: {
        // A local share is listed by its item's name but stands in the tree under its share name.
        tree->Select(CZylUserView::ChildByText(current, entry.kind == ZYL_KIND_LOCAL_SHARE ? entry.shareName
                                                                                           : entry.name));
        break;
    }
    case ZYL_KIND_UP:
        if (current->parent())
            tree->Select(current->parent());
        break;
    default:
        break;
    }
}

std::unique_ptr<QMenu> CZylShareView::BuildContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("fileListMenu"));
    CZylTreeItem* item = m_rFrame.GetUserView()->GetSelected();
    const uint32_t kind = CZylUserView::KindOf(item);
    const std::vector<int> selected = GetSelectedRows();
    CZylTreeItem* user = CZylUserView::FriendOf(item);
    const bool connected = user && m_rFrame.IsConnected(user->m_sUserId);
    CZylTreeItem* share = CZylUserView::ShareOf(item);
    uint16_t granted = share ? share->m_nGranted : 0;
    if (!share) {
        // The friend's own listing: each row is a share with its own rights.
        for (int row : selected)
            granted |= GetRow(row).granted;
    }
    auto add = [&](QMenu* into, int id, int text, bool enabled) {
        QAction* action = into->addAction(ZylString(text));
        action->setData(id);
        action->setEnabled(enabled);
        action->setObjectName(QStringLiteral("menu%1").arg(id));
        return action;
    };
    add(menu.get(), ZYL_ID_REFRESH, 4248,
        kind == ZYL_KIND_FRIEND_SHARE || kind == ZYL_KIND_FRIEND_FOLDER || ZylInLocalBranch(kind));
    menu->addSeparator();
    QMenu* view = menu->addMenu(ZylString(4275));
    for (const auto& [id, text] : {std::pair{ZYL_ID_VIEW_LARGE, 4217}, std::pair{ZYL_ID_VIEW_SMALL, 4218},
                                   std::pair{ZYL_ID_VIEW_LIST, 4284}, std::pair{ZYL_ID_VIEW_DETAILS, 4285}}) {
        QAction* action = add(view, id, text, true);
        action->setCheckable(true);
        action->setChecked(id == m_nViewMode);
    }
    menu->addSeparator();
    add(menu.get(), ZYL_ID_DOWNLOAD, 4239,
        ZylInFriendsBranch(kind) && !selected.empty() && (granted & ZYL_PRIV_DOWNLOAD) && connected);
    const bool upload = (kind == ZYL_KIND_FRIEND_SHARE || kind == ZYL_KIND_FRIEND_FOLDER) &&
                        (granted & ZYL_PRIV_UPLOAD) && connected;
    add(menu.get(), ZYL_ID_UPLOAD_FOLDER, 4246, upload);
    add(menu.get(), ZYL_ID_UPLOAD_FILES, 4247, upload);
    return menu;
}

bool CZylShareView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        auto menu = BuildContextMenu();
        if (QAction* chosen = m_rFrame.Ask().RunMenu(*menu, menuEvent->globalPos())) {
            const int id = chosen->data().toInt();
            // The view modes are the list's own; the rest goes to the frame.
            if (id >= ZYL_ID_VIEW_LARGE && id <= ZYL_ID_VIEW_DETAILS)
                SetViewMode(id);
            else
                m_rFrame.PostCommand(id);
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
