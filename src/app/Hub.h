#pragma once

// What another start of the program knows this copy by, and its message to show itself.
#include "platform/HubMessages.h"

inline constexpr const char* InstanceLockName = "NORVEL-Q, RS-Server/Quellor";
inline constexpr const char* MainWindowClass = "TFrmMainRSServ";
