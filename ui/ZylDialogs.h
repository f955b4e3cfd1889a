// The modal dialogs: the share properties (name, remark, user limit) with the permission dialog it
// opens, and the options. They work on plain copies of the values; the frame checks the results
// against the other shares and stores them.
#pragma once

#include "share/ZylShareObject.h"

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class CZylMainFrame;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QTreeWidget;

// The host's friend picker: the ids of the friends picked, confirmed false when the person
// cancelled.
std::vector<std::u16string> ZylPickFriends(CZylMainFrame& frame, intptr_t purpose, int titleId, int promptId,
                                           bool& confirmed);

// What the share properties dialog edits.
struct ZYLSHAREEDIT {
    std::u16string path; // shown only
    std::u16string name;
    std::u16string remark;
    bool unlimited = true;
    int32_t limit = 10;
    std::vector<ZYLPRIVILEGEDUSER> privileges;
    bool privilegesEdited = false; // the permission dialog was confirmed
};

class CZylSharePropertiesDialog : public QDialog {
    Q_OBJECT
public:
    CZylSharePropertiesDialog(CZylMainFrame& frame, ZYLSHAREEDIT& edit, QWidget* parent);
    // Checks the name and the limit; stays open with a message when one is missing.
    void accept() override;

private:
    void OnPermissions();

    CZylMainFrame& m_rFrame;
    ZYLSHAREEDIT& m_rEdit;
    std::vector<ZYLPRIVILEGEDUSER> m_vPrivileges;
    bool m_bPrivilegesEdited = false;
    QLineEdit* m_pName;
    QLineEdit* m_pRemark;
    QRadioButton* m_pUnlimited;
    QRadioButton* m_pLimited;
    QLineEdit* m_pLimit;
};

class CZylPermissionDialog : public QDialog {
    Q_OBJECT
public:
    CZylPermissionDialog(CZylMainFrame& frame, std::vector<ZYLPRIVILEGEDUSER>& entries, QWidget* parent);
    void accept() override;

    // Adds a row for an entry unless its id is listed.
    void AddEntry(const ZYLPRIVILEGEDUSER& entry);

private:
    void OnSelect();
    void OnRightChanged(int row, int column);
    void OnAdd();
    void OnRemove();
    int SelectedRow() const;

    CZylMainFrame& m_rFrame;
    std::vector<ZYLPRIVILEGEDUSER>& m_rEntries;
    std::vector<ZYLPRIVILEGEDUSER> m_vRows; // the list's entries, in its order
    QTreeWidget* m_pUsers;
    QTableWidget* m_pRights;
    bool m_bFilling = false;
};

// The options: the upload switch, starting all tasks after login, and the task limit (-1: none).
struct ZYLOPTIONS {
    bool noUpload = false;
    bool autoStart = false;
    int32_t maxTasks = -1;
};

class CZylOptionsDialog : public QDialog {
    Q_OBJECT
public:
    CZylOptionsDialog(ZYLOPTIONS& options, QWidget* parent);
    void accept() override;

private:
    void UpdateOk();

    ZYLOPTIONS& m_rOptions;
    QCheckBox* m_pNoUpload;
    QCheckBox* m_pAutoStart;
    QCheckBox* m_pLimited;
    QLineEdit* m_pLimit;
    QPushButton* m_pOk;
};
