// The SMTP reply readers on any server bytes, received in the pieces the input chooses
// (one datagram of a local packet socket pair per piece). Every piece is queued before
// the reader starts and the server side is closed at once, so a reader that waits for
// more sees the end of the connection without delay and every input runs in bounded time.
//
// Input: one byte choosing the reader (bits 0-1: 0 the ordinary reader, 1 EHLO, 2 QUIT, 3
// STARTTLS), debug mode (bit 2) and whether the ordinary reader reads a second reply after
// the first reader returned, as after a pipelined group (bit 3), then pieces, each a
// length byte and that many bytes; a
// length byte of 0 stands for a piece of kRunLength copies of the byte after it, so that
// lines too long for the readers are reachable from small inputs.
//
// Properties: each reader's outcome (accepted or refused, the run's end status, the reply
// code kept for the error message, the reply text, how many pieces it took) matches a
// model of the reply rules worked out on the whole byte stream line by line: a reply is
// read to its last line ("ddd" and anything but a hyphen), a line not beginning with
// three digits ends it as malformed, it is positive only when well formed and its code
// begins with 1, 2 or 3, a line longer than kReplyLineCapacity bytes before its LF, or as
// long as that at the end of a receive, is a receive error, and the bytes a receive brought
// beyond the reply's end begin the next reply. The QUIT reader never ends the run; the STARTTLS reader
// accepts only 2xx replies and ends the run only when the connection fails. After EHLO,
// STARTTLS counts as offered exactly when a line read was "250-" or "250 " and the
// keyword in any case, alone on its line or followed by a blank. The console shows
// nothing outside debug mode; the debug trace echoes every piece taken, in order, as
// "Recv:[N bytes] " and its bytes with control bytes but CR, LF and TAB escaped, and shows
// no other control bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/errors.h"
#include "app/run_state.h"
#include "transfer/connection.h"
#include "transfer/reply_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// At most this many pieces are taken from an input (more than the EHLO reader's 101
// receives); the rest of the input is not used. With pieces of kRunLength bytes at most
// they fit in the socket pair's queue, so queueing them never blocks.
constexpr std::size_t kMaxPieces = 120;
constexpr std::size_t kRunLength = 1024;

enum class Reader { kReply, kEhlo, kQuit, kStarttls };

// What a reader did: its result when it returned, or the status it ended the run with.
struct Outcome {
  int status = -1;  // -1: it returned
  int result = 0;   // read_reply/read_ehlo_reply's value; 1/0 for the yes/no readers
  int reply_code = 0;
  bool starttls = false;  // after EHLO: STARTTLS offered
  std::string text;       // g_line_buffer after an accepted reply
  std::size_t taken = 0;  // pieces received
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool has_code(const std::string& line, char lowest, char highest) {
  return line.size() >= 3 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) &&
         line[0] >= lowest && line[0] <= highest;
}

// A reply text as the readers give it: the first line's bytes after its code, blanks and
// 0x1F left out, up to the first other control byte or byte of 0x80 and above.
std::string reply_text(const std::string& line) {
  std::string text;
  for (std::size_t i = 3; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x1F || c >= 0x80) break;
    if (c != 0x1F && c != ' ') text.push_back(static_cast<char>(c));
  }
  return text;
}

// A line (with its line end) that offers STARTTLS in an EHLO reply.
bool offers_starttls(const std::string& line) {
  std::string text = line.substr(0, line.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() < 12 || text.compare(0, 3, "250") != 0 || (text[3] != '-' && text[3] != ' ')) {
    return false;
  }
  for (std::size_t i = 0; i < 8; ++i) {
    char c = text[4 + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != "STARTTLS"[i]) return false;
  }
  // The keyword alone on its line, or followed by a blank; a CR inside the line is not
  // its end.
  return text.size() == 12 || text[12] == ' ';
}

