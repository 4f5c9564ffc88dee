// The Windows API as the platform files use it: the ANSI ("A") functions, since every
// text of the program is code page 932 bytes; no rarely used parts of windows.h; no
// min/max macros in the way of the standard library. Files that need Windows Sockets or
// the security headers set their own definitions before windows.h instead.
#pragma once

#undef UNICODE
#undef _UNICODE
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
