#!/usr/bin/env bash
# The OPC UA server at scale: many simulated lines, a gateway on each, one broker, one server and a
# subscribed client on this machine. Prints figures (markdown); it judges nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'TEXT'
Usage: scripts/bench-opcua.sh [--lines N] [--devices N] [--seconds S] [--out FILE] [--build DIR]

Starts N bus simulators (default 8) with N instruments each (default 31: a controller, an alarm
instrument and drifting transducers and current-loop modules), a gateway (duzevod-mqtt --sparkplug) on
each line, one mosquitto and one duzevod-opcua, and an OPC UA client (SignAndEncrypt) that checks every
device is in the address space and subscribes to every measured value. For S seconds (default 60) it
measures the latency from the simulator's record of a reply to the client's data-change notification
(median, 90th and 99th percentile) and the CPU and memory of the broker, the server and each gateway.

  --lines N      simulated lines and gateways (default 8)
  --devices N    instruments per line, 3 to 31 (default 31)
  --seconds S    length of the measurement (default 60)
  --out FILE     also write the figures to FILE (e.g. docs/performance-opcua.md)
  --build DIR    the programs built in DIR (default build/release, built when missing)
  --help         this text

It is a benchmark, not a test: run it on a quiet machine for figures worth comparing. The machine's
load average before and during the run is part of what it prints.
TEXT
}

die() {
  echo "bench-opcua.sh: $*" >&2
  exit 2
}

lines=8 devices=31 seconds=60 out="" build=""
while [ $# -gt 0 ]; do
  case $1 in
    --lines | --devices | --seconds | --out | --build)
      [ $# -ge 2 ] || die "$1 needs a value"
      case $1 in
        --lines) lines=$2 ;; --devices) devices=$2 ;; --seconds) seconds=$2 ;; --out) out=$2 ;; --build) build=$2 ;;
      esac
      shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done
[[ $lines =~ ^[1-9][0-9]*$ ]] || die "--lines wants a whole number, not '$lines'"
[[ $devices =~ ^[0-9]+$ ]] && [ "$devices" -ge 3 ] && [ "$devices" -le 31 ] || die "--devices is 3 to 31, not '$devices'"
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -ge 5 ] || die "--seconds wants a whole number of at least 5, not '$seconds'"
[ -z "$out" ] || out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")

command -v node >/dev/null && command -v npm >/dev/null || die "node and npm are needed (scripts/install-deps.sh installs them)"
[ -x /usr/sbin/mosquitto ] || command -v mosquitto >/dev/null || die "mosquitto is needed (scripts/install-deps.sh installs it)"
if [ -z "$build" ]; then
  build=$root/build/release
  [ -f "$build/build.ninja" ] || (cd "$root" && cmake --preset release >/dev/null)
  nice -n 10 cmake --build "$build" -j2 --target duzevod duzevod-sim duzevod-mqtt >/dev/null
fi
sim=$build/tools/sim/duzevod-sim gateway=$build/tools/mqtt/duzevod-mqtt module=$build/libduzevod.so
for program in "$sim" "$gateway" "$module"; do
  [ -e "$program" ] || die "$program is missing (build it, or leave out --build)"
done
"$root/tools/opcua/npm-ci.sh" >&2 || die "the OPC UA server's packages are not installed (see above)"

# So many file descriptors: 8 lines of pseudo-terminals, sockets and the server's sessions.
ulimit -n 4096 2>/dev/null || true
exec node "$root/tools/opcua/bench/scale.js" --lines "$lines" --devices "$devices" --seconds "$seconds" \
  --out "$out" --sim "$sim" --gateway "$gateway" --module "$module"
