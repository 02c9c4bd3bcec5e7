#pragma once
// Every message posted to the hub (the main window), numbered in one place so that no two share
// a number. wParam carries what the message names; lParam is 0 unless said.
#include "platform/WinMessage.h"

// The settings dialog stored the settings.
constexpr int WM_SV_PARAMS_SAVED = WM_USER_BASE + 501;
// The serial side queued bytes from the device; the port's output ran empty.
constexpr int WM_SV_RS_RXCHAR = WM_USER_BASE + 502;
constexpr int WM_SV_RS_TXEMPTY = WM_USER_BASE + 503;
// The TCP side, with the client's id: it sent bytes, connected, closed.
constexpr int WM_SV_TCP_READ = WM_USER_BASE + 504;
constexpr int WM_SV_TCP_ACCEPT = WM_USER_BASE + 505;
constexpr int WM_SV_TCP_CLOSE = WM_USER_BASE + 506;
// A probe's result is shown; a detection pass has ended.
constexpr int WM_SV_DIST_STATE = WM_USER_BASE + 507;
constexpr int WM_SV_DIST_END = WM_USER_BASE + 508;
// Another start asked this copy to show itself.
constexpr int WM_SV_SHOW = WM_USER_BASE + 509;
// The client's socket took more of its answer.
constexpr int WM_SV_TCP_WRITTEN = WM_USER_BASE + 510;
// A port was opened, failed to open or was closed: the status shows it.
constexpr int WM_SV_RS_PORT = WM_USER_BASE + 511;
