// The Windows API as the platform files use it: the ANSI ("A") functions, since every
// text of the program is code page 932 bytes; no rarely used parts of windows.h; no
// min/max macros in the way of the standard library; Windows Sockets 2 (whose headers must
// come before windows.h). Further headers (wincrypt.h, winhttp.h) follow this one.
#pragma once

#undef UNICODE
#undef _UNICODE
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
