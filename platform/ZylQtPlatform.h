// The platform services on Qt: timers of the thread that calls the plug-in, the steady clock, the
// settings file and the MIME database's type descriptions.
#pragma once

#include "core/ZylPlatform.h"
#include "platform/ZylSettingsFile.h"

#include <map>
#include <memory>
#include <vector>

#include <QPointer>

class QObject;
class QTimer;

class CZylQtPlatform : public IZylPlatform {
public:
    CZylQtPlatform();
    ~CZylQtPlatform() override;

    uint32_t GetTickCount() override;
    std::time_t GetCalendarTime() override;
    void Sleep(uint32_t milliseconds) override;
    uintptr_t SetTimer(uint32_t milliseconds, std::function<void()> procedure) override;
    void KillTimer(uintptr_t id) override;
    void PostWork(std::function<void()> work) override;
    IZylSettingsStore& GetSettings() override { return m_settings; }
    std::u16string GetFileTypeName(const std::string& utf8Path) override;
    std::unique_ptr<IZylWindow> CreateMainWindow() override;

    // The module sets this to the window's factory; without it the plug-in has no window.
    std::function<std::unique_ptr<IZylWindow>()> m_fnCreateWindow;

private:
    CZylSettingsFile m_settings;
    // Posted work runs in the context of this object, so none runs once the platform is gone.
    std::unique_ptr<QObject> m_pContext;
    std::map<uintptr_t, std::unique_ptr<QTimer>> m_mTimers;
    uintptr_t m_nNextTimer = 1;
    uintptr_t m_nFiring = 0; // the timer whose procedure runs
    // Timers killed inside their own timeout, waiting for the event loop to delete them.
    std::vector<QPointer<QTimer>> m_vDoomed;
};
