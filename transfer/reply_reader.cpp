// Reads SMTP replies (RFC 5321 section 4.2.1): every reader follows a reply line by line
// to its last line, however the bytes are split across receives, and judges it by the
// three digits that begin it.
#include "transfer/reply_reader.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "transfer/trace_text.h"

namespace {

// One receive takes at most this much; what it takes is scanned and echoed at once.
constexpr std::size_t kReceiveCapacity = 4096;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True when the text begins with three digits, the first from lowest to highest.
bool code_in_class(const std::string& text, char lowest, char highest) {
  return text.size() >= 3 && is_digit(text[0]) && is_digit(text[1]) && is_digit(text[2]) &&
         text[0] >= lowest && text[0] <= highest;
}

// Whether the EHLO reply being read, or read last, announced STARTTLS, and PIPELINING.
bool g_starttls_offered = false;
bool g_pipelining_offered = false;

// The one place where the readers take bytes from the connection, plain or encrypted.
NetStatus receive_bytes(Connection* connection, char* buffer, std::size_t capacity,
                        int timeout_ms, std::size_t* count) {
  if (timeout_ms <= 0) return NetStatus::kTimeout;
  return receive_some(connection, buffer, capacity, timeout_ms, count);
}

// A time limit that runs from its creation.
struct Deadline {
  uint32_t started;
  int limit_ms;
  explicit Deadline(int limit) : started(platform::tick_count()), limit_ms(limit) {}
  int remaining_ms() const {
    uint32_t waited = platform::tick_count() - started;
    if (limit_ms <= 0 || waited >= static_cast<uint32_t>(limit_ms)) return 0;
    return limit_ms - static_cast<int>(waited);
  }
};

// Where receiving stops: at the end of the reply, or already at the end of a piece (a
// receive that leaves the bytes ending in CR LF), as the EHLO reader takes its pieces.
enum class Until { kReplyEnd, kPieceEnd };

// How receiving ended. kBroken is a TLS failure: a bad record or an alert.
enum class ReadEnd { kDone, kSendFailed, kLost, kBroken };

// Feeds bytes of a receive to the scan and keeps those beyond the reply's end for the
// next reply. tail holds the last two bytes taken, for the CR LF test. True when
// receiving stops here, with *end saying how.
bool take_bytes(Connection* connection, ReplyScan* scan, const char* data, std::size_t count,
                Until until, char tail[2], ReadEnd* end) {
  std::size_t used = scan_reply(scan, data, count);
  if (used < count) connection->pending.assign(data + used, count - used);
  if (count >= 2) {
    tail[0] = data[count - 2];
    tail[1] = data[count - 1];
  } else {
    tail[0] = tail[1];
    tail[1] = data[0];
  }
  *end = ReadEnd::kDone;
  if (scan->overlong || scan->line_length >= kReplyLineCapacity) {
    connection->pending.clear();  // a failed read leaves nothing to believe
    *end = ReadEnd::kLost;
    return true;
  }
  if (scan->ended) return true;
  return until == Until::kPieceEnd && tail[0] == '\r' && tail[1] == '\n';
}

// Sends all gathered output, then takes the bytes kept from the last receive and receives
// into the scan until it stops. In debug mode echoes each receive (kept bytes were echoed
// when they came) and, before each further wait, the waiting line. kLost when the
// connection closes, fails or stays silent past the deadline, or a line grows too long.
ReadEnd receive_reply(Connection* connection, ReplyScan* scan, const char* waiting_line,
                      const Deadline& deadline, Until until) {
  if (!flush_output(connection)) return ReadEnd::kSendFailed;
  char buffer[kReceiveCapacity + 1];
  char tail[2] = {0, 0};  // the last two bytes taken, for the CR LF test
  ReadEnd end = ReadEnd::kDone;
  if (!connection->pending.empty()) {
    const std::string kept = std::move(connection->pending);
    connection->pending.clear();
    if (take_bytes(connection, scan, kept.data(), kept.size(), until, tail, &end)) return end;
    if (g_run.debug_mode) console_printf("%s", waiting_line);
  }
  for (;;) {
    std::size_t count = 0;
    NetStatus status =
        receive_bytes(connection, buffer, kReceiveCapacity, deadline.remaining_ms(), &count);
    if (status == NetStatus::kProtocol) return ReadEnd::kBroken;
    if (status != NetStatus::kData || count == 0) return ReadEnd::kLost;
    buffer[count] = '\0';
    if (g_run.debug_mode) {
      const std::string shown = trace_text(buffer, count);
      console_write_received("Recv:[" + std::to_string(count) + " bytes] ", shown.data(),
                             shown.size());
    }
    if (take_bytes(connection, scan, buffer, count, until, tail, &end)) return end;
    if (g_run.debug_mode) console_printf("%s", waiting_line);
  }
}

// The failures of a reader that does not tolerate them.
void end_on_failure(ReadEnd end) {
  if (end == ReadEnd::kSendFailed) fail_send();
  if (end == ReadEnd::kLost) error_exit(kErrReceive);
  if (end == ReadEnd::kBroken) error_exit(kErrSslHandling);
}

// Ends the run for a reply that is not accepted, showing its code when it has one.
[[noreturn]] void refuse(const ReplyScan& scan) {
  int code = reply_code(scan);
  last_reply_code = code > 0 ? code : 0;
  error_exit(kErrServerReply);
}

// Reads a reply whose first digit must lie from lowest to highest; gives its code.
int read_reply_in_class(Connection* connection, int timeout_ms, int lowest, int highest) {
  ReplyScan scan;
  end_on_failure(
      receive_reply(connection, &scan, "Waiting CRLF\n", Deadline(timeout_ms), Until::kReplyEnd));
  if (!reply_in_class(scan, lowest, highest)) refuse(scan);
  g_line_buffer = extract_reply_text(scan.first_line.data(), scan.first_line.size());
  return reply_code(scan);
}

// True when the scan ended on the last line of a 250 reply.
bool ended_as_250(const ReplyScan& scan) {
  return scan.ended && !scan.malformed && scan.last_head.compare(0, 3, "250") == 0;
}

}  // namespace

