#!/usr/bin/env bash
# The Windows build: cross-builds vorna.exe and its tests with MinGW-w64 and runs the whole
# test suite (unit and black-box, and the 64-bit program against the real mail servers)
# under Wine, for 64-bit Windows and, where the 32-bit Wine can be installed, for 32-bit
# Windows too. The black-box tests include a Ctrl+C console control event while the
# program waits on a server (test_interruptions: the launcher's --console mode raises it
# with GenerateConsoleCtrlEvent).
# Usage: bash tests/stages/30-windows.sh BUILD_DIR
#   builds in BUILD_DIR-win and BUILD_DIR-win32, with the Wine prefix BUILD_DIR-wineprefix.
# Installs what is missing when run as root (Debian packages). VORNA_WIN32=0 skips the
# 32-bit build, VORNA_WIN32=build builds it without running its tests.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
base="${1:-$root/build}"
jobs=2
win32_mode="${VORNA_WIN32:-run}"

log() { printf '== windows: %s\n' "$*"; }
. "$root/tests/lib/common.sh"   # apt_install, with_heartbeat, can_run_32bit

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
command -v python3 >/dev/null || need+=(python3)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
  log "installing ${need[*]}"
  apt_install "${need[@]}" || { log "cannot install ${need[*]}"; exit 1; }
fi

# The 32-bit build needs its compiler; running it needs the 32-bit Wine, which on Debian
# comes from the i386 architecture (one to three minutes, 1.1 GB; it also brings some
# amd64 libraries up to the versions of their i386 twins).
if [ "$win32_mode" != 0 ] && ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
  log "installing g++-mingw-w64-i686"
  apt_install g++-mingw-w64-i686 || { log "no 32-bit compiler: 32-bit build skipped"; win32_mode=0; }
fi
# Whether the kernel starts 32-bit programs at all is tried first with a tiny one: where it
# cannot, no 32-bit Wine could run, and the 1.1 GB are not installed.
if [ "$win32_mode" = run ] && ! can_run_32bit; then
  log "this machine's kernel cannot execute 32-bit programs: the 32-bit build is built, its tests cannot run here"
  win32_mode=build
fi
if [ "$win32_mode" = run ] && [ ! -x /usr/lib/wine/wine ]; then
  log "installing wine32:i386"
  if [ "$(id -u)" = 0 ] && { dpkg --print-foreign-architectures | grep -qx i386 ||
       dpkg --add-architecture i386; } &&
     { DEBIAN_FRONTEND=noninteractive with_heartbeat "updating the package lists" apt-get update -q </dev/null >/dev/null;
       DEBIAN_FRONTEND=noninteractive with_heartbeat "installing wine32:i386" apt-get install -y -q wine32:i386 </dev/null >/dev/null; }; then
    :
  else
    log "the 32-bit Wine cannot be installed: the 32-bit build is built but not run"
    win32_mode=build
  fi
fi

failed=0

# The tests that ctest has started and not yet finished, for the progress lines.
tests_running() {
  awk '/^ *Start +[0-9]+: / { run[$3] = 1 }
       /Test +#[0-9]+: / { for (i = 1; i <= NF; i++) if ($i ~ /^#[0-9]+:$/) delete run[$(i + 1)] }
       END { n = 0; for (t in run) { printf "%s%s", (n++ ? ", " : "running "), t } }' "$ctest_log"
}

# variant NAME TRIPLE MODE: builds with cmake/mingw-w64-ARCH.cmake in $base-NAME;
# MODE=run runs the tests under Wine.
variant() {
  local name="$1" triple="$2" mode="$3"
  local toolchain="mingw-w64-${triple%%-*}.cmake"
  local dir="$base-$name"
  log "[$name] configure and build in $dir"
  mkdir -p "$dir"
  if ! cmake -S "$root" -B "$dir" -G Ninja -DVORNA_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; log "[$name] configure FAILED"; return 1
  fi
  cmake --build "$dir" -j"$jobs" || { log "[$name] build FAILED"; return 1; }

  # Only system DLLs may be imported: a missing MinGW runtime DLL would make the program
  # fail silently on a machine without MinGW.
  local imports
  imports="$("$triple-objdump" -p "$dir/vorna.exe" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"
  log "[$name] vorna.exe imports: $imports"
  if printf '%s' "$imports" | grep -qiE '(^| )lib[^ ]*\.dll'; then
    log "[$name] vorna.exe needs MinGW runtime DLLs: FAILED"; return 1
  fi
  [ "$mode" = run ] || { log "[$name] built, tests not run"; return 0; }

  # A private prefix (1.3 GB), owned by whoever runs this, shared by both builds and
  # created once before the parallel tests.
  export WINEPREFIX="$base-wineprefix"
  log "[$name] Wine prefix $WINEPREFIX"
  with_heartbeat "creating the Wine prefix" "$root/cmake/wine-run.sh" --init ||
    { log "[$name] Wine prefix cannot be created"; return 1; }
  local rc=0
  ctest_log="$dir/ctest.log"
  # A test that fails is run once more: under Wine a program now and then fails to start
  # (no output at all, seen with the 32-bit build); a real failure fails twice.
  HEARTBEAT_DETAIL=tests_running with_heartbeat "[$name] testing under Wine" \
    ctest --test-dir "$dir" --output-on-failure --no-tests=error --repeat until-pass:2 \
      -j"$jobs" >"$ctest_log" 2>&1 || rc=1
  if [ $rc != 0 ]; then cat "$dir/ctest.log"; else tail -n 3 "$dir/ctest.log"; fi
  # The 64-bit program also delivers through the real servers (SChannel against Postfix
  # and Dovecot); the stage skips itself where the servers cannot run, as natively.
  if [ "$name" = win ]; then
    log "[$name] delivery through Postfix and Dovecot under Wine"
    VORNA_BIN="$dir/vorna.exe" VORNA_RUNNER="$root/cmake/wine-run.sh" VORNA_TARGET_OS=windows \
      bash "$root/tests/stages/20-mail-servers.sh" "$dir" || rc=1
  fi
  "$root/cmake/wine-run.sh" --stop
  unset WINEPREFIX
  [ $rc = 0 ] && log "[$name] tests passed" || log "[$name] tests FAILED"
  return $rc
}

variant win x86_64-w64-mingw32 run || failed=1
if [ "$win32_mode" != 0 ]; then
  variant win32 i686-w64-mingw32 "$win32_mode" || failed=1
fi
exit $failed
