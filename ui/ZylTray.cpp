#include "ui/ZylTray.h"

#include "core/ZylPlatform.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylStrings.h"
#include "ui/ZylUiEvents.h"
#include "ui/ZylUiImages.h"

#include <QCoreApplication>
#include <QSystemTrayIcon>

namespace {
// The mouse messages a click on the icon stands for.
constexpr intptr_t ZYL_TRAY_RIGHT_BUTTON_DOWN = 516;
} // namespace

std::function<bool()>& CZylTray::Availability() {
    static std::function<bool()> available = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return available;
}

CZylTray::CZylTray(CZylMainFrame& frame) : QObject(&frame), m_rFrame(frame) {
    setObjectName(QStringLiteral("tray"));
}

CZylTray::~CZylTray() = default;

bool CZylTray::Add() {
    if (!Availability()())
        return false;
    if (!m_pIcon) {
        m_pIcon = new QSystemTrayIcon(ZylFrameIcon(), this);
        m_pIcon->setObjectName(QStringLiteral("trayIcon"));
        m_pIcon->setToolTip(ZylString(4279));
        connect(m_pIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            const intptr_t mouse =
                reason == QSystemTrayIcon::Context ? ZYL_TRAY_RIGHT_BUTTON_DOWN : ZYL_TRAY_LEFT_BUTTON_DOWN;
            QCoreApplication::postEvent(&m_rFrame, new CZylWindowEvent(WM_ZYL_TRAY, ZYL_TRAY_ICON_ID, mouse));
        });
    }
    m_pIcon->show();
    return true;
}

void CZylTray::Remove() {
    if (m_pIcon)
        m_pIcon->hide();
}

bool CZylTray::IsShown() const {
    return m_pIcon && m_pIcon->isVisible();
}
