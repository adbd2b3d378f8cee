#!/usr/bin/env bash
# Inspects the kernel image with the toolchain's objdump: PE32, native subsystem, entry point
# set, and every import from ntoskrnl.exe or HAL.dll.
set -euo pipefail
image=${1:?usage: sys_image_check.sh tessacom.sys}
objdump=i686-w64-mingw32-objdump
[ -f "$image" ] || { echo "FAIL: $image not built (run the nt preset first)"; exit 1; }
headers=$("$objdump" -p "$image")
fail=0
grep -q 'Magic[[:space:]]*010b[[:space:]]*(PE32)' <<<"$headers" || { echo "FAIL: not PE32"; fail=1; }
grep -q 'Subsystem[[:space:]]*00000001[[:space:]]*(NT native)' <<<"$headers" || { echo "FAIL: subsystem is not native"; fail=1; }
entry=$(awk '/AddressOfEntryPoint/{print $2}' <<<"$headers")
[ -n "$entry" ] && [ "$((16#$entry))" -ne 0 ] || { echo "FAIL: no entry point"; fail=1; }
dlls=$(awk '/DLL Name:/{print $3}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || { echo "FAIL: no imports at all"; fail=1; }
for dll in $dlls; do
  case "$dll" in
    ntoskrnl.exe|HAL.dll) ;;
    *) echo "FAIL: import from $dll"; fail=1 ;;
  esac
done
imports=$(awk '/DLL Name:/{n++} n && /^\t[ 0-9a-f]+\t +[0-9]+ +[A-Za-z_]/{print $NF}' <<<"$headers" | wc -l)
echo "image $image: PE32 native, entry 0x$entry, imports from: $(echo $dlls) ($imports routines)"
exit $fail
