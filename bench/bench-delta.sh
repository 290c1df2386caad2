#!/bin/sh
# Patch sizes, make and rebuild times and peak memory of our patch engine
# against zstd --patch-from (the reference), bsdiff and xdelta3, on a
# synthetic 50 MB pair and on real consecutive releases (bench_delta.py).
set -e
BUILD=${1:-build}
exec python3 "$(dirname "$0")/bench_delta.py" "$BUILD"