// One read of the model: the bytes kept from the read before, then pieces from `first` on,
// taken whole, until the reply's last line has come (the rest is kept for the next read),
// a line is overlong, the pieces run out, or (at_piece_end) the bytes taken last end in
// CR LF. The kept bytes count as a piece of their own, but not as one received.
struct ModelRead {
  bool lost = false;       // closed or overlong: a receive error
  bool ended = false;      // a line ended the reply
  bool malformed = false;  // ... and it did not begin with three digits
  bool starttls = false;   // a complete line offered STARTTLS
  std::string first_line;  // the first line, with its LF when it has one
  std::string last_line;   // the line that ended the reply
  std::size_t next = 0;    // the first piece not taken
  std::string kept;        // what the pieces taken brought beyond the reply's end
};

ModelRead model_read(const std::vector<std::string>& pieces, std::size_t first,
                     const std::string& kept, bool at_piece_end) {
  ModelRead read;
  read.next = first;
  std::string bytes;           // every byte taken
  std::size_t line_start = 0;  // where the line not yet ended begins in bytes
  std::size_t lines = 0;
  for (std::size_t i = first - (kept.empty() ? 0 : 1); i < pieces.size(); ++i) {
    const bool from_kept = i + 1 == first && !kept.empty();
    const std::string& piece = from_kept ? kept : pieces[i];
    bytes += piece;
    if (!from_kept) read.next = i + 1;
    std::size_t lf;
    while (!read.ended && (lf = bytes.find('\n', line_start)) != std::string::npos) {
      const std::string line = bytes.substr(line_start, lf + 1 - line_start);
      if (line.size() - 1 > kReplyLineCapacity) break;  // overlong before its LF
      if (lines++ == 0) read.first_line = line;
      if (offers_starttls(line)) read.starttls = true;
      if (!has_code(line, '0', '9')) {
        read.ended = read.malformed = true;
      } else if (line.size() < 4 || line[3] != '-') {
        read.ended = true;
      }
      if (read.ended) read.last_line = line;
      line_start = lf + 1;
    }
    if (!read.ended) {
      std::size_t lf_at = bytes.find('\n', line_start);
      std::size_t open = (lf_at == std::string::npos ? bytes.size() : lf_at) - line_start;
      if (open > kReplyLineCapacity || (lf_at == std::string::npos && open >= kReplyLineCapacity)) {
        break;
      }
    }
    if (read.ended) {
      read.kept = bytes.substr(line_start);
      return read;
    }
    if (at_piece_end && bytes.size() >= 2 && piece.size() >= 1 &&
        bytes.compare(bytes.size() - 2, 2, "\r\n") == 0) {
      return read;
    }
  }
  read.lost = true;
  if (lines == 0) read.first_line = bytes.substr(line_start);
  return read;
}

