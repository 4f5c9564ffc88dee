// platform::before_exit for POSIX builds: the leak check of sanitizer builds.
#include "platform/platform.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define VORNA_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_LEAK__)
#define VORNA_LEAK_CHECK 1
#endif

#ifdef VORNA_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace platform {

void before_exit() {
#ifdef VORNA_LEAK_CHECK
  // Reports every leak found and ends the process with the sanitizer's exit code, so a
  // leaking run can never pass for one that ended with its own status.
  __lsan_do_leak_check();
#endif
}

}  // namespace platform
