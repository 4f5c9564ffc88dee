"""The token step of a send with OAuth 2.0 (SMTP_AUTH 4 or 5, OAUTH_PROVIDER set, no
password command): a stored access token used as it is, a refresh when it is close to its
expiry, and the failures that end the run with 27 (a person must act) or 28 (a later run
may pass) before anything goes to the mail server. The token files are made by signing in
through the menu against the mock authorization server."""
import base64
import os
import re
import threading
import time
import unittest

import fake_smtp
import tls_certs
from fake_smtp import FakeSMTP, dialogue, greet, on, silence
from harness import WINDOWS, console, native_path
from oauth_support import CLIENT, EHLO_BEARER, MECHANISMS, USER, OAuthTest, error_lines

REFRESH = "refresh_token"
MS_SCOPE = "https://outlook.office.com/SMTP.Send offline_access"
# A stored token with less than 5 minutes left is refreshed first.
SHORT_TTL = 120


def accept_any_bearer():
    """A delivery whose AUTH step takes any response (checked by the test afterwards)."""
    return dialogue(ehlo=EHLO_BEARER, auth=[on("AUTH", "235 2.7.0 Accepted\r\n")])


def bearer_of(server):
    """The token of the AUTH line's initial response, or of the decoded bearer responses."""
    if server.bearer:
        decoded = server.bearer[-1]
    else:
        auth = [c for c in server.commands if c.upper().startswith(b"AUTH ")]
        decoded = base64.b64decode(auth[0].split()[2])
    return decoded.split(b"auth=Bearer ", 1)[1].split(b"\x01", 1)[0].decode()


class WorkFileWatch:
    """Copies what stands in the work directory while a run goes on."""

    def __init__(self, directory):
        self.directory = directory
        self.seen = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        while not self.stop.wait(0.01):
            for name in os.listdir(self.directory):
                try:
                    with open(os.path.join(self.directory, name), "rb") as f:
                        self.seen[name] = f.read()
                except OSError:
                    pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


