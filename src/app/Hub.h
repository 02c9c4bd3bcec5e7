#pragma once

// The main window's own message: another start asked this copy to show itself.
#include "platform/WinMessage.h"

constexpr int WM_SV_SHOW = WM_USER_BASE + 509;

inline constexpr const char* InstanceLockName = "NORVEL-Q, RS-Server/Quellor";
inline constexpr const char* MainWindowClass = "TFrmMainRSServ";
