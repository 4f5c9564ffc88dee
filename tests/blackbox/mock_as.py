#!/usr/bin/env python3
"""A mock OAuth 2.0 authorization server on loopback for the tests (standard library only).

It runs in a test's own process (MockAuthServer, started by oauth_support.py) or as a
process of its own for shell scripts and the mail-server stage:

    mock_as.py --port-file F [--tls CHAIN,KEY] [--hs-key K] [--issuer I] [--ttl S]

The port file gets "HTTP=port" and, with --tls, "HTTPS=port" (both on 127.0.0.1); the same
line goes to standard output. The process ends on SIGTERM or SIGINT.

Endpoints (the same on both listeners):
  POST /devicecode     device authorization (RFC 8628): device_code, user_code,
                       verification_uri, expires_in, interval, message
  POST /token          form only. Grants: device_code, refresh_token (rotated: the old one
                       then gets invalid_grant), authorization_code (redirect_uri, client_id,
                       PKCE S256 verifier checked)
  GET  /authorize      checks response_type, client_id, redirect_uri (loopback http),
                       state, code_challenge + method S256; 302 to redirect_uri with code and
                       state (or error=access_denied and state)
  POST|GET /introspect RFC 7662 for Dovecot: token as form field, query or Bearer header
  GET  /device         a page, so that verification_uri leads somewhere

Control (JSON in, JSON out; POST unless said; never logged):
  /control/script      {"client_id": C or "*", "device": [...], "refresh": [...],
                        "authorize": [...], "device_authorization": [...]}
                       or {"device_code" | "user_code": X, "device": [...]}
                       appends outcomes to the queues of that client (or one device code)
  /control/approve     {"user_code": U (default: the newest), "outcome": "success"}
                       the person's answer; polls after it get that outcome
  /control/settings    {"ttl": s, "interval": s, "expires_in": s, "keep_old_refresh": bool,
                        "require_secret": {client: secret}, "expires_in_as_string": bool,
                        "verification_field": "verification_uri" | "verification_url",
                        "token_pad": n (about 1.3 n more characters in each access token),
                        "error_description": text of every OAuth error reply,
                        "clients": [client IDs] (else any): /authorize refuses others
                        with 400, without a redirect}
  /control/revoke      {"sub": S} or {"token": access or refresh token}: access tokens
                       become inactive at /introspect, refresh tokens get invalid_grant
  /control/mint        {"sub", "client_id", "ttl", "scope"} -> {"access_token": ...}
  GET /control/log     every logged request so far; /control/reset forgets log and queues
  GET /control/state   device codes, user codes, live refresh tokens, issued tokens

Outcomes of a queue (the first queued one is taken per request; an empty queue means the
normal behaviour: device polls pending until approved, refresh succeeds):
  success, pending (authorization_pending), slow_down, expired_token, access_denied,
  authorization_declined, bad_verification_code, invalid_grant, invalid_client,
  unauthorized_client, interaction_required, invalid_scope, no_refresh (success without a
  refresh token; a refresh then leaves the old one valid), no_rotation (success, the
  same refresh token sent again),
  http500, http429, http502html, notjson, badjson (JSON without access_token),
  wrongtype (expires_in an object), huge (a 2 MiB reply), redirect (302 to /stolen),
  close (connection closed, no reply),
  silence:SECONDS (answers nothing that long, then closes), slow:SECONDS (then success),
  deny (authorize: error=access_denied); any other word is answered as an OAuth error of
  that name (authorize: a redirect with error=WORD).

Access tokens are HS256 JWTs (kid "k1", key --hs-key) with iss, sub, aud, azp, iat, nbf,
exp, scope, jti. Refresh tokens, device codes and codes are random strings with a prefix.
"""
import argparse
import base64
import hashlib
import hmac
import json
import os
import secrets
import signal
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlencode, urlsplit

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
HS_KEY = "vorna-mock-hs256-key-0123456789abcdef"
ISSUER = "http://127.0.0.1/mock"
MAX_BODY = 1 << 20

