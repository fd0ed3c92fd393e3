#!/usr/bin/env bash
# The one test command: installs what is missing, builds Linux Release, Linux with AddressSanitizer and
# UndefinedBehaviorSanitizer, Linux with ThreadSanitizer, and the 32-bit Windows cross build, and runs
# every test that can run in each. Build folders are build/<name>. Where this machine runs no 32-bit
# programs, the Windows behaviour tests run on a 64-bit Windows build (build/win64) under 64-bit Wine;
# the 32-bit DLL is built and its binary interface checked either way. Where it runs them, the tests run
# on the 32-bit DLL under 32-bit Wine and then, when the run is still within its budget
# (DUZ_TEST_BUDGET_MINUTES, 30), on the 64-bit build too. The last lines say which flavours ran.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)
status=0

# build NAME [CMAKE_OPTION…] [--target TARGET…]: everything, or only the targets named.
build() {
  local name=$1 options=() targets=()
  shift
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then targets+=(--target "$2"); shift 2; else options+=("$1"); shift; fi
  done
  echo "=== build $name"
  # Each build is the preset of its name (CMakePresets.json): folder build/NAME, tests on.
  (cd "$root" && cmake --preset "$name" "${options[@]}") >/dev/null
  cmake --build "$root/build/$name" -j "$jobs" "${targets[@]}"
}

failed_flavours=""  # the builds with a failing test
run_tests() {
  local name=$1; shift
  echo "=== test $name"
  (cd "$root/build/$name" && ctest --output-on-failure -j "$jobs" "$@") || { status=1; failed_flavours+=" $name"; }
}

# Wine on a loaded machine now and then fails a call the module makes correctly (a serial set-up, a
# start of one of its own programs). A Wine suite that fails is run once more; one that then passes is
# named at the end, and its first failing output stays above for a look. One that fails twice fails.
wine_retried=""
run_wine_tests() {
  local name=$1 dir="$root/build/$1"
  echo "=== test $name"
  (cd "$dir" && ctest --output-on-failure -j "$jobs") && return
  local failed
  failed=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
  echo "=== test $name: once more what failed: $failed"
  if (cd "$dir" && ctest --output-on-failure --rerun-failed); then
    wine_retried+="$failed"
  else
    status=1
    failed_flavours+=" $name"
  fi
}

build release
run_tests release
# Built with clang, so that the tree is known to build and pass with both compilers.
build asan
run_tests asan
build tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests tsan
# The fuzz targets (clang, build/fuzz), each for a bounded time from its seeds and regression cases.
echo "=== fuzz"
"$root/scripts/fuzz.sh" --ci || { status=1; failed_flavours+=" fuzz"; }
# The Linux release build serves the Windows builds' end-to-end tests: its bus simulator and its library.
windows64() {
  build win64
  run_wine_tests win64
}
budget=$((${DUZ_TEST_BUDGET_MINUTES:-30} * 60))
win64_share=$((10 * 60))  # what the 64-bit build and its Wine suites take on 2 cores, about
if why=$("$root/scripts/can-run-32bit.sh"); then
  build win32
  run_wine_tests win32
  flavour32="ran on the 32-bit DLL (build/win32) under 32-bit Wine, and its binary interface was checked: $why"
  if ((SECONDS + win64_share <= budget)); then
    windows64
    flavour64="ran on the 64-bit test build (build/win64) under 64-bit Wine"
  else
    flavour64="not run on the 64-bit test build: after $((SECONDS / 60)) minutes its $((win64_share / 60)) more would pass the budget of $((budget / 60)) (DUZ_TEST_BUDGET_MINUTES)"
  fi
else
  # Only what the binary checks read: the DLL, the host library and the host stand-in.
  build win32 -DDUZ_WINE_TESTS=OFF --target duzevod --target duzevod-host
  run_tests win32
  flavour32="not run on the 32-bit DLL under 32-bit Wine: $why; the 32-bit DLL was built and only its binary interface checked"
  windows64
  flavour64="ran on the 64-bit test build (build/win64) under 64-bit Wine"
fi
echo "=== Flavours, $((SECONDS / 60)) minutes in all:"
echo "===   Linux Release, Linux AddressSanitizer+UndefinedBehaviorSanitizer (clang), Linux ThreadSanitizer, fuzzing: ran"
echo "===   Windows behaviour tests $flavour32"
echo "===   Windows behaviour tests $flavour64"
echo "=== Failing:${failed_flavours:- none}"
[ -z "$wine_retried" ] ||
  echo "=== Passed only when run a second time under Wine (their first failure is printed above): $wine_retried"
exit $status
