#!/bin/sh
# Speed at the wire and memory against curl, both fetching from nginx on
# 127.0.0.1: the transfer in-process and the whole program (bench_download.py).
set -e
BUILD=${1:-build}
exec python3 "$(dirname "$0")/bench_download.py" "$BUILD"
