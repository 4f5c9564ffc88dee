#!/usr/bin/env bash
# Throw-away mail servers on 127.0.0.1 for VORNA's integration tests (Debian 12):
#   Postfix  SMTP  delivers into Maildirs; AUTH CRAM-MD5, PLAIN and LOGIN through Dovecot's SASL
#                  socket without TLS; relaying to another domain only after AUTH (else 554);
#                  whatever would leave the machine is caught by the local user "sink" instead.
#            SUBMISSION  the same with STARTTLS required before anything else and AUTH offered
#                  only inside TLS (smtpd_tls_auth_only = yes)
#            SMTPS TLS from the first byte, then the same as SUBMISSION
#            AUTH XOAUTH2 and OAUTHBEARER too: Dovecot asks the mock authorization server
#                  (../blackbox/mock_as.py, started here, MOCK_AS_PORT in servers.env) whether
#                  the bearer token is an active access token (RFC 7662 introspection) and
#                  takes its "sub" as the user; failing that it checks the token as a
#                  password, so the user "bearer" has a token-like password (a 6 KB text,
#                  BEARER_TOKEN_FILE in servers.env) that stands for a valid access token
#   Dovecot  POP3  USER/PASS and APOP (its greeting carries the timestamp); STLS offered
#            POP3S TLS from the first byte
# The TLS services use a certificate for localhost and 127.0.0.1 from a private test CA made
# at start (DIR/tls/ca.pem, named in servers.env as TLS_CA_FILE); nothing is added to the
# machine's trust store. Postfix and Dovecot log the negotiated version and cipher.
# Both run from configuration written into a private directory; /etc/postfix and /etc/dovecot
# are not used. The ports are free ones picked at start, never the standard ones.
#
# Usage (as root):
#   mailservers.sh check         exit 0 when the servers can be installed and run here; otherwise
#                                print why on stderr and exit 3
#   mailservers.sh start [DIR]   install what is missing, stop the servers of earlier runs whose
#                                owner has gone, write the configuration under DIR (default: a new
#                                /tmp/vorna-mailservers.XXXXXX), start, wait for both greetings and
#                                print the path of DIR/servers.env (shell KEY=VALUE lines) on stdout
#   mailservers.sh stop DIR      stop what start started under DIR and remove DIR (kept when
#                                VORNA_MAILSERVERS_KEEP=1); idempotent
#
# VORNA_MAILSERVERS_OWNER: the process id that owns the servers (default: the caller). A later
# start stops and removes the servers of an owner that is no longer running, so a run that was
# killed before it could stop them leaves nothing that disturbs the next one.
set -uo pipefail

DOMAIN=example.test
USERS="alice:alicepass bob:bobpass carol:carolpass sink:sinkpass"
BASE=/tmp/vorna-mailservers
PACKAGES=(postfix dovecot-core dovecot-pop3d openssl)
MOCK_AS="$(cd "$(dirname "${BASH_SOURCE[0]}")/../blackbox" && pwd)/mock_as.py"

log() { echo "mailservers: $*" >&2; }
die() { log "ERROR: $*"; exit 1; }

installed() {
  [ -x /usr/sbin/postfix ] && [ -x /usr/sbin/dovecot ] && [ -x /usr/lib/dovecot/pop3 ] &&
    command -v openssl >/dev/null
}

# ------------------------------------------------------------------ check
cmd_check() {
  if [ "$(id -u)" != 0 ]; then
    log "not running as root (the servers switch users and bind as their own accounts)"; return 3
  fi
  installed && return 0
  if ! command -v apt-get >/dev/null || ! command -v apt-cache >/dev/null; then
    log "postfix/dovecot are not installed and there is no apt-get to install them"; return 3
  fi
  local p
  for p in "${PACKAGES[@]}"; do
    if ! offered "$p"; then
      apt-get update -q </dev/null >/dev/null 2>&1 || true
      offered "$p" || { log "no Debian package source offers $p"; return 3; }
    fi
  done
  return 0
}

offered() {  # PACKAGE: a package source has a version of it
  local policy
  policy=$(apt-cache policy "$1" 2>/dev/null)
  [[ "$policy" =~ Candidate:\ [0-9] ]]
}

