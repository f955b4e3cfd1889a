#include "zylhost/ZylDesktopHost.h"

#include "core/ZylFolderLock.h"
#include "host/ZylHostDefaults.h"
#include "host/ZylMqttHost.h"

#include <QSocketNotifier>

#include <algorithm>
#include <fstream>
#include <new>

namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The peers' commands that carry file data: a download's pieces and an upload's.
constexpr uint32_t ZYL_FILE_DATA_COMMANDS[] = {4100, 4101, 4108, 4109};
// File data within this long means a transfer is running.
constexpr auto ZYL_TRANSFER_QUIET = std::chrono::seconds(5);
constexpr intptr_t ZYL_PICK_TO_BROWSE = 4097;
constexpr int32_t ZYL_PICK_BUFFER_BYTES = 8192;
constexpr size_t ZYL_NAME_BUFFER = 129;
constexpr size_t ZYL_PATH_BUFFER = 260;

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

QString TextOfUser(intptr_t user) {
    if (!user)
        return {};
    // The plug-in's identity object: only its two words are read (it may come from another build).
    const auto* theirs = reinterpret_cast<const HostUserId*>(user);
    HostUserId id;
    id.number = theirs->number;
    id.site = theirs->site;
    return QString::fromStdU16String(id.ToText());
}

HostUserId UserOf(const QString& id) {
    HostUserId user;
    user.Parse(id.toStdU16String());
    return user;
}

// Copies text and its terminator into a buffer of that many units; false when it does not fit.
bool CopyOut(const std::u16string& text, intptr_t buffer, size_t units) {
    if (!buffer || text.size() >= units)
        return false;
    auto* out = reinterpret_cast<char16_t*>(buffer);
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return true;
}

// The name of a running program, as the system tells it ("zylfs"); empty when it cannot.
QString ProgramName(int64_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return FromUtf8(name);
}
} // namespace

QString ZylLoginErrorSentence(const std::string& reason, const std::string& user, const std::string& broker) {
    const auto starts = [&](const char* prefix) { return reason.rfind(prefix, 0) == 0; };
    if (starts("cannot reach the broker") || starts("cannot find the broker host") ||
        starts("no answer from the broker") || starts("the broker closed the connection"))
        return QStringLiteral("The broker at %1 cannot be reached; check the address and that it is running.")
            .arg(FromUtf8(broker));
    // The TLS refusals are sentences already: the certificate that does not verify, the CA file.
    if (starts("refused the broker") || starts("cannot read the CA file") || starts("cannot use ")) {
        QString sentence = FromUtf8(reason);
        sentence[0] = sentence[0].toUpper();
        return sentence + QLatin1Char('.');
    }
    if (reason == "connection refused: not authorised")
        return QStringLiteral("The broker refused the login of %1: the user id or the password is wrong.")
            .arg(FromUtf8(user));
    if (reason == "the same user logged in elsewhere")
        return QStringLiteral("%1 has logged in elsewhere, so this session has ended.").arg(FromUtf8(user));
    return QStringLiteral("The broker at %1 did not take the login: %2.")
        .arg(FromUtf8(broker), FromUtf8(reason));
}

CZylDesktopHost::CZylDesktopHost(IZylPrompts& prompts, QObject* parent)
    : QObject(parent), m_rPrompts(prompts) {
    m_pollTimer.setInterval(50);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { PollHost(); });
}

CZylDesktopHost::~CZylDesktopHost() {
    Logout();
}

