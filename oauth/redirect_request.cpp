// Reading and answering the browser's redirect to the loopback listener (RFC 9112 for the
// request's form, RFC 6749 sections 4.1.2 and 4.1.2.1 for its parameters).
#include "oauth/redirect_request.h"

#include <vector>

namespace {

struct Parameter {
  std::string name;
  std::string value;
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of a query component, "+" standing for a space as in a form; false
// for a "%" without two hex digits.
bool decode_component(const std::string& text, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c != '%') {
      out->push_back(c);
    } else {
      if (i + 2 >= text.size()) return false;
      int high = hex_value(text[i + 1]);
      int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
  }
  return true;
}

// Splits a query into its parameters; false when one is malformed or a name comes twice
// (which of two values was meant cannot be told, so neither is taken).
bool split_query(const std::string& query, std::vector<Parameter>* parameters) {
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    Parameter parameter;
    if (!decode_component(pair.substr(0, equals), &parameter.name)) return false;
    if (!decode_component(equals == std::string::npos ? std::string() : pair.substr(equals + 1),
                          &parameter.value)) {
      return false;
    }
    for (const Parameter& seen : *parameters) {
      if (seen.name == parameter.name) return false;
    }
    parameters->push_back(parameter);
  }
  return true;
}

const Parameter* find_parameter(const std::vector<Parameter>& parameters, const char* name) {
  for (const Parameter& parameter : parameters) {
    if (parameter.name == name) return &parameter;
  }
  return nullptr;
}

// Compares without stopping at the first difference, so that the time taken tells a
// prober on this machine nothing about how much of a guessed state was right.
bool same_secret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

// Visible ASCII (RFC 6749 appendix A: VSCHAR) and the space.
bool printable(char c) { return c >= 0x20 && c <= 0x7E; }

// Provider text for the console: printable ASCII alone, anything else shown as "?".
std::string shown(const std::string& text, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && out.size() < limit; ++i) {
    out.push_back(printable(text[i]) ? text[i] : '?');
  }
  return out;
}

// A header field name is a token (RFC 9110 section 5.6.2).
bool token_char(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  const char* others = "!#$%&'*+-.^_`|~";
  for (const char* p = others; *p != '\0'; ++p) {
    if (*p == c) return true;
  }
  return false;
}

// Each header line is "name:" and a value of visible characters, blanks and
// octets from 0x80 up; no folded continuation line.
bool headers_valid(const std::string& head, std::size_t start, std::size_t end) {
  while (start < end) {
    std::size_t line_end = head.find("\r\n", start);
    if (line_end == std::string::npos || line_end > end) return false;
    std::size_t colon = head.find(':', start);
    if (colon == std::string::npos || colon >= line_end || colon == start) return false;
    for (std::size_t i = start; i < colon; ++i) {
      if (!token_char(head[i])) return false;
    }
    for (std::size_t i = colon + 1; i < line_end; ++i) {
      const unsigned char c = static_cast<unsigned char>(head[i]);
      if (c < 0x20 && c != '\t') return false;
      if (c == 0x7F) return false;
    }
    start = line_end + 2;
  }
  return true;
}

// Judges a complete head (request line, headers, the empty line).
RedirectRequest judge(const std::string& head, std::size_t line_end, std::size_t head_end,
                      const std::string& state) {
  RedirectRequest request;
  request.verdict = RedirectVerdict::kBadRequest;
  const std::string line = head.substr(0, line_end);
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) {
    return request;
  }
  const std::string method = line.substr(0, first);
  const std::string target = line.substr(first + 1, second - first - 1);
  const std::string version = line.substr(second + 1);
  if (method != "GET" || (version != "HTTP/1.1" && version != "HTTP/1.0")) return request;
  // Origin form only, and nothing a browser would have percent-encoded.
  if (target.empty() || target[0] != '/') return request;
  for (char c : target) {
    if (c <= 0x20 || c >= 0x7F) return request;
  }
  if (!headers_valid(head, line_end + 2, head_end)) return request;

  const std::size_t mark = target.find('?');
  if (target.substr(0, mark) != "/") {
    request.verdict = RedirectVerdict::kNotFound;
    return request;
  }
  std::vector<Parameter> parameters;
  if (mark == std::string::npos || !split_query(target.substr(mark + 1), &parameters)) {
    return request;
  }
  // Without this sign-in's state nothing in the request counts, an error neither: another
  // page or program must not be able to end or steer the sign-in.
  const Parameter* got_state = find_parameter(parameters, "state");
  if (got_state == nullptr || !same_secret(got_state->value, state)) return request;
  const Parameter* error = find_parameter(parameters, "error");
  if (error != nullptr) {
    request.verdict = RedirectVerdict::kError;
    request.error = shown(error->value, 100);
    const Parameter* description = find_parameter(parameters, "error_description");
    if (description != nullptr) request.error_description = shown(description->value, 300);
    return request;
  }
  const Parameter* code = find_parameter(parameters, "code");
  if (code == nullptr || code->value.empty()) return request;
  for (char c : code->value) {
    if (!printable(c)) return request;
  }
  request.verdict = RedirectVerdict::kCode;
  request.code = code->value;
  return request;
}

