// The SMTP reply readers on any server bytes, received in the pieces the input chooses
// (one datagram of a local packet socket pair per piece, then the server side closes).
// Input: one byte choosing the reader (bit 0-1) and debug mode (bit 2), then pieces, each a
// length byte and that many bytes.
// Properties: a reply is accepted only when its last line is a final line ("ddd" and a
// blank or the line end) with a code of 1xx to 3xx; EHLO succeeds only on a final 250 line;
// a run ends only with a receive, send or reply error; the debug trace shows no control
// bytes but CR, LF and TAB.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/errors.h"
#include "app/run_state.h"
#include "transfer/connection.h"
#include "transfer/reply_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The last line of the bytes taken, without its line end.
// The line that ended the reply: the first line of what was taken that is not a
// continuation ("DDD-"); bytes that came after it in the same receive are not looked at.
std::string last_line(const std::string& taken) {
  std::size_t start = 0;
  for (;;) {
    std::size_t end = taken.find('\n', start);
    std::string line = taken.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (end == std::string::npos || line.size() < 4 || line[3] != '-') return line;
    start = end + 1;
  }
}

bool is_final_line(const std::string& line, char first_low, char first_high) {
  return line.size() >= 3 && line[0] >= first_low && line[0] <= first_high && line[1] >= '0' &&
         line[1] <= '9' && line[2] >= '0' && line[2] <= '9' && (line.size() == 3 || line[3] != '-');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static bool once = (catch_run_endings(), true);
  (void)once;
  if (size < 1 || size > 4000) return 0;
  const int reader = data[0] & 3;
  const bool debug = (data[0] & 4) != 0;
  std::vector<std::string> pieces;
  for (std::size_t at = 1; at < size;) {
    std::size_t length = data[at++];
    if (length > size - at) length = size - at;
    if (length > 0) pieces.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return 0;
  for (const std::string& piece : pieces) {
    if (write(fds[1], piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
      property_failed("pieces can be written", piece);
    }
  }
  close(fds[1]);

  g_run = RunState();
  g_run.debug_mode = debug;
  g_run.silent_mode = true;
  last_reply_code = 0;
  int result = -1;
  Connection connection;
  connection.socket = fds[0];
  begin_console_capture();
  int status = run_status([&] {
    if (reader == 0 || reader == 3) {
      result = read_reply(&connection, 2000);
    } else if (reader == 1) {
      result = read_ehlo_reply(&connection);
    } else {
      result = read_quit_reply(&connection) ? 1 : 0;
    }
  });
  const std::string console = end_console_capture();

  // What the reader took: the pieces it received before it stopped.
  std::size_t left = 0;
  char scrap[4096];
  while (recv(fds[0], scrap, sizeof scrap, MSG_DONTWAIT) > 0) ++left;
  close(fds[0]);
  std::string taken;
  for (std::size_t i = 0; i + left < pieces.size(); ++i) taken += pieces[i];
  const std::string detail = "reader " + std::to_string(reader) + ", taken: " + taken;

  if (status >= 0) {
    FUZZ_CHECK(status == kErrSend || status == kErrReceive || status == kErrServerReply ||
                   status == kErrEhloContinuation,
               detail + ", status " + std::to_string(status));
  } else if (reader == 0 || reader == 3 || (reader == 2 && result == 1)) {
    // A positive reply is judged by the code of its first line and read to a final line.
    FUZZ_CHECK(is_final_line(last_line(taken), '0', '9'), detail);
    FUZZ_CHECK(taken.size() >= 3 && taken[0] >= '1' && taken[0] <= '3', detail);
  } else if (reader == 1 && result == 1) {
    // The EHLO reader judges each receive that ends in CR LF as a reply of its own, so
    // line boundaries are its receives' and not the bytes'; what holds whatever the split
    // is that it accepted a 250 reply.
    FUZZ_CHECK(taken.compare(0, 3, "250") == 0, detail);
  }
  for (unsigned char c : console) {
    FUZZ_CHECK(c >= 0x20 || c == '\r' || c == '\n' || c == '\t', "trace: " + console);
    FUZZ_CHECK(c != 0x7f, "trace: " + console);
  }
  return 0;
}
