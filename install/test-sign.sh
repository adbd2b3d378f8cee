#!/usr/bin/env bash
# Test-signs tessacom.sys images and puts them in an installation kit for a test machine:
#   KITDIR/x64/tessacom.sys, KITDIR/i386/tessacom.sys   the signed copies (each by its PE kind)
#   KITDIR/tessacom-service.cmd, KITDIR/tessacom.reg    the installer and the service's values
#   KITDIR/tessacom-test.cer                            the test certificate (DER), for the
#                                                       test machine's Root and TrustedPublisher
# The images themselves are left as they are. The certificate is self-signed, for code signing,
# made with openssl on the first run and kept with its key in KEYDIR (default
# ~/.config/tessacom/test-signing), so that a test machine trusts it once for every build.
# The signature (SHA-256, no timestamp: test use only) is made with osslsigncode.
# A test-signed driver loads only on a machine booted with test signing on (README, "Installing
# on Windows").
# Usage: test-sign.sh [--key-dir KEYDIR] KITDIR IMAGE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
keydir=${HOME:-/root}/.config/tessacom/test-signing
if [ "${1:-}" = "--key-dir" ]; then
  keydir=${2:?--key-dir needs a directory}
  shift 2
fi
kit=${1:?usage: test-sign.sh [--key-dir KEYDIR] KITDIR IMAGE...}
shift
[ $# -ge 1 ] || { echo "test-sign.sh: no image to sign" >&2; exit 2; }
for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || { echo "test-sign.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

# The image's kind from its optional header's magic: 0x10b PE32 (i386), 0x20b PE32+ (x64).
image_kind() {
  local pe magic
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  magic=$(od -An -tx2 -j$((pe + 24)) -N2 "$1" | tr -d ' ')
  case "$magic" in
    010b) echo i386 ;;
    020b) echo x64 ;;
    *) echo "test-sign.sh: $1 is not a PE32 or PE32+ image" >&2; return 1 ;;
  esac
}

key=$keydir/tessacom-test.key
cert=$keydir/tessacom-test.pem
if [ ! -f "$key" ] || [ ! -f "$cert" ]; then
  mkdir -p "$keydir"
  chmod 700 "$keydir"
  openssl req -x509 -newkey rsa:3072 -sha256 -days 730 -nodes -keyout "$key" -out "$cert" \
    -subj "/CN=tessacom test signing (not for release)" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
  echo "test-sign.sh: made the test certificate $cert"
fi

mkdir -p "$kit"
cp "$here/tessacom-service.cmd" "$here/tessacom.reg" "$kit/"
openssl x509 -in "$cert" -outform DER -out "$kit/tessacom-test.cer"
for image in "$@"; do
  kind=$(image_kind "$image")
  mkdir -p "$kit/$kind"
  rm -f "$kit/$kind/tessacom.sys"
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "tessacom" \
    -in "$image" -out "$kit/$kind/tessacom.sys" >/dev/null
  echo "test-sign.sh: $image -> $kit/$kind/tessacom.sys"
done
