// The settings file vorna.ini: which file is used, and the reading and writing of its
// twelve values through the platform's profile functions.
#include "config/settings.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "platform/platform.h"

Settings g_settings;

namespace {

const char kFileName[] = "vorna.ini";
const char kPop3[] = "POP3";
const char kSmtp[] = "SMTP";
const char kSsl[] = "SSL";
const char kOAuth[] = "OAUTH";
// Read limits including the terminator: 254 characters for text, 510 for the stored
// password forms.
constexpr std::size_t kTextSize = 255;
constexpr std::size_t kPassSize = 511;
// A CA file path is read in full up to this size (longer than any path a system allows).
constexpr std::size_t kPathSize = 4096;
// A command is read in full, as long as the menu takes it.
constexpr std::size_t kCommandSize = kMaxCommandLength + 1;
// A URL or a scope is read in full up to this size.
constexpr std::size_t kUrlSize = 4096;
// The longest "windir" value that still forms a settings path.
constexpr std::size_t kMaxWindirLength = 1000;

// The file counts as present when it opens for reading as a regular file: a directory,
// a FIFO or a device of that name counts as absent (and is not waited on).
bool readable(const std::string& path) {
  std::FILE* file = platform::open_for_reading(path);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

std::string in_directory(const std::string& directory) {
  return directory + platform::path_separator() + kFileName;
}

// Adds a command key to the entries to write, unless it is empty and the file does not
// have it. The reader drops one pair of quotes around a whole value and the blanks
// around it, so a command that begins and ends with a quote (a quoted program path and a
// quoted argument) is written inside one more pair and reads back as it was.
void put_command(const char* section, const char* key, const std::string& command,
                 const std::string& path, std::vector<platform::ProfileEntry>* entries) {
  std::string value = command.c_str();
  if (value.empty()) {
    const char kAbsent[] = "\x01";
    if (platform::profile_get_string(section, key, kAbsent, 2, path) == kAbsent) return;
  } else if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = '"' + value + '"';
  }
  entries->push_back(platform::ProfileEntry{section, key, value});
}

// Whether the file has the key at all.
bool file_has(const char* section, const char* key, const std::string& path) {
  const char kAbsent[] = "\x01";
  return platform::profile_get_string(section, key, kAbsent, 2, path) != kAbsent;
}

// Adds a key that a file written from scratch leaves out while it holds its default:
// it is written when set or when the file already has it.
void put_optional(const char* section, const char* key, const std::string& value, bool set,
                  const std::string& path, std::vector<platform::ProfileEntry>* entries) {
  if (!set && !file_has(section, key, path)) return;
  entries->push_back(platform::ProfileEntry{section, key, value.c_str()});
}

// The value of a key as text without the blanks around it; `absent` when the key is
// missing. A value too long to be read whole comes back cut and marked, so that it
// matches no valid value.
std::string trimmed_value(const char* section, const char* key, const char* absent,
                          const std::string& path) {
  std::string value = platform::profile_get_string(section, key, absent, kPathSize, path);
  if (value.size() >= kPathSize - 1) return value.substr(0, 32) + "...";
  const char* blanks = " \t";
  std::size_t begin = value.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  return value.substr(begin, value.find_last_not_of(blanks) + 1 - begin);
}

// An encryption mode: 0, 1 or 2 as the whole value, 0 for a missing key or an empty value.
// Anything else (a word, a sign, another number) is kept as written, never read as a
// number, so that it cannot quietly mean plain text.
int32_t read_ssl_mode(const char* section, const char* key, const std::string& path,
                      std::string* invalid_text) {
  invalid_text->clear();
  const std::string value = trimmed_value(section, key, "", path);
  if (value.empty() || value == "0") return kSslOff;
  if (value == "1") return kSslStartTls;
  if (value == "2") return kSslImplicit;
  *invalid_text = value;
  return kSslInvalid;
}

// SSL_VERIFY: only the text 0 turns the check off; a word such as "no", an empty value or
// "00" checks, as a typing slip must never open the connection to a man in the middle.
int32_t read_ssl_verify(const std::string& path) {
  return trimmed_value(kSsl, "SSL_VERIFY", "", path) == "0" ? 0 : 1;
}

// Refuses a mode key that holds no mode; -d names it with its value (control bytes
// shown as "?", as the value comes from a file edited by hand).
void refuse_invalid_mode(const char* key, int32_t mode, const std::string& text) {
  if (mode != kSslInvalid) return;
  if (g_run.debug_mode) {
    std::string shown = text;
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    console_printf("TLS: %s=%s is no mode (0, 1 or 2)\n", key, shown.c_str());
  }
  error_exit(kErrSslHandling);
}

}  // namespace

