// Console output shared by the main thread and the POP3 login thread.
#include "app/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "codec/utf8.h"
#include "platform/text.h"

namespace {

std::mutex g_console_lock;
std::atomic<bool> g_closed{false};
std::thread::id g_closing_thread;

// Writes bytes of the program's own text: on a UTF-8 terminal converted from code page 932.
void put_text(const char* data, std::size_t length) {
  if (!platform::terminal_is_utf8()) {
    std::fwrite(data, 1, length, stdout);
    return;
  }
  std::string converted;
  platform::cp932_to_utf8(data, length, &converted);
  std::fwrite(converted.data(), 1, converted.size(), stdout);
}

// True when the calling thread may still print.
bool may_print() {
  return !g_closed.load() || std::this_thread::get_id() == g_closing_thread;
}

}  // namespace

void console_printf(const char* format, ...) {
  std::lock_guard<std::mutex> hold(g_console_lock);
  if (!may_print()) return;
  va_list arguments;
  va_start(arguments, format);
  if (!platform::terminal_is_utf8()) {
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    return;
  }
  // Formed whole first, so that no double-byte character is split between conversions.
  va_list again;
  va_copy(again, arguments);
  char small[1024];
  int needed = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    va_end(again);
    put_text(small, static_cast<std::size_t>(needed));
    return;
  }
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  put_text(text.data(), static_cast<std::size_t>(needed));
}

void console_write(const char* data, std::size_t length) {
  std::lock_guard<std::mutex> hold(g_console_lock);
  if (!may_print()) return;
  put_text(data, length);
}

void console_write_received(const std::string& prefix, const char* data, std::size_t length) {
  std::lock_guard<std::mutex> hold(g_console_lock);
  if (!may_print()) return;
  put_text(prefix.data(), prefix.size());
  if (!platform::terminal_is_utf8()) {
    std::fwrite(data, 1, length, stdout);
    return;
  }
  const std::string shown = utf8_for_terminal(data, length);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void console_flush() {
  std::lock_guard<std::mutex> hold(g_console_lock);
  std::fflush(stdout);
}

std::string terminal_text_to_cp932(const std::string& text, std::size_t* replaced) {
  *replaced = 0;
  if (!platform::terminal_is_utf8() || !is_utf8(text)) return text;
  std::string converted;
  *replaced = platform::utf8_to_cp932(text.data(), text.size(), &converted);
  return converted;
}

void console_report_replaced(std::size_t count, const char* what) {
  if (count == 0) return;
  // "... replaced by (geta mark) ..."
  console_printf("Conv: %lu character(s) in %s without a Shift_JIS form, sent as \x81\xac\n",
                 static_cast<unsigned long>(count), what);
}

void console_close_others() {
  std::lock_guard<std::mutex> hold(g_console_lock);
  g_closing_thread = std::this_thread::get_id();
  g_closed.store(true);
}
