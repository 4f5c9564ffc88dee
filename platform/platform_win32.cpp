// Windows implementation of the platform interface: Windows Sockets 2.2, the Win32 thread,
// console, registry and profile functions, and the C runtime's time zone. It builds with
// MinGW-w64 for 32-bit and 64-bit Windows, and is written to build with MSVC as well.

// Every call here is the ANSI one (texts are Shift_JIS bytes), and the process record
// must be the ANSI one whose entry points are looked up by name.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS  // inet_addr is meant: its reading of dotted texts
#endif
#include "platform/windows_api.h"
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <time.h>

#include "platform/platform.h"
#include "platform/platform_win32.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- process and time

uint32_t tick_count() { return static_cast<uint32_t>(GetTickCount()); }

uint32_t process_id() { return static_cast<uint32_t>(GetCurrentProcessId()); }

void sleep_ms(uint32_t ms) { Sleep(static_cast<DWORD>(ms)); }

namespace {

// Reads an environment variable through the system, which compares names without regard
// to case. An empty value is told apart from a missing one by the last error.
bool read_environment(const char* name, std::string* value) {
  std::vector<char> buffer(256);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value->clear();
      return true;
    }
    if (length < buffer.size()) {
      value->assign(buffer.data(), length);
      return true;
    }
    // Too small: length is the size needed, terminator included.
    if (length > (1u << 20)) return false;
    buffer.resize(length + 1);
  }
}

}  // namespace

bool get_env(const char* name, std::string* value) { return read_environment(name, value); }

bool get_env_nocase(const char* name, std::string* value) { return read_environment(name, value); }

// Windows names its temporary directory only through "TMP" and "TEMP".
bool system_temp_dir(std::string*) { return false; }

bool current_dir(std::string* dir) {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return false;
    if (length < buffer.size()) {
      dir->assign(buffer.data(), length);
      return true;
    }
    if (length > (1u << 20)) return false;
    buffer.resize(length + 1);
  }
}

namespace {

// Room for the executable's file name; a longer name is cut by the module functions.
constexpr DWORD kModuleNameRoom = 32768;

using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using GetModuleFileNameExAFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Process32Fn = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32);

// GetProcAddress gives a generic function pointer; this turns it into the named type.
template <typename Function>
Function entry_point(HMODULE library, const char* name) {
  FARPROC found = GetProcAddress(library, name);
  Function typed = nullptr;
  static_assert(sizeof typed == sizeof found, "function pointer sizes differ");
  std::memcpy(&typed, &found, sizeof typed);
  return typed;
}

}  // namespace

namespace win32 {

// Windows NT family: the first module of the own process, through the process-status
// library (present from NT 4.0 on, loaded at run time so that the program starts where it
// is missing).
bool executable_path_nt(std::string* path) {
  HMODULE library = LoadLibraryA("PSAPI.DLL");
  if (library == nullptr) return false;
  auto enum_modules = entry_point<EnumProcessModulesFn>(library, "EnumProcessModules");
  auto module_name = entry_point<GetModuleFileNameExAFn>(library, "GetModuleFileNameExA");
  bool found = false;
  if (enum_modules != nullptr && module_name != nullptr) {
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
    if (process != nullptr) {
      HMODULE first = nullptr;
      DWORD needed = 0;
      if (enum_modules(process, &first, sizeof first, &needed)) {
        std::vector<char> buffer(kModuleNameRoom);
        DWORD length = module_name(process, first, buffer.data(), kModuleNameRoom);
        if (length > 0) {
          path->assign(buffer.data(), std::strlen(buffer.data()));
          found = true;
        }
      }
      CloseHandle(process);
    }
  }
  FreeLibrary(library);
  return found;
}

// Windows 95 family: the own entry in the Toolhelp list of processes (Kernel32 exports
// these there; NT 4.0 does not, hence the run-time lookup).
bool executable_path_95(std::string* path) {
  HMODULE library = LoadLibraryA("Kernel32.DLL");
  if (library == nullptr) return false;
  auto snapshot_of = entry_point<CreateToolhelp32SnapshotFn>(library, "CreateToolhelp32Snapshot");
  auto first_process = entry_point<Process32Fn>(library, "Process32First");
  auto next_process = entry_point<Process32Fn>(library, "Process32Next");
  bool found = false;
  if (snapshot_of != nullptr && first_process != nullptr && next_process != nullptr) {
    HANDLE snapshot = snapshot_of(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      DWORD own_id = GetCurrentProcessId();
      PROCESSENTRY32 entry;
      std::memset(&entry, 0, sizeof entry);
      // The record size is set before every call (296 bytes in a 32-bit program).
      entry.dwSize = sizeof entry;
      for (BOOL more = first_process(snapshot, &entry); more; more = next_process(snapshot, &entry)) {
        if (entry.th32ProcessID == own_id) {
          entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
          path->assign(entry.szExeFile);
          found = true;
          break;
        }
        entry.dwSize = sizeof entry;
      }
      CloseHandle(snapshot);
    }
  }
  FreeLibrary(library);
  return found;
}

}  // namespace win32

