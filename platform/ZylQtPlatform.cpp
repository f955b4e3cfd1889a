#include "platform/ZylQtPlatform.h"

#include <QMetaObject>
#include <QMimeDatabase>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <thread>

CZylQtPlatform::CZylQtPlatform() : m_pContext(std::make_unique<QObject>()) {}

CZylQtPlatform::~CZylQtPlatform() {
    for (const QPointer<QTimer>& timer : m_vDoomed)
        delete timer.data();
}

uint32_t CZylQtPlatform::GetTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::time_t CZylQtPlatform::GetCalendarTime() {
    return std::time(nullptr);
}

void CZylQtPlatform::Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uintptr_t CZylQtPlatform::SetTimer(uint32_t milliseconds, std::function<void()> procedure) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(static_cast<int>(milliseconds));
    timer->setTimerType(Qt::PreciseTimer);
    const uintptr_t id = m_nNextTimer++;
    QObject::connect(timer.get(), &QTimer::timeout, [this, id, procedure = std::move(procedure)] {
        const uintptr_t outer = m_nFiring;
        m_nFiring = id;
        procedure();
        m_nFiring = outer;
    });
    timer->start();
    m_mTimers[id] = std::move(timer);
    return id;
}

void CZylQtPlatform::KillTimer(uintptr_t id) {
    auto it = m_mTimers.find(id);
    if (it == m_mTimers.end())
        return;
    it->second->stop();
    if (id != m_nFiring) {
        m_mTimers.erase(it);
        return;
    }
    // A timer killed from inside its own timeout is deleted by the event loop, or with the
    // platform if the loop does not come round first. Its procedure is disconnected now, so
    // nothing of the module runs when that happens (the module may be unloaded by then).
    QObject::disconnect(it->second.get(), nullptr, nullptr, nullptr);
    QTimer* timer = it->second.release();
    m_vDoomed.emplace_back(timer);
    timer->deleteLater();
    m_mTimers.erase(it);
}

void CZylQtPlatform::PostWork(std::function<void()> work) {
    QMetaObject::invokeMethod(m_pContext.get(), std::move(work), Qt::QueuedConnection);
}

std::u16string CZylQtPlatform::GetFileTypeName(const std::string& utf8Path) {
    // QMimeDatabase may be used from several threads at once.
    const QMimeDatabase database;
    const QString comment = database.mimeTypeForFile(QString::fromStdString(utf8Path)).comment();
    return comment.toStdU16String();
}

std::unique_ptr<IZylWindow> CZylQtPlatform::CreateMainWindow() {
    return m_fnCreateWindow ? m_fnCreateWindow() : nullptr;
}
