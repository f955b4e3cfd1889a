#include "ui/ZylDialogs.h"

#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "ui/ZylAsk.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiImages.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace {
// Room the host's picker fills with HostUserId objects.
constexpr size_t ZYL_PICK_ROOM = 8192;

QString Text(const char16_t* text) {
    return QString::fromUtf16(text);
}

QDialogButtonBox* OkCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* ok = buttons->addButton(ZylControlText(ZYL_IDOK), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(ZylControlText(ZYL_IDCANCEL), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

// A count the person types: digits only.
QLineEdit* NumberEdit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setValidator(new QIntValidator(0, INT_MAX, edit));
    edit->setMaximumWidth(80);
    return edit;
}
} // namespace

std::vector<std::u16string> ZylPickFriends(CZylMainFrame& frame, intptr_t purpose, int titleId, int promptId,
                                           bool& confirmed) {
    const std::u16string title = ZylW(ZylString(titleId));
    const std::u16string prompt = ZylW(ZylString(promptId));
    const char16_t* texts[2] = {title.c_str(), prompt.c_str()};
    int32_t result = 0;
    int32_t count = 0;
    std::vector<unsigned char> room(ZYL_PICK_ROOM);
    // The host's picker may run an event loop of its own, as any question does.
    frame.EnterModal();
    frame.Plugin().GetHost().Call(
        ZYL_HOST_PICK_USERS, purpose, reinterpret_cast<intptr_t>(texts), reinterpret_cast<intptr_t>(&result),
        reinterpret_cast<intptr_t>(room.data()), reinterpret_cast<intptr_t>(&count));
    confirmed = result == 1 && !frame.IsClosed();
    frame.LeaveModal();
    std::vector<std::u16string> ids;
    if (!confirmed)
        return ids;
    // A count beyond the room the host was given is cut to it.
    const size_t n =
        std::min<size_t>(static_cast<size_t>(std::max(count, 0)), ZYL_PICK_ROOM / sizeof(HostUserId));
    for (size_t i = 0; i < n; ++i) {
        const auto* picked = reinterpret_cast<const HostUserId*>(room.data() + i * sizeof(HostUserId));
        HostUserId id;
        id.number = picked->number;
        id.site = picked->site;
        if (id.GetKind() != HostUserId::Invalid)
            ids.push_back(id.ToText());
    }
    return ids;
}

// ---------------------------------------------------------------------------------------------
// Share properties

CZylSharePropertiesDialog::CZylSharePropertiesDialog(CZylMainFrame& frame, ZYLSHAREEDIT& edit,
                                                     QWidget* parent)
    : QDialog(parent), m_rFrame(frame), m_rEdit(edit), m_vPrivileges(edit.privileges),
      m_bPrivilegesEdited(edit.privilegesEdited) {
    setObjectName(QStringLiteral("sharePropertiesDialog"));
    setWindowTitle(ZylString(4219));

    auto* group = new QGroupBox(Text(ZylTexts::SHARE_GROUP), this);
    auto* grid = new QGridLayout(group);
    auto* icon = new QLabel(group);
    icon->setPixmap(ZylTreeImage(5).pixmap(32, 32));
    auto* path = new QLineEdit(ZylQ(edit.path), group);
    path->setObjectName(QStringLiteral("sharePathEdit"));
    path->setReadOnly(true);
    m_pName = new QLineEdit(ZylQ(edit.name), group);
    m_pName->setObjectName(QStringLiteral("shareNameEdit"));
    // A share name travels as the first component of share paths: no "\" and no control character.
    m_pName->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[^\\\\\\x00-\\x1f]{0,259}")), m_pName));
    m_pRemark = new QLineEdit(ZylQ(edit.remark), group);
    m_pRemark->setObjectName(QStringLiteral("remarkEdit"));
    m_pRemark->setMaxLength(259);
    auto* nameLabel = new QLabel(ZylControlText(ZYL_IDC_SHARE_NAME), group);
    nameLabel->setBuddy(m_pName);
    auto* remarkLabel = new QLabel(ZylControlText(ZYL_IDC_REMARK), group);
    remarkLabel->setBuddy(m_pRemark);
    grid->addWidget(icon, 0, 0);
    grid->addWidget(path, 0, 1, 1, 3);
    grid->addWidget(nameLabel, 1, 0);
    grid->addWidget(m_pName, 1, 1, 1, 3);
    grid->addWidget(remarkLabel, 2, 0);
    grid->addWidget(m_pRemark, 2, 1, 1, 3);

    grid->addWidget(new QLabel(Text(ZylTexts::USER_LIMIT_LABEL), group), 3, 0);
    m_pUnlimited = new QRadioButton(ZylControlText(ZYL_IDC_UNLIMITED), group);
    m_pUnlimited->setObjectName(QStringLiteral("unlimitedRadio"));
    m_pLimited = new QRadioButton(ZylControlText(ZYL_IDC_LIMITED), group);
    m_pLimited->setObjectName(QStringLiteral("limitedRadio"));
    m_pLimit = NumberEdit(group, "limitEdit");
    grid->addWidget(m_pUnlimited, 3, 1, 1, 3);
    grid->addWidget(m_pLimited, 4, 1);
    grid->addWidget(m_pLimit, 4, 2);
    grid->addWidget(new QLabel(Text(ZylTexts::USERS_SUFFIX), group), 4, 3);

    auto* hint = new QLabel(
        Text(ZylTexts::PERMISSION_HINT_1) + QLatin1Char('\n') + Text(ZylTexts::PERMISSION_HINT_2), group);
    auto* permissions = new QPushButton(ZylControlText(ZYL_IDC_PERMISSIONS), group);
    permissions->setObjectName(QStringLiteral("permissionsButton"));
    grid->addWidget(hint, 5, 0, 1, 3);
    grid->addWidget(permissions, 5, 3);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(OkCancel(this));

    if (edit.unlimited) {
        m_pUnlimited->setChecked(true);
    } else {
        m_pLimited->setChecked(true);
        m_pLimit->setText(QString::number(edit.limit));
    }
    connect(m_pLimited, &QRadioButton::clicked, this, [this] { m_pLimit->setText(QStringLiteral("10")); });
    connect(m_pUnlimited, &QRadioButton::clicked, this, [this] { m_pLimit->clear(); });
    connect(m_pLimit, &QLineEdit::textEdited, this, [this] { m_pLimited->setChecked(true); });
    connect(permissions, &QPushButton::clicked, this, [this] { OnPermissions(); });
}

