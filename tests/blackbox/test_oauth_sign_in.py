"""OAuth 2.0 sign-in from the settings menu (item 20) with the device-code flow, against the
mock authorization server: polling at the server's pace, the token file, the refusals that
store nothing, endpoints that must not be used, and sign-out."""
import os
import re
import signal
import subprocess
import time
import unittest

import oauth_support
from harness import BIN, RUNNER, WINDOWS, _PASSED_THROUGH, console
from oauth_support import (CLIENT, LINE20_NONE, LINE20_SIGNED_IN, NOTHING_STORED, SIGNED_IN,
                           OAuthTest)

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
REFUSED_ENDPOINT = "http:// はループバックアドレス(127.0.0.0/8, ::1, localhost)にしか使えません"
SAVE_THEN_EXIT = "12\ny\n"


def text(result):
    return result.stdout.replace(b"\r\n", b"\n").decode("cp932")


class DeviceSignIn(OAuthTest):
    def saved(self):
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            return f.read().decode("cp932")

    def assertNothingStored(self, result, reason=None):
        self.assertEqual(result.status, 0, result)
        out = text(result)
        self.assertIn(NOTHING_STORED, out)
        self.assertNotIn(SIGNED_IN, out)
        if reason:
            self.assertIn(reason, out)
        # No token file, and no half-written one beside it.
        self.assertEqual(sorted(os.listdir(self.cwd)), ["vorna.ini"])
        self.assertIn("SMTP_AUTH=0", self.saved())
        self.assertEqual(out.count(LINE20_NONE), 2, "line 20 still says not signed in")

    def test_pending_then_slow_down_then_success_stores_tokens(self):
        r = self.sign_in(["pending", "slow_down", "success"], method=0)
        self.assertEqual(r.status, 0, r)
        out = text(r)
        issued = self.mock.issued[-1]

        # The page and the user code are shown in Japanese, the server's English message
        # is not, and nothing secret is.
        device = self.mock.requests("/devicecode")
        self.assertEqual(len(device), 1)
        self.assertEqual(device[0]["form"]["client_id"], CLIENT)
        polls = self.mock.requests("/token", grant_type=DEVICE_GRANT)
        self.assertEqual(len(polls), 3)
        code = re.search(r"コード : ([A-Z]{4}-[A-Z]{4})\n", out)
        self.assertIsNotNone(code, out)
        self.assertIn("ページ : %s\n" % self.mock.url("/device"), out)
        self.assertNotIn("To sign in", out)
        self.assertNoSecrets(r, issued["access_token"], issued["refresh_token"],
                             polls[0]["form"]["device_code"], files=[self.token_path])

        # The interval: 1 s, 1 s, then 1 + 5 s after slow_down.
        times = [device[0]["time"]] + [p["time"] for p in polls]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreaterEqual(gaps[0], 0.9, gaps)
        self.assertGreaterEqual(gaps[1], 0.9, gaps)
        self.assertLess(gaps[1], 4, gaps)
        self.assertGreaterEqual(gaps[2], 5.9, gaps)

        # Stored, said so, SMTP_AUTH switched to XOAUTH2, line 20 tells the state.
        self.assertIn(SIGNED_IN, out)
        self.assertIn("SMTP認証を XOAUTH2 にしました。", out)
        self.assertIn(LINE20_SIGNED_IN % ("その他", "デバイスコード"), out)
        self.assertIn("SMTP_AUTH=4", self.saved())
        self.assertNotIn(issued["refresh_token"], self.saved())
        if not WINDOWS:
            self.assertEqual(os.stat(self.token_path).st_mode & 0o777, 0o600)

        # -i shows provider, client ID and state, and no token.
        info = self.vorna("-i", "-h127.0.0.1", "-Tx", "b@example.test")
        self.assertIn(console("#OAuth 2.0             : その他\n"), info.stdout)
        self.assertIn(console("#OAuthクライアントID   : %s\n" % CLIENT), info.stdout)
        self.assertRegex(text(info), r"#OAuthトークン         : サインイン済み\(デバイスコード\) "
                                     r"有効期限 \d{4}/\d\d/\d\d \d\d:\d\d\n")
        self.assertNoSecrets(info, issued["access_token"], issued["refresh_token"])

    def test_the_person_approving_later_is_waited_for(self):
        # No script: the mock says authorization_pending until the test approves.
        import threading

        def approve():
            while not self.mock.requests("/token"):
                if stop.wait(0.05):
                    return
            self.mock.approve()
        stop = threading.Event()
        helper = threading.Thread(target=approve)
        helper.start()
        try:
            r = self.sign_in(outcomes=())
        finally:
            stop.set()
            helper.join()
        self.assertIn(SIGNED_IN, text(r))
        self.assertTrue(os.path.exists(self.token_path))

    def test_each_refusal_stores_nothing(self):
        reasons = {"expired_token": "コードの有効期限切れ",
                   "access_denied": "拒否されました: access_denied",
                   "authorization_declined": "拒否されました: authorization_declined",
                   "bad_verification_code": "コードが認められません: bad_verification_code",
                   "invalid_client": "invalid_client"}
        for outcome, reason in reasons.items():
            with self.subTest(outcome):
                self.mock.reset()
                if os.path.exists(self.token_path):
                    os.remove(self.token_path)
                r = self.sign_in(["pending", outcome], method=0)
                self.assertNothingStored(r, reason)
                self.assertEqual(len(self.mock.requests("/token")), 2)

    def test_a_poll_without_answer_is_tried_again_later(self):
        # A 500, a reply that is not JSON and a 429 are passing troubles: the polls go on,
        # each wait twice the one before (1 s, then 2, 4, 8), and the person's approval
        # still signs in.
        started = time.monotonic()
        r = self.sign_in(["http500", "notjson", "http429", "success"], method=0)
        spent = time.monotonic() - started
        self.assertIn(SIGNED_IN, text(r))
        self.assertEqual(len(self.mock.requests("/token", grant_type=DEVICE_GRANT)), 4)
        self.assertGreaterEqual(spent, 1 + 2 + 4 + 8 - 1)

    def test_polls_without_answer_end_when_the_code_runs_out(self):
        self.mock.configure(expires_in=5)
        r = self.sign_in(["http500"] * 6, method=0)
        self.assertNothingStored(r, "server_error")
        self.assertLessEqual(len(self.mock.requests("/token")), 3)

    def test_the_page_named_verification_url_as_google_names_it(self):
        self.mock.configure(verification_field="verification_url")
        r = self.sign_in(["success"])
        self.assertIn(console("  ページ : %s\n" % self.mock.url("/device")), r.stdout)
        self.assertIn(console(SIGNED_IN), r.stdout)

    def test_the_code_running_out_ends_the_wait(self):
        self.mock.configure(expires_in=3)
        r = self.sign_in(outcomes=(), method=0)
        self.assertNothingStored(r, "コードの有効期限切れ")
        self.assertLessEqual(len(self.mock.requests("/token")), 3)

    def test_device_endpoint_failures_store_nothing(self):
        for outcome in ("http500", "invalid_client", "notjson"):
            with self.subTest(outcome):
                self.mock.reset()
                self.mock.script(CLIENT, device_authorization=[outcome])
                r = self.sign_in(outcomes=(), method=0)
                self.assertNothingStored(r, "デバイスコードを取得できません")
                self.assertEqual(self.mock.requests("/token"), [])

    def test_http_endpoints_off_loopback_are_refused_before_any_request(self):
        # 0.0.0.0 is no loopback address, yet a connection to it reaches this machine: a
        # request that should not have been made would show in the mock's log.
        port = self.mock.http_port
        for key in ("OAUTH_DEVICE_URL", "OAUTH_TOKEN_URL"):
            with self.subTest(key):
                self.mock.reset()
                keys = self.oauth_keys(**{key: "http://0.0.0.0:%d/%s" % (port, key)})
                r = self.sign_in(keys=keys, method=0)
                self.assertNothingStored(r, REFUSED_ENDPOINT)
                self.assertEqual(self.mock.requests(), [])

    def test_loopback_names_are_taken(self):
        keys = self.oauth_keys(OAUTH_DEVICE_URL=self.mock.url("/devicecode", host="localhost"),
                               OAUTH_TOKEN_URL=self.mock.url("/token", host="localhost"))
        self.signed_in(keys=keys)

    def test_loopback_endpoints_are_reached_directly_whatever_proxy_is_set(self):
        # A proxy from the environment that nothing answers on.
        dead = "http://127.0.0.1:%d" % oauth_support.closed_port()
        env = self.env(http_proxy=dead, https_proxy=dead, all_proxy=dead, HTTP_PROXY=dead,
                       HTTPS_PROXY=dead, ALL_PROXY=dead)
        self.signed_in(env=env)

    def test_missing_device_endpoint_for_provider_3(self):
        r = self.sign_in(keys=self.oauth_keys(OAUTH_DEVICE_URL=None), method=0)
        self.assertNothingStored(r, "OAUTH_DEVICE_URL が設定されていません。")
        self.assertEqual(self.mock.requests(), [])

    def test_google_is_not_signed_in_with_the_device_flow(self):
        r = self.sign_in(keys=self.oauth_keys(provider=2), method=0)
        self.assertNothingStored(r, "Google は Gmail 向けのデバイスコードでのサインインを受け付けません")
        self.assertEqual(self.mock.requests(), [])

    def test_the_token_file_lies_beside_the_settings_file_found(self):
        # Found through windir, not in the working directory.
        other = os.path.join(self.dir, "windir")
        os.mkdir(other)
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(4), directory=other)
        self.mock.script(CLIENT, device=["success"])
        env = self.env(windir=oauth_support.native_path(other))
        r = self.vorna(stdin=b"2\n20\n3\n\n\n1\n12\ny\n", env=env)
        self.assertIn(console(SIGNED_IN), r.stdout)
        self.assertEqual(sorted(os.listdir(other)), ["vorna.ini", "vorna.tok"])
        self.assertEqual(os.listdir(self.cwd), [])
        info = self.vorna("-i", "-h127.0.0.1", "-Tx", "b@example.test", env=env)
        self.assertIn(console("サインイン済み(デバイスコード)"), info.stdout)

    def test_sign_out_and_sign_in_again(self):
        first = self.signed_in()
        # Signed in: 1 signs out (the token file goes), the line says so.
        r = self.vorna(stdin=b"2\n20\n1\n13\ny\n3\n")
        self.assertIn(console("サインアウトしました(トークンファイルを削除しました)。"), r.stdout)
        self.assertIn(console(LINE20_NONE), r.stdout)
        self.assertFalse(os.path.exists(self.token_path))
        # Signed in again (2) over the stored tokens: the new ones replace them.
        self.signed_in()
        self.mock.script(CLIENT, device=["success"])
        r = self.vorna(stdin=b"2\n20\n2\n3\n\n\n1\n12\ny\n")
        self.assertIn(console(SIGNED_IN), r.stdout)
        self.assertNotEqual(self.mock.issued[-1]["refresh_token"], first["refresh_token"])
        # Anything else at the question leaves everything as it was.
        before = self.token_file()
        r = self.vorna(stdin=b"2\n20\n7\n13\ny\n3\n")
        self.assertEqual(r.status, 0, r)
        self.assertEqual(self.token_file(), before)

    def test_client_secret_goes_with_every_request_and_is_stored_enciphered(self):
        secret = "Sx8~client.secret-0123456789"
        self.mock.configure(require_secret={CLIENT: secret})
        r = self.sign_in(answers="2\n20\n3\n\n%s\n1\n12\ny\n" % secret)
        self.assertIn(console(SIGNED_IN), r.stdout, r)
        sent = self.mock.requests("/devicecode") + self.mock.requests("/token")
        self.assertEqual({e["form"].get("client_secret") for e in sent}, {secret})
        saved = self.saved()
        self.assertRegex(saved, r"(?m)^OAUTH_CLIENT_SECRET=\S+\r?$")
        self.assertNoSecrets(r, secret, files=[os.path.join(self.cwd, "vorna.ini"),
                                               self.token_path])
        # An empty answer keeps it; "-" removes it (the mock then refuses the client).
        os.remove(self.token_path)
        self.mock.reset()
        self.mock.configure(require_secret={CLIENT: secret})
        self.mock.script(CLIENT, device=["success"])
        r = self.vorna(stdin=b"2\n20\n3\n\n\n1\n12\ny\n")
        self.assertIn(console(SIGNED_IN), r.stdout, r)
        os.remove(self.token_path)
        r = self.vorna(stdin=b"2\n20\n3\n\n-\n1\n12\ny\n")
        self.assertNotIn(console(SIGNED_IN), r.stdout, r)
        self.assertNotIn("OAUTH_CLIENT_SECRET=" + saved.split("OAUTH_CLIENT_SECRET=")[1][:8],
                         self.saved())