void locate_settings_file() {
  std::string cwd;
  if (platform::current_dir(&cwd)) {
    // A root directory gives a doubled separator; the path is used in that form.
    std::string path = in_directory(cwd);
    if (readable(path)) {
      g_settings.settings_path = path;
      return;
    }
  }

  std::string windir;
  if (platform::get_env_nocase("windir", &windir)) {
    if (windir.size() > kMaxWindirLength) error_exit(kErrUnknown);
    std::string path = in_directory(windir);
    if (readable(path)) {
      g_settings.settings_path = path;
      return;
    }
  }

  // Beside the executable, taken without looking: this is where a new file is created.
  std::string path;
  if (executable_ini_path(&path) == 0) {
    g_settings.settings_path = path;
    return;
  }
  g_settings.settings_path = std::string(1, platform::path_separator()) + kFileName;
}

int executable_ini_path(std::string* path) {
  std::string exe;
  if (!platform::executable_path(&exe)) return -1;
  std::size_t name_start = exe.rfind(platform::path_separator());
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  if (exe.find('.', name_start) != std::string::npos) {
    // vorna.exe gives vorna.ini; a program under another name reads a file of that name.
    if (exe.size() > 3) exe.replace(exe.size() - 3, 3, "ini");
  } else {
    exe += ".ini";
  }
  *path = exe;
  return 0;
}

bool pipelining_allowed() { return g_settings.smtp_pipelining != "0"; }

int32_t default_smtp_port(int32_t smtp_ssl) { return smtp_ssl == kSslImplicit ? 465 : 25; }

int32_t default_pop3_port(int32_t pop3_ssl) { return pop3_ssl == kSslImplicit ? 995 : 110; }

void load_settings() {
  const std::string& path = g_settings.settings_path;
  Settings& s = g_settings;
  // The file is read once for all its keys.
  platform::profile_hold(path);
  s.pop3_use = platform::profile_get_int(kPop3, "POP3_USE", 0, path);
  s.apop_use = platform::profile_get_int(kPop3, "APOP_USE", 0, path);
  s.pop3_server = platform::profile_get_string(kPop3, "POP3_SERVER", "dummy", kTextSize, path);
  s.pop3_user = platform::profile_get_string(kPop3, "POP3_USER", "dummy", kTextSize, path);
  s.pop3_pass_stored =
      platform::profile_get_string(kPop3, "POP3_PASS", "24682468", kPassSize, path);
  s.pop3_ssl = read_ssl_mode(kPop3, "POP3_SSL", path, &s.pop3_ssl_text);
  s.pop3_port = platform::profile_get_int(kPop3, "POP3_PORT", default_pop3_port(s.pop3_ssl), path);
  s.pop3_after_wait = platform::profile_get_int(kPop3, "POP3_AFTER_WAIT", 300, path);
  s.pop3_time_out = platform::profile_get_int(kPop3, "POP3_TIME_OUT", 10, path);
  s.smtp_ssl = read_ssl_mode(kSmtp, "SMTP_SSL", path, &s.smtp_ssl_text);
  s.smtp_port = platform::profile_get_int(kSmtp, "SMTP_PORT", default_smtp_port(s.smtp_ssl), path);
  s.smtp_user = platform::profile_get_string(kSmtp, "SMTP_USER", "dummy", kTextSize, path);
  s.smtp_pass_stored =
      platform::profile_get_string(kSmtp, "SMTP_PASS", "24682468", kMaxStoredSmtpPass + 1, path);
  s.smtp_auth = platform::profile_get_int(kSmtp, "SMTP_AUTH", 0, path);
  s.ssl_verify = read_ssl_verify(path);
  s.ssl_ca_file = platform::profile_get_string(kSsl, "SSL_CA_FILE", "", kPathSize, path);
  s.smtp_pass_command =
      platform::profile_get_string(kSmtp, "SMTP_PASS_COMMAND", "", kCommandSize, path);
  s.pop3_pass_command =
      platform::profile_get_string(kPop3, "POP3_PASS_COMMAND", "", kCommandSize, path);
  s.smtp_pipelining =
      platform::profile_get_string(kSmtp, "SMTP_PIPELINING", "", kTextSize, path);
  s.oauth_provider = platform::profile_get_int(kOAuth, "OAUTH_PROVIDER", 0, path);
  s.oauth_flow = platform::profile_get_int(kOAuth, "OAUTH_FLOW", 0, path);
  s.oauth_client_id = platform::profile_get_string(kOAuth, "OAUTH_CLIENT_ID", "", kUrlSize, path);
  s.oauth_client_secret_stored =
      platform::profile_get_string(kOAuth, "OAUTH_CLIENT_SECRET", "", kPassSize, path);
  s.oauth_tenant = platform::profile_get_string(kOAuth, "OAUTH_TENANT", "common", kUrlSize, path);
  s.oauth_scope = platform::profile_get_string(kOAuth, "OAUTH_SCOPE", "", kUrlSize, path);
  s.oauth_device_url =
      platform::profile_get_string(kOAuth, "OAUTH_DEVICE_URL", "", kUrlSize, path);
  s.oauth_token_url = platform::profile_get_string(kOAuth, "OAUTH_TOKEN_URL", "", kUrlSize, path);
  s.oauth_authorize_url =
      platform::profile_get_string(kOAuth, "OAUTH_AUTHORIZE_URL", "", kUrlSize, path);
  platform::profile_release();
}

