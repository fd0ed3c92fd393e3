#!/usr/bin/env bash
# Checks the binary interface of the Windows build from the PE files alone (no Windows needed):
#   exports  duzevod.dll exports exactly the six functions, undecorated, each bound to a function whose
#            decoration and return instructions show the agreed calling convention
#   imports  duzevod.dll imports exactly exposeAnTag, exposeBitTag, exposeIntTag from tessarin.dll and
#            otherwise only Windows system DLLs
#   runtime  tessarin.dll and duzevod-host.exe need only Windows system DLLs (and tessarin.dll); the
#            module's own code has no guarded function-local static and no thread-local variable, and
#            the 32-bit unwinder registers the DLL's tables without the thread library
# Usage: check_binary_interface.sh exports|imports|runtime OBJDUMP NM BIN_DIR
set -euo pipefail
mode=$1 objdump=$2 nm=$3 bin=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# DLLs every Windows system has; the mingw run-times (libstdc++-6, libgcc_s_*, libwinpthread-1) are not.
system_dll() {
  case "${1,,}" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | msvcrt.dll | comctl32.dll | comdlg32.dll | \
      ole32.dll | oleaut32.dll | shell32.dll | shlwapi.dll | ws2_32.dll | winmm.dll | uxtheme.dll | \
      version.dll | setupapi.dll | ntdll.dll | imm32.dll | ucrtbase.dll | api-ms-win-*.dll) return 0 ;;
    *) return 1 ;;
  esac
}

# "DLL:function" for every import of a PE file.
imports_of() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = $3; next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+  / { print dll ":" $3; next }
    /^$/ { }'
}

check_dependencies() {  # FILE ALLOWED_EXTRA_DLL...
  local file=$1; shift
  local dll
  while read -r dll; do
    system_dll "$dll" && continue
    local allowed=0 extra
    for extra in "$@"; do [ "${dll,,}" = "${extra,,}" ] && allowed=1; done
    [ $allowed = 1 ] || fail "$(basename "$file") needs $dll, which is not a Windows system DLL"
  done < <("$objdump" -p "$file" | awk '/^\tDLL Name: / { print $3 }' | sort -u)
}

dll=$bin/duzevod.dll
case $mode in
  exports)
    dump=$("$objdump" -p "$dll")
    image_base=$((16#$(awk '/^ImageBase/ { print $2 }' <<<"$dump")))
    # Export name -> RVA, through the name pointer table's index into the address table.
    declare -A rva
    while read -r index address; do rva[$index]=$address; done < <(awk '
      /^Export Address Table/ { on = 1; next }
      on && /Export RVA/ { gsub(/[\[\]]/, " "); print $1, $4; next }
      on && /^$/ { on = 0 }' <<<"$dump")
    declare -A exported
    while read -r index name; do exported[$name]=${rva[$index]:-}; done < <(awk '
      /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
      on && /^\t\[/ { gsub(/[\[\]]/, " "); print $1, $2; next }
      on && /^$/ { on = 0 }' <<<"$dump")
    expected="GetDataForDUZEvoder GiveString OnShutDown SetAnTagValue SetBitTagValue SetIntTagValue"
    actual=$(printf '%s\n' "${!exported[@]}" | sort | xargs)
    [ "$actual" = "$expected" ] || fail "exports are [$actual], expected exactly [$expected]"

    symbols=$("$nm" "$dll")
    disassembly=$("$objdump" -d --no-show-raw-insn "$dll")
    # name, argument bytes (stdcall) or "cdecl"
    for entry in GetDataForDUZEvoder:cdecl OnShutDown:cdecl SetAnTagValue:8 SetBitTagValue:8 \
      SetIntTagValue:8 GiveString:16; do
      name=${entry%%:*} convention=${entry#*:}
      [ -n "${exported[$name]:-}" ] || continue
      address=$(printf '%08x' $((image_base + 16#${exported[$name]})))
      symbol=$(awk -v a="$address" '$1 == a && $2 == "T" { print $3; exit }' <<<"$symbols")
      if [ "$convention" = cdecl ]; then want="_$name"; else want="_$name@$convention"; fi
      if [ "$symbol" != "$want" ]; then
        fail "export $name is bound to '${symbol:-nothing}', expected $want"
        continue
      fi
      # The function's body: from its label to the blank line after it.
      body=$(awk -v label="<$symbol>:" 'index($0, label) { on = 1; next } on && /^$/ { exit } on' <<<"$disassembly")
      if [ "$convention" = cdecl ]; then
        grep -qE '\sret\s+\$' <<<"$body" && fail "$name removes its arguments (ret \$n): not cdecl"
      else
        grep -qE '\sret\s*$' <<<"$body" && fail "$name returns without removing its arguments: not stdcall"
        bad=$(grep -oE '\sret\s+\$0x[0-9a-f]+' <<<"$body" | grep -vE "\\\$$(printf '0x%x' "$convention")\$" || true)
        [ -z "$bad" ] || fail "$name removes the wrong number of argument bytes: $bad (expected $convention)"
      fi
    done
    ;;
  imports)
    actual=$(imports_of "$dll" | grep -i '^tessarin\.dll:' | sort | xargs || true)
    expected="tessarin.dll:exposeAnTag tessarin.dll:exposeBitTag tessarin.dll:exposeIntTag"
    [ "$actual" = "$expected" ] || fail "imports from tessarin.dll are [$actual], expected exactly [$expected]"
    check_dependencies "$dll" tessarin.dll
    ;;
  runtime)
    check_dependencies "$bin/tessarin.dll"
    check_dependencies "$bin/duzevod-host.exe" tessarin.dll
    actual=$("$objdump" -p "$bin/tessarin.dll" | awk '
      /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
      on && /^\t\[/ { print $3; next }
      on && /^$/ { on = 0 }' | sort | xargs)
    expected="exposeAnTag exposeBitTag exposeIntTag tessarinLock tessarinPublications tessarinUnlock"
    [ "$actual" = "$expected" ] || fail "tessarin.dll exports [$actual], expected [$expected]"
    # Either would hand the host's threads to the thread library linked into the DLL, whose bookkeeping
    # of them each unload would leave behind.
    own=$("$nm" -C "$bin/duzevod.dll" | grep -E 'guard variable for duz::|__emutls_v\..*3duz' || true)
    [ -z "$own" ] || fail "duzevod.dll has guarded or thread-local statics of its own: $own"
    # The 32-bit run-time registers the DLL's unwind tables at every load. Through the thread library
    # that would give the loading thread bookkeeping which each unload leaves behind.
    if "$nm" "$dll" | grep -q ' T ___register_frame_info$'; then
      disassembly=$("$objdump" -d --no-show-raw-insn "$dll")
      for function in ___register_frame_info ___register_frame_info_bases __Unwind_Find_FDE; do
        calls=$(awk -v label="<$function>:" 'index($0, label) { on = 1; next } on && /^$/ { exit } on' \
          <<<"$disassembly" | grep -oE '<_pthread_[a-z_]+>' | sort -u | xargs || true)
        [ -z "$calls" ] || fail "duzevod.dll's $function calls the thread library: $calls"
      done
    fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac

if [ $failures -gt 0 ]; then exit 1; fi
echo "ok: $mode"
