// platform::before_exit for Windows builds: nothing to check there.
#include "platform/platform.h"

namespace platform {

void before_exit() {}

}  // namespace platform
