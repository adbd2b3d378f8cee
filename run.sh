#!/usr/bin/env bash
# Sets up what the host build needs when it is missing, builds the tessacom program (and the
# device server emulator, so that `cmake --install build/host-release` has both) in the
# optimised host build, and runs it: with no arguments its main job (the demo); otherwise the
# arguments are passed to it (try --help). One line per step on standard error, then the
# build's own progress; the program's output alone goes to standard output.
set -euo pipefail
cd "$(dirname "$0")"
build=build/host-release
step() { printf 'run.sh [%s/4] %s\n' "$1" "$2" >&2; }

step 1 "checking the packages the host build needs (scripts/setup.sh host)"
scripts/setup.sh host >&2
if [ -f "$build/build.ninja" ]; then
  step 2 "configured already: $build (the build configures again if a CMakeLists.txt changed)"
else
  step 2 "configuring $build (cmake --preset host-release; its output in $build/configure.log)"
  mkdir -p "$build"
  if ! cmake --preset host-release >"$build/configure.log" 2>&1; then
    cat "$build/configure.log" >&2
    exit 1
  fi
fi
step 3 "building tessacom and tessacom-devserver, and what they link"
cmake --build "$build" --target tessacom tessacom-devserver >&2
if [ $# -eq 0 ]; then set -- demo; fi
step 4 "running $build/tools/tessacom/tessacom $*"
exec "$build/tools/tessacom/tessacom" "$@"
