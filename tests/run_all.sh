#!/usr/bin/env bash
# Runs every test of VORNA on a Debian machine: installs what is missing (as root),
# builds, runs the unit and black-box tests, then the stages that need more set-up
# (the sanitizer build, real mail servers, the Windows build under Wine).
# Usage: bash tests/run_all.sh            (from the project root or anywhere)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build="${VORNA_BUILD_DIR:-$root/build}"
jobs="$(nproc 2>/dev/null || echo 2)"

log() { printf '== %s\n' "$*"; }
. "$root/tests/lib/common.sh"

# ---------------------------------------------------------------- packages
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
command -v python3 >/dev/null || need+=(python3)
# libgtest-dev brings googletest (the sources the Windows stage builds) with it.
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
  ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 || need+=(libgtest-dev)
# A minimal Debian has no /etc/hosts without netbase, and the tests resolve "localhost".
[ -f /etc/hosts ] || need+=(netbase)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] || need+=(libcurl4-openssl-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
command -v openssl >/dev/null || need+=(openssl)  # the TLS tests make their certificates with it
if [ ${#need[@]} -gt 0 ]; then
  apt_install "${need[@]}" || log "cannot install ${need[*]}"
fi

failed=0
stage() {  # stage NAME COMMAND...: runs one stage, remembers a failure, goes on
  local name="$1"; shift
  log "stage: $name"
  if "$@"; then log "stage $name: ok"; else log "stage $name: FAILED"; failed=1; fi
}

# ---------------------------------------------------------------- native build and tests
# The options are given in full, so that a build directory configured otherwise before (the
# demo turns the tests off when GoogleTest is missing) cannot make this stage test nothing;
# and a run without a single test is a failure, never an "ok".
native() {
  # A directory made by another generator (the README's plain "cmake -S . -B build") is
  # configured anew rather than refused.
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$build/CMakeCache.txt"; then
    log "build directory $build was made with another generator: configuring it anew"
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
  fi
  cmake -S "$root" -B "$build" -G Ninja -DVORNA_WERROR=ON -DVORNA_TESTS=ON \
    -DVORNA_SANITIZE=OFF -DVORNA_FUZZ=OFF &&
  cmake --build "$build" -j"$jobs" &&
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
}
stage native native

# ---------------------------------------------------------------- further stages
for extra in "$root"/tests/stages/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)" bash "$extra" "$build"
done

if [ $failed = 0 ]; then log "all stages passed"; else log "some stage FAILED"; fi
exit $failed
