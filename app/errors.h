// The error table and the one way a failed run ends. Every failure, on any thread, calls
// error_exit with its code; the code is the process's exit status.
#pragma once

#include <cstdint>

enum ErrorCode : int {
  kOk = 0,
  kErrNoRecipient = 1,
  kErrBodyFile = 2,
  kErrAttachmentMissing = 3,
  kErrWorkFile = 4,
  kErrSocketInit = 5,
  kErrHostInterpret = 6,
  kErrSocketCreate = 7,
  kErrConnect = 8,
  kErrSend = 9,
  kErrReceive = 10,
  kErrServerReply = 11,
  kErrNoServer = 12,
  kErrHostName = 13,
  kErrMemory = 14,
  kErrEncode = 15,
  kErrUnknown = 16,
  kErrOption = 17,
  kErrTooLong = 18,
  kErrPop3Timeout = 19,
  kErrPop3Connect = 20,
  kErrPop3Account = 21,
  kErrPop3Password = 22,
  kErrSslReturn = 23,
  kErrSslHandling = 24,
  kErrEhloContinuation = 25,
  kErrPasswordCommand = 26,
  kErrOAuthSignIn = 27,     // a person must sign in again or fix the OAuth settings
  kErrOAuthToken = 28,      // no token now; a later run may get one
};

constexpr int kErrorCount = 29;

// The fixed Shift_JIS message of a code (0 to 28).
const char* error_message(int code);

// The numeric code of the server reply that ended the run; 0 when none did.
extern int32_t last_reply_code;

// Prints "ERR-%04d:%s \n" and the server's reply code (unless silent or the code is 0),
// removes the work files and ends the process with the code as its status.
[[noreturn]] void error_exit(int code);

// Ends the process with a status after flushing standard output; used by every ending,
// including the successful ones.
[[noreturn]] void end_process(int status);

// A harness that runs the program's functions many times in one process (the fuzz targets)
// installs an ending hook: end_process then calls it with the status instead of ending the
// process, after everything else an ending does. The hook must not return (it throws); one
// that does lets the process end as usual. No hook is installed in the program itself.
using EndingHook = void (*)(int status);
void set_ending_hook(EndingHook hook);
