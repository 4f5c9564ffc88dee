#!/usr/bin/env bash
# Stage: the browser sign-in with a real browser. VORNA opens the authorization URL through
# xdg-open, which the test replaces by headless Chromium (Debian's chromium package),
# against the mock authorization server on 127.0.0.1 (tests/integration/test_browser_sign_in.py).
# Usage: bash tests/stages/25-browser.sh [BUILD_DIR]    (the program is BUILD_DIR/vorna, or
# VORNA_BIN). Installs Chromium when missing (as root). Skipped (status 0, with the reason)
# where it cannot be installed; under CI=true that is a failure instead.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build}"
bin="${VORNA_BIN:-$build/vorna}"
. "$root/tests/lib/common.sh"

[ -x "$bin" ] || { echo "browser: no program at $bin (build first)"; exit 1; }
bin="$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")"  # the tests run elsewhere

skip() {
  if [ "${CI:-}" = true ]; then echo "browser: cannot run in CI: $*"; exit 1; fi
  echo "browser: SKIPPED (the real-browser sign-in needs Chromium): $*"
  exit 0
}
if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
  [ "$(id -u)" = 0 ] || skip "chromium is not installed and this is not root"
  apt_install chromium || skip "the chromium package cannot be installed"
fi

cd "$root/tests/integration" || exit 1
VORNA_BIN="$bin" PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_browser_sign_in </dev/null 2>&1