std::size_t scan_reply(ReplyScan* scan, const char* data, std::size_t length) {
  std::size_t used = 0;
  while (used < length && !scan->ended) {
    char c = data[used++];
    // The first line is kept whole, for the code and the reply text.
    if (scan->lines == 0) scan->first_line.push_back(c);
    if (c != '\n') {
      if (scan->head.size() < 4) scan->head.push_back(c);
      if (scan->prefix.size() < kPrefixLength) scan->prefix.push_back(c);
      if (++scan->line_length > kReplyLineCapacity) scan->overlong = true;
      continue;
    }
    // A line is complete: three digits and a hyphen continue the reply; three digits and
    // anything else end it; anything else is not a reply line at all.
    const std::string& head = scan->head;
    if (!code_in_class(head, '0', '9')) {
      scan->malformed = true;
      scan->ended = true;
    } else if (head.size() < 4 || head[3] != '-') {
      scan->ended = true;
    }
    if (!scan->malformed) {
      const char* line = scan->prefix.data();
      if (announces_keyword(line, scan->prefix.size(), "STARTTLS")) scan->starttls = true;
      if (announces_keyword(line, scan->prefix.size(), "PIPELINING")) scan->pipelining = true;
    }
    scan->last_head = head;
    scan->head.clear();
    scan->prefix.clear();
    ++scan->lines;
    scan->line_length = 0;
  }
  return used;
}

int reply_code(const ReplyScan& scan) {
  if (!code_in_class(scan.first_line, '0', '9')) return -1;
  return (scan.first_line[0] - '0') * 100 + (scan.first_line[1] - '0') * 10 +
         (scan.first_line[2] - '0');
}

bool reply_in_class(const ReplyScan& scan, int lowest, int highest) {
  return scan.ended && !scan.malformed &&
         code_in_class(scan.first_line, static_cast<char>('0' + lowest),
                       static_cast<char>('0' + highest));
}

std::string extract_reply_text(const char* piece, std::size_t length) {
  // The line buffer's 16,384 bytes bound the scan, as they bound the text.
  constexpr std::size_t kScanLimit = 16383;
  std::string text;
  for (std::size_t i = 3; i < length && i - 3 < kScanLimit; ++i) {
    signed char c = static_cast<signed char>(piece[i]);
    if (c < 0x1F) break;  // the CR that ends the first line, or a byte of 0x80 and above
    if (c == 0x1F || c == ' ') continue;
    text.push_back(static_cast<char>(c));
  }
  return text;
}

bool announces_starttls(const char* piece, std::size_t length) {
  return announces_keyword(piece, length, "STARTTLS");
}

