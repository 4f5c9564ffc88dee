// The part of running a helper command that is the same on every system: taking the
// first line out of whatever the command prints, in the pieces a pipe delivers.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

struct FirstLine {
  std::string text;       // the line so far, without its line end
  bool complete = false;  // its LF has been seen; everything after it is dropped
  bool too_long = false;  // it grew past the limit before its LF

  // Takes the next piece of output.
  void take(const char* data, std::size_t length, std::size_t limit) {
    if (complete || too_long) return;
    for (std::size_t i = 0; i < length; ++i) {
      if (data[i] == '\n') {
        complete = true;
        break;
      }
      // CR bytes are dropped wherever they stand: a helper on Windows ends its line with
      // CR LF, and no password or token holds one.
      if (data[i] == '\r') continue;
      text.push_back(data[i]);
      if (text.size() > limit) {
        too_long = true;
        text.clear();
        return;
      }
    }
  }
};

}  // namespace platform
