# What the Wine end-to-end suites share (sourced, not run): a throw-away Wine prefix, the Linux bus
# simulator on a pseudo-terminal that Wine maps to COM5, runs of duzevod-host.exe (and of the Linux host)
# with a scripted operator, checks on their JSON snapshots, and failure reports that name the step and
# show what the host and the simulator printed.
#
# The suite sets before sourcing: sim (Linux duzevod-sim), bus (bus description), bin (folder with
# duzevod.dll, tessarin.dll and duzevod-host.exe). DUZ_E2E_KEEP=1 keeps the work folder for a look;
# DUZ_E2E_WINEDEBUG=+comm puts Wine's trace of the serial calls into each host run's standard error.

step="setting up"
step_started=0
host_run=""       # name of the last host run: its output files are $work/NAME.out and NAME.err
trace_mark=0      # simulator trace lines before the last host run started
host_status=0
host_ms=0

skip() {
  echo "skipped: $*"
  exit 77
}

now_ms() {
  echo $(($(date +%s%N) / 1000000))
}

# A compact view of a snapshot for reports: what each configured slot publishes, without timestamps.
readable() {
  jq -c '.devices[] | select(.analog + .bit + .int | length > 0)
         | {slot, online, analog: [.analog[] | [.name, .value, .quality]],
            bit: [.bit[] | [.name, .value, .quality]], int: [.int[] | [.name, .value, .quality]]}' \
    2>/dev/null || cat
}

fail() {
  echo "FAIL in step \"$step\": $*"
  if [ -n "$host_run" ]; then
    echo "--- host run '$host_run': exit status $host_status after $host_ms ms; its standard error:"
    cat "$work/$host_run.err" 2>/dev/null
    echo "--- its last lines on standard output (each configured slot of the last snapshot):"
    grep -v '"devices"' "$work/$host_run.out" 2>/dev/null | tail -n 10
    grep '"devices"' "$work/$host_run.out" 2>/dev/null | tail -n 1 | readable
  fi
  if [ -n "${sim_pid:-}" ]; then
    echo "--- simulator frames since that run began (last 60):"
    tail -n +"$((trace_mark + 1))" "$work/sim.trace" | tail -n 60
    echo "--- simulator standard output:"
    cat "$work/sim.out"
  fi
  exit 1
}

