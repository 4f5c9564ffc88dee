// HTTPS form POSTs through WinHTTP, the system's HTTP client (a system DLL, so the program
// still ships alone), for the OAuth 2.0 token endpoints.
//
// The server's certificate is judged here, with the same judgement as the mail connections
// (certificate_win32.h): the chain, its use, the name or address, against the system's
// roots or the CA file, as SSL_VERIFY and SSL_CA_FILE say. WinHTTP checks as well, during
// the handshake, all it can judge alike: it is relaxed only for the roots of a CA file,
// which it cannot know, and for an address, which not every WinHTTP matches against the
// certificate. The body goes out only after the own judgement: the request is sent with
// its headers alone, the certificate is judged, then the body is written; it holds a
// refresh token or an authorization code. With a CA file, whose roots WinHTTP cannot know,
// the platform's own TLS session first makes a handshake with the server and judges it, so
// that a server the file does not vouch for gets no request at all.
//
// The deadline: WinHTTP bounds each wait on its own, not the exchange as a whole, so every
// wait gets what is left of the deadline, and the time left is checked between them. The
// wait for the reply's headers is bounded through its own option, the one some WinHTTP
// implementations honour where they ignore the general receive time-out.
#include "platform/windows_api.h"
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/certificate_win32.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "platform/tls.h"

namespace platform {

namespace {

// Errors a blocked socket call reports through WinHTTP as they are.
constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT

// Closes a WinHTTP handle when it goes; the request goes before its connection, the
// connection before its session (declared in that order, they end in the reverse one).
class Internet {
 public:
  explicit Internet(HINTERNET handle) : handle_(handle) {}
  ~Internet() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

class Deadline {
 public:
  explicit Deadline(int timeout_ms)
      : start_(tick_count()), limit_(static_cast<uint32_t>(timeout_ms > 0 ? timeout_ms : 0)) {}
  // Milliseconds left, at least 1 while any is (WinHTTP reads 0 as "no limit").
  int left() const {
    uint32_t spent = tick_count() - start_;
    return spent >= limit_ ? 0 : static_cast<int>(limit_ - spent);
  }

 private:
  uint32_t start_;
  uint32_t limit_;
};

// Printable ASCII of wide text; anything else becomes '?', so a detail stays one line.
std::string printable(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

bool same_ascii(const std::wstring& text, const wchar_t* word) {
  std::size_t length = std::wcslen(word);
  if (text.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    wchar_t c = text[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != word[i]) return false;
  }
  return true;
}

// The loopback names and addresses: 127.0.0.0/8, ::1 and localhost. A request to them goes
// straight there: through a proxy it would reach the proxy's own machine.
bool is_loopback(const std::wstring& host) {
  if (same_ascii(host, L"localhost") || host == L"::1" || host == L"[::1]") return true;
  if (host.compare(0, 4, L"127.") != 0) return false;
  int dots = 0;
  for (wchar_t c : host) {
    if (c == L'.') {
      ++dots;
    } else if (c < L'0' || c > L'9') {
      return false;
    }
  }
  return dots == 3;
}

HttpStatus status_of(DWORD error, const Deadline& deadline) {
  if (deadline.left() == 0 || error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) {
    return HttpStatus::kTimedOut;
  }
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return HttpStatus::kConnectFailed;
    // Some implementations report every certificate or handshake fault as the channel
    // error, without the finer codes.
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return HttpStatus::kTlsFailed;
    default:
      break;
  }
  return HttpStatus::kFailed;
}

HttpResponse failure(HttpStatus status, const std::string& detail) {
  HttpResponse response;
  response.status = status;
  response.detail = detail;
  return response;
}

// The failure of a WinHTTP call made while doing what.
HttpResponse call_failed(const char* doing, const Deadline& deadline) {
  DWORD error = GetLastError();
  HttpStatus status = status_of(error, deadline);
  if (status == HttpStatus::kTimedOut) {
    return failure(status, std::string("no answer in time while ") + doing);
  }
  char text[96];
  std::snprintf(text, sizeof text, " (WinHTTP error %lu)", static_cast<unsigned long>(error));
  if (status == HttpStatus::kTlsFailed) {
    return failure(status, std::string("the TLS handshake or the server's certificate was refused") + text);
  }
  return failure(status, std::string(doing) + " failed" + text);
}

// Every wait of the request bounded by what is left of the deadline.
void bound_waits(HINTERNET request, const Deadline& deadline) {
  int left = std::max(deadline.left(), 1);
  WinHttpSetTimeouts(request, left, left, left, left);
  DWORD value = static_cast<DWORD>(left);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, sizeof value);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, sizeof value);
}

// The session: the system's proxy settings (those of the user and of WPAD where the
// system has the automatic mode, Windows 8.1 on; WinHTTP's own before), none for loopback.
HINTERNET open_session(bool loopback) {
  const wchar_t kAgent[] = L"VORNA";
  HINTERNET session = nullptr;
  if (loopback) {
    session = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  } else {
    session = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
      session = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    }
  }
  if (session == nullptr) return nullptr;
  // TLS 1.2 at least, as for the mail connections; 1.3 where the system has it.
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  return session;
}

