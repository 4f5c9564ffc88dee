// How a reply is followed to its last line and judged, the reply text that the readers
// leave behind, the test for the last line of a multi-line 250 reply, and the form in which
// the trace shows server bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/reply_reader.h"
#include "transfer/trace_text.h"

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
      {"250\r\n", true},  // three digits and the line end: a last line too
      {"250-SIZE 250 x\r\n", false},  // "250 " inside a continuation line is no end
      {"220 ready\r\n250 OK\r\n", false},  // left over from the greeting: not a 250 piece
      {"251 x\r\n", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(completes_250_reply(c.piece.data(), c.piece.size()), c.complete) << c.piece;
  }
}

// Feeds the chunks one after the other, as separate receives would bring them.
ReplyScan scan_chunks(const std::vector<std::string>& chunks) {
  ReplyScan scan;
  for (const std::string& chunk : chunks) scan_reply(&scan, chunk.data(), chunk.size());
  return scan;
}

TEST(ReplyScan, FollowsAReplyToItsLastLineAcrossReceives) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    bool ended;
    int code;
    bool positive;  // in the class 1 to 3
  };
  const Case cases[] = {
      {"one line", {"250 ok\r\n"}, true, 250, true},
      {"continuation only", {"250-first\r\n"}, false, 250, false},
      {"continuation, then the last line", {"250-first\r\n", "250 second\r\n"}, true, 250, true},
      {"split anywhere", {"2", "50", "-a\r", "\n25", "0 b\r", "\n"}, true, 250, true},
      {"code and line end only", {"250\r\n"}, true, 250, true},
      {"bare LF ends a line", {"220 hi\n"}, true, 220, true},
      {"no line end yet", {"250 ok"}, false, 250, false},
      {"refusal", {"554-no\r\n", "554 really not\r\n"}, true, 554, false},
      {"go ahead", {"354 go\r\n"}, true, 354, true},
      {"NUL bytes", {std::string("\0\0\0\r\n", 5)}, true, -1, false},
      {"8-bit bytes", {"\x82\xa0\x82\xa2 x\r\n"}, true, -1, false},
      {"leading blank", {" 250 ok\r\n"}, true, -1, false},
      {"empty line", {"\r\n"}, true, -1, false},
      {"two digits", {"25 ok\r\n"}, true, -1, false},
      {"code beyond the classes", {"600 x\r\n"}, true, 600, false},
      {"code 0xx", {"099 x\r\n"}, true, 99, false},
      {"garbage after a continuation", {"250-a\r\n", "hello\r\n"}, true, 250, false},
  };
  for (const Case& c : cases) {
    ReplyScan scan = scan_chunks(c.chunks);
    EXPECT_EQ(scan.ended, c.ended) << c.name;
    EXPECT_EQ(reply_code(scan), c.code) << c.name;
    EXPECT_EQ(reply_in_class(scan, 1, 3), c.positive) << c.name;
  }
}

TEST(ReplyScan, StopsAtTheLastLineAndKeepsTheFirstForItsText) {
  const std::string data = "250-first line\r\n250 second\r\n354 not asked for\r\n";
  ReplyScan scan;
  EXPECT_EQ(scan_reply(&scan, data.data(), data.size()), data.find("354"));
  EXPECT_TRUE(scan.ended);
  EXPECT_EQ(scan.first_line, "250-first line\r\n");
  EXPECT_EQ(extract_reply_text(scan.first_line.data(), scan.first_line.size()), "-firstline");
  // Further bytes after the end are not taken.
  EXPECT_EQ(scan_reply(&scan, "x\r\n", 3), 0u);
}

TEST(ReplyScan, OnlyAGoAheadIsInTheClassOfThree) {
  EXPECT_TRUE(reply_in_class(scan_chunks({"354 go ahead\r\n"}), 3, 3));
  EXPECT_FALSE(reply_in_class(scan_chunks({"250 ok\r\n"}), 3, 3));
  EXPECT_FALSE(reply_in_class(scan_chunks({"454 later\r\n"}), 3, 3));
  EXPECT_FALSE(reply_in_class(scan_chunks({"354-go\r\n"}), 3, 3));  // not ended
}

