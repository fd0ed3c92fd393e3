#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          mbpoll libmodbus-dev libncurses-dev tmux)
# The Windows build's tests run under 32-bit Wine; the dialog's test needs an X server (Xvfb) and Wine's
# own fonts (its "MS Sans Serif" and Tahoma); the end-to-end tests read the host's JSON lines with jq.
windows_test_packages=(wine wine32:i386 fonts-wine xvfb jq)
packages+=("${windows_test_packages[@]}")
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
