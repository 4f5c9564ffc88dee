#!/usr/bin/env bash
# Smoke run of the libFuzzer targets (tests/fuzz): builds them with clang in a build
# directory of their own and runs each for a bounded time from its seed corpus, so that a
# property broken by a change shows up here. Targets: base64, body, jis_convert, options,
# password, pop3, profile, reply_reader, token_reply (token and device replies of an
# authorization server), and utf8 (telling a UTF-8 body file, its piecewise
# conversion to code page 932, and the UTF-8 terminal's form of a server's bytes). Every
# tests/fuzz/*_fuzz.cpp must have built.
# Usage: bash tests/stages/15-fuzz.sh NATIVE_BUILD_DIR
#   VORNA_FUZZ_SECONDS=N runs each target for N seconds (default 20); for a long run:
#   build/../build-fuzz/fuzz/TARGET_fuzz -max_total_time=36000 DIR tests/fuzz/corpus/TARGET
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:?usage: $0 NATIVE_BUILD_DIR}-fuzz"
seconds="${VORNA_FUZZ_SECONDS:-20}"
. "$root/tests/lib/common.sh"

log() { printf '== fuzz: %s\n' "$*"; }

if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    log "installing clang"
    apt_install clang || { log "cannot install clang"; exit 1; }
  else
    log "clang++ is missing; run as root to install it"; exit 1
  fi
fi

CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVORNA_FUZZ=ON -DVORNA_TESTS=OFF \
  -DVORNA_SANITIZE=OFF >/dev/null || exit 1
cmake --build "$build" -j2 >/dev/null || { log "build failed"; exit 1; }

for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  name="$(basename "$source" .cpp)"
  [ -x "$build/fuzz/$name" ] || { log "$name was not built"; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/vorna-fuzz.XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
failed=0
for target in "$build"/fuzz/*_fuzz; do
  name="$(basename "$target" _fuzz)"
  corpus="$root/tests/fuzz/corpus/$name"
  mkdir -p "$work/$name"
  # One input that runs for 30 s is reported as a failure (a hang), not waited out.
  args=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$work/"
        "$work/$name" "$corpus")
  limit=$((seconds * 3 + 60))
  timeout "$limit" "$target" "${args[@]}" >"$work/$name.log" 2>&1
  rc=$?
  if [ $rc = 0 ]; then
    runs="$(grep -o 'Done [0-9]* runs' "$work/$name.log" | tail -n 1)"
    log "$name: ok (${runs:-no count})"
  else
    [ $rc = 124 ] && log "$name: still running after $limit s"
    log "$name: FAILED"
    grep -m 5 -E 'PROPERTY|ERROR|SUMMARY|Base64' "$work/$name.log"
    failed=1
  fi
done
exit $failed
