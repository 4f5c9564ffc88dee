// The SMTP dialogue (RFC 5321): greeting, EHLO or HELO, optional AUTH, MAIL, RCPT, DATA,
// the message, end of data and QUIT.
#pragma once

#include <string>
#include <vector>

// Delivers the run's one message; returns only when it was accepted.
void send_mail();

// The -f value split into what MAIL FROM and the From: field need.
struct SenderParts {
  std::string display_name;  // text before the first "<", trailing blanks removed
  std::string address;       // from the last "<" on, as typed; or the whole value
  bool bracketed = false;    // the address carries its own angle brackets
};

// A display name followed by an address in angle brackets when a ">" follows the last
// "<"; otherwise the whole value is a bare address without display name.
SenderParts split_sender(const std::string& sender);

// One recipient of the list, in list order.
struct Recipient {
  enum Kind { kTo, kCc, kBcc };
  Kind kind = kTo;
  std::string address;             // the element without its "CC:" or "BCC:" prefix
  bool followed_by_comma = false;  // its element was not the last of the list
};

// Splits the recipient list strictly at each comma, left to right. An empty element ends
// the list; "BCC:" and "CC:" (upper case only) mark blind and copy recipients.
std::vector<Recipient> split_recipients(const std::string& list);