void require_valid_encryption_modes() {
  refuse_invalid_mode("POP3_SSL", g_settings.pop3_ssl, g_settings.pop3_ssl_text);
  refuse_invalid_mode("SMTP_SSL", g_settings.smtp_ssl, g_settings.smtp_ssl_text);
}

void save_settings() {
  const std::string& path = g_settings.settings_path;
  const Settings& s = g_settings;
  // All keys go in one write of the file. Failures to write go unreported: the menu
  // ends the run with status 0 regardless.
  std::vector<platform::ProfileEntry> entries;
  auto put_int = [&entries](const char* section, const char* key, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    entries.push_back(platform::ProfileEntry{section, key, text});
  };
  auto put_text = [&entries](const char* section, const char* key, const std::string& value) {
    // A value ends at a NUL, as the profile functions take it.
    entries.push_back(platform::ProfileEntry{section, key, value.c_str()});
  };
  put_int(kPop3, "POP3_USE", s.pop3_use);
  put_int(kPop3, "APOP_USE", s.apop_use);
  put_text(kPop3, "POP3_SERVER", s.pop3_server);
  put_text(kPop3, "POP3_USER", s.pop3_user);
  put_text(kPop3, "POP3_PASS", s.pop3_pass_stored);
  put_int(kPop3, "POP3_PORT", s.pop3_port);
  put_int(kPop3, "POP3_AFTER_WAIT", s.pop3_after_wait);
  put_int(kPop3, "POP3_TIME_OUT", s.pop3_time_out);
  put_int(kSmtp, "SMTP_AUTH", s.smtp_auth);
  put_text(kSmtp, "SMTP_USER", s.smtp_user);
  put_text(kSmtp, "SMTP_PASS", s.smtp_pass_stored);
  put_int(kSmtp, "SMTP_PORT", s.smtp_port);
  // A mode the file holds as no valid value is left there as it is: the menu writes only
  // 0, 1 and 2, and never turns a refused value into plain text.
  if (s.pop3_ssl != kSslInvalid) put_int(kPop3, "POP3_SSL", s.pop3_ssl);
  if (s.smtp_ssl != kSslInvalid) put_int(kSmtp, "SMTP_SSL", s.smtp_ssl);
  put_int(kSsl, "SSL_VERIFY", s.ssl_verify);
  put_text(kSsl, "SSL_CA_FILE", s.ssl_ca_file);
  put_command(kSmtp, "SMTP_PASS_COMMAND", s.smtp_pass_command, path, &entries);
  put_command(kPop3, "POP3_PASS_COMMAND", s.pop3_pass_command, path, &entries);
  // No menu item sets it: kept as it was where the file has it, never added.
  put_optional(kSmtp, "SMTP_PIPELINING", s.smtp_pipelining, false, path, &entries);
  auto put_oauth = [&](const char* key, const std::string& value, bool set) {
    put_optional(kOAuth, key, value, set, path, &entries);
  };
  auto number = [](int32_t value) { return std::to_string(value); };
  put_oauth("OAUTH_PROVIDER", number(s.oauth_provider), s.oauth_provider != 0);
  put_oauth("OAUTH_FLOW", number(s.oauth_flow), s.oauth_flow != 0);
  put_oauth("OAUTH_CLIENT_ID", s.oauth_client_id, !s.oauth_client_id.empty());
  put_oauth("OAUTH_CLIENT_SECRET", s.oauth_client_secret_stored,
            !s.oauth_client_secret_stored.empty());
  put_oauth("OAUTH_TENANT", s.oauth_tenant, s.oauth_tenant != "common");
  put_oauth("OAUTH_SCOPE", s.oauth_scope, !s.oauth_scope.empty());
  put_oauth("OAUTH_DEVICE_URL", s.oauth_device_url, !s.oauth_device_url.empty());
  put_oauth("OAUTH_TOKEN_URL", s.oauth_token_url, !s.oauth_token_url.empty());
  put_oauth("OAUTH_AUTHORIZE_URL", s.oauth_authorize_url, !s.oauth_authorize_url.empty());
  platform::profile_write_strings(entries, path);
}
