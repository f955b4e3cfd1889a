#include "ui/ZylTaskView.h"

#include "transfer/ZylTaskManager.h"
#include "ui/ZylAsk.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiImages.h"
#include "ui/ZylUserView.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMimeData>

#include <algorithm>

namespace {
struct ZYLTASKCOLUMN {
    int title;
    int width;
};
constexpr ZYLTASKCOLUMN g_columns[CZylTaskModel::COLUMNS] = {
    {4201, 100}, {4206, 100}, {4207, 50},  {4209, 70}, {4263, 70},
    {4264, 50},  {4265, 100}, {4202, 100}, {4203, 80},
};

const QIcon& TaskImage(int index) {
    static const QIcon images[] = {ZylTaskImage(0), ZylTaskImage(1), ZylTaskImage(2), ZylTaskImage(3)};
    return images[std::clamp(index, 0, 3)];
}

QString DoneText(const CZylTask& task) {
    return QStringLiteral("%1%").arg(task.m_bFinished ? 100 : task.m_nPercent);
}

QString SizeText(const CZylTask& task) {
    return QStringLiteral("%1%2").arg(task.m_nTotalSize / 1024).arg(QLatin1String("KB"));
}

QString LeftText(CZylTask& task) {
    if (task.m_bFinished)
        return QStringLiteral("0");
    const int32_t left = task.GetSecondsLeft();
    return left == -1 ? ZylString(4274) : CZylTaskView::TimeText(static_cast<uint32_t>(left));
}

// The speed as a refresh shows it: with its unit, and 0 unless the task is transferring.
QString SpeedText(CZylTask& task) {
    const float speed = task.GetSpeed();
    if (task.m_bRunning && !task.m_bFinished)
        return QString::asprintf("%.2f", static_cast<double>(speed)) + ZylString(4210);
    return QStringLiteral("0") + ZylString(4210);
}
} // namespace

QString CZylTaskView::TimeText(uint32_t seconds) {
    const uint32_t hours = seconds / 3600;
    const uint32_t minutes = (seconds % 3600) / 60;
    const uint32_t rest = seconds - (minutes + hours * 60) * 60;
    return QString::asprintf("%.2u:%.2u:%.2u", hours, minutes, rest);
}

// ---------------------------------------------------------------------------------------------
// The model

int CZylTaskModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : GetCount();
}

int CZylTaskModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMNS;
}

QVariant CZylTaskModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= GetCount())
        return {};
    const ZYLTASKROW& row = m_vRows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.text[static_cast<size_t>(index.column())];
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(TaskImage(row.image)) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant CZylTaskModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= COLUMNS)
        return {};
    if (role == Qt::DisplayRole)
        return ZylString(g_columns[section].title);
    if (role == Qt::TextAlignmentRole)
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags CZylTaskModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled
                           : Qt::ItemIsDropEnabled;
}

int CZylTaskModel::ImageOf(const CZylTask& task) {
    if (task.m_bFinished)
        return 3;
    if (!task.m_bRunning)
        return 2;
    return task.m_nType == ZYL_TASK_UPLOAD ? 1 : 0;
}

void CZylTaskModel::Append(CZylTask* task) {
    ZYLTASKROW row{task, {}, ImageOf(*task)};
    auto& text = row.text;
    text[0] = ZylQ(task->GetUserId()) + QStringLiteral("\\\\") + ZylQ(task->GetTaskName());
    text[1] = DoneText(*task);
    text[2] = task->m_nType == ZYL_TASK_DOWNLOAD ? ZylString(4239)
              : task->m_nType == ZYL_TASK_UPLOAD ? ZylString(4240)
                                                 : QString();
    if (task->m_nTotalSize != 0)
        text[3] = SizeText(*task);
    text[4] = task->m_bFinished ? QStringLiteral("0")
                                : QString::asprintf("%.2f", static_cast<double>(task->GetSpeed()));
    text[5] = CZylTaskView::TimeText(static_cast<uint32_t>(task->GetElapsedSeconds()));
    text[6] = LeftText(*task);
    text[7] = ZylQ(task->GetLocalPath());
    text[8] = ZylQ(task->m_tTaskStartTime.ToText());
    const int at = GetCount();
    beginInsertRows({}, at, at);
    m_vRows.push_back(std::move(row));
    if (!m_bIndexDirty)
        m_mRows[task] = at;
    endInsertRows();
}

