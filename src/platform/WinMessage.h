#pragma once
#include <QEvent>
#include <cstdint>

class QObject;

// The first user message number; the hub's messages count from it (platform/HubMessages.h).
constexpr int WM_USER_BASE = 1024;

// Set once when the user has confirmed closing; from then on every handler does nothing.
inline bool ProgramClosing = false;

// A numbered window message with its two parameters, delivered to the main window.
class TWinMessage : public QEvent {
public:
    TWinMessage(int msg, intptr_t wParam, intptr_t lParam);
    static QEvent::Type EventType();

    int Msg;
    intptr_t WParam;
    intptr_t LParam;
};

// Queues the message behind everything already posted; the sender does not wait.
void PostWinMessage(QObject* target, int msg, intptr_t wParam = 0, intptr_t lParam = 0);
// Runs the target's handler now, on the calling (GUI) thread, and returns when it is done.
void SendWinMessage(QObject* target, int msg, intptr_t wParam = 0, intptr_t lParam = 0);
