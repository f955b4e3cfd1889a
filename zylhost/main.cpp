// zylhost: a desktop messenger host for the file-sharing module. It logs a user in to an MQTT
// broker, shows the contacts with their presence, and opens the module's window on the user's own
// shares or on a friend's.
#include "zylhost/ZylDesktopApp.h"
#include "zylhost/ZylHostDemo.h"

#include "host/ZylHostDefaults.h"
#include "host/ZylTlsOptions.h"

#include <CLI/CLI.hpp>
#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    CLI::App app{"zylhost: share files with your contacts from the desktop"};
    app.require_subcommand(0, 1);

    ZYLDESKTOPSTART start;
    std::string broker = ZYL_DEFAULT_BROKER;
    std::string data, module, browse;
    bool userGiven = false, passwordGiven = false;
    if (const char* user = std::getenv(ZYL_ENV_USER); user && *user) {
        start.login.sUser = user;
        userGiven = true;
    }
    if (const char* password = std::getenv(ZYL_ENV_PASSWORD); password && *password) {
        start.login.sPassword = password;
        passwordGiven = true;
    }
    CLI::Option* userOption = app.add_option(
        "--user", start.login.sUser, "your user id, like S1.1000: the broker user name (or ZYLFS_USER)");
    CLI::Option* passwordOption =
        app.add_option("--password", start.login.sPassword, "broker password (or ZYLFS_PASSWORD)");
    app.add_option("--broker", broker, "broker HOST:PORT")->capture_default_str();
    ZylAddTlsOptions(app, start.login.security);
    app.add_option("--data", data, "the application folder (default $XDG_DATA_HOME/zylfs/<user>)");
    app.add_option("--module", module,
                   "the file-sharing module (or ZYLFS_MODULE; default: libzylfs.so beside zylhost)");
    app.add_flag("--open", start.bOpenSharing, "open the file-sharing window once logged in");
    app.add_option("--browse", browse,
                   "open the file-sharing window on this friend's shares once the friend is online");

    std::string keep;
    CLI::App* demo =
        app.add_subcommand("demo", "a private broker and two hosts side by side, one sharing a folder tree");
    demo->add_option("--keep", keep, "keep the demo's folders here");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    if (*demo)
        return ZylHostDemo(keep);

    ZYLBROKERADDRESS address;
    if (const std::string error = ZylParseBrokerAddress(broker, address); !error.empty()) {
        std::fprintf(stderr, "zylhost: --broker: %s\n", error.c_str());
        return 2;
    }
    start.login.sBrokerHost = address.sHost;
    start.login.nBrokerPort = address.nPort;
    userGiven = userGiven || userOption->count() > 0;
    passwordGiven = passwordGiven || passwordOption->count() > 0;
    if (userGiven) {
        const std::string user = ZylCanonicalUserId(start.login.sUser);
        if (user.empty()) {
            std::fprintf(stderr, "zylhost: --user must be a user id like S1.1000, not '%s'\n",
                         start.login.sUser.c_str());
            return 2;
        }
        start.login.sUser = user;
    }
    if (!browse.empty()) {
        const std::string friendId = ZylCanonicalUserId(browse);
        if (friendId.empty()) {
            std::fprintf(stderr, "zylhost: --browse must be a user id like S1.1000, not '%s'\n",
                         browse.c_str());
            return 2;
        }
        start.sBrowse = QString::fromStdString(friendId);
    }
    if (!data.empty())
        start.login.pDataDir = std::filesystem::absolute(data);
    start.login.pModule = ZylFindModule(module);
    start.bAskFirst = !userGiven || !passwordGiven;

    // The module's window and timers live on this thread's event loop.
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("zylhost"));
    application.setQuitOnLastWindowClosed(false);
    CZylQtPrompts prompts;
    CZylDesktopApp desktop(std::move(start), prompts);
    desktop.WatchSignals();
    if (!desktop.Start())
        return desktop.ExitCode();
    QObject::connect(&desktop, &CZylDesktopApp::Finished, &application, &QApplication::exit);
    return QApplication::exec();
}
