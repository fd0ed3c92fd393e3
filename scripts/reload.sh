#!/usr/bin/env bash
# Load/unload endurance at full length: 500 cycles of loading libduzevod.so, polling the simulator and
# unloading it in one process (CI runs 150). Builds what it needs into build/release.
#   scripts/reload.sh [--cycles N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --help ]; then
  sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
cycles=500
if [ "${1:-}" = --cycles ] && [ -n "${2:-}" ]; then cycles=$2; fi
# The program is a test's: the test toolchain (GoogleTest) is needed, whatever configured build/release.
"$root/scripts/install-deps.sh"
(cd "$root" && cmake --preset release) >/dev/null
cmake --build "$root/build/release" --target duzevod_reload_endurance
exec "$root/build/release/tests/integration/duzevod_reload_endurance" --cycles "$cycles"
