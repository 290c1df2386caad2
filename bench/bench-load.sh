#!/bin/sh
# Many update checks at once against nginx on 127.0.0.1 (bench_load.py).
set -e
BUILD=${1:-build}
exec python3 "$(dirname "$0")/bench_load.py" "$BUILD"
