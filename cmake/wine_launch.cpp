// wine_launch.exe: starts a Windows program under Wine with an exact command line and
// environment, for the black-box tests. Wine rebuilds a program's command line from the
// Unix arguments through the Unix character set (Shift_JIS bytes do not survive) and
// replaces TMP, TEMP and windir with the prefix's own values. A Windows parent passes both
// unchanged, so the tests start the program through this one:
//   wine_launch.exe REQUEST_FILE
// The request file holds the child's command line (program path first), a NUL, then
// NUL-separated entries for the environment: "NAME=value" sets a variable, "NAME" alone
// removes it. (A file, as command lines and variables are limited to 32767 characters.)
// Standard input, output and error are handed down; the exit code is the child's. The
// child runs in a job that ends with this process, so a test that gives up on a run
// (time-out) leaves nothing running.
//
//   wine_launch.exe --console TRIGGER_FILE REQUEST_FILE
// also gives the child a console, shared with the launcher, and once TRIGGER_FILE exists
// raises a Ctrl+C console control event on that console (GenerateConsoleCtrlEvent), as a
// Ctrl+C typed at a console reaches every program attached to it. A file, not a signal,
// starts it: under Wine a 32-bit launcher runs in a Unix process of its own that the test
// does not know. (Started from a process without a terminal, a Wine program has no
// console that events can reach; and Wine raises only Ctrl+C events, not Ctrl+Break.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Makes a standard handle inheritable so that the child writes to the same pipe.
HANDLE inheritable(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  return handle;
}

// The launcher's own console control handler in --console mode: the Ctrl+C it raises
// reaches it too, and it goes on, to report the child's exit code.
BOOL WINAPI take_event(DWORD) { return TRUE; }

// Gives this process a console of its own for the child to share, keeping the standard
// handles (pipes to the test) as they were.
bool make_console() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  FreeConsole();
  if (!AllocConsole()) return false;
  SetStdHandle(STD_INPUT_HANDLE, in);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  SetStdHandle(STD_ERROR_HANDLE, err);
  return SetConsoleCtrlHandler(take_event, TRUE) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  std::string request;
  const bool console = argc == 4 && std::strcmp(argv[1], "--console") == 0;
  std::string trigger;
  if (console) {
    trigger = argv[2];
    argc -= 2;
    argv += 2;
    if (!make_console()) {
      std::fprintf(stderr, "wine_launch: cannot make a console (error %lu)\n", GetLastError());
      return 125;
    }
  }
  if (argc == 2) {
    std::ifstream in(argv[1], std::ios::binary);
    request.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::size_t split = request.find('\0');
  if (split == std::string::npos || split == 0) {
    std::fprintf(stderr, "wine_launch: usage: wine_launch.exe [--console TRIGGER_FILE] REQUEST_FILE\n");
    return 125;
  }
  std::string command_line = request.substr(0, split);
  std::string environment = request.substr(split + 1);
  {
    std::size_t start = 0;
    while (start < environment.size()) {
      std::size_t end = environment.find('\0', start);
      if (end == std::string::npos) end = environment.size();
      std::string entry = environment.substr(start, end - start);
      std::size_t equals = entry.find('=', 1);
      if (equals == std::string::npos) {
        SetEnvironmentVariableA(entry.c_str(), nullptr);
      } else {
        SetEnvironmentVariableA(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1);
      }
      start = end + 1;
    }
  }

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(STD_INPUT_HANDLE);
  startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
  startup.hStdError = inheritable(STD_ERROR_HANDLE);

  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }

  std::vector<char> writable(command_line.begin(), command_line.end());
  writable.push_back('\0');
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "wine_launch: cannot start the program (error %lu)\n", GetLastError());
    return 126;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  if (console) {
    bool raised = false;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
      if (!raised && GetFileAttributesA(trigger.c_str()) != INVALID_FILE_ATTRIBUTES) {
        raised = true;
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
          std::fprintf(stderr, "wine_launch: cannot raise Ctrl+C (error %lu)\n", GetLastError());
        }
      }
    }
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 127;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}
