// The interactive settings menu: two console screens on which the settings of vorna.ini
// are shown and edited, and from which they are saved. Answers are read from standard
// input line by line, so that a script can pipe all of them at once; the menu never
// waits on input that cannot come and ends quietly (status 0, nothing saved) when the
// input runs out.
#include "config/settings_menu.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/console.h"
#include "app/errors.h"
#include "app/information.h"
#include "app/run_state.h"
#include "config/password.h"
#include "config/settings.h"
#include "oauth/provider.h"
#include "oauth/sign_in.h"
#include "oauth/token_file.h"
#include "oauth/token_state.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// Console text attributes.
constexpr int kNormalColour = 7;
constexpr int kPromptColour = 14;
constexpr int kNoticeColour = 12;

// The longest word a text answer keeps.
constexpr std::size_t kTextLimit = 255;
// The longest access token item 10 takes (methods 4 and 5); its stored form, twice as
// long, still fits what the settings file gives back.
constexpr std::size_t kTokenLimit = 16384;
// A stored form longer than a password's (a token's) is shown by its first digits only.
constexpr std::size_t kShownStoredDigits = 510;
constexpr std::size_t kShortenedDigits = 32;
// The longest CA file path the menu takes: reading the settings file gives back no more.
constexpr std::size_t kPathLimit = 4095;

// ---------------------------------------------------------------- texts

// "-- VORNA %s settings menu --"
const char kMainTitle[] = "-- VORNA %s \x90\xdd\x92\xe8\x83\x81\x83\x6a\x83\x85\x81\x5b --\n";
// "(1) - option list"
const char kMainItem1[] = "(1) - \x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x88\xea\x97\x97\n";
// "(2) - POP3 before SMTP settings"
const char kMainItem2[] = "(2) - POP3 before SMTP\x90\xdd\x92\xe8\n";
// "(3) - exit"
const char kMainItem3[] = "(3) - \x8f\x49\x97\xb9\n";
// "Enter the number and press the [Enter] key.:"
const char kChoicePrompt[] =
    "\x94\xd4\x8d\x86\x82\xf0\x93\xfc\x97\xcd\x82\xb5\x81\x41[Enter]\x83\x4c\x81\x5b\x82\xf0"
    "\x89\x9f\x82\xb5\x82\xc4\x89\xba\x82\xb3\x82\xa2\x81\x42:";

// "------- VORNA %s POP3/SMTP authentication settings menu -------"
const char kAuthTitle[] =
    "\n------- VORNA %s POP3/SMTP\x94\x46\x8f\xd8 \x90\xdd\x92\xe8\x83\x81\x83\x6a\x83\x85\x81\x5b"
    " -------\n\n";
// "(triangle)-<POP server group>"
const char kPopHeading[] =
    "\x81\xa4-<POP\x83\x54\x81\x5b\x83\x6f\x8a\xd6\x98\x41> -----------------------------------\n";
// "( 1) - POP before SMTP and APOP [used/"
const char kLine1Used[] =
    "( 1) - POP before SMTP\x82\xc6"
    "APOP [\x8e\x67\x82\xa4/";
// "APOP used]"
const char kLine1Apop[] = "APOP\x82\xf0\x97\x98\x97\x70]\n";
// "APOP not used (standard)]"
const char kLine1NoApop[] = "APOP\x82\xcd\x8e\x67\x82\xed\x82\xc8\x82\xa2(\x95\x57\x8f\x80)]\n";
// "( 1) - POP before SMTP yes/no [not used]"
const char kLine1Unused[] =
    "( 1) - POP before SMTP\x97\x4c\x96\xb3   [\x8e\x67\x82\xed\x82\xc8\x82\xa2]\n";
// "( 2) - POP server [%s]"
const char kLine2[] = "( 2) - POP\x83\x54\x81\x5b\x83\x6f             [%s]\n";
// "( 3) - POP user account [%s]"
const char kLine3[] =
    "( 3) - POP\x83\x86\x81\x5b\x83\x55\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67   [%s]\n";
// "( 4) - POP password [%s]"
const char kLine4[] = "( 4) - POP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68         [%s]";
// "(note) enciphered"
const char kEncipheredNotice[] = "\x81\xa6\x88\xc3\x8d\x86\x89\xbb\x8d\xcf\n";
// "( 5) - POP server port number [%d]"
const char kLine5[] =
    "( 5) - POP\x83\x54\x81\x5b\x83\x6f\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86   [%d]\n";
// "( 6) - delay wait (msec) [%d]"
const char kLine6[] = "( 6) - \x92\x78\x89\x84\x91\xd2\x82\xbf\x8e\x9e\x8a\xd4(msec)    [%d]\n";
// "( 7) - time-out (sec) [%d]"
const char kLine7[] =
    "( 7) - \x83\x5e\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67\x8e\x9e\x8a\xd4(sec) [%d]\n";
// "(triangle)-<SMTP server group>"
const char kSmtpHeading[] =
    "\x81\xa4-<SMTP\x83\x54\x81\x5b\x83\x6f\x8a\xd6\x98\x41> ----------------------------------\n";
// "( 8) - SMTP authentication [used/"
const char kLine8Used[] = "( 8) - SMTP\x94\x46\x8f\xd8              [\x8e\x67\x82\xa4/";
// The method texts of line 8, by smtp_auth: "AUTH CRAM-MD5 used (standard)]",
// "AUTH PLAIN used]", "AUTH LOGIN used]", "AUTH XOAUTH2 used]", "AUTH OAUTHBEARER used]".
const char* const kLine8Methods[] = {
    "AUTH CRAM-MD5\x82\xf0\x97\x98\x97\x70(\x95\x57\x8f\x80)]\n",
    "AUTH PLAIN\x82\xf0\x97\x98\x97\x70]\n",
    "AUTH LOGIN\x82\xf0\x97\x98\x97\x70]\n",
    "AUTH XOAUTH2\x82\xf0\x97\x98\x97\x70]\n",
    "AUTH OAUTHBEARER\x82\xf0\x97\x98\x97\x70]\n",
};
// "( 8) - SMTP authentication [not used]"
const char kLine8Unused[] =
    "( 8) - SMTP\x94\x46\x8f\xd8              [\x8e\x67\x82\xed\x82\xc8\x82\xa2]\n";
