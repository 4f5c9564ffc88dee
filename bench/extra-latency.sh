#!/usr/bin/env bash
# The latency row (bench/latency_bench.py): VORNA, msmtp and curl through a relay that adds
# round-trip time, plain and with STARTTLS and AUTH PLAIN. Run by bench/run.sh with
# VORNA_BIN and BENCH_RUNS set; alone: VORNA_BIN=build/vorna bash bench/extra-latency.sh
# BENCH_RTT_MS sets the round-trip time (default 100). As root it installs msmtp and curl.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
need=()
command -v msmtp >/dev/null || need+=(msmtp)
command -v curl >/dev/null || need+=(curl)
command -v openssl >/dev/null || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing: ${need[*]}; run this script as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${need[@]}" || { apt-get update -q && apt-get install -y -q "${need[@]}"; }
fi
exec python3 "$root/bench/latency_bench.py" --vorna "${VORNA_BIN:-$root/build/vorna}" \
  --runs "${BENCH_RUNS:-5}" --rtt-ms "${BENCH_RTT_MS:-100}" ${BENCH_WORK:+--work "$BENCH_WORK"}
