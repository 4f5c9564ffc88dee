// Every operating-system service that VORNA uses, behind one interface.
// platform_posix.cpp implements it with POSIX calls, platform_win32.cpp with Win32 and
// Windows Sockets 2.2; CMake compiles exactly one of them. No other folder includes an
// operating-system header. Functions here report failure by their result; turning a
// failure into one of the program's error codes is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- process and time

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t tick_count();
// The running process's identifier (GetCurrentProcessId).
uint32_t process_id();
// Blocks the calling thread (Sleep).
void sleep_ms(uint32_t ms);
// Called last before the process ends through std::_Exit, which skips every check that
// runs at a normal exit. In a build with LeakSanitizer it runs the leak check there (a leak
// ends the process with the sanitizer's failure status); otherwise it does nothing.
void before_exit();

// The value of an environment variable; false when it is not set. get_env_nocase finds
// the name without regard to case (for "windir").
bool get_env(const char* name, std::string* value);
bool get_env_nocase(const char* name, std::string* value);

// The temporary directory that the system names besides "TMP" and "TEMP": "TMPDIR" on
// POSIX; Windows has none (false). False too when it is not set.
bool system_temp_dir(std::string* dir);

// The current working directory; false when it cannot be read.
bool current_dir(std::string* dir);
// The full path of the running program's executable; false when it cannot be found.
bool executable_path(std::string* path);
// The character that separates path components: '\\' on Windows, '/' elsewhere.
char path_separator();

// The machine's identifier that binds stored passwords to this machine (the registry's
// "ProductId" on Windows, the first line of the machine-id file elsewhere); empty when
// none can be read. At most 249 bytes are returned.
std::string machine_id();

// Local time of t, as the C runtime computes it from "TZ" or the system.
std::tm local_time(std::time_t t);
// The C runtime's standard-time offset in seconds west of UTC (after reading "TZ").
long timezone_seconds_west();

// ---------------------------------------------------------------- files

// Creates a new file for binary writing, readable and writable by its owner only. Fails
// when anything already bears the name (a file, a directory or a link), so a stale or
// planted file is never written through. nullptr on failure.
std::FILE* create_exclusive(const std::string& path);
// Opens an existing regular file for binary reading; nullptr on failure. Anything else
// bearing the name (a directory, a FIFO, a device) is refused without waiting on it: the
// open itself never blocks, and the kind is told from the opened file, so nothing can be
// swapped in between the test and the use. The file can still be deleted while it is
// open (on Windows too), so that the end of a failed run removes a work file that was
// being sent.
std::FILE* open_for_reading(const std::string& path);
// Size in bytes of an open file; -1 when it cannot be told.
int64_t file_size(std::FILE* file);

// ---------------------------------------------------------------- console

// True when standard output is a terminal (a console window on Windows).
bool stdout_is_terminal();
// Sets the console text attribute (Windows values: 7 normal, 14 yellow, 12 red). On
// POSIX terminals it becomes an ANSI colour sequence; on redirected output nothing.
void console_set_attribute(int attribute);

// ---------------------------------------------------------------- settings file

// The profile (INI) file operations, with the semantics of the Windows profile
// functions: section and key names compared without regard to case, blanks around "="
// ignored, a missing file or key gives the default.
// Reads a text value, cut to size - 1 bytes.
std::string profile_get_string(const char* section, const char* key, const char* fallback,
                               std::size_t size, const std::string& path);
// Reads an integer: optional sign and leading digits (no digits: 0).
int profile_get_int(const char* section, const char* key, int fallback, const std::string& path);
// Writes one key, creating file and section when missing and leaving every other line
// unchanged. The file is readable and writable by its owner only afterwards, whatever
// its permissions were before, since it holds the enciphered passwords.
bool profile_write_string(const char* section, const char* key, const char* value,
                          const std::string& path);

// One key to write: profile_write_strings writes them in order, with the result of as
// many profile_write_string calls, reading and replacing the file once. False when any
// entry was refused or the file could not be written.
struct ProfileEntry {
  const char* section;
  const char* key;
  std::string value;
};
bool profile_write_strings(const std::vector<ProfileEntry>& entries, const std::string& path);

