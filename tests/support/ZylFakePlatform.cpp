#include "support/ZylFakePlatform.h"

#include <algorithm>
#include <thread>

std::optional<uint32_t> CZylFakeSettings::GetValue(std::u16string_view key) {
    auto it = m_mValues.find(std::u16string(key));
    if (it == m_mValues.end())
        return std::nullopt;
    return it->second;
}

bool CZylFakeSettings::SetValue(std::u16string_view key, uint32_t value) {
    if (m_bFailWrites)
        return false;
    m_mValues[std::u16string(key)] = value;
    return true;
}

CZylFakeWindow::~CZylFakeWindow() = default;

intptr_t CZylFakeWindow::Send(uint32_t message, intptr_t first, intptr_t second) {
    {
        std::lock_guard lock(m_mutex);
        m_vMessages.push_back({message, first, second, false});
    }
    if (m_fnOnSend)
        m_fnOnSend(message, first, second);
    return 0;
}

void CZylFakeWindow::Post(uint32_t message, intptr_t first, intptr_t second) {
    std::lock_guard lock(m_mutex);
    m_vMessages.push_back({message, first, second, true});
    if (message == WM_ZYL_INFO_LINE) {
        // The line is the window's own copy.
        auto* line = reinterpret_cast<std::u16string*>(second);
        m_vInfoLines.push_back(*line);
        delete line;
    }
}

size_t CZylFakeWindow::Count(uint32_t message) const {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& m : m_vMessages)
        n += m.message == message ? 1 : 0;
    return n;
}

void CZylFakePlatform::Sleep(uint32_t milliseconds) {
    m_nSleptMs += milliseconds;
    ++m_nSleeps;
    std::unique_lock lock(m_sleepMutex);
    if (!m_bBlockingSleep) {
        lock.unlock();
        std::this_thread::yield();
        return;
    }
    const uint32_t due = m_nTick + milliseconds;
    m_vDues.push_back(due);
    m_sleepWake.wait(lock, [&] { return !m_bBlockingSleep || static_cast<int32_t>(m_nTick - due) >= 0; });
    m_vDues.erase(std::find(m_vDues.begin(), m_vDues.end(), due));
}

void CZylFakePlatform::SetBlockingSleep(bool blocking) {
    {
        std::lock_guard lock(m_sleepMutex);
        m_bBlockingSleep = blocking;
    }
    m_sleepWake.notify_all();
}

size_t CZylFakePlatform::GetSleepingCount() const {
    std::lock_guard lock(m_sleepMutex);
    // A sleeper whose time has come counts as running even before its thread has woken.
    return static_cast<size_t>(std::count_if(m_vDues.begin(), m_vDues.end(), [&](uint32_t due) {
        return static_cast<int32_t>(m_nTick - due) < 0;
    }));
}

uintptr_t CZylFakePlatform::SetTimer(uint32_t milliseconds, std::function<void()> procedure) {
    const uintptr_t id = m_nNextTimer++;
    m_mTimers[id] = TIMER{milliseconds, m_nTick + milliseconds, std::move(procedure)};
    return id;
}

void CZylFakePlatform::KillTimer(uintptr_t id) {
    m_mTimers.erase(id);
}

std::u16string CZylFakePlatform::GetFileTypeName(const std::string& utf8Path) {
    ++m_nTypeLookups;
    const auto dot = utf8Path.rfind('.');
    const auto slash = utf8Path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return u"File";
    std::u16string ext;
    for (char c : utf8Path.substr(dot + 1))
        ext.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 32 : c));
    return ext + u" File";
}

std::unique_ptr<IZylWindow> CZylFakePlatform::CreateMainWindow() {
    return m_fnCreateWindow ? m_fnCreateWindow() : nullptr;
}

void CZylFakePlatform::PostWork(std::function<void()> work) {
    std::lock_guard lock(m_postMutex);
    m_vPosted.push_back(std::move(work));
}

void CZylFakePlatform::Advance(uint32_t milliseconds) {
    std::vector<std::function<void()>> posted;
    {
        std::lock_guard lock(m_postMutex);
        posted.swap(m_vPosted);
    }
    for (auto& work : posted)
        work();
    const uint32_t target = m_nTick + milliseconds;
    while (true) {
        // Fire timers in order of their due time; a procedure may kill or start timers.
        uintptr_t next = 0;
        uint32_t due = 0;
        for (const auto& [id, timer] : m_mTimers) {
            if (static_cast<int32_t>(timer.due - target) <= 0 &&
                (next == 0 || static_cast<int32_t>(timer.due - due) < 0)) {
                next = id;
                due = timer.due;
            }
        }
        if (next == 0)
            break;
        if (static_cast<int32_t>(due - m_nTick) > 0)
            m_nTick = due;
        auto& timer = m_mTimers[next];
        timer.due += timer.period ? timer.period : 1;
        auto procedure = timer.procedure;
        procedure();
    }
    m_nTick = target;
    // Sleepers whose time has come wake (the lock orders this after their look at the time).
    { std::lock_guard lock(m_sleepMutex); }
    m_sleepWake.notify_all();
}
