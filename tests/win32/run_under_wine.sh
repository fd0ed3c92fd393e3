#!/usr/bin/env bash
# Under Wine, in a fresh prefix: convention_probe.exe calls the DLL's exports as the host does, then
# duzevod-host.exe loads the DLL, shows one snapshot and unloads it; clock_probe.exe checks the Win32
# clock, serial_probe.exe which serial failures count as a lost port. Skipped (exit 77) without Wine.
# Every failure ends with a line "FAIL: …" that names the step and how it ended, after what the step
# printed. DUZ_E2E_WINEDEBUG=+comm (say) replaces Wine's silence with the channels named.
set -euo pipefail
probe=$1 dll=$2 host=$3 clock=$4 serial=$5
command -v wine >/dev/null || { echo "wine not installed: skipped"; exit 77; }
export WINEPREFIX WINEDEBUG=${DUZ_E2E_WINEDEBUG:--all} DUZEVOD_DIR
# No desktop: the start-up must not wait for an operator at a window nobody sees.
unset DISPLAY
WINEPREFIX=$(mktemp -d)
DUZEVOD_DIR=$(mktemp -d)
work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$DUZEVOD_DIR" "$work"' EXIT
# Anything not checked below still says where the script stopped.
trap 'echo "FAIL: line $LINENO: \"$BASH_COMMAND\" ended with status $?"' ERR

fail() {
  echo "FAIL: $*"
  exit 1
}

now_ms() {
  echo $(($(date +%s%N) / 1000000))
}

# How a program under Wine ended: its status, and what Wine makes of a crash.
ending() {
  local rc=$1
  case $rc in
    124 | 137) echo "hung: stopped after 60 s" ;;
    *) echo "exited with status $rc$( ((rc >= 128)) && echo " (signal $((rc - 128)))")" ;;
  esac
}

# step WHAT COMMAND…: runs one program, at most a minute (a hang, in the loader say, fails here and
# names the step); its output goes through. Fails the run with the step's name and ending.
step() {
  local what=$1 rc=0 started
  shift
  started=$(now_ms)
  timeout -k 5 60 "$@" || rc=$?
  ((rc == 0)) || fail "$what $(ending "$rc") after $(($(now_ms) - started)) ms"
  echo "ok: $what ($(($(now_ms) - started)) ms)"
}

started=$(now_ms)
rc=0
timeout -k 5 120 wineboot -i >"$work/wineboot.log" 2>&1 || rc=$?
if ((rc != 0)); then
  cat "$work/wineboot.log"
  fail "wineboot -i (a fresh Wine prefix) $(ending "$rc") after $(($(now_ms) - started)) ms"
fi
cd "$(dirname "$dll")"
step convention_probe.exe wine "$probe" "$(basename "$dll")"

started=$(now_ms)
rc=0
timeout -k 5 60 wine "$host" --module "$(basename "$dll")" --json --seconds 0 </dev/null \
  >"$work/host.out" 2>"$work/host.err" || rc=$?
if ((rc != 0)) || ! grep -q '"slot":30,"name":"Device31","online":1,"analog":\[\],"bit":\[\],"int":\[\]}\]}' \
  "$work/host.out"; then
  echo "--- duzevod-host.exe's standard output:"
  cat "$work/host.out"
  echo "--- its standard error:"
  cat "$work/host.err"
  ((rc == 0)) || fail "duzevod-host.exe (load, one snapshot, unload) $(ending "$rc") after $(($(now_ms) - started)) ms"
  fail "duzevod-host.exe did not show Device31"
fi
out=$(cat "$work/host.out")
echo "${out:0:300}..."
echo "ok: duzevod-host.exe loaded, showed and unloaded the module ($(($(now_ms) - started)) ms)"

step clock_probe.exe wine "$clock"
step serial_probe.exe wine "$serial"
