#!/bin/sh
# CPU time of tessra-swm while it waits for the tax program to close (the
# finished screen's wait way), against a search for it without any pause for
# the same time. WAIT_SECONDS (default 10) sets how long the tax program stays.
set -e
BUILD=${1:-build}
for f in "$BUILD/bin/tessra-swm" "$BUILD/bin/tessra-update-server" "$BUILD/bin/e2e-search-loop"; do
  [ -x "$f" ] || { echo "missing $f (build first)"; exit 1; }
done
cd "$(dirname "$0")/.."
python3 tests/e2e/e2e.py --build "$BUILD" --bench-wait "${WAIT_SECONDS:-10}"
