// The settings file: defaults, values taken as read, and the saved file's exact layout.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_files.h"

namespace {

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_path("settings", ".ini");
    std::remove(path_.c_str());
    g_settings = Settings();
    g_settings.settings_path = path_;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void put(const std::string& content) { write_file(path_, content); }
  std::string get() { return read_file(path_); }

  std::string path_;
};

void expect_defaults_for_pop3(const Settings& s) {
  EXPECT_EQ(s.pop3_use, 0);
  EXPECT_EQ(s.apop_use, 0);
  EXPECT_EQ(s.pop3_server, "dummy");
  EXPECT_EQ(s.pop3_user, "dummy");
  EXPECT_EQ(s.pop3_pass_stored, "24682468");
  EXPECT_EQ(s.pop3_port, 110);
  EXPECT_EQ(s.pop3_after_wait, 300);
  EXPECT_EQ(s.pop3_time_out, 10);
}

TEST_F(SettingsFile, MissingFileAndMissingKeysGiveDefaults) {
  // Stale values from an earlier load must not survive.
  g_settings.smtp_port = 1;
  g_settings.pop3_server = "stale";
  load_settings();
  expect_defaults_for_pop3(g_settings);
  EXPECT_EQ(g_settings.smtp_port, 25);
  EXPECT_EQ(g_settings.smtp_auth, 0);
  EXPECT_EQ(g_settings.smtp_user, "dummy");
  EXPECT_EQ(g_settings.smtp_pass_stored, "24682468");
  EXPECT_EQ(get(), "<missing>") << "reading never creates the file";

  put("[SMTP]\r\nSMTP_AUTH=2\r\n");
  load_settings();
  EXPECT_EQ(g_settings.smtp_auth, 2);
  EXPECT_EQ(g_settings.smtp_user, "dummy");
  expect_defaults_for_pop3(g_settings);
}

TEST_F(SettingsFile, ValuesAreTakenAsReadWithTheirLimits) {
  put("[POP3]\nPOP3_PORT=65646\nPOP3_TIME_OUT=-5\nPOP3_USE=2\nPOP3_SERVER=" +
      std::string(300, 's') + "\nPOP3_PASS=" + std::string(600, 'A') +
      "\n[SMTP]\nSMTP_PORT=0\nSMTP_AUTH=-1\nSMTP_USER=\n");
  load_settings();
  EXPECT_EQ(g_settings.pop3_port, 65646) << "no range check; only the low 16 bits are used";
  EXPECT_EQ(g_settings.pop3_time_out, -5);
  EXPECT_EQ(g_settings.pop3_use, 2);
  EXPECT_EQ(g_settings.pop3_server, std::string(254, 's'));
  EXPECT_EQ(g_settings.pop3_pass_stored, std::string(510, 'A'));
  EXPECT_EQ(g_settings.smtp_port, 0);
  EXPECT_EQ(g_settings.smtp_auth, -1);
  EXPECT_EQ(g_settings.smtp_user, "");
}

TEST_F(SettingsFile, SaveWritesTheFixedOrderAndLoadsBack) {
  Settings& s = g_settings;
  s.pop3_use = 1;
  s.apop_use = 1;
  s.pop3_server = "pop.example.test";
  s.pop3_user = "\x83\x86\x81\x5B\x83\x55";  // a Shift_JIS user name, stored unchanged
  s.pop3_pass_stored = "0123456789ABCDEF";
  s.pop3_port = -110;
  s.pop3_after_wait = 0;
  s.pop3_time_out = 30;
  s.smtp_auth = 3;
  s.smtp_user = "me@example.test";
  s.smtp_pass_stored = "FEDCBA98";
  s.smtp_port = 587;
  s.pop3_ssl = 2;
  s.smtp_ssl = 1;
  s.ssl_verify = 0;
  s.ssl_ca_file = "/etc/vorna/ca.pem";
  save_settings();
  // The Windows profile functions end lines in CR LF; the layout is what counts here.
  std::string saved_text = get();
  for (std::size_t at; (at = saved_text.find("\r\n")) != std::string::npos;) {
    saved_text.erase(at, 1);
  }
  EXPECT_EQ(saved_text,
            "[POP3]\nPOP3_USE=1\nAPOP_USE=1\nPOP3_SERVER=pop.example.test\n"
            "POP3_USER=\x83\x86\x81\x5B\x83\x55\nPOP3_PASS=0123456789ABCDEF\nPOP3_PORT=-110\n"
            "POP3_AFTER_WAIT=0\nPOP3_TIME_OUT=30\n"
            "POP3_SSL=2\n"
            "[SMTP]\nSMTP_AUTH=3\nSMTP_USER=me@example.test\nSMTP_PASS=FEDCBA98\nSMTP_PORT=587\n"
            "SMTP_SSL=1\n"
            "[SSL]\nSSL_VERIFY=0\nSSL_CA_FILE=/etc/vorna/ca.pem\n");

  Settings saved = g_settings;
  g_settings = Settings();
  g_settings.settings_path = path_;
  load_settings();
  EXPECT_EQ(g_settings.pop3_user, saved.pop3_user);
  EXPECT_EQ(g_settings.pop3_port, saved.pop3_port);
  EXPECT_EQ(g_settings.smtp_auth, saved.smtp_auth);
  EXPECT_EQ(g_settings.smtp_pass_stored, saved.smtp_pass_stored);
  EXPECT_EQ(g_settings.pop3_after_wait, saved.pop3_after_wait);
  EXPECT_EQ(g_settings.pop3_ssl, 2);
  EXPECT_EQ(g_settings.smtp_ssl, 1);
  EXPECT_EQ(g_settings.ssl_verify, 0);
  EXPECT_EQ(g_settings.ssl_ca_file, saved.ssl_ca_file);

  // Saving again over an edited file keeps its own lines and replaces the values.
  put("; mine\r\n[SMTP]\r\nSMTP_PORT=25\r\nEXTRA=1\r\n");
  g_settings.smtp_port = 2525;
  save_settings();
  std::string after = get();
  EXPECT_EQ(after.rfind("; mine\r\n[SMTP]\r\nSMTP_PORT=2525\r\nEXTRA=1\r\n", 0), 0u) << after;
}

