#include "zylhost/ZylPrompts.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

QIcon ZylPresenceIcon(bool online) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(online ? QColor(0x1e, 0x7b, 0x34) : QColor(0x70, 0x70, 0x70), 1));
    painter.setBrush(online ? QColor(0x3c, 0xc0, 0x5a) : QColor(0xc8, 0xc8, 0xc8));
    painter.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    return QIcon(pixmap);
}

QString ZylUserLabel(const QString& id, const QString& name) {
    return name.isEmpty() ? id : QStringLiteral("%1 (%2)").arg(name, id);
}

namespace {
QDialogButtonBox* AddButtons(QDialog& dialog, QLayout* layout) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return buttons;
}
} // namespace

bool CZylQtPrompts::AskLogin(ZYLLOGINFORM& form, const QString& problem) {
    QDialog dialog(m_pParent);
    dialog.setWindowTitle(QStringLiteral("Log in to file sharing"));
    auto* layout = new QVBoxLayout(&dialog);
    if (!problem.isEmpty()) {
        auto* label = new QLabel(problem, &dialog);
        label->setWordWrap(true);
        label->setStyleSheet(QStringLiteral("color: #a00000"));
        layout->addWidget(label);
    }
    auto* fields = new QFormLayout;
    auto* user = new QLineEdit(form.sUser, &dialog);
    user->setPlaceholderText(QStringLiteral("S1.1000"));
    auto* password = new QLineEdit(form.sPassword, &dialog);
    password->setEchoMode(QLineEdit::Password);
    auto* broker = new QLineEdit(form.sBroker, &dialog);
    broker->setPlaceholderText(QStringLiteral("host:port"));
    fields->addRow(QStringLiteral("&User id:"), user);
    fields->addRow(QStringLiteral("&Password:"), password);
    fields->addRow(QStringLiteral("&Broker:"), broker);
    layout->addLayout(fields);
    AddButtons(dialog, layout);
    (form.sUser.isEmpty() ? user : password)->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    form.sUser = user->text().trimmed();
    form.sPassword = password->text();
    form.sBroker = broker->text().trimmed();
    return true;
}

bool CZylQtPrompts::PickUsers(const QString& title, const QString& prompt,
                              const std::vector<ZYLPICKCANDIDATE>& candidates, QStringList& picked) {
    QDialog dialog(m_pParent);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label =
        new QLabel(candidates.empty() ? QStringLiteral("There is nobody to pick.") : prompt, &dialog);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* list = new QListWidget(&dialog);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (const ZYLPICKCANDIDATE& candidate : candidates) {
        auto* item = new QListWidgetItem(ZylPresenceIcon(candidate.bOnline),
                                         ZylUserLabel(candidate.sId, candidate.sName), list);
        item->setData(Qt::UserRole, candidate.sId);
    }
    layout->addWidget(list);
    AddButtons(dialog, layout);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    picked.clear();
    for (const QListWidgetItem* item : list->selectedItems())
        picked << item->data(Qt::UserRole).toString();
    return true;
}

bool CZylQtPrompts::EditContact(const QString& title, QString& id, QString& name, bool idFixed) {
    QDialog dialog(m_pParent);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* fields = new QFormLayout;
    auto* idEdit = new QLineEdit(id, &dialog);
    idEdit->setReadOnly(idFixed);
    idEdit->setPlaceholderText(QStringLiteral("S1.1000"));
    auto* nameEdit = new QLineEdit(name, &dialog);
    nameEdit->setMaxLength(128);
    fields->addRow(QStringLiteral("&User id:"), idEdit);
    fields->addRow(QStringLiteral("&Name:"), nameEdit);
    layout->addLayout(fields);
    AddButtons(dialog, layout);
    (idFixed ? nameEdit : idEdit)->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    id = idEdit->text().trimmed();
    name = nameEdit->text();
    return true;
}

bool CZylQtPrompts::Confirm(const QString& title, const QString& question) {
    return QMessageBox::question(m_pParent, title, question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void CZylQtPrompts::ShowError(const QString& sentence) {
    QMessageBox::warning(m_pParent, QStringLiteral("File sharing"), sentence);
}