QString CZylDesktopHost::Login(const ZYLDESKTOPLOGIN& login) {
    m_bFailureFinal = false;
    if (m_module.IsLoaded())
        return QStringLiteral("%1 is logged in already.").arg(m_sUser);
    const std::string user = ZylCanonicalUserId(login.sUser);
    if (user.empty())
        return QStringLiteral("\"%1\" is no user id; a user id looks like S1.1000.")
            .arg(FromUtf8(login.sUser));
    m_bFailureFinal = true;
    if (login.pModule.empty() || !fs::exists(login.pModule))
        return login.pModule.empty()
                   ? QStringLiteral(
                         "The file-sharing module libzylfs.so was not found, so file sharing cannot start.")
                   : QStringLiteral("The file-sharing module %1 was not found, so file sharing cannot start.")
                         .arg(QString::fromStdString(login.pModule.string()));

    m_sUser = FromUtf8(user);
    m_pDataDir = login.pDataDir.empty() ? ZylDefaultDataDir(user) : fs::absolute(login.pDataDir);
    m_sAppPath = QString::fromStdString(m_pDataDir.string()).toStdU16String();
    if (m_sAppPath.size() >= ZYL_PATH_BUFFER)
        return QStringLiteral(
                   "The data folder %1 has too long a path for file sharing (at most %2 characters).")
            .arg(QString::fromStdString(m_pDataDir.string()))
            .arg(ZYL_PATH_BUFFER - 1);
    // Before the broker: logging in there would push off the holder's session of the same user.
    if (const QString busy = FolderInUse(); !busy.isEmpty()) {
        m_bFailureFinal = false; // mended once the holder ends
        return busy;
    }
    m_mSeen.clear();
    m_mTransfers.clear();
    m_sEnded.clear();
    std::error_code ec;
    fs::create_directories(m_pDataDir, ec);
    QString ignored;
    m_bContactsUnreadable = !m_contacts.Load(m_pDataDir / "contacts.txt", ignored);

    const std::string loaded =
        m_module.Load(login.pModule, [this](int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                            intptr_t a5) { return OnHostCall(code, a1, a2, a3, a4, a5); });
    if (!loaded.empty()) {
        QString sentence = FromUtf8(loaded);
        sentence[0] = sentence[0].toUpper();
        return sentence + QStringLiteral(", so file sharing cannot start.");
    }
    m_bFailureFinal = false;

    m_pHost = std::make_unique<CZylMqttHost>();
    ZYLMQTTSECURITY security = login.security;
    security.pKeyFolder = m_pDataDir; // the user's keys live with its data
    m_pHost->SetSecurity(security);
    const std::string broker = login.sBrokerHost + ":" + std::to_string(login.nBrokerPort);
    const std::string refused = m_pHost->Connect(login.sBrokerHost, login.nBrokerPort, user, login.sPassword);
    if (!refused.empty()) {
        m_pHost.reset();
        m_module.Unload();
        return ZylLoginErrorSentence(refused, user, broker);
    }
    HostUserId self = UserOf(m_sUser);
    if (m_module.Call(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&self)) < 0) {
        m_pHost->Disconnect();
        m_pHost.reset();
        m_module.Unload();
        // Another program may have taken the folder since it was looked at.
        const QString busy = FolderInUse();
        m_bFailureFinal = busy.isEmpty();
        return !busy.isEmpty()
                   ? busy
                   : QStringLiteral("File sharing cannot start in %1; check that the folder is writable.")
                         .arg(QString::fromStdString(m_pDataDir.string()));
    }
    m_bLoggedIn = true;
    m_pNotifier = new QSocketNotifier(m_pHost->GetWakeFd(), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, [this] { PollHost(); });
    m_pollTimer.start();
    // The presence of the users online already reaches the plug-in now.
    PollHost();
    emit UsersChanged();
    return {};
}

QString CZylDesktopHost::FolderInUse() const {
    // The plug-in keeps its files, and the lock that lets one process at a time at them, in "fs".
    const int64_t holder = ZylFolderLockHolder(m_sAppPath + u"/fs");
    if (holder == 0)
        return {};
    const QString folder = QString::fromStdString(m_pDataDir.string());
    const QString name = holder > 0 ? ProgramName(holder) : QString();
    if (name.isEmpty())
        return QStringLiteral("The data folder %1 is in use by another program; end it, or log in with "
                              "another data folder.")
            .arg(folder);
    return QStringLiteral("The data folder %1 is in use by %2 (process %3); end it, or log in with another "
                          "data folder.")
        .arg(folder, name)
        .arg(holder);
}

