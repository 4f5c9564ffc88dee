// The OpenSSL session layer against an in-process OpenSSL server on a socket pair: bulk
// data both ways, what a broken or vanished peer turns into, and the bounded waits.
#include "platform/tls.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// A server context with a throw-away self-signed certificate for localhost.
SSL_CTX* make_server_context() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(context, cert);
  SSL_CTX_use_PrivateKey(context, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return context;
}

// A client socket, and a server thread that runs `serve` on an accepted TLS session.
class TlsPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client_ = fds[0];
    server_fd_ = fds[1];
    context_ = make_server_context();
  }
  void TearDown() override {
    if (server_.joinable()) server_.join();
    if (session_ != nullptr) platform::tls_free(session_);
    close(client_);
    if (server_fd_ >= 0) close(server_fd_);
    SSL_CTX_free(context_);
  }

  template <typename Serve>
  void start_server(Serve serve) {
    server_ = std::thread([this, serve] {
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, server_fd_);
      if (SSL_accept(ssl) == 1) serve(ssl);
      SSL_free(ssl);
    });
  }

  bool handshake(bool verify = false, const std::string& ca_file = "") {
    platform::TlsParams params;
    params.host = "localhost";
    params.verify = verify;
    params.ca_file = ca_file;
    session_ = platform::tls_handshake(client_, params, 10000, &summary_);
    return session_ != nullptr;
  }

  void close_server_socket() {
    shutdown(server_fd_, SHUT_RDWR);
  }

  int client_ = -1;
  int server_fd_ = -1;
  SSL_CTX* context_ = nullptr;
  std::thread server_;
  platform::TlsSession* session_ = nullptr;
  std::string summary_;
};

TEST_F(TlsPair, BulkDataBothWaysAndTheSummary) {
  constexpr std::size_t kTotal = 3 * 1024 * 1024 + 17;
  std::size_t server_got = 0;
  unsigned server_sum = 0;
  start_server([&](SSL* ssl) {
    char buffer[16384];
    std::size_t count = 0;
    while (server_got < kTotal && SSL_read_ex(ssl, buffer, sizeof buffer, &count) == 1) {
      for (std::size_t i = 0; i < count; ++i) server_sum += static_cast<unsigned char>(buffer[i]);
      server_got += count;
    }
    std::string reply(100000, 'r');
    SSL_write_ex(ssl, reply.data(), reply.size(), &count);
    SSL_shutdown(ssl);
  });
  ASSERT_TRUE(handshake()) << summary_;
  EXPECT_NE(summary_.find("TLSv1."), std::string::npos) << summary_;
  EXPECT_NE(summary_.find("CN=localhost, not verified (SSL_VERIFY=0)"), std::string::npos)
      << summary_;

  std::vector<char> data(kTotal);
  unsigned sum = 0;
  for (std::size_t i = 0; i < kTotal; ++i) {
    data[i] = static_cast<char>(i * 7 + (i >> 11));
    sum += static_cast<unsigned char>(data[i]);
  }
  std::size_t sent = 0;
  while (sent < kTotal) {
    platform::TlsIo status = platform::TlsIo::kError;
    std::size_t n = platform::tls_send_some(session_, data.data() + sent, kTotal - sent, 10000,
                                            &status);
    ASSERT_EQ(status, platform::TlsIo::kOk);
    ASSERT_GT(n, 0u);
    sent += n;
  }
  std::size_t received = 0;
  char buffer[4096];
  for (;;) {
    std::size_t count = 0;
    platform::TlsIo status = platform::tls_recv_some(session_, buffer, sizeof buffer, 10000, &count);
    if (status != platform::TlsIo::kOk) {
      EXPECT_EQ(status, platform::TlsIo::kClosed) << "the server's close_notify";
      break;
    }
    received += count;
  }
  EXPECT_EQ(received, 100000u);
  server_.join();
  EXPECT_EQ(server_got, kTotal);
  EXPECT_EQ(server_sum, sum);
  platform::tls_close(session_, 1000);
  session_ = nullptr;
}

TEST_F(TlsPair, GarbageRecordAfterTheHandshakeIsAProtocolFailure) {
  start_server([&](SSL*) {
    // An application-data record header and bytes that do not decrypt.
    const char junk[] = "\x17\x03\x03\x00\x20" "0123456789abcdef0123456789abcdef";
    ASSERT_EQ(write(server_fd_, junk, sizeof junk - 1), static_cast<ssize_t>(sizeof junk - 1));
  });
  ASSERT_TRUE(handshake()) << summary_;
  char buffer[64];
  std::size_t count = 0;
  EXPECT_EQ(platform::tls_recv_some(session_, buffer, sizeof buffer, 5000, &count),
            platform::TlsIo::kProtocol);
}

TEST_F(TlsPair, VanishedPeerIsClosedAndSendingToItRaisesNoSignal) {
  start_server([&](SSL*) { close_server_socket(); });
  ASSERT_TRUE(handshake()) << summary_;
  server_.join();
  char buffer[64];
  std::size_t count = 0;
  EXPECT_EQ(platform::tls_recv_some(session_, buffer, sizeof buffer, 5000, &count),
            platform::TlsIo::kClosed);
  // SIGPIPE keeps its default action in this process: a signal would end the test run.
  std::string text(65536, 'x');
  platform::TlsIo status = platform::TlsIo::kOk;
  for (int i = 0; i < 20 && status == platform::TlsIo::kOk; ++i) {
    platform::tls_send_some(session_, text.data(), text.size(), 2000, &status);
  }
  EXPECT_NE(status, platform::TlsIo::kOk);
}

TEST_F(TlsPair, SilentPeerRunsIntoTheTimeLimits) {
  // Nobody answers the ClientHello.
  auto started = std::chrono::steady_clock::now();
  platform::TlsParams params;
  params.host = "localhost";
  params.verify = false;
  EXPECT_EQ(platform::tls_handshake(client_, params, 300, &summary_), nullptr);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_NE(summary_.find("no progress"), std::string::npos) << summary_;
}

TEST_F(TlsPair, UnusableCaFileAndUntrustedCertificateFail) {
  std::string scratch = std::string(::testing::TempDir()) + "vorna_not_pem_" +
                        std::to_string(getpid());
  std::FILE* file = std::fopen(scratch.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("not a certificate\n", file);
  std::fclose(file);
  EXPECT_FALSE(handshake(true, scratch));
  EXPECT_NE(summary_.find("CA file"), std::string::npos) << summary_;
  std::remove(scratch.c_str());

  // The throw-away certificate is signed by nobody the system trusts.
  start_server([](SSL*) {});
  EXPECT_FALSE(handshake(true));
  EXPECT_NE(summary_.find("certificate not accepted"), std::string::npos) << summary_;
  close_server_socket();
}

}  // namespace