# The error reply of each refusal: HTTP status and description (Microsoft's shape).
_ERRORS = {
    "pending": ("authorization_pending", 400, "AADSTS70016: the user has not finished yet"),
    "authorization_pending": ("authorization_pending", 400,
                              "AADSTS70016: the user has not finished yet"),
    "slow_down": ("slow_down", 400, "polling too fast"),
    "expired_token": ("expired_token", 400, "AADSTS70020: the device code has expired"),
    "access_denied": ("access_denied", 400, "the user refused"),
    "authorization_declined": ("authorization_declined", 400, "AADSTS70000: the user declined"),
    "bad_verification_code": ("bad_verification_code", 400, "AADSTS70019: unknown device code"),
    "invalid_grant": ("invalid_grant", 400,
                      "AADSTS70008: the refresh token has expired due to inactivity"),
    "invalid_client": ("invalid_client", 401,
                       "AADSTS7000218: the request body must contain client_assertion or "
                       "client_secret"),
    "unauthorized_client": ("unauthorized_client", 400,
                            "AADSTS700016: application not found in the directory"),
    "interaction_required": ("interaction_required", 400,
                             "AADSTS50076: multi-factor authentication required"),
    "invalid_scope": ("invalid_scope", 400, "AADSTS70011: the scope is not valid"),
    "invalid_request": ("invalid_request", 400, "the request is malformed"),
    "unsupported_grant_type": ("unsupported_grant_type", 400, "grant type not supported"),
}


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def pkce_challenge(verifier):
    """The S256 code challenge of a verifier (RFC 7636 section 4.2)."""
    return b64url(hashlib.sha256(verifier.encode("ascii")).digest())


