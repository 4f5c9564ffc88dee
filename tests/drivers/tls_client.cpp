// tls_client: a small client of the platform layer's TLS session, for the black-box tests
// of the TLS layer on its own (without the mail dialogue).
//   tls_client PORT HOST [--ca FILE] [--no-verify] [--timeout MS] [--echo IN OUT] [--read]
//              [--connect ADDRESS]
// Connects to 127.0.0.1:PORT (or ADDRESS:PORT, an IPv4 or IPv6 literal), runs the handshake for HOST (the name or address the
// certificate must show) and prints one line: "handshake ok: SUMMARY" or
// "handshake failed: SUMMARY". With --echo it then sends "ECHO <size>\n" and the bytes of
// IN, reads as many bytes back into OUT, and prints "echo: N bytes". Last it closes the
// session (close_notify) and prints "closed". With --read it instead receives until the
// server closes or something fails and prints "read: N bytes, STATUS" (what the server sent
// follows on the next line when it is short).
// Exit status: 0 success, 2 usage, 8 no connection, 9 send failed, 10 receive failed or
// closed early, 24 handshake failed or a TLS protocol failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tls.h"

namespace {

const char* io_name(platform::TlsIo status) {
  switch (status) {
    case platform::TlsIo::kOk: return "ok";
    case platform::TlsIo::kClosed: return "closed";
    case platform::TlsIo::kError: return "error";
    case platform::TlsIo::kTimeout: return "timeout";
    case platform::TlsIo::kProtocol: return "protocol";
  }
  return "?";
}

int io_exit(platform::TlsIo status, int plain_code) {
  return status == platform::TlsIo::kProtocol ? 24 : plain_code;
}

bool send_all(platform::TlsSession* session, const char* data, std::size_t length, int timeout,
              platform::TlsIo* status) {
  while (length > 0) {
    std::size_t taken = platform::tls_send_some(session, data, length, timeout, status);
    if (taken == 0) return false;
    data += taken;
    length -= taken;
  }
  return true;
}

// Sends the file's size line and its bytes, then reads as many bytes back into out_path.
int echo(platform::TlsSession* session, const char* in_path, const char* out_path, int timeout) {
  std::FILE* in = std::fopen(in_path, "rb");
  std::FILE* out = std::fopen(out_path, "wb");
  if (in == nullptr || out == nullptr) {
    std::printf("echo: files cannot be opened\n");
    return 2;
  }
  std::fseek(in, 0, SEEK_END);
  long size = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
  std::string head = "ECHO " + std::to_string(size) + "\n";
  platform::TlsIo status = platform::TlsIo::kOk;
  if (!send_all(session, head.data(), head.size(), timeout, &status)) {
    std::printf("send failed: %s\n", io_name(status));
    return io_exit(status, 9);
  }
  std::vector<char> buffer(1 << 20);  // the size a caller's buffered writer hands down
  for (;;) {
    std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) break;
    if (!send_all(session, buffer.data(), got, timeout, &status)) {
      std::printf("send failed: %s\n", io_name(status));
      return io_exit(status, 9);
    }
  }
  std::fclose(in);
  long back = 0;
  while (back < size) {
    std::size_t received = 0;
    status = platform::tls_recv_some(session, buffer.data(), 4096, timeout, &received);
    if (status != platform::TlsIo::kOk) {
      std::printf("receive failed after %ld bytes: %s\n", back, io_name(status));
      return io_exit(status, 10);
    }
    std::fwrite(buffer.data(), 1, received, out);
    back += static_cast<long>(received);
  }
  std::fclose(out);
  std::printf("echo: %ld bytes\n", back);
  return 0;
}

// Receives until the end of the session; 0 when the server closed it.
int read_all(platform::TlsSession* session, int timeout) {
  std::string data;
  platform::TlsIo status;
  for (;;) {
    char buffer[4096];
    std::size_t received = 0;
    status = platform::tls_recv_some(session, buffer, sizeof buffer, timeout, &received);
    if (status != platform::TlsIo::kOk) break;
    data.append(buffer, received);
  }
  std::printf("read: %u bytes, %s\n", static_cast<unsigned>(data.size()), io_name(status));
  if (data.size() < 200) std::printf("%s\n", data.c_str());
  return status == platform::TlsIo::kClosed ? 0 : io_exit(status, 10);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tls_client PORT HOST [--ca FILE] [--no-verify] [--timeout MS] "
                         "[--echo IN OUT]\n");
    return 2;
  }
  platform::TlsParams params;
  int port = std::atoi(argv[1]);
  params.host = argv[2];
  int timeout = 10000;
  const char* echo_in = nullptr;
  const char* echo_out = nullptr;
  bool read = false;
  std::string connect_to = "127.0.0.1";
  for (int i = 3; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--ca" && i + 1 < argc) {
      params.ca_file = argv[++i];
    } else if (option == "--no-verify") {
      params.verify = false;
    } else if (option == "--timeout" && i + 1 < argc) {
      timeout = std::atoi(argv[++i]);
    } else if (option == "--connect" && i + 1 < argc) {
      connect_to = argv[++i];
    } else if (option == "--read") {
      read = true;
    } else if (option == "--echo" && i + 2 < argc) {
      echo_in = argv[++i];
      echo_out = argv[++i];
    } else {
      std::fprintf(stderr, "tls_client: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  platform::NetAddress address;
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 0;
  if (!platform::net_startup() || !platform::parse_address(connect_to, &address) ||
      platform::connect_any({address}, static_cast<uint16_t>(port), 250, timeout, &socket,
                            &winner) != platform::ConnectStatus::kConnected) {
    std::printf("no connection\n");
    return 8;
  }
  std::string summary;
  platform::TlsSession* session = platform::tls_handshake(socket, params, timeout, &summary);
  if (session == nullptr) {
    std::printf("handshake failed: %s\n", summary.c_str());
    platform::close_socket(socket);
    return 24;
  }
  std::printf("handshake ok: %s\n", summary.c_str());
  int status = 0;
  if (echo_in != nullptr) status = echo(session, echo_in, echo_out, timeout);
  if (read) {
    status = read_all(session, timeout);
    platform::tls_free(session);
  } else if (status == 0) {
    platform::tls_close(session, 3000);
    std::printf("closed\n");
  } else {
    platform::tls_free(session);
  }
  platform::close_socket(socket);
  platform::net_cleanup();
  return status;
}
