// Message composition: the Date field, the To and Cc fields, the header block, and the
// rules that turn the -T text and body-file lines into wire lines.
#include "transfer/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/jis_convert.h"

namespace {

std::tm tuesday_5_dec_2006() {
  std::tm t{};
  t.tm_year = 106;
  t.tm_mon = 11;
  t.tm_mday = 5;
  t.tm_wday = 2;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 9;
  return t;
}

// The converter's output for a text, so that expectations hold whatever it does to the
// Japanese bytes.
std::string converted(std::string text) {
  convert_sjis_to_jis(text);
  return text;
}

TEST(DateField, ZoneSignHoursAndAdjustment) {
  struct Case {
    const char* name;
    long seconds_west;
    bool tz_adjust;
    const char* zone;
  };
  const Case cases[] = {
      {"nine hours east", -9 * 3600, false, "+0900"},
      {"five hours west", 5 * 3600, false, "-0500"},
      {"UTC has no sign", 0, false, "0000"},
      {"half hour east", -(5 * 3600 + 1800), false, "+0530"},
      {"-t east: sign inverted, one hour added", -9 * 3600, true, "-1000"},
      {"-t west", 5 * 3600, true, "+0600"},
      {"-t at UTC", 0, true, "0100"},
  };
  for (const Case& c : cases) {
    std::string expected = std::string("Date: Tue, 05 Dec 2006 14:03:09 ") + c.zone + "\r\n";
    EXPECT_EQ(format_date_field(tuesday_5_dec_2006(), c.seconds_west, c.tz_adjust), expected)
        << c.name;
  }
}

TEST(DateField, PadsDayAndTime) {
  std::tm t{};
  t.tm_year = 99;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_wday = 5;
  EXPECT_EQ(format_date_field(t, -3600, false), "Date: Fri, 01 Jan 1999 00:00:00 +0100\r\n");
}

TEST(AddressFields, FoldingAndFinalComma) {
  struct Entry {
    bool cc;
    const char* address;
    bool followed_by_comma;
  };
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    const char* to;
    const char* cc;
  };
  const Case cases[] = {
      {"a,CC:b,c",
       {{false, "a", true}, {true, "b", true}, {false, "c", false}},
       "To: a,\r\n c\r\n",
       "Cc: b\r\n"},
      {"no To or Cc recipient", {}, "To:\r\n", ""},
      {"trailing comma", {{false, "a", true}}, "To: a\r\n", ""},
      {"two copies", {{true, "b", true}, {true, "d", false}}, "To:\r\n", "Cc: b,\r\n d\r\n"},
  };
  for (const Case& c : cases) {
    AddressFields fields;
    for (const Entry& e : c.entries) {
      add_field_address(e.cc ? &fields.cc_text : &fields.to_text, e.address, e.followed_by_comma);
    }
    finish_address_fields(&fields);
    EXPECT_EQ(fields.to_text, c.to) << c.name;
    EXPECT_EQ(fields.cc_text, c.cc) << c.name;
  }
}

TEST(AddressFields, ManyRecipientsAreKeptWhole) {
  AddressFields fields;
  const int count = 2000;
  for (int i = 0; i < count; ++i) {
    add_field_address(&fields.to_text, "user" + std::to_string(i) + "@example.com", true);
  }
  finish_address_fields(&fields);
  EXPECT_GT(fields.to_text.size(), 6144u);
  const std::string last = ",\r\n user1999@example.com\r\n";
  EXPECT_EQ(fields.to_text.substr(fields.to_text.size() - last.size()), last);
}

HeaderInputs plain_inputs() {
  HeaderInputs in;
  in.sender_address = "taro@example.jp";
  add_field_address(&in.fields.to_text, "a@example.jp", false);
  finish_address_fields(&in.fields);
  in.subject = "Hello";
  in.date_field = "Date: Tue, 05 Dec 2006 14:03:09 +0900\r\n";
  return in;
}

