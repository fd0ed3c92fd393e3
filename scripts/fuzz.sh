#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) into build/fuzz and
# runs them one after the other. See fuzz/README.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
all_targets=(config_file poll_replies discovery operator_script sim_bus conf_text mqtt_ncmd mqtt_dcmd mqtt_state mqtt_set)
# The source files each target is about, for --coverage.
declare -A sources=(
  [config_file]="src/startup/config_file.cpp"
  [poll_replies]="src/link/transaction.cpp src/poll/polling_thread.cpp src/poll/controller.cpp src/poll/alarm_instrument.cpp src/poll/transducer.cpp src/poll/decimal_text.cpp src/host/write_command.cpp src/startup/port_setup.cpp"
  [discovery]="src/startup/discovery.cpp"
  [operator_script]="src/ui/scripted/scripted_operator.cpp"
  [sim_bus]="tools/sim/sim_bus.cpp tools/sim/bus_words.cpp tools/sim/sim_answer.cpp"
  [conf_text]="tools/conf/conf_text.cpp"
  [mqtt_ncmd]="tools/mqtt/sparkplug.cpp"
  [mqtt_dcmd]="tools/mqtt/sparkplug.cpp"
  [mqtt_state]="tools/mqtt/sparkplug.cpp"
  [mqtt_set]="tools/mqtt/commands.cpp tools/mqtt/payload.cpp"
)

usage() {
  cat <<EOF
Usage: scripts/fuzz.sh [--seconds N] [--target NAME]... [--coverage] [--lines] [--build-only]
       scripts/fuzz.sh --ci

Builds build/fuzz (clang, -DDUZ_FUZZ=ON: only the fuzz targets and what they link) and runs each
target for N seconds (default 60), one at a time, on a working corpus build/fuzz/corpus/NAME that
starts from the seeds and regression cases in fuzz/corpus/NAME and grows from run to run.

  --seconds N     time per target
  --target NAME   run only this target (may be repeated): ${all_targets[*]}
  --coverage      after each run, the edges covered in each source file the target is about
  --lines         at the end, line and branch coverage (llvm-cov) of those files by the working corpus
                  (builds build/fuzz-cov: the replay programs with clang's source-based coverage)
  --build-only    build, run nothing
  --ci            every target from its seeds alone, for 12 s or less: the whole step, build included,
                  stays within 3 minutes
  --help          this text

A crash, a sanitizer report or a failed check of a target leaves its input in build/fuzz/crashes/NAME/
and makes the exit status 1. To keep it as a regression case, copy it into fuzz/corpus/NAME/ under a
name that says what it is (fuzz/README.md). Exit status: 0 no finding, 1 a finding or a failed build,
2 bad command line.
EOF
}

seconds=60
ci=0
coverage=0
lines=0
build_only=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] && [ "$2" -gt 0 ] || { echo "fuzz.sh: --seconds needs a whole number above 0" >&2; exit 2; }
      seconds=$2; shift 2 ;;
    --target)
      [ $# -ge 2 ] || { echo "fuzz.sh: --target needs a name" >&2; exit 2; }
      [[ " ${all_targets[*]} " == *" $2 "* ]] || { echo "fuzz.sh: no target '$2' (${all_targets[*]})" >&2; exit 2; }
      targets+=("$2"); shift 2 ;;
    --ci) ci=1; seconds=12; shift ;;
    --coverage) coverage=1; shift ;;
    --lines) lines=1; shift ;;
    --build-only) build_only=1; shift ;;
    --help|-h) usage; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

