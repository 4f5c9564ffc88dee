// Helper commands on Windows: CreateProcess with the text as its command line (so a
// program path, "cmd /c ..." or "powershell -NoProfile -Command ..." all work), standard
// input the NUL device, standard error this process's own, standard output an anonymous
// pipe. An anonymous pipe cannot be waited on with a time limit, so it is looked at with
// PeekNamedPipe between short sleeps while the process runs.
//
// The command runs in a job object that kills on close, and the whole job is ended once
// the command is done, at the time limit, and when this process ends early: the last
// handle to the job is this process's, so even an abrupt end of it takes the job along.
#include "platform/windows_api.h"

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/command_output.h"
#include "platform/platform.h"

namespace platform {

namespace {

// How long one look at a silent pipe waits before the next.
constexpr DWORD kPollSliceMs = 20;

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void reset() {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The job of the command now running, nullptr when none. Taken by an exchange, so that
// the end of the run and an early end of the process never both act on it.
std::atomic<HANDLE> g_running_job{nullptr};

// A job whose processes all end when its last handle closes; nullptr when none can be
// made. Its handle is not inheritable, so the command cannot keep it open.
HANDLE make_job() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Ends every process of the job and closes it, unless an early end has taken it: the
// process is then ending, and the handle is left to that.
void end_job(HANDLE job) {
  if (job == nullptr || g_running_job.exchange(nullptr) != job) return;
  TerminateJobObject(job, 1);
  CloseHandle(job);
}

int left_ms(uint32_t started, int limit_ms) {
  uint32_t spent = tick_count() - started;
  if (limit_ms <= 0 || spent >= static_cast<uint32_t>(limit_ms)) return 0;
  return limit_ms - static_cast<int>(spent);
}

// Reads what the pipe holds now, without waiting. False once the pipe is at its end (the
// command and everything it started have closed their side) or fails.
bool drain(HANDLE pipe, FirstLine* line, std::size_t limit, bool* read_any) {
  *read_any = false;
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return false;
    if (waiting == 0) return true;
    char buffer[4096];
    DWORD count = 0;
    DWORD want = waiting < sizeof buffer ? waiting : static_cast<DWORD>(sizeof buffer);
    if (!ReadFile(pipe, buffer, want, &count, nullptr) || count == 0) return false;
    *read_any = true;
    line->take(buffer, count, limit);
    if (line->too_long) return true;
  }
}

}  // namespace

void end_helper_command() {
  HANDLE job = g_running_job.exchange(nullptr);
  if (job != nullptr) TerminateJobObject(job, 1);
}

CommandStatus run_command(const std::string& command, int timeout_ms, std::size_t line_limit,
                          std::string* first_line) {
  first_line->clear();
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;

  Handle read_end;
  Handle write_end;
  if (!CreatePipe(read_end.out(), write_end.out(), &inherit, 0)) return CommandStatus::kNotStarted;
  // Only the child's end is inherited.
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  Handle null_input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!null_input.valid()) return CommandStatus::kNotStarted;

  // Standard error is shared as it is; a handle that is not inheritable (or none) is made
  // so through a duplicate.
  Handle error_copy;
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), error_copy.out(), 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input.get();
  startup.hStdOutput = write_end.get();
  startup.hStdError = error_copy.valid() ? error_copy.get() : nullptr;
  PROCESS_INFORMATION process{};
  // CreateProcess may write into the command line, so it gets a copy of its own.
  std::vector<char> line_text(command.begin(), command.end());
  line_text.push_back('\0');
  HANDLE job = make_job();
  const uint32_t started = tick_count();
  // Started suspended, so that nothing it starts can escape the job before it is in it.
  if (!CreateProcessA(nullptr, line_text.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &process)) {
    if (job != nullptr) CloseHandle(job);
    return CommandStatus::kNotStarted;
  }
  Handle process_handle(process.hProcess);
  Handle thread_handle(process.hThread);
  // Without a job (a system that does not nest them) the command alone can be ended.
  if (job != nullptr && !AssignProcessToJobObject(job, process_handle.get())) {
    CloseHandle(job);
    job = nullptr;
  }
  g_running_job.store(job);
  ResumeThread(thread_handle.get());
  // Only the child holds the write end now, so the pipe ends when the child is done.
  write_end.reset();
  null_input.reset();
  error_copy.reset();

  FirstLine line;
  bool ended = false;
  bool output_open = true;
  while (output_open) {
    if (left_ms(started, timeout_ms) == 0) break;
    bool read_any = false;
    output_open = drain(read_end.get(), &line, line_limit, &read_any);
    if (line.too_long) break;
    if (!output_open || read_any) continue;
    // Nothing to read: a command that has ended while something it started still holds
    // its output open is done all the same.
    if (!ended) ended = WaitForSingleObject(process_handle.get(), 0) == WAIT_OBJECT_0;
    if (ended) break;
    Sleep(kPollSliceMs);
  }
  if (ended && output_open && !line.too_long) {
    bool read_any = false;
    drain(read_end.get(), &line, line_limit, &read_any);  // what came just before the end
  }
  read_end.reset();

  if (!line.too_long && !ended) {
    int left = left_ms(started, timeout_ms);
    ended = WaitForSingleObject(process_handle.get(), static_cast<DWORD>(left)) == WAIT_OBJECT_0;
  }
  // Whatever the command left running goes with it.
  end_job(job);
  if (!ended) {
    TerminateProcess(process_handle.get(), 1);
    WaitForSingleObject(process_handle.get(), 5000);
    return line.too_long ? CommandStatus::kTooLong : CommandStatus::kTimedOut;
  }
  if (line.too_long) return CommandStatus::kTooLong;
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(process_handle.get(), &exit_code) || exit_code != 0) {
    return CommandStatus::kFailed;
  }
  *first_line = line.text;
  return CommandStatus::kDone;
}

}  // namespace platform
