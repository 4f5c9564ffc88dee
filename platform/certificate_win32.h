// The server certificate judgement of the Windows platform layer, shared by the TLS session
// of the mail connections and the HTTPS client, so that SSL_VERIFY and SSL_CA_FILE mean the
// same for both. Implemented in tls_win32.cpp. Include after windows.h and wincrypt.h.
#pragma once

#include <string>

#include "platform/tls.h"

namespace platform {
namespace win32 {

// Reads a PEM file of CA certificates into a new memory store (CertCloseStore frees it);
// nullptr and *why when the file is missing, unreadable, too large or holds no
// certificate that decodes.
HCERTSTORE load_ca_file(const std::string& path, std::string* why);

// Judges the server's certificate (its store holding the intermediates the server sent):
// the chain against the system's roots (roots nullptr) or those of a CA file, its use for
// server authentication, then params.host as a name or an address. Empty when accepted,
// else why not in one ASCII line. *subject receives the certificate's subject.
std::string check_certificate(PCCERT_CONTEXT certificate, const TlsParams& params,
                              HCERTSTORE roots, std::string* subject);

}  // namespace win32
}  // namespace platform
