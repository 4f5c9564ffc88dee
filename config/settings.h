// The settings file vorna.ini: where it is found, the twelve values it holds, and their
// reading and writing. The command line never changes these values.
#pragma once

#include <cstdint>
#include <string>

struct Settings {
  int32_t pop3_use = 0;                     // POP3 / POP3_USE: exactly 1 is on
  int32_t apop_use = 0;                     // POP3 / APOP_USE: exactly 1 is APOP
  std::string pop3_server = "dummy";        // POP3 / POP3_SERVER
  std::string pop3_user = "dummy";          // POP3 / POP3_USER
  std::string pop3_pass_stored = "24682468";  // POP3 / POP3_PASS, stored form
  int32_t pop3_port = 110;                  // POP3 / POP3_PORT, low 16 bits used
  int32_t pop3_after_wait = 300;            // POP3 / POP3_AFTER_WAIT, milliseconds
  int32_t pop3_time_out = 10;               // POP3 / POP3_TIME_OUT, seconds
  int32_t smtp_port = 25;                   // SMTP / SMTP_PORT, low 16 bits used
  std::string smtp_user = "dummy";          // SMTP / SMTP_USER
  std::string smtp_pass_stored = "24682468";  // SMTP / SMTP_PASS, stored form
  int32_t smtp_auth = 0;                    // SMTP / SMTP_AUTH: 1 CRAM-MD5, 2 PLAIN, 3 LOGIN,
                                            //   4 XOAUTH2, 5 OAUTHBEARER
  // Encryption; 0 everywhere keeps the connections plain.
  int32_t pop3_ssl = 0;     // POP3 / POP3_SSL: 1 STLS required, 2 TLS from the first byte
  int32_t smtp_ssl = 0;     // SMTP / SMTP_SSL: 1 STARTTLS required, 2 TLS from the first byte
  int32_t ssl_verify = 1;   // SSL / SSL_VERIFY: only the text 0 reads 0; 1 checks chain and
                            //   host name
  // A mode key's value as written when it is none of 0, 1 and 2 (the mode is then
  // kSslInvalid); empty otherwise.
  std::string pop3_ssl_text;
  std::string smtp_ssl_text;
  std::string ssl_ca_file;  // SSL / SSL_CA_FILE: empty for the system's trusted roots
  // Commands whose first line of output is the password (or, for methods 4 and 5, the
  // access token), used instead of the stored form; empty: the stored form is used.
  std::string smtp_pass_command;  // SMTP / SMTP_PASS_COMMAND
  std::string pop3_pass_command;  // POP3 / POP3_PASS_COMMAND
  // SMTP / SMTP_PIPELINING as the file has it: "0" sends every command of the envelope
  // alone; any other value, or none, pipelines them where the server offers it.
  std::string smtp_pipelining;
  // OAuth 2.0 sign-in (section OAUTH); provider 0 leaves the token to the command or the
  // stored SMTP_PASS. Empty texts stand for the provider's own values.
  int32_t oauth_provider = 0;          // OAUTH_PROVIDER: 1 Microsoft, 2 Google, 3 other
  int32_t oauth_flow = 0;              // OAUTH_FLOW: 0 the provider's usual, 1 device code,
                                       //   2 browser
  std::string oauth_client_id;         // OAUTH_CLIENT_ID
  std::string oauth_client_secret_stored;  // OAUTH_CLIENT_SECRET, stored form
  std::string oauth_tenant = "common"; // OAUTH_TENANT (Microsoft)
  std::string oauth_scope;             // OAUTH_SCOPE
  std::string oauth_device_url;        // OAUTH_DEVICE_URL
  std::string oauth_token_url;         // OAUTH_TOKEN_URL
  std::string oauth_authorize_url;     // OAUTH_AUTHORIZE_URL

  std::string settings_path;  // the file read at start and written by the menu
};

extern Settings g_settings;

// Chooses g_settings.settings_path (current directory, "windir", beside the executable,
// then the root). Ends the run with error 16 when "windir" is longer than 1000 bytes.
void locate_settings_file();
// Writes the executable's path with "ini" for its extension into *path; 0, or -1 when
// the executable's path cannot be found (*path unchanged).
int executable_ini_path(std::string* path);
// The longest command text kept from the file (and taken by the menu).
constexpr std::size_t kMaxCommandLength = 32767;
// The longest SMTP_PASS kept from the file: an access token stored through the menu has a
// stored form of several thousand digits. A password's stored form has at most 510.
constexpr std::size_t kMaxStoredSmtpPass = 65535;

// The settings modes of POP3_SSL and SMTP_SSL.
constexpr int32_t kSslOff = 0;
constexpr int32_t kSslStartTls = 1;
constexpr int32_t kSslImplicit = 2;
// Any other value in the file: a sending run refuses it before connecting, so that a
// mistyped mode never means plain text.
constexpr int32_t kSslInvalid = -1;

// The port a missing SMTP_PORT or POP3_PORT stands for under the given encryption mode.
int32_t default_smtp_port(int32_t smtp_ssl);
int32_t default_pop3_port(int32_t pop3_ssl);

// Reads the keys from settings_path; missing file or key gives the default.
void load_settings();
// For a sending run, before anything connects: a POP3_SSL or SMTP_SSL that is no mode
// ends the run with error 24 (-d names the key and its value).
void require_valid_encryption_modes();
// Writes the twelve classic keys to settings_path in their fixed order, then the
// encryption keys (POP3_SSL, SMTP_SSL, and the section SSL), then the command keys: each
// only when it holds a command or the file already has it, so that a file that never
// used one stays as it was; SMTP_PIPELINING only when the file has it; the OAUTH keys
// likewise, each only when it differs from its default or the file already has it.
void save_settings();

// False when SMTP_PIPELINING is "0".
bool pipelining_allowed();
