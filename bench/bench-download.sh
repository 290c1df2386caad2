#!/bin/sh
# Download engine against curl, both fetching from tessra-update-server on 127.0.0.1:
#  1. throughput of RunList with progress records (a receiver thread consumes them)
#     against `curl -s -o FILE`, one 256 MiB file, medians of RUNS runs each;
#  2. peak resident memory of the download, for 64 MiB and 256 MiB;
#  3. the update check of 50 manifests against one curl invocation for the same 50 URLs.
set -e
BUILD=${1:-build}
RUNS=${RUNS:-5}
SERVER="$BUILD/bin/tessra-update-server"
BENCH="$BUILD/bin/download_bench"
for f in "$SERVER" "$BENCH"; do
  [ -x "$f" ] || { echo "missing $f (build first)"; exit 1; }
done
command -v curl >/dev/null || { echo "curl not found"; exit 1; }

TMP=$(mktemp -d "${TMPDIR:-/tmp}/bench-download.XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT INT TERM

# No proxy for either side; the Software Manager reads its choice from ts07.cfg.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY
export TESSRA_APPDATA="$TMP/appdata"
mkdir -p "$TESSRA_APPDATA/Tessra/2007" "$TMP/root" "$TMP/out"
printf 'string:ui_prop_proxy_which=none\n' > "$TESSRA_APPDATA/Tessra/2007/ts07.cfg"

MIB=1048576
head -c $((256 * MIB)) /dev/urandom > "$TMP/root/big256.bin"
head -c $((64 * MIB)) "$TMP/root/big256.bin" > "$TMP/root/big64.bin"
i=0
while [ $i -lt 50 ]; do
  mkdir -p "$TMP/root/check/p$i"
  printf 'Product=US\nYEAR=2007\nVERSION=%d\nSIZE=1000\nMESSAGE=bench\n' $i > "$TMP/root/check/p$i/ver.txt"
  i=$((i + 1))
done

"$SERVER" --root "$TMP/root" --bind 127.0.0.1 --port 0 > "$TMP/server.out" 2>"$TMP/server.err" &
SERVER_PID=$!
n=0
until grep -q '^listening on ' "$TMP/server.out" 2>/dev/null; do
  n=$((n + 1))
  [ $n -lt 100 ] || { echo "server did not start"; cat "$TMP/server.err"; exit 1; }
  sleep 0.1
done
PORT=$(sed -n 's/^listening on \([0-9]*\).*/\1/p' "$TMP/server.out" | head -n 1)
BASE="http://127.0.0.1:$PORT"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

# --- 1. throughput, 256 MiB ---------------------------------------------------
SWM_TIMES=
PLAIN_TIMES=
CURL_TIMES=
SIZE=$((256 * MIB))
swm() {  # mode -> elapsed seconds, after checking the copy
  rm -f "$TMP/out/swm.bin"
  t0=$(now)
  OUT=$("$BENCH" "$1" "$BASE/big256.bin" "$TMP/out/swm.bin")
  t1=$(now)
  [ "$(echo "$OUT" | field bytes)" = "$SIZE" ] || { echo "swm $1 incomplete: $OUT" >&2; exit 1; }
  cmp -s "$TMP/out/swm.bin" "$TMP/root/big256.bin" || { echo "swm $1 copy differs" >&2; exit 1; }
  elapsed "$t0" "$t1"
}
r=0
while [ $r -lt "$RUNS" ]; do
  SWM_TIMES="$SWM_TIMES $(swm fetch)"
  rm -f "$TMP/out/curl.bin"
  t0=$(now)
  curl -s -o "$TMP/out/curl.bin" "$BASE/big256.bin"
  t1=$(now)
  CURL_TIMES="$CURL_TIMES $(elapsed "$t0" "$t1")"
  PLAIN_TIMES="$PLAIN_TIMES $(swm plain)"
  r=$((r + 1))
done
SWM_MED=$(echo "$SWM_TIMES" | median)
PLAIN_MED=$(echo "$PLAIN_TIMES" | median)
CURL_MED=$(echo "$CURL_TIMES" | median)
awk -v s="$SWM_MED" -v p="$PLAIN_MED" -v c="$CURL_MED" -v n="$RUNS" -v mib=256 'BEGIN {
  printf "throughput, one %d MiB file from 127.0.0.1, median of %d runs:\n", mib, n
  printf "  RunList with progress records  %7.3f s  %8.1f MiB/s\n", s, mib / s
  printf "  RunList without records        %7.3f s  %8.1f MiB/s\n", p, mib / p
  printf "  curl -s -o FILE                %7.3f s  %8.1f MiB/s\n", c, mib / c
  printf "  ratio (RunList with records / curl)  %.2f\n", c / s
}'

# --- 2. peak resident memory -----------------------------------------------------
rm -f "$TMP/out/swm.bin"
RSS64=$("$BENCH" fetch "$BASE/big64.bin" "$TMP/out/swm.bin" | field peak_rss_kib)
rm -f "$TMP/out/swm.bin"
RSS256=$("$BENCH" fetch "$BASE/big256.bin" "$TMP/out/swm.bin" | field peak_rss_kib)
echo "peak resident memory of the download process:"
echo "  64 MiB file   ${RSS64} KiB"
echo "  256 MiB file  ${RSS256} KiB"

# --- 3. update check of 50 manifests ---------------------------------------------
SWM_TIMES=
CURL_TIMES=
CURL_ARGS=
i=0
while [ $i -lt 50 ]; do
  CURL_ARGS="$CURL_ARGS -o $TMP/out/c/p$i/ver.txt $BASE/check/p$i/ver.txt"
  i=$((i + 1))
done
r=0
while [ $r -lt "$RUNS" ]; do
  rm -rf "$TMP/out/s" "$TMP/out/c"
  t0=$(now)
  "$BENCH" check "$BASE/check" "$TMP/out/s" 50 > /dev/null
  t1=$(now)
  SWM_TIMES="$SWM_TIMES $(elapsed "$t0" "$t1")"
  t0=$(now)
  # shellcheck disable=SC2086
  curl -s --create-dirs $CURL_ARGS
  t1=$(now)
  CURL_TIMES="$CURL_TIMES $(elapsed "$t0" "$t1")"
  r=$((r + 1))
done
SWM_MED=$(echo "$SWM_TIMES" | median)
CURL_MED=$(echo "$CURL_TIMES" | median)
awk -v s="$SWM_MED" -v c="$CURL_MED" -v n="$RUNS" 'BEGIN {
  printf "update check, 50 manifests, median of %d runs:\n", n
  printf "  RunList (no records)           %7.1f ms\n", s * 1000
  printf "  curl, 50 URLs in one call      %7.1f ms\n", c * 1000
}'
