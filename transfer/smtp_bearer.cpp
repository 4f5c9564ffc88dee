// AUTH XOAUTH2 and AUTH OAUTHBEARER (RFC 7628 sections 3.1 and 3.2): one client response
// that carries the bearer token, and the server's refusal as a 334 challenge holding a
// JSON error, which the client must answer before the final reply comes.
#include "transfer/smtp_bearer.h"

#include <cstdint>
#include <vector>

#include "app/console.h"
#include "app/run_state.h"
#include "codec/base64.h"
#include "config/settings.h"
#include "transfer/connection.h"
#include "transfer/reply_reader.h"
#include "transfer/smtp_auth.h"
#include "transfer/trace_text.h"

namespace {

const char kSeparator = '\x01';
constexpr int kChallengeCode = 334;

// The value of a top-level member of a JSON object: a string without its quotes (the
// escapes \" \\ and \/ undone, others kept as written), or any other value as written.
// Empty when the member is absent. Enough for the flat objects servers send here.
std::string json_member(const std::string& json, const std::string& name) {
  const std::string quoted = "\"" + name + "\"";
  std::size_t at = 0;
  while ((at = json.find(quoted, at)) != std::string::npos) {
    std::size_t i = at + quoted.size();
    at = i;
    while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) ++i;
    if (i >= json.size() || json[i] != ':') continue;  // a value that reads like the name
    ++i;
    while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) ++i;
    std::string value;
    if (i < json.size() && json[i] == '"') {
      for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
          char next = json[i + 1];
          if (next == '"' || next == '\\' || next == '/') {
            value.push_back(next);
            ++i;
            continue;
          }
        }
        value.push_back(json[i]);
      }
      return value;
    }
    while (i < json.size() && json[i] != ',' && json[i] != '}' && json[i] != ' ') {
      value.push_back(json[i++]);
    }
    return value;
  }
  return std::string();
}

// The decoded challenge, or empty when it is not Base64.
std::string decode_challenge(const std::string& text) {
  std::vector<unsigned char> decoded(text.size() / 4 * 3 + 4, 0);
  std::size_t count = 0;
  if (base64_decode(text.c_str(), text.size(), decoded.data(), &count) != 0) return std::string();
  return std::string(reinterpret_cast<const char*>(decoded.data()), count);
}

}  // namespace

bool bearer_token_usable(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token) {
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return false;
  }
  return true;
}

std::string gs2_escape(const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == ',') {
      escaped += "=2C";
    } else if (c == '=') {
      escaped += "=3D";
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

std::string xoauth2_response(const std::string& user, const std::string& token) {
  return "user=" + user + kSeparator + "auth=Bearer " + token + kSeparator + kSeparator;
}

std::string oauthbearer_response(const std::string& user, const std::string& host, int port,
                                 const std::string& token) {
  std::string header = user.empty() ? "n,," : "n,a=" + gs2_escape(user) + ",";
  return header + kSeparator + "host=" + host + kSeparator + "port=" + std::to_string(port) +
         kSeparator + "auth=Bearer " + token + kSeparator + kSeparator;
}

std::string bearer_error_summary(const std::string& json) {
  std::string summary =
      "status=" + json_member(json, "status") + " scope=" + json_member(json, "scope");
  // One line, whatever the server put in its values.
  for (char& c : summary) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  return trace_text(summary.data(), summary.size());
}

void authenticate_bearer(Connection* connection, int method, const std::string& token) {
  const bool xoauth2 = method == 4;
  const std::string command = xoauth2 ? "AUTH XOAUTH2" : "AUTH OAUTHBEARER";
  const std::string user = g_settings.smtp_user.c_str();
  const int port = static_cast<int>(static_cast<uint32_t>(g_settings.smtp_port) & 0xFFFFu);
  const std::string response =
      base64_encode(xoauth2 ? xoauth2_response(user, token)
                            : oauthbearer_response(user, host_field(g_run.mail_server), port, token));

  const std::string initial = command + " " + response + "\r\n";
  int code = 0;
  if (initial.size() <= kMaxAuthCommandLine) {
    send_masked(connection, initial,
                xoauth2 ? "Send: AUTH XOAUTH2 ****************************************\n"
                        : "Send: AUTH OAUTHBEARER ****************************************\n");
    code = read_reply_code(connection);
  } else {
    // Too long for one command line: the response follows the server's empty 334.
    send_text(connection, command + "\r\n");
    read_reply(connection);
    send_masked(connection, response + "\r\n", "Send: ****************************************\n");
    code = read_reply_code(connection);
  }
  if (code != kChallengeCode) return;

  // The token was refused. The challenge is the server's JSON error; the exchange must be
  // ended by the client before the server gives its final (negative) reply.
  if (g_run.debug_mode) {
    // The summary is the server's own text, its control bytes already escaped.
    const std::string shown = bearer_error_summary(decode_challenge(g_line_buffer)) + "]\n";
    console_write_received("[bearer error : ", shown.data(), shown.size());
  }
  send_text(connection, xoauth2 ? std::string("\r\n") : base64_encode(std::string(1, kSeparator)) +
                                                        "\r\n");
  read_reply(connection);
}
