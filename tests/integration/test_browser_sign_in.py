"""The browser sign-in with a real browser: VORNA hands the authorization URL to xdg-open,
which here starts headless Chromium; Chromium requests it from the mock authorization
server, follows the mock's immediate redirect to VORNA's loopback listener and shows the
page VORNA answers with. The sign-in must complete and store the tokens.

Chromium gets a profile of its own and may reach loopback only: every other connection goes
to a closed proxy port, and every host name but localhost fails to resolve.

Needs Chromium (Debian's chromium package; tests/stages/25-browser.sh installs it) and the
POSIX build. Without Chromium the test is skipped with the reason.
"""
import os
import shutil
import signal
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "blackbox"))

import oauth_support  # noqa: E402
from harness import WINDOWS, ProgramTest, console  # noqa: E402
from oauth_support import CLIENT, SIGNED_IN  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
PAGE_DONE = "サインインの手続きはブラウザで完了しました。"

# Loopback only, no background traffic of the browser's own.
FLAGS = ("--headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
         "--disable-component-update --disable-sync --disable-default-apps --no-pings "
         "--disable-domain-reliability --proxy-server=http://127.0.0.1:9 "
         "'--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1'")


@unittest.skipIf(WINDOWS, "xdg-open and Chromium are the POSIX build's browser")
@unittest.skipUnless(CHROMIUM, "Chromium is not installed (Debian package chromium)")
class RealBrowser(ProgramTest):
    @classmethod
    def setUpClass(cls):
        cls.mock = oauth_support.mock(tls=False).start()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()

    def setUp(self):
        super().setUp()
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        self.page = os.path.join(self.dir, "page.html")
        self.pid_file = os.path.join(self.dir, "opener.pid")
        # The stand-in for xdg-open: the URL goes to Chromium, which prints the final page.
        with open(os.path.join(self.bin, "xdg-open"), "w") as f:
            f.write("#!/bin/sh\necho $$ > '%s'\nexec '%s' %s --user-data-dir='%s' "
                    "--dump-dom \"$1\" > '%s' 2> '%s'\n"
                    % (self.pid_file, CHROMIUM, FLAGS, os.path.join(self.dir, "profile"),
                       self.page, os.path.join(self.dir, "chromium.log")))
        os.chmod(os.path.join(self.bin, "xdg-open"), 0o755)

    def tearDown(self):
        # Chromium and its helpers run in the opener's own process group.
        try:
            with open(self.pid_file) as f:
                os.killpg(os.getpgid(int(f.read())), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        super().tearDown()

    def test_headless_chromium_completes_the_sign_in(self):
        keys = {"OAUTH_PROVIDER": 3, "OAUTH_CLIENT_ID": CLIENT,
                "OAUTH_TOKEN_URL": self.mock.url("/token"),
                "OAUTH_AUTHORIZE_URL": self.mock.url("/authorize")}
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\nSMTP_AUTH=0\r\n[OAUTH]\r\n" +
                   "".join("%s=%s\r\n" % kv for kv in keys.items()))
        env = self.env(DISPLAY=":97", WAYLAND_DISPLAY=None, HOME=self.dir,
                       PATH=self.bin + ":/usr/bin:/bin")
        # provider 3, client ID and secret kept, the provider's usual flow (no device
        # endpoint: the browser), then save
        r = self.vorna(stdin=b"2\n20\n3\n\n\n\n12\ny\n", env=env, timeout=120)
        self.assertEqual(r.status, 0, r)
        self.assertIn(console(SIGNED_IN), r.stdout, r)
        self.assertTrue(os.path.exists(os.path.join(self.cwd, "vorna.tok")))
        authorize = self.mock.requests("/authorize")
        self.assertEqual(len(authorize), 1)
        self.assertIn("HeadlessChrome", authorize[0]["user_agent"])
        self.assertEqual(len(self.mock.requests("/token")), 1)
        # Chromium prints the page once it has loaded, which may be after VORNA has ended.
        page = b""
        for _ in range(300):
            with open(self.page, "rb") as f:
                page = f.read()
            if b"</html>" in page:
                break
            time.sleep(0.1)
        self.assertIn(PAGE_DONE.encode("utf-8"), page)


if __name__ == "__main__":
    unittest.main()
