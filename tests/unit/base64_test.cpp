// Base64: the buffer encoder's capacity rules, the decoder's acceptance rules, and the
// attachment streamer's line layout against a one-byte-at-a-time reference.
#include "codec/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "test_files.h"

namespace {

struct EncodeCase {
  std::string bytes;
  std::string text;
};

TEST(Base64Encode, KnownVectors) {
  const EncodeCase cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"foobar", "Zm9vYmFy"},
      {"fooba", "Zm9vYmE="},
      {std::string("\xff\xfe\xfd\x00\x01", 5), "//79AAE="},
      {std::string("\x00", 1), "AA=="},
      {"\xfb\xff", "+/8="},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text) << "bytes of " << c.text;
    char dest[32];
    std::memset(dest, 'X', sizeof dest);
    std::size_t needed = 99;
    ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(),
                            dest, sizeof dest, &needed),
              0);
    EXPECT_EQ(needed, c.text.size());
    EXPECT_STREQ(dest, c.text.c_str());
  }
}

TEST(Base64Encode, CapacityAndTerminator) {
  const unsigned char one[] = {0x61};
  char dest[8];
  std::size_t needed = 0;

  std::memset(dest, 'X', sizeof dest);
  EXPECT_EQ(base64_encode(one, 1, dest, 3, &needed), -2);
  EXPECT_EQ(needed, 4u) << "the needed length is reported even when it does not fit";
  EXPECT_EQ(std::string(dest, 8), "XXXXXXXX") << "nothing is written when it does not fit";

  EXPECT_EQ(base64_encode(one, 1, dest, 4, nullptr), 0);
  EXPECT_EQ(std::string(dest, 8), "YQ==XXXX") << "an exact fit gets no NUL";

  EXPECT_EQ(base64_encode(one, 1, dest, 5, nullptr), 0);
  EXPECT_EQ(std::string(dest, 5), std::string("YQ==\0", 5));

  std::memset(dest, 'X', sizeof dest);
  EXPECT_EQ(base64_encode(one, 0, dest, 0, &needed), 0);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(dest[0], 'X') << "zero bytes into zero capacity writes nothing";
  EXPECT_EQ(base64_encode(one, 0, dest, 1, nullptr), 0);
  EXPECT_EQ(dest[0], '\0');
}

TEST(Base64Encode, GroupEncoderPadsAbsentBytes) {
  const unsigned char group[] = {0x61, 0x62, 0x63};
  EXPECT_STREQ(base64_encode_group(1, group), "YQ==");
  EXPECT_STREQ(base64_encode_group(2, group), "YWI=");
  const char* area = base64_encode_group(3, group);
  EXPECT_STREQ(area, "YWJj");
  EXPECT_EQ(base64_encode_group(1, group), area) << "one static area, overwritten per call";
}

struct DecodeCase {
  const char* name;
  std::string text;
  std::size_t length;
  int result;
  std::string bytes;  // expected output when result is 0
};

TEST(Base64Decode, AcceptanceTable) {
  const DecodeCase cases[] = {
      {"whole group", "YWJj", 4, 0, "abc"},
      {"two pads", "YQ==", 4, 0, "a"},
      {"one pad", "YWI=", 4, 0, "ab"},
      {"plus-blank marker", "+ YWJj", 6, 0, "abc"},
      {"trailing partial group ignored", "YWJjZA", 6, 0, "abc"},
      {"padding mid-text continues", "YQ==YWI=", 8, 0, "aab"},
      {"shorter than a group", "YW", 2, 0, ""},
      {"empty", "", 0, 0, ""},
      {"high bit values", "//79AAE=", 8, 0, std::string("\xff\xfe\xfd\x00\x01", 5)},
      {"begins with CR", "\rYWJj", 5, -1, ""},
      {"blank in group", "YW Jj", 5, -1, ""},
      {"minus in group", "YW-j", 4, -1, ""},
      {"byte 0x80 or above", "YW\xe3j", 4, -1, ""},
      {"pad in first place", "=WJj", 4, -1, ""},
      {"pad in second place", "Y=Jj", 4, -1, ""},
      {"NUL in group", std::string("YW\0j", 4), 4, -1, ""},
      // With the marker skipped, the last group would reach past the given text.
      {"marker group past the text", "+ YWJjZA", 8, -1, ""},
  };
  for (const DecodeCase& c : cases) {
    unsigned char dest[64];
    std::memset(dest, 0xEE, sizeof dest);
    std::size_t count = 12345;
    int result = base64_decode(c.text.data(), c.length, dest, &count);
    EXPECT_EQ(result, c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(count, c.bytes.size()) << c.name;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(dest), count), c.bytes) << c.name;
      EXPECT_EQ(dest[count], 0) << c.name << ": NUL after the bytes";
    } else {
      EXPECT_EQ(count, 12345u) << c.name << ": no count on failure";
    }
  }
  std::size_t count = 0;
  EXPECT_EQ(base64_decode("YWJj", 4, nullptr, &count), -1) << "missing destination";
}

TEST(Base64Decode, FailureKeepsEarlierGroupsWithoutNul) {
  unsigned char dest[16];
  std::memset(dest, 0xEE, sizeof dest);
  std::size_t count = 7;
  EXPECT_EQ(base64_decode("YWJj!!!!", 8, dest, &count), -1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dest), 3), "abc");
  EXPECT_EQ(dest[3], 0xEE);
  EXPECT_EQ(count, 7u);
}

