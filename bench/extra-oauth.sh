#!/usr/bin/env bash
# Row for bench/run.sh: the OAuth 2.0 token step of a send (stored token, refresh) against
# a token from SMTP_PASS_COMMAND; see bench/oauth_bench.py.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY -u HTTPS_PROXY -u ALL_PROXY \
  python3 "$here/oauth_bench.py" --vorna "$VORNA_BIN" --measure "$BENCH_MEASURE" \
  --runs "$(( BENCH_RUNS > 21 ? BENCH_RUNS : 21 ))" --work "$BENCH_WORK"
