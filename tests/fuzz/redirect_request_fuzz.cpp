// The redirect-request reader on any bytes a local program could send to the listener.
//
// Input: one byte choosing the piece size (its value + 1), then the bytes of the
// connection; a run of 0xFF 0xFE N C expands to N * 256 copies of C, so that heads past
// the size limits are reachable from small inputs. The state expected is "st".
//
// Properties: the verdict and everything it carries are the same whether the bytes come
// at once or in pieces; the reader never keeps more than kRedirectMaxHead bytes; a code or
// an error comes only from a GET of "/" with a query by HTTP/1.x, whose head ended within
// the limits; a code is non-empty printable ASCII; an error's texts are printable ASCII
// within their bounds; the answer to any verdict is one whole HTTP response whose
// Content-Length matches its body.
#include <cstdint>
#include <string>

#include "oauth/redirect_request.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kState[] = "st";

std::string expand(const uint8_t* data, std::size_t size) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    if (i + 3 < size && data[i] == 0xFF && data[i + 1] == 0xFE) {
      bytes.append(static_cast<std::size_t>(data[i + 2]) * 256, static_cast<char>(data[i + 3]));
      i += 3;
    } else {
      bytes.push_back(static_cast<char>(data[i]));
    }
  }
  return bytes;
}

RedirectRequest feed(const std::string& bytes, std::size_t piece, std::size_t* kept) {
  RedirectReader reader;
  RedirectRequest request;
  for (std::size_t done = 0; done < bytes.size(); done += piece) {
    const std::size_t n = bytes.size() - done < piece ? bytes.size() - done : piece;
    request = redirect_reader_take(&reader, bytes.data() + done, n, kState);
    FUZZ_CHECK(reader.head.size() <= kRedirectMaxHead, visible(bytes.substr(0, 200)));
    if (request.verdict != RedirectVerdict::kIncomplete) break;
  }
  *kept = reader.head.size();
  return request;
}

bool all_printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string describe(const RedirectRequest& r) {
  return std::to_string(static_cast<int>(r.verdict)) + " code=" + visible(r.code) +
         " error=" + visible(r.error) + " description=" + visible(r.error_description);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 8192) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  const std::string bytes = expand(data + 1, size - 1);

  std::size_t kept_whole = 0;
  std::size_t kept_pieces = 0;
  const RedirectRequest whole = feed(bytes, bytes.size() + 1, &kept_whole);
  const RedirectRequest pieces = feed(bytes, piece, &kept_pieces);
  const std::string shown = visible(bytes.substr(0, 300));
  FUZZ_CHECK(whole.verdict == pieces.verdict && whole.code == pieces.code &&
                 whole.error == pieces.error && whole.error_description == pieces.error_description,
             shown + " | at once: " + describe(whole) + " | in pieces of " + std::to_string(piece) +
                 ": " + describe(pieces));

  if (whole.verdict == RedirectVerdict::kCode || whole.verdict == RedirectVerdict::kError) {
    const std::size_t line_end = bytes.find("\r\n");
    FUZZ_CHECK(line_end != std::string::npos && line_end <= kRedirectMaxLine, shown);
    const std::string line = bytes.substr(0, line_end);
    FUZZ_CHECK(line.compare(0, 6, "GET /?") == 0, shown);
    FUZZ_CHECK(line.size() >= 15 && (line.compare(line.size() - 9, 9, " HTTP/1.1") == 0 ||
                                     line.compare(line.size() - 9, 9, " HTTP/1.0") == 0),
               shown);
    const std::size_t head_end = bytes.find("\r\n\r\n");
    FUZZ_CHECK(head_end != std::string::npos && head_end + 4 <= kRedirectMaxHead, shown);
  }
  if (whole.verdict == RedirectVerdict::kCode) {
    FUZZ_CHECK(!whole.code.empty() && all_printable(whole.code), describe(whole));
  } else {
    FUZZ_CHECK(whole.code.empty(), describe(whole));
  }
  if (whole.verdict == RedirectVerdict::kError) {
    FUZZ_CHECK(all_printable(whole.error) && whole.error.size() <= 100, describe(whole));
    FUZZ_CHECK(all_printable(whole.error_description) && whole.error_description.size() <= 300,
               describe(whole));
  }

  if (whole.verdict != RedirectVerdict::kIncomplete) {
    const std::string answer = redirect_response(whole.verdict);
    const std::size_t end = answer.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string::npos, answer);
    const std::string length =
        "Content-Length: " + std::to_string(answer.size() - end - 4) + "\r\n";
    FUZZ_CHECK(answer.find(length) != std::string::npos && answer.find(length) < end, answer);
  }
  return 0;
}