bool CZylTaskModel::Update(int index) {
    ZYLTASKROW& row = m_vRows[static_cast<size_t>(index)];
    CZylTask& task = *row.task;
    bool changed = false;
    auto set = [&](size_t column, QString text) {
        if (row.text[column] != text) {
            row.text[column] = std::move(text);
            changed = true;
        }
    };
    if (const int image = ImageOf(task); image != row.image) {
        row.image = image;
        changed = true;
    }
    set(1, DoneText(task));
    if (task.m_nTotalSize != 0)
        set(3, SizeText(task));
    set(4, SpeedText(task));
    set(5, CZylTaskView::TimeText(static_cast<uint32_t>(task.GetElapsedSeconds())));
    set(6, LeftText(task));
    return changed;
}

void CZylTaskModel::Remove(int row) {
    beginRemoveRows({}, row, row);
    m_vRows.erase(m_vRows.begin() + row);
    m_bIndexDirty = true;
    endRemoveRows();
}

void CZylTaskModel::Clear() {
    beginResetModel();
    m_vRows.clear();
    m_mRows.clear();
    m_bIndexDirty = false;
    endResetModel();
}

void CZylTaskModel::Changed(int first, int last) {
    if (first >= 0 && last >= first)
        Q_EMIT dataChanged(index(first, 0), index(last, COLUMNS - 1));
}

CZylTask* CZylTaskModel::GetTask(int row) const {
    return row >= 0 && row < GetCount() ? m_vRows[static_cast<size_t>(row)].task : nullptr;
}

const QString& CZylTaskModel::GetText(int row, int column) const {
    return m_vRows[static_cast<size_t>(row)].text[static_cast<size_t>(column)];
}

int CZylTaskModel::GetImage(int row) const {
    return m_vRows[static_cast<size_t>(row)].image;
}

int CZylTaskModel::FindRow(const CZylTask* task) const {
    if (m_bIndexDirty) {
        m_mRows.clear();
        for (size_t i = 0; i < m_vRows.size(); ++i)
            m_mRows.emplace(m_vRows[i].task, static_cast<int>(i));
        m_bIndexDirty = false;
    }
    auto it = m_mRows.find(task);
    return it == m_mRows.end() ? -1 : it->second;
}

// ---------------------------------------------------------------------------------------------
// The view

CZylTaskView::CZylTaskView(CZylMainFrame& frame, QWidget* parent)
    : QTreeView(parent), m_rFrame(frame), m_pModel(new CZylTaskModel(this)) {
    setObjectName(QStringLiteral("taskList"));
    setModel(m_pModel);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int i = 0; i < CZylTaskModel::COLUMNS; ++i)
        header()->resizeSection(i, g_columns[i].width);
}

void CZylTaskView::AddTask(CZylTask* task) {
    if (!task || task->m_bRemoved || (task->m_bFinished && !m_bShowFinished))
        return;
    m_pModel->Append(task);
}

void CZylTaskView::Clear() {
    m_pModel->Clear();
}

