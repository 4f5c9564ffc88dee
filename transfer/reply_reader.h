// Reads SMTP replies from the server connection (RFC 5321 section 4.2). A failed read
// ends the run; callers see only accepted replies, except where a yes/no answer is named.
//
// A reply is read to its last line, across as many receives as it takes, within one time
// limit: lines end at LF; a line of three digits and a hyphen continues the reply; a line
// of three digits followed by anything else (a blank, the line end) is its last line; a
// line that does not begin with three digits ends the reply at once as malformed. Bytes
// that arrive after the last line in the same receive are kept in the connection as the
// start of the next reply, which the next reader takes before it receives (a pipelining
// server answers several commands at once). A line longer than kReplyLineCapacity bytes
// before its LF, or as long as that at the end of a receive, counts as a receive error
// (error 10), however the bytes were split.
//
// A reply is positive when it is well formed and its first line begins with three digits
// of which the first is 1, 2 or 3. The reply text of the first line goes to g_line_buffer.
// In debug mode every receive is echoed as "Recv:[%d bytes] %s" (control bytes escaped,
// see trace_text.h), and each further wait as a "Waiting CRLF" line.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "transfer/connection.h"

// The longest line a reply may have: 4,095 bytes without its LF.
constexpr std::size_t kReplyLineCapacity = 4095;
// How much of each line the scan keeps to look for the EHLO keywords: "250-", the
// longest keyword (PIPELINING) and the two bytes that tell whether it ends there.
constexpr std::size_t kPrefixLength = 16;

// The state of a reply as its bytes arrive; fed by scan_reply.
struct ReplyScan {
  std::string first_line;       // the first line as received, with its line end once seen
  std::string head;             // the first four bytes of the line being read
  std::string prefix;           // the first kPrefixLength bytes of the line being read
  std::string last_head;        // the first four bytes of the last complete line
  std::size_t line_length = 0;  // bytes of the line being read so far, without its LF
  std::size_t lines = 0;        // complete lines so far
  bool overlong = false;        // a line grew beyond kReplyLineCapacity bytes before its LF
  bool ended = false;           // the reply's last line (or a malformed line) is complete
  bool malformed = false;       // a line did not begin with three digits
  bool starttls = false;        // a complete line announced STARTTLS (announces_keyword)
  bool pipelining = false;      // a complete line announced PIPELINING
};

// Takes the next bytes of a reply; returns how many it used (all of them, or up to and
// including the LF that ended the reply). Bytes after the end are not looked at.
std::size_t scan_reply(ReplyScan* scan, const char* data, std::size_t length);

// True when a piece holds an EHLO line of "250-" or "250 " and the keyword (given in upper
// case, matched in any case), alone on its line or followed by a blank.
bool announces_keyword(const char* piece, std::size_t length, const char* keyword);
bool announces_starttls(const char* piece, std::size_t length);

// The three-digit code at the start of the first line; -1 when it begins otherwise.
int reply_code(const ReplyScan& scan);

// True when the reply has ended, is well formed and its code begins with a digit from
// lowest to highest (1 to 3 for an ordinary positive reply, 3 to 3 for "go ahead").
bool reply_in_class(const ReplyScan& scan, int lowest, int highest);

// Reads one reply and accepts it when it is positive (1xx, 2xx and 3xx alike); leaves
// its reply text in g_line_buffer and gives 1. Any other reply sets last_reply_code to
// its code (0 when none can be read) and ends the run with error 11; a closed, failed or
// silent connection (the reply not complete within timeout_ms) or an overlong line ends
// it with error 10, a TLS failure (a bad record, an alert) with error 24.
int read_reply(Connection* connection, int timeout_ms = kReplyTimeoutMs);

// Reads one reply like read_reply and gives its code (100 to 399): an authentication step
// tells a challenge (334) from the end of the exchange by it.
int read_reply_code(Connection* connection);

// Reads the answer to DATA like read_reply, but only a 3xx reply (354) is accepted: any
// other reply, 2xx included, ends the run with error 11 before any message byte is sent.
int read_data_reply(Connection* connection);

// Reads the answer to QUIT, sent after the server has taken the message: true for a
// positive reply, false for anything else (a refusal, garbage, an overlong line, a
// closed, failed or silent connection). It never ends the run: the message is delivered
// whatever happens to the goodbye. The reply is echoed in debug mode as always.
bool read_quit_reply(Connection* connection);

// True when the EHLO reply that read_ehlo_reply read last announced STARTTLS (RFC 3207),
// on any of its lines, however they were split across receives.
bool ehlo_offered_starttls();
// The same for PIPELINING (RFC 2920).
bool ehlo_offered_pipelining();

// Reads the answer to STARTTLS: true for a well-formed 2xx reply. Any other reply sets
// last_reply_code (0 when no code can be read) and gives false; a closed, failed or
// silent connection ends the run as for read_reply.
bool read_starttls_reply(Connection* connection);

// Reads the answer to EHLO or HELO within one time limit for the whole reply (error 10
// when it runs out): 1 when a complete 250 reply was seen, 0 when the server refused
// (the first piece is not a 250 reply: 4xx, 5xx, other codes, garbage) or no complete
// 250 reply came within 100 further pieces. A piece is what arrives until a receive
// ends in CR LF or the reply ends.
int read_ehlo_reply(Connection* connection);

// Reads one further piece of a 250 reply for read_ehlo_reply, within timeout_ms: 1 when
// it holds the last line of a 250 reply, else 0. A piece that does not begin with three
// digits of which the first is 1 or 2 ends the run with error 25.
int read_250_more(Connection* connection, int timeout_ms = kReplyTimeoutMs);

// The reply text of a piece: its bytes after the three-character code, blanks and 0x1F
// left out, up to the first control byte or byte of 0x80 and above.
std::string extract_reply_text(const char* piece, std::size_t length);

// True when the piece begins with "250" and one of its lines is the last line of a 250
// reply ("250" followed by anything but a hyphen).
bool completes_250_reply(const char* piece, std::size_t length);
