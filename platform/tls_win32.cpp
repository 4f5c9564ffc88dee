// Windows implementation of the TLS session: SChannel (the system's own TLS, through the
// security support provider interface) on the connection's non-blocking socket, and the
// CryptoAPI chain engine for the server's certificate. Only system DLLs are used: secur32
// and crypt32.
//
// SChannel is told to leave the certificate alone (manual validation): the chain is built
// and judged here, against the system's roots or against a CA file loaded into a store of
// its own, the host name is checked by the system's SSL chain policy, and an IP address
// (IPv4 or IPv6) is matched against the certificate's iPAddress entries. Judging the chain
// status here, rather than trusting the policy's verdict alone, also holds where a policy
// lets a chain that ends at no root through. The protocol version is checked after the
// handshake, as a provider may not honour the versions it is asked to disable.
//
// Every wait is a select() through the socket functions of the platform layer, bounded by
// the caller's time-out.

#undef UNICODE
#undef _UNICODE
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// Makes schannel.h declare SCH_CREDENTIALS and TLS_PARAMETERS (credentials that name the
// versions to disable, the form that allows TLS 1.3).
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <winternl.h>  // UNICODE_STRING, used by SCH_CREDENTIALS
#include <schannel.h>
#include <security.h>

#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "platform/tls.h"
#include "platform/certificate_win32.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

namespace {

// The largest TLS record on the wire: 2^14 bytes of content plus the most any version
// adds for its protection (2048), plus the 5-byte header. A record that claims more is
// not TLS, or is hostile.
constexpr std::size_t kMaxRecord = 5 + 16384 + 2048;
// Handshake messages may span many records (a long certificate chain); received bytes
// beyond this before the handshake completes are refused.
constexpr std::size_t kMaxHandshakeBytes = 256 * 1024;
// Plaintext bytes collected into one send(): each record is encrypted into one buffer and
// the buffer goes out in one call, as one call per 16 KB record is slow on some systems.
constexpr std::size_t kSendBatch = 1024 * 1024;
// Room asked of the socket for each receive.
constexpr std::size_t kRecvRoom = 32 * 1024;

constexpr DWORD kRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// Protocol bits (client side) that count as TLS 1.2 and TLS 1.3; older ones are refused.
#ifndef SP_PROT_TLS1_3_CLIENT
#define SP_PROT_TLS1_3_CLIENT 0x00002000
#endif
// The SSL policy's flag that skips the name check (declared with the internet functions).
#ifndef SECURITY_FLAG_IGNORE_CERT_CN_INVALID
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#endif

}  // namespace

struct TlsSession {
  Socket platform_socket = kInvalidSocket;
  CredHandle credentials{};
  bool have_credentials = false;
  CtxtHandle context{};
  bool have_context = false;
  std::string target;  // the SNI name, empty for an address
  SecPkgContext_StreamSizes sizes{};
  // Received bytes not yet decrypted (the start of the next records).
  std::vector<char> incoming;
  // Decrypted bytes not yet handed to the caller.
  std::vector<char> plain;
  std::size_t plain_offset = 0;
  // Encrypted records waiting for one send().
  std::vector<char> outgoing;
  // The server's certificate as it was verified, to compare after a renegotiation.
  std::vector<unsigned char> peer_certificate;
  bool peer_closed = false;
};