@unittest.skipUnless(not WINDOWS and not RUNNER, "POSIX signals of a native program")
class Interrupted(OAuthTest):
    ANSWERS = b"2\n20\n3\n\n\n1\n12\ny\n"

    def start_menu(self):
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(0))
        env = {k: os.environ[k] for k in _PASSED_THROUGH if k in os.environ}
        env.update({k: v for k, v in self.env().items() if v is not None})
        process = subprocess.Popen([BIN], cwd=self.cwd, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        process.stdin.write(self.ANSWERS)
        process.stdin.close()
        return process

    def wait_until(self, condition, timeout=20):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.001)

    def test_ctrl_c_while_waiting_for_the_person_stores_nothing(self):
        with open(os.path.join(self.cwd, "vorna.ini"), "w"):
            pass
        process = self.start_menu()
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            before = f.read()
        self.wait_until(lambda: self.mock.requests("/token"))
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(10), -signal.SIGINT)
        self.assertEqual(os.listdir(self.cwd), ["vorna.ini"])
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            self.assertEqual(f.read(), before)

    def test_ctrl_c_as_the_tokens_come_leaves_a_whole_file_or_none(self):
        for delay in (0, 0.0005, 0.001, 0.002, 0.004, 0.008):
            with self.subTest(delay=delay):
                self.mock.reset()
                for name in os.listdir(self.cwd):
                    os.remove(os.path.join(self.cwd, name))
                self.mock.script(CLIENT, device=["success"])
                process = self.start_menu()
                self.wait_until(lambda: self.mock.issued)
                time.sleep(delay)
                process.send_signal(signal.SIGINT)
                process.wait(10)
                left = sorted(os.listdir(self.cwd))
                self.assertIn(left, (["vorna.ini"], ["vorna.ini", "vorna.tok"]))
                if "vorna.tok" in left:
                    # Whole: it reads back as signed in.
                    info = self.vorna("-i", "-h127.0.0.1", "-Tx", "b@example.test")
                    self.assertIn(console("サインイン済み(デバイスコード)"), info.stdout, info)


class HttpsSignIn(OAuthTest):
    tls = True

    def test_sign_in_over_https_with_the_test_ca(self):
        self.signed_in()
        self.assertEqual({e["listener"] for e in self.mock.requests()}, {"https"})

    def test_an_untrusted_server_gets_no_request(self):
        keys = self.oauth_keys()
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(
            0, keys, ca=oauth_support.tls_certs.path("other-ca.pem")))
        r = self.vorna(stdin=b"2\n20\n3\n\n\n1\n12\ny\n")
        self.assertIn(console(NOTHING_STORED), r.stdout)
        self.assertFalse(os.path.exists(self.token_path))
        # The handshake failed; no request (and so no client ID or secret) came.
        self.assertEqual(self.mock.requests(), [])
        if not WINDOWS:  # WinHTTP completes the handshake; the program's own check refuses
            self.assertTrue(any("tls_error" in e for e in self.mock.log))


if __name__ == "__main__":
    unittest.main()
