#!/bin/sh
# What running exactly the verified bytes costs: the private copy checked as
# it is made, against the check alone and a plain copy, for a state module and
# a large federal update.
set -e
BUILD=${1:-build}
BENCH="$BUILD/bin/copy_bench"
[ -x "$BENCH" ] || { echo "missing $BENCH (build first)"; exit 1; }
RUNS=${RUNS:-5}
for mib in 4 64; do
  "$BENCH" "$mib" "$RUNS"
done