namespace {

// ---------------------------------------------------------------- time and text

// Milliseconds left until deadline (a tick count); 0 when it has passed.
int remaining_ms(uint32_t deadline) {
  int32_t left = static_cast<int32_t>(deadline - tick_count());
  return left > 0 ? left : 0;
}

uint32_t deadline_after(int timeout_ms) {
  return tick_count() + static_cast<uint32_t>(timeout_ms > 0 ? timeout_ms : 0);
}

std::string hex32(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", value);
  return text;
}

// Printable ASCII of a piece of text or of wide text: anything else becomes '?', so the
// summary stays one ASCII line.
std::string printable(const char* text, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string printable_wide(const WCHAR* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) {
    out += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
  }
  return out;
}


// ---------------------------------------------------------------- raw socket I/O

// Sends all of length bytes within the deadline; false on error, closure or time-out.
bool send_all(TlsSession* session, const char* data, std::size_t length, uint32_t deadline,
              TlsIo* status) {
  while (length > 0) {
    int left = remaining_ms(deadline);
    std::size_t sent = left > 0 ? send_some(session->platform_socket, data, length, left) : 0;
    if (sent == 0) {
      *status = remaining_ms(deadline) > 0 ? TlsIo::kError : TlsIo::kTimeout;
      return false;
    }
    data += sent;
    length -= sent;
  }
  return true;
}

// Appends what the socket has (waiting until the deadline) to the received bytes.
TlsIo receive_more(TlsSession* session, uint32_t deadline) {
  std::size_t old_size = session->incoming.size();
  session->incoming.resize(old_size + kRecvRoom);
  std::size_t received = 0;
  int left = remaining_ms(deadline);
  RecvStatus result = left > 0 ? recv_some(session->platform_socket,
                                           session->incoming.data() + old_size, kRecvRoom, left,
                                           &received)
                               : RecvStatus::kTimeout;
  session->incoming.resize(old_size + (result == RecvStatus::kData ? received : 0));
  switch (result) {
    case RecvStatus::kData: return TlsIo::kOk;
    case RecvStatus::kClosed: return TlsIo::kClosed;
    case RecvStatus::kTimeout: return TlsIo::kTimeout;
    case RecvStatus::kError: break;
  }
  return TlsIo::kError;
}

// Drops the first count received bytes (they have been consumed by SChannel).
void consume_incoming(TlsSession* session, std::size_t keep_last) {
  std::vector<char>& in = session->incoming;
  if (keep_last == 0 || keep_last > in.size()) {
    in.clear();
    return;
  }
  std::memmove(in.data(), in.data() + (in.size() - keep_last), keep_last);
  in.resize(keep_last);
}

// True when the received bytes start with a record header that claims more than any TLS
// record may hold.
bool oversized_record(const std::vector<char>& in) {
  if (in.size() < 5) return false;
  std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(in[3])) << 8) |
                       static_cast<unsigned char>(in[4]);
  return length + 5 > kMaxRecord;
}

// ---------------------------------------------------------------- credentials

bool acquire_credentials(TlsSession* session, std::string* why) {
  const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                      SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  // Windows 10 1809 and later: the versions below TLS 1.2 disabled, the rest the system's
  // choice (TLS 1.3 included where the system has it).
  TLS_PARAMETERS versions{};
  versions.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                    SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = flags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &versions;
  char package[] = UNISP_NAME_A;
  SECURITY_STATUS status =
      AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern, nullptr,
                                nullptr, &session->credentials, &expiry);
  if (status != SEC_E_OK) {
    // Older systems know only the credentials that name the versions to enable.
    SCHANNEL_CRED classic{};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.dwFlags = flags;
    classic.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &classic,
                                       nullptr, nullptr, &session->credentials, &expiry);
  }
  if (status != SEC_E_OK) {
    *why = "TLS credentials cannot be had (" + hex32(static_cast<unsigned long>(status)) + ")";
    return false;
  }
  session->have_credentials = true;
  return true;
}

// ---------------------------------------------------------------- handshake

// Sends what InitializeSecurityContext left in an output buffer and frees it.
bool send_token(TlsSession* session, SecBuffer* buffer, uint32_t deadline, TlsIo* status) {
  bool sent = true;
  if (buffer->pvBuffer != nullptr) {
    if (buffer->cbBuffer > 0) {
      sent = send_all(session, static_cast<const char*>(buffer->pvBuffer), buffer->cbBuffer,
                      deadline, status);
    }
    FreeContextBuffer(buffer->pvBuffer);
    buffer->pvBuffer = nullptr;
    buffer->cbBuffer = 0;
  }
  return sent;
}

void free_token(SecBuffer* buffer) {
  if (buffer->pvBuffer != nullptr) FreeContextBuffer(buffer->pvBuffer);
  buffer->pvBuffer = nullptr;
  buffer->cbBuffer = 0;
}

