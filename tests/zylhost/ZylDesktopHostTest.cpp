// The desktop host as people meet it, offscreen, against a private mosquitto: two hosts in this
// process (each with its own copy of the module) log in and see each other, the plug-in's picker
// request is answered with the person's choice, contacts are edited from the window, logging out
// saves the plug-in's databases, running transfers make it ask first, and each login problem is
// told in one sentence. The program itself is run once to be ended by SIGTERM.
#include "zylhost/ZylContactWindow.h"
#include "zylhost/ZylDesktopApp.h"

#include "host/ZylLocalBroker.h"
#include "host/ZylMqttHost.h"

#include <QAction>
#include <QApplication>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <fstream>
#include <optional>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
const QString kOwner = QStringLiteral("S1.1000");
const QString kFriend = QStringLiteral("S2.1000");
const std::string kStranger = "S3.1000";

std::string Password(const QString& user) {
    return "secret-" + user.toStdString();
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The bytes of an ASCII text in the plug-in's files (16-bit little-endian units).
std::string Utf16(const std::string& text) {
    std::string bytes;
    for (char c : text)
        bytes += std::string{c, '\0'};
    return bytes;
}

// The person, as a script: each question takes the next answer of its kind; a question nobody
// scripted is answered "cancel" and counted, so a test never waits on a dialog.
class CZylScriptedPrompts : public IZylPrompts {
public:
    std::deque<std::optional<ZYLLOGINFORM>> m_qLogins;
    std::deque<std::optional<QStringList>> m_qPicks;
    std::deque<std::optional<QString>> m_qContactNames; // the id of an added contact comes first
    std::deque<QString> m_qContactIds;
    std::deque<bool> m_qConfirms;
    QStringList m_vErrors;
    QStringList m_vQuestions;
    std::vector<ZYLPICKCANDIDATE> m_vLastCandidates;
    int m_nUnscripted = 0;

    bool AskLogin(ZYLLOGINFORM& form, const QString& problem) override {
        m_vQuestions << QStringLiteral("login: ") + problem;
        if (m_qLogins.empty())
            return ++m_nUnscripted, false;
        const auto answer = Take(m_qLogins);
        if (answer)
            form = *answer;
        return answer.has_value();
    }
    bool PickUsers(const QString& title, const QString& prompt,
                   const std::vector<ZYLPICKCANDIDATE>& candidates, QStringList& picked) override {
        m_vQuestions << QStringLiteral("pick: %1|%2").arg(title, prompt);
        m_vLastCandidates = candidates;
        if (m_qPicks.empty())
            return ++m_nUnscripted, false;
        const auto answer = Take(m_qPicks);
        if (answer)
            picked = *answer;
        return answer.has_value();
    }
    bool EditContact(const QString& title, QString& id, QString& name, bool idFixed) override {
        m_vQuestions << QStringLiteral("contact: %1 %2").arg(title, id);
        if (m_qContactNames.empty())
            return ++m_nUnscripted, false;
        if (!idFixed && !m_qContactIds.empty())
            id = Take(m_qContactIds);
        const auto answer = Take(m_qContactNames);
        if (answer)
            name = *answer;
        return answer.has_value();
    }
    bool Confirm(const QString& title, const QString& question) override {
        m_vQuestions << QStringLiteral("confirm: ") + question;
        if (m_qConfirms.empty())
            return ++m_nUnscripted, false;
        return Take(m_qConfirms);
    }
    void ShowError(const QString& sentence) override { m_vErrors << sentence; }

private:
    template <class T> static T Take(std::deque<T>& queue) {
        T value = std::move(queue.front());
        queue.pop_front();
        return value;
    }
};

// Runs the event loop until done() holds; false after 20 seconds.
template <class DONE> bool RunUntil(DONE done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
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
        std::error_code ec;
        fs::remove_all(m_pRoot, ec);
    }

    // A host of its own module copy (one module serves one user per process) and data folder.
    ZYLDESKTOPSTART StartOf(const QString& user) {
        const fs::path folder = m_pRoot / user.toStdString();
        fs::create_directories(folder);
        // Never over a copy that may be loaded still: its pages are mapped.
        const fs::path module = folder / "libzylfs.so";
        if (!fs::exists(module))
            fs::copy_file(ZYLFS_MODULE_PATH, module);
        ZYLDESKTOPSTART start;
        start.login.sUser = user.toStdString();
        start.login.sPassword = Password(user);
        start.login.nBrokerPort = m_broker.Port();
        start.login.pDataDir = folder / "data";
        start.login.pModule = module;
        return start;
    }

    CZylDesktopApp& MakeApp(ZYLDESKTOPSTART start, CZylScriptedPrompts*& prompts) {
        m_vPrompts.push_back(std::make_unique<CZylScriptedPrompts>());
        prompts = m_vPrompts.back().get();
        m_vApps.push_back(std::make_unique<CZylDesktopApp>(std::move(start), *prompts));
        return *m_vApps.back();
    }

    static bool ListedOnline(const CZylContactWindow& window, const QString& id, const QString& label) {
        const QTreeWidget* list = window.UserList();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = list->topLevelItem(i);
            if (item->text(1) == id)
                return item->text(0) == label && item->toolTip(0) == QStringLiteral("online");
        }
        return false;
    }

    fs::path m_pRoot;
    CZylLocalBroker m_broker;
    std::vector<std::unique_ptr<CZylScriptedPrompts>> m_vPrompts;
    std::vector<std::unique_ptr<CZylDesktopApp>> m_vApps;
};
} // namespace

