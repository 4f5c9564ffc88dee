// POP before SMTP: logs in to the POP3 server (RFC 1939: USER/PASS, or APOP with the
// greeting's timestamp), says QUIT and pauses, all on a worker thread that the main
// thread waits for at most pop3_time_out seconds.
//
// Every reply is read up to its line end and judged by its "+OK", whether or not the
// trace is on. Once the main thread has given up on the worker (time-out), the worker
// sends, prints and ends nothing more: each of those actions happens under one guard
// that the main thread takes to give up.
#include "transfer/pop_before_smtp.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "codec/md5.h"
#include "config/password.h"
#include "config/password_command.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "transfer/connection.h"
#include "transfer/trace_text.h"

namespace {

// A reply of up to 1,023 bytes and its terminating NUL.
constexpr std::size_t kReplyCapacity = 1024;
// The limit used when POP3_TIME_OUT is negative.
constexpr int32_t kDefaultTimeOutSeconds = 10;
// Socket waits in the worker run this far past the time limit, so that the main thread
// always gives up first and a late failure of the worker cannot pass for its result.
constexpr uint32_t kWaitSlackMs = 1000;
// The worker's own result once the main thread has given up; nobody reads it.
constexpr int kGivenUp = kErrPop3Timeout;

// "------ POP3 protocol ------"
const char kPop3TraceHeader[] = "------ POP3\x83\x76\x83\x8d\x83\x67\x83\x52\x83\x8b ------\n";
// "------ SMTP protocol ------"
const char kSmtpTraceHeader[] = "------ SMTP\x83\x76\x83\x8d\x83\x67\x83\x52\x83\x8b ------\n";

// The worker's result: 0 until a step fails.
std::atomic<int> pop_result{0};

// Set by the main thread, under g_guard, when the time limit has run out.
std::mutex g_guard;
bool g_given_up = false;

// The line POP3_PASS_COMMAND printed, taken before the worker starts.
bool g_have_command_password = false;
std::string g_command_password;

// The time limit of the running login; set before the worker starts.
uint32_t g_start_tick = 0;
uint32_t g_limit_ms = 0;

// Runs an action that the outside world could notice (a send, a trace line, the end of
// the run) unless the main thread has given up. False when it has.
template <typename Action>
bool unless_given_up(Action action) {
  std::lock_guard<std::mutex> hold(g_guard);
  if (g_given_up) return false;
  action();
  return true;
}

// How long one socket wait of the worker may last.
int wait_budget_ms() {
  uint32_t spent = platform::tick_count() - g_start_tick;
  uint64_t left = spent >= g_limit_ms ? 0 : g_limit_ms - spent;
  left += kWaitSlackMs;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

struct PopConnection {
  Connection link;            // plain, or encrypted after STLS or from the first byte
  std::string unread;         // bytes received after the end of the last reply
  bool in_long_line = false;  // the last reply was cut: the rest of its line is unread
};

// Reads one reply up to and including its LF. A reply longer than the reply buffer is
// cut there (the rest of its line is passed over later), and one that the server ends by
// closing is taken as far as it came. False when nothing arrives at all.
bool read_reply_line(PopConnection* connection, std::string* reply) {
  const std::size_t most = kReplyCapacity - 1;
  std::string& gathered = connection->unread;
  for (;;) {
    if (connection->in_long_line) {
      std::size_t rest_end = gathered.find('\n');
      connection->in_long_line = rest_end == std::string::npos;
      gathered.erase(0, rest_end == std::string::npos ? gathered.size() : rest_end + 1);
    }
    std::size_t line_end = gathered.find('\n');
    if (line_end != std::string::npos && line_end < most) {
      reply->assign(gathered, 0, line_end + 1);
      gathered.erase(0, line_end + 1);
      break;
    }
    if (gathered.size() >= most) {
      reply->assign(gathered, 0, most);
      gathered.erase(0, most);
      connection->in_long_line = true;
      break;
    }
    char buffer[kReplyCapacity];
    std::size_t received = 0;
    NetStatus status = receive_some(&connection->link, buffer, most - gathered.size(),
                                    wait_budget_ms(), &received);
    if (status != NetStatus::kData) {
      if (gathered.empty()) return false;
      reply->swap(gathered);
      gathered.clear();
      break;
    }
    gathered.append(buffer, received);
  }
  // The reply is text; a NUL in it ends it, as it ends the trace line.
  std::size_t nul = reply->find('\0');
  if (nul != std::string::npos) reply->resize(nul);
  return true;
}

bool send_all(Connection* link, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    NetStatus status = NetStatus::kData;
    std::size_t sent =
        send_some_of(link, text.data() + done, text.size() - done, wait_budget_ms(), &status);
    if (sent == 0) return false;
    done += sent;
  }
  return true;
}

// Prints a trace line in debug mode; false when the main thread has given up.
bool trace(const std::string& line) {
  return unless_given_up([&] {
    if (g_run.debug_mode) console_printf("%s", line.c_str());
  });
}

// Sends one command line (CR LF added) and prints its trace line. 0, kGivenUp, or
// failure_code when the command cannot be sent.
int send_command(PopConnection* connection, const std::string& command,
                 const std::string& trace_line, int failure_code) {
  bool sent = false;
  if (!unless_given_up([&] {
        sent = send_all(&connection->link, command + "\r\n");
        if (sent && g_run.debug_mode) console_printf("%s", trace_line.c_str());
      })) {
    return kGivenUp;
  }
  return sent ? 0 : failure_code;
}

// Reads one reply, prints it in debug mode and accepts it only when it begins with
// "+OK". 0, kGivenUp, or failure_code for a missing or negative reply.
int expect_ok(PopConnection* connection, int failure_code, std::string* reply) {
  if (!read_reply_line(connection, reply)) return failure_code;
  if (!unless_given_up([&] {
        if (g_run.debug_mode) {
          const std::string shown = trace_text(reply->data(), reply->size());
          console_write_received("Recv:", shown.data(), shown.size());
        }
      })) {
    return kGivenUp;
  }
  return reply->compare(0, 3, "+OK") == 0 ? 0 : failure_code;
}

// The POP3 server's addresses, found as the mail server's are (an address literal, else
// a name lookup). A server that cannot be found ends the run with error 13 from this
// thread, unless the main thread has already given up on the login.
bool find_pop3_server(std::vector<platform::NetAddress>* addresses) {
  *addresses = find_host(g_settings.pop3_server);
  if (!addresses->empty()) return true;
  unless_given_up([] { error_exit(kErrHostName); });
  return false;
}

// What is left of the time limit, without the slack.
int time_left_ms() {
  int budget = wait_budget_ms() - static_cast<int>(kWaitSlackMs);
  return budget < 0 ? 0 : budget;
}

// The TLS handshake with the POP3 server, inside the login's time limit; its line goes
// to the trace. 0, kGivenUp, or error 24.
int secure_pop_connection(PopConnection* connection) {
  std::string summary;
  bool started = start_tls(&connection->link, g_settings.pop3_server, wait_budget_ms(), &summary);
  if (!trace(std::string("TLS: ") + (started ? "" : "failed: ") + summary + "\n")) {
    return kGivenUp;
  }
  return started ? 0 : kErrSslHandling;
}

// STLS (RFC 2595), required: its refusal, or no answer, is error 23, and nothing of the
// login goes out in the clear. Plain text received after the "+OK" is thrown away.
int start_stls(PopConnection* connection) {
  std::string reply;
  int result = send_command(connection, "STLS", "Send: STLS\n", kErrSslReturn);
  if (result == 0) result = expect_ok(connection, kErrSslReturn, &reply);
  if (result != 0) return result;
  std::size_t discarded = connection->unread.size() + discard_waiting(&connection->link);
  connection->unread.clear();
  connection->in_long_line = false;
  if (discarded > 0 &&
      !trace("TLS: " + std::to_string(discarded) +
             " bytes of plain text after the STLS reply discarded\n")) {
    return kGivenUp;
  }
  return secure_pop_connection(connection);
}

// The login itself; returns the worker's result.
int pop_login() {
  const std::string password = g_have_command_password
                                   ? g_command_password
                                   : recover_password(g_settings.pop3_pass_stored);
  if (!platform::net_startup()) return kErrSocketInit;
  PopConnection connection;
  std::vector<platform::NetAddress> addresses;
  if (!find_pop3_server(&addresses)) return kGivenUp;
  uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(g_settings.pop3_port) & 0xFFFFu);
  std::size_t winner = 0;
  switch (platform::connect_any(addresses, port, kConnectStaggerMs, wait_budget_ms(),
                                &connection.link.socket, &winner)) {
    case platform::ConnectStatus::kConnected: break;
    case platform::ConnectStatus::kNoSocket: return kErrSocketCreate;
    case platform::ConnectStatus::kFailed: return kErrPop3Connect;
  }
  if (!trace(kPop3TraceHeader)) return kGivenUp;