const char kPageStart[] =
    "<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\">"
    "<title>VORNA</title></head><body><p>";
const char kPageEnd[] = "</p></body></html>\n";
// "The sign-in steps in the browser are done." / "The sign-in did not complete."
const char kPageDone[] =
    "\xe3\x82\xb5\xe3\x82\xa4\xe3\x83\xb3\xe3\x82\xa4\xe3\x83\xb3\xe3\x81\xae\xe6\x89\x8b\xe7\xb6"
    "\x9a\xe3\x81\x8d\xe3\x81\xaf\xe3\x83\x96\xe3\x83\xa9\xe3\x82\xa6\xe3\x82\xb6\xe3"
    "\x81\xa7\xe5\xae\x8c\xe4\xba\x86\xe3\x81\x97\xe3\x81\xbe\xe3\x81\x97\xe3\x81\x9f\xe3\x80\x82";
const char kPageNotDone[] =
    "\xe3\x82\xb5\xe3\x82\xa4\xe3\x83\xb3\xe3\x82\xa4\xe3\x83\xb3\xe3\x81\xaf\xe5\xae\x8c\xe4\xba"
    "\x86\xe3\x81\x97\xe3\x81\xbe\xe3\x81\x9b\xe3\x82\x93\xe3\x81\xa7\xe3\x81\x97\xe3\x81\x9f\xe3"
    "\x80\x82";
// "This window can be closed. The result is shown on VORNA's screen."
const char kPageClose[] =
    "\xe3\x81\x93\xe3\x81\xae\xe3\x82\xa6\xe3\x82\xa3\xe3\x83\xb3\xe3\x83\x89\xe3\x82\xa6\xe3\x81"
    "\xaf\xe9\x96\x89\xe3\x81\x98\xe3\x81\xa6\xe3\x81\x8b\xe3\x81\xbe\xe3\x81\x84\xe3\x81\xbe\xe3"
    "\x81\x9b\xe3\x82\x93\xe3\x80\x82\xe7\xb5\x90\xe6\x9e\x9c\xe3\x81\xaf VORNA \xe3\x81\xae\xe7"
    "\x94\xbb\xe9\x9d\xa2\xe3\x81\xab\xe8\xa1\xa8\xe7\xa4\xba\xe3\x81\x95\xe3\x82\x8c\xe3\x81\xbe"
    "\xe3\x81\x99\xe3\x80\x82";

// Nothing from the request is echoed; the page may not run anything, load anything or
// pass its address (which holds the code) on as a referrer.
std::string response(const char* status, const char* type, const std::string& body) {
  return std::string("HTTP/1.1 ") + status +
         "\r\n"
         "Content-Type: " +
         type +
         "\r\n"
         "Content-Length: " +
         std::to_string(body.size()) +
         "\r\n"
         "Cache-Control: no-store\r\n"
         "Content-Security-Policy: default-src 'none'\r\n"
         "Referrer-Policy: no-referrer\r\n"
         "X-Content-Type-Options: nosniff\r\n"
         "Connection: close\r\n"
         "\r\n" +
         body;
}

// Sends the whole text within limit_ms; a browser that does not take it loses the page,
// nothing more.
void send_all(platform::Socket socket, const std::string& text, int limit_ms) {
  const uint32_t start = platform::tick_count();
  std::size_t done = 0;
  while (done < text.size()) {
    const uint32_t spent = platform::tick_count() - start;
    if (spent >= static_cast<uint32_t>(limit_ms)) return;
    std::size_t sent = platform::send_some(socket, text.data() + done, text.size() - done,
                                           limit_ms - static_cast<int>(spent));
    if (sent == 0) return;
    done += sent;
  }
}

// Milliseconds left of limit_ms since start; 0 once it has passed.
int left_of(uint32_t start, int limit_ms) {
  const uint32_t spent = platform::tick_count() - start;
  if (limit_ms <= 0 || spent >= static_cast<uint32_t>(limit_ms)) return 0;
  return limit_ms - static_cast<int>(spent);
}

// A connection being read: its reader and when it was accepted.
struct Connection {
  platform::Socket socket;
  RedirectReader reader;
  uint32_t accepted;
};

// A browser may open a spare connection and send on another one, so several are read side
// by side; a ninth makes room by dropping the oldest.
constexpr std::size_t kMaxConnections = 8;
// The slice each wait takes while connections are open.
constexpr int kSliceMs = 10;

