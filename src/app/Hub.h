#pragma once

// The numbered messages the main window receives (the first user message number, 1024, + 501..509).
constexpr int WM_USER_BASE = 1024;
constexpr int WM_SV_PARAMS_SAVED = WM_USER_BASE + 501;
constexpr int WM_SV_RS_RXCHAR = WM_USER_BASE + 502;
constexpr int WM_SV_RS_TXEMPTY = WM_USER_BASE + 503;
constexpr int WM_SV_TCP_READ = WM_USER_BASE + 504;
constexpr int WM_SV_TCP_ACCEPT = WM_USER_BASE + 505;
constexpr int WM_SV_TCP_CLOSE = WM_USER_BASE + 506;
constexpr int WM_SV_DIST_STATE = WM_USER_BASE + 507;
constexpr int WM_SV_DIST_END = WM_USER_BASE + 508;
constexpr int WM_SV_SHOW = WM_USER_BASE + 509;
// The client being answered took more of the answer streamed to it.
constexpr int WM_SV_TCP_WRITTEN = WM_USER_BASE + 510;

// Set once when the user has confirmed closing; from then on every handler does nothing.
inline bool ProgramClosing = false;

inline constexpr const char* InstanceLockName = "NORVEL-Q, RS-Server/Quellor";
inline constexpr const char* MainWindowClass = "TFrmMainRSServ";
