// The APOP timestamp of any POP3 greeting and the digest made from it. Input: the
// greeting, 0x00, the password. Properties: the timestamp is the one a plain reading of
// the rule finds (the first "<" at index 4 or later, up to and including the next ">", or
// to the end); the digest is 32 lowercase hex digits, counts the password only up to a
// NUL, and equals the MD5 of timestamp and password fed in two pieces.
#include <cstdint>
#include <string>

#include "codec/md5.h"
#include "transfer/pop_before_smtp.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string greeting = take_field(&data, &size);
  const std::string password(reinterpret_cast<const char*>(data), size);

  std::string timestamp = "unchanged";
  const bool found = extract_apop_timestamp(greeting, &timestamp);
  const std::size_t open = greeting.size() > 4 ? greeting.find('<', 4) : std::string::npos;
  FUZZ_CHECK(found == (open != std::string::npos), greeting);
  if (!found) {
    FUZZ_CHECK(timestamp == "unchanged", greeting);
    return 0;
  }
  const std::size_t close = greeting.find('>', open);
  const std::string expected =
      greeting.substr(open, close == std::string::npos ? std::string::npos : close - open + 1);
  FUZZ_CHECK(timestamp == expected, greeting + " -> " + timestamp);

  const std::string digest = apop_digest(timestamp, password);
  FUZZ_CHECK(digest.size() == 32 && digest.find_first_not_of("0123456789abcdef") == std::string::npos,
             digest);
  const std::string counted = password.substr(0, password.find('\0'));
  FUZZ_CHECK(apop_digest(timestamp, counted) == digest, password);
  Md5Context context;
  md5_init(&context);
  md5_update(&context, reinterpret_cast<const unsigned char*>(timestamp.data()), timestamp.size());
  md5_update(&context, reinterpret_cast<const unsigned char*>(counted.data()), counted.size());
  unsigned char bytes[16];
  md5_final(bytes, &context);
  FUZZ_CHECK(digest_hex(bytes) == digest, greeting);
  return 0;
}
