// The reply text that the reply readers leave behind, and the test for the last line of a
// multi-line 250 reply.
#include <gtest/gtest.h>

#include <string>

#include "transfer/reply_reader.h"

namespace {

TEST(ReplyText, TakenFromTheFirstLineAfterTheCode) {
  struct Case {
    const char* name;
    std::string piece;
    std::string text;
  };
  const Case cases[] = {
      {"CRAM-MD5 challenge", "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+\r\n",
       "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+"},
      {"blanks left out", "250 2.0.0 Ok: queued\r\n", "2.0.0Ok:queued"},
      {"first line only, from the byte after the code", "250-first\r\n250 second\r\n", "-first"},
      {"0x1F skipped like a blank",
       "220 a\x1f"
       "b\r\n",
       "ab"},
      {"tab ends the text", "220 a\tb\r\n", "a"},
      {"byte of 0x80 and above ends the text",
       "220 ab\x82\xa0"
       "cd\r\n",
       "ab"},
      {"DEL is kept", "220 a\x7f\r\n", "a\x7f"},
      {"code only", "250\r\n", ""},
      {"shorter than a code", "2\r\n", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(extract_reply_text(c.piece.data(), c.piece.size()), c.text) << c.name;
  }
}

TEST(Ehlo250, LastLineOfA250Reply) {
  struct Case {
    std::string piece;
    bool complete;
  };
  const Case cases[] = {
      {"250 OK\r\n", true},
      {"250-host\r\n250-AUTH CRAM-MD5\r\n250 OK\r\n", true},
      {"250-host\r\n", false},
      {"250-AUTH LOGIN\r\n250 \r\n", true},
      {"250\r\n", false},
      {"220 ready\r\n250 OK\r\n", false},  // left over from the greeting: not a 250 piece
      {"251 x\r\n", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(completes_250_reply(c.piece.data(), c.piece.size()), c.complete) << c.piece;
  }
}

TEST(Ehlo250, StartTlsAnnouncedOnlyAsItsOwnKeyword) {
  struct Case {
    std::string piece;
    bool offered;
  };
  const Case cases[] = {
      {"250-host\r\n250-STARTTLS\r\n250 OK\r\n", true},
      {"250-host\r\n250 starttls\r\n", true},  // keywords have no case
      {"250-STARTTLS extra\r\n250 OK\r\n", true},
      {"250 STARTTLS", true},                    // the last line of a piece without CR LF
      {"250-host\r\n250 OK\r\n", false},
      {"250-STARTTLSX\r\n250 OK\r\n", false},
      {"250-X-STARTTLS\r\n250 OK\r\n", false},
      {"250-host STARTTLS\r\n250 OK\r\n", false},  // a word of another line's text
      {"220-STARTTLS\r\n250 OK\r\n", false},       // not an EHLO line
      {"250STARTTLS\r\n", false},
      {"250-STARTTL", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(announces_starttls(c.piece.data(), c.piece.size()), c.offered) << c.piece;
  }
}

}  // namespace