  std::string reply;
  int result = 0;
  if (g_settings.pop3_ssl == kSslImplicit) result = secure_pop_connection(&connection);
  if (result != 0) return result;
  result = expect_ok(&connection, kErrPop3Connect, &reply);
  if (result != 0) return result;
  // The APOP timestamp is the greeting's, read before STLS as RFC 2595 has it.
  const std::string greeting = reply;
  if (g_settings.pop3_ssl == kSslStartTls) result = start_stls(&connection);
  if (result != 0) return result;
  reply = greeting;

  const std::string& user = g_settings.pop3_user;
  if (g_settings.apop_use == 1) {
    // RFC 1939 section 7: the digest of the greeting's timestamp and the password. A
    // greeting without a timestamp gives the digest of the password alone.
    std::string timestamp;
    extract_apop_timestamp(reply, &timestamp);
    // The digest would allow an offline guess of the password: the trace masks it.
    std::string command = "APOP " + user + " " + apop_digest(timestamp, password);
    result = send_command(&connection, command, "Send: APOP " + user + " ********\n",
                          kErrPop3Password);
    if (result != 0) return result;
  } else {
    result =
        send_command(&connection, "USER " + user, "Send: USER " + user + "\n", kErrPop3Account);
    if (result == 0) result = expect_ok(&connection, kErrPop3Account, &reply);
    if (result != 0) return result;
    // The password goes on the wire only; the trace shows it masked.
    result =
        send_command(&connection, "PASS " + password, "Send: PASS ********\n", kErrPop3Password);
    if (result != 0) return result;
  }
  result = expect_ok(&connection, kErrPop3Password, &reply);
  if (result != 0) return result;

