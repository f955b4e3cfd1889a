// The task list in the bottom bar: one row per task with its progress, type, size, speed,
// elapsed and remaining time, local path and start time. A model over the task manager's tasks,
// refreshed in place every second: only rows whose texts changed are redrawn.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QTreeView>

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class CZylMainFrame;
class CZylTask;
class CZylTaskManager;
class QMenu;

class CZylTaskModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int COLUMNS = 9;

    explicit CZylTaskModel(QObject* parent) : QAbstractTableModel(parent) {}

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // A row at the end, every column as a new row shows it.
    void Append(CZylTask* task);
    // The changing columns again (image, done, size, speed, elapsed, remaining); true when any
    // text changed.
    bool Update(int row);
    void Remove(int row);
    void Clear();
    // Tells the views that rows first to last changed.
    void Changed(int first, int last);

    int GetCount() const { return static_cast<int>(m_vRows.size()); }
    CZylTask* GetTask(int row) const;
    const QString& GetText(int row, int column) const;
    int GetImage(int row) const;
    // The row of a task, or -1.
    int FindRow(const CZylTask* task) const;

private:
    struct ZYLTASKROW {
        CZylTask* task;
        std::array<QString, COLUMNS> text;
        int image;
    };
    static int ImageOf(const CZylTask& task);

    std::vector<ZYLTASKROW> m_vRows;
    // Rows by task; rebuilt after a row goes.
    mutable std::unordered_map<const CZylTask*, int> m_mRows;
    mutable bool m_bIndexDirty = false;
};

class CZylTaskView : public QTreeView {
    Q_OBJECT
public:
    CZylTaskView(CZylMainFrame& frame, QWidget* parent);

    // "%.2d:%.2d:%.2d" of whole seconds; the hours are not limited.
    static QString TimeText(uint32_t seconds);

    void SetTaskManager(CZylTaskManager* tasks) { m_pTasks = tasks; }
    // A row for the task, unless it is removed, or finished while finished tasks are not shown.
    void AddTask(CZylTask* task);
    // Updates the rows in place and adds or drops finished tasks by the switch; nothing while the
    // list is not shown.
    void Refresh();
    void Clear();
    std::vector<CZylTask*> GetSelectedTasks() const;
    void SelectRows(const std::vector<int>& rows);
    bool GetShowFinished() const { return m_bShowFinished; }
    void SetShowFinished(bool show) { m_bShowFinished = show; }
    CZylTaskModel* GetModel() const { return m_pModel; }

    std::unique_ptr<QMenu> BuildContextMenu();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    CZylMainFrame& m_rFrame;
    CZylTaskModel* m_pModel;
    CZylTaskManager* m_pTasks = nullptr;
    bool m_bShowFinished = false;
};
