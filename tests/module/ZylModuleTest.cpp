// The real libzylfs.so, loaded as a host loads it, on a thread that runs a Qt event loop with widgets:
// it exports one function, and its window comes and goes with the session.
#include "ZylRecordingHost.h"
#include "support/ZylTempDir.h"
#include "zylfs/ZylPlugin.h"
#include <QApplication>
#include <QCoreApplication>
#include <QMainWindow>
#include <QTimer>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
using namespace zyl_recording_host;
void RunEventLoop(int milliseconds) {
    // exit, not quit: an application that quits closes its windows first.
    QTimer::singleShot(milliseconds, QCoreApplication::instance(), [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}
} // namespace

TEST(ZylModule, ExportsOnlyProcessMessage) {
    const std::string command = std::string("nm -D --defined-only '") + ZYLFS_MODULE_PATH + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        const auto space = text.rfind(' ');
        const char kind = text.size() > 17 ? text[17] : '?';
        // Only code and data count; the linker's version node is no symbol of ours.
        if (kind == 'T' || kind == 'D' || kind == 'B' || kind == 'W' || kind == 'V' || kind == 'R')
            symbols.push_back(text.substr(space + 1, text.find_last_not_of("\r\n") - space));
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, std::vector<std::string>{"ProcessMessage"});
}

// Code 3 opens the window in both modes; logout takes it away, and so does unloading without a logout.
TEST(ZylModule, TheWindowOpensOnTheApplicationsThreadAndGoesWithLogoutOrUnload) {
    CZylTempDir temp;
    g_sAppPath = temp.WidePath(u"app");
    setenv("XDG_CONFIG_HOME", (temp.Path() / "config").c_str(), 1);
    int argc = 1;
    char name[] = "zylfs_module_tests";
    char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto windows = [] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        int n = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            n += qobject_cast<QMainWindow*>(widget) ? 1 : 0;
        return n;
    };
    HostUserId self, peer;
    ASSERT_TRUE(self.Parse(u"S1.1000") && peer.Parse(u"S2.1000"));
    for (const bool logout : {true, false}) {
        g_vCalls.clear();
        void* module = dlopen(ZYLFS_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        auto processMessage = reinterpret_cast<ProcessMessageFn>(dlsym(module, "ProcessMessage"));
        processMessage(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(&HostCallback), 0, 0, 0, 0);
        ASSERT_EQ(processMessage(DLL_P2P_LOGIN, reinterpret_cast<intptr_t>(&self), 0, 0, 0, 0), 0);
        EXPECT_EQ(processMessage(DLL_P2P_SHOW, 0, 1, 0, 0, 0), 0);
        EXPECT_EQ(windows(), 1);
        EXPECT_EQ(processMessage(DLL_P2P_SHOW, 0, 2, reinterpret_cast<intptr_t>(&peer), 0, 0), 0);
        RunEventLoop(150);
        EXPECT_EQ(windows(), 1) << "one window for both requests";
        EXPECT_TRUE(std::ranges::any_of(g_vCalls, [](const ZYLHOSTCALL& call) {
            return call.code == ZYL_HOST_OPEN_CHANNEL && call.user == u"S2.1000";
        })) << "mode 2 asks for the friend's channels";
        if (logout) {
            EXPECT_EQ(processMessage(DLL_P2P_LOGOUT, 0, 0, 0, 0, 0), 0);
            EXPECT_EQ(windows(), 0);
        }
        dlclose(module);
        EXPECT_EQ(windows(), 0);
        RunEventLoop(50); // nothing of the module is left to run
    }
}
