// The desktop host as people meet it, offscreen, against a private mosquitto: two hosts (each with its
// own module copy) download through the plug-in's window; the person scripted; problems one sentence.
#include "host/ZylLocalBroker.h"
#include "host/ZylMqttHost.h"
#include "zylhost/ZylContactWindow.h"
#include "zylhost/ZylDesktopApp.h"
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMainWindow>
#include <QPainter>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace {
const QString kOwner = QStringLiteral("S1.1000"), kFriend = QStringLiteral("S2.1000");
const std::string kStranger = "S3.1000";
const auto Password = [](const QString& user) { return "secret-" + user.toStdString(); };
std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
const auto Arg = [](const void* pointer) { return reinterpret_cast<intptr_t>(pointer); };
// The person, as a script: the next answer of each kind; a question not scripted is a counted cancel.
class CZylScriptedPrompts : public IZylPrompts {
public:
    std::deque<std::optional<ZYLLOGINFORM>> m_qLogins;
    std::deque<std::optional<QStringList>> m_qPicks;
    std::deque<std::optional<QString>> m_qContacts; // an added contact's id, then each name
    std::deque<std::optional<bool>> m_qConfirms;
    QStringList m_vErrors, m_vQuestions;
    std::vector<ZYLPICKCANDIDATE> m_vLastCandidates;
    int m_nUnscripted = 0;
    bool AskLogin(ZYLLOGINFORM& form, const QString& problem) override {
        m_vQuestions << QStringLiteral("login: ") + problem;
        return Answer(m_qLogins, form);
    }
    bool PickUsers(const QString& title, const QString& prompt,
                   const std::vector<ZYLPICKCANDIDATE>& candidates, QStringList& picked) override {
        m_vQuestions << QStringLiteral("pick: %1|%2").arg(title, prompt);
        m_vLastCandidates = candidates;
        return Answer(m_qPicks, picked);
    }
    bool EditContact(const QString& title, QString& id, QString& name, bool idFixed) override {
        m_vQuestions << QStringLiteral("contact: %1 %2").arg(title, id);
        return (idFixed || Answer(m_qContacts, id)) && Answer(m_qContacts, name);
    }
    bool Confirm(const QString& title, const QString& question) override {
        m_vQuestions << QStringLiteral("confirm: ") + question;
        bool yes = false;
        return Answer(m_qConfirms, yes) && yes;
    }
    void ShowError(const QString& sentence) override { m_vErrors << sentence; }

private:
    // The next answer into out; false for a cancel or when nothing more was scripted.
    template <class T> bool Answer(std::deque<std::optional<T>>& queue, T& out) {
        if (queue.empty())
            return ++m_nUnscripted, false;
        const std::optional<T> answer = std::move(queue.front());
        queue.pop_front();
        return answer && (out = *answer, true);
    }
};
// Runs the event loop until done() holds; false after 30 seconds.
template <class DONE> bool RunUntil(DONE done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}
// The plug-in's window of a user (both modules' windows live in this process), or null.
QMainWindow* Frame(const QString& user) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == "mainFrame" && widget->windowTitle().endsWith("-" + user))
            return qobject_cast<QMainWindow*>(widget);
    return nullptr;
}
QTreeWidgetItem* Item(QMainWindow* frame, const QString& text) {
    const auto found = frame->findChild<QTreeWidget*>("friendTree")->findItems(text, Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}
// Answers the next folder picker the plug-in's window opens with a folder, once it is up.
void AnswerFolderPicker(const fs::path& folder) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, folder] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            timer->deleteLater();
            dialog->setDirectory(QString::fromStdString(folder.string()));
            static_cast<QDialog*>(dialog)->accept(); // the file dialog's own, through its base
        }
    });
    timer->start(10);
}
// With ZYLHOST_RENDER set to a folder, the hosts' windows (a row each) are saved there.
void Render(const std::vector<std::pair<QWidget*, QWidget*>>& rows) {
    const QString folder = qEnvironmentVariable("ZYLHOST_RENDER");
    if (folder.isEmpty())
        return;
    QImage picture(1290, 650 * static_cast<int>(rows.size()) - 10, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    for (int y = 0; const auto& [contacts, frame] : rows) {
        contacts->resize(320, frame->height());
        painter.drawPixmap(0, y, contacts->grab());
        painter.drawPixmap(330, std::exchange(y, y + 650), frame->grab());
    }
    EXPECT_TRUE(QDir().mkpath(folder) && picture.save(folder + "/desktop-two-hosts.png"));
}
class ZylDesktopHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zylhost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_pRoot = pattern;
        setenv("XDG_CONFIG_HOME", (m_pRoot / "config").c_str(), 1);
        for (const QString& user : {kOwner, kFriend, QString::fromStdString(kStranger)})
            m_broker.AddUser(user.toStdString(), Password(user));
        ASSERT_TRUE(m_broker.Start()) << m_broker.Error();
    }
    void TearDown() override {
        for (auto& prompts : m_vPrompts)
            EXPECT_EQ(prompts->m_nUnscripted, 0)
                << prompts->m_vQuestions.join(QStringLiteral("\n")).toStdString();
        m_vApps.clear();
        m_broker.Stop();
        fs::remove_all(m_pRoot);
    }
    // A host of its own module copy (one module serves one user per process) and data folder.
    ZYLDESKTOPSTART StartOf(const QString& user) {
        const fs::path folder = m_pRoot / user.toStdString();
        fs::create_directories(folder);
        // Never over a copy that may be loaded still: its pages are mapped.
        const fs::path module = folder / "libzylfs.so";
        fs::copy_file(ZYLFS_MODULE_PATH, module, fs::copy_options::skip_existing);
        const ZYLMQTTSECURITY tls{1, m_broker.CaFile().string(), {}}; // the private broker's authority
        return {.login = {user.toStdString(), Password(user), "127.0.0.1", m_broker.TlsPort(), tls,
                          folder / "data", module},
                .sBrowse = {}};
    }
    CZylDesktopApp& MakeApp(ZYLDESKTOPSTART start, CZylScriptedPrompts*& prompts) {
        m_vPrompts.push_back(std::make_unique<CZylScriptedPrompts>());
        prompts = m_vPrompts.back().get();
        m_vApps.push_back(std::make_unique<CZylDesktopApp>(std::move(start), *prompts));
        return *m_vApps.back();
    }
    // A host that cannot log in says so in one sentence and asks the form again unless that cannot help.
    void ExpectRefused(ZYLDESKTOPSTART start, int exitCode, const QString& sentence) {
        CZylScriptedPrompts* prompts = nullptr;
        CZylDesktopApp& app = MakeApp(std::move(start), prompts);
        prompts->m_qLogins = {std::nullopt};
        EXPECT_FALSE(app.Start());
        EXPECT_EQ(app.ExitCode(), exitCode);
        EXPECT_EQ(prompts->m_vErrors, QStringList{sentence});
        EXPECT_EQ(prompts->m_qLogins.empty(), exitCode == 0);
    }
    static bool ListedOnline(const CZylContactWindow& window, const QString& id, const QString& label) {
        const auto rows = window.UserList()->findItems(id, Qt::MatchExactly, 1);
        return !rows.isEmpty() && rows[0]->text(0) == label && rows[0]->toolTip(0) == "online";
    }
    fs::path m_pRoot;
    CZylLocalBroker m_broker;
    std::vector<std::unique_ptr<CZylScriptedPrompts>> m_vPrompts;
    std::vector<std::unique_ptr<CZylDesktopApp>> m_vApps;
};
} // namespace