class StoredTokens(OAuthTest):
    def test_a_valid_stored_token_is_used_without_any_request(self):
        issued = self.signed_in()
        self.mock.reset()
        for method in (4, 5):
            with self.subTest(method=method):
                r, server = self.send(self.bearer_script(method, issued["access_token"]),
                                      method=method)
                self.assertClean(r, server)
                self.assertIn(b"auth=Bearer " + issued["access_token"].encode() + b"\x01\x01",
                              server.bearer[-1])
        self.assertEqual(self.mock.requests(), [])
        # -d says that the stored token was used, and shows no token.
        r, server = self.send(self.bearer_script(4, issued["access_token"]), "-d")
        self.assertEqual(r.status, 0, r)
        self.assertRegex(r.stdout, rb"\[oauth token : stored token used, valid until [^\]]+\]")
        self.assertNoSecrets(r, issued["access_token"], issued["refresh_token"])
        self.assertEqual(self.mock.requests(), [])

    def test_an_expiring_token_is_refreshed_and_the_rotated_one_stored(self):
        self.mock.configure(ttl=SHORT_TTL)
        first = self.signed_in()
        stored = self.token_file()
        for round_, method in enumerate((4, 5), 1):
            with self.subTest(method=method):
                r, server = self.send(accept_any_bearer(), method=method)
                self.assertClean(r, server)
                refreshes = self.mock.requests("/token", grant_type=REFRESH)
                self.assertEqual(len(refreshes), round_)
                # Each refresh presents the refresh token of the one before: the rotated
                # token was stored (the mock refuses a used one with invalid_grant).
                previous = first if round_ == 1 else self.mock.issued[-2]
                self.assertEqual(refreshes[-1]["form"]["refresh_token"],
                                 previous["refresh_token"])
                self.assertEqual(refreshes[-1]["form"]["client_id"], CLIENT)
                self.assertNotIn("scope", refreshes[-1]["form"])  # provider 3: as granted
                self.assertEqual(bearer_of(server), self.mock.issued[-1]["access_token"])
                self.assertNotEqual(self.token_file(), stored)
                stored = self.token_file()
        # A token with time left is then used as it is.
        self.mock.configure(ttl=3600)
        r, server = self.send(accept_any_bearer())
        self.assertEqual(len(self.mock.requests("/token", grant_type=REFRESH)), 3)
        r, server = self.send(accept_any_bearer())
        self.assertClean(r, server)
        self.assertEqual(len(self.mock.requests("/token", grant_type=REFRESH)), 3)
        self.assertEqual(bearer_of(server), self.mock.issued[-1]["access_token"])

    def test_without_a_new_refresh_token_the_old_one_is_kept(self):
        self.mock.configure(ttl=SHORT_TTL)
        first = self.signed_in()
        self.mock.script(CLIENT, refresh=["no_refresh", "no_rotation", "success"])
        for _ in range(3):
            r, server = self.send(accept_any_bearer())
            self.assertClean(r, server)
        refreshes = self.mock.requests("/token", grant_type=REFRESH)
        self.assertEqual([e["form"]["refresh_token"] for e in refreshes],
                         [first["refresh_token"]] * 3)

    def test_five_minutes_left_is_the_line_between_using_and_refreshing(self):
        # expires_in as a string of digits, as some servers send it, counts the same.
        self.mock.configure(ttl=7 * 60, expires_in_as_string=True)
        issued = self.signed_in()
        r, server = self.send(self.bearer_script(4, issued["access_token"]))
        self.assertClean(r, server)
        self.assertEqual(self.mock.requests("/token", grant_type=REFRESH), [])
        self.mock.configure(ttl=4 * 60)
        os.remove(self.token_path)
        self.signed_in()
        r, server = self.send(accept_any_bearer())
        self.assertClean(r, server)
        self.assertEqual(len(self.mock.requests("/token", grant_type=REFRESH)), 1)

    def test_long_tokens_are_stored_and_sent_whole(self):
        # About 10 KB: the AUTH line would pass 12,288 octets, so the response follows a 334.
        self.mock.configure(token_pad=7000)
        issued = self.signed_in()
        self.assertGreater(len(issued["access_token"]), 9000)
        for method in (4, 5):
            with self.subTest(method=method):
                r, server = self.send(self.bearer_script(method, issued["access_token"]),
                                      method=method)
                self.assertClean(r, server)
                self.assertEqual(bearer_of(server), issued["access_token"])
                self.assertEqual(server.commands[1].strip().upper(),
                                 b"AUTH " + MECHANISMS[method].encode())

    def test_the_token_step_runs_only_where_a_token_is_wanted(self):
        # No token file at all: SMTP_AUTH 0 sends without one, and a password command
        # wins over the sign-in.
        r, server = self.send(dialogue(), method=0)
        self.assertClean(r, server)
        token = self.mock.mint(client_id=CLIENT)
        path = os.path.join(self.dir, "token.txt")
        with open(path, "w") as f:
            f.write(token + "\n")
        command = ("cmd /c type \"%s\"" if WINDOWS else "cat '%s'") % native_path(path)
        r, server = self.deliver(self.bearer_script(5, token), "-f" + USER, "-Tbody",
                                 "b@example.test", ini=self.settings(
                                     5, smtp="SMTP_PASS_COMMAND=%s\r\n" % command))
        self.assertClean(r, server)
        self.assertEqual(self.mock.requests(), [])

    def test_microsoft_refresh_asks_for_the_scope_and_debug_names_the_host(self):
        self.mock.configure(ttl=SHORT_TTL)
        keys = self.oauth_keys(provider=1, OAUTH_TENANT="organizations")
        self.signed_in(keys=keys)
        self.assertEqual(self.mock.requests("/devicecode")[0]["form"]["scope"], MS_SCOPE)
        r, server = self.send(accept_any_bearer(), "-d", keys=keys)
        self.assertEqual(r.status, 0, r)
        refresh = self.mock.requests("/token", grant_type=REFRESH)[-1]
        self.assertEqual(refresh["form"]["scope"], MS_SCOPE)
        self.assertRegex(r.stdout, rb"\[oauth token : 127\.0\.0\.1 HTTP 200, new token valid "
                                   rb"until [^\]]*refresh token rotated\]")