// The first bytes of a server that answered in plain text, for the failure line.
std::string not_tls_reason(const std::vector<char>& in) {
  std::size_t shown = std::min<std::size_t>(in.size(), 40);
  std::size_t end = 0;
  while (end < shown && in[end] != '\r' && in[end] != '\n') ++end;
  return "the server did not answer with TLS; it sent \"" + printable(in.data(), end) + "\"";
}

// Runs InitializeSecurityContext until the handshake completes, with the received bytes
// already in session->incoming as its first input (none for a new handshake, whose first
// call makes the ClientHello). Bytes that follow the server's last handshake record stay in
// session->incoming (they are application data).
bool run_handshake(TlsSession* session, bool fresh, uint32_t deadline, std::string* why) {
  const char* target = session->target.empty() ? nullptr : session->target.c_str();
  DWORD attributes = 0;
  TimeStamp expiry;
  TlsIo io = TlsIo::kOk;
  if (fresh) {
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &out_buffer};
    SECURITY_STATUS status = InitializeSecurityContextA(
        &session->credentials, nullptr, const_cast<char*>(target), kRequestFlags, 0, 0, nullptr,
        0, &session->context, &out, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED) {
      free_token(&out_buffer);
      *why = "the TLS handshake cannot start (" + hex32(static_cast<unsigned long>(status)) + ")";
      return false;
    }
    session->have_context = true;
    if (!send_token(session, &out_buffer, deadline, &io)) {
      *why = io == TlsIo::kTimeout ? "the ClientHello could not be sent in time"
                                   : "the ClientHello could not be sent";
      return false;
    }
  }
  bool checked_first_bytes = !fresh;
  // A new handshake waits for the server's first answer; a renegotiation starts with what
  // has come (perhaps nothing: a message after the handshake may need no answer).
  bool need_input = fresh;
  int credential_retries = 0;
  for (;;) {
    if (need_input) {
      TlsIo got = receive_more(session, deadline);
      if (got == TlsIo::kClosed) {
        *why = "the server closed the connection during the TLS handshake";
        return false;
      }
      if (got == TlsIo::kTimeout) {
        *why = "the TLS handshake did not complete in time";
        return false;
      }
      if (got != TlsIo::kOk) {
        *why = "the connection failed during the TLS handshake";
        return false;
      }
      need_input = false;
    }
    // A server that is not speaking TLS (a plain-text greeting on a TLS port) would have
    // its text read as the header of a long record, and the handshake would wait for the
    // rest until the time-out: a first record must be a handshake message or an alert.
    if (!checked_first_bytes) {
      const std::vector<char>& in = session->incoming;
      if ((in[0] != 0x16 && in[0] != 0x15) || (in.size() >= 2 && in[1] != 0x03)) {
        *why = not_tls_reason(in);
        return false;
      }
      if (in.size() < 2) {
        need_input = true;
        continue;
      }
      checked_first_bytes = true;
    }
    if (oversized_record(session->incoming)) {
      *why = "the server sent a TLS record larger than TLS allows";
      return false;
    }

    SecBuffer in_buffers[2];
    in_buffers[0] = {static_cast<unsigned long>(session->incoming.size()), SECBUFFER_TOKEN,
                     session->incoming.data()};
    in_buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc in{SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffers[2];
    out_buffers[0] = {0, SECBUFFER_TOKEN, nullptr};
    out_buffers[1] = {0, SECBUFFER_ALERT, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 2, out_buffers};
    SECURITY_STATUS status = InitializeSecurityContextA(
        &session->credentials, &session->context, const_cast<char*>(target), kRequestFlags, 0, 0,
        &in, 0, nullptr, &out, &attributes, &expiry);

    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      free_token(&out_buffers[0]);
      free_token(&out_buffers[1]);
      if (session->incoming.size() > kMaxHandshakeBytes) {
        *why = "the server's TLS handshake is too large";
        return false;
      }
      need_input = true;
      continue;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && credential_retries < 2) {
      // The server asks for a client certificate; there is none to give, so the handshake
      // goes on without one (the same input once more).
      free_token(&out_buffers[0]);
      free_token(&out_buffers[1]);
      ++credential_retries;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      // Tell the server why, when SChannel made an alert for it; its own failure is ours.
      uint32_t short_deadline = deadline_after(std::min(remaining_ms(deadline), 1000));
      TlsIo ignored;
      send_token(session, &out_buffers[0], short_deadline, &ignored);
      send_token(session, &out_buffers[1], short_deadline, &ignored);
      *why = "the TLS handshake failed (" + hex32(static_cast<unsigned long>(status)) + ")";
      return false;
    }
    free_token(&out_buffers[1]);
    if (!send_token(session, &out_buffers[0], deadline, &io)) {
      *why = "the connection failed during the TLS handshake";
      return false;
    }
    // What SChannel did not consume is the start of the next records.
    std::size_t extra = in_buffers[1].BufferType == SECBUFFER_EXTRA ? in_buffers[1].cbBuffer : 0;
    consume_incoming(session, extra);
    if (status == SEC_E_OK) return true;
    need_input = session->incoming.empty();
  }
}

