#!/bin/sh
# Runs a fuzz target for a bounded count of inputs, starting from its seed corpus: the seeds
# are only read; what the run adds, and any input that breaks the target, go to a scratch
# folder that is emptied first.
# Usage: smoke.sh TARGET SEEDS SCRATCH RUNS
set -eu
target=$1 seeds=$2 scratch=$3 runs=$4
rm -rf "$scratch"
mkdir -p "$scratch/corpus"
exec "$target" -runs="$runs" -seed=1 -artifact_prefix="$scratch/" "$scratch/corpus" "$seeds"
