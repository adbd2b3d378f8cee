#!/usr/bin/env bash
# Inspects a kernel image with its toolchain's objdump: PE32 (i386) or PE32+ (x64), native
# subsystem, entry point set, every import from ntoskrnl.exe or HAL.dll, no trap instruction, and
# for x64 the unwind tables. For x64 it also lists every instruction that user mode cannot execute as written
# (segment-relative reads, control and debug registers, privileged instructions, fixed kernel
# addresses): the 64-bit image host stands in for two kinds only, the current thread read at
# gs:0x188 and the system time read from the shared user page; any other fails the check with
# its routine named.
# For both it reads back the image's resources (the version block and the message table of the
# error-log entries) and verifies a test-signed copy; --code-only leaves those two out, for
# images built without the driver's resources (the check's own probes).
set -euo pipefail
code_only=no
if [ "${1:-}" = "--code-only" ]; then
  code_only=yes
  shift
fi
image=${1:?usage: sys_image_check.sh [--code-only] tessacom.sys}
[ -f "$image" ] || { echo "FAIL: $image not built (run the nt or nt-x64 preset first)"; exit 1; }
headers=$(objdump -p "$image" 2>/dev/null || x86_64-w64-mingw32-objdump -p "$image")
fail=0
if grep -q 'Magic[[:space:]]*020b[[:space:]]*(PE32+)' <<<"$headers"; then
  kind="PE32+ (x64)"
  objdump=x86_64-w64-mingw32-objdump
elif grep -q 'Magic[[:space:]]*010b[[:space:]]*(PE32)' <<<"$headers"; then
  kind="PE32 (i386)"
  objdump=i686-w64-mingw32-objdump
else
  echo "FAIL: neither PE32 nor PE32+"
  exit 1
fi
headers=$("$objdump" -p "$image")
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
echo "image $image: $kind native, entry 0x$entry, imports from: $(echo $dlls) ($imports routines)"

# ---- resources and test signing (both images) ----
# The version block, read back from .rsrc with windres: the project's version (CMakeLists.txt),
# product tessacom, a driver file. The message table: a text for every error-log code the driver
# writes (the NTSTATUS constants of driver/error_log.h) and for nothing else.
root=$(cd "$(dirname "$0")/../.." && pwd)
resource_failures() {
  local rc version numbers codes ids
  rc=$(x86_64-w64-mingw32-windres -i "$image" -O rc 2>/dev/null) || rc=""
  version=$(sed -n 's/^project(tessacom VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
  numbers="${version//./, }, 0"
  if ! grep -q "VERSIONINFO" <<<"$rc"; then
    echo "FAIL: no version resource"
  else
    grep -q "^ FILEVERSION $numbers\$" <<<"$rc" || echo "FAIL: the version resource's FILEVERSION is not $numbers"
    grep -q "^ FILETYPE 0x3\$" <<<"$rc" || echo "FAIL: the version resource does not say it is a driver (VFT_DRV)"
    grep -q "VALUE \"ProductName\", \"tessacom\"\$" <<<"$rc" || echo "FAIL: the version resource's ProductName is not tessacom"
    grep -q "VALUE \"FileVersion\", \"$version.0\"\$" <<<"$rc" || echo "FAIL: the version resource's FileVersion is not $version.0"
    grep -q 'VALUE "FileDescription", "[^"]' <<<"$rc" || echo "FAIL: the version resource has no FileDescription"
  fi
  # windres lists each message as "MessageId = 0x..." with its text on the next line.
  ids=$(awk '/MessageId = 0x/ { id = $NF; getline; if ($0 ~ /[A-Za-z]/) print id }' <<<"$rc" |
        while read -r id; do printf '0x%08x\n' "$id"; done | sort -u)
  codes=$(grep -oE '\(NTSTATUS\)0x[0-9A-Fa-f]{8}' "$root/driver/error_log.h" | sed 's/(NTSTATUS)//' |
          while read -r code; do printf '0x%08x\n' "$code"; done | sort -u)
  if ! grep -q "RT_MESSAGETABLE" <<<"$rc"; then
    echo "FAIL: no message table"
  else
    for code in $(comm -23 <(echo "$codes") <(echo "$ids")); do
      echo "FAIL: the message table has no text for error-log code $code (driver/error_log.h)"
    done
    for id in $(comm -13 <(echo "$codes") <(echo "$ids")); do
      echo "FAIL: the message table has $id, which driver/error_log.h does not define"
    done
  fi
  [ -n "$codes" ] || echo "FAIL: no error-log code found in driver/error_log.h"
}

# A copy signed by install/test-sign.sh with a fresh test certificate must verify against it;
# the build output itself stays unsigned.
signing_failures() {
  local work verify arch=i386
  [ "$kind" = "PE32+ (x64)" ] && arch=x64
  work=$(mktemp -d)
  if ! "$root/install/test-sign.sh" --key-dir "$work/key" "$work/kit" "$image" >"$work/sign.log" 2>&1; then
    echo "FAIL: install/test-sign.sh could not sign a copy: $(tail -1 "$work/sign.log")"
  elif ! verify=$(osslsigncode verify -CAfile "$work/key/tessacom-test.pem" -in "$work/kit/$arch/tessacom.sys" 2>&1) ||
       ! grep -q '^Signature verification: ok' <<<"$verify"; then
    echo "FAIL: the test-signed copy does not verify: $(grep -i 'fail\|error' <<<"$verify" | head -2)"
  elif cmp -s "$image" "$work/kit/$arch/tessacom.sys"; then
    echo "FAIL: the signed copy is the image itself"
  fi
  rm -rf "$work"
}

if [ "$code_only" = no ]; then
  failures=$(resource_failures; signing_failures)
  if [ -n "$failures" ]; then
    echo "$failures"
    fail=1
  else
    echo "  resources: version $(sed -n 's/^project(tessacom VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt").0, message table of every error-log code; a test-signed copy verifies"
  fi