class Failures(OAuthTest):
    """Each failure of the token step: its code, nothing sent to the mail server (not even
    a connection), no work file left, the token file as it was."""

    def run_failing(self, code, *args, keys=None, method=4):
        before = self.token_file() if os.path.exists(self.token_path) else None
        r, server = self.send(dialogue(), "-d" if "-d" in args else "-i", *[
            a for a in args if a != "-d"], keys=keys, method=method)
        self.assertEqual(r.status, code, r)
        self.assertTrue(r.stdout.endswith(console(error_lines(code))), r)
        self.assertFalse(server.connected, "the mail server was contacted")
        self.assertEqual(self.work_files(), [])
        if before is not None:
            self.assertEqual(self.token_file(), before)
        return r

    def test_refusals_and_faults_of_the_refresh(self):
        self.mock.configure(ttl=SHORT_TTL)
        issued = self.signed_in()
        cases = [("invalid_grant", 27, b"error=invalid_grant description=AADSTS70008"),
                 ("invalid_client", 27, b"HTTP 401 error=invalid_client"),
                 ("unauthorized_client", 27, b"error=unauthorized_client"),
                 ("interaction_required", 27, b"error=interaction_required"),
                 ("http500", 28, b"HTTP 500"),
                 ("http429", 28, b"HTTP 429"),
                 ("http502html", 28, b"HTTP 502"),
                 ("notjson", 28, b"HTTP 200"),
                 ("badjson", 28, b"HTTP 200"),
                 ("wrongtype", 28, b"HTTP 200"),
                 ("huge", 28, b"127.0.0.1"),
                 ("redirect", 28, b"HTTP 302"),
                 ("close", 28, b"127.0.0.1")]
        for outcome, code, trace in cases:
            with self.subTest(outcome):
                self.mock.script(CLIENT, refresh=[outcome])
                r = self.run_failing(code, "-d")
                self.assertRegex(r.stdout, rb"\[oauth token : 127\.0\.0\.1[^\n]*\]")
                self.assertIn(trace, r.stdout)
                self.assertNoSecrets(r, issued["access_token"], issued["refresh_token"])
        # Each of them made exactly one request (a redirect is not followed), and the
        # refresh token still works.
        self.assertEqual(len(self.mock.requests("/token", grant_type=REFRESH)), len(cases))
        self.assertEqual(self.mock.requests("/stolen"), [])
        r, server = self.send(accept_any_bearer())
        self.assertClean(r, server)

    def test_the_servers_words_reach_the_console_only_as_plain_text(self):
        self.mock.configure(ttl=SHORT_TTL)
        self.signed_in()
        self.mock.configure(error_description="AADSTS70008: gone\x1b[2J\r\nERR-0000:\x07fake")
        self.mock.script(CLIENT, refresh=["invalid_grant"])
        r = self.run_failing(27, "-d")
        line = [l for l in r.stdout.splitlines() if l.startswith(b"[oauth token")]
        self.assertEqual(len(line), 1, r.stdout)
        self.assertIn(b"AADSTS70008: gone", line[0])
        for byte in (b"\x1b", b"\x07"):
            self.assertNotIn(byte, r.stdout)
        self.assertNotIn(b"\nERR-0000", r.stdout.replace(b"\r\n", b"\n"))

    def test_a_used_refresh_token_asks_for_a_sign_in(self):
        self.mock.configure(ttl=SHORT_TTL)
        self.signed_in()
        self.mock.revoke(sub="alice")
        self.run_failing(27)

    def test_no_token_file_or_an_unreadable_one(self):
        self.run_failing(27)
        self.assertEqual(self.mock.requests(), [])
        self.signed_in()
        with open(self.token_path, "r+b") as f:
            data = bytearray(f.read())
            data[len(data) // 2] ^= 0x01
            f.seek(0)
            f.write(bytes(data))
        self.run_failing(27)
        with open(self.token_path, "wb") as f:
            f.write(b"")
        self.run_failing(27)
        self.assertEqual(self.mock.requests("/token", grant_type=REFRESH), [])

    def test_tokens_issued_for_other_settings_are_not_used(self):
        self.signed_in()
        self.mock.reset()
        for name, keys in [("client ID", self.oauth_keys(client_id="another-app")),
                           ("scope", self.oauth_keys(OAUTH_SCOPE="https://mail.google.com/")),
                           ("provider", self.oauth_keys(provider=1))]:
            with self.subTest(name):
                r = self.run_failing(27, keys=keys)
                self.assertIn(console("#OAuthトークン         : 別の設定で発行済み(サインインが必要)\n"),
                              r.stdout)
        self.assertEqual(self.mock.requests(), [])

    def test_a_changed_endpoint_is_no_change_of_what_the_tokens_are_for(self):
        issued = self.signed_in()
        keys = self.oauth_keys(OAUTH_TOKEN_URL=self.mock.url("/token", host="localhost"))
        r, server = self.send(self.bearer_script(4, issued["access_token"]), keys=keys)
        self.assertClean(r, server)

    def test_endpoints_that_cannot_be_reached_or_used(self):
        self.mock.configure(ttl=SHORT_TTL)
        self.signed_in()
        self.mock.reset()
        closed = "http://127.0.0.1:%d/token" % fake_smtp.closed_port()
        off_loopback = "http://0.0.0.0:%d/token" % self.mock.http_port
        self.run_failing(28, keys=self.oauth_keys(OAUTH_TOKEN_URL=closed))
        # Not loopback: refused before any request (0.0.0.0 would reach the mock).
        self.run_failing(27, keys=self.oauth_keys(OAUTH_TOKEN_URL=off_loopback))
        self.assertEqual(self.mock.requests(), [])
        # https to a server whose certificate the test CA did not sign: no request either.
        keys = self.oauth_keys(OAUTH_TOKEN_URL=self.mock.url("/token", tls=True))
        r, server = self.deliver(dialogue(), "-f" + USER, "-Tbody", "b@example.test",
                                 ini=self.settings(4, keys, ca=tls_certs.path("other-ca.pem")))
        self.assertEqual(r.status, 28, r)
        self.assertFalse(server.connected)
        self.assertEqual(self.mock.requests(), [])
        if not WINDOWS:  # WinHTTP completes the handshake; the program's own check refuses
            self.assertTrue(any("tls_error" in e for e in self.mock.log))


class Secrets(OAuthTest):
    def setUp(self):
        super().setUp()
        with open(os.path.join(self.cwd, "attachment.txt"), "wb") as f:
            f.write(b"an attachment\r\n" * 100)

    def test_no_secret_in_any_output_or_work_file(self):
        secret = "client-secret-Qz8v0123456789"
        self.mock.configure(ttl=SHORT_TTL, require_secret={CLIENT: secret})
        outputs = [self.sign_in(answers="2\n20\n3\n\n%s\n1\n12\ny\n" % secret)]
        device_code = self.mock.requests("/token")[0]["form"]["device_code"]
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            stored = re.search(rb"(?m)^OAUTH_CLIENT_SECRET=(\S+)", f.read()).group(1)
        keys = self.oauth_keys(OAUTH_CLIENT_SECRET=stored.decode())
        seen = {}
        for mode in ("-d", "-i"):
            # A late greeting keeps the work files there long enough to be read.
            script = accept_any_bearer()
            script[0] = greet(silence(0.5), "220 fake ESMTP ready\r\n")
            with WorkFileWatch(self.tmp) as watch:
                r, server = self.deliver(script, mode, "-f" + USER, "-Tbody",
                                         "-aattachment.txt", "b@example.test",
                                         ini=self.settings(4, keys))
            self.assertEqual(r.status, 0, r)
            outputs.append(r)
            self.assertTrue(watch.seen, "no work file was seen")
            seen.update(watch.seen)
        outputs.append(self.vorna(stdin=b"2\n13\ny\n3\n"))
        secrets = [secret, device_code]
        secrets += [i["access_token"] for i in self.mock.issued]
        secrets += [i["refresh_token"] for i in self.mock.issued]
        self.assertEqual(len(secrets), 2 + 2 * 3)
        for result in outputs:
            self.assertNoSecrets(result, *secrets, files=[os.path.join(self.cwd, "vorna.ini"),
                                                          self.token_path])
        for name, data in seen.items():
            for s in secrets:
                self.assertNotIn(s.encode(), data, "a secret in work file %s" % name)
        # Every token request carried the secret.
        self.assertEqual({e["form"].get("client_secret") for e in self.mock.requests("/token")},
                         {secret})


class Concurrency(OAuthTest):
    def test_two_runs_refreshing_at_once_both_deliver(self):
        # As Microsoft does, the older refresh token stays usable after a rotation.
        self.mock.configure(ttl=SHORT_TTL, keep_old_refresh=True)
        first = self.signed_in()
        self.mock.configure(ttl=3600)
        # The refreshes are answered late, so that both are under way at once.
        self.mock.script(CLIENT, refresh=["slow:2", "slow:2"])
        servers = [FakeSMTP(accept_any_bearer()), FakeSMTP(accept_any_bearer())]
        results = {}

        def one(i):
            results[i] = self.vorna("-h127.0.0.1", "-f" + USER, "-Tbody", "b@example.test")
        threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
        with servers[0], servers[1]:
            # Both runs share the settings file (and so the token file); each has read
            # its server's port once its refresh has come to the mock.
            for i in range(2):
                self.write_ini(servers[i].port, self.settings(4))
                threads[i].start()
                deadline = time.monotonic() + 20
                while len(self.mock.requests("/token", grant_type=REFRESH)) <= i:
                    self.assertLess(time.monotonic(), deadline, "no refresh came")
                    time.sleep(0.02)
            for t in threads:
                t.join(60)
        for i, server in enumerate(servers):
            self.assertEqual((results[i].status, server.problems), (0, []), results[i])
        refreshes = self.mock.requests("/token", grant_type=REFRESH)
        self.assertEqual(len(refreshes), 2)
        self.assertEqual({e["form"]["refresh_token"] for e in refreshes},
                         {first["refresh_token"]})
        self.assertLess(refreshes[1]["time"] - refreshes[0]["time"], 2.0, "not at once")
        issued = {i["access_token"] for i in self.mock.issued[1:]}
        self.assertEqual({bearer_of(s) for s in servers}, issued)
        # The file is whole: the next run uses a stored token without a request.
        r, server = self.send(accept_any_bearer())
        self.assertClean(r, server)
        self.assertIn(bearer_of(server), issued)
        self.assertEqual(len(self.mock.requests("/token", grant_type=REFRESH)), 2)
        self.assertEqual(self.work_files(), [])
        self.assertEqual(sorted(os.listdir(self.cwd)), ["vorna.ini", "vorna.tok"])


if __name__ == "__main__":
    unittest.main()
