// Address literals of both families, the order in which a host's addresses are tried, and
// the host text of protocol fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transfer/connection.h"

namespace {

platform::NetAddress v4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  platform::NetAddress address;
  address.family = 4;
  address.bytes[0] = a;
  address.bytes[1] = b;
  address.bytes[2] = c;
  address.bytes[3] = d;
  return address;
}

platform::NetAddress v6(unsigned char last) {
  platform::NetAddress address;
  address.family = 6;
  address.bytes[0] = 0x20;
  address.bytes[1] = 0x01;
  address.bytes[15] = last;
  return address;
}

std::string texts(const std::vector<platform::NetAddress>& addresses) {
  std::string out;
  for (const platform::NetAddress& address : addresses) {
    out += (out.empty() ? "" : " ") + platform::address_text(address);
  }
  return out;
}

TEST(Address, Ipv6LiteralsBareOrInBrackets) {
  platform::NetAddress address;
  for (const char* text : {"::1", "[::1]", "0:0:0:0:0:0:0:1", "[0000::0001]"}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(platform::parse_address(text, &address));
    EXPECT_EQ(address.family, 6);
    EXPECT_EQ(address.scope_id, 0u);
    EXPECT_EQ(platform::address_text(address), "::1");
  }
  ASSERT_TRUE(platform::parse_address("[2001:DB8::a:1]", &address));
  EXPECT_EQ(platform::address_text(address), "2001:db8::a:1");
  ASSERT_TRUE(platform::parse_address("::ffff:192.0.2.7", &address));
  EXPECT_EQ(address.family, 6);
  EXPECT_EQ(address.bytes[10], 0xff);
  EXPECT_EQ(address.bytes[15], 7);
}

TEST(Address, ZoneIsKeptAsTheScope) {
  platform::NetAddress address;
  ASSERT_TRUE(platform::parse_address("fe80::1%2", &address));
  EXPECT_EQ(address.family, 6);
  EXPECT_EQ(address.scope_id, 2u);
  EXPECT_EQ(address.bytes[0], 0xfe);
  ASSERT_TRUE(platform::parse_address("[fe80::1%3]", &address));
  EXPECT_EQ(address.scope_id, 3u);
  EXPECT_FALSE(platform::parse_address("fe80::1%", &address));
  EXPECT_FALSE(platform::parse_address("[fe80::1]%3", &address));
}

TEST(Address, Ipv4TextIsReadAsInetAddrReadsIt) {
  platform::NetAddress address;
  // Short and octal forms are what inet_addr takes; 255.255.255.255 is its failure value.
  const struct {
    const char* text;
    unsigned char bytes[4];
  } cases[] = {{"192.168.10.5", {192, 168, 10, 5}},
               {"127.1", {127, 0, 0, 1}},
               {"010.0.0.1", {8, 0, 0, 1}},
               {"0x7f.0.0.2", {127, 0, 0, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(platform::parse_address(c.text, &address));
    EXPECT_EQ(address.family, 4);
    EXPECT_EQ(std::memcmp(address.bytes, c.bytes, 4), 0);
  }
  EXPECT_FALSE(platform::parse_address("255.255.255.255", &address));
  ASSERT_TRUE(platform::parse_address("192.0.2.1", &address));
  EXPECT_EQ(platform::address_text(address), "192.0.2.1");
}

TEST(Address, JunkAndNamesAreNoLiterals) {
  platform::NetAddress address;
  for (const char* text :
       {"", "[]", "[", "]", "[::1", "::1]", "[[::1]]", "[::1]:25", "[::1] ", " ::1", "::1 ",
        ":::1", "1::2::3", "::g", "12345::", "1:2:3:4:5:6:7:8:9", "[127.0.0.1]",
        "[localhost]", "localhost", "mail.example.test", "::1%zz%1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(platform::parse_address(text, &address));
  }
  EXPECT_FALSE(platform::parse_address(std::string("::1\0junk", 8), &address));
}

TEST(Address, FindHostTakesLiteralsAsTheyAreAndNeverLooksUpBrackets) {
  std::vector<platform::NetAddress> found = find_host("[::1]");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].family, 6);
  found = find_host("127.0.0.1");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].family, 4);
  EXPECT_TRUE(find_host("").empty());
  // Brackets hold an address or nothing: these must not become name lookups.
  EXPECT_TRUE(find_host("[localhost]").empty());
  EXPECT_TRUE(find_host("[::1]:25").empty());
}

TEST(Address, FamiliesTakeTurnsFromTheFirstChoice) {
  EXPECT_EQ(texts(interleave_families({})), "");
  EXPECT_EQ(texts(interleave_families({v6(1), v6(2), v6(3), v4(192, 0, 2, 1), v4(192, 0, 2, 2)})),
            "2001::1 192.0.2.1 2001::2 192.0.2.2 2001::3");
  EXPECT_EQ(texts(interleave_families({v4(192, 0, 2, 1), v4(192, 0, 2, 2), v6(1)})),
            "192.0.2.1 2001::1 192.0.2.2");
  EXPECT_EQ(texts(interleave_families({v4(192, 0, 2, 1), v6(1), v6(2), v6(3)})),
            "192.0.2.1 2001::1 2001::2 2001::3");
  EXPECT_EQ(texts(interleave_families({v6(2), v6(1)})), "2001::2 2001::1");
}

TEST(Address, HostFieldDropsTheBracketsOfAnAddressOnly) {
  EXPECT_EQ(host_field("[::1]"), "::1");
  EXPECT_EQ(host_field("::1"), "::1");
  EXPECT_EQ(host_field("smtp.example.test"), "smtp.example.test");
  EXPECT_EQ(host_field("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(host_field("[mail]"), "[mail]");
}

}  // namespace
