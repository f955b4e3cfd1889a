// A host of the public header alone (linking the loader and Qt Core) drives the module as a messenger
// does: login makes its folder, one open channel is no connection yet, the second starts the unfinished
// tasks query, logout closes both, unloading leaves the log. Usage: zylfs_header_host MODULE (0: passed).
#include "ZylRecordingHost.h"
#include "zylfs/ZylPlugin.h"
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;
using namespace zyl_recording_host;
int g_nFailures = 0;
void Check(bool holds, int line, const char* condition) {
    if (!holds)
        ++g_nFailures, std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
}
#define ZYL_CHECK(condition) Check((condition), __LINE__, #condition)
size_t Count(int32_t code, intptr_t command = -1, const std::u16string& user = {}) {
    size_t n = 0;
    for (const auto& call : g_vCalls)
        n += call.code == code && (command < 0 || call.command == command) &&
             (user.empty() || call.user == user);
    return n;
}
// Runs the event loop until done() holds or five seconds passed.
template <class DONE> bool RunUntil(DONE done) {
    for (int i = 0; i < 500 && !done(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}
void RunFor(int milliseconds) {
    QTimer::singleShot(milliseconds, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}
std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end()); // the test's paths are ASCII
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
        return 2;
    }
    char pattern[] = "/tmp/zylfs-header-host-XXXXXX";
    if (!mkdtemp(pattern))
        return 2;
    const fs::path temp = pattern;
    g_sAppPath = Wide((temp / "app").string());
    setenv("XDG_CONFIG_HOME", (temp / "config").c_str(), 1);
    QCoreApplication app(argc, argv);
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto processMessage = reinterpret_cast<ProcessMessageFn>(dlsym(module, "ProcessMessage"));
    ZYL_CHECK(processMessage != nullptr);
    if (!processMessage)
        return 1;
    ZYL_CHECK(!processMessage(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&HostCallback), 0, 0, 0, 0));
    ZYL_CHECK(!g_vCalls.empty() && g_vCalls.front().code == ZYL_HOST_PREPARE);
    HostUserId self, peer;
    ZYL_CHECK(self.Parse(u"S1.1000") && self.GetKind() == HostUserId::Plain);
    ZYL_CHECK(peer.Parse(u"sm2.1000") && peer.ToText() == u"SM2.1000");
    ZYL_CHECK(processMessage(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&self), 0, 0, 0, 0) == 0);
    ZYL_CHECK(fs::is_directory(temp / "app" / "fs"));
    // A host with only a QCoreApplication has no window to open.
    ZYL_CHECK(processMessage(DLL_P2P_SHOW, 0, 1, 0, 0, 0) == -1);
    // Codes beyond the table do nothing, whatever their arguments.
    ZYL_CHECK(processMessage(12, 1, 2, 3, 4, 5) == 0);
    ZYL_CHECK(processMessage(0xFFFFFFFFu, 1, 2, 3, 4, 5) == 0);
    processMessage(DLL_P2P_ON_CONNECT, reinterpret_cast<intptr_t>(&peer), ZYL_CHANNEL_REQUEST, 0, 0, 0);
    RunFor(60);
    ZYL_CHECK(Count(ZYL_HOST_SEND, 4112) == 0); // one channel is not a connection
    processMessage(DLL_P2P_ON_CONNECT, reinterpret_cast<intptr_t>(&peer), ZYL_CHANNEL_DATA, 0, 0, 0);
    ZYL_CHECK(RunUntil([] { return Count(ZYL_HOST_SEND, 4112) > 0; }));
    RunFor(50);
    ZYL_CHECK(Count(ZYL_HOST_SEND, 4112) == 1);
    // To the plug-in's own identity object, read through the header's operations; one date-and-time value.
    for (const auto& call : g_vCalls)
        ZYL_CHECK(call.code != ZYL_HOST_SEND ||
                  (call.user == u"SM2.1000" && call.channel == ZYL_CHANNEL_REQUEST && call.length == 8));
    ZYL_CHECK(processMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0) == 0);
    ZYL_CHECK(Count(ZYL_HOST_CLOSE_CHANNEL, -1, u"SM2.1000") == 2);
    dlclose(module);
    // Unloading flushed the log with the login line.
    ZYL_CHECK(fs::exists(temp / "app" / "fs" / "fs.log"));
    std::error_code ec;
    fs::remove_all(temp, ec);
    if (g_nFailures == 0)
        std::printf("header-alone host: all checks passed\n");
    return g_nFailures == 0 ? 0 : 1;
}