// Between profile_hold and profile_release, reads of that path use one copy of the file
// read at profile_hold, so a run reads its settings file once however many keys it
// takes. A write through the functions above ends the hold. Where the profile functions
// are the system's own (Windows), both do nothing.
void profile_hold(const std::string& path);
void profile_release();

// ---------------------------------------------------------------- interruption

// Prepares the process for the ways it can be ended from outside. A write to a closed
// pipe (the console piped into a program that has ended) fails as an error instead of
// ending the process (SIGPIPE is ignored on POSIX). An interruption (SIGINT, SIGTERM or
// SIGHUP on POSIX; Ctrl+C, Ctrl+Break or closing the console on Windows) first removes
// the work files made by create_work_file, then ends the process as the interruption
// would have (POSIX: the signal's default action; Windows: status 0xC000013A). A signal
// that the process was started with ignored stays ignored.
void install_interrupt_handling();
// create_exclusive for a work file: the file is also removed when an interruption ends
// the process, until forget_work_files is called.
std::FILE* create_work_file(const std::string& path);
// The work files are no longer removed on an interruption (their owner removed them).
void forget_work_files();

// ---------------------------------------------------------------- small files

// Reads a whole regular file of at most max_bytes into *content; false when it is missing,
// is no regular file, cannot be read or is larger.
bool read_small_file(const std::string& path, std::size_t max_bytes, std::string* content);
// Replaces path with content atomically: a new owner-only file in the same directory,
// written and flushed to the disk, then renamed over path (on Windows the rename is
// retried for a moment while another process still has the old file open). A reader sees
// the old file or the new one, never a part of either; two writers leave one of the two
// whole. False on failure, with no temporary file left behind.
bool replace_file(const std::string& path, const std::string& content);
// Removes a file; true when it is gone afterwards (also when it was never there).
bool remove_file(const std::string& path);

// ---------------------------------------------------------------- protection for the user

// Windows: DPAPI for the current user (CryptProtectData), so that only this user on this
// machine can open the blob. POSIX has no such service: the data comes back as it is,
// and the caller relies on its own cipher and an owner-only file.
bool protect_for_user(const std::string& data, std::string* blob);
bool unprotect_for_user(const std::string& blob, std::string* data);

// Fills buffer with bytes from the system's cryptographic random source; false when it
// cannot (the caller must then not go on).
bool random_bytes(void* buffer, std::size_t length);

// ---------------------------------------------------------------- the user's browser

// Asks the desktop to open url in the user's browser, without waiting for it (Windows:
// the shell's default handler; POSIX: xdg-open, detached, only when a display is set).
// True when the request was handed over, which does not prove that a browser appeared.
bool open_browser(const std::string& url);

// ---------------------------------------------------------------- sockets

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts the socket library (WSAStartup for version 2.2); false on failure.
bool net_startup();
// Stops the socket library (WSACleanup).
void net_cleanup();
void close_socket(Socket socket);
// The socket library's last error number (WSAGetLastError or errno).
int last_net_error();

// An IP address of either family, in network byte order as the socket calls take it.
struct NetAddress {
  int family = 0;                // 4 or 6; 0 for none
  unsigned char bytes[16] = {};  // the first 4 for IPv4
  uint32_t scope_id = 0;         // IPv6 zone (an interface index); 0 for none
};

// A dotted-decimal IPv4 address in network byte order (inet_addr). False when the text
// is not one, or reads as the all-ones address 255.255.255.255.
bool parse_ipv4(const char* text, uint32_t* address);
// An address literal: first a dotted IPv4 text exactly as parse_ipv4 takes it, else an
// IPv6 text, bare or in brackets, with an optional zone after "%" (an interface number,
// or a name where the system knows it). Brackets hold nothing else: no port, no IPv4.
// False for any other text, names included.
bool parse_address(const std::string& text, NetAddress* address);
// The numeric text of an address: "192.0.2.1", "2001:db8::1", "fe80::1%2".
std::string address_text(const NetAddress& address);
// Every IPv6 and IPv4 address of a host name (getaddrinfo), in the system's order of
// preference, each once. Empty when the name does not resolve.
std::vector<NetAddress> lookup_addresses(const std::string& name);
// This machine's host name (gethostname).
bool local_host_name(std::string* name);

