#!/bin/sh
# make demo: lays out BUILD_DIR/demo, starts the update server on 127.0.0.1,
# then starts Tessra.exe for the user (with a display) or runs the scripted
# tour (without one). See demo.py for the options.
#
#   tools/demo/run-demo.sh BUILD_DIR [--tour | --interactive] [--out DIR] [--swm PROGRAM]
set -e
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [--tour | --interactive] [--out DIR] [--swm PROGRAM]" >&2
    exit 2
fi
exec python3 "$(dirname "$0")/demo.py" "$@"
