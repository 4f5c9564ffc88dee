// The reply readers and the buffered sending over a real stream socket (a local socket
// pair standing in for the server): how pieces are assembled, and how a reply, a closed
// connection or an overlong reply ends the run.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "transfer/connection.h"
#include "transfer/reply_reader.h"

namespace {

// One end is the client's socket, the other the test's "server".
struct SocketPair {
  Connection link;
  Connection* client = &link;
  int server = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      link.socket = fds[0];
      server = fds[1];
    }
  }
  ~SocketPair() {
    if (link.socket >= 0) close(static_cast<int>(link.socket));
    if (server >= 0) close(server);
  }
  void send(const std::string& text) const {
    ASSERT_EQ(write(server, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Sends the pieces from another thread with a pause between them, so that each
  // arrives in a receive of its own.
  std::thread send_later(std::vector<std::string> pieces) const {
    int fd = server;
    return std::thread([fd, pieces] {
      for (const std::string& piece : pieces) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (write(fd, piece.data(), piece.size()) < 0) return;
      }
    });
  }
  void close_server() {
    close(server);
    server = -1;
  }
};

TEST(ReplyReaderPosix, ReplyInTwoPiecesIsOneReply) {
  SocketPair pair;
  pair.send("220 re");
  std::thread rest = pair.send_later({"ady\r\n"});
  EXPECT_EQ(read_reply(pair.client), 1);
  rest.join();
  EXPECT_EQ(g_line_buffer, "ready");
}

TEST(ReplyReaderPosix, AcceptsCodesBelow400) {
  const char* replies[] = {"220 hi\r\n", "354 go ahead\r\n", "199 x\r\n"};
  for (const char* reply : replies) {
    SocketPair pair;
    pair.send(reply);
    EXPECT_EQ(read_reply(pair.client), 1) << reply;
  }
}

TEST(ReplyReaderPosix, FailuresEndTheRunWithTheirCodes) {
  // A refusal: error 11.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("550 no such user\r\n");
        read_reply(pair.client);
      },
      ::testing::ExitedWithCode(11), "");
  // The server closes while the reply is awaited: error 10.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("220 hal");
        pair.close_server();
        read_reply(pair.client);
      },
      ::testing::ExitedWithCode(10), "");
  // A reply that fills the buffer without CR LF: error 10, even with more data waiting.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("220 " + std::string(5000, 'x') + "\r\n");
        read_reply(pair.client);
      },
      ::testing::ExitedWithCode(10), "");
}

TEST(ReplyReaderPosix, MultiLineReplyInPiecesIsOneReply) {
  // The answer to RCPT comes in two pieces and DATA is refused: the second piece belongs
  // to the first reply, so the refusal is what DATA gets.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("250-first\r\n");
        std::thread rest = pair.send_later({"250 second\r\n", "554 no valid recipients\r\n"});
        read_reply(pair.client);
        read_data_reply(pair.client);
        rest.join();
      },
      ::testing::ExitedWithCode(11), "");
  // One-byte pieces make one reply.
  SocketPair pair;
  std::vector<std::string> bytes;
  for (char c : std::string("50 ok\r\n")) bytes.push_back(std::string(1, c));
  pair.send("2");
  std::thread rest = pair.send_later(bytes);
  EXPECT_EQ(read_reply(pair.client), 1);
  rest.join();
  EXPECT_EQ(g_line_buffer, "ok");
}

TEST(ReplyReaderPosix, RepliesThatAreNotPositiveAreRefused) {
  const std::string replies[] = {std::string("\0\0\0\r\n", 5), "\x80\x80 ok\r\n", " 250 ok\r\n",
                                 "+OK\r\n", "600 what\r\n", "250-a\r\nhello\r\n"};
  for (const std::string& reply : replies) {
    EXPECT_EXIT(
        {
          SocketPair pair;
          pair.send(reply);
          read_reply(pair.client);
        },
        ::testing::ExitedWithCode(11), "")
        << reply;
  }
  // DATA needs a go-ahead: a 2xx is no permission to send the message.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("250 ok\r\n");
        read_data_reply(pair.client);
      },
      ::testing::ExitedWithCode(11), "");
  SocketPair pair;
  pair.send("354 go ahead\r\n");
  EXPECT_EQ(read_data_reply(pair.client), 1);
}

TEST(ReplyReaderPosix, QuitReplyNeverEndsTheRun) {
  struct Case {
    const char* name;
    std::string reply;
    bool close;
    bool positive;
  };
  const Case cases[] = {
      {"goodbye", "221 bye\r\n", false, true},
      {"closed at once", "", true, false},
      {"closed inside the reply", "221 by", true, false},
      {"refused", "500 what\r\n", false, false},
      {"421", "421 closing\r\n", false, false},
      {"garbage", std::string("\0\x90\r\n", 4), false, false},
      {"overlong line", "221 " + std::string(5000, 'x') + "\r\n", false, false},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    if (!c.reply.empty()) pair.send(c.reply);
    if (c.close) pair.close_server();
    EXPECT_EQ(read_quit_reply(pair.client), c.positive) << c.name;
  }
}

