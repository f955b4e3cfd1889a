// The plug-in's window messages as Qt events: the type is the message's number (all lie in Qt's
// user range) and the two parameters travel as they are. Sent messages are delivered with
// QCoreApplication::sendEvent, posted ones with postEvent from any thread.
#pragma once

#include <QEvent>

#include <cstdint>
#include <string>

class CZylWindowEvent : public QEvent {
public:
    CZylWindowEvent(uint32_t message, intptr_t first, intptr_t second)
        : QEvent(static_cast<QEvent::Type>(message)), m_nFirst(first), m_nSecond(second) {}
    ~CZylWindowEvent() override;

    uint32_t Message() const { return static_cast<uint32_t>(type()); }
    intptr_t First() const { return m_nFirst; }
    intptr_t Second() const { return m_nSecond; }
    // What the handler answers to a sent message.
    intptr_t m_nResult = 0;

    // A posted info line (or the address tree's path and text) is a heap text that the event
    // owns: it is freed with the event, also when the window went away before delivery.
    std::u16string Text(bool first) const;

    static bool IsZylEvent(const QEvent* event);

private:
    intptr_t m_nFirst;
    intptr_t m_nSecond;
};
