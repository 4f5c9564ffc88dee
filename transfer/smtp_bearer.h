// SMTP authentication with an OAuth 2.0 bearer token: AUTH XOAUTH2 (the form Gmail and
// Microsoft 365 take) and AUTH OAUTHBEARER (RFC 7628), both with the initial response of
// RFC 4954 when the command line allows it.
#pragma once

#include <cstddef>
#include <string>

#include "transfer/connection.h"

// The longest AUTH command line, CR LF included, that a server must take (RFC 4954
// section 4); a longer initial response goes after the server's 334 instead.
constexpr std::size_t kMaxAuthCommandLine = 12288;

// The client responses before Base64. XOAUTH2: "user=" USER ^A "auth=Bearer " TOKEN ^A ^A.
// OAUTHBEARER: the GS2 header "n,a=" USER "," (the name escaped, see below; no "a=" for
// an empty name), then ^A "host=" HOST ^A "port=" PORT ^A "auth=Bearer " TOKEN ^A ^A.
std::string xoauth2_response(const std::string& user, const std::string& token);
std::string oauthbearer_response(const std::string& user, const std::string& host, int port,
                                 const std::string& token);

// True for a token that may go into those responses: one or more visible ASCII
// characters (0x21 to 0x7E, as an RFC 6750 b64token and every issued token are). A blank,
// a control byte (0x01 would add fields), a NUL or a non-ASCII byte is refused.
bool bearer_token_usable(const std::string& token);

// A name as the GS2 header carries it (RFC 5801): "," as "=2C" and "=" as "=3D".
std::string gs2_escape(const std::string& name);

// The server's error that comes with a refused token, a JSON object (RFC 7628 section
// 3.2.2), shortened to one line for the trace: "status=S scope=C", where S and C are
// the values of its "status" and "scope" members (empty when absent).
std::string bearer_error_summary(const std::string& json);

// Logs in with method 4 (XOAUTH2) or 5 (OAUTHBEARER) and the token. A 235 ends the step.
// A 334 after the response carries the server's error: it is answered as the mechanism
// requires (XOAUTH2 an empty line, OAUTHBEARER the Base64 of the single byte 0x01), and
// the refusal that follows ends the run with error 11; debug mode shows the decoded
// error on one line. The token is never echoed: mask lines stand in for it.
void authenticate_bearer(Connection* connection, int method, const std::string& token);
