#!/usr/bin/env bash
# Load and unload under Wine: a first run of duzevod-host.exe searches the Linux bus simulator's line
# (COM5) and saves the configuration; then reload_probe.exe loads the module, writes a command bit,
# lets it poll and unloads it, CYCLES times in one process, and checks that memory, handles and
# threads stay flat and that nothing is published after an unload.
# Usage: e2e_reload.sh SIM BUS BIN_DIR RELOAD_PROBE CYCLES. Skipped (exit 77) without Wine, jq or the
# Linux simulator.
set -uo pipefail
sim=$1 bus=$2 bin=$3 probe=$4 cycles=$5
. "$(dirname "$0")/e2e_lib.sh"

e2e_setup
start_sim
map_com5
dir=$work/plant
mkdir "$dir"

first_start_search "$dir"

begin "$cycles loads and unloads"
# Every load restores the file and cancels the port-settings box (Wine refuses RTS_CONTROL_TOGGLE).
start_host reload "$(windows_path "$dir")" "answer no; answer cancel" \
  wine "$(windows_path "$probe")" "$(windows_path "$bin/duzevod.dll")" "$cycles"
finish_host 600
cat "$work/reload.out"
expect_exit_zero
passed
echo "ok: all steps"
