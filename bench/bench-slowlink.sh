#!/bin/sh
# The update check over an emulated slow, lossy line, against curl one by one
# and curl --parallel (bench_slowlink.py).
set -e
BUILD=${1:-build}
exec python3 "$(dirname "$0")/bench_slowlink.py" "$BUILD"