// The host as the certificate check and the name lookup take it: an IPv6 address without
// the brackets it has in a URL.
std::string bare_host(const std::wstring& host) {
  if (host.size() > 2 && host.front() == L'[' && host.back() == L']') {
    return printable(host.substr(1, host.size() - 2));
  }
  return printable(host);
}

// A literal IPv4 or IPv6 address rather than a name.
bool is_address(const std::wstring& host) {
  if (host.find(L':') != std::wstring::npos) return true;
  int dots = 0;
  for (wchar_t c : host) {
    if (c == L'.') {
      ++dots;
    } else if (c < L'0' || c > L'9') {
      return false;
    }
  }
  return dots == 3;
}

// The request's own settings: no redirect followed, no cookies kept, no logon with the
// user's Windows credentials; for https, WinHTTP's certificate checks relaxed where the
// own check alone can judge.
void configure(HINTERNET request, bool secure, const std::wstring& host, const HttpParams& params) {
  DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
  DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);
  if (!secure) return;
  DWORD relaxed = 0;
  if (!params.verify) {
    relaxed = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
              SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
  } else {
    if (!params.ca_file.empty()) relaxed |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (is_address(host)) relaxed |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  }
  if (relaxed != 0) {
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &relaxed, sizeof relaxed);
  }
  // A server that asks for a client certificate goes on without one.
  WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0);
}

// The own judgement of the certificate the server presented; empty when accepted.
std::string judge_certificate(HINTERNET request, const std::wstring& host, const HttpParams& params,
                              HCERTSTORE roots) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
      certificate == nullptr) {
    return "the server's certificate cannot be had";
  }
  TlsParams tls;
  tls.host = bare_host(host);
  tls.verify = true;
  tls.ca_file = params.ca_file;
  std::string subject;
  std::string fault = win32::check_certificate(certificate, tls, roots, &subject);
  CertFreeCertificateContext(certificate);
  return fault.empty() ? fault : subject + ": " + fault;
}

// The handshake of the platform's own TLS session with host:port, judged as the mail
// connections are: kTlsFailed (or kTimedOut) and *why when refused, kOk when accepted or
// when the server cannot be reached directly (a proxy in the way: the check after
// WinHTTP's handshake then guards the body alone). The direct attempt takes at most half
// of what is left of the deadline.
HttpStatus judge_in_advance(const std::wstring& host, INTERNET_PORT port, const HttpParams& params,
                            const Deadline& deadline, std::string* why) {
  const std::string name = bare_host(host);
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return HttpStatus::kOk;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  HttpStatus verdict = HttpStatus::kOk;
  if (getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
    const uint32_t limit = tick_count() + static_cast<uint32_t>(deadline.left() / 2);
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
      SOCKET attempt = socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
      if (attempt == INVALID_SOCKET) continue;
      u_long non_blocking = 1;
      ioctlsocket(attempt, FIONBIO, &non_blocking);
      bool connected = connect(attempt, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0;
      if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        int32_t left = static_cast<int32_t>(limit - tick_count());
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(attempt, &writable);
        FD_SET(attempt, &failed);
        timeval wait{};
        wait.tv_sec = left > 0 ? left / 1000 : 0;
        wait.tv_usec = left > 0 ? (left % 1000) * 1000 : 0;
        connected = select(0, nullptr, &writable, &failed, &wait) == 1 && FD_ISSET(attempt, &writable);
      }
      if (connected) {
        TlsParams tls;
        tls.host = name;
        tls.ca_file = params.ca_file;
        std::string summary;
        TlsSession* session = tls_handshake(static_cast<Socket>(attempt), tls,
                                            std::max(deadline.left(), 1), &summary);
        if (session != nullptr) {
          tls_close(session, 500);
        } else {
          verdict = deadline.left() == 0 ? HttpStatus::kTimedOut : HttpStatus::kTlsFailed;
          *why = summary;
        }
        closesocket(attempt);
        break;
      }
      closesocket(attempt);
    }
    freeaddrinfo(found);
  }
  WSACleanup();
  return verdict;
}

