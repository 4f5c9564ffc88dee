// Runs a password command through the platform and turns every way it can fail into
// error 26.
#include "config/password_command.h"

#include "app/console.h"
#include "app/errors.h"
#include "platform/platform.h"

std::string password_from_command(const std::string& command) {
  // What this program has printed so far (the information block) comes before anything
  // the helper prints on the shared standard error, such as a sign-in prompt.
  console_flush();
  std::string line;
  platform::CommandStatus status = platform::run_command(command, kPasswordCommandTimeoutMs,
                                                         kPasswordCommandLineLimit, &line);
  // An empty first line is no password: sending one would only earn a refusal. A NUL
  // would cut the password short or, in AUTH PLAIN, add a field.
  if (status != platform::CommandStatus::kDone || line.empty() ||
      line.find('\0') != std::string::npos) {
    error_exit(kErrPasswordCommand);
  }
  return line;
}
