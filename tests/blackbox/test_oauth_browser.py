"""OAuth 2.0 browser sign-in from the settings menu (item 20, flow 2) against the mock
authorization server, the test playing the browser: it reads the URL that VORNA prints,
requests it from the mock's authorization endpoint and follows the redirect to VORNA's
loopback listener. Success stores the tokens and the next send uses them; every other
outcome stores nothing."""
import os
import re
import signal
import socket
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import harness
from harness import WINDOWS, Result, console
from oauth_support import (CLIENT, LINE20_SIGNED_IN, NOTHING_STORED, SIGNED_IN, OAuthTest,
                           pkce_challenge)

# provider 3, client ID and secret kept, flow 2 (browser), then save
ANSWERS = "2\n20\n3\n\n\n2\n12\ny\n"
PAGE_DONE = "サインインの手続きはブラウザで完了しました。"
OPEN_BY_HAND = "ブラウザでサインインしてください。ブラウザが開かないときは、次の URL を手で開いてください。"
CANCEL = "5 分以内にサインインしてください。待っている間、入力は受け付けません(中止は Ctrl+C)。"
NO_REFRESH = "リフレッシュトークンが発行されませんでした。オフラインアクセスの許可が必要です"


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


# Loopback only, never through a proxy of the environment; redirects are the test's to follow.
_BROWSER = urllib.request.build_opener(urllib.request.ProxyHandler({}), _NoRedirect())


def get(url):
    """(status, headers, body) of a GET."""
    try:
        with _BROWSER.open(url, timeout=20) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def text(result):
    return result.stdout.replace(b"\r\n", b"\n").decode("cp932")


