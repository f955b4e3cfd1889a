#include "ui/ZylFrameWindow.h"

#include "ui/ZylAsk.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylUiEvents.h"

#include <QApplication>
#include <QThread>

CZylFrameWindow::CZylFrameWindow(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask) {
    auto* frame = new CZylMainFrame(plugin, std::move(ask), *this);
    m_pFrame = frame;
    {
        std::lock_guard lock(m_mutex);
        m_pReceiver = frame;
    }
    m_bWindow = true;
    // The frame's initial update: it shows itself as soon as it exists.
    frame->show();
}

CZylFrameWindow::~CZylFrameWindow() {
    Destroy();
}

void CZylFrameWindow::NoteClosed() {
    {
        std::lock_guard lock(m_mutex);
        m_pReceiver = nullptr;
    }
    m_bWindow = false;
    m_bVisible = false;
}

bool CZylFrameWindow::IsMinimized() const {
    const CZylMainFrame* frame = m_pFrame.data();
    return frame && m_bWindow && frame->isMinimized();
}

void CZylFrameWindow::Restore() {
    if (CZylMainFrame* frame = m_pFrame.data(); frame && m_bWindow)
        frame->setWindowState(frame->windowState() & ~Qt::WindowMinimized);
}

void CZylFrameWindow::BringToTop() {
    if (CZylMainFrame* frame = m_pFrame.data(); frame && m_bWindow && frame->isVisible()) {
        frame->raise();
        frame->activateWindow();
    }
}

void CZylFrameWindow::SetTitle(std::u16string_view title) {
    if (CZylMainFrame* frame = m_pFrame.data())
        frame->setWindowTitle(QString::fromUtf16(title.data(), static_cast<qsizetype>(title.size())));
}

void CZylFrameWindow::Destroy() {
    NoteClosed();
    CZylMainFrame* frame = m_pFrame.data();
    m_pFrame.clear();
    // Deleted at once unless a question is being asked (then as soon as it returns): the module
    // may be unloaded before the event loop comes round.
    if (frame)
        frame->Release();
}

void ZylDeleteAllWindows() {
    CZylMainFrame::DeleteAll();
}

intptr_t CZylFrameWindow::Send(uint32_t message, intptr_t first, intptr_t second) {
    CZylMainFrame* frame = m_pFrame.data();
    CZylWindowEvent event(message, first, second);
    if (!frame || !m_bWindow)
        return 0;
    QCoreApplication::sendEvent(frame, &event);
    return event.m_nResult;
}

void CZylFrameWindow::Post(uint32_t message, intptr_t first, intptr_t second) {
    auto event = std::make_unique<CZylWindowEvent>(message, first, second);
    std::lock_guard lock(m_mutex);
    // Without a frame the event (and a text it carries) is simply dropped.
    if (m_pReceiver)
        QCoreApplication::postEvent(m_pReceiver, event.release());
}

std::unique_ptr<IZylWindow> ZylCreateMainWindow(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask) {
    // Widgets live on the thread of the QApplication; a host that runs none has no window.
    const auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return nullptr;
    return std::make_unique<CZylFrameWindow>(plugin, ask ? std::move(ask) : ZylMakeQtAsk());
}

CZylMainFrame* CZylFrameWindow::Frame() const {
    return m_pFrame.data();
}