def _unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def jwt_claims(token):
    """The claims of a JWT without checking it (for tests), or None."""
    try:
        return json.loads(_unb64url(token.split(".")[1]))
    except (ValueError, IndexError):
        return None


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30          # no connection holds a thread forever
    server_version = "mock-as/1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.server.mock._handle(self, "GET")

    def do_POST(self):
        self.server.mock._handle(self, "POST")


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, mock, name, context):
        self.mock = mock
        self.name = name
        self.context = context
        super().__init__(("127.0.0.1", 0), _Handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's own thread, so that a client that stalls
        # in it or refuses the certificate holds up nobody else.
        if self.context is None:
            return super().finish_request(request, client_address)
        request.settimeout(10)
        try:
            wrapped = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.mock._record({"listener": self.name, "tls_error": str(e)})
            return
        try:
            super().finish_request(wrapped, client_address)
        finally:
            wrapped.close()

    def handle_error(self, request, client_address):
        pass  # a client that went away is no failure of the mock


class _Delay(Exception):
    """Waits outside the lock, then sends the reply, or with none closes the connection."""

    def __init__(self, seconds, reply=None):
        super().__init__(seconds)
        self.seconds = seconds
        self.reply = reply


class MockAuthServer:
    """The mock on 127.0.0.1: an http listener and, with a TLS server context, an https
    one. Use as a context manager or call start() and stop()."""

    def __init__(self, tls_context=None, hs_key=HS_KEY, issuer=ISSUER, ttl=3600):
        self.tls_context = tls_context
        self.hs_key = hs_key.encode() if isinstance(hs_key, str) else hs_key
        self.issuer = issuer
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.servers = []
        self.http_port = self.https_port = None
        self.defaults = {"ttl": ttl, "interval": 1, "expires_in": 900, "keep_old_refresh": False,
                         "require_secret": {}, "expires_in_as_string": False,
                         "verification_field": "verification_uri", "token_pad": 0,
                         "error_description": None, "clients": None}
        self.reset()

    # ------------------------------------------------------------------ life

    def start(self):
        self.stopping.clear()
        for name, context in (("http", None), ("https", self.tls_context)):
            if name == "https" and context is None:
                continue
            server = _Server(self, name, context)
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                             daemon=True).start()
            self.servers.append(server)
            setattr(self, name + "_port", server.server_address[1])
        return self

    def stop(self):
        self.stopping.set()
        for server in self.servers:
            server.shutdown()
            server.server_close()
        self.servers = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def base(self, tls=False, host="127.0.0.1"):
        """The base URL of one listener (https names localhost, the certificate's name,
        which every TLS stack matches; IP addresses fail under Wine)."""
        if tls:
            return "https://%s:%d" % ("localhost" if host == "127.0.0.1" else host,
                                      self.https_port)
        return "http://%s:%d" % (host, self.http_port)

    def url(self, path, tls=False, host="127.0.0.1"):
        return self.base(tls, host) + path

    # ----------------------------------------------------------- control

    def reset(self):
        with self.lock:
            self.settings = json.loads(json.dumps(self.defaults))
            self.log = []
            self.devices = {}        # device_code -> state
            self.refresh = {}        # refresh token -> grant
            self.codes = {}          # authorization code -> request
            self.queues = {}         # (kind, client_id) -> [outcome, ...]
            self.revoked_jti = set()
            self.revoked_sub = set()
            self.issued = []         # every token reply with tokens, in order

    def configure(self, **settings):
        with self.lock:
            for key, value in settings.items():
                if key not in self.defaults:
                    raise KeyError("unknown setting %r" % key)
                self.settings[key] = value

    def script(self, client_id="*", device_code=None, user_code=None, **queues):
        """Appends outcomes to queues: device, refresh, authorize, device_authorization;
        per client ID ("*": any client without its own), or for one device code."""
        with self.lock:
            if user_code is not None:
                device_code = self._by_user_code(user_code)
            for kind, outcomes in queues.items():
                if kind not in ("device", "refresh", "authorize", "device_authorization"):
                    raise KeyError("unknown queue %r" % kind)
                if device_code is not None:
                    self.devices[device_code]["queue"].extend(outcomes)
                else:
                    self.queues.setdefault((kind, client_id), []).extend(outcomes)

    def approve(self, user_code=None, outcome="success"):
        """The person's answer at the verification page."""
        with self.lock:
            self.devices[self._by_user_code(user_code)]["decision"] = outcome

    def revoke(self, sub=None, token=None):
        with self.lock:
            if sub is not None:
                self.revoked_sub.add(sub)
                for rt in [rt for rt, g in self.refresh.items() if g["sub"] == sub]:
                    del self.refresh[rt]
            if token is not None:
                self.refresh.pop(token, None)
                claims = jwt_claims(token)
                if claims and "jti" in claims:
                    self.revoked_jti.add(claims["jti"])

    def mint(self, sub="alice", client_id="vorna-test", ttl=None, scope="mail"):
        return self._jwt(sub, client_id, self.settings["ttl"] if ttl is None else ttl, scope)

    def requests(self, path=None, grant_type=None):
        """The logged requests (dicts), optionally of one path and grant type."""
        with self.lock:
            entries = list(self.log)
        return [e for e in entries if "path" in e
                and (path is None or e["path"] == path)
                and (grant_type is None or e["form"].get("grant_type") == grant_type)]

    def state(self):
        with self.lock:
            return {"devices": {dc: {k: v for k, v in d.items() if k != "queue"}
                                for dc, d in self.devices.items()},
                    "refresh_tokens": sorted(self.refresh),
                    "issued": list(self.issued),
                    "revoked_subjects": sorted(self.revoked_sub)}

    def newest_user_code(self):
        with self.lock:
            return self.devices[self._by_user_code(None)]["user_code"]

    # --------------------------------------------------------- internals

    def _by_user_code(self, user_code):
        found = [dc for dc, d in sorted(self.devices.items(), key=lambda i: i[1]["created"])
                 if user_code is None or d["user_code"] == user_code]
        if not found:
            raise KeyError("no device authorization for user code %r" % user_code)
        return found[-1]

    def _take(self, kind, client_id):
        for key in ((kind, client_id), (kind, "*")):
            queue = self.queues.get(key)
            if queue:
                return queue.pop(0)
        return None

    def _record(self, entry):
        entry.setdefault("time", time.time())
        with self.lock:
            self.log.append(entry)

    def _jwt(self, sub, client_id, ttl, scope):
        now = int(time.time())
        head = {"alg": "HS256", "typ": "JWT", "kid": "k1"}
        body = {"iss": self.issuer, "sub": sub, "aud": client_id, "azp": client_id,
                "iat": now, "nbf": now - 5, "exp": now + int(ttl), "scope": scope,
                "jti": secrets.token_hex(8)}
        if self.settings["token_pad"]:  # long tokens, as some providers issue
            body["pad"] = secrets.token_urlsafe(self.settings["token_pad"])
        signing = (b64url(json.dumps(head, separators=(",", ":")).encode()) + "." +
                   b64url(json.dumps(body, separators=(",", ":")).encode()))
        signature = hmac.new(self.hs_key, signing.encode(), hashlib.sha256).digest()
        return signing + "." + b64url(signature)

    def check_access_token(self, token):
        """The claims of a valid, unrevoked access token, else None."""
        try:
            signing, signature = token.rsplit(".", 1)
            good = b64url(hmac.new(self.hs_key, signing.encode(), hashlib.sha256).digest())
            if not hmac.compare_digest(signature, good):
                return None
            claims = jwt_claims(token)
        except (ValueError, AttributeError):
            return None
        if not claims or claims.get("exp", 0) <= time.time():
            return None
        if claims.get("jti") in self.revoked_jti or claims.get("sub") in self.revoked_sub:
            return None
        return claims

    def _error(self, outcome):
        code, status, text = _ERRORS.get(outcome, (outcome, 400, "refused by the test"))
        text = self.settings["error_description"] or text
        return status, {"error": code, "error_description": text, "error_codes": [70000],
                        "trace_id": secrets.token_hex(8)}

    def _tokens(self, grant, refresh=True, old=None):
        """A token reply for a grant (sub, client_id, scope); stores the refresh token."""
        s = self.settings
        reply = {"token_type": "Bearer", "scope": grant["scope"] or "mail",
                 "expires_in": str(s["ttl"]) if s["expires_in_as_string"] else s["ttl"],
                 "ext_expires_in": s["ttl"],
                 "access_token": self._jwt(grant["sub"], grant["client_id"], s["ttl"],
                                           grant["scope"] or "mail")}
        if refresh == "same" and old:
            reply["refresh_token"] = old
        elif refresh:
            rt = "rt-" + secrets.token_urlsafe(32)
            self.refresh[rt] = dict(grant)
            reply["refresh_token"] = rt
        self.issued.append(dict(reply, client_id=grant["client_id"]))
        return 200, reply

    def _fault(self, outcome):
        """The reply of an outcome that is a fault of the server or the network, or None."""
        if outcome == "http500":
            return 500, {"error": "server_error", "error_description": "internal error"}
        if outcome == "http429":
            return 429, {"error": "temporarily_unavailable", "error_description": "slow down"}
        if outcome == "http502html":
            return 502, b"<html><body><h1>502 Bad Gateway</h1></body></html>"
        if outcome == "notjson":
            return 200, b"access_token=nope; this is not JSON"
        if outcome == "badjson":
            return 200, {"token_type": "Bearer", "expires_in": 3600}
        if outcome == "wrongtype":
            return 200, {"token_type": "Bearer", "expires_in": {"s": 1}, "access_token": 17}
        if outcome == "huge":
            return 200, b'{"access_token":"' + b"x" * (2 << 20) + b'","expires_in":3600}'
        if outcome == "redirect":
            # Elsewhere on the same server: a client that follows it shows at /stolen.
            return 302, {}, "/stolen"
        if outcome == "close":
            raise _Delay(0)
        if outcome.startswith("silence:"):
            raise _Delay(float(outcome.split(":", 1)[1]))
        return None

    def _check_secret(self, form):
        wanted = self.settings["require_secret"].get(form.get("client_id", ""))
        return wanted is None or form.get("client_secret") == wanted

    def _device_authorization(self, form, page_url):
        client = form.get("client_id", "")
        if not client:
            return self._error("invalid_request")
        outcome = self._take("device_authorization", client)
        if outcome:
            return self._fault(outcome) or self._error(outcome)
        dc = "dc-" + secrets.token_urlsafe(24)
        letters = "BCDFGHJKLMNPQRSTVWXZ"
        uc = "".join(secrets.choice(letters) for _ in range(4)) + "-" + \
             "".join(secrets.choice(letters) for _ in range(4))
        s = self.settings
        self.devices[dc] = {"client_id": client, "scope": form.get("scope", ""),
                            "user_code": uc, "created": time.time(),
                            "until": time.time() + s["expires_in"], "polls": [],
                            "decision": None, "queue": []}
        page = page_url + "/device"
        return 200, {"device_code": dc, "user_code": uc, s["verification_field"]: page,
                     "expires_in": s["expires_in"], "interval": s["interval"],
                     "message": "To sign in, use a web browser to open the page %s and enter "
                                "the code %s to authenticate." % (page, uc)}

    def _device_grant(self, form):
        dc = form.get("device_code", "")
        d = self.devices.get(dc)
        if d is None:
            return self._error("bad_verification_code")
        if form.get("client_id") != d["client_id"]:
            return self._error("invalid_client")
        d["polls"].append(time.time())
        if time.time() > d["until"]:
            return self._error("expired_token")
        outcome = (d["queue"].pop(0) if d["queue"] else None) or \
            self._take("device", d["client_id"]) or d["decision"] or "pending"
        fault = self._fault(outcome)
        if fault:
            return fault
        delay = 0
        if outcome.startswith("slow:"):
            delay, outcome = float(outcome.split(":", 1)[1]), "success"
        if outcome not in ("success", "no_refresh"):
            return self._error(outcome)
        del self.devices[dc]
        reply = self._tokens({"sub": "alice", "client_id": d["client_id"],
                              "scope": d["scope"]}, refresh=outcome == "success")
        if delay:
            raise _Delay(delay, reply)
        return reply

    def _refresh_grant(self, form):
        rt = form.get("refresh_token", "")
        grant = self.refresh.get(rt)
        if grant is None:
            return self._error("invalid_grant")
        if form.get("client_id") != grant["client_id"]:
            return self._error("invalid_grant")
        outcome = self._take("refresh", grant["client_id"]) or "success"
        fault = self._fault(outcome)
        if fault:
            return fault
        delay = 0
        if outcome.startswith("slow:"):
            delay, outcome = float(outcome.split(":", 1)[1]), "success"
        if outcome not in ("success", "no_rotation", "no_refresh"):
            return self._error(outcome)
        if outcome == "no_rotation":
            return self._tokens(grant, refresh="same", old=rt)
        if not self.settings["keep_old_refresh"] and outcome == "success":
            self.refresh.pop(rt, None)
        reply = self._tokens(grant, refresh=outcome == "success")
        if delay:
            raise _Delay(delay, reply)
        return reply

    def _code_grant(self, form):
        c = self.codes.pop(form.get("code", ""), None)
        if c is None or time.time() > c["until"]:
            return self._error("invalid_grant")
        if form.get("client_id") != c["client_id"] or form.get("redirect_uri") != c["redirect_uri"]:
            return self._error("invalid_grant")
        verifier = form.get("code_verifier", "")
        if not 43 <= len(verifier) <= 128 or pkce_challenge(verifier) != c["challenge"]:
            return 400, {"error": "invalid_grant",
                         "error_description": "AADSTS501481: the code verifier does not match"}
        return self._tokens({"sub": "alice", "client_id": c["client_id"], "scope": c["scope"]},
                            refresh=not c["no_refresh"])

    def _token(self, form, ctype):
        if not ctype.startswith("application/x-www-form-urlencoded"):
            return self._error("invalid_request")
        if not self._check_secret(form):
            return 401, {"error": "invalid_client",
                         "error_description": "AADSTS7000215: invalid client secret"}
        grant = form.get("grant_type", "")
        if grant == DEVICE_GRANT:
            return self._device_grant(form)
        if grant == "refresh_token":
            return self._refresh_grant(form)
        if grant == "authorization_code":
            return self._code_grant(form)
        return self._error("unsupported_grant_type")

    def _authorize(self, query):
        """(status, body, location) of an authorization request."""
        bad = lambda why: (400, {"error": "invalid_request", "error_description": why}, None)
        client = query.get("client_id", "")
        redirect = query.get("redirect_uri", "")
        parts = urlsplit(redirect)
        if not client:
            return bad("client_id missing")
        known = self.settings["clients"]
        if known is not None and client not in known:
            return (400, {"error": "unauthorized_client",
                          "error_description": "AADSTS700016: application not found"}, None)
        if parts.scheme != "http" or parts.hostname not in ("localhost", "127.0.0.1", "::1") \
                or parts.query or parts.fragment:
            return bad("redirect_uri is not a loopback http URI")
        if query.get("response_type") != "code":
            return bad("response_type must be code")
        if not query.get("state"):
            return bad("state missing")
        challenge = query.get("code_challenge", "")
        if query.get("code_challenge_method") != "S256" or len(challenge) != 43:
            return bad("PKCE with S256 required")
        outcome = self._take("authorize", client) or "success"
        if outcome not in ("success", "no_refresh"):
            params = {"error": "access_denied" if outcome == "deny" else outcome,
                      "error_description": "the user declined", "state": query["state"]}
        else:
            code = "ac-" + secrets.token_urlsafe(24)
            self.codes[code] = {"client_id": client, "redirect_uri": redirect,
                                "challenge": challenge, "scope": query.get("scope", ""),
                                "until": time.time() + 600, "no_refresh": outcome == "no_refresh"}
            params = {"code": code, "state": query["state"]}
        return 302, {}, redirect + "?" + urlencode(params)

    def _introspect(self, token):
        claims = self.check_access_token(token) if token else None
        if not claims:
            return 200, {"active": False}
        return 200, {"active": True, "sub": claims["sub"], "username": claims["sub"],
                     "email": claims["sub"] + "@example.test", "client_id": claims["azp"],
                     "scope": claims["scope"], "exp": claims["exp"], "iat": claims["iat"],
                     "iss": claims["iss"], "token_type": "Bearer"}

    def _control(self, path, method, data):
        name = path[len("/control/"):]
        if name == "log":
            return 200, {"log": self.requests()}
        if name == "state":
            return 200, self.state()
        if name == "reset":
            self.reset()
            return 200, {}
        if name == "settings":
            self.configure(**data)
            return 200, {}
        if name == "script":
            self.script(**data)
            return 200, {}
        if name == "approve":
            self.approve(data.get("user_code"), data.get("outcome", "success"))
            return 200, {}
        if name == "revoke":
            self.revoke(data.get("sub"), data.get("token"))
            return 200, {}
        if name == "mint":
            return 200, {"access_token": self.mint(**data)}
        return 404, {"error": "not_found"}

    def _handle(self, h, method):
        u = urlsplit(h.path)
        query = {k: v[0] for k, v in parse_qs(u.query, keep_blank_values=True).items()}
        repeated = [k for k, v in parse_qs(u.query, keep_blank_values=True).items() if len(v) > 1]
        length = int(h.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            h.close_connection = True
            return self._send(h, 413, {"error": "too_large"})
        raw = h.rfile.read(length) if length else b""
        ctype = h.headers.get("Content-Type", "")
        form = {}
        if ctype.startswith("application/x-www-form-urlencoded"):
            form = {k: v[0] for k, v in parse_qs(raw.decode("utf-8", "replace"),
                                                  keep_blank_values=True).items()}
        if u.path.startswith("/control/"):
            try:
                data = json.loads(raw or b"{}") if method == "POST" else query
                status, body = self._control(u.path, method, data)
            except (KeyError, TypeError, ValueError) as e:
                status, body = 400, {"error": "bad_control", "error_description": str(e)}
            return self._send(h, status, body)
        entry = {"listener": h.server.name, "method": method, "path": u.path, "query": query,
                 "content_type": ctype, "form": form, "body": raw.decode("utf-8", "replace"),
                 "user_agent": h.headers.get("User-Agent", ""),
                 "authorization": h.headers.get("Authorization", ""),
                 "accept": h.headers.get("Accept", ""), "repeated": repeated}
        self._record(entry)
        location = None
        try:
            with self.lock:
                if method == "POST" and u.path == "/devicecode":
                    status, body = self._device_authorization(
                        form, "%s://%s" % (h.server.name, h.headers.get("Host", "127.0.0.1")))
                elif method == "POST" and u.path == "/token":
                    reply = self._token(form, ctype)
                    status, body = reply[:2]
                    location = reply[2] if len(reply) > 2 else None
                elif method == "GET" and u.path == "/authorize":
                    status, body, location = self._authorize(query)
                elif u.path == "/introspect":
                    bearer = h.headers.get("Authorization", "")
                    token = form.get("token") or query.get("token") or \
                        (bearer[7:].strip() if bearer.startswith("Bearer ") else "")
                    status, body = self._introspect(token)
                elif method == "GET" and u.path == "/device":
                    status, body = 200, b"enter the code"
                else:
                    status, body = 404, {"error": "not_found"}
        except _Delay as d:
            self.stopping.wait(d.seconds)
            if d.reply is None:
                entry["status"] = None
                h.close_connection = True
                return
            status, body = d.reply
        entry["status"] = status
        self._send(h, status, body, location)

    def _send(self, h, status, body, location=None):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        try:
            h.send_response(status)
            h.send_header("Content-Type", "text/html" if isinstance(body, bytes) and
                          body.startswith(b"<") else "application/json; charset=utf-8")
            h.send_header("Content-Length", str(len(data)))
            h.send_header("Cache-Control", "no-store")
            if location:
                h.send_header("Location", location)
            h.end_headers()
            h.wfile.write(data)
        except OSError:
            h.close_connection = True


def main():
    p = argparse.ArgumentParser(description="mock OAuth 2.0 authorization server on 127.0.0.1")
    p.add_argument("--port-file", help="where to write HTTP=port and HTTPS=port")
    p.add_argument("--tls", metavar="CHAIN,KEY", help="also listen with TLS (PEM files)")
    p.add_argument("--hs-key", default=HS_KEY, help="HS256 key of the access tokens")
    p.add_argument("--issuer", default=ISSUER)
    p.add_argument("--ttl", type=int, default=3600, help="access token lifetime, seconds")
    a = p.parse_args()
    context = None
    if a.tls:
        chain, key = a.tls.split(",", 1)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(chain, key)
    mock = MockAuthServer(context, hs_key=a.hs_key, issuer=a.issuer, ttl=a.ttl).start()
    lines = "HTTP=%d\n" % mock.http_port
    if context:
        lines += "HTTPS=%d\n" % mock.https_port
    if a.port_file:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(lines)
        os.replace(tmp, a.port_file)
    sys.stdout.write(lines)
    sys.stdout.flush()
    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    while not done.wait(1):
        pass
    mock.stop()


if __name__ == "__main__":
    main()
