// The browser hand-over takes web addresses only: the shell would as readily start a
// program or open a document named by the text.
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

TEST(OpenBrowser, RefusesAnythingButAWebAddress) {
  for (const char* text : {"C:\\Windows\\notepad.exe", "notepad", "file:///C:/Windows/win.ini",
                           "javascript:alert(1)", "", "https:/one-slash",
                           "https://example.test/\r\nsecond line"}) {
    EXPECT_FALSE(platform::open_browser(text)) << text;
  }
}

}  // namespace