TEST(ReplyReaderPosix, EhloReplies) {
  {
    SocketPair pair;
    pair.send("250-host\r\n250-AUTH CRAM-MD5\r\n250 OK\r\n");
    EXPECT_EQ(read_ehlo_reply(pair.client), 1);
  }
  {
    SocketPair pair;
    pair.send("250-host\r\n");
    std::thread rest = pair.send_later({"250-AUTH LOGIN\r\n", "250 OK\r\n"});
    EXPECT_EQ(read_ehlo_reply(pair.client), 1);
    rest.join();
  }
  {
    SocketPair pair;
    pair.send("502 not implemented\r\n");
    EXPECT_EQ(read_ehlo_reply(pair.client), 0);
  }
  // A first piece that is not a 250 reply is a refusal, whatever its class.
  const char* refusals[] = {"220 hello again\r\n", "251 x\r\n", "hello\r\n", "250-a\r\n554 b\r\n"};
  for (const char* refusal : refusals) {
    SocketPair pair;
    pair.send(refusal);
    EXPECT_EQ(read_ehlo_reply(pair.client), 0) << refusal;
  }
  // A further piece that is not 1xx or 2xx ends the run with error 25.
  const char* further[] = {"421 closing\r\n", "\x80garbage\r\n", "x\r\n"};
  for (const char* piece : further) {
    EXPECT_EXIT(
        {
          SocketPair pair;
          pair.send("250-host\r\n");
          std::thread rest = pair.send_later({piece});
          read_ehlo_reply(pair.client);
          rest.join();
        },
        ::testing::ExitedWithCode(25), "")
        << piece;
  }
  // A further piece is waited for only as long as the EHLO reply has left.
  EXPECT_EXIT(
      {
        SocketPair pair;
        read_250_more(pair.client, 200);
      },
      ::testing::ExitedWithCode(10), "");
}

TEST(ReplyReaderPosix, RepliesThatArriveTogetherAreReadOneByOne) {
  {
    // A pipelining server's answers in one receive, the last one cut.
    SocketPair pair;
    pair.send("250 first\r\n250-second\r\n250 more\r\n354 go");
    std::thread rest = pair.send_later({" ahead\r\n"});
    EXPECT_EQ(read_reply(pair.client), 1);
    EXPECT_EQ(g_line_buffer, "first");
    EXPECT_EQ(read_reply(pair.client), 1);
    EXPECT_EQ(g_line_buffer, "-second");  // the text of its first line
    EXPECT_EQ(read_data_reply(pair.client), 1);
    EXPECT_EQ(g_line_buffer, "goahead");
    rest.join();
    EXPECT_TRUE(pair.client->pending.empty());
  }
  {
    // What comes along with the answer to STARTTLS is thrown away with what waits.
    SocketPair pair;
    pair.send("220 go ahead\r\n250 injected\r\n");
    EXPECT_TRUE(read_starttls_reply(pair.client));
    EXPECT_EQ(discard_waiting(pair.client), 14u);
    EXPECT_TRUE(pair.client->pending.empty());
  }
  // A refusal among them ends the run at its turn.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("250 ok\r\n550 no\r\n354 go\r\n");
        read_reply(pair.client);
        read_reply(pair.client);
      },
      ::testing::ExitedWithCode(11), "");
}

TEST(ReplyReaderPosix, AnOverlongLineFailsHoweverTheReceivesCutIt) {
  // The line starts at the end of a receive that holds the reply before it, and its LF
  // comes within the next receive's bytes.
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.send("250 ok\r\n250 " + std::string(4084, 'x'));
        std::thread rest = pair.send_later({std::string(1000, 'x') + "\r\n"});
        read_reply(pair.client);
        read_reply(pair.client);
        rest.join();
      },
      ::testing::ExitedWithCode(10), "");
}

TEST(ConnectionPosix, GatheredOutputArrivesWholeBeforeTheReplyIsRead) {
  SocketPair pair;
  std::string big(300 * 1024, 'b');
  const std::string expected = "MAIL " + big + "\r\nRCPT\r\n";
  std::string received;
  int server = pair.server;
  std::thread reader([server, &received, &expected] {
    char buffer[65536];
    while (received.size() < expected.size()) {
      ssize_t n = read(server, buffer, sizeof buffer);
      if (n <= 0) return;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    const char reply[] = "250 ok\r\n";
    if (write(server, reply, sizeof reply - 1) < 0) return;
  });
  send_text(pair.client, "MAIL ");
  send_bytes(pair.client, big.data(), big.size());
  send_text(pair.client, "\r\nRCPT\r\n");
  EXPECT_EQ(read_reply(pair.client), 1);
  reader.join();
  EXPECT_EQ(received, expected);
}

}  // namespace