// Connects a TCP stream to port (host order) at the first of the addresses that accepts.
// The attempts overlap: the first starts at once, each next one when the one before has
// failed or stagger_ms after it started, and the first to connect wins; the others are
// abandoned. timeout_ms bounds the whole. On kConnected *socket is the connection and
// *winner the index of its address. kNoSocket: no socket could be made for any address.
// Keeps no state, so threads may call it at the same time.
enum class ConnectStatus { kConnected, kFailed, kNoSocket };
ConnectStatus connect_any(const std::vector<NetAddress>& addresses, uint16_t port,
                          int stagger_ms, int timeout_ms, Socket* socket, std::size_t* winner);

// Sends up to length bytes, waiting at most timeout_ms for the connection to accept any.
// Returns the number of bytes sent (at least 1), or 0 on error, closure or time-out.
std::size_t send_some(Socket socket, const char* data, std::size_t length, int timeout_ms);

// Sends the rest of an open file, from its current position to its end, with the fewest
// copies the system allows (on Linux the kernel copies from the file to the socket with
// sendfile; elsewhere large reads go straight to send). Each wait for the connection to
// take more is bounded by timeout_ms. Nothing of the file passes through the caller, so
// this is only for bytes that go out as they are on a plain connection.
enum class SendFileStatus { kDone, kSendFailed, kReadFailed };
SendFileStatus send_file(Socket socket, std::FILE* file, int timeout_ms);

enum class RecvStatus { kData, kClosed, kError, kTimeout };
// Receives up to capacity bytes, waiting at most timeout_ms. *received is set for kData.
RecvStatus recv_some(Socket socket, char* buffer, std::size_t capacity, int timeout_ms,
                     std::size_t* received);

// ---------------------------------------------------------------- loopback listener

// A listening socket pair for a redirect from the browser: 127.0.0.1 and ::1 on the same
// port (::1 only where the machine has an IPv6 loopback), never any other interface.
struct LoopbackListener;
// Listens on a free port chosen by the system; *port receives it. nullptr on failure.
LoopbackListener* listen_loopback(uint16_t* port);
// Waits at most timeout_ms for a connection on either address; kInvalidSocket on
// time-out or error. The accepted socket is used with send_some, recv_some, close_socket.
Socket accept_loopback(LoopbackListener* listener, int timeout_ms);
void close_listener(LoopbackListener* listener);

// ---------------------------------------------------------------- helper commands

// How a helper command ended. kNotStarted: no process could be made; kFailed: it ended
// with a status other than 0 or by a signal; kTimedOut: it was still running at the time
// limit and has been killed; kTooLong: its first line grew past the limit (it has been
// killed too).
enum class CommandStatus { kDone, kNotStarted, kFailed, kTimedOut, kTooLong };

// Runs a command text as the user wrote it (POSIX: /bin/sh -c TEXT; Windows: the text is
// the command line of CreateProcess) with standard input empty (/dev/null, NUL), standard
// error shared with this process (a helper may print a prompt there) and standard output
// read through a pipe. *first_line receives what the command printed up to its first LF,
// without the CR and LF that end it; the rest of its output is read and dropped, so a
// command that prints more is never blocked. kDone once the command has ended with
// status 0 within timeout_ms; the output is never shown anywhere.
CommandStatus run_command(const std::string& command, int timeout_ms, std::size_t line_limit,
                          std::string* first_line);
// The command runs with everything it starts in one unit (POSIX: a process group of its
// own; Windows: a job object that kills on close), which is killed whole once the command
// is done or out of time. This kills the unit of a command still running, for an early end
// of the process (an error on another thread, an interruption); nothing when none runs.
// Safe inside a signal handler on POSIX.
void end_helper_command();

// ---------------------------------------------------------------- threads

struct Thread;
using ThreadMain = int (*)(void* argument);
// Starts a thread running entry(argument); nullptr when it cannot be started.
Thread* start_thread(ThreadMain entry, void* argument);
// Waits at most timeout_ms for the thread to end; true when it ended in time.
bool wait_thread(Thread* thread, uint32_t timeout_ms);
// Stops a thread that did not end in time. On Windows it is terminated; on POSIX it is
// abandoned to end with the process (its owner must make sure it affects nothing more).
void terminate_thread(Thread* thread, int exit_code);
// Releases the handle; an abandoned thread's record is kept until the process ends.
void close_thread(Thread* thread);

}  // namespace platform