void CZylDesktopHost::Logout() {
    if (m_bLoggedIn) {
        m_bLoggedIn = false;
        // The plug-in destroys its window, closes its channels and writes its databases.
        m_module.Call(DLL_P2P_LOGOUT);
    }
    m_pollTimer.stop();
    // The notifier may be the one whose signal led here: it goes once that signal is over.
    if (m_pNotifier) {
        m_pNotifier->setEnabled(false);
        m_pNotifier->deleteLater();
        m_pNotifier = nullptr;
    }
    if (m_pHost) {
        m_pHost->Disconnect();
        m_pHost.reset();
    }
    m_module.Unload();
}

std::vector<CZylDesktopHost::USER> CZylDesktopHost::Users() const {
    std::map<QString, USER> users;
    for (const QString& id : m_contacts.Ids())
        users[id] = {id, m_contacts.Name(id), false, true, {}, {}};
    for (const auto& [id, online] : m_mSeen) {
        USER& user = users[id];
        user.sId = id;
        user.bOnline = online;
    }
    users.erase(m_sUser);
    std::vector<USER> list;
    for (auto& [id, user] : users) {
        std::optional<ZYLKEY> changed;
        const std::optional<ZYLKEY> pinned =
            m_pHost ? m_pHost->Keys().Pinned(id.toStdString(), &changed) : std::nullopt;
        if (pinned)
            user.sFingerprint = FromUtf8(ZylKeyFingerprint(*pinned));
        if (changed)
            user.sKeyRefusal = FromUtf8(m_pHost->KeyRefusal(id.toStdString()));
        list.push_back(std::move(user));
    }
    std::stable_sort(list.begin(), list.end(), [](const USER& a, const USER& b) {
        if (a.bOnline != b.bOnline)
            return a.bOnline;
        return ZylUserLabel(a.sId, a.sName).compare(ZylUserLabel(b.sId, b.sName), Qt::CaseInsensitive) < 0;
    });
    return list;
}

QString CZylDesktopHost::TrustNewKey(const QString& id) {
    if (!m_pHost)
        return QStringLiteral("Nobody is logged in.");
    const std::string peer = CZylContacts::Key(id).toStdString();
    if (!m_pHost->Keys().Trust(peer))
        return QStringLiteral("%1's key has not changed.").arg(id);
    m_pHost->KeyRefusal(peer); // the transport takes the pin again: the channels may open
    emit UsersChanged();
    return {};
}

bool CZylDesktopHost::IsOnline(const QString& id) const {
    const auto it = m_mSeen.find(CZylContacts::Key(id));
    return it != m_mSeen.end() && it->second;
}

QString CZylDesktopHost::SetContact(const QString& id, const QString& name) {
    const QString key = CZylContacts::Key(id);
    if (key.isEmpty())
        return QStringLiteral("\"%1\" is no user id; a user id looks like S1.1000.").arg(id);
    if (key == m_sUser)
        return QStringLiteral("%1 is you; your contacts are the others.").arg(key);
    CZylContacts changed = m_contacts;
    changed.Set(key, name);
    return SaveContacts(std::move(changed));
}

QString CZylDesktopHost::RemoveContact(const QString& id) {
    if (!m_contacts.Has(id))
        return {};
    CZylContacts changed = m_contacts;
    changed.Remove(id);
    return SaveContacts(std::move(changed));
}