// "( 9) - SMTP user account [%s]"
const char kLine9[] =
    "( 9) - SMTP\x83\x86\x81\x5b\x83\x55\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67  [%s]\n";
// "(10) - SMTP password [%s]"
const char kLine10[] = "(10) - SMTP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68        [%s]";
// "(11) - SMTP server port number [%d]"
const char kLine11[] =
    "(11) - SMTP\x83\x54\x81\x5b\x83\x6f\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86  [%d]\n";
// "(triangle)-<encryption (SSL/TLS) group>"
const char kTlsHeading[] =
    "\x81\xa4-<\x88\xc3\x8d\x86\x89\xbb(SSL/TLS)\x8a\xd6\x98\x41> -----------------------------\n";
// "(14) - POP3 encryption [", "(15) - SMTP encryption [", followed by the mode text.
const char kLine14[] = "(14) - POP3\x88\xc3\x8d\x86\x89\xbb            [";
const char kLine15[] = "(15) - SMTP\x88\xc3\x8d\x86\x89\xbb            [";
// Mode texts of lines 14 and 15: "not used]", "used/STLS]", "used/STARTTLS]",
// "used/SSL/TLS from the connection on (POP3S)]", the same with "(SMTPS)".
const char kSslNone[] = "\x8e\x67\x82\xed\x82\xc8\x82\xa2]\n";
// A value of the file that is no mode: "invalid value (sending: error 24)]".
const char kSslInvalidText[] =
    "\x95s\x90\xb3\x82\xc8\x92l(\x91\x97\x90M\x82\xcd\x83G\x83\x89\x81[24)]\n";
const char kPop3SslStls[] = "\x8e\x67\x82\xa4/STLS\x82\xf0\x97\x98\x97\x70]\n";
const char kSmtpSslStarttls[] = "\x8e\x67\x82\xa4/STARTTLS\x82\xf0\x97\x98\x97\x70]\n";
const char kPop3SslImplicit[] =
    "\x8e\x67\x82\xa4/\x90\xda\x91\xb1\x8e\x9e\x82\xa9\x82\xe7SSL/TLS(POP3S)]\n";
const char kSmtpSslImplicit[] =
    "\x8e\x67\x82\xa4/\x90\xda\x91\xb1\x8e\x9e\x82\xa9\x82\xe7SSL/TLS(SMTPS)]\n";
// "(16) - server certificate check [", then "yes]" or "no (not recommended)]".
const char kLine16[] =
    "(16) - \x83\x54\x81\x5b\x83\x6f\x8f\xd8\x96\xbe\x8f\x91\x82\xcc\x8c\x9f\x8f\xd8    [";
const char kVerifyOn[] = "\x82\xb7\x82\xe9]\n";
const char kVerifyOff[] = "\x82\xb5\x82\xc8\x82\xa2(\x94\xf1\x90\x84\x8f\xa7)]\n";
// "(17) - CA certificate file [%s]", or "[not set (system standard)]".
const char kLine17[] =
    "(17) - CA\x8f\xd8\x96\xbe\x8f\x91\x83\x74\x83\x40\x83\x43\x83\x8b      [%s]\n";
const char kLine17System[] =
    "(17) - CA\x8f\xd8\x96\xbe\x8f\x91\x83\x74\x83\x40\x83\x43\x83\x8b      ["
    "\x96\xa2\x8e\x77\x92\xe8(\x83\x56\x83\x58\x83\x65\x83\x80\x95\x57\x8f\x80)]\n";
// Lines 4 and 10 while a command is set: "[command used (19)]", "[command used (18)]".
const char kLine4Command[] =
    "( 4) - POP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68         "
    "[\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xf0\x8e\x67\x97\x70(19)]\n";
const char kLine10Command[] =
    "(10) - SMTP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68        "
    "[\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xf0\x8e\x67\x97\x70(18)]\n";
// "(triangle)-<password commands>"
const char kCommandHeading[] =
    "\x81\xa4-<\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x8e\xe6\x93\xbe\x83\x52\x83\x7d"
    "\x83\x93\x83\x68> --------------------------\n";
// "(18) - SMTP password command [", "(19) - POP password command [", then the command
// and "]", or "not set]".
const char kLine18[] = "(18) - SMTP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x8e\xe6\x93\xbe    [";
const char kLine19[] = "(19) - POP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x8e\xe6\x93\xbe     [";
const char kCommandNotSet[] = "\x96\xa2\x90\xdd\x92\xe8]\n";
// "(triangle)-<OAuth 2.0 sign-in>"
const char kOAuthHeading[] =
    "\x81\xa4-<OAuth 2.0\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93> -----------------------------\n";
// "(20) - OAuth 2.0 sign-in [", then "not signed in]", "%s signed in (%s) valid until %s]"
// (provider, flow, the access token's expiry) or "signed in with other settings: sign
// in again]".
const char kLine20[] = "(20) - OAuth 2.0\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93    [";
const char kLine20None[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1]\n";
const char kLine20SignedIn[] =
    "%s \x82\xc5\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x8d\xcf\x82\xdd(%s) \x97\x4c\x8c\xf8"
    "\x8a\xfa\x8c\xc0 %s]\n";
const char kLine20Other[] =
    "\x95\xca\x82\xcc\x90\xdd\x92\xe8\x82\xc5\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x8d\xcf"
    "\x82\xdd: \x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5\x92\xbc\x82\xb5\x82\xc4\x82\xad"
    "\x82\xbe\x82\xb3\x82\xa2]\n";
