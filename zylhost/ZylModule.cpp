#include "zylhost/ZylModule.h"

#include <QCoreApplication>
#include <QEvent>

#include <array>
#include <cstdlib>
#include <dlfcn.h>
#include <system_error>
#include <unistd.h>

namespace {
// One callback per loaded module; four copies at once are more than any host or test needs.
constexpr int ZYL_CALLBACK_SLOTS = 4;
std::array<CZylModule::Callback, ZYL_CALLBACK_SLOTS> g_aCallbacks;

template <int N>
int32_t ZylSlotCallback(int32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
    return g_aCallbacks[N] ? g_aCallbacks[N](code, a1, a2, a3, a4, a5) : -1;
}

constexpr std::array<ZylHostCallback, ZYL_CALLBACK_SLOTS> g_aSlotFunctions = {
    &ZylSlotCallback<0>, &ZylSlotCallback<1>, &ZylSlotCallback<2>, &ZylSlotCallback<3>};
} // namespace

CZylModule::~CZylModule() {
    Unload();
}

std::string CZylModule::Load(const std::filesystem::path& path, Callback callback) {
    if (m_pHandle)
        return "the module is loaded already";
    int slot = 0;
    while (slot < ZYL_CALLBACK_SLOTS && g_aCallbacks[slot])
        ++slot;
    if (slot == ZYL_CALLBACK_SLOTS)
        return "too many modules are loaded";
    if (path.empty())
        return "the file-sharing module libzylfs.so was not found";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        return "the file-sharing module " + path.string() + " cannot be loaded (" + (reason ? reason : "?") +
               ")";
    }
    auto entry = reinterpret_cast<ProcessMessageFn>(dlsym(handle, "ProcessMessage"));
    if (!entry) {
        dlclose(handle);
        return path.string() + " is no file-sharing module (it has no ProcessMessage)";
    }
    m_pHandle = handle;
    m_pfnProcessMessage = entry;
    m_nSlot = slot;
    g_aCallbacks[slot] = std::move(callback);
    m_pfnProcessMessage(DLL_P2P_SET_CALLBACK, reinterpret_cast<intptr_t>(g_aSlotFunctions[slot]), 0, 0, 0, 0);
    return {};
}

int32_t CZylModule::Call(uint32_t code, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5) {
    return m_pfnProcessMessage ? m_pfnProcessMessage(code, a1, a2, a3, a4, a5) : 0;
}

void CZylModule::Unload() {
    if (!m_pHandle)
        return;
    // Objects the module handed to the event loop to delete (its stopped timers) carry code of the
    // module: they go before it does.
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    dlclose(m_pHandle);
    m_pHandle = nullptr;
    m_pfnProcessMessage = nullptr;
    // The module is gone, so nothing calls the slot any more: it may serve the next one.
    g_aCallbacks[m_nSlot] = nullptr;
    m_nSlot = -1;
}

std::filesystem::path ZylFindModule(const std::string& given) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!given.empty())
        return fs::absolute(given, ec);
    if (const char* variable = std::getenv("ZYLFS_MODULE"); variable && *variable)
        return fs::absolute(variable, ec);
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "libzylfs.so";
    if (!ec && fs::exists(beside, ec))
        return beside;
#ifdef ZYLHOST_BUILD_MODULE
    if (fs::exists(ZYLHOST_BUILD_MODULE, ec))
        return ZYLHOST_BUILD_MODULE;
#endif
    return {};
}
