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

# ---------------------------------------------------------------- packages
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
command -v openssl >/dev/null || need+=(openssl)  # the TLS tests make their certificates with it
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -d /usr/src/googletest ] || need+=(libgtest-dev googletest)
[ -d /usr/src/googletest ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    log "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q "${need[@]}" || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
  else
    log "missing packages (${need[*]}); run as root to install them"
  fi
fi

failed=0
stage() {  # stage NAME COMMAND...: runs one stage, remembers a failure, goes on
  local name="$1"; shift
  log "stage: $name"
  if "$@"; then log "stage $name: ok"; else log "stage $name: FAILED"; failed=1; fi
}

# ---------------------------------------------------------------- native build and tests
native() {
  cmake -S "$root" -B "$build" -G Ninja -DVORNA_WERROR=ON &&
  cmake --build "$build" -j"$jobs" &&
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
}
stage native native

# ---------------------------------------------------------------- further stages
for extra in "$root"/tests/stages/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)" bash "$extra" "$build"
done

if [ $failed = 0 ]; then log "all stages passed"; else log "some stage FAILED"; fi
exit $failed
