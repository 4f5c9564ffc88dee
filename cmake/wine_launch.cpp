// wine_launch.exe: starts a Windows program under Wine with an exact command line and
// environment, for the black-box tests. Wine rebuilds a program's command line from the
// Unix arguments through the Unix character set (Shift_JIS bytes do not survive) and
// replaces TMP, TEMP and windir with the prefix's own values. A Windows parent passes both
// unchanged, so the tests start the program through this one:
//   VORNA_WINE_CMDLINE  hex digits of the child's command line, program path first
//   VORNA_WINE_ENV      hex digits of NUL-separated entries: "NAME=value" sets a variable,
//                       "NAME" alone removes it
// Standard input, output and error are handed down; the exit code is the child's. The
// child runs in a job that ends with this process, so a test that gives up on a run
// (time-out) leaves nothing running.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool from_hex(const char* hex, std::string* bytes) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (; hex[0] != '\0'; hex += 2) {
    int high = digit(hex[0]);
    int low = hex[1] != '\0' ? digit(hex[1]) : -1;
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

bool read_control(const char* name, std::string* bytes) {
  DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size == 0) return false;
  std::vector<char> hex(size + 1);
  GetEnvironmentVariableA(name, hex.data(), size + 1);
  SetEnvironmentVariableA(name, nullptr);
  return from_hex(hex.data(), bytes);
}

// Makes a standard handle inheritable so that the child writes to the same pipe.
HANDLE inheritable(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  return handle;
}

}  // namespace

int main() {
  std::string command_line;
  if (!read_control("VORNA_WINE_CMDLINE", &command_line) || command_line.empty()) {
    std::fprintf(stderr, "wine_launch: VORNA_WINE_CMDLINE missing or not hex\n");
    return 125;
  }
  std::string environment;
  if (read_control("VORNA_WINE_ENV", &environment)) {
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
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 127;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}