class CaStore {
 public:
  CaStore() = default;
  ~CaStore() {
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }
  CaStore(const CaStore&) = delete;
  CaStore& operator=(const CaStore&) = delete;
  HCERTSTORE* out() { return &store_; }
  HCERTSTORE get() const { return store_; }

 private:
  HCERTSTORE store_ = nullptr;
};

}  // namespace

HttpResponse http_post_form(const std::string& url, const std::string& body,
                            const HttpParams& params) {
  Deadline deadline(params.timeout_ms);

  std::wstring wide_url = win32::widen(url);
  URL_COMPONENTS parts;
  std::memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (wide_url.empty() ||
      !WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), 0, &parts) ||
      parts.dwHostNameLength == 0) {
    return failure(HttpStatus::kFailed, "the URL cannot be read");
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return failure(HttpStatus::kFailed, "only http:// and https:// URLs are taken");
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  if (body.size() > 0xFFFFFFFEu) return failure(HttpStatus::kFailed, "the request is too large");

  // The CA file is read before anything is sent, so that a bad one ends the attempt with
  // nothing on the wire.
  CaStore roots;
  if (secure && params.verify && !params.ca_file.empty()) {
    std::string why;
    *roots.out() = win32::load_ca_file(params.ca_file, &why);
    if (roots.get() == nullptr) return failure(HttpStatus::kTlsFailed, why);
    HttpStatus verdict = judge_in_advance(host, parts.nPort, params, deadline, &why);
    if (verdict != HttpStatus::kOk) return failure(verdict, why);
  }

  Internet session(open_session(is_loopback(host)));
  if (session.get() == nullptr) return call_failed("starting WinHTTP", deadline);
  int left = std::max(deadline.left(), 1);
  WinHttpSetTimeouts(session.get(), left, left, left, left);
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (connection.get() == nullptr) return call_failed("preparing the connection", deadline);
  Internet request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      secure ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) return call_failed("preparing the request", deadline);
  configure(request.get(), secure, host, params);

  // The headers alone: the connection and the handshake are made, nothing of the body is
  // sent yet.
  const wchar_t kHeaders[] =
      L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  bound_waits(request.get(), deadline);
  if (!WinHttpSendRequest(request.get(), kHeaders, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                          0, static_cast<DWORD>(body.size()), 0)) {
    return call_failed(secure ? "connecting (TLS)" : "connecting", deadline);
  }
  if (secure && params.verify) {
    std::string fault = judge_certificate(request.get(), host, params, roots.get());
    if (!fault.empty()) return failure(HttpStatus::kTlsFailed, fault);
  }

  for (std::size_t done = 0; done < body.size();) {
    if (deadline.left() == 0) return failure(HttpStatus::kTimedOut, "no answer in time while sending");
    bound_waits(request.get(), deadline);
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(body.size() - done, 64 * 1024));
    DWORD written = 0;
    if (!WinHttpWriteData(request.get(), body.data() + done, piece, &written) || written == 0) {
      return call_failed("sending the request", deadline);
    }
    done += written;
  }

  bound_waits(request.get(), deadline);
  if (!WinHttpReceiveResponse(request.get(), nullptr)) {
    return call_failed("receiving the reply", deadline);
  }
  DWORD code = 0;
  DWORD code_size = sizeof code;
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return failure(HttpStatus::kFailed, "the reply has no status code");
  }

  HttpResponse response;
  std::vector<char> block(16 * 1024);
  for (;;) {
    if (deadline.left() == 0) return failure(HttpStatus::kTimedOut, "the reply did not end in time");
    bound_waits(request.get(), deadline);
    // Asked first what has come: a read of more may wait until that much has come, which
    // a slow server could stretch past the deadline.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) {
      return call_failed("receiving the reply", deadline);
    }
    if (available == 0) break;
    DWORD got = 0;
    DWORD wanted = std::min<DWORD>(available, static_cast<DWORD>(block.size()));
    if (!WinHttpReadData(request.get(), block.data(), wanted, &got)) {
      return call_failed("receiving the reply", deadline);
    }
    if (got == 0) break;
    if (response.body.size() + got > params.max_body) {
      return failure(HttpStatus::kTooLarge, "the reply is larger than " +
                                                std::to_string(params.max_body) + " bytes");
    }
    response.body.append(block.data(), got);
  }
  response.status = HttpStatus::kOk;
  response.http_status = static_cast<long>(code);
  return response;
}

}  // namespace platform
