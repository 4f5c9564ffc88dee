"""Delivery end to end against real mail servers: Postfix (SMTP, AUTH through Dovecot) and
Dovecot (POP3) on 127.0.0.1, started by mailservers.sh, in plain text and over TLS (Postfix's
STARTTLS submission port with AUTH only inside TLS and its SMTPS port, Dovecot's STLS and
POP3S, all with a certificate from a private test CA).

The program's settings (ports, accounts, stored passwords) are made by its own settings menu,
driven through a pipe; each message is then read back from the recipient's Maildir and taken
apart with Python's email package.

The servers come from VORNA_MAILSERVERS_ENV (the servers.env that "mailservers.sh start"
writes, as tests/stages/20-mail-servers.sh does). Without it the module starts servers of its
own and stops them at the end; where that is impossible (not root, no package source) every
test is skipped with the reason.
"""
import email
import email.policy
import email.utils
import glob
import hashlib
import os
import re
import shlex
import subprocess
import sys
import time
import unittest
import uuid
from datetime import datetime, timedelta, timezone

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "blackbox"))

from harness import WINDOWS, ProgramTest, native_path, sjis  # noqa: E402
from oauth_support import control  # noqa: E402

SCRIPT = os.path.join(HERE, "mailservers.sh")
DELIVERY_WAIT = 20.0  # seconds; Postfix stores a message some milliseconds after "250 queued"

# Written by the program's error_exit: the error line and the server-code line.
ERR_RELAY_DENIED = "ERR-0011:メールサーバハンドリングエラー。 \n[server->554] \n"
ERR_AUTH_FAILED = "ERR-0011:メールサーバハンドリングエラー。 \n[server->535] \n"
ERR_POP3_PASSWORD = "ERR-0022:ＰＯＰ３アカウントまたはパスワードが間違っています。 \n\n"
ERR_STARTTLS_REQUIRED = "ERR-0011:メールサーバハンドリングエラー。 \n[server->530] \n"
ERR_TLS = "ERR-0024:SSL接続またはハンドリングエラーです。 \n\n"

# Fields the servers add on top of what the program sent.
SERVER_FIELDS = ("return-path", "x-original-to", "delivered-to", "received")

SERVERS = {}
_own_servers = None


def _read_env(path):
    values = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if key:
                values[key] = shlex.split(value)[0] if value else ""
    return values


