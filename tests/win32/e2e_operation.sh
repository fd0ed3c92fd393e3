#!/usr/bin/env bash
# The real 32-bit duzevod.dll doing the whole job under Wine: duzevod-host.exe loads it, its Win32 serial
# code drives COM5, which Wine maps to the Linux bus simulator's pseudo-terminal (one device of each
# model), and it publishes through tessarin.dll. The operator is scripted. Steps:
#   1 first start: the port-settings box (Wine refuses RTS_CONTROL_TOGGLE) is cancelled, the bus is
#     searched up to address 5, the configuration saved, the tags named and published with their qualities
#   2 second start: restored without a search, polling gives the same view
#   3 host writes: "Reset" and "Mode of blocking" reach the instrument as their exact frames; refused
#     writes send nothing
#   4 a device silenced in the simulator is reported lost and comes back
#   5 unloaded while polling: duzevod-host.exe ends promptly with status 0, and a host that goes on after
#     FreeLibrary sees no crash, a quiet line and a free port, and can load the module again
# Usage: e2e_operation.sh SIM BUS BIN_DIR UNLOAD_PROBE. Skipped (exit 77) without Wine, jq or the Linux
# simulator.
set -uo pipefail
sim=$1 bus=$2 bin=$3 probe=$4
. "$(dirname "$0")/e2e_lib.sh"

good=$((0x800000C0)) lost=$((0x8000000C))
e2e_setup
start_sim
map_com5
dir=$work/plant
mkdir "$dir"
settings_box='box "Ошибка настройки параметров COM-порта": Ошибка настройки параметров порта COM5'
settings_box+='\nЖелаете продолжить (Отмена) или изменить параметры (Повтор) -> cancel'
restore_script="answer no; answer cancel"

begin "1 first start: search, save, name, publish"
run_windows_host first "$dir" \
  "dialog port=COM5 speed=9600 parity=N stop=2 limit=5 search; answer cancel; dialog exit; answer cancel" \
  --seconds 3
expect_exit_zero
[ "$(grep -cF -- "$settings_box" "$work/first.err")" = 2 ] ||
  fail "the port-settings box was not reported and cancelled on each of the two passes"
expect_reported "Найдено устройств: 5, Выполнено: 100 %"
expect_reported "-> exit (script line 1)"
[ "$(frames | grep -cE '^rx 0[1-5] 11 ')" -ge 5 ] || fail "not every address 1..5 was asked who it is"
! frames | grep -qE '^rx (0[06-9A-F]|[1-9A-F][0-9A-F]) 11 ' || fail "the search went beyond address 5"
[ -s "$dir/DUZEvod.sys" ] || fail "no configuration file was saved"
[ ! -e "$dir/~DUZEvod.sys" ] || fail "the temporary copy of the configuration was left behind"
expect_snapshot '[.devices[:5][] | .online] == [1,1,1,1,1]' "not every configured device is online"
expect_snapshot '[.devices[5:][] | .analog + .bit + .int | length] | all(. == 0)' "a slot beyond 5 has tags"
expect_snapshot '[.devices[:5][] | [(.analog, .bit, .int) | length]]
                 == [[18,36,1], [0,17,1], [1,2,1], [1,2,1], [1,2,1]]' \
  "the tag counts per device are not the bus's"
luma="LUMA-12 1101: Module"
expect_tag 0 analog "$luma 1 (BRUN).Input 1" 23.5 $good
expect_tag 0 bit "$luma 1 (BRUN).Input 2: Limit 1" 1 $good
expect_tag 0 bit "$luma 1 (BRUN).Input 3: Limit 2" 1 $good
expect_tag 0 analog "$luma 1 (BRUN).Input 4" 101 $((0x80000050))
expect_tag 0 analog "$luma 1 (BRUN).Input 5" 0 $((0x80000010))
expect_tag 0 analog "$luma 1 (BRUN).Input 6" 7.75 $lost
expect_tag 0 analog "$luma 3 (GELT).Input 1" 512 $good
expect_tag 0 analog "$luma 6 (ZALS).Input 1" 1.25 $good
expect_tag 1 bit "DEK-04 9852: Discrete inputs.Input 1" 1 $good
expect_tag 1 bit "DEK-04 9852: Discrete inputs.Input 2" 0 $good
expect_tag 1 bit "DEK-04 9852: Discrete inputs.Input 10" 1 $good
expect_tag 1 bit "DEK-04 9852: Discrete outputs.Output 1" 1 $good
expect_tag 1 bit "DEK-04 9852: Discrete outputs.Output 2" 0 $good
expect_tag 1 bit "Mode of blocking" 0 $good
expect_tag 2 analog "VEKS-1: (-50 -- 200).Value" 75 $good
expect_tag 3 analog "VEKS-2: (-50 -- 180).Value" 65 $good
expect_tag 3 bit "VEKS-2: (-50 -- 180).Limit 1" 1 $good
expect_tag 4 analog "ORTA (4 -- 20 mA).Value" 50 $good
for slot in 0 1 2 3 4; do expect_tag $slot int "Device number" $((slot + 1)) $good; done
first_view=$(last_snapshot | published)
cp "$dir/DUZEvod.sys" "$work/saved.sys"

