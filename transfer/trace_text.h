// The form in which the debug trace shows bytes that came from a server.
#pragma once

#include <cstddef>
#include <string>

// The bytes as they may go to a terminal: control bytes other than CR, LF and TAB (NUL,
// ESC, BEL, DEL and the rest below 0x20) become "\x" and two lowercase hex digits, so a
// server cannot retitle, clear or otherwise drive the user's terminal through the trace.
// Every other byte, Shift_JIS text included, is kept as it is.
std::string trace_text(const char* data, std::size_t length);