# ------------------------------------------------------------------ install
install_packages() {
  installed && return 0
  log "installing ${PACKAGES[*]}"
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  # The packages' init scripts must not start daemons on the standard ports: a policy-rc.d
  # that answers 101 forbids it (Docker-style images already have one).
  local made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
  fi
  local ok=0
  export DEBIAN_FRONTEND=noninteractive
  if apt-get install -y -q --no-install-recommends "${PACKAGES[@]}" </dev/null >&2; then
    ok=1
  elif apt-get update -q </dev/null >&2 &&
       apt-get install -y -q --no-install-recommends "${PACKAGES[@]}" </dev/null >&2; then
    ok=1
  fi
  [ $made_policy = 1 ] && rm -f /usr/sbin/policy-rc.d
  [ $ok = 1 ] && installed || die "could not install ${PACKAGES[*]}"
}

# ------------------------------------------------------------------ stop
cmd_stop() {
  local dir="${1:?stop needs the directory given to start}"
  local pfdir="$dir/postfix/etc" dcconf="$dir/dovecot/dovecot.conf"
  local pfpid="" dcpid=""
  [ -f "$dir/postfix/spool/pid/master.pid" ] && pfpid=$(tr -d ' \n' <"$dir/postfix/spool/pid/master.pid")
  [ -f "$dir/run/dovecot/master.pid" ] && dcpid=$(tr -d ' \n' <"$dir/run/dovecot/master.pid")
  if [ -n "$pfpid" ] && kill -0 "$pfpid" 2>/dev/null; then
    /usr/sbin/postfix -c "$pfdir" stop </dev/null >/dev/null 2>&1 || kill "$pfpid" 2>/dev/null
  fi
  if [ -n "$dcpid" ] && kill -0 "$dcpid" 2>/dev/null; then
    /usr/sbin/dovecot -c "$dcconf" stop </dev/null >/dev/null 2>&1 || kill "$dcpid" 2>/dev/null
  fi
  local mockpid=""
  [ -f "$dir/mock.pid" ] && mockpid=$(tr -d ' \n' <"$dir/mock.pid")
  # Only the mock this start started: its pid file names it and its command line has our path.
  if [ -n "$mockpid" ] && grep -q mock_as.py "/proc/$mockpid/cmdline" 2>/dev/null; then
    kill "$mockpid" 2>/dev/null
  else
    mockpid=""
  fi
  # Both masters take their children down with them; Dovecot needs a few seconds.
  local i pid
  for pid in $pfpid $dcpid $mockpid; do
    for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && { log "process $pid did not stop; killing it"; kill -9 "$pid" 2>/dev/null; }
  done
  if [ "${VORNA_MAILSERVERS_KEEP:-0}" != 1 ]; then rm -rf "$dir"; fi
  return 0
}

# Servers left by earlier runs whose owner is gone (killed before it could stop them). A
# directory without owner.pid has not been started yet (perhaps by a run going on right now).
stop_orphans() {  # DIR-BEING-STARTED
  local d owner
  for d in "$BASE".*; do
    [ -d "$d" ] && [ "$d" != "$1" ] && [ -f "$d/owner.pid" ] || continue
    owner=$(cat "$d/owner.pid" 2>/dev/null)
    if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then continue; fi
    log "stopping servers left behind in $d"
    VORNA_MAILSERVERS_KEEP=0 cmd_stop "$d"
  done
}

# Five distinct free TCP ports on 127.0.0.1.
free_ports() {
  python3 -c '
import socket
socks = []
for _ in range(5):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
'
}

