// SMTP authentication (RFC 4954) with the account of the settings file, by the mechanism
// SMTP_AUTH names: 1 CRAM-MD5 (RFC 2195), 2 PLAIN (RFC 4616), 3 LOGIN, 4 XOAUTH2 and
// 5 OAUTHBEARER (RFC 7628, see smtp_bearer.h).
#pragma once

#include <string>

#include "transfer/connection.h"

// True for the methods that authenticate (1 to 5); any other value sends without.
bool authentication_method(int method);

// Runs SMTP_PASS_COMMAND, when one is set, before the connection is opened, so that a
// command that fails (error 26) ends the run before anything reaches the server, and a
// slow one (a sign-in) does not hold an open connection. Its line then stands in for the
// stored SMTP_PASS. Under methods 4 and 5 a line that is no usable bearer token
// (bearer_token_usable) is error 26 as well. Without a command, methods 4 and 5 with
// OAUTH_PROVIDER 1 to 3 take the access token from the token file (refreshed where
// needed) here in the same way: errors 27 and 28 come before the connection.
void prepare_authentication();

// The password (methods 1 to 3) or access token (4 and 5): the command's line when
// prepare_authentication took one, else the stored form read back.
std::string smtp_password();
std::string smtp_token();

// Sends a line that carries a secret. In debug mode the mask line is printed instead of
// the "Send: %s" echo.
void send_masked(Connection* connection, const std::string& line, const char* mask);

// Logs in with the given mechanism (1 to 5). Returns on success; any refusal ends the run
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
