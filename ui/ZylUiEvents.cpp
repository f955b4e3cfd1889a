#include "ui/ZylUiEvents.h"

#include "core/ZylPlatform.h"
#include "ui/ZylUi.h"

namespace {
// The messages whose parameters are texts the event owns: the info line (second) and the
// address tree's pick (both).
bool OwnsFirst(uint32_t message) {
    return message == WM_ZYL_ADDRESS_SELCHANGED;
}
bool OwnsSecond(uint32_t message) {
    return message == WM_ZYL_INFO_LINE || message == WM_ZYL_ADDRESS_SELCHANGED;
}
} // namespace

CZylWindowEvent::~CZylWindowEvent() {
    if (OwnsFirst(Message()))
        delete reinterpret_cast<std::u16string*>(m_nFirst);
    if (OwnsSecond(Message()))
        delete reinterpret_cast<std::u16string*>(m_nSecond);
}

std::u16string CZylWindowEvent::Text(bool first) const {
    const intptr_t value = first ? m_nFirst : m_nSecond;
    const auto* text = reinterpret_cast<const std::u16string*>(value);
    return text ? *text : std::u16string();
}

bool CZylWindowEvent::IsZylEvent(const QEvent* event) {
    switch (static_cast<uint32_t>(event->type())) {
    case WM_ZYL_FRIEND_ROOT:
    case WM_ZYL_FRIEND_FOLDER:
    case WM_ZYL_USER_CHANGED:
    case WM_ZYL_TRAY:
    case WM_ZYL_INFO_LINE:
    case WM_ZYL_OPEN:
    case WM_ZYL_BUILD_ADDRESS:
    case WM_ZYL_ADDRESS_SELCHANGED:
    case WM_ZYL_ADDRESS_RESIZE:
        return true;
    default:
        return false;
    }
}