# Wine goes before the simulator: a server still holding the pseudo-terminal would be hung up on (and
# answer by dumping its objects onto our output).
cleanup() {
  [ -n "${host_pid:-}" ] && kill "$host_pid" 2>/dev/null
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null
  wait 2>/dev/null
  if [ -n "${DUZ_E2E_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}

# Starts the next step; the one before has passed.
begin() {
  passed
  step=$1
  step_started=$(now_ms)
}

passed() {
  [ "$step_started" = 0 ] || echo "ok: step \"$step\" ($(($(now_ms) - step_started)) ms)"
}

# Checks the tools, makes the work folder and a fresh Wine prefix in it.
e2e_setup() {
  command -v wine >/dev/null || skip "wine not installed"
  command -v jq >/dev/null || skip "jq not installed"
  [ -x "$sim" ] || skip "no Linux build's duzevod-sim at '$sim' (configure with -DDUZ_LINUX_BUILD=PATH)"
  work=$(mktemp -d /tmp/duzevod-wine-e2e-XXXXXX)
  trap cleanup EXIT
  # Only what each run sets reaches the module; no desktop, so nothing waits for a window.
  unset DUZEVOD_DIR DUZEVOD_OPERATOR DUZEVOD_PORTS DISPLAY
  export WINEPREFIX=$work/prefix WINEDEBUG=${DUZ_E2E_WINEDEBUG:--all}
  begin "Wine prefix"
  wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; fail "wineboot -i failed"; }
  [ "$(readlink "$WINEPREFIX/dosdevices/z:")" = / ] || fail "the new prefix does not map drive Z: to /"
}

# The Windows name of a Unix path, by the prefix's Z: drive. Worked out here rather than by winepath,
# which starts Wine and, on a loaded machine, now and then prints nothing.
windows_path() {
  local path
  path=$(realpath -m -- "$1")
  printf 'Z:%s\n' "${path//\//\\}"
}

# Waits up to SECONDS for a shell condition; false when it never held.
wait_for() {
  local seconds=$1 condition=$2
  local deadline=$(($(now_ms) + seconds * 1000))
  until eval "$condition"; do
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Starts the simulator on a new pseudo-terminal (its path in $pty) with its commands on a pipe.
start_sim() {
  begin "simulator"
  mkfifo "$work/sim.in"
  "$sim" --bus "$bus" --trace <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.trace" &
  sim_pid=$!
  exec {sim_in}>"$work/sim.in"
  wait_for 5 '[ -s "$work/sim.out" ]' || fail "the simulator printed no pseudo-terminal"
  pty=$(head -n 1 "$work/sim.out")
  [ -c "$pty" ] || fail "the simulator's line '$pty' is no terminal"
}

# One simulator command; fails the step unless it is answered "ok".
sim_command() {
  local before
  before=$(wc -l <"$work/sim.out")
  echo "$1" >&"$sim_in"
  wait_for 5 '[ "$(wc -l <"$work/sim.out")" -gt "$before" ]' || fail "the simulator did not answer '$1'"
  [ "$(tail -n 1 "$work/sim.out")" = ok ] || fail "the simulator refused '$1': $(tail -n 1 "$work/sim.out")"
}

# COM5 in the prefix becomes the simulator's pseudo-terminal. Wine reads the mapping when it starts.
map_com5() {
  begin "COM5 mapping"
  wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pty" /f >"$work/reg.log" 2>&1 ||
    { cat "$work/reg.log"; fail "wine reg add failed"; }
  wineserver -k
  wineserver -w
}

# The simulator frames written since the last host run began.
frames() {
  tail -n +"$((trace_mark + 1))" "$work/sim.trace"
}

# Starts a host program in the background: NAME DIR SCRIPT COMMAND... DIR is handed to the module as
# DUZEVOD_DIR as given (a Windows path for a Windows program).
start_host() {
  local name=$1 dir=$2 script=$3
  shift 3
  host_run=$name
  host_status=""
  : >"$work/$name.out"
  : >"$work/$name.err"
  trace_mark=$(wc -l <"$work/sim.trace")
  host_started=$(now_ms)
  DUZEVOD_DIR=$dir DUZEVOD_OPERATOR=$script "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" &
  host_pid=$!
}

# Waits up to SECONDS for the host started last to end; fails the step when it hangs.
finish_host() {
  local seconds=$1
  if ! wait_for "$seconds" '! kill -0 "$host_pid" 2>/dev/null'; then
    host_ms=$(($(now_ms) - host_started))
    kill -9 "$host_pid" 2>/dev/null
    wait "$host_pid" 2>/dev/null
    host_pid=""
    fail "the host did not end within $seconds s (hang)"
  fi
  host_status=0
  wait "$host_pid" || host_status=$?
  host_pid=""
  host_ms=$(($(now_ms) - host_started))
}

# A whole run of the Windows host under Wine: NAME DIR SCRIPT [OPTION...] (DIR a Unix path).
run_windows_host() {
  local name=$1 dir=$2 script=$3
  shift 3
  start_windows_host "$name" "$dir" "$script" "$@"
  finish_host 60
}

start_windows_host() {
  local name=$1 dir=$2 script=$3
  shift 3
  start_host "$name" "$(windows_path "$dir")" "$script" wine "$(windows_path "$bin/duzevod-host.exe")" \
    --module "$(windows_path "$bin/duzevod.dll")" --json "$@"
}

# The last snapshot the last host run printed.
last_snapshot() {
  grep '"devices"' "$work/$host_run.out" | tail -n 1
}

# Fails the step unless the jq FILTER holds for the last snapshot.
expect_snapshot() {
  local filter=$1 what=$2
  last_snapshot | jq -e "$filter" >/dev/null || fail "$what"
}

# Waits up to SECONDS until the jq FILTER holds for the latest snapshot of the running host.
await_snapshot() {
  local seconds=$1 filter=$2 what=$3
  wait_for "$seconds" 'last_snapshot | jq -e "$filter" >/dev/null 2>&1' || fail "$what"
}

# A crash under Wine may still end with status 0 once its debugger has written the report.
expect_exit_zero() {
  ! grep -q "Unhandled exception\|Unhandled page fault" "$work/$host_run.err" || fail "the host crashed"
  [ "$host_status" = 0 ] || fail "the host ended with status $host_status"
}

# Fails the step unless the host's standard error has a line with TEXT (fixed text).
expect_reported() {
  grep -qF -- "$1" "$work/$host_run.err" || fail "${2:-not reported on standard error: $1}"
}

expect_not_reported() {
  ! grep -qF -- "$1" "$work/$host_run.err" || fail "${2:-reported on standard error, unexpectedly: $1}"
}

# Fails the step if the last host run searched the bus: progress shown or identification and parameter
# requests on the line.
expect_no_search() {
  expect_not_reported "Найдено устройств" "the bus was searched although the configuration was restored"
  ! frames | grep -qE '^rx [0-9A-F]{2} (11|44) ' ||
    fail "identification requests went out although the configuration was restored"
}

# What a snapshot publishes, without the timestamps: the same bus must give the same view.
published() {
  jq -c '[.devices[] | {slot, name, online, analog: [.analog[] | [.name, .value, .quality]],
          bit: [.bit[] | [.name, .value, .quality]], int: [.int[] | [.name, .value, .quality]]}]'
}

# Fails the step unless the last snapshot's slot SLOT has exactly one KIND tag NAME and it holds VALUE
# with QUALITY (a number, e.g. $((0x800000C0))).
expect_tag() {
  local slot=$1 kind=$2 name=$3 value=$4 quality=$5 actual
  actual=$(last_snapshot | jq -c --argjson s "$slot" --arg k "$kind" --arg n "$name" \
    '[.devices[$s][$k][] | select(.name == $n) | [.value, .quality]]')
  [ "$actual" = "[[$value,$quality]]" ] ||
    fail "slot $slot, $kind tag '$name': expected $value with quality $(printf 0x%X "$quality"), got $actual"
}

# Fails the step unless two views (from published) are the same; shows where they differ.
expect_same_view() {
  local a=$1 b=$2 what=$3
  [ "$a" = "$b" ] && return
  echo "--- where they differ (slot by slot, < first, > second):"
  diff <(jq -c '.[]' <<<"$a") <(jq -c '.[]' <<<"$b") | head -n 20
  fail "$what"
}

# The first start in DIR: a search of the simulated bus on COM5, saved to DUZEvod.sys (Wine refuses the
# port's RTS mode, so each settings box is answered Cancel).
first_start_search() {
  begin "first start: search and save"
  run_windows_host first "$1" \
    "dialog port=COM5 speed=9600 parity=N stop=2 limit=5 search; answer cancel; dialog exit; answer cancel" \
    --seconds 0
  expect_exit_zero
  [ -s "$1/DUZEvod.sys" ] || fail "no configuration file was saved"
}
