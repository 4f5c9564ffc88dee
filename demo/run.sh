#!/usr/bin/env bash
# The VORNA demo: builds the program, starts a one-message SMTP server on loopback, sends
# a sample message with a Japanese subject and body and two attachments (one with a
# Japanese file name), and shows what arrived, raw and decoded.
#
# Usage: bash demo/run.sh     (from anywhere; as root on a fresh Debian machine it first
#                              installs cmake, g++, ninja and python3 when missing)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

say() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------- tools
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] || need+=(libcurl4-openssl-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing: ${need[*]}; run this script as root to install them" >&2
    exit 1
  fi
  say "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${need[@]}" || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
fi

# ---------------------------------------------------------------- build
say "building"
if [ ! -f build/CMakeCache.txt ]; then
  # The unit tests need GoogleTest; the demo does without them when it is not installed.
  tests=ON
  [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -d /usr/src/googletest ] ||
    ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 || tests=OFF
  cmake -S . -B build -G Ninja -DVORNA_TESTS=$tests >/dev/null
fi
cmake --build build
vorna="$root/build/vorna"

# ---------------------------------------------------------------- the sample
work="$(mktemp -d "${TMPDIR:-/tmp}/vorna-demo.XXXXXX")"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/send" "$work/tmp"

# The program reads and writes Shift_JIS: the subject, the body file, the attachment's
# file name and the argument naming it are made in that code page here.
python3 - "$work/send" <<'EOF'
import os, random, sys
d = os.fsencode(sys.argv[1])
def put(name, data):
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)
sjis = lambda text: text.encode("cp932")
put(b"subject.arg", sjis("VORNAデモ：お見積書の送付について"))
put(b"body.txt", sjis(
    "山田様\r\n"
    "\r\n"
    "いつもお世話になっております。\r\n"
    "ご依頼のお見積書と図面データを添付いたします。\r\n"
    "ご確認のほど、よろしくお願いいたします。\r\n"
    "\r\n"
    ".この行はピリオドで始まります（SMTPの透過処理の確認）。\r\n"
    "--\r\n"
    "VORNA 送信デモ\r\n"))
put(sjis("お見積書.txt"), sjis("品名,数量,単価\r\n送信ソフト,1,0\r\n保守,12,0\r\n"))
rng = random.Random(2006)
put(b"drawing.bin", bytes(rng.randrange(256) for _ in range(3000)))
put(b"attach.arg", sjis("-aお見積書.txt,drawing.bin"))
EOF

# ---------------------------------------------------------------- the server
say "starting the demo SMTP server on 127.0.0.1"
python3 "$root/demo/mini_smtpd.py" --out "$work/received.eml" --port-file "$work/port" \
  --timeout 60 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the demo server did not start" >&2; exit 1; }
port="$(cat "$work/port")"
echo "listening on port $port"
printf '[SMTP]\r\nSMTP_PORT=%s\r\n' "$port" > "$work/send/vorna.ini"

# ---------------------------------------------------------------- sending
say "sending with -i (the program's output is Shift_JIS; shown here in UTF-8)"
to_utf8() { python3 -c 'import sys; sys.stdout.write(sys.stdin.buffer.read().decode("cp932", "replace"))'; }
cd "$work/send"
echo '$ vorna -i -h127.0.0.1 -f"VORNA Demo <sender@example.test>" -s"VORNAデモ：お見積書の送付について" \'
echo '        -Fbody.txt -aお見積書.txt,drawing.bin -p3 \'
echo '        yamada@example.test,CC:suzuki@example.test,BCC:archive@example.test'
echo '  (subject, body file and file name in Shift_JIS; vorna.ini: [SMTP] SMTP_PORT='"$port"')'
status=0
TMP="$work/tmp" "$vorna" -i -h127.0.0.1 -f"VORNA Demo <sender@example.test>" \
  -s"$(cat subject.arg)" -Fbody.txt "$(cat attach.arg)" -p3 \
  "yamada@example.test,CC:suzuki@example.test,BCC:archive@example.test" > "$work/out.txt" || status=$?
to_utf8 < "$work/out.txt"
echo "exit status: $status"
wait "$server_pid" || true
server_pid=""
cd "$root"
[ "$status" = 0 ] || { echo "the program did not deliver the message" >&2; exit 1; }
[ -f "$work/received.eml" ] || { echo "no message arrived" >&2; exit 1; }

# ---------------------------------------------------------------- what arrived
say "envelope"
cat "$work/received.eml.envelope"
say "message"
# Every file of the sending directory is offered as an original; the attachments are
# matched to them by name.
python3 "$root/demo/show_message.py" "$work/received.eml" "$work/send"/*
say "demo finished: the message arrived and both attachments match their originals"
