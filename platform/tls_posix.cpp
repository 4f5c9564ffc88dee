// TLS over a connected POSIX socket with OpenSSL 3. The socket stays in blocking mode for
// the rest of the program; this file moves bytes with non-blocking calls (MSG_DONTWAIT)
// through a small BIO of its own, so that:
// - no write can raise SIGPIPE (MSG_NOSIGNAL), whatever the process's signal settings;
// - the records OpenSSL produces are gathered and handed to the socket many at a time;
// - every wait is a poll() with what is left of the caller's time limit.
#include "platform/tls.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

namespace {

// Plaintext taken into one SSL_write_ex call: the records it makes go out together.
constexpr std::size_t kSendChunk = 256 * 1024;
// What the close waits for the peer's close_notify at most, whatever the caller allows.
constexpr int kCloseWaitMs = 2000;

}  // namespace

struct TlsSession {
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  // Encrypted bytes made by OpenSSL and not yet taken by the socket.
  std::vector<char> pending;
  std::size_t pending_start = 0;
  // What the socket said last: the peer closed, or a system error (errno kept).
  bool peer_closed = false;
  int system_error = 0;
};

namespace {

// ---------------------------------------------------------------- the socket BIO

// Writes only gather: the session's pending bytes go to the socket in flush_pending.
int bio_write(BIO* bio, const char* data, int length) {
  TlsSession* session = static_cast<TlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (length <= 0) return 0;
  session->pending.insert(session->pending.end(), data, data + length);
  return length;
}

int bio_read(BIO* bio, char* buffer, int capacity) {
  TlsSession* session = static_cast<TlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (capacity <= 0) return 0;
  for (;;) {
    ssize_t count = recv(session->fd, buffer, static_cast<std::size_t>(capacity), MSG_DONTWAIT);
    if (count > 0) return static_cast<int>(count);
    if (count == 0) {
      session->peer_closed = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      BIO_set_retry_read(bio);
      return -1;
    }
    session->system_error = errno;
    return -1;
  }
}

long bio_ctrl(BIO*, int command, long, void*) {
  // OpenSSL flushes after each flight; the caller's flush_pending does the real work.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method() {
  static BIO_METHOD* method = nullptr;
  static std::once_flag made;
  std::call_once(made, [] {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vorna socket");
    if (method == nullptr) return;
    BIO_meth_set_write(method, bio_write);
    BIO_meth_set_read(method, bio_read);
    BIO_meth_set_ctrl(method, bio_ctrl);
  });
  return method;
}

// ---------------------------------------------------------------- waiting

struct Deadline {
  uint32_t start = tick_count();
  int limit_ms;
  explicit Deadline(int limit) : limit_ms(limit < 0 ? 0 : limit) {}
  int remaining() const {
    uint32_t spent = tick_count() - start;
    return spent >= static_cast<uint32_t>(limit_ms) ? 0 : limit_ms - static_cast<int>(spent);
  }
};

// Waits for the events; false on time-out or a failed poll.
bool wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    int left = deadline.remaining();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, left);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

// Hands the gathered records to the socket, waiting within the deadline.
TlsIo flush_pending(TlsSession* session, const Deadline& deadline) {
  while (session->pending_start < session->pending.size()) {
    const char* data = session->pending.data() + session->pending_start;
    std::size_t length = session->pending.size() - session->pending_start;
    ssize_t sent = send(session->fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      session->pending_start += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(session->fd, POLLOUT, deadline)) return TlsIo::kTimeout;
      continue;
    }
    session->system_error = sent < 0 ? errno : EPIPE;
    return TlsIo::kError;
  }
  session->pending.clear();
  session->pending_start = 0;
  return TlsIo::kOk;
}

