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

}  // namespace win32
}  // namespace platform
