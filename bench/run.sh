#!/usr/bin/env bash
# The VORNA benchmark (not a test): one message with a 1, 10 and 100 MiB attachment sent
# on loopback to two sinks, Postfix's smtp-sink and the project's zero-cost sink
# (bench/zero_sink.c), by VORNA, by curl and by an ideal client, interleaved, with wall
# time, peak RSS and CPU time (bench/measure.c) side by side, medians of a few runs;
# VORNA's encoding step alone; the start-up cost of a small message; the machine's load;
# and the targets: VORNA at most 1.5 x the ideal client's wall time against the zero-cost
# sink and 0.35 x curl's against both at 100 MiB, peak RSS under 8 MiB at every size, a
# small message under 5 ms of CPU.
#
# Usage: bash bench/run.sh [RUNS]       (as root it installs what is missing)
# Environment: VORNA_BIN to time another build; BENCH_SIZES (default 1,10,100) in MiB.
# The latency row (bench/extra-latency.sh) sets VORNA, msmtp and curl side by side through
# a relay that adds round-trip time; BENCH_RTT_MS (default 100) chooses it.
#
# Further rows: every executable-or-not bench/extra-*.sh is run after the main table with
# bash, with these variables exported: VORNA_BIN, BENCH_RUNS, BENCH_SIZES, BENCH_WORK (a
# scratch directory removed at the end), BENCH_MEASURE and BENCH_IDEAL (the built
# helpers), BENCH_ZERO_SINK (the sink's program: zero_sink PORT_FILE COUNT_LOG).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
runs="${1:-5}"

say() { printf '== %s\n' "$*"; }

# ---------------------------------------------------------------- tools
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v c++ >/dev/null || need+=(g++)
command -v cc >/dev/null || need+=(gcc)
command -v ninja >/dev/null || need+=(ninja-build)
command -v python3 >/dev/null || need+=(python3)
command -v curl >/dev/null || need+=(curl)
command -v msmtp >/dev/null || need+=(msmtp)  # the latency row (bench/extra-latency.sh)
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
sink_pids=()
cleanup() {
  for pid in "${sink_pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The Release build: the program timed (unless VORNA_BIN names another) and the library
# that the encoder's own bench links against.
say "building VORNA (Release) in build-bench"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNA_TESTS=OFF >/dev/null
cmake --build build-bench
vorna="${VORNA_BIN:-$root/build-bench/vorna}"
for helper in ideal_client measure zero_sink; do
  cc -O2 -o "$work/$helper" "$root/bench/$helper.c"
done

# ---------------------------------------------------------------- the sinks
# Waits until something listens on 127.0.0.1:PORT (at most 5 s).
wait_listening() {
  for _ in $(seq 50); do
    python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' \
      "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
say "starting smtp-sink on 127.0.0.1:$port"
sink_user=()
[ "$(id -u)" = 0 ] && sink_user=(-u nobody)
/usr/sbin/smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 64 &
sink_pids+=($!)
wait_listening "$port"

"$work/zero_sink" "$work/zero.port" "$work/zero.counts" &
sink_pids+=($!)
for _ in $(seq 50); do [ -s "$work/zero.port" ] && break; sleep 0.1; done
zero_port="$(cat "$work/zero.port")"
say "started the zero-cost sink on 127.0.0.1:$zero_port"
wait_listening "$zero_port"

# ---------------------------------------------------------------- the runs
say "timing $vorna, curl and the ideal client, $runs runs per size, against both sinks"
say "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
python3 "$root/bench/bench.py" --vorna "$vorna" --ideal "$work/ideal_client" \
  --measure "$work/measure" --sink "zero-cost:$zero_port:$work/zero.counts" \
  --sink "smtp-sink:$port" --runs "$runs" --sizes "${BENCH_SIZES:-1,10,100}" \
  --work "$work" || status=$?

# ---------------------------------------------------------------- the encoder's limits
c++ -O2 -std=c++17 -I"$root" -o "$work/encoder_speed" "$root/bench/encoder_speed.cpp" \
  "$root/build-bench/libvorna_core.a" -lssl -lcrypto -lpthread
largest="${BENCH_SIZES:-1,10,100}"; largest="${largest##*,}"
head -c "$((largest * 1024 * 1024))" /dev/urandom > "$work/encoder-input.bin"
"$work/encoder_speed" "$work/encoder-input.bin" "$runs" || status=$?
rm -f "$work/encoder-input.bin"

# ---------------------------------------------------------------- further rows
export VORNA_BIN="$vorna" BENCH_RUNS="$runs" BENCH_SIZES="${BENCH_SIZES:-1,10,100}"
export BENCH_WORK="$work" BENCH_MEASURE="$work/measure" BENCH_IDEAL="$work/ideal_client"
export BENCH_ZERO_SINK="$work/zero_sink"
for extra in "$root"/bench/extra-*.sh; do
  [ -e "$extra" ] || continue
  say "running $(basename "$extra")"
  bash "$extra" || status=$?
done
# ---------------------------------------------------------------- the TLS row
say "timing $vorna and curl over STARTTLS, $runs runs"
python3 "$root/bench/tls_bench.py" --vorna "$vorna" --measure "$work/measure" --runs "$runs" \
  --work "$work" || status=$?
say "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