TEST_F(SettingsFile, EncryptionKeysDefaultOffAndImplicitTlsMovesOnlyMissingPorts) {
  load_settings();
  EXPECT_EQ(g_settings.pop3_ssl, 0);
  EXPECT_EQ(g_settings.smtp_ssl, 0);
  EXPECT_EQ(g_settings.ssl_verify, 1);
  EXPECT_EQ(g_settings.ssl_ca_file, "");

  put("[POP3]\nPOP3_SSL=2\n[SMTP]\nSMTP_SSL=2\n");
  load_settings();
  EXPECT_EQ(g_settings.pop3_port, 995);
  EXPECT_EQ(g_settings.smtp_port, 465);

  // STARTTLS/STLS start on the plain ports.
  put("[POP3]\nPOP3_SSL=1\n[SMTP]\nSMTP_SSL=1\n");
  load_settings();
  EXPECT_EQ(g_settings.pop3_port, 110);
  EXPECT_EQ(g_settings.smtp_port, 25);

  // A port in the file wins, whatever the mode.
  put("[POP3]\nPOP3_SSL=2\nPOP3_PORT=110\n[SMTP]\nSMTP_SSL=2\nSMTP_PORT=2525\n"
      "[SSL]\nSSL_VERIFY=7\nSSL_CA_FILE=" + std::string(300, 'c') + "\n");
  load_settings();
  EXPECT_EQ(g_settings.pop3_port, 110);
  EXPECT_EQ(g_settings.smtp_port, 2525);
  EXPECT_EQ(g_settings.ssl_verify, 1) << "anything but 0 verifies";
  EXPECT_EQ(g_settings.ssl_ca_file, std::string(300, 'c')) << "a long path is never cut";
}

}  // namespace

