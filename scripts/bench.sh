#!/usr/bin/env bash
# The benchmark: builds what it needs (Linux Release, in build/release, as scripts/test.sh does) and
# measures the module on the bus simulator's paced line against wire time, a libmodbus poller and the
# cycle formula. The full run takes about 14 minutes and writes docs/performance.md; --tiny makes one
# quick pass (about a minute) and writes nothing unless --out is given. Needs strace and valgrind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'TEXT'
Usage: scripts/bench.sh [--tiny] [--note TEXT] [--reps N] [--only LIST] [--out FILE]

Builds duzevod-bench into build/release and runs it. Without --tiny the page goes to
docs/performance.md (or --out FILE). Keep the machine otherwise idle while it runs; if it is shared,
say so with --note "…", which the page shows. Needs libmodbus-dev (scripts/install-deps.sh).
All options are passed on to duzevod-bench (duzevod-bench --help lists them).
TEXT
}

out=""
tiny=0
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --tiny) tiny=1; args+=("$1") ;;
    --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out="$2"; shift ;;
    --note|--reps|--only) [ $# -ge 2 ] || { usage >&2; exit 2; }; args+=("$1" "$2"); shift ;;
    *) echo "bench.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
(cd "$root" && cmake --preset release "${launcher[@]}") >/dev/null
cmake --build "$root/build/release" --target duzevod-bench -j "$(nproc)"
for tool in strace valgrind callgrind_annotate; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool is needed (scripts/install-deps.sh)" >&2; exit 1; }
done

if [ -z "$out" ] && [ "$tiny" = 0 ]; then
  out="$root/docs/performance.md"
fi
if [ -n "$out" ]; then
  args+=(--out "$out")
fi
exec "$root/build/release/bench/duzevod-bench" "${args[@]}"
