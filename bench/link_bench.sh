#!/usr/bin/env bash
# The slow-link rows of bench/compare.sh alone: a 64 MiB GET (first byte, whole)
# and a 64 MiB PUT from an emulated device behind 2 ms a call and 2 MB/s, with
# the daemon's peak resident size. About 70 s; loopback only, stops by itself.
#   bench/link_bench.sh       (after a build)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
[ -x build/bin/webdav ] || { echo "build first: scripts/build.sh" >&2; exit 1; }

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

python3 bench/davbench.py link-layout "$work"
trace=$work/trace
: > "$trace"
start_webdav "$work/link" "$work/home" PAVRIX_DEVICE_TRACE="$trace"
pid=$webdav_pid
echo -e "step\trequests\tseconds\tdevice calls\tmemory"
python3 bench/davbench.py link "$webdav_port" /Device "$trace" "$webdav_pid"
