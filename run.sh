#!/usr/bin/env bash
# Sets up what is missing, builds the host and runs the tessacom program: with no arguments its
# main job (the demo); otherwise the arguments are passed to it (try --help).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset host-release >/dev/null
cmake --build build/host-release >/dev/null
if [ $# -eq 0 ]; then set -- demo; fi
exec build/host-release/tools/tessacom/tessacom "$@"
