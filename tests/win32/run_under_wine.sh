#!/usr/bin/env bash
# Under Wine, in a fresh prefix: convention_probe.exe calls the DLL's exports as the host does, then
# duzevod-host.exe loads the DLL, shows one snapshot and unloads it; clock_probe.exe checks the Win32
# clock, serial_probe.exe which serial failures count as a lost port. Skipped (exit 77) without Wine.
set -euo pipefail
probe=$1 dll=$2 host=$3 clock=$4 serial=$5
command -v wine >/dev/null || { echo "wine not installed: skipped"; exit 77; }
export WINEPREFIX WINEDEBUG=-all DUZEVOD_DIR
# No desktop: the start-up must not wait for an operator at a window nobody sees.
unset DISPLAY
WINEPREFIX=$(mktemp -d)
DUZEVOD_DIR=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$DUZEVOD_DIR"' EXIT
wineboot -i >/dev/null 2>&1
cd "$(dirname "$dll")"
# A hang (in the loader, say) fails here within a minute and names the step.
step() {
  local what=$1 rc=0
  shift
  timeout -k 5 60 "$@" || rc=$?
  if ((rc == 124 || rc == 137)); then echo "FAIL: $what hung"; exit 1; fi
  return "$rc"
}
step convention_probe.exe wine "$probe" "$(basename "$dll")"

out=$(step duzevod-host.exe wine "$host" --module "$(basename "$dll")" --json --seconds 0 </dev/null) ||
  { echo "$out"; exit 1; }
echo "${out:0:300}..."
grep -q '"slot":30,"name":"Device31","online":1,"analog":\[\],"bit":\[\],"int":\[\]}\]}' <<<"$out" ||
  { echo "FAIL: duzevod-host.exe did not show Device31"; exit 1; }
echo "ok: duzevod-host.exe loaded, showed and unloaded the module"

step clock_probe.exe wine "$clock"
step serial_probe.exe wine "$serial"
