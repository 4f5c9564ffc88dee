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

// Hands all bytes to the socket; false on failure, closure or a stalled send.
bool write_all(platform::Socket socket, const char* data, std::size_t length) {
  while (length > 0) {
    std::size_t sent = platform::send_some(socket, data, length, kSendTimeoutMs);
    if (sent == 0) return false;
    data += sent;
    length -= sent;
  }
  return true;
}

// Gathers bytes, sending the gathered ones first when the new ones would not fit; a piece
// as large as the buffer goes out directly.
void gather(platform::Socket socket, const char* data, std::size_t length) {
  if (g_output.size() + length > kOutputCapacity) {
    if (!flush_output(socket)) error_exit(kErrSend);
  }
  if (length >= kOutputCapacity) {
    if (!write_all(socket, data, length)) error_exit(kErrSend);
    return;
  }
  if (g_output.capacity() < kOutputCapacity) g_output.reserve(kOutputCapacity);
  g_output.insert(g_output.end(), data, data + length);
}

}  // namespace

bool find_host(const std::string& host, uint32_t* address) {
  if (host.empty()) return false;
  return platform::parse_ipv4(host.c_str(), address) ||
         platform::lookup_host(host.c_str(), address);
}

uint32_t resolve_host(const std::string& host) {
  uint32_t address = 0;
  if (!find_host(host, &address)) error_exit(kErrHostName);
  return address;
}

platform::Socket open_connection() {
  if (!platform::net_startup()) error_exit(kErrSocketInit);
  platform::Socket socket = platform::tcp_socket();
  if (socket == platform::kInvalidSocket) error_exit(kErrSocketCreate);
  uint16_t port = static_cast<uint16_t>(g_settings.smtp_port & 0xFFFF);
  uint32_t address = resolve_host(g_run.mail_server);
  if (!platform::connect_ipv4(socket, address, port, kConnectTimeoutMs)) {
    error_exit(kErrConnect);
  }
  return socket;
}

int send_text(platform::Socket socket, const std::string& text) {
  if (g_run.debug_mode) console_printf("Send: %s", text.c_str());
  gather(socket, text.data(), text.size());
  return 1;
}

void send_bytes(platform::Socket socket, const char* data, std::size_t length) {
  gather(socket, data, length);
}

bool flush_output(platform::Socket socket) {
  bool sent = write_all(socket, g_output.data(), g_output.size());
  g_output.clear();
  return sent;
}
