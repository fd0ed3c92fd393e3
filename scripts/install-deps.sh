#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
#   --linux   only what the Linux build and its programs need (the demonstration), no test toolchain
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_only=0
case ${1:-} in
  --linux) linux_only=1 ;;
  -h | --help) sed -n '2,3s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "install-deps.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
esac

# The Linux build: the module, its tools (the MQTT gateway among them, with protobuf for Sparkplug B) and
# the terminal dialog; a broker and its clients for the gateway's demonstration.
packages=(cmake ninja-build g++ pkg-config libncurses-dev libmosquitto-dev nlohmann-json3-dev mosquitto
          mosquitto-clients libprotobuf-dev protobuf-compiler)
# The OPC UA server runs on Node.js. A nodejs package that brings its own npm (as Node 20's does) must not
# be joined by Debian's npm, which would conflict with it.
packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
if ((!linux_only)); then
  # Unit and end-to-end tests: GoogleTest, real Modbus peers, tmux for the terminal dialog,
  # certificates for the gateway's TLS, clang's libFuzzer, jq for the host's JSON lines, Python's
  # protobuf for the tests' own Sparkplug B decoder, strace and valgrind for the benchmark's counts of
  # system calls and instructions.
  packages+=(googletest libgtest-dev libgmock-dev mbpoll libmodbus-dev tmux openssl clang libfuzzer-14-dev
             libclang-rt-14-dev jq python3-protobuf strace valgrind)
  # The 32-bit DLL is always built and its binary interface checked from the file. Its behaviour runs
  # under 32-bit Wine where the kernel executes 32-bit programs, and on a 64-bit Windows build under
  # 64-bit Wine everywhere (within the test command's budget there). The dialog's test needs an X
  # server (Xvfb) and Wine's own fonts.
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 fonts-wine xvfb
             wine wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
  if "$root/scripts/can-run-32bit.sh" >/dev/null; then
    packages+=(wine32:i386)
  fi
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  # wine32 is an i386 package: the architecture must be known before the package lists are read.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
