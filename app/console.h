// Console output. All text goes to standard output as bytes, unchanged (Shift_JIS);
// nothing goes to standard error. Output is serialised between threads, and once the
// process has begun to end, other threads print nothing more.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define VORNA_PRINTF_FORMAT(a, b) __attribute__((format(printf, a, b)))
#else
#define VORNA_PRINTF_FORMAT(a, b)
#endif

void console_printf(const char* format, ...) VORNA_PRINTF_FORMAT(1, 2);
void console_write(const char* data, std::size_t length);
void console_flush();

// Called by the thread that ends the process: from then on only that thread prints.
void console_close_others();