const char kRule[] = "------------------------------------------------------\n";
// "(12) - save and exit [%s]"
const char kLine12[] = "(12) - \x83\x5a\x81\x5b\x83\x75\x8f\x49\x97\xb9            [%s]\n";
// "(13) - back to the main menu"
const char kLine13[] =
    "(13) - \x83\x81\x83\x43\x83\x93\x83\x81\x83\x6a\x83\x85\x81\x5b\x82\xc9\x96\xdf\x82\xe9\n";

// "Use POP before SMTP?[Y/N]:"
const char kAskPop3Use[] = "POP before SMTP\x82\xf0\x8e\x67\x97\x70\x82\xb7\x82\xe9\x81\x48[Y/N]:";
// "Use APOP?[Y/N]:"
const char kAskApopUse[] = "APOP\x82\xf0\x8e\x67\x97\x70\x82\xb7\x82\xe9\x81\x48[Y/N]:";
// "POP3 server name or IP address?:"
const char kAskPop3Server[] =
    "POP3\x83\x54\x81\x5b\x83\x6f\x96\xbc\x82\xdc\x82\xbd\x82\xcdIP\x83\x41\x83\x68\x83\x8c\x83\x58"
    "\x82\xcd\x81\x48:";
// "POP3 server account?:"
const char kAskPop3User[] =
    "POP3\x83\x54\x81\x5b\x83\x6f\x82\xcc\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67\x82\xcd\x81\x48:";
// "POP3 server password?:"
const char kAskPop3Pass[] =
    "POP3\x83\x54\x81\x5b\x83\x6f\x82\xcc\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x82\xcd\x81\x48:";
// "POP3 server port number?[the default is 110.]:"
const char kAskPop3Port[] =
    "POP3\x83\x54\x81\x5b\x83\x6f\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86\x82\xcd\x81\x48"
    "[\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\x82\xcd"
    "110\x82\xc5\x82\xb7\x81\x42]:";
// "Delay wait (msec)[default 300]?:"
const char kAskAfterWait[] =
    "\x92\x78\x89\x84\x91\xd2\x82\xbf\x8e\x9e\x8a\xd4(msec)["
    "\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67"
    "\x82\xcd"
    "300]\x81\x48:";
// "Time-out (sec)[default 10]?:"
const char kAskTimeOut[] =
    "\x83\x5e\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67\x8e\x9e\x8a\xd4(sec)[\x83\x66\x83\x74\x83\x48"
    "\x83\x8b\x83\x67\x82\xcd"
    "10]\x81\x48:";
// "Use SMTP authentication?[Y/N]:"
const char kAskSmtpAuth[] =
    "SMTP\x94\x46\x8f\xd8\x82\xf0\x8e\x67\x97\x70\x82\xb7\x82\xe9\x81\x48[Y/N]:";
// "1:AUTH CRAM-MD5(standard) 2:AUTH PLAIN 3:AUTH-LOGIN 4:XOAUTH2 5:OAUTHBEARER ?[1-5]:"
const char kAskSmtpMethod[] =
    "1:AUTH CRAM-MD5(\x95\x57\x8f\x80) 2:AUTH PLAIN 3:AUTH-LOGIN 4:XOAUTH2 5:OAUTHBEARER ?[1-5]:";
// "SMTP user account?:"
const char kAskSmtpUser[] =
    "SMTP\x83\x86\x81\x5b\x83\x55\x82\xcc\x83\x41\x83\x4a\x83\x45\x83\x93\x83\x67\x82\xcd\x81\x48:";
// "smtp server password?:"
const char kAskSmtpPass[] =
    "smtp\x83\x54\x81\x5b\x83\x6f\x82\xcc\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x82\xcd\x81\x48:";
// "Mail server port number?[the default is 25.]:"
const char kAskSmtpPort[] =
    "\x83\x81\x81\x5b\x83\x8b\x83\x54\x81\x5b\x83\x6f\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d"
    "\x86"
    "\x82\xcd\x81\x48[\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\x82\xcd"
    "25\x82\xc5\x82\xb7\x81\x42]:";
// "Command that prints the SMTP password (or access token)?[empty line: none]:"
const char kAskSmtpCommand[] =
    "SMTP\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68(\x82\xdc\x82\xbd\x82\xcd\x83\x41\x83\x4e"
    "\x83\x5a\x83\x58\x83\x67\x81\x5b\x83\x4e\x83\x93)\x82\xf0\x8f\x6f\x97\xcd\x82\xb7\x82\xe9"
    "\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xcd\x81\x48[\x8b\xf3\x8d\x73:\x8e\x67\x82\xed\x82\xc8"
    "\x82\xa2]:";
// "Command that prints the POP3 password?[empty line: none]:"
const char kAskPop3Command[] =
    "POP3\x83\x70\x83\x58\x83\x8f\x81\x5b\x83\x68\x82\xf0\x8f\x6f\x97\xcd\x82\xb7\x82\xe9"
    "\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xcd\x81\x48[\x8b\xf3\x8d\x73:\x8e\x67\x82\xed\x82\xc8"
    "\x82\xa2]:";
// "Save the settings to %s. All right?[Y/N]:"
const char kAskSave[] =
    "%s\x82\xc9\x90\xdd\x92\xe8\x82\xf0\x95\xdb\x91\xb6\x82\xb5\x82\xdc\x82\xb7\x81\x42\x82\xe6\x82"
    "\xeb"
    "\x82\xb5\x82\xa2\x82\xc5\x82\xb7\x82\xa9\x81\x48[Y/N]:";
// "Back to the main menu. All right?[Y/N]:"
const char kAskBack[] =
    "\x83\x81\x83\x43\x83\x93\x83\x81\x83\x6a\x83\x85\x81\x5b\x82\xc9\x96\xdf\x82\xe8\x82\xdc\x82"
    "\xb7"
    "\x81\x42\x82\xe6\x82\xeb\x82\xb5\x82\xa2\x82\xc5\x82\xb7\x82\xa9\x81\x48[Y/N]:";

