// The TCP side of mail delivery: host names, the connection to the SMTP server, plain or
// encrypted, and the sending of text. Every failure of the SMTP side ends the run; callers
// treat each return as success. The raw moves (receive_some, send_some_of) end nothing,
// so the POP3 login thread uses them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tls.h"

// How long the network may keep us waiting. A wait that runs out is treated like the
// failure it stands for: connecting (error 8), sending (error 9), receiving (error 10).
constexpr int kConnectTimeoutMs = 60 * 1000;
constexpr int kSendTimeoutMs = 5 * 60 * 1000;
constexpr int kReplyTimeoutMs = 5 * 60 * 1000;
constexpr int kEndOfDataTimeoutMs = 10 * 60 * 1000;

// How long a TLS handshake may take as a whole, like the connect it completes, and how
// long the end of a session waits for the server's close_notify.
constexpr int kHandshakeTimeoutMs = kConnectTimeoutMs;
constexpr int kCloseNotifyWaitMs = 2000;

// One connection to a server: the socket, and the TLS session once one is running. The
// readers and senders move bytes through it the same way whether or not it is encrypted.
struct Connection {
  platform::Socket socket = platform::kInvalidSocket;
  platform::TlsSession* tls = nullptr;
  // What a receive brought beyond the reply being read: the start of the next reply
  // (a pipelining server answers several commands at once). At most one receive's worth.
  std::string pending;
};

// What a receive or send came to. kProtocol is a TLS failure (a bad record, an alert).
enum class NetStatus { kData, kClosed, kError, kTimeout, kProtocol };

// Receives up to capacity bytes, waiting at most timeout_ms; *received is set for kData.
NetStatus receive_some(Connection* connection, char* buffer, std::size_t capacity,
                       int timeout_ms, std::size_t* received);

// Sends up to length bytes, waiting at most timeout_ms for the connection to take any.
// Returns the count taken (at least 1) with kData, or 0 with *status saying why.
std::size_t send_some_of(Connection* connection, const char* data, std::size_t length,
                         int timeout_ms, NetStatus* status);

// Throws away whatever plain text has already arrived: the bytes kept after the last reply
// and what waits on the socket (after the answer to STARTTLS or STLS, nothing before the
// handshake may be believed). Returns the number of bytes discarded.
std::size_t discard_waiting(Connection* connection);

// Runs the TLS handshake for host with the settings' SSL_VERIFY and SSL_CA_FILE, within
// kHandshakeTimeoutMs or the given limit. True when the session runs; *summary is the
// line that says what was negotiated, or why it failed.
bool start_tls(Connection* connection, const std::string& host, int timeout_ms,
               std::string* summary);

// Ends the TLS session with close_notify, waiting at most wait_ms (and never more than
// two seconds) for the server's, and closes the socket.
void close_connection(Connection* connection, int wait_ms = kCloseNotifyWaitMs);

// The process-wide line buffer: commands are formed in it, and every reply reader leaves
// the text of the reply it read in it (the CRAM-MD5 challenge is taken from there).
extern std::string g_line_buffer;

// The order in which to try a host's addresses (RFC 8305 section 4): the families take
// turns, starting with the family of the system's first choice; within a family the
// system's order stays.
std::vector<platform::NetAddress> interleave_families(
    const std::vector<platform::NetAddress>& addresses);

// The addresses of a host name or address literal, in the order to try them. A literal
// (a dotted IPv4 text as inet_addr takes it; an IPv6 text, bare or in brackets) is taken
// as it is; anything else is looked up for both families. Empty for an empty text or a
// failed lookup. Keeps no state, so the POP3 login thread uses it too.
std::vector<platform::NetAddress> find_host(const std::string& host);

// The addresses of the mail server as find_host finds them; none ends the run with error 13.
std::vector<platform::NetAddress> resolve_host(const std::string& host);

// The host as a protocol field names it (OAUTHBEARER's host=): an IPv6 literal without
// its brackets, anything else as given.
std::string host_field(const std::string& host);

// When the next address is tried while the one before has not yet connected
// (RFC 8305 section 5 recommends 250 ms).
constexpr int kConnectStaggerMs = 250;

// Starts the socket library (error 5), finds mail_server (error 13) and connects to
// smtp_port at the first of its addresses that answers (error 8 when none does within
// kConnectTimeoutMs for them all; error 7 when no socket can be made). The greeting is
// not read.
Connection open_connection();

// Starts TLS on the SMTP connection; in debug mode prints the handshake's line. A failed
// handshake ends the run with error 24.
void start_smtp_tls(Connection* connection);

// Sends the whole text; in debug mode echoes it first as "Send: %s". Output is gathered
// in a buffer that goes out when it fills and before every reply is read, so a long
// message costs few system calls. Returns 1; a send that fails or cannot progress for
// kSendTimeoutMs ends the run with error 9.
int send_text(Connection* connection, const std::string& text);

// Sends bytes without any echo (bulk copies of attachment work files outside debug mode).
void send_bytes(Connection* connection, const char* data, std::size_t length);

// Sends whatever is gathered. False when the connection failed; the caller decides.
bool flush_output(Connection* connection);

// Ends the run for the send that failed last: error 24 when the TLS layer refused it,
// else error 9.
[[noreturn]] void fail_send();