// The first error on OpenSSL's queue as one line; the queue is emptied.
std::string library_error() {
  unsigned long code = ERR_get_error();
  std::string text;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

// Judges a failed OpenSSL call on a session whose handshake is done.
TlsIo failure_of(TlsSession* session, int result) {
  int error = SSL_get_error(session->ssl, result);
  if (error == SSL_ERROR_ZERO_RETURN) return TlsIo::kClosed;
  if (session->peer_closed) {
    // The peer ended the stream without close_notify: for the caller, a closed connection.
    ERR_clear_error();
    return TlsIo::kClosed;
  }
  if (error == SSL_ERROR_SYSCALL) {
    ERR_clear_error();
    return TlsIo::kError;
  }
  ERR_clear_error();
  return TlsIo::kProtocol;
}

// "CN=localhost" and the like, in ASCII (other bytes escaped).
std::string subject_of(X509* certificate) {
  // RFC 2253 form, which escapes every byte above 0x7F as \XX; anything else outside
  // printable ASCII that remains becomes "?".
  std::string text;
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory == nullptr) return text;
  X509_NAME_print_ex(memory, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  long length = BIO_get_mem_data(memory, &data);
  if (length > 0 && data != nullptr) text.assign(data, static_cast<std::size_t>(length));
  BIO_free(memory);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return text;
}

// Sets up the context and the session; false with *why on failure.
bool prepare(TlsSession* session, const TlsParams& params, std::string* why) {
  session->context = SSL_CTX_new(TLS_client_method());
  if (session->context == nullptr) {
    *why = "TLS library: " + library_error();
    return false;
  }
  SSL_CTX* context = session->context;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A server's request to renegotiate is declined; mail servers do not need it.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  if (params.ca_file.empty()) {
    SSL_CTX_set_default_verify_paths(context);
  } else if (SSL_CTX_load_verify_locations(context, params.ca_file.c_str(), nullptr) != 1) {
    std::string detail = library_error();
    *why = "CA file " + params.ca_file + " cannot be used" +
           (detail.empty() ? std::string() : ": " + detail);
    return false;
  }
  SSL_CTX_set_verify(context, params.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

  session->ssl = SSL_new(context);
  BIO* bio = socket_method() ? BIO_new(socket_method()) : nullptr;
  if (session->ssl == nullptr || bio == nullptr) {
    if (bio != nullptr) BIO_free(bio);
    *why = "TLS library: " + library_error();
    return false;
  }
  BIO_set_data(bio, session);
  BIO_set_init(bio, 1);
  SSL_set_bio(session->ssl, bio, bio);

  // The name check is OpenSSL's own: a DNS name against the certificate's names, an IP
  // address against its iPAddress entries. Only a name goes out as SNI. The address is
  // handed over as the bytes that were connected to, so an IPv4 text in any form that
  // inet_addr reads ("127.1") and an IPv6 text in brackets are checked alike.
  X509_VERIFY_PARAM* check = SSL_get0_param(session->ssl);
  X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  NetAddress literal;
  if (parse_address(params.host, &literal)) {
    const std::size_t length = literal.family == 6 ? 16 : 4;
    if (params.verify && X509_VERIFY_PARAM_set1_ip(check, literal.bytes, length) != 1) {
      *why = "cannot check the address " + params.host;
      return false;
    }
  } else {
    SSL_set_tlsext_host_name(session->ssl, params.host.c_str());
    if (params.verify && SSL_set1_host(session->ssl, params.host.c_str()) != 1) {
      *why = "cannot check the name " + params.host;
      return false;
    }
  }
  return true;
}

// Why a handshake failed, in one line.
std::string handshake_failure(TlsSession* session, int result) {
  int error = SSL_get_error(session->ssl, result);
  long verdict = SSL_get_verify_result(session->ssl);
  std::string detail = library_error();
  if (verdict != X509_V_OK) {
    return std::string("certificate not accepted: ") + X509_verify_cert_error_string(verdict);
  }
  if (session->peer_closed) return "the server closed the connection during the handshake";
  if (session->system_error != 0 || error == SSL_ERROR_SYSCALL) {
    return "the connection failed during the handshake (errno " +
           std::to_string(session->system_error) + ")";
  }
  return "handshake failed: " + (detail.empty() ? std::string("unknown reason") : detail);
}

}  // namespace

