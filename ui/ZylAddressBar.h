// The address bar: the label "地址(&D)" and the address box, whose drop-down ("address tree")
// mirrors the friend tree's outline around its selection. Picking an entry selects the same item
// in the friend tree, which browses it as usual.
#pragma once

#include <QComboBox>
#include <QPointer>
#include <QToolBar>

class CZylMainFrame;
class CZylUserView;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

class CZylAddressBox : public QComboBox {
    Q_OBJECT
public:
    CZylAddressBox(QTreeWidget& tree, QWidget* parent);
    void showPopup() override;
    void hidePopup() override;

private:
    QPointer<QTreeWidget> m_pTree; // the bar's; it may go first
};

class CZylAddressBar : public QToolBar {
    Q_OBJECT
public:
    CZylAddressBar(CZylMainFrame& frame, QWidget* parent);

    // Rebuilds the drop-down from the friend tree and its selection.
    void BuildAddressTree(CZylUserView* view);
    void SetText(const QString& text);
    QString GetText() const;
    QTreeWidget* GetTree() const { return m_pTree; }
    CZylAddressBox* GetBox() const { return m_pBox; }
    // A pick in the drop-down, as a click gives it: the box shows the entry and the frame is
    // told the entry's address path ("|" between the texts from the root down).
    void Pick(QTreeWidgetItem* entry);

protected:
    bool event(QEvent* event) override;

private:
    CZylMainFrame& m_rFrame;
    QLabel* m_pLabel;
    QTreeWidget* m_pTree;
    CZylAddressBox* m_pBox;
};