TEST_F(ZylDesktopHostTest, TwoHostsSeeEachOtherPickUsersEditContactsAndSaveAtLogout) {
    CZylScriptedPrompts* ownerPrompts = nullptr;
    CZylScriptedPrompts* friendPrompts = nullptr;
    const ZYLDESKTOPSTART ownerStart = StartOf(kOwner);
    const fs::path contacts = ownerStart.login.pDataDir / "contacts.txt";
    fs::create_directories(contacts.parent_path());
    std::ofstream(contacts) << "# my friends\nS2.1000 Bob\n";
    CZylDesktopApp& owner = MakeApp(ownerStart, ownerPrompts);
    CZylDesktopApp& friendApp = MakeApp(StartOf(kFriend), friendPrompts);
    ASSERT_TRUE(owner.Start()) << ownerPrompts->m_vErrors.join(' ').toStdString();
    ASSERT_TRUE(friendApp.Start()) << friendPrompts->m_vErrors.join(' ').toStdString();
    ASSERT_TRUE(RunUntil([&] {
        return ListedOnline(*owner.Window(), kFriend, kFriend) &&
               ListedOnline(*friendApp.Window(), kOwner, kOwner);
    }));
    EXPECT_TRUE(owner.Window()->SelectUser(kFriend));
    EXPECT_TRUE(owner.Window()->BrowseAction()->isEnabled());
    EXPECT_FALSE(owner.Window()->RemoveAction()->isEnabled()) << "seen online, but no contact";

    // The plug-in's picker: online users only to browse; the answer is an array of identities.
    const std::u16string title = u"\u9009\u62E9\u5176\u4ED6\u7528\u6237", prompt = u"pick";
    const char16_t* texts[2] = {title.c_str(), prompt.c_str()};
    alignas(HostUserId) unsigned char buffer[8192];
    int32_t confirmed = -1, count = -1;
    ownerPrompts->m_qPicks = {QStringList{kFriend, QStringLiteral("nobody")}, std::nullopt};
    const auto pick = [&](intptr_t purpose) {
        return owner.Host().OnHostCall(ZYL_HOST_PICK_USERS, purpose, reinterpret_cast<intptr_t>(texts),
                                       reinterpret_cast<intptr_t>(&confirmed),
                                       reinterpret_cast<intptr_t>(buffer),
                                       reinterpret_cast<intptr_t>(&count));
    };
    EXPECT_EQ(pick(4097), 0);
    EXPECT_EQ(ownerPrompts->m_vQuestions.back(),
              QStringLiteral("pick: %1|pick").arg(QString::fromStdU16String(title)));
    ASSERT_EQ(ownerPrompts->m_vLastCandidates.size(), 1u);
    EXPECT_TRUE(ownerPrompts->m_vLastCandidates[0].bOnline);
    EXPECT_EQ(confirmed, 1);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(reinterpret_cast<const HostUserId*>(buffer)[0].ToText(), u"S2.1000");
    pick(4097);
    EXPECT_EQ(confirmed, 0);
    EXPECT_EQ(count, 0);

    // Contacts from the window: the file keeps what it does not understand; the plug-in asks the
    // display name (code 516) and gets the contact's name.
    ownerPrompts->m_qContactIds = {QStringLiteral("s3.1000"), QStringLiteral("not an id")};
    ownerPrompts->m_qContactNames = {QStringLiteral("Carol\nLine"), QStringLiteral("x"),
                                     QStringLiteral("Bob")};
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
    EXPECT_EQ(owner.Host().OnHostCall(ZYL_HOST_GET_NAME, reinterpret_cast<intptr_t>(&friendId),
                                      reinterpret_cast<intptr_t>(name), 0, 0, 0),
              0);
    EXPECT_EQ(std::u16string(name), u"Bob");
    // Rights may go to a contact who is offline.
    ownerPrompts->m_qPicks = {QStringList{}};
    pick(4112);
    ASSERT_EQ(ownerPrompts->m_vLastCandidates.size(), 2u);
    EXPECT_EQ(ownerPrompts->m_vLastCandidates[1].sId, QStringLiteral("S3.1000"));
    EXPECT_FALSE(ownerPrompts->m_vLastCandidates[1].bOnline);
    owner.Window()->SelectUser(QStringLiteral("S3.1000"));
    owner.Window()->RemoveAction()->trigger();
    EXPECT_EQ(ReadAll(contacts), "# my friends\nS2.1000 Bob\nS2.1000=Bob\n");

    // The plug-in answers its open requests (without a window of its own, with nothing shown).
    EXPECT_EQ(owner.Host().OpenSharing(), 0);
    EXPECT_EQ(owner.Host().BrowseShares(kFriend), 0);

    // Closing the friend's window logs out: the plug-in writes its databases, the owner sees the
    // friend go.
    const fs::path taskDb = m_pRoot / "S2.1000" / "data" / "fs" / "fst-S2.1000.fsd";
    friendApp.Window()->QuitAction()->trigger();
    EXPECT_FALSE(friendApp.Host().IsLoggedIn());
    EXPECT_TRUE(fs::exists(taskDb));
    EXPECT_NE(ReadAll(m_pRoot / "S2.1000" / "data" / "fs" / "fs.log").find(Utf16("login as S2.1000")),
              std::string::npos);
    EXPECT_TRUE(RunUntil([&] { return !owner.Host().IsOnline(kFriend); }));
    EXPECT_FALSE(ListedOnline(*owner.Window(), kFriend, QStringLiteral("Bob")));

    // Logging out from the menu asks for the login form again, empty of the password.
    int finished = -1;
    QObject::connect(&owner, &CZylDesktopApp::Finished, [&](int code) { finished = code; });
    ownerPrompts->m_qLogins = {std::nullopt};
    owner.Window()->LogoutAction()->trigger();
    EXPECT_FALSE(owner.Host().IsLoggedIn());
    ASSERT_TRUE(RunUntil([&] { return finished >= 0; }));
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(ownerPrompts->m_vQuestions.back(), QStringLiteral("login: "));
    EXPECT_EQ(ownerPrompts->m_vErrors.size(), 1);
}