def setUpModule():
    global _own_servers
    path = os.environ.get("VORNA_MAILSERVERS_ENV")
    if not path:
        check = subprocess.run(["bash", SCRIPT, "check"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if check.returncode != 0:
            raise unittest.SkipTest("mail servers cannot run here: " + check.stdout.strip())
        env = dict(os.environ, VORNA_MAILSERVERS_OWNER=str(os.getpid()))
        started = subprocess.run(["bash", SCRIPT, "start"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, env=env, text=True, timeout=600)
        if started.returncode != 0:
            raise RuntimeError("mailservers.sh start failed (status %d)" % started.returncode)
        path = started.stdout.strip().splitlines()[-1]
        _own_servers = os.path.dirname(path)
    SERVERS.update(_read_env(path))


def tearDownModule():
    if SERVERS:
        report_negotiated()
    if _own_servers:
        subprocess.run(["bash", SCRIPT, "stop", _own_servers], stdin=subprocess.DEVNULL)


def address(user):
    return "%s@%s" % (user, SERVERS["MAIL_DOMAIN"])


def password(user):
    pairs = dict(p.split(":", 1) for p in SERVERS["MAIL_USERS"].split())
    return pairs[user]


def wine_unix_name(name):
    """The Unix name of a file that the program under Wine opens by these bytes: the
    black-box runs give Wine code page 1252 (every byte a character, the five bytes that
    1252 leaves undefined as the control characters of their value), and Wine keeps Unix
    names in UTF-8."""
    def character(byte):
        try:
            return bytes([byte]).decode("cp1252")
        except UnicodeDecodeError:
            return chr(byte)
    return "".join(character(b) for b in name).encode("utf-8")


class MailServerTest(ProgramTest):
    """A program run in a fresh directory with its own vorna.ini and a private TMP."""

    def setUp(self):
        super().setUp()
        self.tag = "t" + uuid.uuid4().hex[:12]
        self.sender = "%s <%s>" % (self.tag, address("alice"))

    # ------------------------------------------------------------ settings through the menu
    def configure(self, auth=0, smtp_user="alice", smtp_pass=None, pop=None, smtp_ssl=0,
                  smtp_port=None, pop3_ssl=0, pop3_port=None, ca_file=None, smtp_command=None):
        """Stores the settings with the program's own menu: main menu item 2, the items of the
        authentication settings menu, then 12 and y. pop is (user, password, apop) or None.
        With TLS on, the test CA is the CA file unless ca_file says otherwise ("" for the
        system's roots)."""
        self.write("vorna.ini", b"")  # the menu saves to a vorna.ini found in the cwd
        smtp_port = smtp_port or SERVERS["SMTP_PORT"]
        answers = ["2", "15", str(smtp_ssl), "14", str(pop3_ssl), "11", smtp_port]
        if ca_file is None and (smtp_ssl or pop3_ssl):
            ca_file = SERVERS["TLS_CA_FILE"]
        if ca_file is not None:
            answers += ["17", ca_file]
        if auth and smtp_command:
            # The password or token comes from the command (item 18), not from item 10.
            answers += ["8", "y", str(auth), "9", smtp_user, "18", smtp_command]
        elif auth:
            answers += ["8", "y", str(auth), "9", smtp_user,
                        "10", smtp_pass if smtp_pass is not None else password(smtp_user)]
        else:
            answers += ["8", "n"]
        if pop:
            user, pop_pass, apop = pop
            answers += ["1", "y", "y" if apop else "n", "2", "127.0.0.1", "3", user,
                        "4", pop_pass, "5", pop3_port or SERVERS["POP3_PORT"], "6", "100", "7", "15"]
        answers += ["12", "y"]
        r = self.vorna(stdin=("\n".join(answers) + "\n").encode("ascii"), timeout=30)
        self.assertEqual(r.status, 0, r)
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            ini = f.read()
        self.assertIn(b"SMTP_PORT=" + smtp_port.encode(), ini, ini)
        self.assertIn(b"SMTP_SSL=%d" % smtp_ssl, ini, ini)
        self.assertIn(b"POP3_SSL=%d" % pop3_ssl, ini, ini)
        self.assertIn(b"SMTP_AUTH=%d" % auth, ini, ini)
        if auth and not smtp_command:
            self.assertNotIn(b"=" + (smtp_pass or password(smtp_user)).encode(), ini,
                             "a password stored in plain text")
        if pop:
            self.assertIn(b"POP3_USE=1", ini, ini)
            self.assertIn(b"APOP_USE=%d" % (1 if pop[2] else 0), ini, ini)

    # ------------------------------------------------------------ running and reading back
    def send(self, *args, tz="JST-9", host="127.0.0.1"):
        """One delivery run to 127.0.0.1; the work files must be gone afterwards, whatever the
        outcome."""
        r = self.vorna("-h" + host, *args, env=self.env(TZ=tz), timeout=120)
        self.assertEqual(self.work_files(), [], "work files left behind: %r" % (r,))
        return r

    def delivered(self, user, marker=None):
        """The raw bytes of the message for user that holds marker (default: this test's tag),
        waiting for the asynchronous delivery."""
        marker = (marker or self.tag).encode()
        box = os.path.join(SERVERS["MAILDIR_ROOT"], user)
        deadline = time.monotonic() + DELIVERY_WAIT
        while True:
            for path in glob.glob(os.path.join(box, "new", "*")) + \
                    glob.glob(os.path.join(box, "cur", "*")):
                with open(path, "rb") as f:
                    data = f.read()
                if marker in data:
                    return data
            if time.monotonic() > deadline:
                self.fail("no message with %r arrived for %s" % (marker, user))
            time.sleep(0.05)

    @staticmethod
    def parse(data):
        return email.message_from_bytes(data, policy=email.policy.default)

    def program_header(self, data):
        """The header block as the program wrote it (without the fields the servers add)."""
        head = data.split(b"\n\n", 1)[0]
        kept, skip = [], False
        for line in head.split(b"\n"):
            if line[:1] not in (b" ", b"\t"):
                skip = line.split(b":", 1)[0].strip().lower().decode() in SERVER_FIELDS
            if not skip:
                kept.append(line)
        return b"\n".join(kept)

    def assertDateNow(self, msg, hours_east):
        when = email.utils.parsedate_to_datetime(str(msg["Date"]))
        self.assertEqual(when.utcoffset(), timedelta(hours=hours_east), msg["Date"])
        self.assertLess(abs(when - datetime.now(timezone.utc)), timedelta(minutes=10),
                        msg["Date"])

    def dovecot_log(self):
        return server_log("dovecot.log")


def server_log(name):
    with open(os.path.join(SERVERS["MAILSERVERS_DIR"], "log", name), "rb") as f:
        return f.read().decode("utf-8", "replace")


class Delivery(MailServerTest):
    def test_plain_delivery_to_a_local_user(self):
        self.configure()
        r = self.send("-sPlain delivery", "-f" + self.sender, "-TFirst line\\nSecond line",
                      address("bob"))
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        data = self.delivered("bob")
        msg = self.parse(data)
        self.assertEqual(msg["From"], self.sender)
        self.assertEqual(msg["To"], address("bob"))
        self.assertEqual(msg["Subject"], "Plain delivery")
        self.assertEqual(msg["X-Mailer"], "VORNA 3.14")
        self.assertEqual(msg.get_content_type(), "text/plain")
        self.assertEqual(msg.get_content().rstrip("\n"), "First line\nSecond line")
        self.assertDateNow(msg, 9)
        self.assertNotIn(b"Authenticated sender", data)

    def test_relay_to_another_domain_is_refused_without_auth(self):
        self.configure()
        self.write("note.txt", b"attachment that must not outlive the run\n")
        r = self.send("-f" + self.sender, "-anote.txt", "someone@outside.example")
        self.assertOutput(r, 11, ERR_RELAY_DENIED)

    def test_relay_is_accepted_with_each_auth_method(self):
        for auth, name in ((1, "CRAM-MD5"), (2, "PLAIN"), (3, "LOGIN")):
            with self.subTest(name):
                self.tag = "t" + uuid.uuid4().hex[:12]
                self.configure(auth=auth)
                r = self.send("-s" + name, "-f%s <%s>" % (self.tag, address("alice")),
                              "-Trelayed", "someone@outside.example")
                self.assertEqual((r.status, r.stdout), (0, b""), r)
                data = self.delivered("sink")
                self.assertIn(b"X-Original-To: someone@outside.example\n", data)
                self.assertIn(b"(Authenticated sender: alice)", data)
                self.assertEqual(self.parse(data)["Subject"], name)

    def test_wrong_smtp_password_is_refused(self):
        self.write("note.txt", b"x")
        for auth, name in ((1, "CRAM-MD5"), (2, "PLAIN"), (3, "LOGIN")):
            with self.subTest(name):
                self.configure(auth=auth, smtp_pass="not-the-password")
                r = self.send("-f" + self.sender, "-anote.txt", address("bob"))
                self.assertOutput(r, 11, ERR_AUTH_FAILED)


ERR_UNKNOWN_USER = "ERR-0011:メールサーバハンドリングエラー。 \n[server->550] \n"


class Pipelining(MailServerTest):
    """Postfix offers PIPELINING: the envelope goes in one write, and a refused recipient
    among accepted ones ends the run as the step-by-step dialogue does, with nothing
    delivered to anyone."""

    def session_lines(self, since):
        """Postfix's disconnect lines written after the log had `since` characters."""
        deadline = time.monotonic() + DELIVERY_WAIT
        while True:
            lines = re.findall(r"disconnect from \S+ (.*)", server_log("postfix.log")[since:])
            if lines or time.monotonic() > deadline:
                return lines
            time.sleep(0.1)

    def turn_off_pipelining(self):
        path = os.path.join(self.cwd, "vorna.ini")
        with open(path, "rb") as f:
            ini = f.read()
        end = b"\r\n" if b"\r\n" in ini else b"\n"
        self.assertIn(b"[SMTP]" + end, ini)
        self.write("vorna.ini", ini.replace(b"[SMTP]" + end,
                                            b"[SMTP]" + end + b"SMTP_PIPELINING=0" + end))

    def test_envelope_in_one_write(self):
        self.configure()
        since = len(server_log("postfix.log"))
        r = self.send("-d", "-f" + self.sender, "-Tpipelined",
                      address("alice") + "," + address("bob"))
        self.assertEqual(r.status, 0, r)
        # A Windows console ends each printed line with CR LF, so a sent CR LF shows as
        # CR CR LF there.
        trace = r.stdout.decode("latin-1").replace("\r\r\n", "\r\n")
        data = trace.index("Send: DATA")
        self.assertLess(trace.index("Send: MAIL FROM"), data)
        self.assertNotIn("Recv:", trace[trace.index("Send: MAIL FROM"):data])
        ending = "Send: \r\n.\r\nSend: QUIT\r\n"
        self.assertNotIn("Send:", trace[trace.index(ending) + len(ending):])
        for user in ("alice", "bob"):
            self.delivered(user)
        self.assertEqual(self.session_lines(since),
                         ["ehlo=1 mail=1 rcpt=2 data=1 quit=1 commands=6"])
        self.assertNotIn("improper command pipelining", server_log("postfix.log")[since:])

    def test_refused_recipient_among_accepted_ones(self):
        # Pipelined, Postfix has all three RCPTs and DATA (its 354 goes unanswered, so it
        # drops the transaction); step by step it has two RCPTs. Either way: error 11 with
        # the refusal's code, and no message for anyone.
        for pipelined, commands in [(True, "rcpt=2/3 data=0/1 commands=4/6"),
                                    (False, "rcpt=1/2 commands=3/4")]:
            with self.subTest(pipelined=pipelined):
                self.tag = "t" + uuid.uuid4().hex[:12]
                self.configure()
                if not pipelined:
                    self.turn_off_pipelining()
                since = len(server_log("postfix.log"))
                r = self.send("-f%s <%s>" % (self.tag, address("alice")), "-T" + self.tag,
                              address("alice") + "," + address("nobody") + "," + address("bob"))
                self.assertOutput(r, 11, ERR_UNKNOWN_USER)
                self.assertEqual(self.session_lines(since), ["ehlo=1 mail=1 " + commands])
                time.sleep(2)  # the time an accepted message would take to arrive
                for user in ("alice", "bob"):
                    box = os.path.join(SERVERS["MAILDIR_ROOT"], user)
                    for path in glob.glob(os.path.join(box, "*", "*")):
                        with open(path, "rb") as f:
                            self.assertNotIn(self.tag.encode(), f.read(), path)


class PopBeforeSmtp(MailServerTest):
    def test_login_then_delivery(self):
        for apop, method in ((False, "PLAIN"), (True, "APOP")):
            with self.subTest(method):
                self.tag = "t" + uuid.uuid4().hex[:12]
                self.configure(pop=("bob", password("bob"), apop))
                r = self.send("-sPOP " + method, "-f%s <%s>" % (self.tag, address("alice")),
                              "-Tafter POP3", address("carol"))
                self.assertEqual((r.status, r.stdout), (0, b""), r)
                self.assertEqual(self.parse(self.delivered("carol"))["Subject"],
                                 "POP " + method)
                # Dovecot logs each login with its method: USER/PASS shows as PLAIN.
                self.assertRegex(self.dovecot_log(),
                                 r"pop3-login: .*Login: user=<bob>, method=%s," % method)

    def test_wrong_pop3_password_ends_before_smtp(self):
        self.write("note.txt", b"x")
        for apop in (False, True):
            with self.subTest(apop=apop):
                self.configure(pop=("bob", "not-the-password", apop))
                r = self.send("-f" + self.sender, "-anote.txt", address("carol"))
                self.assertOutput(r, 22, ERR_POP3_PASSWORD)


# What Postfix writes into the Received field of a message that came over TLS
# (smtpd_tls_received_header), and what Dovecot's login line says of a login inside TLS.
RECEIVED_OVER_TLS = rb"\(using TLSv1\.[23] with cipher [A-Z0-9_-]+"
LOGIN_OVER_TLS = r", TLS, TLSv1\.[23] with cipher [A-Z0-9_-]+"


def report_negotiated():
    """The TLS versions and ciphers the servers negotiated, for whoever reads the test log."""
    postfix = set(re.findall(r"TLS connection established from [^:]*: (TLSv[0-9.]+ with cipher "
                             r"\S+)", server_log("postfix.log")))
    dovecot = set(re.findall(r"TLS, (TLSv[0-9.]+ with cipher \S+)", server_log("dovecot.log")))
    sys.stderr.write("\nnegotiated: Postfix %s; Dovecot %s\n"
                     % (", ".join(sorted(postfix)) or "-", ", ".join(sorted(dovecot)) or "-"))


class TlsDelivery(MailServerTest):
    """STARTTLS on the submission port (AUTH only inside TLS) and SMTPS."""

    def relay_through(self, mode, port, host="127.0.0.1"):
        for auth, name in ((1, "CRAM-MD5"), (2, "PLAIN"), (3, "LOGIN")):
            with self.subTest(name):
                self.tag = "t" + uuid.uuid4().hex[:12]
                self.configure(auth=auth, smtp_ssl=mode, smtp_port=port)
                r = self.send("-s" + name, "-f%s <%s>" % (self.tag, address("alice")),
                              "-Trelayed over TLS", "someone@outside.example", host=host)
                self.assertEqual((r.status, r.stdout), (0, b""), r)
                data = self.delivered("sink")
                self.assertIn(b"(Authenticated sender: alice)", data)
                self.assertRegex(data, RECEIVED_OVER_TLS)
                msg = self.parse(data)
                self.assertEqual(msg["Subject"], name)
                self.assertEqual(msg.get_content().rstrip("\n"), "relayed over TLS")

    def test_starttls_with_each_auth_method(self):
        self.relay_through(1, SERVERS["SUBMISSION_PORT"])

    def test_smtps_with_each_auth_method_to_a_host_name(self):
        # By name: the certificate's DNS name is checked (and the name goes out as SNI).
        self.relay_through(2, SERVERS["SMTPS_PORT"], host="localhost")

    def test_auth_in_plain_text_is_refused_where_tls_is_required(self):
        for auth in (1, 2, 3):
            with self.subTest(auth=auth):
                self.configure(auth=auth, smtp_port=SERVERS["SUBMISSION_PORT"])
                r = self.send("-f" + self.sender, "-Tnever sent", "someone@outside.example")
                self.assertOutput(r, 11, ERR_STARTTLS_REQUIRED)

    def test_the_system_roots_do_not_trust_the_test_ca(self):
        for mode, port in ((1, SERVERS["SUBMISSION_PORT"]), (2, SERVERS["SMTPS_PORT"])):
            with self.subTest(mode=mode):
                self.configure(auth=2, smtp_ssl=mode, smtp_port=port, ca_file="")
                r = self.send("-f" + self.sender, "-Tnever sent", address("bob"))
                self.assertOutput(r, 24, ERR_TLS)

    def test_a_large_attachment_arrives_intact(self):
        content = os.urandom(3 << 20)
        self.write("big.bin", content)
        self.configure(auth=1, smtp_ssl=1, smtp_port=SERVERS["SUBMISSION_PORT"])
        r = self.send("-f" + self.sender, "-Tsee attachment", "-abig.bin", address("bob"))
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        parts = list(self.parse(self.delivered("bob")).iter_parts())
        self.assertEqual(parts[1].get_payload(decode=True), content)


class BearerDelivery(MailServerTest):
    """XOAUTH2 and OAUTHBEARER over STARTTLS: Dovecot checks the 6 KB token of the user
    "bearer" behind Postfix's SASL; the token comes from the project's helper script (on
    Windows from cmd.exe, which prints the token file)."""

    HELPER = os.path.join(HERE, "token_helper.sh")

    def helper_command(self, token_file):
        if WINDOWS:
            return 'cmd /c type "%s"' % native_path(token_file)
        return "sh %s %s" % (shlex.quote(self.HELPER), shlex.quote(token_file))

    def test_each_mechanism_relays_with_the_helper_token(self):
        for auth, name in ((4, "XOAUTH2"), (5, "OAUTHBEARER")):
            with self.subTest(name):
                self.tag = "t" + uuid.uuid4().hex[:12]
                self.configure(auth=auth, smtp_user="bearer", smtp_ssl=1,
                               smtp_port=SERVERS["SUBMISSION_PORT"],
                               smtp_command=self.helper_command(SERVERS["BEARER_TOKEN_FILE"]))
                r = self.send("-s" + name, "-f%s <%s>" % (self.tag, address("bearer")),
                              "-Trelayed with a bearer token", "someone@outside.example")
                self.assertEqual((r.status, r.stdout), (0, b""), r)
                if not WINDOWS:
                    self.assertIn(b"token_helper: token from", r.stderr)
                data = self.delivered("sink")
                self.assertIn(b"(Authenticated sender: bearer)", data)
                self.assertRegex(data, RECEIVED_OVER_TLS)
                self.assertEqual(self.parse(data)["Subject"], name)

    def test_refused_token_gets_the_servers_error_then_535(self):
        wrong = os.path.join(self.dir, "wrong-token.txt")
        with open(wrong, "w") as f:
            f.write("not-the-token\n")
        with open(SERVERS["BEARER_TOKEN_FILE"]) as f:
            token = f.read().strip()
        for auth in (4, 5):
            with self.subTest(auth=auth):
                self.configure(auth=auth, smtp_user="bearer", smtp_ssl=1,
                               smtp_port=SERVERS["SUBMISSION_PORT"],
                               smtp_command=self.helper_command(wrong))
                r = self.send("-d", "-f" + self.sender, "-Tnever sent", address("bob"))
                self.assertEqual(r.status, 11, r)
                out = r.stdout.replace(b"\r\n", b"\n")  # the Windows console's line ends
                self.assertTrue(out.endswith(ERR_AUTH_FAILED.encode("cp932")), r.stdout)
                # Dovecot's error: Google's form for XOAUTH2, RFC 7628's for OAUTHBEARER.
                self.assertIn(b"[bearer error : status=401 scope=mail]\n" if auth == 4
                              else b"[bearer error : status=invalid_token scope=]\n", out)
                self.assertRegex(out, rb"Send: \r*\n" if auth == 4 else rb"Send: AQ==\r*\n")
                self.assertNotIn(b"MAIL FROM", r.stdout)
                self.assertNotIn(b"not-the-token", r.stdout)
                self.assertNotIn(token[:40].encode(), r.stdout)


class OAuthSignIn(MailServerTest):
    """The program's own OAuth 2.0 sign-in (menu item 20, device code) against the mock
    authorization server that mailservers.sh starts; Dovecot asks the same mock whether the
    access token is active (RFC 7662) before Postfix relays, over STARTTLS."""

    CLIENT = "vorna-integration"

    def setUp(self):
        super().setUp()
        if "MOCK_AS_PORT" not in SERVERS:
            self.skipTest("the servers run without the mock authorization server")
        self.mock = "http://127.0.0.1:%s" % SERVERS["MOCK_AS_PORT"]
        control(self.mock, "reset")

    def sign_in(self, auth, ttl=3600):
        """Settings through the menu, then item 20; the mock approves at the first poll."""
        token_file = os.path.join(self.cwd, "vorna.tok")
        if os.path.exists(token_file):
            os.remove(token_file)
        self.configure(auth=auth, smtp_user="alice", smtp_ssl=1,
                       smtp_port=SERVERS["SUBMISSION_PORT"], smtp_pass="unused")
        with open(os.path.join(self.cwd, "vorna.ini"), "ab") as f:
            f.write(("[OAUTH]\nOAUTH_PROVIDER=3\nOAUTH_CLIENT_ID=%s\n"
                     "OAUTH_DEVICE_URL=%s/devicecode\nOAUTH_TOKEN_URL=%s/token\n"
                     % (self.CLIENT, self.mock, self.mock)).encode())
        control(self.mock, "settings", ttl=ttl)
        control(self.mock, "script", client_id=self.CLIENT, device=["success"])
        r = self.vorna(stdin=b"2\n20\n3\n\n\n1\n12\ny\n", timeout=60)
        self.assertEqual(r.status, 0, r.stdout[-400:])
        self.assertIn(sjis("サインインしました。"), r.stdout, r.stdout[-400:])
        self.assertTrue(os.path.exists(token_file))

    def token_requests(self, grant):
        return [e for e in control(self.mock, "log")["log"]
                if e["path"] == "/token" and e["form"].get("grant_type") == grant]

    def relay(self, subject):
        self.tag = "t" + uuid.uuid4().hex[:12]
        return self.send("-s" + subject, "-f%s <%s>" % (self.tag, address("alice")),
                         "-Trelayed with a signed-in token", "someone@outside.example")

    def assertRelayed(self, r, subject):
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        data = self.delivered("sink")
        self.assertIn(b"(Authenticated sender: alice)", data)
        self.assertRegex(data, RECEIVED_OVER_TLS)
        self.assertEqual(self.parse(data)["Subject"], subject)

    def test_each_mechanism_relays_with_the_stored_token(self):
        for auth, name in ((4, "XOAUTH2"), (5, "OAUTHBEARER")):
            with self.subTest(name):
                self.sign_in(auth)
                self.assertRelayed(self.relay(name), name)
                self.assertEqual(self.token_requests("refresh_token"), [])
        self.assertRegex(server_log("postfix.log"),
                         r"sasl_method=OAUTHBEARER, sasl_username=alice")
        self.assertRegex(server_log("postfix.log"), r"sasl_method=XOAUTH2, sasl_username=alice")

    def test_an_expiring_token_is_refreshed_then_relayed(self):
        self.sign_in(4, ttl=120)
        control(self.mock, "settings", ttl=3600)
        self.assertRelayed(self.relay("refreshed"), "refreshed")
        self.assertEqual(len(self.token_requests("refresh_token")), 1)
        # The refreshed token was stored: the next run needs no request.
        self.assertRelayed(self.relay("stored again"), "stored again")
        self.assertEqual(len(self.token_requests("refresh_token")), 1)

    def test_a_revoked_token_is_refused_by_the_server(self):
        self.sign_in(4)
        control(self.mock, "revoke", sub="alice")
        r = self.send("-f" + self.sender, "-Tnever sent", "someone@outside.example")
        self.assertEqual(r.status, 11, r)
        self.assertTrue(r.stdout.replace(b"\r\n", b"\n").endswith(
            ERR_AUTH_FAILED.encode("cp932")), r)
        self.assertEqual(self.token_requests("refresh_token"), [])
        self.assertIn("Provided token is not valid", self.dovecot_log())


class TlsPopBeforeSmtp(MailServerTest):
    """POP before SMTP over STLS and POP3S, then the message over STARTTLS."""

    def test_login_over_tls_then_delivery(self):
        for pop3_ssl, port_name in ((1, "POP3_PORT"), (2, "POP3S_PORT")):
            for apop, method in ((False, "PLAIN"), (True, "APOP")):
                with self.subTest(pop3_ssl=pop3_ssl, method=method):
                    self.tag = "t" + uuid.uuid4().hex[:12]
                    self.configure(pop=("bob", password("bob"), apop), pop3_ssl=pop3_ssl,
                                   pop3_port=SERVERS[port_name], smtp_ssl=1,
                                   smtp_port=SERVERS["SUBMISSION_PORT"])
                    logged = len(self.dovecot_log())
                    r = self.send("-sPOP %s %d" % (method, pop3_ssl),
                                  "-f%s <%s>" % (self.tag, address("alice")),
                                  "-Tafter POP3 over TLS", address("carol"))
                    self.assertEqual((r.status, r.stdout), (0, b""), r)
                    data = self.delivered("carol")
                    self.assertRegex(data, RECEIVED_OVER_TLS)
                    self.assertEqual(self.parse(data)["Subject"], "POP %s %d" % (method, pop3_ssl))
                    self.assertRegex(self.dovecot_log()[logged:],
                                     r"pop3-login: .*Login: user=<bob>, method=%s,.*%s"
                                     % (method, LOGIN_OVER_TLS))

    def test_wrong_password_over_tls_ends_before_smtp(self):
        for pop3_ssl, port_name in ((1, "POP3_PORT"), (2, "POP3S_PORT")):
            with self.subTest(pop3_ssl=pop3_ssl):
                self.configure(pop=("bob", "not-the-password", True), pop3_ssl=pop3_ssl,
                               pop3_port=SERVERS[port_name])
                r = self.send("-f" + self.sender, "-Tnever sent", address("carol"))
                self.assertOutput(r, 22, ERR_POP3_PASSWORD)


# Texts of the Japanese message. No half-width katakana and no characters outside JIS X 0208,
# so that Python's ISO-2022-JP decoder can read the result.
SUBJECT = "日本語の件名：配送テスト"
BODY_LINES = [
    "拝啓　お世話になっております。",
    "",
    "添付ファイルを五つお送りします。ASCII mixed in: 123 abc.",
    ".ピリオドで始まる行",
    ".",
    "以上、よろしくお願いいたします。",
]
T_BODY = "一行目です\\n二行目：ＡＢＣ漢字\\n三行目"


class JapaneseMessage(MailServerTest):
    def test_file_body_cc_bcc_priority_and_attachments(self):
        self.configure()
        body = "\r\n".join(BODY_LINES) + "\r\n"
        self.write("body.txt", body)
        attachments = [
            ("報告書　第１版.txt".encode("cp932"), "本文ファイルとは別のテキスト\r\n".encode("cp932")),
            (b"empty.bin", b""),
            (b"57.bin", bytes(range(57))),
            (b"58.bin", bytes(range(200, 256)) + b"\x00\x01"),
            (b"random.bin", os.urandom(1 << 20)),
        ]
        for name, content in attachments:
            on_disk = wine_unix_name(name) if WINDOWS else name
            with open(os.path.join(os.fsencode(self.cwd), on_disk), "wb") as f:
                f.write(content)
        recipients = "%s,CC:%s,BCC:%s" % (address("alice"), address("bob"), address("carol"))
        r = self.send(b"-s" + sjis(SUBJECT), "-f" + self.sender, "-Fbody.txt", "-p2",
                      b"-a" + b",".join(name for name, _ in attachments), recipients)
        self.assertEqual((r.status, r.stdout), (0, b""), r)

        for user in ("alice", "bob", "carol"):
            with self.subTest(user=user):
                data = self.delivered(user)
                self.assertTrue(all(b < 0x80 for b in data), "8-bit bytes in the message")
                self.assertNotIn(b"carol", self.program_header(data).lower())
                msg = self.parse(data)
                self.assertEqual(msg["Subject"], SUBJECT)
                self.assertEqual(msg["To"], address("alice"))
                self.assertEqual(msg["Cc"], address("bob"))
                self.assertEqual((msg["Importance"], msg["X-Priority"]), ("high", "2"))
                self.assertDateNow(msg, 9)
                self.assertEqual(msg.get_content_type(), "multipart/mixed")
                parts = list(msg.iter_parts())
                text = parts[0]
                self.assertEqual((text.get_content_type(), text.get_content_charset()),
                                 ("text/plain", "iso-2022-jp"))
                self.assertEqual(text.get_content().rstrip("\n"), "\n".join(BODY_LINES))
                got = [(p.get_filename(), hashlib.sha256(p.get_payload(decode=True)).hexdigest())
                       for p in parts[1:]]
                want = [(name.decode("cp932"), hashlib.sha256(content).hexdigest())
                        for name, content in attachments]
                self.assertEqual(got, want)

    def test_inline_body_with_japanese_subject(self):
        self.configure()
        r = self.send(b"-s" + sjis(SUBJECT), "-f" + self.sender, b"-T" + sjis(T_BODY),
                      address("bob"), tz="EST5")
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        data = self.delivered("bob")
        self.assertTrue(all(b < 0x80 for b in data), "8-bit bytes in the message")
        msg = self.parse(data)
        self.assertEqual(msg["Subject"], SUBJECT)
        self.assertEqual(msg.get_content_charset(), "iso-2022-jp")
        self.assertEqual(msg.get_content().rstrip("\n"), T_BODY.replace("\\n", "\n"))
        self.assertDateNow(msg, -5)


if __name__ == "__main__":
    unittest.main()