bool announces_keyword(const char* piece, std::size_t length, const char* keyword) {
  const std::size_t keyword_length = std::strlen(keyword);
  std::size_t line = 0;
  while (line < length) {
    std::size_t end = line;
    while (end < length && piece[end] != '\n') ++end;
    // The line without its CR, then "250-" or "250 " and the keyword.
    std::size_t stop = end > line && piece[end - 1] == '\r' ? end - 1 : end;
    if (stop - line >= 4 + keyword_length && std::strncmp(piece + line, "250", 3) == 0 &&
        (piece[line + 3] == '-' || piece[line + 3] == ' ')) {
      const char* word = piece + line + 4;
      bool same = true;
      for (std::size_t i = 0; i < keyword_length && same; ++i) {
        char c = word[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        same = c == keyword[i];
      }
      std::size_t after = line + 4 + keyword_length;
      if (same && (after == stop || piece[after] == ' ')) return true;
    }
    line = end + 1;
  }
  return false;
}

bool completes_250_reply(const char* piece, std::size_t length) {
  if (length < 3 || std::strncmp(piece, "250", 3) != 0) return false;
  std::size_t line_start = 0;
  while (line_start + 3 <= length) {
    const char* line = piece + line_start;
    std::size_t rest = length - line_start;
    if (std::memcmp(line, "250", 3) == 0 && (rest == 3 || line[3] != '-')) return true;
    const void* lf = std::memchr(line, '\n', rest);
    if (lf == nullptr) break;
    line_start = static_cast<std::size_t>(static_cast<const char*>(lf) - piece) + 1;
  }
  return false;
}

int read_reply(Connection* connection, int timeout_ms) {
  read_reply_in_class(connection, timeout_ms, 1, 3);
  return 1;
}

int read_reply_code(Connection* connection) {
  return read_reply_in_class(connection, kReplyTimeoutMs, 1, 3);
}

int read_data_reply(Connection* connection) {
  read_reply_in_class(connection, kReplyTimeoutMs, 3, 3);
  return 1;
}

bool read_quit_reply(Connection* connection) {
  ReplyScan scan;
  if (receive_reply(connection, &scan, "Waiting CRLF\n", Deadline(kReplyTimeoutMs),
                    Until::kReplyEnd) != ReadEnd::kDone) {
    return false;
  }
  if (!reply_in_class(scan, 1, 3)) return false;
  g_line_buffer = extract_reply_text(scan.first_line.data(), scan.first_line.size());
  return true;
}

bool ehlo_offered_starttls() { return g_starttls_offered; }

bool ehlo_offered_pipelining() { return g_pipelining_offered; }

bool read_starttls_reply(Connection* connection) {
  ReplyScan scan;
  end_on_failure(receive_reply(connection, &scan, "Waiting CRLF\n", Deadline(kReplyTimeoutMs),
                               Until::kReplyEnd));
  if (!reply_in_class(scan, 2, 2)) {
    int code = reply_code(scan);
    last_reply_code = code > 0 ? code : 0;
    return false;
  }
  g_line_buffer = extract_reply_text(scan.first_line.data(), scan.first_line.size());
  return true;
}

int read_ehlo_reply(Connection* connection) {
  g_starttls_offered = false;
  g_pipelining_offered = false;
  const Deadline deadline(kReplyTimeoutMs);
  ReplyScan scan;
  end_on_failure(
      receive_reply(connection, &scan, "Waiting CRLF\n", deadline, Until::kPieceEnd));
  // Only a 250 reply is an acceptance; any other first piece is a refusal.
  if (scan.first_line.compare(0, 3, "250") != 0) return 0;
  g_starttls_offered = scan.starttls;
  g_pipelining_offered = scan.pipelining;
  g_line_buffer = extract_reply_text(scan.first_line.data(), scan.first_line.size());
  if (scan.ended) {
    if (!ended_as_250(scan)) return 0;
    if (g_run.debug_mode) console_printf("[250 message ok!]\n");
    return 1;
  }
  // The piece ended after a continuation line ("250-"): the rest of the reply comes in
  // further pieces, all within the same time limit.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (read_250_more(connection, deadline.remaining_ms()) == 1) {
      if (g_run.debug_mode) console_printf("[250 message2 ok!]\n");
      return 1;
    }
  }
  return 0;
}

int read_250_more(Connection* connection, int timeout_ms) {
  ReplyScan scan;
  end_on_failure(
      receive_reply(connection, &scan, "Waiting CRLF..\n", Deadline(timeout_ms), Until::kPieceEnd));
  if (!code_in_class(scan.first_line, '1', '2')) error_exit(kErrEhloContinuation);
  if (scan.starttls) g_starttls_offered = true;
  if (scan.pipelining) g_pipelining_offered = true;
  g_line_buffer = extract_reply_text(scan.first_line.data(), scan.first_line.size());
  return ended_as_250(scan) ? 1 : 0;
}
