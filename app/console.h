// Console output. All text goes to standard output; nothing goes to standard error. The
// program's own text is code page 932 (Shift_JIS) and goes out unchanged, except on a
// terminal that expects UTF-8 (POSIX, a UTF-8 locale), where it is converted to UTF-8
// here, the one place where console text is written. Output is serialised between threads, and once the
// process has begun to end, other threads print nothing more.
#pragma once

#include <cstddef>
#include <string>

#if defined(__GNUC__)
#define VORNA_PRINTF_FORMAT(a, b) __attribute__((format(printf, a, b)))
#else
#define VORNA_PRINTF_FORMAT(a, b)
#endif

void console_printf(const char* format, ...) VORNA_PRINTF_FORMAT(1, 2);
void console_write(const char* data, std::size_t length);
// A line of the program's own text (prefix) followed by bytes a server sent, shown as they
// came (the caller has already escaped the control bytes): on a UTF-8 terminal the bytes
// that are no well-formed UTF-8 are replaced (by U+FFFD) and the UTF-8 control characters
// U+0080 to U+009F escaped, so that they cannot confuse or drive it.
void console_write_received(const std::string& prefix, const char* data, std::size_t length);
void console_flush();

// Text typed at the terminal (an argument, a menu answer) in code page 932. On a UTF-8
// terminal well-formed UTF-8 is converted, each character that code page 932 cannot hold
// becoming the geta mark (counted in *replaced); anything else, and every text on other
// terminals, is taken as it is (it may be Shift_JIS already).
std::string terminal_text_to_cp932(const std::string& text, std::size_t* replaced);

// The debug-trace line telling how many characters of a text became geta marks; nothing
// when there were none.
void console_report_replaced(std::size_t count, const char* what);

// Called by the thread that ends the process: from then on only that thread prints.
void console_close_others();