TEST_F(ZylDesktopHostTest, EachLoginProblemIsOneSentence) {
    // A wrong password is told, and the form is asked again, with the reason.
    ZYLDESKTOPSTART start = StartOf(kOwner);
    start.login.sPassword = "wrong";
    CZylScriptedPrompts* prompts = nullptr;
    CZylDesktopApp& app = MakeApp(start, prompts);
    const QString wrong =
        QStringLiteral("The broker refused the login of S1.1000: the user id or the password is wrong.");
    prompts->m_qLogins = {ZYLLOGINFORM{kOwner, QString::fromStdString(Password(kOwner)),
                                       QStringLiteral("127.0.0.1:%1").arg(m_broker.Port())}};
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(prompts->m_vErrors, QStringList{wrong});
    EXPECT_EQ(prompts->m_vQuestions, QStringList{QStringLiteral("login: ") + wrong});

    // The same user logging in elsewhere ends this session: the plug-in is logged out first.
    int finished = -1;
    QObject::connect(&app, &CZylDesktopApp::Finished, [&](int code) { finished = code; });
    CZylMqttHost elsewhere;
    ASSERT_EQ(elsewhere.Connect("127.0.0.1", m_broker.Port(), kOwner.toStdString(), Password(kOwner)), "");
    ASSERT_TRUE(RunUntil([&] { return finished >= 0; }));
    EXPECT_EQ(finished, 1);
    EXPECT_FALSE(app.Host().IsLoggedIn());
    EXPECT_EQ(prompts->m_vErrors.back(),
              QStringLiteral("S1.1000 has logged in elsewhere, so this session has ended."));
    EXPECT_TRUE(fs::exists(m_pRoot / "S1.1000" / "data" / "fs" / "fst-S1.1000.fsd"));
    elsewhere.Disconnect();

    // Nothing listens on the port: the person may try another broker or give up.
    start = StartOf(kFriend);
    start.login.nBrokerPort = ZylFreeLoopbackPort();
    CZylDesktopApp& unreachable = MakeApp(start, prompts);
    prompts->m_qLogins = {std::nullopt};
    EXPECT_FALSE(unreachable.Start());
    EXPECT_EQ(unreachable.ExitCode(), 0);
    EXPECT_EQ(prompts->m_vErrors,
              QStringList{QStringLiteral("The broker at 127.0.0.1:%1 cannot be reached; check the "
                                         "address and that it is running.")
                              .arg(start.login.nBrokerPort)});

    // Without the module nothing can work: told once, no form.
    start = StartOf(kFriend);
    start.login.pModule = m_pRoot / "nowhere" / "libzylfs.so";
    CZylDesktopApp& moduleless = MakeApp(start, prompts);
    EXPECT_FALSE(moduleless.Start());
    EXPECT_EQ(moduleless.ExitCode(), 1);
    EXPECT_EQ(
        prompts->m_vErrors,
        QStringList{QStringLiteral("The file-sharing module %1 was not found, so file sharing cannot start.")
                        .arg(QString::fromStdString(start.login.pModule.string()))});
    EXPECT_TRUE(prompts->m_vQuestions.isEmpty());

    // A data folder whose path the plug-in cannot hold (260 characters or more) cannot work either.
    start = StartOf(kFriend);
    start.login.pDataDir = m_pRoot / std::string(259 - m_pRoot.string().size(), 'd');
    ASSERT_EQ(start.login.pDataDir.string().size(), 260u);
    CZylDesktopApp& longPath = MakeApp(start, prompts);
    EXPECT_FALSE(longPath.Start());
    EXPECT_EQ(longPath.ExitCode(), 1);
    EXPECT_EQ(
        prompts->m_vErrors,
        QStringList{QStringLiteral(
                        "The data folder %1 has too long a path for file sharing (at most 259 characters).")
                        .arg(QString::fromStdString(start.login.pDataDir.string()))});
}

