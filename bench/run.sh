#!/bin/sh
# Runs every benchmark script of this folder against the build folder $1.
set -e
BUILD=${1:-build}
cd "$(dirname "$0")/.."
found=0
for b in bench/bench-*.sh; do
  [ -e "$b" ] || continue
  found=1
  echo "== $b"
  sh "$b" "$BUILD"
done
[ "$found" = 1 ] || echo "no benchmarks yet"