TEST(TraceText, EscapesControlBytesOnly) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"ordinary reply", "250-host\r\n250 OK\r\n", "250-host\r\n250 OK\r\n"},
      {"tab kept", "220 a\tb\r\n", "220 a\tb\r\n"},
      {"Shift_JIS kept", "220 \x82\xa0\x83\x76\r\n", "220 \x82\xa0\x83\x76\r\n"},
      {"terminal title and clear", "220 \x1b]0;owned\x07\x1b[2J\r\n",
       "220 \\x1b]0;owned\\x07\\x1b[2J\r\n"},
      {"NUL and DEL", std::string("2\0\x7f", 3), "2\\x00\\x7f"},
      {"other controls", "\x01\x08\x0b\x0c\x1f", "\\x01\\x08\\x0b\\x0c\\x1f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trace_text(c.bytes.data(), c.bytes.size()), c.shown) << c.name;
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

TEST(ReplyScan, NotesStartTlsOnAnyLineHoweverItIsSplit) {
  EXPECT_TRUE(scan_chunks({"250-host\r\n250-START", "TLS\r\n250 OK\r\n"}).starttls);
  EXPECT_TRUE(scan_chunks({"250-host\r\n", "250-SIZE 1000\r\n", "250 starttls\r\n"}).starttls);
  EXPECT_FALSE(scan_chunks({"250-host\r\n250-STARTTLSX\r\n250 OK\r\n"}).starttls);
  // A CR inside the line is not its end.
  EXPECT_FALSE(scan_chunks({"250-STARTTLS\rX\r\n250 OK\r\n"}).starttls);
  // A keyword of a line longer than the keyword and a blank is still the keyword.
  EXPECT_TRUE(scan_chunks({"250-STARTTLS and a long tail of text\r\n250 OK\r\n"}).starttls);
  // Lines after the last one are not the reply's.
  EXPECT_FALSE(scan_chunks({"250 OK\r\n250 STARTTLS\r\n"}).starttls);
}

TEST(ReplyScan, NotesPipeliningAsItsOwnKeywordHoweverItIsSplit) {
  EXPECT_TRUE(scan_chunks({"250-host\r\n250-PIPE", "LINING\r\n250 OK\r\n"}).pipelining);
  EXPECT_TRUE(scan_chunks({"250-host\r\n250 pipelining\r\n"}).pipelining);
  EXPECT_TRUE(scan_chunks({"250-PIPELINING \r\n250 OK\r\n"}).pipelining);
  EXPECT_FALSE(scan_chunks({"250-PIPELININGX\r\n250 OK\r\n"}).pipelining);
  EXPECT_FALSE(scan_chunks({"250-PIPELINING\rX\r\n250 OK\r\n"}).pipelining);
  EXPECT_FALSE(scan_chunks({"250-X-PIPELINING\r\n250 OK\r\n"}).pipelining);
  EXPECT_FALSE(scan_chunks({"220-PIPELINING\r\n220 OK\r\n"}).pipelining);
  // Each keyword on its own line is noted.
  ReplyScan both = scan_chunks({"250-PIPELINING\r\n250 STARTTLS\r\n"});
  EXPECT_TRUE(both.pipelining && both.starttls);
}

TEST(ReplyScan, AnOverlongLineIsNotedWhereverItsLineEndFalls) {
  const std::string longest(kReplyLineCapacity, 'x');
  EXPECT_FALSE(scan_chunks({"250 " + longest.substr(4) + "\n"}).overlong);
  EXPECT_TRUE(scan_chunks({"250 " + longest.substr(3) + "\n"}).overlong);
  EXPECT_TRUE(scan_chunks({"250-" + longest, "\r\n250 ok\r\n"}).overlong);
}
