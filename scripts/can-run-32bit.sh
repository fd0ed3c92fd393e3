#!/usr/bin/env bash
# Exits 0 when this machine's kernel executes 32-bit x86 programs (and so 32-bit Wine can start), 1 when
# it does not, and prints one line saying which. The test is a 93-byte static i386 program that only
# calls exit(0): it needs no 32-bit library, compiler or Wine, so the answer is known before anything
# is installed.
set -u
probe=$(mktemp "${TMPDIR:-/tmp}/duz-i386-XXXXXX")
trap 'rm -f "$probe"' EXIT
# ELF header, one loadable segment at 0x08048000, then: mov eax,1; xor ebx,ebx; int 0x80.
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
  '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00' \
  '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
chmod +x "$probe"
if err=$("$probe" 2>&1); then
  echo "this machine runs 32-bit x86 programs"
  exit 0
fi
echo "this machine runs no 32-bit x86 programs (${err##*: })"
exit 1