  result = send_command(&connection, "QUIT", "Send: QUIT\n", kErrPop3Connect);
  if (result == 0) result = expect_ok(&connection, kErrPop3Connect, &reply);
  if (result != 0) return result;
  close_connection(&connection.link, time_left_ms());
  platform::net_cleanup();

  // The pause lets the server open relaying; it counts within the time limit.
  platform::sleep_ms(static_cast<uint32_t>(g_settings.pop3_after_wait));
  if (!trace(kSmtpTraceHeader)) return kGivenUp;
  return 0;
}

}  // namespace

bool extract_apop_timestamp(const std::string& greeting, std::string* timestamp) {
  // The search starts after "+OK" and one more byte.
  std::string text = greeting.substr(0, greeting.find('\0'));
  if (text.size() < 5) return false;
  std::size_t open = text.find('<', 4);
  if (open == std::string::npos) return false;
  std::size_t close = text.find('>', open);
  *timestamp = text.substr(open, close == std::string::npos ? std::string::npos : close - open + 1);
  return true;
}

int pop_login_thread(void*) {
  pop_result = 0;
  int result = pop_login();
  pop_result = result;
  return result;
}

int pop_before_smtp() {
  int32_t seconds = g_settings.pop3_time_out;
  if (seconds < 0) seconds = kDefaultTimeOutSeconds;
  // The limit is a 32-bit product, as the wait takes it.
  g_limit_ms = static_cast<uint32_t>(seconds) * 1000u;
  pop_result = 0;
  // No time at all: nothing is started, so nothing can outlive the failure.
  if (g_limit_ms == 0) return kErrPop3Timeout;
  // The password command runs before the login and outside its time limit (a sign-in may
  // wait for a person); its failure ends the run with error 26.
  if (!g_settings.pop3_pass_command.empty()) {
    g_command_password = password_from_command(g_settings.pop3_pass_command);
    g_have_command_password = true;
  }
  g_start_tick = platform::tick_count();

  platform::Thread* worker = platform::start_thread(pop_login_thread, nullptr);
  // A worker that cannot be started leaves the result at 0: delivery goes on without
  // the login, and the server judges the mail.
  if (worker == nullptr) return pop_result;

  int result = 0;
  if (platform::wait_thread(worker, g_limit_ms)) {
    result = pop_result;
  } else {
    {
      std::lock_guard<std::mutex> hold(g_guard);
      g_given_up = true;
    }
    platform::terminate_thread(worker, kErrPop3Timeout);
    result = kErrPop3Timeout;
  }
  platform::close_thread(worker);
  return result;
}