TEST_F(ZylDesktopHostTest,
       TwoHostsBrowseDownloadPickUsersEditContactsSaveAtLogoutAndTheProgramHoldsItsFolder) {
    CZylScriptedPrompts *ownerPrompts = nullptr, *friendPrompts = nullptr;
    const ZYLDESKTOPSTART ownerStart = StartOf(kOwner);
    const fs::path folder = ownerStart.login.pDataDir, contacts = folder / "contacts.txt";
    // The owner shares a tree with everyone (through the command-line node, on the same folder).
    const fs::path tree = m_pRoot / "Demo";
    fs::create_directories(tree / "docs");
    std::ofstream(tree / "docs" / "readme.txt") << std::string(100, 'r');
    std::ofstream(tree / "song.mp3") << std::string(3 << 20, 's');
    ASSERT_EQ(0, ZylRunProgram({ZYLFS_CLI_PATH, "--user", "S1.1000", "--data", folder.string(), "share",
                                "add", tree.string(), "--name", "Demo", "--everyone", "browse,download"}));
    std::ofstream(contacts) << "# my friends\nS2.1000 Bob\n";
    CZylDesktopApp& owner = MakeApp(ownerStart, ownerPrompts);
    CZylDesktopApp& friendApp = MakeApp(StartOf(kFriend), friendPrompts);
    ASSERT_TRUE(owner.Start()) << ownerPrompts->m_vErrors.join(' ').toStdString();
    ASSERT_TRUE(friendApp.Start()) << friendPrompts->m_vErrors.join(' ').toStdString();
    ASSERT_TRUE(RunUntil([&] {
        return ListedOnline(*owner.Window(), kFriend, kFriend) &&
               ListedOnline(*friendApp.Window(), kOwner, kOwner);
    }));
    EXPECT_TRUE(owner.Window()->SelectUser(kFriend) && !owner.Window()->RemoveAction()->isEnabled());
    // The owner's "browse other users" asks the host's picker (online users) and reads the answer's ids.
    owner.Window()->SharingAction()->trigger();
    QMainWindow* ownerFrame = Frame(kOwner);
    ASSERT_NE(ownerFrame, nullptr);
    ASSERT_EQ(Item(ownerFrame, kFriend), nullptr);
    ownerPrompts->m_qPicks = {QStringList{kFriend, QStringLiteral("nobody")}, std::nullopt};
    ownerFrame->findChild<QAction*>(QStringLiteral("actionBrowseOthers"))->trigger();
    EXPECT_TRUE(ownerPrompts->m_vQuestions.back().startsWith(u"pick: \u9009\u62E9\u5176\u4ED6\u7528\u6237|"));
    EXPECT_EQ(ownerPrompts->m_vLastCandidates.size(), 1u);
    EXPECT_NE(Item(ownerFrame, kFriend), nullptr);
    // The friend opens it on the owner's shares (mode 2) and downloads the whole share.
    friendApp.Window()->SelectUser(kOwner);
    friendApp.Window()->BrowseAction()->trigger();
    QMainWindow* friendFrame = Frame(kFriend);
    ASSERT_NE(friendFrame, nullptr);
    ASSERT_TRUE(RunUntil([&] { return Item(friendFrame, "Demo"); }));
    Item(friendFrame, "Demo")->treeWidget()->setCurrentItem(Item(friendFrame, "Demo"));
    auto* download = friendFrame->findChild<QAction*>(QStringLiteral("actionDownload"));
    ASSERT_TRUE(RunUntil([&] { return download->isEnabled(); }));
    const fs::path into = m_pRoot / "S2.1000";
    AnswerFolderPicker(into);
    friendFrame->findChild<QAction*>(QStringLiteral("actionShowFinished"))->trigger();
    download->trigger();
    const QAbstractItemModel* tasks = friendFrame->findChild<QAbstractItemView*>("taskList")->model();
    ASSERT_TRUE(
        RunUntil([&] { return tasks->rowCount() == 1 && tasks->index(0, 1).data().toString() == "100%"; }));
    EXPECT_EQ(ReadAll(into / "Demo" / "docs" / "readme.txt"), ReadAll(tree / "docs" / "readme.txt"));
    Render({{owner.Window(), ownerFrame}, {friendApp.Window(), friendFrame}});
    // The picker's cancel; rights may go to a contact who is offline (from the contacts below).
    const char16_t* texts[2] = {u"t", u"p"};
    alignas(HostUserId) unsigned char buffer[8192];
    int32_t confirmed = -1, count = -1;
    const auto pick = [&](intptr_t purpose) {
        return owner.Host().OnHostCall(ZYL_HOST_PICK_USERS, purpose, Arg(texts), Arg(&confirmed), Arg(buffer),
                                       Arg(&count));
    };
    EXPECT_TRUE(pick(4097) == 0 && confirmed == 0 && count == 0);
    // Contacts from the window: the file keeps what it does not understand; the plug-in gets the name.
    ownerPrompts->m_qContacts = {QStringLiteral("s3.1000"), QStringLiteral("Carol\nLine"),
                                 QStringLiteral("not an id"), QStringLiteral("x"), QStringLiteral("Bob")};
    owner.Window()->AddAction()->trigger();
    owner.Window()->AddAction()->trigger();
    EXPECT_EQ(ownerPrompts->m_vErrors,
              QStringList{QStringLiteral("\"not an id\" is no user id; a user id looks like S1.1000.")});
    owner.Window()->SelectUser(kFriend);
    owner.Window()->RenameAction()->trigger();
    EXPECT_EQ(ReadAll(contacts), "# my friends\nS2.1000 Bob\nS3.1000=Carol Line\nS2.1000=Bob\n");
    EXPECT_TRUE(ListedOnline(*owner.Window(), kFriend, QStringLiteral("Bob")));
    char16_t name[129] = u"?";
    HostUserId friendId;
    friendId.Parse(kFriend.toStdU16String());
    EXPECT_EQ(owner.Host().OnHostCall(ZYL_HOST_GET_NAME, Arg(&friendId), Arg(name), 0, 0, 0), 0);
    EXPECT_EQ(std::u16string(name), u"Bob");
    ownerPrompts->m_qPicks = {QStringList{}};
    pick(4112);
    ASSERT_EQ(ownerPrompts->m_vLastCandidates.size(), 2u);
    EXPECT_FALSE(ownerPrompts->m_vLastCandidates[1].bOnline);
    owner.Window()->SelectUser(QStringLiteral("S3.1000"));
    owner.Window()->RemoveAction()->trigger();
    EXPECT_EQ(ReadAll(contacts), "# my friends\nS2.1000 Bob\nS2.1000=Bob\n");
    // Closing the friend's window logs out: the plug-in writes its databases; the owner sees it go.
    const fs::path data = m_pRoot / "S2.1000" / "data" / "fs";
    friendPrompts->m_qConfirms = {true}; // asked or not: file data moved a moment ago
    ownerPrompts->m_qConfirms = {true};
    friendApp.Window()->QuitAction()->trigger();
    EXPECT_FALSE(friendApp.Host().IsLoggedIn());
    EXPECT_EQ(Frame(kFriend), nullptr);
    EXPECT_NE(ReadAll(data / "fst-S2.1000.fsd").find(std::string("D\0e\0m\0o\0", 8)) /* UTF-16 */,
              std::string::npos);
    EXPECT_TRUE(RunUntil([&] { return !owner.Host().IsOnline(kFriend); }));
    EXPECT_FALSE(ListedOnline(*owner.Window(), kFriend, QStringLiteral("Bob")));
    // Logging out from the menu asks for the login form again, empty of the password.
    int finished = -1;
    QObject::connect(&owner, &CZylDesktopApp::Finished, [&](int code) { finished = code; });
    ownerPrompts->m_qLogins = {std::nullopt};
    owner.Window()->LogoutAction()->trigger();
    ASSERT_TRUE(RunUntil([&] { return finished >= 0; }));
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(ownerPrompts->m_vQuestions.back(), QStringLiteral("login: "));
    // Run as a program, the host holds the data folder: a host started on it names the holder and stays
    // out of the broker (which would end the holder's session); SIGTERM logs out, saving the databases.
    const fs::path saved = folder / "fs" / "fst-S1.1000.fsd";
    fs::remove(saved);
    const pid_t child = ZylSpawn(
        {ZYLHOST_PATH, "--user", "s1.1000", "--broker", "127.0.0.1:" + std::to_string(m_broker.TlsPort()),
         "--ca-file", m_broker.CaFile().string(), "--data", folder.string()},
        m_pRoot / "program.log", {"ZYLFS_PASSWORD=" + Password(kOwner), "QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(RunUntil([&] { return ReadAll(folder / "fs" / "fs.lock") == std::to_string(child) + "\n"; }))
        << ReadAll(m_pRoot / "program.log");
    ExpectRefused(
        ownerStart, 0,
        QStringLiteral("The data folder %1 is in use by zylhost (process %2); end it, or log in with "
                       "another data folder.")
            .arg(QString::fromStdString(folder.string()), QString::number(child)));
    CZylMqttHost watcher;
    ASSERT_EQ(watcher.Connect("127.0.0.1", m_broker.Port(), kStranger, Password(kStranger.c_str())), "");
    ASSERT_TRUE(RunUntil([&] { return watcher.Poll(nullptr), watcher.IsOnline("S1.1000"); }));
    watcher.OpenChannel("S1.1000", ZYL_CHANNEL_REQUEST); // answered while the holder's session goes on
    EXPECT_TRUE(RunUntil([&] { return watcher.Poll(nullptr), watcher.IsChannelOpen("S1.1000", 1024); }));
    kill(child, SIGTERM);
    int status = -1;
    EXPECT_TRUE(RunUntil([&] { return status >= 0 || waitpid(child, &status, WNOHANG) == child; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(m_pRoot / "program.log");
    EXPECT_TRUE(fs::exists(saved));
}

TEST_F(ZylDesktopHostTest, ProblemsAreOneSentenceAndRunningTransfersAskFirst) {
    // A wrong password is told, and the form is asked again, with the reason.
    ZYLDESKTOPSTART start = StartOf(kOwner);
    start.login.sPassword = "wrong";
    fs::create_directories(start.login.pDataDir); // the key a stranger showed before (below)
    std::ofstream(start.login.pDataDir / "friends.keys") << "S3.1000 " << std::string(64, '1') << "\n";
    CZylScriptedPrompts* prompts = nullptr;
    CZylDesktopApp& app = MakeApp(start, prompts);
    prompts->m_qLogins = {ZYLLOGINFORM{kOwner, QString::fromStdString(Password(kOwner)),
                                       QStringLiteral("127.0.0.1:%1").arg(m_broker.TlsPort())}};
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(prompts->m_vQuestions, QStringList{"login: The broker refused the login of S1.1000: the user "
                                                 "id or the password is wrong."});
    // A peer shows another key than before: refused until trusted. Then a transfer: closing asks first.
    CZylMqttHost peer;
    ASSERT_EQ(peer.Connect("127.0.0.1", m_broker.Port(), kStranger, Password(kStranger.c_str())), "");
    peer.OpenChannel(kOwner.toStdString(), ZYL_CHANNEL_REQUEST);
    ASSERT_TRUE(RunUntil([&] {
        return peer.Poll(nullptr),
               app.Window()->SelectUser(kStranger.c_str()) && app.Window()->TrustAction()->isEnabled();
    }));
    prompts->m_qConfirms = {true};
    app.Window()->TrustAction()->trigger();
    EXPECT_TRUE(prompts->m_vQuestions.back().contains("S3.1000's key has changed (it was "));
    peer.OpenChannel(kOwner.toStdString(), ZYL_CHANNEL_REQUEST);
    ASSERT_TRUE(RunUntil([&] { return peer.Poll(nullptr), peer.IsChannelOpen("S1.1000", 1024); }));
    const uint8_t request[8] = {};
    ASSERT_EQ(peer.Send("S1.1000", ZYL_CHANNEL_REQUEST, 4100, request, sizeof request), 1);
    ASSERT_TRUE(RunUntil([&] { return peer.Poll(nullptr), !app.Host().TransferPeers().isEmpty(); }));
    prompts->m_qConfirms = {false};
    EXPECT_FALSE(app.Window()->close());
    // The same user logging in elsewhere ends this session: the plug-in is logged out first.
    int finished = -1;
    QObject::connect(&app, &CZylDesktopApp::Finished, [&](int code) { finished = code; });
    CZylMqttHost elsewhere;
    ASSERT_EQ(elsewhere.Connect("127.0.0.1", m_broker.Port(), kOwner.toStdString(), Password(kOwner)), "");
    ASSERT_TRUE(RunUntil([&] { return finished >= 0; }));
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(prompts->m_vErrors.back(),
              QStringLiteral("S1.1000 has logged in elsewhere, so this session has ended."));
    EXPECT_TRUE(fs::exists(m_pRoot / "S1.1000" / "data" / "fs" / "fst-S1.1000.fsd"));
    // Nothing listens, or the certificate does not verify: the form again. A folder for the module, or a
    // data folder path of 260 characters or more: told once, no form.
    const int closed = ZylFreeLoopbackPort();
    const fs::path longer = m_pRoot / std::string(259 - m_pRoot.string().size(), 'd');
    const std::vector<std::tuple<std::function<void(ZYLDESKTOPLOGIN&)>, int, QString>> refusals{
        {[&](ZYLDESKTOPLOGIN& login) { login.nBrokerPort = closed; }, 0,
         QStringLiteral(
             "The broker at 127.0.0.1:%1 cannot be reached; check the address and that it is running.")
             .arg(closed)},
        {[](ZYLDESKTOPLOGIN& login) { login.security.sCaFile.clear(); }, 0, // never signed the broker's
         QStringLiteral("Refused the broker at 127.0.0.1:%1: its TLS certificate does not verify against the "
                        "system's authorities for that host name (certificate verify failed).")
             .arg(m_broker.TlsPort())},
        {[&](ZYLDESKTOPLOGIN& login) { login.pModule = m_pRoot; }, 1,
         QStringLiteral(
             "The file-sharing module %1 cannot be loaded (%1: cannot read file data: Is a directory), so "
             "file sharing cannot start.")
             .arg(QString::fromStdString(m_pRoot.string()))},
        {[&](ZYLDESKTOPLOGIN& login) { login.pDataDir = longer; }, 1,
         QStringLiteral("The data folder %1 has too long a path for file sharing (at most 259 characters).")
             .arg(QString::fromStdString(longer.string()))}};
    for (const auto& [change, code, sentence] : refusals) {
        start = StartOf(kFriend);
        change(start.login);
        ExpectRefused(start, code, sentence);
    }
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0); // the widgets need a QApplication
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
