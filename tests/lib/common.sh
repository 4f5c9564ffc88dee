# Shell helpers shared by tests/run_all.sh and the stages in tests/stages/ (sourced, not run).
#   with_heartbeat LABEL COMMAND...   runs COMMAND and prints a line at least every 30 s
#                                     while it runs; its status is the command's.
#   apt_install PACKAGE...            installs Debian packages (as root), updating the
#                                     package lists when the first try fails.
#   can_run_32bit                     true when the kernel starts 32-bit x86 programs.
# HEARTBEAT_DETAIL, when it names a function, adds that function's output to each line.



with_heartbeat() {
  local label="$1"; shift
  local every="${VORNA_HEARTBEAT_SECONDS:-30}" pid status detail
  local start=$SECONDS next=$((SECONDS + every))
  "$@" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    if [ $SECONDS -ge $next ] && kill -0 "$pid" 2>/dev/null; then
      detail=""
      if [ -n "${HEARTBEAT_DETAIL:-}" ]; then detail="$("$HEARTBEAT_DETAIL" 2>/dev/null)"; fi
      printf '.. still %s (%d s)%s\n' "$label" $((SECONDS - start)) "${detail:+: $detail}"
      next=$((SECONDS + every))
    fi
  done
  wait "$pid"
  status=$?
  return $status
}

apt_install() {
  [ "$(id -u)" = 0 ] || { printf 'missing packages (%s); run as root to install them\n' "$*"; return 1; }
  export DEBIAN_FRONTEND=noninteractive
  printf '.. installing %s\n' "$*"
  with_heartbeat "installing $*" apt-get install -y -q "$@" </dev/null >/dev/null && return 0
  with_heartbeat "updating the package lists" apt-get update -q </dev/null >/dev/null &&
    with_heartbeat "installing $*" apt-get install -y -q "$@" </dev/null >/dev/null
}

# A complete 32-bit x86 ELF program of 93 bytes that ends with status 42 (exit through
# int 0x80). A kernel without 32-bit support refuses it (exec format error); an installed
# 32-bit package cannot tell that, so the program itself is tried.
can_run_32bit() {
  local probe status
  command -v python3 >/dev/null || return 1
  probe="$(mktemp "${TMPDIR:-/tmp}/vorna-probe32.XXXXXX")" || return 1
  python3 - "$probe" <<'PY' || { rm -f "$probe"; return 1; }
import struct, sys
code = bytes([0x31, 0xc0, 0x40,        # xor eax,eax; inc eax   (exit)
              0x31, 0xdb, 0xb3, 0x2a,  # xor ebx,ebx; mov bl,42 (status)
              0xcd, 0x80])             # int 0x80
base, header = 0x08048000, 52 + 32
size = header + len(code)
elf = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header, 52, 0, 0, 52, 32, 1, 0, 0, 0)
elf += struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as f:
    f.write(elf + code)
PY
  chmod 700 "$probe"
  "$probe" >/dev/null 2>&1
  status=$?
  rm -f "$probe"
  [ $status = 42 ]
}
