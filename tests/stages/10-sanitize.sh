#!/usr/bin/env bash
# Builds the program and its unit tests with AddressSanitizer (LeakSanitizer included) and
# UndefinedBehaviorSanitizer in a build directory of their own beside the native one, and
# runs every unit test and every black-box test against that build. The program ends
# through std::_Exit, so the sanitizer build runs its leak check just before (see
# platform::before_exit): a leak fails the run that made it.
# Usage: bash tests/stages/10-sanitize.sh NATIVE_BUILD_DIR
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:?usage: $0 NATIVE_BUILD_DIR}-asan"
. "$root/tests/lib/common.sh"

log() { printf '== sanitize: %s\n' "$*"; }

# Probe: some machines cannot run sanitizer programs at all (no shadow memory mapping under
# some kernels or containers). Tried with a tiny program before the long build.
probe_dir="$(mktemp -d "${TMPDIR:-/tmp}/vorna-asan-probe.XXXXXX")" || exit 1
printf 'int main() { return 0; }\n' >"$probe_dir/p.cpp"
if ! g++ -fsanitize=address,undefined "$probe_dir/p.cpp" -o "$probe_dir/p" 2>"$probe_dir/log" ||
   ! "$probe_dir/p" >>"$probe_dir/log" 2>&1; then
  reason="$(head -n 1 "$probe_dir/log")"
  rm -rf "$probe_dir"
  if [ "${CI:-}" = true ]; then log "sanitizer programs cannot run here: $reason"; exit 1; fi
  log "SKIPPED: sanitizer programs cannot run on this machine: $reason"
  exit 0
fi
rm -rf "$probe_dir"

cmake -S "$root" -B "$build" -G Ninja -DVORNA_SANITIZE=ON -DVORNA_TESTS=ON -DVORNA_FUZZ=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 1
cmake --build "$build" -j2 || exit 1

# Any finding ends the program with status 86, which no test expects: the build uses
# -fno-sanitize-recover, and a leak found at the end gives the same status.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1:exitcode=86}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-exitcode=86}"
log "unit and black-box tests against the sanitizer build in $build"
with_heartbeat "running the sanitizer tests" \
  env VORNA_SANITIZED=1 ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 >"$build/ctest.log" 2>&1
status=$?
if [ $status != 0 ]; then cat "$build/ctest.log"; else tail -n 3 "$build/ctest.log"; fi
exit $status
