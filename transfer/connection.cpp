// The connection to the SMTP server and the buffered sending of text (RFC 5321 section 2.3.9:
// the client sends; the server answers each command or the whole message once).
#include "transfer/connection.h"

#include <cstring>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "config/settings.h"

std::string g_line_buffer;

namespace {

// Output is gathered up to this size before it goes to the socket.
constexpr std::size_t kOutputCapacity = 64 * 1024;

std::vector<char> g_output;
// How the last failed send ended.
NetStatus g_send_failure = NetStatus::kData;

// Hands all bytes to the connection; false on failure, closure or a stalled send.
bool write_all(Connection* connection, const char* data, std::size_t length) {
  while (length > 0) {
    NetStatus status = NetStatus::kData;
    std::size_t sent = send_some_of(connection, data, length, kSendTimeoutMs, &status);
    if (sent == 0) {
      g_send_failure = status;
      return false;
    }
    data += sent;
    length -= sent;
  }
  return true;
}

NetStatus from_tls(platform::TlsIo io) {
  switch (io) {
    case platform::TlsIo::kOk: return NetStatus::kData;
    case platform::TlsIo::kClosed: return NetStatus::kClosed;
    case platform::TlsIo::kTimeout: return NetStatus::kTimeout;
    case platform::TlsIo::kProtocol: return NetStatus::kProtocol;
    case platform::TlsIo::kError: break;
  }
  return NetStatus::kError;
}

// Gathers bytes, sending the gathered ones first when the new ones would not fit; a piece
// as large as the buffer goes out directly.
void gather(Connection* connection, const char* data, std::size_t length) {
  if (g_output.size() + length > kOutputCapacity) {
    if (!flush_output(connection)) fail_send();
  }
  if (length >= kOutputCapacity) {
    if (!write_all(connection, data, length)) fail_send();
    return;
  }
  if (g_output.capacity() < kOutputCapacity) g_output.reserve(kOutputCapacity);
  g_output.insert(g_output.end(), data, data + length);
}

}  // namespace

void fail_send() {
  error_exit(g_send_failure == NetStatus::kProtocol ? kErrSslHandling : kErrSend);
}

std::vector<platform::NetAddress> interleave_families(
    const std::vector<platform::NetAddress>& addresses) {
  if (addresses.empty()) return addresses;
  std::vector<platform::NetAddress> first, other;
  for (const platform::NetAddress& address : addresses) {
    (address.family == addresses.front().family ? first : other).push_back(address);
  }
  std::vector<platform::NetAddress> ordered;
  for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) ordered.push_back(first[i]);
    if (i < other.size()) ordered.push_back(other[i]);
  }
  return ordered;
}

std::vector<platform::NetAddress> find_host(const std::string& host) {
  if (host.empty()) return {};
  platform::NetAddress literal;
  if (platform::parse_address(host, &literal)) return {literal};
  // A bracketed text is an address or nothing; it is never a name.
  if (host.front() == '[') return {};
  return interleave_families(platform::lookup_addresses(host));
}

std::vector<platform::NetAddress> resolve_host(const std::string& host) {
  std::vector<platform::NetAddress> addresses = find_host(host);
  if (addresses.empty()) error_exit(kErrHostName);
  return addresses;
}

std::string host_field(const std::string& host) {
  platform::NetAddress literal;
  if (host.size() > 2 && host.front() == '[' && platform::parse_address(host, &literal)) {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

NetStatus receive_some(Connection* connection, char* buffer, std::size_t capacity,
                       int timeout_ms, std::size_t* received) {
  if (connection->tls != nullptr) {
    return from_tls(
        platform::tls_recv_some(connection->tls, buffer, capacity, timeout_ms, received));
  }
  switch (platform::recv_some(connection->socket, buffer, capacity, timeout_ms, received)) {
    case platform::RecvStatus::kData: return NetStatus::kData;
    case platform::RecvStatus::kClosed: return NetStatus::kClosed;
    case platform::RecvStatus::kTimeout: return NetStatus::kTimeout;
    case platform::RecvStatus::kError: break;
  }
  return NetStatus::kError;
}

std::size_t send_some_of(Connection* connection, const char* data, std::size_t length,
                         int timeout_ms, NetStatus* status) {
  if (connection->tls != nullptr) {
    platform::TlsIo io = platform::TlsIo::kError;
    std::size_t sent = platform::tls_send_some(connection->tls, data, length, timeout_ms, &io);
    *status = sent == 0 ? from_tls(io) : NetStatus::kData;
    return sent;
  }
  std::size_t sent = platform::send_some(connection->socket, data, length, timeout_ms);
  *status = sent == 0 ? NetStatus::kError : NetStatus::kData;
  return sent;
}

std::size_t discard_waiting(Connection* connection) {
  std::size_t discarded = connection->pending.size();
  connection->pending.clear();
  char scrap[4096];
  for (;;) {
    std::size_t count = 0;
    if (platform::recv_some(connection->socket, scrap, sizeof scrap, 0, &count) !=
        platform::RecvStatus::kData) {
      return discarded;
    }
    discarded += count;
  }
}

bool start_tls(Connection* connection, const std::string& host, int timeout_ms,
               std::string* summary) {
  platform::TlsParams params;
  params.host = host;
  params.verify = g_settings.ssl_verify != 0;
  params.ca_file = g_settings.ssl_ca_file;
  connection->tls = platform::tls_handshake(connection->socket, params, timeout_ms, summary);
  return connection->tls != nullptr;
}

void close_connection(Connection* connection, int wait_ms) {
  if (wait_ms > kCloseNotifyWaitMs) wait_ms = kCloseNotifyWaitMs;
  if (connection->tls != nullptr) platform::tls_close(connection->tls, wait_ms);
  connection->tls = nullptr;
  platform::close_socket(connection->socket);
  connection->socket = platform::kInvalidSocket;
}

Connection open_connection() {
  if (!platform::net_startup()) error_exit(kErrSocketInit);
  const std::vector<platform::NetAddress> addresses = resolve_host(g_run.mail_server);
  uint16_t port = static_cast<uint16_t>(g_settings.smtp_port & 0xFFFF);
  Connection connection;
  std::size_t winner = 0;
  switch (platform::connect_any(addresses, port, kConnectStaggerMs, kConnectTimeoutMs,
                                &connection.socket, &winner)) {
    case platform::ConnectStatus::kConnected: break;
    case platform::ConnectStatus::kNoSocket: error_exit(kErrSocketCreate);
    case platform::ConnectStatus::kFailed: error_exit(kErrConnect);
  }
  return connection;
}

void start_smtp_tls(Connection* connection) {
  std::string summary;
  bool started = start_tls(connection, g_run.mail_server, kHandshakeTimeoutMs, &summary);
  if (g_run.debug_mode) {
    console_printf("TLS: %s%s\n", started ? "" : "failed: ", summary.c_str());
  }
  if (!started) error_exit(kErrSslHandling);
}

int send_text(Connection* connection, const std::string& text) {
  if (g_run.debug_mode) console_printf("Send: %s", text.c_str());
  gather(connection, text.data(), text.size());
  return 1;
}

void send_bytes(Connection* connection, const char* data, std::size_t length) {
  gather(connection, data, length);
}

bool flush_output(Connection* connection) {
  bool sent = write_all(connection, g_output.data(), g_output.size());
  g_output.clear();
  return sent;
}