fi
# ---- end of resources and test signing ----

# Every instruction of the image, as "routine: address: instruction".
instructions() {
  "$objdump" -d --no-show-raw-insn -C "$image" | awk '
    /^[0-9a-f]+ <.*>:$/ { routine = substr($0, index($0, "<") + 1); sub(/>:$/, "", routine); next }
    /^ +[0-9a-f]+:\t/ { split($0, part, "\t"); sub(/^ +/, "", part[1]); print routine ": " part[1] " " part[2] }'
}

# ---- trap instructions (both images) ----
# The compiler puts a trap (ud2) where it proved a path undefined: a null dereference, a
# missing return. In the kernel that path is a bug check; the image may have none.
traps=$(instructions | grep -E -- ': [0-9a-f]+: (ud2|ud1[a-z]*|ud0[a-z]*)( |$)' || true)
while IFS= read -r line; do
  [ -n "$line" ] || continue
  echo "FAIL: trap instruction: $line"
  fail=1
done <<<"$traps"
# ---- end of the trap scan ----

[ "$kind" = "PE32+ (x64)" ] || exit $fail

sections=$("$objdump" -h "$image" | awk '{print $2}')
for section in .pdata .xdata; do
  grep -qx -- "$section" <<<"$sections" || { echo "FAIL: no $section section (unwind tables)"; fail=1; }
done

# Every instruction user mode cannot run as written, as "routine: address: instruction".
mnemonics='cli|sti|hlt|in|out|insb|insw|insl|outsb|outsw|outsl|lgdt|lidt|lldt|ltr|lmsw|clts|invlpg|invd|wbinvd|rdmsr|wrmsr|swapgs|sysret|sysretq|iret|iretq|xsetbv|rdfsbase|rdgsbase|wrfsbase|wrgsbase'
privileged="%[gf]s:|%cr[0-9]|%db[0-9]|%dr[0-9]|[^\$0-9a-fx]0xffff[89a-f][0-9a-f]{11}([^0-9a-f]|\$)|: [0-9a-f]+: ($mnemonics)( |\$)"
listed=$(instructions | grep -E -- "$privileged" || true)
# What the image host supports: the current thread from the processor region behind GS, and
# the system time from the shared user page (a 64-bit read into RAX).
supported='mov +%gs:0x188,%r[a-z0-9]+$|movabs +0xfffff78000000014,%rax$'
while IFS= read -r line; do
  [ -n "$line" ] || continue
  if grep -qE -- "$supported" <<<"$line"; then
    echo "  user mode cannot run, the image host stands in: $line"
  else
    echo "FAIL: user mode cannot run, and the image host does not stand in: $line"
    fail=1
  fi
done <<<"$listed"
exit $fail
