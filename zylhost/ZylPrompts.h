// Every question the host asks a person goes through IZylPrompts: the desktop shows dialogs and
// message boxes (CZylQtPrompts), the tests answer from a script, so nothing ever waits on a dialog
// nobody sees.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class QWidget;

struct ZYLLOGINFORM {
    QString sUser;
    QString sPassword;
    QString sBroker; // HOST:PORT
};

struct ZYLPICKCANDIDATE {
    QString sId;
    QString sName; // empty when the contact has none
    bool bOnline = false;
};

class IZylPrompts {
public:
    virtual ~IZylPrompts() = default;
    // The login form, filled with what is known; problem says why it is asked again (empty at
    // first). False when the person gives up.
    virtual bool AskLogin(ZYLLOGINFORM& form, const QString& problem) = 0;
    // Several users out of the candidates; title and prompt are the plug-in's. False on cancel.
    virtual bool PickUsers(const QString& title, const QString& prompt,
                           const std::vector<ZYLPICKCANDIDATE>& candidates, QStringList& picked) = 0;
    // A contact's id (unless fixed) and name. False on cancel.
    virtual bool EditContact(const QString& title, QString& id, QString& name, bool idFixed) = 0;
    // A yes/no question; true for yes.
    virtual bool Confirm(const QString& title, const QString& question) = 0;
    // One sentence about something that went wrong.
    virtual void ShowError(const QString& sentence) = 0;
};

class CZylQtPrompts : public IZylPrompts {
public:
    // The window the dialogs belong to (none: they stand alone).
    void SetParent(QWidget* parent) { m_pParent = parent; }

    bool AskLogin(ZYLLOGINFORM& form, const QString& problem) override;
    bool PickUsers(const QString& title, const QString& prompt,
                   const std::vector<ZYLPICKCANDIDATE>& candidates, QStringList& picked) override;
    bool EditContact(const QString& title, QString& id, QString& name, bool idFixed) override;
    bool Confirm(const QString& title, const QString& question) override;
    void ShowError(const QString& sentence) override;

private:
    QWidget* m_pParent = nullptr;
};

class QIcon;
// The mark of a user's presence in lists: a green dot online, a grey one offline.
QIcon ZylPresenceIcon(bool online);
// How a user is shown: "Name (S1.1000)", or the id alone when the user has no name.
QString ZylUserLabel(const QString& id, const QString& name);
