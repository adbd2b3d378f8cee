#!/usr/bin/env bash
# The layering check's own cases, on a copy of the tree's sources: the copy as it is must pass;
# with the includes below planted at the end of their files, it must fail, naming each one's
# file, line and rule. Usage: layering_check_test.sh PYTHON ROOT WORKDIR
set -euo pipefail
python=${1:?usage: layering_check_test.sh PYTHON ROOT WORKDIR}
root=${2:?usage: layering_check_test.sh PYTHON ROOT WORKDIR}
work=${3:?usage: layering_check_test.sh PYTHON ROOT WORKDIR}
check="$root/scripts/layering_check.py"
rm -rf "$work" && mkdir -p "$work"
(cd "$root" && find . \( -path './build*' -o -path './.*' \) -prune -o \
   \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) -print0 |
   xargs -0 cp --parents -t "$work")
# file | planted include | the rule the check must name
cases=(
  "port/byte_ring.cpp|serial/serial_requests.h|driver code: port/ includes serial/, above it in the stack"
  "link/tx_ring.cpp|driver/driver_entry.h|driver code: link/ includes driver/, above it in the stack"
  "serial/purge.cpp|host/io/client.h|driver code reaches the platform other than through kernel.h"
  "platform/layout/probe.cpp|port/port_record.h|the platform includes driver code, above it in the stack"
  "platform/host/rtl/strings.cpp|host/io/client.h|host folder rtl includes io, above it in the host's order"
  "tests/host/executive_test.cpp|host/net/sockets.h|platform/host/net/sockets.h is private to platform/host/net"
  "tools/comm/comm_control.cpp|host/ke/dispatcher.h|platform/host/ke/dispatcher.h is internal to the host: not for driver code, tests or tools"
)
failures=0
if ! output=$("$python" "$check" "$work" 2>&1); then
  echo "WRONG: the tree's sources as they are should pass; the check said:"
  echo "$output"
  failures=$((failures + 1))
fi
# Every include planted at once, in files of their own: the check must fail, name each, and
# find nothing else.
named=()
for entry in "${cases[@]}"; do
  IFS='|' read -r file include rule <<<"$entry"
  echo "#include \"$include\"" >>"$work/$file"
  named+=("$file:$(wc -l <"$work/$file"): #include \"$include\": $rule")
done
if output=$("$python" "$check" "$work" 2>&1); then
  echo "WRONG: the planted includes should fail the check; it said:"
  echo "$output"
  failures=$((failures + 1))
fi
for line in "${named[@]}"; do
  if grep -qxF "$line" <<<"$output"; then echo "ok: $line"; else
    echo "WRONG: not named: $line"
    failures=$((failures + 1))
  fi
done
if ! grep -qx "layering check: ${#cases[@]} include(s) break the stack" <<<"$output"; then
  echo "WRONG: the check should find the ${#cases[@]} planted includes and nothing else; it said:"
  echo "$output"
  failures=$((failures + 1))
fi
echo "$failures failed"
[ "$failures" -eq 0 ]
