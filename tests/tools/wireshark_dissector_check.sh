#!/usr/bin/env bash
# The link seen from outside: captures written by `tessacom demo --pcap`, `tessacom soak --pcap`
# and `tessacom-devserver --pcap`, read by tshark with the dissector of tools/wireshark, must
# show what happened on the wire:
# - the demo: the open handshake (OPEN with its settings block, the open reply), the settings
#   block of 115200 8N1 decoded field by field, the three data packets with their sequences and
#   acknowledgements, the echo coming back as sequenced data with its receive acknowledgement
#   and the same bytes, the close both ways, and nothing the dissector finds wrong;
# - a short soak through the faulty link: data sent again under its sequence, the resends the
#   dissector marks being exactly the packets that repeat the sequence before them;
# - settings blocks of several rates, characters, parities, stop bits and handshakes, read by
#   the dissector as the device server emulator reads them;
# - malformed datagrams from the emulator on another port, decoded as the link with Decode As:
#   a runt, an unknown type, a length field that lies and a settings block of the wrong size,
#   each with its expert note.
# usage: wireshark_dissector_check.sh TESSACOM DEVSERVER DISSECTOR WORKDIR [DRIVER OPTIONS...]
set -uo pipefail

tessacom=$1 devserver=$2 dissector=$3 work=$4
shift 4
driver=("$@")  # --image FILE, when the suites run a kernel image

if ! command -v tshark >/dev/null; then
  echo "tshark is missing: scripts/setup.sh installs it (Debian package tshark)"
  exit 77
fi
mkdir -p "$work"
failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    echo "  expected: ${2:0:400}"
    echo "  got:      ${3:0:400}"
    failures=$((failures + 1))
  fi
}
# The link's fields of a capture, one line a frame, tab-separated. Port 40519 carries the link
# in runs without root; 40600 is the emulator's port below.
fields() {
  local capture=$1
  shift
  local options=()
  for field in "$@"; do options+=(-e "$field"); done
  tshark -X "lua_script:$dissector" -d udp.port==40519,tessacom -d udp.port==40600,tessacom \
    -r "$capture" -T fields -E separator=/t "${options[@]}" 2>/dev/null
}
# --- the demo -------------------------------------------------------------------------------
if ! "$tessacom" demo --pcap "$work/demo.pcap" "${driver[@]}" >"$work/demo.out" 2>&1; then
  echo "FAILED: the demo did not run clean"; cat "$work/demo.out"; exit 1
fi
demo=$(fields "$work/demo.pcap" tessacom.type tessacom.seq tessacom.open_reply ip.src)
driver_address=$(echo "$demo" | head -1 | cut -f4)
by_type() {  # SEQs of frames of type $1 (numbers) from the driver (1) or the remote (0)
  echo "$demo" | awk -F'\t' -v t="$1" -v d="$2" -v a="$driver_address" \
    '$1 == t && (($4 == a) == (d == 1)) && $3 == "" {printf "%s ", $2}' | sed 's/ $//'
}
check "the driver opens with its settings block, sequence 1" "1" "$(by_type 1 1)"
check "the remote's open reply, sequence 9" "9" \
  "$(echo "$demo" | awk -F'\t' '$3 != "" {print $2}')"
check "the driver's data packets and their sequences" "2 3 4" "$(by_type 0 1)"
check "the remote acknowledges each" "2 3 4" "$(by_type 4 0)"
check "the echo comes back as sequenced data" "10 11 12" "$(by_type 10 0)"
check "the driver's last receive acknowledgement names the last" "12" "$(by_type 11 1 | awk '{print $NF}')"
check "the close, both ways" "0 0" "$(by_type 2 1) $(by_type 2 0)"
check "COM3's channel by the registry's number, and its wire byte" "1 0" \
  "$(fields "$work/demo.pcap" tessacom.channel tessacom.wire_channel | sort -u | tr '\t' ' ')"
check "the settings block of 115200 8N1, field by field" \
  "115200 8N1	115200	8	none	1	none (RTS not under handshake)" \
  "$(fields "$work/demo.pcap" tessacom.type tessacom.settings.line tessacom.settings.rate \
       tessacom.settings.data_bits tessacom.settings.parity tessacom.settings.stop_bits \
       tessacom.settings.handshake | awk -F'\t' '$1 == 3' | tail -1 | cut -f2-)"
echoed() {  # the data bytes of frames of type $1, in order, as hex
  fields "$work/demo.pcap" tessacom.type tessacom.data | awk -F'\t' -v t="$1" '$1 == t {printf "%s", $2}' | tr -d ':'
}
sent=$(echoed 0)
check "300 bytes written" "600" "${#sent}"
check "the echo brings back the same bytes" "$sent" "$(echoed 10)"
check "nothing the dissector finds wrong" "0" \
  "$(fields "$work/demo.pcap" _ws.expert.message | grep -c -v '^$')"
tshark -X "lua_script:$dissector" -d udp.port==40519,tessacom -r "$work/demo.pcap" -O tessacom \
  >"$work/demo.txt" 2>/dev/null

# --- a short soak with faults ---------------------------------------------------------------
# The soak's own verdict is its own suites' (tessacom_soak_*): here only its capture counts.
if ! "$tessacom" soak --bytes 131072 --speed 1000 --pcap "$work/soak.pcap" "${driver[@]}" \
    >"$work/soak.out" 2>&1; then
  echo "note: the soak reported errors (see $work/soak.out); its capture is read all the same"