// ---------------------------------------------------------------- what was negotiated

bool protocol_acceptable(DWORD protocol) {
  return (protocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0;
}

std::string protocol_name(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1.0";
  if (protocol & SP_PROT_SSL3_CLIENT) return "SSLv3";
  return "protocol " + hex32(protocol);
}

// The cipher suite as SChannel names it; where the system cannot say, its algorithm
// identifiers.
std::string cipher_name(TlsSession* session, const SecPkgContext_ConnectionInfo& info) {
  SecPkgContext_CipherInfo cipher{};
  cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
      cipher.szCipherSuite[0] != 0) {
    return printable_wide(cipher.szCipherSuite);
  }
  char text[96];
  std::snprintf(text, sizeof text, "cipher 0x%04lx/%lu bits, hash 0x%04lx, exchange 0x%04lx",
                static_cast<unsigned long>(info.aiCipher),
                static_cast<unsigned long>(info.dwCipherStrength),
                static_cast<unsigned long>(info.aiHash), static_cast<unsigned long>(info.aiExch));
  return text;
}

// ---------------------------------------------------------------- certificate

std::string subject_of(PCCERT_CONTEXT certificate) {
  char name[512];
  DWORD length = CertNameToStrA(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                                CERT_X500_NAME_STR, name, sizeof name);
  if (length <= 1) return "(no subject)";
  return printable(name, std::strlen(name));
}

}  // namespace

namespace win32 {

// Reads a PEM file of CA certificates into a new memory store; nullptr and *why when the
// file is missing, unreadable, too large or holds no certificate that decodes.
HCERTSTORE load_ca_file(const std::string& path, std::string* why) {
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) {
    *why = "the CA file " + printable(path.data(), path.size()) + " cannot be opened";
    return nullptr;
  }
  // A CA file is read whole: bundles are some hundred kilobytes; the cap keeps a wrong
  // path (a disk image, a device) from being swallowed.
  constexpr std::size_t kMaxCaFile = 16 * 1024 * 1024;
  std::string text;
  char block[16384];
  bool read_failed = false;
  for (;;) {
    std::size_t got = std::fread(block, 1, sizeof block, file);
    text.append(block, got);
    if (text.size() > kMaxCaFile) break;
    if (got < sizeof block) {
      read_failed = std::ferror(file) != 0;
      break;
    }
  }
  std::fclose(file);
  if (read_failed || text.size() > kMaxCaFile) {
    *why = "the CA file " + printable(path.data(), path.size()) +
           (read_failed ? " cannot be read" : " is too large");
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG,
                                   nullptr);
  if (store == nullptr) {
    *why = "no certificate store can be made for the CA file";
    return nullptr;
  }
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int added = 0;
  std::size_t position = 0;
  for (;;) {
    std::size_t begin = text.find(kBegin, position);
    if (begin == std::string::npos) break;
    std::size_t end = text.find(kEnd, begin);
    if (end == std::string::npos) break;
    end += sizeof kEnd - 1;
    position = end;
    DWORD size = 0;
    const char* pem = text.data() + begin;
    DWORD pem_length = static_cast<DWORD>(end - begin);
    std::vector<BYTE> der;
    bool decoded = CryptStringToBinaryA(pem, pem_length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                        nullptr, nullptr) &&
                   size > 0;
    if (decoded) {
      der.resize(size);
      decoded = CryptStringToBinaryA(pem, pem_length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                     nullptr, nullptr) != 0;
    }
    if (!decoded || !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      der.data(), size, CERT_STORE_ADD_USE_EXISTING,
                                                      nullptr)) {
      CertCloseStore(store, 0);
      *why = "the CA file " + printable(path.data(), path.size()) + " holds a certificate (" +
             std::to_string(added + 1) + ") that cannot be read";
      return nullptr;
    }
    ++added;
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    *why = "the CA file " + printable(path.data(), path.size()) + " holds no PEM certificate";
    return nullptr;
  }
  return store;
}

}  // namespace win32