class SignInRun:
    """VORNA's menu with the answers given, its output read as it comes."""

    def __init__(self, test, answers=ANSWERS):
        self.process = harness.start([], test.cwd, test.env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self.process.stdin.write(answers.encode("cp932"))
        self.process.stdin.close()
        self.output = b""
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        while True:
            chunk = self.process.stdout.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.output += chunk

    def url(self, prefix, timeout=30):
        """The authorization URL printed, once it is there."""
        pattern = re.compile(re.escape(prefix.encode()) + rb"\?[\x21-\x7e]+(?=\r?\n)")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                found = pattern.search(self.output)
            if found:
                return found.group(0).decode()
            if self.process.poll() is not None and not self.reader.is_alive():
                break
            time.sleep(0.02)
        self.finish(5)
        raise AssertionError("no authorization URL printed: %r" % self.output)

    def rss_kb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def finish(self, timeout=60):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait(10)
        self.reader.join(10)
        self.process.stdout.close()
        if self.process.request_file:
            os.remove(self.process.request_file)
        return Result(status, self.output, b"")


class BrowserSignIn(OAuthTest):
    def setUp(self):
        super().setUp()
        self.keys = self.oauth_keys(OAUTH_AUTHORIZE_URL=self.mock.url("/authorize"))
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(0, self.keys))

    def start(self, answers=ANSWERS):
        run = SignInRun(self, answers)
        self.addCleanup(lambda: run.process.poll() is None and run.finish(1))
        return run

    def authorize(self, url):
        """The mock's redirect for an authorization URL: the Location it answers with."""
        status, headers, body = get(url)
        self.assertEqual(status, 302, body)
        return headers["Location"]

    def assertNothingStored(self, result, reason):
        self.assertEqual(result.status, 0, result)
        out = text(result)
        self.assertIn(NOTHING_STORED, out)
        self.assertIn(reason, out)
        self.assertNotIn(SIGNED_IN, out)
        self.assertEqual(sorted(os.listdir(self.cwd)), ["vorna.ini"])

    def test_success_stores_the_tokens_and_the_next_send_uses_them(self):
        run = self.start()
        url = run.url(self.mock.url("/authorize"))
        location = self.authorize(url)
        status, headers, body = get(location)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")
        self.assertIn(PAGE_DONE.encode("utf-8"), body)
        self.assertNotIn(b"<script", body.lower())
        r = run.finish()
        self.assertEqual(r.status, 0, r)
        out = text(r)

        # The request: a loopback redirect URI with the listener's port, PKCE S256, a
        # state of at least 128 bits; the exchange: the same redirect URI and the verifier.
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
        self.assertTrue(all(len(v) == 1 for v in query.values()), query)
        query = {k: v[0] for k, v in query.items()}
        redirect = query["redirect_uri"]
        self.assertRegex(redirect, r"^http://localhost:\d+/$")
        self.assertTrue(location.startswith(redirect + "?"), location)
        self.assertEqual(query["response_type"], "code")
        self.assertEqual(query["client_id"], CLIENT)
        self.assertEqual(query["code_challenge_method"], "S256")
        self.assertGreaterEqual(len(query["state"]), 22)
        self.assertNotIn("access_type", query)
        exchange = self.mock.requests("/token")
        self.assertEqual(len(exchange), 1)
        form = exchange[0]["form"]
        self.assertEqual(form["grant_type"], "authorization_code")
        self.assertEqual(form["redirect_uri"], redirect)
        self.assertEqual(form["client_id"], CLIENT)
        self.assertEqual(pkce_challenge(form["code_verifier"]), query["code_challenge"])

        # Printed with the lines around it, stored, said so; nothing secret shown.
        self.assertIn("%s\n%s\n%s\n" % (OPEN_BY_HAND, url, CANCEL), out)
        self.assertIn(SIGNED_IN, out)
        self.assertIn(LINE20_SIGNED_IN % ("その他", "ブラウザ"), out)
        issued = self.mock.issued[-1]
        self.assertNoSecrets(r, issued["access_token"], issued["refresh_token"],
                             form["code"], form["code_verifier"], files=[self.token_path])
        if not WINDOWS:
            self.assertEqual(os.stat(self.token_path).st_mode & 0o777, 0o600)
        # The listener has closed.
        with self.assertRaises(OSError):
            get(location)

        # The next send uses the stored access token, with no request for another.
        result, server = self.send(self.bearer_script(4, issued["access_token"]),
                                   keys=self.keys)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(len(self.mock.requests("/token")), 1)

    def test_google_asks_for_offline_access_and_signs_in_by_browser_by_default(self):
        self.keys = self.oauth_keys(provider=2, OAUTH_DEVICE_URL=None,
                                    OAUTH_AUTHORIZE_URL=self.mock.url("/authorize"))
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(0, self.keys))
        run = self.start("2\n20\n2\n\n\n\n12\ny\n")
        url = run.url(self.mock.url("/authorize"))
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
        self.assertEqual(query["access_type"], "offline")
        self.assertEqual(query["prompt"], "consent")
        self.assertEqual(get(self.authorize(url))[0], 200)
        r = run.finish()
        self.assertIn(LINE20_SIGNED_IN % ("Google", "ブラウザ"), text(r))

    def test_stray_requests_are_refused_and_the_wait_goes_on(self):
        run = self.start()
        location = self.authorize(run.url(self.mock.url("/authorize")))
        parts = urllib.parse.urlsplit(location)
        base = "%s://%s" % (parts.scheme, parts.netloc)
        query = dict(urllib.parse.parse_qsl(parts.query))
        code, state = query["code"], query["state"]
        quote = urllib.parse.quote
        strays = [
            ("/favicon.ico", 404),
            ("/callback?" + parts.query, 404),
            ("/?code=%s" % quote(code), 400),                              # no state
            ("/?code=%s&state=%s" % (quote(code), state[:-1] + "x"), 400),  # wrong state
            ("/?error=access_denied&state=guess", 400),                   # error, wrong state
            ("/?error=access_denied", 400),                               # error, no state
            ("/?code=x&code=y&state=%s" % state, 400),                    # a parameter twice
        ]
        for path, expected in strays:
            self.assertEqual(get(base + path)[0], expected, path)
        self.assertEqual(get(location)[0], 200)
        r = run.finish()
        self.assertIn(SIGNED_IN, text(r))
        self.assertEqual(len(self.mock.requests("/token")), 1)
        self.assertEqual(self.mock.requests("/token")[0]["form"]["code"], code)

    @unittest.skipIf(WINDOWS, "reads the memory use from /proc")
    def test_a_megabyte_request_line_is_refused_without_growing(self):
        run = self.start()
        location = self.authorize(run.url(self.mock.url("/authorize")))
        parts = urllib.parse.urlsplit(location)
        time.sleep(0.2)
        before = run.rss_kb()
        with socket.create_connection((parts.hostname, parts.port), timeout=10) as s:
            answer = b""
            try:
                s.sendall(b"GET /?" + b"a" * (1 << 20) + b" HTTP/1.1\r\n\r\n")
            except OSError:
                pass  # refused before all of it was taken
            try:
                answer = s.recv(100)
            except OSError:
                pass
        self.assertIn(answer[:12], (b"", b"HTTP/1.1 400"))
        time.sleep(0.2)
        self.assertLess(run.rss_kb() - before, 512, "the peak memory grew")
        self.assertEqual(get(location)[0], 200)
        self.assertIn(SIGNED_IN, text(run.finish()))

    def test_an_error_in_the_redirect_ends_the_sign_in(self):
        for outcome, error in (("deny", "access_denied"), ("invalid_scope", "invalid_scope")):
            with self.subTest(error):
                self.mock.reset()
                self.mock.script(CLIENT, authorize=[outcome])
                run = self.start()
                status, _, body = get(self.authorize(run.url(self.mock.url("/authorize"))))
                self.assertEqual(status, 200)
                self.assertIn("サインインは完了しませんでした。".encode("utf-8"), body)
                r = run.finish()
                self.assertNothingStored(r, "ブラウザでのサインインが拒否されました: %s "
                                            "the user declined" % error)
                self.assertEqual(self.mock.requests("/token"), [])

    def test_a_verifier_that_does_not_match_stores_nothing(self):
        # The browser (or someone in its place) swapped the challenge: the code is bound to
        # another challenge, and VORNA's verifier does not match it.
        run = self.start()
        url = run.url(self.mock.url("/authorize"))
        other = pkce_challenge("x" * 43)
        url = re.sub(r"code_challenge=[^&]+", "code_challenge=" + other, url)
        self.assertEqual(get(self.authorize(url))[0], 200)
        r = run.finish()
        self.assertNothingStored(r, "invalid_grant")
        self.assertEqual(len(self.mock.requests("/token")), 1)

    def test_no_refresh_token_stores_nothing(self):
        self.mock.script(CLIENT, authorize=["no_refresh"])
        run = self.start()
        self.assertEqual(get(self.authorize(run.url(self.mock.url("/authorize"))))[0], 200)
        r = run.finish()
        self.assertNothingStored(r, NO_REFRESH)

    @unittest.skipIf(WINDOWS, "Ctrl+C under Wine is test_interruptions' business")
    def test_ctrl_c_while_waiting_leaves_nothing(self):
        # A wrong state is answered and ignored; the person gives up with Ctrl+C.
        run = self.start()
        location = self.authorize(run.url(self.mock.url("/authorize")))
        self.assertEqual(get(re.sub(r"state=[^&]+", "state=forged", location))[0], 400)
        time.sleep(0.2)
        self.assertIsNone(run.process.poll(), "the wait ended on a wrong state")
        run.interrupt()
        r = run.finish(20)
        self.assertEqual(r.status, -signal.SIGINT, r)
        self.assertEqual(sorted(os.listdir(self.cwd)), ["vorna.ini"])
        self.assertEqual(self.mock.requests("/token"), [])


if __name__ == "__main__":
    unittest.main()