QString CZylDesktopHost::SaveContacts(CZylContacts changed) {
    // A file that could not be read is never written over: it may hold what the person wrote.
    if (m_bContactsUnreadable)
        return QStringLiteral("The contacts file in %1 cannot be read, so it is left as it is.")
            .arg(QString::fromStdString(m_pDataDir.string()));
    QString error;
    if (!changed.Save(error))
        return QStringLiteral("The contacts cannot be saved: %1.").arg(error);
    m_contacts = std::move(changed);
    emit UsersChanged();
    return {};
}

int32_t CZylDesktopHost::OpenSharing() {
    return m_bLoggedIn ? m_module.Call(DLL_P2P_SHOW, 0, 1, 0) : -1;
}

int32_t CZylDesktopHost::BrowseShares(const QString& id) {
    HostUserId user = UserOf(id);
    if (!m_bLoggedIn || user.GetKind() == HostUserId::Invalid)
        return -1;
    return m_module.Call(DLL_P2P_SHOW, 0, 2, reinterpret_cast<intptr_t>(&user));
}

QStringList CZylDesktopHost::TransferPeers() const {
    QStringList peers;
    const auto now = Clock::now();
    for (const auto& [peer, when] : m_mTransfers)
        if (now - when < ZYL_TRANSFER_QUIET)
            peers << peer;
    return peers;
}

void CZylDesktopHost::NoteTransfer(const QString& peer, uint32_t command) {
    const uint32_t low = command & 0xFFFF;
    if (std::find(std::begin(ZYL_FILE_DATA_COMMANDS), std::end(ZYL_FILE_DATA_COMMANDS), low) !=
        std::end(ZYL_FILE_DATA_COMMANDS))
        m_mTransfers[peer] = Clock::now();
}

int32_t CZylDesktopHost::OnHostCall(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                    intptr_t a5) {
    switch (code) {
    case ZYL_HOST_OPEN_CHANNEL:
        if (m_pHost)
            m_pHost->OpenChannel(TextOfUser(a1).toStdString(), static_cast<int32_t>(a2));
        return 0;
    case ZYL_HOST_CLOSE_CHANNEL:
        if (m_pHost)
            m_pHost->CloseChannel(TextOfUser(a1).toStdString(), static_cast<int32_t>(a2));
        return 0;
    case ZYL_HOST_SEND: {
        if (!m_pHost)
            return 0;
        const QString peer = TextOfUser(a1);
        const int32_t taken =
            m_pHost->Send(peer.toStdString(), static_cast<int32_t>(a2), static_cast<uint32_t>(a3),
                          reinterpret_cast<const void*>(a4), static_cast<int32_t>(a5));
        if (taken > 0)
            NoteTransfer(peer, static_cast<uint32_t>(a3));
        return taken > 0 ? 1 : 0;
    }
    case ZYL_HOST_GET_NAME: {
        // An empty name lets the plug-in show the id.
        const std::u16string name = m_contacts.Name(TextOfUser(a1)).toStdU16String();
        return CopyOut(name, a2, ZYL_NAME_BUFFER) || CopyOut(u"", a2, ZYL_NAME_BUFFER) ? 0 : -1;
    }
    case ZYL_HOST_GET_APP_PATH:
        return CopyOut(m_sAppPath, a1, ZYL_PATH_BUFFER) ? 0 : -1;
    case ZYL_HOST_PREPARE:
        return 0;
    case ZYL_HOST_PICK_USERS:
        return PickUsers(a1, a2, a3, a4, a5);
    default:
        return -1;
    }
}