TlsSession* tls_handshake(Socket socket, const TlsParams& params, int timeout_ms,
                          std::string* summary) {
  // The library is never torn down at exit: a POP3 login thread abandoned after its time
  // limit may still be inside it while the process ends.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  OPENSSL_init_ssl(0, nullptr);
  ERR_clear_error();

  TlsSession* session = new TlsSession;
  session->fd = static_cast<int>(socket);
  if (!prepare(session, params, summary)) {
    tls_free(session);
    return nullptr;
  }

  Deadline deadline(timeout_ms);
  for (;;) {
    int result = SSL_connect(session->ssl);
    TlsIo flushed = flush_pending(session, deadline);
    if (flushed == TlsIo::kTimeout) {
      *summary = "handshake: no progress within " + std::to_string(timeout_ms) + " ms";
      tls_free(session);
      return nullptr;
    }
    if (result == 1 && flushed == TlsIo::kOk) break;
    int error = SSL_get_error(session->ssl, result);
    if (result != 1 && error == SSL_ERROR_WANT_READ && flushed == TlsIo::kOk) {
      if (!wait_for(session->fd, POLLIN, deadline)) {
        *summary = "handshake: no progress within " + std::to_string(timeout_ms) + " ms";
        tls_free(session);
        return nullptr;
      }
      continue;
    }
    *summary = handshake_failure(session, result);
    tls_free(session);
    return nullptr;
  }

  std::string line = std::string(SSL_get_version(session->ssl)) + " " +
                     SSL_get_cipher_name(session->ssl);
  X509* peer = SSL_get1_peer_certificate(session->ssl);
  if (peer != nullptr) {
    line += ", " + subject_of(peer);
    X509_free(peer);
  }
  if (params.verify) {
    line += ", verified";
    line += params.ca_file.empty() ? " (system roots)" : " (CA file)";
  } else {
    line += ", not verified (SSL_VERIFY=0)";
  }
  *summary = line;
  return session;
}

std::size_t tls_send_some(TlsSession* session, const char* data, std::size_t length,
                          int timeout_ms, TlsIo* status) {
  Deadline deadline(timeout_ms);
  std::size_t take = length < kSendChunk ? length : kSendChunk;
  std::size_t written = 0;
  while (written < take) {
    std::size_t count = 0;
    int result = SSL_write_ex(session->ssl, data + written, take - written, &count);
    if (result == 1) {
      written += count;
      continue;
    }
    // The BIO never refuses a write, so a failure here is the session's own.
    *status = failure_of(session, result);
    return 0;
  }
  *status = flush_pending(session, deadline);
  return *status == TlsIo::kOk ? take : 0;
}

TlsIo tls_recv_some(TlsSession* session, char* buffer, std::size_t capacity, int timeout_ms,
                    std::size_t* received) {
  Deadline deadline(timeout_ms);
  for (;;) {
    // Read first: a record OpenSSL already holds makes no socket readable.
    std::size_t count = 0;
    int result = SSL_read_ex(session->ssl, buffer, capacity, &count);
    // Alerts or other answers made while reading go out at once.
    TlsIo flushed = flush_pending(session, deadline);
    if (result == 1) {
      *received = count;
      return TlsIo::kOk;
    }
    if (flushed != TlsIo::kOk) return flushed;
    if (SSL_get_error(session->ssl, result) == SSL_ERROR_WANT_READ) {
      if (!wait_for(session->fd, POLLIN, deadline)) return TlsIo::kTimeout;
      continue;
    }
    return failure_of(session, result);
  }
}

void tls_close(TlsSession* session, int timeout_ms) {
  if (session == nullptr) return;
  Deadline deadline(timeout_ms < kCloseWaitMs ? timeout_ms : kCloseWaitMs);
  if (SSL_shutdown(session->ssl) >= 0 && flush_pending(session, deadline) == TlsIo::kOk) {
    // Reads until the peer's close_notify, its TCP close or the end of the wait.
    char discard[4096];
    for (;;) {
      std::size_t count = 0;
      if (SSL_read_ex(session->ssl, discard, sizeof discard, &count) == 1) continue;
      if (SSL_get_error(session->ssl, 0) != SSL_ERROR_WANT_READ) break;
      if (!wait_for(session->fd, POLLIN, deadline)) break;
    }
  }
  ERR_clear_error();
  tls_free(session);
}

void tls_free(TlsSession* session) {
  if (session == nullptr) return;
  if (session->ssl != nullptr) SSL_free(session->ssl);  // frees the BIO too
  if (session->context != nullptr) SSL_CTX_free(session->context);
  ERR_clear_error();
  delete session;
}

}  // namespace platform
