#!/usr/bin/env bash
# Device cost of the daemon's operations, read from the device trace, the daemon's
# memory during a large upload, and median wall times of common requests.
#   bench/device_bench.sh            (after a build; loopback only, stops by itself)
#   bench/device_bench.sh --link [SIMULATOR OPTIONS]
#                                    the same over the device link, through a simulated
#                                    handheld (e.g. --os 5.0, --latency-us 2000,
#                                    --bytes-per-second 1000000)
# The daemon answers curl's "Expect: 100-continue" at once, so uploads cost no wait.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
[ -x build/bin/webdav ] || { echo "build first: scripts/build.sh" >&2; exit 1; }

link=""
if [ "${1:-}" = "--link" ]; then
  link=1
  shift
  [ -x build/bin/pavrix-devicesim ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
fi
work=$(mktemp -d)
pid=""
simpid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

bash scripts/make-sample-device.sh "$work/device" >/dev/null
head -c 1048576 /dev/urandom > "$work/device/fs/My Documents/one-mebibyte.bin"
trace="$work/trace"
if [ -n "$link" ]; then
  # Loopback only, the handheld's address included.
  build/bin/pavrix-devicesim --device "$work/device" --desktop-ports 46990,46679 --ports 46680,46991 "$@" \
    2>"$work/devicesim.err" &
  simpid=$!
  start_webdav "$work/device" "$work/home" PAVRIX_DEVICE_TRACE="$trace" PAVRIX_LINK_ADDRESS=127.0.0.1 \
    PAVRIX_LINK_DEVICE=127.0.0.1 PAVRIX_LINK_PORTS=46990,46679 PAVRIX_LINK_DEVICE_PORTS=46680,46991
  for _ in $(seq 1 100); do grep -q connected "$work/devicesim.err" && break; sleep 0.05; done
  echo "== over the device link: pavrix-devicesim $*"
else
  start_webdav "$work/device" "$work/home" PAVRIX_DEVICE_TRACE="$trace"
fi
pid=$webdav_pid
base="http://127.0.0.1:$webdav_port/Device"
props='<propfind><prop><resourcetype/><getlastmodified/><getcontentlength/></prop></propfind>'
allprops='<propfind><prop><resourcetype/><getlastmodified/><getcontentlength/><quota/><quotaused/></prop></propfind>'

calls() { # the device calls one request makes: "count: names"
  : > "$trace"
  "$@" >/dev/null
  printf '%s: %s\n' "$(wc -l < "$trace")" "$(cut -f1 "$trace" | sort | uniq -c | awk '{printf "%s x%s ", $2, $1}')"
}
echo "== device calls per operation (from the trace)"
echo "PROPFIND depth 1 of /My Documents/ (3 properties): $(calls curl -s -X PROPFIND -H 'Depth: 1' --data "$props" "$base/My%20Documents/")"
echo "PROPFIND depth 1 of the root (3 properties):       $(calls curl -s -X PROPFIND -H 'Depth: 1' --data "$props" "$base/")"
echo "PROPFIND depth 0 of a file, all 5 properties:      $(calls curl -s -X PROPFIND -H 'Depth: 0' --data "$allprops" "$base/My%20Documents/Notes.txt")"
echo "PROPFIND depth 0 of a file, 3 properties:          $(calls curl -s -X PROPFIND -H 'Depth: 0' --data "$props" "$base/Windows/system.ini")"
echo "first GET of a file:                               $(calls curl -s "$base/My%20Documents/Notes.txt")"
echo "second GET of the same file within 3 s:            $(calls curl -s "$base/My%20Documents/Notes.txt")"

echo "== memory during a 256 MiB PUT"
idle=$(awk '/VmRSS/{print $2}' /proc/$pid/status)
head -c $((256 * 1048576)) /dev/zero > "$work/big.bin"
curl -s -o /dev/null -w "PUT status %{http_code}, %{time_total} s\n" -T "$work/big.bin" "$base/Storage%20Card/big.bin"
peak=$(awk '/VmHWM/{print $2}' /proc/$pid/status)
echo "idle RSS ${idle} KiB, peak RSS ${peak} KiB, growth $(( (peak - idle) / 1024 )) MiB"
rm -f "$work/big.bin" "$work/device/fs/Storage Card/big.bin"

echo "== median wall time over 21 requests (curl time_total)"
median() {
  for _ in $(seq 1 21); do curl -s -o /dev/null -w '%{time_total}\n' "$@"; done | sort -n | sed -n 11p
}
echo "PROPFIND depth 1 /My Documents/: $(median -X PROPFIND -H 'Depth: 1' --data "$props" "$base/My%20Documents/") s"
echo "GET 1 MiB file (cached after the first): $(median "$base/My%20Documents/one-mebibyte.bin") s"
echo "PUT 1 MiB file: $(median -T "$work/device/fs/My Documents/one-mebibyte.bin" "$base/Storage%20Card/copy.bin") s"
echo "OPTIONS: $(median -X OPTIONS "$base/") s"