fi
soak=$(fields "$work/soak.pcap" frame.number ip.src ip.dst tessacom.channel tessacom.type \
         tessacom.seq tessacom.open_reply tessacom.resend_of)
# Resends worked out here: data repeating the sequence of the data before it on its flow, a
# driver's OPEN starting its channel's numbering afresh both ways.
repeats=$(echo "$soak" | awk -F'\t' '
  $5 == 1 && $7 == "" { delete last[$2 ">" $3 "/" $4 "/0"]; delete last[$3 ">" $2 "/" $4 "/10"] }
  $5 == 0 || $5 == 10 { key = $2 ">" $3 "/" $4 "/" $5
                        if (key in last && last[key] == $6 && $6 != 0) print $1
                        last[key] = $6 }' | tr '\n' ' ')
marked=$(echo "$soak" | awk -F'\t' '$8 != "" {print $1}' | tr '\n' ' ')
check "the dissector marks as resends exactly the repeated sequences" "$repeats" "$marked"
driver_resends=$(echo "$soak" | awk -F'\t' '$5 == 0 && $8 != ""' | wc -l)
if [ "$driver_resends" -gt 0 ]; then
  echo "ok: the driver's data sent again under its sequence ($driver_resends times)"
else
  echo "FAILED: no data packet of the driver was sent again"; failures=$((failures + 1))
fi

# --- settings blocks of every kind, against the emulator's own decoding ---------------------
# The emulator prints how it reads each block it gets ("ch 1 settings: 9600 7O1 rts=other
# rxflow=off ..."); the dissector must read the same rate, character, parity, stop bits, RTS
# control and receive flow control from the same blocks.
base=$((0x7F5C0000 | ($$ & 0x3FFF) << 2))
address() { echo "$(( $1 >> 24 & 255 )).$(( $1 >> 16 & 255 )).$(( $1 >> 8 & 255 )).$(( $1 & 255 ))"; }
port=$([ "$(id -u)" -eq 0 ] && echo 519 || echo 40519)
"$devserver" --bind "$(address $((base + 2))):$port" --no-commands >"$work/settings.out" 2>&1 &
emulator=$!
# The shell's one OPEN must find the emulator bound: wait for its first line (at most 10 s).
for _ in $(seq 100); do grep -q '^# serving' "$work/settings.out" 2>/dev/null && break; sleep 0.1; done
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"MaxPort"=dword:00000001\n"StartNum1"=dword:00000001\n"dAddress1"=dword:%08x\n' \
  $((base + 2)) >"$work/settings.reg"
# 9600 7O1; 2400 8E2; 57600 5N1.5; RTS/CTS with XOFF when full; back to RTS on.
printf '%s\n' "open COM3" "ioctl SET_BAUD_RATE in=80250000" "ioctl SET_LINE_CONTROL in=000107" \
  "ioctl SET_BAUD_RATE in=60090000" "ioctl SET_LINE_CONTROL in=020208" \
  "ioctl SET_BAUD_RATE in=00e10000" "ioctl SET_LINE_CONTROL in=010005" \
  "ioctl SET_HANDFLOW in=01000000820000000000000000000000" \
  "ioctl SET_HANDFLOW in=01000000400000000000000000000000" "close" "quit" |
  "$tessacom" shell --loopback-only --reg "$work/settings.reg" --bind "$(address $((base + 1)))" \
    --pcap "$work/settings.pcap" "${driver[@]}" >"$work/settings.answers" 2>"$work/settings.err"
sleep 0.5
kill "$emulator"; wait "$emulator"
emulator_read=$(sed -n 's/^# ch 1 \(opened\|settings\): \([^ ]* [^ ]*\) rts=\([a-z]*\) rxflow=\([a-z]*\).*/\2 rts=\3 rxflow=\4/p' "$work/settings.out")
dissector_read=$(fields "$work/settings.pcap" tessacom.type tessacom.settings.line tessacom.settings.handshake |
  awk -F'\t' '($1 == 1 || $1 == 3) && $2 != "" {
    printf "%s rts=%s rxflow=%s\n", $2, ($3 ~ /^RTS\/CTS/) ? "handshake" : "other", ($3 ~ /XOFF/) ? "on" : "off" }')
check "settings blocks read as the emulator reads them" "$emulator_read" "$dissector_read"
check "eight different lines among the blocks, the asked ones" "8" \
  "$(echo "$dissector_read" | sort -u | wc -l)"

# --- malformed datagrams, on a port chosen with Decode As -----------------------------------
printf 'raw 01\nraw 09 00 04 00\nraw 00 01 10 10 41\nraw 03 00 08 00 01 02 03 04\nquit\n' |
  timeout 20 "$devserver" --bind "$(address $((base + 2))):40600" \
    --driver "$(address $((base + 1))):40600" --pcap "$work/odd.pcap" --quiet >"$work/odd.out" 2>&1
check "each malformed datagram has its expert note" \
  "Runt: 1 bytes, shorter than the 4-byte header|Unknown packet type 9|Length field says 16, the datagram holds 5|Settings block of 4 bytes, 18 expected" \
  "$(fields "$work/odd.pcap" _ws.expert.message | paste -sd'|')"

echo "$failures failure(s); captures and decodes in $work"
[ "$failures" -eq 0 ]
