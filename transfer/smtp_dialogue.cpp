// The SMTP dialogue (RFC 5321 section 3): one connection, one message. Each step sends
// its command through send_text and judges the answer through the reply readers; any
// refusal ends the run there, and nothing is retried.
#include "transfer/smtp_dialogue.h"

#include <ctime>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "transfer/connection.h"
#include "transfer/message.h"
#include "transfer/reply_reader.h"
#include "transfer/smtp_auth.h"

SenderParts split_sender(const std::string& sender) {
  SenderParts parts;
  int state = 0;  // 0 start, 1 after a "<", 2 after a ">" that follows a "<"
  std::size_t first_open = std::string::npos;
  std::size_t last_open = 0;
  for (std::size_t i = 0; i < sender.size(); ++i) {
    if (sender[i] == '<') {
      state = 1;
      last_open = i;
      if (first_open == std::string::npos) first_open = i;
    } else if (sender[i] == '>' && state == 1) {
      state = 2;
    }
  }
  if (state != 2) {
    parts.address = sender;
    return parts;
  }
  parts.bracketed = true;
  parts.address = sender.substr(last_open);
  parts.display_name = sender.substr(0, first_open);
  while (!parts.display_name.empty() && parts.display_name.back() == ' ') {
    parts.display_name.pop_back();
  }
  return parts;
}

std::vector<Recipient> split_recipients(const std::string& list) {
  std::vector<Recipient> recipients;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = list.find(',', start);
    std::string element =
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (element.empty()) break;
    Recipient recipient;
    recipient.followed_by_comma = comma != std::string::npos;
    if (element.compare(0, 4, "BCC:") == 0) {
      recipient.kind = Recipient::kBcc;
      recipient.address = element.substr(4);
    } else if (element.compare(0, 3, "CC:") == 0) {
      recipient.kind = Recipient::kCc;
      recipient.address = element.substr(3);
    } else {
      recipient.address = element;
    }
    recipients.push_back(recipient);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return recipients;
}

namespace {

// EHLO, falling back to HELO when the server refuses it or never completes its 250 reply.
// The answer to HELO is not judged: the server's verdict comes with MAIL FROM. True when
// the EHLO reply was taken (only it announces extensions).
bool greet_server(Connection* connection, const std::string& client_name) {
  send_text(connection, "EHLO " + client_name + "\r\n");
  if (read_ehlo_reply(connection) == 1) return true;
  send_text(connection, "HELO " + client_name + "\r\n");
  read_ehlo_reply(connection);
  return false;
}

// STARTTLS (RFC 3207), required: without it nothing more is sent (error 23), so neither
// credentials nor mail go out in the clear. Plain text that came after the server's
// "220" is thrown away unread (a man in the middle may have put it there), and the
// client greets the server again inside TLS, where its extensions may differ. True when
// the server took that EHLO.
bool secure_with_starttls(Connection* connection, bool extended, const std::string& client_name) {
  if (!extended || !ehlo_offered_starttls()) error_exit(kErrSslReturn);
  send_text(connection, "STARTTLS\r\n");
  if (!read_starttls_reply(connection)) error_exit(kErrSslReturn);
  std::size_t discarded = discard_waiting(connection);
  if (discarded > 0 && g_run.debug_mode) {
    console_printf("TLS: %d bytes of plain text after the STARTTLS reply discarded\n",
                   static_cast<int>(discarded));
  }
  start_smtp_tls(connection);
  return greet_server(connection, client_name);
}

// Replies a pipelined group may leave waiting at most: so many short replies fit in the
// socket buffers of both ends, so the server never stalls writing them while the client
// is still writing commands (RFC 2920 section 3.1). Longer envelopes go in several groups.
constexpr int kMaxOutstanding = 100;

// The envelope: MAIL FROM, one RCPT TO per recipient and DATA, with To and Cc recipients
// listed in the header fields on the way. Step by step each answer is read before the
// next command; pipelined (RFC 2920) the commands go out together and their answers are
// read afterwards in order. Either way the first refusal in command order ends the run
// with its code before anything more is sent (a server that gave DATA its 354 anyway
// throws the transaction away when the connection ends), and the message follows only
// DATA's go-ahead.
void send_envelope(Connection* connection, const SenderParts& sender, AddressFields* fields,
                   bool pipelined) {
  int outstanding = 0;
  auto sent = [&] {
    if (!pipelined) {
      read_reply(connection);
      return;
    }
    if (++outstanding < kMaxOutstanding) return;
    for (; outstanding > 0; --outstanding) read_reply(connection);
  };
  if (sender.bracketed) {
    send_text(connection, "MAIL FROM:" + sender.address + "\r\n");
  } else {
    send_text(connection, "MAIL FROM:<" + sender.address + ">\r\n");
  }
  sent();
  for (const Recipient& recipient : split_recipients(g_run.recipient_list)) {
    if (recipient.kind == Recipient::kTo) {
      add_field_address(&fields->to_text, recipient.address, recipient.followed_by_comma);
    } else if (recipient.kind == Recipient::kCc) {
      add_field_address(&fields->cc_text, recipient.address, recipient.followed_by_comma);
    }
    send_text(connection, "RCPT TO:<" + recipient.address + ">\r\n");
    sent();
  }
  // Only a go-ahead (3xx) lets the message follow: after any other answer its lines
  // would reach the server as commands.
  send_text(connection, "DATA\r\n");
  for (; outstanding > 0; --outstanding) read_reply(connection);
  read_data_reply(connection);
}

}  // namespace

