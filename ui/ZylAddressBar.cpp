#include "ui/ZylAddressBar.h"

#include "core/ZylPath.h"
#include "core/ZylPlatform.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiEvents.h"
#include "ui/ZylUiImages.h"
#include "ui/ZylUserView.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QTreeWidget>

CZylAddressBox::CZylAddressBox(QTreeWidget& tree, QWidget* parent) : QComboBox(parent), m_pTree(&tree) {
    setObjectName(QStringLiteral("addressBox"));
    addItem(QString());
}

void CZylAddressBox::showPopup() {
    // The drop-down is the address tree, right below the box and as wide as it.
    if (!m_pTree)
        return;
    const QPoint below = mapToGlobal(QPoint(0, height()));
    m_pTree->setGeometry(below.x(), below.y(), std::max(width(), 200), 240);
    m_pTree->show();
    m_pTree->setFocus();
}

void CZylAddressBox::hidePopup() {
    if (m_pTree)
        m_pTree->hide();
    QComboBox::hidePopup();
}

CZylAddressBar::CZylAddressBar(CZylMainFrame& frame, QWidget* parent)
    : QToolBar(parent), m_rFrame(frame), m_pLabel(new QLabel(ZylString(4270), this)),
      m_pTree(new QTreeWidget(this)), m_pBox(nullptr) {
    setObjectName(QStringLiteral("addressBar"));
    setWindowTitle(ZylString(4270));
    m_pTree->setObjectName(QString::fromUtf16(ZylTexts::ADDRESS_TREE));
    m_pTree->setWindowTitle(QString::fromUtf16(ZylTexts::ADDRESS_TREE));
    m_pTree->setWindowFlags(Qt::Popup);
    m_pTree->setHeaderHidden(true);
    m_pBox = new CZylAddressBox(*m_pTree, this);
    m_pLabel->setBuddy(m_pBox);
    m_pLabel->setContentsMargins(4, 0, 4, 0);
    addWidget(m_pLabel);
    addWidget(m_pBox);
    connect(m_pTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* entry) {
        m_pBox->hidePopup();
        Pick(entry);
    });
}

void CZylAddressBar::SetText(const QString& text) {
    m_pBox->setItemText(0, text);
}

QString CZylAddressBar::GetText() const {
    return m_pBox->itemText(0);
}

void CZylAddressBar::BuildAddressTree(CZylUserView* view) {
    if (!view)
        return;
    m_pTree->clear();
    auto* friends = new QTreeWidgetItem(m_pTree, {ZylString(4221)});
    friends->setIcon(0, ZylTreeImage(0));
    auto* local = new QTreeWidgetItem(m_pTree, {ZylString(4243)});
    local->setIcon(0, ZylTreeImage(4));

    // Where the friend tree stands: a root, a friend, or a local share and the path below it.
    CZylTreeItem* selected = view->GetSelected();
    QTreeWidgetItem* chosen = nullptr;
    QString friendText, shareText;
    QStringList path;
    switch (CZylUserView::KindOf(selected)) {
    case ZYL_KIND_FRIENDS_ROOT:
        chosen = friends;
        break;
    case ZYL_KIND_LOCAL_ROOT:
        chosen = local;
        break;
    case ZYL_KIND_FRIEND:
        friendText = selected->text(0);
        break;
    case ZYL_KIND_LOCAL_SHARE:
        shareText = selected->text(0);
        break;
    case ZYL_KIND_LOCAL_FOLDER: {
        QTreeWidgetItem* at = selected;
        while (at && CZylUserView::KindOf(at) == ZYL_KIND_LOCAL_FOLDER) {
            path.prepend(at->text(0));
            at = at->parent();
        }
        if (CZylUserView::KindOf(at) == ZYL_KIND_LOCAL_SHARE)
            shareText = at->text(0);
        else
            path.clear();
        break;
    }
    default:
        break;
    }

    CZylTreeItem* friendsRoot = view->GetFriendsRoot();
    for (int i = 0; i < friendsRoot->childCount(); ++i) {
        QTreeWidgetItem* source = friendsRoot->child(i);
        auto* entry = new QTreeWidgetItem(friends, {source->text(0)});
        entry->setIcon(0, source->icon(0));
        if (!friendText.isEmpty() && source->text(0) == friendText && !chosen)
            chosen = entry;
    }
    friends->setExpanded(true);

    CZylTreeItem* localRoot = view->GetLocalRoot();
    for (int i = 0; i < localRoot->childCount(); ++i) {
        QTreeWidgetItem* source = localRoot->child(i);
        auto* entry = new QTreeWidgetItem(local, {source->text(0)});
        entry->setIcon(0, source->icon(0));
        if (!shareText.isEmpty() && source->text(0) == shareText && !chosen) {
            chosen = entry;
            for (const QString& component : path) {
                auto* folder = new QTreeWidgetItem(chosen, {component});
                folder->setIcon(0, ZylTreeImage(5));
                chosen->setExpanded(true);
                chosen = folder;
            }
        }
    }
    local->setExpanded(true);
    if (chosen)
        m_pTree->setCurrentItem(chosen);
}

void CZylAddressBar::Pick(QTreeWidgetItem* entry) {
    if (!entry)
        return;
    SetText(entry->text(0));
    QString path = entry->text(0);
    for (QTreeWidgetItem* at = entry->parent(); at; at = at->parent())
        path = at->text(0) + QLatin1Char('|') + path;
    QCoreApplication::postEvent(
        &m_rFrame, new CZylWindowEvent(WM_ZYL_ADDRESS_SELCHANGED,
                                       reinterpret_cast<intptr_t>(new std::u16string(ZylW(path))),
                                       reinterpret_cast<intptr_t>(new std::u16string(ZylW(entry->text(0))))));
}

bool CZylAddressBar::event(QEvent* event) {
    if (static_cast<uint32_t>(event->type()) == WM_ZYL_ADDRESS_RESIZE) {
        // The box stretches with the frame, the label standing to its left.
        const int width = static_cast<int>(static_cast<CZylWindowEvent*>(event)->First());
        m_pBox->setFixedSize(std::max(width - 85, 60), 22);
        return true;
    }
    return QToolBar::event(event);
}
