// Interruptions on Windows: a console control handler for Ctrl+C, Ctrl+Break and the
// closing of the console window removes the work files, then ends the process with the
// status that Ctrl+C gives (STATUS_CONTROL_C_EXIT).
//
// The handler runs on a thread of its own while the main thread goes on, so it walks a
// list that needs no lock: records only ever added at its head and never freed, each with
// its path and a flag that says whether it still counts.
#include "platform/windows_api.h"

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_win32.h"

namespace platform {

namespace {

// The exit status of a console process ended by Ctrl+C.
constexpr UINT kControlCExit = 0xC000013Au;

struct RemovalRecord {
  RemovalRecord* next;
  std::atomic<bool> active;
  char* path;
  wchar_t* wide_path;  // its win32::long_path form, made in advance; null where there is none
};

std::atomic<RemovalRecord*> g_removals{nullptr};

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  for (RemovalRecord* record = g_removals.load(); record != nullptr; record = record->next) {
    // A file still open in the main thread was opened with deletion shared: it goes when
    // the process's handles close below.
    if (!record->active.load()) continue;
    if (record->wide_path == nullptr || !DeleteFileW(record->wide_path)) DeleteFileA(record->path);
  }
  // The helper command's job would end with this process's handle to it; ended first,
  // so that nothing of it runs on after the work files are gone.
  end_helper_command();
  // Ended at once rather than through ExitProcess: the main thread may hold the C
  // runtime's locks, which the runtime's own ending would wait on.
  TerminateProcess(GetCurrentProcess(), kControlCExit);
  return TRUE;
}

}  // namespace

void install_interrupt_handling() {
  // Windows has no broken-pipe signal; a write to a closed pipe fails as an error.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::FILE* create_work_file(const std::string& path) {
  std::FILE* file = win32::create_exclusive_file(path, true);
  if (file != nullptr) {
    RemovalRecord* record = new RemovalRecord;
    record->path = new char[path.size() + 1];
    std::memcpy(record->path, path.c_str(), path.size() + 1);
    std::wstring wide = win32::long_path(path);
    record->wide_path = nullptr;
    if (!wide.empty()) {
      record->wide_path = new wchar_t[wide.size() + 1];
      std::memcpy(record->wide_path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    }
    record->active.store(true);
    record->next = g_removals.load();
    g_removals.store(record);
  }
  return file;
}

void forget_work_files() {
  for (RemovalRecord* record = g_removals.load(); record != nullptr; record = record->next) {
    record->active.store(false);
  }
}

}  // namespace platform