TEST(HeaderBlock, SinglePartWithoutPriority) {
  EXPECT_EQ(build_header_block(plain_inputs()),
            "From: taro@example.jp\r\n"
            "To: a@example.jp\r\n"
            "Subject: Hello\r\n"
            "X-Mailer: VORNA 3.14\r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "Date: Tue, 05 Dec 2006 14:03:09 +0900\r\n");
}

TEST(HeaderBlock, DisplayNameCcPriorityAndMultipart) {
  HeaderInputs in = plain_inputs();
  in.display_name = "Taro Yamada";
  in.sender_address = "<taro@example.jp>";
  in.fields.cc_text = "Cc: b@example.jp\r\n";
  in.priority = 3;
  in.multipart = true;
  in.boundary = "------_7356123QWEORfsdEYfi_MULTIPART_MIXED_";
  EXPECT_EQ(build_header_block(in),
            "From: Taro Yamada <taro@example.jp>\r\n"
            "To: a@example.jp\r\n"
            "Subject: Hello\r\n"
            "Cc: b@example.jp\r\n"
            "X-Mailer: VORNA 3.14\r\n"
            "Importance: high\r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"------_7356123QWEORfsdEYfi_MULTIPART_"
            "MIXED_\"\r\n"
            "X-Priority:3\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "Date: Tue, 05 Dec 2006 14:03:09 +0900\r\n");
}

TEST(HeaderBlock, PriorityFields) {
  struct Case {
    int32_t priority;
    const char* importance;  // nullptr: no Importance field
    const char* x_priority;  // nullptr: no X-Priority field
  };
  const Case cases[] = {
      {0, nullptr, nullptr},
      {-1, nullptr, nullptr},
      {1, "Importance: high\r\n", "X-Priority:1\r\n"},
      {4, "Importance: high\r\n", "X-Priority:4\r\n"},
      {5, "Importance: low\r\n", "X-Priority:5\r\n"},
      {99, "Importance: low\r\n", "X-Priority:99\r\n"},
  };
  for (const Case& c : cases) {
    HeaderInputs in = plain_inputs();
    in.priority = c.priority;
    std::string block = build_header_block(in);
    std::string label = "priority " + std::to_string(c.priority);
    EXPECT_EQ(block.find("Importance:") != std::string::npos, c.importance != nullptr) << label;
    EXPECT_EQ(block.find("X-Priority:") != std::string::npos, c.x_priority != nullptr) << label;
    if (c.importance != nullptr) {
      EXPECT_NE(block.find(std::string("X-Mailer: VORNA 3.14\r\n") + c.importance + "Mime-Version"),
                std::string::npos)
          << label;
    }
    if (c.x_priority != nullptr) {
      EXPECT_NE(
          block.find(std::string("ISO-2022-JP\r\n") + c.x_priority + "Content-Transfer-Encoding"),
          std::string::npos)
          << label;
    }
  }
}

TEST(InlineBody, LineEndsAndLeadingDots) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"backslash-n joins three words", "one\\ntwo\\nthree", "one\r\ntwo\r\nthree"},
      {"CR LF, lone CR, lone LF", "a\r\nb\rc\nd", "a\r\nb\r\nc\r\nd"},
      {"backslash before another letter stays", "a\\tb\\", "a\\tb\\"},
      {"leading dots doubled on every line", ".a\\n.\\nb.c", "..a\r\n..\r\nb.c"},
      {"nothing added at the end", "end\\n", "end\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(inline_body_for_wire(c.input), c.expected) << c.name;
  }
}

TEST(InlineBody, BackslashInsideDoubleByteCharacterIsNoEscape) {
  // The second byte of this kanji is a backslash; followed by "n" it is still no escape.
  std::string kanji_then_n = "\x95\x5cn";
  EXPECT_EQ(inline_body_for_wire(kanji_then_n), converted(kanji_then_n));
  // After a whole double-byte character, a real backslash-n is a line end.
  EXPECT_EQ(inline_body_for_wire("\x95\x5c\\nx"), converted("\x95\x5c\r\nx"));
}