namespace {

// True when the certificate's subjectAltName lists the IPv4 address (network byte order)
// as an iPAddress entry.
bool names_address(PCCERT_CONTEXT certificate, const NetAddress& address) {
  const DWORD length = address.family == 6 ? 16 : 4;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                certificate->pCertInfo->cExtension,
                                                certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == length &&
            std::memcmp(entry.IPAddress.pbData, address.bytes, length) == 0;
  }
  LocalFree(names);
  return found;
}

// What is wrong with a chain, from the worst of its trust error bits.
std::string chain_fault(DWORD errors) {
  std::string what;
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    what = "the certificate has expired or is not yet valid";
  } else if (errors & CERT_TRUST_IS_REVOKED) {
    what = "the certificate is revoked";
  } else if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    what = "a signature in the certificate chain is not valid";
  } else if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    what = "the certificate chain does not end at a trusted root";
  } else if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    what = "the certificate is not for server authentication";
  } else {
    what = "the certificate chain is not valid";
  }
  return what + " (chain status " + hex32(errors) + ")";
}

std::string policy_fault(DWORD error) {
  switch (static_cast<HRESULT>(error)) {
    case CERT_E_CN_NO_MATCH: return "the certificate does not name the host";
    case CERT_E_EXPIRED: return "the certificate has expired or is not yet valid";
    case CERT_E_UNTRUSTEDROOT: return "the certificate chain does not end at a trusted root";
    case CERT_E_WRONG_USAGE: return "the certificate is not for server authentication";
    default: break;
  }
  return "the certificate is refused (policy " + hex32(error) + ")";
}

}  // namespace

namespace win32 {

// Checks the server's certificate: the chain against the system's roots (roots nullptr)
// or the CA file's, then the name or address. Empty result: accepted; else why not. *subject is set.
std::string check_certificate(PCCERT_CONTEXT certificate, const TlsParams& params,
                              HCERTSTORE roots, std::string* subject) {
  *subject = subject_of(certificate);
  HCERTCHAINENGINE engine = nullptr;  // none: the system's engine and roots
  if (roots != nullptr) {
    // An engine whose only roots are the CA file's. The structure is given in its
    // Windows 7 size, the one that carries the exclusive root and that every system from
    // Windows 7 on accepts.
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.hExclusiveRoot = roots;
    if (!CertCreateCertificateChainEngine(&config, &engine)) {
      unsigned long error = GetLastError();
      return "no chain engine for the CA file (" + hex32(error) + ")";
    }
  }

  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  std::string fault;
  // No revocation check: it would go on line, and private CAs publish no lists.
  if (!CertGetCertificateChain(engine, certificate, nullptr, certificate->hCertStore, &chain_para,
                               0, nullptr, &chain)) {
    fault = "the certificate chain cannot be built (" + hex32(GetLastError()) + ")";
  } else if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
    fault = chain_fault(chain->TrustStatus.dwErrorStatus);
  } else {
    NetAddress address;
    bool by_address = parse_address(params.host, &address);
    std::wstring name = win32::widen(params.host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched below against the iPAddress entries, which not every policy
    // implementation compares; the policy then judges the rest of the chain.
    ssl.fdwChecks = by_address ? SECURITY_FLAG_IGNORE_CERT_CN_INVALID : 0;
    ssl.pwszServerName = name.empty() ? nullptr : &name[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      fault = "the certificate policy cannot be checked (" + hex32(GetLastError()) + ")";
    } else if (status.dwError != 0) {
      fault = policy_fault(status.dwError);
    } else if (by_address && !names_address(certificate, address)) {
      fault = "the certificate does not name the address";
    }
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  if (engine != nullptr) CertFreeCertificateChainEngine(engine);
  return fault;
}

}  // namespace win32

namespace {

// The server's certificate (with the intermediates it sent in its store), or nullptr.
PCCERT_CONTEXT remote_certificate(TlsSession* session) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
      SEC_E_OK) {
    return nullptr;
  }
  return certificate;
}