void drop(std::vector<Connection>* connections, std::size_t index) {
  platform::close_socket((*connections)[index].socket);
  connections->erase(connections->begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace

RedirectRequest redirect_reader_take(RedirectReader* reader, const char* data, std::size_t length,
                                     const std::string& state) {
  RedirectRequest request;
  // Only what can still belong to a head of the allowed size is kept.
  const std::size_t room = kRedirectMaxHead - reader->head.size();
  reader->head.append(data, length < room ? length : room);
  const std::string& head = reader->head;
  // Earlier bytes were searched already; the last three may start a mark that the new
  // bytes complete. Each byte is thus searched a bounded number of times, however small
  // the pieces.
  const std::size_t from = reader->scanned > 3 ? reader->scanned - 3 : 0;
  reader->scanned = head.size();
  if (reader->line_end == std::string::npos) reader->line_end = head.find("\r\n", from);
  const std::size_t line_end = reader->line_end;
  // A line within the limit has its CR LF starting at kRedirectMaxLine at the latest.
  if (line_end == std::string::npos ? head.size() >= kRedirectMaxLine + 2
                                    : line_end > kRedirectMaxLine) {
    request.verdict = RedirectVerdict::kBadRequest;
    return request;
  }
  if (line_end == std::string::npos) return request;
  // The empty line that ends the head may follow the request line at once.
  const std::size_t head_end = head.find("\r\n\r\n", from > line_end ? from : line_end);
  if (head_end == std::string::npos) {
    if (head.size() >= kRedirectMaxHead) request.verdict = RedirectVerdict::kBadRequest;
    return request;
  }
  return judge(head, line_end, head_end + 2, state);
}

std::string redirect_response(RedirectVerdict verdict) {
  switch (verdict) {
    case RedirectVerdict::kCode:
      return response("200 OK", "text/html; charset=utf-8",
                      std::string(kPageStart) + kPageDone + "<br>" + kPageClose + kPageEnd);
    case RedirectVerdict::kError:
      return response("200 OK", "text/html; charset=utf-8",
                      std::string(kPageStart) + kPageNotDone + "<br>" + kPageClose + kPageEnd);
    case RedirectVerdict::kNotFound:
      return response("404 Not Found", "text/plain; charset=us-ascii", "Not Found\n");
    default:
      return response("400 Bad Request", "text/plain; charset=us-ascii", "Bad Request\n");
  }
}

RedirectOutcome wait_for_redirect(platform::LoopbackListener* listener, const std::string& state,
                                  int limit_ms) {
  RedirectOutcome outcome;
  std::vector<Connection> connections;
  const uint32_t start = platform::tick_count();
  char buffer[4096];
  for (;;) {
    const int left = left_of(start, limit_ms);
    if (left == 0) {
      outcome.result = RedirectWait::kTimedOut;
      break;
    }
    platform::Socket socket =
        platform::accept_loopback(listener, connections.empty() ? left : kSliceMs);
    if (socket != platform::kInvalidSocket) {
      if (connections.size() == kMaxConnections) drop(&connections, 0);
      connections.push_back({socket, RedirectReader(), platform::tick_count()});
    } else if (connections.empty() && left_of(start, limit_ms) > 0) {
      // Before the time is up only a failing listener gives no connection.
      outcome.result = RedirectWait::kFailed;
      break;
    }
    for (std::size_t i = 0; i < connections.size();) {
      Connection& connection = connections[i];
      std::size_t received = 0;
      platform::RecvStatus status =
          platform::recv_some(connection.socket, buffer, sizeof buffer, kSliceMs, &received);
      RedirectRequest request;
      if (status == platform::RecvStatus::kData) {
        request = redirect_reader_take(&connection.reader, buffer, received, state);
      }
      const bool open =
          status == platform::RecvStatus::kData || status == platform::RecvStatus::kTimeout;
      if (request.verdict == RedirectVerdict::kIncomplete && open &&
          left_of(connection.accepted, kRedirectConnectionMs) > 0) {
        ++i;
        continue;
      }
      // A whole request is answered; a closed, failed or overdue one is just closed.
      if (request.verdict != RedirectVerdict::kIncomplete) {
        send_all(connection.socket, redirect_response(request.verdict), 5000);
      }
      drop(&connections, i);
      if (request.verdict == RedirectVerdict::kCode || request.verdict == RedirectVerdict::kError) {
        outcome.result =
            request.verdict == RedirectVerdict::kCode ? RedirectWait::kCode : RedirectWait::kError;
        outcome.code = request.code;
        outcome.error = request.error;
        outcome.error_description = request.error_description;
        while (!connections.empty()) drop(&connections, 0);
        return outcome;
      }
    }
  }
  while (!connections.empty()) drop(&connections, 0);
  return outcome;
}
