// SMTP authentication (RFC 4954) with the account of the settings file, by the mechanism
// SMTP_AUTH names: 1 CRAM-MD5 (RFC 2195), 2 PLAIN (RFC 4616), 3 LOGIN.
#pragma once

#include <string>

#include "transfer/connection.h"

// Logs in with the given mechanism (1 to 3). Returns on success; any refusal ends the run
// with error 11. Passwords, the PLAIN credentials and the CRAM-MD5 response never reach
// standard output: in debug mode a fixed mask line stands in for their echo.
void authenticate(Connection* connection, int method);

// The CRAM-MD5 response before Base64: the user name, a blank, and the HMAC-MD5 of the
// challenge keyed with the password as 32 lowercase hex digits. Challenge and password
// count up to their first NUL.
std::string cram_md5_response(const std::string& user, const std::string& password,
                              const std::string& challenge);

// The PLAIN credentials: user, NUL, user, NUL, password (no NUL after it).
std::string plain_credentials(const std::string& user, const std::string& password);
