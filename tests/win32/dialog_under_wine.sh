#!/usr/bin/env bash
# Under Wine on a virtual X screen (Xvfb), in a fresh prefix: dialog_window_test.exe shows the
# initialisation dialog's window, checks it and drives it, and writes a screenshot of it to PNG; then
# duzevod-host.exe loads the module, whose start-up shows the dialog inside the load, and
# dialog_answerer.exe closes it and cancels the port boxes of a first run. Skipped (exit 77) without Wine
# or Xvfb.
# Usage: dialog_under_wine.sh TEST_EXE SCREENSHOT_PNG ANSWERER_EXE HOST_EXE DLL
set -euo pipefail
test_exe=$1 screenshot=$2 answerer=$3 host=$4 dll=$5
command -v wine >/dev/null || { echo "wine not installed: skipped"; exit 77; }
command -v Xvfb >/dev/null || { echo "Xvfb not installed: skipped"; exit 77; }

export WINEPREFIX WINEDEBUG=-all DISPLAY DUZEVOD_DIR
unset DUZEVOD_OPERATOR
WINEPREFIX=$(mktemp -d)
DUZEVOD_DIR=$(mktemp -d)
display_file=$(mktemp)
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$WINEPREFIX" "$DUZEVOD_DIR" "$display_file"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
[ -s "$display_file" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
DISPLAY=:$(head -n1 "$display_file")

wineboot -i >/dev/null 2>&1
# Xvfb has no window manager: Wine manages its windows itself, draws their captions and borders as
# Windows does, and does not wait for a manager's answer each time a window is hidden.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
# Debian's Wine does not look into its own font folder: the prefix gets Wine's fonts (Tahoma stands in
# where "MS Sans Serif" has no Cyrillic letters).
ln -sf /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

mkdir -p "$(dirname "$screenshot")"
# Wine's drive Z: is the Unix root.
wine "$test_exe" "Z:${screenshot//\//\\}"

# No configuration and no serial port: the dialog, then the open-error and settings-error boxes. The host
# polls for a second before it unloads, so that the polling thread started by the load is running then.
cd "$(dirname "$dll")"
timeout 60 wine "$host" --module "$(basename "$dll")" --json --seconds 1 </dev/null >"$DUZEVOD_DIR/host.out" 2>&1 &
host_pid=$!
wine "$answerer" 2 30 || { kill "$host_pid" 2>/dev/null; exit 1; }
wait "$host_pid" || { echo "FAIL: duzevod-host.exe ended with $?"; cat "$DUZEVOD_DIR/host.out"; exit 1; }
grep -q '"name":"Device31"' "$DUZEVOD_DIR/host.out" ||
  { echo "FAIL: the load did not complete"; cat "$DUZEVOD_DIR/host.out"; exit 1; }
echo "ok: duzevod-host.exe completed the load after the dialog and the boxes"
