#!/usr/bin/env bash
# Stage: delivery against real mail servers (Postfix and Dovecot on 127.0.0.1).
# Usage: bash tests/stages/20-mail-servers.sh [BUILD_DIR]    (as root; the program is
# BUILD_DIR/vorna, or VORNA_BIN). Installs the servers when missing, starts them on free ports,
# runs tests/integration/test_mail_servers.py and stops the servers again, also on failure or
# interruption. Skipped (status 0, with the reason) where the servers cannot run: not root, or
# no Debian package source. Under CI=true that is a failure instead: there they must run.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build}"
here="$root/tests/integration"
servers="$here/mailservers.sh"
bin="${VORNA_BIN:-$build/vorna}"

[ -x "$bin" ] || { echo "mail-servers: no program at $bin (build first)"; exit 1; }
bin="$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")"  # the tests run elsewhere

if ! reason=$(bash "$servers" check 2>&1 </dev/null); then
  if [ "${CI:-}" = true ]; then
    echo "mail-servers: cannot run the integration tests in CI: $reason"
    exit 1
  fi
  echo "mail-servers: SKIPPED (integration tests need the mail servers): $reason"
  exit 0
fi

dir=$(mktemp -d /tmp/vorna-mailservers.XXXXXX) || exit 1
export VORNA_MAILSERVERS_OWNER=$$
stopped=0
tests=""
stop_servers() {
  [ $stopped = 1 ] && return
  stopped=1
  [ -n "$tests" ] && kill "$tests" 2>/dev/null
  bash "$servers" stop "$dir" </dev/null
}
trap stop_servers EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! envfile=$(bash "$servers" start "$dir" </dev/null); then
  echo "mail-servers: the servers did not start"
  exit 1
fi

# In the background so that a signal reaches the traps at once (and the tests are ended too).
cd "$here" || exit 1
VORNA_BIN="$bin" VORNA_MAILSERVERS_ENV="$envfile" PYTHONDONTWRITEBYTECODE=1 \
  python3 -m unittest -v test_mail_servers </dev/null 2>&1 &
tests=$!
wait "$tests"
status=$?
tests=""
if [ $status != 0 ]; then
  echo "mail-servers: last lines of the server logs:"
  tail -n 25 "$dir/log/postfix.log" "$dir/log/dovecot.log" 2>/dev/null
fi
exit $status
