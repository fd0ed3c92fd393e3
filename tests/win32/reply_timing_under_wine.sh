#!/usr/bin/env bash
# The reply-timing table on the module's Win32 port under Wine: a fresh prefix maps COM7 to a link
# that the Linux paced writer points at its pseudo-terminal; the writer runs the Windows reading end
# and judges every row. Skipped (exit 77) without Wine or the Linux build's writer.
# Usage: reply_timing_under_wine.sh LINE_PROGRAM PROBE_EXE
set -uo pipefail
line_program=$1 probe=$2
command -v wine >/dev/null || { echo "skipped: wine not installed"; exit 77; }
[ -x "$line_program" ] ||
  { echo "skipped: no Linux build's reply_timing_line at '$line_program' (configure with -DDUZ_LINUX_BUILD=PATH)"; exit 77; }
work=$(mktemp -d /tmp/duzevod-wine-timing-XXXXXX)
cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  if [ -n "${DUZ_E2E_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
unset DISPLAY DUZEVOD_DIR DUZEVOD_OPERATOR
export WINEPREFIX=$work/prefix WINEDEBUG=${DUZ_E2E_WINEDEBUG:--all}

timeout -k 5 120 wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; echo "FAIL: wineboot -i"; exit 1; }
# COM7 is a link the writer points at its line; Wine reads the mapping when it starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$work/line" /f >"$work/reg.log" 2>&1 ||
  { cat "$work/reg.log"; echo "FAIL: wine reg add"; exit 1; }
wineserver -k
wineserver -w
# The Wine server starts with the probe and serves its every read: it runs throughout, so that its
# start is not inside the first row.
wineserver -p >/dev/null 2>&1
timeout -k 5 240 "$line_program" "$work/line" wine "$probe" COM7
