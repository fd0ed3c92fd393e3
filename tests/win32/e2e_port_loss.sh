#!/usr/bin/env bash
# A lost port comes back, under Wine: COM5 is mapped to a symlink that points at the Linux bus
# simulator's pseudo-terminal. While duzevod.dll polls, the simulator ends (the line vanishes, as an
# unplugged USB converter does), a new one starts on another pseudo-terminal and the symlink is pointed
# at it: every device must be back by itself, with no box asked. As with a real converter, the name is
# missing while the line is away.
# Usage: e2e_port_loss.sh SIM BUS BIN_DIR. Skipped (exit 77) without Wine, jq or the Linux simulator.
set -uo pipefail
sim=$1 bus=$2 bin=$3
. "$(dirname "$0")/e2e_lib.sh"

good=$((0x800000C0))
e2e_setup
start_sim
line=$work/line
ln -sfn "$pty" "$line"
pty=$line
map_com5
dir=$work/plant
mkdir "$dir"

first_start_search "$dir"

begin "the line vanishes"
DUZEVOD_TRACE=$(windows_path "$work/frames.log") start_windows_host lost "$dir" "answer no; answer cancel" \
  --seconds 40 --interval 250
await_snapshot 15 "[.devices[:5][] | .online] == [1,1,1,1,1]" "not every device was polled"
# As udev does with /dev/serial/by-id/... when the converter is pulled out, the name goes too.
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null
rm -f "$line"
exec {sim_in}>&-
rm -f "$work/sim.in"
await_snapshot 15 "[.devices[:5][] | .online] == [0,0,0,0,0]" "the devices were not reported lost"

start_sim
begin "the line comes back under the same name"
ln -sfn "$pty" "$line.new" && mv -T "$line.new" "$line"
back_from=$(now_ms)
back='[.devices[:5][] | .online] == [1,1,1,1,1] and .devices[2].analog[0].quality == '$good
if ! wait_for 15 'last_snapshot | jq -e "$back" >/dev/null 2>&1'; then
  echo "--- the module's trace about its port, and its last frames:"
  grep -v ' [tr]x ' "$work/frames.log" | tail -n 5
  tail -n 4 "$work/frames.log"
  fail "the devices did not come back"
fi
echo "ok: devices back $(($(now_ms) - back_from)) ms after the line"
finish_host 60
expect_exit_zero
expect_not_reported "COM-порта\": Ошибка открытия" "a box was shown while the line was away"
passed
echo "ok: all steps"