void CZylSharePropertiesDialog::OnPermissions() {
    std::vector<ZYLPRIVILEGEDUSER> entries = m_vPrivileges;
    CZylPermissionDialog dialog(m_rFrame, entries, this);
    if (m_rFrame.Ask().RunDialog(dialog) == QDialog::Accepted) {
        m_vPrivileges = std::move(entries);
        m_bPrivilegesEdited = true;
    }
}

void CZylSharePropertiesDialog::accept() {
    if (m_pName->text().isEmpty()) {
        m_rFrame.Ask().Message(this, ZylString(4223), IZylAsk::ZYL_ASK_EXCLAMATION);
        return;
    }
    if (m_pLimited->isChecked() && m_pLimit->text().isEmpty()) {
        m_rFrame.Ask().Message(this, ZylString(4224), IZylAsk::ZYL_ASK_INFORMATION);
        return;
    }
    m_rEdit.name = ZylW(m_pName->text());
    m_rEdit.remark = ZylW(m_pRemark->text());
    m_rEdit.unlimited = !m_pLimited->isChecked();
    if (!m_rEdit.unlimited)
        m_rEdit.limit = m_pLimit->text().toInt();
    if (m_vPrivileges.empty()) {
        // A share nobody may use is of no use: "Everyone" may browse and download.
        m_vPrivileges.push_back(ZYLPRIVILEGEDUSER{std::u16string(ZYL_EVERYONE), std::u16string(ZYL_EVERYONE),
                                                  ZYL_PRIVILEGED_EVERYONE,
                                                  ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD});
        m_bPrivilegesEdited = true;
    }
    m_rEdit.privileges = m_vPrivileges;
    m_rEdit.privilegesEdited = m_bPrivilegesEdited;
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
// Permissions

CZylPermissionDialog::CZylPermissionDialog(CZylMainFrame& frame, std::vector<ZYLPRIVILEGEDUSER>& entries,
                                           QWidget* parent)
    : QDialog(parent), m_rFrame(frame), m_rEntries(entries), m_pUsers(new QTreeWidget(this)),
      m_pRights(new QTableWidget(3, 3, this)) {
    setObjectName(QStringLiteral("permissionDialog"));
    setWindowTitle(ZylControlText(ZYL_IDC_PERMISSIONS).remove(QStringLiteral("(&P)")));
    m_pUsers->setObjectName(QStringLiteral("userList"));
    m_pUsers->setHeaderLabels({ZylString(4225)});
    m_pUsers->setRootIsDecorated(false);
    m_pRights->setObjectName(QStringLiteral("rightsList"));
    m_pRights->setHorizontalHeaderLabels({QString(), Text(ZylTexts::ALLOW), Text(ZylTexts::DENY)});
    m_pRights->verticalHeader()->hide();
    m_pRights->setSelectionMode(QAbstractItemView::NoSelection);
    m_pRights->setEditTriggers(QAbstractItemView::NoEditTriggers);
    const int names[3] = {4238, 4239, 4240};
    for (int row = 0; row < 3; ++row) {
        auto* name = new QTableWidgetItem(ZylString(names[row]));
        name->setFlags(Qt::ItemIsEnabled);
        m_pRights->setItem(row, 0, name);
        for (int column : {1, 2}) {
            auto* box = new QTableWidgetItem;
            box->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            box->setCheckState(Qt::Unchecked);
            m_pRights->setItem(row, column, box);
        }
    }
    m_pRights->setEnabled(false);

    auto* add = new QPushButton(ZylControlText(ZYL_IDC_ADD_USER), this);
    add->setObjectName(QStringLiteral("addButton"));
    auto* remove = new QPushButton(ZylControlText(ZYL_IDC_REMOVE_USER), this);
    remove->setObjectName(QStringLiteral("removeButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(add);
    buttons->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pUsers);
    layout->addLayout(buttons);
    layout->addWidget(m_pRights);
    layout->addWidget(OkCancel(this));

    for (const auto& entry : entries)
        AddEntry(entry);
    connect(m_pUsers, &QTreeWidget::itemSelectionChanged, this, [this] { OnSelect(); });
    connect(m_pRights, &QTableWidget::cellChanged, this,
            [this](int row, int column) { OnRightChanged(row, column); });
    connect(add, &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(remove, &QPushButton::clicked, this, [this] { OnRemove(); });
}

void CZylPermissionDialog::AddEntry(const ZYLPRIVILEGEDUSER& entry) {
    for (const auto& row : m_vRows)
        if (ZylEqualNoCase(row.id, entry.id))
            return;
    m_vRows.push_back(entry);
    const bool everyone = entry.type == ZYL_PRIVILEGED_EVERYONE || ZylEqualNoCase(entry.id, ZYL_EVERYONE);
    auto* item = new QTreeWidgetItem(m_pUsers, {ZylQ(entry.name.empty() ? entry.id : entry.name)});
    item->setIcon(0, everyone ? ZylTreeImage(0) : ZylTreeImage(1));
}

int CZylPermissionDialog::SelectedRow() const {
    const auto selected = m_pUsers->selectedItems();
    return selected.isEmpty() ? -1 : m_pUsers->indexOfTopLevelItem(selected.front());
}

void CZylPermissionDialog::OnSelect() {
    const int row = SelectedRow();
    const bool user = row >= 0 && m_vRows[static_cast<size_t>(row)].type == ZYL_PRIVILEGED_USER &&
                      !ZylEqualNoCase(m_vRows[static_cast<size_t>(row)].id, ZYL_EVERYONE);
    m_bFilling = true;
    const uint16_t bits = row >= 0 ? m_vRows[static_cast<size_t>(row)].privilege : 0;
    const uint16_t masks[3] = {ZYL_PRIV_BROWSE, ZYL_PRIV_DOWNLOAD, ZYL_PRIV_UPLOAD};
    for (int right = 0; right < 3; ++right) {
        const bool allowed = (bits & masks[right]) != 0;
        m_pRights->item(right, 1)->setCheckState(allowed ? Qt::Checked : Qt::Unchecked);
        m_pRights->item(right, 2)->setCheckState(allowed ? Qt::Unchecked : Qt::Checked);
    }
    m_bFilling = false;
    // The rights of "Everyone" are not edited here.
    m_pRights->setEnabled(user);
}

void CZylPermissionDialog::OnRightChanged(int right, int column) {
    const int row = SelectedRow();
    if (m_bFilling || row < 0 || column == 0 || !m_pRights->isEnabled())
        return;
    m_bFilling = true;
    // "Allow" and "deny" are the two sides of one right.
    const bool checked = m_pRights->item(right, column)->checkState() == Qt::Checked;
    m_pRights->item(right, column == 1 ? 2 : 1)->setCheckState(checked ? Qt::Unchecked : Qt::Checked);
    m_bFilling = false;
    uint16_t bits = m_vRows[static_cast<size_t>(row)].privilege &
                    ~(ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD);
    const uint16_t masks[3] = {ZYL_PRIV_BROWSE, ZYL_PRIV_DOWNLOAD, ZYL_PRIV_UPLOAD};
    for (int i = 0; i < 3; ++i)
        if (m_pRights->item(i, 1)->checkState() == Qt::Checked)
            bits |= masks[i];
    m_vRows[static_cast<size_t>(row)].privilege = bits;
}

void CZylPermissionDialog::OnAdd() {
    bool confirmed = false;
    const auto ids = ZylPickFriends(m_rFrame, ZYL_PICK_PERMISSION, 4296, 4297, confirmed);
    for (const auto& id : ids) {
        ZYLPRIVILEGEDUSER entry{id, m_rFrame.Plugin().GetDisplayName(id), ZYL_PRIVILEGED_USER,
                                static_cast<uint16_t>(ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD)};
        AddEntry(entry);
    }
}

void CZylPermissionDialog::OnRemove() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const auto& entry = m_vRows[static_cast<size_t>(row)];
    if (entry.type == ZYL_PRIVILEGED_EVERYONE || ZylEqualNoCase(entry.id, ZYL_EVERYONE))
        return;
    m_vRows.erase(m_vRows.begin() + row);
    delete m_pUsers->takeTopLevelItem(row);
}

void CZylPermissionDialog::accept() {
    m_rEntries = m_vRows;
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
// Options

CZylOptionsDialog::CZylOptionsDialog(ZYLOPTIONS& options, QWidget* parent)
    : QDialog(parent), m_rOptions(options) {
    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(Text(ZylTexts::OPTIONS_CAPTION));
    auto* sharing = new QGroupBox(Text(ZylTexts::SHARING_GROUP), this);
    m_pNoUpload = new QCheckBox(ZylControlText(ZYL_IDC_NO_UPLOAD), sharing);
    m_pNoUpload->setObjectName(QStringLiteral("noUploadCheck"));
    (new QVBoxLayout(sharing))->addWidget(m_pNoUpload);

    auto* tasks = new QGroupBox(Text(ZylTexts::TASKS_GROUP), this);
    m_pAutoStart = new QCheckBox(ZylControlText(ZYL_IDC_AUTO_START), tasks);
    m_pAutoStart->setObjectName(QStringLiteral("autoStartCheck"));
    m_pLimited = new QCheckBox(ZylControlText(ZYL_IDC_TASK_LIMITED), tasks);
    m_pLimited->setObjectName(QStringLiteral("taskLimitCheck"));
    m_pLimit = NumberEdit(tasks, "taskLimitEdit");
    m_pLimit->setValidator(new QIntValidator(1, INT_MAX, m_pLimit));
    auto* limitRow = new QHBoxLayout;
    limitRow->addWidget(m_pLimited);
    limitRow->addWidget(m_pLimit);
    limitRow->addWidget(new QLabel(Text(ZylTexts::TASKS_SUFFIX), tasks));
    limitRow->addStretch();
    auto* taskLayout = new QVBoxLayout(tasks);
    taskLayout->addWidget(m_pAutoStart);
    taskLayout->addLayout(limitRow);

    auto* buttons = OkCancel(this);
    m_pOk = buttons->findChild<QPushButton*>(QStringLiteral("okButton"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(sharing);
    layout->addWidget(tasks);
    layout->addWidget(buttons);

    m_pNoUpload->setChecked(options.noUpload);
    m_pAutoStart->setChecked(options.autoStart);
    m_pLimited->setChecked(options.maxTasks != -1);
    if (options.maxTasks != -1)
        m_pLimit->setText(QString::number(options.maxTasks));
    connect(m_pLimited, &QCheckBox::clicked, this, [this](bool checked) {
        if (checked)
            m_pLimit->setText(QStringLiteral("50"));
        else
            m_pLimit->clear();
        UpdateOk();
    });
    connect(m_pLimit, &QLineEdit::textEdited, this, [this] { m_pLimited->setChecked(true); });
    connect(m_pLimit, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
    UpdateOk();
}

void CZylOptionsDialog::UpdateOk() {
    // A limit that is switched on needs a number of at least 1.
    m_pOk->setEnabled(!m_pLimited->isChecked() || m_pLimit->hasAcceptableInput());
}

void CZylOptionsDialog::accept() {
    if (m_pLimited->isChecked() && !m_pLimit->hasAcceptableInput())
        return;
    m_rOptions.noUpload = m_pNoUpload->isChecked();
    m_rOptions.autoStart = m_pAutoStart->isChecked();
    m_rOptions.maxTasks = m_pLimited->isChecked() ? m_pLimit->text().toInt() : -1;
    QDialog::accept();
}
