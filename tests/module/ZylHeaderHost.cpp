// A host built from the public header alone: it links nothing of the plug-in (only the dynamic
// loader, and Qt Core for the event loop the plug-in's timers run in), loads the built module with
// dlopen and drives it as a messenger does. Login makes the plug-in's folder, one open channel is
// no connection yet, the second starts the unfinished-tasks query, logout closes both channels and
// unloading leaves the log. The identities it makes and reads use only the header's operations.
//
// Usage: zylfs_header_host MODULE; exit code 0 when every check holds.
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

#define ZYL_CHECK(condition)                                                                                 \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
            ++g_nFailures;                                                                                   \
        }                                                                                                    \
    } while (0)

size_t Count(int32_t code, intptr_t command = -1) {
    size_t n = 0;
    for (const auto& call : g_vCalls)
        n += call.code == code && (command < 0 || call.command == command) ? 1 : 0;
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

    ZYL_CHECK(processMessage(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&HostCallback), 0, 0, 0, 0) ==
              0);
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
    for (const auto& call : g_vCalls) {
        if (call.code == ZYL_HOST_SEND) {
            // The plug-in's own identity object, read through the header's operations.
            ZYL_CHECK(call.user == u"SM2.1000");
            ZYL_CHECK(call.channel == ZYL_CHANNEL_REQUEST);
            ZYL_CHECK(call.length == 8); // one date-and-time value
        }
    }

    ZYL_CHECK(processMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0) == 0);
    size_t closes = 0;
    for (const auto& call : g_vCalls)
        closes += call.code == ZYL_HOST_CLOSE_CHANNEL && call.user == u"SM2.1000" ? 1 : 0;
    ZYL_CHECK(closes == 2);
    dlclose(module);
    // Unloading flushed the log with the login line.
    ZYL_CHECK(fs::exists(temp / "app" / "fs" / "fs.log"));

    std::error_code ec;
    fs::remove_all(temp, ec);
    if (g_nFailures == 0)
        std::printf("header-alone host: all checks passed\n");
    return g_nFailures == 0 ? 0 : 1;
}
