#!/usr/bin/env bash
# The fault soak in one command: builds what is missing, then runs duzevod-soak (the module on a
# simulated bus of 31 instruments while faults come and go), 10 minutes unless told otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'TEXT'
Usage: scripts/soak.sh [--seconds S] [--build DIR] [duzevod-soak options...]

Runs the module on a simulated bus of 31 instruments for S seconds of random faults (default 600),
checking every publication, every write and the host's footprint all the time; prints the figures
and exits 0 on a clean run, 1 on any violation (the files of the run are kept and named), 2 when it
could not run.

  --seconds S      how long faults are injected (default 600; start-up and the end come on top)
  --build DIR      use the programs built in DIR instead of building build/release
  --help           this text

Further options go to duzevod-soak: --seed N (repeat a run), --no-port-loss (never drop the line),
--keep (keep the files of a clean run). duzevod-soak --help says what is checked.
TEXT
}

die() {
  echo "soak.sh: $*" >&2
  exit 2
}

seconds=600 build="" passed=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds | --build)
      [ $# -ge 2 ] || die "$1 needs a value"
      case $1 in --seconds) seconds=$2 ;; --build) build=$2 ;; esac
      shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --build=*) build=${1#*=}; shift ;;
    -h | --help) usage; exit 0 ;;
    --seed) [ $# -ge 2 ] || die "--seed needs a value"; passed+=("$1" "$2"); shift 2 ;;
    *) passed+=("$1"); shift ;;
  esac
done
[[ $seconds =~ ^[0-9]+$ ]] || die "--seconds wants a whole number of seconds, not '$seconds'"

if [ -z "$build" ]; then
  build=$root/build/release
  if [ ! -f "$build/build.ninja" ]; then
    "$root/scripts/install-deps.sh" --linux
    echo "soak: building $build (once; a few minutes)" >&2
    (cd "$root" && cmake --preset release -DBUILD_TESTING=OFF) >/dev/null
  fi
  cmake --build "$build" --target duzevod-soak >/dev/null
fi
soak=$build/tools/soak/duzevod-soak
[ -x "$soak" ] || die "$soak is missing (build it, or leave out --build)"
exec "$soak" --seconds "$seconds" "${passed[@]}"