TEST_F(ZylDesktopHostTest, RunningTransfersAskBeforeLoggingOut) {
    CZylScriptedPrompts* prompts = nullptr;
    CZylDesktopApp& app = MakeApp(StartOf(kOwner), prompts);
    ASSERT_TRUE(app.Start());
    // A peer asks for a piece of a file: file data moves between the two.
    CZylMqttHost peer;
    ASSERT_EQ(
        peer.Connect("127.0.0.1", m_broker.Port(), kStranger, Password(QString::fromStdString(kStranger))),
        "");
    peer.OpenChannel(kOwner.toStdString(), ZYL_CHANNEL_REQUEST);
    ASSERT_TRUE(RunUntil([&] {
        peer.Poll(nullptr);
        return peer.IsChannelOpen(kOwner.toStdString(), ZYL_CHANNEL_REQUEST);
    }));
    EXPECT_TRUE(app.Host().TransferPeers().isEmpty()) << "an open channel is no transfer";
    const uint8_t request[8] = {};
    ASSERT_EQ(peer.Send(kOwner.toStdString(), ZYL_CHANNEL_REQUEST, 4100, request, sizeof request), 1);
    ASSERT_TRUE(RunUntil([&] {
        peer.Poll(nullptr);
        return !app.Host().TransferPeers().isEmpty();
    }));

    prompts->m_qConfirms = {false, true};
    EXPECT_FALSE(app.Window()->close());
    EXPECT_TRUE(app.Host().IsLoggedIn());
    EXPECT_NE(prompts->m_vQuestions.back().indexOf(QString::fromStdString(kStranger)), -1);
    EXPECT_TRUE(app.Window()->close());
    EXPECT_FALSE(app.Host().IsLoggedIn());
    peer.Disconnect();
}

TEST_F(ZylDesktopHostTest, TheProgramLogsOutOnSigterm) {
    const fs::path data = m_pRoot / "program";
    const std::string port = std::to_string(m_broker.Port());
    const pid_t child = ZylSpawn(
        {ZYLHOST_PATH, "--user", "s1.1000", "--broker", "127.0.0.1:" + port, "--data", data.string()},
        m_pRoot / "program.log", {"ZYLFS_PASSWORD=" + Password(kOwner), "QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(child, 0);
    CZylMqttHost watcher;
    ASSERT_EQ(
        watcher.Connect("127.0.0.1", m_broker.Port(), kStranger, Password(QString::fromStdString(kStranger))),
        "");
    const auto until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            watcher.Wait(50);
            watcher.Poll(nullptr);
        }
        return done();
    };
    ASSERT_TRUE(until([&] { return watcher.IsOnline(kOwner.toStdString()); }))
        << ReadAll(m_pRoot / "program.log");
    kill(child, SIGTERM);
    int status = -1;
    bool ended = false;
    EXPECT_TRUE(until([&] { return ended || (ended = waitpid(child, &status, WNOHANG) == child); }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(m_pRoot / "program.log");
    EXPECT_TRUE(fs::exists(data / "fs" / "fst-S1.1000.fsd"));
    EXPECT_TRUE(until([&] { return !watcher.IsOnline(kOwner.toStdString()); }));
    watcher.Disconnect();
}
