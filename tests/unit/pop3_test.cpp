// The APOP timestamp taken out of a POP3 greeting (RFC 1939 section 7).
#include <gtest/gtest.h>

#include <string>

#include "transfer/pop_before_smtp.h"

namespace {

TEST(ExtractApopTimestamp, Greetings) {
  struct Case {
    const char* name;
    std::string greeting;
    bool found;
    std::string timestamp;
  };
  const Case cases[] = {
      {"rfc example", "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n", true,
       "<1896.697170952@dbc.mtview.ca.us>"},
      {"first of two", "+OK <a@b> <c@d>\r\n", true, "<a@b>"},
      {"no timestamp", "+OK ready\r\n", false, "unchanged"},
      {"< at index 3 is before the search", "+OK<1.2@x>\r\n", false, "unchanged"},
      {"< at index 4", "+OK <1.2@x>\r\n", true, "<1.2@x>"},
      {"no > runs to the end", "+OK ready <1.2@x\r\n", true, "<1.2@x\r\n"},
      {"shorter than five bytes", "+OK<", false, "unchanged"},
      {"NUL ends the text", std::string("+OK \0<1.2@x>\r\n", 14), false, "unchanged"},
  };
  for (const Case& c : cases) {
    std::string timestamp = "unchanged";
    EXPECT_EQ(extract_apop_timestamp(c.greeting, &timestamp), c.found) << c.name;
    EXPECT_EQ(timestamp, c.timestamp) << c.name;
  }
}

}  // namespace
