// Password recovery from any stored form and machine identifier, and the round trip of
// storing. Input: the machine identifier, 0x00, then the stored form (also taken, up to
// its first 0x00, as a password to store). Properties: recovery gives at most 255 bytes
// without a NUL, the same on every call; a stored password comes back exactly, whatever
// the case of its hex digits; an overlong one is refused and nothing is stored; nothing
// reaches the console.
#include <cstdint>
#include <string>

#include "config/password.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 2048) return 0;
  const std::string machine = take_field(&data, &size);
  const std::string stored(reinterpret_cast<const char*>(data), size);
  const std::string password = stored.substr(0, stored.find('\0'));

  begin_console_capture();
  const std::string recovered = recover_password(stored, machine);
  const std::string again = recover_password(stored, machine);
  std::string form = "unchanged";
  const bool kept = store_password(password, &form, machine);
  std::string lower = form;
  for (char& c : lower) c = (c >= 'A' && c <= 'F') ? static_cast<char>(c + 32) : c;
  const std::string back = kept ? recover_password(form, machine) : std::string();
  const std::string back_lower = kept ? recover_password(lower, machine) : std::string();
  const std::string console = end_console_capture();

  FUZZ_CHECK(console.empty(), console);
  FUZZ_CHECK(recovered.size() <= 255 && recovered.find('\0') == std::string::npos, stored);
  FUZZ_CHECK(recovered == again, stored);
  if (password.size() > kMaxStoredPassword) {
    FUZZ_CHECK(!kept && form == "unchanged", password);
    return 0;
  }
  FUZZ_CHECK(kept, password);
  FUZZ_CHECK(form.size() == 2 * padded_length(password.size()), password + " -> " + form);
  FUZZ_CHECK(form.find_first_not_of("0123456789ABCDEF") == std::string::npos, form);
  FUZZ_CHECK(back == password, password + " -> " + form + " -> " + back);
  FUZZ_CHECK(back_lower == password, lower);
  return 0;
}
