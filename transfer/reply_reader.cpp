// Reads SMTP replies (RFC 5321 section 4.2). A reply is whatever arrives until a receive
// leaves the gathered bytes ending in CR LF; only the EHLO reader looks further, for the
// last line of a multi-line 250 reply.
#include "transfer/reply_reader.h"

#include <cstdint>
#include <cstring>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"

namespace {

// Each reader assembles its replies in a buffer of its own: 4,095 received bytes and a
// NUL. A reply that fills it without CR LF leaves no room to receive more: error 10.
constexpr std::size_t kReplyCapacity = 4095;

struct ReplyBuffer {
  char data[kReplyCapacity + 1] = {};
  std::size_t length = 0;
};

ReplyBuffer g_reply_buffer;  // read_reply, read_quit_reply
ReplyBuffer g_ehlo_buffer;   // read_ehlo_reply
ReplyBuffer g_more_buffer;   // read_250_more

// How a piece ended: complete (ends in CR LF) or the connection is gone.
enum class PieceEnd { kComplete, kLost };

// Receives one piece from position 0 after sending all gathered output. In debug mode
// echoes each receive and, while the piece is incomplete, the waiting line. When the
// connection fails, closes or stays silent past timeout_ms: error 9 or 10, or kLost when
// the caller tolerates the loss.
PieceEnd receive_piece(platform::Socket socket, ReplyBuffer* reply, const char* waiting_line,
                       int timeout_ms, bool tolerate_loss) {
  if (!flush_output(socket)) {
    if (tolerate_loss) return PieceEnd::kLost;
    error_exit(kErrSend);
  }
  reply->length = 0;
  reply->data[0] = '\0';
  uint32_t started = platform::tick_count();
  for (;;) {
    if (reply->length >= kReplyCapacity) error_exit(kErrReceive);
    uint32_t waited = platform::tick_count() - started;
    int remaining =
        waited >= static_cast<uint32_t>(timeout_ms) ? 0 : timeout_ms - static_cast<int>(waited);
    std::size_t count = 0;
    platform::RecvStatus status = platform::RecvStatus::kTimeout;
    if (remaining > 0) {
      status = platform::recv_some(socket, reply->data + reply->length,
                                   kReplyCapacity - reply->length, remaining, &count);
    }
    if (status != platform::RecvStatus::kData) {
      if (tolerate_loss) return PieceEnd::kLost;
      error_exit(kErrReceive);
    }
    char* received = reply->data + reply->length;
    reply->length += count;
    reply->data[reply->length] = '\0';
    if (g_run.debug_mode) {
      console_write_received("Recv:[" + std::to_string(count) + " bytes] ", received,
                             std::strlen(received));
    }
    if (reply->length >= 2 && reply->data[reply->length - 2] == '\r' &&
        reply->data[reply->length - 1] == '\n') {
      return PieceEnd::kComplete;
    }
    if (g_run.debug_mode) console_printf("%s", waiting_line);
  }
}

// The first character of a reply, compared as a signed character as the server's text is.
signed char first_char(const ReplyBuffer& reply) { return static_cast<signed char>(reply.data[0]); }

// The decimal number at the start of a refused reply (its first character is above "3",
// so no blank or sign precedes the digits). A server that sends an endless row of digits
// gets the largest code instead of an overflow.
int32_t leading_number(const char* text) {
  int32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    int digit = *text - '0';
    if (value > (INT32_MAX - digit) / 10) return INT32_MAX;
    value = value * 10 + digit;
  }
  return value;
}

// Judges a complete piece read for read_reply or read_quit_reply.
void accept_reply(const ReplyBuffer& reply) {
  if (first_char(reply) > '3') {
    last_reply_code = leading_number(reply.data);
    error_exit(kErrServerReply);
  }
  g_line_buffer = extract_reply_text(reply.data, reply.length);
}

}  // namespace

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

bool completes_250_reply(const char* piece, std::size_t length) {
  if (length < 3 || std::strncmp(piece, "250", 3) != 0) return false;
  // Every piece ends in CR LF, so the last four bytes cannot begin "250 ".
  for (std::size_t i = 0; i + 4 < length; ++i) {
    if (std::memcmp(piece + i, "250 ", 4) == 0) return true;
  }
  return false;
}

int read_reply(platform::Socket socket, int timeout_ms) {
  receive_piece(socket, &g_reply_buffer, "Waiting CRLF\n", timeout_ms, false);
  accept_reply(g_reply_buffer);
  return 1;
}

bool read_quit_reply(platform::Socket socket) {
  if (receive_piece(socket, &g_reply_buffer, "Waiting CRLF\n", kReplyTimeoutMs, true) ==
      PieceEnd::kLost) {
    return false;
  }
  accept_reply(g_reply_buffer);
  return true;
}

int read_ehlo_reply(platform::Socket socket) {
  receive_piece(socket, &g_ehlo_buffer, "Waiting CRLF\n", kReplyTimeoutMs, false);
  if (first_char(g_ehlo_buffer) > '3') return 0;
  g_line_buffer = extract_reply_text(g_ehlo_buffer.data, g_ehlo_buffer.length);
  if (completes_250_reply(g_ehlo_buffer.data, g_ehlo_buffer.length)) {
    if (g_run.debug_mode) console_printf("[250 message ok!]\n");
    return 1;
  }
  // The piece ended after a continuation line ("250-"), or holds lines left over from the
  // greeting: the rest of the 250 reply comes in further pieces.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (read_250_more(socket) == 1) {
      if (g_run.debug_mode) console_printf("[250 message2 ok!]\n");
      return 1;
    }
  }
  return 0;
}

int read_250_more(platform::Socket socket) {
  receive_piece(socket, &g_more_buffer, "Waiting CRLF..\n", kReplyTimeoutMs, false);
  if (first_char(g_more_buffer) >= '3') error_exit(kErrEhloContinuation);
  g_line_buffer = extract_reply_text(g_more_buffer.data, g_more_buffer.length);
  return completes_250_reply(g_more_buffer.data, g_more_buffer.length) ? 1 : 0;
}