#if !defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32) == 296, "the 95 family expects a 296-byte process record");
#endif

bool executable_path(std::string* path) {
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)  // only the platform family is asked, which stays right
#endif
  if (!GetVersionExA(&version)) return false;
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) return win32::executable_path_nt(path);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return win32::executable_path_95(path);
  return false;
}

char path_separator() { return '\\'; }

std::string machine_id() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", &key) !=
      ERROR_SUCCESS) {
    return std::string();
  }
  // Room for 249 bytes, plus a terminator the registry may not have stored.
  char value[250];
  std::memset(value, 0, sizeof value);
  DWORD size = 249;
  LONG status = RegQueryValueExA(key, "ProductId", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  // A value too big for the room leaves the buffer undefined: no identifier then.
  if (status != ERROR_SUCCESS) return std::string();
  return std::string(value, std::strlen(value));
}

std::tm local_time(std::time_t t) {
  _tzset();
  std::tm result{};
  const std::tm* converted = std::localtime(&t);  // per-thread storage in the C runtime
  if (converted != nullptr) result = *converted;
  return result;
}

long timezone_seconds_west() {
  _tzset();
#if defined(_MSC_VER)
  long seconds = 0;
  _get_timezone(&seconds);
  return seconds;
#else
  return static_cast<long>(_timezone);
#endif
}

// ---------------------------------------------------------------- files

namespace {

// Security attributes that give the running user alone access to a new file, so that
// attachments and stored passwords are not readable by others even in a shared
// directory (new files otherwise inherit the directory's access list). Where the system
// has no access lists (the 95 family) or the user cannot be told, the attributes are
// left out and the system's defaults apply.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    bool have_user = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!have_user) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    ACL* acl = reinterpret_cast<ACL*>(acl_.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
      return;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ready_ = true;
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  SECURITY_ATTRIBUTES* get() { return ready_ ? &attributes_ : nullptr; }
  SECURITY_DESCRIPTOR* descriptor() { return ready_ ? &descriptor_ : nullptr; }

 private:
  std::vector<unsigned char> user_;
  std::vector<unsigned char> acl_;  // ACL records need DWORD alignment: vector storage has it
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ready_ = false;
};

// Creates a new file (nothing may bear the name yet) for writing, owner-only.
HANDLE create_new_file(const std::string& path, DWORD share) {
  OwnerOnly security;
  // With FILE_FLAG_OPEN_REPARSE_POINT a planted link counts as an existing name instead
  // of being followed.
  return win32::create_file(path, GENERIC_WRITE, share, security.get(), CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

}  // namespace

namespace win32 {

std::FILE* create_exclusive_file(const std::string& path, bool deletable) {
  // No sharing while the work file is being written, but for deletion when asked: the
  // handler of an interruption removes a work file that is still being written.
  HANDLE handle = create_new_file(path, deletable ? FILE_SHARE_DELETE : 0);
  if (handle == INVALID_HANDLE_VALUE && deletable && GetLastError() == ERROR_INVALID_PARAMETER) {
    handle = create_new_file(path, 0);  // the 95 family knows no deletion sharing
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);  // closes the handle too
  return file;
}

}  // namespace win32

std::FILE* create_exclusive(const std::string& path) {
  return win32::create_exclusive_file(path, false);
}

std::FILE* open_for_reading(const std::string& path) {
  // Sharing deletion lets the run's clean-up remove the file while it is open; it goes
  // when the last handle closes. The 95 family knows no such sharing and is asked without.
  const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handle = win32::create_file(path, GENERIC_READ, shared | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    handle = win32::create_file(path, GENERIC_READ, shared, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL);
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Only a file on disk: a console, a pipe or a device opened by its name is no file to
  // read here (a directory does not open without backup semantics at all).
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
  return file;
}

int64_t file_size(std::FILE* file) {
  int fd = _fileno(file);
  if (fd < 0) return -1;
  return static_cast<int64_t>(_filelengthi64(fd));
}

// ---------------------------------------------------------------- console

bool stdout_is_terminal() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  return GetConsoleScreenBufferInfo(output, &info) != 0;
}

void console_set_attribute(int attribute) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  // Text already printed keeps the colour it was printed in. On redirected output the
  // call fails harmlessly.
  std::fflush(stdout);
  SetConsoleTextAttribute(output, static_cast<WORD>(attribute));
}

