#include "platform/WinMessage.h"

#include <QCoreApplication>

TWinMessage::TWinMessage(int msg, intptr_t wParam, intptr_t lParam)
    : QEvent(EventType()), Msg(msg), WParam(wParam), LParam(lParam) {}

QEvent::Type TWinMessage::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostWinMessage(QObject* target, int msg, intptr_t wParam, intptr_t lParam) {
    if (target)
        QCoreApplication::postEvent(target, new TWinMessage(msg, wParam, lParam));
}

void SendWinMessage(QObject* target, int msg, intptr_t wParam, intptr_t lParam) {
    if (!target)
        return;
    TWinMessage message(msg, wParam, lParam);
    QCoreApplication::sendEvent(target, &message);
}
