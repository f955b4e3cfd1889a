// The file list in the middle of the frame: the local shares, the contents of a local shared
// folder, a friend's shares or the contents of a friend's folder. One model serves the details
// view and the icon and list views, so a listing of many thousand entries costs one insertion.
#pragma once

#include "core/ZylDateTime.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class CZylFileIcons;
class CZylMainFrame;
class QAbstractItemView;
class QItemSelectionModel;
class QListView;
class QMenu;
class QStackedWidget;
class QTreeView;

// One row of the file list.
struct ZYLFILEROW {
    QString name;
    QString shareName; // the local-shares layout's second column
    QString sizeText;
    QString type;
    QString time;
    bool folder = false;
    int image = 0;
    uint32_t kind = 0;
    uint16_t granted = 0;   // a friend's share: the rights he grants
    CZylDateTime shareTime; // a friend's share: its time stamp
};

class CZylFileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum : int { ZYL_LAYOUT_LISTING = 0, ZYL_LAYOUT_LOCAL_SHARES = 1 };

    CZylFileListModel(CZylMainFrame& frame, CZylFileIcons& icons, QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

    int GetLayout() const { return m_nLayout; }
    void SetLayout(int layout);
    void SetLargeIcons(bool large);
    void Clear();
    void AddRows(std::vector<ZYLFILEROW> rows);
    const ZYLFILEROW& GetRow(int row) const { return m_vRows[static_cast<size_t>(row)]; }
    int GetCount() const { return static_cast<int>(m_vRows.size()); }

private:
    QString Text(const ZYLFILEROW& row, int column) const;

    CZylMainFrame& m_rFrame;
    CZylFileIcons& m_rIcons;
    std::vector<ZYLFILEROW> m_vRows;
    int m_nLayout = ZYL_LAYOUT_LISTING;
    bool m_bLarge = false;
};

class CZylShareView : public QWidget {
    Q_OBJECT
public:
    CZylShareView(CZylMainFrame& frame, QWidget* parent);
    ~CZylShareView() override;

    // "%dKB" with the size / 1024 rounded toward zero, at least 1; empty for a folder (-1).
    static QString SizeText(int64_t size);
    // A row as the frame adds it; image -1 takes the image of the name's type, -2 the same with
    // programs shown alike (localPath, when given, lets local programs be recognised).
    ZYLFILEROW MakeRow(const QString& name, const QString& shareName, int64_t size, const QString& type,
                       const QString& time, int image, uint32_t kind, const QString& localPath = {});
    void AddRow(ZYLFILEROW row);
    void AddRows(std::vector<ZYLFILEROW> rows);
    // The ".." row that leads one level up.
    void AddUpRow();
    void Clear();
    void SetLayout(int layout);
    int GetLayout() const;

    // The view modes: large icons, small icons, list, details (the command ids).
    void SetViewMode(int id);
    int GetViewMode() const { return m_nViewMode; }

    int GetRowCount() const;
    const ZYLFILEROW& GetRow(int row) const;
    // Selected rows in order.
    std::vector<int> GetSelectedRows() const;
    void SelectRows(const std::vector<int>& rows);
    bool HasFocus() const;
    QAbstractItemView* GetCurrentView() const;
    QTreeView* GetDetailsView() const { return m_pDetails; }
    QItemSelectionModel* GetSelectionModel() const { return m_pSelection; }
    CZylFileIcons& GetIcons() { return *m_pIcons; }
    CZylFileListModel* GetModel() const { return m_pModel; }

    std::unique_ptr<QMenu> BuildContextMenu();
    QString ToolTipFor(int row) const;
    // A double click on a row, as a person gives it.
    void OnDoubleClick(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CZylMainFrame& m_rFrame;
    std::unique_ptr<CZylFileIcons> m_pIcons;
    CZylFileListModel* m_pModel = nullptr;
    QItemSelectionModel* m_pSelection = nullptr;
    QStackedWidget* m_pStack = nullptr;
    QTreeView* m_pDetails = nullptr;
    QListView* m_pIconView = nullptr;
    int m_nViewMode;
};
