// Windows file names of any length, and the small files that are read whole and replaced
// whole (the token file). Every file the program opens by name goes through long_path, so
// that a path longer than MAX_PATH (260 characters) works as it does on POSIX: the ANSI
// file functions stop at that length, the wide ones given the "\\?\" form do not.
#include "platform/windows_api.h"

#include <io.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_win32.h"

namespace platform {

namespace {

// The longest path the wide functions take (in characters, the terminator included).
constexpr DWORD kLongestPath = 32768;

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}


// Wide text back in the ANSI code page; false when a character has no form there.
bool narrow(const std::wstring& wide, std::string* text) {
  if (wide.empty()) return false;
  BOOL lossy = FALSE;
  int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, &lossy);
  if (length <= 0 || lossy) return false;
  text->assign(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &(*text)[0], length,
                      nullptr, nullptr);
  return true;
}

// The "\\?\" form without its prefix, as the functions that take no such form want it.
std::wstring without_prefix(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (starts_with(path, L"\\\\?\\")) return path.substr(4);
  return path;
}

// A unique name beside path for the file that replaces it.
std::string temporary_beside(const std::string& path, unsigned attempt) {
  char tail[48];
  std::snprintf(tail, sizeof tail, ".~%lX%lX-%u.tmp", static_cast<unsigned long>(process_id()),
                static_cast<unsigned long>(tick_count()), attempt);
  return path + tail;
}

bool write_and_flush(std::FILE* file, const std::string& content) {
  bool ok = content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = std::fflush(file) == 0 && ok;
  // Written through to the disk before it is renamed over the old file: after a crash the
  // name holds the old content or the new, not an empty file.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  ok = ok && handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
  return (std::fclose(file) == 0) && ok;
}

// MoveFileExW over an existing file fails while any handle is open on it (a reader of the
// same file in another run), even one that shares deletion: such a reader is done in a
// moment, so the rename is tried again for about two seconds.
bool move_over(const std::wstring& from, const std::wstring& to) {
  constexpr int kAttempts = 80;
  constexpr DWORD kPauseMs = 25;
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    DWORD error = GetLastError();
    bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                error == ERROR_LOCK_VIOLATION;
    if (!busy || attempt + 1 >= kAttempts) return false;
    Sleep(kPauseMs);
  }
}

}  // namespace

namespace win32 {

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::wstring long_path(const std::string& path) {
  if (path.size() > kLongestPath) return std::wstring();
  std::wstring wide = widen(path);
  if (wide.empty()) return std::wstring();
  if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\")) return wide;
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  std::wstring full;
  for (;;) {
    DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(),
                                    nullptr);
    if (length == 0) return std::wstring();
    if (length < buffer.size()) {
      full.assign(buffer.data(), length);
      break;
    }
    if (length > kLongestPath) return std::wstring();
    buffer.resize(length + 1);
  }
  // A device name ("NUL", "COM1") comes back as a device path; it stays one.
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

void* create_file(const std::string& path, unsigned long access, unsigned long share,
                  void* security, unsigned long disposition, unsigned long flags) {
  auto* attributes = static_cast<SECURITY_ATTRIBUTES*>(security);
  std::wstring wide = long_path(path);
  if (!wide.empty()) {
    HANDLE handle = CreateFileW(wide.c_str(), access, share, attributes, disposition, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
      return handle;
    }
  }
  return CreateFileA(path.c_str(), access, share, attributes, disposition, flags, nullptr);
}

std::string profile_file_name(const std::string& path) {
  // Today's name wherever it fits.
  std::vector<char> buffer(MAX_PATH + 1);
  DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(),
                                  nullptr);
  if (length > 0 && length < MAX_PATH) return std::string(buffer.data(), length);

  std::wstring wide = long_path(path);
  if (wide.empty()) return path;
  std::vector<wchar_t> short_name(MAX_PATH + 8);
  DWORD short_length = GetShortPathNameW(wide.c_str(), short_name.data(),
                                         static_cast<DWORD>(short_name.size()));
  if (short_length > 0 && short_length < short_name.size()) {
    std::wstring usable = without_prefix(std::wstring(short_name.data(), short_length));
    std::string text;
    if (usable.size() < MAX_PATH && narrow(usable, &text)) return text;
  }
  std::string text;
  return narrow(without_prefix(wide), &text) ? text : path;
}

}  // namespace win32

bool read_small_file(const std::string& path, std::size_t max_bytes, std::string* content) {
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) return false;
  int64_t size = file_size(file);
  bool ok = size >= 0 && static_cast<uint64_t>(size) <= max_bytes;
  std::string data;
  if (ok) data.reserve(static_cast<std::size_t>(size));
  // Read to the end, not to the size told: a file that grew past the limit meanwhile is
  // refused all the same.
  char block[16384];
  while (ok) {
    std::size_t got = std::fread(block, 1, sizeof block, file);
    data.append(block, got);
    if (data.size() > max_bytes) ok = false;
    if (got < sizeof block) break;
  }
  ok = ok && std::ferror(file) == 0;
  std::fclose(file);
  if (ok) content->swap(data);
  return ok;
}

bool replace_file(const std::string& path, const std::string& content) {
  std::wstring target = win32::long_path(path);
  if (target.empty()) return false;
  for (unsigned attempt = 0; attempt < 8; ++attempt) {
    std::string temp = temporary_beside(path, attempt);
    // New and owner-only; a name someone else took (or planted) is passed over.
    std::FILE* file = win32::create_exclusive_file(temp, false);
    if (file == nullptr) continue;
    bool ok = write_and_flush(file, content) && move_over(win32::long_path(temp), target);
    if (!ok) remove_file(temp);
    return ok;
  }
  return false;
}

bool remove_file(const std::string& path) {
  std::wstring wide = win32::long_path(path);
  BOOL deleted = wide.empty() ? DeleteFileA(path.c_str()) : DeleteFileW(wide.c_str());
  if (deleted) return true;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace platform
