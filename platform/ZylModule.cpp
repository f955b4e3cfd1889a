// The loadable module: the one exported entry point drives the one plug-in of the process.
#include "platform/ZylQtPlatform.h"
#include "plugin/ZylInterface.h"
#include "ui/ZylFrameWindow.h"

#include "zylfs/ZylPlugin.h"

#include <memory>

namespace {
// Made on the first call, on the host's thread (whose event loop runs the timers); destroyed when
// the module is unloaded, which writes the databases and flushes the log.
struct ZYLMODULE {
    ZYLMODULE() {
        platform.m_fnCreateWindow = [this] { return ZylCreateMainWindow(plugin); };
    }
    // The window goes before the module's code does.
    ~ZYLMODULE() { ZylDeleteAllWindows(); }
    CZylQtPlatform platform;
    CZylInterface plugin{platform};
};

ZYLMODULE& Module() {
    static ZYLMODULE module;
    return module;
}
} // namespace

extern "C" __attribute__((visibility("default"))) int32_t
ProcessMessage(uint32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
    if (code > 11)
        return 0;
    try {
        return Module().plugin.ProcessMessage(code, a1, a2, a3, a4, a5);
    } catch (...) {
        return -1;
    }
}
