// The tray icon that keeps the plug-in reachable while transfers run with the window hidden.
// Where the desktop has no tray the window is minimised instead of hidden, so it never becomes
// unreachable.
#pragma once

#include <QObject>

#include <functional>

class CZylMainFrame;
class QSystemTrayIcon;

class CZylTray : public QObject {
    Q_OBJECT
public:
    explicit CZylTray(CZylMainFrame& frame);
    ~CZylTray() override;

    // Whether the desktop shows tray icons (replaceable for tests).
    static std::function<bool()>& Availability();

    // Shows the icon; false when the desktop has no tray.
    bool Add();
    void Remove();
    bool IsShown() const;
    QSystemTrayIcon* GetIcon() const { return m_pIcon; }

private:
    CZylMainFrame& m_rFrame;
    QSystemTrayIcon* m_pIcon = nullptr;
};
