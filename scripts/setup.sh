#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine when it is missing: CMake,
# Ninja, the host compiler with its 32-bit libraries (the 32-bit host runs the kernel image),
# GoogleTest for both, the mingw-w64 i686 and x86-64 cross compilers with their DDK headers and
# kernel import libraries (the i386 and x64 kernel images), clang with its fuzzing and sanitizer
# runtimes (the fuzz targets), the programs that use the COM ports through the pseudo-terminal
# bridge in the end-to-end tests (pyserial, picocom, tmux), Python for the layering check,
# tshark, which reads the link's captures with its dissector, and openssl and osslsigncode,
# which test-sign the kernel images (install/test-sign.sh; the image check verifies a signed
# copy). As root it installs with apt-get (adding the i386 architecture for the 32-bit
# GoogleTest); otherwise it names what to install.
# `setup.sh host` checks only what the optimised host build needs (./run.sh): CMake, Ninja, the
# compiler and GoogleTest (the build's tests are configured, not built).
set -euo pipefail

if [ "${1:-}" = host ]; then
  packages=(cmake ninja-build g++ libgtest-dev googletest)
else
  packages=(cmake ninja-build g++ g++-multilib make libgtest-dev libgtest-dev:i386 googletest
            g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64
            binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev clang-14 libclang-rt-14-dev
            python3 python3-serial picocom tmux tshark openssl osslsigncode)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
needs_i386() { [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; }

if [ "$(id -u)" -ne 0 ]; then
  echo "tessacom setup: missing packages: ${missing[*]}" >&2
  ! needs_i386 || echo "the 32-bit packages need: sudo dpkg --add-architecture i386 && sudo apt-get update" >&2
  echo "install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "tessacom setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
! needs_i386 || dpkg --add-architecture i386
# tshark's package asks whether non-root users may capture: no, without asking.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
