// The plug-in module as a host loads it: dlopen, the one exported entry point, and the callback
// the plug-in calls back into. The callback is a plain function pointer, so each loaded module gets
// one of a few fixed entry functions that lead to its owner (a test may load two copies).
#pragma once

#include "zylfs/ZylPlugin.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

class CZylModule {
public:
    using Callback = std::function<int32_t(int32_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t)>;

    CZylModule() = default;
    ~CZylModule(); // Unload
    CZylModule(const CZylModule&) = delete;
    CZylModule& operator=(const CZylModule&) = delete;

    // Loads the module and hands it the callback (code 0); an empty text, or why it failed (a
    // clause without a full stop, to end a sentence with).
    std::string Load(const std::filesystem::path& path, Callback callback);
    bool IsLoaded() const { return m_pHandle != nullptr; }
    // ProcessMessage; 0 while nothing is loaded.
    int32_t Call(uint32_t code, intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0,
                 intptr_t a5 = 0);
    // Unloads the module: its managers are destroyed, which writes the task database, the share
    // database when it changed and the log. The caller has logged out first.
    void Unload();

private:
    using ProcessMessageFn = int32_t (*)(uint32_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

    void* m_pHandle = nullptr;
    ProcessMessageFn m_pfnProcessMessage = nullptr;
    int m_nSlot = -1;
};

// Where the module is: the path given (option or ZYLFS_MODULE), else libzylfs.so beside the
// program, else the module of the build tree the program was built in. Empty when none exists.
std::filesystem::path ZylFindModule(const std::string& given);