// One reader from the piece `first` on, with the bytes kept before; *last is its last read.
Outcome model(Reader reader, const std::vector<std::string>& pieces, std::size_t first,
              const std::string& kept, ModelRead* last) {
  Outcome expected;
  ModelRead& read = *last;
  if (reader != Reader::kEhlo) {
    read = model_read(pieces, first, kept, false);
    expected.taken = read.next;
    const char lowest = reader == Reader::kStarttls ? '2' : '1';
    const char highest = reader == Reader::kStarttls ? '2' : '3';
    bool positive = read.ended && !read.malformed && has_code(read.first_line, lowest, highest);
    if (reader == Reader::kQuit) {
      expected.result = positive ? 1 : 0;
    } else if (read.lost) {
      expected.status = kErrReceive;
    } else if (reader == Reader::kStarttls) {
      expected.result = positive ? 1 : 0;
      if (!positive && has_code(read.first_line, '0', '9')) {
        expected.reply_code = std::stoi(read.first_line.substr(0, 3));
      }
    } else if (!positive) {
      expected.status = kErrServerReply;
      if (has_code(read.first_line, '0', '9')) {
        expected.reply_code = std::stoi(read.first_line.substr(0, 3));
      }
    } else {
      expected.result = 1;
    }
    if (positive) expected.text = reply_text(read.first_line);
    return expected;
  }

  // EHLO: the first piece read decides between a 250 reply and a refusal; a 250 reply not
  // ended in it is followed through at most 100 further piece reads.
  auto ends_as_250 = [](const ModelRead& read) {
    return read.ended && !read.malformed && read.last_line.compare(0, 3, "250") == 0;
  };
  read = model_read(pieces, first, kept, true);
  expected.taken = read.next;
  if (read.lost) {
    expected.status = kErrReceive;
    return expected;
  }
  if (read.first_line.compare(0, 3, "250") != 0) return expected;
  expected.text = reply_text(read.first_line);
  expected.starttls = read.starttls;
  if (read.ended) {
    expected.result = ends_as_250(read) ? 1 : 0;
    return expected;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    read = model_read(pieces, read.next, read.kept, true);
    expected.taken = read.next;
    if (read.lost) {
      expected.status = kErrReceive;
      return expected;
    }
    if (!has_code(read.first_line, '1', '2')) {
      expected.status = kErrEhloContinuation;
      return expected;
    }
    if (read.starttls) expected.starttls = true;
    expected.text = reply_text(read.first_line);
    if (ends_as_250(read)) {
      expected.result = 1;
      return expected;
    }
  }
  return expected;
}

// Runs the reader on a plain connection over the socket, and with `second` the ordinary
// reader after it when it returned; the readers' calls stand here only.
Outcome run_reader(Reader reader, platform::Socket socket, bool second, Outcome* next) {
  Connection connection;
  connection.socket = socket;
  Outcome outcome;
  outcome.status = run_status([&] {
    if (reader == Reader::kReply) {
      outcome.result = read_reply(&connection, 2000);
    } else if (reader == Reader::kEhlo) {
      outcome.result = read_ehlo_reply(&connection);
      outcome.starttls = ehlo_offered_starttls();
    } else if (reader == Reader::kQuit) {
      outcome.result = read_quit_reply(&connection) ? 1 : 0;
    } else {
      outcome.result = read_starttls_reply(&connection) ? 1 : 0;
    }
  });
  outcome.reply_code = last_reply_code;
  outcome.text = g_line_buffer;
  if (second && outcome.status < 0) {
    last_reply_code = 0;
    next->status = run_status([&] { next->result = read_reply(&connection, 2000); });
    next->reply_code = last_reply_code;
    next->text = g_line_buffer;
  }
  return outcome;
}

// A piece as the debug trace shows it.
std::string traced(const std::string& piece) {
  std::string text;
  for (unsigned char c : piece) {
    if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text.push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 15]);
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  return text;
}

std::string describe(const Outcome& outcome) {
  return "status " + std::to_string(outcome.status) + " result " + std::to_string(outcome.result) +
         " code " + std::to_string(outcome.reply_code) + " starttls " +
         std::to_string(outcome.starttls) + " taken " +
         std::to_string(outcome.taken) + " text " + outcome.text;
}

}  // namespace

