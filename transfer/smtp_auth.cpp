// SMTP authentication (RFC 4954): AUTH CRAM-MD5 (RFC 2195), AUTH PLAIN with the
// credentials in the command itself (RFC 4616), and AUTH LOGIN; the bearer-token methods
// are in smtp_bearer.cpp. Every answer is read with read_reply, so any reply below 400
// lets the exchange go on.
#include "transfer/smtp_auth.h"

#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "codec/base64.h"
#include "codec/md5.h"
#include "config/password.h"
#include "config/password_command.h"
#include "config/settings.h"
#include "oauth/access_token.h"
#include "transfer/connection.h"
#include "transfer/reply_reader.h"
#include "transfer/smtp_bearer.h"
#include "transfer/trace_text.h"

namespace {

// The line SMTP_PASS_COMMAND printed, once prepare_authentication has run it.
bool g_have_command_secret = false;
std::string g_command_secret;

// The text up to its first NUL, as the C string it stands for.
std::string up_to_nul(const std::string& text) { return std::string(text.c_str()); }

// AUTH CRAM-MD5: the server's challenge is answered with the user name and the keyed
// digest of the challenge.
void authenticate_cram_md5(Connection* connection) {
  send_text(connection, "AUTH CRAM-MD5\r\n");
  read_reply(connection);
  const std::string challenge_text = g_line_buffer;
  std::vector<unsigned char> decoded(challenge_text.size() * 2 + 1, 0);
  std::size_t count = 0;
  if (base64_decode(challenge_text.c_str(), challenge_text.size(), decoded.data(), &count) != 0 ||
      count >= decoded.size()) {
    // A challenge that is not Base64 cannot be answered; nothing is sent.
    error_exit(kErrServerReply);
  }
  std::string challenge(reinterpret_cast<const char*>(decoded.data()), count);
  if (g_run.debug_mode) {
    console_printf("[challenge key : %s]\n", challenge_text.c_str());
    // The decoded challenge is the server's own text: shown whole, its control bytes (a
    // NUL among them) escaped as in every other line from the server.
    std::string decoded_text = trace_text(challenge.data(), challenge.size());
    decoded_text += "]\n";
    console_write_received("[challenge decode : ", decoded_text.data(), decoded_text.size());
  }
  std::string password = smtp_password();
  std::string response = cram_md5_response(g_settings.smtp_user, password, challenge);
  send_masked(connection, base64_encode(response) + "\r\n",
              "Send: ****************************************\n");
  read_reply(connection);
}

// AUTH PLAIN: the credentials travel in the AUTH command itself.
void authenticate_plain(Connection* connection) {
  std::string password = smtp_password();
  std::string credentials = plain_credentials(g_settings.smtp_user, password);
  send_masked(connection, "AUTH PLAIN " + base64_encode(credentials) + "\r\n",
              "Send: AUTH PLAIN ****************************************\n");
  read_reply(connection);
}

// AUTH LOGIN: the user name and then the password, whatever the two prompts say.
void authenticate_login(Connection* connection) {
  send_text(connection, "AUTH LOGIN\r\n");
  read_reply(connection);
  send_text(connection, base64_encode(up_to_nul(g_settings.smtp_user)) + "\r\n");
  read_reply(connection);
  std::string password = smtp_password();
  send_masked(connection, base64_encode(password) + "\r\n", "Send: **********\n");
  read_reply(connection);
}

}  // namespace

bool authentication_method(int method) { return method >= 1 && method <= 5; }

void prepare_authentication() {
  const bool bearer = g_settings.smtp_auth == 4 || g_settings.smtp_auth == 5;
  if (!g_settings.smtp_pass_command.empty()) {
    g_command_secret = password_from_command(g_settings.smtp_pass_command);
    // A helper's token goes between the fields of the bearer message: one that could add
    // a field or is no token at all is refused before anything connects.
    if (bearer && !bearer_token_usable(g_command_secret)) error_exit(kErrPasswordCommand);
    g_have_command_secret = true;
    return;
  }
  // A signed-in provider supplies the bearer token; the command above still wins.
  const int provider = g_settings.oauth_provider;
  if (bearer && provider >= 1 && provider <= 3) {
    g_command_secret = oauth_access_token();
    g_have_command_secret = true;
  }
}

std::string smtp_password() {
  if (g_have_command_secret) return g_command_secret;
  // A password's stored form is read as the settings file always kept it, up to 510
  // digits; the longer limit of the field is for tokens.
  return recover_password(g_settings.smtp_pass_stored.substr(0, 510));
}

std::string smtp_token() {
  if (g_have_command_secret) return g_command_secret;
  return recover_token(g_settings.smtp_pass_stored);
}

void send_masked(Connection* connection, const std::string& line, const char* mask) {
  if (!g_run.debug_mode) {
    send_text(connection, line);
    return;
  }
  g_run.debug_mode = false;
  send_text(connection, line);
  console_printf("%s", mask);
  g_run.debug_mode = true;
}

std::string cram_md5_response(const std::string& user, const std::string& password,
                              const std::string& challenge) {
  const std::string text = up_to_nul(challenge);
  const std::string key = up_to_nul(password);
  unsigned char digest[16];
  hmac_md5(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
           reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  return up_to_nul(user) + " " + digest_hex(digest);
}

std::string plain_credentials(const std::string& user, const std::string& password) {
  const std::string name = up_to_nul(user);
  std::string credentials = name;
  credentials.push_back('\0');
  credentials += name;
  credentials.push_back('\0');
  credentials += up_to_nul(password);
  return credentials;
}

void authenticate(Connection* connection, int method) {
  switch (method) {
    case 1:
      authenticate_cram_md5(connection);
      break;
    case 2:
      authenticate_plain(connection);
      break;
    case 3:
      authenticate_login(connection);
      break;
    case 4:
    case 5:
      authenticate_bearer(connection, method, smtp_token());
      break;
    default:
      break;
  }
}
