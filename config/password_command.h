// Passwords and access tokens from a helper command (SMTP_PASS_COMMAND, POP3_PASS_COMMAND)
// instead of the stored form: a keyring lookup, a password manager, or an OAuth 2.0
// helper that prints a fresh access token.
#pragma once

#include <string>

// How long a helper may take: a device-code sign-in may wait for a person.
constexpr int kPasswordCommandTimeoutMs = 2 * 60 * 1000;
// The longest first line taken from a helper; a token is a few kilobytes at most.
constexpr std::size_t kPasswordCommandLineLimit = 1024 * 1024;

// Runs the command and gives the first line of its output, CR and LF removed. A command
// that cannot be started, ends with a status other than 0, is still running after
// kPasswordCommandTimeoutMs, prints nothing on its first line, an overlong one or one
// with a NUL byte ends the run with error 26. The output is never printed, in any mode.
std::string password_from_command(const std::string& command);
