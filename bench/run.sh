#!/usr/bin/env bash
# The VORNA benchmark (not a test): one message with a 1, 10 and 100 MiB attachment sent
# to Postfix's smtp-sink on loopback by VORNA, by curl and by an ideal client, with wall
# time and peak RSS (GNU time) side by side, medians of a few runs, and the targets:
# VORNA at most 0.35 x curl's and 1.3 x the ideal client's wall time at 100 MiB, peak RSS
# under 8 MiB at every size.
#
# Usage: bash bench/run.sh [RUNS]       (as root it installs what is missing)
# Environment: VORNA_BIN to time another build; BENCH_SIZES (default 1,10,100) in MiB.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
runs="${1:-5}"

say() { printf '== %s\n' "$*"; }

# ---------------------------------------------------------------- tools
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v cc >/dev/null || need+=(gcc)
command -v ninja >/dev/null || need+=(ninja-build)
command -v python3 >/dev/null || need+=(python3)
command -v curl >/dev/null || need+=(curl)
[ -x /usr/bin/time ] || need+=(time)
[ -x /usr/sbin/smtp-sink ] || need+=(postfix)
command -v openssl >/dev/null || need+=(openssl)  # the TLS row's test CA
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing: ${need[*]}; run this script as root to install them" >&2
    exit 1
  fi
  say "installing ${need[*]}"
  # Postfix only for its smtp-sink: no configuration, and no daemon may start.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${need[@]}" || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
  [ $made_policy = 1 ] && rm -f /usr/sbin/policy-rc.d
fi

# ---------------------------------------------------------------- builds
work="$(mktemp -d "${TMPDIR:-/tmp}/vorna-bench.XXXXXX")"
chmod 755 "$work"
sink_pid=""
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

vorna="${VORNA_BIN:-}"
if [ -z "$vorna" ]; then
  say "building VORNA (Release) in build-bench"
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNA_TESTS=OFF >/dev/null
  cmake --build build-bench
  vorna="$root/build-bench/vorna"
fi
cc -O2 -o "$work/ideal_client" "$root/bench/ideal_client.c"

# ---------------------------------------------------------------- the sink
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
say "starting smtp-sink on 127.0.0.1:$port"
sink_user=()
[ "$(id -u)" = 0 ] && sink_user=(-u nobody)
/usr/sbin/smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 64 &
sink_pid=$!
for _ in $(seq 50); do
  python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' \
    "$port" 2>/dev/null && break
  sleep 0.1
done

# ---------------------------------------------------------------- the runs
say "timing $vorna, curl and the ideal client, $runs runs per size"
python3 "$root/bench/bench.py" --vorna "$vorna" --ideal "$work/ideal_client" --port "$port" \
  --runs "$runs" --sizes "${BENCH_SIZES:-1,10,100}" --work "$work" || status=$?

# ---------------------------------------------------------------- the TLS row
say "timing $vorna and curl over STARTTLS, $runs runs"
# Run even when a target of the rows above was missed; the status tells of any miss.
python3 "$root/bench/tls_bench.py" --vorna "$vorna" --runs "$runs" --work "$work" || status=$?
exit "${status:-0}"
