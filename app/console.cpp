// Console output shared by the main thread and the POP3 login thread.
#include "app/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

std::mutex g_console_lock;
std::atomic<bool> g_closed{false};
std::thread::id g_closing_thread;

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
  std::vfprintf(stdout, format, arguments);
  va_end(arguments);
}

void console_write(const char* data, std::size_t length) {
  std::lock_guard<std::mutex> hold(g_console_lock);
  if (!may_print()) return;
  std::fwrite(data, 1, length, stdout);
}

void console_flush() {
  std::lock_guard<std::mutex> hold(g_console_lock);
  std::fflush(stdout);
}

void console_close_others() {
  std::lock_guard<std::mutex> hold(g_console_lock);
  g_closing_thread = std::this_thread::get_id();
  g_closed.store(true);
}