# ------------------------------------------------------------------ start
cmd_start() {
  cmd_check || exit 3
  install_packages

  local dir="${1:-}"
  if [ -z "$dir" ]; then dir=$(mktemp -d "$BASE.XXXXXX") || die "cannot create a work directory"; fi
  mkdir -p "$dir" && chmod 755 "$dir"
  dir=$(cd "$dir" && pwd)
  echo "${VORNA_MAILSERVERS_OWNER:-$PPID}" >"$dir/owner.pid"
  stop_orphans "$dir"

  local ports smtp_port pop3_port submission_port smtps_port pop3s_port token
  ports=$(free_ports) || die "cannot pick free ports"
  read -r smtp_port pop3_port submission_port smtps_port pop3s_port <<<"$ports"
  # The greetings carry a token of this run, so a stranger on the same port is never taken for us.
  token="vt$$x$(date +%s)"

  getent passwd vmail >/dev/null ||
    useradd --system --user-group --home-dir /nonexistent --no-create-home \
            --shell /usr/sbin/nologin vmail || die "cannot create user vmail"
  local vuid vgid
  vuid=$(id -u vmail); vgid=$(id -g vmail)

  local pfdir="$dir/postfix/etc" pfq="$dir/postfix/spool" pfdata="$dir/postfix/data"
  local dcdir="$dir/dovecot" dcrun="$dir/run/dovecot" logs="$dir/log" mail="$dir/mail"
  mkdir -p "$pfdir" "$pfq" "$pfdata" "$dcdir/state" "$dcrun" "$logs" "$mail/$DOMAIN"
  chmod 755 "$dir/postfix" "$pfdir" "$dir/run" "$dcdir" "$logs"
  chown root:root "$pfq"; chmod 755 "$pfq"
  chown postfix:postfix "$pfdata"; chmod 700 "$pfdata"
  chown -R vmail:vmail "$mail"; chmod 755 "$mail" "$mail/$DOMAIN"
  # The delivery agent and Dovecot run as vmail: every parent of the directory must let it pass.
  runuser -u vmail -- test -x "$mail/$DOMAIN" ||
    die "$dir is not reachable by user vmail (a parent directory lacks o+x)"

  : >"$pfdir/vmailbox"
  : >"$dcdir/users"
  local up u p d
  for up in $USERS; do
    u=${up%%:*}; p=${up#*:}
    echo "$u@$DOMAIN $DOMAIN/$u/" >>"$pfdir/vmailbox"   # trailing slash: a Maildir
    echo "$u:{PLAIN}$p::::::" >>"$dcdir/users"          # plain text: APOP and CRAM-MD5 need it
    # The Maildir itself belongs to vmail too, or Dovecot cannot keep its uid list there
    # and shows an empty mailbox without telling the client.
    for d in "" /cur /new /tmp; do install -d -o vmail -g vmail -m 700 "$mail/$DOMAIN/$u$d"; done
  done
  # The bearer user: its password is a token-like text of 6 KB (URL-safe Base64, as access
  # tokens are), which XOAUTH2 and OAUTHBEARER present as the bearer token.
  local bearer_token
  bearer_token=$(head -c 4608 /dev/urandom | base64 -w0 | tr '+/' '-_' | tr -d '=' | head -c 6144)
  printf '%s\n' "$bearer_token" >"$dir/bearer-token.txt"
  chmod 644 "$dir/bearer-token.txt"
  echo "bearer@$DOMAIN $DOMAIN/bearer/" >>"$pfdir/vmailbox"
  echo "bearer:{PLAIN}$bearer_token::::::" >>"$dcdir/users"
  for d in "" /cur /new /tmp; do install -d -o vmail -g vmail -m 700 "$mail/$DOMAIN/bearer$d"; done
  chown root:dovecot "$dcdir/users"; chmod 640 "$dcdir/users"

  local tls="$dir/tls"
  make_certificates "$tls" || die "cannot make the test certificates"

  # The mock authorization server that Dovecot asks about bearer tokens; its log is the
  # tests' record of what came to it. Its control API is on the same port.
  local mock_port
  env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
    python3 "$MOCK_AS" --port-file "$dir/mock.ports" </dev/null >/dev/null 2>>"$logs/mock.log" &
  echo $! >"$dir/mock.pid"
  for i in $(seq 1 100); do [ -s "$dir/mock.ports" ] && break; sleep 0.1; done
  mock_port=$(sed -n 's/^HTTP=//p' "$dir/mock.ports" 2>/dev/null)
  [ -n "$mock_port" ] || { cmd_stop "$dir"; die "the mock authorization server did not start"; }
  cat >"$dcdir/dovecot-oauth2.conf.ext" <<OA
introspection_mode = post
introspection_url = http://127.0.0.1:$mock_port/introspect
username_attribute = sub
active_attribute = active
active_value = true
force_introspection = yes
timeout_msecs = 5000
OA

  cat >"$dcdir/dovecot.conf" <<DC
# Standalone POP3 server for VORNA's integration tests; does not read /etc/dovecot.
base_dir = $dcrun
state_dir = $dcdir/state
instance_name = vorna-test-$token
protocols = pop3
listen = 127.0.0.1
# STLS on the pop3 port, TLS from the start on pop3s. The master (root) reads the files.
ssl = yes
ssl_cert = <$tls/server-chain.pem
ssl_key = <$tls/server.key
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_mechanisms = plain login cram-md5 apop xoauth2 oauthbearer
auth_username_format = %Ln
auth_verbose = yes
# A failed login would otherwise slow every later one (and SMTP AUTH through the same auth
# service) by seconds; the tests fail logins on purpose.
auth_failure_delay = 0
login_greeting = vorna test $token ready.
# The default elements plus %k: the TLS version and cipher of each login.
login_log_format_elements = user=<%u> method=%m rip=%r lip=%l mpid=%e %c %k session=<%{session}>
log_path = $logs/dovecot.log
first_valid_uid = $vuid
last_valid_uid = $vuid
mail_location = maildir:$mail/$DOMAIN/%n

# Bearer tokens: first the authorization server's word (a refusal goes on to the next
# passdb), then the passwords, which also hold the token-like password of "bearer".
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $dcdir/dovecot-oauth2.conf.ext
}
passdb {
  driver = passwd-file
  args = scheme=PLAIN $dcdir/users
}
userdb {
  driver = passwd-file
  args = $dcdir/users
  default_fields = uid=vmail gid=vmail home=$mail/$DOMAIN/%n
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $pop3_port
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $pop3s_port
    ssl = yes
  }
}
# No auth penalty socket (mode 0): without it the auth process adds no delay after failures.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service auth {
  unix_listener auth-postfix {
    mode = 0660
    user = postfix
    group = postfix
  }
}
DC

  cat >"$pfdir/main.cf" <<PF