void release(TlsSession* session) {
  if (session->have_context) DeleteSecurityContext(&session->context);
  if (session->have_credentials) FreeCredentialsHandle(&session->credentials);
  delete session;
}

// ---------------------------------------------------------------- records

enum class Decrypted { kData, kNeedMore, kClosed, kRenegotiate, kFailed };

// Decrypts the first record of the received bytes; its plaintext is appended to
// session->plain and the bytes after it stay in session->incoming.
Decrypted decrypt_one(TlsSession* session) {
  if (session->incoming.empty()) return Decrypted::kNeedMore;
  if (oversized_record(session->incoming)) return Decrypted::kFailed;
  SecBuffer buffers[4];
  buffers[0] = {static_cast<unsigned long>(session->incoming.size()), SECBUFFER_DATA,
                session->incoming.data()};
  buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
  buffers[2] = {0, SECBUFFER_EMPTY, nullptr};
  buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = DecryptMessage(&session->context, &message, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return Decrypted::kNeedMore;
  if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
    return Decrypted::kFailed;
  }
  const SecBuffer* data = nullptr;
  const SecBuffer* extra = nullptr;
  for (const SecBuffer& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA && data == nullptr) data = &buffer;
    if (buffer.BufferType == SECBUFFER_EXTRA && extra == nullptr) extra = &buffer;
  }
  // The plaintext lies inside the received bytes (decrypted in place): copy it out before
  // the bytes after the record are moved to the front.
  if (data != nullptr && data->cbBuffer > 0 && status == SEC_E_OK) {
    const char* start = static_cast<const char*>(data->pvBuffer);
    if (session->plain_offset == session->plain.size()) {
      session->plain.clear();
      session->plain_offset = 0;
    }
    session->plain.insert(session->plain.end(), start, start + data->cbBuffer);
  }
  consume_incoming(session, extra != nullptr ? extra->cbBuffer : 0);
  if (status == SEC_I_CONTEXT_EXPIRED) return Decrypted::kClosed;
  if (status == SEC_I_RENEGOTIATE) return Decrypted::kRenegotiate;
  // An empty result is a record without content (some systems report the peer's
  // close_notify this way): read on.
  return Decrypted::kData;
}

// The server asked for a new handshake (or, with TLS 1.3 on some systems, sent a
// post-handshake message): run it with the bytes that followed, and make sure the server
// still presents the certificate that was verified.
bool renegotiate(TlsSession* session, uint32_t deadline) {
  std::string why;
  if (!run_handshake(session, false, deadline, &why)) return false;
  SecPkgContext_ConnectionInfo connection{};
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_CONNECTION_INFO, &connection) !=
          SEC_E_OK ||
      !protocol_acceptable(connection.dwProtocol) ||
      QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) !=
          SEC_E_OK ||
      session->sizes.cbMaximumMessage == 0) {
    return false;
  }
  if (session->peer_certificate.empty()) return true;
  PCCERT_CONTEXT certificate = remote_certificate(session);
  if (certificate == nullptr) return false;
  bool same = certificate->cbCertEncoded == session->peer_certificate.size() &&
              std::memcmp(certificate->pbCertEncoded, session->peer_certificate.data(),
                          certificate->cbCertEncoded) == 0;
  CertFreeCertificateContext(certificate);
  return same;
}

