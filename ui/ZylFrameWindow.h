// The window the engine holds (IZylWindow): it hands the engine's messages to the main frame and
// answers the engine's questions about it. The frame may go before this object does (the person
// closed it, or the application is going away); from then on this is no longer a window.
#pragma once

#include "core/ZylPlatform.h"

#include <QPointer>

#include <atomic>
#include <memory>
#include <mutex>

class CZylInterface;
class CZylMainFrame;
class IZylAsk;

class CZylFrameWindow final : public IZylWindow {
public:
    CZylFrameWindow(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask);
    ~CZylFrameWindow() override;
    CZylFrameWindow(const CZylFrameWindow&) = delete;
    CZylFrameWindow& operator=(const CZylFrameWindow&) = delete;

    // Any thread may ask these two (the log asks before it posts a line).
    bool IsWindow() const override { return m_bWindow.load(); }
    bool IsVisible() const override { return m_bVisible.load(); }
    bool IsMinimized() const override;
    void Restore() override;
    void BringToTop() override;
    void SetTitle(std::u16string_view title) override;
    // The destroy notice of logout: the frame's destroy handling runs and the frame is deleted.
    void Destroy() override;
    intptr_t Send(uint32_t message, intptr_t first, intptr_t second) override;
    // Any thread.
    void Post(uint32_t message, intptr_t first, intptr_t second) override;

    CZylMainFrame* Frame() const;

    // From the frame: it was shown or hidden; it closed for good (it deletes itself later).
    void NoteVisible(bool visible) { m_bVisible = visible; }
    void NoteClosed();

private:
    QPointer<CZylMainFrame> m_pFrame;
    // Post runs on other threads: it reaches the frame only through this pointer, which is
    // cleared under the lock before the frame goes.
    std::mutex m_mutex;
    CZylMainFrame* m_pReceiver = nullptr;
    std::atomic<bool> m_bWindow{false};
    std::atomic<bool> m_bVisible{false};
};

// The module's window factory: the main frame, made on the thread that runs the host's
// QApplication; null where the host runs none (a QCoreApplication only, or another thread).
// Without an asker the questions are put on screen.
std::unique_ptr<IZylWindow> ZylCreateMainWindow(CZylInterface& plugin, std::shared_ptr<IZylAsk> ask = {});

// Deletes every frame of this module at once; the module calls it before it is unloaded, so no
// frame (nor a routine the application would run at its end) outlives the module's code.
void ZylDeleteAllWindows();