void CZylTaskView::Refresh() {
    if (!m_pTasks || !isVisible())
        return;
    int first = -1, last = -1;
    auto note = [&](int row) {
        first = first < 0 ? row : std::min(first, row);
        last = std::max(last, row);
    };
    if (!m_bShowFinished) {
        for (int row = m_pModel->GetCount() - 1; row >= 0; --row) {
            const CZylTask* task = m_pModel->GetTask(row);
            if (task && (task->m_bRemoved || task->m_bFinished))
                m_pModel->Remove(row);
        }
        for (int row = 0; row < m_pModel->GetCount(); ++row)
            if (m_pModel->GetTask(row) && m_pModel->Update(row))
                note(row);
    } else {
        for (int i = 0; i < m_pTasks->GetTaskCount(); ++i) {
            CZylTask* task = m_pTasks->GetTaskAt(i);
            if (!task)
                continue;
            const int row = m_pModel->FindRow(task);
            if (task->m_bRemoved) {
                if (row >= 0)
                    m_pModel->Remove(row);
            } else if (!task->m_bFinished) {
                if (row >= 0 && m_pModel->Update(row))
                    note(row);
            } else if (row < 0) {
                m_pModel->Append(task);
            } else if (!task->m_bFinishShown) {
                // A finished row is written once, the first time it is seen finished.
                if (m_pModel->Update(row))
                    note(row);
                task->m_bFinishShown = 1;
            }
        }
    }
    m_pModel->Changed(first, last);
}

std::vector<CZylTask*> CZylTaskView::GetSelectedTasks() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    std::vector<CZylTask*> tasks;
    for (int row : rows)
        if (CZylTask* task = m_pModel->GetTask(row))
            tasks.push_back(task);
    return tasks;
}

void CZylTaskView::SelectRows(const std::vector<int>& rows) {
    selectionModel()->clearSelection();
    for (int row : rows)
        selectionModel()->select(m_pModel->index(row, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

std::unique_ptr<QMenu> CZylTaskView::BuildContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("taskListMenu"));
    const std::vector<CZylTask*> selected = GetSelectedTasks();
    auto add = [&](int id, const QString& text, bool enabled) {
        QAction* action = menu->addAction(text);
        action->setData(id);
        action->setEnabled(enabled);
        action->setObjectName(QStringLiteral("menu%1").arg(id));
        return action;
    };
    if (selected.size() == 1 && m_bShowFinished) {
        const CZylTask* task = selected.front();
        if (task->m_bFolder)
            add(ZYL_ID_OPEN_FOLDER, ZylString(36811), task->m_bFinished != 0);
        else
            add(ZYL_ID_OPEN_FILE, ZylString(36815), task->m_bFinished != 0);
        menu->addSeparator();
    }
    const bool anyStopped =
        std::any_of(selected.begin(), selected.end(), [](auto* t) { return !t->m_bRunning; });
    const bool anyRunning =
        std::any_of(selected.begin(), selected.end(), [](auto* t) { return t->m_bRunning != 0; });
    add(ZYL_ID_START_TASKS, ZylString(4249), anyStopped);
    add(ZYL_ID_STOP_TASKS, ZylString(4250), anyRunning);
    menu->addSeparator();
    add(ZYL_ID_RESTART_TASKS, ZylString(4229), !selected.empty());
    menu->addSeparator();
    add(ZYL_ID_DELETE_TASKS, ZylString(4291), !selected.empty());
    QAction* finished = add(ZYL_ID_SHOW_FINISHED, ZylString(4304), true);
    finished->setCheckable(true);
    finished->setChecked(m_bShowFinished);
    return menu;
}

void CZylTaskView::contextMenuEvent(QContextMenuEvent* event) {
    auto menu = BuildContextMenu();
    if (QAction* chosen = m_rFrame.Ask().RunMenu(*menu, event->globalPos()))
        m_rFrame.PostCommand(chosen->data().toInt());
}

void CZylTaskView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    m_rFrame.OpenSelectedTaskResult();
}

void CZylTaskView::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasFormat(QLatin1String(ZYL_DRAG_FORMAT)))
        event->acceptProposedAction();
    else
        event->ignore();
}

void CZylTaskView::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasFormat(QLatin1String(ZYL_DRAG_FORMAT)))
        event->acceptProposedAction();
    else
        event->ignore();
}

void CZylTaskView::dropEvent(QDropEvent* event) {
    const QByteArray source = event->mimeData()->data(QLatin1String(ZYL_DRAG_FORMAT));
    if (source.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    m_rFrame.OnDrop(source == "tree" ? CZylMainFrame::ZYL_DRAG_TREE : CZylMainFrame::ZYL_DRAG_LIST);
}