TlsSession* judge_session(TlsSession* session, const TlsParams& params, HCERTSTORE roots,
                          std::string* summary);

}  // namespace

// ---------------------------------------------------------------- interface

TlsSession* tls_handshake(Socket socket, const TlsParams& params, int timeout_ms,
                          std::string* summary) {
  uint32_t deadline = deadline_after(timeout_ms);
  TlsSession* session = new TlsSession;
  session->platform_socket = socket;
  NetAddress address;
  // SNI carries DNS names only; an address (IPv4, or IPv6 bare or in brackets) is not sent.
  if (!parse_address(params.host, &address)) session->target = params.host;

  std::string why;
  // The CA file is read before anything is sent, so that a bad one ends the attempt with
  // nothing on the wire.
  HCERTSTORE roots = nullptr;
  if (params.verify && !params.ca_file.empty()) {
    roots = win32::load_ca_file(params.ca_file, &why);
    if (roots == nullptr) {
      *summary = why;
      release(session);
      return nullptr;
    }
  }
  TlsSession* established = nullptr;
  if (acquire_credentials(session, &why) && run_handshake(session, true, deadline, &why)) {
    established = judge_session(session, params, roots, summary);
  } else {
    *summary = why;
    release(session);
  }
  if (roots != nullptr) CertCloseStore(roots, 0);
  return established;
}

namespace {

// After the handshake: the version, the record sizes and the certificate. Returns the
// session, or frees it and returns nullptr; *summary says what was found.
TlsSession* judge_session(TlsSession* session, const TlsParams& params, HCERTSTORE roots,
                          std::string* summary) {

  SecPkgContext_ConnectionInfo connection{};
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_CONNECTION_INFO, &connection) !=
      SEC_E_OK) {
    *summary = "the negotiated TLS version cannot be told";
    release(session);
    return nullptr;
  }
  if (!protocol_acceptable(connection.dwProtocol)) {
    *summary = "the server negotiated " + protocol_name(connection.dwProtocol) +
               ", older than TLS 1.2: refused";
    release(session);
    return nullptr;
  }
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) !=
          SEC_E_OK ||
      session->sizes.cbMaximumMessage == 0) {
    *summary = "the TLS record sizes cannot be told";
    release(session);
    return nullptr;
  }

  PCCERT_CONTEXT certificate = remote_certificate(session);
  if (certificate == nullptr) {
    *summary = "the server sent no certificate";
    release(session);
    return nullptr;
  }
  std::string subject;
  std::string verdict;
  if (params.verify) {
    std::string fault = win32::check_certificate(certificate, params, roots, &subject);
    if (!fault.empty()) {
      CertFreeCertificateContext(certificate);
      *summary = protocol_name(connection.dwProtocol) + ", " + subject + ": " + fault;
      release(session);
      return nullptr;
    }
    verdict = params.ca_file.empty() ? "verified (system roots)" : "verified (CA file)";
  } else {
    subject = subject_of(certificate);
    verdict = "not verified (SSL_VERIFY=0)";
  }
  session->peer_certificate.assign(certificate->pbCertEncoded,
                                   certificate->pbCertEncoded + certificate->cbCertEncoded);
  CertFreeCertificateContext(certificate);
  *summary = protocol_name(connection.dwProtocol) + " " + cipher_name(session, connection) +
             ", " + subject + ", " + verdict;
  return session;
}

}  // namespace