// "Encryption of the POP3 connection?", then the three modes with their usual ports:
// "0: no encryption (standard) 110", "1: switch to encryption with STLS 110",
// "2: SSL/TLS from the connection on 995", and "?[0-2]:".
const char kAskPop3Ssl[] =
    "POP3\x92\xca\x90\x4d\x82\xcc\x88\xc3\x8d\x86\x89\xbb\x95\xfb\x8e\xae\x82\xcd\x81\x48\n"
    " 0:\x88\xc3\x8d\x86\x89\xbb\x82\xb5\x82\xc8\x82\xa2(\x95\x57\x8f\x80)             "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 110\n"
    " 1:STLS\x82\xc5\x88\xc3\x8d\x86\x89\xbb\x82\xc9\x90\xd8\x82\xe8\x91\xd6\x82\xa6\x82\xe9       "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 110\n"
    " 2:\x90\xda\x91\xb1\x8e\x9e\x82\xa9\x82\xe7SSL/"
    "TLS\x82\xc5\x88\xc3\x8d\x86\x89\xbb\x82\xb7\x82\xe9  "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 995\n"
    "?[0-2]:";
// The same for SMTP: ports 25, 587 (STARTTLS) and 465.
const char kAskSmtpSsl[] =
    "SMTP\x92\xca\x90\x4d\x82\xcc\x88\xc3\x8d\x86\x89\xbb\x95\xfb\x8e\xae\x82\xcd\x81\x48\n"
    " 0:\x88\xc3\x8d\x86\x89\xbb\x82\xb5\x82\xc8\x82\xa2(\x95\x57\x8f\x80)             "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 25\n"
    " 1:STARTTLS\x82\xc5\x88\xc3\x8d\x86\x89\xbb\x82\xc9\x90\xd8\x82\xe8\x91\xd6\x82\xa6\x82\xe9   "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 587\n"
    " 2:\x90\xda\x91\xb1\x8e\x9e\x82\xa9\x82\xe7SSL/"
    "TLS\x82\xc5\x88\xc3\x8d\x86\x89\xbb\x82\xb7\x82\xe9  "
    "\x92\xca\x8f\xed\x82\xcc\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86 465\n"
    "?[0-2]:";
// "Turn the server certificate check off? (not recommended)[Y/N]:". Asked this way round
// so that a stray answer keeps the check on.
const char kAskNoVerify[] =
    "\x83\x54\x81\x5b\x83\x6f\x8f\xd8\x96\xbe\x8f\x91\x82\xcc\x8c\x9f\x8f\xd8\x82\xf0\x96\xb3\x8c"
    "\xf8"
    "\x82\xc9\x82\xb7\x82\xe9\x81\x48(\x94\xf1\x90\x84\x8f\xa7)[Y/N]:";
// "Path of the CA certificate file (PEM)?[empty line: back to the system standard]:"
const char kAskCaFile[] =
    "CA\x8f\xd8\x96\xbe\x8f\x91\x83\x74\x83\x40\x83\x43\x83\x8b(PEM\x8c\x60\x8e\xae)"
    "\x82\xcc\x83\x70"
    "\x83\x58\x82\xcd\x81\x48[\x8b\xf3\x8d\x73:"
    "\x83\x56\x83\x58\x83\x65\x83\x80\x95\x57\x8f\x80\x82\xc9"
    "\x96\xdf\x82\xb7]:";