begin "2 second start: restored, no search, polling"
run_windows_host second "$dir" "$restore_script" --seconds 3
expect_exit_zero
expect_reported 'box "Предупреждение": Желаете просмотреть или изменить существующую конфигурацию  -> no'
expect_reported "$settings_box"
expect_no_search
cmp -s "$dir/DUZEvod.sys" "$work/saved.sys" || fail "the restored configuration file was rewritten"
expect_same_view "$first_view" "$(last_snapshot | published)" \
  "the restored configuration publishes other tags or values than the first start did"

begin "3 host writes"
run_windows_host writes "$dir" "$restore_script" --seconds 3.5 \
  --write 1:14=1@1.5 --write 1:16=1@2 --write 1:13=1@2.5 --write 0:0=1@2.5 --write 1:17=1@2.5
expect_exit_zero
results=$(jq -c 'select(.write) | .write | [.slot, .bit, .value, .result]' "$work/writes.out" | xargs)
[ "$results" = "[1,14,1,1] [1,16,1,1] [1,13,1,0] [0,0,1,0] [1,17,1,0]" ] ||
  fail "write results are [$results]: Reset and Mode of blocking confirmed, the other three refused, expected"
# A reply to one of our frames ends its trace line with no note; only the requests are compared.
written=$(frames | grep -E '^rx [0-9A-F]{2} 05 ' | sed 's/  #.*//' | paste -sd '|')
[ "$written" = "rx 02 05 00 01 FF 00 DD C9|rx 02 05 00 F0 00 00 CD CA" ] ||
  fail "write-coil frames on the line were [$written]: only Reset on and coil 240 off, expected"
expect_tag 1 bit "Mode of blocking" 1 $good
expect_tag 1 bit "Reset" 0 $good

begin "4 a silenced device is lost and comes back"
start_windows_host lost "$dir" "$restore_script" --seconds 20 --interval 250
await_snapshot 15 ".devices[2].analog[0].quality == $good" "the transducer at address 3 was not polled"
sim_command "3 fault silent"
silenced=$(now_ms)
await_snapshot 15 ".devices[2] | .online == 0 and all(.analog[], .bit[]; .value == 0 and .quality == $lost)" \
  "the silent transducer was not reported lost (online 0, its tags 0 with quality 0x8000000C)"
expect_snapshot "[.devices[0,1,3,4] | .online] == [1,1,1,1] and .devices[3].analog[0].quality == $good" \
  "the other devices suffered from the silent one"
echo "ok: lost $(($(now_ms) - silenced)) ms after it fell silent"
sim_command "3 fault normal"
answering=$(now_ms)
await_snapshot 10 ".devices[2] | .online == 1 and .analog[0].value == 75 and .analog[0].quality == $good" \
  "the transducer did not come back after it answered again"
echo "ok: back $(($(now_ms) - answering)) ms after it answered again, at t = $(last_snapshot | jq .t) ms"

begin "5 unload while polling"
await_snapshot 25 '.t >= 20000' "the last snapshot did not come"
final_seen=$(now_ms)
finish_host 15
expect_exit_zero
unload_ms=$((host_started + host_ms - final_seen))
[ "$unload_ms" -le 3000 ] || fail "the host needed $unload_ms ms after its last snapshot to unload and end"
echo "ok: unloaded and ended $unload_ms ms after the last snapshot"
# A host that goes on after FreeLibrary, three times: no crash, nothing more on the line, the port free again.
start_host probe "$(windows_path "$dir")" "$restore_script" \
  wine "$(windows_path "$probe")" "$(windows_path "$bin/duzevod.dll")" COM5 2 3
# Whether the probe has said WORD in cycle CYCLE (or has failed).
probe_says() {
  grep -q '^FAIL' "$work/probe.out" || [ "$(grep -c "^$2" "$work/probe.out")" -ge "$1" ]
}
for cycle in 1 2 3; do
  wait_for 20 'probe_says $cycle unloaded' || fail "cycle $cycle: the probe did not get as far as unloading"
  quiet_from=$(wc -l <"$work/sim.trace")
  wait_for 10 'probe_says $cycle alive' || fail "cycle $cycle: the probe did not live on after unloading"
  ! grep -q '^FAIL' "$work/probe.out" || fail "cycle $cycle: $(grep '^FAIL' "$work/probe.out")"
  after=$(tail -n +"$((quiet_from + 1))" "$work/sim.trace" | grep -c '^rx')
  [ "$after" = 0 ] || fail "cycle $cycle: $after requests went out on the line after FreeLibrary returned"
done
finish_host 10
expect_exit_zero
cat "$work/probe.out"

passed
echo "ok: all steps"
