// The body as it goes on the wire, from a -T text or from the lines of a -F file. Input:
// one byte choosing the source (bit 0), then the text or the file's bytes.
// Properties (transparency): every CR on the wire is followed by LF and every LF follows a
// CR; no line is a lone "." (which would end the data early), and a line beginning with "."
// has it doubled; the end of the body is the end of a line.
#include <cstdint>
#include <string>

#include "transfer/message.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 8192) return 0;
  const bool from_file = (data[0] & 1) != 0;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string wire;
  if (from_file) {
    // Split as the body-file reader does: at each LF, the LF kept with its line.
    std::size_t start = 0;
    while (start < input.size()) {
      std::size_t end = input.find('\n', start);
      std::size_t stop = end == std::string::npos ? input.size() : end + 1;
      wire += body_line_for_wire(input.substr(start, stop - start));
      start = stop;
    }
  } else {
    wire = inline_body_for_wire(input);
  }
  const std::string detail = std::string(from_file ? "file: " : "text: ") + input + " -> " + wire;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\r') FUZZ_CHECK(i + 1 < wire.size() && wire[i + 1] == '\n', detail);
    if (wire[i] == '\n') FUZZ_CHECK(i > 0 && wire[i - 1] == '\r', detail);
  }
  if (from_file) FUZZ_CHECK(wire.empty() || wire.compare(wire.size() - 2, 2, "\r\n") == 0, detail);
  for (std::size_t start = 0; start < wire.size();) {
    std::size_t end = wire.find("\r\n", start);
    if (end == std::string::npos) end = wire.size();
    const std::string line = wire.substr(start, end - start);
    FUZZ_CHECK(line != ".", detail);
    if (!line.empty() && line[0] == '.') FUZZ_CHECK(line.size() >= 2 && line[1] == '.', detail);
    start = end + 2;
  }
  return 0;
}