// The trace is judged as the C locale shows it (the server's bytes as received, control
// bytes escaped), whatever locale the fuzzer was started in; the UTF-8 terminal's form of
// those bytes is the utf8 target's to check.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static bool once = (catch_run_endings(), true);
  (void)once;
  if (size < 1) return 0;
  static const Reader kReaders[] = {Reader::kReply, Reader::kEhlo, Reader::kQuit,
                                    Reader::kStarttls};
  const Reader reader = kReaders[data[0] & 3];
  const bool debug = (data[0] & 4) != 0;
  const bool second = (data[0] & 8) != 0;
  std::vector<std::string> pieces;
  for (std::size_t at = 1; at < size && pieces.size() < kMaxPieces;) {
    std::size_t length = data[at++];
    if (length == 0) {
      if (at < size) pieces.emplace_back(kRunLength, static_cast<char>(data[at++]));
      continue;
    }
    if (length > size - at) length = size - at;
    if (length == 0) break;  // the input ended inside a length byte's piece
    pieces.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return 0;
  int room = 1 << 20;  // as much queue as the system grants; the pieces need about 300 KB
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  for (const std::string& piece : pieces) {
    // Queued without waiting: should the system's queue still be too small for an input,
    // the input is passed over rather than the run blocked.
    if (send(fds[1], piece.data(), piece.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        static_cast<ssize_t>(piece.size())) {
      close(fds[0]);
      close(fds[1]);
      return 0;
    }
  }
  close(fds[1]);

  g_run = RunState();
  g_run.debug_mode = debug;
  g_run.silent_mode = true;
  last_reply_code = 0;
  g_line_buffer.clear();
  begin_console_capture();
  Outcome seen_next;
  Outcome seen = run_reader(reader, fds[0], second, &seen_next);
  const std::string console = end_console_capture();

  // The pieces taken: those the reader received before it stopped.
  std::size_t left = 0;
  char scrap[kRunLength + 4096];
  while (recv(fds[0], scrap, sizeof scrap, MSG_DONTWAIT) > 0) ++left;
  close(fds[0]);
  const std::size_t taken = pieces.size() - left;

  ModelRead last;
  Outcome expected = model(reader, pieces, 0, "", &last);
  // The second reply begins with what the first reader's last receive brought beyond it.
  Outcome expected_next;
  const bool read_next = second && expected.status < 0;
  if (read_next) expected_next = model(Reader::kReply, pieces, last.next, last.kept, &last);
  seen.taken = read_next ? expected.taken : taken;
  seen_next.taken = taken;
  std::string input;
  for (const std::string& piece : pieces) input += "<" + piece + ">";
  const std::string detail = "reader " + std::to_string(data[0] & 15) + " pieces " + input +
                             " | seen: " + describe(seen) + " | expected: " + describe(expected) +
                             " | second seen: " + describe(seen_next) +
                             " | second expected: " + describe(expected_next);
  FUZZ_CHECK(seen.status == expected.status, detail);
  FUZZ_CHECK(taken == (read_next ? expected_next.taken : expected.taken), detail);
  if (read_next) {
    FUZZ_CHECK(seen_next.status == expected_next.status, detail);
    if (seen_next.status < 0) FUZZ_CHECK(seen_next.text == expected_next.text, detail);
    if (seen_next.status == kErrServerReply) {
      FUZZ_CHECK(seen_next.reply_code == expected_next.reply_code, detail);
    }
  }
  if (seen.status < 0) FUZZ_CHECK(seen.result == expected.result, detail);
  if (seen.status == kErrServerReply || (reader == Reader::kStarttls && seen.status < 0 &&
                                          seen.result == 0)) {
    FUZZ_CHECK(seen.reply_code == expected.reply_code, detail);
  }
  if (reader == Reader::kEhlo && seen.status < 0) FUZZ_CHECK(seen.starttls == expected.starttls, detail);
  if (seen.status < 0 && seen.result == 1) FUZZ_CHECK(seen.text == expected.text, detail);

  if (!debug) FUZZ_CHECK(console.empty(), "console: " + console);
  std::size_t echoed = 0;
  for (std::size_t i = 0; debug && i < taken; ++i) {
    const std::string echo =
        "Recv:[" + std::to_string(pieces[i].size()) + " bytes] " + traced(pieces[i]);
    echoed = console.find(echo, echoed);
    FUZZ_CHECK(echoed != std::string::npos, detail + " | trace: " + console);
    echoed += echo.size();
  }
  for (unsigned char c : console) {
    FUZZ_CHECK(c >= 0x20 || c == '\r' || c == '\n' || c == '\t', "trace: " + console);
    FUZZ_CHECK(c != 0x7f, "trace: " + console);
  }
  return 0;
}