int32_t CZylDesktopHost::PickUsers(intptr_t purpose, intptr_t texts, intptr_t result, intptr_t buffer,
                                   intptr_t count) {
    auto* confirmed = reinterpret_cast<int32_t*>(result);
    auto* picked = reinterpret_cast<int32_t*>(count);
    if (confirmed)
        *confirmed = 0;
    if (picked)
        *picked = 0;
    if (!confirmed || !picked || !buffer)
        return -1;
    QString title, prompt;
    if (const auto* pair = reinterpret_cast<const char16_t* const*>(texts)) {
        title = pair[0] ? QString::fromStdU16String(pair[0]) : QString();
        prompt = pair[1] ? QString::fromStdU16String(pair[1]) : QString();
    }
    // Browsing needs the friend online; rights can be given to anyone known.
    std::vector<ZYLPICKCANDIDATE> candidates;
    for (const USER& user : Users())
        if (user.bOnline || purpose != ZYL_PICK_TO_BROWSE)
            candidates.push_back({user.sId, user.sName, user.bOnline});
    QStringList ids;
    if (!m_rPrompts.PickUsers(title, prompt, candidates, ids))
        return 0;
    // The answer is an array of identities, as many as the buffer holds.
    constexpr int32_t room = ZYL_PICK_BUFFER_BYTES / static_cast<int32_t>(sizeof(HostUserId));
    auto* out = reinterpret_cast<HostUserId*>(buffer);
    int32_t n = 0;
    for (const QString& id : ids) {
        const HostUserId user = UserOf(id);
        if (user.GetKind() == HostUserId::Invalid || n == room)
            continue;
        new (&out[n++]) HostUserId(user);
    }
    *picked = n;
    *confirmed = 1;
    return 0;
}

void CZylDesktopHost::PollHost() {
    if (!m_pHost)
        return;
    m_pHost->Poll([this](const ZYLHOSTEVENT& event) { OnEvent(event); });
    if (m_sEnded.isEmpty())
        return;
    // The session is over: the plug-in saves what it holds before anything else happens.
    const QString sentence = m_sEnded;
    m_sEnded.clear();
    Logout();
    emit UsersChanged();
    emit SessionEnded(sentence);
}

void CZylDesktopHost::OnEvent(const ZYLHOSTEVENT& event) {
    if (!m_bLoggedIn)
        return;
    const QString peer = CZylContacts::Key(FromUtf8(event.peer));
    HostUserId user = UserOf(peer);
    // A broker user whose name is no user id is nobody the plug-in can deal with.
    if (peer.isEmpty() && event.kind < ZYL_EVENT_BROKER_UP)
        return;
    const auto id = reinterpret_cast<intptr_t>(&user);
    switch (event.kind) {
    case DLL_P2P_ON_CONNECT:
    case DLL_P2P_ON_DISCONNECT:
        m_module.Call(event.kind, id, event.channel, event.status);
        break;
    case DLL_P2P_ON_DATA:
        NoteTransfer(peer, event.command);
        m_module.Call(DLL_P2P_ON_DATA, id, event.channel, event.command,
                      reinterpret_cast<intptr_t>(event.payload.data()),
                      static_cast<intptr_t>(event.payload.size()));
        break;
    case DLL_P2P_ON_USER_ONLINE:
    case DLL_P2P_ON_USER_OFFLINE:
        m_mSeen[peer] = event.kind == DLL_P2P_ON_USER_ONLINE;
        m_module.Call(event.kind, id);
        emit UsersChanged();
        break;
    case ZYL_EVENT_BROKER_DOWN:
        emit BrokerStateChanged(QStringLiteral("The connection to the broker was lost; it is tried again."));
        break;
    case ZYL_EVENT_BROKER_UP:
        emit BrokerStateChanged(QStringLiteral("Connected to the broker again."));
        break;
    case ZYL_EVENT_BROKER_ENDED:
        m_sEnded = event.text == "the same user logged in elsewhere"
                       ? QStringLiteral("%1 has logged in elsewhere, so this session has ended.").arg(m_sUser)
                       : QStringLiteral("The broker ended the session: %1.").arg(FromUtf8(event.text));
        break;
    case ZYL_EVENT_KEY_REFUSED: // the row shows it, with the way to trust the new key
        emit BrokerStateChanged(FromUtf8(event.text));
        emit UsersChanged();
        break;
    default:
        emit BrokerStateChanged(FromUtf8(event.text));
        break;
    }
}