# SMTP server for VORNA's integration tests, run as "postfix -c $pfdir".
compatibility_level = 3.6
queue_directory = $pfq
data_directory = $pfdata
maillog_file = $logs/postfix.log
maillog_file_prefixes = $logs
myhostname = mail.$DOMAIN
mydomain = $DOMAIN
myorigin = \$mydomain
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no
smtpd_banner = \$myhostname ESMTP $token
smtputf8_enable = no
# Store messages as the client sent them: no Date, Message-ID or From added for local clients.
local_header_rewrite_clients =

virtual_mailbox_domains = $DOMAIN
virtual_mailbox_base = $mail
virtual_mailbox_maps = texthash:$pfdir/vmailbox
virtual_uid_maps = static:$vuid
virtual_gid_maps = static:$vgid
virtual_minimum_uid = 100
# Every address of another domain goes to sink@$DOMAIN (X-Original-To keeps the real one).
virtual_alias_maps = regexp:$pfdir/outside.regexp
# Empty, or the catch-all above would make every domain a virtual alias domain.
virtual_alias_domains =
# And should anything still be routed outward, it is thrown away.
default_transport = discard:never leaves the test server
relay_transport = discard:never leaves the test server

smtpd_sasl_auth_enable = yes
# RFC 4954 has servers take AUTH lines of 12,288 octets; Postfix's default of 2048 would
# cut the initial response that carries a long bearer token (and refuse it as bad Base64).
line_length_limit = 12288
smtpd_sasl_type = dovecot
smtpd_sasl_path = $dcrun/auth-postfix
smtpd_sasl_security_options = noanonymous
smtpd_sasl_authenticated_header = yes
# TLS only on the submission and smtps services (master.cf); the first port stays plain.
smtpd_tls_security_level = none
smtpd_tls_auth_only = no
smtpd_tls_chain_files = $tls/server.key, $tls/server-chain.pem
smtpd_tls_protocols = >=TLSv1.2
smtpd_tls_mandatory_protocols = >=TLSv1.2
# "TLS connection established from ...: TLSv1.3 with cipher ..." for each session, and the
# same in the Received field of each message.
smtpd_tls_loglevel = 1
smtpd_tls_received_header = yes
broken_sasl_auth_clients = no
# Relaying only after AUTH; permit_mynetworks is left out on purpose (127.0.0.1 is in it).
smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination
smtpd_recipient_restrictions =
PF

  cat >"$pfdir/outside.regexp" <<RX
