// What the engine needs of the platform, as small interfaces: the module implements them with Qt
// (platform/), the tests with fakes that drive time by hand.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Window messages the engine sends or posts to the plug-in's window.
enum : uint32_t {
    WM_ZYL_FRIEND_ROOT = 1124,
    WM_ZYL_FRIEND_FOLDER = 1125,
    WM_ZYL_USER_CHANGED = 1126,
    WM_ZYL_TRAY = 1127,
    WM_ZYL_INFO_LINE = 1128,
    WM_ZYL_OPEN = 1224,
    WM_ZYL_BUILD_ADDRESS = 1524,
    WM_ZYL_ADDRESS_SELCHANGED = 1525,
};
inline constexpr intptr_t ZYL_TRAY_ICON_ID = 8240;
inline constexpr intptr_t ZYL_TRAY_LEFT_BUTTON_DOWN = 513;

// A window the engine notifies. Sent messages run the handler before Send returns; posted ones
// run later on the window's thread.
class IZylWindow {
public:
    virtual ~IZylWindow() = default;
    virtual bool IsWindow() const = 0;
    virtual bool IsVisible() const = 0;
    virtual bool IsMinimized() const = 0;
    virtual void Restore() = 0;
    virtual void BringToTop() = 0;
    virtual void SetTitle(std::u16string_view title) = 0;
    virtual void Destroy() = 0;
    virtual intptr_t Send(uint32_t message, intptr_t first, intptr_t second) = 0;
    virtual void Post(uint32_t message, intptr_t first, intptr_t second) = 0;
};

// The per-user settings store (the task id counter lives there).
class IZylSettingsStore {
public:
    virtual ~IZylSettingsStore() = default;
    virtual std::optional<uint32_t> GetValue(std::u16string_view key) = 0;
    // False when the value could not be stored durably.
    virtual bool SetValue(std::u16string_view key, uint32_t value) = 0;
};

class IZylPlatform {
public:
    virtual ~IZylPlatform() = default;

    // Milliseconds since some start; differences are taken unsigned, so wrap-around is harmless.
    virtual uint32_t GetTickCount() = 0;
    // Seconds since 1970 (converted to local time by CZylDateTime).
    virtual std::time_t GetCalendarTime() = 0;
    // Pauses a worker thread; tests run it in virtual time.
    virtual void Sleep(uint32_t milliseconds) = 0;

    // A repeating timer on the thread that calls the plug-in; 0 when none could be started.
    virtual uintptr_t SetTimer(uint32_t milliseconds, std::function<void()> procedure) = 0;
    virtual void KillTimer(uintptr_t id) = 0;
    // Runs work soon on the thread that calls the plug-in, after what that thread is doing now, as
    // a message posted to the plug-in's own loop would. Any thread may post.
    virtual void PostWork(std::function<void()> work) = 0;

    virtual IZylSettingsStore& GetSettings() = 0;
    // The display text of a file's type; called from listing workers, so it must be thread-safe.
    virtual std::u16string GetFileTypeName(const std::string& utf8Path) = 0;
    // Creates the plug-in's main window; null where there is none (no window framework yet).
    virtual std::unique_ptr<IZylWindow> CreateMainWindow() = 0;
};
