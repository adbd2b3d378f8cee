#!/usr/bin/env bash
# The image check's own cases: small x64 native images, each a DriverEntry that imports
# DbgPrint and a routine Probe with one instruction. The check must pass the two reads the x64
# image host stands in for and fail every other instruction user mode cannot run as written,
# and every trap, naming Probe; and, checked with the driver's resources, fail for the ones it
# lacks. Usage: sys_image_check_test.sh WORKDIR
set -euo pipefail
work=${1:?usage: sys_image_check_test.sh WORKDIR}
check="$(dirname "$0")/sys_image_check.sh"
mkdir -p "$work"
cases=(
  "pass|mov %gs:0x188, %rax; movabs 0xfffff78000000014, %rax"
  "fail|mov %cr8, %rax"
  "fail|mov %gs:0x30, %rax"
  "fail|movabs 0xfffff78000000320, %rax"
  "fail|cli"
  "fail|rdmsr"
  "trap|ud2"
)
failures=0
for entry in "${cases[@]}"; do
  expected=${entry%%|*}
  instruction=${entry#*|}
  cat >"$work/probe.c" <<SOURCE
unsigned long __cdecl DbgPrint(const char* format, ...);
void Probe(void) { __asm__ volatile("$instruction"); }  /* clobbers only what calls may */
long DriverEntry(void* driver, void* path) { (void)driver; (void)path; DbgPrint("x"); Probe(); return 0; }
SOURCE
  x86_64-w64-mingw32-gcc -O1 -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry \
    -o "$work/probe.sys" "$work/probe.c" -lntoskrnl
  if output=$("$check" --code-only "$work/probe.sys" 2>&1); then outcome=pass; else outcome=fail; fi
  case "$expected" in
    fail) named="FAIL: user mode cannot run, and the image host does not stand in: Probe: " ;;
    trap) named="FAIL: trap instruction: Probe: "; expected=fail ;;
    *) named="" ;;
  esac
  if [ "$outcome" != "$expected" ] || { [ -n "$named" ] && ! grep -q "$named" <<<"$output"; }; then
    echo "WRONG: '$instruction' should $expected$([ -n "$named" ] && echo ", saying '$named'"); the check said:"
    echo "$output"
    failures=$((failures + 1))
  else
    echo "ok: '$instruction': $expected"
  fi
done

# ---- resources ----
# A probe carries no resources: checked as a driver image, it must fail for the version block
# and the message table it lacks.
if output=$("$check" "$work/probe.sys" 2>&1) || ! grep -q "^FAIL: no version resource" <<<"$output" ||
   ! grep -q "^FAIL: no message table" <<<"$output"; then
  echo "WRONG: an image without resources should fail for its version block and message table; the check said:"
  echo "$output"
  failures=$((failures + 1))
else
  echo "ok: an image without resources: fail"
fi
# ---- end of resources ----

echo "$(( ${#cases[@]} + 1 - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