namespace {

TEST_F(SettingsFile, OnlyTheTextZeroTurnsTheCertificateCheckOff) {
  for (const char* value : {"yes", "true", "on", "", "00", "0x1", "no", "false", "-0", "+0",
                            "0 0", "0;"}) {
    put(std::string("[SSL]\nSSL_VERIFY=") + value + "\n");
    load_settings();
    EXPECT_EQ(g_settings.ssl_verify, 1) << "SSL_VERIFY=" << value;
  }
  for (const char* value : {"0", " 0 ", "\t0"}) {
    put(std::string("[SSL]\nSSL_VERIFY=") + value + "\n");
    load_settings();
    EXPECT_EQ(g_settings.ssl_verify, 0) << "SSL_VERIFY=" << value;
  }
  // A value too long to be read whole is no 0, whatever it begins with.
  put("[SSL]\nSSL_VERIFY=0" + std::string(5000, ' ') + "1\n");
  load_settings();
  EXPECT_EQ(g_settings.ssl_verify, 1);
}

TEST_F(SettingsFile, EncryptionModesAreZeroOneTwoOrRefused) {
  struct Case {
    const char* value;
    int32_t mode;
  };
  const Case cases[] = {{"", kSslOff},        {" 0 ", kSslOff},        {"1", kSslStartTls},
                        {"2", kSslImplicit},  {"yes", kSslInvalid},    {"3", kSslInvalid},
                        {"-1", kSslInvalid},  {"01", kSslInvalid},     {"1x", kSslInvalid},
                        {"+2", kSslInvalid}};
  for (const Case& c : cases) {
    put(std::string("[POP3]\nPOP3_SSL=") + c.value + "\n[SMTP]\nSMTP_SSL=" + c.value + "\n");
    load_settings();
    EXPECT_EQ(g_settings.pop3_ssl, c.mode) << c.value;
    EXPECT_EQ(g_settings.smtp_ssl, c.mode) << c.value;
    EXPECT_EQ(g_settings.smtp_ssl_text, c.mode == kSslInvalid ? c.value : "") << c.value;
  }
  // A refused value moves no port; saving from the menu leaves it in the file as written.
  put("[POP3]\nPOP3_SSL=stls\n[SMTP]\nSMTP_SSL=-1\n");
  load_settings();
  EXPECT_EQ(g_settings.pop3_port, 110);
  EXPECT_EQ(g_settings.smtp_port, 25);
  save_settings();
  const std::string saved = get();
  EXPECT_NE(saved.find("POP3_SSL=stls"), std::string::npos) << saved;
  EXPECT_NE(saved.find("SMTP_SSL=-1"), std::string::npos) << saved;
  load_settings();
  EXPECT_EQ(g_settings.smtp_ssl, kSslInvalid) << "never read back as plain text";
}

TEST_F(SettingsFile, PasswordCommandsAndLongTokensAreReadWhole) {
  const std::string command = "helper --account 'a b' " + std::string(5000, 'x');
  const std::string token_form(20000, 'A');
  put("[SMTP]\nSMTP_PASS_COMMAND=" + command + "\nSMTP_PASS=" + token_form +
      "\n[POP3]\nPOP3_PASS_COMMAND=secret-tool lookup service pop3\nPOP3_PASS=" +
      std::string(600, 'A') + "\n");
  load_settings();
  EXPECT_EQ(g_settings.smtp_pass_command, command);
  EXPECT_EQ(g_settings.pop3_pass_command, "secret-tool lookup service pop3");
  EXPECT_EQ(g_settings.smtp_pass_stored, token_form) << "a stored token comes back whole";
  EXPECT_EQ(g_settings.pop3_pass_stored, std::string(510, 'A')) << "POP3 keeps its limit";
}

TEST_F(SettingsFile, CommandKeysAreSavedOnlyWhenUsedAndKeepTheirQuotes) {
  // Never used: the file gains no command key.
  save_settings();
  EXPECT_EQ(get().find("_PASS_COMMAND"), std::string::npos) << get();

  // A command that begins and ends with a quote reads back as written, blanks inside too.
  const std::string quoted = "\"C:\\Program Files\\helper.exe\" --print  \"my account\"";
  g_settings.smtp_pass_command = quoted;
  g_settings.pop3_pass_command = "pass show mail/pop3";
  save_settings();
  std::string text = get();
  EXPECT_GT(text.find("SMTP_PASS_COMMAND=\"\"C:"), text.find("SMTP_PORT=")) << text;
  EXPECT_NE(text.find("POP3_PASS_COMMAND=pass show mail/pop3"), std::string::npos) << text;
  g_settings = Settings();
  g_settings.settings_path = path_;
  load_settings();
  EXPECT_EQ(g_settings.smtp_pass_command, quoted);
  EXPECT_EQ(g_settings.pop3_pass_command, "pass show mail/pop3");

  // Cleared in the menu: the key stays, empty, which reads as no command.
  g_settings.smtp_pass_command.clear();
  save_settings();
  load_settings();
  EXPECT_EQ(g_settings.smtp_pass_command, "");
  EXPECT_EQ(g_settings.pop3_pass_command, "pass show mail/pop3");
}

TEST_F(SettingsFile, PipeliningKeyIsKeptWhereTheFileHasItAndNeverAdded) {
  // No key: pipelining on, and a save adds none, even with a value set in memory.
  load_settings();
  EXPECT_TRUE(pipelining_allowed());
  g_settings.smtp_pipelining = "0";
  save_settings();
  EXPECT_EQ(get().find("PIPELINING"), std::string::npos) << get();

  // Only "0" turns it off; a save keeps the value as the file had it.
  const char* const values[] = {"0", "1", "off", ""};
  for (const char* value : values) {
    put(std::string("[SMTP]\r\nSMTP_PIPELINING=") + value + "\r\nSMTP_PORT=2525\r\n");
    g_settings = Settings();
    g_settings.settings_path = path_;
    load_settings();
    EXPECT_EQ(pipelining_allowed(), std::string(value) != "0") << value;
    save_settings();
    EXPECT_NE(get().find(std::string("SMTP_PIPELINING=") + value + "\r\n"), std::string::npos)
        << get();
    load_settings();
    EXPECT_EQ(g_settings.smtp_pipelining, value);
  }
}

}  // namespace
