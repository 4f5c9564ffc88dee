// TLS on a connected socket, behind one interface: tls_posix.cpp implements it with
// OpenSSL, tls_win32.cpp with SChannel and the Windows certificate chain engine; CMake
// compiles exactly one of them. No other folder includes a TLS library header. Like the
// rest of the platform layer, functions report failure by their result; which error code
// a failure becomes is the caller's business.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace platform {

struct TlsSession;

struct TlsParams {
  // The server as the user named it: a DNS name is sent as SNI and must match the
  // certificate; a dotted IPv4 address is not sent and must match an iPAddress entry.
  std::string host;
  // False: encrypt without checking the chain or the name.
  bool verify = true;
  // Empty: the system's trusted roots; else a PEM file of CA certificates trusted
  // instead of them. A file that is missing, unreadable or holds no certificate fails.
  std::string ca_file;
};

// Runs the client handshake on a connected socket with one deadline of timeout_ms for the
// whole of it. TLS 1.2 is the lowest version accepted; versions and ciphers are the
// library's choice. On success returns the session and sets *summary to one ASCII line
// naming the protocol version, the cipher and how the certificate was judged (for
// example "TLSv1.3 TLS_AES_256_GCM_SHA384, CN=localhost, verified"). On failure (refused
// chain or name, a peer that is not speaking TLS, closes or stalls, a bad CA file)
// returns nullptr and *summary says why, in one ASCII line.
TlsSession* tls_handshake(Socket socket, const TlsParams& params, int timeout_ms,
                          std::string* summary);

enum class TlsIo {
  kOk,        // data moved
  kClosed,    // the peer closed (close_notify or end of the stream)
  kError,     // the socket failed
  kTimeout,   // nothing could move within the time limit
  kProtocol,  // the TLS layer reported a protocol failure (a bad record, an alert)
};

// Encrypts and sends up to length bytes, waiting at most timeout_ms for the connection to
// accept them. Large data goes out in full-size records, many to one system call.
// Returns the number of plaintext bytes taken (at least 1, all of them sent) with
// *status kOk, or 0 with *status saying why.
std::size_t tls_send_some(TlsSession* session, const char* data, std::size_t length,
                          int timeout_ms, TlsIo* status);

// Receives up to capacity bytes of plaintext, waiting at most timeout_ms. *received is
// set for kOk.
TlsIo tls_recv_some(TlsSession* session, char* buffer, std::size_t capacity, int timeout_ms,
                    std::size_t* received);

// Sends close_notify, waits at most timeout_ms for the peer's, and frees the session.
// The socket stays open; closing it is the caller's business.
void tls_close(TlsSession* session, int timeout_ms);

// Frees the session without any exchange (after a failure).
void tls_free(TlsSession* session);

}  // namespace platform
