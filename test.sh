#!/usr/bin/env bash
# Sets up what is missing, builds the homes (the kernel images tessacom.sys for i386 and x64,
# and the host with AddressSanitizer + UndefinedBehaviorSanitizer), and runs every test through
# CTest; then the soaks again in the optimised build; then runs the black-box suites again
# against each tessacom.sys itself: the i386 image in the 32-bit host, the x64 image in the x64
# image host; then builds the fuzz targets with clang and runs each for a bounded count of
# inputs.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset nt >/dev/null
cmake --build build/nt
cmake --preset nt-x64 >/dev/null
cmake --build build/nt-x64
cmake --preset host >/dev/null
cmake --build build/host
ctest --preset host
# The soaks again in the optimised build, whose timing is a fast machine's.
cmake --preset host-release >/dev/null
cmake --build build/host-release --target tessacom
ctest --preset host-release -L soak
cmake --preset host-i386 >/dev/null
cmake --build build/host-i386
ctest --preset host-i386
cmake --preset host-x64-image >/dev/null
cmake --build build/host-x64-image
ctest --preset host-x64-image
cmake --preset fuzz >/dev/null
cmake --build build/fuzz
ctest --preset fuzz
