// The platform of a plug-in under test: time moves only when the test says so, timers fire when the
// test host ticks, settings live in memory and workers' sleeps are counted, not slept.
#pragma once

#include "core/ZylPlatform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CZylFakeSettings : public IZylSettingsStore {
public:
    std::optional<uint32_t> GetValue(std::u16string_view key) override;
    bool SetValue(std::u16string_view key, uint32_t value) override;

    bool m_bFailWrites = false;
    std::map<std::u16string, uint32_t> m_mValues;
};

// A window that records what it is sent and posted.
class CZylFakeWindow : public IZylWindow {
public:
    struct MESSAGE {
        uint32_t message;
        intptr_t first;
        intptr_t second;
        bool posted;
    };
    ~CZylFakeWindow() override;
    bool IsWindow() const override { return m_bWindow; }
    bool IsVisible() const override { return m_bVisible; }
    bool IsMinimized() const override { return m_bMinimized; }
    void Restore() override { m_bMinimized = false; }
    void BringToTop() override {}
    void SetTitle(std::u16string_view title) override { m_sTitle = title; }
    void Destroy() override { m_bWindow = false; }
    intptr_t Send(uint32_t message, intptr_t first, intptr_t second) override;
    void Post(uint32_t message, intptr_t first, intptr_t second) override;
    size_t Count(uint32_t message) const;

    bool m_bWindow = true;
    bool m_bVisible = true;
    bool m_bMinimized = false;
    std::u16string m_sTitle;
    std::vector<MESSAGE> m_vMessages;
    std::vector<std::u16string> m_vInfoLines; // copies of WM_ZYL_INFO_LINE texts
    std::function<void(uint32_t, intptr_t, intptr_t)> m_fnOnSend;
    mutable std::mutex m_mutex;
};

class CZylFakePlatform : public IZylPlatform {
public:
    uint32_t GetTickCount() override { return m_nTick.load(); }
    std::time_t GetCalendarTime() override { return m_nCalendarTime.load(); }
    void Sleep(uint32_t milliseconds) override;
    uintptr_t SetTimer(uint32_t milliseconds, std::function<void()> procedure) override;
    void KillTimer(uintptr_t id) override;
    // Posted work runs at the start of the next Advance, as if the loop came round.
    void PostWork(std::function<void()> work) override;
    IZylSettingsStore& GetSettings() override { return m_settings; }
    std::u16string GetFileTypeName(const std::string& utf8Path) override;
    std::unique_ptr<IZylWindow> CreateMainWindow() override;

    // Moves time on by the given milliseconds and runs the timers whose period has come.
    void Advance(uint32_t milliseconds);
    // With blocking sleeps a worker's sleep lasts until Advance has moved the time past its end,
    // so that worker threads live in the same virtual time as the timers; turning them off wakes
    // every sleeper. Off by default: sleeps are then only counted.
    void SetBlockingSleep(bool blocking);
    // Threads in a blocking sleep whose end has not come yet.
    size_t GetSleepingCount() const;
    size_t GetTimerCount() const { return m_mTimers.size(); }

    std::atomic<uint32_t> m_nTick{100000};
    std::atomic<std::time_t> m_nCalendarTime{1200000000}; // 2008-01-10 21:20:00 UTC
    std::atomic<uint64_t> m_nSleptMs{0};
    std::atomic<uint32_t> m_nSleeps{0};
    std::atomic<uint32_t> m_nTypeLookups{0};
    CZylFakeSettings m_settings;
    // Makes the window code 3 shows; by default there is none, as before the window exists.
    std::function<std::unique_ptr<IZylWindow>()> m_fnCreateWindow;

private:
    struct TIMER {
        uint32_t period;
        uint32_t due;
        std::function<void()> procedure;
    };
    std::map<uintptr_t, TIMER> m_mTimers;
    std::mutex m_postMutex;
    std::vector<std::function<void()>> m_vPosted;
    uintptr_t m_nNextTimer = 1;
    mutable std::mutex m_sleepMutex;
    std::condition_variable m_sleepWake;
    bool m_bBlockingSleep = false;
    std::vector<uint32_t> m_vDues; // when each blocked sleeper is to wake
};