TEST(Base64Decode, RoundTripsEveryByteValue) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (std::size_t n = 0; n <= bytes.size(); n += 37) {
    std::string text = base64_encode(bytes.substr(0, n));
    std::string out(text.size() / 4 * 3 + 1, '\0');
    std::size_t count = 0;
    ASSERT_EQ(
        base64_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(&out[0]), &count),
        0);
    EXPECT_EQ(out.substr(0, count), bytes.substr(0, n)) << "length " << n;
  }
}

// --------------------------------------------------------------- attachment streaming

const char kHeader[] = "Content-Transfer-Encoding: base64\r\n\r\n";

// The layout as one byte at a time with the group encoder: CR LF after every 19th group,
// and one more CR LF at the end.
std::string reference_stream(const std::string& bytes) {
  std::string out = kHeader;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t groups = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::size_t left = bytes.size() - i;
    unsigned b0 = static_cast<unsigned char>(bytes[i]);
    unsigned b1 = left > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    unsigned b2 = left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    unsigned v = (b0 << 16) | (b1 << 8) | b2;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += left > 1 ? alphabet[(v >> 6) & 63] : '=';
    out += left > 2 ? alphabet[v & 63] : '=';
    if (++groups % 19 == 0) out += "\r\n";
  }
  return out + "\r\n";
}

class Base64Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = scratch_path("b64", ".bin");
    work_ = scratch_path("b64", ".tmp");
  }
  void TearDown() override {
    std::remove(source_.c_str());
    std::remove(work_.c_str());
  }

  // Streams bytes from a file through base64_stream_file and returns the work file.
  std::string stream(const std::string& bytes, int* result) {
    write_file(source_, bytes);
    return stream_path(source_, result);
  }

  std::string stream_path(const std::string& path, int* result) {
    std::FILE* work = std::fopen(work_.c_str(), "wb");
    EXPECT_NE(work, nullptr);
    *result = base64_stream_file(path, work);
    std::fclose(work);
    return read_file(work_);
  }

  std::string source_;
  std::string work_;
};

TEST_F(Base64Stream, LineLayouts) {
  std::string full_line(57, 'a');
  std::string line76 = base64_encode(full_line);
  struct {
    const char* name;
    std::string bytes;
    std::string body;
  } cases[] = {
      {"empty", "", "\r\n"},
      {"one byte", "a", "YQ==\r\n"},
      {"57 bytes: full line, then an empty line", full_line, line76 + "\r\n\r\n"},
      {"58 bytes", full_line + "a", line76 + "\r\nYQ==\r\n"},
  };
  for (const auto& c : cases) {
    int result = -1;
    EXPECT_EQ(stream(c.bytes, &result), std::string(kHeader) + c.body) << c.name;
    EXPECT_EQ(result, 0) << c.name;
  }
}

TEST_F(Base64Stream, EverySizeModuloALine) {
  // Three lines' worth of sizes: every remainder modulo 57, including 55 and 56, where
  // the 19th group is partial and the line is still full.
  std::mt19937 random(57);
  for (std::size_t size = 0; size <= 3 * 57 + 1; ++size) {
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    int result = -1;
    ASSERT_EQ(stream(bytes, &result), reference_stream(bytes)) << "size " << size;
  }
  // A 56-byte file: one full line with its CR LF, then the empty line.
  int result = -1;
  std::string text = stream(std::string(56, 'a'), &result);
  EXPECT_EQ(text, kHeader + base64_encode(std::string(56, 'a')) + "\r\n\r\n");
}

// The same layout cut from the buffer encoder's text: 76 characters a line, CR LF after
// each full one, and the final CR LF.
std::string layout_of_buffer_encoder(const std::string& bytes) {
  std::string text = base64_encode(bytes);
  std::string out = kHeader;
  std::size_t at = 0;
  for (; at + 76 <= text.size(); at += 76) out += text.substr(at, 76) + "\r\n";
  return out + text.substr(at) + "\r\n";
}

TEST_F(Base64Stream, RandomSizesMatchBothReferences) {
  std::mt19937 random(14);
  for (int round = 0; round < 30; ++round) {
    std::size_t size = random() % (round < 20 ? 4000 : 700000);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    int result = -1;
    std::string text = stream(bytes, &result);
    ASSERT_TRUE(text == reference_stream(bytes)) << "size " << size;
    ASSERT_TRUE(text == layout_of_buffer_encoder(bytes)) << "size " << size;
  }
}

TEST_F(Base64Stream, LargeRandomFileMatchesReference) {
  std::mt19937 random(20261208);
  // Crosses several read blocks and ends in a partial line and a partial group.
  std::string bytes(57 * 4096 * 3 + 57 * 5 + 2, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  int result = -1;
  std::string text = stream(bytes, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(text.size(), reference_stream(bytes).size());
  EXPECT_TRUE(text == reference_stream(bytes));

  bytes.resize(57 * 4096 * 2);  // ends exactly on a block boundary
  text = stream(bytes, &result);
  EXPECT_TRUE(text == reference_stream(bytes));
}

TEST_F(Base64Stream, MissingAttachmentWritesNothing) {
  int result = 0;
  EXPECT_EQ(stream_path(source_ + ".absent", &result), "");
  EXPECT_EQ(result, 1);
}

TEST_F(Base64Stream, FullWorkFileIsReported) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "no always-full device here";
  write_file(source_, "a");
  EXPECT_EQ(base64_stream_file(source_, full), 0);
  EXPECT_NE(std::ferror(full), 0) << "a cut work file must show on its error indicator";
  std::fclose(full);
}

}  // namespace