// ---------------------------------------------------------------- settings file

// The profile functions look a bare file name up in the Windows directory; a full path
// makes them use the file meant (win32::profile_file_name).

std::string profile_get_string(const char* section, const char* key, const char* fallback,
                               std::size_t size, const std::string& path) {
  if (size == 0) return std::string();
  if (size > UINT_MAX) size = UINT_MAX;
  std::vector<char> buffer(size, '\0');
  GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", buffer.data(),
                           static_cast<DWORD>(size), win32::profile_file_name(path).c_str());
  buffer[size - 1] = '\0';
  return std::string(buffer.data());
}

int profile_get_int(const char* section, const char* key, int fallback, const std::string& path) {
  UINT value =
      GetPrivateProfileIntA(section, key, fallback, win32::profile_file_name(path).c_str());
  return static_cast<int>(value);
}

namespace {

// The settings file holds the enciphered passwords: one that does not exist yet is created
// empty and owner-only, and an existing one gets the same access list as such a new file,
// whatever it had, before the profile function writes into it. Where the system or the
// file system has no access lists, the file stays as it is.
void make_owner_only_profile(const std::string& path) {
  HANDLE created = create_new_file(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (created != INVALID_HANDLE_VALUE) {
    CloseHandle(created);
    return;
  }
  OwnerOnly security;
  if (security.descriptor() != nullptr) {
    std::wstring wide = win32::long_path(path);
    if (wide.empty() ||
        (!SetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, security.descriptor()) &&
         GetLastError() == ERROR_CALL_NOT_IMPLEMENTED)) {
      SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, security.descriptor());
    }
  }
}

}  // namespace

bool profile_write_strings(const std::vector<ProfileEntry>& entries, const std::string& path) {
  // Made first: a path too long for the profile functions is given them by its short
  // name, which only a file that exists has.
  make_owner_only_profile(path);
  std::string name = win32::profile_file_name(path);
  bool all_written = !entries.empty();
  for (const ProfileEntry& entry : entries) {
    if (WritePrivateProfileStringA(entry.section, entry.key, entry.value.c_str(), name.c_str()) ==
        0) {
      all_written = false;
    }
  }
  return all_written;
}

bool profile_write_string(const char* section, const char* key, const char* value,
                          const std::string& path) {
  if (value == nullptr) return false;
  return profile_write_strings({ProfileEntry{section, key, value}}, path);
}

// The system's profile functions keep their own copy of a file in use; nothing to hold.
void profile_hold(const std::string&) {}
void profile_release() {}

// ---------------------------------------------------------------- sockets

namespace {

SOCKET as_socket(Socket socket) { return static_cast<SOCKET>(socket); }

// Waits until the socket can be read from or written to; false on time-out or error. A
// negative time-out waits without limit. A failed non-blocking connect is reported
// through the exception set, which is watched along with the write set.
bool wait_ready(SOCKET socket, bool for_write, int timeout_ms) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit{};
  timeval* limit_pointer = nullptr;
  if (timeout_ms >= 0) {
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = (timeout_ms % 1000) * 1000;
    limit_pointer = &limit;
  }
  int count = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr,
                     for_write ? &failed : nullptr, limit_pointer);
  if (count == SOCKET_ERROR || count == 0) return false;
  return FD_ISSET(socket, &ready) != 0;
}