std::size_t tls_send_some(TlsSession* session, const char* data, std::size_t length,
                          int timeout_ms, TlsIo* status) {
  if (length == 0) {
    *status = TlsIo::kOk;
    return 0;
  }
  const std::size_t header = session->sizes.cbHeader;
  const std::size_t trailer = session->sizes.cbTrailer;
  const std::size_t record = session->sizes.cbMaximumMessage;
  std::size_t taken = std::min(length, kSendBatch);
  std::vector<char>& out = session->outgoing;
  out.resize((taken / record + 1) * (header + record + trailer));
  std::size_t used = 0;
  for (std::size_t offset = 0; offset < taken;) {
    std::size_t piece = std::min(record, taken - offset);
    char* base = out.data() + used;
    std::memcpy(base + header, data + offset, piece);
    SecBuffer buffers[4];
    buffers[0] = {static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, base};
    buffers[1] = {static_cast<unsigned long>(piece), SECBUFFER_DATA, base + header};
    buffers[2] = {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER,
                  base + header + piece};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&session->context, 0, &message, 0) != SEC_E_OK) {
      *status = TlsIo::kProtocol;
      return 0;
    }
    // The record is the three pieces as the call left them; close any gap between them
    // (a trailer shorter than its room leaves none, but a header might).
    std::size_t at = used;
    for (int i = 0; i < 3; ++i) {
      std::memmove(out.data() + at, buffers[i].pvBuffer, buffers[i].cbBuffer);
      at += buffers[i].cbBuffer;
    }
    used = at;
    offset += piece;
  }
  // Each wait for the connection to take more is bounded by the time-out, as on a plain
  // connection; a batch that makes progress is not cut off.
  const char* pending = out.data();
  std::size_t left = used;
  while (left > 0) {
    std::size_t sent = send_some(session->platform_socket, pending, left, timeout_ms);
    if (sent == 0) {
      *status = TlsIo::kError;
      return 0;
    }
    pending += sent;
    left -= sent;
  }
  *status = TlsIo::kOk;
  return taken;
}

TlsIo tls_recv_some(TlsSession* session, char* buffer, std::size_t capacity, int timeout_ms,
                    std::size_t* received) {
  uint32_t deadline = deadline_after(timeout_ms);
  for (;;) {
    std::size_t available = session->plain.size() - session->plain_offset;
    if (available > 0 && capacity > 0) {
      std::size_t count = std::min(available, capacity);
      std::memcpy(buffer, session->plain.data() + session->plain_offset, count);
      session->plain_offset += count;
      *received = count;
      return TlsIo::kOk;
    }
    if (session->peer_closed) return TlsIo::kClosed;
    switch (decrypt_one(session)) {
      case Decrypted::kData:
        continue;
      case Decrypted::kClosed:
        session->peer_closed = true;
        continue;
      case Decrypted::kRenegotiate:
        if (!renegotiate(session, deadline)) return TlsIo::kProtocol;
        continue;
      case Decrypted::kFailed:
        return TlsIo::kProtocol;
      case Decrypted::kNeedMore:
        break;
    }
    TlsIo got = receive_more(session, deadline);
    if (got == TlsIo::kClosed) session->peer_closed = true;
    if (got == TlsIo::kClosed || got == TlsIo::kOk) continue;
    return got;
  }
}

void tls_close(TlsSession* session, int timeout_ms) {
  uint32_t deadline = deadline_after(timeout_ms);
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
  bool sent = false;
  if (!session->peer_closed && ApplyControlToken(&session->context, &control_desc) == SEC_E_OK) {
    const char* target = session->target.empty() ? nullptr : session->target.c_str();
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &out_buffer};
    DWORD attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &session->credentials, &session->context, const_cast<char*>(target), kRequestFlags, 0, 0,
        nullptr, 0, nullptr, &out, &attributes, &expiry);
    TlsIo io;
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      sent = out_buffer.cbBuffer > 0 && send_token(session, &out_buffer, deadline, &io);
    }
    free_token(&out_buffer);
  }
  // Wait for the server's close_notify (or its end of the connection). Some systems report
  // close_notify as a record without content; here that ends the wait too.
  while (sent && !session->peer_closed && remaining_ms(deadline) > 0) {
    std::size_t before = session->plain.size();
    Decrypted result = decrypt_one(session);
    if (result == Decrypted::kClosed || result == Decrypted::kFailed ||
        result == Decrypted::kRenegotiate) {
      break;
    }
    if (result == Decrypted::kData) {
      if (session->plain.size() == before) break;
      session->plain.clear();
      session->plain_offset = 0;
      continue;
    }
    if (receive_more(session, deadline) != TlsIo::kOk) break;
  }
  release(session);
}

void tls_free(TlsSession* session) {
  if (session != nullptr) release(session);
}

}  // namespace platform
