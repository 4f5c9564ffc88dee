// The TCP side of mail delivery: host names, the connection to the SMTP server, and the
// sending of text. Every failure ends the run; callers treat each return as success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// How long the network may keep us waiting. A wait that runs out is treated like the
// failure it stands for: connecting (error 8), sending (error 9), receiving (error 10).
constexpr int kConnectTimeoutMs = 60 * 1000;
constexpr int kSendTimeoutMs = 5 * 60 * 1000;
constexpr int kReplyTimeoutMs = 5 * 60 * 1000;
constexpr int kEndOfDataTimeoutMs = 10 * 60 * 1000;

// The process-wide line buffer: commands are formed in it, and every reply reader leaves
// the text of the reply it read in it (the CRAM-MD5 challenge is taken from there).
extern std::string g_line_buffer;

// Finds the IPv4 address (network byte order) of a host name or dotted address: a dotted
// address is taken as it is, anything else is looked up. False for an empty text or a
// failed lookup. Keeps no state, so the POP3 login thread uses it too.
bool find_host(const std::string& host, uint32_t* address);

// The address of the mail server as find_host finds it; failure ends the run with error 13.
uint32_t resolve_host(const std::string& host);

// Starts the socket library (error 5), makes the socket (error 7) and connects it to
// mail_server on smtp_port (error 8; at most kConnectTimeoutMs). The greeting is not read.
platform::Socket open_connection();

// Sends the whole text; in debug mode echoes it first as "Send: %s". Output is gathered
// in a buffer that goes out when it fills and before every reply is read, so a long
// message costs few system calls. Returns 1; a send that fails or cannot progress for
// kSendTimeoutMs ends the run with error 9.
int send_text(platform::Socket socket, const std::string& text);

// Sends bytes without any echo (bulk copies of attachment work files outside debug mode).
void send_bytes(platform::Socket socket, const char* data, std::size_t length);

// Sends whatever is gathered. False when the connection failed; the caller decides.
bool flush_output(platform::Socket socket);
