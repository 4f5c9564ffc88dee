// The usage text and the information block. Both are fixed Shift_JIS texts, printed byte
// for byte; the information block fills in the settings and the run's values as they
// are held, before any conversion for the message.
#include "app/information.h"

#include <cstdio>
#include <string>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "config/settings.h"
#include "oauth/token_state.h"
#include "platform/platform.h"

namespace {

// "#---------------------- VORNA <version> Information By Ilo -------------------"
const char kBanner[] = "#---------------------- VORNA %s Information By Ilo -------------------\n";

// The usage text after the banner; the synopsis inserts program_name.
// Heading "command", then the synopsis on three lines.
const char kUsageSynopsis[] =
    "\x81\xa0 \x83\x52\x83\x7d\x83\x93\x83\x68:\n"
    "     %s [-i][-d][-t] -hMailServer [-sSubject] \n"
    "     [-fFrom_username] [-FfilenameText] [-afilenameBinary1,filenameBinary2,..] \n"
    "     user1@address,user2@address,CC:user3@address,BCC:user4@address..\n";

const char* const kUsageOptions[] = {
    // heading: list of option parameters
    "\x81\xa0 \x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e"
    "\x88\xea\x97\x97\n",
    // -t: NT time-zone adjustment option
    "      -t: NT\x83\x5e\x83\x43\x83\x80\x83\x5d\x81\x5b\x83\x93\x92\xb2\x90\xae\x83\x49\x83\x76"
    "\x83\x56\x83\x87\x83\x93\n",
    // -h: mail server name or IP address
    "      -h: \x83\x81\x81\x5b\x83\x8b\x83\x54\x81\x5b\x83\x6f\x96\xbc\x96\x94\x82\xcdIP\x83\x41"
    "\x83\x68\x83\x8c\x83\x58\n",
    // -s: subject text
    "      -s: \x83\x54\x83\x75\x83\x57\x83\x46\x83\x4e\x83\x67\x93\xe0\x97\x65\n",
    // -p: priority; -p4 or lower is high importance, -p5 or higher is low importance
    "      -p: \x83\x76\x83\x89\x83\x43\x83\x49\x83\x8a\x83\x65\x83\x42\x81\x5b -p4\x88\xc8\x89\xba"
    "\x82\xcd\x81\x41\x8f\x64\x97\x76\x93\x78\x8d\x82 -p5\x88\xc8\x8f\xe3\x82\xcd\x8f\x64\x97\x76"
    "\x93\x78\x92\xe1\n",
    // -f: sender name
    "      -f: \x91\x97\x90\x4d\x8e\xd2\x96\xbc\n",
    // -T: body text, takes precedence over -F
    "      -T: \x96\x7b\x95\xb6\x93\xe0\x97\x65 -F\x82\xe6\x82\xe8\x82\xe0\x97\x44\x90\xe6\x82\xb3"
    "\x82\xea\x82\xe9\n",
    // -F: name of the body text file
    "      -F: \x96\x7b\x95\xb6\x93\xe0\x97\x65\x83\x65\x83\x4c\x83\x58\x83\x67\x83\x74\x83\x40"
    "\x83\x43\x83\x8b\x96\xbc\n",
    // -a: attachment file names (several, separated by commas)
    "      -a: \x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b\x96\xbc (\x83\x4a\x83\x93\x83\x7d"
    "\x8b\xe6\x90\xd8\x82\xe8\x82\xc5\x95\xa1\x90\x94\x89\xc2\x94\x5c)\n",
    // -d: debug display mode
    "      -d: \x83\x66\x83\x6f\x83\x62\x83\x4f\x95\x5c\x8e\xa6\x83\x82\x81\x5b\x83\x68\n",
    // -i: information display mode
    "      -i: \x83\x43\x83\x93\x83\x74\x83\x48\x83\x81\x81\x5b\x83\x56\x83\x87\x83\x93\x95\x5c"
    "\x8e\xa6\x83\x82\x81\x5b\x83\x68\n",
    // -S: silent mode (no error display)
    "      -S: \x83\x54\x83\x43\x83\x8c\x83\x93\x83\x67\x83\x82\x81\x5b\x83\x68\x81\x69\x83\x47"
    "\x83\x89\x81\x5b\x95\x5c\x8e\xa6\x82\xb5\x82\xc8\x82\xa2\x81\x6a\n",
    // -?: option help
    "      -?: \x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x83\x77\x83\x8b\x83\x76\n",
    // note: these parameters take precedence over the settings file vorna.ini
    "     \x81\xa6\x82\xb1\x82\xea\x82\xe7\x82\xcc\x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x82\xcd"
    "\x81\x41\x90\xdd\x92\xe8\x83\x74\x83\x40\x83\x43\x83\x8bvorna.ini\x82\xe6\x82\xe8\x82\xe0"
    "\x97\x44\x90\xe6\x82\xb3\x82\xea\x82\xdc\x82\xb7\x81\x42\n",
    // heading: related files
    "\x81\xa0 \x8a\xd6\x98\x41\x83\x74\x83\x40\x83\x43\x83\x8b\n",
    // vorna.ini: required when the POP before SMTP function is used
    "      vorna.ini : POP before SMTP\x8b\x40\x94\x5c\x82\xcc\x8e\x67\x97\x70\x82\xb7\x82\xe9\x8f"
    "\xea\x8d\x87\x82\xcd\x95\x4b\x90\x7b\x82\xc5\x82\xb7\x81\x42\n",
};

// Information block lines. The gaps mix ASCII and ideographic spaces (0x81 0x40) so that
// the colons line up on a Japanese console.

// "#settings file          : [path]"
const char kInfoSettingsFile[] =
    "#\x90\xdd\x92\xe8\x83\x74\x83\x40\x83\x43\x83\x8b          : [%s]\n";
// "#POP before SMTP : used" / ": not used"
const char kInfoPopUsed[] = "#POP before SMTP\x81\x40\x81\x40\x81\x40 : \x8e\x67\x82\xa4\n";
const char kInfoPopNotUsed[] =
    "#POP before SMTP\x81\x40\x81\x40\x81\x40 : \x8e\x67\x82\xed\x82\xc8\x82\xa2\n";
// "#APOP : used" / ": not used"
const char kInfoApopUsed[] = "#APOP           \x81\x40\x81\x40\x81\x40 : \x8e\x67\x82\xa4\n";
const char kInfoApopNotUsed[] =
    "#APOP           \x81\x40\x81\x40\x81\x40 : \x8e\x67\x82\xed\x82\xc8\x82\xa2\n";
// "#POP3 server : ..." and "#POP3 account : ..."
const char kInfoPopServer[] =
    "#POP3\x83\x54\x81\x5b\x83\x6f\x81\x40\x81\x40\x81\x40 \x81\x40\x81\x40 : %s\n";
const char kInfoPopAccount[] =
    "#POP3\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67\x81\x40 \x81\x40\x81\x40 : %s\n";
// "#SMTP authentication : used" (the method text continues the line)
const char kInfoAuthUsed[] = "#SMTP\x94\x46\x8f\xd8              : \x8e\x67\x82\xa4";
// " uses AUTH CRAM-MD5 (standard)", " uses AUTH PLAIN", " uses AUTH LOGIN"
const char kInfoAuthCramMd5[] = " AUTH CRAM-MD5\x82\xf0\x97\x98\x97\x70(\x95\x57\x8f\x80)\n";
const char kInfoAuthPlain[] = " AUTH PLAIN\x82\xf0\x97\x98\x97\x70\n";
const char kInfoAuthLogin[] = " AUTH LOGIN\x82\xf0\x97\x98\x97\x70\n";
// " uses AUTH XOAUTH2", " uses AUTH OAUTHBEARER"
const char kInfoAuthXoauth2[] = " AUTH XOAUTH2\x82\xf0\x97\x98\x97\x70\n";
const char kInfoAuthOauthbearer[] = " AUTH OAUTHBEARER\x82\xf0\x97\x98\x97\x70\n";
// "#SMTP password : from a command", "#POP3 password : from a command"; never the
// command's output.
const char kInfoSmtpPassCommand[] =
    "#SMTP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68        : "
    "\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xa9\x82\xe7\x8e\xe6\x93\xbe\n";
const char kInfoPopPassCommand[] =
    "#POP3\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68        : "
    "\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xa9\x82\xe7\x8e\xe6\x93\xbe\n";
// The OAuth 2.0 lines, shown only when OAUTH_PROVIDER names a provider: "#OAuth 2.0 :
// provider", "#OAuth client ID : ...", "#OAuth token : " and the state: "not signed in",
// "signed in (flow) valid until ...", "issued for other settings (sign-in needed)".
const char kInfoOAuth[] = "#OAuth 2.0             : %s\n";
const char kInfoOAuthClient[] =
    "#OAuth\x83\x4e\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67ID   : %s\n";
const char kInfoOAuthToken[] = "#OAuth\x83\x67\x81\x5b\x83\x4e\x83\x93         : ";
const char kInfoOAuthNone[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\n";
const char kInfoOAuthSignedIn[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x8d\xcf\x82\xdd(%s) \x97\x4c\x8c\xf8\x8a\xfa\x8c\xc0"
    " %s\n";
const char kInfoOAuthOther[] =
    "\x95\xca\x82\xcc\x90\xdd\x92\xe8\x82\xc5\x94\xad\x8d\x73\x8d\xcf\x82\xdd(\x83\x54\x83\x43\x83"
    "\x93\x83\x43\x83\x93\x82\xaa\x95\x4b\x97\x76)\n";
// "#SMTP account : ..."
const char kInfoSmtpAccount[] =
    "#SMTP\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67\x81\x40 \x81\x40\x81\x40 : %s\n";
// "#SMTP authentication : not used"
const char kInfoAuthNotUsed[] =
    "#SMTP\x94\x46\x8f\xd8           \x81\x40 : \x8e\x67\x82\xed\x82\xc8\x82\xa2\n";
// "#POP3 encryption : ..." and "#SMTP encryption : ...", shown only when one is on; the
// mode text and the verification text continue the line.
const char kInfoPopTls[] = "#POP3\x88\xc3\x8d\x86\x89\xbb            : ";
const char kInfoSmtpTls[] = "#SMTP\x88\xc3\x8d\x86\x89\xbb            : ";
// "not used"
const char kInfoTlsOff[] = "\x8e\x67\x82\xed\x82\xc8\x82\xa2\n";
// "SSL/TLS (from the start)"
const char kInfoTlsImplicit[] = "SSL/TLS(\x8d\xc5\x8f\x89\x82\xa9\x82\xe7)";
// " / verify the certificate" and " / do not verify the certificate"
const char kInfoTlsVerified[] =
    " / \x8f\xd8\x96\xbe\x8f\x91\x82\xf0\x8c\x9f\x8f\xd8\x82\xb7\x82\xe9\n";
const char kInfoTlsNotVerified[] =
    " / \x8f\xd8\x96\xbe\x8f\x91\x82\xf0\x8c\x9f\x8f\xd8\x82\xb5\x82\xc8\x82\xa2\n";
// "#TIME ZONE : TZ = ..."
const char kInfoTimeZone[] = "#TIME ZONE             \x81\x46TZ = %s\n";
// "#body file : path [n bytes]" / ": none"
const char kInfoBodyFile[] =
    "#\x96\x7b\x95\xb6\x83\x74\x83\x40\x83\x43\x83\x8b          \x81\x46%s [%ld bytes]\n";
const char kInfoBodyNone[] =
    "#\x96\x7b\x95\xb6\x83\x74\x83\x40\x83\x43\x83\x8b          \x81\x46\x82\xc8\x82\xb5\n";
// "#attachment file<n> : path [n bytes]" / ": none"
const char kInfoAttachment[] =
    "#\x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b%-3d       \x81\x46%s [%ld bytes]\n";
const char kInfoAttachmentNone[] =
    "#\x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b          \x81\x46\x82\xc8\x82\xb5\n";
// "#mail server : ..."
const char kInfoMailServer[] =
    "#\x83\x81\x81\x5b\x83\x8b\x83\x54\x81\x5b\x83\x6f\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40"
    "\x81\x46%s\n";
// "#mail sender : ..." / ": none"
const char kInfoSender[] =
    "#\x83\x81\x81\x5b\x83\x8b\x91\x97\x82\xe8\x8c\xb3\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40"
    "\x81\x46%s\n";
const char kInfoSenderNone[] =
    "#\x83\x81\x81\x5b\x83\x8b\x91\x97\x82\xe8\x8c\xb3\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40"
    "\x81\x46\x82\xc8\x82\xb5\n";
// "#mail recipients : ..."
const char kInfoRecipients[] =
    "#\x83\x81\x81\x5b\x83\x8b\x91\x97\x82\xe8\x90\xe6\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40"
    "\x81\x46%s\n";
// "#subject : ..." / ": none"
const char kInfoSubject[] =
    "#\x83\x54\x83\x75\x83\x57\x83\x46\x83\x4e\x83\x67\x93\xe0\x97\x65\x81\x40\x81\x40\x81\x40"
    "\x81\x46%s\n";
const char kInfoSubjectNone[] =
    "#\x83\x54\x83\x75\x83\x57\x83\x46\x83\x4e\x83\x67\x93\xe0\x97\x65\x81\x40\x81\x40\x81\x40"
    "\x81\x46\x82\xc8\x82\xb5\n";

// The size of a file opened by its path exactly as written, as a signed 32-bit number.
// A file that cannot be opened (gone since it was checked) shows as -1.
long file_size_of(const std::string& path) {
  std::FILE* file = platform::open_for_reading(path);
  if (file == nullptr) return -1;
  int64_t size = platform::file_size(file);
  std::fclose(file);
  return static_cast<long>(static_cast<int32_t>(size));
}

// One encryption line: its mode, and for an encrypted one whether the certificate is
// checked. A mode other than 1 and 2 is a plain connection.
void show_tls_line(const char* label, int32_t mode, const char* upgrade_command) {
  console_printf("%s", label);
  if (mode != kSslStartTls && mode != kSslImplicit) {
    console_printf("%s", kInfoTlsOff);
    return;
  }
  console_printf("%s", mode == kSslStartTls ? upgrade_command : kInfoTlsImplicit);
  console_printf("%s", g_settings.ssl_verify != 0 ? kInfoTlsVerified : kInfoTlsNotVerified);
}

bool tls_mode_on(int32_t mode) { return mode == kSslStartTls || mode == kSslImplicit; }

// The provider, the client ID and the state of the token file; never a token.
void show_oauth_lines() {
  const Settings& s = g_settings;
  console_printf(kInfoOAuth, provider_name(s.oauth_provider));
  console_printf(kInfoOAuthClient, s.oauth_client_id.c_str());
  console_printf("%s", kInfoOAuthToken);
  StoredTokens tokens;
  switch (sign_in_state(&tokens)) {
    case SignInState::kNone:
      console_printf("%s", kInfoOAuthNone);
      break;
    case SignInState::kSignedIn:
      console_printf(kInfoOAuthSignedIn, flow_name(tokens.flow),
                     local_text(tokens.expires_at).c_str());
      break;
    case SignInState::kOtherSettings:
      console_printf("%s", kInfoOAuthOther);
      break;
  }
}

}  // namespace

void show_usage() {
  if (!g_run.silent_mode) {
    console_printf(kBanner, kVersion);
    console_printf(kUsageSynopsis, g_run.program_name.c_str());
    for (const char* line : kUsageOptions) console_printf("%s", line);
  }
  if (!g_run.help_requested) error_exit(kErrOption);
}

void show_information() {
  const Settings& s = g_settings;
  const bool pop3_on = s.pop3_use == 1;

  console_printf(kBanner, kVersion);
  if (pop3_on || s.smtp_auth > 0) console_printf(kInfoSettingsFile, s.settings_path.c_str());
  if (pop3_on) {
    console_printf("%s", kInfoPopUsed);
    console_printf("%s", s.apop_use == 1 ? kInfoApopUsed : kInfoApopNotUsed);
    console_printf(kInfoPopServer, s.pop3_server.c_str());
    console_printf(kInfoPopAccount, s.pop3_user.c_str());
    if (!s.pop3_pass_command.empty()) console_printf("%s", kInfoPopPassCommand);
  } else {
    console_printf("%s", kInfoPopNotUsed);
    console_printf("%s", kInfoApopNotUsed);
  }
  if (s.smtp_auth > 0) {
    // A method number beyond 5 (a hand-edited file) prints no method and no line end,
    // so the account follows on the same line.
    console_printf("%s", kInfoAuthUsed);
    if (s.smtp_auth == 1) console_printf("%s", kInfoAuthCramMd5);
    if (s.smtp_auth == 2) console_printf("%s", kInfoAuthPlain);
    if (s.smtp_auth == 3) console_printf("%s", kInfoAuthLogin);
    if (s.smtp_auth == 4) console_printf("%s", kInfoAuthXoauth2);
    if (s.smtp_auth == 5) console_printf("%s", kInfoAuthOauthbearer);
    console_printf(kInfoSmtpAccount, s.smtp_user.c_str());
    if (s.smtp_auth <= 5 && !s.smtp_pass_command.empty()) {
      console_printf("%s", kInfoSmtpPassCommand);
    }
  } else {
    console_printf("%s", kInfoAuthNotUsed);
  }
  if (s.oauth_provider >= 1 && s.oauth_provider <= 3) show_oauth_lines();
  if (tls_mode_on(s.pop3_ssl) || tls_mode_on(s.smtp_ssl)) {
    show_tls_line(kInfoPopTls, s.pop3_ssl, "STLS");
    show_tls_line(kInfoSmtpTls, s.smtp_ssl, "STARTTLS");
  }
  if (g_run.tz_adjust) console_printf(kInfoTimeZone, g_run.tz_value.c_str());

  // The body file is listed even when -T supplies the text that is sent.
  if (!g_run.body_file.empty()) {
    console_printf(kInfoBodyFile, g_run.body_file_shown.c_str(), file_size_of(g_run.body_file));
  } else {
    console_printf("%s", kInfoBodyNone);
  }
  if (!g_run.attachment_paths.empty()) {
    for (std::size_t i = 0; i < g_run.attachment_paths.size(); ++i) {
      const std::string& path = g_run.attachment_paths[i];
      const std::string& shown =
          i < g_run.attachment_paths_shown.size() ? g_run.attachment_paths_shown[i] : path;
      console_printf(kInfoAttachment, static_cast<int>(i + 1), shown.c_str(), file_size_of(path));
    }
  } else {
    console_printf("%s", kInfoAttachmentNone);
  }

  console_printf(kInfoMailServer, g_run.mail_server.c_str());
  if (!g_run.sender.empty()) {
    console_printf(kInfoSender, g_run.sender.c_str());
  } else {
    console_printf("%s", kInfoSenderNone);
  }
  console_printf(kInfoRecipients, g_run.recipient_list.c_str());
  if (!g_run.subject.empty()) {
    console_printf(kInfoSubject, g_run.subject.c_str());
  } else {
    console_printf("%s", kInfoSubjectNone);
  }
}
