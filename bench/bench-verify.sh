#!/bin/sh
# The check before an installer runs (size, then SHA-256 in 256 KiB blocks)
# against a plain read of the same file and against `openssl dgst -sha256` of
# it, and the checked private copy that is what runs; sizes of a state module
# and of a large federal update.
set -e
BUILD=${1:-build}
BENCH="$BUILD/bin/verify_bench"
[ -x "$BENCH" ] || { echo "missing $BENCH (build first)"; exit 1; }
RUNS=${RUNS:-5}
for mib in 4 64 256; do
  "$BENCH" "$mib" "$RUNS"
done
