// zylfs: a command-line node that shares, browses, downloads and uploads over an MQTT broker.
#include "cli/ZylCommands.h"
#include "cli/ZylDemo.h"
#include "cli/ZylKeyCommands.h"
#include "host/ZylHostDefaults.h"
#include "host/ZylTlsOptions.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>

#include <cstdlib>
#include <fmt/format.h>

namespace {
// The plug-in's thread: an event loop runs its timers.
int RunDemo(const ZYLDEMOOPTIONS& demo) {
    int argc = 1;
    char name[] = "zylfs";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    CZylNode::InstallSignalHandlers();
    return ZylCmdDemo(demo);
}
} // namespace

int main(int argc, char** argv) {
    CLI::App app{"zylfs: share folders and files with friends, browse theirs, download and upload"};
    app.require_subcommand(1);

    ZYLNODEOPTIONS options;
    std::vector<std::string> brokers{ZYL_DEFAULT_BROKER};
    std::string data;
    if (const char* user = std::getenv(ZYL_ENV_USER))
        options.sUser = user;
    if (const char* password = std::getenv(ZYL_ENV_PASSWORD))
        options.sPassword = password;
    app.add_option("--user", options.sUser,
                   "your user id, like S1.1000: the broker user name (or ZYLFS_USER)");
    app.add_option("--password", options.sPassword, "broker password (or ZYLFS_PASSWORD)");
    app.add_option("--broker", brokers,
                   "broker HOST:PORT; the nodes of a cluster as a comma-separated list or repeated (the next "
                   "is tried when one goes away)")
        ->delimiter(',')
        ->capture_default_str();
    ZylAddTlsOptions(app, options.security);
    app.add_option("--data", data, "the application folder (default $XDG_DATA_HOME/zylfs/<user>)");

    CLI::App* share = app.add_subcommand("share", "edit your shares")->require_subcommand(1);
    ZYLSHAREADD add;
    CLI::App* shareAdd = share->add_subcommand("add", "share a folder or a file");
    shareAdd->add_option("PATH", add.sPath, "the folder or file")->required();
    shareAdd->add_option("--name", add.sName, "the share name (default: the last path component)");
    shareAdd->add_option("--everyone", add.sEveryone, "rights of everyone: browse,download,upload");
    shareAdd->add_option("--grant", add.vGrants, "rights of one friend: ID=RIGHTS (repeatable)");
    shareAdd->add_option("--max-users", add.nMaxUsers, "users served at once (default: no limit)")
        ->check(CLI::NonNegativeNumber);
    CLI::App* shareList = share->add_subcommand("list", "list your shares");
    std::string shareName;
    CLI::App* shareRm = share->add_subcommand("rm", "stop sharing");
    shareRm->add_option("NAME", shareName, "the share name")->required();
    std::string uploadSwitch;
    CLI::App* shareUpload = share->add_subcommand("upload", "let friends upload into your shares, or not");
    shareUpload->add_option("STATE", uploadSwitch, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));

    CLI::App* serve = app.add_subcommand("serve", "stay online and serve your shares until interrupted");

    std::string friendId, sharePath, destination, localPath;
    CLI::App* browse = app.add_subcommand("browse", "list a friend's shares, or one folder of them");
    browse->add_option("FRIEND", friendId, "the friend's user id")->required();
    browse->add_option("SHAREPATH", sharePath, "SHARE or SHARE\\FOLDER ('/' works too)");

    CLI::App* get = app.add_subcommand("get", "download a friend's file or folder tree");
    get->add_option("FRIEND", friendId, "the friend's user id")->required();
    get->add_option("SHAREPATH", sharePath, "SHARE or SHARE\\PATH ('/' works too)")->required();
    get->add_option("DEST", destination, "the local folder (default: the current folder)");

    CLI::App* put = app.add_subcommand("put", "upload a file or folder into a friend's share");
    put->add_option("LOCALPATH", localPath, "the file or folder")->required();
    put->add_option("FRIEND", friendId, "the friend's user id")->required();
    put->add_option("SHAREPATH", sharePath, "SHARE or SHARE\\FOLDER to upload into")->required();

    CLI::App* tasks = app.add_subcommand("tasks", "list your stored transfers");

    CLI::App* whois = app.add_subcommand("whois", "show the fingerprint of a friend's key (or yours)");
    whois->add_option("FRIEND", friendId, "the friend's user id")->required();
    CLI::App* trust =
        app.add_subcommand("trust", "accept the new key a friend shows, so that it is taken again");
    trust->add_option("FRIEND", friendId, "the friend's user id")->required();

    ZYLDEMOOPTIONS demo;
    CLI::App* demoCmd = app.add_subcommand("demo", "two nodes on a private broker share and download a tree");
    demoCmd->add_option("--mib", demo.nRandomMiB, "size of the random file in MiB")->capture_default_str();
    demoCmd->add_option("--keep", demo.sKeep, "keep the demo's folders here");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    options.vBrokers.clear();
    for (const std::string& text : brokers) {
        ZYLBROKERADDRESS address;
        if (const std::string error = ZylParseBrokerAddress(text, address); !error.empty()) {
            fmt::print(stderr, "zylfs: --broker: {}\n", error);
            return 2;
        }
        options.vBrokers.push_back(address);
    }
    if (*demoCmd)
        return RunDemo(demo);
    if (options.sUser.empty()) {
        fmt::print(stderr, "zylfs: say who you are with --user ID (or ZYLFS_USER), e.g. --user S1.1000\n");
        return 2;
    }
    const std::string user = ZylCanonicalUserId(options.sUser);
    if (user.empty()) {
        fmt::print(stderr, "zylfs: --user must be a user id like S1.1000, not '{}'\n", options.sUser);
        return 2;
    }
    options.sUser = user;
    options.pDataDir = data.empty() ? ZylDefaultDataDir(options.sUser) : std::filesystem::absolute(data);
    options.security.pKeyFolder = options.pDataDir; // the user's key pair and the friends' keys

    // The plug-in's thread: an event loop runs its timers.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication application(qtArgc, qtArgv);
    CZylNode::InstallSignalHandlers();

    if (*shareAdd)
        return ZylCmdShareAdd(options, add);
    if (*shareList)
        return ZylCmdShareList(options);
    if (*shareRm)
        return ZylCmdShareRemove(options, shareName);
    if (*shareUpload)
        return ZylCmdShareUpload(options, uploadSwitch == "on");
    if (*serve)
        return ZylCmdServe(options);
    if (*browse)
        return ZylCmdBrowse(options, friendId, sharePath);
    if (*get)
        return ZylCmdGet(options, friendId, sharePath, destination);
    if (*put)
        return ZylCmdPut(options, localPath, friendId, sharePath);
    if (*tasks)
        return ZylCmdTasks(options);
    if (*whois)
        return ZylCmdWhois(options, friendId);
    if (*trust)
        return ZylCmdTrust(options, friendId);
    return 2;
}
