#!/usr/bin/env bash
# The configuration file is the same on both platforms: the Windows DLL under Wine (on COM5, mapped to the
# Linux bus simulator's pseudo-terminal) and the Linux library (on the pseudo-terminal itself) each search
# one bus and save; the two files hold the same bytes but for the port name and the creation text, each
# build publishes the same tags and values, and each restores the other's file without a search, the
# operator choosing the port of the new machine.
# Usage: e2e_config_portable.sh SIM BUS BIN_DIR LINUX_HOST LINUX_MODULE. Skipped (exit 77) without Wine,
# jq or the Linux build.
set -uo pipefail
sim=$1 bus=$2 bin=$3 linux_host=$4 linux_module=$5
. "$(dirname "$0")/e2e_lib.sh"

run_linux_host() {
  local name=$1 dir=$2 script=$3
  shift 3
  start_host "$name" "$dir" "$script" "$linux_host" --module "$linux_module" --json "$@"
  finish_host 60
}

# Sets cfg_count, cfg_records (hex), cfg_settings, cfg_port and cfg_description from a configuration
# file: its content is stored reversed and masked with 0xA7, behind a two-byte checksum.
read_config() {
  local -a b
  mapfile -t b < <(od -An -v -tu1 "$1" | tr -s ' ' '\n' | sed '/^$/d' | tac | head -n -2)
  local i
  for i in "${!b[@]}"; do b[i]=$((b[i] ^ 0xA7)); done
  int32() { echo $((b[$1] | b[$1 + 1] << 8 | b[$1 + 2] << 16 | b[$1 + 3] << 24)); }
  text() {  # the text of length-prefixed field at $1, without its NUL
    local at=$1 length
    length=$(int32 "$at")
    printf '%b' "$(printf '\\x%02x' "${b[@]:at+4:length-1}")"
  }
  cfg_count=$(int32 0)
  cfg_records=$(printf '%02x' "${b[@]:4:104 * cfg_count}")
  local at=$((4 + 104 * cfg_count))
  cfg_settings=$(text "$at")
  at=$((at + 4 + $(int32 "$at")))
  cfg_port=$(text "$at")
  at=$((at + 4 + $(int32 "$at")))
  cfg_description=$(text "$at" | iconv -f CP1251 -t UTF-8)
  [ $((at + 4 + $(int32 "$at"))) = "${#b[@]}" ] || fail "$1 has bytes after its last field"
}

e2e_setup
[ -x "$linux_host" ] && [ -f "$linux_module" ] || skip "no Linux duzevod-host or libduzevod.so"
start_sim
map_com5
mkdir "$work/windows" "$work/linux" "$work/to-linux" "$work/to-windows"
restored='box "Предупреждение": Желаете просмотреть или изменить существующую конфигурацию  -> yes'

begin "the Windows build searches and saves"
run_windows_host windows_search "$work/windows" \
  "dialog port=COM5 speed=9600 parity=N stop=2 limit=5 search; answer cancel; dialog exit; answer cancel" \
  --seconds 3
expect_exit_zero
[ -s "$work/windows/DUZEvod.sys" ] || fail "no configuration file was saved"
windows_view=$(last_snapshot | published)

begin "the Linux build searches and saves"
run_linux_host linux_search "$work/linux" \
  "dialog port=$pty speed=9600 parity=N stop=2 limit=5 search; dialog exit" --seconds 3
expect_exit_zero
[ -s "$work/linux/DUZEvod.sys" ] || fail "no configuration file was saved"
linux_view=$(last_snapshot | published)
expect_same_view "$windows_view" "$linux_view" "the two builds publish other tags or values for one bus"

begin "both files hold the same bytes but for the port name"
read_config "$work/windows/DUZEvod.sys"
w=("$cfg_count" "$cfg_records" "$cfg_settings" "$cfg_port" "$cfg_description")
read_config "$work/linux/DUZEvod.sys"
l=("$cfg_count" "$cfg_records" "$cfg_settings" "$cfg_port" "$cfg_description")
[ "${w[0]}" = 5 ] && [ "${l[0]}" = 5 ] || fail "device counts ${w[0]} (Windows) and ${l[0]} (Linux), not 5"
[ "${w[1]}" = "${l[1]}" ] || fail "the device records differ:
Windows ${w[1]}
Linux   ${l[1]}"
[ "${w[2]}" = "baud=9600 parity=N data=8 stop=2" ] && [ "${l[2]}" = "${w[2]}" ] ||
  fail "port settings '${w[2]}' (Windows) and '${l[2]}' (Linux)"
[ "${w[3]}" = COM5 ] && [ "${l[3]}" = "$pty" ] || fail "port names '${w[3]}' (Windows) and '${l[3]}' (Linux)"
# Made a few seconds apart: the same text but maybe for the clock's digits.
for d in "${w[4]}" "${l[4]}"; do
  [[ "$d" =~ ^от\ [0-9]+-го\ .+\ \(.+\)\ [0-9]{4}\ года\;$'\n'создана\ в\ [0-9]+\ чaс\.\ [0-9]{2}\ мин\.$ ]] ||
    fail "the creation text '$d' is not in the file's form"
done
[ "${w[4]//[0-9]/}" = "${l[4]//[0-9]/}" ] || fail "creation texts '${w[4]}' (Windows) and '${l[4]}' (Linux)"
echo "ok: ${w[0]} devices, '${w[2]}', created '${w[4]//$'\n'/ }' (Windows) / '${l[4]//$'\n'/ }' (Linux)"

begin "the Linux build restores the Windows file"
cp "$work/windows/DUZEvod.sys" "$work/to-linux/"
run_linux_host to_linux "$work/to-linux" "answer yes; dialog port=$pty exit" --seconds 3
expect_exit_zero
expect_reported "$restored"
expect_reported "Количество устройств: 5]: port=$pty speed=9600 parity=N stop=2 limit=5 -> exit"
expect_no_search
cmp -s "$work/windows/DUZEvod.sys" "$work/to-linux/DUZEvod.sys" || fail "the restored file was rewritten"
expect_same_view "$windows_view" "$(last_snapshot | published)" "the restored file publishes otherwise"

begin "the Windows build restores the Linux file"
cp "$work/linux/DUZEvod.sys" "$work/to-windows/"
run_windows_host to_windows "$work/to-windows" "answer yes; dialog port=COM5 exit; answer cancel" \
  --seconds 3
expect_exit_zero
expect_reported "$restored"
expect_reported "Количество устройств: 5]: port=COM5 speed=9600 parity=N stop=2 limit=5 -> exit"
expect_no_search
cmp -s "$work/linux/DUZEvod.sys" "$work/to-windows/DUZEvod.sys" || fail "the restored file was rewritten"
expect_same_view "$windows_view" "$(last_snapshot | published)" "the restored file publishes otherwise"

passed
echo "ok: the configuration file moves between the builds"