if !/@${DOMAIN//./\\.}\$/
/^(.*)\$/	sink@$DOMAIN
endif
RX

  # Nothing chrooted: the paths live under $dir.
  cat >"$pfdir/master.cf" <<MC
$smtp_port inet  n       -       n       -       -       smtpd
# Submission: STARTTLS before anything else, AUTH only inside TLS.
$submission_port inet n  -       n       -       -       smtpd
  -o smtpd_tls_security_level=encrypt -o smtpd_tls_auth_only=yes
# TLS from the first byte, the 220 greeting inside it.
$smtps_port inet n       -       n       -       -       smtpd
  -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt -o smtpd_tls_auth_only=yes
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
MC

  # The daemons keep the stdio they inherit for their whole life: give them files, never the
  # caller's pipes, or "$(mailservers.sh start)" would wait until they stop.
  /usr/sbin/dovecot -c "$dcdir/dovecot.conf" </dev/null >>"$logs/dovecot.stderr" 2>&1 ||
    { tail -n 5 "$logs/dovecot.stderr" >&2; die "dovecot did not start"; }
  local step
  for step in check start; do
    # postfix reports its fatal errors only to its log file unless stderr is a terminal
    /usr/sbin/postfix -c "$pfdir" "$step" </dev/null >>"$logs/postfix.stderr" 2>&1 ||
      { tail -n 5 "$logs/postfix.log" "$logs/postfix.stderr" >&2 2>/dev/null
        cmd_stop "$dir"; die "postfix $step failed"; }
  done

  local i
  for i in $(seq 1 150); do
    if greets "$smtp_port" "220 mail.$DOMAIN ESMTP $token" &&
       greets "$pop3_port" "+OK vorna test $token ready." &&
       greets "$submission_port" "220 mail.$DOMAIN ESMTP $token" &&
       tls_greets "$smtps_port" "220 mail.$DOMAIN ESMTP $token" "$tls/ca.pem" &&
       tls_greets "$pop3s_port" "+OK vorna test $token ready." "$tls/ca.pem"; then
      cat >"$dir/servers.env" <<ENV
MAILSERVERS_DIR=$dir
SMTP_PORT=$smtp_port
POP3_PORT=$pop3_port
SUBMISSION_PORT=$submission_port
SMTPS_PORT=$smtps_port
POP3S_PORT=$pop3s_port
TLS_CA_FILE=$tls/ca.pem
MAIL_DOMAIN=$DOMAIN
MAILDIR_ROOT=$mail/$DOMAIN
MAIL_USERS="$USERS"
BEARER_TOKEN_FILE=$dir/bearer-token.txt
MOCK_AS_PORT=$mock_port
ENV
      log "up: SMTP 127.0.0.1:$smtp_port (submission $submission_port, smtps $smtps_port)  POP3 127.0.0.1:$pop3_port (pop3s $pop3s_port)  in $dir"
      echo "$dir/servers.env"
      return 0
    fi
    sleep 0.2
  done
  log "the servers did not greet; last log lines:"
  tail -n 20 "$logs/postfix.log" "$logs/dovecot.log" >&2 2>/dev/null
  cmd_stop "$dir"
  exit 1
}

greets() {  # PORT EXPECTED-START-OF-GREETING
  local line
  line=$(timeout 3 bash -c 'exec 3<>/dev/tcp/127.0.0.1/'"$1"' && IFS= read -r l <&3 && echo "$l"' 2>/dev/null)
  [[ "$line" == "$2"* ]]
}

# The greeting of a TLS-from-the-start port, read through a verified TLS session (Python's
# ssl module, the system's OpenSSL).
tls_greets() {  # PORT EXPECTED-START-OF-GREETING CA-FILE
  timeout 5 python3 - "$@" 2>/dev/null <<'PY'
import socket, ssl, sys
port, expected, ca = int(sys.argv[1]), sys.argv[2], sys.argv[3]
context = ssl.create_default_context(cafile=ca)
with socket.create_connection(("127.0.0.1", port), 3) as raw:
    with context.wrap_socket(raw, server_hostname="localhost") as tls:
        line = tls.makefile("rb").readline().decode("ascii", "replace")
sys.exit(0 if line.startswith(expected) else 1)
PY
}

# A private test CA and a server certificate for localhost and 127.0.0.1 signed by it
# (RSA 2048, SHA-256), with the openssl command. The servers send the leaf and the CA; the
# clients are given ca.pem alone.
make_certificates() {  # DIR
  local d="$1"
  mkdir -p "$d" && chmod 755 "$d" || return 1
  (
    set -e
    cd "$d"
    umask 077
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 30 \
      -subj "/O=VORNA tests/CN=VORNA Test Root CA" -keyout ca.key -out ca.pem \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/O=VORNA tests/CN=localhost" \
      -keyout server.key -out server.csr
    printf '%s\n' "basicConstraints=critical,CA:FALSE" \
      "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" \
      "subjectAltName=DNS:localhost,IP:127.0.0.1" >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
      -days 30 -extfile server.ext -out server.pem
    cat server.pem ca.pem >server-chain.pem
    chmod 644 ca.pem server.pem server-chain.pem
  ) >"$d/openssl.log" 2>&1 || { cat "$d/openssl.log" >&2; return 1; }
}

case "${1:-}" in
  check) cmd_check; exit $? ;;
  start) shift; cmd_start "$@" ;;
  stop)  shift; cmd_stop "$@" ;;
  *) echo "usage: $0 check | start [DIR] | stop DIR" >&2; exit 2 ;;
esac
