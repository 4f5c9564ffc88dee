// Windows-only parts of the platform layer, shared between its files and declared for the
// Windows unit tests, which run both ways of finding the executable (Wine reports the NT
// family only).
#pragma once

#include <cstdio>
#include <string>

namespace platform {
namespace win32 {

// The executable's path as the NT family finds it (the process-status library) and as the
// 95 family finds it (the Toolhelp process list; on NT systems that list holds the file
// name alone). Each is false when its library, entry points or process cannot be had.
bool executable_path_nt(std::string* path);
bool executable_path_95(std::string* path);

// create_exclusive, and with deletable the file can be deleted while it is being written
// (its deletion then takes effect when it is closed or the process ends).
std::FILE* create_exclusive_file(const std::string& path, bool deletable);

// Text in the ANSI code page (code page 932 on a Japanese system) made wide, as the ANSI
// functions convert their arguments; empty for an empty text or one that does not convert.
std::wstring widen(const std::string& text);

// The full form of a path for the wide file functions, which take it at any length (the
// ANSI ones stop at MAX_PATH, 260 characters): the text in the ANSI code page made wide,
// made full against the current directory ("." and ".." resolved, "/" made "\\"), then
// given the "\\?\" prefix that turns the length limit and all further parsing off
// ("\\?\UNC\server\share\..." for a network path). A path already in the "\\?\" form,
// and a device path ("\\.\..."), stays as it is. Empty when it has no full form.
std::wstring long_path(const std::string& path);

// CreateFileW on long_path(path) with these CreateFile arguments (security is a
// SECURITY_ATTRIBUTES pointer or null); where the system has no wide file functions, or the
// path no full form, CreateFileA on the path as given. The handle, or INVALID_HANDLE_VALUE.
void* create_file(const std::string& path, unsigned long access, unsigned long share,
                  void* security, unsigned long disposition, unsigned long flags);

// The name the system's profile functions take for path: its full form while that is
// shorter than MAX_PATH, as always; a longer one in its short (8.3) form where the file
// system has short names and that form is short enough, since those functions take no
// longer name at all. Otherwise the long full form, with which they fail.
std::string profile_file_name(const std::string& path);

}  // namespace win32
}  // namespace platform