// A single send or receive moves at most this many bytes (the calls take an int).
int chunk(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

bool net_startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

void close_socket(Socket socket) {
  if (socket != kInvalidSocket) closesocket(as_socket(socket));
}

int last_net_error() { return WSAGetLastError(); }

bool parse_ipv4(const char* text, uint32_t* address) {
  unsigned long value = inet_addr(text);
  if (value == INADDR_NONE) return false;
  *address = static_cast<uint32_t>(value);
  return true;
}

using SocketLength = int;

// getaddrinfo needs the socket library started; the parsing calls start it for their own
// use, as they may run before the connection starts it.
struct NetUse {
  bool started = net_startup();
  ~NetUse() {
    if (started) net_cleanup();
  }
};

}  // namespace platform

#include "platform/socket_address.inc"

namespace platform {

bool local_host_name(std::string* name) {
  char buffer[256];
  if (gethostname(buffer, sizeof buffer) != 0) return false;
  buffer[sizeof buffer - 1] = '\0';
  *name = buffer;
  return true;
}

namespace {

enum class Begun { kConnected, kPending, kFailed, kNoSocket };

// Starts a non-blocking connect to address:port; *handle is the socket unless kFailed or
// kNoSocket.
Begun begin_connect(const NetAddress& address, uint16_t port, SOCKET* handle) {
  sockaddr_storage target;
  int length = to_sockaddr(address, port, &target);
  if (length == 0) return Begun::kFailed;
  SOCKET made = socket(target.ss_family, SOCK_STREAM, 0);
  if (made == INVALID_SOCKET) return Begun::kNoSocket;
  // Every wait is bounded with select(), so the socket itself never blocks.
  u_long non_blocking = 1;
  ioctlsocket(made, FIONBIO, &non_blocking);
  // Output goes out in whole gathered pieces; Nagle's rule would only delay the last one.
  BOOL on = TRUE;
  setsockopt(made, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  if (target.ss_family == AF_INET6) {
    DWORD off = 0;  // an IPv4-mapped literal is reached through IPv4
    setsockopt(made, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  }
  if (connect(made, reinterpret_cast<const sockaddr*>(&target), length) == 0) {
    *handle = made;
    return Begun::kConnected;
  }
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) {
    *handle = made;
    return Begun::kPending;
  }
  closesocket(made);
  return Begun::kFailed;
}

}  // namespace

ConnectStatus connect_any(const std::vector<NetAddress>& addresses, uint16_t port,
                          int stagger_ms, int timeout_ms, Socket* socket, std::size_t* winner) {
  struct Attempt {
    SOCKET handle;
    std::size_t index;
  };
  std::vector<Attempt> pending;
  bool made_any = false;
  bool connected = false;
  SOCKET result = INVALID_SOCKET;
  std::size_t next = 0;
  const uint32_t start = tick_count();
  const uint32_t limit = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 0;
  const uint32_t stagger = stagger_ms > 0 ? static_cast<uint32_t>(stagger_ms) : 0;
  uint32_t next_start = 0;  // ms after start at which the next attempt is due
  for (;;) {
    const uint32_t elapsed = tick_count() - start;
    if (elapsed >= limit) break;
    // One select() watches at most FD_SETSIZE sockets.
    const bool may_start = next < addresses.size() && pending.size() < FD_SETSIZE;
    if (may_start && (pending.empty() || elapsed >= next_start)) {
      const std::size_t index = next++;
      SOCKET handle = INVALID_SOCKET;
      Begun begun = begin_connect(addresses[index], port, &handle);
      made_any = made_any || begun != Begun::kNoSocket;
      if (begun == Begun::kConnected) {
        result = handle;
        connected = true;
        *winner = index;
        break;
      }
      if (begun == Begun::kPending) {
        pending.push_back({handle, index});
        next_start = elapsed + stagger;
      }
      continue;  // a failure makes the next attempt due at once
    }
    if (pending.empty()) break;
    uint32_t wait = limit - elapsed;
    if (may_start && next_start - elapsed < wait) wait = next_start - elapsed;
    // A finished connect shows in the write set, a failed one in the exception set.
    fd_set written;
    fd_set failed;
    FD_ZERO(&written);
    FD_ZERO(&failed);
    for (const Attempt& attempt : pending) {
      FD_SET(attempt.handle, &written);
      FD_SET(attempt.handle, &failed);
    }
    timeval limit_value{};
    limit_value.tv_sec = static_cast<long>(wait / 1000);
    limit_value.tv_usec = static_cast<long>(wait % 1000) * 1000;
    int count = select(0, nullptr, &written, &failed, &limit_value);
    if (count == SOCKET_ERROR) break;
    if (count == 0) continue;
    for (std::size_t i = pending.size(); i-- > 0;) {
      const SOCKET handle = pending[i].handle;
      const bool done = FD_ISSET(handle, &written) != 0;
      if (!done && FD_ISSET(handle, &failed) == 0) continue;
      int error = 0;
      int length = sizeof error;
      bool good = done && FD_ISSET(handle, &failed) == 0 &&
                  getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                             &length) == 0 &&
                  error == 0;
      if (good && !connected) {
        result = handle;
        connected = true;
        *winner = pending[i].index;
      } else {
        closesocket(handle);
        next_start = elapsed;
      }
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (connected) break;
  }
  for (const Attempt& attempt : pending) closesocket(attempt.handle);
  if (!connected) {
    bool no_socket = !made_any && !addresses.empty() && next == addresses.size();
    return no_socket ? ConnectStatus::kNoSocket : ConnectStatus::kFailed;
  }
  *socket = static_cast<Socket>(result);
  return ConnectStatus::kConnected;
}

std::size_t send_some(Socket socket, const char* data, std::size_t length, int timeout_ms) {
  SOCKET handle = as_socket(socket);
  for (;;) {
    if (!wait_ready(handle, true, timeout_ms)) return 0;
    int sent = send(handle, data, chunk(length), 0);
    if (sent > 0) return static_cast<std::size_t>(sent);
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    return 0;
  }
}

SendFileStatus send_file(Socket socket, std::FILE* file, int timeout_ms) {
  // Large reads straight into send (TransmitFile would bring in mswsock for little gain).
  constexpr std::size_t kBlock = 256 * 1024;
  std::vector<char> block(kBlock);
  std::size_t count;
  while ((count = std::fread(block.data(), 1, kBlock, file)) > 0) {
    for (std::size_t done = 0; done < count;) {
      std::size_t sent = send_some(socket, block.data() + done, count - done, timeout_ms);
      if (sent == 0) return SendFileStatus::kSendFailed;
      done += sent;
    }
  }
  return std::ferror(file) ? SendFileStatus::kReadFailed : SendFileStatus::kDone;
}

RecvStatus recv_some(Socket socket, char* buffer, std::size_t capacity, int timeout_ms,
                     std::size_t* received) {
  SOCKET handle = as_socket(socket);
  for (;;) {
    if (!wait_ready(handle, false, timeout_ms)) return RecvStatus::kTimeout;
    int count = recv(handle, buffer, chunk(capacity), 0);
    if (count > 0) {
      *received = static_cast<std::size_t>(count);
      return RecvStatus::kData;
    }
    if (count == 0) return RecvStatus::kClosed;
    if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
    return RecvStatus::kError;
  }
}

// ---------------------------------------------------------------- threads

struct Thread {
  HANDLE handle = nullptr;
  ThreadMain entry = nullptr;
  void* argument = nullptr;
};

namespace {

DWORD WINAPI thread_trampoline(LPVOID raw) {
  const Thread* thread = static_cast<const Thread*>(raw);
  return static_cast<DWORD>(thread->entry(thread->argument));
}

}  // namespace

Thread* start_thread(ThreadMain entry, void* argument) {
  Thread* thread = new Thread;
  thread->entry = entry;
  thread->argument = argument;
  DWORD id = 0;
  thread->handle = CreateThread(nullptr, 0, thread_trampoline, thread, 0, &id);
  if (thread->handle == nullptr) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool wait_thread(Thread* thread, uint32_t timeout_ms) {
  return WaitForSingleObject(thread->handle, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

void terminate_thread(Thread* thread, int exit_code) {
  // Termination completes asynchronously; the short wait makes sure the thread no longer
  // runs before its record may go.
  if (TerminateThread(thread->handle, static_cast<DWORD>(exit_code))) {
    WaitForSingleObject(thread->handle, 1000);
  }
}

void close_thread(Thread* thread) {
  // A thread still running (not ended, or not stopped) may read its record: keep it.
  bool ended = WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
  CloseHandle(thread->handle);
  if (ended) delete thread;
}

}  // namespace platform
