// The user's browser: the shell's default handler for a web address.
#include "platform/windows_api.h"

#include <shellapi.h>

#include "platform/platform.h"
#include "platform/platform_win32.h"

namespace platform {

namespace {

bool starts_with_nocase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool open_browser(const std::string& url) {
  // Only a web address: the shell would as readily start a program or open a file named
  // by the text, which comes from the settings.
  if (!starts_with_nocase(url, "https://") && !starts_with_nocase(url, "http://")) return false;
  if (url.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) return false;
  const std::wstring wide = win32::widen(url);
  if (wide.empty()) return false;

  SHELLEXECUTEINFOW request;
  ZeroMemory(&request, sizeof request);
  request.cbSize = sizeof request;
  // No message box from the shell when nothing handles the address (the console says what
  // to do then), and the hand-over finished before the call returns.
  request.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  request.lpVerb = L"open";
  request.lpFile = wide.c_str();
  request.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&request) != FALSE;
}

}  // namespace platform
