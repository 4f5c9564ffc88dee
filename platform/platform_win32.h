// Windows-only parts of the platform layer, declared for the Windows unit tests, which
// run both ways of finding the executable (Wine reports the NT family only).
#pragma once

#include <string>

namespace platform {
namespace win32 {

// The executable's path as the NT family finds it (the process-status library) and as the
// 95 family finds it (the Toolhelp process list; on NT systems that list holds the file
// name alone). Each is false when its library, entry points or process cannot be had.
bool executable_path_nt(std::string* path);
bool executable_path_95(std::string* path);

}  // namespace win32
}  // namespace platform
