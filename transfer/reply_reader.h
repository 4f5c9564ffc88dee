// Reads SMTP replies from the server connection (RFC 5321 section 4.2). A failed read
// ends the run; callers see only accepted replies, except where a yes/no answer is named.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "transfer/connection.h"

// Reads one reply and accepts it when its code is below 400 (1xx, 2xx and 3xx alike);
// leaves its reply text in g_line_buffer and gives 1. A 4xx or 5xx reply sets
// last_reply_code and ends the run with error 11; a closed, failed or silent connection
// (no complete reply within timeout_ms) ends it with error 10.
int read_reply(Connection* connection, int timeout_ms = kReplyTimeoutMs);

// Reads the answer to QUIT, sent after the server has taken the message. Like read_reply,
// but a connection that closes, fails or stays silent gives false instead of an error:
// the message is delivered whatever happens to the goodbye.
bool read_quit_reply(Connection* connection);

// Reads the answer to EHLO or HELO: 1 when a complete 250 reply was seen, 0 when the
// server refused (4xx, 5xx) or no complete 250 reply came within 100 further pieces.
int read_ehlo_reply(Connection* connection);

// True when the EHLO reply that read_ehlo_reply read last announced STARTTLS (RFC 3207).
bool ehlo_offered_starttls();

// Reads the answer to STARTTLS: true for a 2xx reply. Otherwise sets last_reply_code and
// gives false; a closed, failed or silent connection ends the run as for read_reply.
bool read_starttls_reply(Connection* connection);

// True when a piece holds an EHLO line "250-STARTTLS" or "250 STARTTLS" (the keyword in
// any case, alone on its line or followed by a blank).
bool announces_starttls(const char* piece, std::size_t length);

// Reads one further piece of a 250 reply for read_ehlo_reply: 1 when it holds the last
// line ("250 "), else 0. A piece beginning with 3, 4 or 5 ends the run with error 25.
int read_250_more(Connection* connection);

// The reply text of a piece: its bytes after the three-character code, blanks and 0x1F
// left out, up to the first control byte or byte of 0x80 and above.
std::string extract_reply_text(const char* piece, std::size_t length);

// True when the piece begins with "250" and holds "250 " (the last line of the reply).
bool completes_250_reply(const char* piece, std::size_t length);