build="$root/build/fuzz"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
start=$(date +%s)
echo "=== build fuzz targets"
(cd "$root" && cmake --preset fuzz "${launcher[@]}") >/dev/null
ninja -C "$build" "${targets[@]/#/fuzz_}" >/dev/null || { echo "fuzz.sh: the build failed" >&2; exit 1; }
built=$(($(date +%s) - start))
echo "built in $built s"
[ $build_only -eq 0 ] || exit 0
if [ $ci -eq 1 ]; then
  # What the build left of 3 minutes, less a few seconds a target for starting and stopping.
  share=$(((170 - built) / ${#targets[@]} - 3))
  [ $share -lt $seconds ] && seconds=$share
  [ $seconds -lt 3 ] && seconds=3
fi

# Each target on its own, single process: the machine is shared. Leaks are findings too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
for t in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/$t"
  work="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$work" "$crashes"
  args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" -timeout=10 -rss_limit_mb=2048)
  [ -f "$root/fuzz/dict/$t.dict" ] && args+=(-dict="$root/fuzz/dict/$t.dict")
  # CI starts from the seeds alone so that every run is alike; otherwise the working corpus carries on.
  corpus=("$work" "$seeds")
  if [ $ci -eq 1 ]; then
    rm -rf "$work.ci" && mkdir -p "$work.ci"
    corpus=("$work.ci" "$seeds")
  fi
  echo "=== fuzz $t (${seconds} s)"
  log="$build/fuzz-$t.log"
  if (cd "$build" && "$build/fuzz/fuzz_$t" "${args[@]}" "${corpus[@]}") >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr '\n' ' ' && echo
  else
    status=1
    echo "FINDING in $t: $(grep -m1 -E 'ERROR:|check failed|runtime error' "$log" || echo 'see the log')"
    grep -E 'Test unit written to' "$log" || true
    echo "log: $log"
  fi
  if [ $coverage -eq 1 ]; then
    # Edges covered in the target's own source files, over the whole corpus (sanitizer checks count as
    # edges too, so no file reaches 100 %).
    (cd "$build" && "$build/fuzz/fuzz_$t" -runs=0 -print_coverage=1 "${corpus[@]}") 2>&1 |
      awk -v root="$root/" -v files=" ${sources[$t]} " '
        /^(UN)?COVERED_FUNC/ {
          file = $NF; sub(/:[0-9]+$/, "", file); sub(root, "", file)
          if (index(files, " " file " ") == 0) next
          split($0, a, "edges: "); split(a[2], e, "[/ ]")
          covered[file] += e[1]; total[file] += e[2]
        }
        END { for (f in total) printf "  %-34s %5d/%-5d edges %3d%%\n", f, covered[f], total[f], 100 * covered[f] / total[f] }' |
      sort
  fi
done
echo "=== fuzzing done in $(($(date +%s) - start)) s"

if [ $lines -eq 1 ]; then
  command -v llvm-cov-14 >/dev/null && command -v llvm-profdata-14 >/dev/null ||
    { echo "fuzz.sh: llvm-cov-14 and llvm-profdata-14 are missing (Debian llvm-14)" >&2; exit 1; }
  cov="$root/build/fuzz-cov"
  flags="-fprofile-instr-generate -fcoverage-mapping"
  CC=clang CXX=clang++ cmake -S "$root" -B "$cov" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate "${launcher[@]}" >/dev/null
  ninja -C "$cov" "${targets[@]/#/duzevod_fuzz_replay_}" >/dev/null || { echo "fuzz.sh: the coverage build failed" >&2; exit 1; }
  echo "=== line coverage by the working corpus and the seeds"
  for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    [ $ci -eq 1 ] && work="$work.ci"
    rm -f "$cov/$t.profraw"
    LLVM_PROFILE_FILE="$cov/$t.profraw" "$cov/fuzz/duzevod_fuzz_replay_$t" "$work" "$root/fuzz/corpus/$t" >/dev/null 2>&1 || true
    llvm-profdata-14 merge -o "$cov/$t.profdata" "$cov/$t.profraw"
    files=()
    for f in ${sources[$t]}; do files+=("$root/$f"); done
    echo "$t:"
    llvm-cov-14 report "$cov/fuzz/duzevod_fuzz_replay_$t" -instr-profile="$cov/$t.profdata" "${files[@]}" |
      awk -v r="$root/" 'NF >= 13 && $1 != "Filename" && $1 != "TOTAL" {
        f = $1; sub(r, "", f); printf "  %-34s lines %4d/%-4d %7s   branches %7s\n", f, $8 - $9, $8, $10, $13 }'
  done
fi
exit $status
