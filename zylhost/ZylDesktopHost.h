// The desktop host's heart, without its face: it loads the plug-in module, logs the user in to
// the broker and the plug-in, carries the plug-in's channels and PDUs over the broker, keeps the
// presence of the users it has seen and the person's contacts, and answers the plug-in's service
// requests. Questions to the person go through IZylPrompts.
#pragma once

#include "host/ZylMqttHost.h"
#include "zylhost/ZylContacts.h"
#include "zylhost/ZylModule.h"
#include "zylhost/ZylPrompts.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

struct ZYLDESKTOPLOGIN {
    std::string sUser; // a user id, like S1.1000
    std::string sPassword;
    std::string sBrokerHost = "127.0.0.1";
    int nBrokerPort = 1883;
    ZYLMQTTSECURITY security;       // TLS or not, and whose certificates verify the broker
    std::filesystem::path pDataDir; // the application folder; empty for the user's default
    std::filesystem::path pModule;  // libzylfs.so; empty when it was not found
};

class CZylDesktopHost : public QObject {
    Q_OBJECT
public:
    struct USER {
        QString sId;
        QString sName; // from the contacts; empty when none
        bool bOnline = false;
        bool bContact = false;
        QString sFingerprint; // of the key pinned for the user; empty before one was seen
        // The user shows another key than the pinned one: its channels are refused until the
        // person trusts the new key, and sKeyRefusal says so.
        QString sKeyRefusal;
    };

    explicit CZylDesktopHost(IZylPrompts& prompts, QObject* parent = nullptr);
    ~CZylDesktopHost() override; // Logout

    // Loads the module, logs in to the broker and logs the plug-in in. An empty text when done,
    // else one sentence for a person; a failure leaves nothing loaded and nobody logged in.
    QString Login(const ZYLDESKTOPLOGIN& login);
    // Logs the plug-in out (it saves its databases and closes its channels), leaves the broker
    // and unloads the module.
    void Logout();
    bool IsLoggedIn() const { return m_bLoggedIn; }
    // The last Login failed for a reason that asking again does not mend (no module, no folder).
    bool IsFailureFinal() const { return m_bFailureFinal; }
    const QString& UserId() const { return m_sUser; }
    const std::filesystem::path& DataDir() const { return m_pDataDir; }

    // The contacts and everyone seen online since the login (not the user), online ones first.
    std::vector<USER> Users() const;
    bool IsOnline(const QString& id) const;
    const CZylContacts& Contacts() const { return m_contacts; }
    // Adds or renames a contact, or removes it, and writes the contacts file. An empty text when
    // done, else one sentence.
    QString SetContact(const QString& id, const QString& name);
    QString RemoveContact(const QString& id);

    // The user's changed key becomes the pinned one, so that its channels open again. An empty
    // text when done, else one sentence.
    QString TrustNewKey(const QString& id);

    // Opens the plug-in's window (its own shares), or opens it on a friend's shares.
    int32_t OpenSharing();
    int32_t BrowseShares(const QString& id);
    // The users with whom file data moved in the last few seconds, either way.
    QStringList TransferPeers() const;

    // The plug-in's requests of the host (the module's callback).
    int32_t OnHostCall(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5);

signals:
    void UsersChanged();
    // The broker connection was lost or came back (a status line).
    void BrokerStateChanged(const QString& text);
    // The broker ended the session (the user logged in elsewhere); the plug-in is logged out.
    void SessionEnded(const QString& sentence);

private:
    // One sentence naming the program that holds the data folder (another host or node of the
    // user, which the plug-in lets in alone), or empty when none does.
    QString FolderInUse() const;
    // Writes the changed contacts and takes them; an empty text, or one sentence.
    QString SaveContacts(CZylContacts changed);
    void PollHost();
    void OnEvent(const ZYLHOSTEVENT& event);
    void NoteTransfer(const QString& peer, uint32_t command);
    int32_t PickUsers(intptr_t purpose, intptr_t texts, intptr_t result, intptr_t buffer, intptr_t count);

    IZylPrompts& m_rPrompts;
    CZylModule m_module;
    std::unique_ptr<CZylMqttHost> m_pHost;
    QSocketNotifier* m_pNotifier = nullptr; // a child of this object
    QTimer m_pollTimer;
    QString m_sUser;
    std::filesystem::path m_pDataDir;
    std::u16string m_sAppPath;
    CZylContacts m_contacts;
    bool m_bContactsUnreadable = false; // never written over then
    std::map<QString, bool> m_mSeen;    // users seen since the login: online or not
    std::map<QString, std::chrono::steady_clock::time_point> m_mTransfers; // last file data
    bool m_bLoggedIn = false;
    bool m_bFailureFinal = false;
    QString m_sEnded; // why the broker ended the session, until it is handled
};

// The sentence a person reads for a login the broker did not take.
QString ZylLoginErrorSentence(const std::string& reason, const std::string& user, const std::string& broker);