void send_mail() {
  // A password command runs first: it may take a while (a sign-in), and its failure must
  // come before anything is sent.
  const int method = g_settings.smtp_auth;
  if (authentication_method(method)) prepare_authentication();

  // The Date: field shows the moment the delivery began, before the connection.
  const std::time_t now = std::time(nullptr);
  const std::tm stamp = platform::local_time(now);

  Connection link = open_connection();
  Connection* connection = &link;
  // Implicit TLS: the handshake comes first, the greeting inside it.
  if (g_settings.smtp_ssl == kSslImplicit) start_smtp_tls(connection);
  read_reply(connection);  // the greeting

  std::string client_name;
  if (!platform::local_host_name(&client_name)) {
    if (g_run.debug_mode) {
      console_printf("%s: gethostname():winsock error:%d\n", g_run.program_name.c_str(),
                     platform::last_net_error());
    }
    error_exit(kErrHostName);
  }
  g_run.start_tick = platform::tick_count();

  bool extended = greet_server(connection, client_name);
  if (g_settings.smtp_ssl == kSslStartTls) {
    extended = secure_with_starttls(connection, extended, client_name);
  }
  // The last EHLO reply (inside TLS where TLS runs) tells whether the server pipelines.
  const bool pipelined = extended && ehlo_offered_pipelining() && pipelining_allowed();
  if (authentication_method(method)) authenticate(connection, method);

  const SenderParts sender = split_sender(g_run.sender);
  HeaderInputs header;
  send_envelope(connection, sender, &header.fields, pipelined);
  finish_address_fields(&header.fields);

  header.display_name = sender.display_name;
  header.sender_address = sender.address;
  header.subject = g_run.subject;
  header.priority = g_run.priority;
  header.multipart = g_run.attachments_present;
  header.boundary = g_run.boundary;
  header.date_field = format_date_field(stamp, platform::timezone_seconds_west(), g_run.tz_adjust);
  send_message_head(connection, build_header_block(header));
  send_body(connection);
  if (g_run.attachments_present) send_attachment_parts(connection);

  // The end-of-data reply decides; a pipelining server gets QUIT in the same write.
  send_text(connection, "\r\n.\r\n");
  if (pipelined) send_text(connection, "QUIT\r\n");
  read_reply(connection, kEndOfDataTimeoutMs);

  // The server has taken the message: whatever answers QUIT (a refusal, garbage, a
  // closed or silent connection) the message is delivered and the run succeeds.
  if (!pipelined) send_text(connection, "QUIT\r\n");
  read_quit_reply(connection);
  close_connection(connection);
}