TEST(BodyLine, OnlyTheLineEndIsReplaced) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"LF", "abc\n", "abc\r\n"},
      {"CR LF", "abc\r\n", "abc\r\n"},
      {"tab before the line end stays", "\tx\t\n", "\tx\t\r\n"},
      {"control byte before the line end stays", "x\x01\r\n", "x\x01\r\n"},
      {"single period doubled", ".\n", "..\r\n"},
      {"leading period doubled", ".abc\r\n", "..abc\r\n"},
      {"empty line", "\n", "\r\n"},
      {"last line without line end keeps its bytes", "last\x01", "last\x01\r\n"},
      {"last line ending in CR ends there", "a\r", "a\r\n"},
      {"a CR inside a line breaks it", "a\rb\r\n", "a\r\nb\r\n"},
      {"a period after an inner CR is doubled", "a\r.b\n", "a\r\n..b\r\n"},
      {"CR CR LF", "a\r\r\n", "a\r\n\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(body_line_for_wire(c.input), c.expected) << c.name;
  }
}

TEST(BodyLine, ConvertedTextKeepsItsClosingShiftBeforeTheLineEnd) {
  // Half-width katakana are closed by SI at the end of the converted text; that SI must
  // stay directly before the CR LF. Kanji close with ESC ( J the same way.
  const char* lines[] = {"\xb1", "x\x95\x5c", "\x83\x5c\xb1"};
  for (const char* line : lines) {
    EXPECT_EQ(body_line_for_wire(std::string(line) + "\n"), converted(line) + "\r\n") << line;
    EXPECT_EQ(body_line_for_wire(std::string(line) + "\r\n"), converted(line) + "\r\n") << line;
  }
}

TEST(BodyLine, CrLfAndLfLinesConvertAlike) {
  // One counted control byte in 31 bytes makes the text binary-looking (left unconverted);
  // the CR of a CR LF line end must not tip that test the other way.
  const std::string line = "\x01\x8a\xbf" + std::string(27, 'a');
  EXPECT_EQ(body_line_for_wire(line + "\n"), line + "\r\n");
  EXPECT_EQ(body_line_for_wire(line + "\r\n"), line + "\r\n");
}

TEST(BodyLine, LeadByteBeforeTheLineEnd) {
  // The lead byte goes out alone; the line still ends in CR LF and nowhere else.
  EXPECT_EQ(body_line_for_wire("\x8a\xbf\x20\x61\x62\x63\x81\r\n"),
            "\x1b$B4A\x1b(J abc\x81\r\n");
  EXPECT_EQ(body_line_for_wire("\x8a\xbf\x81\n"), "\x1b$B4A\x1b(J\x81\r\n");
}

TEST(BodyLine, PiecesGiveTheSameWire) {
  // A line split anywhere (also between CR and LF, or inside a kanji) goes out the same.
  const std::string line = ".\x8a\xbf\xb1\xb2" "a\r.b\x81\r";
  const std::string whole = body_line_for_wire(line + "\n");
  for (std::size_t cut = 0; cut <= line.size(); ++cut) {
    BodyLine state;
    std::string wire;
    body_piece_for_wire(&state, line.data(), cut, &wire);
    body_piece_for_wire(&state, line.data() + cut, line.size() - cut, &wire);
    body_line_end_for_wire(&state, true, &wire);
    EXPECT_EQ(wire, whole) << "cut at " << cut;
  }
  EXPECT_EQ(whole.find('\n'), whole.find("\r\n") + 1) << "every LF follows a CR";
}

TEST(BodyLine, LongLineGoesOutWhole) {
  std::string line(40000, 'x');
  EXPECT_EQ(body_line_for_wire(line + "\n"), line + "\r\n");
}

}  // namespace