// "Signed in. 1: sign out 2: sign in again ?[1-2]:"
const char kAskSignedIn[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x8d\xcf\x82\xdd\x82\xc5\x82\xb7\x81\x42 1:\x83\x54"
    "\x83\x43\x83\x93\x83\x41\x83\x45\x83\x67 2:\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5"
    "\x92\xbc\x82\xb7 ?[1-2]:";
// "Signed out (the token file was deleted)."
const char kSignedOut[] =
    "\x83\x54\x83\x43\x83\x93\x83\x41\x83\x45\x83\x67\x82\xb5\x82\xdc\x82\xb5\x82\xbd(\x83\x67"
    "\x81\x5b\x83\x4e\x83\x93\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8d\xed\x8f\x9c\x82\xb5"
    "\x82\xdc\x82\xb5\x82\xbd)\x81\x42\n";
// "Cannot delete the token file: %s"
const char kSignOutFailed[] =
    "\x83\x67\x81\x5b\x83\x4e\x83\x93\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8d\xed\x8f\x9c"
    "\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1: %s\n";
// "Provider? 1:Microsoft 365/Outlook.com 2:Google 3:other ?[1-3]:"
const char kAskProvider[] =
    "\x83\x76\x83\x8d\x83\x6f\x83\x43\x83\x5f\x82\xcd\x81\x48 1:Microsoft 365/Outlook.com "
    "2:Google 3:\x82\xbb\x82\xcc\x91\xbc ?[1-3]:";
// "Client ID (application ID)?[empty line: %s]:", with the current one or "unchanged".
const char kAskClientId[] =
    "\x83\x4e\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67ID(\x83\x41\x83\x76\x83\x8a\x83\x50\x81\x5b"
    "\x83\x56\x83\x87\x83\x93ID)\x82\xcd\x81\x48[\x8b\xf3\x8d\x73:%s]:";
// "Tenant? (common/organizations/consumers/tenant ID or domain)[empty line: %s]:"
const char kAskTenant[] =
    "\x83\x65\x83\x69\x83\x93\x83\x67\x82\xcd\x81\x48(common/organizations/consumers/\x83\x65"
    "\x83\x69\x83\x93\x83\x67ID\x82\xdc\x82\xbd\x82\xcd\x83\x68\x83\x81\x83\x43\x83\x93)[\x8b\xf3"
    "\x8d\x73:%s]:";
// "Client secret?[empty line: unchanged -: delete]:"
const char kAskSecret[] =
    "\x83\x4e\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67\x83\x56\x81\x5b\x83\x4e\x83\x8c\x83\x62"
    "\x83\x67\x82\xcd\x81\x48[\x8b\xf3\x8d\x73:\x95\xcf\x8d\x58\x82\xb5\x82\xc8\x82\xa2 -:\x8d\xed"
    "\x8f\x9c]:";
// "Sign-in method? 1:device code 2:browser [empty line: the provider's usual]:"
const char kAskFlow[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xcc\x95\xfb\x96\x40\x82\xcd\x81\x48 1:\x83\x66"
    "\x83\x6f\x83\x43\x83\x58\x83\x52\x81\x5b\x83\x68 2:\x83\x75\x83\x89\x83\x45\x83\x55 [\x8b\xf3"
    "\x8d\x73:\x83\x76\x83\x8d\x83\x6f\x83\x43\x83\x5f\x82\xcc\x95\x57\x8f\x80]:";
// "unchanged"
const char kUnchanged[] = "\x95\xcf\x8d\x58\x82\xb5\x82\xc8\x82\xa2";
// "No client ID. Nothing was stored."
const char kNoClientId[] =
    "\x83\x4e\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67ID\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9"
    "\x82\xf1\x81\x42\x89\xbd\x82\xe0\x95\xdb\x91\xb6\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82"
    "\xf1\x81\x42\n";
// "%s is not set. Nothing was stored." (a key name)
const char kNoEndpoint[] =
    "%s \x82\xaa\x90\xdd\x92\xe8\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42"
    "\x89\xbd\x82\xe0\x95\xdb\x91\xb6\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42\n";
// "http:// is only for a loopback address (127.0.0.0/8, ::1, localhost): %s" / "Nothing
// was stored."
const char kEndpointRefused[] =
    "http:// \x82\xcd\x83\x8b\x81\x5b\x83\x76\x83\x6f\x83\x62\x83\x4e\x83\x41\x83\x68\x83\x8c"
    "\x83\x58(127.0.0.0/8, ::1, localhost)\x82\xc9\x82\xb5\x82\xa9\x8e\x67\x82\xa6\x82\xdc\x82"
    "\xb9\x82\xf1: %s\n\x89\xbd\x82\xe0\x95\xdb\x91\xb6\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9"
    "\x82\xf1\x81\x42\n";
// "Google does not accept the device-code sign-in for Gmail. Choose the browser sign-in
// (method 2). Nothing was stored."
const char kGoogleDevice[] =
    "Google \x82\xcd Gmail \x8c\xfc\x82\xaf\x82\xcc\x83\x66\x83\x6f\x83\x43\x83\x58\x83\x52\x81"
    "\x5b\x83\x68\x82\xc5\x82\xcc\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xf0\x8e\xf3\x82\xaf"
    "\x95\x74\x82\xaf\x82\xdc\x82\xb9\x82\xf1\x81\x42\x83\x75\x83\x89\x83\x45\x83\x55\x82\xc5\x82"
    "\xcc\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93(\x95\xfb\x96\x40 2)\x82\xf0\x91\x49\x82\xf1\x82"
    "\xc5\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\x89\xbd\x82\xe0\x95\xdb\x91\xb6\x82\xb5\x82\xc4"
    "\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42\n";
// "SMTP authentication is now XOAUTH2."
const char kAuthSwitched[] =
    "SMTP\x94\x46\x8f\xd8\x82\xf0 XOAUTH2 \x82\xc9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n";
// "Save the settings with (12)."
const char kSaveHint[] =
    "\x90\xdd\x92\xe8\x82\xcc\x95\xdb\x91\xb6\x82\xcd (12) \x82\xc5\x8d\x73\x82\xc1\x82\xc4\x82"
    "\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\n";

// ---------------------------------------------------------------- console

void set_colour(int attribute) {
  console_flush();
  platform::console_set_attribute(attribute);
  console_flush();
}

void print_in_colour(int attribute, const char* text) {
  set_colour(attribute);
  console_printf("%s", text);
  set_colour(kNormalColour);
}

// ---------------------------------------------------------------- input

// True until a byte of the current input line has been taken.
bool g_at_line_start = true;

int peek_byte() {
  int c = std::getc(stdin);
  if (c != EOF) std::ungetc(c, stdin);
  return c;
}

int take_byte() {
  int c = std::getc(stdin);
  if (c != EOF) g_at_line_start = c == '\n';
  return c;
}

// Blanks separate answers. A NUL counts as one, so that it can end a text answer but
// never make it empty.
bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// A prompt that gets no answer because the input has ended: leave without saving.
[[noreturn]] void input_ended() { end_process(0); }

// Drops what is left of the input line already begun; a line not yet begun is kept.
void discard_pending_input() {
  if (g_at_line_start) return;
  for (;;) {
    int c = take_byte();
    if (c == EOF || c == '\n') return;
  }
}

// Skips blanks and empty lines up to the next answer; ends the program when none comes.
// The answer's line counts as begun from here, so that discarding drops an answer that
// is left unread.
void skip_to_answer() {
  console_flush();
  for (;;) {
    int c = peek_byte();
    if (c == EOF) input_ended();
    if (!is_blank(c)) break;
    take_byte();
  }
  g_at_line_start = false;
}

// Reads a decimal number (optional sign, then digits) into *target. Input that is not a
// number leaves *target unchanged, stays unread, and gives false.
bool read_number(int32_t* target) {
  skip_to_answer();
  bool negative = false;
  int c = peek_byte();
  if (c == '+' || c == '-') {
    negative = c == '-';
    take_byte();
  }
  if (!is_digit(peek_byte())) return false;
  int64_t value = 0;
  while (is_digit(c = peek_byte())) {
    take_byte();
    // Beyond the 32-bit range the value stays at its limit.
    if (value <= INT32_MAX) value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  *target = static_cast<int32_t>(value);
  return true;
}

// A Y/N answer: the first byte typed; only "Y" or "y" is yes.
bool read_yes() {
  console_flush();
  int c = take_byte();
  if (c == EOF) input_ended();
  return c == 'Y' || c == 'y';
}

// The number of bytes of the UTF-8 character that begins with this byte (1 for a byte
// that begins none).
std::size_t utf8_character_size(int lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// A text answer: one word of at most limit bytes; the rest of a longer word stays unread.
// On a UTF-8 terminal the word is taken in code page 932, as the settings file keeps it;
// the cut then falls before a character, never inside one.
std::string read_text(std::size_t limit = kTextLimit) {
  skip_to_answer();
  const bool utf8 = platform::terminal_is_utf8();
  std::string word;
  while (word.size() < limit) {
    int c = peek_byte();
    if (c == EOF || is_blank(c)) break;
    if (utf8 && word.size() + utf8_character_size(c) > limit) break;
    word += static_cast<char>(take_byte());
  }
  std::size_t replaced = 0;
  return terminal_text_to_cp932(word, &replaced);
}

// A whole-line answer (a path or a command may hold blanks), without the blanks around it
// and, when drop_quotes is set, without one pair of double quotes around it, as Windows
// copies a path (a command's quotes are its own and stay). An empty line gives an empty
// text. *too_long tells that the line held more than limit bytes (the rest is dropped); a
// NUL byte in the line counts the same way, since no path or command can hold one.
std::string read_line(std::size_t limit, bool* too_long, bool drop_quotes = true) {
  console_flush();
  if (peek_byte() == EOF) input_ended();
  std::string line;
  *too_long = false;
  for (;;) {
    int c = take_byte();
    if (c == EOF || c == '\n') break;
    if (c == '\0') *too_long = true;
    // Two bytes beyond the limit are kept so that quotes and blanks can still be trimmed.
    if (line.size() < limit + 2) {
      line += static_cast<char>(c);
    } else {
      *too_long = true;
    }
  }
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  if (drop_quotes && end - begin >= 2 && line[begin] == '"' && line[end - 1] == '"') {
    ++begin;
    --end;
  }
  if (end - begin > limit) *too_long = true;
  return line.substr(begin, end - begin);
}

// A long text as the menu shows it: a token or its stored form by its beginning only.
std::string shortened(const std::string& text, std::size_t longest, std::size_t shown) {
  if (text.size() <= longest) return text;
  return text.substr(0, shown) + "...";
}

// Prints a question and reads its answer from a fresh line.
bool ask_yes(const char* question) {
  console_printf("%s", question);
  discard_pending_input();
  bool yes = read_yes();
  discard_pending_input();
  return yes;
}

void ask_text(const char* question, std::string* field) {
  console_printf("%s", question);
  discard_pending_input();
  *field = read_text();
  discard_pending_input();
}

void ask_number(const char* question, int32_t* field) {
  console_printf("%s", question);
  discard_pending_input();
  read_number(field);
  discard_pending_input();
}

// Items 14 and 15: 0, 1 or 2 becomes the mode; any other answer keeps the mode as it was,
// so that a slip never turns encryption off. A port still at the default of the old mode
// moves to the default of the new one (110 and 995, 25 and 465), as a settings file
// without the port would read; a port the user chose stays.
void ask_ssl_mode(const char* question, int32_t* mode_field, int32_t* port_field,
                  int32_t (*default_port)(int32_t)) {
  console_printf("%s", question);
  discard_pending_input();
  int32_t mode = -1;
  if (read_number(&mode) && mode >= kSslOff && mode <= kSslImplicit) {
    if (*port_field == default_port(*mode_field)) *port_field = default_port(mode);
    *mode_field = mode;
  }
  discard_pending_input();
}

// Item 17: a path, or an empty line for the system's trusted roots. A path too long for
// the settings file to give back whole is refused, and the old value stays.
void ask_ca_file(std::string* field) {
  console_printf("%s", kAskCaFile);
  discard_pending_input();
  bool too_long = false;
  std::string path = read_line(kPathLimit, &too_long);
  if (!too_long) *field = path;
}

// Items 4 and 10: stores a new password and shows it typed, stored and read back. A
// password too long for its stored form to fit the settings file is refused, and the
// old one stays.
void ask_password(const char* question, std::string* stored_field) {
  console_printf("%s", question);
  discard_pending_input();
  std::string typed = read_text();
  std::string stored;
  if (store_password(typed, &stored)) {
    *stored_field = stored;
    console_printf("[%s] -> [%s] ->", typed.c_str(), stored.c_str());
    console_printf("[%s]\n", recover_password(stored).c_str());
  }
  discard_pending_input();
}

// Items 18 and 19: a command of any length, blanks allowed; an empty line clears it. A
// line too long for the settings file to give back is refused, and the old value stays.
void ask_command(const char* question, std::string* field) {
  console_printf("%s", question);
  discard_pending_input();
  bool refused = false;
  std::string command = read_line(kMaxCommandLength, &refused, false);
  if (!refused) *field = command;
}

// Item 10 under methods 4 and 5: an access token, stored as a password is. Tokens run to
// thousands of bytes, so the line shows the token and its stored form by their
// beginnings only.
void ask_token(const char* question, std::string* stored_field) {
  console_printf("%s", question);
  discard_pending_input();
  std::string typed = read_text(kTokenLimit);
  std::string stored;
  if (store_token(typed, kTokenLimit, &stored)) {
    *stored_field = stored;
    console_printf("[%s] -> [%s] ->", shortened(typed, 64, 32).c_str(),
                   shortened(stored, 64, kShortenedDigits).c_str());
    console_printf("[%s]\n", shortened(recover_token(stored), 64, 32).c_str());
  }
  discard_pending_input();
}

// ---------------------------------------------------------------- OAuth 2.0 sign-in

// The longest client ID, tenant or secret taken.
constexpr std::size_t kOAuthTextLimit = 1024;

void show_oauth_line() {
  console_printf("%s", kLine20);
  StoredTokens tokens;
  switch (sign_in_state(&tokens)) {
    case SignInState::kNone:
      console_printf("%s", kLine20None);
      break;
    case SignInState::kSignedIn:
      console_printf(kLine20SignedIn, provider_name(tokens.provider), flow_name(tokens.flow),
                     local_text(tokens.expires_at).c_str());
      break;
    case SignInState::kOtherSettings:
      console_printf("%s", kLine20Other);
      break;
  }
}

// A whole-line answer; false for an overlong one, which changes nothing.
bool ask_line(const char* question, std::string* answer) {
  console_printf("%s", question);
  discard_pending_input();
  bool too_long = false;
  *answer = read_line(kOAuthTextLimit, &too_long);
  return !too_long;
}

// An endpoint that the flow needs must be set and allowed before any request is made.
bool endpoint_usable(const char* key, const std::string& url) {
  if (url.empty()) {
    console_printf(kNoEndpoint, key);
    return false;
  }
  if (!endpoint_allowed(url)) {
    console_printf(kEndpointRefused, url.c_str());
    return false;
  }
  return true;
}

// The questions of item 20, each answer kept in the settings; false when an answer
// leaves nothing to sign in with.
bool ask_oauth_settings() {
  Settings& s = g_settings;
  console_printf("%s", kAskProvider);
  discard_pending_input();
  int32_t provider = 0;
  if (!read_number(&provider) || provider < 1 || provider > 3) {
    discard_pending_input();
    return false;
  }
  s.oauth_provider = provider;

  char question[512];
  std::string answer;
  std::snprintf(question, sizeof question, kAskClientId,
                s.oauth_client_id.empty() ? kUnchanged : s.oauth_client_id.c_str());
  if (ask_line(question, &answer) && !answer.empty()) s.oauth_client_id = answer;
  if (s.oauth_client_id.empty()) {
    console_printf("%s", kNoClientId);
    return false;
  }
  if (provider == 1) {
    std::snprintf(question, sizeof question, kAskTenant,
                  s.oauth_tenant.empty() ? "common" : s.oauth_tenant.c_str());
    if (ask_line(question, &answer) && !answer.empty()) {
      s.oauth_tenant = answer;
    }
  } else if (ask_line(kAskSecret, &answer)) {
    std::string stored;
    if (answer == "-") {
      s.oauth_client_secret_stored.clear();
    } else if (!answer.empty() && store_password(answer, &stored)) {
      s.oauth_client_secret_stored = stored;
    }
  }
  // Issue 20's question: the flow, kept as OAUTH_FLOW.
  if (ask_line(kAskFlow, &answer)) {
    s.oauth_flow = answer == "1" ? 1 : answer == "2" ? 2 : 0;
  }
  return true;
}

void sign_in() {
  if (!ask_oauth_settings()) return;
  const OAuthConfig config = oauth_config();
  const int flow = effective_flow(config);
  if (flow == 1 && config.provider == 2) {
    console_printf("%s", kGoogleDevice);
    return;
  }
  if (!endpoint_usable("OAUTH_TOKEN_URL", config.token_url)) return;
  bool signed_in = false;
  if (flow == 1) {
    if (!endpoint_usable("OAUTH_DEVICE_URL", config.device_url)) return;
    signed_in = sign_in_with_device_code(config);
  } else {
    if (!endpoint_usable("OAUTH_AUTHORIZE_URL", config.authorize_url)) return;
    signed_in = sign_in_with_browser(config);
  }
  if (!signed_in) return;
  if (g_settings.smtp_auth != 4 && g_settings.smtp_auth != 5) {
    g_settings.smtp_auth = 4;
    console_printf("%s", kAuthSwitched);
  }
  console_printf("%s", kSaveHint);
}

// Item 20: sign in; when signed in already, sign out or sign in again.
void oauth_item() {
  StoredTokens tokens;
  if (sign_in_state(&tokens) != SignInState::kNone) {
    console_printf("%s", kAskSignedIn);
    discard_pending_input();
    int32_t choice = 0;
    if (!read_number(&choice)) choice = 0;
    discard_pending_input();
    if (choice == 1) {
      if (remove_token_file()) {
        console_printf("%s", kSignedOut);
      } else {
        console_printf(kSignOutFailed, token_file_path().c_str());
      }
      return;
    }
    if (choice != 2) return;
  }
  sign_in();
}

// ---------------------------------------------------------------- the screens

// Lines 4 and 10: the stored form, or, while a command is set, that the command is used.
void show_password_line(const char* line, const char* command_line, const std::string& stored,
                        const std::string& command) {
  if (!command.empty()) {
    console_printf("%s", command_line);
    return;
  }
  console_printf(line, shortened(stored, kShownStoredDigits, kShortenedDigits).c_str());
  print_in_colour(kNoticeColour, kEncipheredNotice);
}

void show_command_line(const char* line, const std::string& command) {
  console_printf("%s", line);
  if (command.empty()) {
    console_printf("%s", kCommandNotSet);
  } else {
    console_printf("%s]\n", command.c_str());
  }
}

void show_authentication_lines() {
  const Settings& s = g_settings;
  console_printf(kAuthTitle, kVersion);
  console_printf("%s", kPopHeading);
  if (s.pop3_use == 1) {
    console_printf("%s%s", kLine1Used, s.apop_use == 1 ? kLine1Apop : kLine1NoApop);
  } else {
    console_printf("%s", kLine1Unused);
  }
  console_printf(kLine2, s.pop3_server.c_str());
  console_printf(kLine3, s.pop3_user.c_str());
  show_password_line(kLine4, kLine4Command, s.pop3_pass_stored, s.pop3_pass_command);
  console_printf(kLine5, static_cast<int>(s.pop3_port));
  console_printf(kLine6, static_cast<int>(s.pop3_after_wait));
  console_printf(kLine7, static_cast<int>(s.pop3_time_out));
  console_printf("\n");
  console_printf("%s", kSmtpHeading);
  // Only 1 to 5 select a method; any other value sends without authentication, and the
  // line says so.
  if (s.smtp_auth >= 1 && s.smtp_auth <= 5) {
    console_printf("%s%s", kLine8Used, kLine8Methods[s.smtp_auth - 1]);
  } else {
    console_printf("%s", kLine8Unused);
  }
  console_printf(kLine9, s.smtp_user.c_str());
  show_password_line(kLine10, kLine10Command, s.smtp_pass_stored, s.smtp_pass_command);
  console_printf(kLine11, static_cast<int>(s.smtp_port));
  console_printf("\n");
  console_printf("%s", kTlsHeading);
  // A value of the file that is no mode stops every sending run, and the line says so.
  console_printf("%s%s", kLine14,
                 s.pop3_ssl == kSslStartTls   ? kPop3SslStls
                 : s.pop3_ssl == kSslImplicit ? kPop3SslImplicit
                 : s.pop3_ssl == kSslInvalid  ? kSslInvalidText
                                              : kSslNone);
  console_printf("%s%s", kLine15,
                 s.smtp_ssl == kSslStartTls   ? kSmtpSslStarttls
                 : s.smtp_ssl == kSslImplicit ? kSmtpSslImplicit
                 : s.smtp_ssl == kSslInvalid  ? kSslInvalidText
                                              : kSslNone);
  // Only a 0 in the file turns the check off.
  console_printf("%s%s", kLine16, s.ssl_verify != 0 ? kVerifyOn : kVerifyOff);
  if (s.ssl_ca_file.empty()) {
    console_printf("%s", kLine17System);
  } else {
    console_printf(kLine17, s.ssl_ca_file.c_str());
  }
  console_printf("\n");
  console_printf("%s", kCommandHeading);
  show_command_line(kLine18, s.smtp_pass_command);
  show_command_line(kLine19, s.pop3_pass_command);
  console_printf("\n");
  console_printf("%s", kOAuthHeading);
  show_oauth_line();
  console_printf("%s", kRule);
  console_printf(kLine12, s.settings_path.c_str());
  console_printf("%s", kLine13);
  print_in_colour(kPromptColour, kChoicePrompt);
}

// The authentication settings menu; returns when the user goes back to the main menu.
void authentication_menu() {
  Settings& s = g_settings;
  for (;;) {
    show_authentication_lines();
    discard_pending_input();
    int32_t choice = 0;
    if (!read_number(&choice) || choice < 1 || choice > 20) {
      discard_pending_input();
      continue;
    }
    switch (choice) {
      case 1:
        if (ask_yes(kAskPop3Use)) {
          s.pop3_use = 1;
          s.apop_use = ask_yes(kAskApopUse) ? 1 : 0;
        } else {
          s.pop3_use = 0;
        }
        break;
      case 2:
        ask_text(kAskPop3Server, &s.pop3_server);
        break;
      case 3:
        ask_text(kAskPop3User, &s.pop3_user);
        break;
      case 4:
        ask_password(kAskPop3Pass, &s.pop3_pass_stored);
        break;
      case 5:
        ask_number(kAskPop3Port, &s.pop3_port);
        break;
      case 6:
        ask_number(kAskAfterWait, &s.pop3_after_wait);
        break;
      case 7:
        ask_number(kAskTimeOut, &s.pop3_time_out);
        break;
      case 8:
        if (ask_yes(kAskSmtpAuth)) {
          console_printf("%s", kAskSmtpMethod);
          discard_pending_input();
          int32_t method = 0;
          if (!read_number(&method) || method < 1 || method > 5) method = 0;
          s.smtp_auth = method;
          discard_pending_input();
        } else {
          s.smtp_auth = 0;
        }
        break;
      case 9:
        ask_text(kAskSmtpUser, &s.smtp_user);
        break;
      case 10:
        // Under the bearer-token methods the password is an access token.
        if (s.smtp_auth == 4 || s.smtp_auth == 5) {
          ask_token(kAskSmtpPass, &s.smtp_pass_stored);
        } else {
          ask_password(kAskSmtpPass, &s.smtp_pass_stored);
        }
        break;
      case 11:
        ask_number(kAskSmtpPort, &s.smtp_port);
        break;
      case 12:
        console_printf(kAskSave, s.settings_path.c_str());
        discard_pending_input();
        if (read_yes()) {
          discard_pending_input();
          save_settings();
          end_process(0);
        }
        break;
      case 13:
        if (ask_yes(kAskBack)) return;
        break;
      case 14:
        ask_ssl_mode(kAskPop3Ssl, &s.pop3_ssl, &s.pop3_port, default_pop3_port);
        break;
      case 15:
        ask_ssl_mode(kAskSmtpSsl, &s.smtp_ssl, &s.smtp_port, default_smtp_port);
        break;
      case 16:
        s.ssl_verify = ask_yes(kAskNoVerify) ? 0 : 1;
        break;
      case 17:
        ask_ca_file(&s.ssl_ca_file);
        break;
      case 18:
        ask_command(kAskSmtpCommand, &s.smtp_pass_command);
        break;
      case 19:
        ask_command(kAskPop3Command, &s.pop3_pass_command);
        break;
      case 20:
        oauth_item();
        break;
    }
  }
}

}  // namespace

void settings_menu() {
  set_colour(kNormalColour);
  for (;;) {
    console_printf(kMainTitle, kVersion);
    console_printf("%s%s%s", kMainItem1, kMainItem2, kMainItem3);
    print_in_colour(kPromptColour, kChoicePrompt);
    // The first answer is read as it stands; later ones follow a fresh line anyway.
    int32_t choice = 0;
    if (!read_number(&choice)) choice = 0;
    switch (choice) {
      case 1:
        // The usage text returns here instead of ending the run.
        g_run.help_requested = true;
        show_usage();
        break;
      case 2:
        authentication_menu();
        break;
      case 3:
        end_process(0);
      default:
        discard_pending_input();
        break;
    }
  }
}
